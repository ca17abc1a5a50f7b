// Encryption over a real loopback connection: the key exchange and
// encrypted traffic both ways through SendEx and RecvHKCPMessage, re-keying,
// and altered, cut or lying frames arriving on the stream.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "crypto_util.h"
#include "hkcp.h"

using namespace crypto_test;

namespace {

const uint32_t kStopId = 0xFFFFFF;
// Bit 0x80 of byte 2: MF_ENCRYPTED in the flags field.
const size_t kEncryptedFlagBit = 2 * 8 + 7;

std::vector<uint8_t> Payload(uint32_t length, uint32_t seed) {
   std::vector<uint8_t> bytes(length);
   for (uint32_t i = 0; i < length; i++)
      bytes[i] = (uint8_t)((i * 31 + seed * 17) ^ (i >> 8));
   return bytes;
}

std::vector<uint8_t> Binary(const CSCPMessage &message, uint32_t id) {
   std::vector<uint8_t> bytes(message.GetVariableBinary(id, nullptr, 0));
   message.GetVariableBinary(id, bytes.data(), (uint32_t)bytes.size());
   return bytes;
}

// The peer's side: answers key requests (switching to the new key after
// the reply) and echoes every other message back encrypted, until the stop
// message. Records what it saw.
struct EchoPeer {
   explicit EchoPeer(SOCKET s) : socket(s) {}
   void run() {
      FrameReader reader(socket);
      HKCPEncryptionContext *context = nullptr;
      for (;;) {
         int rc = reader.next(&context);
         if (rc <= 3) {
            failures.push_back(rc);
            if (rc <= 0 || rc == 3)
               break;
            continue;
         }
         std::unique_ptr<CSCPMessage> message(reader.message());
         if (message->GetCode() == CMD_REQUEST_SESSION_KEY) {
            CSCPMessage reply;
            HKCPEncryptionContext *next = nullptr;
            keyAnswers.push_back(HKCPAnswerKeyRequest(message.get(), &reply, &next));
            SendMessage(socket, reply, context);
            if (next != nullptr) {
               if (context != nullptr)
                  context->decRefCount();
               context = next;
            }
            continue;
         }
         if (message->GetId() == kStopId)
            break;
         CSCPMessage echo;
         echo.SetCode(CMD_REQUEST_COMPLETED);
         echo.SetId(message->GetId());
         std::vector<uint8_t> data = Binary(*message, VID_PDU);
         echo.SetVariable(VID_PDU, data.data(), (uint32_t)data.size());
         echo.SetVariable(VID_RCC, (uint32_t)(context != nullptr ? 1 : 0));
         SendMessage(socket, echo, context);
         echoed++;
      }
      if (context != nullptr)
         context->decRefCount();
   }

   SOCKET socket;
   std::vector<uint32_t> keyAnswers;
   std::vector<int> failures;
   int echoed = 0;
};

// Runs the server's side of a key exchange on socket s; the new context
// replaces *context (the old one is released).
void Exchange(SOCKET s, FrameReader *reader, HKCPEncryptionContext **context, uint32_t id) {
   CSCPMessage request;
   PrepareKeyRequestMsg(&request, ServerKey(), false);
   request.SetId(id);
   ASSERT_TRUE(SendMessage(s, request, *context));
   ASSERT_GT(reader->next(context), 3);
   std::unique_ptr<CSCPMessage> reply(reader->message());
   ASSERT_EQ(reply->GetCode(), CMD_SESSION_KEY);
   ASSERT_EQ(reply->GetId(), id);
   HKCPEncryptionContext *old = *context;
   ASSERT_EQ(SetupEncryptionContext(reply.get(), context, nullptr, ServerKey(), HKCP_VERSION), 0u);
   ASSERT_NE(*context, old);
   if (old != nullptr)
      old->decRefCount();
}

void EchoRoundTrip(SOCKET s, FrameReader *reader, HKCPEncryptionContext **context, uint32_t id,
                   uint32_t length) {
   CSCPMessage message;
   message.SetCode(CMD_GET_PARAMETER);
   message.SetId(id);
   std::vector<uint8_t> payload = Payload(length, id);
   message.SetVariable(VID_PDU, payload.data(), length);
   ASSERT_TRUE(SendMessage(s, message, *context));
   int rc = reader->next(context);
   ASSERT_GT(rc, 3) << "payload " << length;
   std::unique_ptr<CSCPMessage> echo(reader->message());
   ASSERT_TRUE(echo->IsValid());
   EXPECT_EQ(echo->GetCode(), CMD_REQUEST_COMPLETED);
   EXPECT_EQ(echo->GetId(), id);
   EXPECT_EQ(echo->GetVariableLong(VID_RCC), 1u) << "the peer saw a plain channel";
   EXPECT_TRUE(Binary(*echo, VID_PDU) == payload) << "payload " << length;
}

void Stop(SOCKET s, HKCPEncryptionContext *context) {
   CSCPMessage stop;
   stop.SetCode(CMD_NOP);
   stop.SetId(kStopId);
   SendMessage(s, stop, context);
}

TEST(CryptoChannel, EncryptedMessagesRoundTripBothWays) {
   LoopbackPair pair;
   ASSERT_TRUE(pair.ok());
   EchoPeer peer(pair.b);
   std::thread thread([&] { peer.run(); });
   FrameReader reader(pair.a);
   HKCPEncryptionContext *context = nullptr;
   Exchange(pair.a, &reader, &context, 1);
   ASSERT_NE(context, nullptr);
   uint32_t id = 10;
   // Small frames, frames larger than the receive state's buffer, and one
   // close to the frame limit.
   for (uint32_t length : {0u, 1u, 7u, 1000u, 65536u, 70000u, 200000u, 262000u, 3u})
      EchoRoundTrip(pair.a, &reader, &context, id++, length);
   Stop(pair.a, context);
   thread.join();
   EXPECT_EQ(peer.keyAnswers, std::vector<uint32_t>{0});
   EXPECT_EQ(peer.echoed, 9);
   EXPECT_TRUE(peer.failures.empty());
   context->decRefCount();
}

// A second exchange travels under the first key; afterwards both sides use
// the new one, and frames under the old key no longer decrypt.
TEST(CryptoChannel, RekeyingSwitchesBothDirections) {
   LoopbackPair pair;
   ASSERT_TRUE(pair.ok());
   EchoPeer peer(pair.b);
   std::thread thread([&] { peer.run(); });
   FrameReader reader(pair.a);
   HKCPEncryptionContext *context = nullptr;
   Exchange(pair.a, &reader, &context, 1);
   EchoRoundTrip(pair.a, &reader, &context, 2, 100);
   HKCPEncryptionContext *first = context;
   first->incRefCount();
   Exchange(pair.a, &reader, &context, 3);
   EXPECT_NE(memcmp(first->getKey(), context->getKey(), 32), 0);
   EchoRoundTrip(pair.a, &reader, &context, 4, 5000);

   // A frame under the old key is refused and the stream goes on.
   CSCPMessage stale;
   stale.SetCode(CMD_GET_PARAMETER);
   stale.SetId(5);
   ASSERT_TRUE(SendMessage(pair.a, stale, first));
   EchoRoundTrip(pair.a, &reader, &context, 6, 10);
   Stop(pair.a, context);
   thread.join();
   EXPECT_EQ(peer.keyAnswers, (std::vector<uint32_t>{0, 0}));
   EXPECT_EQ(peer.failures, std::vector<int>{2});
   EXPECT_EQ(peer.echoed, 3);
   first->decRefCount();
   context->decRefCount();
}

// Frames from the side that chose the key to the side that asked, written
// straight to the stream.
class CryptoStream : public ::testing::Test {
protected:
   void SetUp() override {
      ASSERT_TRUE(pair.ok());
      ASSERT_NE(channel.chooser, nullptr);
      ASSERT_NE(channel.asker, nullptr);
      context = channel.asker.get();
   }

   // The sender's next frame: each call takes the next sequence.
   std::vector<uint8_t> EncryptedFrame(uint32_t id) {
      CSCPMessage message;
      message.SetCode(CMD_NOP);
      message.SetId(id);
      message.SetVariable(VID_VALUE, L"payload");
      CSCP_MESSAGE *plain = message.CreateMessage();
      CSCP_ENCRYPTED_MESSAGE *frame = CSCPEncryptMessage(channel.chooser.get(), plain);
      std::vector<uint8_t> bytes((uint8_t *)frame, (uint8_t *)frame + ntohl(frame->dwSize));
      free(plain);
      free(frame);
      return bytes;
   }
   void Write(const std::vector<uint8_t> &bytes) {
      ASSERT_EQ(SendEx(pair.a, bytes.data(), bytes.size(), 0, nullptr), (int)bytes.size());
   }
   // The next frame's request id, or 0 when RecvHKCPMessage gave rc.
   uint32_t NextId(FrameReader *reader, int *rc) {
      *rc = reader->next(&context, 2000);
      if (*rc <= 3)
         return 0;
      return ntohl(reader->frame()->dwId);
   }

   LoopbackPair pair;
   Channel channel;
   HKCPEncryptionContext *context = nullptr;  // the reader's
};

// Any single altered bit in a frame on the stream gives 2, moves no
// sequence, and the genuine frame after it is still read correctly.
TEST_F(CryptoStream, AlteredFramesGiveResult2AndTheStreamGoesOn) {
   FrameReader reader(pair.b);
   const std::vector<uint8_t> first = EncryptedFrame(1);
   const size_t frameSize = first.size();
   Write(first);
   int rc = 0;
   ASSERT_EQ(NextId(&reader, &rc), 1u);
   // The size field is left alone here: altering it re-frames the stream
   // itself (covered below). So is the encrypted flag (its own test).
   for (size_t bit = 0; bit < frameSize * 8; bit++) {
      if ((bit / 8 >= 4 && bit / 8 < 8) || bit == kEncryptedFlagBit)
         continue;
      std::vector<uint8_t> genuine = EncryptedFrame((uint32_t)bit + 200000);
      std::vector<uint8_t> altered = genuine;
      altered[bit / 8] ^= (uint8_t)(1u << (bit % 8));
      Write(altered);
      Write(genuine);
      EXPECT_EQ(NextId(&reader, &rc), 0u);
      EXPECT_EQ(rc, 2) << "byte " << bit / 8 << " bit " << bit % 8;
      EXPECT_EQ(NextId(&reader, &rc), (uint32_t)bit + 200000);
   }
   EXPECT_FALSE(channel.asker->sequenceBroken());
}

// With the encrypted flag cleared, the ciphertext would pass for a plain
// frame; on a session that has a context every frame must be encrypted.
TEST_F(CryptoStream, ClearedEncryptedFlagGivesResult2) {
   FrameReader reader(pair.b);
   std::vector<uint8_t> genuine = EncryptedFrame(2);
   std::vector<uint8_t> altered = genuine;
   altered[kEncryptedFlagBit / 8] ^= (uint8_t)(1u << (kEncryptedFlagBit % 8));
   Write(altered);
   Write(genuine);
   int rc = 0;
   EXPECT_EQ(NextId(&reader, &rc), 0u);
   EXPECT_EQ(rc, 2);
   EXPECT_EQ(NextId(&reader, &rc), 2u);
}

// A plain reader (no context) cannot read encrypted frames.
TEST_F(CryptoStream, EncryptedFrameWithoutContextGives2) {
   FrameReader reader(pair.b);
   Write(EncryptedFrame(1));
   HKCPEncryptionContext *none = nullptr;
   EXPECT_EQ(reader.next(&none, 2000), 2);
}

// An encrypted frame whose size says less than it holds: its first bytes
// are taken as the frame and refused; one below the smallest valid size
// likewise.
TEST_F(CryptoStream, LyingSizesAreRefused) {
   FrameReader reader(pair.b);
   for (uint32_t size : {16u, 40u, 51u}) {
      std::vector<uint8_t> genuine = EncryptedFrame(size + 500);
      std::vector<uint8_t> lying(genuine.begin(), genuine.begin() + size);
      uint32_t be = htonl(size);
      memcpy(&lying[4], &be, 4);
      Write(lying);
      Write(genuine);
      int rc = 0;
      EXPECT_EQ(NextId(&reader, &rc), 0u);
      EXPECT_EQ(rc, 2) << size;
      EXPECT_EQ(NextId(&reader, &rc), size + 500);
   }
}

// A frame skipped unread (over the receive limit) is never authenticated,
// so it never moves the sequence: the sender's next frame still follows.
TEST_F(CryptoStream, SkippedFrameMovesNoSequence) {
   FrameReader reader(pair.b);
   std::vector<uint8_t> oversized(HKCP_MAX_FRAME_SIZE + 64, 0x5A);
   const uint32_t be = htonl((uint32_t)oversized.size());
   const uint16_t code = htons(CMD_ENCRYPTED_MESSAGE), flags = htons(MF_ENCRYPTED);
   memcpy(&oversized[0], &code, 2);
   memcpy(&oversized[2], &flags, 2);
   memcpy(&oversized[4], &be, 4);
   std::vector<uint8_t> next = EncryptedFrame(7);
   // Larger than the socket buffers: written while the reader reads.
   std::thread writer([&] {
      Write(oversized);
      Write(next);
   });
   int rc = 0;
   EXPECT_EQ(NextId(&reader, &rc), 0u);
   EXPECT_EQ(rc, 1);
   EXPECT_EQ(NextId(&reader, &rc), 7u);
   writer.join();
   EXPECT_FALSE(channel.asker->sequenceBroken());
}

// A frame cut short by the end of the connection is never decrypted: the
// receive reports the close.
TEST_F(CryptoStream, FrameCutByCloseIsNotDelivered) {
   FrameReader reader(pair.b);
   std::vector<uint8_t> frame = EncryptedFrame(1);
   frame.resize(frame.size() - 5);
   Write(frame);
   ShutdownSocket(pair.a);
   int rc = 0;
   EXPECT_EQ(NextId(&reader, &rc), 0u);
   EXPECT_LE(rc, 0);
}

}  // namespace
