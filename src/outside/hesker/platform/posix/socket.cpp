// POSIX sockets behind the Winsock-shaped seam of hk_platform.h.
#include "hk_platform.h"
#include "hk_internal.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>
#include <unordered_set>

namespace {

// Connections a listener holds before they are accepted: room for a burst of
// sessions connecting at once.
const int kListenBacklog = 64;

thread_local int t_lastSocketError = 0;

// Sockets this side has shut down, so a later receive reports WSAESHUTDOWN
// instead of an orderly close. Entries leave at closesocket().
// Never destroyed: a detached thread (an hkagent session ending) may still
// close its socket while the process exits and runs static destructors.
std::mutex &g_shutdownLock = *new std::mutex;
std::unordered_set<int> &g_shutdownSockets =
    *new std::unordered_set<int>;  // guarded by g_shutdownLock

bool isShutDownHere(int fd) {
   std::lock_guard<std::mutex> guard(g_shutdownLock);
   return g_shutdownSockets.count(fd) != 0;
}

int toSocketError(int err) {
   switch (err) {
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
      case EINPROGRESS:
         return WSAEWOULDBLOCK;
      case ETIMEDOUT:
         return WSAETIMEDOUT;
      case ECONNRESET:
         return WSAECONNRESET;
      case ECONNABORTED:
         return WSAECONNABORTED;
      case ESHUTDOWN:
         return WSAESHUTDOWN;
      default:
         return err;
   }
}

int fdOf(SOCKET s) {
   return (s > (SOCKET)0x7FFFFFFF) ? -1 : (int)s;
}

}  // namespace

int WSAGetLastError() {
   return t_lastSocketError;
}
void WSASetLastError(int error) {
   t_lastSocketError = error;
}

namespace {

SOCKET createSocket(int type, int protocol) {
   int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
   if (fd < 0) {
      WSASetLastError(toSocketError(errno));
      return INVALID_SOCKET;
   }
   return (SOCKET)fd;
}

}  // namespace

SOCKET CreateTcpSocket() {
   SOCKET s = createSocket(SOCK_STREAM, IPPROTO_TCP);
   // Every exchange is a request and its answer, and a TLS flight may take
   // several writes: none may wait for the peer's delayed acknowledgement.
   int one = 1;
   if (s != INVALID_SOCKET)
      setsockopt(fdOf(s), IPPROTO_TCP, TCP_NODELAY, (const char *)&one, sizeof(one));
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
   // A port asked for by number may still have connections of an earlier
   // listener waiting out their time; they must not keep it from binding.
   int one = 1;
   if (addr.sin_port != 0)
      setsockopt(fdOf(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
   if (bind(fdOf(s), (sockaddr *)&addr, sizeof(addr)) != 0 ||
       listen(fdOf(s), kListenBacklog) != 0 ||
       getsockname(fdOf(s), (sockaddr *)&addr, &length) != 0) {
      WSASetLastError(toSocketError(errno));
      closesocket(s);
      return INVALID_SOCKET;
   }
   if (port != nullptr)
      *port = ntohs(addr.sin_port);
   return s;
}

SOCKET SocketAccept(SOCKET listener) {
   int fd = fdOf(listener);
   int s;
   do {
      s = (fd < 0) ? -1 : ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
   } while (s < 0 && errno == EINTR);
   if (s < 0) {
      WSASetLastError(fd < 0 ? EBADF : toSocketError(errno));
      return INVALID_SOCKET;
   }
   return (SOCKET)s;
}

void ShutdownSocket(SOCKET s) {
   int fd = fdOf(s);
   if (fd < 0)
      return;
   {
      std::lock_guard<std::mutex> guard(g_shutdownLock);
      g_shutdownSockets.insert(fd);
   }
   ::shutdown(fd, SHUT_RDWR);
}

void closesocket(SOCKET s) {
   int fd = fdOf(s);
   if (fd < 0)
      return;
   {
      // Forget the shutdown mark before the number can be reused.
      std::lock_guard<std::mutex> guard(g_shutdownLock);
      g_shutdownSockets.erase(fd);
   }
   ::close(fd);
}

int SetSocketNonBlocking(SOCKET s, bool nonBlocking) {
   int fd = fdOf(s);
   int flags = (fd < 0) ? -1 : ::fcntl(fd, F_GETFL);
   if (flags < 0) {
      WSASetLastError(fd < 0 ? EBADF : toSocketError(errno));
      return -1;
   }
   flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
   if (::fcntl(fd, F_SETFL, flags) < 0) {
      WSASetLastError(toSocketError(errno));
      return -1;
   }
   return 0;
}

int SocketRecv(SOCKET s, void *buffer, size_t size) {
   int fd = fdOf(s);
   if (fd < 0) {
      WSASetLastError(EBADF);
      return -1;
   }
   if (isShutDownHere(fd)) {
      WSASetLastError(WSAESHUTDOWN);
      return -1;
   }
   if (size > 0x7FFFFFFF)
      size = 0x7FFFFFFF;
   ssize_t n;
   do {
      n = ::recv(fd, buffer, size, 0);
   } while (n < 0 && errno == EINTR);
   if (n < 0) {
      WSASetLastError(toSocketError(errno));
      return -1;
   }
   // Linux reports a receive after our own shutdown as an orderly close;
   // Winsock fails it, and callers rely on telling the two apart.
   if (n == 0 && size > 0) {
      if (isShutDownHere(fd)) {
         WSASetLastError(WSAESHUTDOWN);
         return -1;
      }
      WSASetLastError(0);  // an orderly close leaves no stale error behind
   }
   return (int)n;
}

namespace {

// 1 ready, 0 time-out, -1 error. Restarts after signals with the time left.
int waitFor(SOCKET s, short events, uint32_t timeoutMs) {
   int fd = fdOf(s);
   if (fd < 0) {
      WSASetLastError(EBADF);
      return -1;
   }
   uint64_t deadline = GetMonotonicMs() + timeoutMs;
   for (;;) {
      int wait = -1;
      if (timeoutMs != INFINITE) {
         uint64_t now = GetMonotonicMs();
         wait = (now >= deadline) ? 0 : (int)std::min<uint64_t>(deadline - now, 0x7FFFFFFF);
      }
      struct pollfd p = {fd, events, 0};
      int rc = ::poll(&p, 1, wait);
      if (rc > 0) {
         if (p.revents & POLLNVAL) {
            WSASetLastError(EBADF);
            return -1;
         }
         return 1;  // errors and hang-ups surface in the following call
      }
      if (rc == 0)
         return 0;
      if (errno != EINTR) {
         WSASetLastError(toSocketError(errno));
         return -1;
      }
   }
}

}  // namespace

int SocketWaitReadable(SOCKET s, uint32_t timeoutMs) {
   return waitFor(s, POLLIN, timeoutMs);
}

int SocketWaitWritable(SOCKET s, uint32_t timeoutMs) {
   return waitFor(s, POLLOUT, timeoutMs);
}

int SetSocketSendTimeout(SOCKET s, uint32_t timeoutMs) {
   int fd = fdOf(s);
   struct timeval tv = {0, 0};  // zero: no bound
   if (timeoutMs != INFINITE) {
      tv.tv_sec = (time_t)(timeoutMs / 1000);
      tv.tv_usec = (suseconds_t)((timeoutMs % 1000) * 1000);
      if (timeoutMs == 0)
         tv.tv_usec = 1000;  // the smallest bound; zero would mean none
   }
   if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0) {
      WSASetLastError(fd < 0 ? EBADF : toSocketError(errno));
      return -1;
   }
   return 0;
}

namespace {

// The socket's send time-out in ms (SO_SNDTIMEO), INFINITE when it has none.
uint32_t sendTimeoutOf(int fd) {
   struct timeval tv = {0, 0};
   socklen_t length = sizeof(tv);
   if (::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &length) != 0 ||
       (tv.tv_sec == 0 && tv.tv_usec == 0))
      return INFINITE;
   uint64_t ms = (uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000;
   return ms >= INFINITE ? INFINITE - 1 : (uint32_t)ms;
}

}  // namespace

int64_t SocketSendAll(SOCKET s, const void *data, size_t size) {
   int fd = fdOf(s);
   if (fd < 0) {
      WSASetLastError(EBADF);
      return 0;
   }
   // With a bound, the whole write must end within it: a peer that takes a
   // trickle (its buffers collapsing) is as stuck as one that takes nothing.
   // The sends then never block, so the bound cannot be overrun.
   const uint32_t bound = sendTimeoutOf(fd);
   const uint64_t deadline = bound == INFINITE ? 0 : GetMonotonicMs() + bound;
   const int flags = MSG_NOSIGNAL | (bound == INFINITE ? 0 : MSG_DONTWAIT);
   const uint8_t *p = static_cast<const uint8_t *>(data);
   size_t sent = 0;
   while (sent < size) {
      ssize_t n = ::send(fd, p + sent, size - sent, flags);
      if (n > 0) {
         sent += (size_t)n;
         continue;
      }
      if (n < 0 && errno == EINTR)
         continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
         uint32_t wait = INFINITE;
         if (bound != INFINITE) {
            uint64_t now = GetMonotonicMs();
            if (now >= deadline) {
               WSASetLastError(WSAETIMEDOUT);
               break;
            }
            wait = (uint32_t)(deadline - now);
         }
         if (waitFor(s, POLLOUT, wait) < 0)
            break;
         continue;
      }
      int err = (n < 0) ? errno : EPIPE;
      WSASetLastError((err == EPIPE && isShutDownHere(fd)) ? WSAESHUTDOWN : toSocketError(err));
      break;
   }
   return (int64_t)sent;
}

int SocketConnect(SOCKET s, const struct sockaddr *address, socklen_t length, uint32_t timeoutMs) {
   int fd = fdOf(s);
   if (fd < 0 || address == nullptr) {
      WSASetLastError(fd < 0 ? EBADF : EINVAL);
      return -1;
   }
   if (timeoutMs == INFINITE) {
      // Not restarted after a signal: the connection goes on in the
      // background then, and a second connect would only say so.
      if (::connect(fd, address, length) == 0)
         return 0;
      WSASetLastError(toSocketError(errno));
      return -1;
   }
   if (SetSocketNonBlocking(s, true) != 0)
      return -1;
   int err = (::connect(fd, address, length) == 0) ? 0 : errno;
   if (err == EINPROGRESS) {
      int ready = SocketWaitWritable(s, timeoutMs);
      if (ready > 0) {
         socklen_t len = sizeof(err);
         if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
      } else {
         err = (ready == 0) ? ETIMEDOUT : errno;
      }
   }
   SetSocketNonBlocking(s, false);
   if (err != 0) {
      WSASetLastError(toSocketError(err));
      return -1;
   }
   return 0;
}

int SocketSendTo(SOCKET s, const void *data, size_t size, const struct sockaddr *address,
                 socklen_t length) {
   int fd = fdOf(s);
   if (fd < 0) {
      WSASetLastError(EBADF);
      return -1;
   }
   ssize_t sent;
   do {
      sent = ::sendto(fd, data, size, MSG_NOSIGNAL, address, length);
   } while (sent < 0 && errno == EINTR);
   if (sent < 0) {
      WSASetLastError(toSocketError(errno));
      return -1;
   }
   return (int)sent;
}

int SocketRecvFrom(SOCKET s, void *buffer, size_t size, struct sockaddr *from,
                   socklen_t *fromLength) {
   int fd = fdOf(s);
   if (fd < 0) {
      WSASetLastError(EBADF);
      return -1;
   }
   if (size > 0x7FFFFFFF)
      size = 0x7FFFFFFF;
   ssize_t n;
   do {
      n = ::recvfrom(fd, buffer, size, MSG_DONTWAIT, from, fromLength);
   } while (n < 0 && errno == EINTR);
   if (n < 0) {
      // An ICMP port-unreachable answer to an earlier datagram; Winsock
      // reports it under this number.
      WSASetLastError(errno == ECONNREFUSED ? WSAECONNRESET : toSocketError(errno));
      return -1;
   }
   return (int)n;
}
