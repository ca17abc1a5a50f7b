// The request dispatcher: turns one decoded request into its reply and, for
// the few requests that go on after the reply (a file to send, an upload to
// receive, a relay, a data push, a session to end), into a follow-up for
// the session. It does no socket I/O of its own on the client's socket, so
// tests and fuzzers call it with crafted messages.
//
// Order of checks: a key request is answered (for a trusted server key
// only, see key_trust.h; never inside TLS); CMD_START_TLS is answered (as
// the session's first step only, and only with an identity key); then,
// when the configuration requires encryption and the session has none
// (TLS counts), every request gets ERR_ENCRYPTION_REQUIRED; then
// CMD_AUTHENTICATE is judged; then, when a secret is configured and the
// session has not authenticated, every request gets ERR_AUTH_REQUIRED.
#ifndef HKAGENT_DISPATCHER_H
#define HKAGENT_DISPATCHER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "fd_util.h"
#include "file_store.h"
#include "hesker.h"
#include "runtime.h"

namespace hkagent {

// Protocol state of one client session, owned by its session thread.
struct SessionState {
   bool authenticated = false;
   // A request has passed every gate (encryption, authentication): the
   // handshake is over and its deadline no longer applies.
   bool established = false;
   bool encrypted = false;     // the session has an encryption context
   bool trapsEnabled = false;  // CMD_ENABLE_TRAPS succeeded
   bool uploadActive = false;  // an upload's data frames are still due
   uint32_t peerAddress = 0;   // host byte order, for the log
   // Set when the session is told to end; a refusal's delay ends early then,
   // so a session dropped to make room gives its thread back at once.
   const std::atomic<bool> *stopRequested = nullptr;
   // Derived from the newest key exchange's key: what AUTH_HMAC_SHA256
   // proofs are bound to. Set when the exchange is answered; the next
   // request is read under that key.
   bool hasChannelBinding = false;
   uint8_t channelBinding[HKCP_CHANNEL_BINDING_SIZE] = {};
   // Inside TLS (CMD_START_TLS): its binding and the agent's own key, what
   // AUTH_HMAC_SHA256 proofs are bound to and salted with.
   bool tls = false;
   uint8_t tlsBinding[HKCP_TLS_BINDING_SIZE] = {};
   uint8_t agentFingerprint[HKCP_KEY_FINGERPRINT_SIZE] = {};
   // AUTH_HMAC_SHA256's first step was answered: the server's proof is due.
   bool proofPending = false;
   uint8_t serverNonce[HKCP_AUTH_NONCE_SIZE] = {};
   uint8_t agentNonce[HKCP_AUTH_NONCE_SIZE] = {};
   uint8_t agentProof[HKCP_AUTH_PROOF_SIZE] = {};
};

enum class FollowUp {
   None,
   CloseSession,   // end the session after the reply
   SendFile,       // send `file` as CMD_FILE_DATA frames with the request id
   ReceiveUpload,  // take the request's CMD_FILE_DATA frames into `file`
   Relay,          // relay bytes between the client and `socket`
   PushData,       // send one CMD_DATA_PUSH after the reply
   StartTls,       // run the TLS handshake right after the (plain) reply
};

// What the session does after sending the reply. Owns what it holds.
struct DispatchOutcome {
   FollowUp followUp = FollowUp::None;
   UniqueFd file;         // SendFile: open for reading; ReceiveUpload: temporary file
   UniqueFd directory;    // ReceiveUpload: directory of tempName and finalName
   std::string tempName;  // ReceiveUpload: unlinked unless renamed to finalName
   std::string finalName;
   uint64_t maxSize = 0;  // ReceiveUpload: most bytes accepted
   // ReceiveUpload: the store's room promised to it, kept until it ends.
   std::unique_ptr<QuotaReservation> reservation;
   UniqueFd socket;  // Relay: the onward connection
   // A key exchange's new context, to be installed after the reply (which
   // still travels under the old one). One reference, owned.
   HKCPEncryptionContext *newContext = nullptr;

   DispatchOutcome() = default;
   DispatchOutcome(const DispatchOutcome &) = delete;
   DispatchOutcome &operator=(const DispatchOutcome &) = delete;
   ~DispatchOutcome();
   // Removes an upload's temporary file that was not taken over.
   void discardUpload();
};

// What a handler sees of its request.
struct RequestContext {
   AgentRuntime &runtime;
   const AgentConfig &config;
   SessionState &state;
};

class Dispatcher {
public:
   explicit Dispatcher(AgentRuntime &runtime) : m_runtime(runtime) {}

   // Fills reply for request: code CMD_REQUEST_COMPLETED (CMD_SESSION_KEY
   // for a key request) with the request's id and VID_RCC.
   void dispatch(SessionState &state, const CSCPMessage &request, CSCPMessage *reply,
                 DispatchOutcome *outcome);

private:
   void answerKeyRequest(SessionState &state, const CSCPMessage &request, CSCPMessage *reply,
                         DispatchOutcome *outcome);

   AgentRuntime &m_runtime;
};

// Builds the data push message (CMD_DATA_PUSH): VID_NUM_ELEMENTS n, then
// for item i the parameter name at VID_ITEM_LIST_BASE + 2i and its value at
// + 2i + 1, and VID_AGENT_TIMESTAMP.
void BuildDataPush(AgentRuntime &runtime, const AgentConfig &config, CSCPMessage *message);

// The request handlers by area. Each returns the result code; it sets its
// other reply variables only on success.
uint32_t HandleGetParameter(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply);
uint32_t HandleGetList(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply);
uint32_t HandleGetTable(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply);
uint32_t HandleGetSupportedParameters(RequestContext &ctx, const CSCPMessage &rq,
                                      CSCPMessage *reply);
uint32_t HandleExecAction(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply);
uint32_t HandleCheckService(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply);
uint32_t HandleGetConfigFile(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply);
uint32_t HandleUpdateConfigFile(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply);
uint32_t HandleUploadFile(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply,
                          DispatchOutcome *outcome);
uint32_t HandleGetAgentFile(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply,
                            DispatchOutcome *outcome);
uint32_t HandleGetPolicyInventory(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply);
uint32_t HandleUninstallPolicy(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply);
uint32_t HandleSetupProxy(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply,
                          DispatchOutcome *outcome);
uint32_t HandleSnmpRequest(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply);

// Parameter values by name ("Name" or "Name(arg,...)"): ERR_SUCCESS with
// the value, ERR_UNKNOWN_PARAMETER, or ERR_BAD_ARGUMENTS.
uint32_t GetParameterValue(AgentRuntime &runtime, const std::string &name, std::string *value);

// Text of a string variable, empty when absent, at most maxChars
// characters read. Latin-1 is the 8-bit code page (one byte per character,
// '?' above U+00FF): secrets and byte-exact texts. UTF-8 is for names that
// reach the file system or a program (file names, parameter and action
// arguments); a value that is no character becomes U+FFFD.
enum class TextEncoding { Latin1, Utf8 };
std::string GetStringVar(const CSCPMessage &msg, uint32_t id, size_t maxChars = 4096,
                         TextEncoding encoding = TextEncoding::Utf8);
// A name a peer gives for something the agent keeps (a file): ERR_SUCCESS
// with *name in UTF-8, or ERR_BAD_ARGUMENTS when it holds a NUL or any
// other control character or is longer than maxChars characters. A missing
// variable reads as the empty name.
uint32_t GetStrictName(const CSCPMessage &msg, uint32_t id, size_t maxChars, std::string *name);
// Sets a string variable from UTF-8 text (invalid bytes become U+FFFD).
void SetStringVar(CSCPMessage *msg, uint32_t id, const std::string &text);

}  // namespace hkagent

#endif
