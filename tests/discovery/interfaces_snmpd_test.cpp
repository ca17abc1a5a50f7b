// getInterfaces against net-snmp's snmpd serving this machine, directly and
// through an agent: the list must say what snmpwalk of the same agent says.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_agent.h"
#include "fake_agent_snmp.h"
#include "hksrv.h"
#include "mib_view.h"
#include "snmp_agents.h"
#include "snmp_client_util.h"

using namespace discoverytest;
using namespace hktest;

namespace {

class DiscoverySnmpd : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_agent = new SnmpdFixture();
      ASSERT_TRUE(s_agent->start()) << s_agent->lastError();
   }
   static void TearDownTestSuite() {
      delete s_agent;
      s_agent = nullptr;
   }
   void SetUp() override { ASSERT_NE(s_agent, nullptr); }

   static inline SnmpdFixture *s_agent = nullptr;
   NetworkDeviceDriver driver;
};

TEST_F(DiscoverySnmpd, InterfacesAsTheReferenceClientSeesThem) {
   MibView view = ReadDevice(*s_agent);
   // One record per ifIndex row, plus one per further address.
   size_t rows = 0, addresses = 0;
   for (const auto &entry : view) {
      const Oid &oid = entry.first;
      if (oid.size() == 11 && oid[9] == 1 &&
          Oid(oid.begin(), oid.begin() + 9) == Oid{1, 3, 6, 1, 2, 1, 2, 2, 1}) {
         rows++;
      }
      if (oid.size() == 14 &&
          Oid(oid.begin(), oid.begin() + 10) == Oid{1, 3, 6, 1, 2, 1, 4, 20, 1, 1}) {
         addresses++;
      }
   }
   ASSERT_GT(rows, 0u);
   ASSERT_GT(addresses, 0u);

   auto transport = MakeLoopbackTransport(s_agent->port(), "public");
   for (bool useIfXTable : {true, false}) {
      for (int useAliases : {0, 2}) {
         SCOPED_TRACE("useIfXTable " + std::to_string(useIfXTable) + " useAliases " +
                      std::to_string(useAliases));
         std::unique_ptr<InterfaceList> list(
             driver.getInterfaces(transport.get(), nullptr, useAliases, useIfXTable));
         ASSERT_NE(list, nullptr);
         EXPECT_TRUE(SameInterfaces(ExpectedInterfaces(view, useAliases, useIfXTable), list.get()));
         EXPECT_GE(static_cast<size_t>(list->getSize()), rows);
      }
   }

   // The loopback interface carries 127.0.0.1/8.
   std::unique_ptr<InterfaceList> list(driver.getInterfaces(transport.get(), nullptr, 0, true));
   ASSERT_NE(list, nullptr);
   bool found = false;
   for (int i = 0; i < list->getSize(); i++) {
      const HK_INTERFACE_INFO *record = list->get(i);
      if (record->ipAddr == 0x7F000001) {
         found = true;
         EXPECT_EQ(record->ipNetMask, 0xFF000000u);
         EXPECT_EQ(record->type, 24u);  // softwareLoopback
      }
   }
   EXPECT_TRUE(found);
}

TEST_F(DiscoverySnmpd, ThroughAnAgentTheListIsIdentical) {
   FakeAgent agent;
   ASSERT_TRUE(agent.listening());
   agent.setHandler(CMD_SNMP_REQUEST, FakeSnmpForward());
   auto *session = new AgentConnection(FakeAgent::addressNetworkOrder(), agent.port());
   uint32_t error = 0;
   ASSERT_EQ(session->connect(nullptr, 0, &error), 1) << error;
   SNMP_ProxyTransport proxy(session, s_agent->ipAddr(), s_agent->port());
   proxy.setSecurityContext(new SNMP_SecurityContext("public"));

   auto direct = MakeLoopbackTransport(s_agent->port(), "public");
   for (int useAliases : {0, 3}) {
      SCOPED_TRACE(useAliases);
      std::unique_ptr<InterfaceList> viaAgent(
          driver.getInterfaces(&proxy, nullptr, useAliases, true));
      std::unique_ptr<InterfaceList> viaUdp(
          driver.getInterfaces(direct.get(), nullptr, useAliases, true));
      ASSERT_NE(viaAgent, nullptr);
      ASSERT_NE(viaUdp, nullptr);
      EXPECT_TRUE(SameInterfaces(Records(viaUdp.get()), viaAgent.get()));
      EXPECT_EQ(viaAgent->getAllocated(), viaUdp->getAllocated());
   }
   EXPECT_FALSE(agent.recordsWithCode(CMD_SNMP_REQUEST).empty());
}

}  // namespace
