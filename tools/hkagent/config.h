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

namespace hkagent {

struct ActionDef {
   std::vector<std::string> argv;  // argv[0] is an absolute path
};

struct AgentConfig {
   std::string listenAddress = "127.0.0.1";
   uint16_t port = 4700;
   std::string secret;  // empty: clients need not authenticate
   bool requireEncryption = false;
   // Key requests are answered only for these server keys: a PEM file, a
   // file of SHA-256 fingerprints (64 hex digits a line), or a directory of
   // such files. Empty: none is trusted, unless acceptAnyServerKey.
   std::string trustedServerKeys;
   bool acceptAnyServerKey = false;  // lab and test opt-in: any key is served
   uint32_t maxSessions = 1024;
   uint32_t idleTimeoutMs = 900000;  // a silent client is dropped after this
   std::string fileStore;            // empty: upload and download refused
   std::string policyDir;            // empty: an empty inventory
   uint64_t maxUploadSize = 64ull << 20;
   uint32_t actionTimeoutMs = 10000;
   uint32_t serviceCheckTimeoutMs = 5000;
   uint32_t snmpTimeoutMs = 1000;  // per attempt
   uint32_t snmpRetries = 1;
   bool enableProxy = false;      // CMD_SETUP_PROXY_CONNECTION
   bool enableSnmpProxy = false;  // CMD_SNMP_REQUEST
   bool enableServiceCheck = true;
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

// Largest configuration file the agent reads or accepts.
static const size_t kMaxConfigSize = 1 << 20;

// Parses text into config (which keeps its values for keys the text does
// not set). Returns false when any diagnostic is an error.
bool ParseConfig(std::string_view text, AgentConfig *config,
                 std::vector<ConfigDiagnostic> *diagnostics);

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
