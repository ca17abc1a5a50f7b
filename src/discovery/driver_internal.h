// Helpers shared by the generic driver's discovery sources.
#ifndef HKSRV_DRIVER_INTERNAL_H
#define HKSRV_DRIVER_INTERNAL_H

#include <cstdint>

#include "hksnmp.h"

// Where SnmpGet puts an integer answer. It writes 4 bytes for the integer
// types and IpAddress, but a device that answers with an OCTET STRING or an
// OBJECT IDENTIFIER sends the value down the text path, which writes up to
// bufferSize wide characters: the buffer is sized for that too.
union DriverIntegerBuffer {
   int32_t i;
   uint32_t u;
   wchar_t text[4];
};
static const uint32_t DRIVER_INTEGER_BUFFER_SIZE = sizeof(DriverIntegerBuffer) / sizeof(wchar_t);

// Reads an integer (or IpAddress, host byte order) object with SnmpGet, no
// flags; *value is set only on success. An answer of the wrong type gives
// whatever its first bytes hold, never a write past the buffer.
uint32_t DriverGetInteger(SNMP_Transport *transport, const wchar_t *oidText,
                          const uint32_t *oidBinary, uint32_t oidLength, uint32_t *value);

#endif
