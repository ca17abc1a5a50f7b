// A scriptable inter-server (ISC) peer for tests: a real TCP server on
// 127.0.0.1, built on libhesker, that answers the version probe, the key
// request, CMD_NOP and CMD_CONNECT_TO_SERVICE as its script says and then
// serves an echo service. It records every frame it receives, as it came
// over the wire, so tests can assert on the exchange.
//
// The echo service: once a connection is attached to a service (its
// CMD_CONNECT_TO_SERVICE answered with 0), every other message comes back
// unchanged except for its code, which becomes CMD_REQUEST_COMPLETED: the
// request id and every variable stay, so the reply carries a VID_RCC only
// when the caller put one in. Before that, such messages are answered with
// VID_RCC 2 (request out of state). Replies are encrypted once the
// connection has a key.
//
// Thread safety: every method may be called from the test's threads while
// connections are served; each accepted connection has its own thread.
#ifndef FAKE_ISC_PEER_H
#define FAKE_ISC_PEER_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hesker.h"
#include "loopback_listener.h"

enum class FakeIscAction {
   Answer,  // answer as scripted
   Silent,  // say nothing; the connection stays open
   Close,   // close the connection instead of answering
};

struct FakeIscScript {
   int version = 2;  // answered to the version probe
   FakeIscAction probe = FakeIscAction::Answer;
   bool probeAsOldPeer = false;  // answer the probe with an ordinary frame (version 1)
   FakeIscAction keyRequest = FakeIscAction::Answer;
   uint32_t keyCiphers = HKCP_SUPPORTED_CIPHERS;  // 0: the key request fails with 42
   int keyFailFirst = 0;  // the first n key requests (over all connections) fail with 42
   FakeIscAction nop = FakeIscAction::Answer;
   uint32_t nopRccPlain = 0;      // VID_RCC for a CMD_NOP that came in plain text
   uint32_t nopRccEncrypted = 0;  // ... that came encrypted
   FakeIscAction service = FakeIscAction::Answer;
   uint32_t serviceRcc = 0;
   // CMD_START_TLS: with a key, answered 0 and TLS from then on, the
   // client's key judged by tlsTrust (none: any); without, answered 400.
   std::shared_ptr<HKCPTlsIdentity> tlsIdentity;
   HKCPTlsTrust tlsTrust;
};

// One frame as received.
struct FakeIscFrame {
   int connection;      // 1 for the first accepted connection, and so on
   uint16_t wireCode;   // the header's code (CMD_ENCRYPTED_MESSAGE when encrypted)
   uint16_t wireFlags;  // the header's flags
   uint32_t wireSize;   // the header's size field
   bool encrypted;      // came as an encrypted frame
   bool decrypted;      // false when it could not be decrypted
   uint16_t code;       // the code of the (decrypted) message
   uint32_t id;         // its request id
   uint32_t serviceId;  // VID_SERVICE_ID of a CMD_CONNECT_TO_SERVICE, else 0
   bool insideTls;      // came through TLS
};

class FakeIscPeer {
public:
   // Listens on 127.0.0.1: on port (0: any free port).
   explicit FakeIscPeer(const FakeIscScript &script, uint16_t port = 0);
   ~FakeIscPeer();
   FakeIscPeer(const FakeIscPeer &) = delete;
   FakeIscPeer &operator=(const FakeIscPeer &) = delete;

   bool listening() const { return m_listener.listening(); }
   uint16_t port() const { return m_listener.port(); }
   static uint32_t addressNetworkOrder();  // 127.0.0.1

   std::vector<FakeIscFrame> frames();
   // Frames of one code (decrypted code), in order.
   std::vector<FakeIscFrame> framesWithCode(uint16_t code);
   // True once count frames are recorded, false after timeoutMs.
   bool waitForFrames(size_t count, uint32_t timeoutMs);
   // True once count connections have ended (closed by either side).
   bool waitForClosed(int count, uint32_t timeoutMs);
   int acceptedConnections();
   int closedConnections();

   // Writes bytes as they are to the latest connection.
   bool sendRaw(const void *data, size_t size);
   // Writes a message to the latest connection, encrypted when it has a key.
   bool sendMessage(const CSCPMessage &message);
   // Shuts the latest connection down.
   void closeLatest();

private:
   struct Connection;

   void acceptLoop();
   void serve(Connection *connection);
   bool handleFrame(Connection *connection, const CSCP_MESSAGE *plain, const FakeIscFrame &record);
   bool reply(Connection *connection, const CSCPMessage &message);
   bool send(Connection *connection, const CSCP_MESSAGE *plain);
   bool receive(Connection *connection, uint8_t *buffer, size_t size);
   bool startTls(Connection *connection, const CSCPMessage &answer);
   Connection *latest();

   const FakeIscScript m_script;
   LoopbackListener m_listener;
   std::thread m_acceptThread;

   std::mutex m_mutex;  // guards everything below
   std::condition_variable m_changed;
   std::vector<std::unique_ptr<Connection>> m_connections;
   std::vector<FakeIscFrame> m_frames;
   int m_closed = 0;
   int m_keyRequests = 0;
   bool m_stopping = false;
};

#endif
