// hksnmp run as a process: against this host's snmpd directly and through
// the real hkagent, and against a recorded switch for VLANs.
#include "e2e_fixture.h"
#include "snmp_agents.h"
#include "text.h"

using namespace e2e;

namespace {

bool Contains(const std::string &text, const std::string &part) {
   return text.find(part) != std::string::npos;
}

class HkSnmpTool : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_snmpd = new hktest::SnmpdFixture();
      ASSERT_TRUE(s_snmpd->start("public")) << s_snmpd->lastError();
   }
   static void TearDownTestSuite() {
      delete s_snmpd;
      s_snmpd = nullptr;
   }
   void SetUp() override { ASSERT_NE(s_snmpd, nullptr); }

   ToolResult snmp(const std::string &command, std::vector<std::string> args,
                   std::vector<std::string> environment = {}) {
      args.insert(args.begin(), {command, "127.0.0.1", "-p", std::to_string(s_snmpd->port())});
      return m_tools.run(HkSnmp(), args, environment);
   }

   static hktest::SnmpdFixture *s_snmpd;
   ToolRunner m_tools;
};

hktest::SnmpdFixture *HkSnmpTool::s_snmpd = nullptr;

// The value of snmpget's "OID = TYPE: value" without quotes.
std::string ReferenceValue(const std::string &entry) {
   std::string oid, type, value;
   EXPECT_TRUE(hktest::ParseSnmpToolEntry(entry, &oid, &type, &value)) << entry;
   if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
   return value;
}

TEST_F(HkSnmpTool, HelpAndUsageMistakes) {
   ToolResult help = m_tools.run(HkSnmp(), {"--help"});
   EXPECT_EQ(help.exitCode, 0);
   EXPECT_TRUE(Contains(help.out, "usage: hksnmp"));
   EXPECT_EQ(m_tools.run(HkSnmp(), {"get"}).exitCode, 2);
   EXPECT_EQ(m_tools.run(HkSnmp(), {"fly", "127.0.0.1"}).exitCode, 2);
   EXPECT_EQ(m_tools.run(HkSnmp(), {"-v", "3", "get", "127.0.0.1"}).exitCode, 2);
   EXPECT_EQ(m_tools.run(HkSnmp(), {"get", "127.0.0.1", "1.3.x"}).exitCode, 2);
   EXPECT_EQ(m_tools.run(HkSnmp(), {"--aliases", "5", "interfaces", "127.0.0.1"}).exitCode, 2);
}

TEST_F(HkSnmpTool, GetMatchesTheReferenceClient) {
   std::vector<std::string> reference = s_snmpd->snmpGet({".1.3.6.1.2.1.1.5.0"});
   ASSERT_EQ(reference.size(), 1u);
   for (const char *version : {"1", "2c"}) {
      SCOPED_TRACE(version);
      ToolResult result = snmp("get", {"-v", version, "--json", "1.3.6.1.2.1.1.5.0"});
      ASSERT_EQ(result.exitCode, 0) << result.err;
      JsonValue doc = ParseOutput(result);
      EXPECT_EQ(doc["variables"][0]["oid"].text, ".1.3.6.1.2.1.1.5.0");
      EXPECT_EQ(doc["variables"][0]["value"].text, ReferenceValue(reference[0]));
   }
   ToolResult text = snmp("get", {});
   ASSERT_EQ(text.exitCode, 0) << text.err;
   EXPECT_TRUE(Contains(text.out, "OID                 VALUE\n.1.3.6.1.2.1.1.1.0  "));

   ToolResult missing = snmp("get", {"--json", ".1.3.6.1.2.1.1.99.0"});
   EXPECT_EQ(missing.exitCode, 1);
   EXPECT_EQ(ParseOutput(missing)["variables"][0]["error"].number, SNMP_ERR_NO_SUCH_OBJECT);
   ToolResult community = snmp("get", {"-c", "wrong", "-t", "100ms"});
   EXPECT_EQ(community.exitCode, 1);
   EXPECT_TRUE(Contains(community.err, hktool::WideToUtf8(SNMPGetErrorText(SNMP_ERR_TIMEOUT))));
}

TEST_F(HkSnmpTool, TimeoutInSecondsAndRetriesAsNetSnmpReadsThem) {
   const struct {
      std::vector<std::string> options;
      int exitCode;
   } cases[] = {
       {{"-t", "5"}, 0},      {{"-t", "0.5"}, 0}, {{"-t", "500ms"}, 0},    {{"-t", "5s"}, 0},
       {{"-t", ".25"}, 0},    {{"-r", "0"}, 0},   {{"--retries", "5"}, 0}, {{"-t", "0"}, 2},
       {{"-t", "0.0001"}, 2}, {{"-t", "5m"}, 2},  {{"-t", "1.2.3"}, 2},    {{"-t", "601"}, 2},
       {{"-t", ""}, 2},       {{"-r", "101"}, 2}, {{"-r", "x"}, 2},
   };
   for (const auto &c : cases) {
      SCOPED_TRACE(c.options[0] + " " + c.options[1]);
      EXPECT_EQ(snmp("get", c.options).exitCode, c.exitCode);
   }
   EXPECT_TRUE(Contains(m_tools.run(HkSnmp(), {"--help"}).out, "-r, --retries N"));
}

TEST_F(HkSnmpTool, GetShowsEveryObjectTheDeviceHas) {
   const std::string name = ".1.3.6.1.2.1.1.5.0", missing = ".1.3.6.1.2.1.1.99.0";
   std::vector<std::string> reference = s_snmpd->snmpGet({name});
   ASSERT_EQ(reference.size(), 1u);
   for (const char *version : {"1", "2c"}) {
      SCOPED_TRACE(version);
      ToolResult result = snmp("get", {"-v", version, "--json", missing, name});
      EXPECT_EQ(result.exitCode, 1);
      JsonValue doc = ParseOutput(result);
      ASSERT_EQ(doc["variables"].size(), 2u);
      EXPECT_EQ(doc["variables"][0]["error"].number, SNMP_ERR_NO_SUCH_OBJECT);
      EXPECT_EQ(doc["variables"][1]["value"].text, ReferenceValue(reference[0]));
      EXPECT_TRUE(Contains(result.err, missing)) << result.err;
   }
}

TEST_F(HkSnmpTool, WalkNamesWhatTheReferenceWalkNames) {
   std::vector<std::string> reference = s_snmpd->snmpWalk(".1.3.6.1.2.1.2.2.1.2");
   ASSERT_FALSE(reference.empty());
   ToolResult result = snmp("walk", {"--json", ".1.3.6.1.2.1.2.2.1.2"});
   ASSERT_EQ(result.exitCode, 0) << result.err;
   JsonValue doc = ParseOutput(result);
   ASSERT_EQ(doc["variables"].size(), reference.size());
   for (size_t i = 0; i < reference.size(); i++) {
      std::string oid, type, value;
      ASSERT_TRUE(hktest::ParseSnmpToolEntry(reference[i], &oid, &type, &value));
      EXPECT_EQ(doc["variables"][i]["oid"].text, oid);
      EXPECT_EQ(doc["variables"][i]["type"].text, "STRING");
      EXPECT_EQ(doc["variables"][i]["value"].text, ReferenceValue(reference[i]));
   }
}

TEST_F(HkSnmpTool, InterfacesAreTheSameDirectlyAndThroughTheAgent) {
   AgentProcess agent;
   AgentSetup setup;
   setup.enableSnmpProxy = true;
   setup.secret = "snmp-relay-secret";
   std::string error;
   ASSERT_TRUE(agent.start(setup, &error)) << error;

   ToolResult direct = snmp("interfaces", {"--json", "--aliases", "2", "--ifxtable"});
   ASSERT_EQ(direct.exitCode, 0) << direct.err;
   ToolResult relayed = snmp(
       "interfaces", {"--json", "--aliases", "2", "--ifxtable", "--via-agent", agent.hostPort()},
       {"HKSNMP_AGENT_SECRET=snmp-relay-secret"});
   ASSERT_EQ(relayed.exitCode, 0) << relayed.err;
   EXPECT_EQ(relayed.out, direct.out);
   JsonValue doc = ParseOutput(direct);
   bool lo = false;
   for (const JsonValue &i : doc["interfaces"].items)
      lo = lo || (i["address"].text == "127.0.0.1" && i["type"].number == 24);
   EXPECT_TRUE(lo);

   ToolResult table = snmp("interfaces", {"--via-agent", agent.hostPort()},
                           {"HKSNMP_AGENT_SECRET=snmp-relay-secret"});
   EXPECT_EQ(table.exitCode, 0);
   EXPECT_TRUE(Contains(table.out, "127.0.0.1/8"));

   ToolResult wrong = snmp("get", {"--via-agent", agent.hostPort()}, {"HKSNMP_AGENT_SECRET=wrong"});
   EXPECT_EQ(wrong.exitCode, 1);
   // Inside TLS the agent proves the secret first: a wrong one fails its proof.
   EXPECT_TRUE(Contains(wrong.err, "did not verify")) << wrong.err;

   // A method that gives the secret away needs the opt-in, even encrypted.
   ToolResult refused = snmp(
       "get", {"--via-agent", agent.hostPort(), "--agent-auth", "md5", "--encryption", "required"},
       {"HKSNMP_AGENT_SECRET=snmp-relay"});
   EXPECT_EQ(refused.exitCode, 2);
   EXPECT_TRUE(Contains(refused.err, "--insecure-auth")) << refused.err;
}

TEST(HkSnmpRecorded, VlansOfARecordedSwitch) {
   hktest::SnmpSimFixture sim;
   ASSERT_TRUE(sim.start({std::string(HK_TEST_DATA_DIR) + "/switch48.snmprec"})) << sim.lastError();
   SNMP_UDPTransport transport;
   ASSERT_EQ(transport.createUDPTransport(sim.ipAddr(), sim.port()), SNMP_ERR_SUCCESS);
   transport.setSecurityContext(new SNMP_SecurityContext("switch48"));
   NetworkDeviceDriver driver;
   VlanList *expected = driver.getVlans(&transport, nullptr);
   ASSERT_NE(expected, nullptr);

   ToolRunner tools;
   ToolResult result = tools.run(
       HkSnmp(), {"vlans", "127.0.0.1", "-p", std::to_string(sim.port()), "-c", "switch48", "-j"});
   ASSERT_EQ(result.exitCode, 0) << result.err;
   JsonValue doc = ParseOutput(result);
   ASSERT_EQ(doc["vlans"].size(), (size_t)expected->getSize());
   ASSERT_GT(expected->getSize(), 0);
   for (int i = 0; i < expected->getSize(); i++) {
      const VlanInfo *vlan = expected->get(i);
      const JsonValue &got = doc["vlans"][(size_t)i];
      EXPECT_EQ(got["id"].number, vlan->getVlanId());
      EXPECT_EQ(got["name"].text, hktool::WideToUtf8(vlan->getName()));
      ASSERT_EQ(got["ports"].size(), (size_t)vlan->getNumPorts());
      for (int p = 0; p < vlan->getNumPorts(); p++)
         EXPECT_EQ(got["ports"][(size_t)p].number, vlan->getPorts()[p]);
   }
   expected->decRefCount();
   ToolResult text = tools.run(
       HkSnmp(), {"vlans", "127.0.0.1", "-p", std::to_string(sim.port()), "-c", "switch48"});
   EXPECT_TRUE(Contains(text.out, "VLAN  NAME"));
}

}  // namespace
