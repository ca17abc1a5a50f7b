// The connect sequence: TCP connect, the peer's protocol version, the
// receiver thread, then encryption, authentication and a no-operation
// request, first with the proxy when one is set and then, through it, with
// the agent. Also the steps it uses and the proxy setting.
//
// The handshake is bounded: within one hop the agent may demand encryption
// once; demanding it again after the channel was encrypted fails the
// connect with ERR_ENCRYPTION_REQUIRED instead of negotiating forever.
#include <openssl/crypto.h>
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

}  // namespace

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

   m_receiverThread = StartThread(ReceiverThreadStarter, this);

   bool forced = false;
   bool proxyDone = false;
   bool encrypted = false;  // this hop's channel is encrypted
   wchar_t address[16];
   for (;;) {
      int policy = m_encryptionPolicy;
      if (policy == ENCRYPTION_PREFERRED || policy == ENCRYPTION_REQUIRED || forced) {
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

      uint32_t rc = authenticate((m_useProxy && !proxyDone) ? 1 : 0);
      if (rc != ERR_SUCCESS) {
         if (retryEncrypted(rc)) {
            forced = true;
            continue;
         }
         PrintMsg(L"Authentication to agent %s failed (%s)", IpToStr(getIpAddr(), address),
                  AgentErrorCodeToText((int)rc));
         return failConnect(rc, error, socketError);
      }

      rc = nop();
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
   // The proof binds to this hop's channel: without one there is nothing to
   // bind to, and the connect loop sets encryption up on this answer.
   HKCPEncryptionContext *context = acquireEncryptionContext();
   if (context == nullptr)
      return ERR_ENCRYPTION_REQUIRED;
   uint8_t binding[HKCP_CHANNEL_BINDING_SIZE], key[HKCP_AUTH_KEY_SIZE];
   uint8_t serverNonce[HKCP_AUTH_NONCE_SIZE], serverProof[HKCP_AUTH_PROOF_SIZE];
   bool ready = context->channelBinding(binding);
   context->decRefCount();
   ready = ready && HKCPDeriveAuthKey(secret, strlen(secret), key) &&
           RAND_bytes(serverNonce, sizeof(serverNonce)) == 1 &&
           HKCPServerAuthProof(key, binding, serverNonce, serverProof);
   uint32_t result = ERR_INTERNAL_ERROR;
   if (ready) {
      CSCPMessage request(m_protocolVersion.load());
      request.SetCode(CMD_AUTHENTICATE);
      request.SetId(generateRequestId());
      request.SetVariable(VID_AUTH_METHOD, (uint16_t)AUTH_HMAC_SHA256);
      request.SetVariable(VID_AUTH_NONCE, serverNonce, HKCP_AUTH_NONCE_SIZE);
      request.SetVariable(VID_AUTH_PROOF, serverProof, HKCP_AUTH_PROOF_SIZE);
      bool proven = false;
      result = exchange(&request, m_commandTimeout.load(), [&](CSCPMessage *reply) {
         // The agent's answer counts only when it proves the secret over
         // this channel, both nonces and our proof.
         uint8_t agentNonce[HKCP_AUTH_NONCE_SIZE], agentProof[HKCP_AUTH_PROOF_SIZE];
         uint8_t expected[HKCP_AUTH_PROOF_SIZE];
         proven =
             reply->GetVariableBinary(VID_AUTH_NONCE, agentNonce, sizeof(agentNonce)) ==
                 HKCP_AUTH_NONCE_SIZE &&
             reply->GetVariableBinary(VID_AUTH_PROOF, agentProof, sizeof(agentProof)) ==
                 HKCP_AUTH_PROOF_SIZE &&
             HKCPAgentAuthProof(key, binding, serverNonce, agentNonce, serverProof, expected) &&
             CRYPTO_memcmp(expected, agentProof, sizeof(expected)) == 0;
      });
      if (result == ERR_SUCCESS && !proven) {
         wchar_t address[16];
         DbgPrintf(4, L"AgentConnection::authenticate(): agent %s failed to prove the secret",
                   IpToStr(getIpAddr(), address));
         result = ERR_AGENT_AUTH_FAILED;
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
