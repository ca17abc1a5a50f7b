// What a device serves, as the discovery tests know it independently of the
// driver: read from a .snmprec recording or from the reference client's
// snmpwalk -On -Ox output. From such a view the tests derive the interfaces
// and VLANs that the standard MIBs describe, to compare with the driver's.
#ifndef DISCOVERY_MIB_VIEW_H
#define DISCOVERY_MIB_VIEW_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hksrv.h"
#include "snmp_agents.h"

namespace discoverytest {

struct MibValue {
   enum Kind { Integer, Octets, IpAddress, Other } kind = Other;
   int64_t number = 0;          // Integer and the unsigned 32-bit types
   std::vector<uint8_t> bytes;  // Octets; IpAddress in network order
};

typedef std::vector<uint32_t> Oid;
// Ordered as the agent orders names: lexicographically by component.
typedef std::map<Oid, MibValue> MibView;

// Every record of a recording; false when it cannot be read.
bool LoadRecording(const std::string &path, MibView *view);
// Adds the entries of snmpwalk -On -Ox of root.
void AddWalk(hktest::SnmpAgentFixture &agent, const std::string &root, MibView *view);
// The walks of every column the driver reads (IF-MIB, ifXTable, IP address
// table, Q-BRIDGE VLAN tables) and ifNumber.
MibView ReadDevice(hktest::SnmpAgentFixture &agent);

// The records the MIBs describe: one per ifIndex row in order, then one more
// per further address of an interface, built the way the documented name
// composition and fallbacks say.
std::vector<HK_INTERFACE_INFO> ExpectedInterfaces(const MibView &view, int useAliases,
                                                  bool useIfXTable);

struct ExpectedVlan {
   int id;
   std::wstring name;
   std::vector<uint32_t> ports;
};
std::vector<ExpectedVlan> ExpectedVlans(const MibView &view);

// Field-by-field comparison with a readable difference: the texts up to
// their NUL, every other byte of the record (reserved fields included).
::testing::AssertionResult SameInterfaces(const std::vector<HK_INTERFACE_INFO> &expected,
                                          const InterfaceList *actual);
::testing::AssertionResult SameVlans(const std::vector<ExpectedVlan> &expected,
                                     const VlanList *actual);

// A record of the list as a vector, for comparing two lists.
std::vector<HK_INTERFACE_INFO> Records(const InterfaceList *list);
std::string Describe(const HK_INTERFACE_INFO &record);

}  // namespace discoverytest

#endif
