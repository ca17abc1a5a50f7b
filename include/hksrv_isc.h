// The inter-server session (ISC) and its result codes.
//
// An ISC is the client side of a connection to another monitoring server's
// inter-server service (HKCP over TCP, port 4702 by default). Connect opens
// the connection, learns the peer's protocol version, starts the session's
// receiver thread, negotiates encryption when either side wants it, proves
// the channel with CMD_NOP and attaches the session to one of the peer's
// numbered services. Afterwards the caller exchanges its own messages with
// that service: SendMessage writes, and every message that arrives is filed
// in the session's wait queue where WaitForMessage and WaitForRCC take it by
// code and request id.
//
// Thread safety: once connected, any number of threads may send and wait at
// once. Connect, the destructor and Disconnect may race with senders; a send
// then fails cleanly. Connect itself is not meant to run on two threads at
// once. Problems are reported through the virtual PrintMsg, which runs on the
// caller's thread (from Connect) or on the receiver thread. The receiver may
// still print while ~ISC waits for it, so a derived class whose PrintMsg
// uses its own members ends the receiver in its own destructor first
// (Disconnect, then JoinThread(m_receiverThread) and set it to null).
#ifndef HKSRV_ISC_H
#define HKSRV_ISC_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "hesker.h"
#include "hksrv_export.h"

typedef struct evp_pkey_st EVP_PKEY;

// ISC result codes: 0 for success; the session makes some of them itself,
// the others come from the VID_RCC of the peer's replies.
static const uint32_t ISC_ERR_SUCCESS = 0;
static const uint32_t ISC_ERR_UNKNOWN_SERVICE = 1;
static const uint32_t ISC_ERR_REQUEST_OUT_OF_STATE = 2;
static const uint32_t ISC_ERR_SERVICE_DISABLED = 3;
static const uint32_t ISC_ERR_ENCRYPTION_REQUIRED = 4;
static const uint32_t ISC_ERR_CONNECTION_BROKEN = 5;
static const uint32_t ISC_ERR_ALREADY_CONNECTED = 6;
static const uint32_t ISC_ERR_SOCKET_ERROR = 7;
static const uint32_t ISC_ERR_CONNECT_FAILED = 8;
static const uint32_t ISC_ERR_INVALID_PROTOCOL_VERSION = 9;
static const uint32_t ISC_ERR_REQUEST_TIMEOUT = 10;
static const uint32_t ISC_ERR_NOT_IMPLEMENTED = 11;
static const uint32_t ISC_ERR_NO_CIPHERS = 12;
static const uint32_t ISC_ERR_INVALID_PUBLIC_KEY = 13;
static const uint32_t ISC_ERR_INVALID_SESSION_KEY = 14;
static const uint32_t ISC_ERR_INTERNAL_ERROR = 15;
static const uint32_t ISC_ERR_SESSION_SETUP_FAILED = 16;
static const uint32_t ISC_ERR_OBJECT_NOT_FOUND = 17;
static const uint32_t ISC_ERR_POST_EVENT_FAILED = 18;
// TLS (docs/protocol.md, "TLS"): the handshake failed, the peer refused our
// key or does not speak TLS; no pin nor decision was given (the key seen is
// GetPeerKeyFingerprint's); the peer's key is not trusted.
static const uint32_t ISC_ERR_TLS_FAILED = 19;
static const uint32_t ISC_ERR_PEER_KEY_NOT_PINNED = 20;
static const uint32_t ISC_ERR_PEER_KEY_UNTRUSTED = 21;

// The text of an ISC result code; "Unknown error code" above 21. Static.
HKSRV_EXPORT const wchar_t *ISCErrorCodeToText(uint32_t code);

class HKSRV_EXPORT ISC {
public:
   // A session to 127.0.0.1, port 4702.
   ISC();
   // addr: IPv4 address in network byte order; port in host byte order.
   ISC(uint32_t addr, uint16_t port);
   ISC(const ISC &) = delete;
   ISC &operator=(const ISC &) = delete;

   // Connects and attaches the session to the peer's service. serverKey may
   // be null; requireEncryption non-zero makes a failed key exchange (or a
   // missing key) fatal. Returns an ISC result code; on failure the session
   // holds no socket, no receiver thread and no encryption context.
   uint32_t Connect(uint32_t service, RSA *serverKey = nullptr, int requireEncryption = 0);
   // Shuts the socket down; the receiver thread then closes it and ends.
   void Disconnect();
   // Writes message (which the caller keeps; the caller sets its code and
   // request id). Non-zero when the whole frame was written; 0 at once when
   // the session is not connected.
   int SendMessage(CSCPMessage *message);
   // The first message with that code and request id (the caller deletes
   // it), or null when none came within timeout ms.
   CSCPMessage *WaitForMessage(uint16_t code, uint32_t id, uint32_t timeout);
   // The VID_RCC (0 when absent) of the CMD_REQUEST_COMPLETED with that id,
   // or ISC_ERR_REQUEST_TIMEOUT when none came within timeout ms.
   uint32_t WaitForRCC(uint32_t id, uint32_t timeout);
   // A CMD_NOP exchange; an ISC result code.
   uint32_t Nop();

   // TLS, as the agent session's (hksrv_agent.h): any setter asks for TLS
   // on the next Connect, which then fails closed (ISC_ERR_TLS_FAILED,
   // ISC_ERR_PEER_KEY_UNTRUSTED, ISC_ERR_PEER_KEY_NOT_PINNED) instead of
   // going on in the clear; the RSA key exchange is not used inside TLS.
   // Pins the peer's key (64 hex digits or "SHA256:" base64; null clears).
   bool SetPeerKeyFingerprint(const char *fingerprint);
   // Decides on a key no pin names (its 64 lower-case hex digits).
   void SetPeerKeyTrust(std::function<bool(const char *fingerprint)> decide);
   // The key shown to the peer instead of Connect's RSA key (a reference is
   // taken); false for a key TLS cannot use.
   bool SetTlsKey(EVP_PKEY *key);
   // The peer key the last handshake saw; empty when none.
   std::string GetPeerKeyFingerprint() const;

protected:
   // One diagnostic line; the default formats it (%s takes a wide string)
   // and writes it with a newline to standard output.
   virtual void PrintMsg(const wchar_t *format, ...);

public:
   // Shuts the connection down, waits for the receiver thread and frees the
   // queue with every message still in it. Declared after PrintMsg: the
   // vtable holds the hook first, then the destructor, the layout that
   // classes built elsewhere expect.
   virtual ~ISC();

protected:
   uint32_t SetupEncryption(RSA *serverKey);
   uint32_t ConnectToService(uint32_t service);

   // The state lock, re-entrant for its owner.
   void Lock() HK_NO_THREAD_SAFETY_ANALYSIS { m_connection.stateLock().lock(); }
   void Unlock() HK_NO_THREAD_SAFETY_ANALYSIS { m_connection.stateLock().unlock(); }

   static const uint32_t FLAG_CONNECTED = 0x0001;
   static const uint32_t FLAG_ENCRYPTION_REQUIRED = 0x0002;

   // Atomic: set by Connect, read by senders and cleared by the receiver,
   // Disconnect and the clean-ups, all on different threads.
   std::atomic<uint32_t> m_flags;
   uint32_t m_addr;                    // network byte order; constant after construction
   uint16_t m_port;                    // host byte order; constant after construction
   int m_protocolVersion;              // set by Connect before the receiver starts
   std::atomic<uint32_t> m_requestId;  // next id of the session's own exchanges; wraps
   uint32_t m_recvTimeout;             // ms; constant once constructed
   // Owned; internally synchronised. Bounded by its defaults: the ids are
   // the caller's, so the oldest messages go first (droppedCount()).
   MsgWaitQueue *m_msgWaitQueue;
   // The socket, its send lock, the state lock (Lock/Unlock) and the
   // encryption context, of which the session holds one reference. Writes
   // are bounded by m_recvTimeout.
   HKCPConnection m_connection;
   HK_THREAD *m_receiverThread;  // touched only by Connect and the destructor
   uint32_t m_commandTimeout;    // ms; constant once constructed

private:
   void ReceiverThread();
   static unsigned int ReceiverThreadStarter(void *arg);

   uint32_t exchange(CSCPMessage *request);
   void cleanupConnection();
   // Acts on one receive; false ends the receiver.
   bool handleReceive(HKCPReceiveResult result, const wchar_t *peer);
   const wchar_t *peerAddress(wchar_t *buffer) const;
   uint32_t startTls(RSA *serverKey);

   struct TlsSettings;
   TlsSettings *m_tlsSettings;  // owned
};

#endif
