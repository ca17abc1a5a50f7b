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
