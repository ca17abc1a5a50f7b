// One snmpsimd per test process serving every discovery recording of
// tests/data (each under its own community), and the driver under test.
#ifndef DISCOVERY_FIXTURE_H
#define DISCOVERY_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hksrv.h"
#include "mib_view.h"
#include "snmp_agents.h"
#include "snmp_client_util.h"

class DiscoveryRecorded : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_agent = new hktest::SnmpSimFixture();
      std::vector<std::string> paths;
      for (const char *name :
           {"switch48", "driver_edges", "ifnumber_zero", "ifnumber_negative", "ifnumber_5000",
            "ifnumber_4096", "ifnumber_text", "descr_gap", "no_tables", "vlan_edges"}) {
         paths.push_back(Recording(name));
      }
      ASSERT_TRUE(s_agent->start(paths)) << s_agent->lastError();
   }
   static void TearDownTestSuite() {
      delete s_agent;
      s_agent = nullptr;
   }
   void SetUp() override { ASSERT_NE(s_agent, nullptr); }

   static std::string Recording(const std::string &name) {
      return std::string(HK_TEST_DATA_DIR) + "/" + name + ".snmprec";
   }
   static discoverytest::MibView View(const std::string &name) {
      discoverytest::MibView view;
      EXPECT_TRUE(discoverytest::LoadRecording(Recording(name), &view)) << name;
      return view;
   }
   std::unique_ptr<SNMP_UDPTransport> device(const std::string &community,
                                             uint32_t version = SNMP_VERSION_2C) {
      auto transport = hktest::MakeLoopbackTransport(s_agent->port(), community, version);
      EXPECT_NE(transport, nullptr);
      return transport;
   }

   static inline hktest::SnmpSimFixture *s_agent = nullptr;
   NetworkDeviceDriver driver;
};

#endif
