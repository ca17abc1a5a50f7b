// Internal helpers of libhesker shared between its source files and its
// tests; not part of the installed interface.
#ifndef HK_INTERNAL_H
#define HK_INTERNAL_H

#include <cstdint>
#include <cstring>
#include <string>

#include "hk_platform.h"
#include "hk_text.h"

// Waits until the socket is writable: 1 writable, 0 time-out, -1 error.
int SocketWaitWritable(SOCKET s, uint32_t timeoutMs);

// Big-endian field access on unaligned bytes.
inline uint16_t hk_get_be16(const uint8_t *p) {
   return (uint16_t)((p[0] << 8) | p[1]);
}
inline uint32_t hk_get_be32(const uint8_t *p) {
   return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
inline uint64_t hk_get_be64(const uint8_t *p) {
   return ((uint64_t)hk_get_be32(p) << 32) | hk_get_be32(p + 4);
}
inline void hk_put_be16(uint8_t *p, uint16_t v) {
   p[0] = (uint8_t)(v >> 8);
   p[1] = (uint8_t)v;
}
inline void hk_put_be32(uint8_t *p, uint32_t v) {
   p[0] = (uint8_t)(v >> 24);
   p[1] = (uint8_t)(v >> 16);
   p[2] = (uint8_t)(v >> 8);
   p[3] = (uint8_t)v;
}
inline void hk_put_be64(uint8_t *p, uint64_t v) {
   hk_put_be32(p, (uint32_t)(v >> 32));
   hk_put_be32(p + 4, (uint32_t)v);
}

// Variable type tags on the wire (docs/protocol.md, "Variables").
enum : uint8_t {
   HK_VT_INT32 = 0,
   HK_VT_STRING = 1,
   HK_VT_INT64 = 2,
   HK_VT_INT16 = 3,
   HK_VT_BINARY = 4,
   HK_VT_INT32_ARRAY = 5,
};
// Every variable starts on this boundary, counted from the frame start.
static const uint32_t HK_VAR_ALIGN = 8;
// id (4), type (1), reserved (1) before the 16-bit value or 2 more reserved.
static const uint32_t HK_VAR_HEADER_SIZE = 8;

inline uint32_t hk_align8(uint32_t n) {
   return (n + 7u) & ~7u;
}

#endif
