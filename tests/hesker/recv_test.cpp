// RecvHKCPMessage over real loopback TCP: reassembly, several frames per
// read, time-outs, close, shutdown, oversized frames and bad sizes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <thread>

#include "hesker_test_util.h"

using namespace hesker_test;

namespace {

std::vector<uint8_t> NumberedFrame(uint32_t id, size_t textLength) {
   CSCPMessage m;
   m.SetCode(CMD_REQUEST_COMPLETED);
   m.SetId(id);
   m.SetVariable(VID_RCC, id * 3);
   m.SetVariable(VID_VALUE, std::wstring(textLength, (wchar_t)(L'a' + id % 26)).c_str());
   return Encode(m);
}

// A raw frame of exactly size bytes whose data bytes count up from seed.
std::vector<uint8_t> RawFrame(uint32_t id, uint32_t size, uint8_t seed) {
   std::vector<uint8_t> data(size - HKCP_HEADER_SIZE);
   for (size_t i = 0; i < data.size(); i++)
      data[i] = (uint8_t)(seed + i);
   return FrameBuilder(CMD_FILE_DATA, MF_BINARY, id, (uint32_t)data.size())
       .bytes(data.data(), data.size())
       .build();
}

// Waits (bounded) until count bytes are queued for reading on s.
bool WaitUntilQueued(SOCKET s, size_t count) {
   uint64_t deadline = GetMonotonicMs() + 5000;
   while (GetMonotonicMs() < deadline) {
      int queued = 0;
      if (ioctl((int)s, FIONREAD, &queued) == 0 && (size_t)queued >= count)
         return true;
      std::this_thread::yield();
   }
   return false;
}

void ExpectFrame(const Receiver &r, const std::vector<uint8_t> &expected) {
   const uint8_t *got = reinterpret_cast<const uint8_t *>(r.frame());
   ASSERT_EQ(ntohl(r.frame()->dwSize), expected.size());
   EXPECT_EQ(memcmp(got, expected.data(), expected.size()), 0);
}

}  // namespace

TEST(RecvHKCPMessage, InitialisesState) {
   CSCP_BUFFER *state = static_cast<CSCP_BUFFER *>(malloc(sizeof(CSCP_BUFFER)));
   memset(state, 0xAB, sizeof(*state));
   EXPECT_EQ(RecvHKCPMessage(0, nullptr, state, 0, nullptr, nullptr, 0), 0);
   EXPECT_EQ(state->dwBufSize, 0u);
   EXPECT_EQ(state->dwBufPos, 0u);
   EXPECT_EQ(state->dwSkipBytes, 0u);
   free(state);
}

TEST(RecvHKCPMessage, ReassemblesAFrameArrivingByteByByteAcrossCalls) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   std::vector<uint8_t> frame = NumberedFrame(5, 20);
   for (size_t i = 0; i + 1 < frame.size(); i++) {
      ASSERT_TRUE(WriteAll(pair.client, &frame[i], 1));
      // Incomplete: a time-out, and the bytes so far stay in the state.
      ASSERT_EQ(r.next(0), 3) << "after byte " << i;
   }
   ASSERT_TRUE(WriteAll(pair.client, &frame.back(), 1));
   ASSERT_EQ(r.next(5000), (int)frame.size());
   ExpectFrame(r, frame);
   auto m = r.message();
   ASSERT_TRUE(m->IsValid());
   EXPECT_EQ(m->GetVariableLong(VID_RCC), 15u);
}

TEST(RecvHKCPMessage, ReassemblesWithinOneCallFromSingleByteWrites) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   std::vector<uint8_t> frame = NumberedFrame(6, 300);
   std::thread writer([&] {
      for (uint8_t b : frame)
         WriteAll(pair.client, &b, 1);
   });
   int rc = r.next(10000);
   writer.join();
   ASSERT_EQ(rc, (int)frame.size());
   ExpectFrame(r, frame);
}

TEST(RecvHKCPMessage, SeparatesSeveralFramesFromOneRead) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   std::vector<std::vector<uint8_t>> frames = {NumberedFrame(1, 0), NumberedFrame(2, 100),
                                               RawFrame(3, 24, 9), NumberedFrame(4, 7)};
   std::vector<uint8_t> all;
   for (const auto &f : frames)
      all.insert(all.end(), f.begin(), f.end());
   ASSERT_TRUE(WriteAll(pair.client, all.data(), all.size()));
   ASSERT_TRUE(WaitUntilQueued(pair.server, all.size()));
   // The peer goes away: what follows can only come from the first read.
   closesocket(pair.client);
   pair.client = INVALID_SOCKET;
   ASSERT_EQ(r.next(5000), (int)frames[0].size());
   ExpectFrame(r, frames[0]);
   EXPECT_EQ(r.state()->dwBufSize - r.state()->dwBufPos, all.size() - frames[0].size());
   for (size_t i = 1; i < frames.size(); i++) {
      ASSERT_EQ(r.next(0), (int)frames[i].size());
      ExpectFrame(r, frames[i]);
   }
   EXPECT_LE(r.next(5000), 0);
}

TEST(RecvHKCPMessage, SeveralBufferedFramesComeOutOneByOne) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   std::vector<std::vector<uint8_t>> frames;
   std::vector<uint8_t> all;
   for (uint32_t i = 0; i < 20; i++) {
      frames.push_back(NumberedFrame(i, i * 13));
      all.insert(all.end(), frames.back().begin(), frames.back().end());
   }
   ASSERT_TRUE(WriteAll(pair.client, all.data(), all.size()));
   for (const auto &f : frames) {
      ASSERT_EQ(r.next(5000), (int)f.size());
      ExpectFrame(r, f);
   }
   EXPECT_EQ(r.state()->dwBufPos, r.state()->dwBufSize);
   EXPECT_EQ(r.next(0), 3);
}

TEST(RecvHKCPMessage, TimeOutWhenNothingArrives) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   EXPECT_EQ(r.next(0), 3);
   uint64_t start = GetMonotonicMs();
   EXPECT_EQ(r.next(1), 3);
   EXPECT_GE(GetMonotonicMs() - start, 1u);
}

TEST(RecvHKCPMessage, PeerCloseIsZeroOrLess) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   closesocket(pair.client);
   pair.client = INVALID_SOCKET;
   WSASetLastError(WSAESHUTDOWN);  // stale from some earlier call
   EXPECT_LE(r.next(5000), 0);
   // Not mistaken for a shutdown on this side.
   EXPECT_NE(WSAGetLastError(), WSAESHUTDOWN);
}

TEST(RecvHKCPMessage, PeerCloseMidFrameIsZeroOrLess) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   std::vector<uint8_t> frame = NumberedFrame(1, 50);
   ASSERT_TRUE(WriteAll(pair.client, frame.data(), frame.size() / 2));
   closesocket(pair.client);
   pair.client = INVALID_SOCKET;
   EXPECT_LE(r.next(5000), 0);
}

TEST(RecvHKCPMessage, ShutdownOnThisSideIsWsaeShutdown) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   // A receiver blocked without limit wakes when this side shuts down.
   int rc = 0;
   int error = 0;
   std::thread reader([&] {
      rc = r.next(INFINITE);
      error = WSAGetLastError();
   });
   ShutdownSocket(pair.server);
   reader.join();
   EXPECT_EQ(rc, -1);
   EXPECT_EQ(error, WSAESHUTDOWN);
   EXPECT_EQ(error, 10058);
   // And so does any later call.
   EXPECT_EQ(r.next(0), -1);
   EXPECT_EQ(WSAGetLastError(), 10058);
}

TEST(RecvHKCPMessage, LargestAcceptedFrameArrives) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   std::vector<uint8_t> big = RawFrame(1, HKCP_MAX_FRAME_SIZE, 3);
   std::vector<uint8_t> small = NumberedFrame(2, 5);
   std::thread writer([&] {
      WriteAll(pair.client, big.data(), big.size());
      WriteAll(pair.client, small.data(), small.size());
   });
   ASSERT_EQ(r.next(10000), (int)HKCP_MAX_FRAME_SIZE);
   ExpectFrame(r, big);
   ASSERT_EQ(r.next(10000), (int)small.size());
   ExpectFrame(r, small);
   writer.join();
}

TEST(RecvHKCPMessage, OversizedFrameKeepsHeaderAndNextFrameIsIntact) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   std::vector<uint8_t> tooBig = RawFrame(7, HKCP_MAX_FRAME_SIZE + 8, 1);
   std::vector<uint8_t> next = NumberedFrame(8, 40);
   std::thread writer([&] {
      WriteAll(pair.client, tooBig.data(), tooBig.size());
      WriteAll(pair.client, next.data(), next.size());
   });
   ASSERT_EQ(r.next(10000), 1);
   EXPECT_EQ(memcmp(r.frame(), tooBig.data(), HKCP_HEADER_SIZE), 0);
   EXPECT_EQ(ntohl(r.frame()->dwSize), HKCP_MAX_FRAME_SIZE + 8);
   EXPECT_EQ(ntohs(r.frame()->wCode), CMD_FILE_DATA);
   ASSERT_EQ(r.next(10000), (int)next.size());
   ExpectFrame(r, next);
   writer.join();
}

TEST(RecvHKCPMessage, OversizedFramesForASmallCapacityAreSkippedInOrder) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server, 64);
   std::vector<uint8_t> all;
   std::vector<std::vector<uint8_t>> frames = {RawFrame(1, 40, 0), RawFrame(2, 200, 0),
                                               RawFrame(3, 64, 5), RawFrame(4, 70000, 0),
                                               RawFrame(5, 16, 0)};
   for (const auto &f : frames)
      all.insert(all.end(), f.begin(), f.end());
   std::thread writer([&] { WriteAll(pair.client, all.data(), all.size()); });
   ASSERT_EQ(r.next(5000), 40);
   ASSERT_EQ(r.next(5000), 1);
   EXPECT_EQ(ntohl(r.frame()->dwId), 2u);
   ASSERT_EQ(r.next(5000), 64);
   ExpectFrame(r, frames[2]);
   ASSERT_EQ(r.next(5000), 1);
   EXPECT_EQ(ntohl(r.frame()->dwId), 4u);
   ASSERT_EQ(r.next(5000), 16);
   EXPECT_EQ(ntohl(r.frame()->dwId), 5u);
   writer.join();
}

TEST(RecvHKCPMessage, TimeOutInsideALargeFrameSkipsItAndKeepsFraming) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   std::vector<uint8_t> big = RawFrame(1, 100000, 0);
   std::vector<uint8_t> next = NumberedFrame(2, 3);
   ASSERT_TRUE(WriteAll(pair.client, big.data(), big.size() / 2));
   EXPECT_EQ(r.next(1), 3);
   std::thread writer([&] {
      WriteAll(pair.client, big.data() + big.size() / 2, big.size() - big.size() / 2);
      WriteAll(pair.client, next.data(), next.size());
   });
   ASSERT_EQ(r.next(10000), (int)next.size());
   ExpectFrame(r, next);
   writer.join();
}

TEST(RecvHKCPMessage, SizeBelowHeaderIsAnError) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   std::vector<uint8_t> bad = FrameBuilder(CMD_NOP, 0, 1, 0).build(8);
   ASSERT_TRUE(WriteAll(pair.client, bad.data(), bad.size()));
   EXPECT_LE(r.next(5000), 0);
}

TEST(RecvHKCPMessage, EncryptedFrameWithoutContextFailsDecryption) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   Receiver r(pair.server);
   std::vector<uint8_t> enc = FrameBuilder(CMD_ENCRYPTED_MESSAGE, MF_ENCRYPTED, 0, 0)
                                  .bytes(std::vector<uint8_t>(32, 1).data(), 32)
                                  .build();
   std::vector<uint8_t> next = NumberedFrame(3, 3);
   enc.insert(enc.end(), next.begin(), next.end());
   ASSERT_TRUE(WriteAll(pair.client, enc.data(), enc.size()));
   EXPECT_EQ(r.next(5000), 2);
   ASSERT_EQ(r.next(5000), (int)next.size());
   ExpectFrame(r, next);
}

TEST(RecvHKCPMessage, WorksOnANonBlockingSocket) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   ASSERT_EQ(SetSocketNonBlocking(pair.server, true), 0);
   Receiver r(pair.server);
   EXPECT_EQ(r.next(0), 3);
   std::vector<uint8_t> frame = NumberedFrame(9, 2000);
   std::thread writer([&] {
      for (size_t i = 0; i < frame.size(); i += 100)
         WriteAll(pair.client, frame.data() + i, std::min<size_t>(100, frame.size() - i));
   });
   ASSERT_EQ(r.next(10000), (int)frame.size());
   ExpectFrame(r, frame);
   writer.join();
}
