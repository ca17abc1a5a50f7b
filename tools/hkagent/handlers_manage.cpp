// Management requests: actions, service checks, the configuration file.
#include <vector>

#include "action_runner.h"
#include "agent_codes.h"
#include "dispatcher.h"
#include "log.h"
#include "service_check.h"

namespace hkagent {

namespace {
const uint32_t kMaxActionArgs = 64;
const size_t kMaxArgLength = 4096;
const uint16_t kProtoTcp = 6;
}  // namespace

uint32_t HandleExecAction(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply) {
   std::string name = GetStringVar(rq, VID_ACTION_NAME, 256);
   auto it = ctx.config.actions.find(name);
   if (it == ctx.config.actions.end()) {
      HKLOG_INFO("unknown action \"%s\" requested", name.c_str());
      return ERR_UNKNOWN_PARAMETER;
   }
   uint32_t count = rq.GetVariableLong(VID_NUM_ARGS);
   if (count > kMaxActionArgs)
      return ERR_BAD_ARGUMENTS;
   std::vector<std::string> argv = it->second.argv;
   for (uint32_t i = 0; i < count; i++) {
      if (!rq.IsVariableExist(VID_ITEM_LIST_BASE + i))
         return ERR_BAD_ARGUMENTS;
      std::string arg = GetStringVar(rq, VID_ITEM_LIST_BASE + i, kMaxArgLength + 1);
      if (arg.size() > kMaxArgLength)
         return ERR_BAD_ARGUMENTS;
      argv.push_back(std::move(arg));
   }
   ProgramResult result;
   uint32_t rcc = RunProgram(argv, ctx.config.actionTimeoutMs, &result);
   HKLOG_INFO("action \"%s\": %s (exit %d, signal %d)", name.c_str(),
              result.timedOut      ? "killed at the time limit"
              : rcc == ERR_SUCCESS ? "done"
                                   : "failed",
              result.exitCode, result.signal);
   return rcc;
}

uint32_t HandleCheckService(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply) {
   if (!ctx.config.enableServiceCheck)
      return ERR_ACCESS_DENIED;
   uint16_t proto = rq.GetVariableShort(VID_IP_PROTO);
   if (proto != 0 && proto != kProtoTcp)
      return ERR_NOT_IMPLEMENTED;
   uint16_t port = rq.GetVariableShort(VID_IP_PORT);
   if (port == 0)
      return ERR_BAD_ARGUMENTS;
   uint32_t address = rq.GetVariableLong(VID_IP_ADDRESS);
   std::string request = GetStringVar(rq, VID_SERVICE_REQUEST, 65536, TextEncoding::Latin1);
   std::string expected = GetStringVar(rq, VID_SERVICE_RESPONSE, 4096, TextEncoding::Latin1);
   uint32_t status =
       CheckTcpService(address, port, request, expected, ctx.config.serviceCheckTimeoutMs);
   reply->SetVariable(VID_SERVICE_STATUS, status);
   return ERR_SUCCESS;
}

uint32_t HandleGetConfigFile(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply) {
   std::string content;
   uint32_t rcc = ctx.runtime.readConfigFile(&content);
   if (rcc == ERR_SUCCESS)
      reply->SetVariable(VID_CONFIG_FILE, (const uint8_t *)content.data(),
                         (uint32_t)content.size());
   return rcc;
}

uint32_t HandleUpdateConfigFile(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply) {
   if (!rq.IsVariableExist(VID_CONFIG_FILE))
      return ERR_MALFORMED_COMMAND;
   uint32_t length = rq.GetVariableBinary(VID_CONFIG_FILE, nullptr, 0);
   std::string content(length, '\0');
   if (length > 0)
      rq.GetVariableBinary(VID_CONFIG_FILE, (uint8_t *)content.data(), length);
   return ctx.runtime.replaceConfigFile(content);
}

}  // namespace hkagent
