// The receiver thread: what ends a connection, what is dropped and what is
// filed in the queue.
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "isc_test_util.h"

using namespace isc_test;

namespace {

std::vector<uint8_t> Header(uint16_t code, uint16_t flags, uint32_t size, uint32_t id,
                            uint32_t last) {
   std::vector<uint8_t> bytes(HKCP_HEADER_SIZE);
   uint16_t c = htons(code), f = htons(flags);
   uint32_t s = htonl(size), i = htonl(id), l = htonl(last);
   memcpy(&bytes[0], &c, 2);
   memcpy(&bytes[2], &f, 2);
   memcpy(&bytes[4], &s, 4);
   memcpy(&bytes[8], &i, 4);
   memcpy(&bytes[12], &l, 4);
   return bytes;
}

// An unsolicited reply the test then takes from the queue: proof that the
// session kept receiving after whatever came before it.
bool SendMarker(FakeIscPeer &peer, uint32_t id, uint32_t rcc) {
   CSCPMessage marker;
   marker.SetCode(CMD_REQUEST_COMPLETED);
   marker.SetId(id);
   marker.SetVariable(VID_RCC, rcc);
   return peer.sendMessage(marker);
}

struct LogCapture {
   std::mutex lock;
   std::vector<std::wstring> debugLines;  // inserts of message 65

   static void Sink(const HKLOG_ENTRY *entry, void *context) {
      auto *self = static_cast<LogCapture *>(context);
      if (entry->messageId == 65 && entry->numInserts == 1) {
         std::lock_guard<std::mutex> guard(self->lock);
         self->debugLines.emplace_back(entry->inserts[0]);
      }
   }
};

}  // namespace

TEST(IscReceiver, DisconnectEndsTheReceiver) {
   FakeIscPeer peer({});
   CapturingISC isc(peer.port());
   ASSERT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);
   isc.Disconnect();

   // Refused at once, even before the receiver has ended.
   CSCPMessage message;
   message.SetCode(0x1100);
   message.SetId(1);
   EXPECT_EQ(isc.SendMessage(&message), 0);
   EXPECT_EQ(isc.Nop(), ISC_ERR_CONNECTION_BROKEN);

   EXPECT_TRUE(isc.waitForLine(
       L"ISC::ReceiverThread(): RecvHKCPMessage() failed: error=-1, socket_error=10058"));
   // The receiver ends on its own; its record waits to be joined.
   EXPECT_TRUE(isc.hasReceiverThread());
   isc.joinReceiver();
   EXPECT_TRUE(peer.waitForClosed(1, kWaitMs));
   EXPECT_FALSE(isc.connectedFlag());
   EXPECT_FALSE(isc.hasSocket());
   EXPECT_EQ(peer.framesWithCode(0x1100).size(), 0u);
}

TEST(IscReceiver, DisconnectWithoutSocketChangesNothing) {
   CapturingISC isc(1);
   isc.Disconnect();
   EXPECT_FALSE(isc.connectedFlag());
   EXPECT_TRUE(isc.lines().empty());
}

TEST(IscReceiver, PeerCloseEndsTheConnection) {
   FakeIscPeer peer({});
   CapturingISC isc(peer.port());
   ASSERT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);
   peer.closeLatest();
   ASSERT_TRUE(isc.waitForLinePrefix(L"ISC::ReceiverThread(): RecvHKCPMessage() failed: error=0,"));
   isc.joinReceiver();
   EXPECT_FALSE(isc.connectedFlag());
   EXPECT_FALSE(isc.hasSocket());
   EXPECT_FALSE(isc.encrypted());
   EXPECT_EQ(isc.Nop(), ISC_ERR_CONNECTION_BROKEN);

   // The session can connect again.
   ASSERT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);
   EXPECT_EQ(isc.Nop(), ISC_ERR_SUCCESS);
}

TEST(IscReceiver, ReceiveTimeoutEndsTheConnection) {
   FakeIscPeer peer({});
   CapturingISC isc(peer.port(), 0, 50);  // the receive time-out, shortened
   ASSERT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);
   ASSERT_TRUE(isc.waitForLine(L"Timed out waiting for message"));
   isc.joinReceiver();
   EXPECT_TRUE(peer.waitForClosed(1, kWaitMs));
   EXPECT_FALSE(isc.connectedFlag());
   EXPECT_FALSE(isc.hasSocket());
}

TEST(IscReceiver, TooLargeFrameIsSkipped) {
   FakeIscPeer peer({});
   CapturingISC isc(peer.port());
   ASSERT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);

   const uint32_t size = HKCP_MAX_FRAME_SIZE + 16;
   std::vector<uint8_t> frame = Header(CMD_NOP, 0, size, 3, 0);
   frame.resize(size, 0xAB);
   ASSERT_TRUE(peer.sendRaw(frame.data(), frame.size()));
   ASSERT_TRUE(SendMarker(peer, 7001, 33));

   EXPECT_EQ(isc.WaitForRCC(7001, kWaitMs), 33u);
   EXPECT_EQ(isc.lines(),
             (std::vector<std::wstring>{L"Received too large message CMD_NOP (262160 bytes)"}));
   EXPECT_TRUE(isc.connectedFlag());
}

TEST(IscReceiver, RawFrameIsDroppedWithADebugLine) {
   LogCapture capture;
   hklog_set_sink(LogCapture::Sink, &capture);
   const int savedLevel = g_nDebugLevel;
   g_nDebugLevel = 6;
   {
      FakeIscPeer peer({});
      CapturingISC isc(peer.port());
      ASSERT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);

      std::vector<uint8_t> frame = Header(CMD_FILE_DATA, MF_BINARY, HKCP_HEADER_SIZE + 4, 88, 4);
      frame.insert(frame.end(), {1, 2, 3, 4});
      ASSERT_TRUE(peer.sendRaw(frame.data(), frame.size()));
      ASSERT_TRUE(SendMarker(peer, 7002, 0));
      EXPECT_EQ(isc.WaitForRCC(7002, kWaitMs), 0u);
      EXPECT_EQ(isc.WaitForMessage(CMD_FILE_DATA, 88, 0), nullptr);
      EXPECT_TRUE(isc.lines().empty());
   }
   g_nDebugLevel = savedLevel;
   hklog_set_sink(nullptr, nullptr);
   std::lock_guard<std::mutex> guard(capture.lock);
   EXPECT_EQ(capture.debugLines,
             (std::vector<std::wstring>{
                 L"ISC: Received raw message CMD_FILE_DATA from peer at 127.0.0.1"}));
}

TEST(IscReceiver, UndecryptableFrameEndsTheSession) {
   FakeIscPeer peer({});
   CapturingISC isc(peer.port());
   ASSERT_EQ(isc.Connect(7, ServerKey(), 1), ISC_ERR_SUCCESS);

   // An encrypted frame whose tag cannot match, then a genuine one.
   const uint32_t size = HKCP_ENCRYPTION_HEADER_SIZE + HKCP_HEADER_SIZE + HKCP_ENCRYPTION_TAG_SIZE;
   std::vector<uint8_t> frame = Header(CMD_ENCRYPTED_MESSAGE, MF_ENCRYPTED, size, 0, 0);
   frame.resize(size, 0x5A);
   ASSERT_TRUE(peer.sendRaw(frame.data(), frame.size()));
   SendMarker(peer, 7003, 5);  // may find the connection closed already

   isc.joinReceiver();
   EXPECT_EQ(isc.lines(), (std::vector<std::wstring>{L"Unable to decrypt received message"}));
   EXPECT_FALSE(isc.connectedFlag());
   EXPECT_EQ(isc.WaitForRCC(7003, 0), ISC_ERR_REQUEST_TIMEOUT);
}

TEST(IscReceiver, EveryDecodedMessageIsFiled) {
   FakeIscPeer peer({});
   CapturingISC isc(peer.port());
   ASSERT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);
   CSCPMessage pushed;
   pushed.SetCode(0x1234);
   pushed.SetId(77);
   pushed.SetVariable(VID_VALUE, L"pushed");
   ASSERT_TRUE(peer.sendMessage(pushed));

   CSCPMessage *message = isc.WaitForMessage(0x1234, 77, kWaitMs);
   ASSERT_NE(message, nullptr);
   wchar_t text[16];
   EXPECT_STREQ(message->GetVariableStr(VID_VALUE, text, 16), L"pushed");
   delete message;
}

TEST(IscReceiver, AFloodIsBoundedDroppingTheOldestOnce) {
   const uint32_t kBound = 8, kFlood = 50;
   FakeIscPeer peer({});
   CapturingISC isc(peer.port());
   ASSERT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);
   isc.queue().setLimits(kBound, 1 << 20);
   for (uint32_t id = 1; id <= kFlood; id++)
      ASSERT_TRUE(SendMarker(peer, 9000 + id, id));
   // Nothing but the flood arrives, so the count settles at its final value.
   uint64_t deadline = GetMonotonicMs() + kWaitMs;
   while (isc.queue().droppedCount() < kFlood - kBound && GetMonotonicMs() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
   EXPECT_EQ(isc.queue().droppedCount(), kFlood - kBound);
   EXPECT_EQ(isc.queue().size(), kBound);
   // The ids are the caller's, so none is protected: the newest stay.
   for (uint32_t id = 1; id <= kFlood; id++) {
      CSCPMessage *message = isc.WaitForMessage(CMD_REQUEST_COMPLETED, 9000 + id, 0);
      EXPECT_EQ(message != nullptr, id > kFlood - kBound) << "id " << id;
      delete message;
   }
   size_t reported = 0;
   for (const std::wstring &line : isc.lines())
      reported += line.rfind(L"ISC: reply queue full", 0) == 0 ? 1 : 0;
   EXPECT_EQ(reported, 1u);
}

TEST(IscReceiver, DestructorEndsARunningConnection) {
   FakeIscPeer peer({});
   {
      // The base class itself: its destructor joins a receiver that prints
      // through the default PrintMsg.
      ISC isc(FakeIscPeer::addressNetworkOrder(), peer.port());
      ASSERT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);
      // Left in the queue: freed with it.
      ASSERT_TRUE(SendMarker(peer, 7004, 1));
      ASSERT_TRUE(peer.waitForFrames(3, kWaitMs));
   }
   EXPECT_TRUE(peer.waitForClosed(1, kWaitMs));
}

TEST(IscReceiver, DefaultPrintMsgWritesALineToStandardOutput) {
   FakeIscScript script;
   script.version = 3;
   FakeIscPeer peer(script);
   ISC isc(FakeIscPeer::addressNetworkOrder(), peer.port());
   ::testing::internal::CaptureStdout();
   const uint32_t result = isc.Connect(7);
   fflush(stdout);
   const std::string output = ::testing::internal::GetCapturedStdout();
   EXPECT_EQ(result, ISC_ERR_INVALID_PROTOCOL_VERSION);
   EXPECT_EQ(output, "ISC peer 127.0.0.1 uses incompatible HKCP version 3\n");
}
