#include "dispatcher.h"

#include <errno.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "agent_codes.h"
#include "auth_throttle.h"
#include "fd_util.h"
#include "hk_platform.h"
#include "hk_text.h"
#include "key_trust.h"
#include "log.h"

namespace hkagent {

namespace {

// The secret a server can send is at most 63 characters.
const size_t kSecretField = 64;

bool SecretMatches(const std::string &configured, const std::string &received) {
   // Fixed-size buffers and a constant-time compare, so the time taken says
   // nothing about how much of the secret matched.
   uint8_t a[kSecretField] = {}, b[kSecretField] = {};
   memcpy(a, configured.data(), std::min(configured.size(), kSecretField));
   memcpy(b, received.data(), std::min(received.size(), kSecretField));
   bool same = CRYPTO_memcmp(a, b, kSecretField) == 0;
   return same && configured.size() == received.size() && configured.size() < kSecretField;
}

void DelayRefusal(const AgentConfig &config, const SessionState &state) {
   // In slices, to notice a stop request.
   const uint32_t sliceMs = 20;
   uint64_t end = GetMonotonicMs() + config.authFailureDelayMs;
   for (uint64_t now = GetMonotonicMs(); now < end; now = GetMonotonicMs()) {
      if (state.stopRequested != nullptr && state.stopRequested->load())
         return;
      uint64_t ms = std::min<uint64_t>(end - now, sliceMs);
      struct timespec pause = {0, (long)ms * 1000000};
      while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
      }
   }
}

bool DigestMatches(const CSCPMessage &request, const std::string &secret, bool sha1) {
   size_t size = sha1 ? SHA1_DIGEST_SIZE : MD5_DIGEST_SIZE;
   uint8_t expected[SHA1_DIGEST_SIZE] = {}, received[SHA1_DIGEST_SIZE] = {};
   if (sha1)
      CalculateSHA1Hash((const uint8_t *)secret.data(), secret.size(), expected);
   else
      CalculateMD5Hash((const uint8_t *)secret.data(), secret.size(), expected);
   uint32_t length = request.GetVariableBinary(VID_SHARED_SECRET, received, (uint32_t)size);
   bool same = CRYPTO_memcmp(expected, received, size) == 0;
   return same && length == size;
}

// AUTH_HMAC_SHA256 inside TLS, in two requests. The first carries the
// server's nonce and gets the agent's nonce and proof; the second carries
// the server's proof, which authenticates the session when it holds.
// ERR_SUCCESS after the first (not yet authenticated), ERR_SUCCESS with
// *proven after the second, ERR_AUTH_FAILED otherwise.
uint32_t ProveInTls(RequestContext &ctx, const CSCPMessage &request, CSCPMessage *reply,
                    bool *proven) {
   SessionState &state = ctx.state;
   const std::string &secret = ctx.config.secret;
   uint8_t key[HKCP_AUTH_KEY_SIZE];
   if (!HKCPTlsAuthKey(secret.data(), secret.size(), state.agentFingerprint, key))
      return ERR_INTERNAL_ERROR;
   bool ok;
   if (!state.proofPending) {
      ok = request.GetVariableBinary(VID_AUTH_NONCE, state.serverNonce,
                                     sizeof(state.serverNonce)) == HKCP_AUTH_NONCE_SIZE &&
           RAND_bytes(state.agentNonce, sizeof(state.agentNonce)) == 1 &&
           HKCPTlsAgentProof(key, state.tlsBinding, state.serverNonce, state.agentNonce,
                             state.agentProof);
      if (ok) {
         state.proofPending = true;
         reply->SetVariable(VID_AUTH_NONCE, state.agentNonce, HKCP_AUTH_NONCE_SIZE);
         reply->SetVariable(VID_AUTH_PROOF, state.agentProof, HKCP_AUTH_PROOF_SIZE);
      }
   } else {
      uint8_t received[HKCP_AUTH_PROOF_SIZE], expected[HKCP_AUTH_PROOF_SIZE];
      ok = request.GetVariableBinary(VID_AUTH_PROOF, received, sizeof(received)) ==
               HKCP_AUTH_PROOF_SIZE &&
           HKCPTlsServerProof(key, state.tlsBinding, state.serverNonce, state.agentNonce,
                              state.agentProof, expected) &&
           CRYPTO_memcmp(expected, received, sizeof(expected)) == 0;
      state.proofPending = false;
      *proven = ok;
   }
   OPENSSL_cleanse(key, sizeof(key));
   return ok ? ERR_SUCCESS : ERR_AUTH_FAILED;
}

uint32_t Authenticate(RequestContext &ctx, const CSCPMessage &request, CSCPMessage *reply,
                      DispatchOutcome *outcome) {
   if (ctx.state.authenticated)
      return ERR_ALREADY_AUTHENTICATED;
   if (ctx.config.secret.empty())
      return ERR_AUTH_NOT_REQUIRED;
   uint16_t method = request.GetVariableShort(VID_AUTH_METHOD);
   // The bound method is offered inside TLS only: the legacy channel's
   // binding can be equalised by a relay.
   if (method == AUTH_HMAC_SHA256 && !ctx.state.tls)
      return ERR_TLS_REQUIRED;
   std::string peer = Ipv4ToText(ctx.state.peerAddress);
   AuthThrottle &throttle = ctx.runtime.authThrottle();
   AuthLimits limits;
   limits.maxFailures = ctx.config.maxAuthFailures;
   limits.maxTotal = ctx.config.maxAuthFailuresTotal;
   limits.blockMs = (uint64_t)ctx.config.authBlockTimeSec * 1000;
   // One wrong secret ends the connection, and every refusal waits first:
   // guessing costs a new connection and the delay each time, and an
   // address that keeps guessing is not heard at all for a while; nor is
   // any address new to the agent once all of them together failed too
   // often.
   AuthVerdict verdict = throttle.check(ctx.state.peerAddress, limits, GetMonotonicMs());
   if (verdict != AuthVerdict::Allowed) {
      if (verdict == AuthVerdict::AddressBlocked)
         HKLOG_PEER(false, LogLevel::Warning,
                    "authentication from %s refused: %u failures in the last %u s", peer.c_str(),
                    ctx.config.maxAuthFailures, ctx.config.authBlockTimeSec);
      else
         HKLOG_PEER(false, LogLevel::Warning,
                    "authentication from %s refused: %u failures of all addresses in the last "
                    "%u s",
                    peer.c_str(), ctx.config.maxAuthFailuresTotal, ctx.config.authBlockTimeSec);
      DelayRefusal(ctx.config, ctx.state);
      outcome->followUp = FollowUp::CloseSession;
      return ERR_AUTH_FAILED;
   }
   bool ok = false;
   if (method == AUTH_HMAC_SHA256) {
      bool proven = false;
      uint32_t rcc = ProveInTls(ctx, request, reply, &proven);
      if (rcc == ERR_SUCCESS && !proven)
         return ERR_SUCCESS;  // the agent's proof is out; the server's is due
      ok = rcc == ERR_SUCCESS;
   }
   switch (method) {
      case AUTH_PLAINTEXT:
         ok = SecretMatches(ctx.config.secret, GetStringVar(request, VID_SHARED_SECRET,
                                                            kSecretField, TextEncoding::Latin1));
         break;
      case AUTH_MD5_HASH:
         ok = DigestMatches(request, ctx.config.secret, false);
         break;
      case AUTH_SHA1_HASH:
         ok = DigestMatches(request, ctx.config.secret, true);
         break;
      default:
         break;
   }
   if (!ok) {
      // Only a proof that was checked and failed counts; a refusal above
      // does not.
      throttle.recordFailure(ctx.state.peerAddress, limits, GetMonotonicMs());
      HKLOG_PEER(false, LogLevel::Warning, "authentication failed from %s (method %u)",
                 peer.c_str(), method);
      DelayRefusal(ctx.config, ctx.state);
      outcome->followUp = FollowUp::CloseSession;
      return ERR_AUTH_FAILED;
   }
   throttle.recordSuccess(ctx.state.peerAddress, GetMonotonicMs());
   ctx.state.authenticated = true;
   HKLOG_DEBUG("%s authenticated (method %u)", peer.c_str(), method);
   return ERR_SUCCESS;
}

uint32_t Route(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply,
               DispatchOutcome *outcome) {
   switch (rq.GetCode()) {
      case CMD_NOP:
         return ERR_SUCCESS;
      case CMD_GET_PARAMETER:
         return HandleGetParameter(ctx, rq, reply);
      case CMD_GET_LIST:
         return HandleGetList(ctx, rq, reply);
      case CMD_GET_TABLE:
         return HandleGetTable(ctx, rq, reply);
      case CMD_GET_SUPPORTED_PARAMETERS:
         return HandleGetSupportedParameters(ctx, rq, reply);
      case CMD_EXEC_ACTION:
         return HandleExecAction(ctx, rq, reply);
      case CMD_CHECK_NETWORK_SERVICE:
         return HandleCheckService(ctx, rq, reply);
      case CMD_GET_CONFIG_FILE:
         return HandleGetConfigFile(ctx, rq, reply);
      case CMD_UPDATE_CONFIG_FILE:
         return HandleUpdateConfigFile(ctx, rq, reply);
      case CMD_ENABLE_TRAPS:
         ctx.state.trapsEnabled = true;
         return ERR_SUCCESS;
      case CMD_START_UPGRADE:
         return ERR_NOT_IMPLEMENTED;
      case CMD_GET_POLICY_INVENTORY:
         return HandleGetPolicyInventory(ctx, rq, reply);
      case CMD_UNINSTALL_POLICY:
         return HandleUninstallPolicy(ctx, rq, reply);
      case CMD_UPLOAD_FILE:
         if (ctx.state.uploadActive)
            return ERR_RESOURCE_BUSY;
         return HandleUploadFile(ctx, rq, reply, outcome);
      case CMD_GET_AGENT_FILE:
         return HandleGetAgentFile(ctx, rq, reply, outcome);
      case CMD_PUSH_NOW:
         outcome->followUp = FollowUp::PushData;
         return ERR_SUCCESS;
      case CMD_SETUP_PROXY_CONNECTION:
         // The relay would forward the tunnel's records, not the client's.
         if (ctx.state.tls)
            return ERR_NOT_IMPLEMENTED;
         return HandleSetupProxy(ctx, rq, reply, outcome);
      case CMD_SNMP_REQUEST:
         return HandleSnmpRequest(ctx, rq, reply);
      default:
         return ERR_UNKNOWN_COMMAND;
   }
}

}  // namespace

DispatchOutcome::~DispatchOutcome() {
   discardUpload();
   if (newContext != nullptr)
      newContext->decRefCount();
}

void DispatchOutcome::discardUpload() {
   if (directory.valid() && !tempName.empty())
      unlinkat(directory.get(), tempName.c_str(), 0);
   tempName.clear();
}

void Dispatcher::answerKeyRequest(SessionState &state, const CSCPMessage &request,
                                  CSCPMessage *reply, DispatchOutcome *outcome) {
   reply->SetCode(CMD_SESSION_KEY);
   uint8_t fingerprint[HKCP_KEY_FINGERPRINT_SIZE];
   if (HKCPRequestKeyFingerprint(&request, fingerprint) &&
       !IsServerKeyTrusted(*m_runtime.config(), fingerprint)) {
      // Refused before any work on the key: an untrusted server learns no
      // session key, and costs the agent no RSA operation.
      HKLOG_PEER(state.established, LogLevel::Warning,
                 "key exchange from %s refused: server key %s is not trusted",
                 Ipv4ToText(state.peerAddress).c_str(), HKCPFingerprintText(fingerprint).c_str());
      reply->SetVariable(VID_RCC, RCC_INVALID_PUBLIC_KEY);
      return;
   }
   HKCPEncryptionContext *context = nullptr;
   uint32_t rcc = HKCPAnswerKeyRequest(&request, reply, &context);
   reply->SetCode(CMD_SESSION_KEY);
   reply->SetId(request.GetId());
   if (rcc != ERR_SUCCESS || context == nullptr) {
      if (context != nullptr)
         context->decRefCount();
      return;
   }
   if (!context->channelBinding(state.channelBinding)) {
      context->decRefCount();
      reply->DeleteAllVariables();
      reply->SetVariable(VID_RCC, ERR_INTERNAL_ERROR);
      return;
   }
   state.hasChannelBinding = true;
   outcome->newContext = context;
}

void Dispatcher::dispatch(SessionState &state, const CSCPMessage &request, CSCPMessage *reply,
                          DispatchOutcome *outcome) {
   reply->SetId(request.GetId());
   std::shared_ptr<const AgentConfig> config = m_runtime.config();
   // An agent with a TLS key serves the legacy protocol only when told to:
   // outside TLS it answers nothing but the way in.
   bool legacyRefused = !state.tls && m_runtime.identity() && !config->allowLegacy &&
                        request.GetCode() != CMD_START_TLS;
   if (request.GetCode() == CMD_REQUEST_SESSION_KEY) {
      if (legacyRefused) {
         reply->SetCode(CMD_SESSION_KEY);
         reply->SetVariable(VID_RCC, ERR_TLS_REQUIRED);
         return;
      }
      if (state.tls) {
         // The tunnel is the encryption: no legacy cipher inside it.
         reply->SetCode(CMD_SESSION_KEY);
         reply->SetVariable(VID_RCC, ERR_NOT_IMPLEMENTED);
         return;
      }
      answerKeyRequest(state, request, reply, outcome);
      return;
   }

   reply->SetCode(CMD_REQUEST_COMPLETED);
   RequestContext ctx{m_runtime, *config, state};
   uint32_t rcc;
   if (legacyRefused) {
      rcc = ERR_TLS_REQUIRED;
   } else if (request.GetCode() == CMD_START_TLS) {
      // Only as the first step: nothing said in the clear before may count
      // inside the tunnel.
      if (!m_runtime.identity())
         rcc = ERR_NOT_IMPLEMENTED;
      else if (state.encrypted || state.authenticated || state.tls)
         rcc = ERR_ACCESS_DENIED;
      else {
         rcc = ERR_SUCCESS;
         outcome->followUp = FollowUp::StartTls;
      }
   } else if (config->requireEncryption && !state.encrypted) {
      rcc = ERR_ENCRYPTION_REQUIRED;
   } else if (request.GetCode() == CMD_AUTHENTICATE) {
      rcc = Authenticate(ctx, request, reply, outcome);
      state.established = state.established || (rcc == ERR_SUCCESS && state.authenticated);
   } else if (!config->secret.empty() && !state.authenticated) {
      rcc = ERR_AUTH_REQUIRED;
   } else {
      state.established = true;
      rcc = Route(ctx, request, reply, outcome);
   }
   reply->SetVariable(VID_RCC, rcc);
}

void BuildDataPush(AgentRuntime &runtime, const AgentConfig &config, CSCPMessage *message) {
   static const char *const kDefaults[] = {"System.Uptime", "System.Memory.Physical.Free",
                                           "System.CPU.LoadAvg"};
   std::vector<std::string> names = config.pushParameters;
   if (names.empty())
      names.assign(std::begin(kDefaults), std::end(kDefaults));
   message->SetCode(CMD_DATA_PUSH);
   uint32_t count = 0;
   for (const std::string &name : names) {
      std::string value;
      if (GetParameterValue(runtime, name, &value) != ERR_SUCCESS)
         continue;
      SetStringVar(message, VID_ITEM_LIST_BASE + 2 * count, name);
      SetStringVar(message, VID_ITEM_LIST_BASE + 2 * count + 1, value);
      count++;
   }
   message->SetVariable(VID_NUM_ELEMENTS, count);
   message->SetVariable(VID_AGENT_TIMESTAMP, (uint64_t)time(nullptr));
}

std::string GetStringVar(const CSCPMessage &msg, uint32_t id, size_t maxChars,
                         TextEncoding encoding) {
   std::vector<wchar_t> buffer(maxChars + 1);
   msg.GetVariableStr(id, buffer.data(), (uint32_t)buffer.size());
   if (encoding == TextEncoding::Utf8)
      return hk_wide_to_utf8(buffer.data());
   std::string out;
   for (const wchar_t *p = buffer.data(); *p != L'\0'; p++)
      out.push_back((uint32_t)*p <= 0xFF ? (char)*p : '?');
   return out;
}

uint32_t GetStrictName(const CSCPMessage &msg, uint32_t id, size_t maxChars, std::string *name) {
   name->clear();
   // The getter copies the stored characters, NULs included, and
   // terminates after them. A buffer filled beforehand with a value no
   // decoded character can have (they are at most U+10FFFF) shows where the
   // copy ended, so a NUL inside the name is seen instead of cutting it.
   const wchar_t kUnused = (wchar_t)0x7FFFFFFF;
   std::vector<wchar_t> buffer(maxChars + 2, kUnused);
   msg.GetVariableStr(id, buffer.data(), (uint32_t)buffer.size());
   size_t length = buffer.size() - 1;
   while (length > 0 && buffer[length] == kUnused)
      length--;
   // buffer[length] is the terminator the getter wrote.
   if (length > maxChars)
      return ERR_BAD_ARGUMENTS;
   for (size_t i = 0; i < length; i++) {
      uint32_t c = (uint32_t)buffer[i];
      if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0))
         return ERR_BAD_ARGUMENTS;
   }
   *name = GetStringVar(msg, id, maxChars);
   return ERR_SUCCESS;
}

void SetStringVar(CSCPMessage *msg, uint32_t id, const std::string &text) {
   msg->SetVariable(id, hk_utf8_to_wide(text).c_str());
}

}  // namespace hkagent
