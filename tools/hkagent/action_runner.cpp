#include "action_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "agent_codes.h"
#include "hk_platform.h"
#include "fd_util.h"
#include "log.h"

namespace hkagent {

namespace {

// Waits for pid to end within timeoutMs: true with its status.
bool WaitWithTimeout(pid_t pid, uint32_t timeoutMs, int *status) {
   uint64_t deadline = GetMonotonicMs() + timeoutMs;
   UniqueFd pidfd((int)syscall(SYS_pidfd_open, pid, 0));
   for (;;) {
      pid_t done = waitpid(pid, status, WNOHANG);
      if (done == pid)
         return true;
      if (done < 0 && errno != EINTR)
         return false;
      uint64_t now = GetMonotonicMs();
      if (now >= deadline)
         return false;
      uint32_t left = (uint32_t)(deadline - now);
      if (pidfd.valid()) {
         struct pollfd pfd = {pidfd.get(), POLLIN, 0};
         poll(&pfd, 1, (int)left);
      } else {
         // Kernels without pidfd: poll the child at a short interval.
         struct timespec pause = {0, 10 * 1000000};
         nanosleep(&pause, nullptr);
      }
   }
}

}  // namespace

uint32_t RunProgram(const std::vector<std::string> &argv, uint32_t timeoutMs,
                    ProgramResult *result) {
   *result = ProgramResult();
   if (argv.empty() || argv[0].empty() || argv[0][0] != '/')
      return ERR_EXEC_FAILED;

   // Everything the child needs is built before the spawn.
   std::vector<char *> args;
   for (const std::string &a : argv)
      args.push_back(const_cast<char *>(a.c_str()));
   args.push_back(nullptr);
   char envPath[] = "PATH=/usr/local/bin:/usr/bin:/bin";
   char *env[] = {envPath, nullptr};

   posix_spawn_file_actions_t files;
   posix_spawnattr_t attr;
   posix_spawn_file_actions_init(&files);
   posix_spawnattr_init(&attr);
   for (int fd = 0; fd <= 2; fd++)
      posix_spawn_file_actions_addopen(&files, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
   sigset_t empty, defaults;
   sigemptyset(&empty);
   sigemptyset(&defaults);
   sigaddset(&defaults, SIGPIPE);
   sigaddset(&defaults, SIGTERM);
   sigaddset(&defaults, SIGINT);
   sigaddset(&defaults, SIGHUP);
   posix_spawnattr_setsigmask(&attr, &empty);
   posix_spawnattr_setsigdefault(&attr, &defaults);
   posix_spawnattr_setpgroup(&attr, 0);
   posix_spawnattr_setflags(&attr,
                            POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
   pid_t pid = -1;
   int rc = posix_spawn(&pid, args[0], &files, &attr, args.data(), env);
   posix_spawn_file_actions_destroy(&files);
   posix_spawnattr_destroy(&attr);
   if (rc != 0) {
      HKLOG_WARN("cannot execute %s: %s", argv[0].c_str(), strerror(rc));
      return ERR_EXEC_FAILED;
   }
   result->started = true;

   int status = 0;
   if (!WaitWithTimeout(pid, timeoutMs, &status)) {
      result->timedOut = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      HKLOG_WARN("%s killed after %u ms", argv[0].c_str(), timeoutMs);
      return ERR_EXEC_FAILED;
   }
   if (WIFEXITED(status)) {
      result->exitCode = WEXITSTATUS(status);
      return result->exitCode == 0 ? ERR_SUCCESS : ERR_EXEC_FAILED;
   }
   if (WIFSIGNALED(status))
      result->signal = WTERMSIG(status);
   return ERR_EXEC_FAILED;
}

}  // namespace hkagent
