// The Linux end of the cross-build wire test. Listens on 127.0.0.1 (an
// ephemeral port, printed on the first line of its output), and on each
// connection answers key requests and sends every other frame back as this
// build decodes and re-encodes it, until the stop frame. Ends when no
// connection arrives for a minute, or when it is terminated.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "wire_channel.h"

using namespace wire_test;

namespace {

const int kIdleLimitMs = 60000;

void serve(Channel &channel) {
   std::vector<uint8_t> frame;
   for (;;) {
      int rc = channel.receive(&frame, kIdleLimitMs);
      if (rc <= 0 || rc == 3)
         return;
      if (rc <= 3)
         continue;  // cut or undecryptable: the test sees no answer and fails
      CSCPMessage message(reinterpret_cast<const CSCP_MESSAGE *>(frame.data()));
      if (message.GetId() == kStopId)
         return;
      if (message.GetCode() == CMD_REQUEST_SESSION_KEY) {
         CSCPMessage reply;
         HKCPEncryptionContext *next = nullptr;
         HKCPAnswerKeyRequest(&message, &reply, &next);
         channel.send(Encode(reply));  // under the old context, as an agent does
         if (next != nullptr)
            channel.setContext(next);
         continue;
      }
      channel.send(Encode(message));
   }
}

}  // namespace

int main() {
   int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   sockaddr_in addr = {};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t length = sizeof(addr);
   if (listener < 0 || ::bind(listener, (sockaddr *)&addr, sizeof(addr)) != 0 ||
       ::listen(listener, 4) != 0 || ::getsockname(listener, (sockaddr *)&addr, &length) != 0) {
      perror("hk_wire_peer: listen");
      return 1;
   }
   printf("%u\n", ntohs(addr.sin_port));
   fflush(stdout);
   for (;;) {
      pollfd p = {listener, POLLIN, 0};
      if (::poll(&p, 1, kIdleLimitMs) <= 0)
         break;
      int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (s < 0)
         continue;
      Channel channel((SOCKET)s);
      serve(channel);
   }
   ::close(listener);
   return 0;
}
