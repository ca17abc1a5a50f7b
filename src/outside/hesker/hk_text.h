// Text conversions between wide strings (one wchar_t per code point where
// wchar_t is 32 bits wide, UTF-16 where it is 16 bits), UTF-8, UTF-16 and the
// 8-bit code page (see hk_platform.h), in one place so that every part of
// the system decodes peer input by the same rules.
//
// Decoders accept only well-formed input: a UTF-8 sequence in its shortest
// form of a Unicode scalar value (no overlong forms, no surrogates, nothing
// above U+10FFFF, nothing truncated), and in UTF-16 a high surrogate only
// when a low one follows. What a caller does with a rejected unit (replace
// it, keep it, refuse the text) is the caller's choice.
//
// Thread safety: every function is pure and may run on any thread.
#ifndef HK_TEXT_H
#define HK_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "hesker_export.h"

static const char32_t HK_REPLACEMENT_CHARACTER = 0xFFFD;

// True for a Unicode scalar value: at most U+10FFFF and not a surrogate.
inline bool hk_is_scalar_value(char32_t c) {
   return c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
}

// ---------------------------------------------------------------- UTF-8
// Decodes the sequence at bytes[*pos] (length bytes in all). On success
// stores the code point, advances *pos past the sequence and returns true;
// on a malformed sequence advances *pos by one byte and returns false.
HESKER_EXPORT bool hk_utf8_decode(const char *bytes, size_t length, size_t *pos, char32_t *c);
// Appends the UTF-8 form of c; a value that is no scalar value appends
// U+FFFD.
HESKER_EXPORT void hk_utf8_append(std::string *out, char32_t c);
// Whole texts; every malformed byte becomes U+FFFD.
HESKER_EXPORT std::wstring hk_utf8_to_wide(const std::string &bytes);
HESKER_EXPORT std::string hk_wide_to_utf8(const wchar_t *text);
// False, with out cleared, when text holds a value that is no scalar value
// (for names that must reach the file system unchanged or not at all).
HESKER_EXPORT bool hk_wide_to_utf8_strict(const wchar_t *text, std::string *out);
// The bytes with every malformed sequence replaced by U+FFFD.
HESKER_EXPORT std::string hk_utf8_sanitize(const std::string &bytes);

// ---------------------------------------------------------------- UTF-16
// Number of UTF-16 units of c: 2 for a supplementary character, else 1.
inline size_t hk_utf16_length(char32_t c) {
   return (c >= 0x10000 && c <= 0x10FFFF) ? 2 : 1;
}
// Writes c as one or two units; a value above U+10FFFF becomes U+FFFD.
// Returns the number of units written.
HESKER_EXPORT size_t hk_utf16_encode(char32_t c, uint16_t *units);
// Decodes the character at units[*pos] (count units in all) like
// hk_utf8_decode; a lone surrogate is malformed and is passed over alone.
HESKER_EXPORT bool hk_utf16_decode(const uint16_t *units, size_t count, size_t *pos, char32_t *c);

// ---------------------------------------------------------------- 8-bit code page
// The precomposed character of base followed by the combining mark, where
// that character lies within the 8-bit code page (U+00C0..U+00FF); 0 when
// there is none.
HESKER_EXPORT wchar_t hk_precompose_latin1(wchar_t base, wchar_t mark);

#endif
