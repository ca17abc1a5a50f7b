// The reply queue under many waiters: each reply reaches the one thread
// that waits for it, and a reply that meets its waiter's time-out is either
// taken or stays queued, never lost.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "hesker.h"
#include "load_support.h"

namespace {

CSCPMessage *Reply(uint32_t id) {
   CSCPMessage *message = new CSCPMessage();
   message->SetCode(CMD_REQUEST_COMPLETED);
   message->SetId(id);
   message->SetVariable(VID_RCC, id * 7);
   return message;
}

TEST(LoadReplyQueue, SixtyFourWaitersEachGetTheirOwnReplyInAnyOrder) {
   MsgWaitQueue queue;
   const int kWaiters = 64;
   std::atomic<int> waiting{0}, wrong{0}, missing{0};
   std::vector<std::thread> threads;
   for (int i = 0; i < kWaiters; i++) {
      threads.emplace_back([&, i] {
         waiting++;
         std::unique_ptr<CSCPMessage> m(
             queue.waitForMessage(CMD_REQUEST_COMPLETED, (uint32_t)i, 20000));
         if (!m)
            missing++;
         else if (m->GetId() != (uint32_t)i || m->GetVariableLong(VID_RCC) != (uint32_t)i * 7)
            wrong++;
      });
   }
   // Replies in reverse order, some before their waiter waits.
   while (waiting.load() < kWaiters / 2)
      std::this_thread::yield();
   for (int i = kWaiters - 1; i >= 0; i--)
      queue.put(Reply((uint32_t)i));
   for (std::thread &t : threads)
      t.join();
   EXPECT_EQ(0, missing.load());
   EXPECT_EQ(0, wrong.load());
   EXPECT_EQ(0u, queue.size());
}

TEST(LoadReplyQueue, ReplyMeetingItsWaitersTimeoutIsTakenOrKeptNeverLost) {
   MsgWaitQueue queue;
   const int kRounds = hkload::Scaled(2000, 10);
   int taken = 0, kept = 0;
   for (int round = 0; round < kRounds; round++) {
      uint32_t id = (uint32_t)round;
      std::thread putter([&] { queue.put(Reply(id)); });
      std::unique_ptr<CSCPMessage> m(queue.waitForMessage(CMD_REQUEST_COMPLETED, id, 1));
      putter.join();
      if (m) {
         EXPECT_EQ(id, m->GetId());
         taken++;
      } else {
         // It came after the wait ended: still there for a later wait.
         std::unique_ptr<CSCPMessage> later(queue.waitForMessage(CMD_REQUEST_COMPLETED, id, 0));
         ASSERT_NE(nullptr, later) << "reply " << id << " was lost";
         kept++;
      }
   }
   EXPECT_EQ(kRounds, taken + kept);
   EXPECT_EQ(0u, queue.size());
}

}  // namespace
