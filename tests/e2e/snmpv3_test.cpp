// SNMPv3 end to end: the generic driver reads a recorded switch served by
// snmpsimd with a v3 user (the context name selects the recording) exactly
// as over v2c, directly and through the real hkagent, where discovery and
// time sync travel inside the agent's SNMP requests; and hksnmp -v 3 reads
// what snmpwalk -v3 reads.
#include <cstring>

#include "e2e_fixture.h"
#include "json_reader.h"
#include "snmp_agents.h"
#include "text.h"

using namespace e2e;

namespace {

const char kRecording[] = "switch48";
const char kUser[] = "hk-v3-user";
const char kAuthPassword[] = "recorded-auth-pass";
const char kPrivPassword[] = "recorded-priv-pass";

void ExpectSameInterfaces(InterfaceList *expected, InterfaceList *actual) {
   ASSERT_NE(expected, nullptr);
   ASSERT_NE(actual, nullptr);
   ASSERT_EQ(actual->getSize(), expected->getSize());
   for (int i = 0; i < expected->getSize(); i++) {
      const HK_INTERFACE_INFO *e = expected->get(i), *a = actual->get(i);
      EXPECT_EQ(a->ifIndex, e->ifIndex);
      EXPECT_STREQ(a->name, e->name);
      EXPECT_STREQ(a->description, e->description);
      EXPECT_EQ(a->type, e->type);
      EXPECT_EQ(memcmp(a->macAddr, e->macAddr, 6), 0);
      EXPECT_EQ(a->ipAddr, e->ipAddr);
      EXPECT_EQ(a->ipNetMask, e->ipNetMask);
   }
}

void ExpectSameVlans(VlanList *expected, VlanList *actual) {
   ASSERT_NE(expected, nullptr);
   ASSERT_NE(actual, nullptr);
   ASSERT_EQ(actual->getSize(), expected->getSize());
   for (int i = 0; i < expected->getSize(); i++) {
      const VlanInfo *e = expected->get(i), *a = actual->get(i);
      EXPECT_EQ(a->getVlanId(), e->getVlanId());
      EXPECT_STREQ(a->getName(), e->getName());
      ASSERT_EQ(a->getNumPorts(), e->getNumPorts());
      for (int p = 0; p < e->getNumPorts(); p++) {
         EXPECT_EQ(a->getPorts()[p], e->getPorts()[p]);
      }
   }
}

class RecordedSwitchOverV3 : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_sim = new hktest::SnmpSimFixture();
      s_started =
          s_sim->start({std::string(HK_TEST_DATA_DIR) + "/" + kRecording + ".snmprec"},
                       {std::string("--v3-user=") + kUser,
                        std::string("--v3-auth-key=") + kAuthPassword, "--v3-auth-proto=SHA256",
                        std::string("--v3-priv-key=") + kPrivPassword, "--v3-priv-proto=AES"});
   }
   static void TearDownTestSuite() {
      delete s_sim;
      s_sim = nullptr;
   }
   void SetUp() override { ASSERT_TRUE(s_started) << s_sim->lastError(); }

   static SNMP_SecurityContext *v3Context() {
      auto *context = new SNMP_SecurityContext(kUser, kAuthPassword, kPrivPassword,
                                               SNMP_AUTH_SHA256, SNMP_PRIV_AES128);
      context->setContextName(kRecording);
      return context;
   }
   static std::unique_ptr<SNMP_Transport> direct(uint32_t version) {
      auto udp = std::make_unique<SNMP_UDPTransport>();
      EXPECT_EQ(udp->createUDPTransport(s_sim->ipAddr(), s_sim->port()), SNMP_ERR_SUCCESS);
      udp->setSnmpVersion(version);
      udp->setSecurityContext(version == SNMP_VERSION_3 ? v3Context()
                                                        : new SNMP_SecurityContext(kRecording));
      return udp;
   }
   static std::unique_ptr<SNMP_Transport> throughAgent(const AgentProcess &agent) {
      auto *session = new RecordingConnection(LoopbackNetworkOrder(), agent.port());
      EXPECT_EQ(session->connect(nullptr), 1);
      auto transport =
          std::make_unique<SNMP_ProxyTransport>(session, s_sim->ipAddr(), s_sim->port());
      transport->setSnmpVersion(SNMP_VERSION_3);
      transport->setSecurityContext(v3Context());
      return transport;
   }

   static inline hktest::SnmpSimFixture *s_sim = nullptr;
   static inline bool s_started = false;
   NetworkDeviceDriver driver;
};

TEST_F(RecordedSwitchOverV3, ListsEqualThoseOverV2cDirectlyAndThroughTheAgent) {
   auto v2c = direct(SNMP_VERSION_2C);
   std::unique_ptr<InterfaceList> expectedInterfaces(
       driver.getInterfaces(v2c.get(), nullptr, 2, true));
   VlanList *expectedVlans = driver.getVlans(v2c.get(), nullptr);
   ASSERT_NE(expectedInterfaces, nullptr);
   ASSERT_GT(expectedInterfaces->getSize(), 40);
   ASSERT_NE(expectedVlans, nullptr);
   ASSERT_GT(expectedVlans->getSize(), 0);

   AgentProcess agent;
   AgentSetup setup;
   setup.enableSnmpProxy = true;
   std::string error;
   ASSERT_TRUE(agent.start(setup, &error)) << error;

   std::unique_ptr<SNMP_Transport> transports[] = {direct(SNMP_VERSION_3), throughAgent(agent)};
   for (const auto &transport : transports) {
      SCOPED_TRACE(transport.get() == transports[0].get() ? "direct" : "through hkagent");
      std::unique_ptr<InterfaceList> interfaces(
          driver.getInterfaces(transport.get(), nullptr, 2, true));
      ExpectSameInterfaces(expectedInterfaces.get(), interfaces.get());
      VlanList *vlans = driver.getVlans(transport.get(), nullptr);
      ExpectSameVlans(expectedVlans, vlans);
      if (vlans != nullptr) {
         vlans->decRefCount();
      }
      // The engine was discovered over this very transport.
      EXPECT_GT(transport->getSecurityContext()->getAuthoritativeEngineId(nullptr), 0u);
   }
   expectedVlans->decRefCount();
}

TEST_F(RecordedSwitchOverV3, WrongPasswordThroughTheAgentIsNamed) {
   AgentProcess agent;
   AgentSetup setup;
   setup.enableSnmpProxy = true;
   std::string error;
   ASSERT_TRUE(agent.start(setup, &error)) << error;
   auto transport = throughAgent(agent);
   transport->getSecurityContext()->setAuthPassword("not-the-auth-password");
   wchar_t value[256];
   EXPECT_EQ(SnmpGet(SNMP_VERSION_3, transport.get(), L".1.3.6.1.2.1.1.5.0", nullptr, 0, value, 256,
                     SNMPGET_AS_STRING),
             SNMP_ERR_WRONG_DIGEST);
}

// ---------------------------------------------------------------- hksnmp -v 3

class HkSnmpV3Tool : public ::testing::Test {
protected:
   void SetUp() override {
      ASSERT_TRUE(m_snmpd.start("public", {"createUser tooluser SHA-512 \"tool-auth-pass\" AES "
                                           "\"tool-priv-pass\"",
                                           "rouser tooluser priv"}))
          << m_snmpd.lastError();
   }

   hktest::SnmpdFixture m_snmpd;
   ToolRunner m_tools;
};

TEST_F(HkSnmpV3Tool, WalkReadsWhatSnmpwalkReadsWithPasswordsFromTheEnvironment) {
   std::vector<std::string> reference =
       m_snmpd.snmpWalk(".1.3.6.1.2.1.1.9", hktest::SnmpToolVersion::V3,
                        {"-u", "tooluser", "-l", "authPriv", "-a", "SHA-512", "-A",
                         "tool-auth-pass", "-x", "AES", "-X", "tool-priv-pass"});
   ASSERT_FALSE(reference.empty());
   ToolResult walk =
       m_tools.run(HkSnmp(),
                   {"-v", "3", "-u", "tooluser", "-l", "authPriv", "-a", "SHA-512", "-x", "AES",
                    "--json", "walk", m_snmpd.endpoint(), ".1.3.6.1.2.1.1.9"},
                   {"HKSNMP_AUTH_PASSWORD=tool-auth-pass", "HKSNMP_PRIV_PASSWORD=tool-priv-pass"});
   ASSERT_EQ(walk.exitCode, 0) << walk.err;
   JsonValue doc = ParseOutput(walk);
   ASSERT_EQ(doc["variables"].items.size(), reference.size());
   for (size_t i = 0; i < reference.size(); i++) {
      std::string oid, type, value;
      ASSERT_TRUE(hktest::ParseSnmpToolEntry(reference[i], &oid, &type, &value));
      EXPECT_EQ(doc["variables"][i]["oid"].text, oid);
   }
}

TEST_F(HkSnmpV3Tool, RefusalsAndUsageMistakesAreReported) {
   std::vector<std::string> common = {"-v", "3",       "-u", "tooluser", "-l", "authPriv",
                                      "-a", "SHA-512", "-x", "AES",      "-X", "tool-priv-pass"};
   std::vector<std::string> wrong = common;
   wrong.insert(wrong.end(), {"-A", "wrong-auth-pass", "get", m_snmpd.endpoint()});
   ToolResult refused = m_tools.run(HkSnmp(), wrong);
   EXPECT_EQ(refused.exitCode, 1);
   EXPECT_NE(refused.err.find(hktool::WideToUtf8(SNMPGetErrorText(SNMP_ERR_WRONG_DIGEST))),
             std::string::npos)
       << refused.err;

   for (std::vector<std::string> mistake :
        {std::vector<std::string>{"-v", "3", "-l", "authPriv"},      // no user
         std::vector<std::string>{"-v", "3", "-u", "u", "-l", "x"},  // no such level
         std::vector<std::string>{"-v", "3", "-u", "u", "-l", "authNoPriv", "-A", "short"},
         std::vector<std::string>{"-v", "3", "-u", "u", "-l", "authNoPriv", "-a", "SHA-3", "-A",
                                  "long-enough"},
         std::vector<std::string>{"-v", "3", "-u", "u", "-e", "0x12"}}) {
      mistake.insert(mistake.end(), {"get", m_snmpd.endpoint()});
      EXPECT_EQ(m_tools.run(HkSnmp(), mistake).exitCode, 2) << mistake[mistake.size() - 3];
   }
}

}  // namespace
