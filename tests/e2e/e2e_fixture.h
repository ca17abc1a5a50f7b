// Shared pieces of the end-to-end tests: the server key, sessions to a
// running hkagent, a session that records traps and pushes, and running the
// tools with a home folder of their own.
#ifndef HKE2E_FIXTURE_H
#define HKE2E_FIXTURE_H

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "e2e_files.h"
#include "e2e_process.h"
#include "hksrv.h"
#include "json_reader.h"

namespace e2e {

// One RSA key for the whole test program; never freed.
RSA *ServerKey();
// A new 2048-bit key pair (the caller frees it with RSA_free).
RSA *NewRsaKey();

// 127.0.0.1 in network byte order, as the session constructors take it.
inline uint32_t LoopbackNetworkOrder() {
   return htonl(0x7F000001);
}

// A session that records traps and data pushes, and can tell whether its
// channel is encrypted.
class RecordingConnection : public AgentConnection {
public:
   using AgentConnection::AgentConnection;
   ~RecordingConnection() override { disconnect(); }

   bool encrypted();
   // Waits (bounded) until a trap with that code has arrived.
   bool waitTrap(uint32_t code, int timeoutMs = 10000);
   // Waits (bounded) for a data push; its element count.
   bool waitPush(uint32_t *elements, int timeoutMs = 10000);

protected:
   void PrintMsg(const wchar_t *format, ...) override {}
   void onTrap(CSCPMessage *message) override;
   void onDataPush(CSCPMessage *message) override;

private:
   std::mutex m_mutex;
   std::condition_variable m_cond;
   std::vector<uint32_t> m_traps;   // guarded by m_mutex
   std::vector<uint32_t> m_pushes;  // guarded by m_mutex
};

// A connected session to the agent (EXPECTs success), or null.
std::unique_ptr<RecordingConnection> Connect(const AgentProcess &agent, int authMethod = AUTH_NONE,
                                             const char *secret = nullptr,
                                             int policy = ENCRYPTION_ALLOWED);
// A connect attempt's result code (0 on success); the session is dropped.
uint32_t ConnectResult(const AgentProcess &agent, int authMethod, const char *secret, int policy,
                       RSA *key);

// Downloads a file of the agent's store with the agent's own request;
// returns the result code.
uint32_t DownloadFile(AgentConnection *session, const std::string &name,
                      const std::string &localPath, uint64_t *announcedSize = nullptr);

// Paths of the built programs.
inline std::string HkQuery() {
   return HK_E2E_HKQUERY;
}
inline std::string HkSnmp() {
   return HK_E2E_HKSNMP;
}

// Runs a tool with HOME in a folder of the test's own (for the server key).
class ToolRunner {
public:
   ToolRunner() : m_home("hke2e-home") {}
   ToolResult run(const std::string &program, std::vector<std::string> args,
                  std::vector<std::string> environment = {});
   const std::string &home() const { return m_home.path(); }

private:
   TempDir m_home;
};

// Parses a tool's standard output as JSON (ADD_FAILURE when it is not).
JsonValue ParseOutput(const ToolResult &result);

}  // namespace e2e

#endif
