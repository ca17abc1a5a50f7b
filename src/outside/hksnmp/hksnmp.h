// libhksnmp: SNMPv1/v2c/v3 messages, variables, object ids and transports.
//
// An SNMP_PDU holds one message (version, community, command, request id,
// error status and index, and its variables). SNMPv3 messages use the
// User-based Security Model: the transport's security context carries the
// user, levels, protocols, keys and what it learnt of the device's engine. It encodes itself into a
// malloc'ed BER buffer and parses a received one; the parser is strict and
// bounded (it never reads past the buffer and rejects anything it does not
// fully understand). An SNMP_Transport carries PDUs to one device; doRequest
// runs a request/response exchange with retries over any transport.
//
// Thread safety: objects are not internally locked. Distinct objects may be
// used on distinct threads at once; one object (a PDU, a transport) must be
// used by one thread at a time. The free functions are safe on any thread.
//
// Ownership: a PDU owns its variables, a variable its name and value, a
// transport its socket and its security context. Buffers handed out are
// malloc'ed and freed by the caller with free().
#ifndef HKSNMP_H
#define HKSNMP_H

#include <cstddef>
#include <cstdint>
#include "hk_platform.h"

#include "hksnmp_export.h"

// ---------------------------------------------------------------- ASN.1 tags
static constexpr uint32_t ASN_INTEGER = 0x02;
static constexpr uint32_t ASN_OCTET_STRING = 0x04;
static constexpr uint32_t ASN_NULL = 0x05;
static constexpr uint32_t ASN_OBJECT_ID = 0x06;
static constexpr uint32_t ASN_SEQUENCE = 0x30;
static constexpr uint32_t ASN_IP_ADDR = 0x40;
static constexpr uint32_t ASN_COUNTER32 = 0x41;
static constexpr uint32_t ASN_GAUGE32 = 0x42;
static constexpr uint32_t ASN_TIMETICKS = 0x43;
static constexpr uint32_t ASN_OPAQUE = 0x44;
static constexpr uint32_t ASN_COUNTER64 = 0x46;
static constexpr uint32_t ASN_UINTEGER32 = 0x47;
static constexpr uint32_t ASN_NO_SUCH_OBJECT = 0x80;
static constexpr uint32_t ASN_NO_SUCH_INSTANCE = 0x81;
static constexpr uint32_t ASN_END_OF_MIBVIEW = 0x82;

// ---------------------------------------------------------------- PDU commands
// The low bits of the PDU's context tag (0xA0 | command).
static constexpr uint32_t SNMP_GET_REQUEST = 0;
static constexpr uint32_t SNMP_GET_NEXT_REQUEST = 1;
static constexpr uint32_t SNMP_RESPONSE = 2;
static constexpr uint32_t SNMP_SET_REQUEST = 3;
static constexpr uint32_t SNMP_GET_BULK_REQUEST = 5;  // SNMPv2c and SNMPv3
static constexpr uint32_t SNMP_REPORT = 8;            // SNMPv3 only

// ---------------------------------------------------------------- versions
static constexpr uint32_t SNMP_VERSION_1 = 0;
static constexpr uint32_t SNMP_VERSION_2C = 1;
static constexpr uint32_t SNMP_VERSION_3 = 3;

// ---------------------------------------------------------------- SNMPv3 security
// Security levels of a USM context.
static constexpr uint32_t SNMP_SECURITY_NOAUTH_NOPRIV = 0;
static constexpr uint32_t SNMP_SECURITY_AUTH_NOPRIV = 1;
static constexpr uint32_t SNMP_SECURITY_AUTH_PRIV = 2;
// Authentication protocols: HMAC-MD5-96, HMAC-SHA-96 and HMAC-SHA-2.
static constexpr uint32_t SNMP_AUTH_NONE = 0;
static constexpr uint32_t SNMP_AUTH_MD5 = 1;
static constexpr uint32_t SNMP_AUTH_SHA1 = 2;
static constexpr uint32_t SNMP_AUTH_SHA224 = 3;
static constexpr uint32_t SNMP_AUTH_SHA256 = 4;
static constexpr uint32_t SNMP_AUTH_SHA384 = 5;
static constexpr uint32_t SNMP_AUTH_SHA512 = 6;
// Privacy protocols: DES-CBC and AES-CFB with a 128, 192 or 256-bit key.
// AES-192 and AES-256 extend a localised key that is too short by appending
// the hash of the key so far, as net-snmp's "AES-192" and "AES-256" do.
static constexpr uint32_t SNMP_PRIV_NONE = 0;
static constexpr uint32_t SNMP_PRIV_DES = 1;
static constexpr uint32_t SNMP_PRIV_AES128 = 2;
static constexpr uint32_t SNMP_PRIV_AES192 = 3;
static constexpr uint32_t SNMP_PRIV_AES256 = 4;
static constexpr size_t SNMP_MAX_ENGINE_ID_LENGTH = 32;
static constexpr size_t SNMP_MAX_USER_NAME_LENGTH = 32;
static constexpr size_t SNMP_MAX_CONTEXT_NAME_LENGTH = 255;
// msgFlags bits.
static constexpr uint32_t SNMP_MSG_FLAG_AUTH = 0x01;
static constexpr uint32_t SNMP_MSG_FLAG_PRIV = 0x02;
static constexpr uint32_t SNMP_MSG_FLAG_REPORTABLE = 0x04;

// ---------------------------------------------------------------- limits
static constexpr size_t SNMP_MAX_OID_LENGTH = 128;        // components of one OID
static constexpr size_t SNMP_MAX_COMMUNITY_LENGTH = 255;  // bytes of a community
static constexpr size_t SNMP_MAX_MESSAGE_SIZE = 65535;    // one UDP datagram
static constexpr uint16_t SNMP_DEFAULT_PORT = 161;

// ---------------------------------------------------------------- result codes
// Results of this library's operations (texts: SNMPGetErrorText).
static constexpr uint32_t SNMP_ERR_SUCCESS = 0;
static constexpr uint32_t SNMP_ERR_TIMEOUT = 1;         // nothing answered in time
static constexpr uint32_t SNMP_ERR_PARAM = 2;           // invalid argument
static constexpr uint32_t SNMP_ERR_SOCKET = 3;          // socket could not be created
static constexpr uint32_t SNMP_ERR_NO_TRANSPORT = 4;    // no transport given
static constexpr uint32_t SNMP_ERR_COMM = 5;            // the request could not be sent
static constexpr uint32_t SNMP_ERR_NO_SUCH_OBJECT = 6;  // the agent has no such object
static constexpr uint32_t SNMP_ERR_PARSE = 7;           // only unparsable answers arrived
static constexpr uint32_t SNMP_ERR_OID_SYNTAX = 8;      // bad object identifier text
static constexpr uint32_t SNMP_ERR_AGENT_STATUS = 9;    // the agent reported an error
static constexpr uint32_t SNMP_ERR_UNKNOWN_TYPE = 10;   // value of an unexpected type
static constexpr uint32_t SNMP_ERR_ENCODING = 11;       // the request could not be encoded
// SNMPv3: what the device's Report said, or what its silence means.
static constexpr uint32_t SNMP_ERR_UNKNOWN_USER = 12;        // usmStatsUnknownUserNames
static constexpr uint32_t SNMP_ERR_UNKNOWN_ENGINE_ID = 13;   // usmStatsUnknownEngineIDs
static constexpr uint32_t SNMP_ERR_WRONG_DIGEST = 14;        // usmStatsWrongDigests
static constexpr uint32_t SNMP_ERR_DECRYPTION = 15;          // decryption failed (see doRequest)
static constexpr uint32_t SNMP_ERR_UNSUPPORTED_LEVEL = 16;   // usmStatsUnsupportedSecLevels
static constexpr uint32_t SNMP_ERR_NOT_IN_TIME_WINDOW = 17;  // usmStatsNotInTimeWindows
static constexpr uint32_t SNMP_ERR_UNKNOWN_CONTEXT = 18;     // snmpUnknownContexts
static constexpr uint32_t SNMP_ERR_REPORT = 19;              // any other Report

// Error-status values of a response PDU.
static constexpr uint32_t SNMP_PDU_ERR_SUCCESS = 0;
static constexpr uint32_t SNMP_PDU_ERR_TOO_BIG = 1;
static constexpr uint32_t SNMP_PDU_ERR_NO_SUCH_NAME = 2;
static constexpr uint32_t SNMP_PDU_ERR_BAD_VALUE = 3;
static constexpr uint32_t SNMP_PDU_ERR_READ_ONLY = 4;
static constexpr uint32_t SNMP_PDU_ERR_GENERIC = 5;
static constexpr uint32_t SNMP_PDU_ERR_NO_ACCESS = 6;
static constexpr uint32_t SNMP_PDU_ERR_NOT_WRITABLE = 17;

// The text of a result code; a fixed text for unknown codes. Never null.
HKSNMP_EXPORT const wchar_t *SNMPGetErrorText(uint32_t code);

// ---------------------------------------------------------------- OID text
// Parses dotted text ("1.3.6.1" or ".1.3.6.1") into at most maxLength
// components. Returns the count, or 0 for empty text, a component that is
// not all decimal digits (or is empty: "1..2", "1.2."), a component above
// 2^32-1, or more than maxLength components. After a 0 result components
// may hold some of the leading components.
HKSNMP_EXPORT size_t SNMPParseOID(const wchar_t *text, uint32_t *components, size_t maxLength);
HKSNMP_EXPORT size_t SNMPParseOID(const char *text, uint32_t *components, size_t maxLength);

// Writes ".1.3.6.1" (leading dot, no trailing dot) into buffer, cut to
// bufferSize-1 characters and always NUL-terminated when bufferSize > 0.
// An empty OID gives an empty text. Returns buffer.
HKSNMP_EXPORT wchar_t *SNMPConvertOIDToText(size_t length, const uint32_t *value, wchar_t *buffer,
                                            size_t bufferSize);

// ---------------------------------------------------------------- SNMP_ObjectId
// An object identifier: an owned array of 32-bit components.
class HKSNMP_EXPORT SNMP_ObjectId {
public:
   SNMP_ObjectId();
   SNMP_ObjectId(const uint32_t *value, size_t length);
   SNMP_ObjectId(const SNMP_ObjectId &src);
   SNMP_ObjectId &operator=(const SNMP_ObjectId &src);
   ~SNMP_ObjectId();

   size_t getLength() const { return m_length; }
   // The components; null when the length is 0.
   const uint32_t *getValue() const { return m_value; }
   void setValue(const uint32_t *value, size_t length);
   void extend(uint32_t component);

   // Lexicographic order of the components: <0, 0 or >0 like strcmp; a
   // proper prefix sorts before the longer OID.
   int compare(const uint32_t *value, size_t length) const;
   int compare(const SNMP_ObjectId &other) const { return compare(other.m_value, other.m_length); }
   // True when the first length components equal value (length 0: true).
   bool startsWith(const uint32_t *value, size_t length) const;

   // The dotted text as SNMPConvertOIDToText writes it.
   wchar_t *getText(wchar_t *buffer, size_t bufferSize) const;

private:
   uint32_t *m_value;  // malloc'ed, m_length components, or null
   size_t m_length;
};

// ---------------------------------------------------------------- SNMP_Variable
// One variable binding: a name and a typed value.
//
// The value is held decoded, and getRawValue hands out exactly these bytes:
//   INTEGER, Counter32, Gauge32, TimeTicks, UInteger32: 4 bytes, host order
//   Counter64: 8 bytes, host order
//   IpAddress: the 4 address bytes in network order
//   OCTET STRING, Opaque: the content bytes
//   OBJECT IDENTIFIER: the components as 32-bit host-order words
//   NULL, noSuchObject, noSuchInstance, endOfMibView: no bytes
class HKSNMP_EXPORT SNMP_Variable {
public:
   // An unnamed variable of type NULL, filled by the parser.
   SNMP_Variable();
   // A variable named by oid (length components) with a NULL value, as bound
   // to GET and GETNEXT requests.
   SNMP_Variable(const uint32_t *oid, size_t length);
   SNMP_Variable(const SNMP_Variable &src);
   SNMP_Variable &operator=(const SNMP_Variable &) = delete;
   ~SNMP_Variable();

   uint32_t getType() const { return m_type; }
   // Never null.
   const SNMP_ObjectId *getName() const { return &m_name; }
   size_t getValueLength() const { return m_valueLength; }
   // The decoded value bytes (see above); null when there are none.
   const uint8_t *getValue() const { return m_value; }

   // INTEGER and the 32-bit unsigned types as their 32 bits; Counter64: its
   // low 32 bits; IpAddress: as GetValueAsUInt; every other type 0.
   int32_t GetValueAsInt() const;
   // As GetValueAsInt, unsigned. An IpAddress gives its four bytes in network
   // byte order (ntohl turns 192.168.1.10 into 0xC0A8010A).
   uint32_t GetValueAsUInt() const;
   // Counter64 as its 64 bits; the 32-bit types as GetValueAsUInt; else 0.
   uint64_t GetValueAsUInt64() const;

   // The value as text, cut to bufferSize-1 characters and NUL-terminated:
   // OCTET STRING and Opaque one character per byte (ISO-8859-1), stopping at
   // a NUL byte; OBJECT IDENTIFIER as dotted text with a leading dot;
   // IpAddress as a.b.c.d; INTEGER signed decimal; the unsigned types and
   // Counter64 unsigned decimal; other types an empty text. Returns buffer,
   // or null when buffer is null or bufferSize is 0.
   wchar_t *GetValueAsString(wchar_t *buffer, size_t bufferSize) const;
   // As GetValueAsString, except that an OCTET STRING with bytes that are not
   // printable (below 0x20 other than TAB, CR and LF, or 0x7F; a single
   // trailing NUL is tolerated) is written as upper-case hexadecimal bytes
   // separated by spaces ("00 1A FF") when *convertToHex is true on entry.
   // *convertToHex is true on return exactly when hexadecimal was written.
   wchar_t *getValueAsPrintableString(wchar_t *buffer, size_t bufferSize, bool *convertToHex) const;
   // Copies at most bufferSize bytes of the decoded value (see above);
   // returns the count copied.
   size_t getRawValue(uint8_t *buffer, size_t bufferSize) const;

   // Sets the type and the decoded value bytes (see above). False, with the
   // variable unchanged, when the type is unknown or the length does not suit
   // it (4 for the 32-bit types and IpAddress, 8 for Counter64, 1 to
   // SNMP_MAX_OID_LENGTH 32-bit words for an OID, 0 for NULL and the
   // exceptions, at most SNMP_MAX_MESSAGE_SIZE bytes for the strings).
   bool setValue(uint32_t type, const void *value, size_t length);
   // Shorthands for the 32-bit types and Counter64.
   bool setValueFromUInt32(uint32_t type, uint32_t value);
   bool setValueFromUInt64(uint32_t type, uint64_t value);

private:
   friend class SNMP_PDU;

   SNMP_ObjectId m_name;
   uint32_t m_type;
   uint8_t *m_value;  // malloc'ed, m_valueLength bytes, or null
   size_t m_valueLength;
};

// ---------------------------------------------------------------- SNMP_SecurityContext
// The credentials of a transport: the community of SNMPv1/v2c, or an SNMPv3
// USM user with its levels, protocols, secrets, context, and the state of
// the device's engine learnt by doRequest (engine id, boots and time, and
// the keys localised to that engine, cached per engine id).
struct SnmpUsmState;

class HKSNMP_EXPORT SNMP_SecurityContext {
public:
   // Community "public".
   SNMP_SecurityContext();
   // A copy of community, cut to SNMP_MAX_COMMUNITY_LENGTH bytes; null is
   // taken as an empty community.
   explicit SNMP_SecurityContext(const char *community);
   // An SNMPv3 USM user. The level is the highest the protocols allow:
   // authPriv with both, authNoPriv without privacy, noAuthNoPriv without
   // authentication. Null passwords are taken as empty.
   SNMP_SecurityContext(const char *user, const char *authPassword, const char *privPassword,
                        uint32_t authMethod, uint32_t privMethod);
   SNMP_SecurityContext(const SNMP_SecurityContext &src);
   SNMP_SecurityContext &operator=(const SNMP_SecurityContext &) = delete;
   ~SNMP_SecurityContext();

   // Never null.
   const char *getCommunity() const { return m_community != nullptr ? m_community : ""; }
   void setCommunity(const char *community);

   // ---- SNMPv3 (all setters make this a USM context)
   bool isUsm() const { return m_usm != nullptr; }
   // Empty for a community context. Never null.
   const char *getUserName() const;
   // Cut to SNMP_MAX_USER_NAME_LENGTH bytes.
   void setUserName(const char *user);
   uint32_t getSecurityLevel() const;
   void setSecurityLevel(uint32_t level);
   uint32_t getAuthMethod() const;
   void setAuthMethod(uint32_t method);
   uint32_t getPrivMethod() const;
   void setPrivMethod(uint32_t method);
   // The secrets as passwords (turned into keys by RFC 3414's algorithm),
   // or as master keys (Ku, the output of that algorithm) where a device's
   // administrator hands out keys instead of passwords.
   void setAuthPassword(const char *password);
   void setPrivPassword(const char *password);
   void setAuthMasterKey(const uint8_t *key, size_t length);
   void setPrivMasterKey(const uint8_t *key, size_t length);
   // The context name and context engine id of requests; the context engine
   // id defaults to the authoritative engine's id.
   void setContextName(const char *name);
   void setContextEngineId(const uint8_t *id, size_t length);
   // The device's (authoritative) engine: known after discovery or when set
   // (a length of 0 forgets it, so that the next request discovers it).
   // Setting it resets boots and time to 0, to be learnt.
   void setAuthoritativeEngineId(const uint8_t *id, size_t length);
   // The engine id's length (0 when unknown) with its bytes in id, which
   // holds SNMP_MAX_ENGINE_ID_LENGTH bytes.
   size_t getAuthoritativeEngineId(uint8_t *id) const;
   uint32_t getEngineBoots() const;
   // The engine time as estimated now (its last report plus the seconds
   // since).
   uint32_t getEngineTime() const;

   // Internal state of the USM code; null for a community context.
   SnmpUsmState *getUsmState() const { return m_usm; }

private:
   SnmpUsmState *usm();  // created on first use

   char *m_community;    // malloc'ed, NUL-terminated
   SnmpUsmState *m_usm;  // owned, or null
};

// ---------------------------------------------------------------- SNMP_PDU
// One SNMPv1/v2c message.
class HKSNMP_EXPORT SNMP_PDU {
public:
   // An empty PDU to parse into.
   SNMP_PDU();
   // A request or response with no variables; version SNMP_VERSION_1 or
   // SNMP_VERSION_2C.
   SNMP_PDU(uint32_t command, uint32_t requestId, uint32_t version = SNMP_VERSION_2C);
   SNMP_PDU(const SNMP_PDU &) = delete;
   SNMP_PDU &operator=(const SNMP_PDU &) = delete;
   ~SNMP_PDU();

   // Appends a variable; the PDU takes ownership (and deletes it). Null is
   // ignored.
   void bindVariable(SNMP_Variable *variable);
   int getNumVariables() const { return m_numVariables; }
   // The variable at index, owned by the PDU; null when out of range.
   SNMP_Variable *getVariable(int index) const;

   uint32_t getVersion() const { return m_version; }
   void setVersion(uint32_t version) { m_version = version; }
   uint32_t getCommand() const { return m_command; }
   uint32_t getRequestId() const { return m_requestId; }
   void setRequestId(uint32_t requestId) { m_requestId = requestId; }
   // Error-status (SNMP_PDU_ERR_*); a GETBULK request has non-repeaters here.
   uint32_t getErrorCode() const { return m_errorCode; }
   void setErrorCode(uint32_t errorCode) { m_errorCode = errorCode; }
   // Error-index; a GETBULK request has max-repetitions here.
   uint32_t getErrorIndex() const { return m_errorIndex; }
   void setErrorIndex(uint32_t errorIndex) { m_errorIndex = errorIndex; }
   uint32_t getNonRepeaters() const { return m_errorCode; }
   void setNonRepeaters(uint32_t count) { m_errorCode = count; }
   uint32_t getMaxRepetitions() const { return m_errorIndex; }
   void setMaxRepetitions(uint32_t count) { m_errorIndex = count; }
   // The community of a parsed message (empty before parsing). Never null.
   const char *getCommunity() const { return m_community != nullptr ? m_community : ""; }

   // SNMPv3: the msgID written by encode (the request id when 0) and read by
   // parse, and the msgFlags of a parsed message (SNMP_MSG_FLAG_*).
   uint32_t getMessageId() const { return m_messageId; }
   void setMessageId(uint32_t id) { m_messageId = id; }
   uint32_t getMessageFlags() const { return m_messageFlags; }
   // The authoritative engine named by a parsed SNMPv3 message: its id
   // (length returned, bytes copied into id of SNMP_MAX_ENGINE_ID_LENGTH
   // bytes), boots and time.
   size_t getEngineId(uint8_t *id) const;
   uint32_t getEngineBoots() const { return m_engineBoots; }
   uint32_t getEngineTime() const { return m_engineTime; }

   // Encodes the message with the context's community ("public" when context
   // is null), or for SNMPv3 with its USM user (authenticated and encrypted
   // as its level says), into a malloc'ed buffer stored in *buffer, and
   // returns its length. Returns 0 with *buffer null when the PDU cannot be encoded (an
   // unknown command or version, GETBULK in SNMPv1, an OID that BER cannot
   // carry or longer than SNMP_MAX_OID_LENGTH, a message above
   // SNMP_MAX_MESSAGE_SIZE).
   size_t encode(uint8_t **buffer, SNMP_SecurityContext *context) const;

   // Replaces this PDU's contents with the message in data. With
   // checkCommunity true and a context given, a message whose community
   // differs from the context's is refused. An SNMPv3 message needs a USM
   // context: an authenticated one must name the context's user and carry
   // the right digest, an encrypted one is decrypted with its keys. Returns
   // false, leaving the PDU empty, when the message is refused or malformed
   // in any way.
   bool parse(const uint8_t *data, size_t length, SNMP_SecurityContext *context,
              bool checkCommunity);

private:
   friend struct SnmpPduCodec;
   void clear();

   uint32_t m_version;
   uint32_t m_command;
   uint32_t m_requestId;
   uint32_t m_errorCode;
   uint32_t m_errorIndex;
   char *m_community;            // malloc'ed, NUL-terminated
   SNMP_Variable **m_variables;  // malloc'ed, m_allocated slots, m_numVariables used
   int m_numVariables;
   int m_allocated;
   // SNMPv3 header fields (see the accessors).
   uint32_t m_messageId;
   uint32_t m_messageFlags;
   uint8_t m_engineId[SNMP_MAX_ENGINE_ID_LENGTH];
   size_t m_engineIdLength;
   uint32_t m_engineBoots;
   uint32_t m_engineTime;
};

// ---------------------------------------------------------------- SNMP_Transport
// Something that carries PDUs to one device and back.
typedef SNMP_SecurityContext *(*SNMP_ContextFinder)(struct sockaddr *sender,
                                                    socklen_t senderLength);

class HKSNMP_EXPORT SNMP_Transport {
public:
   // Version SNMP_VERSION_2C, no security context (requests then go out with
   // community "public").
   SNMP_Transport();
   SNMP_Transport(const SNMP_Transport &) = delete;
   SNMP_Transport &operator=(const SNMP_Transport &) = delete;
   virtual ~SNMP_Transport();

   // Waits at most timeout milliseconds for one message from the device.
   // Returns its length in bytes with *pdu set to the parsed PDU (owned by
   // the caller), or to null when the message did not parse; 0 when nothing
   // arrived in time; -1 on error. When contextFinder is given it is called
   // with the sender before parsing, and its result becomes the transport's
   // security context (setSecurityContext). sender and senderLength, when
   // given, receive the sender's address.
   virtual int readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *sender,
                           socklen_t *senderLength, SNMP_ContextFinder contextFinder = nullptr) = 0;
   // Encodes and sends the PDU; the count of bytes sent (> 0) or -1.
   virtual int sendMessage(SNMP_PDU *pdu) = 0;

   // Sends request and waits for the response with the same request id.
   // Each of the max(retries, 1) attempts sends the request once and reads
   // for up to timeout milliseconds; messages with another request id, other
   // commands, and (on transports that tell) other senders are dropped while
   // the attempt's time runs on. Returns SNMP_ERR_SUCCESS with *response set
   // (the caller deletes it), or an error with *response null:
   // SNMP_ERR_PARAM (null argument), SNMP_ERR_TIMEOUT (nothing answered),
   // SNMP_ERR_COMM (the last attempt could not send), SNMP_ERR_PARSE (the
   // last attempt received only unparsable messages).
   //
   // An SNMPv3 request (version SNMP_VERSION_3, with a USM security
   // context) is matched by msgID. A device whose engine is not known yet is
   // discovered first; a notInTimeWindow Report resynchronises the engine's
   // boots and time and sends the request again, once; other Reports end
   // the exchange with their own code (SNMP_ERR_UNKNOWN_USER and the rest).
   // An authPriv request that draws no answer while an authNoPriv probe of
   // the same user is answered ends with SNMP_ERR_DECRYPTION: a device
   // drops what it cannot decrypt without a word.
   uint32_t doRequest(SNMP_PDU *request, SNMP_PDU **response, uint32_t timeout, int retries);

   uint32_t getSnmpVersion() const { return m_snmpVersion; }
   void setSnmpVersion(uint32_t version) { m_snmpVersion = version; }
   // The context requests are encoded with; may be null. Owned by the
   // transport.
   SNMP_SecurityContext *getSecurityContext() const { return m_securityContext; }
   // Takes ownership of context and deletes the previous one (unless it is
   // the same object); null leaves the transport without a context.
   void setSecurityContext(SNMP_SecurityContext *context);

   // Passed as the last argument of SNMP_PDU::parse by readMessage: when
   // true, messages whose community differs from the context's are refused.
   bool m_checkCommunity;

protected:
   SNMP_SecurityContext *m_securityContext;
   uint32_t m_snmpVersion;

private:
   uint32_t doRequestV3(SNMP_PDU *request, SNMP_PDU **response, uint32_t timeout, int retries);
};

// ---------------------------------------------------------------- SNMP_UDPTransport
// A transport to one device over its own IPv4 UDP socket. readMessage takes
// only datagrams whose source is the device's address and port; others are
// dropped while the time-out runs on.
class HKSNMP_EXPORT SNMP_UDPTransport : public SNMP_Transport {
public:
   // No socket yet: createUDPTransport opens it.
   SNMP_UDPTransport();
   ~SNMP_UDPTransport() override;

   // Opens the socket for the device at ipAddr (host byte order) and port.
   // SNMP_ERR_SUCCESS, or SNMP_ERR_SOCKET. A second call replaces the socket.
   uint32_t createUDPTransport(uint32_t ipAddr, uint16_t port = SNMP_DEFAULT_PORT);

   int readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *sender,
                   socklen_t *senderLength, SNMP_ContextFinder contextFinder = nullptr) override;
   int sendMessage(SNMP_PDU *pdu) override;

   uint32_t getPeerAddress() const { return m_peerAddr; }  // host byte order
   uint16_t getPeerPort() const { return m_peerPort; }

private:
   SOCKET m_socket;      // INVALID_SOCKET when not open
   uint32_t m_peerAddr;  // host byte order
   uint16_t m_peerPort;
   uint8_t *m_buffer;  // SNMP_MAX_MESSAGE_SIZE + 1 bytes, allocated with the socket
};

#endif
