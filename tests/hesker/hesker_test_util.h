// Helpers of the libhesker core tests: loopback TCP pairs, exact-size frame
// copies (so AddressSanitizer catches any read past a frame), and hand-made
// frames for the malformed-input cases.
#ifndef TESTS_HESKER_HESKER_TEST_UTIL_H
#define TESTS_HESKER_HESKER_TEST_UTIL_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hesker.h"
#include "hk_internal.h"

namespace hesker_test {

// Two connected TCP sockets on 127.0.0.1 (client, server side), closed by
// the destructor unless released.
struct TcpPair {
   TcpPair();
   ~TcpPair();
   TcpPair(const TcpPair &) = delete;
   TcpPair &operator=(const TcpPair &) = delete;
   bool ok() const { return client != INVALID_SOCKET && server != INVALID_SOCKET; }
   SOCKET client = INVALID_SOCKET;
   SOCKET server = INVALID_SOCKET;
};

// A listening socket on 127.0.0.1 with an ephemeral port.
struct Listener {
   Listener();
   ~Listener();
   SOCKET fd = INVALID_SOCKET;
   uint16_t port = 0;  // host order
   SOCKET accept() const;
};

// Frees a malloc'ed frame.
struct FreeDeleter {
   void operator()(void *p) const { free(p); }
};
using FramePtr = std::unique_ptr<CSCP_MESSAGE, FreeDeleter>;

// The message's wire frame as bytes.
std::vector<uint8_t> Encode(const CSCPMessage &message);

// Decodes bytes through a heap copy of exactly bytes.size() bytes, so a
// read past the frame is an AddressSanitizer error. The frame's size field
// must match the byte count (Frame() makes sure of it).
std::unique_ptr<CSCPMessage> DecodeExact(const std::vector<uint8_t> &bytes);

// Builds frames by hand, field by field, big-endian.
class FrameBuilder {
public:
   FrameBuilder(uint16_t code, uint16_t flags, uint32_t id, uint32_t numVars);
   FrameBuilder &u8(uint8_t v);
   FrameBuilder &u16(uint16_t v);
   FrameBuilder &u32(uint32_t v);
   FrameBuilder &u64(uint64_t v);
   FrameBuilder &bytes(const void *data, size_t length);
   FrameBuilder &pad();  // zeros up to the next 8-byte boundary
   // The frame with its size field set to the byte count, or to sizeField.
   std::vector<uint8_t> build() const;
   std::vector<uint8_t> build(uint32_t sizeField) const;

private:
   std::vector<uint8_t> m_bytes;
};

// Writes all bytes to s; false on failure.
bool WriteAll(SOCKET s, const void *data, size_t length);

// Receive state and buffers for RecvHKCPMessage, freed with the object.
class Receiver {
public:
   explicit Receiver(SOCKET s, uint32_t capacity = HKCP_MAX_FRAME_SIZE);
   ~Receiver();
   Receiver(const Receiver &) = delete;
   Receiver &operator=(const Receiver &) = delete;
   int next(uint32_t timeoutMs);
   CSCP_MESSAGE *frame() const { return reinterpret_cast<CSCP_MESSAGE *>(m_frame); }
   std::unique_ptr<CSCPMessage> message() const;
   CSCP_BUFFER *state() const { return m_state; }

private:
   SOCKET m_socket;
   uint32_t m_capacity;
   CSCP_BUFFER *m_state;
   uint8_t *m_frame;
   uint8_t *m_decrypt;
};

}  // namespace hesker_test

#endif
