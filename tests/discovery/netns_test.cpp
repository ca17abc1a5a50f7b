// getInterfaces against snmpd in a network namespace that this test makes
// for itself, where the loopback interface gets a second address and a veth
// pair adds two interfaces with MAC addresses. Nothing leaves the namespace.
// A process of its own: the namespace is the test thread's from then on.
#include <gtest/gtest.h>

#include <sched.h>

#include <cerrno>
#include <cstring>

#include "hksrv.h"
#include "mib_view.h"
#include "snmp_agents.h"
#include "snmp_client_util.h"

using namespace discoverytest;
using namespace hktest;

namespace {

::testing::AssertionResult Ip(const std::vector<std::string> &args) {
   std::string ip = FindSnmpProgram({"ip"});
   if (ip.empty()) {
      return ::testing::AssertionFailure() << "the ip program (iproute2) is not installed";
   }
   std::vector<std::string> argv = {ip};
   argv.insert(argv.end(), args.begin(), args.end());
   SnmpCommandResult result = RunSnmpCommand(argv, {}, 10000);
   if (result.exitCode != 0) {
      return ::testing::AssertionFailure() << "ip failed: " << result.errorText;
   }
   return ::testing::AssertionSuccess();
}

TEST(DiscoveryNetns, InterfaceWithTwoAddressesGivesTwoRecords) {
   if (unshare(CLONE_NEWNET) != 0) {
      GTEST_SKIP() << "cannot make a network namespace (" << strerror(errno)
                   << "); the recordings cover the two-address rule";
   }
   ASSERT_TRUE(Ip({"link", "set", "lo", "up"}));
   ASSERT_TRUE(Ip({"addr", "add", "127.0.0.2/8", "dev", "lo"}));
   ASSERT_TRUE(Ip({"link", "add", "hkv0", "type", "veth", "peer", "name", "hkv1"}));
   ASSERT_TRUE(Ip({"addr", "add", "127.10.0.1/16", "dev", "hkv0"}));

   SnmpdFixture agent;
   ASSERT_TRUE(agent.start()) << agent.lastError();
   MibView view = ReadDevice(agent);
   auto transport = MakeLoopbackTransport(agent.port(), "public");
   NetworkDeviceDriver driver;
   std::unique_ptr<InterfaceList> list(driver.getInterfaces(transport.get(), nullptr, 0, true));
   ASSERT_NE(list, nullptr);
   EXPECT_TRUE(SameInterfaces(ExpectedInterfaces(view, 0, true), list.get()));

   // lo, hkv1, hkv0 and the copy of lo for its second address, last.
   ASSERT_EQ(list->getSize(), 4);
   const HK_INTERFACE_INFO *lo = list->get(0);
   EXPECT_STREQ(lo->name, L"lo");
   EXPECT_EQ(lo->type, 24u);
   EXPECT_EQ(lo->ipAddr, 0x7F000001u);
   EXPECT_EQ(lo->ipNetMask, 0xFF000000u);
   const HK_INTERFACE_INFO *second = list->get(3);
   EXPECT_EQ(second->ifIndex, lo->ifIndex);
   EXPECT_STREQ(second->name, L"lo");
   EXPECT_EQ(second->ipAddr, 0x7F000002u);
   EXPECT_EQ(second->ipNetMask, 0xFF000000u);

   int veths = 0;
   for (int i = 1; i <= 2; i++) {
      const HK_INTERFACE_INFO *veth = list->get(i);
      SCOPED_TRACE(Describe(*veth));
      EXPECT_EQ(veth->type, 6u);
      static const uint8_t zero[6] = {0};
      EXPECT_NE(memcmp(veth->macAddr, zero, 6), 0);
      if (wcscmp(veth->name, L"hkv0") == 0) {
         veths++;
         EXPECT_EQ(veth->ipAddr, 0x7F0A0001u);
         EXPECT_EQ(veth->ipNetMask, 0xFFFF0000u);
      } else if (wcscmp(veth->name, L"hkv1") == 0) {
         veths++;
         EXPECT_EQ(veth->ipAddr, 0u);
      }
   }
   EXPECT_EQ(veths, 2);
}

}  // namespace
