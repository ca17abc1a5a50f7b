// The cryptography of the User-based Security Model (RFC 3414, 3826, 7860),
// all of it through OpenSSL (internal to libhksnmp): password to key, key
// localisation, the truncated HMAC of a message, and the privacy ciphers.
#ifndef HKSNMP_USM_CRYPTO_H
#define HKSNMP_USM_CRYPTO_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hksnmp {

using Bytes = std::vector<uint8_t>;

// Length of the method's digest (the key length, 16 to 64), and of the
// truncated HMAC carried in msgAuthenticationParameters (12 to 48); 0 for an
// unknown method or SNMP_AUTH_NONE.
size_t UsmDigestLength(uint32_t authMethod);
size_t UsmAuthParamLength(uint32_t authMethod);
// 8 for DES and AES (the salt carried in msgPrivacyParameters); 0 otherwise.
size_t UsmPrivParamLength(uint32_t privMethod);

// Ku: the digest of the password repeated to 1 MiB. False for an empty
// password or an unknown method.
bool UsmPasswordToKey(uint32_t authMethod, const uint8_t *password, size_t length, Bytes *key);
// Kul = H(Ku | engineId | Ku).
bool UsmLocalizeKey(uint32_t authMethod, const Bytes &masterKey, const uint8_t *engineId,
                    size_t engineIdLength, Bytes *key);
// The HMAC of data with key, truncated to UsmAuthParamLength (written to
// out, which holds that many bytes).
bool UsmSign(uint32_t authMethod, const Bytes &key, const uint8_t *data, size_t length,
             uint8_t *out);

// Encrypts the scoped PDU. salt is the sender's 64-bit counter; *privParams
// receives the 8 bytes to send in msgPrivacyParameters. DES pads to its block.
bool UsmEncrypt(uint32_t privMethod, const Bytes &privKey, uint32_t boots, uint32_t time,
                uint64_t salt, const uint8_t *plain, size_t length, Bytes *cipher,
                uint8_t privParams[8]);
// Decrypts with the privacy parameters received. DES needs a whole number
// of blocks; the plain text keeps any padding.
bool UsmDecrypt(uint32_t privMethod, const Bytes &privKey, uint32_t boots, uint32_t time,
                const uint8_t *privParams, size_t privParamsLength, const uint8_t *cipher,
                size_t length, Bytes *plain);

// A fresh random 64-bit value (the start of a salt counter).
uint64_t UsmRandom64();

}  // namespace hksnmp

#endif
