// HKCP: the framed message protocol spoken with agents and peer servers.
// The byte layout of everything here is described in docs/protocol.md.
//
// Thread safety: a CSCPMessage is not shared between threads while it is
// changed. The socket functions take the caller's send lock for every write,
// so frames of different threads never interleave; a socket has one reader.
#ifndef HKCP_H
#define HKCP_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hesker_export.h"
#include "hk_platform.h"
#include "hk_util.h"
#include "hkcp_codes.h"

typedef struct rsa_st RSA;  // OpenSSL's RSA key, the server's key pair

// ---------------------------------------------------------------- frames
// All header fields are big-endian (network byte order) on the wire and in
// these structures as they are sent and received.
struct CSCP_MESSAGE {
   uint16_t wCode;
   uint16_t wFlags;
   uint32_t dwSize;     // whole frame including this header
   uint32_t dwId;       // request id
   uint32_t dwNumVars;  // variable count; for a raw frame (MF_BINARY) the data length
   uint8_t df[];        // variables, or the data of a raw frame
};

// An encrypted frame: the size field sits where CSCP_MESSAGE has it, so a
// receiver frames both kinds alike. wCode is CMD_ENCRYPTED_MESSAGE and
// wFlags has MF_ENCRYPTED.
struct CSCP_ENCRYPTED_MESSAGE {
   uint16_t wCode;
   uint16_t wFlags;
   uint32_t dwSize;    // whole frame including this header
   uint8_t nonce[12];  // AES-GCM nonce, never repeated within a context
   uint8_t data[];     // ciphertext of one CSCP_MESSAGE, then the 16-byte tag
};

static const uint32_t HKCP_ENCRYPTION_HEADER_SIZE = 20;
static const uint32_t HKCP_ENCRYPTION_TAG_SIZE = 16;

// Receive state of one socket, allocated by the caller (malloc is fine) and
// initialised by RecvHKCPMessage(0, nullptr, state, 0, nullptr, nullptr, 0).
static const uint32_t CSCP_TEMP_BUF_SIZE = 65536;
struct CSCP_BUFFER {
   uint32_t dwBufSize;    // bytes held in buffer
   uint32_t dwBufPos;     // first unread byte
   uint32_t dwSkipBytes;  // bytes of an oversized frame still to be discarded
   uint8_t buffer[CSCP_TEMP_BUF_SIZE];
};

class HKCPEncryptionContext;

// ---------------------------------------------------------------- messages
// A decoded message: code, request id, flags and typed variables keyed by
// 32-bit ids. Setting an id that exists replaces its value (and type).
class HESKER_EXPORT CSCPMessage {
public:
   explicit CSCPMessage(int version = HKCP_VERSION);
   // Decodes a received frame (header in network byte order). A frame that
   // is truncated, lies about a length or count, or has an unknown variable
   // type is rejected as a whole: the message is then empty and IsValid()
   // is false. A raw frame (MF_BINARY) gives a message without variables
   // whose binary data is kept (GetBinaryData).
   CSCPMessage(const CSCP_MESSAGE *frame, int version = HKCP_VERSION);
   CSCPMessage(const CSCPMessage &) = delete;
   CSCPMessage &operator=(const CSCPMessage &) = delete;
   ~CSCPMessage();

   bool IsValid() const { return m_valid; }
   // The wire frame, malloc'ed; the caller frees it. Null only when memory
   // runs out or the frame would exceed 4 GiB.
   CSCP_MESSAGE *CreateMessage() const;

   uint16_t GetCode() const { return m_code; }
   void SetCode(uint16_t code) { m_code = code; }
   uint32_t GetId() const { return m_id; }
   void SetId(uint32_t id) { m_id = id; }
   uint16_t GetFlags() const { return m_flags; }
   void SetFlags(uint16_t flags) { m_flags = flags; }
   int GetVersion() const { return m_version; }
   bool IsBinary() const { return (m_flags & MF_BINARY) != 0; }
   const uint8_t *GetBinaryData() const { return m_binaryData.data(); }
   uint32_t GetBinaryDataSize() const { return (uint32_t)m_binaryData.size(); }

   void SetVariable(uint32_t id, uint16_t value);
   void SetVariable(uint32_t id, uint32_t value);
   void SetVariable(uint32_t id, int32_t value) { SetVariable(id, (uint32_t)value); }
   void SetVariable(uint32_t id, uint64_t value);
   void SetVariable(uint32_t id, const wchar_t *value);  // null stores ""
   void SetVariable(uint32_t id, const uint8_t *data, uint32_t length);
   void SetVariableToInt32Array(uint32_t id, uint32_t count, const uint32_t *values);

   bool IsVariableExist(uint32_t id) const;
   uint32_t GetNumVariables() const;
   void DeleteAllVariables();

   // 0 when absent. Integer getters convert between integer widths
   // (truncating); a string or binary variable reads as 0.
   uint32_t GetVariableLong(uint32_t id) const;
   uint16_t GetVariableShort(uint32_t id) const;
   uint64_t GetVariableInt64(uint32_t id) const;
   // With a buffer: copies at most size-1 characters, always terminates
   // (when size > 0) and returns buffer; an absent variable gives "" and
   // buffer. Without a buffer: a malloc'ed copy, or null when absent.
   wchar_t *GetVariableStr(uint32_t id, wchar_t *buffer = nullptr, uint32_t size = 0) const;
   // The stored length (0 when absent); copies at most size bytes, none
   // without a buffer.
   uint32_t GetVariableBinary(uint32_t id, uint8_t *buffer, uint32_t size) const;
   // Copies at most maxCount elements; returns the stored element count.
   uint32_t GetVariableInt32Array(uint32_t id, uint32_t maxCount, uint32_t *values) const;

private:
   struct Variable;
   const Variable *find(uint32_t id) const;
   Variable *findOrCreate(uint32_t id);
   bool decode(const CSCP_MESSAGE *frame);

   uint16_t m_code = 0;
   uint16_t m_flags = 0;
   uint32_t m_id = 0;
   int m_version;
   bool m_valid = true;
   std::vector<Variable> *m_variables;  // owned; kept in insertion order
   std::vector<uint8_t> m_binaryData;   // raw frames only
};

// ---------------------------------------------------------------- encryption
// The cipher state of one session: AES-256-GCM with a key agreed through
// the key exchange. Thread safe: senders and the receiver share it.
static const uint32_t HKCP_CHANNEL_BINDING_SIZE = 32;

class HESKER_EXPORT HKCPEncryptionContext : public RefCountObject {
public:
   // A context for a fresh random key (the peer's side of the exchange).
   static HKCPEncryptionContext *createRandom(uint32_t cipher);
   // A context for the given key bytes, or null for a bad cipher or length.
   static HKCPEncryptionContext *create(uint32_t cipher, const uint8_t *key, uint32_t keyLength);

   uint32_t getCipher() const { return m_cipher; }
   const uint8_t *getKey() const { return m_key; }
   uint32_t getKeyLength() const { return m_keyLength; }
   // Names this key for the life of the process: never reused, unlike the
   // object's address, so a cipher keyed from it can be recognised.
   uint64_t getKeyId() const { return m_keyId; }
   // Next nonce: a random 4-byte prefix and a 64-bit counter, so a nonce is
   // never used twice with one key. Senders take it and write the frame
   // under one hold of their send lock: the receiver refuses a counter that
   // does not rise, so frames must reach the wire in nonce order.
   void nextNonce(uint8_t nonce[12]);
   // Why acceptSequence refused a frame.
   enum SequenceFault : uint8_t {
      SEQUENCE_OK = 0,
      SEQUENCE_REPLAYED,   // counter below the next one: repeated or reordered
      SEQUENCE_GAP,        // counter above the next one: frames before it were dropped
      SEQUENCE_REFLECTED,  // this side's own direction: sent back to its sender
   };
   // Accepts a received nonce only when it carries the peer's direction (the
   // nonce's top bit differs from this side's own) and exactly the next
   // counter of that direction, starting at 0: a frame that repeats, goes
   // back, skips ahead or comes back to its sender is refused. Once one is
   // refused every later one is too: the stream is no longer the peer's.
   // Called once the frame has proved authentic, so a forged nonce never
   // moves the counter.
   bool acceptSequence(const uint8_t nonce[12]);
   // True once a frame was refused by acceptSequence: someone on the path
   // replays, reorders, drops or reflects frames.
   bool sequenceBroken() const { return m_sequenceBroken.load(std::memory_order_acquire); }
   // The first refusal's reason (SEQUENCE_OK while none), and the counter
   // expected and the one received then (either may be null).
   SequenceFault sequenceFault(uint64_t *expected = nullptr, uint64_t *received = nullptr) const;
   // 32 bytes that both ends of the channel derive from the session key
   // (HKDF-SHA-256, never the key itself) to bind an authentication to this
   // channel. False when the key is unset or the derivation fails.
   bool channelBinding(uint8_t binding[HKCP_CHANNEL_BINDING_SIZE]) const;

protected:
   ~HKCPEncryptionContext() override;

private:
   HKCPEncryptionContext() = default;
   uint32_t m_cipher = 0;
   uint8_t m_key[32] = {};
   uint32_t m_keyLength = 0;
   uint8_t m_noncePrefix[4] = {};
   std::atomic<uint64_t> m_nonceCounter{0};
   // Per direction (index: the nonce's top bit), the next counter expected;
   // only the peer's direction is ever accepted.
   std::atomic<uint64_t> m_nextAccepted[2] = {0, 0};
   std::atomic<bool> m_sequenceBroken{false};
   // Last, so the inline accessors above keep their offsets.
   uint64_t m_keyId = 0;
   // The first refusal, written once under the claim of m_faultClaimed.
   std::atomic<bool> m_faultClaimed{false};
   std::atomic<uint8_t> m_fault{SEQUENCE_OK};
   uint64_t m_faultExpected = 0;
   uint64_t m_faultReceived = 0;
};

// Fills message as a key request (code CMD_REQUEST_SESSION_KEY): the
// server's public key and the ciphers it accepts. useX509Format is kept for
// callers' signatures; the key is always sent as DER SubjectPublicKeyInfo.
HESKER_EXPORT void PrepareKeyRequestMsg(CSCPMessage *message, RSA *serverKey, bool useX509Format);
// Builds a context from a CMD_SESSION_KEY reply and stores it in *context
// (replacing, without releasing, what was there). Returns 0, RCC_NO_CIPHERS
// (42), RCC_INVALID_PUBLIC_KEY (43), RCC_INVALID_SESSION_KEY (44), or
// another non-zero code. response is unused and may be null.
HESKER_EXPORT uint32_t SetupEncryptionContext(CSCPMessage *reply, HKCPEncryptionContext **context,
                                              CSCPMessage **response, RSA *privateKey,
                                              int protocolVersion);
// The peer's side: answers a key request. Fills reply (code CMD_SESSION_KEY,
// the request's id) and, on success, returns a new context in *context.
// acceptedCiphers limits what this peer offers. Returns the code also put in
// the reply's VID_RCC: 0, 42 (no cipher in common) or 43 (unusable key).
HESKER_EXPORT uint32_t HKCPAnswerKeyRequest(const CSCPMessage *request, CSCPMessage *reply,
                                            HKCPEncryptionContext **context,
                                            uint32_t acceptedCiphers = HKCP_SUPPORTED_CIPHERS);
// The encrypted frame of a plain frame, malloc'ed, or null.
HESKER_EXPORT CSCP_ENCRYPTED_MESSAGE *CSCPEncryptMessage(HKCPEncryptionContext *context,
                                                         const CSCP_MESSAGE *frame);
// Decrypts an encrypted frame into buffer (capacity bytes). Returns the plain
// frame in buffer, or null when the frame fails authentication, is
// malformed, or does not fit.
HESKER_EXPORT CSCP_MESSAGE *CSCPDecryptMessage(HKCPEncryptionContext *context,
                                               const CSCP_ENCRYPTED_MESSAGE *frame, uint8_t *buffer,
                                               uint32_t capacity);

// Encrypts frame with context (when given) and writes it whole to hSocket.
// Call it with the session's send lock held and the context referenced: the
// nonce is taken here, so frames leave in the order of their nonces, which
// the receiver demands. True when the whole frame was written.
HESKER_EXPORT bool HKCPWriteFrame(SOCKET hSocket, const CSCP_MESSAGE *frame,
                                  HKCPEncryptionContext *context);

// Largest DER public key a key request may carry, and the RSA keys it
// accepts: 2048 to 4096 bits with the public exponent 65537. A smaller key
// is weak, a larger one or another exponent lets an unauthenticated peer
// make the answering side spend its processor on the request.
static const uint32_t HKCP_MIN_RSA_BITS = 2048;
static const uint32_t HKCP_MAX_RSA_BITS = 4096;
// SHA-256 of a public key's DER SubjectPublicKeyInfo: how operators name a
// server key. Lower-case hex of the 32 bytes is its printed form.
static const uint32_t HKCP_KEY_FINGERPRINT_SIZE = 32;
// The fingerprint of the key in a key request's VID_PUBLIC_KEY; false when
// the request carries none.
HESKER_EXPORT bool HKCPRequestKeyFingerprint(const CSCPMessage *request,
                                             uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]);
// The fingerprint of an RSA key's public part; false when it has none.
HESKER_EXPORT bool HKCPKeyFingerprint(RSA *key, uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]);
// The printed form of a fingerprint: 64 lower-case hex digits.
HESKER_EXPORT std::string HKCPFingerprintText(const uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE]);

// ---------------------------------------------------------------- authentication
// The mutual, channel-bound method (AUTH_HMAC_SHA256): each side proves the
// shared secret with an HMAC-SHA-256 over both nonces and the channel
// binding of the encrypted session, so a proof is worthless on any other
// channel and a relay that terminates the encryption on both sides sees two
// channels whose proofs do not match. docs/protocol.md has the bytes.
static const uint32_t HKCP_AUTH_NONCE_SIZE = 32;
static const uint32_t HKCP_AUTH_PROOF_SIZE = 32;
static const uint32_t HKCP_AUTH_KEY_SIZE = 32;
// The proof key from the secret's bytes (PBKDF2-HMAC-SHA-256). Slow on
// purpose; an agent derives it once per configured secret. False on failure.
HESKER_EXPORT bool HKCPDeriveAuthKey(const char *secret, size_t length,
                                     uint8_t key[HKCP_AUTH_KEY_SIZE]);
// The server's proof over the channel binding (channelBinding of the
// session's context) and its nonce.
HESKER_EXPORT bool HKCPServerAuthProof(const uint8_t key[HKCP_AUTH_KEY_SIZE],
                                       const uint8_t binding[HKCP_CHANNEL_BINDING_SIZE],
                                       const uint8_t serverNonce[HKCP_AUTH_NONCE_SIZE],
                                       uint8_t proof[HKCP_AUTH_PROOF_SIZE]);
// The agent's proof over the channel, both nonces and the server's proof.
HESKER_EXPORT bool HKCPAgentAuthProof(const uint8_t key[HKCP_AUTH_KEY_SIZE],
                                      const uint8_t binding[HKCP_CHANNEL_BINDING_SIZE],
                                      const uint8_t serverNonce[HKCP_AUTH_NONCE_SIZE],
                                      const uint8_t agentNonce[HKCP_AUTH_NONCE_SIZE],
                                      const uint8_t serverProof[HKCP_AUTH_PROOF_SIZE],
                                      uint8_t proof[HKCP_AUTH_PROOF_SIZE]);

// ---------------------------------------------------------------- sockets
// Receives one frame into frame (capacity bytes), reading through state.
// Returns: 0 or less on error or close (WSAGetLastError tells which); 1 when
// the frame exceeds capacity (only its header is kept in frame, the rest is
// skipped so the next frame is read correctly); 2 when decryption failed; 3
// on a time-out of timeoutMs (INFINITE: none); else the frame's length.
// Encrypted frames are decrypted with *context (read at each call) through
// decryptBuffer (capacity bytes) and the plain frame is returned in frame.
// hSocket 0 with a null frame initialises state. Of state's buffer only the
// first min(capacity, CSCP_TEMP_BUF_SIZE) bytes are used, so a caller with a
// small capacity may allocate state that much smaller.
HESKER_EXPORT int RecvHKCPMessage(SOCKET hSocket, CSCP_MESSAGE *frame, CSCP_BUFFER *state,
                                  uint32_t capacity, HKCPEncryptionContext **context,
                                  uint8_t *decryptBuffer, uint32_t timeoutMs);
// Writes length bytes under sendLock (may be null); returns the count
// written, or -1 when nothing could be written.
HESKER_EXPORT int SendEx(SOCKET hSocket, const void *data, size_t length, int flags,
                         CriticalSection *sendLock);
// Sends the version probe and reads the answer directly from the socket
// (call before any receiver thread runs). True with the peer's version; a
// peer that answers the probe with anything else is version 1. False when
// the peer closes, fails, or says nothing within 5 seconds.
HESKER_EXPORT bool HKCPGetPeerProtocolVersion(SOCKET hSocket, int *version,
                                              CriticalSection *sendLock);
// The peer's side of the probe: true when frame is a version probe, in
// which case the answer has been written to hSocket under sendLock.
HESKER_EXPORT bool HKCPAnswerVersionProbe(SOCKET hSocket, const CSCP_MESSAGE *frame, int version,
                                          CriticalSection *sendLock);
// connect(2) with a time-out; 0 on success, -1 on failure or time-out (last
// socket error set). The socket is left in blocking mode.
HESKER_EXPORT int ConnectEx(SOCKET hSocket, const struct sockaddr *address, socklen_t length,
                            uint32_t timeoutMs);

// Upload progress: bytes sent so far and the caller's argument.
typedef void (*HKCP_UPLOAD_PROGRESS)(int64_t bytesSent, void *argument);
// Sends the file from offset as raw CMD_FILE_DATA frames with requestId, the
// last one flagged MF_END_OF_FILE (an empty file is one such frame),
// encrypted with context when given. The caller keeps its reference on
// context. True when the whole file was sent.
HESKER_EXPORT bool SendFileOverHKCP(SOCKET hSocket, uint32_t requestId, const wchar_t *fileName,
                                    HKCPEncryptionContext *context, int64_t offset,
                                    HKCP_UPLOAD_PROGRESS progress, void *progressArg,
                                    CriticalSection *sendLock);
// The same for a socket another thread may close: the handle is read from
// *socket under *sendLock (required) before every frame. Whoever closes it
// stores INVALID_SOCKET first and closes under the same lock, so a handle
// closed mid-file, and perhaps reused since, is never written to: the send
// fails instead.
HESKER_EXPORT bool SendFileOverHKCP(const std::atomic<SOCKET> *socket, uint32_t requestId,
                                    const wchar_t *fileName, HKCPEncryptionContext *context,
                                    int64_t offset, HKCP_UPLOAD_PROGRESS progress,
                                    void *progressArg, CriticalSection *sendLock);

// Writes one plain frame whole (true) or not at all as far as the caller
// cares. It encrypts the frame itself, inside the lock it takes for the
// write (HKCPWriteFrame under the send lock), so nonces reach the wire in
// order.
typedef std::function<bool(const CSCP_MESSAGE *frame)> HKCP_FRAME_WRITER;
// The same through the caller's writer, which takes whatever lock it needs
// for each frame (the connection core's bounded writes).
HESKER_EXPORT bool SendFileOverHKCP(const HKCP_FRAME_WRITER &write, uint32_t requestId,
                                    const wchar_t *fileName, int64_t offset,
                                    HKCP_UPLOAD_PROGRESS progress, void *progressArg);

// The message code's name ("CMD_NOP"), or "CMD_0x1234" for an unknown code,
// written into buffer (at least 64 characters); returns buffer.
HESKER_EXPORT wchar_t *HKCPMessageCodeName(uint16_t code, wchar_t *buffer);

// ---------------------------------------------------------------- reply queue
// Messages waiting for the threads that asked for them. put() takes
// ownership; waitForMessage() hands over the first message with that code
// and id. Nothing expires: a message stays until it is taken, cleared, freed
// with the queue, or dropped by the bound.
//
// The bound (count and bytes of the queued messages) keeps a peer that sends
// what nobody asked for from growing the queue without limit. A session
// tells the queue which replies a waiter will ask for: expect() before the
// request is sent, and the waiter's waitForMessage (taken or not) or
// forget() ends the expectation. Expected replies are never dropped; the
// others (unsolicited: never expected, or come after their waiter gave up)
// are dropped oldest first when the bound is reached. A queue whose ids are
// chosen by its caller expects nothing: it drops the oldest. Expected replies
// may exceed the bound, by at most one message per expectation. Thread safe.
class HESKER_EXPORT MsgWaitQueue {
public:
   static const uint32_t DEFAULT_MAX_MESSAGES = 4096;
   static const uint64_t DEFAULT_MAX_BYTES = 16ull << 20;

   explicit MsgWaitQueue(uint32_t maxMessages = DEFAULT_MAX_MESSAGES,
                         uint64_t maxBytes = DEFAULT_MAX_BYTES);
   MsgWaitQueue(const MsgWaitQueue &) = delete;
   MsgWaitQueue &operator=(const MsgWaitQueue &) = delete;
   ~MsgWaitQueue();

   void put(CSCPMessage *message);
   // The same with the message's size on the wire, which the bound counts
   // (put() without it encodes the message to learn it). Returns how many
   // messages the bound dropped to make room.
   uint32_t put(CSCPMessage *message, uint32_t size);
   // The message (the caller deletes it), or null when none came in time.
   // Ends one expectation of (code, id), if any, either way.
   CSCPMessage *waitForMessage(uint16_t code, uint32_t id, uint32_t timeoutMs);
   // One more reply (code, id) that a waiter will ask for: kept whatever the
   // bound until it is taken. Call before the request goes out; a matching
   // message already queued is kept from now on.
   void expect(uint16_t code, uint32_t id);
   // Ends one expectation of (code, id) when no wait will follow (the send
   // failed); a reply that comes later is unsolicited.
   void forget(uint16_t code, uint32_t id);
   // Ends every wait now in progress with null, as its time-out would: the
   // connection that would have brought the replies is gone. Later waits
   // wait as usual.
   void releaseWaiters();
   void clear();
   size_t size();
   uint64_t bytes();
   // Applies from the next put. Zero for either is taken as one.
   void setLimits(uint32_t maxMessages, uint64_t maxBytes);
   // Messages dropped by the bound since the queue was made.
   uint64_t droppedCount();

private:
   struct Impl;
   Impl *m_impl;
};

// ---------------------------------------------------------------- tables
// A table of text cells with typed, named columns, as agents send them.
class HESKER_EXPORT Table {
public:
   Table();
   // Reads a table written by fillMessage; a malformed one gives an empty table.
   explicit Table(const CSCPMessage *message);
   Table(const Table &) = delete;
   Table &operator=(const Table &) = delete;
   ~Table();

   // Writes the table into message (title, instance column, columns, rows).
   void fillMessage(CSCPMessage *message) const;

   int getNumRows() const;
   int getNumColumns() const;
   const wchar_t *getTitle() const;
   void setTitle(const wchar_t *title);
   const wchar_t *getInstanceColumn() const;
   void setInstanceColumn(const wchar_t *name);
   // Index of the new column.
   int addColumn(const wchar_t *name, int32_t dataType = 0);
   const wchar_t *getColumnName(int column) const;
   int32_t getColumnDataType(int column) const;
   int getColumnIndex(const wchar_t *name) const;  // -1 when absent
   // Index of the new, empty row.
   int addRow();
   void setAt(int row, int column, const wchar_t *value);
   // The cell, or null outside the table.
   const wchar_t *getAsString(int row, int column) const;
   int32_t getAsInt(int row, int column) const;
   uint32_t getAsUInt(int row, int column) const;
   int64_t getAsInt64(int row, int column) const;

private:
   struct Impl;
   Impl *m_impl;
};

#endif
