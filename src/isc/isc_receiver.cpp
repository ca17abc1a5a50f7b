// ISC receiver thread: the only reader of the session's socket. Files every
// decoded message in the wait queue and decides alone when the connection
// has ended.
#include <cstdlib>

#include "hksrv_isc.h"
#include "hksrv_log.h"

unsigned int ISC::ReceiverThreadStarter(void *arg) {
   static_cast<ISC *>(arg)->ReceiverThread();
   return 0;
}

void ISC::ReceiverThread() {
   CSCP_BUFFER *state = static_cast<CSCP_BUFFER *>(malloc(sizeof(CSCP_BUFFER)));
   CSCP_MESSAGE *frame = static_cast<CSCP_MESSAGE *>(malloc(HKCP_MAX_FRAME_SIZE));
   uint8_t *decryptBuffer = static_cast<uint8_t *>(malloc(HKCP_MAX_FRAME_SIZE));
   wchar_t peer[32];
   peerAddress(peer);

   int r = -1;
   if (state != nullptr && frame != nullptr && decryptBuffer != nullptr) {
      RecvHKCPMessage(0, nullptr, state, 0, nullptr, nullptr, 0);
      for (;;) {
         Lock();
         const SOCKET s = m_socket.load();
         Unlock();

         // Wait for data before reading the encryption context: the peer
         // encrypts only what it sends after the key exchange, which the
         // caller's thread finishes (storing the context under the state
         // lock) before it sends anything more. A frame already buffered
         // needs no wait.
         if (state->dwBufPos >= state->dwBufSize && SocketWaitReadable(s, m_recvTimeout) == 0) {
            r = 3;
         } else {
            Lock();
            HKCPEncryptionContext *context = m_encryptionContext;
            if (context != nullptr)
               context->incRefCount();
            Unlock();
            r = RecvHKCPMessage(s, frame, state, HKCP_MAX_FRAME_SIZE, &context, decryptBuffer,
                                m_recvTimeout);
            if (context != nullptr)
               context->decRefCount();
         }

         if (r <= 0) {
            PrintMsg(L"ISC::ReceiverThread(): RecvHKCPMessage() failed: error=%d, socket_error=%d",
                     r, WSAGetLastError());
            break;
         }
         if (r == 1) {
            wchar_t name[64];
            PrintMsg(L"Received too large message %s (%d bytes)",
                     HKCPMessageCodeName(ntohs(frame->wCode), name),
                     static_cast<int>(ntohl(frame->dwSize)));
            continue;
         }
         if (r == 2) {
            PrintMsg(L"Unable to decrypt received message");
            continue;
         }
         if (r == 3) {
            PrintMsg(L"Timed out waiting for message");
            break;
         }
         if (static_cast<uint32_t>(r) != ntohl(frame->dwSize)) {
            PrintMsg(L"RecvMsg: Bad packet length [dwSize=%d ActualSize=%d]",
                     static_cast<int>(ntohl(frame->dwSize)), r);
            continue;
         }
         if ((ntohs(frame->wFlags) & MF_BINARY) != 0) {
            wchar_t name[64];
            DbgPrintf(6, L"ISC: Received raw message %s from peer at %s",
                      HKCPMessageCodeName(ntohs(frame->wCode), name), peer);
            continue;
         }
         CSCPMessage *message = new CSCPMessage(frame, m_protocolVersion);
         if (!message->IsValid()) {
            // A frame that lies about its contents has no code or id anyone
            // could wait for.
            wchar_t name[64];
            DbgPrintf(6, L"ISC: Dropped malformed message %s from peer at %s",
                      HKCPMessageCodeName(ntohs(frame->wCode), name), peer);
            delete message;
            continue;
         }
         m_msgWaitQueue->put(message);
      }
   }

   // Shut down in every case (not only after the peer's close): a sender
   // blocked on a full socket then fails at once instead of holding the send
   // lock that the close below waits for.
   Lock();
   m_flags.fetch_and(~FLAG_CONNECTED);
   HKCPEncryptionContext *context = m_encryptionContext;
   m_encryptionContext = nullptr;
   const SOCKET s = m_socket.exchange(INVALID_SOCKET);
   if (s != INVALID_SOCKET)
      ShutdownSocket(s);
   Unlock();

   if (s != INVALID_SOCKET) {
      m_sendLock.lock();
      m_sendLock.unlock();
      closesocket(s);
   }
   if (context != nullptr)
      context->decRefCount();

   free(decryptBuffer);
   free(frame);
   free(state);
}
