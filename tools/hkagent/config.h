// The agent's configuration: an INI-style text with an [agent] section of
// settings and an [actions] section of named commands. Parsing never fails
// as a whole: each malformed line, bad value or unknown key becomes a
// diagnostic with its line number, and the rest of the file still counts.
//
// Syntax: "# ..." and "; ..." lines are comments; "[name]" opens a section;
// "Key = value" sets a key (keys and section names are case-insensitive).
// An [agent] value may be double-quoted ("a \"b\" \\ c", with \n and \t) to
// keep surrounding blanks or a leading quote; after the closing quote only a
// comment may follow. An unquoted value runs to the end of the line, blanks
// trimmed, so "#" inside it is part of it. An [actions] value is a command
// line: an absolute program path and fixed arguments, split at blanks, with
// "..." and '...' quoting; it is never given to a shell.
#ifndef HKAGENT_CONFIG_H
#define HKAGENT_CONFIG_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "target_list.h"

namespace hkagent {

// An action's command line. Words may hold placeholders for the request's
// arguments: "{N}" (1 to 64) stands for argument N inside the word, and a
// word that is exactly "{*}" stands for every argument from the one after
// the highest numbered placeholder, one word each. "{N:dash}" and
// "{*:dash}" also take arguments that start with '-', which are refused
// otherwise so that a request cannot smuggle options into the program.
// "{N:path}" and "{*:path}" also take arguments holding '/' or that are "."
// or "..": without it an argument stands for one path component and cannot
// leave the folder the action names. Modifiers combine ("{1:dash:path}").
// An argument with a NUL is always refused. An action without placeholders
// takes no arguments.
struct ActionDef {
   std::vector<std::string> argv;  // argv[0] is an absolute path
};

// One piece of an action's word: literal text, or a placeholder "{N}"
// (index N) or "{*}" (rest), each with optional ":dash" and ":path".
struct ActionWordPart {
   std::string_view literal;  // when not a placeholder
   bool placeholder = false;
   bool rest = false;
   uint32_t index = 0;  // 0 for "{0}", which ReadPlaceholders refuses
   bool dash = false;   // the argument may start with '-'
   bool path = false;   // the argument may hold '/' or be "." or ".."
};

// Splits a word into its pieces, in order; braces that hold no placeholder
// are literal text.
std::vector<ActionWordPart> SplitActionWord(std::string_view word);

// What an action's placeholders take: arguments 1 to *numbered, and with
// *rest every one after those. False with *error for a malformed or
// misplaced placeholder.
bool ReadPlaceholders(const ActionDef &action, uint32_t *numbered, bool *rest, std::string *error);

struct AgentConfig {
   std::string listenAddress = "127.0.0.1";
   uint16_t port = 4700;
   std::string secret;  // empty: refused at start unless allowNoAuthentication
   bool allowNoAuthentication = false;
   // A secret shorter than kMinSecretLength is refused at start unless this
   // says an older deployment still needs it.
   bool allowShortSecret = false;
   bool allowConfigUpdate = false;  // CMD_UPDATE_CONFIG_FILE
   bool requireEncryption = false;
   // Key requests are answered only for these server keys: a PEM file, a
   // file of SHA-256 fingerprints (64 hex digits a line), or a directory of
   // such files. Empty: none is trusted, unless acceptAnyServerKey.
   std::string trustedServerKeys;
   bool acceptAnyServerKey = false;  // lab and test opt-in: any key is served
   // The agent's own key for TLS (PEM, made on first start, mode 0600); its
   // clients' keys must pass the two settings above. Empty: no TLS.
   std::string identityKey;
   // With an identity key, sessions outside TLS (the RSA key exchange, the
   // methods that send the secret or its hash, plain requests) are served
   // only when this says old servers still need them. Without one, the
   // legacy protocol is all the agent speaks.
   bool allowLegacy = false;
   uint32_t maxSessions = 1024;
   uint32_t maxSessionsPerAddress = 32;
   // Sessions that have not authenticated yet, in all and from one address.
   // When the first bound is reached a new client still gets in: the oldest
   // unauthenticated session of the address holding most of them makes room.
   uint32_t maxUnauthenticatedSessions = 128;
   uint32_t maxUnauthenticatedPerAddress = 8;
   uint32_t authTimeoutMs = 10000;      // key exchange and authentication done within
   uint32_t authFailureDelayMs = 1000;  // before the reply to a wrong secret
   // An address with maxAuthFailures failures, the last less than
   // authBlockTimeSec ago, may not try again until that time has passed.
   uint32_t maxAuthFailures = 10;
   uint32_t authBlockTimeSec = 300;
   // Failed proofs from every address together within authBlockTimeSec;
   // past it only addresses that authenticated before may try.
   uint32_t maxAuthFailuresTotal = 100;
   uint32_t idleTimeoutMs = 900000;  // a silent client is dropped after this
   // A frame a client has not taken within this ends its session, so a peer
   // that stops reading never holds a sender (traps, pushes) for longer.
   uint32_t sendTimeoutMs = 30000;
   std::string fileStore;  // empty: upload and download refused
   std::string policyDir;  // empty: an empty inventory
   uint64_t maxUploadSize = 64ull << 20;
   uint64_t fileStoreQuota = 1ull << 30;  // bytes of every file in the store
   uint32_t fileStoreMaxFiles = 10000;
   uint32_t actionTimeoutMs = 10000;
   uint32_t serviceCheckTimeoutMs = 5000;
   uint32_t snmpTimeoutMs = 1000;  // per attempt
   uint32_t snmpRetries = 1;
   bool enableProxy = false;      // CMD_SETUP_PROXY_CONNECTION
   bool enableSnmpProxy = false;  // CMD_SNMP_REQUEST
   bool enableServiceCheck = true;
   TargetList proxyTargets;  // where the three above may reach; empty: nowhere
   TargetList snmpProxyTargets;
   TargetList serviceCheckTargets;
   uint32_t pushIntervalSec = 0;  // 0: no periodic data push
   std::vector<std::string> pushParameters;
   std::string logLevel = "info";
   std::map<std::string, ActionDef> actions;
};

struct ConfigDiagnostic {
   int line;    // 1-based; 0 for a command-line setting
   bool error;  // false: a warning (unknown key, secret too long)
   std::string message;
};

// Shortest secret the agent starts with unless allowShortSecret.
static const size_t kMinSecretLength = 16;

// Largest configuration file the agent reads or accepts.
static const size_t kMaxConfigSize = 1 << 20;

// The settings a text made, by name ("Secret", "[actions] NAME"), with
// their values as written (unquoted): what an uploaded file is compared by.
typedef std::map<std::string, std::string> ConfigSettings;

// Parses text into config (which keeps its values for keys the text does
// not set). Returns false when any diagnostic is an error. settings, when
// given, receives every setting the text made.
bool ParseConfig(std::string_view text, AgentConfig *config,
                 std::vector<ConfigDiagnostic> *diagnostics, ConfigSettings *settings = nullptr);

// The settings that only the local file or the command line may change (all
// but the log level and the data push) whose values differ between before
// and after, a setting made in one and not the other included.
std::vector<std::string> LocalOnlyChanges(const ConfigSettings &before,
                                          const ConfigSettings &after);

// Sets one key of a section from its (already unquoted) value. Returns false
// with *error set when the value is bad or the key unknown (*unknownKey
// then true); config is unchanged then.
bool ApplySetting(AgentConfig *config, std::string_view section, std::string_view key,
                  std::string_view value, std::string *error, bool *unknownKey);

// The [agent] keys the parser knows, in lower case, in the order of its
// table: the list the documentation must cover.
std::vector<std::string> AgentKeyNames();

// Splits a command line into words: blanks separate, "..." and '...' quote,
// a backslash in "..." escapes " and \. False with *error on an unclosed
// quote.
bool SplitCommandLine(std::string_view text, std::vector<std::string> *words, std::string *error);

}  // namespace hkagent

#endif
