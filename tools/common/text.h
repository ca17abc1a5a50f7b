// Text conversions shared by the tools: the library speaks wide strings,
// terminals and JSON speak UTF-8, and the agent's configuration file is
// 8-bit (one byte per character).
#ifndef HKTOOL_TEXT_H
#define HKTOOL_TEXT_H

#include <cstdint>
#include <string>

namespace hktool {

// UTF-8 to wide; a byte that does not start a valid sequence becomes U+FFFD.
std::wstring Utf8ToWide(const std::string &text);
// Wide to UTF-8; a code point that UTF-8 cannot carry becomes U+FFFD.
std::string WideToUtf8(const wchar_t *text);
inline std::string WideToUtf8(const std::wstring &text) {
   return WideToUtf8(text.c_str());
}
// The same bytes with every invalid UTF-8 sequence replaced by U+FFFD, so
// the result is always valid UTF-8.
std::string SanitizeUtf8(const std::string &bytes);

// One byte per character both ways (ISO-8859-1); a character above U+00FF
// becomes '?'.
std::wstring BytesToWide(const std::string &bytes);
std::string WideToBytes(const wchar_t *text);

// Strict decimal parse of the whole text into [min, max]; false otherwise.
bool ParseNumber(const std::string &text, uint64_t min, uint64_t max, uint64_t *value);

// Dotted text of an IPv4 address in host byte order.
std::string Ipv4Text(uint32_t address);
// "AA:BB:CC:DD:EE:FF".
std::string MacText(const uint8_t *mac);
// Prefix length of a contiguous mask in host byte order; -1 when it is not
// contiguous.
int MaskPrefixLength(uint32_t mask);
// "1.5 KiB", "12.0 MiB": a byte count for people.
std::string HumanBytes(uint64_t bytes);

}  // namespace hktool

#endif
