// ISC session core: construction and destruction, the send path, the
// session's own request/reply exchange and the reply waits.
#include <cstdlib>

#include "hksrv_isc.h"

namespace {

const uint16_t kDefaultPort = 4702;
const uint32_t kCommandTimeout = 10000;
const uint32_t kReceiveTimeout = 420000;
const int kLockSpinCount = 4000;

}  // namespace

ISC::ISC() : ISC(inet_addr("127.0.0.1"), kDefaultPort) {}

ISC::ISC(uint32_t addr, uint16_t port)
    : m_flags(0),
      m_addr(addr),
      m_port(port),
      m_socket(INVALID_SOCKET),
      m_protocolVersion(0),
      m_requestId(1),
      m_recvTimeout(kReceiveTimeout),
      m_msgWaitQueue(new MsgWaitQueue()),
      m_stateLock(kLockSpinCount),
      m_sendLock(kLockSpinCount),
      m_receiverThread(nullptr),
      m_encryptionContext(nullptr),
      m_commandTimeout(kCommandTimeout) {}

ISC::~ISC() {
   Lock();
   const SOCKET s = m_socket.load();
   if (s != INVALID_SOCKET) {
      ShutdownSocket(s);
      m_flags.fetch_and(~FLAG_CONNECTED);
   }
   Unlock();

   if (m_receiverThread != nullptr) {
      JoinThread(m_receiverThread);
      m_receiverThread = nullptr;
   }
   closeSocket();
   delete m_msgWaitQueue;
   releaseEncryptionContext();
}

// Only shuts the socket down: the receiver, woken by it, closes the socket,
// releases the encryption context and ends.
void ISC::Disconnect() {
   Lock();
   const SOCKET s = m_socket.load();
   if (s != INVALID_SOCKET) {
      ShutdownSocket(s);
      m_flags.fetch_and(~FLAG_CONNECTED);
   }
   Unlock();
}

void ISC::PrintMsg(const wchar_t *format, ...) {
   wchar_t buffer[1024];
   va_list args;
   va_start(args, format);
   va_list again;
   va_copy(again, args);
   const int length = hk_vsnwprintf(buffer, sizeof(buffer) / sizeof(buffer[0]), format, args);
   va_end(args);

   wchar_t *text = buffer;
   wchar_t *large = nullptr;
   if (length >= static_cast<int>(sizeof(buffer) / sizeof(buffer[0]))) {
      // Rare long line: format it whole rather than cut it.
      large = static_cast<wchar_t *>(malloc((static_cast<size_t>(length) + 1) * sizeof(wchar_t)));
      if (large != nullptr) {
         hk_vsnwprintf(large, static_cast<size_t>(length) + 1, format, again);
         text = large;
      }
   }
   va_end(again);
   hk_write_line(stdout, text);
   free(large);
}

const wchar_t *ISC::peerAddress(wchar_t *buffer) const {
   return IpToStr(ntohl(m_addr), buffer);
}

// Takes the socket out under the state lock, then passes the send lock so
// that a send which read the old descriptor has finished before it is closed.
void ISC::closeSocket() {
   Lock();
   const SOCKET s = m_socket.exchange(INVALID_SOCKET);
   Unlock();
   if (s == INVALID_SOCKET)
      return;
   m_sendLock.lock();
   m_sendLock.unlock();
   closesocket(s);
}

void ISC::releaseEncryptionContext() {
   Lock();
   HKCPEncryptionContext *context = m_encryptionContext;
   m_encryptionContext = nullptr;
   Unlock();
   if (context != nullptr)
      context->decRefCount();
}

bool ISC::sendFrame(const CSCPMessage *message) {
   CSCP_MESSAGE *frame = message->CreateMessage();
   if (frame == nullptr)
      return false;

   Lock();
   HKCPEncryptionContext *context = m_encryptionContext;
   if (context != nullptr)
      context->incRefCount();
   Unlock();

   const void *data = frame;
   uint32_t length = ntohl(frame->dwSize);
   CSCP_ENCRYPTED_MESSAGE *encrypted = nullptr;
   if (context != nullptr) {
      encrypted = CSCPEncryptMessage(context, frame);
      context->decRefCount();
      if (encrypted == nullptr) {
         free(frame);
         return false;
      }
      data = encrypted;
      length = ntohl(encrypted->dwSize);
   }

   bool sent = false;
   {
      // The descriptor is read under the send lock: closers pass this lock
      // before they close, so it cannot be closed (and reused) under us.
      std::lock_guard<CriticalSection> guard(m_sendLock);
      const SOCKET s = m_socket.load();
      if (s != INVALID_SOCKET)
         sent = SendEx(s, data, length, 0, nullptr) == static_cast<int>(length);
   }
   free(encrypted);
   free(frame);
   return sent;
}

int ISC::SendMessage(CSCPMessage *message) {
   if ((m_flags.load() & FLAG_CONNECTED) == 0)
      return 0;
   return sendFrame(message) ? 1 : 0;
}

CSCPMessage *ISC::WaitForMessage(uint16_t code, uint32_t id, uint32_t timeout) {
   return m_msgWaitQueue->waitForMessage(code, id, timeout);
}

uint32_t ISC::WaitForRCC(uint32_t id, uint32_t timeout) {
   CSCPMessage *reply = m_msgWaitQueue->waitForMessage(CMD_REQUEST_COMPLETED, id, timeout);
   if (reply == nullptr)
      return ISC_ERR_REQUEST_TIMEOUT;
   const uint32_t rcc = reply->GetVariableLong(VID_RCC);
   delete reply;
   return rcc;
}

// Sends request (code, id and variables already set) and waits for its
// CMD_REQUEST_COMPLETED; the reply's VID_RCC, 0 when absent.
uint32_t ISC::exchange(CSCPMessage *request) {
   if ((m_flags.load() & FLAG_CONNECTED) == 0)
      return ISC_ERR_CONNECTION_BROKEN;
   if (!sendFrame(request))
      return ISC_ERR_CONNECTION_BROKEN;
   return WaitForRCC(request->GetId(), m_commandTimeout);
}

uint32_t ISC::Nop() {
   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_NOP);
   request.SetId(m_requestId.fetch_add(1));
   return exchange(&request);
}

uint32_t ISC::ConnectToService(uint32_t service) {
   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_CONNECT_TO_SERVICE);
   request.SetId(m_requestId.fetch_add(1));
   request.SetVariable(VID_SERVICE_ID, service);
   return exchange(&request);
}
