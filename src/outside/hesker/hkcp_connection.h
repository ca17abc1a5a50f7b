// The connection core under every HKCP session (the agent session, the ISC
// session and hkagent's server session): one connected socket with its send
// lock, whole frames written within a bound, the encryption context swapped
// and referenced, one receive at a time with a named result, and teardown in
// a fixed order: shut down first, then join the reader, then close.
//
// Locks:
// - the state lock (re-entrant for its owner) guards the socket's
//   replacement and shutdown and the context pointer; it is never held while
//   this class writes, reads or waits, so a session may hold it in a hook;
// - the send lock serialises writes, so frames of different threads never
//   interleave, and covers the close, so no write reaches a closed (and
//   perhaps reused) handle.
// - the TLS lock (inside HKCPTls, once TLS runs) guards the SSL object: a
//   writer takes it inside the send lock to encrypt, the reader alone to
//   decrypt; it is never held while the socket is read or written, so the
//   reader never waits for a writer blocked on the peer.
// Lock order: the send lock, then the TLS lock; the state lock is never held
// together with either. A writer blocked on a peer that does not
// read holds the send lock for at most the send bound; shutdown() wakes it at
// once, which is why every teardown shuts the socket down before it takes the
// send lock.
//
// Thread safety: send*, acquireContext, setContext, shutdown and close may be
// called from any thread; receive from one reader thread at a time.
#ifndef HKCP_CONNECTION_H
#define HKCP_CONNECTION_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hesker_export.h"
#include "hkcp.h"
#include "hkcp_tls.h"

// What one receive gave.
enum class HKCPReceiveResult {
   Frame,          // a whole plain frame, header in network byte order, in frame()
   Closed,         // the peer closed the connection in order
   Failed,         // the receive failed; lastSocketError() says why (WSAESHUTDOWN:
                   // shut down on this side)
   TooLarge,       // over the frame limit: only its header is in frame(); skipped
   Undecryptable,  // failed to decrypt, or a plain frame on an encrypted channel
   Replayed,       // authentic but replayed or reordered (the context's sequence
                   // check): someone on the path rewrites the stream, so nothing
                   // after it can be trusted; the session ends
   TimedOut,       // nothing arrived within the time-out
   BadLength,      // the received length differs from the frame's size field
   SequenceGap,    // authentic but frames before it never arrived: dropped on the
                   // path; the session ends
   Reflected,      // authentic but in this side's own direction: one of its own
                   // frames sent back to it; the session ends
};

// What a session does with a receive result: one rule for every session.
enum class HKCPReceiveAction {
   Deliver,  // Frame
   Skip,     // report describe()'s line and read on: a frame over the limit or of
             // a bad length on a plain channel, whose framing survives it
   Wait,     // TimedOut: the session's own time-out rule decides
   End,      // the connection ended, or the channel can no longer be trusted:
             // on an encrypted channel every frame that is not delivered
};

class HESKER_EXPORT HKCPConnection {
public:
   HKCPConnection();
   HKCPConnection(const HKCPConnection &) = delete;
   HKCPConnection &operator=(const HKCPConnection &) = delete;
   // Closes a socket still held and releases the context's reference.
   ~HKCPConnection();

   CriticalSection &stateLock() { return m_stateLock; }
   CriticalSection &sendLock() { return m_sendLock; }

   // ------------------------------------------------ the socket
   // Takes ownership of a connected socket, closing one held before. Every
   // write to it (one frame) fails when it has not ended within
   // sendTimeoutMs.
   void attach(SOCKET s, uint32_t sendTimeoutMs);
   // The handle, or INVALID_SOCKET; only a hint once another thread may
   // close it.
   SOCKET socket() const { return m_socket.load(); }
   void setSendTimeout(uint32_t timeoutMs);
   uint32_t sendTimeout() const { return m_sendTimeout.load(); }

   // ------------------------------------------------ writing
   // Writes one plain frame whole, encrypted (inside the send lock, so
   // nonces reach the wire in order) when a context is set. A write
   // that fails (the peer did not take the frame within the bound, the
   // connection is gone) ends the connection: the socket is shut down, so the reader ends
   // and every later write fails at once.
   bool sendFrame(const CSCP_MESSAGE *frame);
   bool sendMessage(const CSCPMessage &message);
   // Writes bytes as they are (already framed), with the same rules.
   bool sendBytes(const void *data, uint32_t size);
   // Sends a file as CMD_FILE_DATA frames (SendFileOverHKCP) with the
   // current context; a failed write ends the connection as above, a file
   // that cannot be read does not.
   bool sendFile(uint32_t requestId, const wchar_t *fileName, HKCP_UPLOAD_PROGRESS progress,
                 void *progressArg);
   // From now on every write fails without touching the socket (hkagent:
   // the socket carries relayed bytes). Call with the send lock held to
   // make it atomic with a last frame.
   void stopSending();

   // ------------------------------------------------ encryption
   // The context with one reference added, or null; release with
   // decRefCount.
   HKCPEncryptionContext *acquireContext();
   // Installs context (null: plain again), taking over the caller's
   // reference and releasing the one on the context it replaces. Writers
   // and the reader hold references of their own while they use one.
   void setContext(HKCPEncryptionContext *context);
   bool encrypted();

   // ------------------------------------------------ TLS
   // Runs the TLS handshake on the socket and, when it is established,
   // carries every later frame inside it both ways. Call at a frame
   // boundary from the reader thread, or before the reader starts: bytes
   // the plain path read past the last frame go to the handshake. The send
   // lock is held throughout, so no plain frame slips in. On success the
   // connection owns tls; otherwise tls stays the caller's (to read the
   // peer's fingerprint) and the connection should end.
   HKCPTlsResult startTls(std::unique_ptr<HKCPTls> &tls, uint32_t timeoutMs);
   // The connecting side of the start (docs/protocol.md, "TLS"): sends
   // CMD_START_TLS with requestId in the clear, reads its reply on this
   // thread (no reader may run yet; other frames before it are skipped)
   // and, when the peer said yes, runs the handshake. *rcc gets the reply's
   // VID_RCC (ERR_UNKNOWN_COMMAND from a peer without TLS, whose answer is
   // NotOffered), or ERR_REQUEST_TIMEOUT / ERR_CONNECTION_BROKEN.
   HKCPTlsResult startTlsConnecting(std::unique_ptr<HKCPTls> &tls, int protocolVersion,
                                    uint32_t requestId, uint32_t timeoutMs, uint32_t *rcc);
   // The accepting side, from the reader thread right after it read
   // CMD_START_TLS: sends reply (VID_RCC 0) in the clear and runs the
   // handshake, both under one hold of the send lock.
   HKCPTlsResult startTlsAccepting(std::unique_ptr<HKCPTls> &tls, const CSCPMessage &reply,
                                   uint32_t timeoutMs);
   bool tlsActive() const { return m_tlsActive.load(); }
   // True once a TLS record failed or the peer sent an alert (it refused
   // our key, say); kept after close() until the next startTls.
   bool tlsFailed() const { return m_tlsFailed.load(); }
   // The TLS channel binding; false without TLS.
   bool tlsBinding(uint8_t binding[HKCP_TLS_BINDING_SIZE]);
   // The peer key's fingerprint of the TLS session; false without TLS.
   bool tlsPeerFingerprint(uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]);

   // ------------------------------------------------ reading (one thread)
   // Waits up to timeoutMs (INFINITE: no limit) for one frame. The context
   // is read once the first byte of a frame is there, so a context set up
   // while the reader waited applies to the frame that follows it.
   HKCPReceiveResult receive(uint32_t timeoutMs);
   // The frame of the last receive (at most frameLimit() bytes) and
   // its received length.
   CSCP_MESSAGE *frame() const { return reinterpret_cast<CSCP_MESSAGE *>(m_frame.get()); }
   int receivedLength() const { return m_received; }
   int lastSocketError() const { return m_socketError; }
   // What to do with result, the last receive's. On an encrypted channel a
   // frame that is not delivered ends the session: it was not authenticated
   // (and its sender took a sequence the stream can never show). On a plain
   // one a frame over the limit or of a bad length is skipped; a frame
   // flagged encrypted there has no key to read it and ends the session.
   HKCPReceiveAction action(HKCPReceiveResult result) const;
   // For a result that is reported (skipped, or ending the session because
   // of a frame: TooLarge, Undecryptable, BadLength, Replayed, SequenceGap,
   // Reflected): the session's diagnostic line in buffer, and true. False
   // for every other result.
   bool describe(HKCPReceiveResult result, wchar_t *buffer, size_t size) const;
   // Bytes received beyond the last frame, not yet taken (hkagent's relay).
   std::string pendingBytes() const;
   // Frees the reader's buffers (they come back on the next receive).
   void releaseBuffers();
   // Largest frame the next receives accept (HKCP_HEADER_SIZE to
   // HKCP_MAX_FRAME_SIZE, the default); a larger one is TooLarge. The
   // buffers are sized by it, so a peer that has not proved anything yet
   // costs little memory. Reader thread only, between receives; bytes
   // already received are kept.
   void setFrameLimit(uint32_t limit);
   uint32_t frameLimit() const { return m_frameLimit; }

   // ------------------------------------------------ teardown
   // Shuts the socket down in both directions; never waits for a writer,
   // whom it wakes. The socket stays open until close().
   void shutdown();
   // Shuts down, then takes the socket out under the state lock and closes
   // it under the send lock; releases the context. Call after the reader
   // has ended (or from it).
   void close();
   // The whole teardown of a session with a reader thread: shut down, join
   // the reader (null is ignored; *reader is cleared), close.
   void teardown(HK_THREAD **reader);

private:
   template <typename Write>
   bool writeLocked(Write write);
   bool writeFrame(const CSCP_MESSAGE *frame, HKCPEncryptionContext *context);
   void takeBuffers();
   HKCPReceiveResult receiveTls(SOCKET s, uint32_t timeoutMs);

   CriticalSection m_stateLock;
   CriticalSection m_sendLock;
   // Replaced and shut down under m_stateLock, closed under m_sendLock too;
   // writers read it under m_sendLock.
   std::atomic<SOCKET> m_socket{INVALID_SOCKET};
   std::atomic<uint32_t> m_sendTimeout{INFINITE};
   bool m_stopped HK_GUARDED_BY(m_sendLock) = false;
   HKCPEncryptionContext *m_context HK_GUARDED_BY(m_stateLock) = nullptr;  // one reference
   // Set under the send lock by the reader (or before it starts), freed by
   // close(); writers use it under the send lock, the reader without.
   std::unique_ptr<HKCPTls> m_tls;
   std::atomic<bool> m_tlsActive{false};
   std::atomic<bool> m_tlsFailed{false};

   // Reader's state: touched by the reader thread only (and the destructor).
   struct FreeDeleter {
      void operator()(void *p) const;
   };
   std::unique_ptr<CSCP_BUFFER, FreeDeleter> m_receiveState;
   std::unique_ptr<uint8_t, FreeDeleter> m_frame;
   std::unique_ptr<uint8_t, FreeDeleter> m_decryptBuffer;  // once encrypted
   int m_received = 0;
   int m_socketError = 0;
   uint32_t m_frameLimit = HKCP_MAX_FRAME_SIZE;
   uint32_t m_frameCapacity = 0;      // of m_frame and m_decryptBuffer
   uint32_t m_receiveCapacity = 0;    // bytes of m_receiveState->buffer
   bool m_receivedEncrypted = false;  // the last receive ran with a context
   uint64_t m_sequenceExpected = 0;   // a refused sequence: the counter expected
   uint64_t m_sequenceReceived = 0;   // and the one that came
   // TLS: decrypted bytes not yet framed, and what is left of a frame over
   // the limit.
   std::vector<uint8_t> m_plain;
   size_t m_plainPos = 0;
   uint32_t m_plainSkip = 0;
};

#endif
