// Several threads on one session: replies reach the thread that asked, a
// waiter survives disconnect, and teardown of a busy session is clean.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "agent_test_util.h"
#include "fake_agent.h"

namespace {

// The agent answers CMD_GET_PARAMETER with the VID_VALUE it was sent, so
// each thread can tell its own replies from everyone else's.
FakeAgentHandler Echo() {
   return FakeReply(0, [](const CSCPMessage &request, CSCPMessage &reply) {
      reply.SetVariable(VID_VALUE, request.GetVariableInt64(VID_VALUE));
   });
}

// One request with `value`; the value of its reply, or ~0 on failure.
uint64_t Ask(TestSession &session, uint64_t value, uint32_t timeout) {
   CSCPMessage request(session.getProtocolVersion());
   request.SetCode(CMD_GET_PARAMETER);
   request.SetId(session.generateRequestId());
   request.SetVariable(VID_VALUE, value);
   if (!session.sendMessage(&request))
      return ~(uint64_t)0;
   CSCPMessage *reply = session.waitForMessage(CMD_REQUEST_COMPLETED, request.GetId(), timeout);
   if (reply == nullptr)
      return ~(uint64_t)0;
   uint64_t got = reply->GetVariableInt64(VID_VALUE);
   delete reply;
   return got;
}

void RunManyThreads(RSA *key, int policy) {
   FakeAgentOptions options;
   options.record = false;
   FakeAgent agent(options);
   agent.setHandler(CMD_GET_PARAMETER, Echo());
   TestSession session(FakeAgent::addressNetworkOrder(), agent.port());
   session.setEncryptionPolicy(policy);
   ASSERT_EQ(1, session.connect(key));

   const int kThreads = 16;
   const int kRequests = 1000;
   std::atomic<int> good{0};
   std::atomic<int> bad{0};
   std::vector<std::thread> threads;
   for (int t = 0; t < kThreads; t++) {
      threads.emplace_back([&, t] {
         for (int i = 0; i < kRequests; i++) {
            uint64_t value = ((uint64_t)t << 32) | (uint64_t)i;
            if (Ask(session, value, 30000) == value)
               good++;
            else
               bad++;
         }
      });
   }
   for (std::thread &thread : threads)
      thread.join();
   EXPECT_EQ(kThreads * kRequests, good.load());
   EXPECT_EQ(0, bad.load());
   EXPECT_EQ(1, session.isConnected());
   EXPECT_TRUE(session.lines().empty());
}

TEST(AgentConcurrencyTest, SixteenThreadsEachGetTheirOwnReplies) {
   RunManyThreads(nullptr, ENCRYPTION_ALLOWED);
}

TEST(AgentConcurrencyTest, SixteenThreadsEachGetTheirOwnRepliesEncrypted) {
   RunManyThreads(TestServerKey(), ENCRYPTION_REQUIRED);
}

TEST(AgentConcurrencyTest, WaiterWhenDisconnectIsCalledTimesOut) {
   FakeAgent agent;
   agent.setHandler(CMD_GET_PARAMETER, FakeSilent());
   TestSession session(FakeAgent::addressNetworkOrder(), agent.port());
   session.setCommandTimeout(500);
   ASSERT_EQ(1, session.connect());

   std::atomic<uint64_t> result{0};
   std::thread waiter([&] { result = Ask(session, 5, session.getCommandTimeout()); });
   ASSERT_TRUE(agent.waitForCode(CMD_GET_PARAMETER, 1, 5000));  // the request is out
   session.disconnect();
   waiter.join();
   EXPECT_EQ(~(uint64_t)0, result.load());
   EXPECT_TRUE(session.waitForReceiverEnd(5000));
   // The standard exchange reports exactly that as 408.
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session.waitForRCC(12345, 500));
}

TEST(AgentConcurrencyTest, NopOfAWaiterWhenDisconnectIsCalledReturnsRequestTimeout) {
   FakeAgent agent;
   TestSession session(FakeAgent::addressNetworkOrder(), agent.port());
   session.setCommandTimeout(500);
   ASSERT_EQ(1, session.connect());
   agent.setHandler(CMD_NOP, FakeSilent());

   std::atomic<uint32_t> rc{0};
   std::thread waiter([&] { rc = session.nop(); });
   ASSERT_TRUE(agent.waitForCode(CMD_NOP, 2, 5000));
   session.disconnect();
   waiter.join();
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, rc.load());
}

TEST(AgentConcurrencyTest, DestroyingABusyConnectedSessionIsClean) {
   FakeAgent agent;
   agent.setHandler(CMD_GET_PARAMETER, Echo());
   auto *session = new TestSession(FakeAgent::addressNetworkOrder(), agent.port());
   session->setCommandTimeout(500);
   ASSERT_EQ(1, session->connect(TestServerKey()));
   std::atomic<bool> stop{false};
   std::atomic<int> answered{0};
   std::vector<std::thread> threads;
   for (int t = 0; t < 4; t++) {
      threads.emplace_back([&] {
         for (uint64_t i = 0; !stop; i++) {
            if (Ask(*session, i, 500) == i)
               answered++;
         }
      });
   }
   ASSERT_TRUE(WaitUntil([&] { return answered.load() >= 200; }, 10000));
   stop = true;
   for (std::thread &thread : threads)
      thread.join();
   delete session;  // waits for its receiver; asan checks nothing is left
   EXPECT_TRUE(agent.waitForClosed(1, 5000));
}

TEST(AgentConcurrencyTest, DisconnectWhileRequestsAreInFlight) {
   FakeAgent agent;
   agent.setHandler(CMD_GET_PARAMETER, Echo());
   TestSession session(FakeAgent::addressNetworkOrder(), agent.port());
   session.setCommandTimeout(500);
   ASSERT_EQ(1, session.connect(TestServerKey()));
   std::atomic<int> answered{0};
   std::vector<std::thread> threads;
   for (int t = 0; t < 4; t++) {
      threads.emplace_back([&] {
         for (uint64_t i = 0; i < 100000 && session.isConnected(); i++) {
            if (Ask(session, i, 500) == i)
               answered++;
         }
      });
   }
   ASSERT_TRUE(WaitUntil([&] { return answered.load() >= 100; }, 10000));
   session.disconnect();
   for (std::thread &thread : threads)
      thread.join();
   EXPECT_TRUE(session.waitForReceiverEnd(5000));
   EXPECT_EQ(0, session.isConnected());
   // The same object connects again.
   ASSERT_EQ(1, session.connect(TestServerKey()));
   EXPECT_EQ(5u, Ask(session, 5, 1000));
}

}  // namespace
