// Relays through the real hkagent: a session through a second agent acting
// as a proxy, and SNMP requests carried by an agent to this host's snmpd.
#include <cwchar>

#include "e2e_fixture.h"
#include "snmp_agents.h"

using namespace e2e;

namespace {

std::wstring Widen(const std::string &text) {
   return std::wstring(text.begin(), text.end());
}

class ProxyHop : public ::testing::Test {
protected:
   void SetUp() override {
      AgentSetup target;
      target.secret = "target-agent-secret";
      target.requireEncryption = true;
      std::string error;
      ASSERT_TRUE(m_target.start(target, &error)) << error;
      AgentSetup proxy;
      proxy.secret = "proxy-agent-secret";
      proxy.enableProxy = true;
      ASSERT_TRUE(m_proxy.start(proxy, &error)) << error;
   }

   // A session to the target agent through the proxy.
   std::unique_ptr<RecordingConnection> session(const char *proxySecret) {
      auto s = std::make_unique<RecordingConnection>(LoopbackNetworkOrder(), m_target.port(),
                                                     AUTH_SHA1_HASH, L"target-agent-secret");
      std::wstring secret = Widen(proxySecret);
      s->setProxy(LoopbackNetworkOrder(), m_proxy.port(), AUTH_MD5_HASH, secret.c_str());
      return s;
   }

   AgentProcess m_target, m_proxy;
};

TEST_F(ProxyHop, RequestsAndFilesReachTheAgentBehindTheProxy) {
   auto s = session("proxy-agent-secret");
   uint32_t error = 0;
   ASSERT_EQ(s->connect(ServerKey(), 0, &error), 1) << error;
   EXPECT_TRUE(s->encrypted());
   wchar_t value[64];
   ASSERT_EQ(s->getParameter(L"Agent.Version", 64, value), ERR_SUCCESS);

   // The upload lands in the target's store, not the proxy's.
   TempDir dir;
   std::string content = PatternBytes(300 * 1024, 3);
   WriteFile(dir / "hop.bin", content);
   std::wstring local = Widen(dir / "hop.bin");
   ASSERT_EQ(s->uploadFile(local.c_str()), ERR_SUCCESS);
   EXPECT_EQ(ReadFile(m_target.storeDir() + "/hop.bin"), content);
   EXPECT_FALSE(Exists(m_proxy.storeDir() + "/hop.bin"));
   ASSERT_EQ(DownloadFile(s.get(), "hop.bin", dir / "back.bin"), ERR_SUCCESS);
   EXPECT_EQ(ReadFile(dir / "back.bin"), content);
}

TEST_F(ProxyHop, EachHopChecksItsOwnSecret) {
   auto wrongProxy = session("not-the-proxy-agent-secret");
   uint32_t error = 0;
   EXPECT_EQ(wrongProxy->connect(ServerKey(), 0, &error), 0);
   EXPECT_EQ(error, ERR_AUTH_FAILED);

   auto wrongTarget = session("proxy-agent-secret");
   wrongTarget->setAuthData(AUTH_SHA1_HASH, "not-the-target-agent-secret");
   EXPECT_EQ(wrongTarget->connect(ServerKey(), 0, &error), 0);
   EXPECT_EQ(error, ERR_AUTH_FAILED);
}

TEST(ProxyDisabled, RefusesToRelay) {
   AgentProcess target, proxy;
   std::string error;
   ASSERT_TRUE(target.start(AgentSetup(), &error)) << error;
   ASSERT_TRUE(proxy.start(AgentSetup(), &error)) << error;
   RecordingConnection s(LoopbackNetworkOrder(), target.port());
   s.setProxy(LoopbackNetworkOrder(), proxy.port(), AUTH_NONE, nullptr);
   uint32_t result = 0;
   EXPECT_EQ(s.connect(nullptr, 0, &result), 0);
   EXPECT_EQ(result, ERR_ACCESS_DENIED);
}

class SnmpThroughAgent : public ::testing::Test {
protected:
   void SetUp() override { ASSERT_TRUE(m_snmpd.start("public")) << m_snmpd.lastError(); }

   std::unique_ptr<SNMP_Transport> direct() {
      auto udp = std::make_unique<SNMP_UDPTransport>();
      EXPECT_EQ(udp->createUDPTransport(m_snmpd.ipAddr(), m_snmpd.port()), SNMP_ERR_SUCCESS);
      udp->setSecurityContext(new SNMP_SecurityContext("public"));
      return udp;
   }

   std::unique_ptr<SNMP_Transport> throughAgent(const AgentProcess &agent) {
      auto *session = new RecordingConnection(LoopbackNetworkOrder(), agent.port());
      EXPECT_EQ(session->connect(nullptr), 1);
      auto transport =
          std::make_unique<SNMP_ProxyTransport>(session, m_snmpd.ipAddr(), m_snmpd.port());
      transport->setSecurityContext(new SNMP_SecurityContext("public"));
      return transport;
   }

   hktest::SnmpdFixture m_snmpd;
};

TEST_F(SnmpThroughAgent, AnswersAsTheDeviceDoesDirectly) {
   AgentProcess agent;
   AgentSetup setup;
   setup.enableSnmpProxy = true;
   std::string error;
   ASSERT_TRUE(agent.start(setup, &error)) << error;
   auto proxied = throughAgent(agent);
   auto udp = direct();

   wchar_t viaAgent[256] = L"", viaUdp[256] = L"";
   ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, proxied.get(), L".1.3.6.1.2.1.1.5.0", nullptr, 0, viaAgent,
                     256, SNMPGET_AS_STRING),
             SNMP_ERR_SUCCESS);
   ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, udp.get(), L".1.3.6.1.2.1.1.5.0", nullptr, 0, viaUdp, 256,
                     SNMPGET_AS_STRING),
             SNMP_ERR_SUCCESS);
   EXPECT_STREQ(viaAgent, viaUdp);
   std::vector<std::string> reference = m_snmpd.snmpGet({".1.3.6.1.2.1.1.5.0"});
   ASSERT_EQ(reference.size(), 1u);
   std::string oid, type, value;
   ASSERT_TRUE(hktest::ParseSnmpToolEntry(reference[0], &oid, &type, &value));
   EXPECT_EQ(value.find('"') == 0 ? value.substr(1, value.size() - 2) : value,
             std::string(viaUdp, viaUdp + wcslen(viaUdp)));

   NetworkDeviceDriver driver;
   std::unique_ptr<InterfaceList> a(driver.getInterfaces(proxied.get(), nullptr, 0, true));
   std::unique_ptr<InterfaceList> b(driver.getInterfaces(udp.get(), nullptr, 0, true));
   ASSERT_NE(a, nullptr);
   ASSERT_NE(b, nullptr);
   ASSERT_EQ(a->getSize(), b->getSize());
   for (int i = 0; i < a->getSize(); i++) {
      EXPECT_STREQ(a->get(i)->name, b->get(i)->name);
      EXPECT_EQ(a->get(i)->ifIndex, b->get(i)->ifIndex);
      EXPECT_EQ(a->get(i)->ipAddr, b->get(i)->ipAddr);
      EXPECT_EQ(memcmp(a->get(i)->macAddr, b->get(i)->macAddr, 6), 0);
   }
}

TEST_F(SnmpThroughAgent, AnAgentWithoutTheRelayCarriesNothing) {
   AgentProcess agent;
   std::string error;
   ASSERT_TRUE(agent.start(AgentSetup(), &error)) << error;
   auto proxied = throughAgent(agent);
   wchar_t value[256] = L"unchanged";
   uint32_t saved = g_dwSNMPTimeout;
   g_dwSNMPTimeout = 100;
   EXPECT_NE(SnmpGet(SNMP_VERSION_2C, proxied.get(), L".1.3.6.1.2.1.1.5.0", nullptr, 0, value, 256,
                     SNMPGET_AS_STRING),
             SNMP_ERR_SUCCESS);
   g_dwSNMPTimeout = saved;
   EXPECT_STREQ(value, L"unchanged");
}

}  // namespace
