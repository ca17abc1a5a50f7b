#include "relay.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "agent_codes.h"
#include "hk_platform.h"
#include "fd_util.h"

namespace hkagent {

namespace {

const size_t kRelayBuffer = 16384;
const size_t kMaxDatagram = 65535;

// Bytes on their way from one socket to the other.
struct Direction {
   int from;
   int to;
   std::unique_ptr<char[]> buffer{new char[kRelayBuffer]};
   size_t length = 0;  // bytes held
   size_t offset = 0;  // first byte not yet written
   uint64_t moved = 0;
};

void SetNonBlocking(int fd, bool on) {
   int flags = fcntl(fd, F_GETFL);
   if (flags >= 0)
      fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

// Writes what the direction holds; false when the receiver failed.
bool Flush(Direction *d) {
   while (d->offset < d->length) {
      ssize_t n = send(d->to, d->buffer.get() + d->offset, d->length - d->offset, MSG_NOSIGNAL);
      if (n < 0) {
         if (errno == EINTR)
            continue;
         return errno == EAGAIN || errno == EWOULDBLOCK;
      }
      d->offset += (size_t)n;
      d->moved += (uint64_t)n;
   }
   d->length = d->offset = 0;
   return true;
}

}  // namespace

void RelayBytes(int a, int b, const std::string &pendingToB, uint32_t idleTimeoutMs,
                uint64_t *bytesAtoB, uint64_t *bytesBtoA) {
   *bytesAtoB = *bytesBtoA = 0;
   if (!pendingToB.empty() && !WriteAll(b, pendingToB.data(), pendingToB.size()))
      return;
   *bytesAtoB = pendingToB.size();
   SetNonBlocking(a, true);
   SetNonBlocking(b, true);
   Direction ab{a, b}, ba{b, a};
   Direction *dirs[2] = {&ab, &ba};
   uint64_t lastActivity = GetMonotonicMs();
   bool open = true;
   while (open) {
      // A direction reads only when its buffer is empty, so one slow
      // receiver holds back its own direction and never the other.
      struct pollfd fds[2] = {{a, 0, 0}, {b, 0, 0}};
      for (Direction *d : dirs) {
         struct pollfd &src = fds[d->from == a ? 0 : 1];
         struct pollfd &dst = fds[d->to == a ? 0 : 1];
         if (d->length == 0)
            src.events |= POLLIN;
         else
            dst.events |= POLLOUT;
      }
      int wait = -1;
      if (idleTimeoutMs > 0) {
         uint64_t idle = GetMonotonicMs() - lastActivity;
         if (idle >= idleTimeoutMs)
            break;
         wait = (int)(idleTimeoutMs - idle);
      }
      int n = poll(fds, 2, wait);
      if (n < 0) {
         if (errno == EINTR)
            continue;
         break;
      }
      if (n == 0)
         continue;
      for (Direction *d : dirs) {
         struct pollfd &src = fds[d->from == a ? 0 : 1];
         struct pollfd &dst = fds[d->to == a ? 0 : 1];
         if (d->length == 0 && (src.revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t got = recv(d->from, d->buffer.get(), kRelayBuffer, 0);
            if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
               open = false;
               break;
            }
            if (got > 0) {
               d->length = (size_t)got;
               lastActivity = GetMonotonicMs();
            }
         }
         if (d->length > 0 && (d->offset == 0 || (dst.revents & (POLLOUT | POLLERR)))) {
            if (!Flush(d)) {
               open = false;
               break;
            }
         }
      }
   }
   // What was read before a close still reaches the other side.
   for (Direction *d : dirs) {
      SetNonBlocking(d->to, false);
      if (d->offset < d->length &&
          WriteAll(d->to, d->buffer.get() + d->offset, d->length - d->offset))
         d->moved += d->length - d->offset;
   }
   SetNonBlocking(a, false);
   SetNonBlocking(b, false);
   *bytesAtoB += ab.moved;
   *bytesBtoA = ba.moved;
}

uint32_t UdpExchange(uint32_t address, uint16_t port, const std::string &request,
                     uint32_t timeoutMs, uint32_t retries, std::string *answer) {
   answer->clear();
   UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
   if (!sock.valid())
      return ERR_SOCKET_ERROR;
   struct sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_addr.s_addr = htonl(address);
   sa.sin_port = htons(port);
   // A connected socket only takes datagrams from the device's address.
   if (connect(sock.get(), (struct sockaddr *)&sa, sizeof(sa)) != 0)
      return ERR_SOCKET_ERROR;
   std::unique_ptr<char[]> buffer(new char[kMaxDatagram]);
   for (uint32_t attempt = 0; attempt <= retries; attempt++) {
      if (send(sock.get(), request.data(), request.size(), 0) < 0 && errno != ECONNREFUSED)
         return ERR_SOCKET_ERROR;
      uint64_t deadline = GetMonotonicMs() + timeoutMs;
      for (;;) {
         uint64_t now = GetMonotonicMs();
         if (now >= deadline)
            break;
         struct pollfd pfd = {sock.get(), POLLIN, 0};
         int n = poll(&pfd, 1, (int)(deadline - now));
         if (n < 0 && errno == EINTR)
            continue;
         if (n <= 0)
            break;
         ssize_t got = recv(sock.get(), buffer.get(), kMaxDatagram, 0);
         if (got < 0) {
            // An ICMP refusal from an earlier attempt: keep waiting.
            if (errno == EINTR || errno == ECONNREFUSED)
               continue;
            return ERR_SOCKET_ERROR;
         }
         answer->assign(buffer.get(), (size_t)got);
         return ERR_SUCCESS;
      }
   }
   return ERR_REQUEST_TIMEOUT;
}

}  // namespace hkagent
