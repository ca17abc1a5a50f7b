// TLS 1.3 for HKCP through memory BIOs: identities, pinning, the handshake
// driver and the record layer; and the in-tunnel proofs.
#define OPENSSL_SUPPRESS_DEPRECATED 1  // EVP_PKEY_set1_RSA for the legacy key

#include "hkcp_tls.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>

namespace {

// One record's worth of socket bytes per read.
const size_t kRecordChunk = 16384 + 512;
// Plain bytes per SSL_write, so the write BIO never holds more than a record.
const size_t kWriteChunk = 16384;
const char kBindingLabel[] = "EXPORTER-HKCP-authentication";

bool Sha256(const void *data, size_t size, uint8_t out[32]) {
   unsigned int length = 0;
   return EVP_Digest(data, size, out, &length, EVP_sha256(), nullptr) == 1 && length == 32;
}

int VerifyPeer(X509_STORE_CTX *store, void *);

SSL_CTX *MakeContext(bool accepting, EVP_PKEY *key, X509 *certificate) {
   SSL_CTX *ctx = SSL_CTX_new(accepting ? TLS_server_method() : TLS_client_method());
   if (ctx == nullptr)
      return nullptr;
   bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) == 1 &&
             SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
             SSL_CTX_set1_groups_list(ctx, "X25519:P-256:P-384") == 1 &&
             SSL_CTX_use_certificate(ctx, certificate) == 1 &&
             SSL_CTX_use_PrivateKey(ctx, key) == 1 && SSL_CTX_check_private_key(ctx) == 1;
   if (!ok) {
      SSL_CTX_free(ctx);
      return nullptr;
   }
   // No resumption: every session proves both keys again, and an idle
   // session holds no ticket.
   SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
   SSL_CTX_set_num_tickets(ctx, 0);
   SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
   SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
   SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | (accepting ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                      nullptr);
   // Pinning replaces the chain: the peer's key is all that is judged.
   SSL_CTX_set_cert_verify_callback(ctx, VerifyPeer, nullptr);
   return ctx;
}

X509 *SelfSigned(EVP_PKEY *key) {
   X509 *cert = X509_new();
   X509_NAME *name = X509_NAME_new();
   uint8_t serial[8];
   BIGNUM *bn = nullptr;
   bool ok = cert != nullptr && name != nullptr && RAND_bytes(serial, sizeof(serial)) == 1;
   serial[0] &= 0x7F;
   ok = ok && (bn = BN_bin2bn(serial, sizeof(serial), nullptr)) != nullptr &&
        BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert)) != nullptr &&
        X509_set_version(cert, 2) == 1 &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)"hkcp", -1, -1,
                                   0) == 1 &&
        X509_set_subject_name(cert, name) == 1 && X509_set_issuer_name(cert, name) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr &&
        X509_gmtime_adj(X509_getm_notAfter(cert), 3650L * 24 * 3600) != nullptr &&
        X509_set_pubkey(cert, key) == 1;
   // Ed25519 signs without a separate digest.
   int id = EVP_PKEY_get_base_id(key);
   const EVP_MD *md = (id == EVP_PKEY_ED25519 || id == EVP_PKEY_ED448) ? nullptr : EVP_sha256();
   ok = ok && X509_sign(cert, key, md) > 0;
   BN_free(bn);
   X509_NAME_free(name);
   if (!ok) {
      X509_free(cert);
      return nullptr;
   }
   return cert;
}

// The key types a session accepts of either side.
bool UsableKey(EVP_PKEY *key) {
   switch (EVP_PKEY_get_base_id(key)) {
      case EVP_PKEY_RSA:
      case EVP_PKEY_RSA_PSS:
         return EVP_PKEY_get_bits(key) >= (int)HKCP_MIN_RSA_BITS;
      case EVP_PKEY_EC:
         return EVP_PKEY_get_bits(key) >= 256;
      case EVP_PKEY_ED25519:
      case EVP_PKEY_ED448:
         return true;
      default:
         return false;
   }
}

bool Hmac(const uint8_t key[HKCP_AUTH_KEY_SIZE], const char *label,
          std::initializer_list<std::pair<const uint8_t *, size_t>> parts,
          uint8_t out[HKCP_AUTH_PROOF_SIZE]) {
   std::vector<uint8_t> text(label, label + strlen(label));
   for (const auto &part : parts) {
      if (part.first == nullptr)
         return false;
      text.insert(text.end(), part.first, part.first + part.second);
   }
   unsigned int length = 0;
   return HMAC(EVP_sha256(), key, (int)HKCP_AUTH_KEY_SIZE, text.data(), text.size(), out,
               &length) != nullptr &&
          length == HKCP_AUTH_PROOF_SIZE;
}

}  // namespace

// ---------------------------------------------------------------- fingerprints

bool HKCPPublicKeyFingerprint(EVP_PKEY *key, uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]) {
   if (key == nullptr || fingerprint == nullptr)
      return false;
   unsigned char *der = nullptr;
   int length = i2d_PUBKEY(key, &der);
   bool ok = length > 0 && Sha256(der, (size_t)length, fingerprint);
   OPENSSL_free(der);
   return ok;
}

bool HKCPParseFingerprint(const char *text, uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]) {
   if (text == nullptr || fingerprint == nullptr)
      return false;
   if (strncmp(text, "SHA256:", 7) == 0) {
      std::string b64(text + 7);
      while (!b64.empty() && isspace((unsigned char)b64.back()))
         b64.pop_back();
      if (b64.size() == 43)
         b64 += '=';
      if (b64.size() != 44 || b64[42] == '=' || b64[43] != '=')
         return false;
      uint8_t decoded[33];
      if (EVP_DecodeBlock(decoded, (const unsigned char *)b64.data(), (int)b64.size()) != 33)
         return false;
      memcpy(fingerprint, decoded, HKCP_KEY_FINGERPRINT_SIZE);
      return true;
   }
   uint8_t bytes[HKCP_KEY_FINGERPRINT_SIZE];
   size_t digits = 0;
   for (const char *p = text; *p != '\0'; p++) {
      if (*p == ':' || isspace((unsigned char)*p))
         continue;
      if (!isxdigit((unsigned char)*p) || digits == 2 * HKCP_KEY_FINGERPRINT_SIZE)
         return false;
      int value = isdigit((unsigned char)*p) ? *p - '0' : tolower((unsigned char)*p) - 'a' + 10;
      if (digits % 2 == 0)
         bytes[digits / 2] = (uint8_t)(value << 4);
      else
         bytes[digits / 2] |= (uint8_t)value;
      digits++;
   }
   if (digits != 2 * HKCP_KEY_FINGERPRINT_SIZE)
      return false;
   memcpy(fingerprint, bytes, sizeof(bytes));
   return true;
}

// ---------------------------------------------------------------- identities

std::shared_ptr<HKCPTlsIdentity> HKCPTlsIdentity::create(EVP_PKEY *key) {
   if (key == nullptr || !UsableKey(key))
      return nullptr;
   std::shared_ptr<HKCPTlsIdentity> identity(new HKCPTlsIdentity());
   if (EVP_PKEY_up_ref(key) != 1)
      return nullptr;
   identity->m_key = key;
   identity->m_certificate = SelfSigned(key);
   if (identity->m_certificate == nullptr ||
       !HKCPPublicKeyFingerprint(key, identity->m_fingerprint))
      return nullptr;
   return identity;
}

std::shared_ptr<HKCPTlsIdentity> HKCPTlsIdentity::fromRsa(RSA *key) {
   if (key == nullptr)
      return nullptr;
   EVP_PKEY *pkey = EVP_PKEY_new();
   std::shared_ptr<HKCPTlsIdentity> identity;
   if (pkey != nullptr && EVP_PKEY_set1_RSA(pkey, key) == 1)
      identity = create(pkey);
   EVP_PKEY_free(pkey);
   return identity;
}

HKCPTlsIdentity::~HKCPTlsIdentity() {
   SSL_CTX_free(m_contexts[0]);
   SSL_CTX_free(m_contexts[1]);
   X509_free(m_certificate);
   EVP_PKEY_free(m_key);
}

SSL_CTX *HKCPTlsIdentity::context(bool accepting) {
   std::lock_guard<std::mutex> guard(m_lock);
   SSL_CTX *&ctx = m_contexts[accepting ? 1 : 0];
   if (ctx == nullptr)
      ctx = MakeContext(accepting, m_key, m_certificate);
   return ctx;
}

// ---------------------------------------------------------------- sessions

namespace {

int VerifyPeer(X509_STORE_CTX *store, void *) {
   SSL *ssl =
       static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
   auto *tls = ssl != nullptr ? static_cast<HKCPTls *>(SSL_get_app_data(ssl)) : nullptr;
   X509 *cert = X509_STORE_CTX_get0_cert(store);
   bool ok = tls != nullptr && cert != nullptr && HKCPTlsVerifyPeer(tls, X509_get0_pubkey(cert));
   if (!ok)
      X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
   return ok ? 1 : 0;
}

}  // namespace

bool HKCPTlsVerifyPeer(HKCPTls *tls, EVP_PKEY *key) {
   if (key == nullptr || !HKCPPublicKeyFingerprint(key, tls->m_peer))
      return false;
   tls->m_hasPeer = true;
   bool ok = UsableKey(key) && tls->m_trust && tls->m_trust(tls->m_peer);
   tls->m_untrusted = !ok;
   return ok;
}

std::unique_ptr<HKCPTls> HKCPTls::create(const std::shared_ptr<HKCPTlsIdentity> &identity,
                                         bool accepting, HKCPTlsTrust trust) {
   SSL_CTX *ctx = identity ? identity->context(accepting) : nullptr;
   if (ctx == nullptr)
      return nullptr;
   std::unique_ptr<HKCPTls> tls(new HKCPTls());
   tls->m_identity = identity;
   tls->m_trust = std::move(trust);
   tls->m_accepting = accepting;
   tls->m_ssl = SSL_new(ctx);
   BIO *in = BIO_new(BIO_s_mem());
   BIO *out = BIO_new(BIO_s_mem());
   if (tls->m_ssl == nullptr || in == nullptr || out == nullptr) {
      BIO_free(in);
      BIO_free(out);
      return nullptr;
   }
   // An empty BIO means "more to come", not the end of the stream.
   BIO_set_mem_eof_return(in, -1);
   BIO_set_mem_eof_return(out, -1);
   SSL_set_bio(tls->m_ssl, in, out);
   tls->m_in = in;
   tls->m_out = out;
   SSL_set_app_data(tls->m_ssl, tls.get());
   if (accepting)
      SSL_set_accept_state(tls->m_ssl);
   else
      SSL_set_connect_state(tls->m_ssl);
   return tls;
}

HKCPTls::~HKCPTls() {
   SSL_free(m_ssl);  // frees both BIOs
}

bool HKCPTls::peerFingerprint(uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]) const {
   if (!m_hasPeer)
      return false;
   memcpy(fingerprint, m_peer, sizeof(m_peer));
   return true;
}

bool HKCPTls::binding(uint8_t out[HKCP_TLS_BINDING_SIZE]) {
   std::lock_guard<std::mutex> guard(m_lock);
   return SSL_is_init_finished(m_ssl) &&
          SSL_export_keying_material(m_ssl, out, HKCP_TLS_BINDING_SIZE, kBindingLabel,
                                     sizeof(kBindingLabel) - 1, nullptr, 0, 0) == 1;
}

// Takes what the SSL object wrote, under the TLS lock.
bool HKCPTls::drainOutput(std::vector<uint8_t> *out) {
   size_t pending = BIO_ctrl_pending(m_out);
   if (pending == 0)
      return true;
   size_t start = out->size();
   out->resize(start + pending);
   int n = BIO_read(m_out, out->data() + start, (int)pending);
   out->resize(start + (n > 0 ? (size_t)n : 0));
   return n == (int)pending;
}

bool HKCPTls::hasPendingOutput() {
   std::lock_guard<std::mutex> guard(m_lock);
   return BIO_ctrl_pending(m_out) > 0;
}

bool HKCPTls::flushPending(SOCKET s) {
   std::vector<uint8_t> bytes;
   {
      std::lock_guard<std::mutex> guard(m_lock);
      if (!drainOutput(&bytes))
         return false;
   }
   return bytes.empty() || SendEx(s, bytes.data(), bytes.size(), 0, nullptr) == (int)bytes.size();
}

// Socket bytes into the read BIO: their count, 0 on close, -1 on failure,
// -3 at the deadline. Called without the TLS lock; only the reader calls it.
int HKCPTls::feed(SOCKET s, uint64_t deadline) {
   if (m_record.size() < kRecordChunk)
      m_record.resize(kRecordChunk);
   for (;;) {
      uint32_t wait = INFINITE;
      if (deadline != 0) {
         uint64_t now = GetMonotonicMs();
         wait = now >= deadline ? 0 : (uint32_t)(deadline - now);
      }
      int ready = SocketWaitReadable(s, wait);
      if (ready == 0)
         return -3;
      if (ready < 0)
         return -1;
      int n = SocketRecv(s, m_record.data(), m_record.size());
      if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK)
         continue;
      if (n <= 0)
         return n;
      std::lock_guard<std::mutex> guard(m_lock);
      if (BIO_write(m_in, m_record.data(), n) != n) {
         WSASetLastError(ENOMEM);
         return -1;
      }
      return n;
   }
}

HKCPTlsResult HKCPTls::handshake(SOCKET s, const std::string &received, uint32_t timeoutMs) {
   uint64_t deadline = timeoutMs == INFINITE ? 0 : GetMonotonicMs() + timeoutMs;
   if (deadline == 0 && timeoutMs != INFINITE)
      deadline = 1;
   if (!received.empty()) {
      std::lock_guard<std::mutex> guard(m_lock);
      if (BIO_write(m_in, received.data(), (int)received.size()) != (int)received.size())
         return HKCPTlsResult::Closed;
   }
   for (;;) {
      int rc, error;
      {
         std::lock_guard<std::mutex> guard(m_lock);
         ERR_clear_error();
         rc = SSL_do_handshake(m_ssl);
         error = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(m_ssl, rc);
         ERR_clear_error();
      }
      // Also the alert that tells the peer why we give up.
      bool flushed = flushPending(s);
      if (m_untrusted)
         return HKCPTlsResult::PeerUntrusted;
      if (rc == 1)
         return flushed ? HKCPTlsResult::Established : HKCPTlsResult::Closed;
      if (error != SSL_ERROR_WANT_READ) {
         m_failed = true;
         return HKCPTlsResult::Refused;
      }
      if (!flushed)
         return HKCPTlsResult::Closed;
      int n = feed(s, deadline);
      if (n == -3)
         return HKCPTlsResult::TimedOut;
      if (n <= 0)
         return HKCPTlsResult::Closed;
   }
}

bool HKCPTls::write(SOCKET s, const void *data, size_t size) {
   const uint8_t *p = static_cast<const uint8_t *>(data);
   std::vector<uint8_t> records;
   while (size > 0) {
      size_t chunk = size < kWriteChunk ? size : kWriteChunk;
      records.clear();
      {
         std::lock_guard<std::mutex> guard(m_lock);
         if (m_failed)
            return false;
         ERR_clear_error();
         int n = SSL_write(m_ssl, p, (int)chunk);
         ERR_clear_error();
         if (n != (int)chunk || !drainOutput(&records)) {
            m_failed = true;
            WSASetLastError(EBADMSG);
            return false;
         }
      }
      if (SendEx(s, records.data(), records.size(), 0, nullptr) != (int)records.size())
         return false;
      p += chunk;
      size -= chunk;
   }
   return true;
}

int HKCPTls::read(SOCKET s, void *out, size_t size, uint64_t deadline) {
   for (;;) {
      int n, error;
      {
         std::lock_guard<std::mutex> guard(m_lock);
         if (m_failed) {
            WSASetLastError(EBADMSG);
            return -1;
         }
         ERR_clear_error();
         n = SSL_read(m_ssl, out, (int)(size > 0x40000000 ? 0x40000000 : size));
         error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(m_ssl, n);
         ERR_clear_error();
         if (error != SSL_ERROR_NONE && error != SSL_ERROR_WANT_READ &&
             error != SSL_ERROR_ZERO_RETURN)
            m_failed = true;
      }
      if (n > 0)
         return n;
      if (error == SSL_ERROR_ZERO_RETURN)
         return 0;
      if (error != SSL_ERROR_WANT_READ) {
         WSASetLastError(EBADMSG);
         return -1;
      }
      int got = feed(s, deadline);
      if (got <= 0)
         return got;
   }
}

void HKCPTls::releaseBuffers() {
   m_record.clear();
   m_record.shrink_to_fit();
}

// ---------------------------------------------------------------- proofs

bool HKCPTlsAuthKey(const char *secret, size_t length,
                    const uint8_t agentFingerprint[HKCP_KEY_FINGERPRINT_SIZE],
                    uint8_t key[HKCP_AUTH_KEY_SIZE]) {
   if ((secret == nullptr && length > 0) || agentFingerprint == nullptr || key == nullptr)
      return false;
   // Cached under a digest of both, never the secret itself.
   static std::mutex lock;
   static std::map<std::array<uint8_t, 32>, std::array<uint8_t, HKCP_AUTH_KEY_SIZE>> cache;
   std::vector<uint8_t> name(agentFingerprint, agentFingerprint + HKCP_KEY_FINGERPRINT_SIZE);
   if (length > 0)
      name.insert(name.end(), secret, secret + length);
   std::array<uint8_t, 32> id;
   bool named = Sha256(name.data(), name.size(), id.data());
   OPENSSL_cleanse(name.data(), name.size());
   if (!named)
      return false;
   {
      std::lock_guard<std::mutex> guard(lock);
      auto found = cache.find(id);
      if (found != cache.end()) {
         memcpy(key, found->second.data(), HKCP_AUTH_KEY_SIZE);
         return true;
      }
   }
   EVP_KDF *kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
   EVP_KDF_CTX *ctx = kdf != nullptr ? EVP_KDF_CTX_new(kdf) : nullptr;
   static const char kEmpty = '\0';
   char digest[] = "SHA256";
   char info[] = "HKCP-TLS authentication key";
   OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0),
                          OSSL_PARAM_construct_octet_string(
                              "key", (void *)(secret != nullptr ? secret : &kEmpty), length),
                          OSSL_PARAM_construct_octet_string("salt", (void *)agentFingerprint,
                                                            HKCP_KEY_FINGERPRINT_SIZE),
                          OSSL_PARAM_construct_octet_string("info", info, sizeof(info) - 1),
                          OSSL_PARAM_construct_end()};
   bool ok = ctx != nullptr && EVP_KDF_derive(ctx, key, HKCP_AUTH_KEY_SIZE, params) == 1;
   EVP_KDF_CTX_free(ctx);
   EVP_KDF_free(kdf);
   if (ok) {
      std::lock_guard<std::mutex> guard(lock);
      if (cache.size() >= 64)
         cache.clear();  // bounded: a few secrets and agents in practice
      std::array<uint8_t, HKCP_AUTH_KEY_SIZE> value;
      memcpy(value.data(), key, HKCP_AUTH_KEY_SIZE);
      cache[id] = value;
   }
   return ok;
}

bool HKCPTlsAgentProof(const uint8_t key[HKCP_AUTH_KEY_SIZE],
                       const uint8_t binding[HKCP_TLS_BINDING_SIZE],
                       const uint8_t serverNonce[HKCP_AUTH_NONCE_SIZE],
                       const uint8_t agentNonce[HKCP_AUTH_NONCE_SIZE],
                       uint8_t proof[HKCP_AUTH_PROOF_SIZE]) {
   return key != nullptr && proof != nullptr &&
          Hmac(key, "HKCP-TLS agent",
               {{binding, HKCP_TLS_BINDING_SIZE},
                {serverNonce, HKCP_AUTH_NONCE_SIZE},
                {agentNonce, HKCP_AUTH_NONCE_SIZE}},
               proof);
}

bool HKCPTlsServerProof(const uint8_t key[HKCP_AUTH_KEY_SIZE],
                        const uint8_t binding[HKCP_TLS_BINDING_SIZE],
                        const uint8_t serverNonce[HKCP_AUTH_NONCE_SIZE],
                        const uint8_t agentNonce[HKCP_AUTH_NONCE_SIZE],
                        const uint8_t agentProof[HKCP_AUTH_PROOF_SIZE],
                        uint8_t proof[HKCP_AUTH_PROOF_SIZE]) {
   return key != nullptr && proof != nullptr &&
          Hmac(key, "HKCP-TLS server",
               {{binding, HKCP_TLS_BINDING_SIZE},
                {serverNonce, HKCP_AUTH_NONCE_SIZE},
                {agentNonce, HKCP_AUTH_NONCE_SIZE},
                {agentProof, HKCP_AUTH_PROOF_SIZE}},
               proof);
}
