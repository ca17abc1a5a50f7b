// A scriptable monitoring agent for tests and benchmarks: a real TCP server
// on 127.0.0.1 (an ephemeral port), built on libhesker, speaking HKCP as an
// agent does.
//
// Out of the box it answers the version probe, key requests (the channel is
// encrypted from the next frame on), CMD_NOP and CMD_AUTHENTICATE with
// VID_RCC 0, acts as a proxy on CMD_SETUP_PROXY_CONNECTION (connects to the
// address and port asked for and from then on relays bytes both ways, so
// encryption is end to end with the agent behind it), and answers every other
// code with ERR_UNKNOWN_COMMAND (400). A test replaces the behaviour for any
// code with setHandler(); the Fake* functions below build the usual ones and
// compose (FakeDelay(200, FakeReply(0)), FakeOversizeFrame(300000, ...)).
//
// Every frame received is recorded in order, decoded (after decryption), with
// whether it came encrypted: tests assert on the exchange on the wire.
//
// Thread safety: every method may be called from the test's threads while
// connections are served. Each accepted connection has its own thread, which
// runs the handlers for its frames one at a time, in arrival order.
#ifndef FAKE_AGENT_H
#define FAKE_AGENT_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hesker.h"
#include "loopback_listener.h"

class FakeAgent;

// One accepted connection, as handlers and tests see it. Owned by the
// FakeAgent and valid until it is destroyed.
class FakeAgentConnection {
public:
   ~FakeAgentConnection();
   FakeAgentConnection(const FakeAgentConnection &) = delete;
   FakeAgentConnection &operator=(const FakeAgentConnection &) = delete;

   int index() const { return m_index; }  // 1 for the first accepted connection
   // True once a key was agreed: what is sent is then encrypted.
   bool encrypted() const { return m_context.load() != nullptr; }
   HKCPEncryptionContext *context() const { return m_context.load(); }

   // A message, encrypted when the connection has a key.
   bool send(const CSCPMessage &message);
   // CMD_REQUEST_COMPLETED with the request's id, VID_RCC = rcc and what
   // fill adds (may be null).
   bool reply(const CSCPMessage &request, uint32_t rcc,
              const std::function<void(CSCPMessage &)> &fill = nullptr);
   // A plain frame as it stands (header in network order), encrypted when
   // the connection has a key.
   bool sendFrame(const CSCP_MESSAGE *plain);
   // Bytes as they are, never encrypted.
   bool sendRaw(const void *data, size_t size);
   // Shuts the connection down in both directions; its thread then ends.
   void shutdown();
   // Waits ms milliseconds, or less when the agent is being destroyed.
   void pause(uint32_t ms);

   // Installs a context agreed by a key exchange (takes the reference).
   void setContext(HKCPEncryptionContext *context);
   // Connects onwards (address in host byte order); when this succeeds the
   // connection relays bytes both ways once the current handler returns.
   bool openTunnel(uint32_t address, uint16_t port);

private:
   friend class FakeAgent;
   FakeAgentConnection(FakeAgent *agent, int index, SOCKET s)
       : m_agent(agent), m_index(index), m_socket(s) {}

   FakeAgent *m_agent;
   const int m_index;
   const SOCKET m_socket;
   std::thread m_thread;
   // Sets whether writes are gathered (while more requests wait to be read)
   // and sends what was gathered when gathering ends.
   void setBatching(bool batching);
   bool flushLocked();
   bool sendLocked(const void *data, size_t size);  // m_sendLock held

   CriticalSection m_sendLock;  // every write to m_socket, and the two below
   bool m_batching = false;
   std::vector<uint8_t> m_pending;  // gathered replies, sent as one write
   std::atomic<HKCPEncryptionContext *> m_context{nullptr};
   std::mutex m_retiredLock;
   std::vector<HKCPEncryptionContext *> m_retired;  // replaced contexts, freed at the end
   std::atomic<SOCKET> m_tunnel{INVALID_SOCKET};    // set by the serving thread
};

typedef std::function<void(FakeAgentConnection &connection, const CSCPMessage &request)>
    FakeAgentHandler;

// One frame as received.
struct FakeAgentRecord {
   int connection;                              // FakeAgentConnection::index()
   bool encrypted;                              // came as an encrypted frame
   uint16_t code;                               // of the decoded message
   uint32_t id;                                 // its request id
   std::shared_ptr<const CSCPMessage> message;  // decoded (raw frames keep their data)
};

struct FakeAgentOptions {
   enum class Probe {
      Answer,  // answer the version probe with `version`
      Close,   // close the connection on the probe
   };
   int version = HKCP_VERSION;
   Probe probe = Probe::Answer;
   uint32_t keyCiphers = HKCP_SUPPORTED_CIPHERS;  // 0: key requests fail with 42
   bool record = true;                            // false keeps the hot path lean (benchmarks)
};

class FakeAgent {
public:
   explicit FakeAgent(const FakeAgentOptions &options = FakeAgentOptions());
   ~FakeAgent();
   FakeAgent(const FakeAgent &) = delete;
   FakeAgent &operator=(const FakeAgent &) = delete;

   bool listening() const { return m_listener.listening(); }
   uint16_t port() const { return m_listener.port(); }
   static uint32_t addressNetworkOrder();  // 127.0.0.1
   const FakeAgentOptions &options() const { return m_options; }

   // The behaviour for one message code (replacing the built-in one); a
   // null handler restores the built-in behaviour.
   void setHandler(uint16_t code, FakeAgentHandler handler);

   std::vector<FakeAgentRecord> records();
   std::vector<FakeAgentRecord> recordsWithCode(uint16_t code);
   // Codes of all records, in order (the probe is CMD_GET_HKCP_VERSION).
   std::vector<uint16_t> codes();
   // True once count records exist (of the code, when given), false after
   // timeoutMs.
   bool waitForRecords(size_t count, uint32_t timeoutMs);
   bool waitForCode(uint16_t code, size_t count, uint32_t timeoutMs);
   void clearRecords();

   int acceptedConnections();
   int closedConnections();
   // True once count connections have ended (closed by either side).
   bool waitForClosed(int count, uint32_t timeoutMs);
   // The connection with that index (0: the latest), or null.
   FakeAgentConnection *connection(int index = 0);
   // Sends a message (a trap, a data push) on a connection (0: the latest).
   bool push(const CSCPMessage &message, int index = 0);

private:
   friend class FakeAgentConnection;

   void acceptLoop();
   void serve(FakeAgentConnection *connection);
   void dispatch(FakeAgentConnection &connection, const CSCPMessage &request);
   void relay(FakeAgentConnection *connection, const uint8_t *pending, size_t pendingSize);
   void record(int connection, bool encrypted, std::shared_ptr<const CSCPMessage> message);
   bool stopping();

   const FakeAgentOptions m_options;
   LoopbackListener m_listener;
   std::thread m_acceptThread;

   std::mutex m_mutex;  // guards everything below
   std::condition_variable m_changed;
   std::vector<std::unique_ptr<FakeAgentConnection>> m_connections;
   std::map<uint16_t, std::shared_ptr<const FakeAgentHandler>> m_handlers;
   std::vector<FakeAgentRecord> m_records;
   int m_closed = 0;
   bool m_stopping = false;
};

// ---------------------------------------------------------------- behaviours
// Replies CMD_REQUEST_COMPLETED with rcc; fill may add variables.
FakeAgentHandler FakeReply(
    uint32_t rcc,
    std::function<void(const CSCPMessage &request, CSCPMessage &reply)> fill = nullptr);
// Waits ms, then behaves as `then`.
FakeAgentHandler FakeDelay(uint32_t ms, FakeAgentHandler then);
// Says nothing; the connection stays open.
FakeAgentHandler FakeSilent();
// Replies 906 while the connection is plain, else behaves as `then`.
FakeAgentHandler FakeDemandEncryption(FakeAgentHandler then = FakeReply(0));
// Sends the first half of a reply frame and shuts the connection down.
FakeAgentHandler FakeCloseMidFrame();
// Sends a plain frame of `size` bytes (over the receiver's limit) with the
// request's code and id, then behaves as `then`.
FakeAgentHandler FakeOversizeFrame(uint32_t size, FakeAgentHandler then = FakeReply(0));
// Sends an encrypted-looking frame that cannot be decrypted, then behaves as
// `then`.
FakeAgentHandler FakeUndecryptableFrame(FakeAgentHandler then = FakeReply(0));
// Sends the reply (VID_RCC = rcc) with a size field 8 bytes longer than its
// variables (the 8 bytes follow, so the stream stays framed).
FakeAgentHandler FakeWrongSizeReply(uint32_t rcc = 0);
// Sends a header whose size field is below the header's own size.
FakeAgentHandler FakeUnframeableHeader();
// Answers a key request (the built-in behaviour for CMD_REQUEST_SESSION_KEY).
FakeAgentHandler FakeAnswerKeyRequest(uint32_t ciphers = HKCP_SUPPORTED_CIPHERS);
// Connects onwards and relays (the built-in CMD_SETUP_PROXY_CONNECTION);
// replies ERR_CONNECT_FAILED (910) when the onward connect fails.
FakeAgentHandler FakeProxy();

#endif
