// Helpers of the libhksnmp tests: rendering variables the way the net-snmp
// clients print them with -On -Ox, and small GET/GETNEXT drivers over a
// transport.
#ifndef HKSNMP_TEST_UTIL_H
#define HKSNMP_TEST_UTIL_H

#include <memory>
#include <string>
#include <vector>

#include "hksnmp.h"

namespace hksnmptest {

std::string Narrow(const wchar_t *text);
std::string OidText(const SNMP_ObjectId *oid);
std::vector<uint32_t> ParseOid(const std::string &text);

// "OID = TYPE: value" as snmpget/snmpwalk -On -Ox print it: strings in
// hexadecimal ("Hex-STRING: 6C 6F "), an empty string as "", TimeTicks as
// "Timeticks: (n) h:mm:ss.cc", exceptions as their sentences.
std::string FormatLikeNetSnmp(const SNMP_Variable *variable);

// Sends one request of command for the OIDs and returns the response, or
// null with *result set to the doRequest code.
std::unique_ptr<SNMP_PDU> Exchange(SNMP_Transport *transport, uint32_t command,
                                   const std::vector<std::string> &oids, uint32_t *result,
                                   uint32_t timeout = 2000, int retries = 3);

// A GETNEXT walk of the subtree as snmpwalk does it: entries formatted by
// FormatLikeNetSnmp, stopping when the answer leaves the subtree, is an
// exception, or carries an error status. *endStatus receives the error
// status that ended it (0 otherwise) and *endCode a doRequest failure.
std::vector<std::string> Walk(SNMP_Transport *transport, const std::string &root,
                              uint32_t *endStatus = nullptr, uint32_t *endCode = nullptr);

// Compares the library's entries with the reference's before and after
// them: numbers that move (counters, clocks) must lie between the two
// readings, everything else must equal one of them (gtest expectations).
void ExpectBetween(const std::string &before, const std::string &ours, const std::string &after);
void ExpectSameWalk(const std::vector<std::string> &before, const std::vector<std::string> &ours,
                    const std::vector<std::string> &after);

// A UDP transport to 127.0.0.1:port with the community and version.
std::unique_ptr<SNMP_UDPTransport> LoopbackTransport(uint16_t port, const std::string &community,
                                                     uint32_t version);

}  // namespace hksnmptest

#endif
