// ISC session core: construction and destruction, the send path, the
// session's own request/reply exchange and the reply waits.
#include <cstdlib>

#include "hksrv_isc.h"
#include "isc_tls_settings.h"

namespace {

const uint16_t kDefaultPort = 4702;
const uint32_t kCommandTimeout = 10000;
const uint32_t kReceiveTimeout = 420000;

}  // namespace

ISC::ISC() : ISC(inet_addr("127.0.0.1"), kDefaultPort) {}

ISC::ISC(uint32_t addr, uint16_t port)
    : m_flags(0),
      m_addr(addr),
      m_port(port),
      m_protocolVersion(0),
      m_requestId(1),
      m_recvTimeout(kReceiveTimeout),
      m_msgWaitQueue(new MsgWaitQueue()),
      m_receiverThread(nullptr),
      m_commandTimeout(kCommandTimeout),
      m_tlsSettings(new TlsSettings()) {}

ISC::~ISC() {
   Disconnect();
   m_connection.teardown(&m_receiverThread);
   delete m_msgWaitQueue;
   delete m_tlsSettings;
}

// Only shuts the socket down (waking any sender blocked on it): the
// receiver, woken by it, closes the socket, releases the encryption context
// and ends.
void ISC::Disconnect() {
   Lock();
   if (m_connection.socket() != INVALID_SOCKET) {
      m_connection.shutdown();
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

int ISC::SendMessage(CSCPMessage *message) {
   if ((m_flags.load() & FLAG_CONNECTED) == 0)
      return 0;
   return m_connection.sendMessage(*message) ? 1 : 0;
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
   if (!m_connection.sendMessage(*request))
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
