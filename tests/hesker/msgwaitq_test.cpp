// MsgWaitQueue: hand-over to the right waiter, time-outs, no expiry, the
// bound and what it keeps, and many threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
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

TEST(MsgWaitQueue, UnclaimedMessagesStayUntilTakenHoweverLate) {
   // The queue reads no clock: "late" is everything that happens meanwhile,
   // time-outs included, and none of it may lose the message.
   MsgWaitQueue q;
   q.put(Msg(CMD_REQUEST_COMPLETED, 1, 42));
   for (uint32_t i = 0; i < 1000; i++) {
      q.put(Msg(CMD_REQUEST_COMPLETED, 100 + i));
      delete q.waitForMessage(CMD_REQUEST_COMPLETED, 100 + i, 0);
   }
   EXPECT_EQ(q.waitForMessage(CMD_NOP, 99, 20), nullptr);
   EXPECT_EQ(q.size(), 1u);
   std::unique_ptr<CSCPMessage> m(q.waitForMessage(CMD_REQUEST_COMPLETED, 1, 0));
   ASSERT_TRUE(m);
   EXPECT_EQ(m->GetVariableLong(VID_VALUE), 42u);
   EXPECT_EQ(q.droppedCount(), 0u);
}

TEST(MsgWaitQueue, BoundDropsTheOldestByCountAndBytes) {
   struct Case {
      const char *name;
      uint32_t maxMessages;
      uint64_t maxBytes;
      uint32_t size;  // of each message
      uint32_t left;  // the newest that stay
   } cases[] = {
       {"count", 3, 1 << 20, 100, 3},       {"bytes", 1000, 350, 100, 3},
       {"exactly at both", 3, 300, 100, 3}, {"one larger than the bound", 10, 50, 100, 0},
       {"zero taken as one", 0, 0, 0, 1},
   };
   for (const Case &c : cases) {
      SCOPED_TRACE(c.name);
      MsgWaitQueue q(c.maxMessages, c.maxBytes);
      uint32_t dropped = 0;
      for (uint32_t id = 0; id < 10; id++)
         dropped += q.put(Msg(CMD_REQUEST_COMPLETED, id), c.size);
      EXPECT_EQ(q.size(), c.left);
      EXPECT_EQ(q.bytes(), (uint64_t)c.left * c.size);
      EXPECT_EQ(dropped, 10 - c.left);
      EXPECT_EQ(q.droppedCount(), 10u - c.left);
      for (uint32_t id = 0; id < 10; id++) {
         std::unique_ptr<CSCPMessage> m(q.waitForMessage(CMD_REQUEST_COMPLETED, id, 0));
         EXPECT_EQ(m != nullptr, id >= 10 - c.left) << "id " << id;
      }
   }
}

TEST(MsgWaitQueue, ExpectedRepliesOutlastAFloodAndOthersDoNot) {
   const uint16_t kRc = CMD_REQUEST_COMPLETED;
   struct Case {
      const char *name;
      std::function<void(MsgWaitQueue &)> before;  // before the reply comes
      std::function<void(MsgWaitQueue &)> after;   // after it, before the flood
      bool kept;
   } cases[] = {
       {"expected", [](MsgWaitQueue &q) { q.expect(kRc, 7); }, nullptr, true},
       {"expected once it came", nullptr, [](MsgWaitQueue &q) { q.expect(kRc, 7); }, true},
       {"never expected", nullptr, nullptr, false},
       {"forgotten", [](MsgWaitQueue &q) { q.expect(kRc, 7); },
        [](MsgWaitQueue &q) { q.forget(kRc, 7); }, false},
       // Late: its waiter gave up before it came.
       {"after its waiter timed out",
        [](MsgWaitQueue &q) {
           q.expect(kRc, 7);
           EXPECT_EQ(q.waitForMessage(kRc, 7, 1), nullptr);
        },
        nullptr, false},
       {"another code expected", [](MsgWaitQueue &q) { q.expect(CMD_SESSION_KEY, 7); }, nullptr,
        false},
       {"another id expected", [](MsgWaitQueue &q) { q.expect(kRc, 8); }, nullptr, false},
   };
   for (const Case &c : cases) {
      SCOPED_TRACE(c.name);
      MsgWaitQueue q(4, 1 << 20);
      if (c.before)
         c.before(q);
      q.put(Msg(kRc, 7, 77));
      if (c.after)
         c.after(q);
      for (uint32_t i = 0; i < 50; i++)
         q.put(Msg(kRc, 1000 + i));
      // The bound holds either way; every message is kept or counted.
      EXPECT_EQ(q.size(), 4u);
      EXPECT_EQ(q.droppedCount(), 47u);
      std::unique_ptr<CSCPMessage> m(q.waitForMessage(kRc, 7, 0));
      EXPECT_EQ(m != nullptr, c.kept);
      if (m) {
         EXPECT_EQ(m->GetVariableLong(VID_VALUE), 77u);
      }
   }
}

TEST(MsgWaitQueue, OneExpectationKeepsOneCopy) {
   // A peer repeating the reply to a pending request cannot shelter the
   // copies from the bound, nor make the next wait's copy outlive it.
   MsgWaitQueue q(2, 1 << 20);
   q.expect(CMD_REQUEST_COMPLETED, 5);
   for (uint32_t i = 0; i < 20; i++)
      q.put(Msg(CMD_REQUEST_COMPLETED, 5, i));
   EXPECT_EQ(q.size(), 2u);
   std::unique_ptr<CSCPMessage> m(q.waitForMessage(CMD_REQUEST_COMPLETED, 5, 0));
   ASSERT_TRUE(m);
   EXPECT_EQ(m->GetVariableLong(VID_VALUE), 0u);  // the first, kept
   // The expectation ended with the wait: the copy left goes with the flood.
   q.put(Msg(CMD_TRAP, 1));
   q.put(Msg(CMD_TRAP, 2));
   EXPECT_EQ(q.waitForMessage(CMD_REQUEST_COMPLETED, 5, 0), nullptr);
}

TEST(MsgWaitQueue, AReplyHandedToItsWaiterEndsTheExpectation) {
   MsgWaitQueue q(1, 1 << 20);
   q.expect(CMD_REQUEST_COMPLETED, 3);
   std::unique_ptr<CSCPMessage> got;
   std::thread waiter([&] { got.reset(q.waitForMessage(CMD_REQUEST_COMPLETED, 3, 30000)); });
   q.put(Msg(CMD_REQUEST_COMPLETED, 3, 1));
   waiter.join();
   ASSERT_TRUE(got);
   // Whether it was handed over or queued first, a repeat is unsolicited.
   q.put(Msg(CMD_REQUEST_COMPLETED, 3, 2));
   q.put(Msg(CMD_TRAP, 1));
   EXPECT_EQ(q.waitForMessage(CMD_REQUEST_COMPLETED, 3, 0), nullptr);
   EXPECT_EQ(q.size(), 1u);
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
