// The connect sequence against the scriptable agent: what goes over the wire
// for each policy and answer, the result, and the diagnostic line.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "agent_test_util.h"
#include "fake_agent.h"

namespace {

const uint16_t PROBE = CMD_GET_HKCP_VERSION;
const uint16_t KEY = CMD_REQUEST_SESSION_KEY;
const uint16_t AUTH = CMD_AUTHENTICATE;
const uint16_t NOP = CMD_NOP;

std::vector<uint8_t> Digest(const char *name, const std::string &data) {
   std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
   unsigned int length = 0;
   EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_get_digestbyname(name), nullptr);
   out.resize(length);
   return out;
}

std::vector<uint8_t> SharedSecretBytes(const FakeAgentRecord &record) {
   uint32_t size = record.message->GetVariableBinary(VID_SHARED_SECRET, nullptr, 0);
   std::vector<uint8_t> bytes(size);
   record.message->GetVariableBinary(VID_SHARED_SECRET, bytes.data(), size);
   return bytes;
}

// A free loopback port: bound, then released.
uint16_t ClosedPort() {
   FakeAgent gone;
   return gone.port();
}

class ConnectTest : public testing::Test {
protected:
   std::unique_ptr<TestSession> session(int authMethod = AUTH_NONE,
                                        const wchar_t *secret = nullptr) {
      auto s = std::make_unique<TestSession>(FakeAgent::addressNetworkOrder(), agent.port(),
                                             authMethod, secret);
      s->setCommandTimeout(500);
      return s;
   }
   // The records' codes and whether each came encrypted.
   std::vector<std::pair<uint16_t, bool>> wire() {
      std::vector<std::pair<uint16_t, bool>> result;
      for (const FakeAgentRecord &r : agent.records())
         result.push_back({r.code, r.encrypted});
      return result;
   }
   typedef std::vector<std::pair<uint16_t, bool>> Wire;

   FakeAgent agent;
   uint32_t error = 12345;
   uint32_t socketError = 12345;
};

TEST_F(ConnectTest, NoAuthenticationAllowedPolicySendsOnlyNopAfterTheProbe) {
   auto s = session();
   EXPECT_EQ(1, s->connect(nullptr, 1, &error, &socketError));
   EXPECT_EQ(0u, error);
   EXPECT_EQ(0u, socketError);
   EXPECT_EQ(1, s->isConnected());
   EXPECT_NE(INVALID_SOCKET, s->getSocket());
   EXPECT_EQ((Wire{{PROBE, false}, {NOP, false}}), wire());
   EXPECT_TRUE(s->lines().empty());
}

TEST_F(ConnectTest, OutputsMayBeNull) {
   auto s = session();
   EXPECT_EQ(1, s->connect());
   EXPECT_EQ(ERR_SUCCESS, s->nop());
}

TEST_F(ConnectTest, DemandForEncryptionIsMetWithAKeyAndASecondAuthentication) {
   agent.setHandler(AUTH, FakeDemandEncryption());
   auto s = session(AUTH_PLAINTEXT, L"secret");
   EXPECT_EQ(1, s->connect(TestServerKey(), 0, &error, &socketError));
   EXPECT_EQ(0u, error);
   EXPECT_EQ((Wire{{PROBE, false}, {AUTH, false}, {KEY, false}, {AUTH, true}, {NOP, true}}),
             wire());
   EXPECT_EQ(ERR_SUCCESS, s->nop());
   EXPECT_TRUE(agent.records().back().encrypted);
   EXPECT_TRUE(s->lines().empty());
}

TEST_F(ConnectTest, DemandForEncryptionFromNopIsMetTheSameWay) {
   agent.setHandler(NOP, FakeDemandEncryption());
   auto s = session();
   EXPECT_EQ(1, s->connect(TestServerKey(), 0, &error));
   EXPECT_EQ((Wire{{PROBE, false}, {NOP, false}, {KEY, false}, {NOP, true}}), wire());
}

TEST_F(ConnectTest, DemandForEncryptionWithoutServerKeyFailsSilently) {
   agent.setHandler(AUTH, FakeDemandEncryption());
   auto s = session(AUTH_PLAINTEXT, L"secret");
   EXPECT_EQ(0, s->connect(nullptr, 1, &error, &socketError));
   EXPECT_EQ(ERR_ENCRYPTION_REQUIRED, error);
   EXPECT_EQ((Wire{{PROBE, false}, {AUTH, false}}), wire());
   EXPECT_TRUE(s->lines().empty());
   EXPECT_EQ(0, s->isConnected());
   EXPECT_EQ(INVALID_SOCKET, s->getSocket());
   EXPECT_TRUE(agent.waitForClosed(1, 5000));
}

TEST_F(ConnectTest, DemandForEncryptionUnderDisabledPolicyFailsWithTheMessage) {
   agent.setHandler(AUTH, FakeDemandEncryption());
   auto s = session(AUTH_PLAINTEXT, L"secret");
   s->setEncryptionPolicy(ENCRYPTION_DISABLED);
   EXPECT_EQ(0, s->connect(TestServerKey(), 0, &error));
   EXPECT_EQ(ERR_ENCRYPTION_REQUIRED, error);
   EXPECT_EQ((Wire{{PROBE, false}, {AUTH, false}}), wire());
   EXPECT_EQ(std::vector<std::wstring>{L"Authentication to agent 127.0.0.1 failed (Encryption "
                                       L"required)"},
             s->lines());
}

TEST_F(ConnectTest, RepeatedDemandAfterEncryptionIsRefusedNotLooped) {
   agent.setHandler(AUTH, FakeReply(ERR_ENCRYPTION_REQUIRED));  // even when encrypted
   auto s = session(AUTH_PLAINTEXT, L"secret");
   EXPECT_EQ(0, s->connect(TestServerKey(), 0, &error));
   EXPECT_EQ(ERR_ENCRYPTION_REQUIRED, error);
   EXPECT_EQ((Wire{{PROBE, false}, {AUTH, false}, {KEY, false}, {AUTH, true}}), wire());
   EXPECT_EQ(std::vector<std::wstring>{L"Authentication to agent 127.0.0.1 failed (Encryption "
                                       L"required)"},
             s->lines());
}

TEST_F(ConnectTest, DemandAfterPreferredEncryptionWasSetUpIsRefused) {
   agent.setHandler(NOP, FakeReply(ERR_ENCRYPTION_REQUIRED));
   auto s = session();
   s->setEncryptionPolicy(ENCRYPTION_PREFERRED);
   EXPECT_EQ(0, s->connect(TestServerKey(), 0, &error));
   EXPECT_EQ(ERR_ENCRYPTION_REQUIRED, error);
   EXPECT_EQ((Wire{{PROBE, false}, {KEY, false}, {NOP, true}}), wire());
   EXPECT_EQ(std::vector<std::wstring>{L"Communication with agent 127.0.0.1 failed (Encryption "
                                       L"required)"},
             s->lines());
}

TEST_F(ConnectTest, PreferredPolicyGoesOnPlainWhenTheKeyExchangeFails) {
   agent.setHandler(KEY, FakeAnswerKeyRequest(0));  // no cipher in common: 907
   auto s = session();
   s->setEncryptionPolicy(ENCRYPTION_PREFERRED);
   EXPECT_EQ(1, s->connect(TestServerKey(), 0, &error));
   EXPECT_EQ(0u, error);
   EXPECT_EQ((Wire{{PROBE, false}, {KEY, false}, {NOP, false}}), wire());
   EXPECT_TRUE(s->lines().empty());
}

TEST_F(ConnectTest, PreferredPolicyWithoutKeyGoesOnPlain) {
   auto s = session();
   s->setEncryptionPolicy(ENCRYPTION_PREFERRED);
   EXPECT_EQ(1, s->connect(nullptr, 0, &error));
   EXPECT_EQ((Wire{{PROBE, false}, {NOP, false}}), wire());
}

TEST_F(ConnectTest, RequiredPolicyWithoutKeyFailsBeforeSendingAnything) {
   auto s = session();
   s->setEncryptionPolicy(ENCRYPTION_REQUIRED);
   EXPECT_EQ(0, s->connect(nullptr, 1, &error));
   EXPECT_EQ(ERR_ENCRYPTION_REQUIRED, error);
   EXPECT_TRUE(agent.waitForClosed(1, 5000));
   EXPECT_EQ((Wire{{PROBE, false}}), wire());
   EXPECT_TRUE(s->lines().empty());
}

TEST_F(ConnectTest, RequiredPolicyEncryptsEverythingAfterTheKeyRequest) {
   auto s = session(AUTH_SHA1_HASH, L"pw");
   s->setEncryptionPolicy(ENCRYPTION_REQUIRED);
   EXPECT_EQ(1, s->connect(TestServerKey(), 0, &error));
   EXPECT_EQ((Wire{{PROBE, false}, {KEY, false}, {AUTH, true}, {NOP, true}}), wire());
}

TEST_F(ConnectTest, RequiredPolicyFailsWithTheKeyExchangeResult) {
   struct Case {
      FakeAgentHandler handler;
      uint32_t expected;
   } cases[] = {
       {FakeAnswerKeyRequest(0), ERR_NO_CIPHERS},
       {FakeSilent(), ERR_REQUEST_TIMEOUT},
   };
   for (const Case &c : cases) {
      agent.setHandler(KEY, c.handler);
      auto s = session();
      s->setEncryptionPolicy(ENCRYPTION_REQUIRED);
      EXPECT_EQ(0, s->connect(TestServerKey(), 1, &error));
      EXPECT_EQ(c.expected, error);
      EXPECT_TRUE(s->lines().empty());
   }
}

TEST_F(ConnectTest, AuthenticationFailureNamesTheAgentAndTheResult) {
   agent.setHandler(AUTH, FakeReply(ERR_AUTH_FAILED));
   auto s = session(AUTH_PLAINTEXT, L"wrong");
   EXPECT_EQ(0, s->connect(nullptr, 0, &error, &socketError));
   EXPECT_EQ(ERR_AUTH_FAILED, error);
   EXPECT_EQ(std::vector<std::wstring>{L"Authentication to agent 127.0.0.1 failed "
                                       L"(Authentication failed)"},
             s->lines());
   EXPECT_EQ((Wire{{PROBE, false}, {AUTH, false}}), wire());
   EXPECT_EQ(0, s->isConnected());
   EXPECT_EQ(INVALID_SOCKET, s->getSocket());
   EXPECT_TRUE(agent.waitForClosed(1, 5000));
}

TEST_F(ConnectTest, SilentAgentTimesAuthenticationOut) {
   agent.setHandler(AUTH, FakeSilent());
   auto s = session(AUTH_MD5_HASH, L"x");
   EXPECT_EQ(0, s->connect(nullptr, 0, &error));
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, error);
   EXPECT_EQ(std::vector<std::wstring>{L"Authentication to agent 127.0.0.1 failed (Request "
                                       L"timeout)"},
             s->lines());
}

TEST_F(ConnectTest, NopFailureNamesTheAgentAndTheResult) {
   agent.setHandler(NOP, FakeReply(ERR_ACCESS_DENIED));
   auto s = session();
   EXPECT_EQ(0, s->connect(nullptr, 0, &error));
   EXPECT_EQ(ERR_ACCESS_DENIED, error);
   EXPECT_EQ(std::vector<std::wstring>{L"Communication with agent 127.0.0.1 failed (Access "
                                       L"denied)"},
             s->lines());
}

TEST_F(ConnectTest, RefusedTcpConnectFailsWith910AndTheVerboseLine) {
   uint16_t port = ClosedPort();
   TestSession s(Ip("127.0.0.1"), port);
   EXPECT_EQ(0, s.connect(nullptr, 1, &error, &socketError));
   EXPECT_EQ(ERR_CONNECT_FAILED, error);
   EXPECT_NE(0u, socketError);
   EXPECT_EQ(std::vector<std::wstring>{L"Cannot establish connection with agent 127.0.0.1"},
             s.lines());
   EXPECT_EQ(INVALID_SOCKET, s.getSocket());

   TestSession quiet(Ip("127.0.0.1"), port);
   EXPECT_EQ(0, quiet.connect(nullptr, 0, &error));
   EXPECT_EQ(ERR_CONNECT_FAILED, error);
   EXPECT_TRUE(quiet.lines().empty());
}

TEST_F(ConnectTest, PeerThatClosesOnTheVersionProbeFailsWith500) {
   FakeAgentOptions options;
   options.probe = FakeAgentOptions::Probe::Close;
   FakeAgent closing(options);
   TestSession s(FakeAgent::addressNetworkOrder(), closing.port());
   EXPECT_EQ(0, s.connect(nullptr, 1, &error));
   EXPECT_EQ(ERR_INTERNAL_ERROR, error);
   EXPECT_TRUE(s.lines().empty());
   EXPECT_EQ(INVALID_SOCKET, s.getSocket());
}

TEST_F(ConnectTest, PeerVersionIsTakenFromTheProbe) {
   FakeAgentOptions options;
   options.version = 3;
   FakeAgent v3(options);
   TestSession s(FakeAgent::addressNetworkOrder(), v3.port());
   EXPECT_EQ(1, s.connect(nullptr, 0, &error));
   EXPECT_EQ(3, s.getProtocolVersion());
}

TEST_F(ConnectTest, ConnectOnAConnectedSessionChangesNothing) {
   auto s = session();
   ASSERT_EQ(1, s->connect(nullptr, 0, &error));
   SOCKET before = s->getSocket();
   EXPECT_EQ(0, s->connect(nullptr, 0, &error, &socketError));
   EXPECT_EQ(ERR_INTERNAL_ERROR, error);
   EXPECT_EQ(0u, socketError);
   EXPECT_EQ(1, s->isConnected());
   EXPECT_EQ(before, s->getSocket());
   EXPECT_EQ(1, agent.acceptedConnections());
   EXPECT_EQ(ERR_SUCCESS, s->nop());
}

TEST_F(ConnectTest, ReconnectKeepsCountingRequestIds) {
   auto s = session();
   EXPECT_EQ(1u, s->generateRequestId());
   ASSERT_EQ(1, s->connect(nullptr, 0, &error));
   EXPECT_EQ(2u, agent.recordsWithCode(NOP).back().id);
   s->disconnect();
   ASSERT_TRUE(s->waitForReceiverEnd(5000));
   ASSERT_EQ(1, s->connect(nullptr, 0, &error));
   EXPECT_EQ(3u, agent.recordsWithCode(NOP).back().id);
   EXPECT_EQ(4u, s->generateRequestId());
   EXPECT_EQ(2, agent.acceptedConnections());
}

TEST_F(ConnectTest, FailedConnectLeavesTheSessionReadyForAnother) {
   agent.setHandler(NOP, FakeReply(ERR_ACCESS_DENIED));
   auto s = session();
   EXPECT_EQ(0, s->connect(nullptr, 0, &error));
   agent.setHandler(NOP, nullptr);
   EXPECT_EQ(1, s->connect(nullptr, 0, &error));
   EXPECT_EQ(0u, error);
   EXPECT_EQ(ERR_SUCCESS, s->nop());
}

// ---------------------------------------------------------------- authenticate

TEST_F(ConnectTest, AuthenticateSendsTheSecretAsEachMethodWants) {
   struct Case {
      int method;
      const wchar_t *secret;
      const char *digest;  // null: plain text
      std::string bytes;
   } cases[] = {
       {AUTH_PLAINTEXT, L"s3cr\u00E9t", nullptr, ""},
       {AUTH_MD5_HASH, L"s3cr\u00E9t", "MD5", "s3cr\xE9t"},
       {AUTH_SHA1_HASH, L"s3cr\u00E9t", "SHA1", "s3cr\xE9t"},
       {AUTH_MD5_HASH, L"", "MD5", ""},
       {AUTH_SHA1_HASH, nullptr, "SHA1", ""},
   };
   for (const Case &c : cases) {
      agent.clearRecords();
      auto s = session(c.method, c.secret);
      ASSERT_EQ(1, s->connect(nullptr, 0, &error));
      auto auth = agent.recordsWithCode(AUTH);
      ASSERT_EQ(1u, auth.size());
      EXPECT_EQ((uint16_t)c.method, auth[0].message->GetVariableShort(VID_AUTH_METHOD));
      if (c.digest == nullptr) {
         wchar_t text[64];
         auth[0].message->GetVariableStr(VID_SHARED_SECRET, text, 64);
         EXPECT_STREQ(c.secret, text);
      } else {
         EXPECT_EQ(Digest(c.digest, c.bytes), SharedSecretBytes(auth[0])) << c.method;
      }
   }
}

TEST_F(ConnectTest, AuthenticateWithoutMethodSendsNothingAndUnknownMethodSendsOnlyTheMethod) {
   auto s = session();
   ASSERT_EQ(1, s->connect(nullptr, 0, &error));
   uint32_t nextId = s->generateRequestId() + 1;
   size_t before = agent.records().size();
   EXPECT_EQ(ERR_SUCCESS, s->authenticate(0));
   EXPECT_EQ(before, agent.records().size());
   EXPECT_EQ(nextId, s->generateRequestId());  // no id was taken

   s->setAuthData(7, "ignored");
   EXPECT_EQ(ERR_SUCCESS, s->authenticate(0));
   auto auth = agent.recordsWithCode(AUTH);
   ASSERT_EQ(1u, auth.size());
   EXPECT_EQ(7, auth[0].message->GetVariableShort(VID_AUTH_METHOD));
   EXPECT_FALSE(auth[0].message->IsVariableExist(VID_SHARED_SECRET));
   EXPECT_EQ(1u, auth[0].message->GetNumVariables());
}

TEST_F(ConnectTest, ReplyWithoutResultCodeCountsAsSuccess) {
   agent.setHandler(NOP, [](FakeAgentConnection &c, const CSCPMessage &request) {
      CSCPMessage reply;
      reply.SetCode(CMD_REQUEST_COMPLETED);
      reply.SetId(request.GetId());
      c.send(reply);
   });
   auto s = session();
   EXPECT_EQ(1, s->connect(nullptr, 0, &error));
   EXPECT_EQ(ERR_SUCCESS, s->nop());
}

TEST_F(ConnectTest, RequestsOnASessionWhoseConnectionIsGoneFailOrTimeOut) {
   auto s = session();
   ASSERT_EQ(1, s->connect(nullptr, 0, &error));
   s->disconnect();
   ASSERT_TRUE(s->waitForReceiverEnd(5000));
   EXPECT_EQ(0, s->isConnected());
   // nop does not check the flag: the send fails on the closed session.
   EXPECT_EQ(ERR_CONNECTION_BROKEN, s->nop());
}

}  // namespace
