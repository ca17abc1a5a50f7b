#include "target_list.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <charconv>

namespace hkagent {

namespace {

bool ParsePort(std::string_view text, uint16_t *port) {
   unsigned value = 0;
   auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
   if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535)
      return false;
   *port = (uint16_t)value;
   return true;
}

bool ParseEntry(std::string_view entry, TargetRange *range) {
   std::string_view ports;
   size_t colon = entry.find(':');
   if (colon != std::string_view::npos) {
      ports = entry.substr(colon + 1);
      entry = entry.substr(0, colon);
   }
   unsigned prefix = 32;
   size_t slash = entry.find('/');
   if (slash != std::string_view::npos) {
      std::string_view bits = entry.substr(slash + 1);
      auto [end, ec] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
      if (bits.empty() || ec != std::errc() || end != bits.data() + bits.size() || prefix > 32)
         return false;
      entry = entry.substr(0, slash);
   }
   std::string host(entry);
   struct in_addr address;
   if (inet_pton(AF_INET, host.c_str(), &address) != 1)
      return false;
   range->mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
   range->network = ntohl(address.s_addr) & range->mask;
   if (colon == std::string_view::npos)
      return true;
   size_t dash = ports.find('-');
   std::string_view first = ports.substr(0, dash);
   std::string_view last = dash == std::string_view::npos ? first : ports.substr(dash + 1);
   if (!ParsePort(first, &range->firstPort) || !ParsePort(last, &range->lastPort) ||
       range->firstPort > range->lastPort)
      return false;
   range->anyPort = false;
   return true;
}

bool IsLocalAddress(uint32_t address) {
   if (address == 0 || (address >> 24) == 127)
      return true;
   struct ifaddrs *list = nullptr;
   if (getifaddrs(&list) != 0)
      return true;  // cannot tell: treat it as ours, the safe side
   bool local = false;
   for (struct ifaddrs *i = list; i != nullptr && !local; i = i->ifa_next) {
      if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET)
         local = ntohl(((struct sockaddr_in *)i->ifa_addr)->sin_addr.s_addr) == address;
   }
   freeifaddrs(list);
   return local;
}

// A client that can reach the agent's port on one local address could reach
// it on another, whatever address the agent listens on: every local address
// with the agent's port counts as the agent itself.
bool IsSelf(uint32_t address, uint16_t port, const ListenEndpoint &self) {
   return port == self.port && IsLocalAddress(address);
}

}  // namespace

bool ParseTargetList(std::string_view text, TargetList *list) {
   TargetList parsed;
   parsed.text = std::string(text);
   size_t i = 0;
   while (i < text.size()) {
      size_t end = text.find_first_of(", \t", i);
      if (end == std::string_view::npos)
         end = text.size();
      if (end > i) {
         TargetRange range;
         if (!ParseEntry(text.substr(i, end - i), &range))
            return false;
         parsed.ranges.push_back(range);
      }
      i = end + 1;
   }
   *list = std::move(parsed);
   return true;
}

bool TargetAllowed(const TargetList &list, uint32_t address, uint16_t port,
                   const ListenEndpoint &self) {
   // 0.0.0.0 names no host; a connect to it reaches this one.
   if (address == 0)
      return false;
   bool selfTarget = IsSelf(address, port, self);
   for (const TargetRange &range : list.ranges) {
      if (selfTarget ? range.namesExactly(address, port) : range.contains(address, port))
         return true;
   }
   return false;
}

}  // namespace hkagent
