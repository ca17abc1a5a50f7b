// ISC connect sequence: socket, version probe, receiver start, encryption,
// the no-operation proof and the service request; and the clean-up of a
// failed attempt.
#include "hksrv_isc.h"
#include "isc_tls_settings.h"

namespace {

// The TCP connect's limit, the agent session's default.
const uint32_t kConnectTimeout = 30000;

}  // namespace

uint32_t ISC::SetupEncryption(RSA *serverKey) {
   CSCPMessage request(m_protocolVersion);
   const uint32_t id = m_requestId.fetch_add(1);
   PrepareKeyRequestMsg(&request, serverKey, false);
   request.SetId(id);

   if ((m_flags.load() & FLAG_CONNECTED) == 0)
      return ISC_ERR_CONNECTION_BROKEN;
   if (!m_connection.sendMessage(request))
      return ISC_ERR_CONNECTION_BROKEN;

   CSCPMessage *reply = m_msgWaitQueue->waitForMessage(CMD_SESSION_KEY, id, m_commandTimeout);
   if (reply == nullptr)
      return ISC_ERR_REQUEST_TIMEOUT;

   // Built into a local first and stored under the state lock: the receiver
   // reads the member under that lock for every frame.
   HKCPEncryptionContext *context = nullptr;
   const uint32_t rcc =
       SetupEncryptionContext(reply, &context, nullptr, serverKey, m_protocolVersion);
   delete reply;

   uint32_t result;
   switch (rcc) {
      case 0:
         result = (context != nullptr) ? ISC_ERR_SUCCESS : ISC_ERR_INTERNAL_ERROR;
         break;
      case RCC_NO_CIPHERS:
         result = ISC_ERR_NO_CIPHERS;
         break;
      case RCC_INVALID_PUBLIC_KEY:
         result = ISC_ERR_INVALID_PUBLIC_KEY;
         break;
      case RCC_INVALID_SESSION_KEY:
         result = ISC_ERR_INVALID_SESSION_KEY;
         break;
      default:
         result = ISC_ERR_INTERNAL_ERROR;
         break;
   }
   if (result != ISC_ERR_SUCCESS) {
      if (context != nullptr)
         context->decRefCount();
      return result;
   }

   // Senders and the receiver hold their own references while they use it.
   m_connection.setContext(context);
   return ISC_ERR_SUCCESS;
}

void ISC::cleanupConnection() {
   m_flags.fetch_and(~FLAG_CONNECTED);
   m_connection.teardown(&m_receiverThread);
}

uint32_t ISC::Connect(uint32_t service, RSA *serverKey, int requireEncryption) {
   if ((m_flags.load() & FLAG_CONNECTED) != 0)
      return ISC_ERR_ALREADY_CONNECTED;

   if (requireEncryption != 0)
      m_flags.fetch_or(FLAG_ENCRYPTION_REQUIRED);
   else
      m_flags.fetch_and(~FLAG_ENCRYPTION_REQUIRED);

   m_connection.teardown(&m_receiverThread);

   wchar_t peer[32];
   peerAddress(peer);

   const SOCKET s = CreateTcpSocket();
   if (s == INVALID_SOCKET) {
      PrintMsg(L"ISC: Call to socket() failed");
      cleanupConnection();
      return ISC_ERR_SOCKET_ERROR;
   }
   m_connection.attach(s, m_recvTimeout);

   struct sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_port = htons(m_port);
   sa.sin_addr.s_addr = m_addr;
   // Bounded like the agent session's: a peer that never completes the
   // handshake does not hold Connect for the system's TCP time-out.
   if (ConnectEx(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa), kConnectTimeout) != 0) {
      PrintMsg(L"Cannot establish connection with ISC peer %s", peer);
      cleanupConnection();
      return ISC_ERR_CONNECT_FAILED;
   }

   SetSocketNonBlocking(s, true);  // outcome ignored: every reader waits with poll anyway

   if (!HKCPGetPeerProtocolVersion(s, &m_protocolVersion, &m_connection.sendLock())) {
      PrintMsg(L"Cannot detect HKCP version for ISC peer %s", peer);
      cleanupConnection();
      return ISC_ERR_INVALID_PROTOCOL_VERSION;
   }
   if (m_protocolVersion > 2) {
      PrintMsg(L"ISC peer %s uses incompatible HKCP version %d", peer, m_protocolVersion);
      cleanupConnection();
      return ISC_ERR_INVALID_PROTOCOL_VERSION;
   }

   // TLS before the receiver starts, so only TLS reads the handshake; once
   // asked for, never a reason to go on in the clear.
   const bool tls = m_tlsSettings->client.requested();
   if (tls) {
      const uint32_t result = startTls(serverKey);
      if (result != ISC_ERR_SUCCESS) {
         PrintMsg(L"Cannot set up TLS with ISC peer %s (%s)", peer, ISCErrorCodeToText(result));
         cleanupConnection();
         return result;
      }
   }

   // A thread that cannot start is not fatal here: no reply will come, so
   // the next exchange ends with ISC_ERR_REQUEST_TIMEOUT.
   m_receiverThread = StartThread(ReceiverThreadStarter, this);
   m_flags.fetch_or(FLAG_CONNECTED);

   for (;;) {
      if (tls) {
         // The tunnel is the encryption.
      } else if (serverKey != nullptr) {
         const uint32_t result = SetupEncryption(serverKey);
         if (result != ISC_ERR_SUCCESS && (m_flags.load() & FLAG_ENCRYPTION_REQUIRED) != 0) {
            PrintMsg(L"Cannot setup encrypted channel with ISC peer %s", peer);
            cleanupConnection();
            return result;
         }
         // Not required: go on in plain text; the peer's answer to the
         // no-operation request tells whether it accepts that.
      } else if ((m_flags.load() & FLAG_ENCRYPTION_REQUIRED) != 0) {
         PrintMsg(L"Cannot setup encrypted channel with ISC peer %s", peer);
         cleanupConnection();
         return ISC_ERR_ENCRYPTION_REQUIRED;
      }

      uint32_t result = Nop();
      // The peer refusing our key in TLS shows here: its alert (or its
      // close) comes after our side of the handshake ended.
      if (tls && (m_connection.tlsFailed() || result == ISC_ERR_CONNECTION_BROKEN ||
                  result == ISC_ERR_REQUEST_TIMEOUT))
         result = ISC_ERR_TLS_FAILED;
      if (result == ISC_ERR_SUCCESS) {
         result = ConnectToService(service);
         if (result == ISC_ERR_SUCCESS)
            return ISC_ERR_SUCCESS;
         cleanupConnection();
         return result;
      }

      // The peer refuses plain traffic: negotiate and try again. A peer that
      // still says so over an encrypted channel will never accept us, so the
      // retry is taken only while the channel is plain.
      const bool encrypted = m_connection.encrypted() || m_connection.tlsActive();
      if (result == ISC_ERR_ENCRYPTION_REQUIRED && !encrypted) {
         m_flags.fetch_or(FLAG_ENCRYPTION_REQUIRED);
         continue;
      }

      PrintMsg(L"Communication with ISC peer %s failed (%s)", peer, ISCErrorCodeToText(result));
      cleanupConnection();
      return result;
   }
}
