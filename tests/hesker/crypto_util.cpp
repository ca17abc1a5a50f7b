// The test keys use the RSA type of the library's API, which OpenSSL 3
// deprecates.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "crypto_util.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace crypto_test {

namespace {

RSA *Generate(int bits) {
   EVP_PKEY *pkey = EVP_RSA_gen((unsigned)bits);
   if (pkey == nullptr)
      abort();
   RSA *rsa = EVP_PKEY_get1_RSA(pkey);
   EVP_PKEY_free(pkey);
   if (rsa == nullptr)
      abort();
   return rsa;
}

}  // namespace

RSA *ServerKey() {
   static RSA *key = Generate(2048);
   return key;
}

RSA *OtherKey() {
   static RSA *key = Generate(2048);
   return key;
}

RSA *PublicHalf(RSA *key) {
   return RSAPublicKey_dup(key);
}

void FreeKey(RSA *key) {
   RSA_free(key);
}

std::vector<uint8_t> PublicKeyDer(RSA *key) {
   unsigned char *der = nullptr;
   int length = i2d_RSA_PUBKEY(key, &der);
   std::vector<uint8_t> out;
   if (length > 0)
      out.assign(der, der + length);
   OPENSSL_free(der);
   return out;
}

std::vector<uint8_t> GeneratePublicKeyDer(int bits) {
   RSA *rsa = Generate(bits);
   std::vector<uint8_t> der = PublicKeyDer(rsa);
   RSA_free(rsa);
   return der;
}

LoopbackPair::LoopbackPair() {
   uint16_t port = 0;
   SOCKET listener = CreateLoopbackListener(&port);
   if (listener == INVALID_SOCKET)
      return;
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   addr.sin_port = htons(port);
   SOCKET client = CreateTcpSocket();
   if (client != INVALID_SOCKET &&
       SocketConnect(client, (sockaddr *)&addr, sizeof(addr), INFINITE) == 0) {
      SOCKET server = SocketAccept(listener);
      if (server != INVALID_SOCKET) {
         a = client;
         b = server;
         client = INVALID_SOCKET;
      }
   }
   if (client != INVALID_SOCKET)
      closesocket(client);
   closesocket(listener);
}

LoopbackPair::~LoopbackPair() {
   if (a != INVALID_SOCKET)
      closesocket(a);
   if (b != INVALID_SOCKET)
      closesocket(b);
}

FrameReader::FrameReader(SOCKET s)
    : m_socket(s),
      m_state(static_cast<CSCP_BUFFER *>(malloc(sizeof(CSCP_BUFFER)))),
      m_frame(static_cast<CSCP_MESSAGE *>(malloc(HKCP_MAX_FRAME_SIZE))),
      m_decryptBuffer(static_cast<uint8_t *>(malloc(HKCP_MAX_FRAME_SIZE))) {
   RecvHKCPMessage(0, nullptr, m_state, 0, nullptr, nullptr, 0);
}

FrameReader::~FrameReader() {
   free(m_state);
   free(m_frame);
   free(m_decryptBuffer);
}

int FrameReader::next(HKCPEncryptionContext **context, uint32_t timeoutMs) {
   return RecvHKCPMessage(m_socket, m_frame, m_state, HKCP_MAX_FRAME_SIZE, context, m_decryptBuffer,
                          timeoutMs);
}

bool SendMessage(SOCKET s, const CSCPMessage &message, HKCPEncryptionContext *context,
                 CriticalSection *lock) {
   CSCP_MESSAGE *frame = message.CreateMessage();
   if (frame == nullptr)
      return false;
   // Encrypted under the lock, as every sender must: the receiver takes
   // only rising nonces.
   bool ok;
   if (lock != nullptr) {
      std::lock_guard<CriticalSection> guard(*lock);
      ok = HKCPWriteFrame(s, frame, context);
   } else {
      ok = HKCPWriteFrame(s, frame, context);
   }
   free(frame);
   return ok;
}

std::string Hex(const uint8_t *bytes, size_t length) {
   static const char kDigits[] = "0123456789abcdef";
   std::string out;
   for (size_t i = 0; i < length; i++) {
      out.push_back(kDigits[bytes[i] >> 4]);
      out.push_back(kDigits[bytes[i] & 15]);
   }
   return out;
}

}  // namespace crypto_test
