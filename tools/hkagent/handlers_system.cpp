// Parameters, lists and tables describing the host.
#include <strings.h>

#include <vector>

#include "agent_codes.h"
#include "dispatcher.h"
#include "netlists.h"
#include "sysinfo.h"
#include "tables.h"

#ifndef HKAGENT_VERSION
#define HKAGENT_VERSION "0.0.0"
#endif

namespace hkagent {

namespace {

const size_t kMaxParameterName = 255;

typedef uint32_t (*ParameterReader)(AgentRuntime &runtime, const std::vector<std::string> &args,
                                    const char *detail, std::string *value);

struct ParameterInfo {
   const char *name;  // with "(*)" when it takes an interface argument
   const char *description;
   uint16_t dataType;
   ParameterReader read;
   const char *detail;  // reader-specific: a meminfo key, an attribute file
};

uint32_t NoArgs(const std::vector<std::string> &args) {
   return args.empty() ? ERR_SUCCESS : ERR_BAD_ARGUMENTS;
}

uint32_t ReadHostName(AgentRuntime &, const std::vector<std::string> &args, const char *,
                      std::string *value) {
   if (NoArgs(args) != ERR_SUCCESS)
      return ERR_BAD_ARGUMENTS;
   return GetHostName(value) ? ERR_SUCCESS : ERR_INTERNAL_ERROR;
}

uint32_t ReadUptime(AgentRuntime &, const std::vector<std::string> &args, const char *,
                    std::string *value) {
   uint64_t seconds;
   if (NoArgs(args) != ERR_SUCCESS)
      return ERR_BAD_ARGUMENTS;
   if (!GetSystemUptime(&seconds))
      return ERR_INTERNAL_ERROR;
   *value = std::to_string(seconds);
   return ERR_SUCCESS;
}

uint32_t ReadCpuCount(AgentRuntime &, const std::vector<std::string> &args, const char *,
                      std::string *value) {
   if (NoArgs(args) != ERR_SUCCESS)
      return ERR_BAD_ARGUMENTS;
   *value = std::to_string(GetProcessorCount());
   return ERR_SUCCESS;
}

uint32_t ReadMemory(AgentRuntime &, const std::vector<std::string> &args, const char *key,
                    std::string *value) {
   uint64_t bytes;
   if (NoArgs(args) != ERR_SUCCESS)
      return ERR_BAD_ARGUMENTS;
   if (!GetMemoryValue(key, &bytes))
      return ERR_INTERNAL_ERROR;
   *value = std::to_string(bytes);
   return ERR_SUCCESS;
}

uint32_t ReadLoad(AgentRuntime &, const std::vector<std::string> &args, const char *minutes,
                  std::string *value) {
   if (NoArgs(args) != ERR_SUCCESS)
      return ERR_BAD_ARGUMENTS;
   return GetLoadAverage(atoi(minutes), value) ? ERR_SUCCESS : ERR_INTERNAL_ERROR;
}

uint32_t ReadVersion(AgentRuntime &, const std::vector<std::string> &args, const char *,
                     std::string *value) {
   if (NoArgs(args) != ERR_SUCCESS)
      return ERR_BAD_ARGUMENTS;
   *value = HKAGENT_VERSION;
   return ERR_SUCCESS;
}

uint32_t ReadAgentUptime(AgentRuntime &runtime, const std::vector<std::string> &args, const char *,
                         std::string *value) {
   if (NoArgs(args) != ERR_SUCCESS)
      return ERR_BAD_ARGUMENTS;
   *value = std::to_string(runtime.uptimeSeconds());
   return ERR_SUCCESS;
}

uint32_t ReadInterface(AgentRuntime &, const std::vector<std::string> &args, const char *attribute,
                       std::string *value) {
   if (args.size() != 1)
      return ERR_BAD_ARGUMENTS;
   std::string name;
   if (!ResolveInterface(args[0], &name))
      return ERR_UNKNOWN_PARAMETER;
   return ReadInterfaceAttribute(name, attribute, value) ? ERR_SUCCESS : ERR_INTERNAL_ERROR;
}

const ParameterInfo kParameters[] = {
    {"System.Hostname", "Host name", DT_STRING, ReadHostName, nullptr},
    {"System.Uptime", "System uptime in seconds", DT_UINT64, ReadUptime, nullptr},
    {"System.CPU.Count", "Number of online processors", DT_UINT, ReadCpuCount, nullptr},
    {"System.CPU.LoadAvg", "Load average over 1 minute", DT_FLOAT, ReadLoad, "1"},
    {"System.CPU.LoadAvg5", "Load average over 5 minutes", DT_FLOAT, ReadLoad, "5"},
    {"System.CPU.LoadAvg15", "Load average over 15 minutes", DT_FLOAT, ReadLoad, "15"},
    {"System.Memory.Physical.Total", "Physical memory in bytes", DT_UINT64, ReadMemory, "MemTotal"},
    {"System.Memory.Physical.Free", "Free physical memory in bytes", DT_UINT64, ReadMemory,
     "MemFree"},
    {"System.Memory.Physical.Available", "Physical memory available for new work in bytes",
     DT_UINT64, ReadMemory, "MemAvailable"},
    {"Agent.Version", "Agent version", DT_STRING, ReadVersion, nullptr},
    {"Agent.Uptime", "Seconds since the agent started", DT_UINT64, ReadAgentUptime, nullptr},
    {"Net.Interface.BytesIn(*)", "Bytes received on the interface", DT_UINT64, ReadInterface,
     "statistics/rx_bytes"},
    {"Net.Interface.BytesOut(*)", "Bytes sent on the interface", DT_UINT64, ReadInterface,
     "statistics/tx_bytes"},
    {"Net.Interface.PacketsIn(*)", "Packets received on the interface", DT_UINT64, ReadInterface,
     "statistics/rx_packets"},
    {"Net.Interface.PacketsOut(*)", "Packets sent on the interface", DT_UINT64, ReadInterface,
     "statistics/tx_packets"},
    {"Net.Interface.InErrors(*)", "Receive errors on the interface", DT_UINT64, ReadInterface,
     "statistics/rx_errors"},
    {"Net.Interface.OutErrors(*)", "Send errors on the interface", DT_UINT64, ReadInterface,
     "statistics/tx_errors"},
    {"Net.Interface.MTU(*)", "MTU of the interface", DT_UINT, ReadInterface, "mtu"},
};

// "Name(a, b)" into "Name" and its trimmed arguments; false when the
// parentheses do not close at the end.
bool SplitParameterName(const std::string &full, std::string *name,
                        std::vector<std::string> *args) {
   args->clear();
   size_t open = full.find('(');
   if (open == std::string::npos) {
      *name = full;
      return full.find(')') == std::string::npos;
   }
   if (full.back() != ')')
      return false;
   *name = full.substr(0, open);
   std::string inner = full.substr(open + 1, full.size() - open - 2);
   size_t start = 0;
   for (;;) {
      size_t comma = inner.find(',', start);
      std::string arg =
          inner.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      size_t b = arg.find_first_not_of(" \t"), e = arg.find_last_not_of(" \t");
      arg = b == std::string::npos ? "" : arg.substr(b, e - b + 1);
      if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"')
         arg = arg.substr(1, arg.size() - 2);
      args->push_back(arg);
      if (comma == std::string::npos)
         break;
      start = comma + 1;
   }
   return true;
}

std::string BaseName(const char *registered) {
   std::string name = registered;
   size_t open = name.find('(');
   return open == std::string::npos ? name : name.substr(0, open);
}

}  // namespace

uint32_t GetParameterValue(AgentRuntime &runtime, const std::string &full, std::string *value) {
   std::string name;
   std::vector<std::string> args;
   if (full.empty() || full.size() > kMaxParameterName)
      return ERR_UNKNOWN_PARAMETER;
   if (!SplitParameterName(full, &name, &args))
      return ERR_BAD_ARGUMENTS;
   for (const ParameterInfo &p : kParameters) {
      if (strcasecmp(BaseName(p.name).c_str(), name.c_str()) == 0)
         return p.read(runtime, args, p.detail, value);
   }
   return ERR_UNKNOWN_PARAMETER;
}

uint32_t HandleGetParameter(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply) {
   std::string value;
   uint32_t rcc = GetParameterValue(ctx.runtime,
                                    GetStringVar(rq, VID_PARAMETER, kMaxParameterName + 1), &value);
   if (rcc == ERR_SUCCESS)
      SetStringVar(reply, VID_VALUE, value);
   return rcc;
}

uint32_t HandleGetList(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply) {
   std::string name = GetStringVar(rq, VID_PARAMETER, kMaxParameterName + 1);
   std::vector<std::string> lines;
   bool ok;
   if (strcasecmp(name.c_str(), "Net.InterfaceList") == 0)
      ok = GetInterfaceList(&lines);
   else if (strcasecmp(name.c_str(), "Net.ArpCache") == 0)
      ok = GetArpCache(&lines);
   else if (strcasecmp(name.c_str(), "Net.IP.RoutingTable") == 0)
      ok = GetRoutingTable(&lines);
   else
      return ERR_UNKNOWN_PARAMETER;
   if (!ok)
      return ERR_INTERNAL_ERROR;
   reply->SetVariable(VID_NUM_STRINGS, (uint32_t)lines.size());
   for (size_t i = 0; i < lines.size(); i++)
      SetStringVar(reply, VID_ITEM_LIST_BASE + (uint32_t)i, lines[i]);
   return ERR_SUCCESS;
}

uint32_t HandleGetTable(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply) {
   std::string name = GetStringVar(rq, VID_PARAMETER, kMaxParameterName + 1);
   Table table;
   if (!FillTable(name, &table))
      return ERR_UNKNOWN_PARAMETER;
   table.fillMessage(reply);
   return ERR_SUCCESS;
}

uint32_t HandleGetSupportedParameters(RequestContext &ctx, const CSCPMessage &rq,
                                      CSCPMessage *reply) {
   uint32_t count = 0;
   for (const ParameterInfo &p : kParameters) {
      uint32_t id = VID_ITEM_LIST_BASE + 3 * count;
      SetStringVar(reply, id, p.name);
      SetStringVar(reply, id + 1, p.description);
      reply->SetVariable(id + 2, p.dataType);
      count++;
   }
   reply->SetVariable(VID_NUM_PARAMETERS, count);
   uint32_t tables = 0;
   for (const TableInfo *t = kTables; t->name != nullptr; t++) {
      uint32_t id = VID_TABLE_LIST_BASE + 3 * tables;
      SetStringVar(reply, id, t->name);
      SetStringVar(reply, id + 1, t->instanceColumn);
      SetStringVar(reply, id + 2, t->description);
      tables++;
   }
   reply->SetVariable(VID_NUM_TABLES, tables);
   return ERR_SUCCESS;
}

}  // namespace hkagent
