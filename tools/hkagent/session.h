// One client's session: reads its frames, answers the version probe, hands
// requests to the dispatcher, sends replies, traps and pushes, and carries
// out the dispatcher's follow-ups (file frames both ways, the proxy relay).
//
// Threads: run() is the session's own thread and the only reader of the
// socket. sendMessage() and requestStop() may be called from any thread
// (traps, data pushes, shutdown).
#ifndef HKAGENT_SESSION_H
#define HKAGENT_SESSION_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "dispatcher.h"
#include "fd_util.h"
#include "hesker.h"
#include "runtime.h"

namespace hkagent {

class Session {
public:
   // A frame not written within the send bound ends the session; the server
   // passes the configured SendTimeout (the same default).
   static constexpr uint32_t kDefaultSendTimeoutMs = 30000;
   // Largest frame before authentication: the key exchange and the proof
   // need well under it, and a peer that has proved nothing holds no more.
   static constexpr uint32_t kPreAuthFrameLimit = 8192;

   // Takes ownership of the connected socket fd.
   Session(int fd, AgentRuntime &runtime, uint32_t peerAddress, uint16_t peerPort,
           uint32_t sendTimeoutMs = kDefaultSendTimeoutMs);
   Session(const Session &) = delete;
   Session &operator=(const Session &) = delete;
   ~Session();

   // Serves the client until it leaves, misbehaves or requestStop() is
   // called. Returns when the session is over.
   void run();
   // Wakes run() so that it ends; the socket stays open until destruction.
   void requestStop();

   bool trapsEnabled() const { return m_trapsEnabled.load(); }
   // True once a request has passed the encryption and authentication gates.
   bool established() const { return m_established.load(); }
   // Sends a message (encrypted when the session is); false when it could
   // not be written whole or the session no longer carries messages.
   bool sendMessage(const CSCPMessage &message);

   uint32_t peerAddress() const { return m_peerAddress; }
   uint16_t peerPort() const { return m_peerPort; }

private:
   struct Upload;

   bool sendFrame(const CSCP_MESSAGE *frame);
   bool sendReply(const CSCPMessage &reply);
   // False (after logging why) when the receive ends the session.
   bool acceptReceive(HKCPReceiveResult received, const std::string &peer, uint32_t idle);
   // Dispatches one request and carries out its follow-up; false when the
   // session must end.
   bool serve(const CSCPMessage &request);
   bool handleRawFrame(const CSCP_MESSAGE *frame, int length);
   void finishUpload(uint32_t rcc);
   bool sendFile(int fd, uint32_t requestId);
   void relay(UniqueFd onward, const CSCPMessage &reply);
   // Sends the reply to CMD_START_TLS and runs the handshake; false ends
   // the session.
   bool startTls(const CSCPMessage &reply);

   AgentRuntime &m_runtime;
   Dispatcher m_dispatcher;
   const uint32_t m_peerAddress;  // host byte order
   const uint16_t m_peerPort;

   // Session-thread state.
   SessionState m_state;
   std::unique_ptr<Upload> m_upload;

   // The socket (closed by the destructor), its send lock and the context.
   // Once stopSending() was called (the socket carries relayed bytes, or
   // the session is over) no frame is written any more.
   HKCPConnection m_connection;

   std::atomic<bool> m_trapsEnabled{false};
   std::atomic<bool> m_established{false};
   std::atomic<bool> m_stopRequested{false};
};

}  // namespace hkagent

#endif
