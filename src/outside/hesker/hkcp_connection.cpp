// The connection core: bounded whole-frame writes, the context's swap and
// references, one receive with a named result, and the teardown order.
#include "hkcp_connection.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

void HKCPConnection::FreeDeleter::operator()(void *p) const {
   free(p);
}

HKCPConnection::HKCPConnection() : m_stateLock(4000), m_sendLock(4000) {}

HKCPConnection::~HKCPConnection() {
   close();
}

// ---------------------------------------------------------------- the socket

void HKCPConnection::attach(SOCKET s, uint32_t sendTimeoutMs) {
   close();
   SetSocketSendTimeout(s, sendTimeoutMs);
   m_sendTimeout = sendTimeoutMs;
   {
      std::lock_guard<CriticalSection> send(m_sendLock);
      m_stopped = false;
   }
   std::lock_guard<CriticalSection> state(m_stateLock);
   m_socket = s;
}

void HKCPConnection::setSendTimeout(uint32_t timeoutMs) {
   if (m_sendTimeout.exchange(timeoutMs) == timeoutMs)
      return;
   std::lock_guard<CriticalSection> state(m_stateLock);
   SOCKET s = m_socket.load();
   if (s != INVALID_SOCKET)
      SetSocketSendTimeout(s, timeoutMs);
}

// ---------------------------------------------------------------- writing

// Both writers check, write and give up the socket the same way; write is
// called with the send lock held and returns whether the whole frame went.
template <typename Write>
bool HKCPConnection::writeLocked(Write write) {
   bool written = false;
   SOCKET s;
   {
      std::lock_guard<CriticalSection> guard(m_sendLock);
      s = m_stopped ? INVALID_SOCKET : m_socket.load();
      if (s != INVALID_SOCKET)
         written = write(s);
   }
   // A frame cut short leaves the stream unframed, and a peer that takes
   // nothing for the bound is gone: either way the connection ends here.
   if (!written && s != INVALID_SOCKET) {
      int error = WSAGetLastError();
      shutdown();
      WSASetLastError(error);
   }
   return written;
}

bool HKCPConnection::writeFrame(const CSCP_MESSAGE *frame, HKCPEncryptionContext *context) {
   // Encrypted inside the send lock: the nonce is taken there, so frames of
   // different threads reach the wire in the order of their nonces, which
   // the peer demands.
   return writeLocked([frame, context](SOCKET s) { return HKCPWriteFrame(s, frame, context); });
}

bool HKCPConnection::sendBytes(const void *data, uint32_t size) {
   return writeLocked(
       [data, size](SOCKET s) { return SendEx(s, data, size, 0, nullptr) == (int)size; });
}

bool HKCPConnection::sendFrame(const CSCP_MESSAGE *frame) {
   if (frame == nullptr)
      return false;
   HKCPEncryptionContext *context = acquireContext();
   bool sent = writeFrame(frame, context);
   if (context != nullptr)
      context->decRefCount();
   return sent;
}

bool HKCPConnection::sendMessage(const CSCPMessage &message) {
   CSCP_MESSAGE *frame = message.CreateMessage();
   if (frame == nullptr)
      return false;
   bool sent = sendFrame(frame);
   free(frame);
   return sent;
}

bool HKCPConnection::sendFile(uint32_t requestId, const wchar_t *fileName,
                              HKCP_UPLOAD_PROGRESS progress, void *progressArg) {
   HKCPEncryptionContext *context = acquireContext();
   // The reference is held until the last frame is written.
   bool sent = SendFileOverHKCP(
       [this, context](const CSCP_MESSAGE *frame) { return writeFrame(frame, context); }, requestId,
       fileName, 0, progress, progressArg);
   if (context != nullptr)
      context->decRefCount();
   return sent;
}

void HKCPConnection::stopSending() {
   std::lock_guard<CriticalSection> guard(m_sendLock);
   m_stopped = true;
}

// ---------------------------------------------------------------- encryption

HKCPEncryptionContext *HKCPConnection::acquireContext() {
   std::lock_guard<CriticalSection> guard(m_stateLock);
   if (m_context != nullptr)
      m_context->incRefCount();
   return m_context;
}

void HKCPConnection::setContext(HKCPEncryptionContext *context) {
   HKCPEncryptionContext *previous;
   {
      std::lock_guard<CriticalSection> guard(m_stateLock);
      previous = m_context;
      m_context = context;
   }
   if (previous != nullptr)
      previous->decRefCount();
}

bool HKCPConnection::encrypted() {
   std::lock_guard<CriticalSection> guard(m_stateLock);
   return m_context != nullptr;
}

// ---------------------------------------------------------------- reading

void HKCPConnection::takeBuffers() {
   // The receive state never holds more than one frame's worth at a time
   // (RecvHKCPMessage reads at most that much into it).
   uint32_t room = m_frameLimit < CSCP_TEMP_BUF_SIZE ? m_frameLimit : CSCP_TEMP_BUF_SIZE;
   if (!m_receiveState || m_receiveCapacity < room) {
      bool fresh = !m_receiveState;
      // realloc keeps the bytes of the next frames already received.
      void *grown = realloc(m_receiveState.get(), offsetof(CSCP_BUFFER, buffer) + room);
      if (grown != nullptr) {
         m_receiveState.release();
         m_receiveState.reset(static_cast<CSCP_BUFFER *>(grown));
         m_receiveCapacity = room;
         if (fresh)
            RecvHKCPMessage(0, nullptr, m_receiveState.get(), 0, nullptr, nullptr, 0);
      }
   }
   if (m_frameCapacity < m_frameLimit) {
      m_frame.reset(static_cast<uint8_t *>(malloc(m_frameLimit)));
      bool hadDecrypt = m_decryptBuffer != nullptr;
      m_decryptBuffer.reset();
      if (hadDecrypt)
         m_decryptBuffer.reset(static_cast<uint8_t *>(malloc(m_frameLimit)));
      m_frameCapacity = m_frame ? m_frameLimit : 0;
   }
}

void HKCPConnection::releaseBuffers() {
   m_receiveState.reset();
   m_frame.reset();
   m_decryptBuffer.reset();
   m_frameCapacity = m_receiveCapacity = 0;
}

void HKCPConnection::setFrameLimit(uint32_t limit) {
   if (limit < HKCP_HEADER_SIZE)
      limit = HKCP_HEADER_SIZE;
   if (limit > HKCP_MAX_FRAME_SIZE)
      limit = HKCP_MAX_FRAME_SIZE;
   m_frameLimit = limit;
}

HKCPReceiveResult HKCPConnection::receive(uint32_t timeoutMs) {
   m_received = 0;
   takeBuffers();
   SOCKET s = socket();
   if (!m_receiveState || m_receiveCapacity < HKCP_HEADER_SIZE || !m_frame || s == INVALID_SOCKET) {
      m_socketError = s == INVALID_SOCKET ? WSAESHUTDOWN : ENOMEM;
      return HKCPReceiveResult::Failed;
   }
   // The peer encrypts only what it sends after the key exchange, which the
   // session finishes (setContext) before it sends anything more; so the
   // context is read once a frame has begun to arrive. A frame already
   // buffered needs no wait.
   CSCP_BUFFER *state = m_receiveState.get();
   if (state->dwBufPos >= state->dwBufSize && state->dwSkipBytes == 0) {
      int ready = SocketWaitReadable(s, timeoutMs);
      if (ready == 0)
         return HKCPReceiveResult::TimedOut;
   }
   HKCPEncryptionContext *context = acquireContext();
   if (context != nullptr && !m_decryptBuffer)
      m_decryptBuffer.reset(static_cast<uint8_t *>(malloc(m_frameCapacity)));
   // Buffers smaller than the limit (a larger one could not be had) bound
   // the frame instead.
   uint32_t capacity = m_frameCapacity < m_frameLimit ? m_frameCapacity : m_frameLimit;
   int rc =
       RecvHKCPMessage(s, frame(), state, capacity, &context, m_decryptBuffer.get(), timeoutMs);
   m_socketError = WSAGetLastError();
   m_receivedEncrypted = context != nullptr;
   // Read while the reference is held: the fault lives in the context.
   HKCPEncryptionContext::SequenceFault fault = HKCPEncryptionContext::SEQUENCE_OK;
   if (rc == 2 && context != nullptr)
      fault = context->sequenceFault(&m_sequenceExpected, &m_sequenceReceived);
   if (context != nullptr)
      context->decRefCount();

   switch (rc) {
      case 1:
         return HKCPReceiveResult::TooLarge;
      case 2:
         switch (fault) {
            case HKCPEncryptionContext::SEQUENCE_REPLAYED:
               return HKCPReceiveResult::Replayed;
            case HKCPEncryptionContext::SEQUENCE_GAP:
               return HKCPReceiveResult::SequenceGap;
            case HKCPEncryptionContext::SEQUENCE_REFLECTED:
               return HKCPReceiveResult::Reflected;
            default:
               return HKCPReceiveResult::Undecryptable;
         }
      case 3:
         return HKCPReceiveResult::TimedOut;
      default:
         break;
   }
   m_received = rc;
   if (rc == 0)
      return HKCPReceiveResult::Closed;
   if (rc < 0)
      return HKCPReceiveResult::Failed;
   if ((uint32_t)rc != ntohl(frame()->dwSize) || (uint32_t)rc < HKCP_HEADER_SIZE)
      return HKCPReceiveResult::BadLength;
   return HKCPReceiveResult::Frame;
}

HKCPReceiveAction HKCPConnection::action(HKCPReceiveResult result) const {
   switch (result) {
      case HKCPReceiveResult::Frame:
         return HKCPReceiveAction::Deliver;
      case HKCPReceiveResult::TimedOut:
         return HKCPReceiveAction::Wait;
      case HKCPReceiveResult::TooLarge:
      case HKCPReceiveResult::BadLength:
         // Skipped unread, so never authenticated: on an encrypted channel
         // the next frame's counter would not follow anyway.
         return m_receivedEncrypted ? HKCPReceiveAction::End : HKCPReceiveAction::Skip;
      default:
         return HKCPReceiveAction::End;
   }
}

bool HKCPConnection::describe(HKCPReceiveResult result, wchar_t *buffer, size_t size) const {
   const CSCP_MESSAGE *header = frame();
   wchar_t name[64];
   switch (result) {
      case HKCPReceiveResult::TooLarge:
         hk_snwprintf(buffer, size, L"Received too large message %s (%d bytes)",
                      HKCPMessageCodeName(ntohs(header->wCode), name), (int)ntohl(header->dwSize));
         return true;
      case HKCPReceiveResult::Undecryptable:
         hk_snwprintf(buffer, size, L"Unable to decrypt received message");
         return true;
      case HKCPReceiveResult::BadLength:
         hk_snwprintf(buffer, size, L"RecvMsg: Bad packet length [dwSize=%d ActualSize=%d]",
                      (int)ntohl(header->dwSize), m_received);
         return true;
      case HKCPReceiveResult::Replayed:
         hk_snwprintf(buffer, size,
                      L"Received message out of sequence (replayed or reordered): counter %llu, "
                      L"expected %llu",
                      (unsigned long long)m_sequenceReceived,
                      (unsigned long long)m_sequenceExpected);
         return true;
      case HKCPReceiveResult::SequenceGap:
         hk_snwprintf(buffer, size,
                      L"Received message out of sequence (%llu earlier message(s) missing): "
                      L"counter %llu, expected %llu",
                      (unsigned long long)(m_sequenceReceived - m_sequenceExpected),
                      (unsigned long long)m_sequenceReceived,
                      (unsigned long long)m_sequenceExpected);
         return true;
      case HKCPReceiveResult::Reflected:
         hk_snwprintf(buffer, size,
                      L"Received message in this side's own direction (reflected back): counter "
                      L"%llu",
                      (unsigned long long)m_sequenceReceived);
         return true;
      default:
         return false;
   }
}

std::string HKCPConnection::pendingBytes() const {
   const CSCP_BUFFER *state = m_receiveState.get();
   if (state == nullptr || state->dwBufPos >= state->dwBufSize ||
       state->dwBufSize > CSCP_TEMP_BUF_SIZE)
      return std::string();
   return std::string(reinterpret_cast<const char *>(state->buffer) + state->dwBufPos,
                      state->dwBufSize - state->dwBufPos);
}

// ---------------------------------------------------------------- teardown

void HKCPConnection::shutdown() {
   std::lock_guard<CriticalSection> guard(m_stateLock);
   SOCKET s = m_socket.load();
   if (s != INVALID_SOCKET)
      ShutdownSocket(s);
}

void HKCPConnection::close() {
   SOCKET s;
   HKCPEncryptionContext *context;
   {
      std::lock_guard<CriticalSection> guard(m_stateLock);
      s = m_socket.exchange(INVALID_SOCKET);
      // Wakes a writer blocked on this socket before the send lock is taken.
      if (s != INVALID_SOCKET)
         ShutdownSocket(s);
      context = m_context;
      m_context = nullptr;
   }
   if (s != INVALID_SOCKET) {
      std::lock_guard<CriticalSection> guard(m_sendLock);
      closesocket(s);
   }
   if (context != nullptr)
      context->decRefCount();
}

void HKCPConnection::teardown(HK_THREAD **reader) {
   shutdown();
   if (reader != nullptr) {
      JoinThread(*reader);
      *reader = nullptr;
   }
   close();
}
