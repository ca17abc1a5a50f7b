#include "text.h"

#include <cinttypes>
#include <cstdio>

#include "hk_text.h"

namespace hktool {

std::wstring Utf8ToWide(const std::string &text) {
   return hk_utf8_to_wide(text);
}

std::string WideToUtf8(const wchar_t *text) {
   return hk_wide_to_utf8(text);
}

std::string SanitizeUtf8(const std::string &bytes) {
   return hk_utf8_sanitize(bytes);
}

std::wstring BytesToWide(const std::string &bytes) {
   std::wstring out;
   out.reserve(bytes.size());
   for (char b : bytes)
      out.push_back((wchar_t)(uint8_t)b);
   return out;
}

std::string WideToBytes(const wchar_t *text) {
   std::string out;
   if (text == nullptr)
      return out;
   for (; *text != L'\0'; text++)
      out.push_back((uint32_t)*text <= 0xFF ? (char)(uint8_t)*text : '?');
   return out;
}

bool ParseNumber(const std::string &text, uint64_t min, uint64_t max, uint64_t *value) {
   if (text.empty() || text.size() > 20)
      return false;
   uint64_t result = 0;
   for (char c : text) {
      if (c < '0' || c > '9')
         return false;
      uint64_t digit = (uint64_t)(c - '0');
      if (result > (UINT64_MAX - digit) / 10)
         return false;
      result = result * 10 + digit;
   }
   if (result < min || result > max)
      return false;
   *value = result;
   return true;
}

std::string Ipv4Text(uint32_t address) {
   char text[16];
   snprintf(text, sizeof(text), "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
            (address >> 8) & 0xFF, address & 0xFF);
   return text;
}

std::string MacText(const uint8_t *mac) {
   char text[18];
   snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
            mac[4], mac[5]);
   return text;
}

int MaskPrefixLength(uint32_t mask) {
   int bits = 0;
   while (bits < 32 && (mask & (0x80000000u >> bits)) != 0)
      bits++;
   uint32_t expected = (bits == 0) ? 0 : (0xFFFFFFFFu << (32 - bits));
   return (mask == expected) ? bits : -1;
}

std::string HumanBytes(uint64_t bytes) {
   static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
   char text[32];
   if (bytes < 1024) {
      snprintf(text, sizeof(text), "%" PRIu64 " B", bytes);
      return text;
   }
   double value = (double)bytes;
   size_t unit = 0;
   while (value >= 1024.0 && unit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
      value /= 1024.0;
      unit++;
   }
   snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
   return text;
}

}  // namespace hktool
