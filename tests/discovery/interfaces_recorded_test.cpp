// getInterfaces against snmpsimd serving recorded devices: a 48-port switch
// with aliases and several addresses per interface, and devices built to
// sit at the edges of the name composition, the fallbacks and the list's
// capacity.
#include <gtest/gtest.h>

#include <cstring>

#include "discovery_fixture.h"

using namespace discoverytest;
using namespace hktest;

namespace {

std::wstring Repeat(wchar_t c, size_t n) {
   return std::wstring(n, c);
}

bool MacIs(const HK_INTERFACE_INFO *record, std::initializer_list<uint8_t> bytes) {
   return memcmp(record->macAddr, std::vector<uint8_t>(bytes).data(), 6) == 0;
}

TEST(DiscoveryGeneric, GenericDriverAcceptsEveryDevice) {
   NetworkDeviceDriver driver;
   EXPECT_STREQ(driver.getName(), L"GENERIC");
   EXPECT_STREQ(driver.getVersion(), L"1.2.2");
   EXPECT_EQ(driver.isPotentialDevice(L".1.3.6.1.4.1.99999.48"), 1);
   EXPECT_EQ(driver.isPotentialDevice(L""), 1);
   // No request is made: a transport to nowhere will do.
   EXPECT_TRUE(driver.isDeviceSupported(nullptr, L".1.3.6.1.4.1.9.1.1"));
   StringMap attributes;
   driver.analyzeDevice(nullptr, L".1.3.6.1.4.1.9.1.1", &attributes);
   EXPECT_EQ(attributes.size(), 0);
}

TEST_F(DiscoveryRecorded, SwitchInterfacesForEveryAliasMode) {
   MibView view = View("switch48");
   auto transport = device("switch48");
   const wchar_t *port1[] = {L"Gi1/0/1", L"Uplink to core", L"Uplink to core (Gi1/0/1)",
                             L"Gi1/0/1 (Uplink to core)", L"Gi1/0/1"};
   for (int useAliases = 0; useAliases <= 4; useAliases++) {
      SCOPED_TRACE(useAliases);
      std::unique_ptr<InterfaceList> list(
          driver.getInterfaces(transport.get(), nullptr, useAliases, true));
      ASSERT_NE(list, nullptr);
      EXPECT_TRUE(SameInterfaces(ExpectedInterfaces(view, useAliases, true), list.get()));

      // 57 interfaces and Vlan20's second address.
      ASSERT_EQ(list->getSize(), 58);
      const HK_INTERFACE_INFO *first = list->get(0);
      EXPECT_EQ(first->ifIndex, 1u);
      EXPECT_STREQ(first->name, port1[useAliases]);
      EXPECT_STREQ(first->description, L"GigabitEthernet1/0/1");
      EXPECT_EQ(first->type, 6u);
      EXPECT_TRUE(MacIs(first, {0x00, 0x1A, 0x2B, 0x3C, 0x00, 0x01}));
      EXPECT_EQ(first->ipAddr, 0u);

      // Blanks around an alias are stripped; an empty or absent alias
      // leaves the base name.
      const HK_INTERFACE_INFO *printer = list->findByIfIndex(2);
      if (useAliases == 2) {
         EXPECT_STREQ(printer->name, L"Printer 2nd floor (Gi1/0/2)");
      }
      if (useAliases >= 1 && useAliases <= 3) {
         EXPECT_STREQ(list->findByIfIndex(3)->name, L"Gi1/0/3");
         EXPECT_STREQ(list->findByIfIndex(47)->name, L"Gi1/0/47");
      }

      const HK_INTERFACE_INFO *loopback = list->findByIfIndex(1000);
      EXPECT_EQ(loopback->type, 24u);
      EXPECT_EQ(loopback->ipAddr, 0xC0000201u);  // 192.0.2.1
      EXPECT_EQ(loopback->ipNetMask, 0xFFFFFFFFu);
      EXPECT_TRUE(MacIs(loopback, {0, 0, 0, 0, 0, 0}));

      // 198.51.100.7 has no mask and 203.0.113.9 no interface: both dropped.
      const HK_INTERFACE_INFO *vlan10 = list->findByIfIndex(2010);
      EXPECT_EQ(vlan10->ipAddr, 0x0A0A0001u);
      EXPECT_EQ(vlan10->ipNetMask, 0xFFFFFF00u);

      // Two addresses: the interface's own record and a copy at the end.
      const HK_INTERFACE_INFO *vlan20 = list->findByIfIndex(2020);
      EXPECT_EQ(vlan20->ipAddr, 0x0A140001u);
      EXPECT_EQ(vlan20->ipNetMask, 0xFFFFFF00u);
      const HK_INTERFACE_INFO *copy = list->get(57);
      EXPECT_EQ(copy->ifIndex, 2020u);
      EXPECT_EQ(copy->ipAddr, 0xAC101401u);  // 172.16.20.1
      EXPECT_EQ(copy->ipNetMask, 0xFFFF0000u);
      EXPECT_STREQ(copy->name, vlan20->name);
      EXPECT_STREQ(copy->description, L"Vlan20");
      EXPECT_EQ(copy->type, 53u);
      EXPECT_EQ(memcmp(copy->macAddr, vlan20->macAddr, 6), 0);
   }

   // Without ifXTable the base name is ifDescr, though the device has ifName.
   for (int useAliases : {0, 3}) {
      SCOPED_TRACE(useAliases);
      std::unique_ptr<InterfaceList> list(
          driver.getInterfaces(transport.get(), nullptr, useAliases, false));
      ASSERT_NE(list, nullptr);
      EXPECT_TRUE(SameInterfaces(ExpectedInterfaces(view, useAliases, false), list.get()));
      EXPECT_STREQ(list->get(0)->name, useAliases == 0 ? L"GigabitEthernet1/0/1"
                                                       : L"GigabitEthernet1/0/1 (Uplink to core)");
   }
}

TEST_F(DiscoveryRecorded, EdgesOfNamesTypesAndAddresses) {
   auto transport = device("driver_edges");
   MibView view = View("driver_edges");
   for (int useAliases : {-1, 0, 1, 2, 3, 4, 5}) {
      for (bool useIfXTable : {true, false}) {
         SCOPED_TRACE("useAliases " + std::to_string(useAliases) + " useIfXTable " +
                      std::to_string(useIfXTable));
         std::unique_ptr<InterfaceList> list(
             driver.getInterfaces(transport.get(), nullptr, useAliases, useIfXTable));
         EXPECT_TRUE(SameInterfaces(ExpectedInterfaces(view, useAliases, useIfXTable), list.get()));
      }
   }

   std::unique_ptr<InterfaceList> two(driver.getInterfaces(transport.get(), nullptr, 2, true));
   ASSERT_NE(two, nullptr);
   ASSERT_EQ(two->getSize(), 7);
   EXPECT_STREQ(two->get(0)->name, L"Uplink (Gi0/1)");
   // An alias of blanks counts as none.
   EXPECT_STREQ(two->get(1)->name, L"Gi0/2");
   EXPECT_TRUE(MacIs(two->get(1), {0, 0, 0, 0, 0, 0}));  // empty ifPhysAddress
   // No ifName, ifAlias, ifType or ifPhysAddress.
   const HK_INTERFACE_INFO *bare = two->get(2);
   EXPECT_STREQ(bare->name, L"GigabitEthernet0/3");
   EXPECT_EQ(bare->type, 1u);
   EXPECT_TRUE(MacIs(bare, {0, 0, 0, 0, 0, 0}));
   // 253 characters: no room for the suffix.
   EXPECT_EQ(two->get(3)->name, Repeat(L'A', 253));
   EXPECT_TRUE(MacIs(two->get(3), {0x01, 0x02, 0x03, 0, 0, 0}));  // a short address
   EXPECT_EQ(two->get(3)->ipAddr, 0xAC100004u);
   EXPECT_EQ(two->get(3)->ipNetMask, 0xFFF00000u);
   // 252 characters: the suffix is cut at the 255th character.
   EXPECT_EQ(two->get(4)->name, Repeat(L'B', 252) + L" (B");
   EXPECT_EQ(two->get(4)->type, 117u);
   EXPECT_TRUE(MacIs(two->get(4), {2, 2, 2, 2, 2, 2}));  // a long one: its first six bytes
   // ifType answered as text lands its first character, and nothing else.
   EXPECT_EQ(two->get(5)->type, static_cast<uint32_t>(L'e'));
   EXPECT_STREQ(two->get(5)->name, L"P6");
   // Interface 1's second address, appended last.
   EXPECT_EQ(two->get(0)->ipAddr, 0x0A000001u);
   EXPECT_EQ(two->get(0)->ipNetMask, 0xFF000000u);
   EXPECT_EQ(two->get(6)->ifIndex, 1u);
   EXPECT_EQ(two->get(6)->ipAddr, 0xC0A80101u);
   EXPECT_EQ(two->get(6)->ipNetMask, 0xFFFFFF00u);
   EXPECT_STREQ(two->get(6)->name, L"Uplink (Gi0/1)");
   // 10.5.5.5 (no mask), 10.6.6.6 (no ifIndex), 10.9.9.9 (no interface).
   EXPECT_EQ(two->get(1)->ipAddr, 0u);

   std::unique_ptr<InterfaceList> three(driver.getInterfaces(transport.get(), nullptr, 3, true));
   ASSERT_NE(three, nullptr);
   EXPECT_STREQ(three->get(0)->name, L"Gi0/1 (Uplink)");
   EXPECT_EQ(three->get(3)->name, L"P4 (" + Repeat(L'A', 251));
   std::unique_ptr<InterfaceList> one(driver.getInterfaces(transport.get(), nullptr, 1, true));
   EXPECT_STREQ(one->get(0)->name, L"Uplink");
   EXPECT_STREQ(one->get(1)->name, L"Gi0/2");
   for (int mode : {-1, 0, 4, 5}) {
      std::unique_ptr<InterfaceList> plain(
          driver.getInterfaces(transport.get(), nullptr, mode, true));
      EXPECT_STREQ(plain->get(0)->name, L"Gi0/1");
   }
}

TEST_F(DiscoveryRecorded, DebugLinesOfAnInterfaceRead) {
   auto transport = device("driver_edges");
   int saved = g_nDebugLevel;
   g_nDebugLevel = 6;
   LogCapture log;
   std::unique_ptr<InterfaceList> list(driver.getInterfaces(transport.get(), nullptr, 2, true));
   g_nDebugLevel = saved;
   ASSERT_NE(list, nullptr);

   wchar_t expected[4][256];
   hk_snwprintf(expected[0], 256, L"NetworkDeviceDriver::getInterfaces(%p,%d,%s)",
                static_cast<void *>(transport.get()), 2, L"true");
   hk_snwprintf(expected[1], 256,
                L"NetworkDeviceDriver::getInterfaces(%p): SNMP GET %s failed (error %d)",
                static_cast<void *>(transport.get()), L".1.3.6.1.2.1.4.20.1.3.10.5.5.5", 6);
   hk_snwprintf(expected[2], 256,
                L"NetworkDeviceDriver::getInterfaces(%p): SNMP GET %s failed (error %d)",
                static_cast<void *>(transport.get()), L".1.3.6.1.2.1.4.20.1.2.10.6.6.6", 6);
   hk_snwprintf(expected[3], 256, L"NetworkDeviceDriver::getInterfaces(%p): completed, ifList=%p",
                static_cast<void *>(transport.get()), static_cast<void *>(list.get()));
   std::vector<std::wstring> lines;
   for (const CapturedLogEntry &entry : log.withId(MSG_DEBUG)) {
      EXPECT_EQ(entry.type, EVENTLOG_DEBUG_TYPE);
      lines.push_back(entry.inserts.at(0));
   }
   EXPECT_EQ(lines,
             (std::vector<std::wstring>{expected[0], expected[1], expected[2], expected[3]}));
   // The address walk's answers are not errors of the event log.
   EXPECT_TRUE(log.withId(25).empty());
}

TEST_F(DiscoveryRecorded, CapacityComesFromIfNumberWithinBounds) {
   struct Case {
      const char *community;
      int size;
      int allocated;
   } cases[] = {{"ifnumber_zero", 70, 96},
                {"ifnumber_negative", 2, 64},
                {"ifnumber_5000", 2, 64},
                {"ifnumber_4096", 2, 4096},
                {"switch48", 58, 89}};
   for (const Case &c : cases) {
      SCOPED_TRACE(c.community);
      auto transport = device(c.community);
      std::unique_ptr<InterfaceList> list(driver.getInterfaces(transport.get(), nullptr, 0, true));
      ASSERT_NE(list, nullptr);
      EXPECT_EQ(list->getSize(), c.size);
      EXPECT_EQ(list->getAllocated(), c.allocated);
      EXPECT_EQ(list->get(c.size - 1)->ifIndex != 0, true);
   }
   // Every interface of the 70 is kept, in walk order.
   auto transport = device("ifnumber_zero");
   std::unique_ptr<InterfaceList> list(driver.getInterfaces(transport.get(), nullptr, 0, true));
   for (int i = 0; i < 70; i++) {
      EXPECT_EQ(list->get(i)->ifIndex, static_cast<uint32_t>(i + 1));
   }
}

TEST_F(DiscoveryRecorded, IfNumberAnsweredAsTextIsReadSafely) {
   // The text path writes up to the buffer's size in characters: the read
   // must not run past the integer (a memory error under the sanitizers).
   auto transport = device("ifnumber_text");
   std::unique_ptr<InterfaceList> list(driver.getInterfaces(transport.get(), nullptr, 0, true));
   ASSERT_NE(list, nullptr);
   EXPECT_EQ(list->getSize(), 2);
   EXPECT_EQ(list->getAllocated(), static_cast<int>(L't'));  // the text's first character
   EXPECT_STREQ(list->get(1)->name, L"i2");
}

TEST_F(DiscoveryRecorded, MissingDescriptionEndsTheInterfaceLoopNotTheAddresses) {
   auto transport = device("descr_gap");
   std::unique_ptr<InterfaceList> list(driver.getInterfaces(transport.get(), nullptr, 2, true));
   ASSERT_NE(list, nullptr);
   EXPECT_TRUE(SameInterfaces(ExpectedInterfaces(View("descr_gap"), 2, true), list.get()));
   ASSERT_EQ(list->getSize(), 4);
   EXPECT_STREQ(list->get(1)->name, L"e2");
   EXPECT_EQ(list->get(1)->type, 6u);
   for (int i : {2, 3}) {
      const HK_INTERFACE_INFO *bare = list->get(i);
      EXPECT_EQ(bare->ifIndex, static_cast<uint32_t>(i + 1));
      EXPECT_STREQ(bare->name, L"");
      EXPECT_STREQ(bare->description, L"");
      EXPECT_EQ(bare->type, 0u);
      EXPECT_TRUE(MacIs(bare, {0, 0, 0, 0, 0, 0}));
   }
   EXPECT_EQ(list->get(0)->ipAddr, 0x0A000101u);
   EXPECT_EQ(list->get(2)->ipAddr, 0x0A000301u);
   EXPECT_EQ(list->get(3)->ipAddr, 0x0A000401u);
}

TEST_F(DiscoveryRecorded, DeviceWithoutAddressTable) {
   for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
      SCOPED_TRACE(version);
      auto transport = device("no_tables", version);
      std::unique_ptr<InterfaceList> list(driver.getInterfaces(transport.get(), nullptr, 0, true));
      ASSERT_NE(list, nullptr);
      ASSERT_EQ(list->getSize(), 2);
      EXPECT_EQ(list->get(0)->ipAddr, 0u);
      EXPECT_EQ(list->get(1)->ipAddr, 0u);
      EXPECT_STREQ(list->get(1)->name, L"e1");
   }
}

TEST_F(DiscoveryRecorded, UnreadableIfNumberGivesNoList) {
   auto transport = device("vlan_edges");  // no IF-MIB at all
   int saved = g_nDebugLevel;
   g_nDebugLevel = 6;
   LogCapture log;
   EXPECT_EQ(driver.getInterfaces(transport.get(), nullptr, 0, true), nullptr);
   g_nDebugLevel = saved;
   auto lines = log.withId(MSG_DEBUG);
   ASSERT_EQ(lines.size(), 2u);
   wchar_t expected[512];
   hk_snwprintf(expected, 512,
                L"NetworkDeviceDriver::getInterfaces(%p): SNMP GET .1.3.6.1.2.1.2.1.0 failed (%s)",
                static_cast<void *>(transport.get()), SNMPGetErrorText(SNMP_ERR_NO_SUCH_OBJECT));
   EXPECT_EQ(lines[1].inserts.at(0), expected);
}

}  // namespace
