// Winsock 2 behind the seam of hk_platform.h. Winsock keeps the last error
// per thread itself and reports its own numbers, so the functions here only
// add what the POSIX side does too: waits with time-outs, whole writes, and
// connects bounded in time.
#include "hk_platform.h"
#include "hk_internal.h"

#include <mutex>

namespace {

// Connections a listener holds before they are accepted: room for a burst of
// sessions connecting at once.
const int kListenBacklog = 64;

// Winsock is started once, by the first socket created, and left running
// until the process ends (WSACleanup at exit would race with threads still
// closing their sockets).
bool startWinsock() {
   static std::once_flag once;
   static int startError = 0;
   std::call_once(once, [] {
      WSADATA data;
      startError = WSAStartup(MAKEWORD(2, 2), &data);
   });
   if (startError != 0)
      WSASetLastError(startError);
   return startError == 0;
}

SOCKET createSocket(int type, int protocol) {
   if (!startWinsock())
      return INVALID_SOCKET;
   // Not inherited by child processes, like SOCK_CLOEXEC on Linux.
   return WSASocketW(AF_INET, type, protocol, nullptr, 0,
                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

// Winsock's select() neither reports a socket this side shut down as ready
// nor returns when another thread shuts it down (poll() on Linux does
// both), and a blocked send() goes on after shutdown(). So ShutdownSocket
// cancels the socket's pending calls and marks it with a receive time-out
// of its own, which the libraries never set otherwise and which goes with
// the socket; waits look for the mark before each slice of
// kShutdownCheckMs.
const DWORD kShutDownMark = 0x484B;  // ms
const uint32_t kShutdownCheckMs = 50;

// Leaves the last error as it was: callers ask between a failure and its
// report.
bool isShutDownHere(SOCKET s) {
   int error = WSAGetLastError();
   DWORD ms = 0;
   int length = sizeof(ms);
   bool marked =
       getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char *>(&ms), &length) == 0 &&
       ms == kShutDownMark;
   WSASetLastError(error);
   return marked;
}

// One select(): 1 ready, 0 time-out, -1 error. Writability also wakes on a
// failed connect, which select reports among the exceptions.
int selectOnce(SOCKET s, bool forWriting, uint32_t timeoutMs) {
   fd_set ready, failed;
   FD_ZERO(&ready);
   FD_ZERO(&failed);
   FD_SET(s, &ready);
   FD_SET(s, &failed);
   timeval limit = {(long)(timeoutMs / 1000), (long)(timeoutMs % 1000) * 1000};
   int rc = select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr, &failed,
                   timeoutMs == INFINITE ? nullptr : &limit);
   if (rc == SOCKET_ERROR)
      return -1;
   return rc > 0 ? 1 : 0;  // errors surface in the following call
}

// 1 ready, 0 time-out, -1 error. A socket shut down here is ready: the
// following call fails with WSAESHUTDOWN.
int waitFor(SOCKET s, bool forWriting, uint32_t timeoutMs) {
   const uint64_t deadline = GetMonotonicMs() + timeoutMs;
   for (;;) {
      if (isShutDownHere(s))
         return 1;
      uint32_t slice = kShutdownCheckMs;
      if (timeoutMs != INFINITE) {
         uint64_t now = GetMonotonicMs();
         if (now < deadline && deadline - now < slice)
            slice = (uint32_t)(deadline - now);
         else if (now >= deadline)
            slice = 0;
      }
      int rc = selectOnce(s, forWriting, slice);
      if (rc < 0 && isShutDownHere(s))
         return 1;  // the cancelled wait of a shutdown
      if (rc != 0 || (timeoutMs != INFINITE && GetMonotonicMs() >= deadline))
         return rc;
   }
}

}  // namespace

SOCKET CreateTcpSocket() {
   SOCKET s = createSocket(SOCK_STREAM, IPPROTO_TCP);
   // Every exchange is a request and its answer, and a TLS flight may take
   // several writes: none may wait for the peer's delayed acknowledgement.
   int one = 1;
   if (s != INVALID_SOCKET)
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&one, sizeof(one));
   return s;
}

SOCKET CreateUdpSocket() {
   return createSocket(SOCK_DGRAM, IPPROTO_UDP);
}

SOCKET CreateLoopbackListener(uint16_t *port) {
   SOCKET s = CreateTcpSocket();
   if (s == INVALID_SOCKET)
      return INVALID_SOCKET;
   sockaddr_in addr = {};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   addr.sin_port = htons(port != nullptr ? *port : 0);
   socklen_t length = sizeof(addr);
   // Winsock binds a port whose earlier connections wait out their time
   // without SO_REUSEADDR, which here would let another socket take it.
   if (bind(s, (sockaddr *)&addr, sizeof(addr)) != 0 || listen(s, kListenBacklog) != 0 ||
       getsockname(s, (sockaddr *)&addr, &length) != 0) {
      int error = WSAGetLastError();
      closesocket(s);
      WSASetLastError(error);
      return INVALID_SOCKET;
   }
   if (port != nullptr)
      *port = ntohs(addr.sin_port);
   return s;
}

SOCKET SocketAccept(SOCKET listener) {
   // Inherits the listener's attributes, so it is not inherited either.
   return accept(listener, nullptr, nullptr);
}

void ShutdownSocket(SOCKET s) {
   // Winsock itself then fails a later send or receive with WSAESHUTDOWN;
   // calls already waiting end with the cancel, or at the next check of
   // the mark.
   DWORD mark = kShutDownMark;
   setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&mark), sizeof(mark));
   shutdown(s, SD_BOTH);
   CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
}

int SetSocketNonBlocking(SOCKET s, bool nonBlocking) {
   u_long mode = nonBlocking ? 1 : 0;
   return ioctlsocket(s, FIONBIO, &mode) == 0 ? 0 : -1;
}

int SocketRecv(SOCKET s, void *buffer, size_t size) {
   if (size > 0x7FFFFFFF)
      size = 0x7FFFFFFF;
   int n = recv(s, static_cast<char *>(buffer), (int)size, 0);
   if (n <= 0 && size > 0 && isShutDownHere(s)) {
      WSASetLastError(WSAESHUTDOWN);  // not a close by the peer, nor the cancel
      return -1;
   }
   if (n == 0 && size > 0)
      WSASetLastError(0);  // an orderly close leaves no stale error behind
   return n == SOCKET_ERROR ? -1 : n;
}

int SocketWaitReadable(SOCKET s, uint32_t timeoutMs) {
   return waitFor(s, false, timeoutMs);
}

int SocketWaitWritable(SOCKET s, uint32_t timeoutMs) {
   return waitFor(s, true, timeoutMs);
}

namespace {

// The socket's send time-out in ms (SO_SNDTIMEO), INFINITE when it has none.
uint32_t sendTimeoutOf(SOCKET s) {
   DWORD ms = 0;
   int length = sizeof(ms);
   if (getsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char *>(&ms), &length) != 0 ||
       ms == 0)
      return INFINITE;
   return ms;
}

int setSendTimeout(SOCKET s, DWORD ms) {
   return setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&ms), sizeof(ms));
}

// The most one send() of a bounded write hands over: a blocking send that
// times out may not say how much of its buffer went, so a chunk is what a
// time-out can leave uncounted.
const size_t kBoundedChunk = 65536;

}  // namespace

int SetSocketSendTimeout(SOCKET s, uint32_t timeoutMs) {
   // Winsock's zero means no bound, so a zero bound is its smallest one.
   DWORD ms = (timeoutMs == INFINITE) ? 0 : (timeoutMs == 0 ? 1 : timeoutMs);
   return setSendTimeout(s, ms) == 0 ? 0 : -1;
}

int64_t SocketSendAll(SOCKET s, const void *data, size_t size) {
   // With a bound, the whole write must end within it: a peer that takes a
   // trickle is as stuck as one that takes nothing. Each send waits first
   // for room and then at most what is left of the bound (the socket's own
   // time-out, shortened for the call and restored after).
   const uint32_t bound = sendTimeoutOf(s);
   const uint64_t deadline = (bound == INFINITE) ? 0 : GetMonotonicMs() + bound;
   bool shortened = false;
   const char *p = static_cast<const char *>(data);
   size_t sent = 0;
   while (sent < size) {
      size_t chunk = size - sent;
      uint32_t left = INFINITE;
      if (bound != INFINITE) {
         uint64_t now = GetMonotonicMs();
         if (now >= deadline || waitFor(s, true, (uint32_t)(deadline - now)) == 0) {
            WSASetLastError(WSAETIMEDOUT);
            break;
         }
         now = GetMonotonicMs();
         left = (now < deadline) ? (uint32_t)(deadline - now) : 1;
         if (left < bound) {
            setSendTimeout(s, left);
            shortened = true;
         }
         chunk = chunk > kBoundedChunk ? kBoundedChunk : chunk;
      }
      int n = send(s, p + sent, chunk > 0x7FFFFFFF ? 0x7FFFFFFF : (int)chunk, 0);
      if (n > 0) {
         sent += (size_t)n;
         continue;
      }
      if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
         if (waitFor(s, true, left) < 0)
            break;
         continue;
      }
      break;  // Winsock's own error stays as the last error
   }
   if (sent < size && isShutDownHere(s))
      WSASetLastError(WSAESHUTDOWN);  // not the cancel that ended the send
   if (shortened) {
      int error = WSAGetLastError();
      setSendTimeout(s, bound);
      WSASetLastError(error);
   }
   return (int64_t)sent;
}

int SocketConnect(SOCKET s, const struct sockaddr *address, socklen_t length, uint32_t timeoutMs) {
   if (address == nullptr) {
      WSASetLastError(WSAEFAULT);
      return -1;
   }
   if (timeoutMs == INFINITE)
      return connect(s, address, length) == 0 ? 0 : -1;
   if (SetSocketNonBlocking(s, true) != 0)
      return -1;
   int error = (connect(s, address, length) == 0) ? 0 : WSAGetLastError();
   if (error == WSAEWOULDBLOCK) {
      int ready = waitFor(s, true, timeoutMs);
      if (ready > 0) {
         int optionLength = sizeof(error);
         if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &optionLength) !=
             0)
            error = WSAGetLastError();
      } else {
         error = (ready == 0) ? WSAETIMEDOUT : WSAGetLastError();
      }
   }
   SetSocketNonBlocking(s, false);
   WSASetLastError(error);
   return error == 0 ? 0 : -1;
}

int SocketSendTo(SOCKET s, const void *data, size_t size, const struct sockaddr *address,
                 socklen_t length) {
   if (size > 0x7FFFFFFF) {
      WSASetLastError(WSAEMSGSIZE);
      return -1;
   }
   int n = sendto(s, static_cast<const char *>(data), (int)size, 0, address, length);
   return n == SOCKET_ERROR ? -1 : n;
}

int SocketRecvFrom(SOCKET s, void *buffer, size_t size, struct sockaddr *from,
                   socklen_t *fromLength) {
   // Winsock has no per-call MSG_DONTWAIT; a zero wait says whether a
   // datagram is there, and only this thread reads the socket.
   int ready = waitFor(s, false, 0);
   if (ready <= 0) {
      if (ready == 0)
         WSASetLastError(WSAEWOULDBLOCK);
      return -1;
   }
   if (size > 0x7FFFFFFF)
      size = 0x7FFFFFFF;
   int n = recvfrom(s, static_cast<char *>(buffer), (int)size, 0, from, fromLength);
   if (n == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE)
      return (int)size;  // the datagram did not fit: the caller sees it cut
   return n == SOCKET_ERROR ? -1 : n;
}
