#include "fd_util.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hkagent {

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept {
   if (this != &other)
      reset(other.release());
   return *this;
}

void UniqueFd::reset(int fd) {
   if (m_fd >= 0)
      close(m_fd);
   m_fd = fd;
}

UniqueFd ConnectTcp(uint32_t address, uint16_t port, uint32_t timeoutMs, bool *timedOut) {
   *timedOut = false;
   UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
   if (!sock.valid())
      return UniqueFd();
   struct sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_addr.s_addr = htonl(address);
   sa.sin_port = htons(port);
   if (connect(sock.get(), (struct sockaddr *)&sa, sizeof(sa)) != 0) {
      if (errno != EINPROGRESS)
         return UniqueFd();
      struct pollfd pfd = {sock.get(), POLLOUT, 0};
      int n;
      do {
         n = poll(&pfd, 1, (int)timeoutMs);
      } while (n < 0 && errno == EINTR);
      if (n == 0) {
         *timedOut = true;
         return UniqueFd();
      }
      int error = 0;
      socklen_t length = sizeof(error);
      if (n < 0 || getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
         return UniqueFd();
   }
   int flags = fcntl(sock.get(), F_GETFL);
   if (flags < 0 || fcntl(sock.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
      return UniqueFd();
   return sock;
}

bool WriteAll(int fd, const void *data, size_t size) {
   const char *p = static_cast<const char *>(data);
   while (size > 0) {
      ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
      if (n < 0 && errno == ENOTSOCK)
         n = write(fd, p, size);
      if (n < 0) {
         if (errno == EINTR)
            continue;
         return false;
      }
      p += n;
      size -= (size_t)n;
   }
   return true;
}

bool ReadFileLimited(const std::string &path, size_t maxBytes, std::string *content) {
   content->clear();
   UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
   if (!fd.valid())
      return false;
   char buffer[8192];
   for (;;) {
      ssize_t n = read(fd.get(), buffer, sizeof(buffer));
      if (n < 0) {
         if (errno == EINTR)
            continue;
         return false;
      }
      if (n == 0)
         return true;
      if (content->size() + (size_t)n > maxBytes)
         return false;
      content->append(buffer, (size_t)n);
   }
}

std::string Ipv4ToText(uint32_t address) {
   char text[INET_ADDRSTRLEN];
   struct in_addr in;
   in.s_addr = htonl(address);
   inet_ntop(AF_INET, &in, text, sizeof(text));
   return text;
}

}  // namespace hkagent
