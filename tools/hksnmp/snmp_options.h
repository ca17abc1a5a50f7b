// hksnmp's command line: the command, the device, SNMP settings and, for a
// device reached through a monitoring agent, how to reach that agent.
#ifndef HKSNMP_TOOL_SNMP_OPTIONS_H
#define HKSNMP_TOOL_SNMP_OPTIONS_H

#include <memory>
#include <string>
#include <vector>

#include "agent_link.h"
#include "report.h"
#include "v3_options.h"

namespace hksnmptool {

enum class Command { Get, Walk, Interfaces, Vlans };

struct SnmpOptions {
   hktool::ToolContext tool;
   Command command = Command::Get;
   std::string host;
   uint32_t address = 0;  // host byte order
   uint16_t port = SNMP_DEFAULT_PORT;
   uint32_t version = SNMP_VERSION_2C;
   std::string community = "public";
   V3Settings v3;  // with SNMP_VERSION_3
   std::vector<std::string> oids;
   uint32_t timeout = 0;         // per attempt, in milliseconds; g_dwSNMPTimeout when 0
   uint32_t attempts = 0;        // -r plus the first sending; g_dwSNMPAttempts when 0
   bool bulk = true;             // walk with GETBULK (SNMPv1 walks with GETNEXT anyway)
   uint32_t maxRepetitions = 0;  // per GETBULK request; the library's default when 0
   int aliases = 0;
   bool ifXTable = false;
   bool viaAgent = false;
   hktool::AgentLinkSettings link;  // with viaAgent
};

// Fills *options. Returns -1 to go on, or the exit status to end with.
int ParseSnmpOptions(int argc, const char *const *argv, SnmpOptions *options);

// The transport to the device, direct over UDP or through the agent; null
// with the failure reported (and *status set to the exit status).
std::unique_ptr<SNMP_Transport> OpenTransport(const SnmpOptions &options, int *status);

}  // namespace hksnmptool

#endif
