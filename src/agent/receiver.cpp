// The receiver thread: the only reader of a session's socket. It files
// replies for the threads waiting on them, hands pushed messages to the
// hooks, feeds file data to an active download and, when the connection
// ends, tears the session's connection state down.
//
// It takes m_stateLock only to read the socket and the encryption context
// before each receive and for its exit steps; hooks run without a lock.
#include <cstdlib>

#include "agent/agent_internal.h"

namespace {

// What the loop does after one receive.
enum class Next { Continue, Stop };

}  // namespace

uint32_t AgentConnection::ReceiverThreadStarter(void *argument) {
   static_cast<AgentConnection *>(argument)->ReceiverThread();
   return 0;
}

void AgentConnection::ReceiverThread() {
   // Allocated once per thread; only decoded messages are allocated per frame.
   CSCP_BUFFER *state = static_cast<CSCP_BUFFER *>(malloc(sizeof(CSCP_BUFFER)));
   CSCP_MESSAGE *frame = static_cast<CSCP_MESSAGE *>(malloc(HKCP_MAX_FRAME_SIZE));
   uint8_t *decryptBuffer = static_cast<uint8_t *>(malloc(HKCP_MAX_FRAME_SIZE));

   // A reference on the context current at the start of each receive, kept
   // until the next one: RecvHKCPMessage reads the member itself, and a
   // context dropped meanwhile must outlive the frame it is decrypting.
   HKCPEncryptionContext *held = nullptr;

   // Handles one whole frame of `length` bytes.
   auto dispatch = [this, frame](int length) {
      uint32_t size = ntohl(frame->dwSize);
      if ((uint32_t)length != size) {
         PrintMsg(L"RecvMsg: Bad packet length [dwSize=%d ActualSize=%d]", (int)size, length);
         return;
      }
      wchar_t codeName[64];
      if (ntohs(frame->wFlags) & MF_BINARY) {
         frame->wCode = ntohs(frame->wCode);
         frame->wFlags = ntohs(frame->wFlags);
         frame->dwSize = size;
         frame->dwId = ntohl(frame->dwId);
         frame->dwNumVars = ntohl(frame->dwNumVars);
         if (g_nDebugLevel >= 6) {
            wchar_t address[16];
            DbgPrintf(6, L"Received raw message %s from agent at %s",
                      HKCPMessageCodeName(frame->wCode, codeName), IpToStr(getIpAddr(), address));
         }
         // The data length comes from the peer: never read past the frame.
         if (frame->dwNumVars > size - HKCP_HEADER_SIZE) {
            DbgPrintf(
                6,
                L"AgentConnection::ReceiverThread(): raw message %s claims %u data bytes in a "
                L"%u-byte frame; dropped",
                HKCPMessageCodeName(frame->wCode, codeName), frame->dwNumVars, size);
            return;
         }
         if (frame->wCode == CMD_FILE_DATA)
            processFileData(frame);
         return;
      }

      CSCPMessage *message = new CSCPMessage(frame, m_protocolVersion.load());
      if (!message->IsValid()) {
         // The size field or a length inside disagrees with the content. A
         // reply that cannot be read must not pass for success: its
         // requester gets "bad response" at once instead.
         PrintMsg(L"Received malformed message %s (%d bytes)",
                  HKCPMessageCodeName(message->GetCode(), codeName), (int)size);
         if (message->GetCode() == CMD_REQUEST_COMPLETED) {
            CSCPMessage *reply = new CSCPMessage(message->GetVersion());
            reply->SetCode(CMD_REQUEST_COMPLETED);
            reply->SetId(message->GetId());
            reply->SetVariable(VID_RCC, ERR_BAD_RESPONSE);
            m_msgWaitQueue->put(reply);
         }
         delete message;
         return;
      }
      switch (message->GetCode()) {
         case CMD_TRAP:
            onTrap(message);
            delete message;
            break;
         case CMD_REQUEST_COMPLETED:
            m_msgWaitQueue->put(message);
            break;
         case CMD_DATA_PUSH:
            onDataPush(message);
            delete message;
            break;
         default:
            if (processCustomMessage(message))
               delete message;
            else
               m_msgWaitQueue->put(message);
            break;
      }
   };

   // Acts on one receive result.
   auto handle = [this, frame, &dispatch, &held](int result) -> Next {
      if (result <= 0) {
         int socketError = WSAGetLastError();
         if (socketError != WSAESHUTDOWN)
            DbgPrintf(6,
                      L"AgentConnection::ReceiverThread(): RecvHKCPMessage() failed: error=%d, "
                      L"socket_error=%d",
                      result, socketError);
         return Next::Stop;
      }
      wchar_t codeName[64];
      switch (result) {
         case 1:
            PrintMsg(L"Received too large message %s (%d bytes)",
                     HKCPMessageCodeName(ntohs(frame->wCode), codeName), (int)ntohl(frame->dwSize));
            return Next::Continue;
         case 2:
            PrintMsg(L"Unable to decrypt received message");
            // A replayed or reordered frame means someone on the path
            // rewrites the stream: nothing after it can be trusted.
            return (held != nullptr && held->sequenceBroken()) ? Next::Stop : Next::Continue;
         case 3:
            if (m_fileUploadInProgress.load())
               return Next::Continue;
            PrintMsg(L"Timed out waiting for message");
            return Next::Stop;
         default:
            dispatch(result);
            return Next::Continue;
      }
   };

   int result = -1;
   if (state != nullptr && frame != nullptr && decryptBuffer != nullptr) {
      RecvHKCPMessage(0, nullptr, state, 0, nullptr, nullptr, 0);
      for (;;) {
         Lock();
         SOCKET s = m_socket.load();
         HKCPEncryptionContext *current = m_encryptionContext;
         if (current != nullptr)
            current->incRefCount();
         Unlock();
         if (held != nullptr)
            held->decRefCount();
         held = current;
         if (s == INVALID_SOCKET) {
            result = -1;
            break;
         }
         result = RecvHKCPMessage(s, frame, state, HKCP_MAX_FRAME_SIZE, &m_encryptionContext,
                                  decryptBuffer, m_recvTimeout.load());
         if (handle(result) == Next::Stop)
            break;
      }
   }
   if (held != nullptr)
      held->decRefCount();

   Lock();
   abortDownload();
   // Cleared before the handle, so whoever sees the handle gone also sees
   // the session disconnected.
   m_isConnected = 0;
   SOCKET s = m_socket.exchange(INVALID_SOCKET);
   if (result == 0 && s != INVALID_SOCKET)
      ShutdownSocket(s);
   HKCPEncryptionContext *context = m_encryptionContext;
   std::atomic_ref<HKCPEncryptionContext *>(m_encryptionContext).store(nullptr);
   Unlock();

   if (context != nullptr)
      context->decRefCount();
   if (s != INVALID_SOCKET) {
      m_sendLock.lock();
      closesocket(s);
      m_sendLock.unlock();
   }
   free(state);
   free(frame);
   free(decryptBuffer);
}
