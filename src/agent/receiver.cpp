// The receiver thread: the only reader of a session's socket. It files
// replies for the threads waiting on them, hands pushed messages to the
// hooks, feeds file data to an active download and, when the connection
// ends, tears the session's connection state down.
//
// It takes the state lock only inside the connection core's receive and for
// its exit steps; hooks run without a lock.
#include <cstdlib>

#include "agent/agent_internal.h"

uint32_t AgentConnection::ReceiverThreadStarter(void *argument) {
   static_cast<AgentConnection *>(argument)->ReceiverThread();
   return 0;
}

void AgentConnection::ReceiverThread() {
   while (handleReceive(m_connection.receive(m_recvTimeout.load()))) {
   }

   Lock();
   // Cleared first, so whoever sees the download ended or the socket gone
   // also sees the session disconnected.
   m_isConnected = 0;
   abortDownload();
   Unlock();
   // Shut down first: a sender blocked on the socket lets go of the send
   // lock under which the socket is closed.
   m_connection.close();
   m_connection.releaseBuffers();
   // No reply can come any more: requests still waiting end now.
   m_msgWaitQueue->releaseWaiters();
}

bool AgentConnection::handleReceive(HKCPReceiveResult result) {
   wchar_t line[256];
   if (m_connection.describe(result, line, 256))
      PrintMsg(L"%s", line);
   switch (m_connection.action(result)) {
      case HKCPReceiveAction::Deliver:
         dispatchFrame(m_connection.frame());
         return true;
      case HKCPReceiveAction::Skip:
         return true;
      case HKCPReceiveAction::Wait:
         // The agent may stay silent while it stores an upload; a sender
         // that cannot move is bounded by the send time-out instead.
         if (m_fileUploadInProgress.load())
            return true;
         PrintMsg(L"Timed out waiting for message");
         return false;
      case HKCPReceiveAction::End:
         break;
   }
   if ((result == HKCPReceiveResult::Closed || result == HKCPReceiveResult::Failed) &&
       m_connection.lastSocketError() != WSAESHUTDOWN)
      DbgPrintf(6,
                L"AgentConnection::ReceiverThread(): RecvHKCPMessage() failed: error=%d, "
                L"socket_error=%d",
                m_connection.receivedLength(), m_connection.lastSocketError());
   return false;
}

void AgentConnection::dispatchFrame(CSCP_MESSAGE *frame) {
   uint32_t size = ntohl(frame->dwSize);
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
         DbgPrintf(6,
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
      // reply that cannot be read must not pass for success: its requester
      // gets "bad response" at once instead.
      PrintMsg(L"Received malformed message %s (%d bytes)",
               HKCPMessageCodeName(message->GetCode(), codeName), (int)size);
      if (message->GetCode() == CMD_REQUEST_COMPLETED) {
         CSCPMessage *reply = new CSCPMessage(message->GetVersion());
         reply->SetCode(CMD_REQUEST_COMPLETED);
         reply->SetId(message->GetId());
         reply->SetVariable(VID_RCC, ERR_BAD_RESPONSE);
         fileMessage(reply, size);
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
         fileMessage(message, size);
         break;
      case CMD_DATA_PUSH:
         onDataPush(message);
         delete message;
         break;
      default:
         if (processCustomMessage(message))
            delete message;
         else
            fileMessage(message, size);
         break;
   }
}

void AgentConnection::fileMessage(CSCPMessage *message, uint32_t size) {
   uint16_t code = message->GetCode();
   uint32_t id = message->GetId();
   uint32_t dropped = m_msgWaitQueue->put(message, size);
   // Once per session: an agent that floods would flood the log too.
   if (dropped != 0 && m_msgWaitQueue->droppedCount() == dropped) {
      wchar_t codeName[64];
      PrintMsg(
          L"Reply queue full: dropping messages nobody waits for, oldest first (last "
          L"received %s id %u); further drops are only counted",
          HKCPMessageCodeName(code, codeName), id);
   }
}
