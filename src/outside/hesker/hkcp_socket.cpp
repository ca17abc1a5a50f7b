// Writing frames, connecting with a time-out, and the protocol version probe.
#include <cerrno>
#include <mutex>

#include "hk_internal.h"
#include "hkcp.h"

int SendEx(SOCKET hSocket, const void *data, size_t length, int flags, CriticalSection *sendLock) {
   if (length == 0)
      return 0;
   if (data == nullptr) {
      WSASetLastError(EINVAL);
      return -1;
   }
   int64_t written;
   if (sendLock != nullptr) {
      // One frame goes out whole before another thread's frame starts.
      std::lock_guard<CriticalSection> guard(*sendLock);
      written = SocketSendAll(hSocket, data, length);
   } else {
      written = SocketSendAll(hSocket, data, length);
   }
   if (written <= 0)
      return -1;
   return written > 0x7FFFFFFF ? 0x7FFFFFFF : (int)written;
}

int ConnectEx(SOCKET hSocket, const struct sockaddr *address, socklen_t length,
              uint32_t timeoutMs) {
   return SocketConnect(hSocket, address, length, timeoutMs);
}

// ---------------------------------------------------------------- version probe

namespace {

const uint32_t PROBE_TIMEOUT_MS = 5000;

// Reads exactly size bytes (buffer null: discards them) before the deadline.
bool readExactly(SOCKET s, uint8_t *buffer, uint32_t size, uint64_t deadline) {
   uint8_t scratch[512];
   uint32_t got = 0;
   while (got < size) {
      uint64_t now = GetMonotonicMs();
      int ready = now >= deadline ? 0 : SocketWaitReadable(s, (uint32_t)(deadline - now));
      if (ready == 0)
         WSASetLastError(WSAETIMEDOUT);  // so the caller can say it was a time-out
      if (ready <= 0)
         return false;
      uint8_t *target = buffer != nullptr ? buffer + got : scratch;
      uint32_t want = size - got;
      if (buffer == nullptr && want > sizeof(scratch))
         want = sizeof(scratch);
      int rc = SocketRecv(s, target, want);
      if (rc < 0 && WSAGetLastError() == WSAEWOULDBLOCK)
         continue;
      if (rc <= 0)
         return false;
      got += (uint32_t)rc;
   }
   return true;
}

}  // namespace

bool HKCPGetPeerProtocolVersion(SOCKET hSocket, int *version, CriticalSection *sendLock) {
   if (version == nullptr)
      return false;
   uint8_t probe[HKCP_HEADER_SIZE] = {};
   hk_put_be16(probe, CMD_GET_HKCP_VERSION);
   hk_put_be16(probe + 2, MF_BINARY);
   hk_put_be32(probe + 4, HKCP_HEADER_SIZE);
   if (SendEx(hSocket, probe, sizeof(probe), 0, sendLock) != (int)sizeof(probe))
      return false;

   // Only the answer frame is taken from the socket: its header first, then
   // exactly the length it declares, so the next frame stays for the reader.
   uint64_t deadline = GetMonotonicMs() + PROBE_TIMEOUT_MS;
   uint8_t header[HKCP_HEADER_SIZE];
   if (!readExactly(hSocket, header, sizeof(header), deadline))
      return false;
   uint32_t size = hk_get_be32(header + 4);
   if (size < HKCP_HEADER_SIZE)
      return false;
   uint32_t bodySize = size - HKCP_HEADER_SIZE;
   uint16_t code = hk_get_be16(header);
   uint16_t flags = hk_get_be16(header + 2);
   uint32_t dataLength = hk_get_be32(header + 12);
   bool isAnswer = code == CMD_HKCP_VERSION && (flags & MF_BINARY) && dataLength >= 4 &&
                   dataLength <= bodySize && bodySize <= 64;
   if (!isAnswer) {
      // An older peer answers the unknown probe with something else.
      if (!readExactly(hSocket, nullptr, bodySize, deadline))
         return false;
      *version = 1;
      return true;
   }
   uint8_t body[64];
   if (!readExactly(hSocket, body, bodySize, deadline))
      return false;
   int32_t peerVersion = (int32_t)hk_get_be32(body);
   *version = peerVersion;
   return true;
}

bool HKCPAnswerVersionProbe(SOCKET hSocket, const CSCP_MESSAGE *frame, int version,
                            CriticalSection *sendLock) {
   if (frame == nullptr || ntohs(frame->wCode) != CMD_GET_HKCP_VERSION)
      return false;
   uint8_t answer[HKCP_HEADER_SIZE + 8] = {};
   hk_put_be16(answer, CMD_HKCP_VERSION);
   hk_put_be16(answer + 2, MF_BINARY);
   hk_put_be32(answer + 4, sizeof(answer));
   hk_put_be32(answer + 8, ntohl(frame->dwId));
   hk_put_be32(answer + 12, 4);
   hk_put_be32(answer + HKCP_HEADER_SIZE, (uint32_t)version);
   SendEx(hSocket, answer, sizeof(answer), 0, sendLock);
   return true;
}
