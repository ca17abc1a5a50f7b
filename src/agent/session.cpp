// AgentConnection: construction and teardown, settings, the send path, reply
// waits, the standard exchange, disconnect, the default hooks and the texts
// of the result codes.
//
// Locks: the connection core's state lock (Lock/Unlock) guards the socket's
// replacement and shutdown, the encryption context's references, the
// clearing of the connected flag and the data-line store's release; its send
// lock serialises writes and the socket's close; m_downloadLock (taken inside
// the state lock, never around it) guards the download state. No code here
// holds the state and send locks together, and none holds a lock while it
// waits for a reply or a thread.
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

#include "agent/agent_internal.h"
#include "agent/download_target.h"

namespace {

// The default policy that new sessions copy (SetAgentDEP).
std::atomic<int> s_defaultEncryptionPolicy{ENCRYPTION_ALLOWED};

struct ErrorText {
   int code;
   const wchar_t *text;
};

const ErrorText s_errorTexts[] = {
    {(int)ERR_SUCCESS, L"Success"},
    {(int)ERR_UNKNOWN_COMMAND, L"Unknown command"},
    {(int)ERR_AUTH_REQUIRED, L"Authentication required"},
    {(int)ERR_ACCESS_DENIED, L"Access denied"},
    {(int)ERR_UNKNOWN_PARAMETER, L"Unknown parameter"},
    {(int)ERR_REQUEST_TIMEOUT, L"Request timeout"},
    {(int)ERR_AUTH_FAILED, L"Authentication failed"},
    {(int)ERR_ALREADY_AUTHENTICATED, L"Already authenticated"},
    {(int)ERR_AUTH_NOT_REQUIRED, L"Authentication not required"},
    {(int)ERR_INTERNAL_ERROR, L"Internal error"},
    {(int)ERR_NOT_IMPLEMENTED, L"Not implemented"},
    {(int)ERR_OUT_OF_RESOURCES, L"Out of resources"},
    {(int)ERR_NOT_CONNECTED, L"Not connected"},
    {(int)ERR_CONNECTION_BROKEN, L"Connection broken"},
    {(int)ERR_BAD_RESPONSE, L"Bad response"},
    {(int)ERR_IO_FAILURE, L"I/O failure"},
    {(int)ERR_RESOURCE_BUSY, L"Resource busy"},
    {(int)ERR_EXEC_FAILED, L"External program execution failed"},
    {(int)ERR_ENCRYPTION_REQUIRED, L"Encryption required"},
    {(int)ERR_NO_CIPHERS, L"No acceptable ciphers"},
    {(int)ERR_INVALID_PUBLIC_KEY, L"Invalid public key"},
    {(int)ERR_INVALID_SESSION_KEY, L"Invalid session key"},
    {(int)ERR_CONNECT_FAILED, L"Connect failed"},
    {(int)ERR_MALFORMED_COMMAND, L"Malformed command"},
    {(int)ERR_SOCKET_ERROR, L"Socket error"},
    {(int)ERR_BAD_ARGUMENTS, L"Bad arguments"},
    {(int)ERR_SUBAGENT_LOAD_FAILED, L"Subagent load failed"},
    {(int)ERR_FILE_OPEN_ERROR, L"File open error"},
    {(int)ERR_FILE_STAT_FAILED, L"File stat filed"},
    {(int)ERR_MEM_ALLOC_FAILED, L"Memory allocation failed"},
    {(int)ERR_FILE_DELETE_FAILED, L"File delete failed"},
    {(int)ERR_AGENT_AUTH_FAILED, L"Agent authentication failed"},
    {(int)ERR_TLS_FAILED, L"TLS setup failed"},
    {(int)ERR_AGENT_KEY_NOT_PINNED, L"Agent key not pinned"},
    {(int)ERR_AGENT_KEY_UNTRUSTED, L"Agent key not trusted"},
    {(int)ERR_TLS_REQUIRED, L"Authentication method requires TLS"},
    {-1, nullptr},
};

}  // namespace

// ---------------------------------------------------------------- helpers

void AgentStoreSecret(const wchar_t *secret, char destination[64]) {
   destination[0] = 0;
   if (secret != nullptr)
      WideToCodePage(secret, -1, destination, 64);
}

void AgentStoreSecret(const char *secret, char destination[64]) {
   destination[0] = 0;
   if (secret != nullptr) {
      strncpy(destination, secret, 63);
      destination[63] = 0;
   }
}

std::string AgentNarrowPath(const wchar_t *path) {
   std::string result;
   for (const wchar_t *p = path; *p != 0; p++) {
      uint32_t c = (uint32_t)*p;
      if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
         c = '?';
      if (c < 0x80) {
         result += (char)c;
      } else if (c < 0x800) {
         result += (char)(0xC0 | (c >> 6));
         result += (char)(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
         result += (char)(0xE0 | (c >> 12));
         result += (char)(0x80 | ((c >> 6) & 0x3F));
         result += (char)(0x80 | (c & 0x3F));
      } else {
         result += (char)(0xF0 | (c >> 18));
         result += (char)(0x80 | ((c >> 12) & 0x3F));
         result += (char)(0x80 | ((c >> 6) & 0x3F));
         result += (char)(0x80 | (c & 0x3F));
      }
   }
   return result;
}

void AgentWriteMessage(const wchar_t *format, va_list args) {
   wchar_t buffer[1024];
   va_list copy;
   va_copy(copy, args);
   int length = hk_vsnwprintf(buffer, sizeof(buffer) / sizeof(wchar_t), format, args);
   if (length >= (int)(sizeof(buffer) / sizeof(wchar_t))) {
      wchar_t *text = (wchar_t *)malloc(((size_t)length + 1) * sizeof(wchar_t));
      if (text != nullptr) {
         hk_vsnwprintf(text, (size_t)length + 1, format, copy);
         hk_write_line(stdout, text);
         free(text);
      } else {
         hk_write_line(stdout, buffer);
      }
   } else {
      hk_write_line(stdout, length < 0 ? format : buffer);
   }
   va_end(copy);
}

// ---------------------------------------------------------------- exported functions

const wchar_t *AgentErrorCodeToText(int code) {
   for (const ErrorText *entry = s_errorTexts; entry->text != nullptr; entry++) {
      if (entry->code == code)
         return entry->text;
   }
   return L"Unknown error code";
}

void SetAgentDEP(int policy) {
   s_defaultEncryptionPolicy.store(policy);
}

// ---------------------------------------------------------------- construction

AgentConnection::AgentConnection(uint32_t ipAddr, uint16_t port, int authMethod,
                                 const wchar_t *secret)
    : m_addr(ipAddr),
      m_authMethod(authMethod),
      m_numDataLines(0),
      m_commandTimeout(10000),
      m_connectionTimeout(30000),
      m_recvTimeout(420000),
      m_dataLines(nullptr),
      m_msgWaitQueue(new MsgWaitQueue()),
      m_receiverThread(nullptr),
      m_encryptionPolicy(s_defaultEncryptionPolicy.load()),
      m_useProxy(0),
      m_proxyAddr(0),
      m_port(port),
      m_proxyPort(0),
      m_proxyAuthMethod(AUTH_NONE),
      m_downloadLock(4000),
      m_downloadFile(-1),
      m_downloadFileName(nullptr),
      m_downloadRequestId(0),
      m_downloadProgressCallback(nullptr),
      m_downloadProgressArg(nullptr),
      m_deleteFileOnDownloadFailure(true),
      m_tlsSettings(new TlsSettings()) {
   AgentStoreSecret(secret, m_secret);
   m_proxySecret[0] = 0;
   m_connection.setSendTimeout(420000);
}

AgentConnection::~AgentConnection() {
   // Virtual calls made from here reach this class's hooks only.
   disconnect();
   m_connection.teardown(&m_receiverThread);

   Lock();
   destroyResultData();
   Unlock();

   delete m_msgWaitQueue;

   {
      // A download armed again after disconnect ended the first one.
      std::lock_guard<CriticalSection> guard(m_downloadLock);
      if (m_downloadFile != -1) {
         close(m_downloadFile);
         m_downloadFile = -1;
         if (m_deleteFileOnDownloadFailure && m_downloadFileName != nullptr)
            AgentRemoveDownloadTarget(m_downloadFileName);
         m_downloadResult = 0;
         m_downloadCompleted.set();
      }
   }
   free(m_downloadFileName);
   delete m_tlsSettings;
}

// ---------------------------------------------------------------- settings and accessors

void AgentConnection::setConnectionTimeout(uint32_t timeout) {
   m_connectionTimeout = timeout > 1000 ? timeout : 1000;
}

void AgentConnection::setCommandTimeout(uint32_t timeout) {
   m_commandTimeout = timeout > 500 ? timeout : 500;
}

void AgentConnection::setRecvTimeout(uint32_t timeout) {
   m_recvTimeout = timeout > 10000 ? timeout : 10000;
}

void AgentConnection::setSendTimeout(uint32_t timeout) {
   m_connection.setSendTimeout(timeout > 1000 ? timeout : 1000);
}

void AgentConnection::setReplyQueueLimits(uint32_t maxMessages, uint64_t maxBytes) {
   m_msgWaitQueue->setLimits(maxMessages, maxBytes);
}

uint64_t AgentConnection::getDroppedReplyCount() const {
   return m_msgWaitQueue->droppedCount();
}

void AgentConnection::setAuthData(int authMethod, const char *secret) {
   m_authMethod = authMethod;
   AgentStoreSecret(secret, m_secret);
}

uint32_t AgentConnection::getIpAddr() const {
   return ntohl(m_addr);
}

HKCPEncryptionContext *AgentConnection::acquireEncryptionContext() {
   return m_connection.acquireContext();
}

// ---------------------------------------------------------------- send path and waits

int AgentConnection::sendMessage(CSCPMessage *message) {
   // The core encrypts under its send lock, so nonces reach the wire in
   // order.
   return m_connection.sendMessage(*message) ? 1 : 0;
}

int AgentConnection::sendRequest(CSCPMessage *request, uint16_t replyCode) {
   // Expected before it is sent: the reply may come before the wait starts.
   m_msgWaitQueue->expect(replyCode, request->GetId());
   if (sendMessage(request))
      return 1;
   m_msgWaitQueue->forget(replyCode, request->GetId());
   return 0;
}

CSCPMessage *AgentConnection::waitForMessage(uint16_t code, uint32_t id, uint32_t timeout) {
   return m_msgWaitQueue->waitForMessage(code, id, timeout);
}

uint32_t AgentConnection::waitForRCC(uint32_t id, uint32_t timeout) {
   CSCPMessage *reply = m_msgWaitQueue->waitForMessage(CMD_REQUEST_COMPLETED, id, timeout);
   if (reply == nullptr)
      return ERR_REQUEST_TIMEOUT;
   uint32_t result = reply->GetVariableLong(VID_RCC);
   delete reply;
   return result;
}

uint32_t AgentConnection::exchange(CSCPMessage *request, uint32_t timeout,
                                   const std::function<void(CSCPMessage *reply)> &readReply) {
   if (!sendRequest(request))
      return ERR_CONNECTION_BROKEN;
   CSCPMessage *reply = waitForMessage(CMD_REQUEST_COMPLETED, request->GetId(), timeout);
   if (reply == nullptr)
      return ERR_REQUEST_TIMEOUT;
   uint32_t result = reply->GetVariableLong(VID_RCC);
   if (result == ERR_SUCCESS && readReply)
      readReply(reply);
   delete reply;
   return result;
}

void AgentConnection::disconnect() {
   Lock();
   abortDownload();
   // Wakes a sender blocked on the socket; the receiver, woken too, closes
   // the socket on its way out.
   m_connection.shutdown();
   destroyResultData();
   m_isConnected = 0;
   Unlock();
   m_msgWaitQueue->releaseWaiters();
}

// ---------------------------------------------------------------- default hooks

void AgentConnection::PrintMsg(const wchar_t *format, ...) {
   va_list args;
   va_start(args, format);
   AgentWriteMessage(format, args);
   va_end(args);
}

void AgentConnection::onTrap(CSCPMessage *) {}

void AgentConnection::onDataPush(CSCPMessage *) {}

bool AgentConnection::processCustomMessage(CSCPMessage *) {
   return false;
}
