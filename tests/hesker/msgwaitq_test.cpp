// MsgWaitQueue: hand-over to the right waiter, time-outs, expiry, and many
// threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "hesker_test_util.h"

namespace {

CSCPMessage *Msg(uint16_t code, uint32_t id, uint32_t tag = 0) {
   CSCPMessage *m = new CSCPMessage();
   m->SetCode(code);
   m->SetId(id);
   m->SetVariable(VID_VALUE, tag);
   return m;
}

}  // namespace

TEST(MsgWaitQueue, HandsOverTheFirstMatchingMessage) {
   MsgWaitQueue q;
   q.put(Msg(CMD_REQUEST_COMPLETED, 1, 10));
   q.put(Msg(CMD_REQUEST_COMPLETED, 2, 20));
   q.put(Msg(CMD_TRAP, 1, 30));
   q.put(Msg(CMD_REQUEST_COMPLETED, 1, 11));
   EXPECT_EQ(q.size(), 4u);
   std::unique_ptr<CSCPMessage> m(q.waitForMessage(CMD_REQUEST_COMPLETED, 1, 0));
   ASSERT_TRUE(m);
   EXPECT_EQ(m->GetVariableLong(VID_VALUE), 10u);
   m.reset(q.waitForMessage(CMD_REQUEST_COMPLETED, 1, 0));
   ASSERT_TRUE(m);
   EXPECT_EQ(m->GetVariableLong(VID_VALUE), 11u);
   m.reset(q.waitForMessage(CMD_TRAP, 1, 0));
   ASSERT_TRUE(m);
   EXPECT_EQ(m->GetVariableLong(VID_VALUE), 30u);
   EXPECT_EQ(q.size(), 1u);
   q.put(nullptr);  // ignored
   EXPECT_EQ(q.size(), 1u);
}

TEST(MsgWaitQueue, TimeOutReturnsNullWithinItsTimeOut) {
   MsgWaitQueue q;
   q.put(Msg(CMD_REQUEST_COMPLETED, 5));
   uint64_t start = GetMonotonicMs();
   EXPECT_EQ(q.waitForMessage(CMD_REQUEST_COMPLETED, 6, 20), nullptr);
   uint64_t elapsed = GetMonotonicMs() - start;
   EXPECT_GE(elapsed, 20u);
   EXPECT_LT(elapsed, 2000u);  // generous: the machine may be loaded
   EXPECT_EQ(q.waitForMessage(CMD_NOP, 5, 0), nullptr);
}

TEST(MsgWaitQueue, AWaiterWakesWhenItsMessageArrives) {
   MsgWaitQueue q;
   std::unique_ptr<CSCPMessage> got;
   std::thread waiter([&] { got.reset(q.waitForMessage(CMD_REQUEST_COMPLETED, 9, 30000)); });
   q.put(Msg(CMD_REQUEST_COMPLETED, 8));  // not this one
   q.put(Msg(CMD_REQUEST_COMPLETED, 9, 99));
   waiter.join();
   ASSERT_TRUE(got);
   EXPECT_EQ(got->GetVariableLong(VID_VALUE), 99u);
   EXPECT_EQ(q.size(), 1u);
}

TEST(MsgWaitQueue, InfiniteWaitIsWokenByPut) {
   MsgWaitQueue q;
   std::unique_ptr<CSCPMessage> got;
   std::thread waiter([&] { got.reset(q.waitForMessage(CMD_NOP, 1, INFINITE)); });
   q.put(Msg(CMD_NOP, 1));
   waiter.join();
   EXPECT_TRUE(got);
}

TEST(MsgWaitQueue, UnclaimedMessagesExpire) {
   MsgWaitQueue q(1);
   q.put(Msg(CMD_REQUEST_COMPLETED, 1));
   // Waiting 20 ms on something else lets the 1 ms hold time pass.
   EXPECT_EQ(q.waitForMessage(CMD_NOP, 99, 20), nullptr);
   EXPECT_EQ(q.size(), 0u);
   EXPECT_EQ(q.waitForMessage(CMD_REQUEST_COMPLETED, 1, 0), nullptr);
}

TEST(MsgWaitQueue, MessagesLeftAreFreedWithTheQueue) {
   // AddressSanitizer's leak check fails the run if these survive.
   MsgWaitQueue *q = new MsgWaitQueue();
   for (uint32_t i = 0; i < 100; i++)
      q->put(Msg(CMD_TRAP, i));
   EXPECT_EQ(q->size(), 100u);
   delete q;

   MsgWaitQueue cleared;
   cleared.put(Msg(CMD_TRAP, 1));
   cleared.clear();
   EXPECT_EQ(cleared.size(), 0u);
}

TEST(MsgWaitQueue, ManyWaitersEachGetTheirOwn) {
   const uint32_t kWaiters = 32;
   const uint32_t kRounds = 50;
   MsgWaitQueue q;
   std::atomic<uint32_t> wrong{0}, missing{0};
   std::vector<std::thread> waiters;
   for (uint32_t w = 0; w < kWaiters; w++) {
      waiters.emplace_back([&, w] {
         for (uint32_t r = 0; r < kRounds; r++) {
            uint32_t id = w * 1000 + r;
            std::unique_ptr<CSCPMessage> m(q.waitForMessage(CMD_REQUEST_COMPLETED, id, 30000));
            if (!m)
               missing++;
            else if (m->GetId() != id || m->GetVariableLong(VID_VALUE) != id * 7)
               wrong++;
         }
      });
   }
   // Four producers put the replies in an order unrelated to the waiters.
   std::vector<std::thread> producers;
   for (uint32_t p = 0; p < 4; p++) {
      producers.emplace_back([&, p] {
         for (uint32_t r = 0; r < kRounds; r++) {
            for (uint32_t w = p; w < kWaiters; w += 4) {
               uint32_t id = w * 1000 + r;
               if (r == 0)
                  q.put(Msg(CMD_TRAP, id));  // same id, other code: never taken
               q.put(Msg(CMD_REQUEST_COMPLETED, id, id * 7));
            }
         }
      });
   }
   for (auto &t : producers)
      t.join();
   for (auto &t : waiters)
      t.join();
   EXPECT_EQ(missing.load(), 0u);
   EXPECT_EQ(wrong.load(), 0u);
   EXPECT_EQ(q.size(), kWaiters);  // the CMD_TRAP decoys
}
