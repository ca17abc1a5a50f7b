// hksnmp: GET, walk, interfaces and VLANs of an SNMP device, directly or
// through a monitoring agent, with libhksrv's SNMP helpers and driver.
#include <csignal>

#include "snmp_commands.h"

using namespace hksnmptool;

int main(int argc, char **argv) {
   signal(SIGPIPE, SIG_IGN);
   SnmpOptions options;
   int status = ParseSnmpOptions(argc, argv, &options);
   if (status >= 0)
      return status;
   if (options.timeout != 0)
      g_dwSNMPTimeout = options.timeout;
   if (options.attempts != 0)
      g_dwSNMPAttempts = options.attempts;

   std::unique_ptr<SNMP_Transport> transport = OpenTransport(options, &status);
   if (transport == nullptr)
      return status;
   switch (options.command) {
      case Command::Get:
         return RunGet(options, transport.get());
      case Command::Walk:
         return RunWalk(options, transport.get());
      case Command::Interfaces:
         return RunInterfaces(options, transport.get());
      case Command::Vlans:
         return RunVlans(options, transport.get());
   }
   return hktool::EXIT_FAILED;
}
