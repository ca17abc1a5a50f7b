// RecvHKCPMessage: frame reassembly over a stream socket.
//
// Frames up to CSCP_TEMP_BUF_SIZE are assembled in the caller's receive
// state, so a time-out in the middle of one loses nothing. A larger frame
// (up to the caller's capacity) is read straight into the caller's frame
// buffer; a time-out in its middle gives it up and skips its remaining
// bytes, so the stream stays framed. A frame over capacity keeps only its
// header and is skipped the same way.
#include <cerrno>
#include <cstring>

#include "hk_internal.h"
#include "hkcp.h"

namespace {

enum : int { RECV_TOO_LARGE = 1, RECV_DECRYPT_FAILED = 2, RECV_TIMEOUT = 3 };

class Reader {
public:
   Reader(SOCKET s, uint32_t timeoutMs)
       : m_socket(s), m_timeout(timeoutMs), m_deadline(GetMonotonicMs() + timeoutMs) {}

   // Reads up to size bytes once something is readable. Returns the count
   // (> 0), RECV_TIMEOUT as -RECV_TIMEOUT, or 0/-1 on close or error.
   int read(void *buffer, size_t size) {
      for (;;) {
         uint32_t wait = INFINITE;
         if (m_timeout != INFINITE) {
            uint64_t now = GetMonotonicMs();
            wait = (now >= m_deadline) ? 0 : (uint32_t)(m_deadline - now);
         }
         int rc = SocketWaitReadable(m_socket, wait);
         if (rc == 0)
            return -RECV_TIMEOUT;
         if (rc < 0)
            return -1;
         rc = SocketRecv(m_socket, buffer, size);
         if (rc < 0 && WSAGetLastError() == WSAEWOULDBLOCK)
            continue;  // non-blocking socket woken without data
         return rc;
      }
   }

private:
   SOCKET m_socket;
   uint32_t m_timeout;
   uint64_t m_deadline;
};

// Maps a Reader::read result that is not a byte count to the return value.
int failure(int rc) {
   return rc == -RECV_TIMEOUT ? RECV_TIMEOUT : rc;
}

// Bytes of the state buffer in use: no more than one frame's worth, so a
// caller with a small capacity may give a state with a buffer that small.
uint32_t room(uint32_t capacity) {
   return capacity < CSCP_TEMP_BUF_SIZE ? capacity : CSCP_TEMP_BUF_SIZE;
}

// More bytes into the state buffer, after moving what is left to its front.
int fill(CSCP_BUFFER *state, Reader &reader, uint32_t capacity) {
   if (state->dwBufPos > 0) {
      uint32_t left = state->dwBufSize - state->dwBufPos;
      memmove(state->buffer, state->buffer + state->dwBufPos, left);
      state->dwBufSize = left;
      state->dwBufPos = 0;
   }
   return reader.read(state->buffer + state->dwBufSize, room(capacity) - state->dwBufSize);
}

// Hands a whole frame to the caller, decrypting it when it is encrypted.
int deliver(CSCP_MESSAGE *frame, uint32_t size, uint32_t capacity, HKCPEncryptionContext **context,
            uint8_t *decryptBuffer) {
   // The session may install or drop its context while we run; read the
   // pointer once.
   HKCPEncryptionContext *ctx =
       (context != nullptr) ? __atomic_load_n(context, __ATOMIC_ACQUIRE) : nullptr;
   if ((ntohs(frame->wFlags) & MF_ENCRYPTED) == 0) {
      // Once a session is encrypted, a plain frame can only be forged or
      // altered in transit: it fails like a frame that does not decrypt.
      return ctx != nullptr ? RECV_DECRYPT_FAILED : (int)size;
   }
   if (ctx == nullptr || decryptBuffer == nullptr)
      return RECV_DECRYPT_FAILED;
   CSCP_MESSAGE *plain = CSCPDecryptMessage(
       ctx, reinterpret_cast<const CSCP_ENCRYPTED_MESSAGE *>(frame), decryptBuffer, capacity);
   if (plain == nullptr)
      return RECV_DECRYPT_FAILED;
   uint32_t plainSize = ntohl(plain->dwSize);
   if (plainSize < HKCP_HEADER_SIZE || plainSize > capacity)
      return RECV_DECRYPT_FAILED;
   memmove(frame, plain, plainSize);
   return (int)plainSize;
}

}  // namespace

int RecvHKCPMessage(SOCKET hSocket, CSCP_MESSAGE *frame, CSCP_BUFFER *state, uint32_t capacity,
                    HKCPEncryptionContext **context, uint8_t *decryptBuffer, uint32_t timeoutMs) {
   if (frame == nullptr && hSocket == 0) {
      if (state != nullptr) {
         state->dwBufSize = 0;
         state->dwBufPos = 0;
         state->dwSkipBytes = 0;
      }
      return 0;
   }
   if (frame == nullptr || state == nullptr || capacity < HKCP_HEADER_SIZE) {
      WSASetLastError(EINVAL);
      return -1;
   }

   Reader reader(hSocket, timeoutMs);
   uint8_t *out = reinterpret_cast<uint8_t *>(frame);
   for (;;) {
      uint32_t available = state->dwBufSize - state->dwBufPos;

      // Discard what is left of an oversized or abandoned frame.
      if (state->dwSkipBytes > 0) {
         uint32_t n = available < state->dwSkipBytes ? available : state->dwSkipBytes;
         state->dwBufPos += n;
         state->dwSkipBytes -= n;
         if (state->dwSkipBytes > 0) {
            state->dwBufPos = state->dwBufSize = 0;
            int rc = reader.read(state->buffer, room(capacity));
            if (rc <= 0)
               return failure(rc);
            state->dwBufSize = (uint32_t)rc;
         }
         continue;
      }

      if (available < HKCP_HEADER_SIZE) {
         int rc = fill(state, reader, capacity);
         if (rc <= 0)
            return failure(rc);
         state->dwBufSize += (uint32_t)rc;
         continue;
      }

      const uint8_t *head = state->buffer + state->dwBufPos;
      uint32_t size = hk_get_be32(head + 4);
      if (size < HKCP_HEADER_SIZE) {
         // Nothing after this can be framed.
         WSASetLastError(EBADMSG);
         return -1;
      }
      if (size > capacity) {
         memcpy(out, head, HKCP_HEADER_SIZE);
         state->dwBufPos += HKCP_HEADER_SIZE;
         state->dwSkipBytes = size - HKCP_HEADER_SIZE;
         return RECV_TOO_LARGE;
      }
      if (available >= size) {
         memcpy(out, head, size);
         state->dwBufPos += size;
         return deliver(frame, size, capacity, context, decryptBuffer);
      }
      if (size <= CSCP_TEMP_BUF_SIZE) {
         int rc = fill(state, reader, capacity);
         if (rc <= 0)
            return failure(rc);
         state->dwBufSize += (uint32_t)rc;
         continue;
      }

      // Larger than the state buffer: read the rest straight into the frame,
      // asking for no more than the frame so the next one stays in the socket.
      memcpy(out, head, available);
      state->dwBufPos = state->dwBufSize = 0;
      uint32_t got = available;
      while (got < size) {
         int rc = reader.read(out + got, size - got);
         if (rc <= 0) {
            if (rc == -RECV_TIMEOUT)
               state->dwSkipBytes = size - got;
            return failure(rc);
         }
         got += (uint32_t)rc;
      }
      return deliver(frame, size, capacity, context, decryptBuffer);
   }
}
