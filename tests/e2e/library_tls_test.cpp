// The library inside TLS against the real hkagent: pins both ways, an
// impostor agent with a key of its own, a server key the agent does not
// trust, relays that terminate TLS (substituting their key, or forwarding
// between two tunnels), a wrong secret, no pin at all, and the bound
// method refused outside TLS.
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <fstream>

#include "e2e_fixture.h"
#include "key_relay.h"

using namespace e2e;

namespace {

const char kSecret[] = "tls-test-secret-of-length";

struct PkeyFree {
   void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// The fingerprint of the key in an agent's identity file.
std::string FileFingerprint(const std::string &path) {
   FILE *file = fopen(path.c_str(), "r");
   if (file == nullptr)
      return "";
   Pkey key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
   fclose(file);
   uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE];
   if (!key || !HKCPPublicKeyFingerprint(key.get(), fingerprint))
      return "";
   return HKCPFingerprintText(fingerprint);
}

std::string RsaFingerprint(RSA *key) {
   uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE];
   EXPECT_TRUE(HKCPKeyFingerprint(key, fingerprint));
   return HKCPFingerprintText(fingerprint);
}

Pkey EcKey() {
   static EVP_PKEY *key = EVP_EC_gen("P-256");
   EVP_PKEY_up_ref(key);
   return Pkey(key);
}

std::string EcFingerprint() {
   uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE];
   EXPECT_TRUE(HKCPPublicKeyFingerprint(EcKey().get(), fingerprint));
   return HKCPFingerprintText(fingerprint);
}

enum class Pin { Agent, Impostor, None, AnyKey, Ssh };
enum class Path { Direct, ToImpostor, SubstitutingRelay, ForwardingRelay };

struct TlsCase {
   const char *name;
   Pin pin;
   Path path;
   bool agentTrustsServer;  // else the agent's list names another key
   bool ecServerKey;        // setServerTlsKey with an EC key
   const char *secret;
   uint32_t expected;
};

class TlsConnect : public ::testing::TestWithParam<TlsCase> {
protected:
   // An agent with its own key and a trust list of the test's server keys
   // (or of an unrelated one).
   void startAgent(AgentProcess *agent, const std::string &name, bool trustsServer,
                   bool acceptAny) {
      std::string trust = m_dir.path() + "/" + name + ".trusted";
      std::ofstream out(trust);
      if (trustsServer)
         out << RsaFingerprint(ServerKey()) << "\n" << EcFingerprint() << "\n";
      else
         out << std::string(64, 'a') << "\n";
      out.close();
      AgentSetup setup;
      setup.secret = kSecret;
      setup.requireEncryption = true;
      setup.acceptAnyServerKey = acceptAny;
      if (!acceptAny)
         setup.trustedServerKeys = trust;
      setup.extraLines = {"IdentityKey = " + m_dir.path() + "/" + name + ".pem"};
      std::string error;
      ASSERT_TRUE(agent->start(setup, &error)) << error;
   }
   std::string agentFingerprint(const std::string &name) {
      return FileFingerprint(m_dir.path() + "/" + name + ".pem");
   }

   TempDir m_dir{"hke2e-tls"};
};

TEST_P(TlsConnect, EndsAsTheKeysAndTheSecretDecide) {
   const TlsCase &c = GetParam();
   AgentProcess agent, impostor;
   // The forwarding relay shows the agent a key of its own.
   startAgent(&agent, "agent", c.agentTrustsServer, c.path == Path::ForwardingRelay);
   std::string pinned = agentFingerprint("agent");
   ASSERT_EQ(pinned.size(), 64u);
   uint16_t port = agent.port();
   std::unique_ptr<KeyRelay> relay;
   if (c.path == Path::ToImpostor) {
      startAgent(&impostor, "impostor", true, false);
      port = impostor.port();
   } else if (c.path != Path::Direct) {
      relay = std::make_unique<KeyRelay>(agent.port(), KeyRelay::Mode::TerminateTls);
      port = relay->port();
   }

   RecordingConnection session(LoopbackNetworkOrder(), port, AUTH_HMAC_SHA256, nullptr);
   session.setAuthData(AUTH_HMAC_SHA256, c.secret);
   session.setEncryptionPolicy(ENCRYPTION_REQUIRED);
   switch (c.pin) {
      case Pin::Agent:
         ASSERT_TRUE(session.setAgentKeyFingerprint(pinned.c_str()));
         break;
      case Pin::Ssh: {
         uint8_t raw[HKCP_KEY_FINGERPRINT_SIZE];
         ASSERT_TRUE(HKCPParseFingerprint(pinned.c_str(), raw));
         unsigned char b64[64];
         EVP_EncodeBlock(b64, raw, sizeof(raw));
         std::string ssh = "SHA256:" + std::string((char *)b64);
         ssh.pop_back();  // SSH leaves the padding out
         ASSERT_TRUE(session.setAgentKeyFingerprint(ssh.c_str()));
         break;
      }
      case Pin::Impostor:
         ASSERT_TRUE(session.setAgentKeyFingerprint(std::string(64, 'b').c_str()));
         break;
      case Pin::AnyKey:
         session.setAgentKeyTrust([](const char *) { return true; });
         break;
      case Pin::None:
         break;
   }
   if (c.ecServerKey) {
      ASSERT_TRUE(session.setServerTlsKey(EcKey().get()));
   }

   uint32_t error = 0;
   int connected = session.connect(ServerKey(), 0, &error);
   EXPECT_EQ(error, c.expected);
   EXPECT_EQ(connected, c.expected == ERR_SUCCESS ? 1 : 0);
   if (c.expected == ERR_SUCCESS) {
      EXPECT_TRUE(session.isTlsActive());
      EXPECT_FALSE(session.encrypted());  // no legacy context inside TLS
      wchar_t value[256];
      EXPECT_EQ(session.getParameter(L"Agent.Version", 256, value), ERR_SUCCESS);
      EXPECT_EQ(session.getAgentKeyFingerprint(), pinned);
   }
   if (c.pin == Pin::None || c.path == Path::ToImpostor) {
      // What an operator would pin: the key of whoever answered.
      std::string seen = c.path == Path::ToImpostor ? agentFingerprint("impostor") : pinned;
      EXPECT_EQ(session.getAgentKeyFingerprint(), seen);
   }
   if (relay) {
      // The relay's key is what the library saw, and no authentication
      // ever reached the agent through a relay that holds both tunnels.
      EXPECT_EQ(session.getAgentKeyFingerprint(), KeyRelay::tlsFingerprint());
      if (c.path == Path::SubstitutingRelay) {
         EXPECT_EQ(relay->seenCodes(),
                   (std::vector<uint16_t>{CMD_GET_HKCP_VERSION, CMD_START_TLS}));
      } else {
         // Both tunnels stood and the agent's proof went through; it did not
         // verify at the library, being bound to the other tunnel.
         EXPECT_TRUE(relay->tlsEstablished());
      }
   }
}

INSTANTIATE_TEST_SUITE_P(
    Tls, TlsConnect,
    ::testing::Values(
        TlsCase{"PinnedBothWays", Pin::Agent, Path::Direct, true, false, kSecret, ERR_SUCCESS},
        TlsCase{"SshFormPin", Pin::Ssh, Path::Direct, true, false, kSecret, ERR_SUCCESS},
        TlsCase{"EcServerKey", Pin::Agent, Path::Direct, true, true, kSecret, ERR_SUCCESS},
        TlsCase{"ImpostorAgent", Pin::Agent, Path::ToImpostor, true, false, kSecret,
                ERR_AGENT_KEY_UNTRUSTED},
        TlsCase{"WrongPin", Pin::Impostor, Path::Direct, true, false, kSecret,
                ERR_AGENT_KEY_UNTRUSTED},
        TlsCase{"ServerKeyNotTrusted", Pin::Agent, Path::Direct, false, false, kSecret,
                ERR_TLS_FAILED},
        TlsCase{"SubstitutingRelay", Pin::Agent, Path::SubstitutingRelay, true, false, kSecret,
                ERR_AGENT_KEY_UNTRUSTED},
        TlsCase{"ForwardingRelay", Pin::AnyKey, Path::ForwardingRelay, true, false, kSecret,
                ERR_AGENT_AUTH_FAILED},
        TlsCase{"WrongSecret", Pin::Agent, Path::Direct, true, false, "not-the-secret",
                ERR_AGENT_AUTH_FAILED},
        TlsCase{"NoPin", Pin::None, Path::Direct, true, true, kSecret, ERR_AGENT_KEY_NOT_PINNED}),
    [](const ::testing::TestParamInfo<TlsCase> &info) { return info.param.name; });

TEST(TlsLegacy, TheBoundMethodIsRefusedOutsideTls) {
   AgentProcess agent;
   AgentSetup setup;
   setup.secret = kSecret;
   std::string error;
   ASSERT_TRUE(agent.start(setup, &error)) << error;
   // Nothing asks for TLS: the legacy exchanges, where the method is gone.
   EXPECT_EQ(ConnectResult(agent, AUTH_HMAC_SHA256, kSecret, ENCRYPTION_REQUIRED, ServerKey()),
             ERR_TLS_REQUIRED);
   // The legacy methods still work as they did.
   EXPECT_EQ(ConnectResult(agent, AUTH_SHA1_HASH, kSecret, ENCRYPTION_REQUIRED, ServerKey()),
             ERR_SUCCESS);
}

// An agent with a TLS key serves the legacy exchanges only when told to;
// TLS works either way.
TEST(TlsLegacy, TheLegacyProtocolIsServedOnlyWhenAllowed) {
   for (bool allowLegacy : {false, true}) {
      SCOPED_TRACE(allowLegacy ? "AllowLegacy = yes" : "AllowLegacy = no");
      AgentProcess agent;
      AgentSetup setup;
      setup.secret = kSecret;
      setup.allowLegacy = allowLegacy;
      std::string error;
      ASSERT_TRUE(agent.start(setup, &error)) << error;
      uint32_t legacy = allowLegacy ? ERR_SUCCESS : ERR_TLS_REQUIRED;
      EXPECT_EQ(ConnectResult(agent, AUTH_SHA1_HASH, kSecret, ENCRYPTION_REQUIRED, ServerKey()),
                legacy);
      EXPECT_EQ(ConnectResult(agent, AUTH_SHA1_HASH, kSecret, ENCRYPTION_DISABLED, nullptr),
                legacy);
      RecordingConnection tls(LoopbackNetworkOrder(), agent.port(), AUTH_HMAC_SHA256, nullptr);
      tls.setAuthData(AUTH_HMAC_SHA256, kSecret);
      tls.setAgentKeyTrust([](const char *) { return true; });
      uint32_t result = 0;
      EXPECT_EQ(tls.connect(ServerKey(), 0, &result), 1) << result;
   }
}

TEST(TlsLegacy, AnAgentWithoutAnIdentityKeyFailsATlsConnect) {
   AgentProcess agent;
   AgentSetup setup;
   setup.secret = kSecret;
   setup.identityKey = false;
   std::string error;
   ASSERT_TRUE(agent.start(setup, &error)) << error;
   RecordingConnection session(LoopbackNetworkOrder(), agent.port(), AUTH_SHA1_HASH, nullptr);
   session.setAuthData(AUTH_SHA1_HASH, kSecret);
   session.setEncryptionPolicy(ENCRYPTION_DISABLED);
   session.setAgentKeyTrust([](const char *) { return true; });
   uint32_t result = 0;
   // Never on in the clear once TLS was asked for, whatever the policy.
   EXPECT_EQ(session.connect(ServerKey(), 0, &result), 0);
   EXPECT_EQ(result, ERR_TLS_FAILED);
}

}  // namespace
