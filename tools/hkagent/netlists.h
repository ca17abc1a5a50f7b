// The three network lists, as the server library reads them:
//   "Net.InterfaceList":   "INDEX ADDR/PREFIX IFTYPE MAC NAME"
//   "Net.ArpCache":        "MAC ADDR INDEX"
//   "Net.IP.RoutingTable": "DEST/PREFIX NEXTHOP INDEX ROUTETYPE"
// MAC is 12 upper-case hex digits, addresses are dotted quads, numbers
// decimal, fields separated by one space. IFTYPE is the IF-MIB ifType of the
// interface; ROUTETYPE is the IP-MIB ipRouteType (3 direct, 4 indirect,
// 2 invalid for a rejecting route).
//
// The producers that take kernel text are separate from the readers of the
// kernel's files so that tests can feed them.
#ifndef HKAGENT_NETLISTS_H
#define HKAGENT_NETLISTS_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace hkagent {

// Interface name to index; 0 for an unknown name.
typedef std::function<uint32_t(const std::string &name)> IfIndexResolver;

struct InterfaceRecord {
   uint32_t index = 0;
   std::string name;
   uint32_t ifType = 1;  // other
   uint8_t mac[6] = {};
   struct Address {
      uint32_t address;  // host byte order
      int prefix;
   };
   std::vector<Address> addresses;
};

// IF-MIB ifType for a Linux ARPHRD_ hardware type (1 "other" if unknown).
uint32_t ArphrdToIfType(unsigned arphrd);
// Prefix length of a contiguous mask given in host byte order; -1 when the
// mask has holes.
int MaskToPrefix(uint32_t mask);

// One line per IPv4 address of each interface; "0.0.0.0/0" for an
// interface without one.
std::vector<std::string> FormatInterfaceList(const std::vector<InterfaceRecord> &interfaces);
// Lines from the text of /proc/net/arp: complete entries only.
std::vector<std::string> FormatArpCache(std::string_view procNetArp,
                                        const IfIndexResolver &resolver);
// Lines from the text of /proc/net/route: routes that are up.
std::vector<std::string> FormatRoutingTable(std::string_view procNetRoute,
                                            const IfIndexResolver &resolver);

// This host's interfaces (if_nameindex, getifaddrs, /sys/class/net).
std::vector<InterfaceRecord> CollectInterfaces();
// The host's lists; false when the kernel's file cannot be read.
bool GetInterfaceList(std::vector<std::string> *lines);
bool GetArpCache(std::vector<std::string> *lines);
bool GetRoutingTable(std::vector<std::string> *lines);

}  // namespace hkagent

#endif
