#include "config.h"

#include <arpa/inet.h>

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

struct KeyInfo {
   const char *name;  // lower case
   const char *expected;
   Setter set;
};

const KeyInfo kAgentKeys[] = {
    {"listenaddress", "an IPv4 address",
     [](AgentConfig *c, std::string_view v) {
        std::string text(v);
        struct in_addr address;
        if (inet_pton(AF_INET, text.c_str(), &address) != 1)
           return false;
        c->listenAddress = text;
        return true;
     }},
    {"port", "a port number (0 to 65535)",
     [](AgentConfig *c, std::string_view v) { return SetNumber<uint16_t, 65535>(&c->port, v); }},
    {"secret", "a text",
     [](AgentConfig *c, std::string_view v) {
        c->secret = std::string(v);
        return true;
     }},
    {"requireencryption", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->requireEncryption); }},
    {"trustedserverkeys", "a file or directory of PEM public keys or SHA-256 fingerprints",
     [](AgentConfig *c, std::string_view v) {
        c->trustedServerKeys = std::string(v);
        return true;
     }},
    {"acceptanyserverkey", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->acceptAnyServerKey); }},
    {"maxsessions", "a number from 1 to 100000",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 100000>(&c->maxSessions, v) && c->maxSessions > 0;
     }},
    {"idletimeout", "milliseconds",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 0x7FFFFFFF>(&c->idleTimeoutMs, v);
     }},
    {"filestore", "a directory",
     [](AgentConfig *c, std::string_view v) {
        c->fileStore = std::string(v);
        return true;
     }},
    {"policydir", "a directory",
     [](AgentConfig *c, std::string_view v) {
        c->policyDir = std::string(v);
        return true;
     }},
    {"maxuploadsize", "a size in bytes",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint64_t, (1ull << 40)>(&c->maxUploadSize, v);
     }},
    {"actiontimeout", "milliseconds (1 to 3600000)",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 3600000>(&c->actionTimeoutMs, v) && c->actionTimeoutMs > 0;
     }},
    {"servicechecktimeout", "milliseconds (1 to 600000)",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 600000>(&c->serviceCheckTimeoutMs, v) &&
               c->serviceCheckTimeoutMs > 0;
     }},
    {"snmptimeout", "milliseconds (1 to 60000)",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 60000>(&c->snmpTimeoutMs, v) && c->snmpTimeoutMs > 0;
     }},
    {"snmpretries", "a number from 0 to 5",
     [](AgentConfig *c, std::string_view v) { return SetNumber<uint32_t, 5>(&c->snmpRetries, v); }},
    {"enableproxy", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->enableProxy); }},
    {"enablesnmpproxy", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->enableSnmpProxy); }},
    {"enableservicecheck", "yes or no",
     [](AgentConfig *c, std::string_view v) { return ParseBool(v, &c->enableServiceCheck); }},
    {"pushinterval", "seconds (0 turns pushes off)",
     [](AgentConfig *c, std::string_view v) {
        return SetNumber<uint32_t, 86400>(&c->pushIntervalSec, v);
     }},
    {"pushparameters", "parameter names separated by commas",
     [](AgentConfig *c, std::string_view v) {
        c->pushParameters = SplitParameterList(v);
        return true;
     }},
    {"loglevel", "error, warning, info or debug",
     [](AgentConfig *c, std::string_view v) {
        LogLevel level;
        std::string text(v);
        if (!ParseLogLevel(text.c_str(), &level))
           return false;
        c->logLevel = Lower(v);
        return true;
     }},
};

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
      config->actions[std::string(key)] = std::move(action);
      return true;
   }
   if (sec != "agent") {
      *error = "unknown section [" + std::string(section) + "]";
      *unknownKey = true;
      return false;
   }
   std::string name = Lower(key);
   for (const KeyInfo &info : kAgentKeys) {
      if (name == info.name) {
         AgentConfig candidate = *config;
         if (!info.set(&candidate, value)) {
            *error = "bad value for " + std::string(key) + ": expected " + info.expected;
            return false;
         }
         *config = std::move(candidate);
         return true;
      }
   }
   *error = "unknown key " + std::string(key);
   *unknownKey = true;
   return false;
}

bool ParseConfig(std::string_view text, AgentConfig *config,
                 std::vector<ConfigDiagnostic> *diagnostics) {
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
      if (section == "agent" && Lower(key) == "secret" && config->secret.size() > 63)
         report(lineNumber, false, "secret longer than 63 characters: servers send at most 63");
   }
   return ok;
}

}  // namespace hkagent
