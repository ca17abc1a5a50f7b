// The process-wide request-id counter, in a process of its own so that no
// other test has taken an id before.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "hksrv_snmp.h"
#include "snmp_client_util.h"
#include "snmp_scripted_device.h"

using namespace hktest;

namespace {

TEST(SnmpRequestId, StartsAtOneAndCountsEveryHelperRequest) {
   EXPECT_EQ(SnmpNewRequestId(), 1u);

   // Each helper request takes one id, and the device sees those very ids.
   std::mutex lock;  // the device's thread writes, the test reads
   std::vector<uint32_t> seen;
   ScriptedSnmpDevice device([&](const ScriptedSnmpRequest &request) {
      std::lock_guard<std::mutex> guard(lock);
      seen.push_back(request.requestId);
      ScriptedSnmpAnswer answer;
      answer.name = request.names[0];
      if (request.command == SNMP_GET_NEXT_REQUEST) {
         answer.name.push_back(request.names[0].size() < 12 ? 1 : 0);
         if (request.names[0].size() >= 12) {
            answer.name = {1, 3, 6, 1, 4, 1, 8};  // out of the subtree
         }
      }
      answer.valueTag = 0x02;
      answer.value = BerIntegerContent(5);
      return answer;
   });
   ASSERT_TRUE(device.running());
   auto transport = MakeLoopbackTransport(device.port(), "public");
   int32_t value = 0;
   ASSERT_EQ(
       SnmpGet(SNMP_VERSION_2C, transport.get(), L".1.3.6.1.4.1.7.1", nullptr, 0, &value, 4, 0),
       SNMP_ERR_SUCCESS);
   ASSERT_EQ(SnmpEnumerate(
                 SNMP_VERSION_2C, transport.get(), L".1.3.6.1.4.1.7",
                 [](uint32_t, SNMP_Variable *, SNMP_Transport *, void *) -> uint32_t { return 0; },
                 nullptr, 0),
             SNMP_ERR_SUCCESS);
   // A GET, then a walk of five names plus the exchange that left the subtree.
   std::lock_guard<std::mutex> guard(lock);
   EXPECT_EQ(seen, (std::vector<uint32_t>{2, 3, 4, 5, 6, 7, 8}));
   EXPECT_EQ(SnmpNewRequestId(), 9u);
}

TEST(SnmpRequestId, ThreadsNeverShareAnId) {
   const int kThreads = 4, kEach = 2000;
   std::vector<std::vector<uint32_t>> taken(kThreads);
   std::vector<std::thread> threads;
   for (int i = 0; i < kThreads; i++) {
      threads.emplace_back([&taken, i] {
         for (int n = 0; n < kEach; n++) {
            taken[i].push_back(SnmpNewRequestId());
         }
      });
   }
   for (std::thread &t : threads) {
      t.join();
   }
   std::set<uint32_t> all;
   for (const auto &ids : taken) {
      all.insert(ids.begin(), ids.end());
   }
   EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
}

}  // namespace
