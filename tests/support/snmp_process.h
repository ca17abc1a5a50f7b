// Child processes for the SNMP fixtures: finding programs, running a command
// to completion with a bound, and keeping a long-running agent process.
#ifndef HKTEST_SNMP_PROCESS_H
#define HKTEST_SNMP_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace hktest {

// The full path of the first of names found in the usual program folders
// (PATH, then /usr/sbin, /usr/local/sbin, /sbin); empty when none is.
std::string FindSnmpProgram(const std::vector<std::string> &names);

struct SnmpCommandResult {
   int exitCode = -1;               // -1 when it could not run or was killed
   bool timedOut = false;           // killed after the bound
   std::vector<std::string> lines;  // standard output, one entry per line
   std::string errorText;           // standard error
};

// Runs argv[0] (a full path) with the given environment additions
// ("NAME=value") and waits at most timeoutMs for it to end; a command still
// running then is killed.
SnmpCommandResult RunSnmpCommand(const std::vector<std::string> &argv,
                                 const std::vector<std::string> &environment, int timeoutMs);

// A process started in the background with its output sent to a log file.
// Stopped (SIGTERM, then SIGKILL after a bound) by stop() or the destructor.
class SnmpChildProcess {
public:
   SnmpChildProcess() = default;
   SnmpChildProcess(const SnmpChildProcess &) = delete;
   SnmpChildProcess &operator=(const SnmpChildProcess &) = delete;
   ~SnmpChildProcess() { stop(); }

   // False with *error set when it could not be started.
   bool start(const std::vector<std::string> &argv, const std::vector<std::string> &environment,
              const std::string &logFile, std::string *error);
   // True while the process has not ended; reaps it once it has.
   bool running();
   // Waits at most timeoutMs for the process to end; true when it has.
   bool waitExit(int timeoutMs);
   void stop();
   pid_t pid() const { return m_pid; }
   int exitStatus() const { return m_status; }

private:
   pid_t m_pid = -1;
   int m_status = -1;
};

}  // namespace hktest

#endif
