#include "value_display.h"

#include <vector>

#include "text.h"

namespace hksnmptool {

namespace {

// The length of the UTF-8 sequence that lead starts, 0 for a byte that
// cannot start one; *minimum is the smallest code point it may encode.
size_t SequenceLength(uint8_t lead, uint32_t *codePoint, uint32_t *minimum) {
   if (lead < 0x80) {
      *codePoint = lead;
      *minimum = 0;
      return 1;
   }
   if ((lead & 0xE0) == 0xC0) {
      *codePoint = lead & 0x1F;
      *minimum = 0x80;
      return 2;
   }
   if ((lead & 0xF0) == 0xE0) {
      *codePoint = lead & 0x0F;
      *minimum = 0x800;
      return 3;
   }
   if ((lead & 0xF8) == 0xF0) {
      *codePoint = lead & 0x07;
      *minimum = 0x10000;
      return 4;
   }
   return 0;
}

bool IsControl(uint32_t c) {
   if (c == '\t' || c == '\r' || c == '\n') {
      return false;
   }
   return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

bool IsDisplayableUtf8(const uint8_t *data, size_t length) {
   size_t i = 0;
   while (i < length) {
      uint32_t c, minimum;
      size_t n = SequenceLength(data[i], &c, &minimum);
      if (n == 0 || n > length - i) {
         return false;
      }
      for (size_t k = 1; k < n; k++) {
         if ((data[i + k] & 0xC0) != 0x80) {
            return false;
         }
         c = (c << 6) | (data[i + k] & 0x3F);
      }
      if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || IsControl(c)) {
         return false;
      }
      i += n;
   }
   return true;
}

std::string HexBytes(const uint8_t *data, size_t length) {
   static const char kDigits[] = "0123456789ABCDEF";
   std::string text;
   text.reserve(length * 3);
   for (size_t i = 0; i < length; i++) {
      if (i > 0) {
         text += ' ';
      }
      text += kDigits[data[i] >> 4];
      text += kDigits[data[i] & 0x0F];
   }
   return text;
}

std::string DisplayValue(const SNMP_Variable *variable) {
   const uint8_t *data = variable->getValue();
   size_t length = variable->getValueLength();
   switch (variable->getType()) {
      case ASN_OCTET_STRING: {
         size_t textLength = length > 0 && data[length - 1] == 0 ? length - 1 : length;
         if (textLength == 0) {
            return std::string();
         }
         if (IsDisplayableUtf8(data, textLength)) {
            return std::string(reinterpret_cast<const char *>(data), textLength);
         }
         return HexBytes(data, length);
      }
      case ASN_OPAQUE:
         return HexBytes(data, length);
      default: {
         // Numbers, addresses and dotted names: an OID of 128 components
         // of ten digits each fits.
         std::vector<wchar_t> text(4096);
         return hktool::WideToUtf8(variable->GetValueAsString(text.data(), text.size()));
      }
   }
}

}  // namespace hksnmptool
