// A raw HKCP client for the agent tests, built on libhesker only: connects,
// probes the version, sets up encryption, sends requests and reads replies,
// keeping traps and pushes that arrive in between.
#ifndef HKAGENT_TEST_CLIENT_H
#define HKAGENT_TEST_CLIENT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hesker.h"

namespace hkagent_test {

// A process-wide 2048-bit RSA key for key exchanges.
RSA *TestServerKey();

class RawClient {
public:
   RawClient();
   ~RawClient();
   RawClient(const RawClient &) = delete;
   RawClient &operator=(const RawClient &) = delete;

   // Connects to the agent on 127.0.0.1, from fromAddress (host byte order,
   // a loopback address) when it is not 0.
   bool connect(uint16_t port, uint32_t fromAddress = 0);
   bool probeVersion(int *version);
   // Key exchange with the key; true when both sides now encrypt.
   bool setupEncryption(RSA *key, uint32_t *rcc = nullptr);
   bool send(const CSCPMessage &message);
   bool sendBytes(const void *data, size_t size);
   // The next frame as a message (a raw frame gives a message with its
   // binary data); null on close, error or time-out (*rc says which).
   std::unique_ptr<CSCPMessage> receive(uint32_t timeoutMs, int *rc = nullptr);
   // Forgets the session key (the next frames go out plain).
   void dropEncryption();
   // Sends message with a fresh id and waits for CMD_REQUEST_COMPLETED with
   // it; other messages are kept in unsolicited(). Null when none came.
   std::unique_ptr<CSCPMessage> request(CSCPMessage *message, uint32_t timeoutMs = 10000);
   // The VID_RCC of a request with no variables; 0xFFFFFFFF when no reply.
   uint32_t simple(uint16_t code, uint32_t timeoutMs = 10000);
   // Authenticates with a method and secret; returns VID_RCC.
   uint32_t authenticate(uint16_t method, const std::string &secret);
   // True when the agent closes the connection within timeoutMs.
   bool waitClosed(uint32_t timeoutMs);
   // The next unsolicited message with this code, received within
   // timeoutMs; null when none.
   std::unique_ptr<CSCPMessage> waitFor(uint16_t code, uint32_t timeoutMs);

   SOCKET socket() const { return m_socket; }
   HKCPEncryptionContext *context() const { return m_context; }
   uint32_t nextId() { return m_nextId++; }
   std::vector<std::unique_ptr<CSCPMessage>> &unsolicited() { return m_unsolicited; }

private:
   SOCKET m_socket = INVALID_SOCKET;
   HKCPEncryptionContext *m_context = nullptr;
   CSCP_BUFFER *m_state;
   uint8_t *m_frame;
   uint8_t *m_decrypt;
   uint32_t m_nextId = 1;
   std::vector<std::unique_ptr<CSCPMessage>> m_unsolicited;
};

}  // namespace hkagent_test

#endif
