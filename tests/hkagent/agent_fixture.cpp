#include "agent_fixture.h"

#include <time.h>

#include "hesker.h"

namespace hkagent_test {

RunningAgent::RunningAgent(std::vector<hkagent::SettingOverride> overrides,
                           const std::string &configPath) {
   // Tests that need authentication, the refusal delay or key trust set
   // them; later overrides win.
   overrides.insert(overrides.begin(), {{"agent", "Port", "0"},
                                        {"agent", "LogLevel", "warning"},
                                        {"agent", "AllowNoAuthentication", "yes"},
                                        {"agent", "AuthFailureDelay", "0"},
                                        {"agent", "AcceptAnyServerKey", "yes"}});
   m_runtime = std::make_unique<hkagent::AgentRuntime>(configPath, overrides);
   std::vector<hkagent::ConfigDiagnostic> diagnostics;
   if (!m_runtime->load(&diagnostics))
      return;
   m_server = std::make_unique<hkagent::Server>(*m_runtime);
   std::string error;
   if (!m_server->start(&error))
      return;
   m_thread = std::thread([this] { m_server->run(); });
   m_started = true;
}

RunningAgent::~RunningAgent() {
   if (m_server)
      m_server->stop();
   if (m_thread.joinable())
      m_thread.join();
}

bool RunningAgent::waitSessions(size_t n, uint32_t timeoutMs) {
   uint64_t deadline = GetMonotonicMs() + timeoutMs;
   while (m_server->sessionCount() != n) {
      if (GetMonotonicMs() >= deadline)
         return false;
      struct timespec pause = {0, 2 * 1000000};
      nanosleep(&pause, nullptr);
   }
   return true;
}

}  // namespace hkagent_test
