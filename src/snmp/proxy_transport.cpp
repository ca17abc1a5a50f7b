// SNMP_ProxyTransport: SNMP requests carried through an agent session, one
// CMD_SNMP_REQUEST exchange per request.
#include <cstdlib>

#include "hksrv_agent.h"
#include "hksrv_snmp.h"

SNMP_ProxyTransport::SNMP_ProxyTransport(AgentConnection *agentConnection, uint32_t ipAddr,
                                         uint16_t port)
    : agentConnection(agentConnection), response(nullptr), ipAddr(ipAddr), port(port) {}

SNMP_ProxyTransport::~SNMP_ProxyTransport() {
   delete agentConnection;
   delete response;
}

int SNMP_ProxyTransport::sendMessage(SNMP_PDU *pdu) {
   // A reply still kept from an earlier exchange belongs to no one now.
   delete response;
   response = nullptr;

   CSCPMessage request(agentConnection->getProtocolVersion());
   uint8_t *bytes = nullptr;
   size_t length = pdu->encode(&bytes, getSecurityContext());
   if (length == 0) {
      free(bytes);
      return -1;
   }
   request.SetCode(CMD_SNMP_REQUEST);
   request.SetVariable(VID_IP_ADDRESS, ipAddr);
   request.SetVariable(VID_PORT, port);
   request.SetVariable(VID_PDU_SIZE, static_cast<uint32_t>(length));
   request.SetVariable(VID_PDU, bytes, static_cast<uint32_t>(length));
   free(bytes);

   uint32_t id = agentConnection->generateRequestId();
   request.SetId(id);
   if (agentConnection->sendRequest(&request)) {
      response = agentConnection->waitForMessage(CMD_REQUEST_COMPLETED, id,
                                                 agentConnection->getCommandTimeout());
   }
   return response != nullptr ? 1 : -1;
}

int SNMP_ProxyTransport::readMessage(SNMP_PDU **pdu, uint32_t timeout, struct sockaddr *sender,
                                     socklen_t *senderLength, SNMP_ContextFinder contextFinder) {
   if (response == nullptr) {
      return -1;
   }
   if (response->GetVariableLong(VID_RCC) != 0) {
      delete response;
      response = nullptr;
      return -1;
   }

   // The agent states the answer's size apart from the answer itself; never
   // trust it beyond the bytes that actually came, so a lying size neither
   // sizes the allocation nor hands unwritten bytes to the parser.
   uint32_t length = response->GetVariableLong(VID_PDU_SIZE);
   uint32_t stored = response->GetVariableBinary(VID_PDU, nullptr, 0);
   if (length > stored) {
      length = stored;
   }
   uint8_t *bytes = static_cast<uint8_t *>(malloc(length > 0 ? length : 1));
   if (bytes == nullptr) {
      delete response;
      response = nullptr;
      return -1;
   }
   response->GetVariableBinary(VID_PDU, bytes, length);

   if (contextFinder != nullptr) {
      setSecurityContext(contextFinder(sender, senderLength != nullptr ? *senderLength : 0));
   }

   *pdu = new SNMP_PDU();
   if (!(*pdu)->parse(bytes, length, getSecurityContext(), m_checkCommunity)) {
      delete *pdu;
      *pdu = nullptr;
   }
   free(bytes);
   delete response;
   response = nullptr;
   return static_cast<int>(length);
}
