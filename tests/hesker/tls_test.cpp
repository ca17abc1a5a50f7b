// HKCP inside TLS over a loopback pair of connection cores: fingerprints in
// both written forms, the handshake with pins both ways for each key type,
// frames of every size through the tunnel, and the failures that must end
// a session (a key not pinned, a refused client key, a forged record).
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "hesker_test_util.h"

using namespace hesker_test;

namespace {

const uint32_t kWaitMs = 20000;

struct PkeyDeleter {
   void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

Pkey MakeKey(const std::string &type) {
   if (type == "rsa")
      return Pkey(EVP_RSA_gen(2048));
   if (type == "ec")
      return Pkey(EVP_EC_gen("P-256"));
   return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
}

// ---------------------------------------------------------------- fingerprints

struct FingerprintText {
   const char *name;
   std::string text;
   bool valid;
};

const uint8_t kSample[32] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                             0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab,
                             0xcd, 0xef, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

class FingerprintParse : public ::testing::TestWithParam<FingerprintText> {};

TEST_P(FingerprintParse, ReadsEveryWrittenFormAndNothingElse) {
   uint8_t parsed[32] = {};
   ASSERT_EQ(HKCPParseFingerprint(GetParam().text.c_str(), parsed), GetParam().valid);
   if (GetParam().valid) {
      EXPECT_EQ(0, memcmp(parsed, kSample, 32));
   }
}

std::string Hex() {
   return HKCPFingerprintText(kSample);
}

std::string Colons() {
   std::string hex = Hex(), out;
   for (size_t i = 0; i < hex.size(); i += 2)
      out += (i ? ":" : "") + hex.substr(i, 2);
   for (char &c : out)
      c = (char)toupper((unsigned char)c);
   return out;
}

INSTANTIATE_TEST_SUITE_P(
    Tls, FingerprintParse,
    ::testing::Values(
        FingerprintText{"Hex", Hex(), true}, FingerprintText{"UpperWithColons", Colons(), true},
        FingerprintText{"Ssh", "SHA256:ABEiM0RVZneImaq7zN3u/wEjRWeJq83v/ty6mHZUMhA", true},
        FingerprintText{"SshPadded", "SHA256:ABEiM0RVZneImaq7zN3u/wEjRWeJq83v/ty6mHZUMhA=", true},
        FingerprintText{"Short", Hex().substr(2), false},
        FingerprintText{"Long", Hex() + "00", false},
        FingerprintText{"NotHex", "zz" + Hex().substr(2), false},
        FingerprintText{"SshShort", "SHA256:ABEiM0RVZneImaq7zN3u", false},
        FingerprintText{"Empty", "", false}),
    [](const ::testing::TestParamInfo<FingerprintText> &info) { return info.param.name; });

// ---------------------------------------------------------------- a pair

// Two connection cores on a loopback pair, each with its own identity: the
// client connects (HKCP's server), the server accepts (the agent).
struct TlsPair {
   TcpPair tcp;
   HKCPConnection client, server;
   std::shared_ptr<HKCPTlsIdentity> clientId, serverId;
   std::unique_ptr<HKCPTls> clientTls, serverTls;
   HKCPTlsResult clientResult = HKCPTlsResult::Closed, serverResult = HKCPTlsResult::Closed;

   TlsPair(const std::string &clientKey, const std::string &serverKey) {
      Pkey a = MakeKey(clientKey), b = MakeKey(serverKey);
      clientId = HKCPTlsIdentity::create(a.get());
      serverId = HKCPTlsIdentity::create(b.get());
      client.attach(tcp.client, kWaitMs);
      server.attach(tcp.server, kWaitMs);
      tcp.client = tcp.server = INVALID_SOCKET;
   }
   static HKCPTlsTrust Pin(const uint8_t *expected) {
      std::vector<uint8_t> pin(expected, expected + 32);
      return [pin](const uint8_t *fp) { return memcmp(fp, pin.data(), 32) == 0; };
   }
   // Both handshakes at once; each side's trust decides on the other.
   void handshake(HKCPTlsTrust clientTrust, HKCPTlsTrust serverTrust) {
      clientTls = HKCPTls::create(clientId, false, std::move(clientTrust));
      serverTls = HKCPTls::create(serverId, true, std::move(serverTrust));
      ASSERT_TRUE(clientTls && serverTls);
      auto accepted = std::async(std::launch::async, [this] {
         HKCPTlsResult r = server.startTls(serverTls, kWaitMs);
         if (r != HKCPTlsResult::Established)
            server.shutdown();  // as a session ends
         return r;
      });
      clientResult = client.startTls(clientTls, kWaitMs);
      if (clientResult != HKCPTlsResult::Established)
         client.shutdown();
      serverResult = accepted.get();
   }
   void pinnedBothWays() { handshake(Pin(serverId->fingerprint()), Pin(clientId->fingerprint())); }
};

std::unique_ptr<CSCPMessage> Request(uint32_t id, size_t valueBytes) {
   auto message = std::make_unique<CSCPMessage>(HKCP_VERSION);
   message->SetCode(CMD_GET_PARAMETER);
   message->SetId(id);
   std::vector<uint8_t> value(valueBytes, (uint8_t)id);
   message->SetVariable(VID_VALUE, value.data(), (uint32_t)value.size());
   return message;
}

class TlsKeyTypes : public ::testing::TestWithParam<std::pair<const char *, const char *>> {};

TEST_P(TlsKeyTypes, PinnedBothWaysCarriesFramesOfEverySizeBothWays) {
   TlsPair pair(GetParam().first, GetParam().second);
   ASSERT_TRUE(pair.clientId && pair.serverId);
   pair.pinnedBothWays();
   ASSERT_EQ(pair.clientResult, HKCPTlsResult::Established);
   ASSERT_EQ(pair.serverResult, HKCPTlsResult::Established);
   EXPECT_TRUE(pair.client.tlsActive() && pair.server.tlsActive());

   // Each side saw the other's key, and both derive the same binding.
   uint8_t seen[32], a[HKCP_TLS_BINDING_SIZE], b[HKCP_TLS_BINDING_SIZE];
   ASSERT_TRUE(pair.client.tlsPeerFingerprint(seen));
   EXPECT_EQ(0, memcmp(seen, pair.serverId->fingerprint(), 32));
   ASSERT_TRUE(pair.server.tlsPeerFingerprint(seen));
   EXPECT_EQ(0, memcmp(seen, pair.clientId->fingerprint(), 32));
   ASSERT_TRUE(pair.client.tlsBinding(a) && pair.server.tlsBinding(b));
   EXPECT_EQ(0, memcmp(a, b, sizeof(a)));

   // Small, record-sized, and near the frame limit; both directions.
   uint32_t id = 1;
   for (size_t size : {size_t(8), size_t(20000), size_t(HKCP_MAX_FRAME_SIZE - 64)}) {
      SCOPED_TRACE(size);
      for (HKCPConnection *from : {&pair.client, &pair.server}) {
         HKCPConnection *to = from == &pair.client ? &pair.server : &pair.client;
         auto sent = Request(id, size);
         auto written = std::async(std::launch::async, [&] { return from->sendMessage(*sent); });
         ASSERT_EQ(to->receive(kWaitMs), HKCPReceiveResult::Frame);
         EXPECT_TRUE(written.get());
         CSCPMessage got(to->frame(), HKCP_VERSION);
         EXPECT_EQ(got.GetId(), id);
         EXPECT_EQ(Encode(got), Encode(*sent));
         id++;
      }
   }
   // Idle: the reader's buffers go and come back.
   pair.server.releaseBuffers();
   ASSERT_TRUE(pair.client.sendMessage(*Request(99, 16)));
   ASSERT_EQ(pair.server.receive(kWaitMs), HKCPReceiveResult::Frame);
   EXPECT_EQ(ntohl(pair.server.frame()->dwId), 99u);
}

INSTANTIATE_TEST_SUITE_P(Tls, TlsKeyTypes,
                         ::testing::Values(std::make_pair("rsa", "ec"),
                                           std::make_pair("ec", "ed25519"),
                                           std::make_pair("ed25519", "rsa")),
                         [](const auto &info) {
                            return std::string(info.param.first) + "_" + info.param.second;
                         });

// The stream stays framed past a frame over the limit, but a session inside
// TLS ends on it as on every encrypted channel.
TEST(Tls, AFrameOverTheLimitEndsTheSessionWithTheStreamStillFramed) {
   TlsPair pair("ec", "ec");
   pair.pinnedBothWays();
   ASSERT_EQ(pair.clientResult, HKCPTlsResult::Established);
   CSCP_MESSAGE *frame = Request(7, HKCP_MAX_FRAME_SIZE + 1000)->CreateMessage();
   ASSERT_NE(frame, nullptr);
   auto written = std::async(std::launch::async, [&] {
      return pair.client.sendBytes(frame, ntohl(frame->dwSize)) &&
             pair.client.sendMessage(*Request(8, 8));
   });
   EXPECT_EQ(pair.server.receive(kWaitMs), HKCPReceiveResult::TooLarge);
   EXPECT_EQ(pair.server.action(HKCPReceiveResult::TooLarge), HKCPReceiveAction::End);
   EXPECT_EQ(ntohl(pair.server.frame()->dwId), 7u);
   ASSERT_EQ(pair.server.receive(kWaitMs), HKCPReceiveResult::Frame);
   EXPECT_EQ(ntohl(pair.server.frame()->dwId), 8u);
   EXPECT_TRUE(written.get());
   free(frame);
}

TEST(Tls, WritersOfSeveralThreadsAndTheReaderShareTheTunnel) {
   TlsPair pair("ec", "ec");
   pair.pinnedBothWays();
   ASSERT_EQ(pair.clientResult, HKCPTlsResult::Established);
   ASSERT_EQ(pair.serverResult, HKCPTlsResult::Established);
   const int kThreads = 4, kFrames = 40;
   // Both directions at once: each side's reader decrypts while its
   // writers encrypt on the same TLS session.
   auto readAll = [](HKCPConnection *to, std::vector<int> *seen) {
      for (int i = 0; i < kThreads * kFrames; i++) {
         if (to->receive(kWaitMs) != HKCPReceiveResult::Frame)
            return false;
         CSCPMessage got(to->frame(), HKCP_VERSION);
         uint32_t id = got.GetId();
         uint8_t value[3000];
         if (got.GetVariableBinary(VID_VALUE, value, sizeof(value)) != 1000 + id % 2000 ||
             value[0] != (uint8_t)id)
            return false;
         (*seen)[id]++;
      }
      return true;
   };
   std::vector<int> atServer(kThreads * kFrames), atClient(kThreads * kFrames);
   auto serverReads = std::async(std::launch::async, readAll, &pair.server, &atServer);
   auto clientReads = std::async(std::launch::async, readAll, &pair.client, &atClient);
   std::vector<std::future<bool>> writers;
   for (HKCPConnection *from : {&pair.client, &pair.server}) {
      for (int t = 0; t < kThreads; t++) {
         writers.push_back(std::async(std::launch::async, [from, t] {
            for (int i = 0; i < kFrames; i++) {
               uint32_t id = (uint32_t)(t * kFrames + i);
               if (!from->sendMessage(*Request(id, 1000 + id % 2000)))
                  return false;
            }
            return true;
         }));
      }
   }
   for (auto &w : writers)
      EXPECT_TRUE(w.get());
   EXPECT_TRUE(serverReads.get());
   EXPECT_TRUE(clientReads.get());
   EXPECT_EQ(atServer, std::vector<int>(kThreads * kFrames, 1));
   EXPECT_EQ(atClient, std::vector<int>(kThreads * kFrames, 1));
}

TEST(Tls, AnAgentKeyNotPinnedFailsTheClientAndIsReported) {
   TlsPair pair("rsa", "ec");
   uint8_t other[32] = {1};
   pair.handshake(TlsPair::Pin(other), TlsPair::Pin(pair.clientId->fingerprint()));
   EXPECT_EQ(pair.clientResult, HKCPTlsResult::PeerUntrusted);
   EXPECT_NE(pair.serverResult, HKCPTlsResult::Established);
   EXPECT_FALSE(pair.client.tlsActive());
   // The key the agent showed, for an operator to pin.
   uint8_t seen[32];
   ASSERT_TRUE(pair.clientTls && pair.clientTls->peerFingerprint(seen));
   EXPECT_EQ(0, memcmp(seen, pair.serverId->fingerprint(), 32));
}

TEST(Tls, AClientKeyTheAgentRefusesEndsTheSessionAtTheFirstRead) {
   TlsPair pair("ec", "ec");
   pair.handshake(TlsPair::Pin(pair.serverId->fingerprint()),
                  [](const uint8_t *) { return false; });
   EXPECT_EQ(pair.serverResult, HKCPTlsResult::PeerUntrusted);
   // TLS 1.3: the client's side ends before the agent judged its key; the
   // refusal arrives as an alert.
   if (pair.clientResult == HKCPTlsResult::Established) {
      EXPECT_EQ(pair.client.receive(kWaitMs), HKCPReceiveResult::Failed);
      EXPECT_TRUE(pair.client.tlsFailed());
   }
}

TEST(Tls, ARecordThatFailsAuthenticationEndsTheSession) {
   TlsPair pair("ec", "ed25519");
   pair.pinnedBothWays();
   ASSERT_EQ(pair.clientResult, HKCPTlsResult::Established);
   ASSERT_EQ(pair.serverResult, HKCPTlsResult::Established);
   // A well-formed application-data record header with a forged body,
   // written past the tunnel.
   std::vector<uint8_t> forged = {0x17, 0x03, 0x03, 0x00, 0x40};
   forged.resize(5 + 0x40, 0xA5);
   ASSERT_TRUE(WriteAll(pair.server.socket(), forged.data(), forged.size()));
   EXPECT_EQ(pair.client.receive(kWaitMs), HKCPReceiveResult::Failed);
   EXPECT_TRUE(pair.client.tlsFailed());
   EXPECT_FALSE(pair.client.sendMessage(*Request(1, 8)));
}

TEST(Tls, AuthKeyDependsOnSecretAndAgentKeyAndProofsOnEveryInput) {
   uint8_t fpA[32] = {1}, fpB[32] = {2}, k1[32], k2[32], k3[32], k1again[32];
   ASSERT_TRUE(HKCPTlsAuthKey("secret", 6, fpA, k1));
   ASSERT_TRUE(HKCPTlsAuthKey("secret", 6, fpB, k2));
   ASSERT_TRUE(HKCPTlsAuthKey("secreT", 6, fpA, k3));
   ASSERT_TRUE(HKCPTlsAuthKey("secret", 6, fpA, k1again));  // from the cache
   EXPECT_NE(0, memcmp(k1, k2, 32));
   EXPECT_NE(0, memcmp(k1, k3, 32));
   EXPECT_EQ(0, memcmp(k1, k1again, 32));

   uint8_t binding[32] = {3}, sn[32] = {4}, an[32] = {5}, agent[32], server[32], other[32];
   ASSERT_TRUE(HKCPTlsAgentProof(k1, binding, sn, an, agent));
   ASSERT_TRUE(HKCPTlsServerProof(k1, binding, sn, an, agent, server));
   EXPECT_NE(0, memcmp(agent, server, 32));  // one side's proof is never the other's
   binding[0] ^= 1;
   ASSERT_TRUE(HKCPTlsAgentProof(k1, binding, sn, an, other));
   EXPECT_NE(0, memcmp(agent, other, 32));
}

}  // namespace
