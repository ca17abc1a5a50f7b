// The SNMP helpers against a device that answers late, twice, from the
// wrong address, with the wrong request id, with garbage, or with a walk
// that cycles. Each case is bounded in time and checks the value or result
// code the caller gets, and (in TearDown) that no thread or descriptor
// stays behind.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "fault_support.h"

using namespace hkfault;
using hktest::ScriptedSnmpRequest;

namespace {

const uint32_t kTimeout = 200;  // per attempt; the helpers make 3 attempts
const uint64_t kSlackMs = 3000;
const std::vector<uint32_t> kName = {1, 3, 6, 1, 2, 1, 1, 7, 0};
const wchar_t *const kOid = L".1.3.6.1.2.1.1.7.0";

class SnmpFaultTest : public testing::Test {
protected:
   static void SetUpTestSuite() {
      // Whatever the process starts once (a sanitizer's own thread, the
      // resolver of the loopback address) starts here, before a baseline.
      FaultSnmpDevice device([](const ScriptedSnmpRequest &r) {
         return std::vector<FaultDatagram>{FaultDatagram{SnmpResponse(r, kName, 1), 0, {}}};
      });
      SNMP_UDPTransport transport;
      transport.createUDPTransport(0x7F000001, device.port());
      wchar_t buffer[64];
      SnmpGet(SNMP_VERSION_2C, &transport, kOid, nullptr, 0, buffer, 64, 0);
   }

   void SetUp() override {
      savedTimeout = g_dwSNMPTimeout;
      g_dwSNMPTimeout = kTimeout;
      baseline = CountResources();
   }
   void TearDown() override {
      transport.reset();
      device.reset();
      g_dwSNMPTimeout = savedTimeout;
      ResourceCounts now = WaitForResourcesAtMost(baseline, 10000);
      EXPECT_LE(now.threads, baseline.threads) << "threads left behind";
      EXPECT_LE(now.descriptors, baseline.descriptors) << "descriptors left behind";
   }

   void start(FaultSnmpScript script) {
      device = std::make_unique<FaultSnmpDevice>(std::move(script));
      ASSERT_TRUE(device->running());
      transport = std::make_unique<SNMP_UDPTransport>();
      ASSERT_EQ(SNMP_ERR_SUCCESS, transport->createUDPTransport(0x7F000001, device->port()));
   }

   // An integer GET: the result code, the value in *value.
   uint32_t getInteger(int32_t *value, uint64_t *elapsedMs = nullptr) {
      wchar_t buffer[64] = {};
      uint64_t start = NowMs();
      uint32_t rc = SnmpGet(SNMP_VERSION_2C, transport.get(), kOid, nullptr, 0, buffer, 64, 0);
      if (elapsedMs != nullptr)
         *elapsedMs = NowMs() - start;
      memcpy(value, buffer, sizeof(*value));
      return rc;
   }

   uint32_t savedTimeout = 0;
   ResourceCounts baseline;
   std::unique_ptr<FaultSnmpDevice> device;
   std::unique_ptr<SNMP_UDPTransport> transport;
};

FaultDatagram Datagram(std::vector<uint8_t> bytes, uint32_t delayMs = 0,
                       FaultDatagram::From from = FaultDatagram::From::Device) {
   FaultDatagram d;
   d.bytes = std::move(bytes);
   d.delayMs = delayMs;
   d.from = from;
   return d;
}

// ---------------------------------------------------------------- late

TEST_F(SnmpFaultTest, AnswerToAnAbandonedRequestIsNotTakenForTheNextOne) {
   // The first request is answered only after all its attempts are over;
   // later ones at once, with another value.
   auto firstId = std::make_shared<int64_t>(-1);
   start([firstId](const ScriptedSnmpRequest &r) {
      if (*firstId < 0)
         *firstId = r.requestId;
      bool first = r.requestId == (uint32_t)*firstId;
      return std::vector<FaultDatagram>{
          Datagram(SnmpResponse(r, kName, first ? 666 : 42), first ? 3 * kTimeout + 50 : 0)};
   });
   int32_t value = 0;
   uint64_t elapsed = 0;
   EXPECT_EQ(SNMP_ERR_TIMEOUT, getInteger(&value, &elapsed));
   EXPECT_LT(elapsed, 3 * kTimeout + kSlackMs);
   // The late answers to the first request arrive while this one waits.
   EXPECT_EQ(SNMP_ERR_SUCCESS, getInteger(&value));
   EXPECT_EQ(42, value);
}

TEST_F(SnmpFaultTest, AnswerLaterThanOneAttemptIsStillTakenByARetryOfTheSameRequest) {
   start([](const ScriptedSnmpRequest &r) {
      return std::vector<FaultDatagram>{Datagram(SnmpResponse(r, kName, 7), kTimeout + 50)};
   });
   int32_t value = 0;
   uint64_t elapsed = 0;
   EXPECT_EQ(SNMP_ERR_SUCCESS, getInteger(&value, &elapsed));
   EXPECT_EQ(7, value);
   EXPECT_LT(elapsed, 3 * kTimeout + kSlackMs);
}

TEST_F(SnmpFaultTest, SilentDeviceTimesOutAfterTheAttempts) {
   start([](const ScriptedSnmpRequest &) { return std::vector<FaultDatagram>{}; });
   int32_t value = 0;
   uint64_t elapsed = 0;
   EXPECT_EQ(SNMP_ERR_TIMEOUT, getInteger(&value, &elapsed));
   EXPECT_GE(elapsed + 5, 3 * kTimeout);
   EXPECT_LT(elapsed, 3 * kTimeout + kSlackMs);
   EXPECT_EQ(3, device->requests());
}

// ---------------------------------------------------------------- twice

TEST_F(SnmpFaultTest, DuplicateAnswersLoseAndRepeatNothingInAWalk) {
   // A table of 50 rows; every answer comes twice.
   start([](const ScriptedSnmpRequest &r) {
      std::vector<uint32_t> name = r.names.at(0);
      std::vector<uint32_t> next;
      if (name.size() < 12) {
         next = {1, 3, 6, 1, 2, 1, 2, 2, 1, 1, 1};
      } else if (name.back() < 50) {
         next = name;
         next.back()++;
      } else {
         next = {1, 3, 6, 1, 2, 1, 2, 2, 1, 2, 1};
      }
      if (next.size() == 11)
         next.push_back(1);
      std::vector<uint8_t> bytes = SnmpResponse(r, next, (int64_t)next.back() * 10);
      return std::vector<FaultDatagram>{Datagram(bytes), Datagram(bytes, 1)};
   });
   struct Seen {
      std::vector<int32_t> values;
   } seen;
   uint32_t rc = SnmpEnumerate(
       SNMP_VERSION_2C, transport.get(), L".1.3.6.1.2.1.2.2.1.1",
       [](uint32_t, SNMP_Variable *v, SNMP_Transport *, void *arg) -> uint32_t {
          static_cast<Seen *>(arg)->values.push_back(v->GetValueAsInt());
          return 0;
       },
       &seen, 0);
   EXPECT_EQ(SNMP_ERR_SUCCESS, rc);
   ASSERT_EQ(50u, seen.values.size());
   for (int i = 0; i < 50; i++)
      EXPECT_EQ((i + 1) * 10, seen.values[i]);
}

// ---------------------------------------------------------------- wrong sender, wrong id

TEST_F(SnmpFaultTest, AnswersFromAnotherPortOrAddressAreIgnored) {
   start([](const ScriptedSnmpRequest &r) {
      return std::vector<FaultDatagram>{
          Datagram(SnmpResponse(r, kName, 666), 0, FaultDatagram::From::OtherPort),
          Datagram(SnmpResponse(r, kName, 667), 0, FaultDatagram::From::OtherAddress),
          Datagram(SnmpResponse(r, kName, 42), 20)};
   });
   int32_t value = 0;
   EXPECT_EQ(SNMP_ERR_SUCCESS, getInteger(&value));
   EXPECT_EQ(42, value);
}

TEST_F(SnmpFaultTest, OnlyAnswersFromElsewhereTimeOut) {
   start([](const ScriptedSnmpRequest &r) {
      return std::vector<FaultDatagram>{
          Datagram(SnmpResponse(r, kName, 666), 0, FaultDatagram::From::OtherPort)};
   });
   int32_t value = 0;
   uint64_t elapsed = 0;
   EXPECT_EQ(SNMP_ERR_TIMEOUT, getInteger(&value, &elapsed));
   EXPECT_LT(elapsed, 3 * kTimeout + kSlackMs);
}

TEST_F(SnmpFaultTest, AnswersWithAnotherRequestIdAreIgnored) {
   start([](const ScriptedSnmpRequest &r) {
      return std::vector<FaultDatagram>{Datagram(SnmpResponse(r, kName, 666, 1)),
                                        Datagram(SnmpResponse(r, kName, 665, -1)),
                                        Datagram(SnmpResponse(r, kName, 42), 20)};
   });
   int32_t value = 0;
   EXPECT_EQ(SNMP_ERR_SUCCESS, getInteger(&value));
   EXPECT_EQ(42, value);
}

TEST_F(SnmpFaultTest, OnlyWrongRequestIdsTimeOut) {
   start([](const ScriptedSnmpRequest &r) {
      return std::vector<FaultDatagram>{Datagram(SnmpResponse(r, kName, 666, 7))};
   });
   int32_t value = 0;
   uint64_t elapsed = 0;
   EXPECT_EQ(SNMP_ERR_TIMEOUT, getInteger(&value, &elapsed));
   EXPECT_LT(elapsed, 3 * kTimeout + kSlackMs);
}

// ---------------------------------------------------------------- garbage

TEST_F(SnmpFaultTest, GarbageAndOversizedDatagramsThenSilenceIsAParseError) {
   start([](const ScriptedSnmpRequest &) {
      return std::vector<FaultDatagram>{
          Datagram({0x30, 0x82, 0xFF, 0xFF, 0x02, 0x01}),
          Datagram(std::vector<uint8_t>(SNMP_MAX_MESSAGE_SIZE + 100, 0x30))};
   });
   int32_t value = 0;
   uint64_t elapsed = 0;
   EXPECT_EQ(SNMP_ERR_PARSE, getInteger(&value, &elapsed));
   EXPECT_LT(elapsed, 3 * kTimeout + kSlackMs);
}

TEST_F(SnmpFaultTest, FloodOfStrayAnswersDoesNotStretchTheTimeout) {
   // Fifty answers with wrong ids, spread over the whole wait.
   start([](const ScriptedSnmpRequest &r) {
      std::vector<FaultDatagram> out;
      for (int i = 0; i < 50; i++)
         out.push_back(Datagram(SnmpResponse(r, kName, i, 1000 + i), (uint32_t)i * 4));
      return out;
   });
   int32_t value = 0;
   uint64_t elapsed = 0;
   EXPECT_EQ(SNMP_ERR_TIMEOUT, getInteger(&value, &elapsed));
   EXPECT_LT(elapsed, 3 * kTimeout + kSlackMs);
}

// ---------------------------------------------------------------- walks

TEST_F(SnmpFaultTest, CyclingWalkEndsWithAnAgentStatusError) {
   // .1 -> .2 -> .3 -> .1 -> ... under the root.
   start([](const ScriptedSnmpRequest &r) {
      std::vector<uint32_t> name = r.names.at(0);
      std::vector<uint32_t> next = {1, 3, 6, 1, 4, 1, 9, 1};
      if (name.size() == next.size())
         next.back() = name.back() % 3 + 1;
      return std::vector<FaultDatagram>{Datagram(SnmpResponse(r, next, 1))};
   });
   int calls = 0;
   uint64_t start = NowMs();
   uint32_t rc = SnmpEnumerate(
       SNMP_VERSION_2C, transport.get(), L".1.3.6.1.4.1.9",
       [](uint32_t, SNMP_Variable *, SNMP_Transport *, void *arg) -> uint32_t {
          (*static_cast<int *>(arg))++;
          return 0;
       },
       &calls, 0);
   EXPECT_EQ(SNMP_ERR_AGENT_STATUS, rc);
   EXPECT_LE(calls, 3);
   EXPECT_LT(NowMs() - start, kSlackMs);
}

TEST_F(SnmpFaultTest, WalkWhoseDeviceFallsSilentMidwayTimesOut) {
   start([](const ScriptedSnmpRequest &r) {
      std::vector<uint32_t> name = r.names.at(0);
      if (name.size() == 9 && name.back() >= 5)
         return std::vector<FaultDatagram>{};
      std::vector<uint32_t> next = {1, 3, 6, 1, 4, 1, 9, 2, 1};
      if (name.size() == 9)
         next.back() = name.back() + 1;
      return std::vector<FaultDatagram>{Datagram(SnmpResponse(r, next, 1))};
   });
   int calls = 0;
   uint64_t start = NowMs();
   uint32_t rc = SnmpEnumerate(
       SNMP_VERSION_2C, transport.get(), L".1.3.6.1.4.1.9.2",
       [](uint32_t, SNMP_Variable *, SNMP_Transport *, void *arg) -> uint32_t {
          (*static_cast<int *>(arg))++;
          return 0;
       },
       &calls, 0);
   EXPECT_EQ(SNMP_ERR_TIMEOUT, rc);
   EXPECT_EQ(5, calls);
   EXPECT_LT(NowMs() - start, 3 * kTimeout + kSlackMs);
}

}  // namespace
