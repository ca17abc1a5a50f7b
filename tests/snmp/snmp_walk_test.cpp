// SnmpEnumerate against real agents (snmpsimd, snmpd) and against a scripted
// device whose answers go backwards, cycle, or name objects too long to hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hksrv_log.h"
#include "hksrv_snmp.h"
#include "request_id_probe.h"
#include "snmp_agents.h"
#include "snmp_client_util.h"
#include "snmp_scripted_device.h"

using namespace hktest;

namespace {

const char *const kHelpers = HK_TEST_DATA_DIR "/snmp_helpers.snmprec";

// What a walk's callback saw, and when to stop it.
struct Seen {
   std::vector<std::string> names;
   std::vector<int32_t> values;
   size_t stopAt = 0;  // 1-based call that returns stopWith; 0: never
   uint32_t stopWith = 0;
};

std::string NameOf(const SNMP_Variable *variable) {
   wchar_t text[1024];
   return Narrow(variable->getName()->getText(text, 1024));
}

uint32_t Record(uint32_t version, SNMP_Variable *variable, SNMP_Transport *transport,
                void *userArg) {
   Seen *seen = static_cast<Seen *>(userArg);
   seen->names.push_back(NameOf(variable));
   seen->values.push_back(variable->GetValueAsInt());
   return seen->names.size() == seen->stopAt ? seen->stopWith : 0;
}

class SnmpWalkRecorded : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_agent = new SnmpSimFixture();
      ASSERT_TRUE(s_agent->start({kHelpers})) << s_agent->lastError();
   }
   static void TearDownTestSuite() {
      delete s_agent;
      s_agent = nullptr;
   }
   void SetUp() override { ASSERT_NE(s_agent, nullptr); }
   std::unique_ptr<SNMP_UDPTransport> transport(uint32_t version = SNMP_VERSION_2C) {
      return MakeLoopbackTransport(s_agent->port(), "snmp_helpers", version);
   }

   static SnmpSimFixture *s_agent;
};

SnmpSimFixture *SnmpWalkRecorded::s_agent = nullptr;

TEST_F(SnmpWalkRecorded, WalksEveryVariableOfTheSubtreeInOrder) {
   auto t = transport();
   Seen seen;
   IdProbe ids;
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.99999.6.1", Record, &seen, 0),
             SNMP_ERR_SUCCESS);
   EXPECT_EQ(seen.names,
             (std::vector<std::string>{".1.3.6.1.4.1.99999.6.1.1", ".1.3.6.1.4.1.99999.6.1.2",
                                       ".1.3.6.1.4.1.99999.6.1.3", ".1.3.6.1.4.1.99999.6.1.4",
                                       ".1.3.6.1.4.1.99999.6.1.5"}));
   EXPECT_EQ(seen.values, (std::vector<int32_t>{10, 20, 30, 40, 50}));
   // One exchange per variable and the one that left the subtree.
   EXPECT_EQ(ids.taken(), 6u);
   // The reference client sees the same subtree.
   EXPECT_EQ(s_agent->snmpWalk(".1.3.6.1.4.1.99999.6.1").size(), 5u);
}

TEST_F(SnmpWalkRecorded, EmptySubtreeEndsAfterOneExchange) {
   auto t = transport();
   for (const wchar_t *root : {L".1.3.6.1.4.1.99999.6.2", L".1.3.6.1.4.1.99999.5.1.0"}) {
      SCOPED_TRACE(Narrow(root));
      Seen seen;
      IdProbe ids;
      EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, t.get(), root, Record, &seen, 1), SNMP_ERR_SUCCESS);
      EXPECT_TRUE(seen.names.empty());
      EXPECT_EQ(ids.taken(), 1u);
   }
}

TEST_F(SnmpWalkRecorded, LastSubtreeOfTheViewEndsByVersion) {
   const std::vector<std::string> last = {".1.3.6.1.4.1.99999.9.1", ".1.3.6.1.4.1.99999.9.2",
                                          ".1.3.6.1.4.1.99999.9.3"};
   // SNMPv2c: endOfMibView repeats the requested name, a normal end.
   auto v2 = transport(SNMP_VERSION_2C);
   Seen seen2;
   LogCapture log;
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, v2.get(), L".1.3.6.1.4.1.99999.9", Record, &seen2, 1),
             SNMP_ERR_SUCCESS);
   EXPECT_EQ(seen2.names, last);

   // SNMPv1: noSuchName after the last variable, once the callback saw all.
   auto v1 = transport(SNMP_VERSION_1);
   Seen seen1;
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_1, v1.get(), L".1.3.6.1.4.1.99999.9", Record, &seen1, 1),
             SNMP_ERR_NO_SUCH_OBJECT);
   EXPECT_EQ(seen1.names, last);
   // Error statuses are returned, never logged.
   EXPECT_TRUE(log.entries().empty());
}

TEST_F(SnmpWalkRecorded, CallbackResultStopsTheWalk) {
   auto t = transport();
   Seen seen;
   seen.stopAt = 3;
   seen.stopWith = 7;
   IdProbe ids;
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.99999.6.1", Record, &seen, 0),
             7u);
   EXPECT_EQ(seen.names.size(), 3u);
   EXPECT_EQ(ids.taken(), 3u);
}

// The callback gets the walk's transport and may make requests of its own.
uint32_t GetInside(uint32_t version, SNMP_Variable *variable, SNMP_Transport *transport,
                   void *userArg) {
   auto *texts = static_cast<std::vector<std::wstring> *>(userArg);
   wchar_t text[64];
   if (SnmpGet(version, transport, L".1.3.6.1.4.1.99999.5.1.0", nullptr, 0, text, 64, 0) ==
       SNMP_ERR_SUCCESS) {
      texts->push_back(text);
   }
   return 0;
}

TEST_F(SnmpWalkRecorded, CallbackMayMakeItsOwnRequests) {
   auto t = transport();
   std::vector<std::wstring> texts;
   EXPECT_EQ(
       SnmpEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.99999.6.1", GetInside, &texts, 0),
       SNMP_ERR_SUCCESS);
   EXPECT_EQ(texts, std::vector<std::wstring>(5, L"Uplink"));
}

TEST_F(SnmpWalkRecorded, BadArguments) {
   auto t = transport();
   LogCapture log;
   Seen seen;
   uint32_t before = SnmpNewRequestId();
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, nullptr, L".1.3", Record, &seen, 1),
             SNMP_ERR_NO_TRANSPORT);
   EXPECT_TRUE(log.entries().empty());
   // Logged even without logErrors, and no id is taken.
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, t.get(), L"1.3.x", Record, &seen, 0),
             SNMP_ERR_OID_SYNTAX);
   EXPECT_EQ(SnmpNewRequestId(), before + 1);
   auto entries = log.entries();
   ASSERT_EQ(entries.size(), 1u);
   EXPECT_EQ(entries[0].messageId, 27u);
   EXPECT_EQ(entries[0].type, EVENTLOG_ERROR_TYPE);
   EXPECT_EQ(entries[0].inserts, std::vector<std::wstring>{L"1.3.x"});
   EXPECT_TRUE(seen.names.empty());
}

TEST(SnmpWalkSnmpd, IfIndexColumnMatchesTheReferenceClient) {
   SnmpdFixture agent;
   ASSERT_TRUE(agent.start()) << agent.lastError();
   auto t = MakeLoopbackTransport(agent.port(), "public");
   ASSERT_NE(t, nullptr);
   for (const char *root : {".1.3.6.1.2.1.2.2.1.1", ".1.3.6.1.2.1.4.20.1.1", ".1.3.6.1.2.1.1"}) {
      SCOPED_TRACE(root);
      std::vector<std::string> expected;
      for (const std::string &entry : agent.snmpWalk(root)) {
         std::string oid, type, value;
         ASSERT_TRUE(ParseSnmpToolEntry(entry, &oid, &type, &value)) << entry;
         expected.push_back(oid);
      }
      ASSERT_FALSE(expected.empty());
      Seen seen;
      EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, t.get(), Widen(root).c_str(), Record, &seen, 1),
                SNMP_ERR_SUCCESS);
      EXPECT_EQ(seen.names, expected);
   }
}

// ---------------------------------------------------------------- scripted answers

const std::vector<uint32_t> kRoot = {1, 3, 6, 1, 4, 1, 7};

std::vector<uint32_t> Under(std::initializer_list<uint32_t> tail) {
   std::vector<uint32_t> name = kRoot;
   name.insert(name.end(), tail);
   return name;
}

ScriptedSnmpAnswer IntegerAnswer(const std::vector<uint32_t> &name, int value) {
   ScriptedSnmpAnswer answer;
   answer.name = name;
   answer.valueTag = 0x02;
   answer.value = BerIntegerContent(value);
   return answer;
}

// A device that answers GETNEXT of `from` with `to`; anything else leaves
// the subtree.
ScriptedSnmpScript Chain(std::vector<std::pair<std::vector<uint32_t>, std::vector<uint32_t>>> map) {
   return [map](const ScriptedSnmpRequest &request) {
      for (const auto &step : map) {
         if (!request.names.empty() && request.names[0] == step.first) {
            return IntegerAnswer(step.second, 1);
         }
      }
      return IntegerAnswer({1, 3, 6, 1, 4, 1, 8}, 0);
   };
}

TEST(SnmpWalkScripted, AnswersThatCycleEndTheWalkWithAFailure) {
   // root -> .1 -> .2 -> .1 -> .2 ... never repeats the name it was asked.
   ScriptedSnmpDevice device(
       Chain({{kRoot, Under({1})}, {Under({1}), Under({2})}, {Under({2}), Under({1})}}));
   ASSERT_TRUE(device.running());
   auto t = MakeLoopbackTransport(device.port(), "public");
   Seen seen;
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.7", Record, &seen, 0),
             SNMP_ERR_AGENT_STATUS);
   EXPECT_EQ(seen.names, (std::vector<std::string>{".1.3.6.1.4.1.7.1", ".1.3.6.1.4.1.7.2"}));
   EXPECT_EQ(device.requests(), 3);
}

TEST(SnmpWalkScripted, AnswerBelowTheRequestedNameEndsTheWalkWithAFailure) {
   // Inside the subtree but lower than asked: .5 -> .3.
   ScriptedSnmpDevice device(Chain({{kRoot, Under({5})}, {Under({5}), Under({3, 9})}}));
   ASSERT_TRUE(device.running());
   auto t = MakeLoopbackTransport(device.port(), "public");
   Seen seen;
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.7", Record, &seen, 0),
             SNMP_ERR_AGENT_STATUS);
   EXPECT_EQ(seen.names, std::vector<std::string>{".1.3.6.1.4.1.7.5"});

   // A proper prefix of the requested name sorts below it too.
   ScriptedSnmpDevice prefix(Chain({{kRoot, Under({5, 1})}, {Under({5, 1}), Under({5})}}));
   auto p = MakeLoopbackTransport(prefix.port(), "public");
   Seen seenPrefix;
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, p.get(), L".1.3.6.1.4.1.7", Record, &seenPrefix, 0),
             SNMP_ERR_AGENT_STATUS);
   EXPECT_EQ(seenPrefix.names.size(), 1u);
}

TEST(SnmpWalkScripted, RepeatedNameIsTheNormalEnd) {
   ScriptedSnmpDevice device(Chain({{kRoot, Under({1})}, {Under({1}), Under({1})}}));
   auto t = MakeLoopbackTransport(device.port(), "public");
   Seen seen;
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.7", Record, &seen, 0),
             SNMP_ERR_SUCCESS);
   EXPECT_EQ(seen.names.size(), 1u);
   EXPECT_EQ(device.requests(), 2);
}

TEST(SnmpWalkScripted, NamesOfMoreThan128ComponentsEndTheWalk) {
   std::vector<uint32_t> longest = kRoot, tooLong = kRoot;
   longest.resize(SNMP_MAX_OID_LENGTH, 1);
   tooLong.resize(SNMP_MAX_OID_LENGTH + 1, 1);
   tooLong.back() = 2;  // greater than longest

   // 128 components are carried on; the next answer leaves the subtree.
   ScriptedSnmpDevice fits(Chain({{kRoot, longest}}));
   auto f = MakeLoopbackTransport(fits.port(), "public");
   Seen seenFits;
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, f.get(), L".1.3.6.1.4.1.7", Record, &seenFits, 0),
             SNMP_ERR_SUCCESS);
   EXPECT_EQ(seenFits.names.size(), 1u);
   EXPECT_EQ(fits.requests(), 2);

   // 129 components: the walk ends with a failure after that exchange,
   // without a callback for it and without writing past the name arrays.
   ScriptedSnmpDevice overlong(Chain({{kRoot, longest}, {longest, tooLong}}));
   auto o = MakeLoopbackTransport(overlong.port(), "public");
   Seen seenOverlong;
   uint32_t saved = g_dwSNMPTimeout;
   g_dwSNMPTimeout = 100;  // the answer may be refused by the parser: no wait for others
   uint32_t result =
       SnmpEnumerate(SNMP_VERSION_2C, o.get(), L".1.3.6.1.4.1.7", Record, &seenOverlong, 0);
   g_dwSNMPTimeout = saved;
   EXPECT_NE(result, SNMP_ERR_SUCCESS);
   EXPECT_EQ(seenOverlong.names.size(), 1u);
}

TEST(SnmpWalkScripted, ErrorStatusesAndTimeouts) {
   ScriptedSnmpDevice device([](const ScriptedSnmpRequest &request) {
      ScriptedSnmpAnswer answer;
      answer.name = request.names[0];
      uint32_t last = request.names[0].back();
      if (last == 2) {
         answer.errorStatus = 2;
      } else if (last == 5) {
         answer.errorStatus = 5;
      } else if (last == 6) {
         answer.noVariables = true;
      } else if (last == 8) {
         answer.name.push_back(1);
         answer.valueTag = 0x81;  // noSuchInstance in a GETNEXT answer
      } else {
         answer.silent = true;
      }
      return answer;
   });
   auto t = MakeLoopbackTransport(device.port(), "public");
   struct Case {
      const wchar_t *root;
      uint32_t expected;
   } cases[] = {{L".1.3.6.1.4.1.7.2", SNMP_ERR_NO_SUCH_OBJECT},
                {L".1.3.6.1.4.1.7.5", SNMP_ERR_AGENT_STATUS},
                {L".1.3.6.1.4.1.7.6", SNMP_ERR_AGENT_STATUS},
                {L".1.3.6.1.4.1.7.8", SNMP_ERR_NO_SUCH_OBJECT}};
   for (const Case &c : cases) {
      SCOPED_TRACE(Narrow(c.root));
      LogCapture log;
      Seen seen;
      EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, t.get(), c.root, Record, &seen, 1), c.expected);
      EXPECT_TRUE(seen.names.empty());
      EXPECT_TRUE(log.entries().empty());
   }

   uint32_t saved = g_dwSNMPTimeout;
   g_dwSNMPTimeout = 10;
   LogCapture log;
   Seen seen;
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.7.9", Record, &seen, 0),
             SNMP_ERR_TIMEOUT);
   EXPECT_TRUE(log.entries().empty());
   EXPECT_EQ(SnmpEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.7.9", Record, &seen, 1),
             SNMP_ERR_TIMEOUT);
   g_dwSNMPTimeout = saved;
   auto entries = log.entries();
   ASSERT_EQ(entries.size(), 1u);
   EXPECT_EQ(entries[0].messageId, 25u);
   EXPECT_EQ(entries[0].inserts, std::vector<std::wstring>{std::to_wstring(SNMP_ERR_TIMEOUT)});
}

}  // namespace
