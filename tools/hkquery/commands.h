// hkquery's commands: each runs one kind of request on a connected session
// and prints its result as a table or JSON. Each returns the exit status.
#ifndef HKQUERY_COMMANDS_H
#define HKQUERY_COMMANDS_H

#include "agent_link.h"
#include "query_options.h"

namespace hkquery {

struct Query {
   hktool::ToolAgentConnection *agent;
   const QueryOptions &options;
   const hktool::ToolContext &tool() const { return options.tool; }
};

// A failed request: the library's text for the code.
int RequestFailed(const Query &q, const std::string &what, uint32_t code);

// Parameters, lists, tables and the agent's catalogue (cmd_queries.cpp).
int RunParameters(const Query &q);
int RunList(const Query &q);
int RunTable(const Query &q);
int RunSupported(const Query &q);

// The network tables (cmd_network.cpp).
int RunInterfaces(const Query &q);
int RunArp(const Query &q);
int RunRoutes(const Query &q);

// Configuration, actions, policies and service checks (cmd_manage.cpp).
int RunConfigGet(const Query &q);
int RunConfigPut(const Query &q);
int RunAction(const Query &q);
int RunPolicies(const Query &q);
int RunRemovePolicy(const Query &q);
int RunCheckService(const Query &q);

// File transfer (cmd_files.cpp).
int RunUpload(const Query &q);
int RunDownload(const Query &q);

}  // namespace hkquery

#endif
