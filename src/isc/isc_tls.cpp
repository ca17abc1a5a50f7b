// ISC inside TLS: the settings a caller opts in with, and the start right
// after the version probe (the handshake of libhesker's HKCPTlsClient, as
// the agent session's).
#include "isc_tls_settings.h"

bool ISC::SetPeerKeyFingerprint(const char *fingerprint) {
   return m_tlsSettings->client.addPin(fingerprint);
}

void ISC::SetPeerKeyTrust(std::function<bool(const char *fingerprint)> decide) {
   m_tlsSettings->client.setDecision(std::move(decide));
}

bool ISC::SetTlsKey(EVP_PKEY *key) {
   return m_tlsSettings->client.setKey(key);
}

std::string ISC::GetPeerKeyFingerprint() const {
   return m_tlsSettings->client.seenFingerprint();
}

uint32_t ISC::startTls(RSA *serverKey) {
   HKCPTlsClient &client = m_tlsSettings->client;
   HKCPTlsResult result = HKCPTlsResult::Closed;
   uint32_t rcc = 0;
   switch (client.start(m_connection, serverKey, m_protocolVersion, m_requestId.fetch_add(1),
                        m_commandTimeout, &result, &rcc)) {
      case HKCPTlsClient::Start::InvalidKey:
         return ISC_ERR_INVALID_PUBLIC_KEY;
      case HKCPTlsClient::Start::NoMemory:
         return ISC_ERR_INTERNAL_ERROR;
      case HKCPTlsClient::Start::Done:
         break;
   }
   switch (result) {
      case HKCPTlsResult::Established:
         return ISC_ERR_SUCCESS;
      case HKCPTlsResult::PeerUntrusted:
         return client.pinned() ? ISC_ERR_PEER_KEY_UNTRUSTED : ISC_ERR_PEER_KEY_NOT_PINNED;
      case HKCPTlsResult::TimedOut:
         return rcc == ERR_REQUEST_TIMEOUT ? ISC_ERR_REQUEST_TIMEOUT : ISC_ERR_TLS_FAILED;
      default:
         return ISC_ERR_TLS_FAILED;
   }
}
