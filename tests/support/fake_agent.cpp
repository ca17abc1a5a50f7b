// The scriptable agent; behaviour described in fake_agent.h.
#include "fake_agent.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "loopback_listener.h"

namespace {

// Larger than any frame a session sends; a bigger one ends the connection.
const uint32_t kMaxFrame = 4 * 1024 * 1024;

uint32_t be32(const uint8_t *p) {
   return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

// Whole frames from a stream socket, read in large chunks. Each frame is
// copied to an aligned buffer before it is handed out.
class FrameReader {
public:
   explicit FrameReader(SOCKET s) : m_socket(s), m_buffer(65536) {}
   ~FrameReader() { free(m_frame); }

   // The next frame (valid until the next call), or null on close, error or
   // a frame that cannot be framed.
   const CSCP_MESSAGE *next() {
      for (;;) {
         size_t available = m_end - m_pos;
         if (available >= HKCP_HEADER_SIZE) {
            uint32_t size = be32(m_buffer.data() + m_pos + 4);
            if (size < HKCP_HEADER_SIZE || size > kMaxFrame)
               return nullptr;
            if (available >= size)
               return take(size);
            if (m_pos + size > m_buffer.size()) {
               compact();
               if (size > m_buffer.size())
                  m_buffer.resize(size);
            }
         } else if (m_pos + HKCP_HEADER_SIZE > m_buffer.size()) {
            compact();
         }
         int n = SocketRecv(m_socket, m_buffer.data() + m_end, m_buffer.size() - m_end);
         if (n <= 0)
            return nullptr;
         m_end += (size_t)n;
      }
   }

   // True when a whole frame is already buffered.
   bool hasFrame() const {
      size_t available = m_end - m_pos;
      return available >= HKCP_HEADER_SIZE && available >= be32(m_buffer.data() + m_pos + 4);
   }
   const uint8_t *pending() const { return m_buffer.data() + m_pos; }
   size_t pendingSize() const { return m_end - m_pos; }

private:
   const CSCP_MESSAGE *take(uint32_t size) {
      if (size > m_frameCapacity) {
         free(m_frame);
         m_frame = static_cast<uint8_t *>(malloc(size));
         m_frameCapacity = size;
      }
      memcpy(m_frame, m_buffer.data() + m_pos, size);
      m_pos += size;
      return reinterpret_cast<const CSCP_MESSAGE *>(m_frame);
   }

   void compact() {
      memmove(m_buffer.data(), m_buffer.data() + m_pos, m_end - m_pos);
      m_end -= m_pos;
      m_pos = 0;
   }

   SOCKET m_socket;
   std::vector<uint8_t> m_buffer;
   size_t m_pos = 0;
   size_t m_end = 0;
   uint8_t *m_frame = nullptr;
   uint32_t m_frameCapacity = 0;
};

}  // namespace

// ---------------------------------------------------------------- connection

FakeAgentConnection::~FakeAgentConnection() {
   if (m_thread.joinable())
      m_thread.join();
   closesocket(m_socket);
   SOCKET tunnel = m_tunnel.exchange(INVALID_SOCKET);
   if (tunnel != INVALID_SOCKET)
      closesocket(tunnel);
   if (HKCPEncryptionContext *context = m_context.exchange(nullptr))
      context->decRefCount();
   for (HKCPEncryptionContext *context : m_retired)
      context->decRefCount();
}

bool FakeAgentConnection::send(const CSCPMessage &message) {
   CSCP_MESSAGE *frame = message.CreateMessage();
   if (frame == nullptr)
      return false;
   bool ok = sendFrame(frame);
   free(frame);
   return ok;
}

bool FakeAgentConnection::reply(const CSCPMessage &request, uint32_t rcc,
                                const std::function<void(CSCPMessage &)> &fill) {
   CSCPMessage message(request.GetVersion());
   message.SetCode(CMD_REQUEST_COMPLETED);
   message.SetId(request.GetId());
   message.SetVariable(VID_RCC, rcc);
   if (fill)
      fill(message);
   return send(message);
}

bool FakeAgentConnection::sendFrame(const CSCP_MESSAGE *plain) {
   // Encrypted under the send lock, as a real peer does: the library
   // refuses nonces that do not rise on the wire.
   std::lock_guard<CriticalSection> guard(m_sendLock);
   HKCPEncryptionContext *context = m_context.load();
   if (context == nullptr)
      return sendLocked(plain, ntohl(plain->dwSize));
   CSCP_ENCRYPTED_MESSAGE *encrypted = CSCPEncryptMessage(context, plain);
   if (encrypted == nullptr)
      return false;
   bool ok = sendLocked(encrypted, ntohl(encrypted->dwSize));
   free(encrypted);
   return ok;
}

bool FakeAgentConnection::sendRaw(const void *data, size_t size) {
   std::lock_guard<CriticalSection> guard(m_sendLock);
   return sendLocked(data, size);
}

bool FakeAgentConnection::sendLocked(const void *data, size_t size) {
   if (m_batching) {
      const uint8_t *bytes = static_cast<const uint8_t *>(data);
      m_pending.insert(m_pending.end(), bytes, bytes + size);
      return m_pending.size() < 65536 || flushLocked();
   }
   return flushLocked() && SendAllBytes(m_socket, data, size);
}

bool FakeAgentConnection::flushLocked() {
   bool ok = m_pending.empty() || SendAllBytes(m_socket, m_pending.data(), m_pending.size());
   m_pending.clear();
   return ok;
}

void FakeAgentConnection::setBatching(bool batching) {
   std::lock_guard<CriticalSection> guard(m_sendLock);
   m_batching = batching;
   if (!batching)
      flushLocked();
}

void FakeAgentConnection::shutdown() {
   setBatching(false);
   ShutdownSocket(m_socket);
}

void FakeAgentConnection::pause(uint32_t ms) {
   setBatching(false);
   std::unique_lock<std::mutex> guard(m_agent->m_mutex);
   m_agent->m_changed.wait_for(guard, std::chrono::milliseconds(ms),
                               [this] { return m_agent->m_stopping; });
}

void FakeAgentConnection::setContext(HKCPEncryptionContext *context) {
   HKCPEncryptionContext *old = m_context.exchange(context);
   if (old != nullptr) {
      // A test thread may be sending with it right now.
      std::lock_guard<std::mutex> guard(m_retiredLock);
      m_retired.push_back(old);
   }
}

bool FakeAgentConnection::openTunnel(uint32_t address, uint16_t port) {
   SOCKET s = ConnectLoopback(address, port);
   if (s == INVALID_SOCKET)
      return false;
   m_tunnel = s;
   return true;
}

// ---------------------------------------------------------------- agent

FakeAgent::FakeAgent(const FakeAgentOptions &options) : m_options(options) {
   if (m_listener.listening())
      m_acceptThread = std::thread([this] { acceptLoop(); });
}

FakeAgent::~FakeAgent() {
   if (!m_listener.listening())
      return;
   std::vector<std::unique_ptr<FakeAgentConnection>> connections;
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_stopping = true;
   }
   m_changed.notify_all();
   m_listener.stop();
   m_acceptThread.join();
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      for (auto &connection : m_connections) {
         ShutdownSocket(connection->m_socket);
         SOCKET tunnel = connection->m_tunnel.load();
         if (tunnel != INVALID_SOCKET)
            ShutdownSocket(tunnel);
      }
      connections.swap(m_connections);
   }
   connections.clear();  // joins each serving thread
}

uint32_t FakeAgent::addressNetworkOrder() {
   return htonl(INADDR_LOOPBACK);
}

void FakeAgent::setHandler(uint16_t code, FakeAgentHandler handler) {
   std::lock_guard<std::mutex> guard(m_mutex);
   if (handler)
      m_handlers[code] = std::make_shared<const FakeAgentHandler>(std::move(handler));
   else
      m_handlers.erase(code);
}

std::vector<FakeAgentRecord> FakeAgent::records() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_records;
}

std::vector<FakeAgentRecord> FakeAgent::recordsWithCode(uint16_t code) {
   std::vector<FakeAgentRecord> result;
   std::lock_guard<std::mutex> guard(m_mutex);
   for (const FakeAgentRecord &r : m_records) {
      if (r.code == code)
         result.push_back(r);
   }
   return result;
}

std::vector<uint16_t> FakeAgent::codes() {
   std::vector<uint16_t> result;
   std::lock_guard<std::mutex> guard(m_mutex);
   for (const FakeAgentRecord &r : m_records)
      result.push_back(r.code);
   return result;
}

bool FakeAgent::waitForRecords(size_t count, uint32_t timeoutMs) {
   std::unique_lock<std::mutex> guard(m_mutex);
   return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return m_records.size() >= count; });
}

bool FakeAgent::waitForCode(uint16_t code, size_t count, uint32_t timeoutMs) {
   std::unique_lock<std::mutex> guard(m_mutex);
   return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
      size_t n = 0;
      for (const FakeAgentRecord &r : m_records)
         n += (r.code == code) ? 1 : 0;
      return n >= count;
   });
}

void FakeAgent::clearRecords() {
   std::lock_guard<std::mutex> guard(m_mutex);
   m_records.clear();
}

int FakeAgent::acceptedConnections() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return (int)m_connections.size();
}

int FakeAgent::closedConnections() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_closed;
}

bool FakeAgent::waitForClosed(int count, uint32_t timeoutMs) {
   std::unique_lock<std::mutex> guard(m_mutex);
   return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return m_closed >= count; });
}

FakeAgentConnection *FakeAgent::connection(int index) {
   std::lock_guard<std::mutex> guard(m_mutex);
   if (m_connections.empty())
      return nullptr;
   if (index == 0)
      return m_connections.back().get();
   if (index < 0 || index > (int)m_connections.size())
      return nullptr;
   return m_connections[(size_t)index - 1].get();
}

bool FakeAgent::push(const CSCPMessage &message, int index) {
   FakeAgentConnection *target = connection(index);
   return target != nullptr && target->send(message);
}

bool FakeAgent::stopping() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_stopping;
}

void FakeAgent::record(int connection, bool encrypted, std::shared_ptr<const CSCPMessage> message) {
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_records.push_back(
          {connection, encrypted, message->GetCode(), message->GetId(), std::move(message)});
   }
   m_changed.notify_all();
}

void FakeAgent::acceptLoop() {
   for (;;) {
      SOCKET s = m_listener.accept();
      if (s == INVALID_SOCKET)
         return;
      std::lock_guard<std::mutex> guard(m_mutex);
      if (m_stopping) {
         closesocket(s);
         return;
      }
      int index = (int)m_connections.size() + 1;
      m_connections.emplace_back(new FakeAgentConnection(this, index, s));
      FakeAgentConnection *connection = m_connections.back().get();
      connection->m_thread = std::thread([this, connection] { serve(connection); });
   }
}

void FakeAgent::serve(FakeAgentConnection *connection) {
   FrameReader reader(connection->m_socket);
   // Not cleared: each decryption fills what it hands out.
   std::unique_ptr<uint8_t[]> decrypted(new uint8_t[kMaxFrame]);
   while (const CSCP_MESSAGE *frame = reader.next()) {
      bool encrypted = (ntohs(frame->wFlags) & MF_ENCRYPTED) != 0;
      const CSCP_MESSAGE *plain = frame;
      if (encrypted) {
         HKCPEncryptionContext *context = connection->m_context.load();
         plain = (context == nullptr)
                     ? nullptr
                     : CSCPDecryptMessage(context,
                                          reinterpret_cast<const CSCP_ENCRYPTED_MESSAGE *>(frame),
                                          decrypted.get(), kMaxFrame);
         if (plain == nullptr)
            continue;  // an agent drops what it cannot read
      }

      auto message = std::make_shared<const CSCPMessage>(plain, HKCP_VERSION);
      if (m_options.record || message->GetCode() == CMD_GET_HKCP_VERSION)
         record(connection->m_index, encrypted, message);

      if (message->GetCode() == CMD_GET_HKCP_VERSION) {
         if (m_options.probe == FakeAgentOptions::Probe::Close)
            break;
         HKCPAnswerVersionProbe(connection->m_socket, plain, m_options.version,
                                &connection->m_sendLock);
         continue;
      }

      // Replies to requests that arrived together leave together.
      connection->setBatching(reader.hasFrame());
      dispatch(*connection, *message);
      if (!reader.hasFrame())
         connection->setBatching(false);
      if (connection->m_tunnel.load() != INVALID_SOCKET) {
         connection->setBatching(false);
         relay(connection, reader.pending(), reader.pendingSize());
         break;
      }
   }
   ShutdownSocket(connection->m_socket);
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_closed++;
   }
   m_changed.notify_all();
}

void FakeAgent::dispatch(FakeAgentConnection &connection, const CSCPMessage &request) {
   static const FakeAgentHandler s_ok = FakeReply(0);
   static const FakeAgentHandler s_unknown = FakeReply(400);
   static const FakeAgentHandler s_proxy = FakeProxy();

   std::shared_ptr<const FakeAgentHandler> handler;
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      auto it = m_handlers.find(request.GetCode());
      if (it != m_handlers.end())
         handler = it->second;
   }
   if (handler) {
      (*handler)(connection, request);
      return;
   }
   switch (request.GetCode()) {
      case CMD_NOP:
      case CMD_AUTHENTICATE:
         s_ok(connection, request);
         break;
      case CMD_REQUEST_SESSION_KEY:
         FakeAnswerKeyRequest(m_options.keyCiphers)(connection, request);
         break;
      case CMD_SETUP_PROXY_CONNECTION:
         s_proxy(connection, request);
         break;
      default:
         if (!request.IsBinary())  // raw frames (file data) get no answer
            s_unknown(connection, request);
         break;
   }
}

void FakeAgent::relay(FakeAgentConnection *connection, const uint8_t *pending, size_t pendingSize) {
   SOCKET client = connection->m_socket;
   SOCKET tunnel = connection->m_tunnel.load();
   if (pendingSize > 0 && !SendAllBytes(tunnel, pending, pendingSize))
      return;
   // One thread for each direction: the one that ends first shuts both
   // sockets down, which ends the other's receive.
   auto pump = [client, tunnel](SOCKET from, SOCKET to) {
      std::vector<uint8_t> buffer(65536);
      for (;;) {
         int n = SocketRecv(from, buffer.data(), buffer.size());
         if (n <= 0 || !SendAllBytes(to, buffer.data(), (size_t)n))
            break;
      }
      ShutdownSocket(client);
      ShutdownSocket(tunnel);
   };
   std::thread back(pump, tunnel, client);
   pump(client, tunnel);
   back.join();
}
