// USM cryptography through OpenSSL's EVP interface.
//
// Single DES lives in OpenSSL 3's legacy provider; it is fetched from a
// library context of our own so that the process's default context keeps
// whatever providers its owner chose.
#include "usm_crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <cstring>
#include <mutex>

#include "hksnmp.h"

namespace hksnmp {

namespace {

const EVP_MD *Digest(uint32_t authMethod) {
   switch (authMethod) {
      case SNMP_AUTH_MD5:
         return EVP_md5();
      case SNMP_AUTH_SHA1:
         return EVP_sha1();
      case SNMP_AUTH_SHA224:
         return EVP_sha224();
      case SNMP_AUTH_SHA256:
         return EVP_sha256();
      case SNMP_AUTH_SHA384:
         return EVP_sha384();
      case SNMP_AUTH_SHA512:
         return EVP_sha512();
      default:
         return nullptr;
   }
}

// DES-CBC from the legacy provider, fetched once; null when unavailable.
const EVP_CIPHER *DesCbc() {
   static std::once_flag once;
   static EVP_CIPHER *cipher = nullptr;
   std::call_once(once, [] {
      OSSL_LIB_CTX *context = OSSL_LIB_CTX_new();
      if (context != nullptr && OSSL_PROVIDER_load(context, "legacy") != nullptr &&
          OSSL_PROVIDER_load(context, "default") != nullptr) {
         cipher = EVP_CIPHER_fetch(context, "DES-CBC", nullptr);
      }
      // The context lives as long as the process: the cipher refers to it.
   });
   return cipher;
}

// Runs one whole-buffer cipher operation without padding.
bool RunCipher(const EVP_CIPHER *type, bool encrypt, const uint8_t *key, const uint8_t *iv,
               const uint8_t *in, size_t length, uint8_t *out) {
   if (type == nullptr || length > INT32_MAX) {
      return false;
   }
   EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
   if (ctx == nullptr) {
      return false;
   }
   int written = 0, final = 0;
   bool ok = EVP_CipherInit_ex(ctx, type, nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
             EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
             EVP_CipherUpdate(ctx, out, &written, in, static_cast<int>(length)) == 1 &&
             EVP_CipherFinal_ex(ctx, out + written, &final) == 1 &&
             static_cast<size_t>(written + final) == length;
   EVP_CIPHER_CTX_free(ctx);
   return ok;
}

void PutUInt32(uint8_t *out, uint32_t value) {
   out[0] = static_cast<uint8_t>(value >> 24);
   out[1] = static_cast<uint8_t>(value >> 16);
   out[2] = static_cast<uint8_t>(value >> 8);
   out[3] = static_cast<uint8_t>(value);
}

// The IV of a message: DES XORs the salt into the key's last 8 bytes
// (RFC 3414 8.1.1.1), AES puts boots, time and salt together (RFC 3826 3.1.2.1).
bool MakeIv(uint32_t privMethod, const Bytes &privKey, uint32_t boots, uint32_t time,
            const uint8_t salt[8], uint8_t iv[16]) {
   if (privMethod == SNMP_PRIV_DES) {
      if (privKey.size() < 16) {
         return false;
      }
      for (int i = 0; i < 8; i++) {
         iv[i] = privKey[8 + i] ^ salt[i];
      }
      return true;
   }
   if (privMethod == SNMP_PRIV_AES128) {
      if (privKey.size() < 16) {
         return false;
      }
      PutUInt32(iv, boots);
      PutUInt32(iv + 4, time);
      memcpy(iv + 8, salt, 8);
      return true;
   }
   return false;
}

const EVP_CIPHER *Cipher(uint32_t privMethod) {
   return privMethod == SNMP_PRIV_DES ? DesCbc() : EVP_aes_128_cfb128();
}

}  // namespace

size_t UsmDigestLength(uint32_t authMethod) {
   const EVP_MD *md = Digest(authMethod);
   return md != nullptr ? static_cast<size_t>(EVP_MD_get_size(md)) : 0;
}

size_t UsmAuthParamLength(uint32_t authMethod) {
   switch (authMethod) {
      case SNMP_AUTH_MD5:
      case SNMP_AUTH_SHA1:
         return 12;
      case SNMP_AUTH_SHA224:
         return 16;
      case SNMP_AUTH_SHA256:
         return 24;
      case SNMP_AUTH_SHA384:
         return 32;
      case SNMP_AUTH_SHA512:
         return 48;
      default:
         return 0;
   }
}

size_t UsmPrivParamLength(uint32_t privMethod) {
   return (privMethod == SNMP_PRIV_DES || privMethod == SNMP_PRIV_AES128) ? 8 : 0;
}

bool UsmPasswordToKey(uint32_t authMethod, const uint8_t *password, size_t length, Bytes *key) {
   const EVP_MD *md = Digest(authMethod);
   if (md == nullptr || password == nullptr || length == 0) {
      return false;
   }
   static constexpr size_t kExpandedLength = 1048576;
   EVP_MD_CTX *ctx = EVP_MD_CTX_new();
   if (ctx == nullptr) {
      return false;
   }
   bool ok = EVP_DigestInit_ex(ctx, md, nullptr) == 1;
   uint8_t block[64];
   size_t index = 0;
   for (size_t done = 0; ok && done < kExpandedLength; done += sizeof(block)) {
      for (uint8_t &b : block) {
         b = password[index++ % length];
      }
      ok = EVP_DigestUpdate(ctx, block, sizeof(block)) == 1;
   }
   unsigned int size = 0;
   key->assign(EVP_MAX_MD_SIZE, 0);
   ok = ok && EVP_DigestFinal_ex(ctx, key->data(), &size) == 1;
   EVP_MD_CTX_free(ctx);
   key->resize(ok ? size : 0);
   return ok;
}

bool UsmLocalizeKey(uint32_t authMethod, const Bytes &masterKey, const uint8_t *engineId,
                    size_t engineIdLength, Bytes *key) {
   const EVP_MD *md = Digest(authMethod);
   if (md == nullptr || masterKey.empty()) {
      return false;
   }
   Bytes input(masterKey);
   input.insert(input.end(), engineId, engineId + engineIdLength);
   input.insert(input.end(), masterKey.begin(), masterKey.end());
   unsigned int size = 0;
   key->assign(EVP_MAX_MD_SIZE, 0);
   bool ok = EVP_Digest(input.data(), input.size(), key->data(), &size, md, nullptr) == 1;
   key->resize(ok ? size : 0);
   return ok;
}

bool UsmSign(uint32_t authMethod, const Bytes &key, const uint8_t *data, size_t length,
             uint8_t *out) {
   const EVP_MD *md = Digest(authMethod);
   if (md == nullptr || key.empty() || key.size() > INT32_MAX) {
      return false;
   }
   uint8_t mac[EVP_MAX_MD_SIZE];
   unsigned int size = 0;
   if (HMAC(md, key.data(), static_cast<int>(key.size()), data, length, mac, &size) == nullptr) {
      return false;
   }
   memcpy(out, mac, UsmAuthParamLength(authMethod));
   return true;
}

bool UsmEncrypt(uint32_t privMethod, const Bytes &privKey, uint32_t boots, uint32_t time,
                uint64_t salt, const uint8_t *plain, size_t length, Bytes *cipher,
                uint8_t privParams[8]) {
   uint8_t saltBytes[8];
   if (privMethod == SNMP_PRIV_DES) {
      // Boots and the low half of the counter, so salts never repeat within
      // one boot of the engine.
      PutUInt32(saltBytes, boots);
      PutUInt32(saltBytes + 4, static_cast<uint32_t>(salt));
   } else {
      PutUInt32(saltBytes, static_cast<uint32_t>(salt >> 32));
      PutUInt32(saltBytes + 4, static_cast<uint32_t>(salt));
   }
   uint8_t iv[16];
   if (!MakeIv(privMethod, privKey, boots, time, saltBytes, iv)) {
      return false;
   }
   size_t padded = privMethod == SNMP_PRIV_DES ? (length + 7) / 8 * 8 : length;
   Bytes input(plain, plain + length);
   input.resize(padded, 0);
   cipher->assign(padded, 0);
   if (!RunCipher(Cipher(privMethod), true, privKey.data(), iv, input.data(), padded,
                  cipher->data())) {
      return false;
   }
   memcpy(privParams, saltBytes, 8);
   return true;
}

bool UsmDecrypt(uint32_t privMethod, const Bytes &privKey, uint32_t boots, uint32_t time,
                const uint8_t *privParams, size_t privParamsLength, const uint8_t *cipher,
                size_t length, Bytes *plain) {
   uint8_t iv[16];
   if (privParamsLength != 8 || length == 0 || (privMethod == SNMP_PRIV_DES && length % 8 != 0) ||
       !MakeIv(privMethod, privKey, boots, time, privParams, iv)) {
      return false;
   }
   plain->assign(length, 0);
   return RunCipher(Cipher(privMethod), false, privKey.data(), iv, cipher, length, plain->data());
}

uint64_t UsmRandom64() {
   uint64_t value = 0;
   if (RAND_bytes(reinterpret_cast<uint8_t *>(&value), sizeof(value)) != 1) {
      value = 0;
   }
   return value;
}

}  // namespace hksnmp
