// What the encrypted channel adds against someone on the path: the
// sequence check (only the peer's direction, only the next counter), frames written in nonce order
// by concurrent senders, the channel binding, the HMAC authentication proofs (checked against the
// construction docs/protocol.md gives), and the RSA keys a key request may carry.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "crypto_util.h"
#include "hkcp.h"

using namespace crypto_test;

namespace {

std::vector<uint8_t> Frame(HKCPEncryptionContext *context, uint32_t id) {
   CSCPMessage message;
   message.SetCode(CMD_NOP);
   message.SetId(id);
   CSCP_MESSAGE *plain = message.CreateMessage();
   CSCP_ENCRYPTED_MESSAGE *frame = CSCPEncryptMessage(context, plain);
   free(plain);
   EXPECT_NE(frame, nullptr);
   std::vector<uint8_t> bytes((uint8_t *)frame, (uint8_t *)frame + ntohl(frame->dwSize));
   free(frame);
   return bytes;
}

bool Accepts(HKCPEncryptionContext *context, const std::vector<uint8_t> &frame) {
   std::vector<uint8_t> plain(HKCP_MAX_FRAME_SIZE);
   return CSCPDecryptMessage(context,
                             reinterpret_cast<const CSCP_ENCRYPTED_MESSAGE *>(frame.data()),
                             plain.data(), (uint32_t)plain.size()) != nullptr;
}

using Fault = HKCPEncryptionContext::SequenceFault;

struct Order {
   const char *name;
   std::vector<int> sent;        // indexes of frames 0..5 in the order they arrive
   std::vector<bool> accepted;   // the receiver's verdict on each
   Fault fault;                  // the first refusal's reason
   uint64_t expected, received;  // and its counters
};

class SequenceCheck : public ::testing::TestWithParam<Order> {};

TEST_P(SequenceCheck, TakesOnlyTheNextSequence) {
   Channel channel;
   std::vector<std::vector<uint8_t>> frames;
   for (uint32_t i = 0; i < 6; i++)
      frames.push_back(Frame(channel.chooser.get(), i));
   const Order &order = GetParam();
   bool refusedAny = false;
   for (size_t i = 0; i < order.sent.size(); i++) {
      EXPECT_EQ(Accepts(channel.asker.get(), frames[order.sent[i]]), order.accepted[i])
          << "arrival " << i << ": frame " << order.sent[i];
      refusedAny = refusedAny || !order.accepted[i];
   }
   EXPECT_EQ(channel.asker->sequenceBroken(), refusedAny);
   uint64_t expected = 99, received = 99;
   EXPECT_EQ(channel.asker->sequenceFault(&expected, &received), order.fault);
   EXPECT_EQ(expected, order.expected);
   EXPECT_EQ(received, order.received);
}

// Once refused, nothing more is taken: a stream with a hole or a copy in it
// is no longer the peer's.
INSTANTIATE_TEST_SUITE_P(
    Frames, SequenceCheck,
    ::testing::Values(
        Order{"InOrder",
              {0, 1, 2, 3, 4, 5},
              {true, true, true, true, true, true},
              Fault::SEQUENCE_OK,
              0,
              0},
        Order{"Repeated", {0, 1, 1, 2}, {true, true, false, false}, Fault::SEQUENCE_REPLAYED, 2, 1},
        Order{"RepeatedFirst", {0, 0}, {true, false}, Fault::SEQUENCE_REPLAYED, 1, 0},
        Order{"GoesBack", {0, 1, 2, 0}, {true, true, true, false}, Fault::SEQUENCE_REPLAYED, 3, 0},
        Order{"Swapped", {0, 2, 1, 3}, {true, false, false, false}, Fault::SEQUENCE_GAP, 1, 2},
        Order{"FirstDropped", {1, 2}, {false, false}, Fault::SEQUENCE_GAP, 0, 1},
        Order{"OneDroppedMidStream",
              {0, 1, 3, 4},
              {true, true, false, false},
              Fault::SEQUENCE_GAP,
              2,
              3},
        Order{"SeveralDropped", {0, 5}, {true, false}, Fault::SEQUENCE_GAP, 1, 5}),
    [](const ::testing::TestParamInfo<Order> &info) { return info.param.name; });

struct Reflection {
   const char *name;
   bool byChooser;  // which side gets one of its own frames back
};

class SequenceCheckReflection : public ::testing::TestWithParam<Reflection> {};

TEST_P(SequenceCheckReflection, OwnDirectionIsRefusedOnEitherSide) {
   Channel channel;
   HKCPEncryptionContext *self = GetParam().byChooser ? channel.chooser.get() : channel.asker.get();
   HKCPEncryptionContext *peer = GetParam().byChooser ? channel.asker.get() : channel.chooser.get();
   auto fromPeer0 = Frame(peer, 1);
   auto fromSelf0 = Frame(self, 2);
   auto fromPeer1 = Frame(peer, 3);
   EXPECT_TRUE(Accepts(self, fromPeer0));
   // Authentic (one key serves both directions), but this side sent it.
   EXPECT_FALSE(Accepts(self, fromSelf0));
   uint64_t received = 99;
   EXPECT_EQ(self->sequenceFault(nullptr, &received), Fault::SEQUENCE_REFLECTED);
   EXPECT_EQ(received, 0u);
   EXPECT_FALSE(Accepts(self, fromPeer1));
   // The peer still takes it: the check belongs to the receiver.
   EXPECT_TRUE(Accepts(peer, fromSelf0));
}

INSTANTIATE_TEST_SUITE_P(Sides, SequenceCheckReflection,
                         ::testing::Values(Reflection{"Chooser", true}, Reflection{"Asker", false}),
                         [](const ::testing::TestParamInfo<Reflection> &info) {
                            return info.param.name;
                         });

TEST(SequenceCheckDirections, AForgedFrameDoesNotMoveTheCounter) {
   Channel channel;
   std::vector<std::vector<uint8_t>> frames;
   for (uint32_t i = 0; i < 4; i++)
      frames.push_back(Frame(channel.chooser.get(), i));
   std::vector<uint8_t> forged = frames[3];
   forged[forged.size() - 1] ^= 0x01;  // the tag
   EXPECT_FALSE(Accepts(channel.asker.get(), forged));
   EXPECT_FALSE(channel.asker->sequenceBroken());
   EXPECT_TRUE(Accepts(channel.asker.get(), frames[0]));
   EXPECT_TRUE(Accepts(channel.asker.get(), frames[1]));
}

TEST(SequenceCheckSenders, ConcurrentWritersKeepTheWireInNonceOrder) {
   // Eight threads share one context and one send lock, as a session's
   // requesters do; the reader must accept every frame.
   LoopbackPair pair;
   ASSERT_TRUE(pair.ok());
   Channel channel;
   const int kThreads = 8, kEach = 100;
   CriticalSection sendLock;
   std::vector<std::thread> writers;
   for (int t = 0; t < kThreads; t++) {
      writers.emplace_back([&, t] {
         CSCPMessage message;
         message.SetCode(CMD_NOP);
         for (int i = 0; i < kEach; i++) {
            message.SetId((uint32_t)(t * kEach + i));
            CSCP_MESSAGE *plain = message.CreateMessage();
            std::lock_guard<CriticalSection> guard(sendLock);
            EXPECT_TRUE(HKCPWriteFrame(pair.a, plain, channel.chooser.get()));
            free(plain);
         }
      });
   }
   FrameReader reader(pair.b);
   HKCPEncryptionContext *context = channel.asker.get();
   int received = 0;
   for (; received < kThreads * kEach; received++) {
      int rc = reader.next(&context, 10000);
      if (rc <= 3) {
         ADD_FAILURE() << "frame " << received << ": result " << rc;
         break;
      }
   }
   for (std::thread &w : writers)
      w.join();
   EXPECT_EQ(received, kThreads * kEach);
   EXPECT_FALSE(channel.asker->sequenceBroken());
}

// ---------------------------------------------------------------- binding and proofs

std::vector<uint8_t> Binding(HKCPEncryptionContext *context) {
   std::vector<uint8_t> binding(HKCP_CHANNEL_BINDING_SIZE);
   EXPECT_TRUE(context->channelBinding(binding.data()));
   return binding;
}

TEST(ChannelBinding, BothEndsAgreeAndOtherKeysDiffer) {
   Channel one, two;
   EXPECT_EQ(Binding(one.chooser.get()), Binding(one.asker.get()));
   EXPECT_NE(Binding(one.chooser.get()), Binding(two.chooser.get()));
   // Derived, never the key itself.
   std::vector<uint8_t> key(one.chooser->getKey(), one.chooser->getKey() + 32);
   EXPECT_NE(Binding(one.chooser.get()), key);
}

std::vector<uint8_t> Hmac(const std::vector<uint8_t> &key, const std::string &label,
                          const std::vector<std::vector<uint8_t>> &parts) {
   std::vector<uint8_t> data(label.begin(), label.end());
   for (const auto &part : parts)
      data.insert(data.end(), part.begin(), part.end());
   std::vector<uint8_t> out(32);
   unsigned int length = 0;
   HMAC(EVP_sha256(), key.data(), (int)key.size(), data.data(), data.size(), out.data(), &length);
   return out;
}

TEST(AuthProofs, FollowTheDocumentedConstruction) {
   const std::string secret = "s3cret";
   std::vector<uint8_t> key(32), expectedKey(32);
   ASSERT_TRUE(HKCPDeriveAuthKey(secret.data(), secret.size(), key.data()));
   const std::string salt = "HKCP-HMAC-SHA256 secret";
   PKCS5_PBKDF2_HMAC(secret.data(), (int)secret.size(), (const uint8_t *)salt.data(),
                     (int)salt.size(), 20000, EVP_sha256(), 32, expectedKey.data());
   EXPECT_EQ(key, expectedKey);

   std::vector<uint8_t> binding(32, 0xB1), ns(32, 0x01), na(32, 0x02), ps(32), pa(32);
   ASSERT_TRUE(HKCPServerAuthProof(key.data(), binding.data(), ns.data(), ps.data()));
   EXPECT_EQ(ps, Hmac(key, "HKCP-HMAC-SHA256 server", {binding, ns}));
   ASSERT_TRUE(
       HKCPAgentAuthProof(key.data(), binding.data(), ns.data(), na.data(), ps.data(), pa.data()));
   EXPECT_EQ(pa, Hmac(key, "HKCP-HMAC-SHA256 agent", {binding, ns, na, ps}));
}

TEST(AuthProofs, EveryInputChangesTheProof) {
   std::vector<uint8_t> key(32), otherKey(32);
   ASSERT_TRUE(HKCPDeriveAuthKey("a", 1, key.data()));
   ASSERT_TRUE(HKCPDeriveAuthKey("b", 1, otherKey.data()));
   // The empty secret is zero bytes, and derives like any other.
   std::vector<uint8_t> emptyKey(32);
   ASSERT_TRUE(HKCPDeriveAuthKey(nullptr, 0, emptyKey.data()));
   EXPECT_NE(emptyKey, key);

   std::vector<uint8_t> binding(32, 1), otherBinding(32, 2), nonce(32, 3), otherNonce(32, 4);
   auto proof = [](const std::vector<uint8_t> &k, const std::vector<uint8_t> &b,
                   const std::vector<uint8_t> &n) {
      std::vector<uint8_t> out(32);
      EXPECT_TRUE(HKCPServerAuthProof(k.data(), b.data(), n.data(), out.data()));
      return out;
   };
   std::vector<uint8_t> base = proof(key, binding, nonce);
   EXPECT_NE(base, proof(otherKey, binding, nonce));
   EXPECT_NE(base, proof(key, otherBinding, nonce));
   EXPECT_NE(base, proof(key, binding, otherNonce));
   EXPECT_FALSE(HKCPServerAuthProof(key.data(), nullptr, nonce.data(), base.data()));
}

// ---------------------------------------------------------------- RSA keys of a key request

// A public key of exactly `bits` bits: a random odd modulus with the top
// bit set stands in for a product of primes (the peer only encrypts to it),
// so the sizes near the limits cost no key generation.
std::vector<uint8_t> RsaDer(int bits, unsigned long exponent) {
   BIGNUM *n = BN_new(), *e = BN_new();
   BN_rand(n, bits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ODD);
   BN_set_word(e, exponent);
   OSSL_PARAM_BLD *build = OSSL_PARAM_BLD_new();
   OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n);
   OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e);
   OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(build);
   EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
   EVP_PKEY *pkey = nullptr;
   if (EVP_PKEY_fromdata_init(ctx) <= 0 ||
       EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) <= 0)
      ADD_FAILURE() << "cannot make a " << bits << "-bit key";
   unsigned char *der = nullptr;
   int length = pkey != nullptr ? i2d_PUBKEY(pkey, &der) : 0;
   std::vector<uint8_t> out(der, der + (length > 0 ? length : 0));
   OPENSSL_free(der);
   EVP_PKEY_free(pkey);
   EVP_PKEY_CTX_free(ctx);
   OSSL_PARAM_free(params);
   OSSL_PARAM_BLD_free(build);
   BN_free(n);
   BN_free(e);
   return out;
}

struct KeyShape {
   const char *name;
   int bits;
   unsigned long exponent;
   uint32_t rcc;
};

class KeyRequestKeys : public ::testing::TestWithParam<KeyShape> {};

TEST_P(KeyRequestKeys, OnlyModestKeysWithTheStandardExponent) {
   std::vector<uint8_t> der = RsaDer(GetParam().bits, GetParam().exponent);
   CSCPMessage request, reply;
   request.SetCode(CMD_REQUEST_SESSION_KEY);
   request.SetVariable(VID_SUPPORTED_ENCRYPTION, HKCP_SUPPORTED_CIPHERS);
   request.SetVariable(VID_PUBLIC_KEY, der.data(), (uint32_t)der.size());
   HKCPEncryptionContext *context = nullptr;
   EXPECT_EQ(HKCPAnswerKeyRequest(&request, &reply, &context), GetParam().rcc);
   EXPECT_EQ(context != nullptr, GetParam().rcc == 0);
   if (context != nullptr)
      context->decRefCount();
}

INSTANTIATE_TEST_SUITE_P(
    Rsa, KeyRequestKeys,
    ::testing::Values(KeyShape{"Bits2047", 2047, 65537, RCC_INVALID_PUBLIC_KEY},
                      KeyShape{"Bits2048", 2048, 65537, 0}, KeyShape{"Bits4096", 4096, 65537, 0},
                      KeyShape{"Bits4097", 4097, 65537, RCC_INVALID_PUBLIC_KEY},
                      KeyShape{"Exponent3", 2048, 3, RCC_INVALID_PUBLIC_KEY},
                      KeyShape{"Exponent65539", 2048, 65539, RCC_INVALID_PUBLIC_KEY}),
    [](const ::testing::TestParamInfo<KeyShape> &info) { return info.param.name; });

TEST(KeyFingerprint, IsTheSha256OfTheDerKey) {
   std::vector<uint8_t> der = PublicKeyDer(ServerKey());
   uint8_t expected[32], fromKey[32], fromRequest[32];
   unsigned int size = 0;
   EVP_Digest(der.data(), der.size(), expected, &size, EVP_sha256(), nullptr);
   ASSERT_TRUE(HKCPKeyFingerprint(ServerKey(), fromKey));
   EXPECT_EQ(Hex(fromKey, 32), Hex(expected, 32));
   CSCPMessage request;
   PrepareKeyRequestMsg(&request, ServerKey(), false);
   ASSERT_TRUE(HKCPRequestKeyFingerprint(&request, fromRequest));
   EXPECT_EQ(Hex(fromRequest, 32), Hex(expected, 32));
   CSCPMessage empty;
   EXPECT_FALSE(HKCPRequestKeyFingerprint(&empty, fromRequest));
   EXPECT_FALSE(HKCPKeyFingerprint(nullptr, fromKey));
}

}  // namespace
