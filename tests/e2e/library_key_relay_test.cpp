// A hostile relay between the library and the real hkagent: one that offers
// its own keys to both sides, one that impersonates the agent, a bound proof
// that no longer crosses a legacy channel, and encrypted frames sent twice.
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "e2e_fixture.h"
#include "key_relay.h"

using namespace e2e;

namespace {

const char kSecret[] = "relay-test-secret";

// The fingerprint file an operator installs for the test's server key.
std::string TrustFile(const TempDir &dir) {
   uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE];
   EXPECT_TRUE(HKCPKeyFingerprint(ServerKey(), fingerprint));
   std::string hex = HKCPFingerprintText(fingerprint);
   std::string path = dir.path() + "/trusted";
   std::ofstream(path) << "# the test's server\n" << hex << "\n";
   return path;
}

// A session to the relay (which stands where the agent would).
uint32_t ConnectThrough(const KeyRelay &relay, int method, RecordingConnection *session) {
   session->setAuthData(method, kSecret);
   session->setEncryptionPolicy(ENCRYPTION_REQUIRED);
   session->setPort(relay.port());
   uint32_t error = 0;
   return session->connect(ServerKey(), 0, &error) ? ERR_SUCCESS : error;
}

// Waits, bounded, until the session has ended.
bool WaitDisconnected(AgentConnection &session) {
   auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
   while (session.isConnected()) {
      if (std::chrono::steady_clock::now() > deadline)
         return false;
      std::this_thread::yield();
   }
   return true;
}

class KeyRelayTest : public ::testing::Test {
protected:
   void start(bool acceptAnyKey, const std::string &extraAction = "") {
      AgentSetup setup;
      setup.secret = kSecret;
      setup.requireEncryption = true;
      setup.acceptAnyServerKey = acceptAnyKey;
      if (!acceptAnyKey)
         setup.trustedServerKeys = TrustFile(m_dir);
      if (!extraAction.empty())
         setup.actions = {{"count", extraAction}};
      std::string error;
      ASSERT_TRUE(m_agent.start(setup, &error)) << error;
   }
   std::unique_ptr<RecordingConnection> session() {
      return std::make_unique<RecordingConnection>(LoopbackNetworkOrder(), m_agent.port(),
                                                   AUTH_NONE, nullptr);
   }

   TempDir m_dir{"hke2e-relay"};
   AgentProcess m_agent;
};

TEST_F(KeyRelayTest, TrustedKeysLeaveARelayWithItsOwnKeyNothingButTheProbe) {
   start(false);
   // The test's own key, trusted, still works straight to the agent.
   auto direct = session();
   direct->setAuthData(AUTH_SHA1_HASH, kSecret);
   direct->setEncryptionPolicy(ENCRYPTION_REQUIRED);
   uint32_t error = 0;
   ASSERT_EQ(direct->connect(ServerKey(), 0, &error), 1) << error;
   EXPECT_TRUE(direct->encrypted());

   for (int method : {AUTH_HMAC_SHA256, AUTH_SHA1_HASH}) {
      SCOPED_TRACE(method);
      KeyRelay relay(m_agent.port(), KeyRelay::Mode::Intercept);
      auto s = session();
      EXPECT_EQ(ConnectThrough(relay, method, s.get()), ERR_INVALID_PUBLIC_KEY);
      EXPECT_EQ(relay.agentKeyRefusal(), RCC_INVALID_PUBLIC_KEY);
      // The probe and the key request, both plain and without a secret;
      // nothing the relay could decrypt.
      EXPECT_EQ(relay.seenCodes(),
                (std::vector<uint16_t>{CMD_GET_HKCP_VERSION, CMD_REQUEST_SESSION_KEY}));
      EXPECT_TRUE(relay.capturedAuthentications().empty());
   }
}

struct Impersonation {
   const char *name;
   KeyRelay::OnAuthenticate onAuthenticate;
   uint32_t expected;
};

class RelayImpersonation : public KeyRelayTest,
                           public ::testing::WithParamInterface<Impersonation> {};

TEST_P(RelayImpersonation, FailsTheConnectWithoutTheSecret) {
   // The agent takes any key here, so the relay holds both session keys.
   start(true);
   KeyRelay relay(m_agent.port(), KeyRelay::Mode::Intercept, GetParam().onAuthenticate);
   auto s = session();
   EXPECT_EQ(ConnectThrough(relay, AUTH_HMAC_SHA256, s.get()), GetParam().expected);
   EXPECT_FALSE(s->isConnected());
}

// The bound method is not run over the legacy channel any more (a relay
// that equalises its two keys made its bindings equal): the library
// refuses before sending anything the relay could forward or answer. Inside
// TLS the same relays are library_tls_test's.
INSTANTIATE_TEST_SUITE_P(
    Relay, RelayImpersonation,
    ::testing::Values(Impersonation{"Forward", KeyRelay::OnAuthenticate::Forward, ERR_TLS_REQUIRED},
                      Impersonation{"NoProof", KeyRelay::OnAuthenticate::AnswerWithoutProof,
                                    ERR_TLS_REQUIRED},
                      Impersonation{"FalseProof", KeyRelay::OnAuthenticate::AnswerWithFalseProof,
                                    ERR_TLS_REQUIRED}),
    [](const ::testing::TestParamInfo<Impersonation> &info) { return info.param.name; });

TEST_F(KeyRelayTest, ABoundProofNeverCrossesALegacyChannel) {
   start(true);
   {
      KeyRelay relay(m_agent.port(), KeyRelay::Mode::Intercept,
                     KeyRelay::OnAuthenticate::AnswerWithFalseProof);
      auto s = session();
      EXPECT_EQ(ConnectThrough(relay, AUTH_HMAC_SHA256, s.get()), ERR_TLS_REQUIRED);
      // Nothing to capture: the library sent no proof.
      EXPECT_TRUE(relay.capturedAuthentications().empty());
   }
   // A relay that offers the agent a bound proof of its own making on a
   // legacy channel is refused whatever the proof.
   auto forged = std::make_shared<CSCPMessage>();
   forged->SetCode(CMD_AUTHENTICATE);
   forged->SetVariable(VID_AUTH_METHOD, (uint16_t)AUTH_HMAC_SHA256);
   uint8_t random[HKCP_AUTH_NONCE_SIZE] = {7};
   forged->SetVariable(VID_AUTH_NONCE, random, sizeof(random));
   forged->SetVariable(VID_AUTH_PROOF, random, sizeof(random));
   KeyRelay replayer(m_agent.port(), KeyRelay::Mode::Intercept,
                     KeyRelay::OnAuthenticate::ReplayCaptured);
   replayer.setCapturedAuthentication(forged);
   auto s = session();
   EXPECT_EQ(ConnectThrough(replayer, AUTH_SHA1_HASH, s.get()), ERR_TLS_REQUIRED);
}

struct Duplication {
   const char *name;
   bool toAgent;
};

class ReplayedFrames : public KeyRelayTest, public ::testing::WithParamInterface<Duplication> {};

TEST_P(ReplayedFrames, EndTheSessionAndTheActionRunsOnce) {
   std::string runs = m_dir.path() + "/runs";
   start(false, "/bin/sh -c \"echo run >> " + runs + "\"");
   // A relay without any key: it can only copy what passes.
   KeyRelay relay(m_agent.port(), KeyRelay::Mode::PassThrough);
   auto s = session();
   ASSERT_EQ(ConnectThrough(relay, AUTH_SHA1_HASH, s.get()), ERR_SUCCESS);
   relay.duplicateFrames(GetParam().toAgent);

   uint32_t rc = s->execAction(L"count", 0, nullptr);
   // The first copy is served; the copy after it ends the session.
   EXPECT_EQ(rc, ERR_SUCCESS);
   EXPECT_TRUE(WaitDisconnected(*s));
   std::ifstream in(runs);
   std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
   EXPECT_EQ(all, "run\n");
}

INSTANTIATE_TEST_SUITE_P(Relay, ReplayedFrames,
                         ::testing::Values(Duplication{"ToAgent", true},
                                           Duplication{"ToServer", false}),
                         [](const ::testing::TestParamInfo<Duplication> &info) {
                            return info.param.name;
                         });

}  // namespace
