#include "load_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#ifdef HK_LOAD_SANITIZED
// The sanitizers' allocator count (g++ ships no header that declares it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

extern char **environ;

namespace hkload {

namespace {

std::string StatusField(pid_t pid, const std::string &field) {
   std::ifstream in("/proc/" + std::to_string(pid) + "/status");
   std::string line;
   while (std::getline(in, line)) {
      if (line.compare(0, field.size() + 1, field + ":") == 0)
         return line.substr(field.size() + 1);
   }
   return "";
}

void WaitBriefly() {
   std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace

AgentDaemon::~AgentDaemon() {
   stop();
}

bool AgentDaemon::start(const std::vector<std::string> &arguments, std::string *error) {
   char pattern[] = "/tmp/hkload-XXXXXX";
   if (mkdtemp(pattern) == nullptr) {
      *error = "mkdtemp failed";
      return false;
   }
   m_dir = pattern;
   std::string portFile = m_dir + "/port";
   std::vector<std::string> args = {
       HK_LOAD_HKAGENT, "--listen", "127.0.0.1",   "--port", "0",
       "--port-file",   portFile,   "--log-level", "error",  "--accept-any-server-key"};
   args.insert(args.end(), arguments.begin(), arguments.end());
   std::vector<char *> argv;
   for (std::string &a : args)
      argv.push_back(a.data());
   argv.push_back(nullptr);

   posix_spawn_file_actions_t actions;
   posix_spawn_file_actions_init(&actions);
   posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
   posix_spawn_file_actions_addopen(&actions, 2, (m_dir + "/log").c_str(),
                                    O_WRONLY | O_CREAT | O_TRUNC, 0600);
   int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
   posix_spawn_file_actions_destroy(&actions);
   if (rc != 0) {
      m_pid = -1;
      *error = "cannot start " + args[0];
      return false;
   }
   auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
   while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream in(portFile);
      int port = 0;
      if (in >> port && port > 0) {
         m_port = (uint16_t)port;
         return true;
      }
      int status = 0;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
         m_pid = -1;
         *error = "hkagent exited at start";
         return false;
      }
      WaitBriefly();
   }
   *error = "hkagent wrote no port file in time";
   return false;
}

void AgentDaemon::stop() {
   if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      int status = 0;
      while (waitpid(m_pid, &status, WNOHANG) == 0) {
         if (std::chrono::steady_clock::now() >= deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
         }
         WaitBriefly();
      }
      m_pid = -1;
   }
   if (!m_dir.empty()) {
      unlink((m_dir + "/port").c_str());
      unlink((m_dir + "/log").c_str());
      rmdir(m_dir.c_str());
      m_dir.clear();
   }
}

uint64_t RssKb(pid_t pid) {
   return strtoull(StatusField(pid, "VmRSS").c_str(), nullptr, 10);
}

uint64_t CpuTimeMs(pid_t pid) {
   // Fields 14 and 15 of /proc/PID/stat, after the command in parentheses.
   std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
   std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
   size_t close = text.rfind(')');
   if (close == std::string::npos)
      return 0;
   std::istringstream fields(text.substr(close + 2));
   std::string field;
   uint64_t user = 0, system = 0;
   for (int i = 3; i <= 15 && fields >> field; i++) {
      if (i == 14)
         user = strtoull(field.c_str(), nullptr, 10);
      if (i == 15)
         system = strtoull(field.c_str(), nullptr, 10);
   }
   return (user + system) * 1000 / (uint64_t)sysconf(_SC_CLK_TCK);
}

int ThreadCount(pid_t pid) {
   return atoi(StatusField(pid, "Threads").c_str());
}

size_t HeapInUse() {
#ifdef HK_LOAD_SANITIZED
   return __sanitizer_get_current_allocated_bytes();
#else
   struct mallinfo2 info = mallinfo2();
   return info.uordblks + info.hblkhd;
#endif
}

uint64_t RaiseDescriptorLimit(uint64_t want) {
   struct rlimit limit;
   if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
      return 0;
   if (limit.rlim_cur < want) {
      limit.rlim_cur = want < limit.rlim_max ? want : limit.rlim_max;
      setrlimit(RLIMIT_NOFILE, &limit);
      getrlimit(RLIMIT_NOFILE, &limit);
   }
   return limit.rlim_cur;
}

}  // namespace hkload
