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
   wchar_t peer[32];
   peerAddress(peer);
   while (handleReceive(m_connection.receive(m_recvTimeout), peer)) {
   }

   // Shut down in every case (not only after the peer's close): a sender
   // blocked on a full socket then fails at once instead of holding the send
   // lock that the close waits for.
   m_flags.fetch_and(~FLAG_CONNECTED);
   m_connection.close();
   m_connection.releaseBuffers();
   // No reply can come any more: callers still waiting end now.
   m_msgWaitQueue->releaseWaiters();
}

bool ISC::handleReceive(HKCPReceiveResult result, const wchar_t *peer) {
   wchar_t line[256];
   if (m_connection.describe(result, line, 256))
      PrintMsg(L"%s", line);
   switch (m_connection.action(result)) {
      case HKCPReceiveAction::Deliver:
         break;
      case HKCPReceiveAction::Skip:
         return true;
      case HKCPReceiveAction::Wait:
         PrintMsg(L"Timed out waiting for message");
         return false;
      case HKCPReceiveAction::End:
         if (result == HKCPReceiveResult::Closed || result == HKCPReceiveResult::Failed)
            PrintMsg(L"ISC::ReceiverThread(): RecvHKCPMessage() failed: error=%d, socket_error=%d",
                     m_connection.receivedLength(), m_connection.lastSocketError());
         return false;
   }
   CSCP_MESSAGE *frame = m_connection.frame();
   wchar_t name[64];
   if ((ntohs(frame->wFlags) & MF_BINARY) != 0) {
      DbgPrintf(6, L"ISC: Received raw message %s from peer at %s",
                HKCPMessageCodeName(ntohs(frame->wCode), name), peer);
      return true;
   }
   CSCPMessage *message = new CSCPMessage(frame, m_protocolVersion);
   if (!message->IsValid()) {
      // A frame that lies about its contents has no code or id anyone could
      // wait for.
      DbgPrintf(6, L"ISC: Dropped malformed message %s from peer at %s",
                HKCPMessageCodeName(ntohs(frame->wCode), name), peer);
      delete message;
      return true;
   }
   // Ids are the caller's, so nothing is expected: the bound drops the
   // oldest. Reported once per session, counted always.
   uint32_t dropped = m_msgWaitQueue->put(message, ntohl(frame->dwSize));
   if (dropped != 0 && m_msgWaitQueue->droppedCount() == dropped)
      PrintMsg(
          L"ISC: reply queue full, dropping the oldest messages from peer at %s; further "
          L"drops are only counted",
          peer);
   return true;
}
