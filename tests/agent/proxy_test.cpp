// Connecting through a proxy agent: one fake agent acts as the proxy and
// relays to a second one, so what each of them saw is what crossed its hop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent_test_util.h"
#include "fake_agent.h"

namespace {

class ProxyTest : public testing::Test {
protected:
   // A session for the agent behind the proxy.
   std::unique_ptr<TestSession> session(int authMethod, const wchar_t *secret) {
      auto s = std::make_unique<TestSession>(FakeAgent::addressNetworkOrder(), agent.port(),
                                             authMethod, secret);
      s->setCommandTimeout(1000);
      s->setProxy(FakeAgent::addressNetworkOrder(), proxy.port(), AUTH_PLAINTEXT, L"proxy-secret");
      return s;
   }
   static std::vector<std::pair<uint16_t, bool>> wire(FakeAgent &fake) {
      std::vector<std::pair<uint16_t, bool>> result;
      for (const FakeAgentRecord &r : fake.records())
         result.push_back({r.code, r.encrypted});
      return result;
   }
   typedef std::vector<std::pair<uint16_t, bool>> Wire;

   FakeAgent agent;  // the real agent, reached through the proxy
   FakeAgent proxy;
   uint32_t error = 12345;
};

TEST_F(ProxyTest, EachHopAuthenticatesWithItsOwnSecretAndTheProxyGetsTheTarget) {
   auto s = session(AUTH_PLAINTEXT, L"agent-secret");
   ASSERT_EQ(1, s->connect(nullptr, 0, &error));
   EXPECT_EQ(0u, error);

   EXPECT_EQ((Wire{{CMD_GET_HKCP_VERSION, false},
                   {CMD_AUTHENTICATE, false},
                   {CMD_NOP, false},
                   {CMD_SETUP_PROXY_CONNECTION, false}}),
             wire(proxy));
   auto proxyAuth = proxy.recordsWithCode(CMD_AUTHENTICATE);
   wchar_t text[64];
   EXPECT_STREQ(L"proxy-secret", proxyAuth[0].message->GetVariableStr(VID_SHARED_SECRET, text, 64));
   auto setup = proxy.recordsWithCode(CMD_SETUP_PROXY_CONNECTION);
   EXPECT_EQ(0x7F000001u, setup[0].message->GetVariableLong(VID_IP_ADDRESS));  // host order
   EXPECT_EQ(agent.port(), setup[0].message->GetVariableShort(VID_AGENT_PORT));

   // The agent sees no version probe: that went to the proxy only.
   EXPECT_EQ((Wire{{CMD_AUTHENTICATE, false}, {CMD_NOP, false}}), wire(agent));
   auto agentAuth = agent.recordsWithCode(CMD_AUTHENTICATE);
   EXPECT_STREQ(L"agent-secret", agentAuth[0].message->GetVariableStr(VID_SHARED_SECRET, text, 64));

   // Later requests reach the agent.
   EXPECT_EQ(ERR_SUCCESS, s->nop());
   EXPECT_EQ(2u, agent.recordsWithCode(CMD_NOP).size());
}

TEST_F(ProxyTest, RequiredEncryptionIsNegotiatedWithEachHopAndEndsAtTheAgent) {
   auto s = session(AUTH_MD5_HASH, L"agent-secret");
   s->setEncryptionPolicy(ENCRYPTION_REQUIRED);
   ASSERT_EQ(1, s->connect(TestServerKey(), 0, &error));

   EXPECT_EQ((Wire{{CMD_GET_HKCP_VERSION, false},
                   {CMD_REQUEST_SESSION_KEY, false},
                   {CMD_AUTHENTICATE, true},
                   {CMD_NOP, true},
                   {CMD_SETUP_PROXY_CONNECTION, true}}),
             wire(proxy));
   // The agent decrypts with the key it agreed with the session itself.
   EXPECT_EQ((Wire{{CMD_REQUEST_SESSION_KEY, false}, {CMD_AUTHENTICATE, true}, {CMD_NOP, true}}),
             wire(agent));
   EXPECT_EQ(ERR_SUCCESS, s->nop());
   EXPECT_TRUE(agent.records().back().encrypted);
   EXPECT_EQ(CMD_NOP, agent.records().back().code);
}

TEST_F(ProxyTest, AgentDemandingEncryptionBehindAPlainProxyGetsIt) {
   agent.setHandler(CMD_AUTHENTICATE, FakeDemandEncryption());
   auto s = session(AUTH_PLAINTEXT, L"agent-secret");
   ASSERT_EQ(1, s->connect(TestServerKey(), 0, &error));
   EXPECT_EQ((Wire{{CMD_AUTHENTICATE, false},
                   {CMD_REQUEST_SESSION_KEY, false},
                   {CMD_AUTHENTICATE, true},
                   {CMD_NOP, true}}),
             wire(agent));
   // The proxy hop stayed plain.
   for (const FakeAgentRecord &r : proxy.records())
      EXPECT_FALSE(r.encrypted);
}

TEST_F(ProxyTest, ProxyRefusingTheOnwardConnectionFailsSilently) {
   proxy.setHandler(CMD_SETUP_PROXY_CONNECTION, FakeReply(ERR_CONNECT_FAILED));
   auto s = session(AUTH_NONE, nullptr);
   EXPECT_EQ(0, s->connect(nullptr, 1, &error));
   EXPECT_EQ(ERR_CONNECT_FAILED, error);
   EXPECT_TRUE(s->lines().empty());
   EXPECT_TRUE(agent.records().empty());
}

TEST_F(ProxyTest, ProxySetupWaitsLongerThanTheCommandTimeout) {
   proxy.setHandler(CMD_SETUP_PROXY_CONNECTION, FakeDelay(1500, FakeProxy()));
   auto s = session(AUTH_NONE, nullptr);
   s->setCommandTimeout(500);
   EXPECT_EQ(1, s->connect(nullptr, 0, &error));
   EXPECT_EQ(0u, error);
}

TEST_F(ProxyTest, UnreachableProxyIsNamedInTheVerboseLine) {
   uint16_t closed = 0;
   {
      FakeAgent gone;
      closed = gone.port();
   }
   TestSession s(Ip("127.0.0.9"), 4700);
   s.setProxy(FakeAgent::addressNetworkOrder(), closed, AUTH_NONE, nullptr);
   EXPECT_EQ(0, s.connect(nullptr, 1, &error));
   EXPECT_EQ(ERR_CONNECT_FAILED, error);
   EXPECT_EQ(std::vector<std::wstring>{L"Cannot establish connection with agent 127.0.0.1"},
             s.lines());
}

TEST_F(ProxyTest, AuthenticationFailureAtTheProxyNamesTheAgent) {
   proxy.setHandler(CMD_AUTHENTICATE, FakeReply(ERR_AUTH_FAILED));
   TestSession s(Ip("127.0.0.9"), 4700);
   s.setProxy(FakeAgent::addressNetworkOrder(), proxy.port(), AUTH_PLAINTEXT, L"x");
   EXPECT_EQ(0, s.connect(nullptr, 0, &error));
   EXPECT_EQ(ERR_AUTH_FAILED, error);
   EXPECT_EQ(std::vector<std::wstring>{L"Authentication to agent 127.0.0.9 failed "
                                       L"(Authentication failed)"},
             s.lines());
}

}  // namespace
