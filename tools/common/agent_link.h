// Connecting to a monitoring agent from the tools: where the agent is, how
// to authenticate, the encryption policy and server key, an optional proxy
// agent, and time-outs, read from the command line and the environment,
// then one connected AgentConnection.
#ifndef HKTOOL_AGENT_LINK_H
#define HKTOOL_AGENT_LINK_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cli.h"
#include "hksrv.h"

namespace hktool {

struct DownloadCap;

// An AgentConnection whose diagnostics go to standard error, and only with
// --verbose, so that standard output carries nothing but results. Its only
// member is a pointer that is set while fetchFile runs: the library may
// still call the hooks while the base destructor runs.
class ToolAgentConnection : public AgentConnection {
public:
   using AgentConnection::AgentConnection;
   ~ToolAgentConnection() override;
   static void SetVerbose(bool verbose);

   // A download like customRequest with a receive file, that trusts the
   // size the agent announces in its reply (the 64-bit variable sizeId):
   // as soon as more data has arrived than announced, the connection is
   // shut down, the download ends and the reply's VID_RCC is
   // ERR_IO_FAILURE with *overrun set. A download that fails otherwise
   // also gives ERR_IO_FAILURE. Returns the reply (the caller deletes it),
   // or null when none came; the session is disconnected after a refusal,
   // a missing reply or a time-out. The caller removes the file.
   CSCPMessage *fetchFile(CSCPMessage *request, const wchar_t *file, uint32_t sizeId,
                          AGENT_DOWNLOAD_PROGRESS progress, void *progressArg, bool *overrun);

protected:
   void PrintMsg(const wchar_t *format, ...) override;
   void onFileDownload(int success) override;

private:
   // Ends an armed download by disconnecting and waits for its end.
   void abandonDownload(DownloadCap &cap);

   std::atomic<DownloadCap *> m_cap{nullptr};  // set only inside fetchFile
};

struct AgentEndpoint {
   std::string host;
   uint32_t address = 0;  // host byte order
   uint16_t port = 4700;
   int authMethod = AUTH_NONE;
   std::string secret;  // bytes as given, at most 63
};

struct AgentLinkSettings {
   AgentEndpoint agent;
   bool useProxy = false;
   AgentEndpoint proxy;
   int encryptionPolicy = ENCRYPTION_ALLOWED;
   std::string keyFile;
   // TLS with the agent's key pinned (the default); false is the legacy
   // mode, which authenticates no agent.
   bool tls = true;
   std::vector<std::string> agentKeyPins;  // normalised fingerprints; empty: the known-agents file
   std::string knownAgentsFile;            // empty: DefaultKnownAgentsPath()
   uint32_t connectTimeout = 30000;
   uint32_t commandTimeout = 10000;
};

// Option names of one tool: hkquery says --auth, hksnmp --agent-auth.
struct AgentOptionNames {
   std::string auth, secret, secretEnv;
   std::string proxy, proxyAuth, proxySecret, proxySecretEnv;
   std::string encryption, key, timeout, connectTimeout;
   // Opt-in for the legacy mode (the RSA key exchange, and the methods
   // that send the secret or its hash: plain, md5, sha1), under any
   // encryption policy: old agents that know no other.
   std::string insecureAuth;
   // The agent key to pin, and the known-agents file.
   std::string agentKey, knownAgents;
};

// The option specs for those names (empty names are left out), with the
// short forms -a -s -e -k -w when shortNames is set.
std::vector<OptionSpec> AgentOptionSpecs(const AgentOptionNames &names, bool shortNames = true);

// HOST[:PORT] resolved to an IPv4 address (host byte order); the port stays
// as it was when none is given. False with *error set.
bool ParseHostPort(const std::string &text, uint32_t *address, uint16_t *port, std::string *error);
// A method name: none, plain, md5, sha1, hmac (or 0..4).
bool ParseAuthMethod(const std::string &text, int *method);
// A policy name: disabled, allowed, preferred, required (or 0..3).
bool ParseEncryptionPolicy(const std::string &text, int *policy);

// Fills everything but agent.host/address/port from the parsed options and
// the environment. A secret without a method means the mutual HMAC method;
// a method without a secret is an error. With a secret the policy defaults
// to required. Without the insecure opt-in the session runs inside TLS
// with the agent's key pinned (by the option, else by the known-agents
// file); with it, the legacy mode. A method that sends the secret or its
// hash (plain, md5, sha1) is refused under every policy unless the
// insecure opt-in is given: the legacy encryption does not prove who the
// agent is, so an impostor would receive it.
bool ReadAgentSettings(const ArgParser &args, const AgentOptionNames &names,
                       AgentLinkSettings *settings, std::string *error);

// Prints the fingerprint (SHA-256 of the DER public key, hex) and the PEM
// public key of the server key in keyFile, generating the key on first
// use, for an operator to install on the agents. False with *error set.
bool ShowServerKey(const std::string &keyFile, std::string *error);

// A connected session, or null with *result set (an agent result code for
// AgentErrorCodeToText) and *error a readable text.
ToolAgentConnection *ConnectAgent(const AgentLinkSettings &settings, uint32_t *result,
                                  std::string *error);

}  // namespace hktool

#endif
