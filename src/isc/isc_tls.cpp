// ISC inside TLS: the settings a caller opts in with, and the start right
// after the version probe (the same handshake as the agent session's).
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <mutex>
#include <vector>

#include "isc_tls_settings.h"

bool ISC::SetPeerKeyFingerprint(const char *fingerprint) {
   if (fingerprint == nullptr) {
      m_tlsSettings->pins.clear();
      return true;
   }
   std::array<uint8_t, HKCP_KEY_FINGERPRINT_SIZE> pin;
   if (!HKCPParseFingerprint(fingerprint, pin.data()))
      return false;
   m_tlsSettings->pins.push_back(pin);
   m_tlsSettings->requested = true;
   return true;
}

void ISC::SetPeerKeyTrust(std::function<bool(const char *fingerprint)> decide) {
   if (decide)
      m_tlsSettings->requested = true;
   m_tlsSettings->decide = std::move(decide);
}

bool ISC::SetTlsKey(EVP_PKEY *key) {
   std::shared_ptr<HKCPTlsIdentity> identity;
   if (key != nullptr && (!(identity = HKCPTlsIdentity::create(key)) || EVP_PKEY_up_ref(key) != 1))
      return false;
   EVP_PKEY_free(m_tlsSettings->key);
   m_tlsSettings->key = key;
   m_tlsSettings->identity = identity;
   if (key != nullptr)
      m_tlsSettings->requested = true;
   return true;
}

std::string ISC::GetPeerKeyFingerprint() const {
   std::lock_guard<std::mutex> guard(m_tlsSettings->seenLock);
   return m_tlsSettings->seen;
}

uint32_t ISC::startTls(RSA *serverKey) {
   TlsSettings &settings = *m_tlsSettings;
   {
      std::lock_guard<std::mutex> guard(settings.seenLock);
      settings.seen.clear();
   }
   if (settings.key == nullptr) {
      uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE];
      if (serverKey == nullptr || !HKCPKeyFingerprint(serverKey, fingerprint))
         return ISC_ERR_INVALID_PUBLIC_KEY;
      if (!settings.identity ||
          memcmp(settings.identity->fingerprint(), fingerprint, sizeof(fingerprint)) != 0)
         settings.identity = HKCPTlsIdentity::fromRsa(serverKey);
      if (!settings.identity)
         return ISC_ERR_INVALID_PUBLIC_KEY;
   }
   auto pins = settings.pins;
   auto decide = settings.decide;
   std::unique_ptr<HKCPTls> tls =
       HKCPTls::create(settings.identity, false, [pins, decide](const uint8_t *fingerprint) {
          for (const auto &pin : pins) {
             if (CRYPTO_memcmp(pin.data(), fingerprint, HKCP_KEY_FINGERPRINT_SIZE) == 0)
                return true;
          }
          return decide && decide(HKCPFingerprintText(fingerprint).c_str());
       });
   if (!tls)
      return ISC_ERR_INTERNAL_ERROR;
   uint32_t rcc = 0;
   HKCPTlsResult result = m_connection.startTlsConnecting(
       tls, m_protocolVersion, m_requestId.fetch_add(1), m_commandTimeout, &rcc);
   uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE];
   bool seen = result == HKCPTlsResult::Established ? m_connection.tlsPeerFingerprint(fingerprint)
                                                    : (tls && tls->peerFingerprint(fingerprint));
   if (seen) {
      std::lock_guard<std::mutex> guard(settings.seenLock);
      settings.seen = HKCPFingerprintText(fingerprint);
   }
   switch (result) {
      case HKCPTlsResult::Established:
         return ISC_ERR_SUCCESS;
      case HKCPTlsResult::PeerUntrusted:
         return (pins.empty() && !decide) ? ISC_ERR_PEER_KEY_NOT_PINNED
                                          : ISC_ERR_PEER_KEY_UNTRUSTED;
      case HKCPTlsResult::TimedOut:
         return rcc == ERR_REQUEST_TIMEOUT ? ISC_ERR_REQUEST_TIMEOUT : ISC_ERR_TLS_FAILED;
      default:
         return ISC_ERR_TLS_FAILED;
   }
}
