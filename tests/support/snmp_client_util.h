// Helpers shared by the tests of the SNMP helpers and of device discovery:
// a capture of event-log entries, UDP transports to loopback agents, and
// small text conversions.
#ifndef HKTEST_SNMP_CLIENT_UTIL_H
#define HKTEST_SNMP_CLIENT_UTIL_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hesker.h"
#include "hksnmp.h"

namespace hktest {

struct CapturedLogEntry {
   uint32_t messageId;
   uint16_t type;
   std::vector<std::wstring> inserts;
};

// Installs itself as the event-log sink for its lifetime and keeps every
// entry written meanwhile (from any thread). Restores the default sink.
class LogCapture {
public:
   LogCapture();
   ~LogCapture();
   LogCapture(const LogCapture &) = delete;
   LogCapture &operator=(const LogCapture &) = delete;

   std::vector<CapturedLogEntry> entries();
   std::vector<CapturedLogEntry> withId(uint32_t messageId);
   void clear();

private:
   static void Sink(const HKLOG_ENTRY *entry, void *context);
   std::mutex m_lock;  // guards m_entries
   std::vector<CapturedLogEntry> m_entries;
};

// A UDP transport to 127.0.0.1:port with the community and SNMP version.
std::unique_ptr<SNMP_UDPTransport> MakeLoopbackTransport(uint16_t port,
                                                         const std::string &community,
                                                         uint32_t version = SNMP_VERSION_2C);

std::wstring Widen(const std::string &text);   // byte per character
std::string Narrow(const std::wstring &text);  // characters above 0xFF become '?'
// "0a1B" -> {0x0a, 0x1b}; blanks between bytes are skipped.
std::vector<uint8_t> HexToBytes(const std::string &hex);
// Components of a dotted OID text ("" for a bad one).
std::vector<uint32_t> OidComponents(const std::string &text);

}  // namespace hktest

#endif
