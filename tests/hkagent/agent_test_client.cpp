// The RSA key type of the library's API is deprecated in OpenSSL 3.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "agent_test_client.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <cstring>

namespace hkagent_test {

RSA *TestServerKey() {
   static RSA *key = [] {
      EVP_PKEY *pkey = EVP_RSA_gen(2048);
      RSA *rsa = pkey ? EVP_PKEY_get1_RSA(pkey) : nullptr;
      EVP_PKEY_free(pkey);
      if (rsa == nullptr)
         abort();
      return rsa;
   }();
   return key;
}

RawClient::RawClient()
    : m_state(static_cast<CSCP_BUFFER *>(malloc(sizeof(CSCP_BUFFER)))),
      m_frame(static_cast<uint8_t *>(malloc(HKCP_MAX_FRAME_SIZE))),
      m_decrypt(static_cast<uint8_t *>(malloc(HKCP_MAX_FRAME_SIZE))) {
   RecvHKCPMessage(0, nullptr, m_state, 0, nullptr, nullptr, 0);
}

RawClient::~RawClient() {
   if (m_socket != INVALID_SOCKET)
      closesocket(m_socket);
   if (m_context != nullptr)
      m_context->decRefCount();
   free(m_state);
   free(m_frame);
   free(m_decrypt);
}

bool RawClient::connect(uint16_t port, uint32_t fromAddress) {
   m_socket = CreateTcpSocket();
   if (m_socket == INVALID_SOCKET)
      return false;
   if (fromAddress != 0) {
      struct sockaddr_in local = {};
      local.sin_family = AF_INET;
      local.sin_addr.s_addr = htonl(fromAddress);
      if (bind(m_socket, (struct sockaddr *)&local, sizeof(local)) != 0)
         return false;
   }
   struct sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_port = htons(port);
   sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   return ConnectEx(m_socket, (struct sockaddr *)&sa, sizeof(sa), 5000) == 0;
}

bool RawClient::probeVersion(int *version) {
   return HKCPGetPeerProtocolVersion(m_socket, version, nullptr);
}

bool RawClient::sendBytes(const void *data, size_t size) {
   return SendEx(m_socket, data, size, 0, nullptr) == (int)size;
}

bool RawClient::send(const CSCPMessage &message) {
   CSCP_MESSAGE *frame = message.CreateMessage();
   if (frame == nullptr)
      return false;
   bool ok;
   if (m_context != nullptr) {
      CSCP_ENCRYPTED_MESSAGE *encrypted = CSCPEncryptMessage(m_context, frame);
      ok = encrypted != nullptr && sendBytes(encrypted, ntohl(encrypted->dwSize));
      free(encrypted);
   } else {
      ok = sendBytes(frame, ntohl(frame->dwSize));
   }
   free(frame);
   return ok;
}

std::unique_ptr<CSCPMessage> RawClient::receive(uint32_t timeoutMs, int *rc) {
   int result = RecvHKCPMessage(m_socket, reinterpret_cast<CSCP_MESSAGE *>(m_frame), m_state,
                                HKCP_MAX_FRAME_SIZE, &m_context, m_decrypt, timeoutMs);
   if (rc != nullptr)
      *rc = result;
   if (result <= 3)
      return nullptr;
   return std::make_unique<CSCPMessage>(reinterpret_cast<CSCP_MESSAGE *>(m_frame));
}

std::unique_ptr<CSCPMessage> RawClient::request(CSCPMessage *message, uint32_t timeoutMs) {
   uint32_t id = nextId();
   message->SetId(id);
   if (!send(*message))
      return nullptr;
   uint64_t deadline = GetMonotonicMs() + timeoutMs;
   for (;;) {
      uint64_t now = GetMonotonicMs();
      if (now >= deadline)
         return nullptr;
      std::unique_ptr<CSCPMessage> reply = receive((uint32_t)(deadline - now));
      if (reply == nullptr)
         return nullptr;
      if ((reply->GetCode() == CMD_REQUEST_COMPLETED || reply->GetCode() == CMD_SESSION_KEY) &&
          reply->GetId() == id)
         return reply;
      m_unsolicited.push_back(std::move(reply));
   }
}

uint32_t RawClient::simple(uint16_t code, uint32_t timeoutMs) {
   CSCPMessage message;
   message.SetCode(code);
   std::unique_ptr<CSCPMessage> reply = request(&message, timeoutMs);
   return reply ? reply->GetVariableLong(VID_RCC) : 0xFFFFFFFF;
}

uint32_t RawClient::authenticate(uint16_t method, const std::string &secret) {
   CSCPMessage message;
   message.SetCode(CMD_AUTHENTICATE);
   message.SetVariable(VID_AUTH_METHOD, method);
   if (method == 1) {
      std::wstring wide;
      for (unsigned char c : secret)
         wide.push_back((wchar_t)c);
      message.SetVariable(VID_SHARED_SECRET, wide.c_str());
   } else if (method == 2 || method == 3) {
      uint8_t digest[SHA1_DIGEST_SIZE];
      if (method == 2)
         CalculateMD5Hash((const uint8_t *)secret.data(), secret.size(), digest);
      else
         CalculateSHA1Hash((const uint8_t *)secret.data(), secret.size(), digest);
      message.SetVariable(VID_SHARED_SECRET, digest,
                          (uint32_t)(method == 2 ? MD5_DIGEST_SIZE : SHA1_DIGEST_SIZE));
   }
   std::unique_ptr<CSCPMessage> reply = request(&message);
   return reply ? reply->GetVariableLong(VID_RCC) : 0xFFFFFFFF;
}

bool RawClient::setupEncryption(RSA *key, uint32_t *rcc) {
   CSCPMessage message;
   PrepareKeyRequestMsg(&message, key, false);
   std::unique_ptr<CSCPMessage> reply = request(&message);
   if (reply == nullptr || reply->GetCode() != CMD_SESSION_KEY)
      return false;
   HKCPEncryptionContext *context = nullptr;
   uint32_t result = SetupEncryptionContext(reply.get(), &context, nullptr, key, HKCP_VERSION);
   if (rcc != nullptr)
      *rcc = result;
   if (result != 0 || context == nullptr)
      return false;
   if (m_context != nullptr)
      m_context->decRefCount();
   m_context = context;
   return true;
}

void RawClient::dropEncryption() {
   if (m_context != nullptr)
      m_context->decRefCount();
   m_context = nullptr;
}

bool RawClient::waitClosed(uint32_t timeoutMs) {
   uint64_t deadline = GetMonotonicMs() + timeoutMs;
   for (;;) {
      uint64_t now = GetMonotonicMs();
      if (now >= deadline)
         return false;
      int rc = 0;
      std::unique_ptr<CSCPMessage> message = receive((uint32_t)(deadline - now), &rc);
      if (rc <= 0)
         return true;
      if (rc == 3)
         return false;
   }
}

std::unique_ptr<CSCPMessage> RawClient::waitFor(uint16_t code, uint32_t timeoutMs) {
   uint64_t deadline = GetMonotonicMs() + timeoutMs;
   for (;;) {
      for (auto it = m_unsolicited.begin(); it != m_unsolicited.end(); ++it) {
         if ((*it)->GetCode() == code) {
            std::unique_ptr<CSCPMessage> found = std::move(*it);
            m_unsolicited.erase(it);
            return found;
         }
      }
      uint64_t now = GetMonotonicMs();
      if (now >= deadline)
         return nullptr;
      std::unique_ptr<CSCPMessage> message = receive((uint32_t)(deadline - now));
      if (message == nullptr)
         return nullptr;
      m_unsolicited.push_back(std::move(message));
   }
}

}  // namespace hkagent_test
