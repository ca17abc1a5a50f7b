// hksnmp's walk (GETBULK by default, GETNEXT on request or for SNMPv1) and
// how it shows octet strings, run as a process against snmpd, the real
// hkagent, a recorded device and the scripted SNMP device.
#include <chrono>
#include <mutex>
#include <thread>

#include "e2e_fixture.h"
#include "snmp_agents.h"
#include "snmp_scripted_device.h"
#include "text.h"

using namespace e2e;

namespace {

std::vector<std::string> PortArgs(uint16_t port) {
   return {"-p", std::to_string(port)};
}

// The "oid" and "value" of every variable of a --json walk.
std::vector<std::pair<std::string, std::string>> WalkedRows(const ToolResult &result) {
   std::vector<std::pair<std::string, std::string>> rows;
   JsonValue doc = ParseOutput(result);
   for (const JsonValue &v : doc["variables"].items)
      rows.emplace_back(v["oid"].text, v["value"].text);
   return rows;
}

TEST(HkSnmpWalk, BulkGetNextAndSnmpV1WalksShowTheSame) {
   hktest::SnmpdFixture snmpd;
   ASSERT_TRUE(snmpd.start("public")) << snmpd.lastError();
   AgentProcess agent;
   AgentSetup setup;
   setup.enableSnmpProxy = true;
   setup.secret = "snmp-relay-secret";
   std::string error;
   ASSERT_TRUE(agent.start(setup, &error)) << error;

   // ifIndex and ifDescr: values that hold still between walks.
   const std::string root = ".1.3.6.1.2.1.2.2.1";
   std::vector<std::string> reference;
   for (const char *column : {".1", ".2"}) {
      for (const std::string &entry : snmpd.snmpBulkWalk(root + column)) {
         std::string oid, type, value;
         ASSERT_TRUE(hktest::ParseSnmpToolEntry(entry, &oid, &type, &value)) << entry;
         reference.push_back(oid);
      }
   }
   ASSERT_FALSE(reference.empty());

   const struct {
      const char *name;
      std::vector<std::string> options;
   } walks[] = {
       {"bulk", {}},
       {"bulk, 1 per request", {"--max-repetitions", "1"}},
       {"bulk, 3 per request", {"--max-repetitions", "3"}},
       {"getnext", {"--no-bulk"}},
       {"SNMPv1", {"-v", "1"}},
       {"bulk through the agent", {"--via-agent", agent.hostPort()}},
       {"getnext through the agent", {"--no-bulk", "--via-agent", agent.hostPort()}},
   };
   ToolRunner tools;
   std::vector<std::pair<std::string, std::string>> first;
   for (const auto &w : walks) {
      SCOPED_TRACE(w.name);
      std::vector<std::pair<std::string, std::string>> rows;
      for (const char *column : {".1", ".2"}) {
         std::vector<std::string> args = {"walk", "127.0.0.1", "--json", root + column};
         for (const std::string &a : PortArgs(snmpd.port()))
            args.push_back(a);
         args.insert(args.end(), w.options.begin(), w.options.end());
         ToolResult result = tools.run(HkSnmp(), args, {"HKSNMP_AGENT_SECRET=snmp-relay-secret"});
         ASSERT_EQ(result.exitCode, 0) << result.err;
         auto columnRows = WalkedRows(result);
         rows.insert(rows.end(), columnRows.begin(), columnRows.end());
      }
      std::vector<std::string> names;
      for (const auto &row : rows)
         names.push_back(row.first);
      EXPECT_EQ(names, reference);
      if (first.empty())
         first = rows;
      EXPECT_EQ(rows, first);
   }
}

TEST(HkSnmpWalk, RequestsFollowTheOptions) {
   // The device answers GETBULK with its rows .1 to .4 under .1.3.6.1.4.1.7
   // and GETNEXT with one row; it notes what it was asked.
   std::mutex lock;
   std::vector<std::pair<uint32_t, uint32_t>> asked;  // command, max-repetitions
   hktest::ScriptedSnmpDevice device([&](const hktest::ScriptedSnmpRequest &request) {
      {
         std::lock_guard<std::mutex> hold(lock);
         asked.emplace_back(request.command,
                            request.command == SNMP_GET_BULK_REQUEST ? request.maxRepetitions : 0);
      }
      uint32_t next = request.names[0].size() > 7 ? request.names[0].back() + 1 : 1;
      uint32_t count = request.command == SNMP_GET_BULK_REQUEST ? request.maxRepetitions : 1;
      hktest::ScriptedSnmpAnswer answer;
      for (uint32_t i = next; answer.bindings.size() < count; i++) {
         std::vector<uint32_t> name = {1, 3, 6, 1, 4, 1, i <= 4 ? 7u : 8u, i};
         answer.bindings.push_back({name, 0x02, hktest::BerIntegerContent(i)});
      }
      return answer;
   });
   ASSERT_TRUE(device.running());

   const struct {
      std::vector<std::string> options;
      std::vector<std::pair<uint32_t, uint32_t>> requests;
   } cases[] = {
       {{}, {{SNMP_GET_BULK_REQUEST, SNMP_DEFAULT_MAX_REPETITIONS}}},
       {{"--max-repetitions", "3"}, {{SNMP_GET_BULK_REQUEST, 3}, {SNMP_GET_BULK_REQUEST, 3}}},
       {{"--no-bulk"}, std::vector<std::pair<uint32_t, uint32_t>>(5, {SNMP_GET_NEXT_REQUEST, 0})},
       {{"-v", "1", "--max-repetitions", "3"},
        std::vector<std::pair<uint32_t, uint32_t>>(5, {SNMP_GET_NEXT_REQUEST, 0})},
   };
   ToolRunner tools;
   for (const auto &c : cases) {
      SCOPED_TRACE(c.options.empty() ? "default" : c.options[0]);
      {
         std::lock_guard<std::mutex> hold(lock);
         asked.clear();
      }
      std::vector<std::string> args = {"walk", "127.0.0.1", "--json", ".1.3.6.1.4.1.7"};
      for (const std::string &a : PortArgs(device.port()))
         args.push_back(a);
      args.insert(args.end(), c.options.begin(), c.options.end());
      ToolResult result = tools.run(HkSnmp(), args);
      ASSERT_EQ(result.exitCode, 0) << result.err;
      EXPECT_EQ(ParseOutput(result)["variables"].size(), 4u);
      std::lock_guard<std::mutex> hold(lock);
      EXPECT_EQ(asked, c.requests);
   }

   for (const char *bad : {"0", "10001", "many"}) {
      ToolResult result =
          tools.run(HkSnmp(), {"walk", "127.0.0.1", "--max-repetitions", bad, ".1.3"});
      EXPECT_EQ(result.exitCode, 2) << bad;
   }
}

TEST(HkSnmpWalk, EndsWhereTheReferenceWalkEnds) {
   hktest::SnmpdFixture snmpd;
   ASSERT_TRUE(snmpd.start("public")) << snmpd.lastError();
   // The last subtree of snmpd's MIB: SNMPv1 ends its walk with noSuchName.
   const std::string last = ".1.3.6.1.6.3.16", leaf = ".1.3.6.1.2.1.1.5.0";
   std::vector<std::string> lastNames;
   for (const std::string &entry : snmpd.snmpWalk(last, hktest::SnmpToolVersion::V1)) {
      std::string oid, type, value;
      if (hktest::ParseSnmpToolEntry(entry, &oid, &type, &value))
         lastNames.push_back(oid);
   }
   ASSERT_FALSE(lastNames.empty());
   const struct {
      std::vector<std::string> options;
      std::string root;
      std::vector<std::string> names;
   } cases[] = {
       {{"-v", "1"}, last, lastNames}, {{}, last, lastNames}, {{"--no-bulk"}, last, lastNames},
       {{"-v", "1"}, leaf, {leaf}},    {{}, leaf, {leaf}},    {{"--no-bulk"}, leaf, {leaf}},
       {{"-v", "1"}, leaf + ".1", {}}, {{}, leaf + ".1", {}},
   };
   ToolRunner tools;
   for (const auto &c : cases) {
      SCOPED_TRACE(c.root + (c.options.empty() ? "" : " " + c.options[0]));
      std::vector<std::string> args = {"walk", "127.0.0.1", "--json",
                                       c.root, "-p",        std::to_string(snmpd.port())};
      args.insert(args.end(), c.options.begin(), c.options.end());
      ToolResult result = tools.run(HkSnmp(), args);
      EXPECT_EQ(result.exitCode, 0) << result.err;
      std::vector<std::string> names;
      for (const auto &row : WalkedRows(result))
         names.push_back(row.first);
      EXPECT_EQ(names, c.names);
   }
}

TEST(HkSnmpWalk, AWalkCutShortShowsWhatItReceived) {
   // Rows .1 to .3 under .1.3.6.1.4.1.7, one per answer, then silence.
   hktest::ScriptedSnmpDevice device([](const hktest::ScriptedSnmpRequest &request) {
      hktest::ScriptedSnmpAnswer answer;
      uint32_t next = request.names[0].size() > 7 ? request.names[0].back() + 1 : 1;
      answer.silent = next > 3;
      answer.name = {1, 3, 6, 1, 4, 1, 7, next};
      answer.valueTag = 0x02;
      answer.value = hktest::BerIntegerContent(next);
      return answer;
   });
   const struct {
      std::vector<std::string> options;
      int requests;  // three answered, then the attempts of the last one
   } cases[] = {
       {{"--json", "--no-bulk", "-r", "0"}, 4},
       {{"--json", "-r", "1"}, 5},
       {{"-v", "1"}, 6},  // the default: two retries
   };
   ToolRunner tools;
   for (const auto &c : cases) {
      SCOPED_TRACE(c.options[1]);
      int before = device.requests();
      std::vector<std::string> args = {
          "walk", "127.0.0.1", ".1.3.6.1.4.1.7", "-t", "0.3", "-p", std::to_string(device.port())};
      args.insert(args.end(), c.options.begin(), c.options.end());
      ToolResult result = tools.run(HkSnmp(), args);
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_NE(result.err.find(hktool::WideToUtf8(SNMPGetErrorText(SNMP_ERR_TIMEOUT))),
                std::string::npos)
          << result.err;
      if (c.options[0] == "--json") {
         EXPECT_EQ(ParseOutput(result)["error"].number, SNMP_ERR_TIMEOUT);
         EXPECT_EQ(WalkedRows(result).size(), 3u);
      } else {
         EXPECT_NE(result.out.find(".1.3.6.1.4.1.7.3  INTEGER  3"), std::string::npos)
             << result.out;
      }
      // The last attempt may still be on its way to the device.
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (device.requests() - before < c.requests && std::chrono::steady_clock::now() < deadline)
         std::this_thread::yield();
      EXPECT_EQ(device.requests() - before, c.requests);
   }
}

TEST(HkSnmpDisplay, OctetStringsAsAPersonReadsThem) {
   hktest::SnmpSimFixture sim;
   ASSERT_TRUE(sim.start({std::string(HK_TEST_DATA_DIR) + "/display_strings.snmprec"}))
       << sim.lastError();
   const std::string base = ".1.3.6.1.4.1.99999.20";
   const std::vector<std::pair<std::string, std::string>> expected = {
       {base + ".1.1.0", "B\xC3\xBCro Schrank 3"},
       {base + ".1.2.0", "DE F6 8B DB 32 FA"},
       {base + ".1.3.0", "Uplink"},
       {base + ".1.4.0", "name"},
       {base + ".1.5.0", "61 01 62"},
       {base + ".1.6.0", "78 C2 85 79"},
       {base + ".1.7.0", "C0 80"},
       {base + ".1.8.0", "63 61 66 E9"},
       {base + ".1.9.0", ""},
       {base + ".1.10.0", "ok \xF0\x9F\x98\x80"},
       {base + ".1.11.0", "ED A0 80"},
       {base + ".1.12.0", "61 62 C3"},
       {base + ".1.13.0", "tab\there"},
       {base + ".2.0", "01 02 FE"},
   };
   ToolRunner tools;
   std::vector<std::string> common = {"127.0.0.1", "--json", "-c", "display_strings"};
   for (const std::string &a : PortArgs(sim.port()))
      common.push_back(a);

   for (const std::vector<std::string> &walkOptions :
        {std::vector<std::string>{"--max-repetitions", "5"},
         std::vector<std::string>{"--no-bulk"}}) {
      SCOPED_TRACE(walkOptions[0]);
      std::vector<std::string> args = {"walk"};
      args.insert(args.end(), common.begin(), common.end());
      args.insert(args.end(), walkOptions.begin(), walkOptions.end());
      args.push_back(base);
      ToolResult walk = tools.run(HkSnmp(), args);
      ASSERT_EQ(walk.exitCode, 0) << walk.err;
      EXPECT_EQ(WalkedRows(walk), expected);
   }

   std::vector<std::string> args = {"get"};
   args.insert(args.end(), common.begin(), common.end());
   for (const auto &row : expected)
      args.push_back(row.first);
   ToolResult get = tools.run(HkSnmp(), args);
   ASSERT_EQ(get.exitCode, 0) << get.err;
   EXPECT_EQ(WalkedRows(get), expected);

   // The text table shows the same characters.
   ToolResult table = tools.run(HkSnmp(), {"get", "127.0.0.1", "-c", "display_strings", "-p",
                                           std::to_string(sim.port()), base + ".1.1.0"});
   EXPECT_NE(table.out.find("B\xC3\xBCro Schrank 3\n"), std::string::npos) << table.out;
}

}  // namespace
