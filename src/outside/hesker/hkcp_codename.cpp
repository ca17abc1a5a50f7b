// Printable names of the HKCP message codes, for logs.
#include <cwchar>

#include "hkcp.h"

namespace {

struct CodeName {
   uint16_t code;
   const wchar_t *name;
};

const CodeName CODE_NAMES[] = {
    {CMD_NOP, L"CMD_NOP"},
    {CMD_TRAP, L"CMD_TRAP"},
    {CMD_REQUEST_COMPLETED, L"CMD_REQUEST_COMPLETED"},
    {CMD_UNINSTALL_POLICY, L"CMD_UNINSTALL_POLICY"},
    {CMD_AUTHENTICATE, L"CMD_AUTHENTICATE"},
    {CMD_GET_PARAMETER, L"CMD_GET_PARAMETER"},
    {CMD_GET_LIST, L"CMD_GET_LIST"},
    {CMD_EXEC_ACTION, L"CMD_EXEC_ACTION"},
    {CMD_GET_POLICY_INVENTORY, L"CMD_GET_POLICY_INVENTORY"},
    {CMD_FILE_DATA, L"CMD_FILE_DATA"},
    {CMD_UPLOAD_FILE, L"CMD_UPLOAD_FILE"},
    {CMD_START_UPGRADE, L"CMD_START_UPGRADE"},
    {CMD_CHECK_NETWORK_SERVICE, L"CMD_CHECK_NETWORK_SERVICE"},
    {CMD_GET_CONFIG_FILE, L"CMD_GET_CONFIG_FILE"},
    {CMD_UPDATE_CONFIG_FILE, L"CMD_UPDATE_CONFIG_FILE"},
    {CMD_GET_SUPPORTED_PARAMETERS, L"CMD_GET_SUPPORTED_PARAMETERS"},
    {CMD_REQUEST_SESSION_KEY, L"CMD_REQUEST_SESSION_KEY"},
    {CMD_SESSION_KEY, L"CMD_SESSION_KEY"},
    {CMD_SETUP_PROXY_CONNECTION, L"CMD_SETUP_PROXY_CONNECTION"},
    {CMD_ENABLE_TRAPS, L"CMD_ENABLE_TRAPS"},
    {CMD_DATA_PUSH, L"CMD_DATA_PUSH"},
    {CMD_SNMP_REQUEST, L"CMD_SNMP_REQUEST"},
    {CMD_CONNECT_TO_SERVICE, L"CMD_CONNECT_TO_SERVICE"},
    {CMD_GET_TABLE, L"CMD_GET_TABLE"},
    {CMD_START_TLS, L"CMD_START_TLS"},
    {CMD_GET_HKCP_VERSION, L"CMD_GET_HKCP_VERSION"},
    {CMD_HKCP_VERSION, L"CMD_HKCP_VERSION"},
    {CMD_ENCRYPTED_MESSAGE, L"CMD_ENCRYPTED_MESSAGE"},
};

}  // namespace

wchar_t *HKCPMessageCodeName(uint16_t code, wchar_t *buffer) {
   if (buffer == nullptr)
      return nullptr;
   for (const CodeName &entry : CODE_NAMES) {
      if (entry.code == code) {
         wcsncpy(buffer, entry.name, 63);
         buffer[63] = 0;
         return buffer;
      }
   }
   swprintf(buffer, 64, L"CMD_0x%04X", (unsigned)code);
   return buffer;
}
