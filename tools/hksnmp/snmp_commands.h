// hksnmp's commands; each returns the exit status.
#ifndef HKSNMP_TOOL_SNMP_COMMANDS_H
#define HKSNMP_TOOL_SNMP_COMMANDS_H

#include "snmp_options.h"

namespace hksnmptool {

// GET of each OID, and a walk of one subtree: GETBULK unless --no-bulk or
// SNMPv1 (cmd_get_walk.cpp).
int RunGet(const SnmpOptions &options, SNMP_Transport *transport);
int RunWalk(const SnmpOptions &options, SNMP_Transport *transport);

// The generic driver's interface and VLAN lists (cmd_discovery.cpp).
int RunInterfaces(const SnmpOptions &options, SNMP_Transport *transport);
int RunVlans(const SnmpOptions &options, SNMP_Transport *transport);

// The ASN.1 type's usual name ("INTEGER", "Counter32").
const char *SnmpTypeName(uint32_t type);

}  // namespace hksnmptool

#endif
