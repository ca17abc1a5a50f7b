// SnmpBulkEnumerate against snmpd (beside snmpbulkwalk and snmpwalk of the
// same subtrees), against snmpsimd recordings, and against a scripted device
// whose GETBULK answers end, fail, shrink or go backwards mid-reply.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <mutex>
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
   std::vector<std::string> values;
   size_t stopAt = 0;  // 1-based call that returns stopWith; 0: never
   uint32_t stopWith = 0;
};

uint32_t Record(uint32_t, SNMP_Variable *variable, SNMP_Transport *, void *userArg) {
   Seen *seen = static_cast<Seen *>(userArg);
   wchar_t text[1024];
   seen->names.push_back(Narrow(variable->getName()->getText(text, 1024)));
   seen->values.push_back(Narrow(variable->GetValueAsString(text, 1024)));
   return seen->names.size() == seen->stopAt ? seen->stopWith : 0;
}

// The OIDs and values (quotes removed) of a reference client's entries.
void SplitEntries(const std::vector<std::string> &entries, std::vector<std::string> *oids,
                  std::vector<std::string> *values) {
   for (const std::string &entry : entries) {
      std::string oid, type, value;
      ASSERT_TRUE(ParseSnmpToolEntry(entry, &oid, &type, &value)) << entry;
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
         value = value.substr(1, value.size() - 2);
      }
      oids->push_back(oid);
      values->push_back(value);
   }
}

// ---------------------------------------------------------------- snmpd

TEST(SnmpBulkWalkSnmpd, SameVariablesAsTheReferenceClients) {
   SnmpdFixture agent;
   ASSERT_TRUE(agent.start()) << agent.lastError();
   auto t = MakeLoopbackTransport(agent.port(), "public");
   // Columns whose values hold still between two walks are compared whole;
   // the others (counters, uptime) by name.
   const struct {
      const char *root;
      bool compareValues;
   } roots[] = {{".1.3.6.1.2.1.2.2.1.1", true},
                {".1.3.6.1.2.1.2.2.1.2", true},
                {".1.3.6.1.2.1.4.20.1.1", true},
                {".1.3.6.1.2.1.1", false},
                {".1.3.6.1.2.1.2", false}};
   for (const auto &r : roots) {
      SCOPED_TRACE(r.root);
      std::vector<std::string> bulkOids, bulkValues, nextOids, nextValues;
      SplitEntries(agent.snmpBulkWalk(r.root), &bulkOids, &bulkValues);
      SplitEntries(agent.snmpWalk(r.root), &nextOids, &nextValues);
      ASSERT_FALSE(bulkOids.empty());
      EXPECT_EQ(bulkOids, nextOids);

      Seen seen;
      IdProbe ids;
      EXPECT_EQ(
          SnmpBulkEnumerate(SNMP_VERSION_2C, t.get(), Widen(r.root).c_str(), Record, &seen, 1, 10),
          SNMP_ERR_SUCCESS);
      EXPECT_EQ(seen.names, bulkOids);
      if (r.compareValues) {
         EXPECT_EQ(seen.values, bulkValues);
      }
      // Ten per exchange, and the answer that leaves the subtree.
      EXPECT_LE(ids.taken(), bulkOids.size() / 10 + 2);
   }

   // Every count of rows per request walks the same table.
   const char *root = ".1.3.6.1.2.1.2.2";
   Seen reference;
   ASSERT_EQ(SnmpEnumerate(SNMP_VERSION_2C, t.get(), Widen(root).c_str(), Record, &reference, 1),
             SNMP_ERR_SUCCESS);
   ASSERT_FALSE(reference.names.empty());
   for (uint32_t repetitions : {1u, 7u, 0u, 200u, 1000000u}) {
      SCOPED_TRACE(repetitions);
      Seen seen;
      IdProbe ids;
      EXPECT_EQ(SnmpBulkEnumerate(SNMP_VERSION_2C, t.get(), Widen(root).c_str(), Record, &seen, 1,
                                  repetitions),
                SNMP_ERR_SUCCESS);
      EXPECT_EQ(seen.names, reference.names);
      uint32_t asked = repetitions == 0 ? SNMP_DEFAULT_MAX_REPETITIONS : repetitions;
      EXPECT_LE(ids.taken(), reference.names.size() / asked + 2);
   }
}

// ---------------------------------------------------------------- snmpsimd

TEST(SnmpBulkWalkRecorded, EndsAsTheGetNextWalkEnds) {
   SnmpSimFixture agent;
   ASSERT_TRUE(agent.start({kHelpers})) << agent.lastError();
   const std::vector<std::string> table = {".1.3.6.1.4.1.99999.6.1.1", ".1.3.6.1.4.1.99999.6.1.2",
                                           ".1.3.6.1.4.1.99999.6.1.3", ".1.3.6.1.4.1.99999.6.1.4",
                                           ".1.3.6.1.4.1.99999.6.1.5"};
   const std::vector<std::string> last = {".1.3.6.1.4.1.99999.9.1", ".1.3.6.1.4.1.99999.9.2",
                                          ".1.3.6.1.4.1.99999.9.3"};
   const struct {
      const char *name;
      const wchar_t *root;
      uint32_t version;
      uint32_t repetitions;
      uint32_t result;
      std::vector<std::string> names;
      uint32_t exchanges;
   } cases[] = {
       // Another subtree follows inside the same answer.
       {"table in one answer", L".1.3.6.1.4.1.99999.6.1", SNMP_VERSION_2C, 25, SNMP_ERR_SUCCESS,
        table, 1},
       {"table two at a time", L".1.3.6.1.4.1.99999.6.1", SNMP_VERSION_2C, 2, SNMP_ERR_SUCCESS,
        table, 3},
       {"empty subtree", L".1.3.6.1.4.1.99999.6.2", SNMP_VERSION_2C, 25, SNMP_ERR_SUCCESS, {}, 1},
       // endOfMibView inside the answer.
       {"last subtree of the view", L".1.3.6.1.4.1.99999.9", SNMP_VERSION_2C, 25, SNMP_ERR_SUCCESS,
        last, 1},
       {"last subtree, one at a time", L".1.3.6.1.4.1.99999.9", SNMP_VERSION_2C, 1,
        SNMP_ERR_SUCCESS, last, 4},
       // SNMPv1 walks with GETNEXT and ends on noSuchName.
       {"SNMPv1 falls back to GETNEXT", L".1.3.6.1.4.1.99999.9", SNMP_VERSION_1, 25,
        SNMP_ERR_NO_SUCH_OBJECT, last, 4},
   };
   for (const auto &c : cases) {
      SCOPED_TRACE(c.name);
      auto t = MakeLoopbackTransport(agent.port(), "snmp_helpers", c.version);
      Seen seen;
      IdProbe ids;
      EXPECT_EQ(SnmpBulkEnumerate(c.version, t.get(), c.root, Record, &seen, 1, c.repetitions),
                c.result);
      EXPECT_EQ(seen.names, c.names);
      EXPECT_EQ(ids.taken(), c.exchanges);
   }
}

// ---------------------------------------------------------------- scripted answers

const std::vector<uint32_t> kRoot = {1, 3, 6, 1, 4, 1, 7};
const std::vector<uint32_t> kOutside = {1, 3, 6, 1, 4, 1, 8};

std::vector<uint32_t> Under(uint32_t last) {
   std::vector<uint32_t> name = kRoot;
   name.push_back(last);
   return name;
}

std::string UnderText(uint32_t last) {
   return ".1.3.6.1.4.1.7." + std::to_string(last);
}

ScriptedSnmpBinding Row(uint32_t last, uint8_t tag = 0x02) {
   return {Under(last), tag, tag == 0x02 ? BerIntegerContent(last) : std::vector<uint8_t>{}};
}

// What the device was asked, kept under a lock: the device answers on its
// own thread.
class AskLog {
public:
   void add(const ScriptedSnmpRequest &request) {
      std::lock_guard<std::mutex> hold(m_lock);
      m_requests.push_back(request);
   }
   std::vector<ScriptedSnmpRequest> requests() {
      std::lock_guard<std::mutex> hold(m_lock);
      return m_requests;
   }

private:
   std::mutex m_lock;  // guards m_requests
   std::vector<ScriptedSnmpRequest> m_requests;
};

// A subtree of rows .1 to .rows under kRoot. A request gets the rows after
// the name it asks for, at most min(max-repetitions, perReply) of them, and
// when the rows run out inside the answer `tail` closes it.
enum class Tail { Outside, EndOfMibView, Nothing };

ScriptedSnmpAnswer TableAnswer(const ScriptedSnmpRequest &request, uint32_t rows, uint32_t perReply,
                               Tail tail) {
   uint32_t next = request.names[0].size() > kRoot.size() ? request.names[0].back() + 1 : 1;
   uint32_t count = std::min(request.maxRepetitions, perReply);
   ScriptedSnmpAnswer answer;
   for (uint32_t i = next; i <= rows && answer.bindings.size() < count; i++) {
      answer.bindings.push_back(Row(i));
   }
   if (answer.bindings.size() < count) {
      if (tail == Tail::Outside) {
         answer.bindings.push_back({kOutside, 0x02, BerIntegerContent(0)});
      } else if (tail == Tail::EndOfMibView) {
         answer.bindings.push_back({request.names[0], 0x82, {}});
      }
   }
   if (answer.bindings.empty()) {
      answer.noVariables = true;
   }
   return answer;
}

struct ScriptedCase {
   const char *name;
   uint32_t repetitions;
   // The answer to the nth request (0-based).
   std::function<ScriptedSnmpAnswer(const ScriptedSnmpRequest &, int nth)> answer;
   uint32_t result;
   std::vector<std::string> names;
   std::vector<uint32_t> askedRepetitions;  // max-repetitions of each request
};

ScriptedSnmpAnswer Fixed(std::vector<ScriptedSnmpBinding> bindings) {
   ScriptedSnmpAnswer answer;
   answer.bindings = std::move(bindings);
   return answer;
}

ScriptedSnmpAnswer Status(uint32_t status) {
   ScriptedSnmpAnswer answer;
   answer.errorStatus = status;
   answer.errorIndex = 1;
   answer.bindings = {Row(1)};
   return answer;
}

std::vector<std::string> Names(uint32_t from, uint32_t to) {
   std::vector<std::string> names;
   for (uint32_t i = from; i <= to; i++) {
      names.push_back(UnderText(i));
   }
   return names;
}

const ScriptedCase kScriptedCases[] = {
    {"end of subtree inside a reply",
     10,
     [](const ScriptedSnmpRequest &r, int) { return TableAnswer(r, 3, 100, Tail::Outside); },
     SNMP_ERR_SUCCESS,
     Names(1, 3),
     {10}},
    {"endOfMibView inside a reply",
     10,
     [](const ScriptedSnmpRequest &r, int) { return TableAnswer(r, 3, 100, Tail::EndOfMibView); },
     SNMP_ERR_SUCCESS,
     Names(1, 3),
     {10}},
    {"endOfMibView under a name inside the subtree",
     10,
     [](const ScriptedSnmpRequest &, int) {
        return Fixed({Row(1), Row(2, 0x82), Row(3)});
     },
     SNMP_ERR_SUCCESS,
     Names(1, 1),
     {10}},
    {"fewer rows than asked for",
     10,
     [](const ScriptedSnmpRequest &r, int) { return TableAnswer(r, 7, 2, Tail::Outside); },
     SNMP_ERR_SUCCESS,
     Names(1, 7),
     {10, 10, 10, 10}},
    {"full answers up to the end",
     2,
     [](const ScriptedSnmpRequest &r, int) { return TableAnswer(r, 4, 100, Tail::Outside); },
     SNMP_ERR_SUCCESS,
     Names(1, 4),
     {2, 2, 2}},
    {"empty reply",
     10,
     [](const ScriptedSnmpRequest &r, int) { return TableAnswer(r, 0, 100, Tail::Nothing); },
     SNMP_ERR_AGENT_STATUS,
     {},
     {10}},
    {"empty reply after rows",
     3,
     [](const ScriptedSnmpRequest &r, int) { return TableAnswer(r, 3, 100, Tail::Nothing); },
     SNMP_ERR_AGENT_STATUS,
     Names(1, 3),
     {3, 3}},
    {"error-status genErr",
     10,
     [](const ScriptedSnmpRequest &, int) { return Status(5); },
     SNMP_ERR_AGENT_STATUS,
     {},
     {10}},
    {"error-status noSuchName",
     10,
     [](const ScriptedSnmpRequest &, int) { return Status(2); },
     SNMP_ERR_NO_SUCH_OBJECT,
     {},
     {10}},
    {"noSuchInstance inside a reply",
     10,
     [](const ScriptedSnmpRequest &, int) {
        return Fixed({Row(1), Row(2, 0x81)});
     },
     SNMP_ERR_NO_SUCH_OBJECT,
     Names(1, 1),
     {10}},
    {"names going back inside a reply",
     10,
     [](const ScriptedSnmpRequest &, int) {
        return Fixed({Row(1), Row(3), Row(2)});
     },
     SNMP_ERR_AGENT_STATUS,
     {UnderText(1), UnderText(3)},
     {10}},
    {"names going back across replies",
     2,
     [](const ScriptedSnmpRequest &, int nth) {
        return nth == 0 ? Fixed({Row(4), Row(5)}) : Fixed({Row(3), Row(6)});
     },
     SNMP_ERR_AGENT_STATUS,
     Names(4, 5),
     {2, 2}},
    {"a name repeated inside a reply",
     10,
     [](const ScriptedSnmpRequest &, int) {
        return Fixed({Row(1), Row(2), Row(2), Row(3)});
     },
     SNMP_ERR_SUCCESS,
     Names(1, 2),
     {10}},
    {"tooBig asks for half as many",
     16,
     [](const ScriptedSnmpRequest &r, int) {
        return r.maxRepetitions > 3 ? Status(1) : TableAnswer(r, 5, 100, Tail::Outside);
     },
     SNMP_ERR_SUCCESS,
     Names(1, 5),
     {16, 8, 4, 2, 2, 2}},
    {"tooBig down to one row",
     4,
     [](const ScriptedSnmpRequest &, int) { return Status(1); },
     SNMP_ERR_AGENT_STATUS,
     {},
     {4, 2, 1}},
};

class SnmpBulkWalkScripted : public ::testing::TestWithParam<ScriptedCase> {};

TEST_P(SnmpBulkWalkScripted, EndsAndFailsAsTheAnswersSay) {
   const ScriptedCase &c = GetParam();
   AskLog asked;
   ScriptedSnmpDevice device([&asked, &c](const ScriptedSnmpRequest &request) {
      int nth = static_cast<int>(asked.requests().size());
      asked.add(request);
      return c.answer(request, nth);
   });
   ASSERT_TRUE(device.running());
   auto t = MakeLoopbackTransport(device.port(), "public");
   Seen seen;
   LogCapture log;
   EXPECT_EQ(SnmpBulkEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.7", Record, &seen, 1,
                               c.repetitions),
             c.result);
   EXPECT_EQ(seen.names, c.names);
   // Error statuses are returned, never logged.
   EXPECT_TRUE(log.entries().empty());

   std::vector<uint32_t> repetitions;
   std::vector<std::string> delivered = {".1.3.6.1.4.1.7"};
   delivered.insert(delivered.end(), seen.names.begin(), seen.names.end());
   for (const ScriptedSnmpRequest &request : asked.requests()) {
      EXPECT_EQ(request.command, SNMP_GET_BULK_REQUEST);
      EXPECT_EQ(request.nonRepeaters, 0u);
      ASSERT_EQ(request.names.size(), 1u);
      repetitions.push_back(request.maxRepetitions);
   }
   EXPECT_EQ(repetitions, c.askedRepetitions);
   // Every request goes on from the last name delivered before it: the
   // names asked for are a subsequence of root + delivered names, in order.
   size_t at = 0;
   for (const ScriptedSnmpRequest &request : asked.requests()) {
      std::string name = ".1.3.6.1.4.1.7";
      for (size_t i = kRoot.size(); i < request.names[0].size(); i++) {
         name += "." + std::to_string(request.names[0][i]);
      }
      while (at < delivered.size() && delivered[at] != name) {
         at++;
      }
      EXPECT_LT(at, delivered.size()) << name << " was never delivered";
   }
}

INSTANTIATE_TEST_SUITE_P(Answers, SnmpBulkWalkScripted, ::testing::ValuesIn(kScriptedCases),
                         [](const ::testing::TestParamInfo<ScriptedCase> &info) {
                            std::string name;
                            for (const char *p = info.param.name; *p != '\0'; p++) {
                               name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                            }
                            return name;
                         });

TEST(SnmpBulkWalkScriptedCalls, SnmpV1WalksWithGetNext) {
   AskLog asked;
   ScriptedSnmpDevice device([&asked](const ScriptedSnmpRequest &request) {
      asked.add(request);
      // GETNEXT over rows .1 to .3, then noSuchName as an SNMPv1 agent does.
      uint32_t next = request.names[0].size() > kRoot.size() ? request.names[0].back() + 1 : 1;
      return next <= 3 ? Fixed({Row(next)}) : Status(2);
   });
   auto t = MakeLoopbackTransport(device.port(), "public", SNMP_VERSION_1);
   Seen seen;
   EXPECT_EQ(SnmpBulkEnumerate(SNMP_VERSION_1, t.get(), L".1.3.6.1.4.1.7", Record, &seen, 0, 50),
             SNMP_ERR_NO_SUCH_OBJECT);
   EXPECT_EQ(seen.names, Names(1, 3));
   std::vector<ScriptedSnmpRequest> requests = asked.requests();
   ASSERT_EQ(requests.size(), 4u);
   for (const ScriptedSnmpRequest &request : requests) {
      EXPECT_EQ(request.version, SNMP_VERSION_1);
      EXPECT_EQ(request.command, SNMP_GET_NEXT_REQUEST);
   }
}

TEST(SnmpBulkWalkScriptedCalls, CallbackResultStopsTheWalkMidReply) {
   ScriptedSnmpDevice device(
       [](const ScriptedSnmpRequest &r) { return TableAnswer(r, 10, 100, Tail::Outside); });
   auto t = MakeLoopbackTransport(device.port(), "public");
   Seen seen;
   seen.stopAt = 3;
   seen.stopWith = 7;
   EXPECT_EQ(SnmpBulkEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.7", Record, &seen, 0), 7u);
   EXPECT_EQ(seen.names, Names(1, 3));
   EXPECT_EQ(device.requests(), 1);
}

TEST(SnmpBulkWalkScriptedCalls, ArgumentsTimeOutsAndLimits) {
   AskLog asked;
   ScriptedSnmpDevice device([&asked](const ScriptedSnmpRequest &request) {
      asked.add(request);
      ScriptedSnmpAnswer answer = TableAnswer(request, 1, 100, Tail::Outside);
      answer.silent = request.names[0].back() == 9;
      return answer;
   });
   auto t = MakeLoopbackTransport(device.port(), "public");
   LogCapture log;
   Seen seen;

   EXPECT_EQ(SnmpBulkEnumerate(SNMP_VERSION_2C, nullptr, L".1.3", Record, &seen, 1),
             SNMP_ERR_NO_TRANSPORT);
   EXPECT_TRUE(log.entries().empty());
   EXPECT_EQ(SnmpBulkEnumerate(SNMP_VERSION_2C, t.get(), L"1.3.x", Record, &seen, 0),
             SNMP_ERR_OID_SYNTAX);
   ASSERT_EQ(log.withId(27).size(), 1u);
   EXPECT_EQ(log.withId(27)[0].inserts, std::vector<std::wstring>{L"1.3.x"});
   EXPECT_EQ(device.requests(), 0);

   // 0 asks for the default; more than the limit asks for the limit.
   for (uint32_t given : {0u, 20000u}) {
      EXPECT_EQ(
          SnmpBulkEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.7", Record, &seen, 0, given),
          SNMP_ERR_SUCCESS);
   }
   std::vector<ScriptedSnmpRequest> requests = asked.requests();
   ASSERT_EQ(requests.size(), 2u);
   EXPECT_EQ(requests[0].maxRepetitions, SNMP_DEFAULT_MAX_REPETITIONS);
   EXPECT_EQ(requests[1].maxRepetitions, SNMP_MAX_REPETITIONS_LIMIT);

   // A silent device: the time-out, logged (message 25) only with logErrors.
   uint32_t saved = g_dwSNMPTimeout;
   g_dwSNMPTimeout = 10;
   log.clear();
   EXPECT_EQ(SnmpBulkEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.7.9", Record, &seen, 0),
             SNMP_ERR_TIMEOUT);
   EXPECT_TRUE(log.entries().empty());
   EXPECT_EQ(SnmpBulkEnumerate(SNMP_VERSION_2C, t.get(), L".1.3.6.1.4.1.7.9", Record, &seen, 1),
             SNMP_ERR_TIMEOUT);
   g_dwSNMPTimeout = saved;
   auto entries = log.withId(25);
   ASSERT_EQ(entries.size(), 1u);
   EXPECT_EQ(entries[0].inserts, std::vector<std::wstring>{std::to_wstring(SNMP_ERR_TIMEOUT)});
}

}  // namespace
