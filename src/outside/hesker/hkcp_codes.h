// Message codes (CMD_), variable ids (VID_), frame flags and limits of HKCP.
// The numbers are part of the wire protocol (docs/protocol.md) and never change.
#ifndef HKCP_CODES_H
#define HKCP_CODES_H

#include <cstdint>

// ---------------------------------------------------------------- limits
static const int HKCP_VERSION = 2;                   // the version this side speaks
static const uint32_t HKCP_MAX_FRAME_SIZE = 262144;  // largest frame a receiver accepts
static const uint32_t HKCP_HEADER_SIZE = 16;
static const uint32_t FILE_BUFFER_SIZE = 32768;  // data bytes per CMD_FILE_DATA frame

// ---------------------------------------------------------------- frame flags
static const uint16_t MF_BINARY = 0x0001;       // raw frame: data follows the header
static const uint16_t MF_END_OF_FILE = 0x0002;  // last frame of a file
static const uint16_t MF_ENCRYPTED = 0x8000;    // CSCP_ENCRYPTED_MESSAGE

// ---------------------------------------------------------------- result codes
// The values of VID_RCC, shared by the server library and the agent.
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
static const uint32_t ERR_NOT_CONNECTED = 900;
static const uint32_t ERR_CONNECTION_BROKEN = 901;
static const uint32_t ERR_BAD_RESPONSE = 902;
static const uint32_t ERR_IO_FAILURE = 903;
static const uint32_t ERR_RESOURCE_BUSY = 904;
static const uint32_t ERR_EXEC_FAILED = 905;
static const uint32_t ERR_ENCRYPTION_REQUIRED = 906;
static const uint32_t ERR_NO_CIPHERS = 907;
static const uint32_t ERR_INVALID_PUBLIC_KEY = 908;
static const uint32_t ERR_INVALID_SESSION_KEY = 909;
static const uint32_t ERR_CONNECT_FAILED = 910;
static const uint32_t ERR_MALFORMED_COMMAND = 911;
static const uint32_t ERR_SOCKET_ERROR = 912;
static const uint32_t ERR_BAD_ARGUMENTS = 913;
static const uint32_t ERR_SUBAGENT_LOAD_FAILED = 914;
static const uint32_t ERR_FILE_OPEN_ERROR = 915;
static const uint32_t ERR_FILE_STAT_FAILED = 916;
static const uint32_t ERR_MEM_ALLOC_FAILED = 917;
static const uint32_t ERR_FILE_DELETE_FAILED = 918;
// The agent did not prove that it knows the secret (AUTH_HMAC_SHA256): the
// peer is not the agent, or the channel was relayed.
static const uint32_t ERR_AGENT_AUTH_FAILED = 919;
// TLS could not be set up: the handshake failed, the peer refused our key,
// or the peer does not speak it (docs/protocol.md, "TLS").
static const uint32_t ERR_TLS_FAILED = 920;
// TLS was asked for without a pinned agent key or a trust decision: the
// key the agent showed is what an operator would pin.
static const uint32_t ERR_AGENT_KEY_NOT_PINNED = 921;
// The agent's key is neither the pinned one nor accepted by the decision.
static const uint32_t ERR_AGENT_KEY_UNTRUSTED = 922;
// AUTH_HMAC_SHA256 is only offered inside TLS.
static const uint32_t ERR_TLS_REQUIRED = 923;

// ---------------------------------------------------------------- message codes
static const uint16_t CMD_NOP = 3;
static const uint16_t CMD_TRAP = 19;
static const uint16_t CMD_REQUEST_COMPLETED = 29;
static const uint16_t CMD_UNINSTALL_POLICY = 60;
static const uint16_t CMD_AUTHENTICATE = 64;
static const uint16_t CMD_GET_PARAMETER = 65;
static const uint16_t CMD_GET_LIST = 66;
static const uint16_t CMD_EXEC_ACTION = 67;
static const uint16_t CMD_GET_POLICY_INVENTORY = 77;
static const uint16_t CMD_FILE_DATA = 105;
static const uint16_t CMD_UPLOAD_FILE = 106;
static const uint16_t CMD_START_UPGRADE = 107;
static const uint16_t CMD_CHECK_NETWORK_SERVICE = 115;
static const uint16_t CMD_GET_CONFIG_FILE = 116;
static const uint16_t CMD_UPDATE_CONFIG_FILE = 117;
static const uint16_t CMD_GET_SUPPORTED_PARAMETERS = 118;
static const uint16_t CMD_REQUEST_SESSION_KEY = 131;  // the key request
static const uint16_t CMD_SESSION_KEY = 132;
static const uint16_t CMD_SETUP_PROXY_CONNECTION = 149;
static const uint16_t CMD_ENABLE_TRAPS = 186;
static const uint16_t CMD_DATA_PUSH = 187;
static const uint16_t CMD_SNMP_REQUEST = 195;
static const uint16_t CMD_CONNECT_TO_SERVICE = 232;
static const uint16_t CMD_GET_TABLE = 245;
// Enter TLS after the version probe: the agent answers OK in the clear and
// both sides run the TLS 1.3 handshake right after that reply.
static const uint16_t CMD_START_TLS = 0x7FE0;
static const uint16_t CMD_GET_HKCP_VERSION = 0x7FF0;   // version probe (raw frame)
static const uint16_t CMD_HKCP_VERSION = 0x7FF1;       // its answer (raw frame)
static const uint16_t CMD_ENCRYPTED_MESSAGE = 0x7FFF;  // code field of an encrypted frame

// ---------------------------------------------------------------- variable ids
static const uint32_t VID_IP_ADDRESS = 8;
static const uint32_t VID_AGENT_PORT = 15;
static const uint32_t VID_AUTH_METHOD = 16;
static const uint32_t VID_SHARED_SECRET = 17;
static const uint32_t VID_VALUE = 21;
static const uint32_t VID_RCC = 28;
static const uint32_t VID_PARAMETER = 85;
static const uint32_t VID_NUM_STRINGS = 86;
static const uint32_t VID_ACTION_NAME = 87;
static const uint32_t VID_NUM_ARGS = 88;
static const uint32_t VID_FILE_NAME = 125;
static const uint32_t VID_SERVICE_TYPE = 130;
static const uint32_t VID_IP_PROTO = 131;
static const uint32_t VID_IP_PORT = 132;
static const uint32_t VID_SERVICE_REQUEST = 133;
static const uint32_t VID_SERVICE_RESPONSE = 134;
static const uint32_t VID_SERVICE_STATUS = 136;
static const uint32_t VID_NUM_PARAMETERS = 137;
static const uint32_t VID_CONFIG_FILE = 159;
static const uint32_t VID_GUID = 222;
static const uint32_t VID_PORT = 268;
static const uint32_t VID_PDU = 269;
static const uint32_t VID_PDU_SIZE = 270;
static const uint32_t VID_SERVICE_ID = 315;
static const uint32_t VID_NUM_ELEMENTS = 361;
static const uint32_t VID_DESTINATION_FILE_NAME = 377;
static const uint32_t VID_NUM_TABLES = 378;
static const uint32_t VID_NUM_VLANS = 382;

// Key exchange (docs/protocol.md, "Encryption").
static const uint32_t VID_SUPPORTED_ENCRYPTION = 0x7F00;  // 32-bit cipher mask
static const uint32_t VID_PUBLIC_KEY = 0x7F01;            // DER SubjectPublicKeyInfo
static const uint32_t VID_CIPHER = 0x7F02;                // 32-bit cipher chosen by the peer
static const uint32_t VID_SESSION_KEY = 0x7F03;           // RSA-OAEP-encrypted key
static const uint32_t VID_KEY_LENGTH = 0x7F04;            // 16-bit key length in bytes
static const uint32_t VID_AUTH_NONCE = 0x7F05;            // 32 random bytes of one side
static const uint32_t VID_AUTH_PROOF = 0x7F06;            // 32-byte HMAC-SHA-256 proof

// Tables (docs/protocol.md, "Tables").
static const uint32_t VID_TABLE_TITLE = 0x7F10;
static const uint32_t VID_TABLE_NUM_ROWS = 0x7F11;
static const uint32_t VID_TABLE_NUM_COLS = 0x7F12;
static const uint32_t VID_TABLE_INSTANCE_COLUMN = 0x7F13;
static const uint32_t VID_TABLE_COLUMN_INFO_BASE = 0x20000000;  // 2 ids per column
static const uint32_t VID_TABLE_DATA_BASE = 0x30000000;         // row-major cells

static const uint32_t VID_ITEM_LIST_BASE = 0x10000000;
static const uint32_t VID_TABLE_LIST_BASE = 0x40000000;

// ---------------------------------------------------------------- ciphers
static const uint32_t HKCP_CIPHER_AES_256_GCM = 0x0001;
static const uint32_t HKCP_SUPPORTED_CIPHERS = HKCP_CIPHER_AES_256_GCM;

// ---------------------------------------------------------------- key exchange results
static const uint32_t RCC_NO_CIPHERS = 42;
static const uint32_t RCC_INVALID_PUBLIC_KEY = 43;
static const uint32_t RCC_INVALID_SESSION_KEY = 44;

#endif
