#include "netlists.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "fd_util.h"
#include "sysinfo.h"

namespace hkagent {

namespace {

const size_t kProcNetLimit = 16 << 20;
const unsigned kAtfComplete = 0x02;  // ATF_COM: the entry is resolved
const unsigned kRtfUp = 0x0001;
const unsigned kRtfGateway = 0x0002;
const unsigned kRtfReject = 0x0200;

std::vector<std::string_view> SplitFields(std::string_view line) {
   std::vector<std::string_view> fields;
   size_t i = 0;
   while (i < line.size()) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
         i++;
      size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
         i++;
      if (i > start)
         fields.push_back(line.substr(start, i - start));
      if (i < line.size() && line[i] == '\r')
         i++;
   }
   return fields;
}

template <typename F>
void ForEachLine(std::string_view text, F &&f) {
   while (!text.empty()) {
      size_t end = text.find('\n');
      f(text.substr(0, end));
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
   }
}

bool ParseHex32(std::string_view text, uint32_t *value) {
   if (text.empty() || text.size() > 8)
      return false;
   uint32_t v = 0;
   for (char c : text) {
      int d = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (d < 0)
         return false;
      v = (v << 4) | (uint32_t)d;
   }
   *value = v;
   return true;
}

// "aa:bb:cc:dd:ee:ff" into 6 bytes.
bool ParseColonMac(std::string_view text, uint8_t mac[6]) {
   if (text.size() != 17)
      return false;
   for (int i = 0; i < 6; i++) {
      uint32_t byte;
      if (!ParseHex32(text.substr(i * 3, 2), &byte) || (i < 5 && text[i * 3 + 2] != ':'))
         return false;
      mac[i] = (uint8_t)byte;
   }
   return true;
}

std::string MacHex(const uint8_t mac[6]) {
   char text[13];
   snprintf(text, sizeof(text), "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
            mac[5]);
   return text;
}

// /proc/net/route prints each address as the 32-bit word that holds it in
// network byte order, read as a native integer.
uint32_t KernelWordToHost(uint32_t word) {
   return ntohl(word);
}

}  // namespace

uint32_t ArphrdToIfType(unsigned arphrd) {
   switch (arphrd) {
      case 1:  // ARPHRD_ETHER
         return 6;
      case 32:  // ARPHRD_INFINIBAND
         return 199;
      case 512:  // ARPHRD_PPP
         return 23;
      case 768:  // ARPHRD_TUNNEL
      case 769:  // ARPHRD_TUNNEL6
      case 776:  // ARPHRD_SIT
      case 778:  // ARPHRD_IPGRE
         return 131;
      case 772:  // ARPHRD_LOOPBACK
         return 24;
      case 801:  // ARPHRD_IEEE80211
         return 71;
      default:
         return 1;
   }
}

int MaskToPrefix(uint32_t mask) {
   int prefix = 0;
   while (prefix < 32 && (mask & (0x80000000u >> prefix)) != 0)
      prefix++;
   uint32_t expected = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
   return mask == expected ? prefix : -1;
}

std::vector<std::string> FormatInterfaceList(const std::vector<InterfaceRecord> &interfaces) {
   std::vector<std::string> lines;
   for (const InterfaceRecord &rec : interfaces) {
      // Appended piece by piece: g++ 12 at -O3 misreads `" " + std::string` as
      // an overlapping copy (-Wrestrict).
      std::string tail(1, ' ');
      tail.append(std::to_string(rec.ifType)).append(1, ' ').append(MacHex(rec.mac));
      tail.append(1, ' ').append(rec.name);
      if (rec.addresses.empty()) {
         lines.push_back(std::to_string(rec.index) + " 0.0.0.0/0" + tail);
         continue;
      }
      for (const InterfaceRecord::Address &a : rec.addresses) {
         lines.push_back(std::to_string(rec.index) + " " + Ipv4ToText(a.address) + "/" +
                         std::to_string(a.prefix) + tail);
      }
   }
   return lines;
}

std::vector<std::string> FormatArpCache(std::string_view procNetArp,
                                        const IfIndexResolver &resolver) {
   // IP address, HW type, Flags, HW address, Mask, Device; a header line.
   std::vector<std::string> lines;
   bool header = true;
   ForEachLine(procNetArp, [&](std::string_view line) {
      if (header) {
         header = false;
         return;
      }
      std::vector<std::string_view> f = SplitFields(line);
      if (f.size() < 6)
         return;
      struct in_addr ip;
      std::string ipText(f[0]);
      uint32_t flags;
      uint8_t mac[6];
      if (inet_pton(AF_INET, ipText.c_str(), &ip) != 1 || f[2].size() < 3 ||
          f[2].substr(0, 2) != "0x" || !ParseHex32(f[2].substr(2), &flags) ||
          (flags & kAtfComplete) == 0 || !ParseColonMac(f[3], mac))
         return;
      uint32_t index = resolver(std::string(f[5]));
      lines.push_back(MacHex(mac) + " " + Ipv4ToText(ntohl(ip.s_addr)) + " " +
                      std::to_string(index));
   });
   return lines;
}

std::vector<std::string> FormatRoutingTable(std::string_view procNetRoute,
                                            const IfIndexResolver &resolver) {
   // Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT
   std::vector<std::string> lines;
   bool header = true;
   ForEachLine(procNetRoute, [&](std::string_view line) {
      if (header) {
         header = false;
         return;
      }
      std::vector<std::string_view> f = SplitFields(line);
      uint32_t dest, gateway, flags, mask;
      if (f.size() < 8 || !ParseHex32(f[1], &dest) || !ParseHex32(f[2], &gateway) ||
          !ParseHex32(f[3], &flags) || !ParseHex32(f[7], &mask) || (flags & kRtfUp) == 0)
         return;
      int prefix = MaskToPrefix(KernelWordToHost(mask));
      if (prefix < 0)
         return;
      uint32_t hop = KernelWordToHost(gateway);
      int type = (flags & kRtfReject) ? 2 : ((flags & kRtfGateway) && hop != 0) ? 4 : 3;
      uint32_t index = resolver(std::string(f[0]));
      lines.push_back(Ipv4ToText(KernelWordToHost(dest)) + "/" + std::to_string(prefix) + " " +
                      Ipv4ToText(hop) + " " + std::to_string(index) + " " + std::to_string(type));
   });
   return lines;
}

std::vector<InterfaceRecord> CollectInterfaces() {
   std::vector<InterfaceRecord> records;
   struct if_nameindex *names = if_nameindex();
   if (names == nullptr)
      return records;
   std::map<std::string, size_t> byName;
   for (struct if_nameindex *p = names; p->if_index != 0 && p->if_name != nullptr; p++) {
      InterfaceRecord rec;
      rec.index = p->if_index;
      rec.name = p->if_name;
      std::string text;
      if (ReadInterfaceAttribute(rec.name, "type", &text))
         rec.ifType = ArphrdToIfType((unsigned)strtoul(text.c_str(), nullptr, 10));
      if (ReadInterfaceAttribute(rec.name, "address", &text) && !ParseColonMac(text, rec.mac)) {
         for (uint8_t &b : rec.mac)
            b = 0;
      }
      byName[rec.name] = records.size();
      records.push_back(std::move(rec));
   }
   if_freenameindex(names);

   struct ifaddrs *list = nullptr;
   if (getifaddrs(&list) == 0) {
      for (struct ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
         if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || a->ifa_name == nullptr)
            continue;
         auto it = byName.find(a->ifa_name);
         if (it == byName.end())
            continue;
         uint32_t address = ntohl(((struct sockaddr_in *)a->ifa_addr)->sin_addr.s_addr);
         uint32_t mask = a->ifa_netmask != nullptr
                             ? ntohl(((struct sockaddr_in *)a->ifa_netmask)->sin_addr.s_addr)
                             : 0xFFFFFFFFu;
         int prefix = MaskToPrefix(mask);
         records[it->second].addresses.push_back({address, prefix < 0 ? 32 : prefix});
      }
      freeifaddrs(list);
   }
   return records;
}

bool GetInterfaceList(std::vector<std::string> *lines) {
   *lines = FormatInterfaceList(CollectInterfaces());
   return true;
}

bool GetArpCache(std::vector<std::string> *lines) {
   std::string text;
   if (!ReadFileLimited("/proc/net/arp", kProcNetLimit, &text))
      return false;
   *lines = FormatArpCache(
       text, [](const std::string &name) { return (uint32_t)if_nametoindex(name.c_str()); });
   return true;
}

bool GetRoutingTable(std::vector<std::string> *lines) {
   std::string text;
   if (!ReadFileLimited("/proc/net/route", kProcNetLimit, &text))
      return false;
   *lines = FormatRoutingTable(
       text, [](const std::string &name) { return (uint32_t)if_nametoindex(name.c_str()); });
   return true;
}

}  // namespace hkagent
