// The connect sequence: TCP connect, the peer's protocol version, TLS when
// a setter asked for it (on this thread, before the receiver thread starts,
// so only TLS reads the handshake), the receiver thread, then encryption
// (legacy only), authentication and a no-operation request, first with the
// proxy when one is set and then, through it, with the agent. Also the
// steps it uses and the proxy setting.
//
// The handshake is bounded: within one hop the agent may demand encryption
// once; demanding it again after the channel was encrypted fails the
// connect with ERR_ENCRYPTION_REQUIRED instead of negotiating forever.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "agent/agent_internal.h"

namespace {

// The session's result for SetupEncryptionContext's.
uint32_t EncryptionResult(uint32_t rc) {
   switch (rc) {
      case 0:
         return ERR_SUCCESS;
      case RCC_NO_CIPHERS:
         return ERR_NO_CIPHERS;
      case RCC_INVALID_PUBLIC_KEY:
         return ERR_INVALID_PUBLIC_KEY;
      case RCC_INVALID_SESSION_KEY:
         return ERR_INVALID_SESSION_KEY;
      default:
         return ERR_INTERNAL_ERROR;
   }
}

const uint32_t PROXY_SETUP_TIMEOUT = 60000;

// The connect sequence's result for a handshake that did not establish.
uint32_t TlsResult(HKCPTlsResult result, bool pinned) {
   switch (result) {
      case HKCPTlsResult::Established:
         return ERR_SUCCESS;
      case HKCPTlsResult::PeerUntrusted:
         return pinned ? ERR_AGENT_KEY_UNTRUSTED : ERR_AGENT_KEY_NOT_PINNED;
      default:
         return ERR_TLS_FAILED;
   }
}

}  // namespace

// ---------------------------------------------------------------- TLS settings

bool AgentConnection::setAgentKeyFingerprint(const char *fingerprint) {
   return m_tlsSettings->client.addPin(fingerprint);
}

void AgentConnection::setAgentKeyTrust(std::function<bool(const char *fingerprint)> decide) {
   m_tlsSettings->client.setDecision(std::move(decide));
}

bool AgentConnection::setServerTlsKey(EVP_PKEY *key) {
   return m_tlsSettings->client.setKey(key);
}

std::string AgentConnection::getAgentKeyFingerprint() const {
   return m_tlsSettings->client.seenFingerprint();
}

uint32_t AgentConnection::startTls(RSA *serverKey) {
   HKCPTlsClient &client = m_tlsSettings->client;
   // The request and its reply in the clear, on this thread: the receiver
   // has not started, so the handshake's bytes are read by TLS alone.
   HKCPTlsResult result = HKCPTlsResult::Closed;
   uint32_t rcc = ERR_SUCCESS;
   switch (client.start(m_connection, serverKey, m_protocolVersion.load(), generateRequestId(),
                        m_commandTimeout.load(), &result, &rcc)) {
      case HKCPTlsClient::Start::InvalidKey:
         return ERR_INVALID_PUBLIC_KEY;
      case HKCPTlsClient::Start::NoMemory:
         return ERR_INTERNAL_ERROR;
      case HKCPTlsClient::Start::Done:
         break;
   }
   wchar_t address[16];
   if (result == HKCPTlsResult::NotOffered) {
      // An agent without TLS says "unknown command": never a reason to go
      // on in the clear once TLS was asked for.
      PrintMsg(L"Agent %s refused TLS (%s)", IpToStr(getIpAddr(), address),
               AgentErrorCodeToText((int)rcc));
      return ERR_TLS_FAILED;
   }
   if (rcc != ERR_SUCCESS)
      return rcc;
   uint32_t rc = TlsResult(result, client.pinned());
   if (rc != ERR_SUCCESS)
      PrintMsg(L"TLS with agent %s failed (%s)", IpToStr(getIpAddr(), address),
               AgentErrorCodeToText((int)rc));
   return rc;
}

int AgentConnection::connect(RSA *serverKey, int verbose, uint32_t *error, uint32_t *socketError) {
   if (error != nullptr)
      *error = ERR_INTERNAL_ERROR;
   if (socketError != nullptr)
      *socketError = 0;
   if (m_isConnected.load())
      return 0;

   // The previous session's receiver has ended or is ending: the socket it
   // left, if any, was never handed to one.
   m_connection.teardown(&m_receiverThread);

   SOCKET s = CreateTcpSocket();
   if (s == INVALID_SOCKET) {
      PrintMsg(L"Call to socket() failed");
      return failConnect(ERR_INTERNAL_ERROR, error, socketError);
   }
   // Each frame's write is bounded by the send time-out: a peer that does
   // not take a frame for that long is gone.
   m_connection.attach(s, m_connection.sendTimeout());

   struct sockaddr_in target = {};
   target.sin_family = AF_INET;
   target.sin_addr.s_addr = m_useProxy ? m_proxyAddr : m_addr;
   target.sin_port = htons(m_useProxy ? m_proxyPort : m_port);
   if (ConnectEx(s, reinterpret_cast<struct sockaddr *>(&target), sizeof(target),
                 m_connectionTimeout.load()) == -1) {
      if (verbose) {
         wchar_t address[16];
         PrintMsg(L"Cannot establish connection with agent %s",
                  IpToStr(ntohl(target.sin_addr.s_addr), address));
      }
      return failConnect(ERR_CONNECT_FAILED, error, socketError);
   }

   int version = 0;
   if (!HKCPGetPeerProtocolVersion(s, &version, &m_connection.sendLock()))
      return failConnect(ERR_INTERNAL_ERROR, error, socketError);
   m_protocolVersion = version;

   bool tls = m_tlsSettings->client.requested();
   if (tls) {
      if (m_useProxy)
         return failConnect(ERR_NOT_IMPLEMENTED, error, socketError);
      uint32_t rc = startTls(serverKey);
      if (rc != ERR_SUCCESS)
         return failConnect(rc, error, socketError);
   }

   m_receiverThread = StartThread(ReceiverThreadStarter, this);

   bool forced = false;
   bool proxyDone = false;
   bool encrypted = tls;  // this hop's channel is encrypted
   wchar_t address[16];
   // Inside TLS, a request that fails because the agent refused our key
   // (its alert arrives after our side of the handshake ended) is a TLS
   // failure.
   // An agent that drops the connection instead (its alert lost to a
   // reset) does so before its first answer.
   bool answered = false;
   auto stepResult = [this, tls, &answered](uint32_t rc) {
      bool lost = rc == ERR_CONNECTION_BROKEN || rc == ERR_REQUEST_TIMEOUT;
      if (tls && rc != ERR_SUCCESS && (m_connection.tlsFailed() || (lost && !answered)))
         return ERR_TLS_FAILED;
      answered = answered || !lost;
      return rc;
   };
   for (;;) {
      int policy = m_encryptionPolicy;
      if (tls) {
         // The tunnel is the encryption; no key exchange inside it.
      } else if (policy == ENCRYPTION_PREFERRED || policy == ENCRYPTION_REQUIRED || forced) {
         bool mandatory = (policy == ENCRYPTION_REQUIRED) || forced;
         if (serverKey != nullptr) {
            uint32_t rc = setupEncryption(serverKey);
            if (rc == ERR_SUCCESS)
               encrypted = true;
            else if (mandatory)
               return failConnect(rc, error, socketError);
         } else if (mandatory) {
            return failConnect(ERR_ENCRYPTION_REQUIRED, error, socketError);
         }
      }

      // A demand for encryption is honoured once per hop, and only while
      // the channel is still plain.
      auto retryEncrypted = [&](uint32_t rc) {
         return rc == ERR_ENCRYPTION_REQUIRED && m_encryptionPolicy != ENCRYPTION_DISABLED &&
                !forced && !encrypted;
      };

      uint32_t rc = stepResult(authenticate((m_useProxy && !proxyDone) ? 1 : 0));
      if (rc != ERR_SUCCESS) {
         if (retryEncrypted(rc)) {
            forced = true;
            continue;
         }
         PrintMsg(L"Authentication to agent %s failed (%s)", IpToStr(getIpAddr(), address),
                  AgentErrorCodeToText((int)rc));
         return failConnect(rc, error, socketError);
      }

      rc = stepResult(nop());
      if (rc != ERR_SUCCESS) {
         if (retryEncrypted(rc)) {
            forced = true;
            continue;
         }
         PrintMsg(L"Communication with agent %s failed (%s)", IpToStr(getIpAddr(), address),
                  AgentErrorCodeToText((int)rc));
         return failConnect(rc, error, socketError);
      }

      if (m_useProxy && !proxyDone) {
         rc = setupProxyConnection();
         if (rc != ERR_SUCCESS)
            return failConnect(rc, error, socketError);
         // The cipher agreed with the proxy ends here; the next pass
         // negotiates with the agent through the tunnel. The receiver keeps
         // its own reference while it may still be using it.
         m_connection.setContext(nullptr);
         proxyDone = true;
         forced = false;
         encrypted = false;
         continue;
      }

      m_isConnected = 1;
      if (error != nullptr)
         *error = ERR_SUCCESS;
      return 1;
   }
}

int AgentConnection::failConnect(uint32_t result, uint32_t *error, uint32_t *socketError) {
   if (socketError != nullptr)
      *socketError = (uint32_t)WSAGetLastError();

   m_connection.teardown(&m_receiverThread);
   m_isConnected = 0;
   if (error != nullptr)
      *error = result;
   return 0;
}

uint32_t AgentConnection::nop() {
   CSCPMessage request(m_protocolVersion.load());
   request.SetCode(CMD_NOP);
   request.SetId(generateRequestId());
   return exchange(&request, m_commandTimeout.load());
}

uint32_t AgentConnection::authenticate(int useProxySecret) {
   int method = useProxySecret ? m_proxyAuthMethod : m_authMethod;
   const char *secret = useProxySecret ? m_proxySecret : m_secret;
   if (method == AUTH_NONE)
      return ERR_SUCCESS;
   if (method == AUTH_HMAC_SHA256)
      return authenticateBound(secret);

   CSCPMessage request(m_protocolVersion.load());
   request.SetCode(CMD_AUTHENTICATE);
   request.SetId(generateRequestId());
   request.SetVariable(VID_AUTH_METHOD, (uint16_t)method);
   switch (method) {
      case AUTH_PLAINTEXT: {
         wchar_t text[64];
         CodePageToWide(secret, -1, text, 64);
         request.SetVariable(VID_SHARED_SECRET, text);
         break;
      }
      case AUTH_MD5_HASH: {
         uint8_t digest[MD5_DIGEST_SIZE];
         CalculateMD5Hash(reinterpret_cast<const uint8_t *>(secret), strlen(secret), digest);
         request.SetVariable(VID_SHARED_SECRET, digest, (uint32_t)MD5_DIGEST_SIZE);
         break;
      }
      case AUTH_SHA1_HASH: {
         uint8_t digest[SHA1_DIGEST_SIZE];
         CalculateSHA1Hash(reinterpret_cast<const uint8_t *>(secret), strlen(secret), digest);
         request.SetVariable(VID_SHARED_SECRET, digest, (uint32_t)SHA1_DIGEST_SIZE);
         break;
      }
      default:
         break;  // the agent judges a method it may know and we do not
   }
   return exchange(&request, m_commandTimeout.load());
}

uint32_t AgentConnection::authenticateBound(const char *secret) {
   // The proof binds to this session's TLS; the legacy channel's binding
   // is not offered any more.
   uint8_t binding[HKCP_TLS_BINDING_SIZE], agentKey[HKCP_KEY_FINGERPRINT_SIZE];
   if (!m_connection.tlsBinding(binding) || !m_connection.tlsPeerFingerprint(agentKey))
      return ERR_TLS_REQUIRED;
   uint8_t key[HKCP_AUTH_KEY_SIZE], serverNonce[HKCP_AUTH_NONCE_SIZE];
   if (!HKCPTlsAuthKey(secret, strlen(secret), agentKey, key) ||
       RAND_bytes(serverNonce, sizeof(serverNonce)) != 1)
      return ERR_INTERNAL_ERROR;

   // The agent proves first, so a server that does not know the secret
   // learns nothing it could test guesses against before it is refused.
   CSCPMessage request(m_protocolVersion.load());
   request.SetCode(CMD_AUTHENTICATE);
   request.SetId(generateRequestId());
   request.SetVariable(VID_AUTH_METHOD, (uint16_t)AUTH_HMAC_SHA256);
   request.SetVariable(VID_AUTH_NONCE, serverNonce, HKCP_AUTH_NONCE_SIZE);
   uint8_t agentNonce[HKCP_AUTH_NONCE_SIZE], agentProof[HKCP_AUTH_PROOF_SIZE];
   bool proven = false;
   uint32_t result = exchange(&request, m_commandTimeout.load(), [&](CSCPMessage *reply) {
      uint8_t expected[HKCP_AUTH_PROOF_SIZE];
      proven = reply->GetVariableBinary(VID_AUTH_NONCE, agentNonce, sizeof(agentNonce)) ==
                   HKCP_AUTH_NONCE_SIZE &&
               reply->GetVariableBinary(VID_AUTH_PROOF, agentProof, sizeof(agentProof)) ==
                   HKCP_AUTH_PROOF_SIZE &&
               HKCPTlsAgentProof(key, binding, serverNonce, agentNonce, expected) &&
               CRYPTO_memcmp(expected, agentProof, sizeof(expected)) == 0;
   });
   if (result == ERR_SUCCESS && !proven) {
      wchar_t address[16];
      DbgPrintf(4, L"AgentConnection::authenticate(): agent %s failed to prove the secret",
                IpToStr(getIpAddr(), address));
      result = ERR_AGENT_AUTH_FAILED;
   }
   uint8_t serverProof[HKCP_AUTH_PROOF_SIZE];
   if (result == ERR_SUCCESS) {
      if (HKCPTlsServerProof(key, binding, serverNonce, agentNonce, agentProof, serverProof)) {
         CSCPMessage answer(m_protocolVersion.load());
         answer.SetCode(CMD_AUTHENTICATE);
         answer.SetId(generateRequestId());
         answer.SetVariable(VID_AUTH_METHOD, (uint16_t)AUTH_HMAC_SHA256);
         answer.SetVariable(VID_AUTH_PROOF, serverProof, HKCP_AUTH_PROOF_SIZE);
         result = exchange(&answer, m_commandTimeout.load());
      } else {
         result = ERR_INTERNAL_ERROR;
      }
   }
   OPENSSL_cleanse(key, sizeof(key));
   return result;
}

uint32_t AgentConnection::setupEncryption(RSA *serverKey) {
   CSCPMessage request(m_protocolVersion.load());
   uint32_t requestId = generateRequestId();
   PrepareKeyRequestMsg(&request, serverKey, false);
   request.SetId(requestId);
   if (!sendRequest(&request, CMD_SESSION_KEY))
      return ERR_CONNECTION_BROKEN;

   CSCPMessage *reply = waitForMessage(CMD_SESSION_KEY, requestId, m_commandTimeout.load());
   if (reply == nullptr)
      return ERR_REQUEST_TIMEOUT;
   // An agent that serves only TLS says so rather than send a key.
   if (reply->GetVariableLong(VID_RCC) == ERR_TLS_REQUIRED) {
      delete reply;
      return ERR_TLS_REQUIRED;
   }
   HKCPEncryptionContext *context = nullptr;
   uint32_t rc =
       SetupEncryptionContext(reply, &context, nullptr, serverKey, m_protocolVersion.load());
   delete reply;
   if (rc != 0) {
      if (context != nullptr)
         context->decRefCount();
      return EncryptionResult(rc);
   }

   // From here the receiver decrypts with it and sendMessage encrypts.
   m_connection.setContext(context);
   return ERR_SUCCESS;
}

uint32_t AgentConnection::setupProxyConnection() {
   CSCPMessage request(m_protocolVersion.load());
   request.SetCode(CMD_SETUP_PROXY_CONNECTION);
   request.SetId(generateRequestId());
   request.SetVariable(VID_IP_ADDRESS, getIpAddr());
   request.SetVariable(VID_AGENT_PORT, m_port);
   return exchange(&request, PROXY_SETUP_TIMEOUT);
}

void AgentConnection::setProxy(uint32_t ipAddr, uint16_t port, int authMethod,
                               const wchar_t *secret) {
   m_proxyPort = port;
   m_proxyAddr = ipAddr;
   m_proxyAuthMethod = authMethod;
   AgentStoreSecret(secret, m_proxySecret);
   m_useProxy = 1;
}
