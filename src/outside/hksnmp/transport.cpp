// The transport base: its settings and the request/response exchange.
#include "hksnmp.h"

#include "hk_platform.h"

SNMP_Transport::SNMP_Transport()
    : m_checkCommunity(false), m_securityContext(nullptr), m_snmpVersion(SNMP_VERSION_2C) {}

SNMP_Transport::~SNMP_Transport() {
   delete m_securityContext;
}

void SNMP_Transport::setSecurityContext(SNMP_SecurityContext *context) {
   if (context != m_securityContext) {
      delete m_securityContext;
      m_securityContext = context;
   }
}

uint32_t SNMP_Transport::doRequest(SNMP_PDU *request, SNMP_PDU **response, uint32_t timeout,
                                   int retries) {
   if (response != nullptr) {
      *response = nullptr;
   }
   if (request == nullptr || response == nullptr) {
      return SNMP_ERR_PARAM;
   }
   if (request->getVersion() == SNMP_VERSION_3) {
      return doRequestV3(request, response, timeout, retries);
   }
   int attempts = retries > 0 ? retries : 1;
   uint32_t result = SNMP_ERR_TIMEOUT;
   for (int attempt = 0; attempt < attempts; attempt++) {
      result = SNMP_ERR_TIMEOUT;
      if (sendMessage(request) <= 0) {
         result = SNMP_ERR_COMM;
         continue;
      }
      uint64_t deadline = GetMonotonicMs() + timeout;
      for (;;) {
         uint64_t now = GetMonotonicMs();
         uint32_t remaining = now < deadline ? static_cast<uint32_t>(deadline - now) : 0;
         SNMP_PDU *pdu = nullptr;
         int rc = readMessage(&pdu, remaining, nullptr, nullptr, nullptr);
         if (rc <= 0) {
            break;  // the attempt's time is up, or the transport has nothing more
         }
         if (pdu == nullptr) {
            result = SNMP_ERR_PARSE;
         } else if (pdu->getCommand() == SNMP_RESPONSE &&
                    pdu->getRequestId() == request->getRequestId()) {
            *response = pdu;
            return SNMP_ERR_SUCCESS;
         } else {
            delete pdu;  // a late answer to an earlier request, or not an answer at all
         }
         if (remaining == 0) {
            break;
         }
      }
   }
   return result;
}
