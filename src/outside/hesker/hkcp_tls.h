// HKCP inside TLS 1.3: long-term identities (a private key in a self-signed
// certificate made in memory), pinning by key fingerprint instead of a CA
// chain, the handshake over a connected socket, and the record layer the
// connection core drives through memory BIOs, so every socket read and
// write stays in HKCPConnection with its time and memory bounds.
//
// Both sides present a certificate; each accepts the other only when the
// key's fingerprint (SHA-256 of its DER SubjectPublicKeyInfo) is trusted by
// its decision. Only TLS 1.3 with (EC)DHE is offered; no session tickets.
//
// Locks: an HKCPTls has one lock of its own (the TLS lock) that guards the
// SSL object and both memory BIOs: the reader's decryption, writers'
// encryption and any record the library answers by itself. It is never held
// while a socket is read or written or while anything is waited for. A
// writer takes it inside the connection's send lock (send lock first, then
// the TLS lock), never the other way round.
#ifndef HKCP_TLS_H
#define HKCP_TLS_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hesker_export.h"
#include "hkcp.h"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

class HKCPTls;
// The certificate check of a handshake: records the peer key's fingerprint
// and asks the session's decision. Internal to the TLS layer.
bool HKCPTlsVerifyPeer(HKCPTls *tls, EVP_PKEY *key);

// What the TLS exporter gives for the in-tunnel proof (AUTH_HMAC_SHA256).
static const uint32_t HKCP_TLS_BINDING_SIZE = 32;

// The fingerprint of a key's public part; false when it has none.
HESKER_EXPORT bool HKCPPublicKeyFingerprint(EVP_PKEY *key,
                                            uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]);
// Reads a fingerprint written as 64 hex digits (either case, colons and
// blanks allowed) or as "SHA256:" and the unpadded or padded base64 of the
// 32 bytes. False for anything else.
HESKER_EXPORT bool HKCPParseFingerprint(const char *text,
                                        uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]);

// The decision on a peer key: true to accept the key with this fingerprint.
// Called on the thread that runs the handshake.
typedef std::function<bool(const uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE])> HKCPTlsTrust;

// A private key in a self-signed certificate, and the TLS contexts made for
// it. Shared by every session that uses the key; immutable once made.
class HESKER_EXPORT HKCPTlsIdentity {
public:
   // Takes a reference of its own on key (RSA of 2048 bits or more, EC or
   // Ed25519). Null when the key or the certificate cannot be used.
   static std::shared_ptr<HKCPTlsIdentity> create(EVP_PKEY *key);
   // The same for the RSA key the legacy exchange uses.
   static std::shared_ptr<HKCPTlsIdentity> fromRsa(RSA *key);
   HKCPTlsIdentity(const HKCPTlsIdentity &) = delete;
   HKCPTlsIdentity &operator=(const HKCPTlsIdentity &) = delete;
   ~HKCPTlsIdentity();

   const uint8_t *fingerprint() const { return m_fingerprint; }
   std::string fingerprintText() const { return HKCPFingerprintText(m_fingerprint); }
   // The context of one side (made once, then shared); null on failure.
   SSL_CTX *context(bool accepting);

private:
   HKCPTlsIdentity() = default;

   EVP_PKEY *m_key = nullptr;
   X509 *m_certificate = nullptr;
   uint8_t m_fingerprint[HKCP_KEY_FINGERPRINT_SIZE] = {};
   std::mutex m_lock;
   SSL_CTX *m_contexts[2] = {nullptr, nullptr};  // connecting, accepting; under m_lock
};

// How a handshake ended.
enum class HKCPTlsResult {
   Established,
   PeerUntrusted,  // our decision refused the peer's key (peerFingerprint says which)
   Refused,        // the peer refused us, or no TLS could be agreed
   TimedOut,
   Closed,      // the connection ended or failed
   NotOffered,  // the peer answered CMD_START_TLS with a refusal (old peer: unknown command)
};

// One TLS session over one connection. Made by the side that connects
// (HKCP's server) or accepts (the agent); used by HKCPConnection.
class HESKER_EXPORT HKCPTls {
public:
   // Null when the identity has no context.
   static std::unique_ptr<HKCPTls> create(const std::shared_ptr<HKCPTlsIdentity> &identity,
                                          bool accepting, HKCPTlsTrust trust);
   HKCPTls(const HKCPTls &) = delete;
   HKCPTls &operator=(const HKCPTls &) = delete;
   ~HKCPTls();

   // The whole handshake on s, within timeoutMs, on the calling thread.
   // received: bytes the plain path read past its last frame, which belong
   // to the handshake. Nobody else reads s meanwhile; writes are the
   // caller's to serialise (the connection holds its send lock).
   HKCPTlsResult handshake(SOCKET s, const std::string &received, uint32_t timeoutMs);
   // The peer key's fingerprint as seen in the handshake, also when it was
   // refused; false before the peer sent one.
   bool peerFingerprint(uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]) const;
   // The channel binding of this session (the TLS exporter under the label
   // "EXPORTER-HKCP-authentication"); false before the handshake ended.
   bool binding(uint8_t out[HKCP_TLS_BINDING_SIZE]);

   // ------------------------------------------------ records (HKCPConnection)
   // Encrypts data and writes its records to s. The caller holds the
   // connection's send lock. False when s did not take them within its
   // send bound or TLS failed.
   bool write(SOCKET s, const void *data, size_t size);
   // Decrypted bytes into out: > 0 bytes; 0 when the peer closed (TLS
   // close_notify or end of stream); -1 on failure (WSAGetLastError: EBADMSG
   // for a record that failed authentication or an alert); -3 when nothing
   // came within the deadline (a monotonic time in ms, 0: none).
   int read(SOCKET s, void *out, size_t size, uint64_t deadline);
   // True once a record failed or the peer sent an alert: the session is
   // over, whatever the socket says.
   bool failed() const { return m_failed.load(); }
   // Records the library answered by itself while reading (a key update),
   // written by the caller under its send lock.
   bool hasPendingOutput();
   bool flushPending(SOCKET s);
   // Frees the record buffers while idle.
   void releaseBuffers();

private:
   HKCPTls() = default;
   bool drainOutput(std::vector<uint8_t> *out);
   int feed(SOCKET s, uint64_t deadline);
   friend bool HKCPTlsVerifyPeer(HKCPTls *tls, EVP_PKEY *key);

   std::shared_ptr<HKCPTlsIdentity> m_identity;
   HKCPTlsTrust m_trust;
   std::mutex m_lock;  // the TLS lock: m_ssl and both BIOs
   SSL *m_ssl = nullptr;
   BIO *m_in = nullptr;   // socket bytes for the SSL object (owned by m_ssl)
   BIO *m_out = nullptr;  // records the SSL object made (owned by m_ssl)
   bool m_accepting = false;
   std::atomic<bool> m_failed{false};
   bool m_hasPeer = false;
   bool m_untrusted = false;
   uint8_t m_peer[HKCP_KEY_FINGERPRINT_SIZE] = {};
   std::vector<uint8_t> m_record;  // socket bytes on their way (reader's)
};

// The in-tunnel AUTH_HMAC_SHA256 proofs. The key is HKDF-SHA-256 of the
// secret, salted with the agent key's fingerprint; made once per (secret,
// agent key) and kept in a small process-wide cache.
HESKER_EXPORT bool HKCPTlsAuthKey(const char *secret, size_t length,
                                  const uint8_t agentFingerprint[HKCP_KEY_FINGERPRINT_SIZE],
                                  uint8_t key[HKCP_AUTH_KEY_SIZE]);
// The agent's proof comes first: over the binding and both nonces.
HESKER_EXPORT bool HKCPTlsAgentProof(const uint8_t key[HKCP_AUTH_KEY_SIZE],
                                     const uint8_t binding[HKCP_TLS_BINDING_SIZE],
                                     const uint8_t serverNonce[HKCP_AUTH_NONCE_SIZE],
                                     const uint8_t agentNonce[HKCP_AUTH_NONCE_SIZE],
                                     uint8_t proof[HKCP_AUTH_PROOF_SIZE]);
// The server's, over the same and the agent's proof.
HESKER_EXPORT bool HKCPTlsServerProof(const uint8_t key[HKCP_AUTH_KEY_SIZE],
                                      const uint8_t binding[HKCP_TLS_BINDING_SIZE],
                                      const uint8_t serverNonce[HKCP_AUTH_NONCE_SIZE],
                                      const uint8_t agentNonce[HKCP_AUTH_NONCE_SIZE],
                                      const uint8_t agentProof[HKCP_AUTH_PROOF_SIZE],
                                      uint8_t proof[HKCP_AUTH_PROOF_SIZE]);

#endif
