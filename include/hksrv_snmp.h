// SNMP GET and walk helpers and the SNMP transport through an agent.
//
// SnmpGet reads one variable and converts its value into the caller's
// buffer; SnmpEnumerate walks a subtree with GETNEXT and hands each variable
// to a callback, SnmpBulkEnumerate the same with GETBULK. All work over any
// SNMP_Transport, direct or proxied, send every request with g_dwSNMPTimeout
// and g_dwSNMPAttempts (3 attempts unless changed), and draw request ids from
// one process-wide counter (SnmpNewRequestId). SnmpGetList reads several
// variables in one GET request.
//
// Thread safety: the helpers keep their state on the caller's stack and may
// run on several threads at once; the request-id counter is atomic. A
// transport (SNMP_ProxyTransport included) carries one exchange at a time,
// so one transport serves one thread at a time.
//
// Ownership: the helpers delete every PDU they create before they return;
// the caller's buffer is written only on success.
#ifndef HKSRV_SNMP_H
#define HKSRV_SNMP_H

#include <cstddef>
#include <cstdint>

#include "hesker.h"
#include "hksnmp.h"
#include "hksrv_export.h"

class AgentConnection;

// ---------------------------------------------------------------- SnmpGet flags
static const uint32_t SNMPGET_LOG_ERRORS = 0x01;  // a failed exchange writes message 25
static const uint32_t SNMPGET_AS_STRING = 0x02;   // GetValueAsString
static const uint32_t SNMPGET_RAW = 0x04;         // getRawValue, bufferSize in bytes
static const uint32_t SNMPGET_RAW_AS_HEX = 0x08;  // raw bytes as hexadecimal text
static const uint32_t SNMPGET_PRINTABLE = 0x10;   // getValueAsPrintableString

// Attempts of every request, the first sending included: the initial value
// of g_dwSNMPAttempts (so one sending and two retries).
static const int SNMP_HELPER_RETRIES = 3;

// Attempts of every request of SnmpGet, SnmpGetList and the walks, the
// first sending included (0 counts as 1); initially SNMP_HELPER_RETRIES.
// Read once per request, as g_dwSNMPTimeout is.
extern HKSRV_EXPORT uint32_t g_dwSNMPAttempts;

// Time-out of every request of SnmpGet and SnmpEnumerate, in milliseconds
// (initially 2000). Read once per request, so a change applies to the next
// request.
extern HKSRV_EXPORT uint32_t g_dwSNMPTimeout;

// The next id of the process-wide SNMP request-id counter: the first is 1,
// and it wraps modulo 2^32.
HKSRV_EXPORT uint32_t SnmpNewRequestId();

// Reads one variable with a GET. The OID is oidText when given, else the
// oidLength (at most 128) components of oidBinary. The value goes into
// `value` by the first rule that applies: noSuchObject/noSuchInstance fail;
// SNMPGET_RAW copies at most bufferSize bytes; SNMPGET_RAW_AS_HEX writes the
// first (bufferSize-1)/2 bytes as hex text (bufferSize in characters, at
// least 2, else SNMP_ERR_PARAM); SNMPGET_AS_STRING and SNMPGET_PRINTABLE
// write text of at most bufferSize characters; otherwise by type: the 32-bit
// integer types write 4 bytes, OCTET STRING and OID text of at most
// bufferSize characters, IpAddress 4 bytes in host byte order, anything else
// SNMP_ERR_UNKNOWN_TYPE. A caller reading an integer must still give a
// buffer of bufferSize wide characters, since a device may answer with text.
// Returns SNMP_ERR_SUCCESS or an SNMP_ERR_ code; on failure `value` keeps its
// previous contents.
HKSRV_EXPORT uint32_t SnmpGet(uint32_t version, SNMP_Transport *transport, const wchar_t *oidText,
                              const uint32_t *oidBinary, uint32_t oidLength, void *value,
                              uint32_t bufferSize, uint32_t flags);

// Called by SnmpGetList once for every OID it was given, in no fixed order;
// index is the OID's position. result is SNMP_ERR_SUCCESS with the answered
// variable; SNMP_ERR_NO_SUCH_OBJECT with the noSuchObject or noSuchInstance
// variable, or with null for an SNMPv1 noSuchName; otherwise the code that
// failed the OID, with null. The variable belongs to the response and is
// destroyed when the callback returns.
typedef void (*SNMP_GET_LIST_CALLBACK)(size_t index, uint32_t result, const SNMP_Variable *variable,
                                       void *userArg);

// Reads the count variables named by oids with as few GET requests as the
// device allows: all of them in one request, split in consecutive parts only
// when a request would not fit SNMP_MAX_MESSAGE_SIZE, and in halves (down to
// one OID) when the device answers tooBig. An error-status whose
// error-index names one variable of a request of several (SNMPv1's
// noSuchName above all) fails that OID alone (noSuchName with
// SNMP_ERR_NO_SUCH_OBJECT, any other status with SNMP_ERR_AGENT_STATUS),
// and the others are asked again without it; any other error-status fails
// every OID of the request, as does an answer that does not name them in
// order. An OID that does not parse fails with SNMP_ERR_OID_SYNTAX (message
// 27) and is not sent. A failed exchange (time-out and the rest of
// doRequest's codes) fails the OIDs of that request and of every request
// not yet sent, so that a dead device costs one exchange; it writes message
// 25 when flags has SNMPGET_LOG_ERRORS (the other flags are ignored).
// Requests go out with g_dwSNMPTimeout and g_dwSNMPAttempts. Returns
// SNMP_ERR_SUCCESS when every OID was read, SNMP_ERR_NO_TRANSPORT or
// SNMP_ERR_PARAM (oids null while count is not 0, or no callback) without
// calling the callback, else the result of the first failed OID in the
// order given.
HKSRV_EXPORT uint32_t SnmpGetList(uint32_t version, SNMP_Transport *transport,
                                  const wchar_t *const *oids, size_t count,
                                  SNMP_GET_LIST_CALLBACK callback, void *userArg, uint32_t flags);

// Called for every variable of a walk; the variable belongs to the response
// and is destroyed when the callback returns. 0 continues the walk.
typedef uint32_t (*SNMP_WALK_CALLBACK)(uint32_t version, SNMP_Variable *variable,
                                       SNMP_Transport *transport, void *userArg);

// Walks the subtree under rootOid with GETNEXT requests, calling callback
// for every variable inside it. Returns SNMP_ERR_SUCCESS when the walk left
// the subtree (or the agent repeated the requested name), the callback's
// non-zero result when it stopped the walk, or an SNMP_ERR_ code. An agent
// whose answers do not increase, or that names an object of more than 128
// components, ends the walk with SNMP_ERR_AGENT_STATUS.
HKSRV_EXPORT uint32_t SnmpEnumerate(uint32_t version, SNMP_Transport *transport,
                                    const wchar_t *rootOid, SNMP_WALK_CALLBACK callback,
                                    void *userArg, int logErrors);

// Rows a bulk walk asks for per request when the caller gives 0, and the
// most it asks for (no answer of SNMP_MAX_MESSAGE_SIZE bytes holds more).
static const uint32_t SNMP_DEFAULT_MAX_REPETITIONS = 25;
static const uint32_t SNMP_MAX_REPETITIONS_LIMIT = 10000;

// Walks the subtree under rootOid as SnmpEnumerate does, but with GETBULK
// requests of up to maxRepetitions variables each (0: the default; above
// the limit: the limit), for SNMPv2c and later versions through the
// transport's security context. With SNMP_VERSION_1, which has no GETBULK,
// it is SnmpEnumerate. The walk ends with the same results on the same
// answers; an endOfMibView value ends it with SNMP_ERR_SUCCESS under any
// name. An answer with fewer variables than asked for goes on from its last
// name; an agent that answers tooBig is asked again for half as many. The
// callback's variable lives until the callback returns, as with
// SnmpEnumerate.
HKSRV_EXPORT uint32_t SnmpBulkEnumerate(uint32_t version, SNMP_Transport *transport,
                                        const wchar_t *rootOid, SNMP_WALK_CALLBACK callback,
                                        void *userArg, int logErrors,
                                        uint32_t maxRepetitions = SNMP_DEFAULT_MAX_REPETITIONS);

// ---------------------------------------------------------------- SNMP_ProxyTransport
// An SNMP transport that carries each request through a monitoring agent:
// one CMD_SNMP_REQUEST exchange of the agent session per request, the agent
// forwarding the PDU to the device at ipAddr:port and returning its answer.
//
// Owns the agent session (connected by the caller) and deletes it. Carries
// one exchange at a time: sendMessage waits for the agent's reply (for the
// session's command time-out) and keeps it; readMessage takes it.
class HKSRV_EXPORT SNMP_ProxyTransport : public SNMP_Transport {
public:
   // ipAddr and port in host byte order; takes ownership of agentConnection.
   SNMP_ProxyTransport(AgentConnection *agentConnection, uint32_t ipAddr, uint16_t port);
   ~SNMP_ProxyTransport() override;

   // The device's answer kept by sendMessage: its length with *pdu parsed
   // (null when it does not parse), or -1 when there is no answer to give.
   // This transport never fills in sender.
   int readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *sender,
                   socklen_t *senderLength, SNMP_ContextFinder contextFinder = nullptr) override;
   // 1 when the request went out and the agent replied in time, else -1.
   int sendMessage(SNMP_PDU *pdu) override;

private:
   AgentConnection *agentConnection;  // owned
   CSCPMessage *response;             // owned; the reply kept between send and read
   uint32_t ipAddr;                   // host byte order
   uint16_t port;
};

#endif
