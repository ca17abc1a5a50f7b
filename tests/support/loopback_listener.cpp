// The fake peers' TCP side; behaviour described in loopback_listener.h.
#include "loopback_listener.h"

namespace {

// Bounds the connect that wakes a blocked accept(); loopback answers at once.
const uint32_t kWakeConnectMs = 2000;

}  // namespace

LoopbackListener::LoopbackListener(uint16_t port) : m_port(port) {
   m_socket = CreateLoopbackListener(&m_port);
}

LoopbackListener::~LoopbackListener() {
   if (m_socket != INVALID_SOCKET)
      closesocket(m_socket);
}

SOCKET LoopbackListener::accept() {
   while (!m_stopped.load()) {
      SOCKET s = SocketAccept(m_socket);
      if (s == INVALID_SOCKET) {
         // An aborted handshake is the peer's affair; anything else ends.
         int error = WSAGetLastError();
         if ((error == WSAECONNABORTED || error == WSAECONNRESET) && !m_stopped.load())
            continue;
         return INVALID_SOCKET;
      }
      if (m_stopped.load()) {
         closesocket(s);
         break;
      }
      SetNoDelay(s);
      return s;
   }
   return INVALID_SOCKET;
}

void LoopbackListener::stop() {
   if (m_stopped.exchange(true) || m_socket == INVALID_SOCKET)
      return;
   // A shutdown wakes a blocked accept() on Linux but not on Winsock, where
   // a connection of our own does; each is harmless where the other works.
   ShutdownSocket(m_socket);
   SOCKET wake = CreateTcpSocket();
   if (wake == INVALID_SOCKET)
      return;
   sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   sa.sin_port = htons(m_port);
   SocketConnect(wake, reinterpret_cast<sockaddr *>(&sa), sizeof(sa), kWakeConnectMs);
   closesocket(wake);
}

void SetNoDelay(SOCKET s) {
   int one = 1;
   setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof(one));
}

bool ReceiveExactly(SOCKET s, void *buffer, size_t size) {
   uint8_t *p = static_cast<uint8_t *>(buffer);
   size_t got = 0;
   while (got < size) {
      int n = SocketRecv(s, p + got, size - got);
      if (n <= 0)
         return false;
      got += (size_t)n;
   }
   return true;
}

bool SendAllBytes(SOCKET s, const void *data, size_t size) {
   return SocketSendAll(s, data, size) == (int64_t)size;
}

SOCKET ConnectLoopback(uint32_t address, uint16_t port) {
   SOCKET s = CreateTcpSocket();
   if (s == INVALID_SOCKET)
      return INVALID_SOCKET;
   sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_addr.s_addr = htonl(address);
   sa.sin_port = htons(port);
   if (SocketConnect(s, reinterpret_cast<sockaddr *>(&sa), sizeof(sa), INFINITE) != 0) {
      closesocket(s);
      return INVALID_SOCKET;
   }
   SetNoDelay(s);
   return s;
}
