// What the SNMP helpers share: the request-id counter, the reads of the
// time-out and the attempts, and the catalog messages they write.
#ifndef HKSRV_SNMP_COMMON_H
#define HKSRV_SNMP_COMMON_H

#include <cstdint>

#include "hksrv_snmp.h"

// Catalog messages of the helpers, all written with EVENTLOG_ERROR_TYPE.
static const uint32_t MSG_SNMP_UNKNOWN_TYPE = 24;  // "x": the type tag
static const uint32_t MSG_SNMP_GET_ERROR = 25;     // "d": the result of doRequest
static const uint32_t MSG_OID_PARSE_ERROR = 27;    // "s": the OID text

// g_dwSNMPTimeout as one aligned atomic read, since callers may change it
// while requests run.
uint32_t SnmpCurrentTimeout();
// g_dwSNMPAttempts read the same way, as doRequest's count of attempts.
int SnmpCurrentAttempts();

#endif
