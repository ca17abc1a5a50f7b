// SNMP over IPv4 UDP to one device.
//
// The socket is left unconnected so that ICMP errors do not end a wait
// early; datagrams from anywhere but the device are dropped here instead.
#include "hksnmp.h"

#include "hk_platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

SNMP_UDPTransport::SNMP_UDPTransport()
    : m_socket(-1), m_peerAddr(0), m_peerPort(0), m_buffer(nullptr) {}

SNMP_UDPTransport::~SNMP_UDPTransport() {
   if (m_socket != -1) {
      close(m_socket);
   }
   free(m_buffer);
}

uint32_t SNMP_UDPTransport::createUDPTransport(uint32_t ipAddr, uint16_t port) {
   if (m_socket != -1) {
      close(m_socket);
      m_socket = -1;
   }
   if (m_buffer == nullptr) {
      // One byte more than any datagram, so that an oversized one is seen.
      m_buffer = static_cast<uint8_t *>(malloc(SNMP_MAX_MESSAGE_SIZE + 1));
      if (m_buffer == nullptr) {
         return SNMP_ERR_SOCKET;
      }
   }
   int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
   if (s == -1) {
      return SNMP_ERR_SOCKET;
   }
   m_socket = s;
   m_peerAddr = ipAddr;
   m_peerPort = port;
   return SNMP_ERR_SUCCESS;
}

int SNMP_UDPTransport::sendMessage(SNMP_PDU *pdu) {
   if (m_socket == -1 || pdu == nullptr) {
      return -1;
   }
   uint8_t *bytes;
   size_t length = pdu->encode(&bytes, m_securityContext);
   if (length == 0) {
      return -1;
   }
   sockaddr_in peer{};
   peer.sin_family = AF_INET;
   peer.sin_addr.s_addr = htonl(m_peerAddr);
   peer.sin_port = htons(m_peerPort);
   ssize_t sent;
   do {
      sent = sendto(m_socket, bytes, length, 0, reinterpret_cast<sockaddr *>(&peer), sizeof(peer));
   } while (sent == -1 && errno == EINTR);
   free(bytes);
   return sent > 0 ? static_cast<int>(sent) : -1;
}

int SNMP_UDPTransport::readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *sender,
                                   socklen_t *senderLength, SNMP_ContextFinder contextFinder) {
   if (pdu != nullptr) {
      *pdu = nullptr;
   }
   if (m_socket == -1 || pdu == nullptr) {
      return -1;
   }
   uint64_t deadline = GetMonotonicMs() + timeout;
   for (;;) {
      uint64_t now = GetMonotonicMs();
      uint64_t left = now < deadline ? deadline - now : 0;
      int wait = left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
      pollfd pfd{m_socket, POLLIN, 0};
      int ready = poll(&pfd, 1, wait);
      if (ready == -1) {
         if (errno == EINTR) {
            continue;
         }
         return -1;
      }
      if (ready == 0) {
         return 0;
      }
      sockaddr_in from{};
      socklen_t fromLength = sizeof(from);
      ssize_t received = recvfrom(m_socket, m_buffer, SNMP_MAX_MESSAGE_SIZE + 1, MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr *>(&from), &fromLength);
      if (received == -1) {
         if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED) {
            continue;
         }
         return -1;
      }
      if (fromLength < sizeof(from) || from.sin_family != AF_INET ||
          ntohl(from.sin_addr.s_addr) != m_peerAddr || ntohs(from.sin_port) != m_peerPort ||
          received == 0 || static_cast<size_t>(received) > SNMP_MAX_MESSAGE_SIZE) {
         continue;  // not from the device, or cannot be an SNMP message
      }
      if (sender != nullptr && senderLength != nullptr) {
         socklen_t n = *senderLength < fromLength ? *senderLength : fromLength;
         memcpy(sender, &from, n);
         *senderLength = fromLength;
      }
      if (contextFinder != nullptr) {
         setSecurityContext(contextFinder(reinterpret_cast<sockaddr *>(&from), fromLength));
      }
      SNMP_PDU *parsed = new SNMP_PDU();
      if (!parsed->parse(m_buffer, static_cast<size_t>(received), m_securityContext,
                         m_checkCommunity)) {
         delete parsed;
         parsed = nullptr;
      }
      *pdu = parsed;
      return static_cast<int>(received);
   }
}
