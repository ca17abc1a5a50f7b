// Support of the load suite: the real hkagent as a child process, and the
// memory and thread counts of a process.
#ifndef HK_LOAD_SUPPORT_H
#define HK_LOAD_SUPPORT_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hkload {

// hkagent on 127.0.0.1 with a free port, its log going to a file in a
// private directory. Stopped (SIGTERM, then SIGKILL after a bound) and
// reaped when the object goes.
class AgentDaemon {
public:
   AgentDaemon() = default;
   ~AgentDaemon();
   AgentDaemon(const AgentDaemon &) = delete;
   AgentDaemon &operator=(const AgentDaemon &) = delete;

   // Starts it with these extra arguments and waits (bounded) for its port.
   bool start(const std::vector<std::string> &arguments, std::string *error);
   void stop();
   pid_t pid() const { return m_pid; }
   uint16_t port() const { return m_port; }

private:
   pid_t m_pid = -1;
   uint16_t m_port = 0;
   std::string m_dir;
};

// VmRSS of a process in KiB (0 when it cannot be read).
uint64_t RssKb(pid_t pid);
// User and system processor time a process has used, in ms.
uint64_t CpuTimeMs(pid_t pid);
// Threads of a process.
int ThreadCount(pid_t pid);
// Bytes the allocator holds for the program (the sanitizer's count in a
// sanitized build).
size_t HeapInUse();
// Raises the soft limit of open descriptors towards want (never above the
// hard limit); the limit in force afterwards.
uint64_t RaiseDescriptorLimit(uint64_t want);

// The number of sessions of the many-sessions test: HK_LOAD_SESSIONS when
// set to a positive number, else defaultCount.
int SessionCount(int defaultCount);

// Divides a count in sanitized builds, where everything is many times
// slower; the default build runs the full count.
constexpr int Scaled(int count, int divisor) {
#ifdef HK_LOAD_SANITIZED
   return count / divisor > 0 ? count / divisor : 1;
#else
   (void)divisor;
   return count;
#endif
}

}  // namespace hkload

#endif
