#include "session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "agent_codes.h"
#include "hk_text.h"
#include "key_trust.h"
#include "log.h"
#include "relay.h"

namespace hkagent {

namespace {

// Room an encrypted frame needs beyond the plain frame it carries.
const uint32_t kEncryptionOverhead = HKCP_ENCRYPTION_HEADER_SIZE + HKCP_ENCRYPTION_TAG_SIZE;

}  // namespace

// An upload whose data frames are still arriving. The temporary file is
// removed unless it was renamed to its final name.
struct Session::Upload {
   uint32_t requestId = 0;
   DispatchOutcome target;  // file, directory, tempName, finalName, maxSize
   uint64_t written = 0;
   bool failed = false;
};

Session::Session(int fd, AgentRuntime &runtime, uint32_t peerAddress, uint16_t peerPort,
                 uint32_t sendTimeoutMs)
    : m_runtime(runtime), m_dispatcher(runtime), m_peerAddress(peerAddress), m_peerPort(peerPort) {
   m_state.peerAddress = peerAddress;
   m_state.stopRequested = &m_stopRequested;
   m_connection.attach((SOCKET)fd, sendTimeoutMs);
   if (!runtime.config()->secret.empty())
      m_connection.setFrameLimit(kPreAuthFrameLimit);
}

Session::~Session() = default;

void Session::requestStop() {
   m_stopRequested.store(true);
   m_connection.shutdown();
}

bool Session::sendFrame(const CSCP_MESSAGE *frame) {
   return m_connection.sendFrame(frame);
}

bool Session::sendMessage(const CSCPMessage &message) {
   return m_connection.sendMessage(message);
}

bool Session::sendReply(const CSCPMessage &reply) {
   CSCP_MESSAGE *frame = reply.CreateMessage();
   uint32_t limit = HKCP_MAX_FRAME_SIZE - (m_state.encrypted ? kEncryptionOverhead : 0);
   if (frame == nullptr || ntohl(frame->dwSize) > limit) {
      // The peer could not take it; a short reply says why instead.
      free(frame);
      HKLOG_WARN("reply to request %u too large for a frame", reply.GetId());
      CSCPMessage small(HKCP_VERSION);
      small.SetCode(reply.GetCode());
      small.SetId(reply.GetId());
      small.SetVariable(VID_RCC, ERR_OUT_OF_RESOURCES);
      return sendMessage(small);
   }
   bool ok = sendFrame(frame);
   free(frame);
   return ok;
}

void Session::finishUpload(uint32_t rcc) {
   std::unique_ptr<Upload> upload = std::move(m_upload);
   m_state.uploadActive = false;
   DispatchOutcome &t = upload->target;
   if (rcc == ERR_SUCCESS && !upload->failed) {
      if (fsync(t.file.get()) != 0 || renameat(t.directory.get(), t.tempName.c_str(),
                                               t.directory.get(), t.finalName.c_str()) != 0) {
         rcc = ERR_IO_FAILURE;
      } else {
         t.tempName.clear();  // renamed: nothing to remove
         HKLOG_INFO("file %s received (%llu bytes)", t.finalName.c_str(),
                    (unsigned long long)upload->written);
         m_runtime.sendTrap(TRAP_FILE_UPLOADED, "file " + t.finalName + " uploaded");
      }
   } else if (rcc == ERR_SUCCESS) {
      rcc = ERR_IO_FAILURE;
   }
   // Gone before the reply, so the client never sees a half file.
   t.discardUpload();
   CSCPMessage reply(HKCP_VERSION);
   reply.SetCode(CMD_REQUEST_COMPLETED);
   reply.SetId(upload->requestId);
   reply.SetVariable(VID_RCC, rcc);
   sendReply(reply);
}

// False when the session must end.
bool Session::handleRawFrame(const CSCP_MESSAGE *frame, int length) {
   // The probe is answered in the clear: never once TLS carries the session.
   if (!m_connection.tlsActive() &&
       HKCPAnswerVersionProbe(m_connection.socket(), frame, HKCP_VERSION, &m_connection.sendLock()))
      return true;
   // The data may be followed by up to 7 bytes of padding to the frame's
   // 8-byte alignment, no more.
   uint32_t dataLength = ntohl(frame->dwNumVars);
   uint32_t body = (uint32_t)length - HKCP_HEADER_SIZE;
   if (dataLength > body || body - dataLength >= 8) {
      HKLOG_PEER(m_state.established, LogLevel::Warning,
                 "raw frame from %s with a wrong data length (%u in a %d-byte frame)",
                 Ipv4ToText(m_peerAddress).c_str(), dataLength, length);
      return false;
   }
   uint16_t code = ntohs(frame->wCode);
   uint32_t id = ntohl(frame->dwId);
   if (code != CMD_FILE_DATA || !m_upload || m_upload->requestId != id) {
      HKLOG_DEBUG("raw frame (code %u, request %u) dropped", code, id);
      return true;
   }
   Upload &u = *m_upload;
   if (!u.failed) {
      if (u.written + dataLength > u.target.maxSize) {
         HKLOG_WARN("upload of %s exceeds %llu bytes", u.target.finalName.c_str(),
                    (unsigned long long)u.target.maxSize);
         u.failed = true;
      } else if (!WriteAll(u.target.file.get(), frame->df, dataLength)) {
         HKLOG_WARN("writing upload %s failed: %s", u.target.finalName.c_str(), strerror(errno));
         u.failed = true;
      } else {
         u.written += dataLength;
      }
   }
   if (ntohs(frame->wFlags) & MF_END_OF_FILE)
      finishUpload(ERR_SUCCESS);
   return true;
}

bool Session::sendFile(int fd, uint32_t requestId) {
   // The last data byte read ahead of a full frame tells whether that frame
   // is the file's last, so a file of exactly n frames sends n frames.
   uint8_t *buffer = static_cast<uint8_t *>(malloc(HKCP_HEADER_SIZE + FILE_BUFFER_SIZE));
   if (buffer == nullptr)
      return false;
   auto *frame = reinterpret_cast<CSCP_MESSAGE *>(buffer);
   uint8_t *data = buffer + HKCP_HEADER_SIZE;
   bool havePending = false, ok = true;
   uint8_t pending = 0;
   for (;;) {
      size_t length = 0;
      if (havePending) {
         data[length++] = pending;
         havePending = false;
      }
      while (length < FILE_BUFFER_SIZE) {
         ssize_t n = read(fd, data + length, FILE_BUFFER_SIZE - length);
         if (n < 0 && errno == EINTR)
            continue;
         if (n < 0)
            ok = false;
         if (n <= 0)
            break;
         length += (size_t)n;
      }
      if (!ok)
         break;
      bool last = length < FILE_BUFFER_SIZE;
      if (!last) {
         ssize_t n;
         do {
            n = read(fd, &pending, 1);
         } while (n < 0 && errno == EINTR);
         if (n < 0) {
            ok = false;
            break;
         }
         havePending = n == 1;
         last = !havePending;
      }
      frame->wCode = htons(CMD_FILE_DATA);
      frame->wFlags = htons((uint16_t)(MF_BINARY | (last ? MF_END_OF_FILE : 0)));
      frame->dwSize = htonl((uint32_t)(HKCP_HEADER_SIZE + length));
      frame->dwId = htonl(requestId);
      frame->dwNumVars = htonl((uint32_t)length);
      if (!sendFrame(frame)) {
         ok = false;
         break;
      }
      if (last)
         break;
   }
   free(buffer);
   return ok;
}

void Session::relay(UniqueFd onward, const CSCPMessage &reply) {
   // The reply and the switch to relaying happen under one hold of the send
   // lock, so that no trap can slip into the stream after the reply.
   bool sent;
   {
      std::lock_guard<CriticalSection> guard(m_connection.sendLock());
      sent = sendReply(reply);
      m_connection.stopSending();
   }
   m_trapsEnabled.store(false);
   if (!sent || m_stopRequested.load())
      return;
   std::shared_ptr<const AgentConfig> config = m_runtime.config();
   uint64_t toAgent = 0, toServer = 0;
   RelayBytes((int)m_connection.socket(), onward.get(), m_connection.pendingBytes(),
              config->idleTimeoutMs, &toAgent, &toServer);
   HKLOG_INFO("proxy relay for %s ended (%llu bytes out, %llu bytes back)",
              Ipv4ToText(m_peerAddress).c_str(), (unsigned long long)toAgent,
              (unsigned long long)toServer);
}

bool Session::startTls(const CSCPMessage &reply) {
   std::shared_ptr<const AgentConfig> config = m_runtime.config();
   std::string peer = Ipv4ToText(m_peerAddress);
   // The server's key must be one this agent serves, as for a key exchange.
   std::unique_ptr<HKCPTls> tls =
       HKCPTls::create(m_runtime.identity(), true, [config, peer](const uint8_t *fingerprint) {
          bool trusted = IsServerKeyTrusted(*config, fingerprint);
          if (!trusted)
             HKLOG_WARN("TLS from %s refused: server key %s is not trusted", peer.c_str(),
                        HKCPFingerprintText(fingerprint).c_str());
          return trusted;
       });
   if (!tls)
      return false;
   HKCPTlsResult result = m_connection.startTlsAccepting(tls, reply, config->authTimeoutMs);
   if (result != HKCPTlsResult::Established || !m_connection.tlsBinding(m_state.tlsBinding)) {
      HKLOG_WARN("TLS with %s failed (%d)", peer.c_str(), (int)result);
      return false;
   }
   memcpy(m_state.agentFingerprint, m_runtime.identity()->fingerprint(), HKCP_KEY_FINGERPRINT_SIZE);
   m_state.tls = true;
   m_state.encrypted = true;
   HKLOG_DEBUG("TLS with %s established", peer.c_str());
   return true;
}

void Session::run() {
   std::string peer = Ipv4ToText(m_peerAddress) + ":" + std::to_string(m_peerPort);
   HKLOG_DEBUG("session with %s started", peer.c_str());

   while (!m_stopRequested.load()) {
      uint32_t idle = m_runtime.config()->idleTimeoutMs;
      HKCPReceiveResult received = m_connection.receive(idle == 0 ? INFINITE : idle);
      if (!acceptReceive(received, peer, idle))
         break;
      CSCP_MESSAGE *frame = m_connection.frame();
      if (ntohs(frame->wFlags) & MF_BINARY) {
         if (!handleRawFrame(frame, m_connection.receivedLength()))
            break;
         continue;
      }
      CSCPMessage request(frame, HKCP_VERSION);
      if (!request.IsValid()) {
         HKLOG_PEER(m_state.established, LogLevel::Warning,
                    "malformed frame (code 0x%04X) from %s: session closed", ntohs(frame->wCode),
                    peer.c_str());
         break;
      }
      if (!serve(request))
         break;
   }
   m_connection.stopSending();  // no more frames once the session is over
   m_trapsEnabled.store(false);
   m_upload.reset();
   m_connection.releaseBuffers();
}

bool Session::acceptReceive(HKCPReceiveResult received, const std::string &peer, uint32_t idle) {
   switch (m_connection.action(received)) {
      case HKCPReceiveAction::Deliver:
         return true;
      case HKCPReceiveAction::Wait:
         HKLOG_INFO("session with %s idle for %u ms: closed", peer.c_str(), idle);
         return false;
      case HKCPReceiveAction::Skip:
         // The library's sessions read on past such a frame; the agent does
         // not serve a peer that sends what it cannot take.
      case HKCPReceiveAction::End:
         break;
   }
   if (received == HKCPReceiveResult::Closed || received == HKCPReceiveResult::Failed) {
      HKLOG_DEBUG("session with %s closed", peer.c_str());
      return false;
   }
   wchar_t line[256];
   if (m_connection.describe(received, line, 256))
      HKLOG_PEER(m_state.established, LogLevel::Warning, "session with %s closed: %s", peer.c_str(),
                 hk_wide_to_utf8(line).c_str());
   return false;
}

bool Session::serve(const CSCPMessage &request) {
   CSCPMessage reply(HKCP_VERSION);
   DispatchOutcome outcome;
   m_dispatcher.dispatch(m_state, request, &reply, &outcome);
   m_trapsEnabled.store(m_state.trapsEnabled);
   m_established.store(m_state.established);
   if (m_state.established)
      m_connection.setFrameLimit(HKCP_MAX_FRAME_SIZE);
   if (outcome.followUp == FollowUp::Relay) {
      relay(std::move(outcome.socket), reply);
      return false;
   }
   if (outcome.followUp == FollowUp::StartTls)
      return startTls(reply);
   if (outcome.followUp == FollowUp::ReceiveUpload) {
      m_upload = std::make_unique<Upload>();
      m_upload->requestId = request.GetId();
      m_upload->target.file = std::move(outcome.file);
      m_upload->target.directory = std::move(outcome.directory);
      m_upload->target.tempName = std::move(outcome.tempName);
      m_upload->target.finalName = std::move(outcome.finalName);
      m_upload->target.maxSize = outcome.maxSize;
      m_upload->target.reservation = std::move(outcome.reservation);
      m_state.uploadActive = true;
   }
   if (!sendReply(reply))
      return false;
   if (outcome.newContext != nullptr) {
      // Every frame after the reply is encrypted both ways.
      m_connection.setContext(outcome.newContext);
      outcome.newContext = nullptr;
      m_state.encrypted = true;
   }
   if (outcome.followUp == FollowUp::CloseSession)
      return false;
   if (outcome.followUp == FollowUp::SendFile && !sendFile(outcome.file.get(), request.GetId()))
      return false;
   if (outcome.followUp == FollowUp::PushData) {
      CSCPMessage push(HKCP_VERSION);
      BuildDataPush(m_runtime, *m_runtime.config(), &push);
      if (!sendMessage(push))
         return false;
   }
   return true;
}

}  // namespace hkagent
