// SNMP over IPv4 UDP to one device.
//
// The socket is left unconnected so that ICMP errors do not end a wait
// early; datagrams from anywhere but the device are dropped here instead.
#include "hksnmp.h"

#include "hk_platform.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

SNMP_UDPTransport::SNMP_UDPTransport()
    : m_socket(INVALID_SOCKET), m_peerAddr(0), m_peerPort(0), m_buffer(nullptr) {}

SNMP_UDPTransport::~SNMP_UDPTransport() {
   if (m_socket != INVALID_SOCKET) {
      closesocket(m_socket);
   }
   free(m_buffer);
}

uint32_t SNMP_UDPTransport::createUDPTransport(uint32_t ipAddr, uint16_t port) {
   if (m_socket != INVALID_SOCKET) {
      closesocket(m_socket);
      m_socket = INVALID_SOCKET;
   }
   if (m_buffer == nullptr) {
      // One byte more than any datagram, so that an oversized one is seen.
      m_buffer = static_cast<uint8_t *>(malloc(SNMP_MAX_MESSAGE_SIZE + 1));
      if (m_buffer == nullptr) {
         return SNMP_ERR_SOCKET;
      }
   }
   SOCKET s = CreateUdpSocket();
   if (s == INVALID_SOCKET) {
      return SNMP_ERR_SOCKET;
   }
   m_socket = s;
   m_peerAddr = ipAddr;
   m_peerPort = port;
   return SNMP_ERR_SUCCESS;
}

int SNMP_UDPTransport::sendMessage(SNMP_PDU *pdu) {
   if (m_socket == INVALID_SOCKET || pdu == nullptr) {
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
   int sent =
       SocketSendTo(m_socket, bytes, length, reinterpret_cast<sockaddr *>(&peer), sizeof(peer));
   free(bytes);
   return sent > 0 ? sent : -1;
}

int SNMP_UDPTransport::readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *sender,
                                   socklen_t *senderLength, SNMP_ContextFinder contextFinder) {
   if (pdu != nullptr) {
      *pdu = nullptr;
   }
   if (m_socket == INVALID_SOCKET || pdu == nullptr) {
      return -1;
   }
   uint64_t deadline = GetMonotonicMs() + timeout;
   for (;;) {
      uint64_t now = GetMonotonicMs();
      uint64_t left = now < deadline ? deadline - now : 0;
      uint32_t wait = left >= INFINITE ? INFINITE - 1 : static_cast<uint32_t>(left);
      int ready = SocketWaitReadable(m_socket, wait);
      if (ready == -1) {
         return -1;
      }
      if (ready == 0) {
         return 0;
      }
      sockaddr_in from{};
      socklen_t fromLength = sizeof(from);
      int received = SocketRecvFrom(m_socket, m_buffer, SNMP_MAX_MESSAGE_SIZE + 1,
                                    reinterpret_cast<sockaddr *>(&from), &fromLength);
      if (received == -1) {
         // Nothing after all, or an ICMP refusal of an earlier datagram:
         // keep waiting for the answer until the deadline.
         int error = WSAGetLastError();
         if (error == WSAEWOULDBLOCK || error == WSAECONNRESET) {
            continue;
         }
         return -1;
      }
      if (static_cast<size_t>(fromLength) < sizeof(from) || from.sin_family != AF_INET ||
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
