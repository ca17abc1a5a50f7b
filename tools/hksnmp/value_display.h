// How hksnmp shows a value to a person. Octet strings are shown as text when
// their bytes are valid UTF-8 without control characters, and otherwise as
// hexadecimal bytes ("DE F6 8B DB 32 FA"), so that neither a name in UTF-8
// nor a MAC address is shown as mojibake. The library's own conversions
// (SnmpGet's flags, the driver's names) are not affected.
#ifndef HKSNMP_TOOL_VALUE_DISPLAY_H
#define HKSNMP_TOOL_VALUE_DISPLAY_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "hksnmp.h"

namespace hksnmptool {

// True when data is valid UTF-8 (shortest forms only, no surrogates,
// nothing above U+10FFFF) whose characters are all printable: no C0
// controls other than TAB, CR and LF, no DEL, no C1 controls.
bool IsDisplayableUtf8(const uint8_t *data, size_t length);

// Upper-case hexadecimal bytes separated by spaces.
std::string HexBytes(const uint8_t *data, size_t length);

// The value as UTF-8 text for display. An OCTET STRING is text by the rule
// above (a single trailing NUL, which many devices send, is dropped) or
// hexadecimal; Opaque is always hexadecimal; every other type is shown as
// the library's GetValueAsString writes it.
std::string DisplayValue(const SNMP_Variable *variable);

}  // namespace hksnmptool

#endif
