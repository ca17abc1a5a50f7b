// SendEx under one send lock from many threads: frames never interleave,
// also when the socket is non-blocking and its buffers are small, so that
// every frame needs several partial writes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

#include "hesker_test_util.h"

using namespace hesker_test;

namespace {

const uint32_t VID_SENDER = 1;
const uint32_t VID_SEQUENCE = 2;
const uint32_t VID_PAYLOAD = 3;

// The payload encodes its sender and sequence, so a torn or mixed frame
// cannot pass as another one.
std::vector<uint8_t> Payload(uint32_t sender, uint32_t sequence) {
   size_t length = 1 + (sender * 7919 + sequence * 104729) % 60000;
   std::vector<uint8_t> p(length);
   for (size_t i = 0; i < length; i++)
      p[i] = (uint8_t)(sender * 31 + sequence * 17 + i);
   return p;
}

void RunConcurrentSenders(bool nonBlocking) {
   const uint32_t kThreads = 16;
   const uint32_t kFramesEach = 40;
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   // A small send buffer: most frames need several partial writes. (The
   // receive buffer stays as it is: shrinking it on an open connection
   // stalls TCP for seconds.)
   int small = 4096;
   setsockopt((int)pair.client, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
   if (nonBlocking) {
      ASSERT_EQ(SetSocketNonBlocking(pair.client, true), 0);
   }

   CriticalSection sendLock;
   std::vector<std::thread> senders;
   std::atomic<int> failures{0};
   for (uint32_t t = 0; t < kThreads; t++) {
      senders.emplace_back([&, t] {
         for (uint32_t seq = 0; seq < kFramesEach; seq++) {
            CSCPMessage m;
            m.SetCode(CMD_DATA_PUSH);
            m.SetId(t);
            m.SetVariable(VID_SENDER, t);
            m.SetVariable(VID_SEQUENCE, seq);
            std::vector<uint8_t> p = Payload(t, seq);
            m.SetVariable(VID_PAYLOAD, p.data(), (uint32_t)p.size());
            FramePtr frame(m.CreateMessage());
            uint32_t size = ntohl(frame->dwSize);
            if (SendEx(pair.client, frame.get(), size, 0, &sendLock) != (int)size)
               failures++;
         }
      });
   }

   Receiver r(pair.server);
   std::vector<uint32_t> nextSeq(kThreads, 0);
   for (uint32_t i = 0; i < kThreads * kFramesEach; i++) {
      int rc = r.next(20000);
      ASSERT_GT(rc, 3) << "frame " << i;
      auto m = r.message();
      ASSERT_TRUE(m->IsValid()) << "frame " << i;
      uint32_t sender = m->GetVariableLong(VID_SENDER);
      uint32_t seq = m->GetVariableLong(VID_SEQUENCE);
      ASSERT_LT(sender, kThreads);
      EXPECT_EQ(m->GetId(), sender);
      // Each sender's frames arrive in its own order.
      EXPECT_EQ(seq, nextSeq[sender]);
      nextSeq[sender] = seq + 1;
      std::vector<uint8_t> expected = Payload(sender, seq);
      std::vector<uint8_t> got(expected.size());
      ASSERT_EQ(m->GetVariableBinary(VID_PAYLOAD, got.data(), (uint32_t)got.size()),
                expected.size());
      EXPECT_EQ(got, expected);
   }
   for (auto &t : senders)
      t.join();
   EXPECT_EQ(failures.load(), 0);
   for (uint32_t t = 0; t < kThreads; t++)
      EXPECT_EQ(nextSeq[t], kFramesEach);
}

}  // namespace

TEST(SendEx, SixteenThreadsOnOneBlockingSocketNeverInterleave) {
   RunConcurrentSenders(false);
}

TEST(SendEx, SixteenThreadsOnOneNonBlockingSocketNeverInterleave) {
   RunConcurrentSenders(true);
}

TEST(SendEx, ZeroLengthWritesNothing) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   EXPECT_EQ(SendEx(pair.client, "x", 0, 0, nullptr), 0);
}

TEST(SendEx, FailsWithMinusOneWhenNothingCanBeWritten) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   ShutdownSocket(pair.client);
   CriticalSection lock;
   EXPECT_EQ(SendEx(pair.client, "abcd", 4, 0, &lock), -1);
   EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
}

TEST(ConnectEx, ConnectsToAListenerAndFailsOnAClosedPort) {
   Listener listener;
   ASSERT_NE(listener.fd, INVALID_SOCKET);
   sockaddr_in addr = {};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   addr.sin_port = htons(listener.port);
   SOCKET s = CreateTcpSocket();
   ASSERT_NE(s, INVALID_SOCKET);
   EXPECT_EQ(ConnectEx(s, (sockaddr *)&addr, sizeof(addr), 5000), 0);
   // Left blocking: a receive waits instead of failing with EAGAIN.
   EXPECT_EQ(SocketWaitReadable(s, 0), 0);
   closesocket(s);

   // A port nobody listens on: the listener is gone, so its port is free.
   uint16_t port;
   {
      Listener gone;
      port = gone.port;
   }
   addr.sin_port = htons(port);
   s = CreateTcpSocket();
   EXPECT_EQ(ConnectEx(s, (sockaddr *)&addr, sizeof(addr), 5000), -1);
   EXPECT_EQ(WSAGetLastError(), ECONNREFUSED);
   closesocket(s);
}

TEST(ConnectEx, TimesOutWhenThePeerDoesNotAnswer) {
   // A listener whose accept queue is full: Linux drops further SYNs, so a
   // connect to it gets no answer at all.
   int listener = ::socket(AF_INET, SOCK_STREAM, 0);
   ASSERT_GE(listener, 0);
   sockaddr_in addr = {};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t len = sizeof(addr);
   ASSERT_EQ(::bind(listener, (sockaddr *)&addr, sizeof(addr)), 0);
   ASSERT_EQ(::listen(listener, 0), 0);
   ASSERT_EQ(::getsockname(listener, (sockaddr *)&addr, &len), 0);

   std::vector<SOCKET> clients;
   bool timedOut = false;
   for (int attempt = 0; attempt < 4 && !timedOut; attempt++) {
      SOCKET s = CreateTcpSocket();
      ASSERT_NE(s, INVALID_SOCKET);
      clients.push_back(s);
      uint64_t start = GetMonotonicMs();
      if (ConnectEx(s, (sockaddr *)&addr, sizeof(addr), 100) != 0) {
         EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
         EXPECT_GE(GetMonotonicMs() - start, 100u);
         timedOut = true;
      }
   }
   EXPECT_TRUE(timedOut);
   for (SOCKET s : clients)
      closesocket(s);
   ::close(listener);
}
