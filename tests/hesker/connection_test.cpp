// The connection core and what it rests on: bounded writes in the platform
// seam, the re-entrant critical section, teardown that never waits on a
// blocked writer, the named receive results, and the reply queue releasing
// its waiters when a connection ends.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "hesker_test_util.h"

using namespace hesker_test;

namespace {

const uint32_t kWaitMs = 20000;  // bound of every wait; far above any bound under test

// More than loopback buffers take while the peer reads nothing.
std::vector<uint8_t> ManyBytes() {
   return std::vector<uint8_t>(64u << 20, 0x5A);
}

// The client side handed to a connection (which then owns and closes it).
SOCKET TakeClient(TcpPair &pair) {
   SOCKET s = pair.client;
   pair.client = INVALID_SOCKET;
   return s;
}

// ---------------------------------------------------------------- the seam

TEST(BoundedSend, WriteThatMakesNoProgressFailsWithATimeOut) {
   for (bool nonBlocking : {false, true}) {
      SCOPED_TRACE(nonBlocking ? "non-blocking" : "blocking");
      TcpPair pair;
      ASSERT_TRUE(pair.ok());
      ASSERT_EQ(0, SetSocketNonBlocking(pair.client, nonBlocking));
      ASSERT_EQ(0, SetSocketSendTimeout(pair.client, 200));
      std::vector<uint8_t> bytes = ManyBytes();
      int64_t sent = SocketSendAll(pair.client, bytes.data(), bytes.size());
      EXPECT_GT(sent, 0);  // the buffers took some
      EXPECT_LT(sent, (int64_t)bytes.size());
      EXPECT_EQ(WSAETIMEDOUT, WSAGetLastError());
   }
}

TEST(CriticalSection, IsReentrantForItsOwnerOnly) {
   CriticalSection lock;
   auto otherThreadEnters = [&lock] {
      return std::async(std::launch::async,
                        [&lock] {
                           bool entered = lock.try_lock();
                           if (entered)
                              lock.unlock();
                           return entered;
                        })
          .get();
   };
   lock.lock();
   ASSERT_TRUE(lock.try_lock());  // the owner enters again
   EXPECT_FALSE(otherThreadEnters());
   lock.unlock();
   EXPECT_FALSE(otherThreadEnters()) << "entered twice, left once";
   lock.unlock();
   EXPECT_TRUE(otherThreadEnters());
}

// ---------------------------------------------------------------- the core

TEST(HKCPConnection, WriteWithoutProgressEndsTheConnection) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   HKCPConnection connection;
   connection.attach(TakeClient(pair), 200);
   std::vector<uint8_t> bytes = ManyBytes();
   EXPECT_FALSE(connection.sendBytes(bytes.data(), (uint32_t)bytes.size()));
   // Shut down here: the reader ends at once, and later writes fail.
   EXPECT_EQ(HKCPReceiveResult::Failed, connection.receive(kWaitMs));
   EXPECT_EQ(WSAESHUTDOWN, connection.lastSocketError());
   uint8_t one = 1;
   EXPECT_FALSE(connection.sendBytes(&one, 1));
}

TEST(HKCPConnection, TeardownReleasesAWriterBlockedWithoutABound) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   HKCPConnection connection;
   connection.attach(TakeClient(pair), INFINITE);
   std::vector<uint8_t> bytes = ManyBytes();
   auto writer = std::async(std::launch::async, [&] {
      return connection.sendBytes(bytes.data(), (uint32_t)bytes.size());
   });
   // The writer holds the send lock until the buffers are full, and longer.
   ASSERT_EQ(std::future_status::timeout, writer.wait_for(std::chrono::milliseconds(100)));
   connection.close();  // shuts down before it takes the send lock
   ASSERT_EQ(std::future_status::ready, writer.wait_for(std::chrono::milliseconds(kWaitMs)));
   EXPECT_FALSE(writer.get());
   EXPECT_EQ(INVALID_SOCKET, connection.socket());
}

TEST(HKCPConnection, ReceiveNamesEachOutcome) {
   struct Case {
      const char *name;
      std::function<void(SOCKET peer)> peerDoes;
      HKCPReceiveResult expected;
   };
   auto header = [](uint32_t size, uint16_t flags) {
      std::vector<uint8_t> frame(16, 0);
      frame[1] = CMD_NOP;
      frame[2] = (uint8_t)(flags >> 8);
      frame[3] = (uint8_t)flags;
      frame[4] = (uint8_t)(size >> 24);
      frame[5] = (uint8_t)(size >> 16);
      frame[6] = (uint8_t)(size >> 8);
      frame[7] = (uint8_t)size;
      return frame;
   };
   const std::vector<Case> cases = {
       {"frame",
        [&](SOCKET peer) {
           auto f = header(16, 0);
           SocketSendAll(peer, f.data(), f.size());
        },
        HKCPReceiveResult::Frame},
       {"closed", [](SOCKET peer) { ShutdownSocket(peer); }, HKCPReceiveResult::Closed},
       {"silence", [](SOCKET) {}, HKCPReceiveResult::TimedOut},
       {"too large",
        [&](SOCKET peer) {
           auto f = header(HKCP_MAX_FRAME_SIZE + 8, 0);
           SocketSendAll(peer, f.data(), f.size());
        },
        HKCPReceiveResult::TooLarge},
       {"encrypted without a key",
        [&](SOCKET peer) {
           auto f = header(48, MF_ENCRYPTED);
           f.resize(48, 0);
           SocketSendAll(peer, f.data(), f.size());
        },
        HKCPReceiveResult::Undecryptable},
   };
   for (const Case &c : cases) {
      SCOPED_TRACE(c.name);
      TcpPair pair;
      ASSERT_TRUE(pair.ok());
      HKCPConnection connection;
      connection.attach(TakeClient(pair), INFINITE);
      c.peerDoes(pair.server);
      EXPECT_EQ(c.expected, connection.receive(200));
   }
}

TEST(HKCPConnection, ContextSwapKeepsReferencesBalanced) {
   uint8_t key[32] = {1, 2, 3};
   HKCPEncryptionContext *first = HKCPEncryptionContext::create(HKCP_CIPHER_AES_256_GCM, key, 32);
   ASSERT_NE(nullptr, first);
   first->incRefCount();  // the test's own, to watch the count
   HKCPConnection connection;
   connection.setContext(first);  // takes the creator's reference
   HKCPEncryptionContext *held = connection.acquireContext();
   EXPECT_EQ(first, held);
   held->decRefCount();
   connection.setContext(nullptr);  // releases the connection's reference
   EXPECT_FALSE(connection.encrypted());
   EXPECT_EQ(1, first->getRefCount());
   first->decRefCount();
}

// ---------------------------------------------------------------- reply queue

TEST(MsgWaitQueue, ReleaseWaitersEndsEveryWaitInProgressOnly) {
   MsgWaitQueue queue;
   std::vector<std::future<CSCPMessage *>> waits;
   for (uint32_t id = 1; id <= 8; id++) {
      waits.push_back(std::async(std::launch::async, [&queue, id] {
         return queue.waitForMessage(CMD_REQUEST_COMPLETED, id, 600000);
      }));
   }
   // Released whether each wait began before the call or not: a wait that
   // begins after it waits as usual, so keep releasing until all are back.
   for (auto &w : waits) {
      while (w.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
         queue.releaseWaiters();
      EXPECT_EQ(nullptr, w.get());
   }
   auto *reply = new CSCPMessage();
   reply->SetCode(CMD_REQUEST_COMPLETED);
   reply->SetId(9);
   queue.put(reply);
   CSCPMessage *taken = queue.waitForMessage(CMD_REQUEST_COMPLETED, 9, kWaitMs);
   EXPECT_EQ(reply, taken);
   delete taken;
}

}  // namespace
