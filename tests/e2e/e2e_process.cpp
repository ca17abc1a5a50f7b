#include "e2e_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>

#include "e2e_files.h"

extern char **environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> MergedEnvironment(const std::vector<std::string> &changes) {
   auto nameOf = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
   // The last change of a name wins; "NAME=" removes it.
   std::map<std::string, std::string> last;
   for (const std::string &change : changes)
      last[nameOf(change)] = change;
   std::vector<std::string> result;
   for (char **e = environ; *e != nullptr; e++) {
      if (last.count(nameOf(*e)) == 0)
         result.push_back(*e);
   }
   for (const auto &change : last) {
      if (change.second.back() != '=')
         result.push_back(change.second);
   }
   return result;
}

std::vector<char *> Pointers(std::vector<std::string> &strings) {
   std::vector<char *> pointers;
   for (std::string &s : strings)
      pointers.push_back(s.data());
   pointers.push_back(nullptr);
   return pointers;
}

int RemainingMs(Clock::time_point deadline) {
   auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
   return left.count() > 0 ? (int)left.count() : 0;
}

// In the child: stdin from /dev/null, stdout and stderr to the given fds.
[[noreturn]] void ExecChild(std::vector<std::string> argv, std::vector<std::string> env,
                            const std::string &cwd, int outFd, int errFd) {
   int devNull = open("/dev/null", O_RDONLY);
   dup2(devNull, STDIN_FILENO);
   dup2(outFd, STDOUT_FILENO);
   dup2(errFd, STDERR_FILENO);
   if (!cwd.empty() && chdir(cwd.c_str()) != 0)
      _exit(126);
   std::vector<char *> args = Pointers(argv);
   std::vector<char *> envp = Pointers(env);
   execve(args[0], args.data(), envp.data());
   _exit(127);
}

}  // namespace

ToolResult RunTool(const std::vector<std::string> &argv,
                   const std::vector<std::string> &environment, const std::string &cwd,
                   int timeoutMs) {
   ToolResult result;
   int outPipe[2], errPipe[2];
   if (pipe2(outPipe, O_CLOEXEC) != 0)
      return result;
   if (pipe2(errPipe, O_CLOEXEC) != 0) {
      close(outPipe[0]);
      close(outPipe[1]);
      return result;
   }
   std::vector<std::string> env = MergedEnvironment(environment);
   pid_t pid = fork();
   if (pid == 0)
      ExecChild(argv, env, cwd, outPipe[1], errPipe[1]);
   close(outPipe[1]);
   close(errPipe[1]);

   auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
   struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
   std::string *sinks[2] = {&result.out, &result.err};
   int open = 2;
   while (open > 0 && pid > 0) {
      int ready = poll(fds, 2, RemainingMs(deadline));
      if (ready == 0) {
         result.timedOut = true;
         kill(pid, SIGKILL);
         break;
      }
      if (ready < 0)
         continue;
      for (int i = 0; i < 2; i++) {
         if (fds[i].fd < 0 || fds[i].revents == 0)
            continue;
         char buffer[65536];
         ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
         if (got > 0) {
            sinks[i]->append(buffer, (size_t)got);
         } else {
            close(fds[i].fd);
            fds[i].fd = -1;
            open--;
         }
      }
   }
   for (auto &fd : fds) {
      if (fd.fd >= 0)
         close(fd.fd);
   }
   int status = 0;
   if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
      result.exitCode = WEXITSTATUS(status);
   return result;
}

AgentProcess::~AgentProcess() {
   stop();
}

bool AgentProcess::start(const AgentSetup &setup, std::string *error) {
   m_dir = MakeTempDir("hke2e-agent");
   if (m_dir.empty()) {
      *error = "cannot create a temporary folder";
      return false;
   }
   MakeDir(storeDir());
   MakeDir(policyDir());
   std::string config = "[agent]\nListenAddress = 127.0.0.1\nPort = 0\nLogLevel = info\n";
   config += "FileStore = " + storeDir() + "\nPolicyDir = " + policyDir() + "\n";
   if (setup.identityKey)
      config += "IdentityKey = " + m_dir + "/identity.pem\n";
   if (setup.allowLegacy)
      config += "AllowLegacy = yes\n";
   if (!setup.secret.empty())
      config += "Secret = \"" + setup.secret + "\"\n";
   else
      config += "AllowNoAuthentication = yes\n";
   if (setup.requireEncryption)
      config += "RequireEncryption = yes\n";
   if (setup.acceptAnyServerKey)
      config += "AcceptAnyServerKey = yes\n";
   if (!setup.trustedServerKeys.empty())
      config += "TrustedServerKeys = " + setup.trustedServerKeys + "\n";
   if (setup.enableProxy)
      config += "EnableProxy = yes\nProxyTargets = 127.0.0.0/8\n";
   if (setup.enableSnmpProxy)
      config += "EnableSnmpProxy = yes\nSnmpProxyTargets = 127.0.0.0/8\n";
   if (setup.allowConfigUpdate)
      config += "AllowConfigUpdate = yes\n";
   for (const std::string &line : setup.extraLines)
      config += line + "\n";
   config += "[actions]\n";
   for (const auto &action : setup.actions)
      config += action.first + " = " + action.second + "\n";
   WriteFile(configPath(), config);

   int errPipe[2];
   if (pipe2(errPipe, O_CLOEXEC) != 0) {
      *error = "pipe failed";
      return false;
   }
   std::vector<std::string> argv = {HK_E2E_HKAGENT, "--config", configPath()};
   std::vector<std::string> env = MergedEnvironment({});
   m_pid = fork();
   if (m_pid == 0)
      ExecChild(argv, env, m_dir, errPipe[1], errPipe[1]);
   close(errPipe[1]);
   if (m_pid < 0) {
      close(errPipe[0]);
      *error = "fork failed";
      return false;
   }
   m_reader = std::thread(&AgentProcess::drain, this, errPipe[0]);

   const std::string marker = "listening on 127.0.0.1:";
   if (!waitForLog(marker, 20000)) {
      *error = "hkagent did not start listening: " + log();
      stop();
      return false;
   }
   std::string text = log();
   m_port = (uint16_t)atoi(text.c_str() + text.find(marker) + marker.size());
   return m_port != 0;
}

void AgentProcess::drain(int fd) {
   char buffer[4096];
   for (;;) {
      ssize_t got = read(fd, buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR)
         continue;
      std::lock_guard<std::mutex> lock(m_mutex);
      if (got <= 0) {
         m_eof = true;
         m_cond.notify_all();
         break;
      }
      m_log.append(buffer, (size_t)got);
      m_cond.notify_all();
   }
   close(fd);
}

bool AgentProcess::waitForLog(const std::string &text, int timeoutMs) {
   std::unique_lock<std::mutex> lock(m_mutex);
   return m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      return m_log.find(text) != std::string::npos || m_eof;
   }) && m_log.find(text) != std::string::npos;
}

std::string AgentProcess::log() {
   std::lock_guard<std::mutex> lock(m_mutex);
   return m_log;
}

bool AgentProcess::alive() {
   return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0;
}

void AgentProcess::stop() {
   if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      {
         // The log pipe closes when the agent (and anything it started) is gone.
         std::unique_lock<std::mutex> lock(m_mutex);
         if (!m_cond.wait_for(lock, std::chrono::seconds(10), [&] { return m_eof; }))
            kill(m_pid, SIGKILL);
      }
      waitpid(m_pid, nullptr, 0);
      m_pid = -1;
   }
   if (m_reader.joinable())
      m_reader.join();
   if (!m_dir.empty()) {
      RemoveTree(m_dir);
      m_dir.clear();
   }
}

}  // namespace e2e
