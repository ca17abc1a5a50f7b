// The connection core: bounded whole-frame writes, the context's swap and
// references, one receive with a named result, and the teardown order.
#include "hkcp_connection.h"

#include "hk_internal.h"

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
   // Inside TLS the frame goes plain into the tunnel; the send lock held
   // here keeps its records in order too.
   return writeLocked([this, frame, context](SOCKET s) {
      if (m_tls)
         return m_tls->write(s, frame, ntohl(frame->dwSize));
      return HKCPWriteFrame(s, frame, context);
   });
}

bool HKCPConnection::sendBytes(const void *data, uint32_t size) {
   return writeLocked([this, data, size](SOCKET s) {
      if (m_tls)
         return m_tls->write(s, data, size);
      return SendEx(s, data, size, 0, nullptr) == (int)size;
   });
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

// ---------------------------------------------------------------- TLS

HKCPTlsResult HKCPConnection::startTls(std::unique_ptr<HKCPTls> &tls, uint32_t timeoutMs) {
   if (!tls || m_tls)
      return HKCPTlsResult::Refused;
   std::lock_guard<CriticalSection> guard(m_sendLock);
   SOCKET s = m_stopped ? INVALID_SOCKET : m_socket.load();
   if (s == INVALID_SOCKET)
      return HKCPTlsResult::Closed;
   // What the plain path read past its last frame is the start of the
   // handshake; from here nothing is framed in the clear any more.
   m_tlsFailed = false;
   std::string received = pendingBytes();
   m_receiveState.reset();
   m_decryptBuffer.reset();
   HKCPTlsResult result = tls->handshake(s, received, timeoutMs);
   if (result == HKCPTlsResult::Established) {
      m_tls = std::move(tls);
      m_plain.clear();
      m_plainPos = 0;
      m_plainSkip = 0;
      m_tlsActive = true;
   }
   return result;
}

HKCPTlsResult HKCPConnection::startTlsConnecting(std::unique_ptr<HKCPTls> &tls, int protocolVersion,
                                                 uint32_t requestId, uint32_t timeoutMs,
                                                 uint32_t *rcc) {
   CSCPMessage request(protocolVersion);
   request.SetCode(CMD_START_TLS);
   request.SetId(requestId);
   *rcc = ERR_CONNECTION_BROKEN;
   if (!sendMessage(request))
      return HKCPTlsResult::Closed;
   for (;;) {
      HKCPReceiveResult received = receive(timeoutMs);
      if (received == HKCPReceiveResult::TimedOut) {
         *rcc = ERR_REQUEST_TIMEOUT;
         return HKCPTlsResult::TimedOut;
      }
      if (received != HKCPReceiveResult::Frame)
         return HKCPTlsResult::Closed;
      if (ntohs(frame()->wFlags) & MF_BINARY)
         continue;
      CSCPMessage reply(frame(), protocolVersion);
      if (reply.GetCode() == CMD_REQUEST_COMPLETED && reply.GetId() == requestId) {
         *rcc = reply.GetVariableLong(VID_RCC);
         break;
      }
   }
   if (*rcc != ERR_SUCCESS)
      return HKCPTlsResult::NotOffered;
   return startTls(tls, timeoutMs);
}

HKCPTlsResult HKCPConnection::startTlsAccepting(std::unique_ptr<HKCPTls> &tls,
                                                const CSCPMessage &reply, uint32_t timeoutMs) {
   // No frame of another thread (a trap) between the reply and the
   // handshake, nor inside it.
   std::lock_guard<CriticalSection> guard(m_sendLock);
   if (!sendMessage(reply))
      return HKCPTlsResult::Closed;
   return startTls(tls, timeoutMs);
}

// Under the send lock: the reader may close (and free the TLS session)
// while another thread asks.
bool HKCPConnection::tlsBinding(uint8_t binding[HKCP_TLS_BINDING_SIZE]) {
   std::lock_guard<CriticalSection> guard(m_sendLock);
   return m_tls && m_tls->binding(binding);
}

bool HKCPConnection::tlsPeerFingerprint(uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]) {
   std::lock_guard<CriticalSection> guard(m_sendLock);
   return m_tls && m_tls->peerFingerprint(fingerprint);
}

// Frames out of the decrypted stream, with the plain path's limit and
// results. A record that fails authentication (or an alert) fails the
// receive: the TLS session cannot go on after it.
HKCPReceiveResult HKCPConnection::receiveTls(SOCKET s, uint32_t timeoutMs) {
   const size_t kChunk = 16384;
   uint64_t deadline = 0;
   if (timeoutMs != INFINITE) {
      deadline = GetMonotonicMs() + timeoutMs;
      if (deadline == 0)
         deadline = 1;
   }
   for (;;) {
      size_t available = m_plain.size() - m_plainPos;
      const uint8_t *head = m_plain.data() + m_plainPos;
      bool needMore = false;
      if (m_plainSkip > 0) {
         size_t n = available < m_plainSkip ? available : m_plainSkip;
         m_plainPos += n;
         m_plainSkip -= (uint32_t)n;
         needMore = m_plainSkip > 0;
      } else if (available >= HKCP_HEADER_SIZE) {
         uint32_t size = hk_get_be32(head + 4);
         if (size < HKCP_HEADER_SIZE) {
            m_socketError = EBADMSG;
            return HKCPReceiveResult::Failed;
         }
         if (size > m_frameLimit) {
            memcpy(m_frame.get(), head, HKCP_HEADER_SIZE);
            m_plainPos += HKCP_HEADER_SIZE;
            m_plainSkip = size - HKCP_HEADER_SIZE;
            return HKCPReceiveResult::TooLarge;
         }
         if (available >= size) {
            memcpy(m_frame.get(), head, size);
            m_plainPos += size;
            if (m_plainPos == m_plain.size()) {
               m_plain.clear();
               m_plainPos = 0;
            }
            m_received = (int)size;
            // The tunnel carries plain frames only.
            if (ntohs(frame()->wFlags) & MF_ENCRYPTED)
               return HKCPReceiveResult::Undecryptable;
            return HKCPReceiveResult::Frame;
         }
         needMore = true;
      } else {
         needMore = true;
      }
      if (!needMore)
         continue;
      if (m_plainPos > 0) {
         m_plain.erase(m_plain.begin(), m_plain.begin() + (ptrdiff_t)m_plainPos);
         m_plainPos = 0;
      }
      size_t start = m_plain.size();
      m_plain.resize(start + kChunk);
      int n = m_tls->read(s, m_plain.data() + start, kChunk, deadline);
      m_socketError = WSAGetLastError();
      m_plain.resize(start + (n > 0 ? (size_t)n : 0));
      if (m_tls->hasPendingOutput()) {
         // A record TLS answers by itself (a key update) goes out in turn
         // with the writers' records.
         std::lock_guard<CriticalSection> guard(m_sendLock);
         if (!m_stopped)
            m_tls->flushPending(s);
      }
      if (n == -3)
         return HKCPReceiveResult::TimedOut;
      if (n == 0)
         return HKCPReceiveResult::Closed;
      if (n < 0) {
         if (m_tls->failed())
            m_tlsFailed = true;
         return HKCPReceiveResult::Failed;
      }
   }
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
   if (m_plainPos > 0) {
      m_plain.erase(m_plain.begin(), m_plain.begin() + (ptrdiff_t)m_plainPos);
      m_plainPos = 0;
   }
   m_plain.shrink_to_fit();
   if (m_tls)
      m_tls->releaseBuffers();
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
   SOCKET s = socket();
   if (m_tlsActive.load()) {
      // The frame buffer follows the limit as on the plain path.
      if (m_frameCapacity < m_frameLimit) {
         m_frame.reset(static_cast<uint8_t *>(malloc(m_frameLimit)));
         m_frameCapacity = m_frame ? m_frameLimit : 0;
      }
      if (!m_frame || s == INVALID_SOCKET) {
         m_socketError = s == INVALID_SOCKET ? WSAESHUTDOWN : ENOMEM;
         return HKCPReceiveResult::Failed;
      }
      // Inside TLS as on the legacy cipher: what is not delivered ends it.
      m_receivedEncrypted = true;
      return receiveTls(s, timeoutMs);
   }
   takeBuffers();
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
   {
      std::lock_guard<CriticalSection> guard(m_sendLock);
      if (s != INVALID_SOCKET)
         closesocket(s);
      // The reader has ended (or is the caller): nobody uses it any more.
      m_tlsActive = false;
      m_tls.reset();
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
