// The agent's configuration file, actions, policies and service checks.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "agent_codes.h"
#include "commands.h"
#include "text.h"

using namespace hktool;

namespace hkquery {

namespace {

// The agent answers in one frame, so nothing much larger can be sent.
const size_t kMaxConfigSize = 256 * 1024;

int Done(const Query &q, const std::string &what, const std::string &detail) {
   if (q.tool().json) {
      JsonWriter json;
      json.beginObject();
      json.member("request", what);
      json.member("result", 0);
      json.member("message", AgentErrorCodeToText(0));
      if (!detail.empty())
         json.member("detail", detail);
      json.endObject();
      PrintJson(json);
   } else {
      printf("%s: %s\n", what.c_str(), detail.empty() ? "done" : detail.c_str());
   }
   return EXIT_OK;
}

std::string GuidText(const uint8_t *guid) {
   static const char kHex[] = "0123456789abcdef";
   std::string text;
   for (int i = 0; i < 16; i++) {
      if (i == 4 || i == 6 || i == 8 || i == 10)
         text.push_back('-');
      text.push_back(kHex[guid[i] >> 4]);
      text.push_back(kHex[guid[i] & 15]);
   }
   return text;
}

// 32 hex digits, dashes and braces ignored.
bool ParseGuid(const std::string &text, uint8_t *guid) {
   std::string digits;
   for (char c : text) {
      if (c == '-' || c == '{' || c == '}')
         continue;
      if (!isxdigit((unsigned char)c))
         return false;
      digits.push_back(c);
   }
   if (digits.size() != 32)
      return false;
   for (int i = 0; i < 16; i++)
      guid[i] = (uint8_t)strtoul(digits.substr((size_t)i * 2, 2).c_str(), nullptr, 16);
   return true;
}

const char *ServiceStatusText(uint32_t status) {
   switch (status) {
      case hkagent::SERVICE_OK:
         return "ok";
      case hkagent::SERVICE_CONNECT_REFUSED:
         return "refused or unreachable";
      case hkagent::SERVICE_CONNECT_TIMEOUT:
         return "no connection in time";
      case hkagent::SERVICE_SEND_FAILED:
         return "request not sent";
      case hkagent::SERVICE_NO_RESPONSE:
         return "no response";
      case hkagent::SERVICE_BAD_RESPONSE:
         return "unexpected response";
      default:
         return "unknown status";
   }
}

}  // namespace

int RunConfigGet(const Query &q) {
   wchar_t *raw = nullptr;
   uint32_t size = 0;
   uint32_t code = q.agent->getConfigFile(&raw, &size);
   std::unique_ptr<wchar_t, void (*)(void *)> text(raw, free);
   if (code != ERR_SUCCESS)
      return RequestFailed(q, "configuration file", code);
   // One character per byte: the file goes out as the agent holds it.
   std::string bytes = WideToBytes(text.get());
   if (q.tool().json) {
      JsonWriter json;
      json.beginObject();
      json.member("size", size);
      json.member("config", bytes);
      json.endObject();
      PrintJson(json);
      return EXIT_OK;
   }
   if (fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || fflush(stdout) != 0)
      return ReportError(q.tool(), ERR_IO_FAILURE, std::string("cannot write: ") + strerror(errno));
   return EXIT_OK;
}

int RunConfigPut(const Query &q) {
   const std::string &path = q.options.modeArgument;
   std::ifstream file(path, std::ios::binary);
   if (!file)
      return ReportError(q.tool(), ERR_FILE_OPEN_ERROR, "cannot open " + path);
   std::ostringstream content;
   content << file.rdbuf();
   std::string bytes = content.str();
   if (bytes.size() > kMaxConfigSize)
      return ReportError(q.tool(), ERR_BAD_ARGUMENTS, path + " is larger than 256 KiB");
   // The request carries a text: a NUL byte would silently cut the file.
   if (bytes.find('\0') != std::string::npos)
      return ReportError(q.tool(), ERR_BAD_ARGUMENTS, path + " holds a NUL byte; not a text file");
   std::wstring text = BytesToWide(bytes);
   uint32_t code = q.agent->updateConfigFile(text.c_str());
   if (code != ERR_SUCCESS)
      return RequestFailed(q, "configuration file", code);
   return Done(q, "config-put", std::to_string(bytes.size()) + " bytes written");
}

int RunAction(const Query &q) {
   std::wstring name = Utf8ToWide(q.options.modeArgument);
   std::vector<std::wstring> args;
   for (const std::string &item : q.options.items)
      args.push_back(Utf8ToWide(item));
   std::vector<wchar_t *> pointers;
   for (std::wstring &arg : args)
      pointers.push_back(arg.data());
   uint32_t code = q.agent->execAction(name.c_str(), (int)pointers.size(),
                                       pointers.empty() ? nullptr : pointers.data());
   if (code != ERR_SUCCESS)
      return RequestFailed(q, "action " + q.options.modeArgument, code);
   return Done(q, "action " + q.options.modeArgument, "");
}

int RunPolicies(const Query &q) {
   AgentPolicyInfo *raw = nullptr;
   uint32_t code = q.agent->getPolicyInventory(&raw);
   std::unique_ptr<AgentPolicyInfo> inventory(raw);
   if (code != ERR_SUCCESS)
      return RequestFailed(q, "policy inventory", code);
   int count = inventory ? inventory->getSize() : 0;
   JsonWriter json;
   json.beginObject();
   json.key("policies");
   json.beginArray();
   TextTable table({"GUID", "TYPE", "SERVER"});
   for (int i = 0; i < count; i++) {
      uint8_t guid[16] = {};
      inventory->getGuid(i, guid);
      std::string server = WideToUtf8(inventory->getServer(i));
      json.beginObject();
      json.member("guid", GuidText(guid));
      json.member("type", inventory->getType(i));
      json.member("server", server);
      json.endObject();
      table.addRow({GuidText(guid), std::to_string(inventory->getType(i)), server});
   }
   json.endArray();
   json.endObject();
   if (q.tool().json)
      PrintJson(json);
   else
      table.print(stdout);
   return EXIT_OK;
}

int RunRemovePolicy(const Query &q) {
   uint8_t guid[16];
   if (!ParseGuid(q.options.modeArgument, guid))
      return ReportUsage(q.tool(), "a GUID has 32 hexadecimal digits");
   uint32_t code = q.agent->uninstallPolicy(guid);
   if (code != ERR_SUCCESS)
      return RequestFailed(q, "policy " + q.options.modeArgument, code);
   return Done(q, "remove-policy", GuidText(guid) + " removed");
}

int RunCheckService(const Query &q) {
   uint32_t address;
   uint16_t port = 0;
   std::string error;
   if (!ParseHostPort(q.options.modeArgument, &address, &port, &error) || port == 0)
      return ReportUsage(q.tool(), "--check-service takes HOST:PORT");
   std::wstring request = Utf8ToWide(q.options.serviceRequest);
   std::wstring response = Utf8ToWide(q.options.serviceResponse);
   uint32_t status = 0;
   const uint16_t kTcp = 6;
   uint32_t code = q.agent->checkNetworkService(&status, address, 0, port, kTcp, request.c_str(),
                                                response.c_str());
   if (code != ERR_SUCCESS)
      return RequestFailed(q, "service check", code);
   if (q.tool().json) {
      JsonWriter json;
      json.beginObject();
      json.member("service", q.options.modeArgument);
      json.member("status", status);
      json.member("message", ServiceStatusText(status));
      json.endObject();
      PrintJson(json);
   } else {
      printf("%s: %s (status %u)\n", q.options.modeArgument.c_str(), ServiceStatusText(status),
             status);
   }
   // The request worked; whether the service is up is the status.
   return status == hkagent::SERVICE_OK ? EXIT_OK : EXIT_FAILED;
}

}  // namespace hkquery
