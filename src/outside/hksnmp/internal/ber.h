// BER primitives of the SNMP codec (internal to libhksnmp).
//
// Decoding walks a bounded view: every length is checked against what is
// left of its container before anything is read, so no function here reads
// outside the bytes it was given. Encoding is two-pass: the *Size functions
// give exact sizes, the Put functions write into a buffer of that size.
#ifndef HKSNMP_BER_H
#define HKSNMP_BER_H

#include <cstddef>
#include <cstdint>

namespace hksnmp {

// Longest length field accepted: the initial byte and four length bytes.
static constexpr size_t BER_MAX_LENGTH_BYTES = 4;

// A read-only window over encoded bytes.
class BerReader {
public:
   BerReader() : m_pos(nullptr), m_end(nullptr) {}
   BerReader(const uint8_t *data, size_t length) : m_pos(data), m_end(data + length) {}

   bool atEnd() const { return m_pos == m_end; }
   size_t remaining() const { return static_cast<size_t>(m_end - m_pos); }

   // Reads one element's single-byte tag and definite length and steps over
   // it; *content is the window of its content bytes. False (position
   // unchanged) when the header is truncated, the tag uses the multi-byte
   // form, the length is indefinite or has more than BER_MAX_LENGTH_BYTES
   // length bytes, or the content runs past this window.
   bool readElement(uint32_t *tag, BerReader *content);
   // As readElement, and the tag must equal expectedTag.
   bool expectElement(uint32_t expectedTag, BerReader *content);

   const uint8_t *data() const { return m_pos; }

private:
   const uint8_t *m_pos;
   const uint8_t *m_end;
};

// Decoders of primitive contents. All reject empty content.
// A signed INTEGER of 32 bits: at most 4 content bytes, or 5 whose first
// is a redundant sign byte (some encoders write -2^31 as FF 80 00 00 00).
bool BerDecodeInt32(const BerReader &content, int32_t *value);
// An unsigned value of at most width bytes (4 or 8), allowing one more byte
// only when it is a leading 0x00. A value whose top bit is set without that
// leading byte is read as two's complement, truncated to the width, as
// deployed agents send it.
bool BerDecodeUnsigned(const BerReader &content, size_t width, uint64_t *value);
// An OBJECT IDENTIFIER of at most maxComponents components into
// components; *count receives their number. Rejects sub-identifiers with a
// redundant leading 0x80 byte, above 2^32-1, or cut off at the end.
bool BerDecodeOid(const BerReader &content, uint32_t *components, size_t maxComponents,
                  size_t *count);

// Sizes of encodings.
size_t BerLengthSize(size_t contentLength);  // the tag byte excluded
inline size_t BerElementSize(size_t contentLength) {
   return 1 + BerLengthSize(contentLength) + contentLength;
}
size_t BerInt32Size(int32_t value);
size_t BerUnsignedSize(uint64_t value);
// 0 when BER cannot carry the OID: no components, a first component above
// 2, or a second one of 40 or more under a first of 0 or 1. A single
// component c is carried as c.0.
size_t BerOidSize(const uint32_t *components, size_t count);

// Writers; each returns the position after what it wrote.
uint8_t *BerPutHeader(uint8_t *out, uint32_t tag, size_t contentLength);
uint8_t *BerPutInt32(uint8_t *out, uint32_t tag, int32_t value);
uint8_t *BerPutUnsigned(uint8_t *out, uint32_t tag, uint64_t value);
uint8_t *BerPutBytes(uint8_t *out, uint32_t tag, const uint8_t *bytes, size_t length);
// The OID must have a non-zero BerOidSize.
uint8_t *BerPutOid(uint8_t *out, uint32_t tag, const uint32_t *components, size_t count);

}  // namespace hksnmp

#endif
