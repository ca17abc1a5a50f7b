#include "query_options.h"

#include <cstdio>

#include "server_key.h"
#include "text.h"

using namespace hktool;

namespace hkquery {

namespace {

const char kUsageHead[] =
    "usage: hkquery [options] HOST ITEM...\n"
    "Asks the monitoring agent at HOST[:PORT] for the parameters ITEM..., or does\n"
    "the one thing a mode option names.\n\n"
    "Modes:\n";

const char kUsageTail[] =
    "\nThe secrets may come from the environment (HKQUERY_SECRET,\n"
    "HKQUERY_PROXY_SECRET) so that they stay out of the process list.\n"
    "Exit status: 0 success, 1 the agent or the connection failed, 2 bad usage.\n";

struct ModeOption {
   const char *name;
   Mode mode;
   bool takesValue;
   const char *valueName;
   const char *help;
};

const ModeOption kModes[] = {
    {"list", Mode::List, true, "NAME", "the lines of a list (e.g. Net.ArpCache)"},
    {"table", Mode::Table, true, "NAME", "a table (e.g. System.Processes)"},
    {"interfaces", Mode::Interfaces, false, "", "the agent's interfaces"},
    {"arp", Mode::Arp, false, "", "the agent's ARP cache"},
    {"routes", Mode::Routes, false, "", "the agent's routing table"},
    {"supported", Mode::Supported, false, "", "the parameters and tables the agent offers"},
    {"config-get", Mode::ConfigGet, false, "", "the agent's configuration file, as it is"},
    {"config-put", Mode::ConfigPut, true, "FILE", "replace the agent's configuration file"},
    {"action", Mode::Action, true, "NAME", "run an action; ITEMs are its arguments"},
    {"upload", Mode::Upload, true, "FILE", "send a file to the agent's file store"},
    {"download", Mode::Download, true, "NAME", "fetch a file from the agent's file store"},
    {"policies", Mode::Policies, false, "", "the policies installed on the agent"},
    {"remove-policy", Mode::RemovePolicy, true, "GUID", "uninstall a policy"},
    {"check-service", Mode::CheckService, true, "HOST:PORT", "have the agent check a TCP service"},
};

const AgentOptionNames kAgentNames = {
    "auth",       "secret",       "HKQUERY_SECRET",       "proxy",
    "proxy-auth", "proxy-secret", "HKQUERY_PROXY_SECRET", "encryption",
    "key",        "timeout",      "connect-timeout",      "insecure-auth",
    "agent-key",  "known-agents"};

std::vector<OptionSpec> OtherSpecs() {
   return {
       {"port", 'p', true, "PORT", "agent port (default 4700)"},
       {"output", 'o', true, "FILE", "where --download writes (default: the name's last part)"},
       {"destination", 0, true, "NAME", "name in the file store for --upload"},
       {"service-request", 0, true, "TEXT", "text --check-service sends"},
       {"service-response", 0, true, "TEXT", "text --check-service expects back"},
       {"json", 'j', false, "", "JSON output for scripts"},
       {"quiet", 'q', false, "", "no progress bar, no notes"},
       {"verbose", 'v', false, "", "the library's connection diagnostics on stderr"},
       {"help", 'h', false, "", "this text"},
       {"version", 0, false, "", "the version"},
   };
}

}  // namespace

int ParseQueryOptions(int argc, const char *const *argv, QueryOptions *o) {
   o->tool.program = "hkquery";
   ArgParser args;
   for (const ModeOption &m : kModes)
      args.add({m.name, 0, m.takesValue, m.valueName, m.help});
   std::vector<OptionSpec> agentSpecs = AgentOptionSpecs(kAgentNames);
   std::vector<OptionSpec> otherSpecs = OtherSpecs();
   args.add(agentSpecs);
   args.add(otherSpecs);

   std::string error;
   if (!args.parse(argc, argv, &error))
      return ReportUsage(o->tool, error);
   o->tool.json = args.has("json");
   o->tool.quiet = args.has("quiet");
   if (args.has("help")) {
      ArgParser modeHelp, connectHelp, otherHelp;
      for (const ModeOption &m : kModes)
         modeHelp.add({m.name, 0, m.takesValue, m.valueName, m.help});
      connectHelp.add(agentSpecs);
      otherHelp.add(otherSpecs);
      printf("%s%s\nConnection:\n%s\nOther options:\n%s%s", kUsageHead, modeHelp.helpText().c_str(),
             connectHelp.helpText().c_str(), otherHelp.helpText().c_str(), kUsageTail);
      return EXIT_OK;
   }
   if (args.has("version")) {
      printf("hkquery %s\n", HKTOOLS_VERSION);
      return EXIT_OK;
   }
   if (args.has("show-key")) {
      if (!ShowServerKey(args.get("key", DefaultServerKeyPath()), &error))
         return ReportError(o->tool, ERR_INVALID_PUBLIC_KEY, error);
      return EXIT_OK;
   }
   ToolAgentConnection::SetVerbose(args.has("verbose"));

   int modeCount = 0;
   for (const ModeOption &m : kModes) {
      if (args.has(m.name)) {
         modeCount++;
         o->mode = m.mode;
         o->modeArgument = args.get(m.name);
      }
   }
   if (modeCount > 1)
      return ReportUsage(o->tool, "give at most one mode option");

   const std::vector<std::string> &positionals = args.positionals();
   if (positionals.empty())
      return ReportUsage(o->tool, "no HOST given");
   o->link.agent.host = positionals[0];
   o->items.assign(positionals.begin() + 1, positionals.end());
   if (o->mode == Mode::Parameters && o->items.empty())
      return ReportUsage(o->tool, "name at least one parameter, or a mode option");
   if (o->mode != Mode::Parameters && o->mode != Mode::Action && !o->items.empty())
      return ReportUsage(o->tool, "unexpected argument \"" + o->items[0] + "\"");

   if (args.has("port")) {
      uint64_t port;
      if (!ParseNumber(args.get("port"), 1, 65535, &port))
         return ReportUsage(o->tool, "--port takes a number from 1 to 65535");
      o->link.agent.port = (uint16_t)port;
   }
   if (!ParseHostPort(o->link.agent.host, &o->link.agent.address, &o->link.agent.port, &error))
      return ReportError(o->tool, ERR_BAD_ARGUMENTS, error);
   if (!ReadAgentSettings(args, kAgentNames, &o->link, &error))
      return ReportUsage(o->tool, error);

   o->output = args.get("output");
   o->destination = args.get("destination");
   o->serviceRequest = args.get("service-request");
   o->serviceResponse = args.get("service-response");
   return -1;
}

}  // namespace hkquery
