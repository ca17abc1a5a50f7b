#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "agent_link.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/rsa.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "known_agents.h"
#include "server_key.h"
#include "text.h"

namespace hktool {

namespace {

std::atomic<bool> g_verbose{false};

const size_t kMaxSecret = 63;

bool ResolveIpv4(const std::string &host, uint32_t *address) {
   struct in_addr parsed;
   if (inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
      *address = ntohl(parsed.s_addr);
      return true;
   }
   struct addrinfo hints = {};
   hints.ai_family = AF_INET;
   hints.ai_socktype = SOCK_STREAM;
   struct addrinfo *found = nullptr;
   if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
      return false;
   *address = ntohl(reinterpret_cast<struct sockaddr_in *>(found->ai_addr)->sin_addr.s_addr);
   freeaddrinfo(found);
   return true;
}

// What the known-agents file said of the key an agent showed in TLS; set
// by the decision on the connecting thread, read after connect.
struct AgentKeyCheck {
   KnownAgents known;
   std::string endpoint;
   std::string storedFingerprint;  // on file for the endpoint when the key changed
   bool changed = false;
   explicit AgentKeyCheck(const std::string &path) : known(path) {}
};

// Asks the session for TLS with the agent's key pinned by the options, or
// else decided by the known-agents file: a known key is accepted, an
// unknown endpoint's key is accepted and remembered (trust on first use),
// a changed key is refused. False with *error set when the file cannot
// be read.
bool PinAgentKey(const AgentLinkSettings &s, AgentConnection *session,
                 std::shared_ptr<AgentKeyCheck> *checkOut, std::string *error) {
   for (const std::string &pin : s.agentKeyPins)
      session->setAgentKeyFingerprint(pin.c_str());
   if (!s.agentKeyPins.empty())
      return true;
   auto check = std::make_shared<AgentKeyCheck>(s.knownAgentsFile);
   // The host as given, without a port of its own.
   std::string host = s.agent.host.substr(0, s.agent.host.rfind(':'));
   std::string endpointText = host + ":" + std::to_string(s.agent.port);
   if (!NormaliseAgentEndpoint(endpointText, &check->endpoint))
      check->endpoint = endpointText;
   if (check->known.path().empty()) {
      *error = "no known-agents file: set HOME or give --known-agents FILE or --agent-key";
      return false;
   }
   std::string loadError;
   if (!check->known.load(&loadError)) {
      *error = "cannot read the known agents: " + loadError;
      return false;
   }
   session->setAgentKeyTrust([check](const char *fingerprint) {
      switch (check->known.lookup(check->endpoint, fingerprint, &check->storedFingerprint)) {
         case AgentKeyStatus::Known:
            return true;
         case AgentKeyStatus::Changed:
            check->changed = true;
            return false;
         case AgentKeyStatus::Unknown:
            break;
      }
      std::string rememberError;
      if (check->known.remember(check->endpoint, fingerprint, &rememberError))
         fprintf(stderr, "new agent %s: key %s trusted on first use, remembered in %s\n",
                 check->endpoint.c_str(), fingerprint, check->known.path().c_str());
      else
         fprintf(stderr, "new agent %s: key %s trusted this once (%s)\n", check->endpoint.c_str(),
                 fingerprint, rememberError.c_str());
      return true;
   });
   *checkOut = check;
   return true;
}

// The text for a connect that TLS or the agent's key failed: what was
// seen and what to do. False for other results.
bool DescribeTlsFailure(const AgentLinkSettings &s, const AgentConnection &session,
                        const AgentKeyCheck *check, uint32_t result, std::string *error) {
   std::string where = check != nullptr ? check->endpoint : s.agent.host;
   std::string seen = session.getAgentKeyFingerprint();
   switch (result) {
      case ERR_AGENT_KEY_UNTRUSTED:
         if (check != nullptr && check->changed) {
            *error = "the key of agent " + where + " has CHANGED: it showed " + seen + ", and " +
                     check->known.path() + " has " + check->storedFingerprint +
                     ". Someone may be impersonating the agent, or its key was replaced. "
                     "If the change is expected, check the new key with `hkagent --show-key` "
                     "on the agent and remove the old line from that file (or pin the new "
                     "one with --agent-key).";
         } else {
            *error = "agent " + where + " showed the key " + seen +
                     ", which is not the pinned one (--agent-key)";
         }
         return true;
      case ERR_AGENT_KEY_NOT_PINNED:
         *error = "agent " + where + " showed the key " + seen +
                  ", and nothing says to trust it: pin it with --agent-key";
         return true;
      case ERR_AGENT_AUTH_FAILED:
         *error = "agent " + where +
                  ": its proof of the shared secret did not verify: the secrets differ, or "
                  "the session is relayed";
         return true;
      case ERR_TLS_FAILED:
         *error = "TLS with agent " + where +
                  " failed: the agent does not speak TLS, or does not trust this server's "
                  "key (install the output of --show-key in its TrustedServerKeys); for an "
                  "old agent without TLS, add --insecure-auth";
         return true;
      default:
         return false;
   }
}

bool ReadSecret(const ArgParser &args, const std::string &option, const std::string &envName,
                const std::string &authOption, AgentEndpoint *endpoint, std::string *error) {
   std::string secret;
   if (!option.empty() && args.has(option)) {
      secret = args.get(option);
   } else if (!envName.empty()) {
      const char *fromEnv = getenv(envName.c_str());
      if (fromEnv != nullptr)
         secret = fromEnv;
   }
   if (secret.size() > kMaxSecret) {
      *error = "the secret is longer than 63 bytes";
      return false;
   }
   endpoint->secret = secret;
   endpoint->authMethod = secret.empty() ? AUTH_NONE : AUTH_HMAC_SHA256;
   if (!authOption.empty() && args.has(authOption)) {
      if (!ParseAuthMethod(args.get(authOption), &endpoint->authMethod)) {
         *error = "--" + authOption + " takes none, plain, md5, sha1 or hmac";
         return false;
      }
   }
   if (endpoint->authMethod != AUTH_NONE && secret.empty()) {
      *error = "authentication needs a secret (--" + option +
               (envName.empty() ? std::string() : " or " + envName) + ")";
      return false;
   }
   return true;
}

bool ReadTimeout(const ArgParser &args, const std::string &option, uint32_t minimum,
                 uint32_t *value, std::string *error) {
   if (option.empty() || !args.has(option))
      return true;
   uint64_t parsed;
   if (!ParseNumber(args.get(option), minimum, 3600000, &parsed)) {
      *error =
          "--" + option + " takes milliseconds from " + std::to_string(minimum) + " to 3600000";
      return false;
   }
   *value = (uint32_t)parsed;
   return true;
}

}  // namespace

ToolAgentConnection::~ToolAgentConnection() {
   // Ends the receiver quietly before this object's part is gone.
   disconnect();
}

void ToolAgentConnection::SetVerbose(bool verbose) {
   g_verbose = verbose;
}

void ToolAgentConnection::PrintMsg(const wchar_t *format, ...) {
   if (!g_verbose.load())
      return;
   wchar_t text[1024];
   va_list args;
   va_start(args, format);
   hk_vsnwprintf(text, 1024, format, args);
   va_end(args);
   std::string line = WideToUtf8(text);
   fprintf(stderr, "%s\n", line.c_str());
}

std::vector<OptionSpec> AgentOptionSpecs(const AgentOptionNames &n, bool shortNames) {
   std::vector<OptionSpec> specs;
   auto add = [&](const std::string &name, char shortName, bool value, const char *valueName,
                  const std::string &help) {
      if (!name.empty())
         specs.push_back({name, shortNames ? shortName : (char)0, value, valueName, help});
   };
   add(n.auth, 'a', true, "METHOD",
       "authentication: none, plain, md5, sha1, hmac (default hmac with a secret)");
   add(n.secret, 's', true, "TEXT",
       "shared secret (better: the " + n.secretEnv + " environment variable)");
   add(n.proxy, 0, true, "HOST[:PORT]", "reach the agent through this proxy agent");
   add(n.proxyAuth, 0, true, "METHOD", "authentication method at the proxy");
   add(n.proxySecret, 0, true, "TEXT", "secret of the proxy (better: " + n.proxySecretEnv + ")");
   add(n.encryption, 'e', true, "POLICY",
       "encryption: disabled, allowed, preferred, required (default required with a secret)");
   add(n.insecureAuth, 0, false, "",
       "the legacy mode for agents without TLS: allows plain, md5 and sha1, which give "
       "the secret to any impostor, and authenticates no agent");
   add(n.agentKey, 0, true, "FINGERPRINT",
       "pin the agent's key (hkagent --show-key; hex or SHA256:base64)");
   add(n.knownAgents, 0, true, "FILE",
       "agents met before and their keys (default ~/.config/hksrv/known_agents)");
   add(n.key, 'k', true, "FILE", "server key (PEM); generated on first use");
   add("show-key", 0, false, "", "print the server key's fingerprint and public key");
   add(n.timeout, 'w', true, "MS",
       "time-out of a reply (default 10000), and of a transfer that stops moving "
       "(not less than 10000)");
   add(n.connectTimeout, 0, true, "MS", "connection time-out (default 30000)");
   return specs;
}

bool ParseHostPort(const std::string &text, uint32_t *address, uint16_t *port, std::string *error) {
   std::string host = text;
   size_t colon = text.rfind(':');
   if (colon != std::string::npos) {
      uint64_t value;
      if (!ParseNumber(text.substr(colon + 1), 1, 65535, &value)) {
         *error = "bad port in \"" + text + "\"";
         return false;
      }
      *port = (uint16_t)value;
      host = text.substr(0, colon);
   }
   if (host.empty() || !ResolveIpv4(host, address)) {
      *error = "cannot resolve \"" + host + "\" to an IPv4 address";
      return false;
   }
   return true;
}

bool ParseAuthMethod(const std::string &text, int *method) {
   static const char *const kNames[] = {"none", "plain", "md5", "sha1", "hmac"};
   for (int i = 0; i < 5; i++) {
      if (text == kNames[i] || text == std::to_string(i)) {
         *method = i;
         return true;
      }
   }
   return false;
}

bool ParseEncryptionPolicy(const std::string &text, int *policy) {
   static const char *const kNames[] = {"disabled", "allowed", "preferred", "required"};
   for (int i = 0; i < 4; i++) {
      if (text == kNames[i] || text == std::to_string(i)) {
         *policy = i;
         return true;
      }
   }
   return false;
}

bool ReadAgentSettings(const ArgParser &args, const AgentOptionNames &names,
                       AgentLinkSettings *settings, std::string *error) {
   if (!ReadSecret(args, names.secret, names.secretEnv, names.auth, &settings->agent, error))
      return false;
   if (!names.proxy.empty() && args.has(names.proxy)) {
      settings->useProxy = true;
      settings->proxy.port = 4700;
      settings->proxy.host = args.get(names.proxy);
      if (!ParseHostPort(settings->proxy.host, &settings->proxy.address, &settings->proxy.port,
                         error))
         return false;
      if (!ReadSecret(args, names.proxySecret, names.proxySecretEnv, names.proxyAuth,
                      &settings->proxy, error))
         return false;
   }
   bool anySecret = settings->agent.authMethod != AUTH_NONE ||
                    (settings->useProxy && settings->proxy.authMethod != AUTH_NONE);
   if (anySecret)
      settings->encryptionPolicy = ENCRYPTION_REQUIRED;
   if (!names.encryption.empty() && args.has(names.encryption) &&
       !ParseEncryptionPolicy(args.get(names.encryption), &settings->encryptionPolicy)) {
      *error = "--" + names.encryption + " takes disabled, allowed, preferred or required";
      return false;
   }
   // Encryption, even required, does not authenticate the agent: the key
   // exchange is answered by whoever listens at the address, so a method
   // that sends the secret or a hash that replays as well as it hands it to
   // an impostor. Such a method is an explicit choice whatever the policy.
   auto exposesSecret = [](int method) {
      return method == AUTH_PLAINTEXT || method == AUTH_MD5_HASH || method == AUTH_SHA1_HASH;
   };
   bool exposed = exposesSecret(settings->agent.authMethod) ||
                  (settings->useProxy && exposesSecret(settings->proxy.authMethod));
   if (exposed && !(!names.insecureAuth.empty() && args.has(names.insecureAuth))) {
      *error =
          "plain, md5 and sha1 send the secret, or a hash that logs in as well, to "
          "whatever answers at the address, encrypted or not: use hmac (the default "
          "with a secret), or add --" +
          names.insecureAuth + " for an agent that has no other method";
      return false;
   }
   settings->tls = names.insecureAuth.empty() || !args.has(names.insecureAuth);
   if (!names.agentKey.empty() && args.has(names.agentKey)) {
      std::string pin;
      if (!NormaliseAgentFingerprint(args.get(names.agentKey), &pin)) {
         *error = "--" + names.agentKey +
                  " takes a fingerprint: 64 hex digits or SHA256: and base64 (hkagent --show-key)";
         return false;
      }
      settings->agentKeyPins.push_back(pin);
   }
   if (!names.knownAgents.empty())
      settings->knownAgentsFile = args.get(names.knownAgents, "");
   if (settings->tls && settings->useProxy) {
      *error = "a proxy hop is spoken in the legacy mode only: add --" + names.insecureAuth;
      return false;
   }
   settings->keyFile = args.get(names.key, DefaultServerKeyPath());
   return ReadTimeout(args, names.timeout, 500, &settings->commandTimeout, error) &&
          ReadTimeout(args, names.connectTimeout, 1000, &settings->connectTimeout, error);
}

bool ShowServerKey(const std::string &keyFile, std::string *error) {
   bool created = false;
   std::string warning;
   RSA *key = LoadOrCreateServerKey(keyFile, &created, &warning, error);
   if (key == nullptr)
      return false;
   if (!warning.empty())
      fprintf(stderr, "warning: %s\n", warning.c_str());
   if (created)
      fprintf(stderr, "generated server key %s\n", keyFile.c_str());
   std::string fingerprint, pem;
   bool ok = DescribePublicKey(key, &fingerprint, &pem);
   RSA_free(key);
   if (!ok) {
      *error = "cannot read the public part of " + keyFile;
      return false;
   }
   printf("%s\n%s", fingerprint.c_str(), pem.c_str());
   return true;
}

ToolAgentConnection *ConnectAgent(const AgentLinkSettings &s, uint32_t *result,
                                  std::string *error) {
   *result = ERR_SUCCESS;
   RSA *key = nullptr;
   // TLS shows the server key whatever the policy says.
   if (s.tls || s.encryptionPolicy != ENCRYPTION_DISABLED) {
      bool created = false;
      std::string warning;
      key = LoadOrCreateServerKey(s.keyFile, &created, &warning, error);
      if (key == nullptr) {
         *result = ERR_INVALID_PUBLIC_KEY;
         return nullptr;
      }
      if (!warning.empty())
         fprintf(stderr, "warning: %s\n", warning.c_str());
      if (created)
         fprintf(stderr, "generated server key %s\n", s.keyFile.c_str());
   }

   // Secrets are bytes: one byte per character keeps them as given.
   std::wstring secret = BytesToWide(s.agent.secret);
   auto *session = new ToolAgentConnection(htonl(s.agent.address), s.agent.port, s.agent.authMethod,
                                           secret.c_str());
   session->setEncryptionPolicy(s.encryptionPolicy);
   session->setConnectionTimeout(s.connectTimeout);
   session->setCommandTimeout(s.commandTimeout);
   // -w bounds the whole operation: a frozen agent ends an upload (a write
   // that makes no progress) or a download (silence) within it too, or
   // within the library's minimum when that is larger.
   session->setRecvTimeout(s.commandTimeout);
   session->setSendTimeout(s.commandTimeout);
   if (s.useProxy) {
      std::wstring proxySecret = BytesToWide(s.proxy.secret);
      session->setProxy(htonl(s.proxy.address), s.proxy.port, s.proxy.authMethod,
                        proxySecret.c_str());
   }
   std::shared_ptr<AgentKeyCheck> check;
   if (s.tls && !PinAgentKey(s, session, &check, error)) {
      RSA_free(key);
      delete session;
      *result = ERR_INTERNAL_ERROR;
      return nullptr;
   }
   uint32_t socketError = 0;
   int connected = session->connect(key, 1, result, &socketError);
   RSA_free(key);
   if (connected)
      return session;

   const std::string &where = s.useProxy ? s.proxy.host : s.agent.host;
   if (s.tls && DescribeTlsFailure(s, *session, check.get(), *result, error)) {
      delete session;
      return nullptr;
   }
   if (!s.tls && *result == ERR_TLS_REQUIRED) {
      *error = "cannot connect to " + where +
               ": the agent requires TLS (or the method needs it): leave out --insecure-auth";
      delete session;
      return nullptr;
   }
   *error = "cannot connect to " +
            (s.useProxy ? "proxy " + where + " for " + s.agent.host : where) + ": " +
            WideToUtf8(AgentErrorCodeToText((int)*result));
   // Socket errors below 10000 are errno values; above, Winsock numbers.
   if (*result == ERR_CONNECT_FAILED && socketError != 0 && socketError < 10000)
      *error += std::string(" (") + strerror((int)socketError) + ")";
   // The handshake's own failures: say what happened rather than "Internal
   // error" (a peer that accepts and then says nothing is the usual one).
   else if (*result == ERR_INTERNAL_ERROR && socketError == (uint32_t)WSAETIMEDOUT)
      *error = "cannot connect to " + where + ": time-out: no answer to the protocol handshake";
   else if (*result == ERR_INTERNAL_ERROR && socketError != 0)
      *error = "cannot connect to " + where + ": the protocol handshake failed (" +
               (socketError < 10000 ? strerror((int)socketError)
                                    : "socket error " + std::to_string(socketError)) +
               ")";
   else if (*result == ERR_INTERNAL_ERROR)
      *error =
          "cannot connect to " + where + ": the connection closed during the protocol handshake";
   delete session;
   return nullptr;
}

}  // namespace hktool
