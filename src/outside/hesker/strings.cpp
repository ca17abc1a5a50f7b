// String and address helpers.
#include <cwchar>

#include "hk_util.h"

wchar_t *IpToStr(uint32_t address, wchar_t *buffer) {
   if (buffer == nullptr)
      return nullptr;
   swprintf(buffer, 16, L"%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
            (address >> 8) & 0xFF, address & 0xFF);
   return buffer;
}

// Only the full dotted-decimal form is accepted; inet_addr's shorter and
// octal forms read "010.1" as something the writer rarely meant.
uint32_t inet_addr_w(const wchar_t *text) {
   if (text == nullptr)
      return INADDR_NONE;
   char narrow[16];
   size_t i = 0;
   for (; text[i] != 0; i++) {
      if (i >= sizeof(narrow) - 1 || !((text[i] >= L'0' && text[i] <= L'9') || text[i] == L'.'))
         return INADDR_NONE;
      narrow[i] = (char)text[i];
   }
   narrow[i] = 0;
   struct in_addr addr;
   if (inet_pton(AF_INET, narrow, &addr) != 1)
      return INADDR_NONE;
   return addr.s_addr;
}

namespace {

uint8_t hexValue(wchar_t c) {
   if (c >= L'0' && c <= L'9')
      return (uint8_t)(c - L'0');
   if (c >= L'A' && c <= L'F')
      return (uint8_t)(c - L'A' + 10);
   if (c >= L'a' && c <= L'f')
      return (uint8_t)(c - L'a' + 10);
   return 0;
}

}  // namespace

size_t StrToBin(const wchar_t *text, uint8_t *bytes, size_t maxBytes) {
   if (text == nullptr || bytes == nullptr)
      return 0;
   size_t count = 0;
   const wchar_t *p = text;
   while (count < maxBytes && *p != 0) {
      uint8_t value = (uint8_t)(hexValue(p[0]) << 4);
      if (p[1] == 0) {
         // An odd final digit is the high half of a last byte.
         bytes[count++] = value;
         break;
      }
      bytes[count++] = value | hexValue(p[1]);
      p += 2;
   }
   return count;
}

wchar_t *BinToStr(const uint8_t *bytes, size_t count, wchar_t *text) {
   static const wchar_t digits[] = L"0123456789ABCDEF";
   if (text == nullptr)
      return nullptr;
   size_t out = 0;
   for (size_t i = 0; bytes != nullptr && i < count; i++) {
      text[out++] = digits[bytes[i] >> 4];
      text[out++] = digits[bytes[i] & 0x0F];
   }
   text[out] = 0;
   return text;
}

void StrStrip(wchar_t *text) {
   if (text == nullptr)
      return;
   size_t start = 0;
   while (text[start] == L' ' || text[start] == L'\t')
      start++;
   size_t end = wcslen(text);
   while (end > start && (text[end - 1] == L' ' || text[end - 1] == L'\t'))
      end--;
   if (start > 0)
      wmemmove(text, text + start, end - start);
   text[end - start] = 0;
}
