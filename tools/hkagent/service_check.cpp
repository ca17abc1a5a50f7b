#include "service_check.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include "agent_codes.h"
#include "hk_platform.h"
#include "fd_util.h"

namespace hkagent {

namespace {

const size_t kMaxResponse = 4096;

}  // namespace

uint32_t CheckTcpService(uint32_t address, uint16_t port, const std::string &request,
                         const std::string &expected, uint32_t timeoutMs) {
   uint64_t deadline = GetMonotonicMs() + timeoutMs;
   bool timedOut = false;
   UniqueFd sock = ConnectTcp(address, port, timeoutMs, &timedOut);
   if (!sock.valid())
      return timedOut ? SERVICE_CONNECT_TIMEOUT : SERVICE_CONNECT_REFUSED;
   struct timeval tv = {(time_t)(timeoutMs / 1000), (suseconds_t)((timeoutMs % 1000) * 1000)};
   setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
   if (!request.empty() && !WriteAll(sock.get(), request.data(), request.size()))
      return SERVICE_SEND_FAILED;
   if (expected.empty())
      return SERVICE_OK;

   std::string response;
   char buffer[512];
   for (;;) {
      if (!expected.empty() && response.find(expected) != std::string::npos)
         return SERVICE_OK;
      if (response.size() >= kMaxResponse)
         break;
      uint64_t now = GetMonotonicMs();
      if (now >= deadline)
         break;
      struct pollfd pfd = {sock.get(), POLLIN, 0};
      int n = poll(&pfd, 1, (int)(deadline - now));
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
         break;
      ssize_t got = recv(sock.get(), buffer, sizeof(buffer), 0);
      if (got < 0 && errno == EINTR)
         continue;
      if (got <= 0)
         break;
      response.append(buffer, (size_t)got);
   }
   return response.empty() ? SERVICE_NO_RESPONSE : SERVICE_BAD_RESPONSE;
}

}  // namespace hkagent
