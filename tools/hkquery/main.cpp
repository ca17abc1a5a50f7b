// hkquery: asks a monitoring agent for parameters, lists, tables and files,
// and manages it, through libhksrv's AgentConnection.
#include <csignal>
#include <memory>

#include "commands.h"
#include "text.h"

using namespace hktool;
using namespace hkquery;

int main(int argc, char **argv) {
   // A closed output pipe ends the program through the failed write, not a
   // signal.
   signal(SIGPIPE, SIG_IGN);
   QueryOptions options;
   int status = ParseQueryOptions(argc, argv, &options);
   if (status >= 0)
      return status;

   uint32_t result;
   std::string error;
   std::unique_ptr<ToolAgentConnection> agent(ConnectAgent(options.link, &result, &error));
   if (agent == nullptr)
      return ReportError(options.tool, result, error);

   Query q{agent.get(), options};
   switch (options.mode) {
      case Mode::Parameters:
         return RunParameters(q);
      case Mode::List:
         return RunList(q);
      case Mode::Table:
         return RunTable(q);
      case Mode::Interfaces:
         return RunInterfaces(q);
      case Mode::Arp:
         return RunArp(q);
      case Mode::Routes:
         return RunRoutes(q);
      case Mode::Supported:
         return RunSupported(q);
      case Mode::ConfigGet:
         return RunConfigGet(q);
      case Mode::ConfigPut:
         return RunConfigPut(q);
      case Mode::Action:
         return RunAction(q);
      case Mode::Upload:
         return RunUpload(q);
      case Mode::Download:
         return RunDownload(q);
      case Mode::Policies:
         return RunPolicies(q);
      case Mode::RemovePolicy:
         return RunRemovePolicy(q);
      case Mode::CheckService:
         return RunCheckService(q);
   }
   return EXIT_FAILED;
}
