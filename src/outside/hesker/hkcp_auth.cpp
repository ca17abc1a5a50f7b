// The channel-bound authentication method: the proof key derived from the
// shared secret, and the two HMAC-SHA-256 proofs over a transcript of the
// channel binding and the nonces.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <initializer_list>

#include "hkcp.h"

namespace {

// Fixed salt: the derivation must not need a round trip, and the key never
// leaves either side. Changing it or the count changes the wire protocol.
const char kKeySalt[] = "HKCP-HMAC-SHA256 secret";
const int kKeyIterations = 20000;

const char kServerLabel[] = "HKCP-HMAC-SHA256 server";
const char kAgentLabel[] = "HKCP-HMAC-SHA256 agent";

struct Part {
   const void *data;
   size_t length;
};

// HMAC-SHA-256 under key of label, the channel binding and the parts, in
// this order.
bool Proof(const uint8_t key[HKCP_AUTH_KEY_SIZE], const uint8_t binding[HKCP_CHANNEL_BINDING_SIZE],
           const char *label, std::initializer_list<Part> parts,
           uint8_t proof[HKCP_AUTH_PROOF_SIZE]) {
   if (key == nullptr || binding == nullptr || proof == nullptr)
      return false;
   EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
   EVP_MAC_CTX *ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
   char digest[] = "SHA256";
   OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0),
                          OSSL_PARAM_construct_end()};
   size_t length = 0;
   bool ok = ctx != nullptr && EVP_MAC_init(ctx, key, HKCP_AUTH_KEY_SIZE, params) == 1 &&
             EVP_MAC_update(ctx, (const unsigned char *)label, strlen(label)) == 1 &&
             EVP_MAC_update(ctx, binding, HKCP_CHANNEL_BINDING_SIZE) == 1;
   for (const Part &part : parts) {
      if (ok && (part.data == nullptr ||
                 EVP_MAC_update(ctx, (const unsigned char *)part.data, part.length) != 1))
         ok = false;
   }
   ok = ok && EVP_MAC_final(ctx, proof, &length, HKCP_AUTH_PROOF_SIZE) == 1 &&
        length == HKCP_AUTH_PROOF_SIZE;
   EVP_MAC_CTX_free(ctx);
   EVP_MAC_free(mac);
   return ok;
}

}  // namespace

bool HKCPDeriveAuthKey(const char *secret, size_t length, uint8_t key[HKCP_AUTH_KEY_SIZE]) {
   static const char kEmpty = '\0';
   if (key == nullptr || (secret == nullptr && length > 0))
      return false;
   return PKCS5_PBKDF2_HMAC(secret != nullptr ? secret : &kEmpty, (int)length,
                            (const unsigned char *)kKeySalt, (int)(sizeof(kKeySalt) - 1),
                            kKeyIterations, EVP_sha256(), (int)HKCP_AUTH_KEY_SIZE, key) == 1;
}

bool HKCPServerAuthProof(const uint8_t key[HKCP_AUTH_KEY_SIZE],
                         const uint8_t binding[HKCP_CHANNEL_BINDING_SIZE],
                         const uint8_t serverNonce[HKCP_AUTH_NONCE_SIZE],
                         uint8_t proof[HKCP_AUTH_PROOF_SIZE]) {
   return Proof(key, binding, kServerLabel, {{serverNonce, HKCP_AUTH_NONCE_SIZE}}, proof);
}

bool HKCPAgentAuthProof(const uint8_t key[HKCP_AUTH_KEY_SIZE],
                        const uint8_t binding[HKCP_CHANNEL_BINDING_SIZE],
                        const uint8_t serverNonce[HKCP_AUTH_NONCE_SIZE],
                        const uint8_t agentNonce[HKCP_AUTH_NONCE_SIZE],
                        const uint8_t serverProof[HKCP_AUTH_PROOF_SIZE],
                        uint8_t proof[HKCP_AUTH_PROOF_SIZE]) {
   return Proof(key, binding, kAgentLabel,
                {{serverNonce, HKCP_AUTH_NONCE_SIZE},
                 {agentNonce, HKCP_AUTH_NONCE_SIZE},
                 {serverProof, HKCP_AUTH_PROOF_SIZE}},
                proof);
}
