// Input: byte 0 is the component limit (0..255); the rest is the text.
//
// Checked: the narrow and wide parsers agree on the same characters; no
// more than the limit is ever written (the component array is exactly that
// long); what parses prints as dotted text that parses back to the same
// components; text holding characters beyond 8 bits (wide only) fails
// unless the parse stopped before them.
#include "snmp_oid_target.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "hksnmp.h"

namespace {

void check(bool condition) {
   if (!condition)
      abort();
}

}  // namespace

int HkFuzzSnmpOid(const uint8_t *data, size_t size) {
   if (size < 1 || size > 8192)
      return 0;
   const size_t limit = data[0];
   data++;
   size--;

   // The text stops at its first NUL, as a C string does.
   std::vector<char> narrow(data, data + size);
   narrow.push_back('\0');
   std::vector<wchar_t> wide;
   for (size_t i = 0; i < size; i++)
      wide.push_back((wchar_t)data[i]);
   wide.push_back(L'\0');

   // Exactly `limit` components, so a write past them is caught.
   uint32_t *fromNarrow = static_cast<uint32_t *>(malloc((limit ? limit : 1) * sizeof(uint32_t)));
   uint32_t *fromWide = static_cast<uint32_t *>(malloc((limit ? limit : 1) * sizeof(uint32_t)));
   size_t n = SNMPParseOID(narrow.data(), fromNarrow, limit);
   size_t w = SNMPParseOID(wide.data(), fromWide, limit);
   check(n == w && n <= limit);
   check(n == 0 || memcmp(fromNarrow, fromWide, n * sizeof(uint32_t)) == 0);

   if (n > 0) {
      std::vector<wchar_t> text(n * 11 + 2);
      SNMPConvertOIDToText(n, fromNarrow, text.data(), text.size());
      std::vector<uint32_t> again(n);
      check(SNMPParseOID(text.data(), again.data(), n) == n);
      check(memcmp(again.data(), fromNarrow, n * sizeof(uint32_t)) == 0);
      // One component fewer of room is too little.
      check(SNMPParseOID(text.data(), again.data(), n - 1) == 0);
   }

   // Wide characters whose low byte is a digit or a dot are not digits or
   // dots: the same text with one of them widened must not parse the same.
   if (n > 0 && size > 0) {
      std::vector<wchar_t> shifted = wide;
      for (wchar_t &c : shifted) {
         if (c == L'.' || (c >= L'0' && c <= L'9')) {
            c += 0x100;
            break;
         }
      }
      check(SNMPParseOID(shifted.data(), fromWide, limit) == 0);
   }
   free(fromNarrow);
   free(fromWide);
   return 0;
}
