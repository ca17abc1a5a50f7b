// Allow-lists of network targets for the requests that make the agent reach
// further on a client's behalf (proxy connection, SNMP relay, service
// check). An empty list allows nothing.
//
// Text form: entries separated by commas or blanks, each
// ADDRESS[/PREFIX][:PORT[-PORT]], e.g. "10.0.0.0/8:161, 192.0.2.7:22-25".
// Without a port every port matches.
#ifndef HKAGENT_TARGET_LIST_H
#define HKAGENT_TARGET_LIST_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hkagent {

struct TargetRange {
   uint32_t network = 0;  // host byte order, host bits cleared
   uint32_t mask = 0;     // host byte order
   uint16_t firstPort = 1;
   uint16_t lastPort = 65535;
   bool anyPort = true;

   // One host with an explicit port range: the only kind of entry that
   // lets a client reach the agent's own listening endpoint.
   bool namesExactly(uint32_t address, uint16_t port) const {
      return mask == 0xFFFFFFFFu && network == address && !anyPort && port >= firstPort &&
             port <= lastPort;
   }
   bool contains(uint32_t address, uint16_t port) const {
      return (address & mask) == network && port >= firstPort && port <= lastPort;
   }
};

struct TargetList {
   std::vector<TargetRange> ranges;
   std::string text;  // as configured, for the log
};

// False when an entry is malformed; *list is unchanged then.
bool ParseTargetList(std::string_view text, TargetList *list);

// Where the agent itself listens (host byte order; address 0 is every
// local address).
struct ListenEndpoint {
   uint32_t address = 0;
   uint16_t port = 0;
};

// True when the list allows address:port (host byte order). The agent's own
// port on any local address (127.0.0.0/8, an interface's address) passes
// only when an entry names that host and port exactly, so a broad range
// never turns the agent into a loop back to itself; 0.0.0.0 never passes.
bool TargetAllowed(const TargetList &list, uint32_t address, uint16_t port,
                   const ListenEndpoint &self);

}  // namespace hkagent

#endif
