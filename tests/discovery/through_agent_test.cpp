// Discovery of recorded devices through an agent (the fake agent forwarding
// to snmpsimd): the same lists as over UDP, and every walk failure, made by
// an agent that refuses the requests of one subtree.
#include <gtest/gtest.h>

#include "discovery_fixture.h"
#include "fake_agent.h"
#include "fake_agent_snmp.h"

using namespace discoverytest;
using namespace hktest;

namespace {

class DiscoveryThroughAgent : public DiscoveryRecorded {
protected:
   // A transport through a fresh fake agent to the recorded device; the
   // agent refuses (result 500) every request for a name under `refused`.
   std::unique_ptr<SNMP_ProxyTransport> throughAgent(const std::string &community,
                                                     const std::string &refused = "") {
      m_agent = std::make_unique<FakeAgent>();
      FakeSnmpForwardOptions options;
      std::vector<uint32_t> prefix = OidComponents(refused);
      if (!prefix.empty()) {
         options.refuse = [prefix](const uint8_t *bytes, uint32_t size) -> uint32_t {
            SNMP_PDU pdu;
            if (!pdu.parse(bytes, size, nullptr, false) || pdu.getNumVariables() == 0) {
               return 0;
            }
            return pdu.getVariable(0)->getName()->startsWith(prefix.data(), prefix.size()) ? 500
                                                                                           : 0;
         };
      }
      m_agent->setHandler(CMD_SNMP_REQUEST, FakeSnmpForward(options));
      auto *session = new AgentConnection(FakeAgent::addressNetworkOrder(), m_agent->port());
      EXPECT_EQ(session->connect(nullptr), 1);
      auto transport =
          std::make_unique<SNMP_ProxyTransport>(session, s_agent->ipAddr(), s_agent->port());
      transport->setSecurityContext(new SNMP_SecurityContext(community.c_str()));
      return transport;
   }

   size_t refusals() {
      size_t count = 0;
      for (const FakeAgentRecord &record : m_agent->recordsWithCode(CMD_SNMP_REQUEST)) {
         (void)record;
         count++;
      }
      return count;
   }

   std::unique_ptr<FakeAgent> m_agent;
};

TEST_F(DiscoveryThroughAgent, SwitchListsMatchTheDirectOnes) {
   auto proxy = throughAgent("switch48");
   auto direct = device("switch48");
   std::unique_ptr<InterfaceList> viaAgent(driver.getInterfaces(proxy.get(), nullptr, 2, true));
   std::unique_ptr<InterfaceList> viaUdp(driver.getInterfaces(direct.get(), nullptr, 2, true));
   ASSERT_NE(viaUdp, nullptr);
   EXPECT_TRUE(SameInterfaces(Records(viaUdp.get()), viaAgent.get()));

   std::unique_ptr<VlanList> vlans(driver.getVlans(proxy.get(), nullptr));
   EXPECT_TRUE(SameVlans(ExpectedVlans(View("switch48")), vlans.get()));
}

TEST_F(DiscoveryThroughAgent, FailedIfIndexWalkGivesNoList) {
   auto proxy = throughAgent("switch48", "1.3.6.1.2.1.2.2.1.1");
   int saved = g_nDebugLevel;
   g_nDebugLevel = 6;
   LogCapture log;
   EXPECT_EQ(driver.getInterfaces(proxy.get(), nullptr, 0, true), nullptr);
   g_nDebugLevel = saved;
   std::vector<std::wstring> lines;
   for (const CapturedLogEntry &entry : log.withId(MSG_DEBUG)) {
      lines.push_back(entry.inserts.at(0));
   }
   wchar_t walk[256], completed[256];
   hk_snwprintf(walk, 256, L"NetworkDeviceDriver::getInterfaces(%p): SNMP WALK %s failed",
                static_cast<void *>(proxy.get()), L".1.3.6.1.2.1.2.2.1.1");
   hk_snwprintf(completed, 256, L"NetworkDeviceDriver::getInterfaces(%p): completed, ifList=%p",
                static_cast<void *>(proxy.get()), static_cast<void *>(nullptr));
   ASSERT_EQ(lines.size(), 3u);
   EXPECT_EQ(lines[1], walk);
   EXPECT_EQ(lines[2], completed);
}

TEST_F(DiscoveryThroughAgent, FailedAddressWalkGivesNoList) {
   auto proxy = throughAgent("switch48", "1.3.6.1.2.1.4.20.1.1");
   int saved = g_nDebugLevel;
   g_nDebugLevel = 6;
   LogCapture log;
   EXPECT_EQ(driver.getInterfaces(proxy.get(), nullptr, 0, true), nullptr);
   g_nDebugLevel = saved;
   auto entries = log.withId(MSG_DEBUG);
   ASSERT_GE(entries.size(), 2u);
   wchar_t walk[256];
   hk_snwprintf(walk, 256, L"NetworkDeviceDriver::getInterfaces(%p): SNMP WALK %s failed (%s)",
                static_cast<void *>(proxy.get()), L".1.3.6.1.2.1.4.20.1.1",
                SNMPGetErrorText(SNMP_ERR_TIMEOUT));
   EXPECT_EQ(entries[entries.size() - 2].inserts.at(0), walk);
}

TEST_F(DiscoveryThroughAgent, FailedMaskReadDropsOnlyThatAddress) {
   // Every mask read is refused: the walk goes on, no address is assigned.
   auto proxy = throughAgent("driver_edges", "1.3.6.1.2.1.4.20.1.3");
   std::unique_ptr<InterfaceList> list(driver.getInterfaces(proxy.get(), nullptr, 0, true));
   ASSERT_NE(list, nullptr);
   EXPECT_EQ(list->getSize(), 6);
   for (int i = 0; i < list->getSize(); i++) {
      EXPECT_EQ(list->get(i)->ipAddr, 0u);
   }
}

TEST_F(DiscoveryThroughAgent, FailedVlanWalksGiveNoList) {
   for (const char *refused : {"1.3.6.1.2.1.17.7.1.4.3.1.1", "1.3.6.1.2.1.17.7.1.4.2.1.4"}) {
      SCOPED_TRACE(refused);
      // The second walk failing after the first found six VLANs: the list
      // and its VLANs are deleted (the sanitizers see any leak).
      auto proxy = throughAgent("switch48", refused);
      EXPECT_EQ(driver.getVlans(proxy.get(), nullptr), nullptr);
   }
   EXPECT_GT(refusals(), 0u);
}

}  // namespace
