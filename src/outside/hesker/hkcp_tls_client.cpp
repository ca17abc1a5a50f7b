// The connecting side's TLS settings and its way into TLS.
#include "hkcp_tls_client.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

HKCPTlsClient::~HKCPTlsClient() {
   EVP_PKEY_free(m_key);
}

bool HKCPTlsClient::addPin(const char *fingerprint) {
   if (fingerprint == nullptr) {
      m_pins.clear();
      return true;
   }
   std::array<uint8_t, HKCP_KEY_FINGERPRINT_SIZE> pin;
   if (!HKCPParseFingerprint(fingerprint, pin.data()))
      return false;
   m_pins.push_back(pin);
   m_requested = true;
   return true;
}

void HKCPTlsClient::setDecision(std::function<bool(const char *fingerprint)> decide) {
   if (decide)
      m_requested = true;
   m_decide = std::move(decide);
}

bool HKCPTlsClient::setKey(EVP_PKEY *key) {
   std::shared_ptr<HKCPTlsIdentity> identity;
   if (key != nullptr && (!(identity = HKCPTlsIdentity::create(key)) || EVP_PKEY_up_ref(key) != 1))
      return false;
   EVP_PKEY_free(m_key);
   m_key = key;
   m_identity = identity;
   if (key != nullptr)
      m_requested = true;
   return true;
}

std::string HKCPTlsClient::seenFingerprint() const {
   std::lock_guard<std::mutex> guard(m_seenLock);
   return m_seen;
}

HKCPTlsClient::Start HKCPTlsClient::start(HKCPConnection &connection, RSA *rsaKey,
                                          int protocolVersion, uint32_t requestId,
                                          uint32_t timeoutMs, HKCPTlsResult *result,
                                          uint32_t *rcc) {
   {
      std::lock_guard<std::mutex> guard(m_seenLock);
      m_seen.clear();
   }
   if (m_key == nullptr) {
      // Compared by fingerprint, not address: a freed key's address may
      // come back for another.
      uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE];
      if (rsaKey == nullptr || !HKCPKeyFingerprint(rsaKey, fingerprint))
         return Start::InvalidKey;
      if (!m_identity || memcmp(m_identity->fingerprint(), fingerprint, sizeof(fingerprint)) != 0)
         m_identity = HKCPTlsIdentity::fromRsa(rsaKey);
      if (!m_identity)
         return Start::InvalidKey;
   }
   auto pins = m_pins;
   auto decide = m_decide;
   std::unique_ptr<HKCPTls> tls =
       HKCPTls::create(m_identity, false, [pins, decide](const uint8_t *fingerprint) {
          for (const auto &pin : pins) {
             if (CRYPTO_memcmp(pin.data(), fingerprint, HKCP_KEY_FINGERPRINT_SIZE) == 0)
                return true;
          }
          return decide && decide(HKCPFingerprintText(fingerprint).c_str());
       });
   if (!tls)
      return Start::NoMemory;
   *result = connection.startTlsConnecting(tls, protocolVersion, requestId, timeoutMs, rcc);
   uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE];
   bool seen = *result == HKCPTlsResult::Established ? connection.tlsPeerFingerprint(fingerprint)
                                                     : (tls && tls->peerFingerprint(fingerprint));
   if (seen) {
      std::lock_guard<std::mutex> guard(m_seenLock);
      m_seen = HKCPFingerprintText(fingerprint);
   }
   return Start::Done;
}
