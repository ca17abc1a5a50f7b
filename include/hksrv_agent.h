// The agent session: AgentConnection is the server's client session to one
// monitoring agent over HKCP on TCP, with its result codes, the records its
// requests return, and the process-wide default encryption policy.
//
// Thread safety: any number of caller threads may make requests on one
// session at once (replies are matched by code and request id); one receiver
// thread per connected session reads the socket and calls the hooks. The
// data-line store (getList and the network-table operations) serves one
// caller at a time. connect, disconnect and destruction are not to be run
// concurrently with each other on one session.
#ifndef HKSRV_AGENT_H
#define HKSRV_AGENT_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "hesker.h"
#include "hksrv_export.h"

class InterfaceList;
typedef struct evp_pkey_st EVP_PKEY;
class SNMP_ProxyTransport;

// ---------------------------------------------------------------- result codes
// The ERR_ values of VID_RCC are the protocol's own, in hkcp_codes.h.

// The constant text of a result code; "Unknown error code" for others.
HKSRV_EXPORT const wchar_t *AgentErrorCodeToText(int code);

// ---------------------------------------------------------------- policies and methods
static const int AUTH_NONE = 0;
static const int AUTH_PLAINTEXT = 1;
static const int AUTH_MD5_HASH = 2;
static const int AUTH_SHA1_HASH = 3;
// Mutual and bound to the TLS session (see "TLS" below): the agent proves
// the secret first, then the server; a proof is worthless on any other
// session. Only offered inside TLS: without it, connect fails with
// ERR_TLS_REQUIRED.
static const int AUTH_HMAC_SHA256 = 4;

static const int ENCRYPTION_DISABLED = 0;
static const int ENCRYPTION_ALLOWED = 1;
static const int ENCRYPTION_PREFERRED = 2;
static const int ENCRYPTION_REQUIRED = 3;

// Sets the default encryption policy that sessions created afterwards copy.
HKSRV_EXPORT void SetAgentDEP(int policy);

// ---------------------------------------------------------------- records
// One parameter the agent supports.
struct HKC_AGENT_PARAM {
   wchar_t name[256];
   wchar_t description[256];
   int32_t dataType;  // the agent's 16-bit data-type code, zero-extended
};

// One table the agent supports.
struct HKC_AGENT_TABLE {
   wchar_t name[256];
   wchar_t instanceColumn[64];
   wchar_t description[256];
};

// A route of the agent's routing table; addresses in host byte order.
struct ROUTE {
   uint32_t destination;
   uint32_t netMask;
   uint32_t nextHop;
   uint32_t ifIndex;
   uint32_t routeType;
};

// malloc'ed with its array; freed with DestroyRoutingTable.
struct ROUTING_TABLE {
   int32_t numEntries;
   ROUTE *routes;
};

struct ARP_ENTRY {
   uint32_t ifIndex;
   uint32_t ipAddr;  // host byte order
   uint8_t macAddr[6];
};

// malloc'ed with its array; freed with DestroyArpCache.
struct ARP_CACHE {
   uint32_t numEntries;
   ARP_ENTRY *entries;
};

// Sorts the routes in place, the most specific mask first.
HKSRV_EXPORT void SortRoutingTable(ROUTING_TABLE *table);
// Free a result; null is ignored.
HKSRV_EXPORT void DestroyRoutingTable(ROUTING_TABLE *table);
HKSRV_EXPORT void DestroyArpCache(ARP_CACHE *cache);

// The policies installed on an agent, read from an inventory reply. Owns its
// arrays and strings; not changed after construction.
class HKSRV_EXPORT AgentPolicyInfo {
public:
   explicit AgentPolicyInfo(CSCPMessage *message);
   AgentPolicyInfo(const AgentPolicyInfo &) = delete;
   AgentPolicyInfo &operator=(const AgentPolicyInfo &) = delete;
   ~AgentPolicyInfo();

   int getSize() const { return m_size; }
   // Copies the 16 GUID bytes; false (buffer untouched) out of range.
   bool getGuid(int index, uint8_t *buffer) const;
   int getType(int index) const;               // -1 out of range
   const wchar_t *getServer(int index) const;  // null out of range or absent

private:
   int m_size;
   uint8_t *m_guids;
   int *m_types;
   wchar_t **m_servers;
};

// ---------------------------------------------------------------- callbacks
typedef void (*AGENT_UPLOAD_PROGRESS)(int64_t bytesSent, void *argument);
typedef void (*AGENT_DOWNLOAD_PROGRESS)(uint64_t position, void *argument);

// ---------------------------------------------------------------- the session
class HKSRV_EXPORT AgentConnection {
   friend class SNMP_ProxyTransport;

public:
   // ipAddr in network byte order; secret converted to the 8-bit code page,
   // at most 63 characters; null gives "". Opens nothing.
   AgentConnection(uint32_t ipAddr, uint16_t port = 4700, int authMethod = AUTH_NONE,
                   const wchar_t *secret = nullptr);
   AgentConnection(const AgentConnection &) = delete;
   AgentConnection &operator=(const AgentConnection &) = delete;

   // ------------------------------------------------ connect sequence
   // 1 when connected, 0 otherwise; *error gets 0 or the failing step's
   // result, *socketError the socket error seen on failure. Both may be null.
   int connect(RSA *serverKey = nullptr, int verbose = 0, uint32_t *error = nullptr,
               uint32_t *socketError = nullptr);
   void disconnect();
   uint32_t nop();
   // ipAddr in network byte order.
   void setProxy(uint32_t ipAddr, uint16_t port, int authMethod, const wchar_t *secret);

   // ------------------------------------------------ settings and accessors
   void setConnectionTimeout(uint32_t timeout);
   void setCommandTimeout(uint32_t timeout);
   // How long the agent may stay silent before the session ends (at least
   // 10000 ms; default 420000). It does not bound writes: setSendTimeout does.
   void setRecvTimeout(uint32_t timeout);
   void setPort(uint16_t port) { m_port = port; }
   void setAuthData(int authMethod, const char *secret);
   void setEncryptionPolicy(int policy) { m_encryptionPolicy = policy; }
   void setDeleteFileOnDownloadFailure(bool flag) { m_deleteFileOnDownloadFailure = flag; }

   // ------------------------------------------------ TLS (docs/protocol.md, "TLS")
   // Any of the three setters below asks for TLS on the next connect: after
   // the version probe the session sends CMD_START_TLS and runs a TLS 1.3
   // handshake in which both sides show a key and each pins the other's.
   // A session that sets none of them speaks exactly the legacy exchanges;
   // once asked for, TLS stays asked for on this session.
   // With TLS asked for, a handshake that fails, an agent that does not
   // speak TLS, or an agent key that is not trusted fails the connect under
   // every encryption policy (ERR_TLS_FAILED, ERR_AGENT_KEY_UNTRUSTED); TLS
   // asked for with neither a pin nor a decision fails it with
   // ERR_AGENT_KEY_NOT_PINNED once the agent has shown its key
   // (getAgentKeyFingerprint). Inside TLS the encryption policy and the
   // RSA key exchange do not apply; a proxy hop is not offered (ERR_NOT_IMPLEMENTED).
   //
   // Pins an agent key by fingerprint: the SHA-256 of its DER
   // SubjectPublicKeyInfo as 64 hex digits (colons allowed) or as
   // "SHA256:" and its base64. Each call adds one; null clears them all.
   // False (nothing changed) for text that is no fingerprint.
   bool setAgentKeyFingerprint(const char *fingerprint);
   // Decides on an agent key that no pin names: called on the connecting
   // thread with its 64 lower-case hex digits; true accepts it. An empty
   // function removes the decision.
   void setAgentKeyTrust(std::function<bool(const char *fingerprint)> decide);
   // The key the session shows the agent in TLS (EC, Ed25519, or RSA of
   // 2048 bits or more) instead of connect's RSA key; the session takes a
   // reference of its own. False (nothing changed) for a key TLS cannot
   // use; null goes back to connect's key.
   bool setServerTlsKey(EVP_PKEY *key);
   // The agent key's fingerprint (64 lower-case hex digits) the last TLS
   // handshake saw, also when it was refused; empty when none was seen.
   std::string getAgentKeyFingerprint() const;
   // True while the connected session runs inside TLS.
   bool isTlsActive() const { return m_connection.tlsActive(); }

   int isConnected() const { return m_isConnected.load(); }
   int getProtocolVersion() const { return m_protocolVersion.load(); }
   SOCKET getSocket() const { return m_connection.socket(); }
   uint32_t getConnectionTimeout() const { return m_connectionTimeout; }
   uint32_t getCommandTimeout() const { return m_commandTimeout; }
   // The current request id; the counter then moves on by one (atomically).
   uint32_t generateRequestId() { return m_requestId.fetch_add(1); }

   // ------------------------------------------------ extensions
   // How long the write of one frame may wait for an agent that does not
   // read (at least 1000 ms; default 420000, INFINITE for no bound); when it
   // passes, the write fails and the connection ends. Independent of the
   // receive time-out. Applies at once.
   void setSendTimeout(uint32_t timeout);
   uint32_t getSendTimeout() const { return m_connection.sendTimeout(); }
   // Bound of the reply queue in messages and bytes (defaults
   // MsgWaitQueue::DEFAULT_MAX_MESSAGES and DEFAULT_MAX_BYTES). When the
   // agent sends more than it holds, what nobody waits for (unsolicited
   // messages, late replies to requests that timed out) is dropped oldest
   // first; a reply a request still waits for is never dropped. The first
   // drop is reported through PrintMsg once; every drop is counted.
   void setReplyQueueLimits(uint32_t maxMessages, uint64_t maxBytes);
   uint64_t getDroppedReplyCount() const;

   // ------------------------------------------------ parameter queries
   uint32_t getParameter(const wchar_t *name, uint32_t bufferSize, wchar_t *buffer);
   uint32_t getList(const wchar_t *name);
   uint32_t getNumDataLines() const { return m_numDataLines; }
   // Line index, or the constant "(error)" for an index out of range.
   const wchar_t *getDataLine(uint32_t index) const;
   uint32_t getTable(const wchar_t *name, Table **table);
   uint32_t getSupportedParameters(StructArray<HKC_AGENT_PARAM> **parameters,
                                   StructArray<HKC_AGENT_TABLE> **tables);

   // ------------------------------------------------ network tables
   InterfaceList *getInterfaceList();
   ARP_CACHE *getArpCache();
   ROUTING_TABLE *getRoutingTable();

   // ------------------------------------------------ management
   uint32_t execAction(const wchar_t *action, int numArgs, wchar_t **args);
   // ipAddr in host byte order.
   uint32_t checkNetworkService(uint32_t *status, uint32_t ipAddr, int serviceType,
                                uint16_t port = 0, uint16_t proto = 0,
                                const wchar_t *request = nullptr,
                                const wchar_t *response = nullptr);
   uint32_t getConfigFile(wchar_t **text, uint32_t *fileSize);
   uint32_t updateConfigFile(const wchar_t *text);
   uint32_t enableTraps();
   uint32_t startUpgrade(const wchar_t *packageFile);
   uint32_t getPolicyInventory(AgentPolicyInfo **inventory);
   uint32_t uninstallPolicy(uint8_t *guid);

   // ------------------------------------------------ file transfer
   uint32_t uploadFile(const wchar_t *localFile, const wchar_t *destinationFile = nullptr,
                       AGENT_UPLOAD_PROGRESS progressCallback = nullptr,
                       void *callbackArg = nullptr);
   // The agent's reply (the caller deletes it), or null; request stays the
   // caller's. With recvFile, one download at a time per session: while
   // another caller's download runs or its end is not yet taken, the reply
   // says ERR_RESOURCE_BUSY and nothing is sent.
   CSCPMessage *customRequest(CSCPMessage *request, const wchar_t *recvFile = nullptr,
                              bool append = false,
                              AGENT_DOWNLOAD_PROGRESS downloadProgressCallback = nullptr,
                              void *callbackArg = nullptr);

protected:
   // ------------------------------------------------ hooks
   // A diagnostic line; default: the formatted text and a newline on stdout.
   virtual void PrintMsg(const wchar_t *format, ...);
   // Run on the receiver thread, which deletes the message afterwards.
   virtual void onTrap(CSCPMessage *message);
   virtual void onDataPush(CSCPMessage *message);
   // True when consumed (the receiver deletes it); false files it in the
   // reply queue.
   virtual bool processCustomMessage(CSCPMessage *message);
   // The end of a download. On the data path (the last frame, a failed
   // write) it runs on the receiver thread with no lock held; from
   // disconnect, the receiver's exit and the destructor with the state lock
   // held, which is re-entrant for its owner.
   //
   // What a hook may do: call disconnect, Lock/Unlock, setters, and arm the
   // next download from another thread (which is refused with
   // ERR_RESOURCE_BUSY until this hook has returned). What it may not do:
   // wait for another thread that needs the state lock while it holds it;
   // and a request made from a hook that runs on the receiver thread (this
   // one, onTrap, onDataPush, processCustomMessage) can only time out, since
   // nobody else reads its reply.
   virtual void onFileDownload(int success);

public:
   // Declared after the hooks: the vtable holds the hooks first, then the
   // destructor, the layout that session classes built elsewhere expect.
   virtual ~AgentConnection();

protected:
   // ------------------------------------------------ session operations
   uint32_t getIpAddr() const;  // host byte order
   // The state lock, re-entrant for its owner.
   void Lock() HK_NO_THREAD_SAFETY_ANALYSIS { m_connection.stateLock().lock(); }
   void Unlock() HK_NO_THREAD_SAFETY_ANALYSIS { m_connection.stateLock().unlock(); }
   // The context with one reference added, or null; release with decRefCount.
   HKCPEncryptionContext *acquireEncryptionContext();

   int sendMessage(CSCPMessage *message);
   // sendMessage for a request whose reply (replyCode, its id) a
   // waitForMessage will take: the reply is kept whatever the queue's bound
   // until that wait ends. 0 when the send failed (nothing is then expected).
   int sendRequest(CSCPMessage *request, uint16_t replyCode = CMD_REQUEST_COMPLETED);
   CSCPMessage *waitForMessage(uint16_t code, uint32_t id, uint32_t timeout);
   uint32_t waitForRCC(uint32_t id, uint32_t timeout);
   void destroyResultData();

   uint32_t authenticate(int useProxySecret);
   uint32_t setupEncryption(RSA *serverKey);
   uint32_t setupProxyConnection();
   uint32_t prepareFileDownload(const wchar_t *fileName, uint32_t requestId, bool append,
                                AGENT_DOWNLOAD_PROGRESS callback, void *callbackArg);

private:
   static uint32_t ReceiverThreadStarter(void *argument);
   void ReceiverThread();
   // The download data path: one raw CMD_FILE_DATA frame, header already in
   // host byte order. Runs on the receiver thread.
   void processFileData(CSCP_MESSAGE *frame);
   // Ends an active download as failed (disconnect, receiver exit, teardown):
   // closes the target and calls onFileDownload(0). Caller holds the state
   // lock.
   void abortDownload();
   // Acts on one receive; false ends the receiver.
   bool handleReceive(HKCPReceiveResult result);
   void dispatchFrame(CSCP_MESSAGE *frame);
   // Files a message of size bytes in the reply queue; reports the bound's
   // first drop.
   void fileMessage(CSCPMessage *message, uint32_t size);
   // Steps shared by connect's failure exit and the destructor.
   int failConnect(uint32_t result, uint32_t *error, uint32_t *socketError);
   // AUTH_HMAC_SHA256 inside this session's TLS.
   uint32_t authenticateBound(const char *secret);
   // CMD_START_TLS and the handshake, before the receiver starts.
   uint32_t startTls(RSA *serverKey);
   // Steps 4 to 6 of a request: send, wait for the reply, take its result
   // code. On success readReply, when given, reads the reply before it is
   // deleted; a failed request leaves the caller's outputs untouched.
   // customRequest's download after it is armed: sends the request, waits
   // for the reply and then for the download's end; the reply or null.
   CSCPMessage *awaitDownload(CSCPMessage *request, const wchar_t *recvFile, bool append);
   uint32_t exchange(CSCPMessage *request, uint32_t timeout,
                     const std::function<void(CSCPMessage *reply)> &readReply = nullptr);

   // Constant after construction unless a setter changes it (setters take no
   // lock and apply to the next use).
   uint32_t m_addr;
   std::atomic<int> m_protocolVersion{2};
   int m_authMethod;
   char m_secret[64];
   // The data-line store: one caller at a time; freed under the state lock by
   // disconnect and teardown.
   uint32_t m_numDataLines;
   std::atomic<uint32_t> m_requestId{1};
   // Settings read by requests and the receiver while a caller may set them.
   std::atomic<uint32_t> m_commandTimeout;
   std::atomic<uint32_t> m_connectionTimeout;
   std::atomic<uint32_t> m_recvTimeout;
   wchar_t **m_dataLines;
   MsgWaitQueue *m_msgWaitQueue;  // owned
   std::atomic<int> m_isConnected{0};
   // The socket, its send lock, the state lock (Lock/Unlock) and the
   // encryption context; the session holds one reference on the context.
   HKCPConnection m_connection;
   HK_THREAD *m_receiverThread;
   int m_encryptionPolicy;
   int m_useProxy;
   uint32_t m_proxyAddr;
   uint16_t m_port;
   uint16_t m_proxyPort;
   int m_proxyAuthMethod;
   char m_proxySecret[64];

   // Download state, guarded by m_downloadLock: the caller's thread arms it,
   // the receiver writes and ends it, disconnect and teardown close it.
   CriticalSection m_downloadLock;
   int m_downloadFile;
   wchar_t *m_downloadFileName;  // malloc'ed, kept whole
   uint32_t m_downloadRequestId;
   ManualResetEvent m_downloadCompleted;
   std::atomic<int> m_downloadResult{0};
   AGENT_DOWNLOAD_PROGRESS m_downloadProgressCallback;
   void *m_downloadProgressArg;
   bool m_deleteFileOnDownloadFailure;
   // Set while a customRequest caller has armed a download and not yet taken
   // its end: another download armed meanwhile would reset the event that
   // caller waits on and hand it the other download's result.
   bool m_downloadAwaited = false;
   // Set from the close of an ended download until its onFileDownload has
   // returned: the hook runs without m_downloadLock, and a download armed
   // meanwhile would have its name removed and its event signalled.
   bool m_downloadEnding = false;
   std::atomic<bool> m_fileUploadInProgress{false};
   // The TLS settings and what the last handshake saw (connect.cpp); owned.
   struct TlsSettings;
   TlsSettings *m_tlsSettings;
};

#endif
