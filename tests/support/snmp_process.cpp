// Child processes for the SNMP fixtures.
#include "snmp_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

extern char **environ;

namespace hktest {

namespace {

int64_t NowMs() {
   return std::chrono::duration_cast<std::chrono::milliseconds>(
              std::chrono::steady_clock::now().time_since_epoch())
       .count();
}

// argv and envp arrays that live as long as the strings they point into.
struct ExecArrays {
   std::vector<std::string> envStrings;
   std::vector<char *> argv;
   std::vector<char *> envp;

   ExecArrays(const std::vector<std::string> &args, const std::vector<std::string> &additions) {
      for (char **e = environ; *e != nullptr; e++) {
         std::string entry(*e);
         std::string name = entry.substr(0, entry.find('='));
         bool replaced = false;
         for (const std::string &a : additions) {
            if (a.compare(0, name.size() + 1, name + "=") == 0) {
               replaced = true;
            }
         }
         if (!replaced) {
            envStrings.push_back(entry);
         }
      }
      envStrings.insert(envStrings.end(), additions.begin(), additions.end());
      for (const std::string &a : args) {
         argv.push_back(const_cast<char *>(a.c_str()));
      }
      argv.push_back(nullptr);
      for (std::string &e : envStrings) {
         envp.push_back(e.data());
      }
      envp.push_back(nullptr);
   }
};

// Waits for pid to end for at most timeoutMs; true when it was reaped. The
// wait is on a pidfd, which becomes readable when the process ends.
bool WaitForExit(pid_t pid, int timeoutMs, int *status) {
   int64_t deadline = NowMs() + timeoutMs;
   int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
   for (;;) {
      pid_t r = waitpid(pid, status, WNOHANG);
      if (r == pid || (r == -1 && errno == ECHILD)) {
         if (pidfd >= 0) {
            close(pidfd);
         }
         return true;
      }
      int64_t left = deadline - NowMs();
      if (left <= 0) {
         if (pidfd >= 0) {
            close(pidfd);
         }
         return false;
      }
      if (pidfd >= 0) {
         pollfd pfd{pidfd, POLLIN, 0};
         poll(&pfd, 1, static_cast<int>(left));
      } else {
         // No pidfd on this kernel: poll the exit with a short interval.
         std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
   }
}

std::vector<std::string> SplitLines(const std::string &text) {
   std::vector<std::string> lines;
   std::istringstream in(text);
   std::string line;
   while (std::getline(in, line)) {
      lines.push_back(line);
   }
   return lines;
}

}  // namespace

std::string FindSnmpProgram(const std::vector<std::string> &names) {
   std::vector<std::string> dirs;
   const char *path = getenv("PATH");
   if (path != nullptr) {
      std::istringstream in(path);
      std::string dir;
      while (std::getline(in, dir, ':')) {
         if (!dir.empty()) {
            dirs.push_back(dir);
         }
      }
   }
   for (const char *extra : {"/usr/sbin", "/usr/local/sbin", "/sbin", "/usr/bin"}) {
      dirs.push_back(extra);
   }
   for (const std::string &name : names) {
      for (const std::string &dir : dirs) {
         std::string candidate = dir + "/" + name;
         if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
         }
      }
   }
   return std::string();
}

SnmpCommandResult RunSnmpCommand(const std::vector<std::string> &argv,
                                 const std::vector<std::string> &environment, int timeoutMs) {
   SnmpCommandResult result;
   int out[2], err[2];
   if (argv.empty() || pipe2(out, O_CLOEXEC) != 0) {
      return result;
   }
   if (pipe2(err, O_CLOEXEC) != 0) {
      close(out[0]);
      close(out[1]);
      return result;
   }
   posix_spawn_file_actions_t actions;
   posix_spawn_file_actions_init(&actions);
   posix_spawn_file_actions_adddup2(&actions, out[1], 1);
   posix_spawn_file_actions_adddup2(&actions, err[1], 2);
   posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
   ExecArrays arrays(argv, environment);
   pid_t pid;
   int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, arrays.argv.data(),
                        arrays.envp.data());
   posix_spawn_file_actions_destroy(&actions);
   close(out[1]);
   close(err[1]);
   if (rc != 0) {
      close(out[0]);
      close(err[0]);
      result.errorText = std::string("cannot run ") + argv[0] + ": " + strerror(rc);
      return result;
   }

   std::string outText, errText;
   int64_t deadline = NowMs() + timeoutMs;
   pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
   int open = 2;
   while (open > 0) {
      int64_t left = deadline - NowMs();
      if (left <= 0) {
         result.timedOut = true;
         break;
      }
      int ready = poll(fds, 2, static_cast<int>(left));
      if (ready < 0 && errno != EINTR) {
         break;
      }
      for (int i = 0; i < 2 && ready > 0; i++) {
         if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
            if (n > 0) {
               (i == 0 ? outText : errText).append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
               close(fds[i].fd);
               fds[i].fd = -1;
               open--;
            }
         }
      }
   }
   for (pollfd &f : fds) {
      if (f.fd >= 0) {
         close(f.fd);
      }
   }
   int status = 0;
   if (result.timedOut || !WaitForExit(pid, 5000, &status)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
   } else if (WIFEXITED(status)) {
      result.exitCode = WEXITSTATUS(status);
   }
   result.lines = SplitLines(outText);
   result.errorText = errText;
   return result;
}

bool SnmpChildProcess::start(const std::vector<std::string> &argv,
                             const std::vector<std::string> &environment,
                             const std::string &logFile, std::string *error) {
   stop();
   posix_spawn_file_actions_t actions;
   posix_spawn_file_actions_init(&actions);
   posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
   posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                    0644);
   posix_spawn_file_actions_adddup2(&actions, 1, 2);
   ExecArrays arrays(argv, environment);
   int rc = posix_spawn(&m_pid, argv[0].c_str(), &actions, nullptr, arrays.argv.data(),
                        arrays.envp.data());
   posix_spawn_file_actions_destroy(&actions);
   if (rc != 0) {
      m_pid = -1;
      *error = std::string("cannot start ") + argv[0] + ": " + strerror(rc);
      return false;
   }
   m_status = -1;
   return true;
}

bool SnmpChildProcess::running() {
   if (m_pid <= 0) {
      return false;
   }
   int status;
   pid_t r = waitpid(m_pid, &status, WNOHANG);
   if (r == m_pid) {
      m_status = status;
      m_pid = -1;
      return false;
   }
   return r == 0;
}

bool SnmpChildProcess::waitExit(int timeoutMs) {
   if (m_pid <= 0) {
      return true;
   }
   int status = 0;
   if (WaitForExit(m_pid, timeoutMs, &status)) {
      m_status = status;
      m_pid = -1;
      return true;
   }
   return false;
}

void SnmpChildProcess::stop() {
   if (m_pid <= 0) {
      return;
   }
   int status = 0;
   kill(m_pid, SIGTERM);
   if (!WaitForExit(m_pid, 5000, &status)) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, &status, 0);
   }
   m_status = status;
   m_pid = -1;
}

}  // namespace hktest
