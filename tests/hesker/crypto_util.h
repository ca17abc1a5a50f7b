// Helpers of the encryption and file-transfer tests: RSA keys made once per
// run, loopback TCP pairs, and a frame reader over RecvHKCPMessage.
#ifndef TESTS_HESKER_CRYPTO_UTIL_H
#define TESTS_HESKER_CRYPTO_UTIL_H

#include <cstdint>
#include <memory>
#include <vector>

#include "hkcp.h"

namespace crypto_test {

// Owns one reference on a context.
struct ContextRelease {
   void operator()(HKCPEncryptionContext *c) const {
      if (c != nullptr)
         c->decRefCount();
   }
};
using ContextPtr = std::unique_ptr<HKCPEncryptionContext, ContextRelease>;

// Both ends of one key: the side that chose it and the side that asked.
// Each refuses frames of its own direction, so a frame goes from one to the
// other, never back to the context that encrypted it.
struct Channel {
   ContextPtr chooser{HKCPEncryptionContext::createRandom(HKCP_CIPHER_AES_256_GCM)};
   ContextPtr asker{HKCPEncryptionContext::create(HKCP_CIPHER_AES_256_GCM, chooser->getKey(),
                                                  chooser->getKeyLength())};
};

// Two distinct 2048-bit key pairs, generated on first use and kept for the
// run; callers do not free them.
RSA *ServerKey();
RSA *OtherKey();
// A new key holding only the public half of key; free with FreeKey.
RSA *PublicHalf(RSA *key);
void FreeKey(RSA *key);
// The DER SubjectPublicKeyInfo of key.
std::vector<uint8_t> PublicKeyDer(RSA *key);
// A fresh DER RSA public key of the given size, for key-size limits.
std::vector<uint8_t> GeneratePublicKeyDer(int bits);

// Two connected TCP sockets on 127.0.0.1, closed by the destructor.
struct LoopbackPair {
   LoopbackPair();
   ~LoopbackPair();
   LoopbackPair(const LoopbackPair &) = delete;
   LoopbackPair &operator=(const LoopbackPair &) = delete;
   bool ok() const { return a != INVALID_SOCKET && b != INVALID_SOCKET; }
   SOCKET a = INVALID_SOCKET;
   SOCKET b = INVALID_SOCKET;
};

// Reads frames from one socket with its own receive state and buffers of
// HKCP_MAX_FRAME_SIZE bytes.
class FrameReader {
public:
   explicit FrameReader(SOCKET s);
   ~FrameReader();
   FrameReader(const FrameReader &) = delete;
   FrameReader &operator=(const FrameReader &) = delete;
   // RecvHKCPMessage's result; the frame is in frame() when it is > 3.
   int next(HKCPEncryptionContext **context, uint32_t timeoutMs = 5000);
   const CSCP_MESSAGE *frame() const { return m_frame; }
   // The frame decoded as a message (caller deletes).
   CSCPMessage *message() const { return new CSCPMessage(m_frame); }

private:
   SOCKET m_socket;
   CSCP_BUFFER *m_state;
   CSCP_MESSAGE *m_frame;
   uint8_t *m_decryptBuffer;
};

// Writes a message whole, encrypted when context is set; true on success.
bool SendMessage(SOCKET s, const CSCPMessage &message, HKCPEncryptionContext *context,
                 CriticalSection *lock = nullptr);

// Hex text of bytes, for readable digest comparisons.
std::string Hex(const uint8_t *bytes, size_t length);

}  // namespace crypto_test

#endif
