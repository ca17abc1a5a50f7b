// Variable bindings: the name, the decoded value and its conversions.
#include "hksnmp.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

// Length of the decoded value of a fixed-size type; -1 for variable-sized
// types, -2 for unknown ones.
static long FixedValueLength(uint32_t type) {
   switch (type) {
      case ASN_INTEGER:
      case ASN_COUNTER32:
      case ASN_GAUGE32:
      case ASN_TIMETICKS:
      case ASN_UINTEGER32:
      case ASN_IP_ADDR:
         return 4;
      case ASN_COUNTER64:
         return 8;
      case ASN_NULL:
      case ASN_NO_SUCH_OBJECT:
      case ASN_NO_SUCH_INSTANCE:
      case ASN_END_OF_MIBVIEW:
         return 0;
      case ASN_OCTET_STRING:
      case ASN_OPAQUE:
      case ASN_OBJECT_ID:
         return -1;
      default:
         return -2;
   }
}

SNMP_Variable::SNMP_Variable() : m_type(ASN_NULL), m_value(nullptr), m_valueLength(0) {}

SNMP_Variable::SNMP_Variable(const uint32_t *oid, size_t length)
    : m_name(oid, length), m_type(ASN_NULL), m_value(nullptr), m_valueLength(0) {}

SNMP_Variable::SNMP_Variable(const SNMP_Variable &src)
    : m_name(src.m_name), m_type(ASN_NULL), m_value(nullptr), m_valueLength(0) {
   setValue(src.m_type, src.m_value, src.m_valueLength);
}

SNMP_Variable::~SNMP_Variable() {
   free(m_value);
}

bool SNMP_Variable::setValue(uint32_t type, const void *value, size_t length) {
   long fixed = FixedValueLength(type);
   if (fixed == -2) {
      return false;
   }
   if (fixed >= 0 && length != static_cast<size_t>(fixed)) {
      return false;
   }
   if (type == ASN_OBJECT_ID && (length == 0 || length % sizeof(uint32_t) != 0 ||
                                 length > SNMP_MAX_OID_LENGTH * sizeof(uint32_t))) {
      return false;
   }
   if (length > SNMP_MAX_MESSAGE_SIZE || (length > 0 && value == nullptr)) {
      return false;
   }
   uint8_t *copy = nullptr;
   if (length > 0) {
      copy = static_cast<uint8_t *>(malloc(length));
      if (copy == nullptr) {
         return false;
      }
      memcpy(copy, value, length);
   }
   free(m_value);
   m_value = copy;
   m_valueLength = length;
   m_type = type;
   return true;
}

bool SNMP_Variable::setValueFromUInt32(uint32_t type, uint32_t value) {
   return setValue(type, &value, sizeof(value));
}

bool SNMP_Variable::setValueFromUInt64(uint32_t type, uint64_t value) {
   return setValue(type, &value, sizeof(value));
}

uint32_t SNMP_Variable::GetValueAsUInt() const {
   switch (m_type) {
      case ASN_INTEGER:
      case ASN_COUNTER32:
      case ASN_GAUGE32:
      case ASN_TIMETICKS:
      case ASN_UINTEGER32:
      case ASN_IP_ADDR: {
         uint32_t v;
         memcpy(&v, m_value, sizeof(v));
         return v;
      }
      case ASN_COUNTER64: {
         uint64_t v;
         memcpy(&v, m_value, sizeof(v));
         return static_cast<uint32_t>(v);
      }
      default:
         return 0;
   }
}

int32_t SNMP_Variable::GetValueAsInt() const {
   return static_cast<int32_t>(GetValueAsUInt());
}

uint64_t SNMP_Variable::GetValueAsUInt64() const {
   if (m_type == ASN_COUNTER64) {
      uint64_t v;
      memcpy(&v, m_value, sizeof(v));
      return v;
   }
   return GetValueAsUInt();
}

size_t SNMP_Variable::getRawValue(uint8_t *buffer, size_t bufferSize) const {
   if (buffer == nullptr) {
      return 0;
   }
   size_t count = m_valueLength < bufferSize ? m_valueLength : bufferSize;
   if (count > 0) {
      memcpy(buffer, m_value, count);
   }
   return count;
}

// Writes bytes as characters (ISO-8859-1), stopping at a NUL byte.
static void BytesToWide(const uint8_t *bytes, size_t length, wchar_t *buffer, size_t bufferSize) {
   size_t i = 0;
   for (; i < length && i + 1 < bufferSize && bytes[i] != 0; i++) {
      buffer[i] = static_cast<wchar_t>(bytes[i]);
   }
   buffer[i] = 0;
}

wchar_t *SNMP_Variable::GetValueAsString(wchar_t *buffer, size_t bufferSize) const {
   if (buffer == nullptr || bufferSize == 0) {
      return nullptr;
   }
   buffer[0] = 0;
   switch (m_type) {
      case ASN_OCTET_STRING:
      case ASN_OPAQUE:
         BytesToWide(m_value, m_valueLength, buffer, bufferSize);
         break;
      case ASN_OBJECT_ID: {
         uint32_t components[SNMP_MAX_OID_LENGTH];
         size_t count = m_valueLength / sizeof(uint32_t);
         if (count > 0) {
            memcpy(components, m_value, count * sizeof(uint32_t));
         }
         SNMPConvertOIDToText(count, components, buffer, bufferSize);
         break;
      }
      case ASN_IP_ADDR:
         swprintf(buffer, bufferSize, L"%u.%u.%u.%u", unsigned{m_value[0]}, unsigned{m_value[1]},
                  unsigned{m_value[2]}, unsigned{m_value[3]});
         break;
      case ASN_INTEGER:
         swprintf(buffer, bufferSize, L"%d", static_cast<int>(GetValueAsInt()));
         break;
      case ASN_COUNTER32:
      case ASN_GAUGE32:
      case ASN_TIMETICKS:
      case ASN_UINTEGER32:
      case ASN_COUNTER64:
         swprintf(buffer, bufferSize, L"%llu", static_cast<unsigned long long>(GetValueAsUInt64()));
         break;
      default:
         break;
   }
   // swprintf leaves an unspecified text when the result does not fit.
   buffer[bufferSize - 1] = 0;
   return buffer;
}

// True when the bytes read as text: no control characters other than TAB,
// CR and LF, no DEL, and at most a final NUL.
static bool IsPrintable(const uint8_t *bytes, size_t length) {
   if (length > 0 && bytes[length - 1] == 0) {
      length--;
   }
   for (size_t i = 0; i < length; i++) {
      uint8_t b = bytes[i];
      if ((b < 0x20 && b != '\t' && b != '\r' && b != '\n') || b == 0x7F) {
         return false;
      }
   }
   return true;
}

wchar_t *SNMP_Variable::getValueAsPrintableString(wchar_t *buffer, size_t bufferSize,
                                                  bool *convertToHex) const {
   bool wantHex = convertToHex != nullptr && *convertToHex;
   if (convertToHex != nullptr) {
      *convertToHex = false;
   }
   if (buffer == nullptr || bufferSize == 0) {
      return nullptr;
   }
   if (m_type != ASN_OCTET_STRING || !wantHex || IsPrintable(m_value, m_valueLength)) {
      return GetValueAsString(buffer, bufferSize);
   }
   static const wchar_t digits[] = L"0123456789ABCDEF";
   size_t pos = 0;
   for (size_t i = 0; i < m_valueLength; i++) {
      size_t need = (i == 0) ? 2 : 3;
      if (pos + need + 1 > bufferSize) {
         break;
      }
      if (i > 0) {
         buffer[pos++] = L' ';
      }
      buffer[pos++] = digits[m_value[i] >> 4];
      buffer[pos++] = digits[m_value[i] & 0x0F];
   }
   buffer[pos] = 0;
   *convertToHex = true;
   return buffer;
}
