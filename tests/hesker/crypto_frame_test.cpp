// Encrypted frames: CSCPEncryptMessage and CSCPDecryptMessage on their own,
// with every single-bit change, truncations, lying sizes and tight buffers.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "crypto_util.h"
#include "hkcp.h"

using crypto_test::Channel;
using crypto_test::ContextPtr;

namespace {

// Whether the bytes hold the needle anywhere.
bool Contains(const void *bytes, size_t size, const void *needle, size_t length) {
   const uint8_t *begin = static_cast<const uint8_t *>(bytes);
   const uint8_t *wanted = static_cast<const uint8_t *>(needle);
   return std::search(begin, begin + size, wanted, wanted + length) != begin + size;
}

ContextPtr NewContext() {
   return ContextPtr(HKCPEncryptionContext::createRandom(HKCP_CIPHER_AES_256_GCM));
}

// A plain frame of a message with a text and a binary variable.
std::vector<uint8_t> PlainFrame(uint32_t binaryLength = 24) {
   CSCPMessage message;
   message.SetCode(CMD_NOP);
   message.SetId(4242);
   message.SetVariable(VID_VALUE, L"encrypted text");
   std::vector<uint8_t> payload(binaryLength);
   for (size_t i = 0; i < payload.size(); i++)
      payload[i] = (uint8_t)(i * 7 + 1);
   message.SetVariable(VID_PDU, payload.data(), (uint32_t)payload.size());
   CSCP_MESSAGE *frame = message.CreateMessage();
   std::vector<uint8_t> bytes((uint8_t *)frame, (uint8_t *)frame + ntohl(frame->dwSize));
   free(frame);
   return bytes;
}

std::vector<uint8_t> Encrypt(HKCPEncryptionContext *context, const std::vector<uint8_t> &plain) {
   CSCP_ENCRYPTED_MESSAGE *frame =
       CSCPEncryptMessage(context, reinterpret_cast<const CSCP_MESSAGE *>(plain.data()));
   EXPECT_NE(frame, nullptr);
   if (frame == nullptr)
      return {};
   std::vector<uint8_t> bytes((uint8_t *)frame, (uint8_t *)frame + ntohl(frame->dwSize));
   free(frame);
   return bytes;
}

// Decrypts bytes held in an allocation of exactly their size into a buffer
// of exactly capacity bytes, so a sanitizer sees any access past either.
bool Decrypt(HKCPEncryptionContext *context, const std::vector<uint8_t> &frame, uint32_t capacity,
             std::vector<uint8_t> *plain = nullptr) {
   std::unique_ptr<uint8_t[]> in(new uint8_t[frame.size()]);
   memcpy(in.get(), frame.data(), frame.size());
   std::unique_ptr<uint8_t[]> out(new uint8_t[capacity > 0 ? capacity : 1]);
   memset(out.get(), 0xEE, capacity);
   CSCP_MESSAGE *result = CSCPDecryptMessage(
       context, reinterpret_cast<const CSCP_ENCRYPTED_MESSAGE *>(in.get()), out.get(), capacity);
   if (result == nullptr) {
      return false;
   }
   EXPECT_EQ((uint8_t *)result, out.get());
   if (plain != nullptr)
      plain->assign(out.get(), out.get() + ntohl(result->dwSize));
   return true;
}

// A frame encrypted by hand with the context's key, for frames the library
// would never produce.
std::vector<uint8_t> EncryptByHand(HKCPEncryptionContext *context,
                                   const std::vector<uint8_t> &plain) {
   std::vector<uint8_t> out(20 + plain.size() + 16);
   uint16_t code = htons(CMD_ENCRYPTED_MESSAGE), flags = htons(MF_ENCRYPTED);
   uint32_t size = htonl((uint32_t)out.size());
   memcpy(&out[0], &code, 2);
   memcpy(&out[2], &flags, 2);
   memcpy(&out[4], &size, 4);
   context->nextNonce(&out[8]);
   EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
   int n = 0;
   bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, context->getKey(), &out[8]) == 1 &&
             EVP_EncryptUpdate(ctx, nullptr, &n, out.data(), 8) == 1 &&
             EVP_EncryptUpdate(ctx, &out[20], &n, plain.data(), (int)plain.size()) == 1 &&
             EVP_EncryptFinal_ex(ctx, &out[20 + plain.size()], &n) == 1 &&
             EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, &out[20 + plain.size()]) == 1;
   EVP_CIPHER_CTX_free(ctx);
   EXPECT_TRUE(ok);
   return out;
}

void SetSize(std::vector<uint8_t> *frame, uint32_t size) {
   uint32_t be = htonl(size);
   memcpy(frame->data() + 4, &be, 4);
}

TEST(CryptoFrame, LayoutAndRoundTrip) {
   Channel channel;
   std::vector<uint8_t> plain = PlainFrame();
   std::vector<uint8_t> frame = Encrypt(channel.chooser.get(), plain);
   ASSERT_EQ(frame.size(), 20 + plain.size() + 16);
   EXPECT_EQ(frame[0], 0x7F);
   EXPECT_EQ(frame[1], 0xFF);
   EXPECT_EQ(frame[2], 0x80);
   EXPECT_EQ(frame[3], 0x00);
   EXPECT_EQ(frame[8] & 0x80, 0x80);  // the direction of the side that chose the key
   uint32_t size;
   memcpy(&size, &frame[4], 4);
   EXPECT_EQ(ntohl(size), frame.size());
   EXPECT_FALSE(Contains(frame.data(), frame.size(), "encrypted", 9));

   std::vector<uint8_t> decrypted;
   ASSERT_TRUE(Decrypt(channel.asker.get(), frame, (uint32_t)plain.size(), &decrypted));
   EXPECT_EQ(decrypted, plain);
   CSCPMessage message(reinterpret_cast<const CSCP_MESSAGE *>(decrypted.data()));
   ASSERT_TRUE(message.IsValid());
   EXPECT_EQ(message.GetId(), 4242u);
   wchar_t text[64];
   EXPECT_STREQ(message.GetVariableStr(VID_VALUE, text, 64), L"encrypted text");
}

TEST(CryptoFrame, RoundTripOfHeaderOnlyAndLargeFrames) {
   Channel channel;
   CSCPMessage empty;
   empty.SetCode(CMD_NOP);
   CSCP_MESSAGE *raw = empty.CreateMessage();
   std::vector<uint8_t> small((uint8_t *)raw, (uint8_t *)raw + ntohl(raw->dwSize));
   free(raw);
   std::vector<uint8_t> out;
   ASSERT_TRUE(Decrypt(channel.asker.get(), Encrypt(channel.chooser.get(), small), 4096, &out));
   EXPECT_EQ(out, small);

   std::vector<uint8_t> large = PlainFrame(200000);
   ASSERT_TRUE(Decrypt(channel.asker.get(), Encrypt(channel.chooser.get(), large),
                       HKCP_MAX_FRAME_SIZE, &out));
   EXPECT_EQ(out, large);
}

TEST(CryptoFrame, SameFrameEncryptsDifferentlyEachTime) {
   Channel channel;
   std::vector<uint8_t> plain = PlainFrame();
   std::vector<uint8_t> a = Encrypt(channel.chooser.get(), plain);
   std::vector<uint8_t> b = Encrypt(channel.chooser.get(), plain);
   EXPECT_NE(memcmp(&a[8], &b[8], 12), 0) << "nonce reused";
   EXPECT_NE(a, b);
}

TEST(CryptoFrame, EverySingleBitChangeIsRejected) {
   Channel channel;
   std::vector<uint8_t> plain = PlainFrame();
   std::vector<uint8_t> frame = Encrypt(channel.chooser.get(), plain);
   ASSERT_TRUE(Decrypt(channel.asker.get(), frame, (uint32_t)plain.size()));
   for (size_t bit = 0; bit < frame.size() * 8; bit++) {
      std::vector<uint8_t> altered = frame;
      altered[bit / 8] ^= (uint8_t)(1u << (bit % 8));
      // Capacity exactly the plain size: a size made larger is refused
      // before anything past the frame is read.
      EXPECT_FALSE(Decrypt(channel.asker.get(), altered, (uint32_t)plain.size()))
          << "byte " << bit / 8 << " bit " << bit % 8;
   }
}

TEST(CryptoFrame, FailedDecryptionLeavesNoPlaintext) {
   Channel channel;
   std::vector<uint8_t> plain = PlainFrame(64);
   std::vector<uint8_t> frame = Encrypt(channel.chooser.get(), plain);
   frame.back() ^= 1;  // the tag
   std::vector<uint8_t> out(plain.size(), 0xEE);
   EXPECT_EQ(CSCPDecryptMessage(channel.asker.get(),
                                reinterpret_cast<const CSCP_ENCRYPTED_MESSAGE *>(frame.data()),
                                out.data(), (uint32_t)out.size()),
             nullptr);
   EXPECT_FALSE(Contains(out.data(), out.size(), plain.data() + 16, plain.size() - 16));
}

TEST(CryptoFrame, WrongKeyIsRejected) {
   ContextPtr a = NewContext(), b = NewContext();
   std::vector<uint8_t> plain = PlainFrame();
   EXPECT_FALSE(Decrypt(b.get(), Encrypt(a.get(), plain), 4096));
}

// A thread keeps its cipher keyed between frames: switching keys, a failed
// frame, or a new context where a freed one lived never leaves it on a stale
// key.
TEST(CryptoFrame, EachFrameUsesItsOwnContextsKeyOnOneThread) {
   auto a = std::make_unique<Channel>();
   Channel b;
   std::vector<uint8_t> plain = PlainFrame(), out;
   std::vector<uint8_t> fromA = Encrypt(a->chooser.get(), plain);
   std::vector<uint8_t> fromB = Encrypt(b.chooser.get(), plain);
   EXPECT_FALSE(Decrypt(a->asker.get(), fromB, 4096));
   ASSERT_TRUE(Decrypt(b.asker.get(), fromB, 4096, &out));
   EXPECT_EQ(plain, out);
   ASSERT_TRUE(Decrypt(a->asker.get(), fromA, 4096, &out));
   EXPECT_EQ(plain, out);
   EXPECT_TRUE(Decrypt(a->asker.get(), Encrypt(a->chooser.get(), plain), 4096));

   std::vector<uint8_t> lastFromA = Encrypt(a->chooser.get(), plain);
   const uint64_t freedKeyId = a->asker->getKeyId();
   a.reset();
   Channel c;
   EXPECT_NE(freedKeyId, c.asker->getKeyId());
   EXPECT_FALSE(Decrypt(c.asker.get(), lastFromA, 4096));
   EXPECT_TRUE(Decrypt(c.asker.get(), Encrypt(c.chooser.get(), plain), 4096));
}

TEST(CryptoFrame, FrameTooLargeForTheBufferIsRefused) {
   Channel channel;
   std::vector<uint8_t> plain = PlainFrame(100);
   std::vector<uint8_t> frame = Encrypt(channel.chooser.get(), plain);
   EXPECT_FALSE(Decrypt(channel.asker.get(), frame, (uint32_t)plain.size() - 1));
   EXPECT_FALSE(Decrypt(channel.asker.get(), frame, 0));
   EXPECT_TRUE(Decrypt(channel.asker.get(), frame, (uint32_t)plain.size()));
}

// Frames whose size is below the smallest possible one are refused from
// their 8 header bytes: the allocation holds only what the size claims.
TEST(CryptoFrame, SizesBelowTheMinimumAreRefused) {
   Channel channel;
   std::vector<uint8_t> frame = Encrypt(channel.chooser.get(), PlainFrame());
   for (uint32_t size : {0u, 8u, 20u, 36u, 51u}) {
      std::vector<uint8_t> shortFrame(frame.begin(), frame.begin() + std::max(size, 8u));
      SetSize(&shortFrame, size);
      EXPECT_FALSE(Decrypt(channel.asker.get(), shortFrame, 4096)) << size;
   }
}

// A frame cut short with its size field made to match fails the tag.
TEST(CryptoFrame, TruncatedFramesAreRejected) {
   Channel channel;
   std::vector<uint8_t> plain = PlainFrame();
   std::vector<uint8_t> frame = Encrypt(channel.chooser.get(), plain);
   for (size_t cut = 1; cut <= frame.size() - 52; cut++) {
      std::vector<uint8_t> shortFrame(frame.begin(), frame.end() - (long)cut);
      SetSize(&shortFrame, (uint32_t)shortFrame.size());
      EXPECT_FALSE(Decrypt(channel.asker.get(), shortFrame, 4096)) << cut;
   }
}

TEST(CryptoFrame, HeaderCodeAndFlagAreChecked) {
   Channel channel;
   std::vector<uint8_t> frame = Encrypt(channel.chooser.get(), PlainFrame());
   std::vector<uint8_t> wrongCode = frame;
   wrongCode[1] = 0xFE;
   EXPECT_FALSE(Decrypt(channel.asker.get(), wrongCode, 4096));
   std::vector<uint8_t> noFlag = frame;
   noFlag[2] = 0;
   EXPECT_FALSE(Decrypt(channel.asker.get(), noFlag, 4096));
}

// Authentic frames whose inner frame lies about its size, or claims to be
// encrypted again, are refused.
TEST(CryptoFrame, LyingInnerFramesAreRejected) {
   Channel channel;
   std::vector<uint8_t> plain = PlainFrame();
   ASSERT_TRUE(Decrypt(channel.asker.get(), EncryptByHand(channel.chooser.get(), plain), 4096));

   for (int delta : {-8, -1, 1, 8, 100000}) {
      std::vector<uint8_t> lying = plain;
      SetSize(&lying, (uint32_t)((int)plain.size() + delta));
      EXPECT_FALSE(Decrypt(channel.asker.get(), EncryptByHand(channel.chooser.get(), lying), 4096))
          << delta;
   }
   std::vector<uint8_t> nested = plain;
   nested[2] |= 0x80;
   EXPECT_FALSE(Decrypt(channel.asker.get(), EncryptByHand(channel.chooser.get(), nested), 4096));
}

TEST(CryptoFrame, NullArgumentsAndBadPlainFrames) {
   Channel channel;
   std::vector<uint8_t> plain = PlainFrame();
   std::vector<uint8_t> frame = Encrypt(channel.chooser.get(), plain);
   std::vector<uint8_t> out(4096);
   auto *encrypted = reinterpret_cast<const CSCP_ENCRYPTED_MESSAGE *>(frame.data());
   EXPECT_EQ(CSCPDecryptMessage(nullptr, encrypted, out.data(), 4096), nullptr);
   EXPECT_EQ(CSCPDecryptMessage(channel.asker.get(), nullptr, out.data(), 4096), nullptr);
   EXPECT_EQ(CSCPDecryptMessage(channel.asker.get(), encrypted, nullptr, 4096), nullptr);
   EXPECT_EQ(CSCPEncryptMessage(nullptr, reinterpret_cast<const CSCP_MESSAGE *>(plain.data())),
             nullptr);
   EXPECT_EQ(CSCPEncryptMessage(channel.chooser.get(), nullptr), nullptr);
   std::vector<uint8_t> tooShort = plain;
   SetSize(&tooShort, 15);
   EXPECT_EQ(CSCPEncryptMessage(channel.chooser.get(),
                                reinterpret_cast<const CSCP_MESSAGE *>(tooShort.data())),
             nullptr);
}

}  // namespace
