// An agent served in-process on a free loopback port, for protocol tests.
#ifndef HKAGENT_AGENT_FIXTURE_H
#define HKAGENT_AGENT_FIXTURE_H

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime.h"
#include "server.h"

namespace hkagent_test {

class RunningAgent {
public:
   // overrides as on the command line; unless given, Port is 0, failed
   // authentications are not delayed and no secret is allowed.
   explicit RunningAgent(std::vector<hkagent::SettingOverride> overrides,
                         const std::string &configPath = "");
   ~RunningAgent();
   bool started() const { return m_started; }
   uint16_t port() const { return m_server->port(); }
   hkagent::Server &server() { return *m_server; }
   hkagent::AgentRuntime &runtime() { return *m_runtime; }
   // Waits until the server has exactly n sessions (bounded); true if so.
   bool waitSessions(size_t n, uint32_t timeoutMs = 10000);

private:
   std::unique_ptr<hkagent::AgentRuntime> m_runtime;
   std::unique_ptr<hkagent::Server> m_server;
   std::thread m_thread;
   bool m_started = false;
};

}  // namespace hkagent_test

#endif
