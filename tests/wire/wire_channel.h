// One end of an HKCP connection for the cross-build wire tests: frames sent
// and received whole, plain or under an encryption context. The same code
// runs in the Linux peer and in the Windows test under wine.
#ifndef TESTS_WIRE_WIRE_CHANNEL_H
#define TESTS_WIRE_WIRE_CHANNEL_H

#include <cstdint>
#include <vector>

#include "hkcp.h"

namespace wire_test {

class Channel {
public:
   // Takes ownership of s (closed by the destructor).
   explicit Channel(SOCKET s);
   ~Channel();
   Channel(const Channel &) = delete;
   Channel &operator=(const Channel &) = delete;

   // Sends the frame's bytes as they are, encrypted when a context is set.
   bool send(const std::vector<uint8_t> &frame);
   // RecvHKCPMessage's result; on success (> 3) *frame holds the plain frame.
   int receive(std::vector<uint8_t> *frame, uint32_t timeoutMs = 10000);
   // Replaces the context (the channel releases the one it held).
   void setContext(HKCPEncryptionContext *context);
   HKCPEncryptionContext *context() const { return m_context; }

private:
   SOCKET m_socket;
   HKCPEncryptionContext *m_context = nullptr;  // owned reference, or null
   CSCP_BUFFER m_state;
   std::vector<uint8_t> m_frame;
   std::vector<uint8_t> m_decrypt;
};

// The message's wire frame; empty when it cannot be encoded.
std::vector<uint8_t> Encode(const CSCPMessage &message);

// Marks the end of an exchange: the peer closes the connection on it.
const uint32_t kStopId = 0xFFFFFF;

}  // namespace wire_test

#endif
