// Codes that only this agent defines: its own request codes, variable ids,
// trap codes, service-check statuses and parameter data types. The numbers
// sit outside the ranges that hkcp_codes.h uses, and are documented in
// tools/hkagent/README.md.
#ifndef HKAGENT_AGENT_CODES_H
#define HKAGENT_AGENT_CODES_H

#include <cstdint>

// In a namespace: the server library's headers declare the same result-code
// names, and a program may include both.
namespace hkagent {

// Agent result codes (the VID_RCC values the server library knows).
static const uint32_t ERR_SUCCESS = 0;
static const uint32_t ERR_UNKNOWN_COMMAND = 400;
static const uint32_t ERR_AUTH_REQUIRED = 401;
static const uint32_t ERR_ACCESS_DENIED = 403;
static const uint32_t ERR_UNKNOWN_PARAMETER = 404;
static const uint32_t ERR_REQUEST_TIMEOUT = 408;
static const uint32_t ERR_AUTH_FAILED = 440;
static const uint32_t ERR_ALREADY_AUTHENTICATED = 441;
static const uint32_t ERR_AUTH_NOT_REQUIRED = 442;
static const uint32_t ERR_INTERNAL_ERROR = 500;
static const uint32_t ERR_NOT_IMPLEMENTED = 501;
static const uint32_t ERR_OUT_OF_RESOURCES = 503;
static const uint32_t ERR_IO_FAILURE = 903;
static const uint32_t ERR_RESOURCE_BUSY = 904;
static const uint32_t ERR_EXEC_FAILED = 905;
static const uint32_t ERR_ENCRYPTION_REQUIRED = 906;
static const uint32_t ERR_CONNECT_FAILED = 910;
static const uint32_t ERR_MALFORMED_COMMAND = 911;
static const uint32_t ERR_SOCKET_ERROR = 912;
static const uint32_t ERR_BAD_ARGUMENTS = 913;
static const uint32_t ERR_FILE_OPEN_ERROR = 915;
static const uint32_t ERR_FILE_STAT_FAILED = 916;
static const uint32_t ERR_MEM_ALLOC_FAILED = 917;
static const uint32_t ERR_FILE_DELETE_FAILED = 918;

// Authentication methods of CMD_AUTHENTICATE.
static const uint16_t AUTH_NONE = 0;
static const uint16_t AUTH_PLAINTEXT = 1;
static const uint16_t AUTH_MD5_HASH = 2;
static const uint16_t AUTH_SHA1_HASH = 3;
static const uint16_t AUTH_HMAC_SHA256 = 4;  // mutual, bound to the encrypted channel

// Requests of this agent, sent through the server library's customRequest.
// Download a file of the file store: VID_FILE_NAME names it; the reply is
// followed by the file as raw CMD_FILE_DATA frames with the request's id.
static const uint16_t CMD_GET_AGENT_FILE = 0x7E01;
// Send one CMD_DATA_PUSH to this session right after the reply.
static const uint16_t CMD_PUSH_NOW = 0x7E02;

// Variables of traps, data pushes and the download reply.
static const uint32_t VID_AGENT_EVENT_CODE = 0x7E10;  // 32-bit trap code
static const uint32_t VID_AGENT_EVENT_TEXT = 0x7E11;  // string
static const uint32_t VID_AGENT_TIMESTAMP = 0x7E12;   // 64-bit, seconds since 1970
static const uint32_t VID_AGENT_FILE_SIZE = 0x7E13;   // 64-bit, the download's size
// String: the settings a refused CMD_UPDATE_CONFIG_FILE tried to change,
// separated by ", " (names as documented, "[actions] NAME" for actions).
static const uint32_t VID_AGENT_REFUSED_KEYS = 0x7E14;

// Trap codes (VID_AGENT_EVENT_CODE of a CMD_TRAP).
static const uint32_t TRAP_CONFIG_REPLACED = 1;
static const uint32_t TRAP_FILE_UPLOADED = 2;
static const uint32_t TRAP_POLICY_REMOVED = 3;

// VID_SERVICE_STATUS of CMD_CHECK_NETWORK_SERVICE.
static const uint32_t SERVICE_OK = 0;
static const uint32_t SERVICE_CONNECT_REFUSED = 1;  // refused, unreachable or reset
static const uint32_t SERVICE_CONNECT_TIMEOUT = 2;  // no connection within the time limit
static const uint32_t SERVICE_SEND_FAILED = 3;      // the request text could not be sent
static const uint32_t SERVICE_NO_RESPONSE = 4;      // nothing came back before close or time-out
static const uint32_t SERVICE_BAD_RESPONSE = 5;     // data came back without the expected text

// Data types of CMD_GET_SUPPORTED_PARAMETERS entries.
static const uint16_t DT_INT = 0;
static const uint16_t DT_UINT = 1;
static const uint16_t DT_INT64 = 2;
static const uint16_t DT_UINT64 = 3;
static const uint16_t DT_STRING = 4;
static const uint16_t DT_FLOAT = 5;

}  // namespace hkagent

#endif
