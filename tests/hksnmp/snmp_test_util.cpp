// Helpers of the libhksnmp tests.
#include "snmp_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace hksnmptest {

static uint32_t g_requestId = 1000;

std::string Narrow(const wchar_t *text) {
   std::string out;
   for (const wchar_t *p = text; p != nullptr && *p != 0; p++) {
      out.push_back(static_cast<char>(*p));
   }
   return out;
}

std::string OidText(const SNMP_ObjectId *oid) {
   wchar_t buffer[2048];
   return Narrow(oid->getText(buffer, 2048));
}

std::vector<uint32_t> ParseOid(const std::string &text) {
   uint32_t components[SNMP_MAX_OID_LENGTH];
   size_t count = SNMPParseOID(text.c_str(), components, SNMP_MAX_OID_LENGTH);
   return std::vector<uint32_t>(components, components + count);
}

static std::string TimeTicksText(uint32_t ticks) {
   unsigned centi = ticks % 100, seconds = ticks / 100;
   unsigned days = seconds / 86400, hours = (seconds / 3600) % 24;
   unsigned minutes = (seconds / 60) % 60, secs = seconds % 60;
   char text[96];
   if (days == 0) {
      snprintf(text, sizeof(text), "(%u) %u:%02u:%02u.%02u", ticks, hours, minutes, secs, centi);
   } else {
      snprintf(text, sizeof(text), "(%u) %u day%s, %u:%02u:%02u.%02u", ticks, days,
               days == 1 ? "" : "s", hours, minutes, secs, centi);
   }
   return text;
}

// An Opaque holding a wrapped float or double (tag 9F 78 or 9F 79) prints
// as its number; anything else as hexadecimal.
static std::string OpaqueText(const uint8_t *bytes, size_t length) {
   char text[64];
   if (length == 7 && bytes[0] == 0x9F && bytes[1] == 0x78 && bytes[2] == 4) {
      uint32_t bits =
          static_cast<uint32_t>(bytes[3]) << 24 | bytes[4] << 16 | bytes[5] << 8 | bytes[6];
      float value;
      memcpy(&value, &bits, sizeof(value));
      snprintf(text, sizeof(text), "Opaque: Float: %f", static_cast<double>(value));
      return text;
   }
   if (length == 11 && bytes[0] == 0x9F && bytes[1] == 0x79 && bytes[2] == 8) {
      uint64_t bits = 0;
      for (int i = 3; i < 11; i++) {
         bits = bits << 8 | bytes[i];
      }
      double value;
      memcpy(&value, &bits, sizeof(value));
      snprintf(text, sizeof(text), "Opaque: Double: %f", value);
      return text;
   }
   std::string out = "OPAQUE: ";
   for (size_t i = 0; i < length; i++) {
      snprintf(text, sizeof(text), "%02X ", bytes[i]);
      out += text;
   }
   return out;
}

std::string FormatLikeNetSnmp(const SNMP_Variable *v) {
   std::string out = OidText(v->getName()) + " = ";
   char number[64];
   switch (v->getType()) {
      case ASN_INTEGER:
         snprintf(number, sizeof(number), "%d", v->GetValueAsInt());
         return out + "INTEGER: " + number;
      case ASN_OCTET_STRING: {
         if (v->getValueLength() == 0) {
            return out + "\"\"";
         }
         out += "Hex-STRING: ";
         for (size_t i = 0; i < v->getValueLength(); i++) {
            snprintf(number, sizeof(number), "%02X ", v->getValue()[i]);
            out += number;
         }
         return out;
      }
      case ASN_OBJECT_ID: {
         wchar_t text[2048];
         return out + "OID: " + Narrow(v->GetValueAsString(text, 2048));
      }
      case ASN_IP_ADDR: {
         wchar_t text[32];
         return out + "IpAddress: " + Narrow(v->GetValueAsString(text, 32));
      }
      case ASN_COUNTER32:
         snprintf(number, sizeof(number), "%u", v->GetValueAsUInt());
         return out + "Counter32: " + number;
      case ASN_GAUGE32:
         snprintf(number, sizeof(number), "%u", v->GetValueAsUInt());
         return out + "Gauge32: " + number;
      case ASN_UINTEGER32:
         snprintf(number, sizeof(number), "%u", v->GetValueAsUInt());
         return out + "UInteger32: " + number;
      case ASN_TIMETICKS:
         return out + "Timeticks: " + TimeTicksText(v->GetValueAsUInt());
      case ASN_COUNTER64:
         snprintf(number, sizeof(number), "%llu",
                  static_cast<unsigned long long>(v->GetValueAsUInt64()));
         return out + "Counter64: " + number;
      case ASN_OPAQUE:
         return out + OpaqueText(v->getValue(), v->getValueLength());
      case ASN_NULL:
         return out + "NULL";
      case ASN_NO_SUCH_OBJECT:
         return out + "No Such Object available on this agent at this OID";
      case ASN_NO_SUCH_INSTANCE:
         return out + "No Such Instance currently exists at this OID";
      case ASN_END_OF_MIBVIEW:
         return out +
                "No more variables left in this MIB View (It is past the end of the MIB tree)";
      default:
         snprintf(number, sizeof(number), "type 0x%02X", v->getType());
         return out + number;
   }
}

std::unique_ptr<SNMP_PDU> Exchange(SNMP_Transport *transport, uint32_t command,
                                   const std::vector<std::string> &oids, uint32_t *result,
                                   uint32_t timeout, int retries) {
   SNMP_PDU request(command, g_requestId++, transport->getSnmpVersion());
   for (const std::string &oid : oids) {
      std::vector<uint32_t> components = ParseOid(oid);
      request.bindVariable(new SNMP_Variable(components.data(), components.size()));
   }
   SNMP_PDU *response = nullptr;
   *result = transport->doRequest(&request, &response, timeout, retries);
   return std::unique_ptr<SNMP_PDU>(response);
}

std::vector<std::string> Walk(SNMP_Transport *transport, const std::string &root,
                              uint32_t *endStatus, uint32_t *endCode) {
   std::vector<std::string> entries;
   std::vector<uint32_t> rootOid = ParseOid(root);
   std::string current = root;
   if (endStatus != nullptr) {
      *endStatus = 0;
   }
   if (endCode != nullptr) {
      *endCode = 0;
   }
   for (;;) {
      uint32_t result;
      std::unique_ptr<SNMP_PDU> response =
          Exchange(transport, SNMP_GET_NEXT_REQUEST, {current}, &result);
      if (result != SNMP_ERR_SUCCESS) {
         if (endCode != nullptr) {
            *endCode = result;
         }
         return entries;
      }
      if (response->getErrorCode() != 0 || response->getNumVariables() < 1) {
         if (endStatus != nullptr) {
            *endStatus = response->getErrorCode();
         }
         return entries;
      }
      SNMP_Variable *v = response->getVariable(0);
      if (v->getType() == ASN_END_OF_MIBVIEW || v->getType() == ASN_NO_SUCH_OBJECT ||
          v->getType() == ASN_NO_SUCH_INSTANCE ||
          !v->getName()->startsWith(rootOid.data(), rootOid.size()) ||
          v->getName()->getLength() == rootOid.size()) {
         return entries;
      }
      std::vector<uint32_t> previous = ParseOid(current);
      if (v->getName()->compare(previous.data(), previous.size()) <= 0 || entries.size() > 100000) {
         entries.push_back("OID not increasing: " + OidText(v->getName()));
         return entries;
      }
      entries.push_back(FormatLikeNetSnmp(v));
      current = OidText(v->getName());
   }
}

std::unique_ptr<SNMP_UDPTransport> LoopbackTransport(uint16_t port, const std::string &community,
                                                     uint32_t version) {
   auto transport = std::make_unique<SNMP_UDPTransport>();
   if (transport->createUDPTransport(0x7F000001, port) != SNMP_ERR_SUCCESS) {
      return nullptr;
   }
   transport->setSecurityContext(new SNMP_SecurityContext(community.c_str()));
   transport->setSnmpVersion(version);
   return transport;
}

}  // namespace hksnmptest
