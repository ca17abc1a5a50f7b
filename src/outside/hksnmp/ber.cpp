// BER primitives: bounded decoding and exact-size encoding.
#include "ber.h"

#include <cstring>

namespace hksnmp {

bool BerReader::readElement(uint32_t *tag, BerReader *content) {
   const uint8_t *p = m_pos;
   if (m_end - p < 2) {
      return false;
   }
   uint32_t t = *p++;
   if ((t & 0x1F) == 0x1F) {
      return false;  // multi-byte tag numbers never occur in SNMP
   }
   size_t length = *p++;
   if (length & 0x80) {
      size_t count = length & 0x7F;
      if (count == 0 || count > BER_MAX_LENGTH_BYTES) {
         return false;  // indefinite, or longer than any message can need
      }
      if (static_cast<size_t>(m_end - p) < count) {
         return false;
      }
      length = 0;
      for (size_t i = 0; i < count; i++) {
         length = (length << 8) | *p++;
      }
   }
   if (static_cast<size_t>(m_end - p) < length) {
      return false;
   }
   *tag = t;
   *content = BerReader(p, length);
   m_pos = p + length;
   return true;
}

bool BerReader::expectElement(uint32_t expectedTag, BerReader *content) {
   const uint8_t *saved = m_pos;
   uint32_t tag;
   if (!readElement(&tag, content)) {
      return false;
   }
   if (tag != expectedTag) {
      m_pos = saved;
      return false;
   }
   return true;
}

bool BerDecodeInt32(const BerReader &content, int32_t *value) {
   size_t length = content.remaining();
   const uint8_t *p = content.data();
   if (length == 0 || length > 5) {
      return false;
   }
   if (length == 5) {
      // Only a redundant sign byte may come before the 32 bits.
      bool negative = (p[1] & 0x80) != 0;
      if (p[0] != (negative ? 0xFF : 0x00)) {
         return false;
      }
      p++;
      length--;
   }
   uint32_t v = (p[0] & 0x80) ? 0xFFFFFFFFu : 0;
   for (size_t i = 0; i < length; i++) {
      v = (v << 8) | p[i];
   }
   *value = static_cast<int32_t>(v);
   return true;
}

bool BerDecodeUnsigned(const BerReader &content, size_t width, uint64_t *value) {
   size_t length = content.remaining();
   const uint8_t *p = content.data();
   if (length == 0 || length > width + 1) {
      return false;
   }
   bool negative = (p[0] & 0x80) != 0;
   if (length == width + 1) {
      if (p[0] != 0) {
         return false;
      }
      p++;
      length--;
   }
   uint64_t v = negative ? ~static_cast<uint64_t>(0) : 0;
   for (size_t i = 0; i < length; i++) {
      v = (v << 8) | p[i];
   }
   if (width < 8) {
      v &= (static_cast<uint64_t>(1) << (width * 8)) - 1;
   }
   *value = v;
   return true;
}

bool BerDecodeOid(const BerReader &content, uint32_t *components, size_t maxComponents,
                  size_t *count) {
   const uint8_t *p = content.data();
   const uint8_t *end = p + content.remaining();
   size_t n = 0;
   bool first = true;
   if (p == end || maxComponents < 2) {
      return false;
   }
   while (p < end) {
      if (*p == 0x80) {
         return false;  // redundant leading byte
      }
      uint64_t v = 0;
      for (;;) {
         if (p == end) {
            return false;  // last byte still had its continuation bit
         }
         uint8_t b = *p++;
         v = (v << 7) | (b & 0x7F);
         if (v > 0xFFFFFFFFull + 80) {  // the first sub-identifier also holds 80
            return false;
         }
         if (!(b & 0x80)) {
            break;
         }
      }
      if (first) {
         uint32_t x = v < 40 ? 0 : (v < 80 ? 1 : 2);
         components[n++] = x;
         components[n++] = static_cast<uint32_t>(v - 40 * x);
         first = false;
      } else {
         if (v > 0xFFFFFFFFull || n == maxComponents) {
            return false;
         }
         components[n++] = static_cast<uint32_t>(v);
      }
   }
   *count = n;
   return true;
}

size_t BerLengthSize(size_t contentLength) {
   if (contentLength < 0x80) {
      return 1;
   }
   size_t bytes = 0;
   for (size_t v = contentLength; v != 0; v >>= 8) {
      bytes++;
   }
   return 1 + bytes;
}

size_t BerInt32Size(int32_t value) {
   size_t size = 1;
   int64_t v = value;
   while (v > 127 || v < -128) {
      v >>= 8;  // arithmetic shift keeps the sign
      size++;
   }
   return size;
}

size_t BerUnsignedSize(uint64_t value) {
   size_t size = 1;
   while (value > 127) {
      value >>= 8;
      size++;
   }
   return size;
}

static size_t SubIdentifierSize(uint64_t v) {
   size_t size = 1;
   while (v > 127) {
      v >>= 7;
      size++;
   }
   return size;
}

static uint64_t FirstSubIdentifier(const uint32_t *components, size_t count) {
   uint64_t second = count > 1 ? components[1] : 0;
   return 40 * static_cast<uint64_t>(components[0]) + second;
}

size_t BerOidSize(const uint32_t *components, size_t count) {
   if (count == 0 || components[0] > 2) {
      return 0;
   }
   if (count > 1 && components[0] < 2 && components[1] >= 40) {
      return 0;
   }
   size_t size = SubIdentifierSize(FirstSubIdentifier(components, count));
   for (size_t i = 2; i < count; i++) {
      size += SubIdentifierSize(components[i]);
   }
   return size;
}

uint8_t *BerPutHeader(uint8_t *out, uint32_t tag, size_t contentLength) {
   *out++ = static_cast<uint8_t>(tag);
   size_t lengthSize = BerLengthSize(contentLength);
   if (lengthSize == 1) {
      *out++ = static_cast<uint8_t>(contentLength);
   } else {
      size_t bytes = lengthSize - 1;
      *out++ = static_cast<uint8_t>(0x80 | bytes);
      for (size_t i = bytes; i > 0; i--) {
         *out++ = static_cast<uint8_t>(contentLength >> ((i - 1) * 8));
      }
   }
   return out;
}

uint8_t *BerPutInt32(uint8_t *out, uint32_t tag, int32_t value) {
   size_t size = BerInt32Size(value);
   out = BerPutHeader(out, tag, size);
   uint32_t v = static_cast<uint32_t>(value);
   for (size_t i = size; i > 0; i--) {
      *out++ = static_cast<uint8_t>(v >> ((i - 1) * 8));
   }
   return out;
}

uint8_t *BerPutUnsigned(uint8_t *out, uint32_t tag, uint64_t value) {
   size_t size = BerUnsignedSize(value);
   out = BerPutHeader(out, tag, size);
   for (size_t i = size; i > 0; i--) {
      // A ninth byte is the leading zero of a value with its top bit set.
      *out++ = (i - 1) >= 8 ? 0 : static_cast<uint8_t>(value >> ((i - 1) * 8));
   }
   return out;
}

uint8_t *BerPutBytes(uint8_t *out, uint32_t tag, const uint8_t *bytes, size_t length) {
   out = BerPutHeader(out, tag, length);
   if (length > 0) {
      memcpy(out, bytes, length);
   }
   return out + length;
}

static uint8_t *PutSubIdentifier(uint8_t *out, uint64_t v) {
   size_t size = SubIdentifierSize(v);
   for (size_t i = size; i > 0; i--) {
      uint8_t b = static_cast<uint8_t>((v >> ((i - 1) * 7)) & 0x7F);
      *out++ = (i > 1) ? (b | 0x80) : b;
   }
   return out;
}

uint8_t *BerPutOid(uint8_t *out, uint32_t tag, const uint32_t *components, size_t count) {
   out = BerPutHeader(out, tag, BerOidSize(components, count));
   out = PutSubIdentifier(out, FirstSubIdentifier(components, count));
   for (size_t i = 2; i < count; i++) {
      out = PutSubIdentifier(out, components[i]);
   }
   return out;
}

}  // namespace hksnmp
