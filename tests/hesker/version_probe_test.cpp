// The protocol version probe, both sides, over loopback TCP.
#include <gtest/gtest.h>

#include <thread>

#include "hesker_test_util.h"

using namespace hesker_test;

namespace {

// A peer that answers the probe with its version, then sends one more frame.
void AnsweringPeer(SOCKET s, int version, const std::vector<uint8_t> &after) {
   Receiver r(s);
   if (r.next(5000) <= 3)
      return;
   CriticalSection lock;
   if (HKCPAnswerVersionProbe(s, r.frame(), version, &lock) && !after.empty())
      WriteAll(s, after.data(), after.size());
}

std::vector<uint8_t> Nop(uint32_t id) {
   CSCPMessage m;
   m.SetCode(CMD_NOP);
   m.SetId(id);
   m.SetVariable(VID_RCC, (uint32_t)0);
   return Encode(m);
}

}  // namespace

TEST(VersionProbe, BothSidesAgreeOnTheVersion) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   std::thread peer(AnsweringPeer, pair.server, 2, std::vector<uint8_t>());
   CriticalSection lock;
   int version = 0;
   EXPECT_TRUE(HKCPGetPeerProtocolVersion(pair.client, &version, &lock));
   EXPECT_EQ(version, 2);
   peer.join();
}

TEST(VersionProbe, ProbeAndAnswerBytesOnTheWire) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   std::thread prober([&] {
      int version = 0;
      HKCPGetPeerProtocolVersion(pair.client, &version, nullptr);
   });
   uint8_t probe[16];
   Receiver r(pair.server);
   ASSERT_EQ(r.next(5000), 16);
   memcpy(probe, r.frame(), 16);
   EXPECT_EQ(hk_get_be16(probe), CMD_GET_HKCP_VERSION);
   EXPECT_EQ(hk_get_be16(probe + 2), MF_BINARY);
   EXPECT_EQ(hk_get_be32(probe + 4), 16u);
   EXPECT_EQ(hk_get_be32(probe + 12), 0u);
   ASSERT_TRUE(HKCPAnswerVersionProbe(pair.server, r.frame(), 7, nullptr));
   prober.join();
}

TEST(VersionProbe, DoesNotReadBeyondTheAnswer) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   std::vector<uint8_t> after = Nop(42);
   std::thread peer(AnsweringPeer, pair.server, 2, after);
   int version = 0;
   ASSERT_TRUE(HKCPGetPeerProtocolVersion(pair.client, &version, nullptr));
   EXPECT_EQ(version, 2);
   peer.join();
   Receiver r(pair.client);
   ASSERT_EQ(r.next(5000), (int)after.size());
   EXPECT_EQ(ntohl(r.frame()->dwId), 42u);
}

TEST(VersionProbe, WorksOnANonBlockingSocket) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   ASSERT_EQ(SetSocketNonBlocking(pair.client, true), 0);
   std::vector<uint8_t> after = Nop(43);
   std::thread peer(AnsweringPeer, pair.server, 2, after);
   int version = 0;
   ASSERT_TRUE(HKCPGetPeerProtocolVersion(pair.client, &version, nullptr));
   EXPECT_EQ(version, 2);
   peer.join();
   Receiver r(pair.client);
   ASSERT_EQ(r.next(5000), (int)after.size());
   EXPECT_EQ(ntohl(r.frame()->dwId), 43u);
}

TEST(VersionProbe, APeerAnsweringSomethingElseIsVersionOne) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   std::vector<uint8_t> after = Nop(44);
   std::thread peer([&] {
      // An older peer: it does not know the probe and answers with an
      // ordinary reply, then goes on with another frame.
      Receiver r(pair.server);
      if (r.next(5000) <= 3)
         return;
      EXPECT_FALSE(HKCPAnswerVersionProbe(pair.server, nullptr, 2, nullptr));
      CSCPMessage reply;
      reply.SetCode(CMD_REQUEST_COMPLETED);
      reply.SetVariable(VID_RCC, (uint32_t)400);
      reply.SetVariable(VID_VALUE, L"unknown command");
      std::vector<uint8_t> bytes = Encode(reply);
      bytes.insert(bytes.end(), after.begin(), after.end());
      WriteAll(pair.server, bytes.data(), bytes.size());
   });
   int version = 0;
   ASSERT_TRUE(HKCPGetPeerProtocolVersion(pair.client, &version, nullptr));
   EXPECT_EQ(version, 1);
   peer.join();
   Receiver r(pair.client);
   ASSERT_EQ(r.next(5000), (int)after.size());
   EXPECT_EQ(ntohl(r.frame()->dwId), 44u);
}

TEST(VersionProbe, APeerThatClosesGivesFalse) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   closesocket(pair.server);
   pair.server = INVALID_SOCKET;
   int version = 0;
   EXPECT_FALSE(HKCPGetPeerProtocolVersion(pair.client, &version, nullptr));
}

TEST(VersionProbe, AnswerOnlyForTheProbe) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   std::vector<uint8_t> nop = Nop(1);
   EXPECT_FALSE(HKCPAnswerVersionProbe(pair.server, reinterpret_cast<CSCP_MESSAGE *>(nop.data()), 2,
                                       nullptr));
   EXPECT_EQ(SocketWaitReadable(pair.client, 0), 0);  // nothing was sent
}
