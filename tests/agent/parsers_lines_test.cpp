// The line parsers of the agent's network tables, and the routing-table
// sort and free functions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../../src/agent/list_parsers.h"
#include "hksrv.h"

using namespace hksrv_agent;

namespace {

// The parsers work in place; each case gets its own writable copy.
struct Line {
   explicit Line(const wchar_t *text) : text(text) {}
   wchar_t *get() { return text.data(); }
   std::wstring text;
};

TEST(PrefixMaskTest, PrefixLengthsToMasks) {
   EXPECT_EQ(PrefixLengthToMask(L"24"), 0xFFFFFF00u);
   EXPECT_EQ(PrefixLengthToMask(L"32"), 0xFFFFFFFFu);
   EXPECT_EQ(PrefixLengthToMask(L"0"), 0u);
   EXPECT_EQ(PrefixLengthToMask(L"8"), 0xFF000000u);
   EXPECT_EQ(PrefixLengthToMask(L"16"), 0xFFFF0000u);
   EXPECT_EQ(PrefixLengthToMask(L"31"), 0xFFFFFFFEu);
   EXPECT_EQ(PrefixLengthToMask(L"33"), 0x80000000u);
   EXPECT_EQ(PrefixLengthToMask(L"64"), 0u);
   EXPECT_EQ(PrefixLengthToMask(L"abc"), 0u);
   EXPECT_EQ(PrefixLengthToMask(L""), 0u);
}

TEST(ParseUInt32Test, BehavesLikeA32BitConversion) {
   EXPECT_EQ(ParseUInt32(L"42", 10), 42u);
   EXPECT_EQ(ParseUInt32(L"4294967295", 10), 0xFFFFFFFFu);
   EXPECT_EQ(ParseUInt32(L"4294967296", 10), 0xFFFFFFFFu);
   EXPECT_EQ(ParseUInt32(L"99999999999999999999999", 10), 0xFFFFFFFFu);
   EXPECT_EQ(ParseUInt32(L"-1", 10), 0xFFFFFFFFu);
   EXPECT_EQ(ParseUInt32(L"-2", 10), 0xFFFFFFFEu);
   EXPECT_EQ(ParseUInt32(L"x", 10), 0u);
}

TEST(InterfaceLineTest, FullLineWithSpacesInTheName) {
   Line line(L"3 10.0.0.5/16 6 001122AABBCC Local Area Connection");
   HK_INTERFACE_INFO info;
   ParseInterfaceLine(line.get(), &info);
   EXPECT_EQ(info.ifIndex, 3u);
   EXPECT_EQ(info.ipAddr, 0x0A000005u);
   EXPECT_EQ(info.ipNetMask, 0xFFFF0000u);
   EXPECT_EQ(info.type, 6u);
   const uint8_t mac[6] = {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC};
   EXPECT_EQ(memcmp(info.macAddr, mac, 6), 0);
   EXPECT_STREQ(info.name, L"Local Area Connection");
   EXPECT_STREQ(info.description, L"Local Area Connection");
   EXPECT_EQ(info.reserved1[0] | info.reserved1[1] | info.reserved1[2], 0u);
}

TEST(InterfaceLineTest, PrefixLengthVariants) {
   struct Case {
      const wchar_t *text;
      uint32_t mask;
   } cases[] = {{L"1 10.1.2.3 6 00 n", 0xFFFFFF00u},
                {L"1 10.1.2.3/32 6 00 n", 0xFFFFFFFFu},
                {L"1 10.1.2.3/0 6 00 n", 0u},
                {L"1 10.1.2.3/33 6 00 n", 0x80000000u},
                {L"1 10.1.2.3/ 6 00 n", 0u}};
   for (const Case &c : cases) {
      Line line(c.text);
      HK_INTERFACE_INFO info;
      ParseInterfaceLine(line.get(), &info);
      EXPECT_EQ(info.ipAddr, 0x0A010203u) << c.text;
      EXPECT_EQ(info.ipNetMask, c.mask) << c.text;
   }
}

TEST(InterfaceLineTest, SingleWordIsOnlyAName) {
   Line line(L"loopback");
   HK_INTERFACE_INFO info;
   ParseInterfaceLine(line.get(), &info);
   EXPECT_STREQ(info.name, L"loopback");
   EXPECT_STREQ(info.description, L"loopback");
   EXPECT_EQ(info.ifIndex, 0u);
   EXPECT_EQ(info.ipAddr, 0u);
   EXPECT_EQ(info.ipNetMask, 0u);
   EXPECT_EQ(info.type, 0u);
}

TEST(InterfaceLineTest, ShortLineFillsLeadingFields) {
   Line line(L"7 192.168.0.1/24 eth0");
   HK_INTERFACE_INFO info;
   ParseInterfaceLine(line.get(), &info);
   EXPECT_EQ(info.ifIndex, 7u);
   EXPECT_EQ(info.ipAddr, 0xC0A80001u);
   EXPECT_EQ(info.ipNetMask, 0xFFFFFF00u);
   EXPECT_EQ(info.type, 0u);
   EXPECT_STREQ(info.name, L"eth0");
}

TEST(InterfaceLineTest, DoubleSpaceMakesAnEmptyField) {
   Line line(L"7  6 001122334455 eth1");
   HK_INTERFACE_INFO info;
   ParseInterfaceLine(line.get(), &info);
   EXPECT_EQ(info.ifIndex, 7u);
   EXPECT_EQ(info.ipAddr, 0xFFFFFFFFu);  // what inet_addr_w makes of ""
   EXPECT_EQ(info.ipNetMask, 0xFFFFFF00u);
   EXPECT_EQ(info.type, 6u);
   EXPECT_EQ(info.macAddr[5], 0x55);
   EXPECT_STREQ(info.name, L"eth1");
}

TEST(InterfaceLineTest, LongNameIsCutTo255Characters) {
   std::wstring text = L"1 1.2.3.4/8 6 000000000000 " + std::wstring(300, L'n');
   Line line(text.c_str());
   HK_INTERFACE_INFO info;
   ParseInterfaceLine(line.get(), &info);
   EXPECT_EQ(wcslen(info.name), 255u);
   EXPECT_EQ(wcslen(info.description), 255u);
}

TEST(InterfaceLineTest, NullLineYieldsZeros) {
   HK_INTERFACE_INFO info;
   memset(&info, 0x5A, sizeof(info));
   ParseInterfaceLine(nullptr, &info);
   HK_INTERFACE_INFO zero;
   memset(&zero, 0, sizeof(zero));
   EXPECT_EQ(memcmp(&info, &zero, sizeof(info)), 0);
}

TEST(ArpLineTest, OneSpaceBetweenFields) {
   Line line(L"00112233AABB 192.168.1.10 4");
   ARP_ENTRY entry;
   ParseArpLine(line.get(), &entry);
   const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0xAA, 0xBB};
   EXPECT_EQ(memcmp(entry.macAddr, mac, 6), 0);
   EXPECT_EQ(entry.ipAddr, 0xC0A8010Au);
   EXPECT_EQ(entry.ifIndex, 4u);
}

TEST(ArpLineTest, SeveralSpacesReadTheSame) {
   Line line(L"00112233AABB   192.168.1.10 4");
   ARP_ENTRY entry;
   ParseArpLine(line.get(), &entry);
   EXPECT_EQ(entry.macAddr[5], 0xBB);
   EXPECT_EQ(entry.ipAddr, 0xC0A8010Au);
   EXPECT_EQ(entry.ifIndex, 4u);
}

TEST(ArpLineTest, TwentyCharactersParseNineteenDoNot) {
   Line twenty(L"0A0B0C0D0E0F 1.1.1.1");
   ASSERT_EQ(twenty.text.size(), 20u);
   ARP_ENTRY entry;
   ParseArpLine(twenty.get(), &entry);
   EXPECT_EQ(entry.macAddr[0], 0x0A);
   EXPECT_EQ(entry.macAddr[5], 0x0F);
   EXPECT_EQ(entry.ipAddr, 0x01010101u);
   EXPECT_EQ(entry.ifIndex, 0u);

   Line nineteen(L"0A0B0C0D0E0F 1.1.1.");
   ASSERT_EQ(nineteen.text.size(), 19u);
   memset(&entry, 0x5A, sizeof(entry));
   ParseArpLine(nineteen.get(), &entry);
   ARP_ENTRY zero;
   memset(&zero, 0, sizeof(zero));
   EXPECT_EQ(memcmp(&entry, &zero, sizeof(entry)), 0);
}

TEST(ArpLineTest, NonHexDigitsReadAsZero) {
   Line line(L"zz11zz33zz55 10.0.0.1 2");
   ARP_ENTRY entry;
   ParseArpLine(line.get(), &entry);
   const uint8_t mac[6] = {0x00, 0x11, 0x00, 0x33, 0x00, 0x55};
   EXPECT_EQ(memcmp(entry.macAddr, mac, 6), 0);
   EXPECT_EQ(entry.ifIndex, 2u);
}

TEST(ArpLineTest, NullLineYieldsZeros) {
   ARP_ENTRY entry;
   memset(&entry, 0x5A, sizeof(entry));
   ParseArpLine(nullptr, &entry);
   ARP_ENTRY zero;
   memset(&zero, 0, sizeof(zero));
   EXPECT_EQ(memcmp(&entry, &zero, sizeof(entry)), 0);
}

TEST(RouteLineTest, DefaultRoute) {
   Line line(L"0.0.0.0/0 192.168.1.1 2 4");
   ROUTE route;
   ParseRouteLine(line.get(), &route);
   EXPECT_EQ(route.destination, 0u);
   EXPECT_EQ(route.netMask, 0u);
   EXPECT_EQ(route.nextHop, 0xC0A80101u);
   EXPECT_EQ(route.ifIndex, 2u);
   EXPECT_EQ(route.routeType, 4u);
}

TEST(RouteLineTest, MissingPrefixAndHostRoute) {
   Line plain(L"10.20.30.0 10.20.30.1 5 3");
   ROUTE route;
   ParseRouteLine(plain.get(), &route);
   EXPECT_EQ(route.destination, 0x0A141E00u);
   EXPECT_EQ(route.netMask, 0xFFFFFF00u);
   Line host(L"10.20.30.7/32 0.0.0.0 5 3");
   ParseRouteLine(host.get(), &route);
   EXPECT_EQ(route.destination, 0x0A141E07u);
   EXPECT_EQ(route.netMask, 0xFFFFFFFFu);
   EXPECT_EQ(route.nextHop, 0u);
}

TEST(RouteLineTest, LineWithoutSpacesOnlyGivesTheType) {
   Line line(L"10.0.0.0/8");
   ROUTE route;
   ParseRouteLine(line.get(), &route);
   EXPECT_EQ(route.destination, 0u);
   EXPECT_EQ(route.netMask, 0u);
   EXPECT_EQ(route.nextHop, 0u);
   EXPECT_EQ(route.ifIndex, 0u);
   EXPECT_EQ(route.routeType, 10u);
}

TEST(RouteLineTest, NullLineYieldsZeros) {
   ROUTE route;
   memset(&route, 0x5A, sizeof(route));
   ParseRouteLine(nullptr, &route);
   ROUTE zero;
   memset(&zero, 0, sizeof(zero));
   EXPECT_EQ(memcmp(&route, &zero, sizeof(route)), 0);
}

TEST(SortRoutingTableTest, LargerMaskFirst) {
   auto *table = static_cast<ROUTING_TABLE *>(malloc(sizeof(ROUTING_TABLE)));
   table->numEntries = 4;
   table->routes = static_cast<ROUTE *>(calloc(4, sizeof(ROUTE)));
   const uint32_t masks[4] = {0xFFFFFF00u, 0xFFFFFFFFu, 0u, 0xFF000000u};
   for (int i = 0; i < 4; i++) {
      table->routes[i].netMask = masks[i];
      table->routes[i].ifIndex = (uint32_t)i;
   }
   SortRoutingTable(table);
   EXPECT_EQ(table->routes[0].netMask, 0xFFFFFFFFu);
   EXPECT_EQ(table->routes[1].netMask, 0xFFFFFF00u);
   EXPECT_EQ(table->routes[2].netMask, 0xFF000000u);
   EXPECT_EQ(table->routes[3].netMask, 0u);
   // Whole records move, not only their masks.
   EXPECT_EQ(table->routes[0].ifIndex, 1u);
   EXPECT_EQ(table->routes[3].ifIndex, 2u);
   DestroyRoutingTable(table);
}

TEST(SortRoutingTableTest, EmptyAndNegativeCountsAreLeftAlone) {
   ROUTING_TABLE table = {0, nullptr};
   SortRoutingTable(&table);
   table.numEntries = -3;
   SortRoutingTable(&table);
   EXPECT_EQ(table.routes, nullptr);
}

TEST(DestroyTest, NullIsIgnored) {
   DestroyRoutingTable(nullptr);
   DestroyArpCache(nullptr);
   auto *cache = static_cast<ARP_CACHE *>(malloc(sizeof(ARP_CACHE)));
   cache->numEntries = 0;
   cache->entries = nullptr;
   DestroyArpCache(cache);  // a record without an array
   SUCCEED();
}

}  // namespace
