#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "e2e_fixture.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>

#include "agent_codes.h"

namespace e2e {

RSA *NewRsaKey() {
   EVP_PKEY *pkey = EVP_RSA_gen(2048);
   RSA *rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
   EVP_PKEY_free(pkey);
   return rsa;
}

RSA *ServerKey() {
   static RSA *key = NewRsaKey();
   return key;
}

bool RecordingConnection::encrypted() {
   HKCPEncryptionContext *context = acquireEncryptionContext();
   if (context == nullptr)
      return false;
   context->decRefCount();
   return true;
}

void RecordingConnection::onTrap(CSCPMessage *message) {
   std::lock_guard<std::mutex> lock(m_mutex);
   m_traps.push_back(message->GetVariableLong(hkagent::VID_AGENT_EVENT_CODE));
   m_cond.notify_all();
}

void RecordingConnection::onDataPush(CSCPMessage *message) {
   std::lock_guard<std::mutex> lock(m_mutex);
   m_pushes.push_back(message->GetVariableLong(VID_NUM_ELEMENTS));
   m_cond.notify_all();
}

bool RecordingConnection::waitTrap(uint32_t code, int timeoutMs) {
   std::unique_lock<std::mutex> lock(m_mutex);
   return m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      return std::find(m_traps.begin(), m_traps.end(), code) != m_traps.end();
   });
}

bool RecordingConnection::waitPush(uint32_t *elements, int timeoutMs) {
   std::unique_lock<std::mutex> lock(m_mutex);
   bool got = m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return !m_pushes.empty(); });
   if (got)
      *elements = m_pushes.front();
   return got;
}

std::unique_ptr<RecordingConnection> Connect(const AgentProcess &agent, int authMethod,
                                             const char *secret, int policy) {
   auto session = std::make_unique<RecordingConnection>(LoopbackNetworkOrder(), agent.port(),
                                                        AUTH_NONE, nullptr);
   session->setAuthData(authMethod, secret != nullptr ? secret : "");
   session->setEncryptionPolicy(policy);
   uint32_t error = 0;
   int connected = session->connect(ServerKey(), 0, &error);
   EXPECT_EQ(connected, 1) << "connect: " << error;
   return connected ? std::move(session) : nullptr;
}

uint32_t ConnectResult(const AgentProcess &agent, int authMethod, const char *secret, int policy,
                       RSA *key) {
   RecordingConnection session(LoopbackNetworkOrder(), agent.port(), AUTH_NONE, nullptr);
   session.setAuthData(authMethod, secret != nullptr ? secret : "");
   session.setEncryptionPolicy(policy);
   uint32_t error = 0;
   int connected = session.connect(key, 0, &error);
   return connected ? ERR_SUCCESS : (error != 0 ? error : ERR_INTERNAL_ERROR);
}

uint32_t DownloadFile(AgentConnection *session, const std::string &name,
                      const std::string &localPath, uint64_t *announcedSize) {
   CSCPMessage request(session->getProtocolVersion());
   request.SetCode(hkagent::CMD_GET_AGENT_FILE);
   std::wstring wideName(name.begin(), name.end());
   request.SetVariable(VID_FILE_NAME, wideName.c_str());
   std::wstring widePath(localPath.begin(), localPath.end());
   std::unique_ptr<CSCPMessage> reply(session->customRequest(&request, widePath.c_str()));
   if (reply == nullptr)
      return ERR_REQUEST_TIMEOUT;
   if (announcedSize != nullptr)
      *announcedSize = reply->GetVariableInt64(hkagent::VID_AGENT_FILE_SIZE);
   return reply->GetVariableLong(VID_RCC);
}

ToolResult ToolRunner::run(const std::string &program, std::vector<std::string> args,
                           std::vector<std::string> environment) {
   args.insert(args.begin(), program);
   environment.push_back("HOME=" + m_home.path());
   environment.push_back("XDG_CONFIG_HOME=");
   return RunTool(args, environment);
}

JsonValue ParseOutput(const ToolResult &result) {
   JsonValue value;
   std::string error;
   if (!ParseJson(result.out, &value, &error))
      ADD_FAILURE() << "not JSON (" << error << "): " << result.out;
   return value;
}

}  // namespace e2e
