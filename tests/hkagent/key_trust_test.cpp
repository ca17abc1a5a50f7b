// Which server keys the agent serves, and the mutual HMAC method played
// from both sides against the dispatcher.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <cstring>

#include "agent_codes.h"
#include "dispatcher.h"
#include "identity.h"
#include "key_trust.h"
#include "test_dirs.h"

using namespace hkagent;
using hkagent_test::TempDir;
using hkagent_test::WriteTextFile;

namespace {

RSA *Key(int which) {
   static RSA *keys[2] = {};
   if (keys[which] == nullptr) {
      EVP_PKEY *pkey = EVP_RSA_gen(2048);
      keys[which] = EVP_PKEY_get1_RSA(pkey);
      EVP_PKEY_free(pkey);
   }
   return keys[which];
}

std::string FingerprintHex(RSA *key) {
   uint8_t fp[HKCP_KEY_FINGERPRINT_SIZE];
   EXPECT_TRUE(HKCPKeyFingerprint(key, fp));
   return HKCPFingerprintText(fp);
}

std::string Pem(RSA *key) {
   BIO *bio = BIO_new(BIO_s_mem());
   PEM_write_bio_RSA_PUBKEY(bio, key);
   char *data = nullptr;
   long length = BIO_get_mem_data(bio, &data);
   std::string pem(data, (size_t)length);
   BIO_free(bio);
   return pem;
}

std::string WithColons(const std::string &hex) {
   std::string out;
   for (size_t i = 0; i < hex.size(); i += 2)
      out += (i ? ":" : "") + hex.substr(i, 2);
   return out;
}

struct Source {
   const char *name;
   // Writes the trust source under dir for key 0; returns its path.
   std::string (*write)(const TempDir &dir);
   bool trusted;
};

const Source kSources[] = {
    {"FingerprintLine",
     [](const TempDir &d) {
        std::string path = d.file("keys");
        WriteTextFile(path, "# servers\n\n" + FingerprintHex(Key(0)) + "  # main\n");
        return path;
     },
     true},
    {"UpperCaseWithColons",
     [](const TempDir &d) {
        std::string hex = WithColons(FingerprintHex(Key(0)));
        for (char &c : hex)
           c = (char)toupper((unsigned char)c);
        std::string path = d.file("keys");
        WriteTextFile(path, hex + "\r\n");
        return path;
     },
     true},
    {"PemKey",
     [](const TempDir &d) {
        std::string path = d.file("server.pem");
        WriteTextFile(path, Pem(Key(1)) + Pem(Key(0)));
        return path;
     },
     true},
    {"FolderOfFiles",
     [](const TempDir &d) {
        std::string folder = d.file("servers");
        mkdir(folder.c_str(), 0700);
        WriteTextFile(folder + "/other", FingerprintHex(Key(1)) + "\n");
        WriteTextFile(folder + "/main.pem", Pem(Key(0)));
        return folder;
     },
     true},
    {"OnlyAnotherKey",
     [](const TempDir &d) {
        std::string path = d.file("keys");
        WriteTextFile(path, FingerprintHex(Key(1)) + "\n" + Pem(Key(1)));
        return path;
     },
     false},
    {"HiddenFileIgnored",
     [](const TempDir &d) {
        std::string folder = d.file("servers");
        mkdir(folder.c_str(), 0700);
        WriteTextFile(folder + "/.main.pem", Pem(Key(0)));
        return folder;
     },
     false},
    {"ShortOrCommentedFingerprint",
     [](const TempDir &d) {
        std::string hex = FingerprintHex(Key(0));
        std::string path = d.file("keys");
        WriteTextFile(path, hex.substr(2) + "\n# " + hex + "\n" + hex + "00\n");
        return path;
     },
     false},
    {"Missing", [](const TempDir &d) { return d.file("nothing-here"); }, false},
};

class TrustSources : public ::testing::TestWithParam<Source> {};

TEST_P(TrustSources, TrustOnlyTheKeysTheyName) {
   TempDir dir;
   AgentConfig config;
   config.trustedServerKeys = GetParam().write(dir);
   uint8_t fp[HKCP_KEY_FINGERPRINT_SIZE];
   ASSERT_TRUE(HKCPKeyFingerprint(Key(0), fp));
   EXPECT_EQ(IsServerKeyTrusted(config, fp), GetParam().trusted);
   config.acceptAnyServerKey = true;
   EXPECT_TRUE(IsServerKeyTrusted(config, fp));
}

INSTANTIATE_TEST_SUITE_P(Keys, TrustSources, ::testing::ValuesIn(kSources),
                         [](const ::testing::TestParamInfo<Source> &info) {
                            return info.param.name;
                         });

TEST(TrustSourcesDefault, NoSettingTrustsNothing) {
   AgentConfig config;
   uint8_t fp[HKCP_KEY_FINGERPRINT_SIZE];
   ASSERT_TRUE(HKCPKeyFingerprint(Key(0), fp));
   EXPECT_FALSE(IsServerKeyTrusted(config, fp));
}

// ---------------------------------------------------------------- the agent's TLS key

TEST(IdentityKey, IsMadeOnceWithMode0600AndReadBackTheSame) {
   TempDir dir;
   std::string path = dir.file("identity.pem"), error;
   auto made = LoadOrCreateIdentity(path, &error);
   ASSERT_TRUE(made) << error;
   struct stat st;
   ASSERT_EQ(stat(path.c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & 0777, 0600u);
   auto read = LoadOrCreateIdentity(path, &error);
   ASSERT_TRUE(read) << error;
   EXPECT_EQ(made->fingerprintText(), read->fingerprintText());
}

TEST(IdentityKey, AFileWithoutAKeyOrAFolderThatIsNotThereFails) {
   TempDir dir;
   std::string garbage = dir.file("garbage.pem"), error;
   ASSERT_TRUE(WriteTextFile(garbage, "not a key\n"));
   EXPECT_FALSE(LoadOrCreateIdentity(garbage, &error));
   EXPECT_FALSE(error.empty());
   error.clear();
   EXPECT_FALSE(LoadOrCreateIdentity(dir.file("missing/identity.pem"), &error));
   EXPECT_FALSE(error.empty());
}

// ---------------------------------------------------------------- the dispatcher

class BoundAuthentication : public ::testing::Test {
protected:
   void SetUp() override {
      runtime = std::make_unique<AgentRuntime>("", std::vector<SettingOverride>{});
      AgentConfig config;
      config.secret = "agent-secret";
      config.trustedServerKeys = dir.file("trusted");
      WriteTextFile(config.trustedServerKeys, FingerprintHex(Key(0)) + "\n");
      runtime->setConfig(config);
      dispatcher = std::make_unique<Dispatcher>(*runtime);
   }

   // A key exchange for key; the server's context on success.
   uint32_t exchange(RSA *key, HKCPEncryptionContext **server) {
      CSCPMessage request, reply;
      PrepareKeyRequestMsg(&request, key, false);
      request.SetId(1);
      DispatchOutcome outcome;
      dispatcher->dispatch(state, request, &reply, &outcome);
      EXPECT_EQ(reply.GetCode(), CMD_SESSION_KEY);
      uint32_t rcc = reply.GetVariableLong(VID_RCC);
      if (rcc == 0) {
         EXPECT_EQ(SetupEncryptionContext(&reply, server, nullptr, key, 2), 0u);
         state.encrypted = true;  // the session installs outcome.newContext
      } else {
         EXPECT_EQ(outcome.newContext, nullptr);
      }
      return rcc;
   }

   // The session as CMD_START_TLS leaves it: a TLS binding and the agent's
   // own key.
   void enterTls(uint8_t bindingByte) {
      state.tls = true;
      state.encrypted = true;
      memset(state.tlsBinding, bindingByte, sizeof(state.tlsBinding));
      memset(state.agentFingerprint, 0x33, sizeof(state.agentFingerprint));
   }

   static void prepare(CSCPMessage *r, uint32_t id) {
      r->SetCode(CMD_AUTHENTICATE);
      r->SetId(id);
      r->SetVariable(VID_AUTH_METHOD, AUTH_HMAC_SHA256);
   }

   // Both steps of the bound method as a server with this secret and this
   // binding runs them: the agent's proof first (checked into
   // *agentProven), then the server's. The result of the last step run.
   uint32_t authenticate(uint8_t bindingByte, const char *secret, bool *agentProven,
                         FollowUp *followUp = nullptr) {
      uint8_t binding[HKCP_TLS_BINDING_SIZE], key[32], ns[32], na[32], pa[32], expected[32];
      memset(binding, bindingByte, sizeof(binding));
      EXPECT_TRUE(HKCPTlsAuthKey(secret, strlen(secret), state.agentFingerprint, key));
      RAND_bytes(ns, sizeof(ns));
      CSCPMessage first, reply;
      prepare(&first, 2);
      first.SetVariable(VID_AUTH_NONCE, ns, 32);
      DispatchOutcome outcome;
      dispatcher->dispatch(state, first, &reply, &outcome);
      uint32_t rcc = reply.GetVariableLong(VID_RCC);
      *agentProven = reply.GetVariableBinary(VID_AUTH_NONCE, na, 32) == 32 &&
                     reply.GetVariableBinary(VID_AUTH_PROOF, pa, 32) == 32 &&
                     HKCPTlsAgentProof(key, binding, ns, na, expected) &&
                     memcmp(expected, pa, 32) == 0;
      if (rcc != ERR_SUCCESS)
         return rcc;
      EXPECT_FALSE(state.authenticated);  // not before the server's proof
      uint8_t ps[32];
      EXPECT_TRUE(HKCPTlsServerProof(key, binding, ns, na, pa, ps));
      CSCPMessage second, answer;
      prepare(&second, 3);
      second.SetVariable(VID_AUTH_PROOF, ps, 32);
      DispatchOutcome last;
      dispatcher->dispatch(state, second, &answer, &last);
      if (followUp != nullptr)
         *followUp = last.followUp;
      return answer.GetVariableLong(VID_RCC);
   }

   TempDir dir;
   std::unique_ptr<AgentRuntime> runtime;
   std::unique_ptr<Dispatcher> dispatcher;
   SessionState state;
};

TEST_F(BoundAuthentication, AnUntrustedKeyGetsNoSessionKey) {
   HKCPEncryptionContext *server = nullptr;
   EXPECT_EQ(exchange(Key(1), &server), RCC_INVALID_PUBLIC_KEY);
   EXPECT_FALSE(state.hasChannelBinding);
   // The bound method is not offered on the legacy channel, encrypted or not.
   ASSERT_EQ(exchange(Key(0), &server), 0u);
   bool proven = true;
   EXPECT_EQ(authenticate(0x11, "agent-secret", &proven), ERR_TLS_REQUIRED);
   EXPECT_FALSE(proven);
   state.encrypted = false;
   EXPECT_EQ(authenticate(0x11, "agent-secret", &proven), ERR_TLS_REQUIRED);
   EXPECT_FALSE(state.authenticated);
   server->decRefCount();
}

TEST_F(BoundAuthentication, TlsStartsOnlyAsTheFirstStepOfASessionWithAKey) {
   auto start = [this]() {
      CSCPMessage request, reply;
      request.SetCode(CMD_START_TLS);
      request.SetId(9);
      DispatchOutcome outcome;
      dispatcher->dispatch(state, request, &reply, &outcome);
      EXPECT_EQ(reply.GetCode(), CMD_REQUEST_COMPLETED);
      EXPECT_EQ(outcome.followUp == FollowUp::StartTls,
                reply.GetVariableLong(VID_RCC) == ERR_SUCCESS);
      return reply.GetVariableLong(VID_RCC);
   };
   EXPECT_EQ(start(), ERR_NOT_IMPLEMENTED);  // no identity key
   EVP_PKEY *key = EVP_EC_gen("P-256");
   runtime->setIdentity(HKCPTlsIdentity::create(key));
   EVP_PKEY_free(key);
   ASSERT_TRUE(runtime->identity());
   AgentConfig config = *runtime->config();
   config.requireEncryption = true;  // the start comes before that gate
   runtime->setConfig(config);
   EXPECT_EQ(start(), ERR_SUCCESS);
   for (bool *flag : {&state.encrypted, &state.authenticated, &state.tls}) {
      state = SessionState();
      *flag = true;
      EXPECT_EQ(start(), ERR_ACCESS_DENIED);
   }
   // Inside TLS no legacy key exchange is answered.
   HKCPEncryptionContext *server = nullptr;
   EXPECT_EQ(exchange(Key(0), &server), ERR_NOT_IMPLEMENTED);
   EXPECT_EQ(server, nullptr);
}

TEST_F(BoundAuthentication, BothSidesProveTheSecret) {
   enterTls(0x11);
   bool proven = false;
   EXPECT_EQ(authenticate(0x11, "agent-secret", &proven), ERR_SUCCESS);
   EXPECT_TRUE(proven);
   EXPECT_TRUE(state.authenticated);
}

TEST_F(BoundAuthentication, AWrongSecretOrAnotherChannelFails) {
   for (bool wrongSecret : {true, false}) {
      SCOPED_TRACE(wrongSecret ? "wrong secret" : "another channel");
      state = SessionState();
      enterTls(0x11);
      bool proven = true;
      FollowUp followUp = FollowUp::None;
      EXPECT_EQ(authenticate(wrongSecret ? 0x11 : 0x22, wrongSecret ? "wrong" : "agent-secret",
                             &proven, &followUp),
                ERR_AUTH_FAILED);
      EXPECT_FALSE(proven);
      EXPECT_EQ(followUp, FollowUp::CloseSession);
      EXPECT_FALSE(state.authenticated);
   }
}

}  // namespace
