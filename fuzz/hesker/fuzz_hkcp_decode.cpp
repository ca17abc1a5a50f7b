// Fuzz target: HKCP frame reassembly (RecvHKCPMessage over a socket pair,
// with the input cut into chunks) and the message decoder, directly and on
// every reassembled frame. A decoded message must re-encode to a frame that
// decodes to the same encoding.
//
// Input: byte 0 picks the receive capacity, byte 1 the chunk size; the rest
// is the stream. The stream is also decoded as one frame whose size field
// is set to its length.
#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "hesker.h"
#include "hk_internal.h"

namespace {

void check(bool condition) {
   if (!condition)
      __builtin_trap();
}

// Decodes a frame held in exactly its own bytes and checks the re-encoding.
void decodeAndReencode(const CSCP_MESSAGE *frame) {
   CSCPMessage message(frame);
   if (!message.IsValid()) {
      check(message.GetNumVariables() == 0);
      return;
   }
   CSCP_MESSAGE *encoded = message.CreateMessage();
   check(encoded != nullptr);
   uint32_t size = ntohl(encoded->dwSize);
   CSCPMessage again(encoded);
   check(again.IsValid());
   check(again.GetNumVariables() == message.GetNumVariables());
   CSCP_MESSAGE *encodedAgain = again.CreateMessage();
   check(encodedAgain != nullptr && ntohl(encodedAgain->dwSize) == size);
   check(memcmp(encoded, encodedAgain, size) == 0);
   free(encoded);
   free(encodedAgain);
}

void decodeDirect(const uint8_t *data, size_t size) {
   if (size < HKCP_HEADER_SIZE || size > HKCP_MAX_FRAME_SIZE)
      return;
   uint8_t *copy = static_cast<uint8_t *>(malloc(size));
   memcpy(copy, data, size);
   hk_put_be32(copy + 4, (uint32_t)size);
   decodeAndReencode(reinterpret_cast<CSCP_MESSAGE *>(copy));
   free(copy);
}

void reassemble(const uint8_t *data, size_t size) {
   static const uint32_t CAPACITIES[4] = {16, 64, 1024, HKCP_MAX_FRAME_SIZE};
   uint32_t capacity = CAPACITIES[data[0] & 3];
   size_t chunk = (size_t)data[1] + 1;
   data += 2;
   size -= 2;
   if (size > 65536)
      size = 65536;  // stays below the socket pair's buffer

   int fds[2];
   if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
      return;
   // Allocated once: fresh 256 KiB buffers per input would dominate the
   // run time under AddressSanitizer. Every decoded frame is still copied
   // to an exact-size allocation below.
   static CSCP_BUFFER *state = static_cast<CSCP_BUFFER *>(malloc(sizeof(CSCP_BUFFER)));
   static uint8_t *frame = static_cast<uint8_t *>(malloc(HKCP_MAX_FRAME_SIZE));
   static uint8_t *decrypt = static_cast<uint8_t *>(malloc(HKCP_MAX_FRAME_SIZE));
   RecvHKCPMessage(0, nullptr, state, 0, nullptr, nullptr, 0);

   auto drain = [&](bool toEnd) {
      for (;;) {
         int rc = RecvHKCPMessage((SOCKET)fds[1], reinterpret_cast<CSCP_MESSAGE *>(frame), state,
                                  capacity, nullptr, decrypt, 0);
         if (rc == 3 && !toEnd)
            return true;
         if (rc <= 0 || rc == 3)
            return false;
         check(state->dwBufPos <= state->dwBufSize && state->dwBufSize <= CSCP_TEMP_BUF_SIZE);
         if (rc == 1) {
            check(ntohl(reinterpret_cast<CSCP_MESSAGE *>(frame)->dwSize) > capacity);
         } else if (rc > 3) {
            check((uint32_t)rc <= capacity);
            check(ntohl(reinterpret_cast<CSCP_MESSAGE *>(frame)->dwSize) == (uint32_t)rc);
            // An exact copy, so the decoder cannot read past the frame unseen.
            uint8_t *exact = static_cast<uint8_t *>(malloc((size_t)rc));
            memcpy(exact, frame, (size_t)rc);
            decodeAndReencode(reinterpret_cast<CSCP_MESSAGE *>(exact));
            free(exact);
         }
      }
   };

   bool open = true;
   for (size_t pos = 0; pos < size && open; pos += chunk) {
      size_t n = (size - pos < chunk) ? size - pos : chunk;
      if (write(fds[0], data + pos, n) != (ssize_t)n)
         break;
      open = drain(false);
   }
   shutdown(fds[0], SHUT_WR);
   if (open)
      drain(true);

   close(fds[0]);
   close(fds[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
   if (size < 2)
      return 0;
   decodeDirect(data + 2, size - 2);
   reassemble(data, size);
   return 0;
}
