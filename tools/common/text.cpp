#include "text.h"

#include <cinttypes>
#include <cstdio>

namespace hktool {

namespace {

const char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string *out, char32_t c) {
   if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
      c = kReplacement;
   if (c < 0x80) {
      out->push_back((char)c);
   } else if (c < 0x800) {
      out->push_back((char)(0xC0 | (c >> 6)));
      out->push_back((char)(0x80 | (c & 0x3F)));
   } else if (c < 0x10000) {
      out->push_back((char)(0xE0 | (c >> 12)));
      out->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
      out->push_back((char)(0x80 | (c & 0x3F)));
   } else {
      out->push_back((char)(0xF0 | (c >> 18)));
      out->push_back((char)(0x80 | ((c >> 12) & 0x3F)));
      out->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
      out->push_back((char)(0x80 | (c & 0x3F)));
   }
}

// Decodes one sequence at text[*pos]; advances *pos past it, or by one byte
// (returning U+FFFD) when it is not a valid, shortest-form sequence.
char32_t DecodeUtf8(const std::string &text, size_t *pos) {
   auto byte = [&](size_t i) -> uint8_t { return (uint8_t)text[i]; };
   uint8_t lead = byte(*pos);
   size_t length;
   char32_t c;
   if (lead < 0x80) {
      (*pos)++;
      return lead;
   } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      c = lead & 0x1F;
   } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      c = lead & 0x0F;
   } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      c = lead & 0x07;
   } else {
      (*pos)++;
      return kReplacement;
   }
   if (*pos + length > text.size()) {
      (*pos)++;
      return kReplacement;
   }
   for (size_t i = 1; i < length; i++) {
      uint8_t next = byte(*pos + i);
      if ((next & 0xC0) != 0x80) {
         (*pos)++;
         return kReplacement;
      }
      c = (c << 6) | (next & 0x3F);
   }
   static const char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
   if (c < kMinimum[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      (*pos)++;
      return kReplacement;
   }
   *pos += length;
   return c;
}

}  // namespace

std::wstring Utf8ToWide(const std::string &text) {
   std::wstring out;
   size_t pos = 0;
   while (pos < text.size())
      out.push_back((wchar_t)DecodeUtf8(text, &pos));
   return out;
}

std::string WideToUtf8(const wchar_t *text) {
   std::string out;
   if (text == nullptr)
      return out;
   for (; *text != L'\0'; text++)
      AppendUtf8(&out, (char32_t)*text);
   return out;
}

std::string SanitizeUtf8(const std::string &bytes) {
   std::string out;
   size_t pos = 0;
   while (pos < bytes.size())
      AppendUtf8(&out, DecodeUtf8(bytes, &pos));
   return out;
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
