// A hostile relay between the library and the real hkagent: one that offers
// its own keys to both sides, one that gives both sides the same key, one
// that impersonates the agent, a bound proof that no longer crosses a legacy
// channel, and encrypted frames sent twice, dropped or sent back.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <fstream>
#include <mutex>
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

   // Key substitution fails whether the relay keeps two keys or hands the
   // server the agent's: either way the agent must take the relay's key.
   for (auto [mode, method] : {std::pair{KeyRelay::Mode::Intercept, AUTH_HMAC_SHA256},
                               std::pair{KeyRelay::Mode::Intercept, AUTH_SHA1_HASH},
                               std::pair{KeyRelay::Mode::Equalise, AUTH_HMAC_SHA256},
                               std::pair{KeyRelay::Mode::Equalise, AUTH_SHA1_HASH}}) {
      SCOPED_TRACE(testing::Message() << "mode " << (int)mode << " method " << method);
      KeyRelay relay(m_agent.port(), mode);
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

// Equal keys on both hops make both channel bindings equal, so the server's
// proof (method 4) is as good on the relay's channel to the agent, and the
// agent's proof comes back unchanged. Only an agent that lists the trusted
// server keys (above) stops this in the legacy key exchange: the exchange
// carries nothing else that ties the key to the server, and changing what
// the proofs cover would break old peers. The secure mode (HKCP inside TLS)
// is what closes it; this records what the legacy exchange gives today.
// A relay that hands both hops one key made their channel bindings equal,
// so the bound method proved nothing over the legacy channel: the library no
// longer runs it there, and sends nothing the relay could use. Inside TLS
// the same relay is library_tls_test's ForwardingRelay.
TEST_F(KeyRelayTest, EqualisedKeyGetsNoBoundProofInTheLegacyMode) {
   start(true);
   KeyRelay relay(m_agent.port(), KeyRelay::Mode::Equalise);
   auto s = session();
   EXPECT_EQ(ConnectThrough(relay, AUTH_HMAC_SHA256, s.get()), ERR_TLS_REQUIRED);
   EXPECT_FALSE(s->isConnected());
   std::vector<uint16_t> seen = relay.seenCodes();
   EXPECT_EQ(std::find(seen.begin(), seen.end(), CMD_AUTHENTICATE), seen.end());
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

// ---------------------------------------------------------------- frames dropped or sent back

// What a relay without the key does to the stream, while the server uploads,
// downloads or runs an action: each must fail closed. The side that sees
// the fault ends the session; the other sees the connection end.
struct PathFault {
   const char *name;
   enum class Fault { Drop, Reflect } fault;
   bool toAgent;  // Drop: towards the agent; Reflect: back to the agent
   enum class Work { Upload, Download, Action } work;
   const char *agentLine;     // when the agent is the one that notices
   const wchar_t *localLine;  // when the library's session is
   const char *runs;          // Action: what the action left behind
   bool tls = false;          // inside TLS, the agent's key trusted as it comes
};

// A session that keeps the lines it prints.
class LineRecordingConnection : public RecordingConnection {
public:
   using RecordingConnection::RecordingConnection;
   bool printed(const std::wstring &part) {
      std::lock_guard<std::mutex> guard(m_mutex);
      for (const std::wstring &line : m_lines) {
         if (line.find(part) != std::wstring::npos)
            return true;
      }
      return false;
   }

protected:
   void PrintMsg(const wchar_t *format, ...) override {
      wchar_t text[512];
      va_list args;
      va_start(args, format);
      hk_vsnwprintf(text, 512, format, args);
      va_end(args);
      std::lock_guard<std::mutex> guard(m_mutex);
      m_lines.push_back(text);
   }

private:
   std::mutex m_mutex;
   std::vector<std::wstring> m_lines;  // guarded by m_mutex
};

class FramesOnThePath : public KeyRelayTest, public ::testing::WithParamInterface<PathFault> {};

TEST_P(FramesOnThePath, FailClosed) {
   const PathFault &p = GetParam();
   const std::string runs = m_dir / "runs";
   start(false, "/bin/sh -c \"echo run >> " + runs + "\"");
   // Several file-data frames, so the third frame is inside the transfer.
   const std::string content = PatternBytes(6 * FILE_BUFFER_SIZE + 100, 5);
   const std::string local = m_dir / "local.bin", downloaded = m_dir / "downloaded.bin";
   ASSERT_TRUE(WriteFile(local, content));
   ASSERT_TRUE(WriteFile(m_agent.storeDir() + "/stored.bin", content));
   KeyRelay relay(m_agent.port(), KeyRelay::Mode::PassThrough);
   auto s = std::make_unique<LineRecordingConnection>(LoopbackNetworkOrder(), m_agent.port(),
                                                      AUTH_NONE, nullptr);
   // The legacy mode authenticates nobody; what is tested is that its
   // channel, or TLS, ends on a frame dropped or sent back.
   if (p.tls)
      s->setAgentKeyTrust([](const char *) { return true; });
   ASSERT_EQ(ConnectThrough(relay, p.tls ? AUTH_HMAC_SHA256 : AUTH_SHA1_HASH, s.get()),
             ERR_SUCCESS);
   EXPECT_EQ(s->isTlsActive(), p.tls);
   if (p.fault == PathFault::Fault::Drop)
      relay.dropFrame(p.toAgent, 3);
   else
      relay.reflectFrame(p.toAgent);

   uint32_t rc = ERR_SUCCESS;
   switch (p.work) {
      case PathFault::Work::Upload:
         rc = s->uploadFile(std::wstring(local.begin(), local.end()).c_str(), L"uploaded.bin");
         break;
      case PathFault::Work::Download:
         rc = DownloadFile(s.get(), "stored.bin", downloaded);
         break;
      case PathFault::Work::Action:
         rc = s->execAction(L"count", 0, nullptr);
         break;
   }
   EXPECT_NE(rc, ERR_SUCCESS);
   EXPECT_TRUE(WaitDisconnected(*s));
   if (p.agentLine != nullptr) {
      EXPECT_TRUE(m_agent.waitForLog(p.agentLine, 15000)) << m_agent.log();
   }
   if (p.localLine != nullptr) {
      EXPECT_TRUE(s->printed(p.localLine));
   }
   // Nothing cut short passes for whole.
   EXPECT_FALSE(Exists(m_agent.storeDir() + "/uploaded.bin"));
   if (Exists(downloaded)) {
      EXPECT_NE(Sha256OfFile(downloaded), Sha256OfFile(local));
   }
   if (p.runs != nullptr) {
      std::ifstream in(runs);
      std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(all, p.runs);
   }
}

INSTANTIATE_TEST_SUITE_P(
    Relay, FramesOnThePath,
    ::testing::Values(
        PathFault{"DropToAgentMidUpload", PathFault::Fault::Drop, true, PathFault::Work::Upload,
                  "out of sequence (1 earlier message(s) missing)", nullptr, nullptr},
        PathFault{"DropToServerMidDownload", PathFault::Fault::Drop, false,
                  PathFault::Work::Download, nullptr,
                  L"out of sequence (1 earlier message(s) missing)", nullptr},
        // The agent's reply goes back to the agent, which once answered it
        // as an unknown command under the request's id.
        PathFault{"ReflectToAgent", PathFault::Fault::Reflect, true, PathFault::Work::Action,
                  "in this side's own direction (reflected back)", nullptr, "run\n"},
        // The server's request comes back to the server: the action never ran.
        PathFault{"ReflectToServer", PathFault::Fault::Reflect, false, PathFault::Work::Action,
                  nullptr, L"in this side's own direction (reflected back)", ""},
        // Inside TLS the record layer notices the same faults.
        PathFault{"TlsDropToAgentMidUpload", PathFault::Fault::Drop, true, PathFault::Work::Upload,
                  nullptr, nullptr, nullptr, true},
        PathFault{"TlsDropToServerMidDownload", PathFault::Fault::Drop, false,
                  PathFault::Work::Download, nullptr, nullptr, nullptr, true},
        PathFault{"TlsReflectToAgent", PathFault::Fault::Reflect, true, PathFault::Work::Action,
                  nullptr, nullptr, nullptr, true},
        PathFault{"TlsReflectToServer", PathFault::Fault::Reflect, false, PathFault::Work::Action,
                  nullptr, nullptr, "", true}),
    [](const ::testing::TestParamInfo<PathFault> &info) { return info.param.name; });

}  // namespace
