// The key exchange: PrepareKeyRequestMsg, HKCPAnswerKeyRequest and
// SetupEncryptionContext, their result codes, and the contexts they make.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "crypto_util.h"
#include "hkcp.h"

using namespace crypto_test;

namespace {

// A key request as the peer sees it: encoded and decoded again.
std::unique_ptr<CSCPMessage> OverTheWire(const CSCPMessage &message) {
   CSCP_MESSAGE *frame = message.CreateMessage();
   EXPECT_NE(frame, nullptr);
   auto decoded = std::make_unique<CSCPMessage>(frame);
   free(frame);
   EXPECT_TRUE(decoded->IsValid());
   return decoded;
}

std::vector<uint8_t> Binary(const CSCPMessage &message, uint32_t id) {
   std::vector<uint8_t> bytes(message.GetVariableBinary(id, nullptr, 0));
   message.GetVariableBinary(id, bytes.data(), (uint32_t)bytes.size());
   return bytes;
}

std::unique_ptr<CSCPMessage> KeyRequest(RSA *key, uint32_t id = 77) {
   CSCPMessage request;
   PrepareKeyRequestMsg(&request, key, false);
   request.SetId(id);
   return OverTheWire(request);
}

// A valid CMD_SESSION_KEY reply for ServerKey(), and the peer's context.
std::unique_ptr<CSCPMessage> ValidReply(ContextPtr *peer) {
   auto request = KeyRequest(ServerKey());
   CSCPMessage reply;
   HKCPEncryptionContext *context = nullptr;
   EXPECT_EQ(HKCPAnswerKeyRequest(request.get(), &reply, &context), 0u);
   peer->reset(context);
   return OverTheWire(reply);
}

std::vector<uint8_t> OaepEncrypt(RSA *rsa, const std::vector<uint8_t> &plain) {
   EVP_PKEY *pkey = EVP_PKEY_new();
   EVP_PKEY_set1_RSA(pkey, rsa);
   EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pkey, nullptr);
   std::vector<uint8_t> out(RSA_size(rsa));
   size_t size = out.size();
   bool ok = EVP_PKEY_encrypt_init(ctx) > 0 &&
             EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
             EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) > 0 &&
             EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) > 0 &&
             EVP_PKEY_encrypt(ctx, out.data(), &size, plain.data(), plain.size()) > 0;
   EVP_PKEY_CTX_free(ctx);
   EVP_PKEY_free(pkey);
   EXPECT_TRUE(ok);
   out.resize(size);
   return out;
}

// The reply with its session key replaced.
std::unique_ptr<CSCPMessage> WithSessionKey(const std::vector<uint8_t> &wrapped) {
   CSCPMessage reply;
   reply.SetCode(CMD_SESSION_KEY);
   reply.SetVariable(VID_RCC, (uint32_t)0);
   reply.SetVariable(VID_CIPHER, HKCP_CIPHER_AES_256_GCM);
   reply.SetVariable(VID_SESSION_KEY, wrapped.data(), (uint32_t)wrapped.size());
   return OverTheWire(reply);
}

uint32_t SetUpServer(CSCPMessage *reply, ContextPtr *out, RSA *key = ServerKey()) {
   HKCPEncryptionContext *context = nullptr;
   uint32_t rcc = SetupEncryptionContext(reply, &context, nullptr, key, HKCP_VERSION);
   out->reset(context);
   return rcc;
}

// Answers a request made of the given mask and key bytes.
uint32_t Answer(uint32_t mask, const std::vector<uint8_t> *der, CSCPMessage *reply,
                uint32_t accepted = HKCP_SUPPORTED_CIPHERS) {
   CSCPMessage request;
   request.SetCode(CMD_REQUEST_SESSION_KEY);
   request.SetId(5);
   request.SetVariable(VID_SUPPORTED_ENCRYPTION, mask);
   if (der != nullptr)
      request.SetVariable(VID_PUBLIC_KEY, der->data(), (uint32_t)der->size());
   auto decoded = OverTheWire(request);
   HKCPEncryptionContext *context = reinterpret_cast<HKCPEncryptionContext *>(1);
   uint32_t rcc = HKCPAnswerKeyRequest(decoded.get(), reply, &context, accepted);
   if (rcc != 0) {
      EXPECT_EQ(context, nullptr) << "a failed answer leaves no context";
   } else {
      ContextPtr release(context);
   }
   EXPECT_EQ(reply->GetCode(), CMD_SESSION_KEY);
   EXPECT_EQ(reply->GetId(), 5u);
   EXPECT_EQ(reply->GetVariableLong(VID_RCC), rcc);
   return rcc;
}

// ---------------------------------------------------------------- success

TEST(CryptoExchange, KeyRequestCarriesCipherMaskAndDerKey) {
   auto request = KeyRequest(ServerKey(), 1234);
   EXPECT_EQ(request->GetCode(), CMD_REQUEST_SESSION_KEY);
   EXPECT_EQ(request->GetId(), 1234u);
   EXPECT_EQ(request->GetVariableLong(VID_SUPPORTED_ENCRYPTION), HKCP_SUPPORTED_CIPHERS);
   EXPECT_EQ(Binary(*request, VID_PUBLIC_KEY), PublicKeyDer(ServerKey()));
}

TEST(CryptoExchange, BothSidesAgreeOnKeyAndCipher) {
   ContextPtr peer;
   auto reply = ValidReply(&peer);
   ASSERT_NE(peer, nullptr);
   EXPECT_EQ(reply->GetCode(), CMD_SESSION_KEY);
   EXPECT_EQ(reply->GetId(), 77u);
   EXPECT_EQ(reply->GetVariableLong(VID_RCC), 0u);
   EXPECT_EQ(reply->GetVariableLong(VID_CIPHER), HKCP_CIPHER_AES_256_GCM);
   EXPECT_EQ(reply->GetVariableShort(VID_KEY_LENGTH), 32u);
   EXPECT_EQ(Binary(*reply, VID_SESSION_KEY).size(), 256u) << "OAEP output is one modulus long";
   // The wrapped key must not be the key itself.
   std::vector<uint8_t> wrapped = Binary(*reply, VID_SESSION_KEY);
   const uint8_t *key = peer->getKey();
   EXPECT_EQ(std::search(wrapped.begin(), wrapped.end(), key, key + 32), wrapped.end());

   ContextPtr server;
   ASSERT_EQ(SetUpServer(reply.get(), &server), 0u);
   ASSERT_NE(server, nullptr);
   EXPECT_EQ(server->getCipher(), HKCP_CIPHER_AES_256_GCM);
   ASSERT_EQ(server->getKeyLength(), 32u);
   EXPECT_EQ(memcmp(server->getKey(), peer->getKey(), 32), 0);
}

TEST(CryptoExchange, EachAnswerMakesAFreshKey) {
   ContextPtr first, second;
   ValidReply(&first);
   ValidReply(&second);
   ASSERT_TRUE(first && second);
   EXPECT_NE(memcmp(first->getKey(), second->getKey(), 32), 0);
}

TEST(CryptoExchange, PeerPicksTheCommonCipherFromAWiderMask) {
   std::vector<uint8_t> der = PublicKeyDer(ServerKey());
   CSCPMessage reply;
   EXPECT_EQ(Answer(0xFFFFFFFF, &der, &reply), 0u);
   EXPECT_EQ(reply.GetVariableLong(VID_CIPHER), HKCP_CIPHER_AES_256_GCM);
}

// ---------------------------------------------------------------- 42

TEST(CryptoExchange, NoCipherInCommonGives42) {
   std::vector<uint8_t> der = PublicKeyDer(ServerKey());
   CSCPMessage reply;
   EXPECT_EQ(Answer(0, &der, &reply), RCC_NO_CIPHERS);
   CSCPMessage unknownOnly;
   EXPECT_EQ(Answer(0x0002, &der, &unknownOnly), RCC_NO_CIPHERS);
   CSCPMessage peerAcceptsNone;
   EXPECT_EQ(Answer(HKCP_SUPPORTED_CIPHERS, &der, &peerAcceptsNone, 0), RCC_NO_CIPHERS);
   EXPECT_FALSE(reply.IsVariableExist(VID_SESSION_KEY));

   // The server passes the peer's 42 on.
   auto decoded = OverTheWire(reply);
   ContextPtr server;
   EXPECT_EQ(SetUpServer(decoded.get(), &server), RCC_NO_CIPHERS);
   EXPECT_EQ(server, nullptr);
}

TEST(CryptoExchange, ReplyNamingAnUnknownCipherGives42) {
   ContextPtr peer;
   auto reply = ValidReply(&peer);
   for (uint32_t cipher : {0u, 2u, 3u, 0x80000000u}) {
      reply->SetVariable(VID_CIPHER, cipher);
      ContextPtr server;
      EXPECT_EQ(SetUpServer(reply.get(), &server), RCC_NO_CIPHERS) << cipher;
      EXPECT_EQ(server, nullptr);
   }
}

// ---------------------------------------------------------------- 43

TEST(CryptoExchange, MalformedPublicKeyGives43) {
   std::vector<uint8_t> good = PublicKeyDer(ServerKey());
   std::vector<uint8_t> truncated(good.begin(), good.end() - 1);
   std::vector<uint8_t> trailing = good;
   trailing.push_back(0);
   std::vector<uint8_t> garbage(300, 0x5A);
   std::vector<uint8_t> corrupted = good;
   corrupted[0] ^= 0x01;  // no longer a SEQUENCE
   std::vector<uint8_t> huge(20000, 0x30);
   for (const auto *der : {&truncated, &trailing, &garbage, &corrupted, &huge}) {
      CSCPMessage reply;
      EXPECT_EQ(Answer(HKCP_SUPPORTED_CIPHERS, der, &reply), RCC_INVALID_PUBLIC_KEY)
          << "key of " << der->size() << " bytes";
      EXPECT_FALSE(reply.IsVariableExist(VID_SESSION_KEY));
   }
   CSCPMessage missing;
   EXPECT_EQ(Answer(HKCP_SUPPORTED_CIPHERS, nullptr, &missing), RCC_INVALID_PUBLIC_KEY);
}

TEST(CryptoExchange, KeyThatIsNotRsaOrTooShortGives43) {
   EVP_PKEY *ec = EVP_EC_gen("P-256");
   ASSERT_NE(ec, nullptr);
   unsigned char *p = nullptr;
   int length = i2d_PUBKEY(ec, &p);
   std::vector<uint8_t> ecDer(p, p + length);
   OPENSSL_free(p);
   EVP_PKEY_free(ec);
   CSCPMessage reply;
   EXPECT_EQ(Answer(HKCP_SUPPORTED_CIPHERS, &ecDer, &reply), RCC_INVALID_PUBLIC_KEY);

   std::vector<uint8_t> small = GeneratePublicKeyDer(512);
   CSCPMessage smallReply;
   EXPECT_EQ(Answer(HKCP_SUPPORTED_CIPHERS, &small, &smallReply), RCC_INVALID_PUBLIC_KEY);
}

TEST(CryptoExchange, RequestWithoutServerKeyIsAnswered43AndPassedOn) {
   auto request = KeyRequest(nullptr);
   EXPECT_FALSE(request->IsVariableExist(VID_PUBLIC_KEY));
   EXPECT_EQ(request->GetVariableLong(VID_SUPPORTED_ENCRYPTION), HKCP_SUPPORTED_CIPHERS);
   CSCPMessage reply;
   HKCPEncryptionContext *peer = nullptr;
   EXPECT_EQ(HKCPAnswerKeyRequest(request.get(), &reply, &peer), RCC_INVALID_PUBLIC_KEY);
   EXPECT_EQ(peer, nullptr);
   auto decoded = OverTheWire(reply);
   ContextPtr server;
   EXPECT_EQ(SetUpServer(decoded.get(), &server), RCC_INVALID_PUBLIC_KEY);
}

TEST(CryptoExchange, ServerKeyWithoutPrivatePartGives43) {
   ContextPtr peer;
   auto reply = ValidReply(&peer);
   RSA *publicOnly = PublicHalf(ServerKey());
   ContextPtr server;
   EXPECT_EQ(SetUpServer(reply.get(), &server, publicOnly), RCC_INVALID_PUBLIC_KEY);
   EXPECT_EQ(SetUpServer(reply.get(), &server, nullptr), RCC_INVALID_PUBLIC_KEY);
   EXPECT_EQ(server, nullptr);
   FreeKey(publicOnly);
}

// ---------------------------------------------------------------- 44

TEST(CryptoExchange, SessionKeyForAnotherKeyGives44) {
   ContextPtr peer;
   auto reply = ValidReply(&peer);
   ContextPtr server;
   EXPECT_EQ(SetUpServer(reply.get(), &server, OtherKey()), RCC_INVALID_SESSION_KEY);
   EXPECT_EQ(server, nullptr);
}

TEST(CryptoExchange, DamagedSessionKeyGives44) {
   ContextPtr peer;
   auto reply = ValidReply(&peer);
   std::vector<uint8_t> wrapped = Binary(*reply, VID_SESSION_KEY);

   std::vector<uint8_t> truncated(wrapped.begin(), wrapped.end() - 1);
   std::vector<uint8_t> flipped = wrapped;
   flipped[100] ^= 0x10;
   std::vector<uint8_t> oneByte(1, 0);
   std::vector<uint8_t> oversized(5000, 1);
   for (const auto *bytes : {&truncated, &flipped, &oneByte, &oversized}) {
      auto damaged = WithSessionKey(*bytes);
      ContextPtr server;
      EXPECT_EQ(SetUpServer(damaged.get(), &server), RCC_INVALID_SESSION_KEY) << bytes->size();
      EXPECT_EQ(server, nullptr);
   }
   reply->SetVariable(VID_SESSION_KEY, wrapped.data(), 0);
   ContextPtr server;
   EXPECT_EQ(SetUpServer(reply.get(), &server), RCC_INVALID_SESSION_KEY);
}

TEST(CryptoExchange, SessionKeyOfWrongLengthGives44) {
   for (size_t length : {16u, 31u, 33u}) {
      auto reply = WithSessionKey(OaepEncrypt(ServerKey(), std::vector<uint8_t>(length, 7)));
      ContextPtr server;
      EXPECT_EQ(SetUpServer(reply.get(), &server), RCC_INVALID_SESSION_KEY) << length;
   }
   auto right = WithSessionKey(OaepEncrypt(ServerKey(), std::vector<uint8_t>(32, 7)));
   ContextPtr server;
   EXPECT_EQ(SetUpServer(right.get(), &server), 0u);
   right->SetVariable(VID_KEY_LENGTH, (uint16_t)16);
   ContextPtr lying;
   EXPECT_EQ(SetUpServer(right.get(), &lying), RCC_INVALID_SESSION_KEY);
}

// ---------------------------------------------------------------- other results

TEST(CryptoExchange, PeerResultsPassUnchanged) {
   CSCPMessage reply;
   reply.SetCode(CMD_SESSION_KEY);
   reply.SetVariable(VID_RCC, (uint32_t)906);
   ContextPtr server;
   EXPECT_EQ(SetUpServer(&reply, &server), 906u);
}

TEST(CryptoExchange, MissingArgumentsFailWithoutKeyCodes) {
   ContextPtr peer;
   auto reply = ValidReply(&peer);
   uint32_t rcc = SetupEncryptionContext(reply.get(), nullptr, nullptr, ServerKey(), 2);
   EXPECT_NE(rcc, 0u);
   HKCPEncryptionContext *context = nullptr;
   rcc = SetupEncryptionContext(nullptr, &context, nullptr, ServerKey(), 2);
   EXPECT_NE(rcc, 0u);
   EXPECT_EQ(context, nullptr);
   CSCPMessage answer;
   EXPECT_NE(HKCPAnswerKeyRequest(nullptr, &answer, &context), 0u);
   EXPECT_EQ(context, nullptr);
}

TEST(CryptoExchange, FailedSetupLeavesTheCurrentContext) {
   ContextPtr peer;
   auto reply = ValidReply(&peer);
   HKCPEncryptionContext *current = HKCPEncryptionContext::createRandom(HKCP_CIPHER_AES_256_GCM);
   HKCPEncryptionContext *context = current;
   EXPECT_EQ(SetupEncryptionContext(reply.get(), &context, nullptr, OtherKey(), 2),
             RCC_INVALID_SESSION_KEY);
   EXPECT_EQ(context, current);
   // A successful one replaces it and leaves the old reference to its owner.
   EXPECT_EQ(SetupEncryptionContext(reply.get(), &context, nullptr, ServerKey(), 2), 0u);
   EXPECT_NE(context, current);
   EXPECT_EQ(current->getRefCount(), 1);
   current->decRefCount();
   context->decRefCount();
}

// ---------------------------------------------------------------- contexts

TEST(CryptoContext, CreateChecksCipherAndKeyLength) {
   uint8_t key[32] = {1, 2, 3};
   EXPECT_EQ(HKCPEncryptionContext::create(0, key, 32), nullptr);
   EXPECT_EQ(HKCPEncryptionContext::create(2, key, 32), nullptr);
   EXPECT_EQ(HKCPEncryptionContext::create(HKCP_CIPHER_AES_256_GCM, key, 16), nullptr);
   EXPECT_EQ(HKCPEncryptionContext::create(HKCP_CIPHER_AES_256_GCM, nullptr, 32), nullptr);
   EXPECT_EQ(HKCPEncryptionContext::createRandom(2), nullptr);
   ContextPtr context(HKCPEncryptionContext::create(HKCP_CIPHER_AES_256_GCM, key, 32));
   ASSERT_NE(context, nullptr);
   EXPECT_EQ(memcmp(context->getKey(), key, 32), 0);
   EXPECT_EQ(context->getRefCount(), 1);
}

TEST(CryptoContext, NoncesNeverRepeatAndCount) {
   ContextPtr context(HKCPEncryptionContext::createRandom(HKCP_CIPHER_AES_256_GCM));
   ASSERT_NE(context, nullptr);
   std::set<std::vector<uint8_t>> seen;
   uint8_t first[12];
   context->nextNonce(first);
   seen.insert(std::vector<uint8_t>(first, first + 12));
   for (int i = 1; i < 20000; i++) {
      uint8_t nonce[12];
      context->nextNonce(nonce);
      EXPECT_EQ(memcmp(nonce, first, 4), 0) << "the prefix is fixed per context";
      ASSERT_TRUE(seen.insert(std::vector<uint8_t>(nonce, nonce + 12)).second) << i;
   }
   uint8_t next[12];
   context->nextNonce(next);
   uint64_t counter = 0;
   for (int i = 4; i < 12; i++)
      counter = (counter << 8) | next[i];
   EXPECT_EQ(counter, 20000u);
}

TEST(CryptoContext, NoncesStayUniqueAcrossThreads) {
   ContextPtr context(HKCPEncryptionContext::createRandom(HKCP_CIPHER_AES_256_GCM));
   ASSERT_NE(context, nullptr);
   const int kThreads = 4, kEach = 5000;
   std::vector<std::vector<uint8_t>> nonces(kThreads * kEach, std::vector<uint8_t>(12));
   std::vector<std::thread> threads;
   for (int t = 0; t < kThreads; t++) {
      threads.emplace_back([&, t] {
         for (int i = 0; i < kEach; i++)
            context->nextNonce(nonces[t * kEach + i].data());
      });
   }
   for (auto &thread : threads)
      thread.join();
   std::set<std::vector<uint8_t>> unique(nonces.begin(), nonces.end());
   EXPECT_EQ(unique.size(), nonces.size());
}

// Both sides share the key: their nonces differ in the top bit, so they
// cannot meet even when the random prefixes do.
TEST(CryptoContext, TheTwoSidesNeverShareANonce) {
   ContextPtr peer;
   auto reply = ValidReply(&peer);
   ContextPtr server;
   ASSERT_EQ(SetUpServer(reply.get(), &server), 0u);
   for (int i = 0; i < 64; i++) {
      uint8_t a[12], b[12];
      server->nextNonce(a);
      peer->nextNonce(b);
      EXPECT_EQ(a[0] & 0x80, 0);
      EXPECT_EQ(b[0] & 0x80, 0x80);
   }
}

}  // namespace
