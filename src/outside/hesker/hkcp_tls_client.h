// The connecting side's TLS settings, kept by a session across its
// connects: the pins and the decision on the peer's key, the key it shows
// (an EC, Ed25519 or RSA key given for TLS, or else the RSA key of the
// legacy exchange), and the peer key the last handshake saw. start() runs
// the way into TLS on a connection, so the agent session and the ISC
// session share one handshake and differ only in their result codes.
//
// Thread safety: setters and start() from the session's connecting thread;
// seenFingerprint() from any thread (guarded by its own lock).
#ifndef HKCP_TLS_CLIENT_H
#define HKCP_TLS_CLIENT_H

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hesker_export.h"
#include "hkcp_connection.h"
#include "hkcp_tls.h"

class HESKER_EXPORT HKCPTlsClient {
public:
   HKCPTlsClient() = default;
   HKCPTlsClient(const HKCPTlsClient &) = delete;
   HKCPTlsClient &operator=(const HKCPTlsClient &) = delete;
   ~HKCPTlsClient();

   // True once a setter asked for TLS; it stays asked for.
   bool requested() const { return m_requested; }
   // True when a pin or a decision can accept a peer key.
   bool pinned() const { return !m_pins.empty() || (bool)m_decide; }
   // Adds a pin (any form HKCPParseFingerprint reads); null clears them
   // all. False, nothing changed, for text that is no fingerprint.
   bool addPin(const char *fingerprint);
   // Decides on a peer key no pin names (64 lower-case hex digits); an
   // empty function removes the decision.
   void setDecision(std::function<bool(const char *fingerprint)> decide);
   // The key shown in TLS instead of the RSA key given to start(); a
   // reference of its own is taken. False, nothing changed, for a key TLS
   // cannot use; null goes back to the RSA key.
   bool setKey(EVP_PKEY *key);
   // The peer key's fingerprint the last handshake saw (also when it was
   // refused); empty when none was seen.
   std::string seenFingerprint() const;

   // What start() gave besides the handshake's own results.
   enum class Start {
      Done,        // *result says how the handshake ended
      InvalidKey,  // no key to show: neither setKey nor a usable rsaKey
      NoMemory,
   };
   // CMD_START_TLS and the handshake on connection (no reader may run
   // yet), showing setKey's key or else rsaKey, whose identity (a
   // certificate and contexts) is made once per key and kept. *rcc as
   // HKCPConnection::startTlsConnecting.
   Start start(HKCPConnection &connection, RSA *rsaKey, int protocolVersion, uint32_t requestId,
               uint32_t timeoutMs, HKCPTlsResult *result, uint32_t *rcc);

private:
   bool m_requested = false;
   std::vector<std::array<uint8_t, HKCP_KEY_FINGERPRINT_SIZE>> m_pins;
   std::function<bool(const char *fingerprint)> m_decide;
   EVP_PKEY *m_key = nullptr;  // one reference; null: the RSA key given to start()
   // The identity of the key in use: m_key's, or the last RSA key's.
   std::shared_ptr<HKCPTlsIdentity> m_identity;
   mutable std::mutex m_seenLock;
   std::string m_seen;  // guarded by m_seenLock
};

#endif
