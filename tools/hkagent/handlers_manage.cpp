// Management requests: actions, service checks, the configuration file.
#include <algorithm>
#include <vector>

#include "action_runner.h"
#include "agent_codes.h"
#include "dispatcher.h"
#include "fd_util.h"
#include "log.h"
#include "service_check.h"

namespace hkagent {

namespace {
const uint32_t kMaxActionArgs = 64;
const size_t kMaxArgLength = 4096;
const uint16_t kProtoTcp = 6;
}  // namespace

namespace {

// Fills argv from the action's words and the request's arguments. The
// arguments go only where a placeholder takes them; one starting with '-'
// only into a ":dash" placeholder, one holding '/' or that is "." or ".."
// only into a ":path" one, and one holding a NUL nowhere.
uint32_t BuildActionArgv(const ActionDef &action, const std::vector<std::string> &args,
                         std::vector<std::string> *argv, std::string *why) {
   uint32_t numbered;
   bool rest;
   if (!ReadPlaceholders(action, &numbered, &rest, why))
      return ERR_INTERNAL_ERROR;
   auto usable = [&](size_t index, const ActionWordPart &part) {
      const std::string &arg = args[index];
      const char *problem = nullptr;
      if (arg.find('\0') != std::string::npos)
         problem = "holds a NUL";
      else if (!part.dash && !arg.empty() && arg[0] == '-')
         problem = "starts with '-'";
      else if (!part.path && arg.find('/') != std::string::npos)
         problem = "holds '/'";
      else if (!part.path && (arg == "." || arg == ".."))
         problem = "names a folder, not a name in it";
      if (problem != nullptr)
         *why = "argument " + std::to_string(index + 1) + " " + problem;
      return problem == nullptr;
   };
   if (args.size() < numbered || (args.size() > numbered && !rest)) {
      *why = "takes " + std::to_string(numbered) + (rest ? " or more" : "") + " arguments, " +
             std::to_string(args.size()) + " given";
      return ERR_BAD_ARGUMENTS;
   }
   argv->clear();
   argv->push_back(action.argv[0]);
   for (size_t w = 1; w < action.argv.size(); w++) {
      std::string out;
      bool restWord = false;
      for (const ActionWordPart &part : SplitActionWord(action.argv[w])) {
         if (!part.placeholder) {
            out += part.literal;
         } else if (part.rest) {
            restWord = true;
            for (size_t i = numbered; i < args.size(); i++) {
               if (!usable(i, part))
                  return ERR_ACCESS_DENIED;
               argv->push_back(args[i]);
            }
         } else {
            if (!usable(part.index - 1, part))
               return ERR_ACCESS_DENIED;
            out += args[part.index - 1];
         }
      }
      if (!restWord)
         argv->push_back(std::move(out));
   }
   return ERR_SUCCESS;
}

// An action argument as sent, a NUL inside it kept (BuildActionArgv refuses
// it) rather than cutting the text there. False when it is too long.
bool GetArgument(const CSCPMessage &rq, uint32_t id, std::string *arg) {
   // The getter copies the stored characters, NULs included, and stops
   // there; what it left of the filler shows where the copy ended.
   const wchar_t kUnused = (wchar_t)0x7FFFFFFF;
   std::vector<wchar_t> buffer(kMaxArgLength + 2, kUnused);
   rq.GetVariableStr(id, buffer.data(), (uint32_t)buffer.size());
   size_t length = buffer.size() - 1;
   while (length > 0 && buffer[length] == kUnused)
      length--;
   if (length > kMaxArgLength)
      return false;
   bool nul = std::find(buffer.begin(), buffer.begin() + (ptrdiff_t)length, L'\0') !=
              buffer.begin() + (ptrdiff_t)length;
   *arg = GetStringVar(rq, id, kMaxArgLength + 1);
   if (nul)
      arg->push_back('\0');
   return true;
}

}  // namespace

uint32_t HandleExecAction(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply) {
   std::string name = GetStringVar(rq, VID_ACTION_NAME, 256);
   auto it = ctx.config.actions.find(name);
   if (it == ctx.config.actions.end()) {
      HKLOG_INFO("unknown action \"%s\" requested", EscapeForLog(name).c_str());
      return ERR_UNKNOWN_PARAMETER;
   }
   uint32_t count = rq.GetVariableLong(VID_NUM_ARGS);
   if (count > kMaxActionArgs)
      return ERR_BAD_ARGUMENTS;
   std::vector<std::string> args;
   for (uint32_t i = 0; i < count; i++) {
      if (!rq.IsVariableExist(VID_ITEM_LIST_BASE + i))
         return ERR_BAD_ARGUMENTS;
      std::string arg;
      if (!GetArgument(rq, VID_ITEM_LIST_BASE + i, &arg))
         return ERR_BAD_ARGUMENTS;
      args.push_back(std::move(arg));
   }
   std::vector<std::string> argv;
   std::string why;
   uint32_t rcc = BuildActionArgv(it->second, args, &argv, &why);
   if (rcc != ERR_SUCCESS) {
      HKLOG_WARN("action \"%s\" refused for %s: %s", name.c_str(),
                 Ipv4ToText(ctx.state.peerAddress).c_str(), why.c_str());
      return rcc;
   }
   ProgramResult result;
   rcc = RunProgram(argv, ctx.config.actionTimeoutMs, &result);
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
   if (!TargetAllowed(ctx.config.serviceCheckTargets, address, port,
                      ctx.runtime.listenEndpoint())) {
      HKLOG_WARN("service check of %s:%u for %s refused: not in ServiceCheckTargets",
                 Ipv4ToText(address).c_str(), port, Ipv4ToText(ctx.state.peerAddress).c_str());
      return ERR_ACCESS_DENIED;
   }
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
   std::string peer = Ipv4ToText(ctx.state.peerAddress);
   if (!ctx.config.allowConfigUpdate) {
      HKLOG_WARN("configuration update from %s refused: AllowConfigUpdate is off", peer.c_str());
      return ERR_ACCESS_DENIED;
   }
   if (!rq.IsVariableExist(VID_CONFIG_FILE))
      return ERR_MALFORMED_COMMAND;
   uint32_t length = rq.GetVariableBinary(VID_CONFIG_FILE, nullptr, 0);
   std::string content(length, '\0');
   if (length > 0)
      rq.GetVariableBinary(VID_CONFIG_FILE, (uint8_t *)content.data(), length);
   std::vector<std::string> refused;
   uint32_t rcc = ctx.runtime.replaceConfigFile(content, &refused);
   if (!refused.empty()) {
      std::string list;
      for (const std::string &key : refused)
         list += (list.empty() ? "" : ", ") + key;
      HKLOG_WARN("configuration update from %s refused: it changes %s", peer.c_str(),
                 EscapeForLog(list).c_str());
      SetStringVar(reply, VID_AGENT_REFUSED_KEYS, list);
   }
   return rcc;
}

}  // namespace hkagent
