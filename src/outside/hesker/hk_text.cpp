// UTF-8, UTF-16 and the precomposition table of the 8-bit code page.
#include "hk_text.h"

namespace {

// The shortest value each UTF-8 sequence length may carry.
const char32_t kUtf8Minimum[] = {0, 0, 0x80, 0x800, 0x10000};

// (base, combining mark, precomposed) for every Latin-1 letter that
// Unicode decomposes canonically.
struct Composition {
   wchar_t base;
   wchar_t mark;
   wchar_t composed;
};

const wchar_t kGrave = 0x0300, kAcute = 0x0301, kCircumflex = 0x0302, kTilde = 0x0303,
              kDiaeresis = 0x0308, kRingAbove = 0x030A, kCedilla = 0x0327;

const Composition kLatin1Compositions[] = {
    {L'A', kGrave, 0xC0},      {L'A', kAcute, 0xC1},      {L'A', kCircumflex, 0xC2},
    {L'A', kTilde, 0xC3},      {L'A', kDiaeresis, 0xC4},  {L'A', kRingAbove, 0xC5},
    {L'C', kCedilla, 0xC7},    {L'E', kGrave, 0xC8},      {L'E', kAcute, 0xC9},
    {L'E', kCircumflex, 0xCA}, {L'E', kDiaeresis, 0xCB},  {L'I', kGrave, 0xCC},
    {L'I', kAcute, 0xCD},      {L'I', kCircumflex, 0xCE}, {L'I', kDiaeresis, 0xCF},
    {L'N', kTilde, 0xD1},      {L'O', kGrave, 0xD2},      {L'O', kAcute, 0xD3},
    {L'O', kCircumflex, 0xD4}, {L'O', kTilde, 0xD5},      {L'O', kDiaeresis, 0xD6},
    {L'U', kGrave, 0xD9},      {L'U', kAcute, 0xDA},      {L'U', kCircumflex, 0xDB},
    {L'U', kDiaeresis, 0xDC},  {L'Y', kAcute, 0xDD},      {L'a', kGrave, 0xE0},
    {L'a', kAcute, 0xE1},      {L'a', kCircumflex, 0xE2}, {L'a', kTilde, 0xE3},
    {L'a', kDiaeresis, 0xE4},  {L'a', kRingAbove, 0xE5},  {L'c', kCedilla, 0xE7},
    {L'e', kGrave, 0xE8},      {L'e', kAcute, 0xE9},      {L'e', kCircumflex, 0xEA},
    {L'e', kDiaeresis, 0xEB},  {L'i', kGrave, 0xEC},      {L'i', kAcute, 0xED},
    {L'i', kCircumflex, 0xEE}, {L'i', kDiaeresis, 0xEF},  {L'n', kTilde, 0xF1},
    {L'o', kGrave, 0xF2},      {L'o', kAcute, 0xF3},      {L'o', kCircumflex, 0xF4},
    {L'o', kTilde, 0xF5},      {L'o', kDiaeresis, 0xF6},  {L'u', kGrave, 0xF9},
    {L'u', kAcute, 0xFA},      {L'u', kCircumflex, 0xFB}, {L'u', kDiaeresis, 0xFC},
    {L'y', kAcute, 0xFD},      {L'y', kDiaeresis, 0xFF},
};

// A wide text holds one code point per wchar_t where wchar_t is 32 bits
// wide, and UTF-16 where it is 16 bits (Windows): characters beyond U+FFFF
// then take a surrogate pair.
const bool kWideIsUtf16 = sizeof(wchar_t) == 2;

void appendWide(std::wstring &out, char32_t c) {
   if (kWideIsUtf16 && hk_utf16_length(c) == 2) {
      uint16_t units[2];
      hk_utf16_encode(c, units);
      out.push_back((wchar_t)units[0]);
      out.push_back((wchar_t)units[1]);
   } else {
      out.push_back((wchar_t)c);
   }
}

// The code point at *p, advancing p past it; a lone surrogate is returned
// as it is (and is no scalar value).
char32_t nextWide(const wchar_t *&p) {
   char32_t c = (char32_t)*p++;
   if (kWideIsUtf16 && c >= 0xD800 && c <= 0xDBFF && *p >= 0xDC00 && *p <= 0xDFFF)
      c = 0x10000 + ((c - 0xD800) << 10) + ((char32_t)*p++ - 0xDC00);
   return c;
}

}  // namespace

bool hk_utf8_decode(const char *bytes, size_t length, size_t *pos, char32_t *c) {
   auto byte = [&](size_t i) { return (uint8_t)bytes[i]; };
   uint8_t lead = byte(*pos);
   size_t size;
   char32_t value;
   if (lead < 0x80) {
      size = 1;
      value = lead;
   } else if ((lead & 0xE0) == 0xC0) {
      size = 2;
      value = lead & 0x1F;
   } else if ((lead & 0xF0) == 0xE0) {
      size = 3;
      value = lead & 0x0F;
   } else if ((lead & 0xF8) == 0xF0) {
      size = 4;
      value = lead & 0x07;
   } else {
      (*pos)++;
      return false;
   }
   if (size > length - *pos) {
      (*pos)++;
      return false;
   }
   for (size_t i = 1; i < size; i++) {
      uint8_t next = byte(*pos + i);
      if ((next & 0xC0) != 0x80) {
         (*pos)++;
         return false;
      }
      value = (value << 6) | (next & 0x3F);
   }
   if (value < kUtf8Minimum[size] || !hk_is_scalar_value(value)) {
      (*pos)++;
      return false;
   }
   *pos += size;
   *c = value;
   return true;
}

void hk_utf8_append(std::string *out, char32_t c) {
   if (!hk_is_scalar_value(c))
      c = HK_REPLACEMENT_CHARACTER;
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

std::wstring hk_utf8_to_wide(const std::string &bytes) {
   std::wstring out;
   size_t pos = 0;
   while (pos < bytes.size()) {
      char32_t c;
      if (!hk_utf8_decode(bytes.data(), bytes.size(), &pos, &c))
         c = HK_REPLACEMENT_CHARACTER;
      appendWide(out, c);
   }
   return out;
}

std::string hk_wide_to_utf8(const wchar_t *text) {
   std::string out;
   if (text != nullptr) {
      for (const wchar_t *p = text; *p != L'\0';)
         hk_utf8_append(&out, nextWide(p));
   }
   return out;
}

bool hk_wide_to_utf8_strict(const wchar_t *text, std::string *out) {
   out->clear();
   for (const wchar_t *p = text; *p != L'\0';) {
      char32_t c = nextWide(p);
      if (!hk_is_scalar_value(c)) {
         out->clear();
         return false;
      }
      hk_utf8_append(out, c);
   }
   return true;
}

std::string hk_utf8_sanitize(const std::string &bytes) {
   std::string out;
   size_t pos = 0;
   while (pos < bytes.size()) {
      char32_t c;
      if (!hk_utf8_decode(bytes.data(), bytes.size(), &pos, &c))
         c = HK_REPLACEMENT_CHARACTER;
      hk_utf8_append(&out, c);
   }
   return out;
}

size_t hk_utf16_encode(char32_t c, uint16_t *units) {
   if (hk_utf16_length(c) == 2) {
      c -= 0x10000;
      units[0] = (uint16_t)(0xD800 | (c >> 10));
      units[1] = (uint16_t)(0xDC00 | (c & 0x3FF));
      return 2;
   }
   units[0] = (uint16_t)(c > 0x10FFFF ? HK_REPLACEMENT_CHARACTER : c);
   return 1;
}

bool hk_utf16_decode(const uint16_t *units, size_t count, size_t *pos, char32_t *c) {
   char32_t first = units[*pos];
   if (first < 0xD800 || first > 0xDFFF) {
      (*pos)++;
      *c = first;
      return true;
   }
   if (first <= 0xDBFF && *pos + 1 < count) {
      char32_t second = units[*pos + 1];
      if (second >= 0xDC00 && second <= 0xDFFF) {
         *pos += 2;
         *c = 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
         return true;
      }
   }
   (*pos)++;
   return false;
}

wchar_t hk_precompose_latin1(wchar_t base, wchar_t mark) {
   // Most characters are followed by no mark at all: answer those at once.
   if (mark < kGrave || mark > kCedilla)
      return 0;
   for (const Composition &entry : kLatin1Compositions) {
      if (entry.base == base && entry.mark == mark)
         return entry.composed;
   }
   return 0;
}
