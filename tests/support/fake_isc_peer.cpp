// The scriptable ISC peer; behaviour described in fake_isc_peer.h.
#include "fake_isc_peer.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

const uint32_t kMaxFrame = HKCP_MAX_FRAME_SIZE + 64;

}  // namespace

struct FakeIscPeer::Connection {
   int index = 0;
   SOCKET socket = INVALID_SOCKET;
   std::thread thread;
   CriticalSection sendLock;
   // Set by the serving thread after the key exchange, read by the test's
   // threads through sendMessage; one reference held here.
   std::atomic<HKCPEncryptionContext *> context{nullptr};
   bool attached = false;  // serving thread only
   // Set by the serving thread under sendLock; writers use it under it.
   std::unique_ptr<HKCPTls> tls;
   std::vector<uint8_t> decrypted;  // serving thread only: TLS bytes not yet taken
};

FakeIscPeer::FakeIscPeer(const FakeIscScript &script, uint16_t port)
    : m_script(script), m_listener(port) {
   if (m_listener.listening())
      m_acceptThread = std::thread([this] { acceptLoop(); });
}

FakeIscPeer::~FakeIscPeer() {
   if (!m_listener.listening())
      return;
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_stopping = true;
   }
   m_listener.stop();
   m_acceptThread.join();

   std::vector<std::unique_ptr<Connection>> connections;
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      connections.swap(m_connections);
   }
   for (auto &c : connections) {
      ShutdownSocket(c->socket);
      c->thread.join();
      closesocket(c->socket);
      HKCPEncryptionContext *context = c->context.exchange(nullptr);
      if (context != nullptr)
         context->decRefCount();
   }
}

uint32_t FakeIscPeer::addressNetworkOrder() {
   return htonl(INADDR_LOOPBACK);
}

void FakeIscPeer::acceptLoop() {
   for (;;) {
      SOCKET s = m_listener.accept();
      if (s == INVALID_SOCKET)
         return;  // stopped
      std::lock_guard<std::mutex> guard(m_mutex);
      if (m_stopping) {
         closesocket(s);
         return;
      }
      auto connection = std::make_unique<Connection>();
      connection->index = static_cast<int>(m_connections.size()) + 1;
      connection->socket = s;
      Connection *c = connection.get();
      m_connections.push_back(std::move(connection));
      c->thread = std::thread([this, c] { serve(c); });
      m_changed.notify_all();
   }
}

void FakeIscPeer::serve(Connection *connection) {
   uint8_t *wire = static_cast<uint8_t *>(malloc(kMaxFrame));
   uint8_t *plainBuffer = static_cast<uint8_t *>(malloc(kMaxFrame));
   for (;;) {
      if (!receive(connection, wire, HKCP_HEADER_SIZE))
         break;
      FakeIscFrame record = {};
      record.connection = connection->index;
      record.wireCode = static_cast<uint16_t>((wire[0] << 8) | wire[1]);
      record.wireFlags = static_cast<uint16_t>((wire[2] << 8) | wire[3]);
      memcpy(&record.wireSize, wire + 4, 4);
      record.wireSize = ntohl(record.wireSize);
      if (record.wireSize < HKCP_HEADER_SIZE || record.wireSize > kMaxFrame ||
          !receive(connection, wire + HKCP_HEADER_SIZE, record.wireSize - HKCP_HEADER_SIZE))
         break;

      const CSCP_MESSAGE *plain = reinterpret_cast<const CSCP_MESSAGE *>(wire);
      record.encrypted = (record.wireFlags & MF_ENCRYPTED) != 0;
      record.insideTls = connection->tls != nullptr;
      record.decrypted = true;
      if (record.encrypted) {
         HKCPEncryptionContext *context = connection->context.load();
         plain = (context != nullptr)
                     ? CSCPDecryptMessage(context,
                                          reinterpret_cast<const CSCP_ENCRYPTED_MESSAGE *>(wire),
                                          plainBuffer, kMaxFrame)
                     : nullptr;
         record.decrypted = plain != nullptr;
      }
      if (plain != nullptr) {
         record.code = ntohs(plain->wCode);
         record.id = ntohl(plain->dwId);
         if (record.code == CMD_CONNECT_TO_SERVICE && (ntohs(plain->wFlags) & MF_BINARY) == 0) {
            CSCPMessage message(plain, m_script.version);
            record.serviceId = message.GetVariableLong(VID_SERVICE_ID);
         }
      }
      {
         std::lock_guard<std::mutex> guard(m_mutex);
         m_frames.push_back(record);
         m_changed.notify_all();
      }
      if (plain != nullptr && !handleFrame(connection, plain, record))
         break;
   }
   ShutdownSocket(connection->socket);
   free(plainBuffer);
   free(wire);
   std::lock_guard<std::mutex> guard(m_mutex);
   m_closed++;
   m_changed.notify_all();
}

// Answers one frame; false to close the connection.
bool FakeIscPeer::handleFrame(Connection *connection, const CSCP_MESSAGE *plain,
                              const FakeIscFrame &record) {
   const int version = m_script.version;
   if (record.code == CMD_GET_HKCP_VERSION) {
      if (m_script.probe == FakeIscAction::Close)
         return false;
      if (m_script.probe == FakeIscAction::Silent)
         return true;
      if (m_script.probeAsOldPeer) {
         CSCPMessage answer(1);
         answer.SetCode(CMD_REQUEST_COMPLETED);
         answer.SetId(record.id);
         answer.SetVariable(VID_RCC, static_cast<uint32_t>(11));
         return reply(connection, answer);
      }
      HKCPAnswerVersionProbe(connection->socket, plain, version, &connection->sendLock);
      return true;
   }

   CSCPMessage request(plain, version);
   CSCPMessage answer(version);
   answer.SetCode(CMD_REQUEST_COMPLETED);
   answer.SetId(record.id);
   switch (record.code) {
      case CMD_REQUEST_SESSION_KEY: {
         if (m_script.keyRequest != FakeIscAction::Answer)
            return m_script.keyRequest == FakeIscAction::Silent;
         uint32_t ciphers = m_script.keyCiphers;
         {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_keyRequests++ < m_script.keyFailFirst)
               ciphers = 0;
         }
         HKCPEncryptionContext *context = nullptr;
         HKCPAnswerKeyRequest(&request, &answer, &context, ciphers);
         // The answer goes out in plain text; everything after it is encrypted.
         bool sent = reply(connection, answer);
         if (context != nullptr) {
            HKCPEncryptionContext *previous = connection->context.exchange(context);
            if (previous != nullptr)
               previous->decRefCount();
         }
         return sent;
      }
      case CMD_START_TLS:
         if (!m_script.tlsIdentity || connection->tls) {
            answer.SetVariable(VID_RCC, ERR_UNKNOWN_COMMAND);
            return reply(connection, answer);
         }
         answer.SetVariable(VID_RCC, static_cast<uint32_t>(0));
         return startTls(connection, answer);
      case CMD_NOP:
         if (m_script.nop != FakeIscAction::Answer)
            return m_script.nop == FakeIscAction::Silent;
         answer.SetVariable(VID_RCC,
                            record.encrypted ? m_script.nopRccEncrypted : m_script.nopRccPlain);
         return reply(connection, answer);
      case CMD_CONNECT_TO_SERVICE:
         if (m_script.service != FakeIscAction::Answer)
            return m_script.service == FakeIscAction::Silent;
         connection->attached = m_script.serviceRcc == 0;
         answer.SetVariable(VID_RCC, m_script.serviceRcc);
         return reply(connection, answer);
      default:
         break;
   }
   if (!connection->attached) {
      answer.SetVariable(VID_RCC, static_cast<uint32_t>(2));
      return reply(connection, answer);
   }
   // Echo: the caller's frame with only its code changed.
   const uint32_t size = ntohl(plain->dwSize);
   CSCP_MESSAGE *echo = static_cast<CSCP_MESSAGE *>(malloc(size));
   memcpy(echo, plain, size);
   echo->wCode = htons(CMD_REQUEST_COMPLETED);
   bool sent = send(connection, echo);
   free(echo);
   return sent;
}

bool FakeIscPeer::reply(Connection *connection, const CSCPMessage &message) {
   CSCP_MESSAGE *frame = message.CreateMessage();
   if (frame == nullptr)
      return false;
   bool sent = send(connection, frame);
   free(frame);
   return sent;
}

bool FakeIscPeer::send(Connection *connection, const CSCP_MESSAGE *plain) {
   // Encrypted under the send lock, so nonces reach the wire in order.
   std::lock_guard<CriticalSection> guard(connection->sendLock);
   if (connection->tls)
      return connection->tls->write(connection->socket, plain, ntohl(plain->dwSize));
   return HKCPWriteFrame(connection->socket, plain, connection->context.load());
}

bool FakeIscPeer::receive(Connection *connection, uint8_t *buffer, size_t size) {
   if (!connection->tls)
      return ReceiveExactly(connection->socket, buffer, size);
   std::vector<uint8_t> &in = connection->decrypted;
   while (in.size() < size) {
      uint8_t chunk[16384];
      int n = connection->tls->read(connection->socket, chunk, sizeof(chunk), 0);
      if (n <= 0)
         return false;
      in.insert(in.end(), chunk, chunk + n);
   }
   memcpy(buffer, in.data(), size);
   in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(size));
   return true;
}

bool FakeIscPeer::startTls(Connection *connection, const CSCPMessage &answer) {
   // The plain answer and the handshake under one hold of the send lock;
   // frames are read whole, so nothing of the handshake was read yet.
   std::lock_guard<CriticalSection> guard(connection->sendLock);
   if (!reply(connection, answer))
      return false;
   HKCPTlsTrust trust = m_script.tlsTrust;
   if (!trust)
      trust = [](const uint8_t *) { return true; };
   std::unique_ptr<HKCPTls> tls = HKCPTls::create(m_script.tlsIdentity, true, trust);
   if (!tls ||
       tls->handshake(connection->socket, std::string(), 10000) != HKCPTlsResult::Established)
      return false;
   connection->tls = std::move(tls);
   return true;
}

FakeIscPeer::Connection *FakeIscPeer::latest() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_connections.empty() ? nullptr : m_connections.back().get();
}

bool FakeIscPeer::sendRaw(const void *data, size_t size) {
   Connection *c = latest();
   return c != nullptr && SendEx(c->socket, data, size, 0, &c->sendLock) == static_cast<int>(size);
}

bool FakeIscPeer::sendMessage(const CSCPMessage &message) {
   Connection *c = latest();
   return c != nullptr && reply(c, message);
}

void FakeIscPeer::closeLatest() {
   Connection *c = latest();
   if (c != nullptr)
      ShutdownSocket(c->socket);
}

std::vector<FakeIscFrame> FakeIscPeer::frames() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_frames;
}

std::vector<FakeIscFrame> FakeIscPeer::framesWithCode(uint16_t code) {
   std::vector<FakeIscFrame> result;
   for (const FakeIscFrame &f : frames())
      if (f.code == code)
         result.push_back(f);
   return result;
}

bool FakeIscPeer::waitForFrames(size_t count, uint32_t timeoutMs) {
   std::unique_lock<std::mutex> lock(m_mutex);
   return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return m_frames.size() >= count; });
}

bool FakeIscPeer::waitForClosed(int count, uint32_t timeoutMs) {
   std::unique_lock<std::mutex> lock(m_mutex);
   return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return m_closed >= count; });
}

int FakeIscPeer::acceptedConnections() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return static_cast<int>(m_connections.size());
}

int FakeIscPeer::closedConnections() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_closed;
}
