// Child processes for the end-to-end tests: the tools run to completion with
// their output captured, and hkagent kept running with its log read as it
// comes. Every wait is bounded.
#ifndef HKE2E_PROCESS_H
#define HKE2E_PROCESS_H

#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

struct ToolResult {
   int exitCode = -1;  // -1 when it did not exit normally
   bool timedOut = false;
   std::string out, err;
};

// Runs argv[0] with the current environment plus `environment` (NAME=VALUE,
// replacing variables of the same name; "NAME=" with nothing after "="
// unsets NAME), no standard input, in directory `cwd` when given.
ToolResult RunTool(const std::vector<std::string> &argv,
                   const std::vector<std::string> &environment = {}, const std::string &cwd = "",
                   int timeoutMs = 60000);

// What an agent is started with. Its folder holds agent.conf, store/ (the
// file store), policies/ and the agent's working directory.
struct AgentSetup {
   std::string secret;  // empty: started with AllowNoAuthentication
   bool requireEncryption = false;
   bool enableProxy = false;
   bool enableSnmpProxy = false;  // both relays then reach 127.0.0.0/8
   bool allowConfigUpdate = false;
   // Server keys: any (the explicit lab opt-in), or only those in this
   // file or folder when acceptAnyServerKey is off.
   bool acceptAnyServerKey = true;
   std::string trustedServerKeys;
   bool identityKey = true;  // a TLS key of its own, made in its folder
   bool allowLegacy = true;  // also sessions outside TLS
   std::vector<std::pair<std::string, std::string>> actions;  // name, command line
   std::vector<std::string> extraLines;                       // more [agent] lines
};

class AgentProcess {
public:
   AgentProcess() = default;
   AgentProcess(const AgentProcess &) = delete;
   AgentProcess &operator=(const AgentProcess &) = delete;
   ~AgentProcess();

   // Starts hkagent on 127.0.0.1 with a free port and waits (bounded) for it
   // to listen. False with *error set when it could not start.
   bool start(const AgentSetup &setup, std::string *error);
   // SIGTERM, then SIGKILL if it has not ended within a bound.
   void stop();

   uint16_t port() const { return m_port; }
   pid_t pid() const { return m_pid; }
   const std::string &dir() const { return m_dir; }
   std::string storeDir() const { return m_dir + "/store"; }
   std::string policyDir() const { return m_dir + "/policies"; }
   std::string configPath() const { return m_dir + "/agent.conf"; }
   std::string hostPort() const { return "127.0.0.1:" + std::to_string(m_port); }
   // True when a log line containing text arrives within timeoutMs.
   bool waitForLog(const std::string &text, int timeoutMs);
   std::string log();
   // True while the process runs.
   bool alive();

private:
   void drain(int fd);

   pid_t m_pid = -1;
   uint16_t m_port = 0;
   std::string m_dir;
   std::thread m_reader;
   std::mutex m_mutex;
   std::condition_variable m_cond;
   std::string m_log;   // guarded by m_mutex
   bool m_eof = false;  // guarded by m_mutex
};

}  // namespace e2e

#endif
