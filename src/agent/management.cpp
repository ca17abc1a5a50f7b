// Management requests: actions, network-service checks, the configuration
// file, traps, upgrades and policies.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "agent/request_util.h"
#include "hksrv_agent.h"

using hksrv_agent::FileBaseName;
using hksrv_agent::kMaxReplyItems;

namespace {

// Well-known ports of the echo, SSH, POP3, SMTP, FTP and web services, by
// service type.
const uint16_t kDefaultServicePorts[] = {7, 22, 110, 25, 21, 80};
const uint16_t kDefaultServiceProto = 6;  // TCP
const uint32_t kServiceCheckTimeout = 90000;

}  // namespace

uint32_t AgentConnection::execAction(const wchar_t *action, int numArgs, wchar_t **args) {
   if (!m_isConnected)
      return ERR_NOT_CONNECTED;

   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_EXEC_ACTION);
   request.SetId(generateRequestId());
   request.SetVariable(VID_ACTION_NAME, action);
   request.SetVariable(VID_NUM_ARGS, (uint32_t)numArgs);
   for (int i = 0; i < numArgs; i++)
      request.SetVariable(VID_ITEM_LIST_BASE + (uint32_t)i, (args != nullptr) ? args[i] : nullptr);
   return exchange(&request, m_commandTimeout);
}

uint32_t AgentConnection::checkNetworkService(uint32_t *status, uint32_t ipAddr, int serviceType,
                                              uint16_t port, uint16_t proto, const wchar_t *request,
                                              const wchar_t *response) {
   if (!m_isConnected)
      return ERR_NOT_CONNECTED;

   CSCPMessage message(m_protocolVersion);
   message.SetCode(CMD_CHECK_NETWORK_SERVICE);
   message.SetId(generateRequestId());
   message.SetVariable(VID_IP_ADDRESS, ipAddr);
   message.SetVariable(VID_SERVICE_TYPE, (uint16_t)serviceType);
   size_t typeIndex =
       ((uint32_t)serviceType < std::size(kDefaultServicePorts)) ? (uint32_t)serviceType : 0;
   message.SetVariable(VID_IP_PORT, (port != 0) ? port : kDefaultServicePorts[typeIndex]);
   message.SetVariable(VID_IP_PROTO, (proto != 0) ? proto : kDefaultServiceProto);
   message.SetVariable(VID_SERVICE_REQUEST, request);
   message.SetVariable(VID_SERVICE_RESPONSE, response);
   // The agent runs the check before it answers: a fixed, longer wait than
   // the command time-out.
   return exchange(&message, kServiceCheckTimeout, [status](CSCPMessage *reply) {
      if (status != nullptr)
         *status = reply->GetVariableLong(VID_SERVICE_STATUS);
   });
}

uint32_t AgentConnection::getConfigFile(wchar_t **text, uint32_t *fileSize) {
   *text = nullptr;
   *fileSize = 0;
   if (!m_isConnected)
      return ERR_NOT_CONNECTED;

   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_GET_CONFIG_FILE);
   request.SetId(generateRequestId());
   return exchange(&request, m_commandTimeout, [text, fileSize](CSCPMessage *reply) {
      // One byte of the 8-bit code page is one character, so n bytes make
      // a text of n characters.
      uint32_t size = reply->GetVariableBinary(VID_CONFIG_FILE, nullptr, 0);
      auto *bytes = static_cast<char *>(malloc((size_t)size + 1));
      auto *converted = static_cast<wchar_t *>(calloc((size_t)size + 1, sizeof(wchar_t)));
      reply->GetVariableBinary(VID_CONFIG_FILE, reinterpret_cast<uint8_t *>(bytes), size);
      CodePageToWide(bytes, (int)size, converted, (size_t)size + 1);
      free(bytes);
      converted[size] = L'\0';
      // Control characters other than tab, line feed and carriage return
      // (NUL included) become spaces, so the text is one string.
      for (uint32_t i = 0; i < size; i++) {
         wchar_t c = converted[i];
         if (c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r')
            converted[i] = L' ';
      }
      *text = converted;
      *fileSize = size;
   });
}

uint32_t AgentConnection::updateConfigFile(const wchar_t *text) {
   if (!m_isConnected)
      return ERR_NOT_CONNECTED;

   size_t length = (text != nullptr) ? wcslen(text) : 0;
   auto *bytes = static_cast<char *>(malloc(length + 1));
   if (bytes == nullptr)
      return ERR_MEM_ALLOC_FAILED;
   // Precomposition may write fewer bytes than the text has characters; only
   // the bytes written are the file (the rest of the buffer was never set).
   size_t written = WideToCodePage((text != nullptr) ? text : L"", (int)length, bytes, length + 1);

   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_UPDATE_CONFIG_FILE);
   request.SetId(generateRequestId());
   request.SetVariable(VID_CONFIG_FILE, reinterpret_cast<uint8_t *>(bytes), (uint32_t)written);
   free(bytes);
   return exchange(&request, m_commandTimeout);
}

uint32_t AgentConnection::enableTraps() {
   // No connected check: on a session without a connection the send fails.
   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_ENABLE_TRAPS);
   request.SetId(generateRequestId());
   return exchange(&request, m_commandTimeout);
}

uint32_t AgentConnection::startUpgrade(const wchar_t *packageFile) {
   if (!m_isConnected)
      return ERR_NOT_CONNECTED;

   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_START_UPGRADE);
   request.SetId(generateRequestId());
   request.SetVariable(VID_FILE_NAME, FileBaseName(packageFile));
   return exchange(&request, m_commandTimeout);
}

uint32_t AgentConnection::getPolicyInventory(AgentPolicyInfo **inventory) {
   *inventory = nullptr;

   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_GET_POLICY_INVENTORY);
   request.SetId(generateRequestId());
   return exchange(&request, m_commandTimeout,
                   [inventory](CSCPMessage *reply) { *inventory = new AgentPolicyInfo(reply); });
}

uint32_t AgentConnection::uninstallPolicy(uint8_t *guid) {
   // A null GUID cannot name a policy; refusing it beats reading through it.
   if (guid == nullptr)
      return ERR_BAD_ARGUMENTS;

   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_UNINSTALL_POLICY);
   request.SetId(generateRequestId());
   request.SetVariable(VID_GUID, guid, 16);
   return exchange(&request, m_commandTimeout);
}

// ---------------------------------------------------------------- AgentPolicyInfo

AgentPolicyInfo::AgentPolicyInfo(CSCPMessage *message)
    : m_size(0), m_guids(nullptr), m_types(nullptr), m_servers(nullptr) {
   auto size = (int32_t)message->GetVariableLong(VID_NUM_ELEMENTS);
   if (size <= 0)
      return;
   // Each entry needs variables of its own: a count beyond what the
   // message holds cannot be honest and must not size the arrays.
   m_size = (int)std::min({(uint32_t)size, message->GetNumVariables(), kMaxReplyItems});
   m_guids = static_cast<uint8_t *>(calloc((size_t)m_size, 16));
   m_types = static_cast<int *>(calloc((size_t)m_size, sizeof(int)));
   m_servers = static_cast<wchar_t **>(calloc((size_t)m_size, sizeof(wchar_t *)));
   for (int i = 0; i < m_size; i++) {
      uint32_t id = VID_ITEM_LIST_BASE + 10 * (uint32_t)i;
      message->GetVariableBinary(id, &m_guids[16 * i], 16);
      m_types[i] = (int)message->GetVariableShort(id + 1);
      m_servers[i] = message->GetVariableStr(id + 2);
   }
}

AgentPolicyInfo::~AgentPolicyInfo() {
   if (m_servers != nullptr) {
      for (int i = 0; i < m_size; i++)
         free(m_servers[i]);
   }
   free(m_servers);
   free(m_types);
   free(m_guids);
}

bool AgentPolicyInfo::getGuid(int index, uint8_t *buffer) const {
   if (index < 0 || index >= m_size)
      return false;
   memcpy(buffer, &m_guids[16 * index], 16);
   return true;
}

int AgentPolicyInfo::getType(int index) const {
   return (index >= 0 && index < m_size) ? m_types[index] : -1;
}

const wchar_t *AgentPolicyInfo::getServer(int index) const {
   return (index >= 0 && index < m_size) ? m_servers[index] : nullptr;
}
