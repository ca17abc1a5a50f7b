#include "snmp_options.h"

#include <cstdio>

#include "server_key.h"
#include "text.h"

using namespace hktool;

namespace hksnmptool {

namespace {

const uint64_t kMaxTimeoutMs = 600000;
const uint64_t kMaxRetries = 100;

const char kUsageHead[] =
    "usage: hksnmp [options] get HOST [OID...]\n"
    "       hksnmp [options] walk HOST [OID]\n"
    "       hksnmp [options] interfaces HOST\n"
    "       hksnmp [options] vlans HOST\n"
    "Reads an SNMP device directly over UDP, or through a monitoring agent\n"
    "(--via-agent). get reads sysDescr.0 and walk the system group when no OID\n"
    "is given.\n\nOptions:\n";

const char kUsageTail[] =
    "\nThe agent's secret may come from HKSNMP_AGENT_SECRET, the SNMPv3 passwords\n"
    "from HKSNMP_AUTH_PASSWORD and HKSNMP_PRIV_PASSWORD, so that they stay out\n"
    "of the process list.\n"
    "Each request is sent once and again for each retry, waiting the time-out\n"
    "each time: by default 3 attempts of 2 seconds.\n"
    "Exit status: 0 success, 1 the device, the agent or the connection failed,\n"
    "2 bad usage.\n";

const AgentOptionNames kAgentNames = {"agent-auth",
                                      "agent-secret",
                                      "HKSNMP_AGENT_SECRET",
                                      "",
                                      "",
                                      "",
                                      "",
                                      "encryption",
                                      "key",
                                      "agent-timeout",
                                      "agent-connect-timeout",
                                      "insecure-auth",
                                      "agent-key",
                                      "known-agents"};

std::vector<OptionSpec> SnmpSpecs() {
   return {
       {"snmp-version", 'v', true, "1|2c|3", "SNMP version (default 2c)"},
       {"community", 'c', true, "TEXT", "community (default public)"},
       {"port", 'p', true, "PORT", "device UDP port (default 161)"},
       {"timeout", 't', true, "SECONDS",
        "time-out of each attempt in seconds (0.5, 500ms, 5s; default 2)"},
       {"retries", 'r', true, "N",
        "attempts after the first one, 0 to " + std::to_string(kMaxRetries) + " (default " +
            std::to_string(SNMP_HELPER_RETRIES - 1) + ")"},
       {"no-bulk", 0, false, "", "walk with GETNEXT requests (default: GETBULK, except SNMPv1)"},
       {"max-repetitions", 0, true, "N", "variables asked for per GETBULK request (default 25)"},
       {"aliases", 0, true, "0..4",
        "interface names: 0 base name, 1 alias, 2 alias (base), 3 base (alias)"},
       {"ifxtable", 0, false, "", "take base names from ifName where the device has it"},
       {"via-agent", 0, true, "HOST[:PORT]", "send the requests through this agent"},
       {"json", 'j', false, "", "JSON output for scripts"},
       {"verbose", 0, false, "", "the library's connection diagnostics on stderr"},
       {"help", 'h', false, "", "this text"},
       {"version", 0, false, "", "the program's version"},
   };
}

// net-snmp's -t: seconds, fractions allowed, or with a unit, "500ms" or "5s".
// Milliseconds from 1 to kMaxTimeoutMs; a fraction of a millisecond is
// dropped.
bool ParseTimeout(const std::string &text, uint32_t *milliseconds) {
   size_t digits = text.find_first_not_of("0123456789.");
   std::string number = text.substr(0, digits);
   std::string unit = digits == std::string::npos ? "" : text.substr(digits);
   uint64_t scale;
   if (unit.empty() || unit == "s")
      scale = 1000;
   else if (unit == "ms")
      scale = 1;
   else
      return false;
   size_t point = number.find('.');
   std::string whole = number.substr(0, point);
   std::string fraction = point == std::string::npos ? "" : number.substr(point + 1);
   if ((whole.empty() && fraction.empty()) || fraction.find('.') != std::string::npos ||
       whole.size() > 9)
      return false;
   uint64_t value = 0;
   for (char c : whole)
      value = value * 10 + (uint64_t)(c - '0');
   value *= scale;
   // Only the digits that still count in milliseconds.
   uint64_t weight = scale;
   for (char c : fraction) {
      weight /= 10;
      value += (uint64_t)(c - '0') * weight;
   }
   if (value < 1 || value > kMaxTimeoutMs)
      return false;
   *milliseconds = (uint32_t)value;
   return true;
}

bool ParseCommand(const std::string &text, Command *command) {
   static const struct {
      const char *name;
      Command command;
   } kCommands[] = {{"get", Command::Get},
                    {"walk", Command::Walk},
                    {"interfaces", Command::Interfaces},
                    {"vlans", Command::Vlans}};
   for (const auto &c : kCommands) {
      if (text == c.name) {
         *command = c.command;
         return true;
      }
   }
   return false;
}

}  // namespace

int ParseSnmpOptions(int argc, const char *const *argv, SnmpOptions *o) {
   o->tool.program = "hksnmp";
   o->tool.quiet = true;
   ArgParser args;
   std::vector<OptionSpec> snmpSpecs = SnmpSpecs();
   std::vector<OptionSpec> v3Specs = V3OptionSpecs();
   std::vector<OptionSpec> agentSpecs = AgentOptionSpecs(kAgentNames, false);
   args.add(snmpSpecs);
   args.add(v3Specs);
   args.add(agentSpecs);
   std::string error;
   if (!args.parse(argc, argv, &error))
      return ReportUsage(o->tool, error);
   o->tool.json = args.has("json");
   if (args.has("help")) {
      ArgParser snmpHelp, v3Help, agentHelp;
      snmpHelp.add(snmpSpecs);
      v3Help.add(v3Specs);
      agentHelp.add(agentSpecs);
      printf("%s%s\nSNMPv3 (with -v 3):\n%s\nAgent (with --via-agent):\n%s%s", kUsageHead,
             snmpHelp.helpText().c_str(), v3Help.helpText().c_str(), agentHelp.helpText().c_str(),
             kUsageTail);
      return EXIT_OK;
   }
   if (args.has("version")) {
      printf("hksnmp %s\n", HKTOOLS_VERSION);
      return EXIT_OK;
   }
   if (args.has("show-key")) {
      if (!ShowServerKey(args.get("key", DefaultServerKeyPath()), &error))
         return ReportError(o->tool, ERR_INVALID_PUBLIC_KEY, error);
      return EXIT_OK;
   }
   ToolAgentConnection::SetVerbose(args.has("verbose"));

   const std::vector<std::string> &positionals = args.positionals();
   if (positionals.size() < 2)
      return ReportUsage(o->tool, "give a command and a HOST");
   if (!ParseCommand(positionals[0], &o->command))
      return ReportUsage(o->tool, "unknown command \"" + positionals[0] + "\"");
   o->host = positionals[1];
   o->oids.assign(positionals.begin() + 2, positionals.end());
   if ((o->command == Command::Walk && o->oids.size() > 1) ||
       ((o->command == Command::Interfaces || o->command == Command::Vlans) && !o->oids.empty()))
      return ReportUsage(o->tool, "unexpected argument \"" + o->oids.back() + "\"");
   for (const std::string &oid : o->oids) {
      uint32_t components[SNMP_MAX_OID_LENGTH];
      if (SNMPParseOID(oid.c_str(), components, SNMP_MAX_OID_LENGTH) == 0)
         return ReportUsage(o->tool, "\"" + oid + "\" is not a numeric OID");
   }

   std::string version = args.get("snmp-version", "2c");
   if (version == "1")
      o->version = SNMP_VERSION_1;
   else if (version == "2c" || version == "2")
      o->version = SNMP_VERSION_2C;
   else if (version == "3")
      o->version = SNMP_VERSION_3;
   else
      return ReportUsage(o->tool, "--snmp-version takes 1, 2c or 3");
   if (o->version == SNMP_VERSION_3 && !ReadV3Options(args, &o->v3, &error))
      return ReportUsage(o->tool, error);
   o->community = args.get("community", "public");
   if (o->community.size() > SNMP_MAX_COMMUNITY_LENGTH)
      return ReportUsage(o->tool, "the community is longer than 255 bytes");
   uint64_t number;
   if (args.has("port")) {
      if (!ParseNumber(args.get("port"), 1, 65535, &number))
         return ReportUsage(o->tool, "--port takes a number from 1 to 65535");
      o->port = (uint16_t)number;
   }
   if (args.has("timeout") && !ParseTimeout(args.get("timeout"), &o->timeout))
      return ReportUsage(o->tool,
                         "--timeout takes seconds (2, 0.5) or a time with a unit (500ms, 5s), "
                         "from 1ms to " +
                             std::to_string(kMaxTimeoutMs / 1000) + "s");
   if (args.has("retries")) {
      if (!ParseNumber(args.get("retries"), 0, kMaxRetries, &number))
         return ReportUsage(o->tool, "--retries takes 0 to " + std::to_string(kMaxRetries));
      o->attempts = (uint32_t)number + 1;
   }
   o->bulk = !args.has("no-bulk");
   if (args.has("max-repetitions")) {
      if (!ParseNumber(args.get("max-repetitions"), 1, SNMP_MAX_REPETITIONS_LIMIT, &number))
         return ReportUsage(
             o->tool, "--max-repetitions takes 1 to " + std::to_string(SNMP_MAX_REPETITIONS_LIMIT));
      o->maxRepetitions = (uint32_t)number;
   }
   if (args.has("aliases")) {
      if (!ParseNumber(args.get("aliases"), 0, 4, &number))
         return ReportUsage(o->tool, "--aliases takes 0 to 4");
      o->aliases = (int)number;
   }
   o->ifXTable = args.has("ifxtable");

   uint16_t ignoredPort = o->port;
   if (!ParseHostPort(o->host, &o->address, &ignoredPort, &error))
      return ReportError(o->tool, SNMP_ERR_PARAM, error);
   if (ignoredPort != o->port)
      o->port = ignoredPort;  // HOST:PORT names the device's port
   if (args.has("via-agent")) {
      o->viaAgent = true;
      o->link.agent.host = args.get("via-agent");
      if (!ParseHostPort(o->link.agent.host, &o->link.agent.address, &o->link.agent.port, &error))
         return ReportError(o->tool, ERR_BAD_ARGUMENTS, error);
      if (!ReadAgentSettings(args, kAgentNames, &o->link, &error))
         return ReportUsage(o->tool, error);
   }
   return -1;
}

std::unique_ptr<SNMP_Transport> OpenTransport(const SnmpOptions &o, int *status) {
   std::unique_ptr<SNMP_Transport> transport;
   if (o.viaAgent) {
      uint32_t result;
      std::string error;
      ToolAgentConnection *agent = ConnectAgent(o.link, &result, &error);
      if (agent == nullptr) {
         *status = ReportError(o.tool, result, error);
         return nullptr;
      }
      // The transport owns the session from here on.
      transport = std::make_unique<SNMP_ProxyTransport>(agent, o.address, o.port);
   } else {
      auto udp = std::make_unique<SNMP_UDPTransport>();
      uint32_t result = udp->createUDPTransport(o.address, o.port);
      if (result != SNMP_ERR_SUCCESS) {
         *status = ReportError(o.tool, result, WideToUtf8(SNMPGetErrorText(result)));
         return nullptr;
      }
      transport = std::move(udp);
   }
   transport->setSnmpVersion(o.version);
   transport->setSecurityContext(o.version == SNMP_VERSION_3
                                     ? MakeV3Context(o.v3)
                                     : new SNMP_SecurityContext(o.community.c_str()));
   return transport;
}

}  // namespace hksnmptool
