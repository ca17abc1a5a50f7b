// The network lists: kernel text in, lines out, and every line read back by
// an independent reader that follows the server library's documented
// layouts (fields split at single spaces, prefix to mask, MAC hex).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <map>

#include "netlists.h"

using namespace hkagent;

namespace {

// ---- an independent reader of the three layouts

std::vector<std::string> SplitSingleSpaces(const std::string &line) {
   std::vector<std::string> fields;
   size_t start = 0;
   for (;;) {
      size_t space = line.find(' ', start);
      fields.push_back(
          line.substr(start, space == std::string::npos ? std::string::npos : space - start));
      if (space == std::string::npos)
         return fields;
      start = space + 1;
   }
}

uint32_t Mask(const std::string &prefix) {
   unsigned long n = strtoul(prefix.c_str(), nullptr, 10);
   return n == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> (n % 32));
}

bool ParseAddress(const std::string &text, uint32_t *address) {
   struct in_addr in;
   if (inet_pton(AF_INET, text.c_str(), &in) != 1)
      return false;
   *address = ntohl(in.s_addr);
   return true;
}

bool IsDecimal(const std::string &text) {
   return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool IsMac(const std::string &text) {
   return text.size() == 12 && text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

struct AddressField {
   uint32_t address = 0;
   uint32_t mask = 0;
};

bool ParseAddressField(const std::string &text, AddressField *field) {
   size_t slash = text.find('/');
   std::string prefix = slash == std::string::npos ? "24" : text.substr(slash + 1);
   if (!IsDecimal(prefix) || strtoul(prefix.c_str(), nullptr, 10) > 32)
      return false;
   field->mask = Mask(prefix);
   return ParseAddress(text.substr(0, slash), &field->address);
}

struct InterfaceLine {
   uint32_t index;
   AddressField addr;
   uint32_t type;
   std::string mac;
   std::string name;
};

::testing::AssertionResult ReadInterfaceLine(const std::string &line, InterfaceLine *out) {
   std::vector<std::string> f = SplitSingleSpaces(line);
   if (f.size() < 5)
      return ::testing::AssertionFailure() << "too few fields: " << line;
   std::string name = line.substr(f[0].size() + f[1].size() + f[2].size() + f[3].size() + 4);
   if (!IsDecimal(f[0]) || !ParseAddressField(f[1], &out->addr) || !IsDecimal(f[2]) ||
       !IsMac(f[3]) || name.empty())
      return ::testing::AssertionFailure() << "bad interface line: " << line;
   out->index = (uint32_t)strtoul(f[0].c_str(), nullptr, 10);
   out->type = (uint32_t)strtoul(f[2].c_str(), nullptr, 10);
   out->mac = f[3];
   out->name = name;
   return ::testing::AssertionSuccess();
}

struct ArpLine {
   std::string mac;
   uint32_t address;
   uint32_t index;
};

::testing::AssertionResult ReadArpLine(const std::string &line, ArpLine *out) {
   if (line.size() < 20 || !IsMac(line.substr(0, 12)) || line[12] != ' ')
      return ::testing::AssertionFailure() << "bad ARP line: " << line;
   size_t start = line.find_first_not_of(' ', 12);
   size_t space = line.find(' ', start);
   if (space == std::string::npos ||
       !ParseAddress(line.substr(start, space - start), &out->address) ||
       !IsDecimal(line.substr(space + 1)))
      return ::testing::AssertionFailure() << "bad ARP line: " << line;
   out->mac = line.substr(0, 12);
   out->index = (uint32_t)strtoul(line.c_str() + space + 1, nullptr, 10);
   return ::testing::AssertionSuccess();
}

struct RouteLine {
   AddressField dest;
   uint32_t nextHop;
   uint32_t index;
   uint32_t type;
};

::testing::AssertionResult ReadRouteLine(const std::string &line, RouteLine *out) {
   std::vector<std::string> f = SplitSingleSpaces(line);
   if (f.size() != 4 || !ParseAddressField(f[0], &out->dest) ||
       !ParseAddress(f[1], &out->nextHop) || !IsDecimal(f[2]) || !IsDecimal(f[3]))
      return ::testing::AssertionFailure() << "bad route line: " << line;
   out->index = (uint32_t)strtoul(f[2].c_str(), nullptr, 10);
   out->type = (uint32_t)strtoul(f[3].c_str(), nullptr, 10);
   return ::testing::AssertionSuccess();
}

uint32_t FakeIndex(const std::string &name) {
   static const std::map<std::string, uint32_t> indexes = {{"lo", 1}, {"eth0", 2}, {"wlan0", 3}};
   auto it = indexes.find(name);
   return it == indexes.end() ? 0 : it->second;
}

}  // namespace

TEST(NetLists, ArpCacheTakesCompleteEntriesOnly) {
   const char *text =
       "IP address       HW type     Flags       HW address            Mask     Device\n"
       "192.168.1.10     0x1         0x2         00:11:22:33:aa:bb     *        eth0\n"
       "192.168.1.11     0x1         0x0         00:00:00:00:00:00     *        eth0\n"
       "10.0.0.1         0x1         0x6         de:ad:be:ef:00:01     *        wlan0\n"
       "garbage line\n"
       "300.1.1.1        0x1         0x2         00:11:22:33:44:55     *        eth0\n"
       "10.0.0.2         0x1         0x2         00:11:22:33:44        *        eth0\n"
       "10.0.0.3         0x1         0x2         00:11:22:33:44:55     *        tun9\n";
   std::vector<std::string> lines = FormatArpCache(text, FakeIndex);
   ASSERT_EQ(lines.size(), 3u);
   EXPECT_EQ(lines[0], "00112233AABB 192.168.1.10 2");
   EXPECT_EQ(lines[1], "DEADBEEF0001 10.0.0.1 3");
   EXPECT_EQ(lines[2], "001122334455 10.0.0.3 0");
   ArpLine arp;
   for (const std::string &line : lines)
      EXPECT_TRUE(ReadArpLine(line, &arp));
   ASSERT_TRUE(ReadArpLine(lines[0], &arp));
   EXPECT_EQ(arp.address, 0xC0A8010Au);
   EXPECT_EQ(arp.index, 2u);
}

TEST(NetLists, RoutingTableConvertsKernelWords) {
   // The kernel prints each address as the word holding it in network byte
   // order; build those words the same way so the test runs on any host.
   auto word = [](uint32_t hostOrder) {
      char text[9];
      snprintf(text, sizeof(text), "%08X", htonl(hostOrder));
      return std::string(text);
   };
   std::string text =
       "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
   auto row = [&](const char *iface, uint32_t dest, uint32_t gw, const char *flags, uint32_t mask) {
      text += std::string(iface) + "\t" + word(dest) + "\t" + word(gw) + "\t" + flags +
              "\t0\t0\t100\t" + word(mask) + "\t0\t0\t0\n";
   };
   row("eth0", 0x00000000, 0xC0A80101, "0003", 0x00000000);   // default via gateway
   row("eth0", 0xC0A80100, 0x00000000, "0001", 0xFFFFFF00);   // connected
   row("wlan0", 0x0A000000, 0x00000000, "0201", 0xFF000000);  // reject route
   row("eth0", 0x0B000000, 0x00000000, "0000", 0xFF000000);   // not up: skipped
   row("eth0", 0x0C000000, 0x00000000, "0001", 0xFF00FF00);   // holes in mask: skipped
   row("lo", 0x7F000001, 0x00000000, "0005", 0xFFFFFFFF);     // host route
   std::vector<std::string> lines = FormatRoutingTable(text, FakeIndex);
   ASSERT_EQ(lines.size(), 4u);
   EXPECT_EQ(lines[0], "0.0.0.0/0 192.168.1.1 2 4");
   EXPECT_EQ(lines[1], "192.168.1.0/24 0.0.0.0 2 3");
   EXPECT_EQ(lines[2], "10.0.0.0/8 0.0.0.0 3 2");
   EXPECT_EQ(lines[3], "127.0.0.1/32 0.0.0.0 1 3");
   RouteLine route;
   ASSERT_TRUE(ReadRouteLine(lines[1], &route));
   EXPECT_EQ(route.dest.address, 0xC0A80100u);
   EXPECT_EQ(route.dest.mask, 0xFFFFFF00u);
   ASSERT_TRUE(ReadRouteLine(lines[0], &route));
   EXPECT_EQ(route.dest.mask, 0u);
   EXPECT_EQ(route.nextHop, 0xC0A80101u);
}

TEST(NetLists, InterfaceLinesOnePerAddress) {
   InterfaceRecord eth;
   eth.index = 2;
   eth.name = "eth0";
   eth.ifType = 6;
   const uint8_t mac[6] = {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC};
   memcpy(eth.mac, mac, 6);
   eth.addresses = {{0x0A000005, 16}, {0xC0A80102, 24}};
   InterfaceRecord bare;
   bare.index = 7;
   bare.name = "dummy0";
   std::vector<std::string> lines = FormatInterfaceList({eth, bare});
   ASSERT_EQ(lines.size(), 3u);
   EXPECT_EQ(lines[0], "2 10.0.0.5/16 6 001122AABBCC eth0");
   EXPECT_EQ(lines[1], "2 192.168.1.2/24 6 001122AABBCC eth0");
   EXPECT_EQ(lines[2], "7 0.0.0.0/0 1 000000000000 dummy0");
   InterfaceLine parsed;
   ASSERT_TRUE(ReadInterfaceLine(lines[0], &parsed));
   EXPECT_EQ(parsed.addr.address, 0x0A000005u);
   EXPECT_EQ(parsed.addr.mask, 0xFFFF0000u);
   EXPECT_EQ(parsed.type, 6u);
   EXPECT_EQ(parsed.name, "eth0");
}

TEST(NetLists, MaskAndTypeHelpers) {
   EXPECT_EQ(MaskToPrefix(0), 0);
   EXPECT_EQ(MaskToPrefix(0xFFFFFFFF), 32);
   EXPECT_EQ(MaskToPrefix(0xFFFFFF00), 24);
   EXPECT_EQ(MaskToPrefix(0xFFFF00FF), -1);
   EXPECT_EQ(ArphrdToIfType(1), 6u);
   EXPECT_EQ(ArphrdToIfType(772), 24u);
   EXPECT_EQ(ArphrdToIfType(65534), 1u);
}

TEST(NetLists, ThisHostsListsReadBack) {
   std::vector<std::string> lines;
   ASSERT_TRUE(GetInterfaceList(&lines));
   bool sawLoopback = false;
   for (const std::string &line : lines) {
      InterfaceLine parsed;
      ASSERT_TRUE(ReadInterfaceLine(line, &parsed));
      if (parsed.addr.address == 0x7F000001) {
         sawLoopback = true;
         EXPECT_EQ(parsed.type, 24u);
         EXPECT_EQ(parsed.addr.mask, 0xFF000000u);
      }
   }
   EXPECT_TRUE(sawLoopback);

   if (GetArpCache(&lines)) {
      ArpLine arp;
      for (const std::string &line : lines)
         EXPECT_TRUE(ReadArpLine(line, &arp));
   }
   if (GetRoutingTable(&lines)) {
      RouteLine route;
      for (const std::string &line : lines)
         EXPECT_TRUE(ReadRouteLine(line, &route));
   }
}
