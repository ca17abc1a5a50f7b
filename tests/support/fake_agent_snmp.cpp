// The fake agent's CMD_SNMP_REQUEST forwarding; see fake_agent_snmp.h.
#include "fake_agent_snmp.h"

#include <vector>

namespace {

const uint32_t kAccessDenied = 403;
const uint32_t kRequestTimeout = 408;
const uint32_t kInternalError = 500;
const size_t kMaxDatagram = 65535;

// Sends the PDU to the device and waits for one datagram from it. Returns
// the answer, or an empty vector after the time-out or on a socket error.
std::vector<uint8_t> AskDevice(uint32_t address, uint16_t port, const std::vector<uint8_t> &pdu,
                               uint32_t timeoutMs, uint32_t *rcc) {
   *rcc = kInternalError;
   SOCKET s = CreateUdpSocket();
   if (s == INVALID_SOCKET)
      return {};
   sockaddr_in device{};
   device.sin_family = AF_INET;
   device.sin_addr.s_addr = htonl(address);
   device.sin_port = htons(port);
   const sockaddr *to = reinterpret_cast<const sockaddr *>(&device);
   // Connected, so that the system drops datagrams from anyone but the
   // device and reports its refusal.
   std::vector<uint8_t> answer;
   if (SocketConnect(s, to, sizeof(device), INFINITE) == 0 &&
       SocketSendTo(s, pdu.data(), pdu.size(), to, sizeof(device)) == (int)pdu.size()) {
      *rcc = kRequestTimeout;
      const uint64_t deadline = GetMonotonicMs() + timeoutMs;
      for (uint64_t now = GetMonotonicMs(); now < deadline; now = GetMonotonicMs()) {
         if (SocketWaitReadable(s, (uint32_t)(deadline - now)) <= 0)
            break;
         answer.resize(kMaxDatagram);
         int got = SocketRecvFrom(s, answer.data(), answer.size(), nullptr, nullptr);
         if (got > 0) {
            answer.resize((size_t)got);
            *rcc = 0;
            break;
         }
         answer.clear();
         if (got < 0 && WSAGetLastError() != WSAEWOULDBLOCK)
            break;  // e.g. refused: nothing listens on the device's port
      }
   }
   closesocket(s);
   return answer;
}

}  // namespace

FakeAgentHandler FakeSnmpForward(FakeSnmpForwardOptions options) {
   return [options](FakeAgentConnection &connection, const CSCPMessage &request) {
      uint32_t address = request.GetVariableLong(VID_IP_ADDRESS);
      uint16_t port = request.GetVariableShort(VID_PORT);
      uint32_t size = request.GetVariableLong(VID_PDU_SIZE);
      std::vector<uint8_t> pdu(request.GetVariableBinary(VID_PDU, nullptr, 0));
      request.GetVariableBinary(VID_PDU, pdu.data(), static_cast<uint32_t>(pdu.size()));
      if (size < pdu.size()) {
         pdu.resize(size);
      }

      if (options.refuse) {
         uint32_t rcc = options.refuse(pdu.data(), static_cast<uint32_t>(pdu.size()));
         if (rcc != 0) {
            connection.reply(request, rcc);
            return;
         }
      }
      // This agent reaches only devices on this machine.
      if ((address >> 24) != 127) {
         connection.reply(request, kAccessDenied);
         return;
      }
      if (options.forwarded) {
         options.forwarded->fetch_add(1);
      }
      uint32_t rcc;
      std::vector<uint8_t> answer = AskDevice(address, port, pdu, options.timeoutMs, &rcc);
      connection.reply(request, rcc, [&](CSCPMessage &reply) {
         if (rcc == 0) {
            reply.SetVariable(VID_PDU_SIZE, static_cast<uint32_t>(answer.size()));
            reply.SetVariable(VID_PDU, answer.data(), static_cast<uint32_t>(answer.size()));
         }
      });
   };
}
