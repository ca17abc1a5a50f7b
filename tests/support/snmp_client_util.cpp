// Helpers of the SNMP helper and discovery tests; see snmp_client_util.h.
#include "snmp_client_util.h"

#include <cctype>

namespace hktest {

LogCapture::LogCapture() {
   hklog_set_sink(&LogCapture::Sink, this);
}

LogCapture::~LogCapture() {
   hklog_set_sink(nullptr, nullptr);
}

void LogCapture::Sink(const HKLOG_ENTRY *entry, void *context) {
   LogCapture *self = static_cast<LogCapture *>(context);
   CapturedLogEntry copy{entry->messageId, entry->type, {}};
   for (int i = 0; i < entry->numInserts; i++) {
      copy.inserts.emplace_back(entry->inserts[i] != nullptr ? entry->inserts[i] : L"");
   }
   std::lock_guard<std::mutex> guard(self->m_lock);
   self->m_entries.push_back(std::move(copy));
}

std::vector<CapturedLogEntry> LogCapture::entries() {
   std::lock_guard<std::mutex> guard(m_lock);
   return m_entries;
}

std::vector<CapturedLogEntry> LogCapture::withId(uint32_t messageId) {
   std::vector<CapturedLogEntry> found;
   for (const CapturedLogEntry &entry : entries()) {
      if (entry.messageId == messageId) {
         found.push_back(entry);
      }
   }
   return found;
}

void LogCapture::clear() {
   std::lock_guard<std::mutex> guard(m_lock);
   m_entries.clear();
}

std::unique_ptr<SNMP_UDPTransport> MakeLoopbackTransport(uint16_t port,
                                                         const std::string &community,
                                                         uint32_t version) {
   auto transport = std::make_unique<SNMP_UDPTransport>();
   if (transport->createUDPTransport(0x7F000001, port) != SNMP_ERR_SUCCESS) {
      return nullptr;
   }
   transport->setSecurityContext(new SNMP_SecurityContext(community.c_str()));
   transport->setSnmpVersion(version);
   return transport;
}

std::wstring Widen(const std::string &text) {
   std::wstring wide;
   for (unsigned char c : text) {
      wide.push_back(static_cast<wchar_t>(c));
   }
   return wide;
}

std::string Narrow(const std::wstring &text) {
   std::string narrow;
   for (wchar_t c : text) {
      narrow.push_back(static_cast<uint32_t>(c) <= 0xFF ? static_cast<char>(c) : '?');
   }
   return narrow;
}

std::vector<uint8_t> HexToBytes(const std::string &hex) {
   std::vector<uint8_t> bytes;
   std::string digits;
   for (char c : hex) {
      if (std::isxdigit(static_cast<unsigned char>(c))) {
         digits.push_back(c);
      }
   }
   for (size_t i = 0; i + 1 < digits.size(); i += 2) {
      bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
   }
   return bytes;
}

std::vector<uint32_t> OidComponents(const std::string &text) {
   uint32_t components[SNMP_MAX_OID_LENGTH];
   size_t count = SNMPParseOID(text.c_str(), components, SNMP_MAX_OID_LENGTH);
   return std::vector<uint32_t>(components, components + count);
}

}  // namespace hktest
