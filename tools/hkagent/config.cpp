#include "config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>

#include "log.h"

namespace hkagent {

namespace {

const size_t kMaxActionWords = 64;

std::string_view Trim(std::string_view s) {
   while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
      s.remove_prefix(1);
   while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
      s.remove_suffix(1);
   return s;
}

std::string Lower(std::string_view s) {
   std::string out(s);
   for (char &c : out)
      c = (char)tolower((unsigned char)c);
   return out;
}

bool ParseUnsigned(std::string_view text, uint64_t max, uint64_t *value) {
   if (text.empty())
      return false;
   uint64_t v = 0;
   auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
   if (ec != std::errc() || end != text.data() + text.size() || v > max)
      return false;
   *value = v;
   return true;
}

bool ParseBool(std::string_view text, bool *value) {
   std::string t = Lower(text);
   if (t == "yes" || t == "true" || t == "on" || t == "1") {
      *value = true;
      return true;
   }
   if (t == "no" || t == "false" || t == "off" || t == "0") {
      *value = false;
      return true;
   }
   return false;
}

// Parameter names separated by commas; commas inside parentheses belong to
// the name's arguments.
std::vector<std::string> SplitParameterList(std::string_view text) {
   std::vector<std::string> names;
   int depth = 0;
   size_t start = 0;
   for (size_t i = 0; i <= text.size(); i++) {
      char c = i < text.size() ? text[i] : ',';
      if (c == '(')
         depth++;
      else if (c == ')' && depth > 0)
         depth--;
      else if (c == ',' && depth == 0) {
         std::string_view name = Trim(text.substr(start, i - start));
         if (!name.empty())
            names.emplace_back(name);
         start = i + 1;
      }
   }
   return names;
}

bool ValidActionName(std::string_view name) {
   if (name.empty() || name.size() > 255)
      return false;
   for (char c : name) {
      if (!isalnum((unsigned char)c) && c != '.' && c != '_' && c != '-')
         return false;
   }
   return true;
}

typedef bool (*Setter)(AgentConfig *config, std::string_view value);

template <typename T, uint64_t Max>
bool SetNumber(T *field, std::string_view value) {
   uint64_t v;
   if (!ParseUnsigned(value, Max, &v))
      return false;
   *field = (T)v;
   return true;
}

template <TargetList AgentConfig::*Field>
bool SetTargets(AgentConfig *c, std::string_view v) {
   return ParseTargetList(v, &(c->*Field));
}

struct KeyInfo {
   const char *name;  // as documented; matched case-insensitively
   const char *expected;
   Setter set;
   // An uploaded configuration file may change it; every other key comes
   // only from the local file or the command line.
   bool remote = false;
};

const char kTargetsExpected[] = "ADDRESS[/PREFIX][:PORT[-PORT]] entries";

const KeyInfo kAgentKeys[] = {
    {"ListenAddress", "an IPv4 address",
     [](AgentConfig *c, std::string_view v) {
        std::string text(v);
        struct in_addr address;
        if (inet_pton(AF_INET, text.c_str(), &address) != 1)
           return false;
        c->listenAddress = text;
        return true;
     }},
    {"Port", "a port number (0 to 65535)",
     [](AgentConfig *c, std::string_view v) { return SetNumber<uint16_t, 65535>(&c->port, v); }},
    {"Secret", "a text",
     [](AgentConfig *c, std::string_view v) {
        c->secret = std::string(v);
        return true;
     }},
    {"RequireEncryption", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->requireEncryption); }},
    {"TrustedServerKeys", "a file or directory of PEM public keys or SHA-256 fingerprints",
     [](AgentConfig *c, std::string_view v) {
        c->trustedServerKeys = std::string(v);
        return true;
     }},
    {"AcceptAnyServerKey", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->acceptAnyServerKey); }},
    {"IdentityKey", "a file (the agent's TLS key, made when missing)",
     [](AgentConfig *c, std::string_view v) {
        c->identityKey = std::string(v);
        return true;
     }},
    {"MaxSessions", "a number from 1 to 100000",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 100000>(&c->maxSessions, v) && c->maxSessions > 0;
     }},
    {"IdleTimeout", "milliseconds",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 0x7FFFFFFF>(&c->idleTimeoutMs, v);
     }},
    {"SendTimeout", "milliseconds (100 to 3600000)",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 3600000>(&c->sendTimeoutMs, v) && c->sendTimeoutMs >= 100;
     }},
    {"FileStore", "a directory",
     [](AgentConfig *c, std::string_view v) {
        c->fileStore = std::string(v);
        return true;
     }},
    {"PolicyDir", "a directory",
     [](AgentConfig *c, std::string_view v) {
        c->policyDir = std::string(v);
        return true;
     }},
    {"MaxUploadSize", "a size in bytes",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint64_t, (1ull << 40)>(&c->maxUploadSize, v);
     }},
    {"ActionTimeout", "milliseconds (1 to 3600000)",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 3600000>(&c->actionTimeoutMs, v) && c->actionTimeoutMs > 0;
     }},
    {"ServiceCheckTimeout", "milliseconds (1 to 600000)",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 600000>(&c->serviceCheckTimeoutMs, v) &&
               c->serviceCheckTimeoutMs > 0;
     }},
    {"SnmpTimeout", "milliseconds (1 to 60000)",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 60000>(&c->snmpTimeoutMs, v) && c->snmpTimeoutMs > 0;
     }},
    {"SnmpRetries", "a number from 0 to 5",
     [](AgentConfig *c, std::string_view v) { return SetNumber<uint32_t, 5>(&c->snmpRetries, v); }},
    {"EnableProxy", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->enableProxy); }},
    {"EnableSnmpProxy", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->enableSnmpProxy); }},
    {"EnableServiceCheck", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->enableServiceCheck); }},
    {"PushInterval", "seconds (0 turns pushes off)",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 86400>(&c->pushIntervalSec, v);
     },
     true},
    {"PushParameters", "parameter names separated by commas",
     [](AgentConfig *c, std::string_view v) {
        c->pushParameters = SplitParameterList(v);
        return true;
     },
     true},
    {"LogLevel", "error, warning, info or debug",
     [](AgentConfig *c, std::string_view v) {
        LogLevel level;
        std::string text(v);
        if (!ParseLogLevel(text.c_str(), &level))
           return false;
        c->logLevel = Lower(v);
        return true;
     },
     true},
    {"AllowNoAuthentication", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->allowNoAuthentication); }},
    {"AllowLegacy", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->allowLegacy); }},
    {"AllowShortSecret", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->allowShortSecret); }},
    {"MaxUnauthenticatedSessions", "a number from 1 to 100000",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 100000>(&c->maxUnauthenticatedSessions, v) &&
               c->maxUnauthenticatedSessions > 0;
     }},
    {"MaxUnauthenticatedPerAddress", "a number from 1 to 100000",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 100000>(&c->maxUnauthenticatedPerAddress, v) &&
               c->maxUnauthenticatedPerAddress > 0;
     }},
    {"MaxAuthFailuresTotal", "a number from 1 to 1000000",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 1000000>(&c->maxAuthFailuresTotal, v) &&
               c->maxAuthFailuresTotal > 0;
     }},
    {"AllowConfigUpdate", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->allowConfigUpdate); }},
    {"MaxSessionsPerAddress", "a number from 1 to 100000",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 100000>(&c->maxSessionsPerAddress, v) &&
               c->maxSessionsPerAddress > 0;
     }},
    {"AuthTimeout", "milliseconds (100 to 600000)",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 600000>(&c->authTimeoutMs, v) && c->authTimeoutMs >= 100;
     }},
    {"AuthFailureDelay", "milliseconds (0 to 10000)",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 10000>(&c->authFailureDelayMs, v);
     }},
    {"MaxAuthFailures", "a number from 1 to 1000",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 1000>(&c->maxAuthFailures, v) && c->maxAuthFailures > 0;
     }},
    {"AuthBlockTime", "seconds (1 to 86400)",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 86400>(&c->authBlockTimeSec, v) && c->authBlockTimeSec > 0;
     }},
    {"FileStoreQuota", "a size in bytes",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint64_t, (1ull << 50)>(&c->fileStoreQuota, v);
     }},
    {"FileStoreMaxFiles", "a number from 0 to 10000000",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 10000000>(&c->fileStoreMaxFiles, v);
     }},
    {"ProxyTargets", kTargetsExpected, SetTargets<&AgentConfig::proxyTargets>},
    {"SnmpProxyTargets", kTargetsExpected, SetTargets<&AgentConfig::snmpProxyTargets>},
    {"ServiceCheckTargets", kTargetsExpected, SetTargets<&AgentConfig::serviceCheckTargets>},
};

const KeyInfo *FindKey(std::string_view key) {
   std::string name = Lower(key);
   for (const KeyInfo &info : kAgentKeys) {
      if (name == Lower(info.name))
         return &info;
   }
   return nullptr;
}

const uint32_t kMaxPlaceholder = 64;

}  // namespace

std::vector<std::string> AgentKeyNames() {
   std::vector<std::string> names;
   for (const KeyInfo &info : kAgentKeys)
      names.emplace_back(info.name);
   return names;
}

bool SplitCommandLine(std::string_view text, std::vector<std::string> *words, std::string *error) {
   words->clear();
   size_t i = 0;
   while (i < text.size()) {
      while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
         i++;
      if (i >= text.size())
         break;
      std::string word;
      while (i < text.size() && text[i] != ' ' && text[i] != '\t') {
         char c = text[i];
         if (c == '"' || c == '\'') {
            char quote = c;
            i++;
            bool closed = false;
            while (i < text.size()) {
               char q = text[i];
               if (q == quote) {
                  closed = true;
                  i++;
                  break;
               }
               if (quote == '"' && q == '\\' && i + 1 < text.size() &&
                   (text[i + 1] == '"' || text[i + 1] == '\\')) {
                  word.push_back(text[i + 1]);
                  i += 2;
                  continue;
               }
               word.push_back(q);
               i++;
            }
            if (!closed) {
               *error = "unclosed quote";
               return false;
            }
         } else {
            word.push_back(c);
            i++;
         }
      }
      words->push_back(std::move(word));
   }
   return true;
}

std::vector<ActionWordPart> SplitActionWord(std::string_view word) {
   std::vector<ActionWordPart> parts;
   size_t literalStart = 0;
   for (size_t open = word.find('{'); open != std::string_view::npos;
        open = word.find('{', open + 1)) {
      size_t close = word.find('}', open);
      if (close == std::string_view::npos)
         break;
      ActionWordPart part;
      std::string_view inner = word.substr(open + 1, close - open - 1);
      // Modifiers after the index, in any order, each at most once.
      bool modifiersOk = true;
      for (size_t colon = inner.rfind(':'); colon != std::string_view::npos;
           colon = inner.rfind(':')) {
         std::string_view modifier = inner.substr(colon + 1);
         bool *flag = modifier == "dash" ? &part.dash : modifier == "path" ? &part.path : nullptr;
         if (flag == nullptr || *flag) {
            modifiersOk = false;
            break;
         }
         *flag = true;
         inner = inner.substr(0, colon);
      }
      if (!modifiersOk)
         continue;
      uint64_t n = 0;
      part.rest = inner == "*";
      if (!part.rest && !ParseUnsigned(inner, kMaxPlaceholder, &n))
         continue;  // braces that are no placeholder stay as they are
      part.placeholder = true;
      part.index = (uint32_t)n;
      if (open > literalStart)
         parts.push_back({word.substr(literalStart, open - literalStart)});
      parts.push_back(part);
      literalStart = close + 1;
      open = close;
   }
   if (literalStart < word.size())
      parts.push_back({word.substr(literalStart)});
   return parts;
}

bool ReadPlaceholders(const ActionDef &action, uint32_t *numbered, bool *rest, std::string *error) {
   *numbered = 0;
   *rest = false;
   for (size_t w = 1; w < action.argv.size(); w++) {
      std::vector<ActionWordPart> parts = SplitActionWord(action.argv[w]);
      for (const ActionWordPart &part : parts) {
         if (!part.placeholder)
            continue;
         if (part.rest && parts.size() > 1) {
            *error = "{*} must be a word of its own";
            return false;
         }
         if (part.rest && *rest) {
            *error = "an action takes at most one {*}";
            return false;
         }
         if (!part.rest && part.index == 0) {
            *error = "placeholders count from {1}";
            return false;
         }
         *rest = *rest || part.rest;
         *numbered = std::max(*numbered, part.index);
      }
   }
   return true;
}

// Unquotes an [agent] value. False with *error for an unclosed quote or
// text after the closing quote.
bool UnquoteValue(std::string_view raw, std::string *value, std::string *error) {
   if (raw.empty() || raw.front() != '"') {
      *value = std::string(raw);
      return true;
   }
   value->clear();
   size_t i = 1;
   for (; i < raw.size(); i++) {
      char c = raw[i];
      if (c == '"')
         break;
      if (c == '\\' && i + 1 < raw.size()) {
         char n = raw[++i];
         value->push_back(n == 'n' ? '\n' : n == 't' ? '\t' : n);
      } else {
         value->push_back(c);
      }
   }
   if (i >= raw.size()) {
      *error = "unclosed quote";
      return false;
   }
   std::string_view rest = Trim(raw.substr(i + 1));
   if (!rest.empty() && rest.front() != '#' && rest.front() != ';') {
      *error = "text after the closing quote";
      return false;
   }
   return true;
}

bool ApplySetting(AgentConfig *config, std::string_view section, std::string_view key,
                  std::string_view value, std::string *error, bool *unknownKey) {
   *unknownKey = false;
   std::string sec = Lower(section);
   if (sec == "actions") {
      if (!ValidActionName(key)) {
         *error = "action names are letters, digits, '.', '_' and '-'";
         return false;
      }
      ActionDef action;
      if (!SplitCommandLine(value, &action.argv, error))
         return false;
      if (action.argv.empty() || action.argv[0].empty() || action.argv[0][0] != '/') {
         *error = "an action needs an absolute program path";
         return false;
      }
      if (action.argv.size() > kMaxActionWords) {
         *error = "too many arguments";
         return false;
      }
      uint32_t numbered;
      bool rest;
      if (!ReadPlaceholders(action, &numbered, &rest, error))
         return false;
      config->actions[std::string(key)] = std::move(action);
      return true;
   }
   if (sec != "agent") {
      *error = "unknown section [" + std::string(section) + "]";
      *unknownKey = true;
      return false;
   }
   const KeyInfo *info = FindKey(key);
   if (info == nullptr) {
      *error = "unknown key " + std::string(key);
      *unknownKey = true;
      return false;
   }
   AgentConfig candidate = *config;
   if (!info->set(&candidate, value)) {
      *error = "bad value for " + std::string(key) + ": expected " + info->expected;
      return false;
   }
   *config = std::move(candidate);
   return true;
}

std::vector<std::string> LocalOnlyChanges(const ConfigSettings &before,
                                          const ConfigSettings &after) {
   std::vector<std::string> changed;
   auto localOnly = [](const std::string &name) {
      const KeyInfo *info = FindKey(name);
      return info == nullptr || !info->remote;
   };
   for (const auto &[name, value] : after) {
      auto old = before.find(name);
      if (localOnly(name) && (old == before.end() || old->second != value))
         changed.push_back(name);
   }
   for (const auto &[name, value] : before) {
      if (localOnly(name) && after.find(name) == after.end())
         changed.push_back(name);
   }
   return changed;
}

bool ParseConfig(std::string_view text, AgentConfig *config,
                 std::vector<ConfigDiagnostic> *diagnostics, ConfigSettings *settings) {
   bool ok = true;
   auto report = [&](int line, bool isError, std::string message) {
      if (isError)
         ok = false;
      diagnostics->push_back({line, isError, std::move(message)});
   };
   if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF")
      text.remove_prefix(3);

   std::string section = "agent";
   bool sectionKnown = true;
   int lineNumber = 0;
   while (!text.empty()) {
      lineNumber++;
      size_t end = text.find('\n');
      std::string_view raw = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

      std::string_view line = Trim(raw);
      if (line.empty() || line.front() == '#' || line.front() == ';')
         continue;
      if (line.find('\0') != std::string_view::npos) {
         report(lineNumber, true, "line holds a NUL byte");
         continue;
      }
      if (line.front() == '[') {
         size_t close = line.find(']');
         std::string_view rest =
             close == std::string_view::npos ? "" : Trim(line.substr(close + 1));
         if (close == std::string_view::npos ||
             (!rest.empty() && rest.front() != '#' && rest.front() != ';')) {
            report(lineNumber, true, "malformed section header");
            sectionKnown = false;
            continue;
         }
         section = Lower(Trim(line.substr(1, close - 1)));
         sectionKnown = section == "agent" || section == "actions";
         if (!sectionKnown)
            report(lineNumber, false, "unknown section [" + section + "] ignored");
         continue;
      }
      size_t equals = line.find('=');
      if (equals == std::string_view::npos) {
         report(lineNumber, true, "expected Key = value");
         continue;
      }
      std::string_view key = Trim(line.substr(0, equals));
      std::string_view rawValue = Trim(line.substr(equals + 1));
      if (key.empty()) {
         report(lineNumber, true, "missing key before '='");
         continue;
      }
      if (!sectionKnown)
         continue;
      std::string value, error;
      if (section == "agent") {
         if (!UnquoteValue(rawValue, &value, &error)) {
            report(lineNumber, true, error);
            continue;
         }
      } else {
         value = std::string(rawValue);
      }
      bool unknownKey = false;
      if (!ApplySetting(config, section, key, value, &error, &unknownKey)) {
         report(lineNumber, !unknownKey, unknownKey ? error + " ignored" : error);
         continue;
      }
      if (settings != nullptr) {
         const KeyInfo *info = section == "agent" ? FindKey(key) : nullptr;
         std::string name = info != nullptr ? info->name : "[actions] " + std::string(key);
         (*settings)[name] = value;
      }
      if (section == "agent" && Lower(key) == "secret" && config->secret.size() > 63)
         report(lineNumber, false, "secret longer than 63 characters: servers send at most 63");
   }
   return ok;
}

}  // namespace hkagent
