// What an ISC session was told about TLS, and what its last handshake saw;
// shared by the sources of the session, not part of the public API.
#ifndef HKSRV_ISC_TLS_SETTINGS_H
#define HKSRV_ISC_TLS_SETTINGS_H

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hksrv_isc.h"

struct ISC::TlsSettings {
   TlsSettings() = default;
   TlsSettings(const TlsSettings &) = delete;
   TlsSettings &operator=(const TlsSettings &) = delete;
   ~TlsSettings() { EVP_PKEY_free(key); }

   bool requested = false;
   std::vector<std::array<uint8_t, HKCP_KEY_FINGERPRINT_SIZE>> pins;
   std::function<bool(const char *fingerprint)> decide;
   EVP_PKEY *key = nullptr;                    // one reference; null: Connect's RSA key
   std::shared_ptr<HKCPTlsIdentity> identity;  // for key, or for the last RSA key
   mutable std::mutex seenLock;
   std::string seen;
};

#endif
