// HKCP encryption: the RSA-OAEP key exchange and AES-256-GCM frames.
//
// The API hands keys around as OpenSSL's legacy RSA type, deprecated in
// OpenSSL 3; it is converted to EVP_PKEY at once and only EVP calls follow.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "hkcp.h"

namespace {

// Result for failures that are neither the peer's nor the keys' fault
// (missing arguments, out of memory, a failing random generator).
const uint32_t kKeyExchangeFailed = 1;

const uint32_t kAesKeySize = 32;
const uint32_t kNonceSize = 12;
const uint32_t kAadSize = 8;  // code, flags and size of the encrypted frame
// Smallest plain frame: a bare header.
const uint32_t kMinEncryptedSize =
    HKCP_ENCRYPTION_HEADER_SIZE + HKCP_HEADER_SIZE + HKCP_ENCRYPTION_TAG_SIZE;
// A DER RSA public key of 16384 bits is about 2.1 KiB; nothing sane is larger.
const uint32_t kMaxPublicKeySize = 16384;
const uint32_t kMaxWrappedKeySize = 4096;
const unsigned long kRsaExponent = 65537;
// The first nonce byte's top bit tells the two directions of a session
// apart: clear on the side that asked for the key, set on the side that
// chose it. Both share one key, so without it the two random prefixes could
// meet and repeat a nonce.
const uint8_t kChooserNonceBit = 0x80;

struct PkeyFree {
   void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
   void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
};
struct CipherCtxFree {
   void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Fetched once: an implicit fetch on every frame costs more than the cipher.
const EVP_CIPHER *AesGcm() {
   static EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
   return cipher;
}

bool IsSupportedCipher(uint32_t cipher) {
   return cipher == HKCP_CIPHER_AES_256_GCM;
}

// The lowest cipher bit in the mask, or 0.
uint32_t PickCipher(uint32_t mask) {
   return mask & (~mask + 1);
}

PkeyPtr PkeyFromRsa(RSA *rsa) {
   if (rsa == nullptr)
      return nullptr;
   PkeyPtr pkey(EVP_PKEY_new());
   if (!pkey || EVP_PKEY_set1_RSA(pkey.get(), rsa) != 1)
      return nullptr;
   return pkey;
}

bool RsaHasPrivatePart(RSA *rsa) {
   const BIGNUM *n = nullptr, *e = nullptr, *d = nullptr;
   RSA_get0_key(rsa, &n, &e, &d);
   return n != nullptr && d != nullptr;
}

// OAEP with SHA-256 for the label hash and MGF1, on both sides.
bool SetOaep(EVP_PKEY_CTX *ctx) {
   return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
          EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) > 0 &&
          EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) > 0;
}

bool HasStandardExponent(const EVP_PKEY *pkey) {
   BIGNUM *e = nullptr;
   if (EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_E, &e) != 1)
      return false;
   bool standard = BN_is_word(e, kRsaExponent) == 1;
   BN_free(e);
   return standard;
}

// Parses a DER SubjectPublicKeyInfo that must be a whole RSA key of
// HKCP_MIN_RSA_BITS to HKCP_MAX_RSA_BITS with exponent 65537; null otherwise.
PkeyPtr ParsePublicKey(const uint8_t *der, uint32_t length) {
   if (length == 0 || length > kMaxPublicKeySize)
      return nullptr;
   const unsigned char *p = der;
   PkeyPtr pkey(d2i_PUBKEY(nullptr, &p, (long)length));
   if (!pkey || p != der + length || !EVP_PKEY_is_a(pkey.get(), "RSA"))
      return nullptr;
   int bits = EVP_PKEY_get_bits(pkey.get());
   if (bits < (int)HKCP_MIN_RSA_BITS || bits > (int)HKCP_MAX_RSA_BITS ||
       !HasStandardExponent(pkey.get()))
      return nullptr;
   return pkey;
}

bool Sha256(const uint8_t *data, size_t length, uint8_t digest[32]) {
   unsigned int size = 0;
   return EVP_Digest(data, length, digest, &size, EVP_sha256(), nullptr) == 1 && size == 32;
}

bool WrapKey(EVP_PKEY *pkey, const uint8_t *key, size_t keyLength, std::vector<uint8_t> *out) {
   PkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey, nullptr));
   if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 || !SetOaep(ctx.get()))
      return false;
   size_t size = 0;
   if (EVP_PKEY_encrypt(ctx.get(), nullptr, &size, key, keyLength) <= 0)
      return false;
   out->resize(size);
   if (EVP_PKEY_encrypt(ctx.get(), out->data(), &size, key, keyLength) <= 0)
      return false;
   out->resize(size);
   return true;
}

// Unwraps into key (kAesKeySize bytes); false when the bytes do not decrypt
// under this key or hold a key of another length.
bool UnwrapKey(EVP_PKEY *pkey, const uint8_t *wrapped, size_t wrappedLength, uint8_t *key) {
   PkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey, nullptr));
   if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || !SetOaep(ctx.get()))
      return false;
   size_t size = 0;
   if (EVP_PKEY_decrypt(ctx.get(), nullptr, &size, wrapped, wrappedLength) <= 0)
      return false;
   std::vector<uint8_t> plain(size);
   bool ok = EVP_PKEY_decrypt(ctx.get(), plain.data(), &size, wrapped, wrappedLength) > 0 &&
             size == kAesKeySize;
   if (ok)
      memcpy(key, plain.data(), kAesKeySize);
   OPENSSL_cleanse(plain.data(), plain.size());
   return ok;
}

// EVP takes int lengths; frames may in principle exceed INT_MAX.
bool CipherUpdate(EVP_CIPHER_CTX *ctx, uint8_t *out, const uint8_t *in, size_t length) {
   const size_t kChunk = (size_t)1 << 30;
   while (length > 0) {
      int n = (int)(length < kChunk ? length : kChunk);
      int written = 0;
      if (EVP_CipherUpdate(ctx, out, &written, in, n) != 1 || written != n)
         return false;
      out += n;
      in += n;
      length -= (size_t)n;
   }
   return true;
}

// A cipher context, keyed for the last session key it served: the AES key
// schedule is made once per key, and a frame only sets its nonce.
struct FrameCipher {
   CipherCtxPtr ctx{EVP_CIPHER_CTX_new()};
   uint64_t keyId = 0;  // 0: not keyed
};

// The cipher of one frame. The encryption context is shared by threads, the
// OpenSSL state is not, so each thread keeps one. MinGW runs a DLL's
// thread_local destructors after it has freed the thread's TLS block (the
// destructor then frees garbage), so on Windows each frame takes a cipher of
// its own.
class FrameCipherLease {
public:
#ifdef _WIN32
   FrameCipher &get() {
      return m_own;
   }

private:
   FrameCipher m_own;
#else
   FrameCipher &get() {
      thread_local FrameCipher cipher;
      return cipher;
   }
#endif
};

// Sets up cipher for one frame; encrypt selects the direction. aad is the
// frame's first 8 bytes.
EVP_CIPHER_CTX *StartFrame(FrameCipher &cipher, const HKCPEncryptionContext *context,
                           const uint8_t *nonce, const uint8_t *aad, bool encrypt) {
   EVP_CIPHER_CTX *ctx = cipher.ctx.get();
   if (ctx == nullptr || context->getKeyLength() != kAesKeySize)
      return nullptr;
   const int direction = encrypt ? 1 : 0;
   if (cipher.keyId != context->getKeyId()) {
      cipher.keyId = 0;
      const EVP_CIPHER *aes = AesGcm();
      if (aes == nullptr ||
          EVP_CipherInit_ex(ctx, aes, nullptr, nullptr, nullptr, direction) != 1 ||
          EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, (int)kNonceSize, nullptr) != 1 ||
          EVP_CipherInit_ex(ctx, nullptr, nullptr, context->getKey(), nonce, direction) != 1)
         return nullptr;
      cipher.keyId = context->getKeyId();
   } else if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, nonce, direction) != 1) {
      cipher.keyId = 0;
      return nullptr;
   }
   int dummy = 0;
   return EVP_CipherUpdate(ctx, nullptr, &dummy, aad, (int)kAadSize) == 1 ? ctx : nullptr;
}

uint32_t ReadBe32(const void *p) {
   uint32_t v;
   memcpy(&v, p, sizeof(v));
   return ntohl(v);
}

uint16_t ReadBe16(const void *p) {
   uint16_t v;
   memcpy(&v, p, sizeof(v));
   return ntohs(v);
}

}  // namespace

// ---------------------------------------------------------------- context

HKCPEncryptionContext *HKCPEncryptionContext::create(uint32_t cipher, const uint8_t *key,
                                                     uint32_t keyLength) {
   if (!IsSupportedCipher(cipher) || key == nullptr || keyLength != kAesKeySize)
      return nullptr;
   HKCPEncryptionContext *context = new HKCPEncryptionContext();
   if (RAND_bytes(context->m_noncePrefix, sizeof(context->m_noncePrefix)) != 1) {
      context->decRefCount();
      return nullptr;
   }
   context->m_noncePrefix[0] &= (uint8_t)~kChooserNonceBit;
   context->m_cipher = cipher;
   memcpy(context->m_key, key, keyLength);
   context->m_keyLength = keyLength;
   static std::atomic<uint64_t> lastKeyId{0};
   context->m_keyId = ++lastKeyId;
   return context;
}

HKCPEncryptionContext *HKCPEncryptionContext::createRandom(uint32_t cipher) {
   if (!IsSupportedCipher(cipher))
      return nullptr;
   uint8_t key[kAesKeySize];
   if (RAND_bytes(key, sizeof(key)) != 1)
      return nullptr;
   HKCPEncryptionContext *context = create(cipher, key, sizeof(key));
   OPENSSL_cleanse(key, sizeof(key));
   if (context != nullptr)
      context->m_noncePrefix[0] |= kChooserNonceBit;
   return context;
}

HKCPEncryptionContext::~HKCPEncryptionContext() {
   OPENSSL_cleanse(m_key, sizeof(m_key));
}

void HKCPEncryptionContext::nextNonce(uint8_t nonce[12]) {
   uint64_t counter = m_nonceCounter.fetch_add(1, std::memory_order_relaxed);
   memcpy(nonce, m_noncePrefix, sizeof(m_noncePrefix));
   for (int i = 0; i < 8; i++)
      nonce[4 + i] = (uint8_t)(counter >> (56 - 8 * i));
}

bool HKCPEncryptionContext::acceptSequence(const uint8_t nonce[12]) {
   uint64_t counter = 0;
   for (int i = 0; i < 8; i++)
      counter = (counter << 8) | nonce[4 + i];
   const bool fromChooser = (nonce[0] & kChooserNonceBit) != 0;
   const bool ownDirection = fromChooser == ((m_noncePrefix[0] & kChooserNonceBit) != 0);
   std::atomic<uint64_t> &next = m_nextAccepted[fromChooser ? 1 : 0];
   uint64_t expected = next.load(std::memory_order_acquire);
   SequenceFault fault = SEQUENCE_REFLECTED;
   if (!ownDirection) {
      // Exactly the next counter: a frame the path dropped leaves a gap
      // that nothing after it can close.
      if (counter == expected && !m_sequenceBroken.load(std::memory_order_acquire) &&
          next.compare_exchange_strong(expected, counter + 1, std::memory_order_acq_rel))
         return true;
      // A lost race (expected then moved past counter) is a replay too.
      fault = counter > expected ? SEQUENCE_GAP : SEQUENCE_REPLAYED;
   }
   if (!m_faultClaimed.exchange(true, std::memory_order_acq_rel)) {
      m_faultExpected = expected;
      m_faultReceived = counter;
      m_fault.store(fault, std::memory_order_release);
   }
   m_sequenceBroken.store(true, std::memory_order_release);
   return false;
}

HKCPEncryptionContext::SequenceFault HKCPEncryptionContext::sequenceFault(
    uint64_t *expected, uint64_t *received) const {
   SequenceFault fault = (SequenceFault)m_fault.load(std::memory_order_acquire);
   if (expected != nullptr)
      *expected = fault != SEQUENCE_OK ? m_faultExpected : 0;
   if (received != nullptr)
      *received = fault != SEQUENCE_OK ? m_faultReceived : 0;
   return fault;
}

bool HKCPEncryptionContext::channelBinding(uint8_t binding[HKCP_CHANNEL_BINDING_SIZE]) const {
   static const char kInfo[] = "HKCP channel binding";
   if (m_keyLength != kAesKeySize)
      return false;
   std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
   size_t length = HKCP_CHANNEL_BINDING_SIZE;
   return ctx && EVP_PKEY_derive_init(ctx.get()) > 0 &&
          EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) > 0 &&
          EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), m_key, (int)m_keyLength) > 0 &&
          EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), (const unsigned char *)kInfo,
                                      (int)(sizeof(kInfo) - 1)) > 0 &&
          EVP_PKEY_derive(ctx.get(), binding, &length) > 0 && length == HKCP_CHANNEL_BINDING_SIZE;
}

// ---------------------------------------------------------------- key exchange

bool HKCPRequestKeyFingerprint(const CSCPMessage *request,
                               uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]) {
   if (request == nullptr || fingerprint == nullptr)
      return false;
   uint32_t length = request->GetVariableBinary(VID_PUBLIC_KEY, nullptr, 0);
   if (length == 0 || length > kMaxPublicKeySize)
      return false;
   std::vector<uint8_t> der(length);
   request->GetVariableBinary(VID_PUBLIC_KEY, der.data(), length);
   return Sha256(der.data(), der.size(), fingerprint);
}

std::string HKCPFingerprintText(const uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]) {
   static const char kDigits[] = "0123456789abcdef";
   std::string text;
   for (uint32_t i = 0; fingerprint != nullptr && i < HKCP_KEY_FINGERPRINT_SIZE; i++) {
      text.push_back(kDigits[fingerprint[i] >> 4]);
      text.push_back(kDigits[fingerprint[i] & 0x0F]);
   }
   return text;
}

bool HKCPKeyFingerprint(RSA *key, uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]) {
   PkeyPtr pkey = PkeyFromRsa(key);
   if (!pkey || fingerprint == nullptr)
      return false;
   unsigned char *der = nullptr;
   int length = i2d_PUBKEY(pkey.get(), &der);
   bool ok = length > 0 && Sha256(der, (size_t)length, fingerprint);
   OPENSSL_free(der);
   return ok;
}

void PrepareKeyRequestMsg(CSCPMessage *message, RSA *serverKey, bool useX509Format) {
   if (message == nullptr)
      return;
   message->SetCode(CMD_REQUEST_SESSION_KEY);
   message->SetVariable(VID_SUPPORTED_ENCRYPTION, (uint32_t)HKCP_SUPPORTED_CIPHERS);
   // Without a usable key the request goes out without one and the peer
   // answers RCC_INVALID_PUBLIC_KEY.
   PkeyPtr pkey = PkeyFromRsa(serverKey);
   if (!pkey)
      return;
   unsigned char *der = nullptr;
   int length = i2d_PUBKEY(pkey.get(), &der);
   if (length > 0)
      message->SetVariable(VID_PUBLIC_KEY, der, (uint32_t)length);
   OPENSSL_free(der);
}

uint32_t SetupEncryptionContext(CSCPMessage *reply, HKCPEncryptionContext **context,
                                CSCPMessage **response, RSA *privateKey, int protocolVersion) {
   // On failure *context is left as it was: the receiver may still be
   // decrypting with it.
   if (reply == nullptr || context == nullptr)
      return kKeyExchangeFailed;
   uint32_t rcc = reply->GetVariableLong(VID_RCC);
   if (rcc != 0)
      return rcc;

   uint32_t cipher = reply->GetVariableLong(VID_CIPHER);
   if (!IsSupportedCipher(cipher))
      return RCC_NO_CIPHERS;

   if (privateKey == nullptr || !RsaHasPrivatePart(privateKey))
      return RCC_INVALID_PUBLIC_KEY;
   PkeyPtr pkey = PkeyFromRsa(privateKey);
   if (!pkey)
      return RCC_INVALID_PUBLIC_KEY;

   if (reply->IsVariableExist(VID_KEY_LENGTH) &&
       reply->GetVariableShort(VID_KEY_LENGTH) != kAesKeySize)
      return RCC_INVALID_SESSION_KEY;
   uint32_t wrappedLength = reply->GetVariableBinary(VID_SESSION_KEY, nullptr, 0);
   if (wrappedLength == 0 || wrappedLength > kMaxWrappedKeySize)
      return RCC_INVALID_SESSION_KEY;
   std::vector<uint8_t> wrapped(wrappedLength);
   reply->GetVariableBinary(VID_SESSION_KEY, wrapped.data(), wrappedLength);

   uint8_t key[kAesKeySize];
   if (!UnwrapKey(pkey.get(), wrapped.data(), wrapped.size(), key))
      return RCC_INVALID_SESSION_KEY;
   HKCPEncryptionContext *created = HKCPEncryptionContext::create(cipher, key, sizeof(key));
   OPENSSL_cleanse(key, sizeof(key));
   if (created == nullptr)
      return kKeyExchangeFailed;
   // The receiver thread reads *context for every frame without a lock.
   __atomic_store_n(context, created, __ATOMIC_RELEASE);
   return 0;
}

uint32_t HKCPAnswerKeyRequest(const CSCPMessage *request, CSCPMessage *reply,
                              HKCPEncryptionContext **context, uint32_t acceptedCiphers) {
   if (context != nullptr)
      *context = nullptr;
   if (request == nullptr || reply == nullptr || context == nullptr)
      return kKeyExchangeFailed;
   reply->SetCode(CMD_SESSION_KEY);
   reply->SetId(request->GetId());

   uint32_t rcc = 0;
   uint32_t cipher = PickCipher(request->GetVariableLong(VID_SUPPORTED_ENCRYPTION) &
                                acceptedCiphers & HKCP_SUPPORTED_CIPHERS);
   PkeyPtr pkey;
   HKCPEncryptionContext *created = nullptr;
   std::vector<uint8_t> wrapped;
   if (cipher == 0) {
      rcc = RCC_NO_CIPHERS;
   } else {
      uint32_t derLength = request->GetVariableBinary(VID_PUBLIC_KEY, nullptr, 0);
      if (derLength > 0 && derLength <= kMaxPublicKeySize) {
         std::vector<uint8_t> der(derLength);
         request->GetVariableBinary(VID_PUBLIC_KEY, der.data(), derLength);
         pkey = ParsePublicKey(der.data(), derLength);
      }
      if (!pkey) {
         rcc = RCC_INVALID_PUBLIC_KEY;
      } else {
         created = HKCPEncryptionContext::createRandom(cipher);
         if (created == nullptr)
            rcc = kKeyExchangeFailed;
         else if (!WrapKey(pkey.get(), created->getKey(), created->getKeyLength(), &wrapped))
            rcc = RCC_INVALID_PUBLIC_KEY;
      }
   }

   reply->SetVariable(VID_RCC, rcc);
   if (rcc != 0) {
      if (created != nullptr)
         created->decRefCount();
      return rcc;
   }
   reply->SetVariable(VID_CIPHER, cipher);
   reply->SetVariable(VID_KEY_LENGTH, (uint16_t)created->getKeyLength());
   reply->SetVariable(VID_SESSION_KEY, wrapped.data(), (uint32_t)wrapped.size());
   *context = created;
   return 0;
}

// ---------------------------------------------------------------- frames

CSCP_ENCRYPTED_MESSAGE *CSCPEncryptMessage(HKCPEncryptionContext *context,
                                           const CSCP_MESSAGE *frame) {
   if (context == nullptr || frame == nullptr)
      return nullptr;
   uint32_t plainSize = ReadBe32(&frame->dwSize);
   const uint32_t overhead = HKCP_ENCRYPTION_HEADER_SIZE + HKCP_ENCRYPTION_TAG_SIZE;
   if (plainSize < HKCP_HEADER_SIZE || plainSize > UINT32_MAX - overhead)
      return nullptr;
   uint32_t totalSize = plainSize + overhead;

   auto *out = static_cast<CSCP_ENCRYPTED_MESSAGE *>(malloc(totalSize));
   if (out == nullptr)
      return nullptr;
   uint16_t code = htons(CMD_ENCRYPTED_MESSAGE), flags = htons(MF_ENCRYPTED);
   uint32_t size = htonl(totalSize);
   memcpy(&out->wCode, &code, sizeof(code));
   memcpy(&out->wFlags, &flags, sizeof(flags));
   memcpy(&out->dwSize, &size, sizeof(size));
   context->nextNonce(out->nonce);

   FrameCipherLease cipher;
   EVP_CIPHER_CTX *ctx = StartFrame(cipher.get(), context, out->nonce, (const uint8_t *)out, true);
   int finalLength = 0;
   bool ok = ctx != nullptr && CipherUpdate(ctx, out->data, (const uint8_t *)frame, plainSize) &&
             EVP_EncryptFinal_ex(ctx, out->data + plainSize, &finalLength) == 1 &&
             finalLength == 0 &&
             EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, (int)HKCP_ENCRYPTION_TAG_SIZE,
                                 out->data + plainSize) == 1;
   if (!ok) {
      free(out);
      return nullptr;
   }
   return out;
}

CSCP_MESSAGE *CSCPDecryptMessage(HKCPEncryptionContext *context,
                                 const CSCP_ENCRYPTED_MESSAGE *frame, uint8_t *buffer,
                                 uint32_t capacity) {
   if (context == nullptr || frame == nullptr || buffer == nullptr)
      return nullptr;
   // Only the fixed 8 header bytes are read before the size is judged; the
   // frame is then read up to its size, which the caller guarantees to hold.
   if (ReadBe16(&frame->wCode) != CMD_ENCRYPTED_MESSAGE ||
       (ReadBe16(&frame->wFlags) & MF_ENCRYPTED) == 0)
      return nullptr;
   uint32_t totalSize = ReadBe32(&frame->dwSize);
   if (totalSize < kMinEncryptedSize)
      return nullptr;
   uint32_t plainSize = totalSize - HKCP_ENCRYPTION_HEADER_SIZE - HKCP_ENCRYPTION_TAG_SIZE;
   if (plainSize > capacity)
      return nullptr;

   FrameCipherLease cipher;
   EVP_CIPHER_CTX *ctx =
       StartFrame(cipher.get(), context, frame->nonce, (const uint8_t *)frame, false);
   if (ctx == nullptr)
      return nullptr;
   // GCM wants the expected tag set as writable memory.
   uint8_t tag[HKCP_ENCRYPTION_TAG_SIZE];
   memcpy(tag, frame->data + plainSize, sizeof(tag));
   int finalLength = 0;
   bool ok = CipherUpdate(ctx, buffer, frame->data, plainSize) &&
             EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, (int)sizeof(tag), tag) == 1 &&
             EVP_DecryptFinal_ex(ctx, buffer + plainSize, &finalLength) == 1 && finalLength == 0;
   // The sender encrypts exactly one whole plain frame: its own size must
   // match, and it must not claim to be encrypted again.
   if (ok && (ReadBe32(buffer + 4) != plainSize || (ReadBe16(buffer + 2) & MF_ENCRYPTED) != 0))
      ok = false;
   // Authentic, but perhaps a copy of an earlier frame: only a rising
   // counter is taken.
   if (ok && !context->acceptSequence(frame->nonce))
      ok = false;
   if (!ok) {
      // Never leave unauthenticated plaintext behind.
      OPENSSL_cleanse(buffer, plainSize);
      return nullptr;
   }
   return reinterpret_cast<CSCP_MESSAGE *>(buffer);
}

bool HKCPWriteFrame(SOCKET hSocket, const CSCP_MESSAGE *frame, HKCPEncryptionContext *context) {
   if (frame == nullptr)
      return false;
   if (context == nullptr) {
      uint32_t size = ReadBe32(&frame->dwSize);
      return SendEx(hSocket, frame, size, 0, nullptr) == (int)size;
   }
   CSCP_ENCRYPTED_MESSAGE *encrypted = CSCPEncryptMessage(context, frame);
   if (encrypted == nullptr)
      return false;
   uint32_t size = ReadBe32(&encrypted->dwSize);
   bool ok = SendEx(hSocket, encrypted, size, 0, nullptr) == (int)size;
   free(encrypted);
   return ok;
}
