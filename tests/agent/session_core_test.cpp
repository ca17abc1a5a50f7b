// AgentConnection's object: settings and their clamps, request ids, the
// address, secrets, result texts, the default diagnostic line, and the
// states a session that never connected can be in.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "agent_test_util.h"
#include "fake_agent.h"
#include "support/vtable_slot.h"

namespace {

// Opens the settings' read side to the tests.
class SettingsSession : public AgentConnection {
public:
   using AgentConnection::AgentConnection;
   using AgentConnection::getIpAddr;
   void print(const wchar_t *format, const wchar_t *a, const wchar_t *b) { PrintMsg(format, a, b); }
};

TEST(AgentSettingsTest, TimeoutsAreClampedToTheirMinimum) {
   AgentConnection session(Ip("127.0.0.1"));
   EXPECT_EQ(30000u, session.getConnectionTimeout());
   EXPECT_EQ(10000u, session.getCommandTimeout());

   session.setConnectionTimeout(0);
   EXPECT_EQ(1000u, session.getConnectionTimeout());
   session.setConnectionTimeout(1000);
   EXPECT_EQ(1000u, session.getConnectionTimeout());
   session.setConnectionTimeout(1001);
   EXPECT_EQ(1001u, session.getConnectionTimeout());

   session.setCommandTimeout(499);
   EXPECT_EQ(500u, session.getCommandTimeout());
   session.setCommandTimeout(0);
   EXPECT_EQ(500u, session.getCommandTimeout());
   session.setCommandTimeout(501);
   EXPECT_EQ(501u, session.getCommandTimeout());
   session.setCommandTimeout(0xFFFFFFFF);  // unsigned: the largest value stays
   EXPECT_EQ(0xFFFFFFFFu, session.getCommandTimeout());
}

TEST(AgentSettingsTest, NewSessionStartsDisconnectedWithoutSocket) {
   AgentConnection session(Ip("127.0.0.1"), 4700);
   EXPECT_EQ(0, session.isConnected());
   EXPECT_EQ(INVALID_SOCKET, session.getSocket());
   EXPECT_EQ(2, session.getProtocolVersion());
}

TEST(AgentSettingsTest, RequestIdsStartAtOneAndCountUp) {
   AgentConnection session(Ip("127.0.0.1"));
   EXPECT_EQ(1u, session.generateRequestId());
   EXPECT_EQ(2u, session.generateRequestId());
   EXPECT_EQ(3u, session.generateRequestId());
   AgentConnection other(Ip("127.0.0.1"));
   EXPECT_EQ(1u, other.generateRequestId());  // per session, not per process
}

TEST(AgentSettingsTest, IpAddressComesBackInHostOrder) {
   SettingsSession session(Ip("10.0.0.1"));
   EXPECT_EQ(0x0A000001u, session.getIpAddr());
   SettingsSession other(Ip("192.168.1.20"));
   EXPECT_EQ(0xC0A80114u, other.getIpAddr());
}

TEST(AgentSettingsTest, DisconnectAndDestroyOfAnUnconnectedSessionOnlyClearFlags) {
   auto *session = new AgentConnection(Ip("127.0.0.1"));
   session->disconnect();
   session->disconnect();
   EXPECT_EQ(0, session->isConnected());
   EXPECT_EQ(INVALID_SOCKET, session->getSocket());
   delete session;  // neither waits nor fails (and leaks nothing under asan)
}

// ---------------------------------------------------------------- result texts

// Server code derives its sessions from AgentConnection in other modules:
// the hooks hold the first five slots, the destructor comes after them.
struct HookSlots : AgentConnection {
   static std::vector<size_t> slots() {
      return {VtableSlot(&HookSlots::PrintMsg), VtableSlot(&HookSlots::onTrap),
              VtableSlot(&HookSlots::onDataPush), VtableSlot(&HookSlots::processCustomMessage),
              VtableSlot(&HookSlots::onFileDownload)};
   }
};

TEST(AgentLayoutTest, HooksPrecedeTheDestructorInSlotOrder) {
   EXPECT_EQ((std::vector<size_t>{0, 1, 2, 3, 4}), HookSlots::slots());
}

TEST(AgentErrorTextTest, EveryCodeHasItsText) {
   const struct {
      int code;
      const wchar_t *text;
   } expected[] = {
       {0, L"Success"},
       {400, L"Unknown command"},
       {401, L"Authentication required"},
       {403, L"Access denied"},
       {404, L"Unknown parameter"},
       {408, L"Request timeout"},
       {440, L"Authentication failed"},
       {441, L"Already authenticated"},
       {442, L"Authentication not required"},
       {500, L"Internal error"},
       {501, L"Not implemented"},
       {503, L"Out of resources"},
       {900, L"Not connected"},
       {901, L"Connection broken"},
       {902, L"Bad response"},
       {903, L"I/O failure"},
       {904, L"Resource busy"},
       {905, L"External program execution failed"},
       {906, L"Encryption required"},
       {907, L"No acceptable ciphers"},
       {908, L"Invalid public key"},
       {909, L"Invalid session key"},
       {910, L"Connect failed"},
       {911, L"Malformed command"},
       {912, L"Socket error"},
       {913, L"Bad arguments"},
       {914, L"Subagent load failed"},
       {915, L"File open error"},
       {916, L"File stat filed"},
       {917, L"Memory allocation failed"},
       {918, L"File delete failed"},
   };
   for (const auto &e : expected)
      EXPECT_STREQ(e.text, AgentErrorCodeToText(e.code)) << e.code;
}

TEST(AgentErrorTextTest, UnknownCodesIncludingTheSentinelsCodeGiveTheFallback) {
   EXPECT_STREQ(L"Unknown error code", AgentErrorCodeToText(-1));
   EXPECT_STREQ(L"Unknown error code", AgentErrorCodeToText(402));
   EXPECT_STREQ(L"Unknown error code", AgentErrorCodeToText(924));  // past the last
   EXPECT_STREQ(L"Unknown error code", AgentErrorCodeToText(1));
}

TEST(AgentErrorTextTest, AnAgentThatCannotProveTheSecretHasItsOwnText) {
   EXPECT_STREQ(L"Agent authentication failed", AgentErrorCodeToText((int)ERR_AGENT_AUTH_FAILED));
}

TEST(AgentErrorTextTest, TlsOutcomesHaveTextsOfTheirOwn) {
   EXPECT_STREQ(L"TLS setup failed", AgentErrorCodeToText((int)ERR_TLS_FAILED));
   EXPECT_STREQ(L"Agent key not pinned", AgentErrorCodeToText((int)ERR_AGENT_KEY_NOT_PINNED));
   EXPECT_STREQ(L"Agent key not trusted", AgentErrorCodeToText((int)ERR_AGENT_KEY_UNTRUSTED));
   EXPECT_STREQ(L"Authentication method requires TLS", AgentErrorCodeToText((int)ERR_TLS_REQUIRED));
}

// ---------------------------------------------------------------- default PrintMsg

TEST(AgentPrintMsgTest, DefaultWritesTheFormattedLineToStandardOutput) {
   SettingsSession session(Ip("127.0.0.1"));
   fflush(stdout);
   testing::internal::CaptureStdout();
   session.print(L"Authentication to agent %s failed (%s)", L"10.1.2.3", L"Access denied");
   fflush(stdout);
   std::string out = testing::internal::GetCapturedStdout();
   EXPECT_EQ("Authentication to agent 10.1.2.3 failed (Access denied)\n", out);
}

// ---------------------------------------------------------------- secrets on the wire

class AgentSecretTest : public testing::Test {
protected:
   // The VID_SHARED_SECRET text the fake agent received from a plain-text
   // authentication.
   std::wstring sentSecret(TestSession &session) {
      uint32_t error = 1;
      EXPECT_EQ(1, session.connect(nullptr, 0, &error));
      EXPECT_EQ(0u, error);
      auto auth = agent.recordsWithCode(CMD_AUTHENTICATE);
      if (auth.empty())
         return L"(none)";
      wchar_t buffer[256];
      auth.back().message->GetVariableStr(VID_SHARED_SECRET, buffer, 256);
      return buffer;
   }
   FakeAgent agent;
};

TEST_F(AgentSecretTest, ConstructorKeepsTheFirst63Characters) {
   std::wstring seventy(70, L'x');
   for (size_t i = 0; i < seventy.size(); i++)
      seventy[i] = (wchar_t)(L'A' + i % 26);
   TestSession session(FakeAgent::addressNetworkOrder(), agent.port(), AUTH_PLAINTEXT,
                       seventy.c_str());
   EXPECT_EQ(seventy.substr(0, 63), sentSecret(session));
}

TEST_F(AgentSecretTest, SetAuthDataKeepsTheFirst63Characters) {
   TestSession session(FakeAgent::addressNetworkOrder(), agent.port());
   std::string seventy(70, 'q');
   seventy[62] = 'L';  // the last kept
   seventy[63] = 'X';  // the first cut
   session.setAuthData(AUTH_PLAINTEXT, seventy.c_str());
   std::wstring sent = sentSecret(session);
   EXPECT_EQ(63u, sent.size());
   EXPECT_EQ(L'L', sent.back());
}

TEST_F(AgentSecretTest, NullSecretIsTheEmptyString) {
   TestSession session(FakeAgent::addressNetworkOrder(), agent.port(), AUTH_PLAINTEXT, nullptr);
   EXPECT_EQ(L"", sentSecret(session));
}

TEST_F(AgentSecretTest, SecretPassesThroughTheEightBitCodePage) {
   // U+00E9 has a code-page byte; U+0416 has none and becomes '?'.
   TestSession session(FakeAgent::addressNetworkOrder(), agent.port(), AUTH_PLAINTEXT,
                       L"caf\u00E9-\u0416");
   EXPECT_EQ(L"caf\u00E9-?", sentSecret(session));
}

TEST_F(AgentSecretTest, CombiningAccentsArePrecomposedBeforeTheCodePage) {
   // "e" + U+0301 is the code page's U+00E9; "A" + U+030A its U+00C5.
   TestSession session(FakeAgent::addressNetworkOrder(), agent.port(), AUTH_PLAINTEXT,
                       L"caf"
                       L"e\u0301-A\u030A");
   EXPECT_EQ(L"caf\u00E9-\u00C5", sentSecret(session));
}

TEST_F(AgentSecretTest, NewSessionsCopyTheDefaultPolicyExistingOnesKeepTheirs) {
   TestSession before(FakeAgent::addressNetworkOrder(), agent.port());
   SetAgentDEP(ENCRYPTION_REQUIRED);
   TestSession after(FakeAgent::addressNetworkOrder(), agent.port());
   SetAgentDEP(ENCRYPTION_ALLOWED);

   uint32_t error = 0;
   EXPECT_EQ(0, after.connect(nullptr, 0, &error));  // required, and no key
   EXPECT_EQ(ERR_ENCRYPTION_REQUIRED, error);
   EXPECT_EQ(1, before.connect(nullptr, 0, &error));
   EXPECT_EQ(0u, error);
}

}  // namespace
