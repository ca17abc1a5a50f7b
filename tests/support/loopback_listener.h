// The TCP side shared by the fake peers: a listener on 127.0.0.1 whose
// accepting thread can be woken and stopped, and whole reads and writes.
// Built on the library's platform seam only, so the same fakes serve on
// every platform the libraries build for.
//
// Thread safety: accept() runs on one thread; stop() and port() on any.
#ifndef TESTS_SUPPORT_LOOPBACK_LISTENER_H
#define TESTS_SUPPORT_LOOPBACK_LISTENER_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "hesker.h"

class LoopbackListener {
public:
   // Listens on port (0: any free port); listening() says whether it does.
   explicit LoopbackListener(uint16_t port = 0);
   ~LoopbackListener();  // closes the listener; stop() and join first
   LoopbackListener(const LoopbackListener &) = delete;
   LoopbackListener &operator=(const LoopbackListener &) = delete;

   bool listening() const { return m_socket != INVALID_SOCKET; }
   uint16_t port() const { return m_port; }

   // The next connection (TCP_NODELAY set), or INVALID_SOCKET once stop()
   // was called or the listener failed.
   SOCKET accept();
   // Makes a blocked accept() return INVALID_SOCKET, and every later one.
   void stop();

private:
   SOCKET m_socket = INVALID_SOCKET;
   uint16_t m_port = 0;
   std::atomic<bool> m_stopped{false};
};

// Sets TCP_NODELAY: the fakes answer frame by frame, and a reply held back
// for the peer's delayed acknowledgement would only slow the tests down.
void SetNoDelay(SOCKET s);
// Receives exactly size bytes; false on close or error.
bool ReceiveExactly(SOCKET s, void *buffer, size_t size);
// Sends all bytes; false on error.
bool SendAllBytes(SOCKET s, const void *data, size_t size);
// An outgoing TCP connection to address:port (host byte order), TCP_NODELAY
// set, or INVALID_SOCKET.
SOCKET ConnectLoopback(uint32_t address, uint16_t port);

#endif
