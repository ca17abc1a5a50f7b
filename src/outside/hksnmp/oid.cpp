// Object identifiers: the owned component array and its dotted text form.
#include "hksnmp.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

// Both text flavours share one parser.
template <typename CharT>
static size_t ParseOidText(const CharT *text, uint32_t *components, size_t maxLength) {
   if (text == nullptr || components == nullptr) {
      return 0;
   }
   const CharT *p = text;
   if (*p == '.') {
      p++;
   }
   if (*p == 0) {
      return 0;
   }
   size_t count = 0;
   for (;;) {
      if (*p < '0' || *p > '9') {
         return 0;  // empty component or a character that is not a digit
      }
      uint64_t value = 0;
      while (*p >= '0' && *p <= '9') {
         value = value * 10 + static_cast<uint64_t>(*p - '0');
         if (value > 0xFFFFFFFFull) {
            return 0;
         }
         p++;
      }
      if (count == maxLength) {
         return 0;
      }
      components[count++] = static_cast<uint32_t>(value);
      if (*p == 0) {
         return count;
      }
      if (*p != '.') {
         return 0;
      }
      p++;
   }
}

size_t SNMPParseOID(const wchar_t *text, uint32_t *components, size_t maxLength) {
   return ParseOidText(text, components, maxLength);
}

size_t SNMPParseOID(const char *text, uint32_t *components, size_t maxLength) {
   return ParseOidText(text, components, maxLength);
}

wchar_t *SNMPConvertOIDToText(size_t length, const uint32_t *value, wchar_t *buffer,
                              size_t bufferSize) {
   if (buffer == nullptr || bufferSize == 0) {
      return buffer;
   }
   size_t pos = 0;
   buffer[0] = 0;
   for (size_t i = 0; i < length && value != nullptr; i++) {
      wchar_t part[16];
      int n = swprintf(part, 16, L".%u", static_cast<unsigned>(value[i]));
      for (int j = 0; j < n; j++) {
         if (pos + 1 >= bufferSize) {
            buffer[pos] = 0;
            return buffer;
         }
         buffer[pos++] = part[j];
      }
   }
   buffer[pos] = 0;
   return buffer;
}

const wchar_t *SNMPGetErrorText(uint32_t code) {
   static const wchar_t *const texts[] = {
       L"Success",
       L"Request timed out",
       L"Invalid parameters passed to function",
       L"Unable to create socket",
       L"No transport to send through",
       L"Unable to send request",
       L"No such object",
       L"Unable to parse response",
       L"Invalid object identifier",
       L"Agent reported an error",
       L"Unknown variable data type",
       L"Unable to encode request",
       L"Unknown SNMPv3 user name",
       L"Unknown SNMPv3 engine id",
       L"Wrong SNMPv3 authentication digest (wrong password or protocol)",
       L"SNMPv3 decryption failed (wrong privacy password or protocol)",
       L"Security level not supported for this SNMPv3 user",
       L"SNMPv3 message not in time window",
       L"Unknown SNMPv3 context",
       L"SNMPv3 report from the agent",
   };
   if (code < sizeof(texts) / sizeof(texts[0])) {
      return texts[code];
   }
   return L"Unknown error";
}

// ---------------------------------------------------------------- SNMP_ObjectId

SNMP_ObjectId::SNMP_ObjectId() : m_value(nullptr), m_length(0) {}

SNMP_ObjectId::SNMP_ObjectId(const uint32_t *value, size_t length) : m_value(nullptr), m_length(0) {
   setValue(value, length);
}

SNMP_ObjectId::SNMP_ObjectId(const SNMP_ObjectId &src) : m_value(nullptr), m_length(0) {
   setValue(src.m_value, src.m_length);
}

SNMP_ObjectId &SNMP_ObjectId::operator=(const SNMP_ObjectId &src) {
   if (this != &src) {
      setValue(src.m_value, src.m_length);
   }
   return *this;
}

SNMP_ObjectId::~SNMP_ObjectId() {
   free(m_value);
}

void SNMP_ObjectId::setValue(const uint32_t *value, size_t length) {
   uint32_t *copy = nullptr;
   if (value != nullptr && length > 0) {
      copy = static_cast<uint32_t *>(malloc(length * sizeof(uint32_t)));
      if (copy == nullptr) {
         length = 0;
      } else {
         memcpy(copy, value, length * sizeof(uint32_t));
      }
   } else {
      length = 0;
   }
   free(m_value);
   m_value = copy;
   m_length = length;
}

void SNMP_ObjectId::extend(uint32_t component) {
   uint32_t *grown = static_cast<uint32_t *>(realloc(m_value, (m_length + 1) * sizeof(uint32_t)));
   if (grown == nullptr) {
      return;
   }
   m_value = grown;
   m_value[m_length++] = component;
}

int SNMP_ObjectId::compare(const uint32_t *value, size_t length) const {
   if (value == nullptr) {
      length = 0;
   }
   size_t common = m_length < length ? m_length : length;
   for (size_t i = 0; i < common; i++) {
      if (m_value[i] != value[i]) {
         return m_value[i] < value[i] ? -1 : 1;
      }
   }
   if (m_length == length) {
      return 0;
   }
   return m_length < length ? -1 : 1;
}

bool SNMP_ObjectId::startsWith(const uint32_t *value, size_t length) const {
   if (length > m_length) {
      return false;
   }
   return length == 0 || memcmp(m_value, value, length * sizeof(uint32_t)) == 0;
}

wchar_t *SNMP_ObjectId::getText(wchar_t *buffer, size_t bufferSize) const {
   return SNMPConvertOIDToText(m_length, m_value, buffer, bufferSize);
}
