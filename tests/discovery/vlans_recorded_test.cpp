// getVlans against snmpsimd serving recorded devices: the switch's six
// VLANs under two time marks, and the edges of the port bitmaps.
#include <gtest/gtest.h>

#include "discovery_fixture.h"

using namespace discoverytest;

namespace {

std::vector<uint32_t> Ports(const VlanInfo *vlan) {
   return std::vector<uint32_t>(vlan->getPorts(), vlan->getPorts() + vlan->getNumPorts());
}

std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
   std::vector<uint32_t> ports;
   for (uint32_t p = first; p <= last; p++) {
      ports.push_back(p);
   }
   return ports;
}

std::vector<uint32_t> Concat(std::initializer_list<std::vector<uint32_t>> parts) {
   std::vector<uint32_t> all;
   for (const auto &part : parts) {
      all.insert(all.end(), part.begin(), part.end());
   }
   return all;
}

TEST_F(DiscoveryRecorded, SwitchVlansAsTheRecordingSaysThem) {
   auto transport = device("switch48");
   std::unique_ptr<VlanList> vlans(driver.getVlans(transport.get(), nullptr));
   ASSERT_NE(vlans, nullptr);
   EXPECT_TRUE(SameVlans(ExpectedVlans(View("switch48")), vlans.get()));

   ASSERT_EQ(vlans->getSize(), 6);
   struct Expected {
      int id;
      const wchar_t *name;
      std::vector<uint32_t> ports;
   } expected[] = {
       {1, L"default", Range(1, 52)},
       // Listed again under the second time mark: appended, duplicates kept.
       {10, L"users", Concat({Range(1, 12), {49, 50}, {12, 49, 50}})},
       // Its second row's bitmap is empty.
       {20, L"voice", Concat({Range(13, 24), {49}})},
       {30, L"servers", {25, 27, 29, 31, 49, 50, 51, 52}},
       {100, L"mgmt", {48, 52}},
       {4094, L"guest wifi", Concat({{8}, Range(33, 40)})},
   };
   for (int i = 0; i < 6; i++) {
      SCOPED_TRACE(expected[i].id);
      const VlanInfo *vlan = vlans->get(i);
      EXPECT_EQ(vlan->getVlanId(), expected[i].id);
      EXPECT_STREQ(vlan->getName(), expected[i].name);
      EXPECT_EQ(vlan->getPortReferenceMode(), 2);
      EXPECT_EQ(Ports(vlan), expected[i].ports);
      EXPECT_EQ(vlan->getIfIndexes(), nullptr);
      EXPECT_EQ(vlan->getIfIds(), nullptr);
   }
   // VLAN 999 has egress rows but no static row.
   EXPECT_EQ(vlans->findById(999), nullptr);
   // VLAN 1's 52 ports fit the first 64 slots; the list was made with 8.
   EXPECT_EQ(vlans->get(0)->getAllocated(), 64);
   EXPECT_EQ(vlans->getAllocated(), 8);
}

TEST_F(DiscoveryRecorded, BitmapEdges) {
   auto transport = device("vlan_edges");
   std::unique_ptr<VlanList> vlans(driver.getVlans(transport.get(), nullptr));
   ASSERT_NE(vlans, nullptr);
   EXPECT_TRUE(SameVlans(ExpectedVlans(View("vlan_edges")), vlans.get()));
   ASSERT_EQ(vlans->getSize(), 4);

   // 0x80 is port 1; the 4100-byte row of the second time mark gives port 1
   // and port 32768 (bit 0x01 of byte 4096), nothing of its last 4 bytes.
   const VlanInfo *two = vlans->findById(2);
   EXPECT_EQ(Ports(two), (std::vector<uint32_t>{1, 1, 32768}));
   // A name longer than 255 characters is cut to 255.
   EXPECT_EQ(std::wstring(two->getName()), std::wstring(255, L'N'));
   // 0x01 is port 8, here under both time marks.
   EXPECT_EQ(Ports(vlans->findById(3)), (std::vector<uint32_t>{8, 8}));
   // A second byte 0x40 is port 10.
   EXPECT_EQ(Ports(vlans->findById(4)), std::vector<uint32_t>{10});
   // FF 00 01: ports 1 to 8 and 24.
   EXPECT_EQ(Ports(vlans->findById(5)), Concat({Range(1, 8), {24}}));
   // VLAN 6 has no static row: its egress row is ignored.
   EXPECT_EQ(vlans->findById(6), nullptr);
}

TEST_F(DiscoveryRecorded, DeviceWithoutQBridgeGivesAnEmptyList) {
   for (const char *community : {"no_tables", "driver_edges"}) {
      SCOPED_TRACE(community);
      auto transport = device(community);
      std::unique_ptr<VlanList> vlans(driver.getVlans(transport.get(), nullptr));
      ASSERT_NE(vlans, nullptr);
      EXPECT_EQ(vlans->getSize(), 0);
   }
}

TEST_F(DiscoveryRecorded, VlansOverSnmpV1) {
   // The static table is not the last in the view, so SNMPv1 walks end by
   // leaving their subtree, as SNMPv2c ones do.
   auto transport = device("switch48", SNMP_VERSION_1);
   std::unique_ptr<VlanList> vlans(driver.getVlans(transport.get(), nullptr));
   ASSERT_NE(vlans, nullptr);
   EXPECT_TRUE(SameVlans(ExpectedVlans(View("switch48")), vlans.get()));
}

}  // namespace
