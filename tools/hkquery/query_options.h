// hkquery's command line: the agent to ask, how to reach it, and the one
// thing to do there.
#ifndef HKQUERY_QUERY_OPTIONS_H
#define HKQUERY_QUERY_OPTIONS_H

#include <string>
#include <vector>

#include "agent_link.h"
#include "report.h"

namespace hkquery {

enum class Mode {
   Parameters,  // HOST ITEM...: each ITEM a parameter name
   List,
   Table,
   Interfaces,
   Arp,
   Routes,
   Supported,
   ConfigGet,
   ConfigPut,
   Action,
   Upload,
   Download,
   Policies,
   RemovePolicy,
   CheckService,
};

struct QueryOptions {
   hktool::ToolContext tool;
   hktool::AgentLinkSettings link;
   Mode mode = Mode::Parameters;
   std::string modeArgument;        // the list, table, file, action, GUID or service
   std::vector<std::string> items;  // parameter names, or the action's arguments
   std::string output;              // --output of a download
   std::string destination;         // --destination of an upload
   std::string serviceRequest, serviceResponse;
};

// Fills *options from argv. Returns -1 to go on, or the exit status to end
// with (0 after --help or --version, 2 after a mistake, already reported).
int ParseQueryOptions(int argc, const char *const *argv, QueryOptions *options);

}  // namespace hkquery

#endif
