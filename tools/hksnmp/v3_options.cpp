#include "v3_options.h"

#include <strings.h>

#include <cstdlib>

namespace hksnmptool {

namespace {

const char kAuthEnv[] = "HKSNMP_AUTH_PASSWORD";
const char kPrivEnv[] = "HKSNMP_PRIV_PASSWORD";
const size_t kMinPasswordLength = 8;  // RFC 3414 11.2; net-snmp refuses shorter ones too

struct Name {
   const char *text;
   uint32_t value;
};

const Name kLevels[] = {
    {"noAuthNoPriv", SNMP_SECURITY_NOAUTH_NOPRIV}, {"noauth", SNMP_SECURITY_NOAUTH_NOPRIV},
    {"authNoPriv", SNMP_SECURITY_AUTH_NOPRIV},     {"auth", SNMP_SECURITY_AUTH_NOPRIV},
    {"authPriv", SNMP_SECURITY_AUTH_PRIV},         {"priv", SNMP_SECURITY_AUTH_PRIV}};
const Name kAuthProtocols[] = {
    {"MD5", SNMP_AUTH_MD5},        {"SHA", SNMP_AUTH_SHA1},       {"SHA1", SNMP_AUTH_SHA1},
    {"SHA-1", SNMP_AUTH_SHA1},     {"SHA-224", SNMP_AUTH_SHA224}, {"SHA224", SNMP_AUTH_SHA224},
    {"SHA-256", SNMP_AUTH_SHA256}, {"SHA256", SNMP_AUTH_SHA256},  {"SHA-384", SNMP_AUTH_SHA384},
    {"SHA384", SNMP_AUTH_SHA384},  {"SHA-512", SNMP_AUTH_SHA512}, {"SHA512", SNMP_AUTH_SHA512}};
const Name kPrivProtocols[] = {
    {"DES", SNMP_PRIV_DES}, {"AES", SNMP_PRIV_AES128}, {"AES128", SNMP_PRIV_AES128}};

template <size_t N>
bool Lookup(const Name (&names)[N], const std::string &text, uint32_t *value) {
   for (const Name &name : names) {
      if (strcasecmp(name.text, text.c_str()) == 0) {
         *value = name.value;
         return true;
      }
   }
   return false;
}

// "0x8000..." or "8000...": 5 to 32 bytes in hexadecimal.
bool ParseEngineId(std::string text, std::vector<uint8_t> *id) {
   if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      text = text.substr(2);
   }
   if (text.size() % 2 != 0 || text.size() < 10 || text.size() > 2 * SNMP_MAX_ENGINE_ID_LENGTH) {
      return false;
   }
   id->clear();
   for (size_t i = 0; i < text.size(); i += 2) {
      char *end;
      std::string pair = text.substr(i, 2);
      unsigned long byte = strtoul(pair.c_str(), &end, 16);
      if (*end != 0 || !isxdigit(static_cast<unsigned char>(pair[0]))) {
         return false;
      }
      id->push_back(static_cast<uint8_t>(byte));
   }
   return true;
}

// The option's value, else the environment's, else empty.
std::string Secret(const hktool::ArgParser &args, const char *option, const char *variable) {
   if (args.has(option)) {
      return args.get(option);
   }
   const char *value = getenv(variable);
   return value != nullptr ? value : "";
}

}  // namespace

std::vector<hktool::OptionSpec> V3OptionSpecs() {
   return {
       {"user", 'u', true, "NAME", "SNMPv3 user name"},
       {"security-level", 'l', true, "LEVEL", "noAuthNoPriv (default), authNoPriv or authPriv"},
       {"auth-protocol", 'a', true, "PROTO", "MD5, SHA, SHA-224, SHA-256, SHA-384 or SHA-512"},
       {"auth-password", 'A', true, "TEXT",
        std::string("authentication password (better: ") + kAuthEnv + ")"},
       {"priv-protocol", 'x', true, "PROTO", "DES or AES"},
       {"priv-password", 'X', true, "TEXT",
        std::string("privacy password (better: ") + kPrivEnv + ")"},
       {"context", 'n', true, "NAME", "context name"},
       {"engine-id", 'e', true, "HEX", "the device's engine id (default: discovered)"},
   };
}

bool ReadV3Options(const hktool::ArgParser &args, V3Settings *s, std::string *error) {
   s->user = args.get("user");
   if (s->user.empty()) {
      *error = "-v 3 needs a user name (-u)";
      return false;
   }
   if (s->user.size() > SNMP_MAX_USER_NAME_LENGTH) {
      *error = "the user name is longer than 32 bytes";
      return false;
   }
   if (args.has("security-level") && !Lookup(kLevels, args.get("security-level"), &s->level)) {
      *error = "-l takes noAuthNoPriv, authNoPriv or authPriv";
      return false;
   }
   if (s->level == SNMP_SECURITY_NOAUTH_NOPRIV) {
      s->authMethod = SNMP_AUTH_NONE;
   } else if (!Lookup(kAuthProtocols, args.get("auth-protocol", "MD5"), &s->authMethod)) {
      *error = "-a takes MD5, SHA, SHA-224, SHA-256, SHA-384 or SHA-512";
      return false;
   }
   if (s->level == SNMP_SECURITY_AUTH_PRIV &&
       !Lookup(kPrivProtocols, args.get("priv-protocol", "DES"), &s->privMethod)) {
      *error = "-x takes DES or AES";
      return false;
   }
   s->authPassword = Secret(args, "auth-password", kAuthEnv);
   s->privPassword = Secret(args, "priv-password", kPrivEnv);
   if (s->level != SNMP_SECURITY_NOAUTH_NOPRIV && s->authPassword.size() < kMinPasswordLength) {
      *error = std::string(
                   "the level needs an authentication password of at least 8 characters "
                   "(-A or ") +
               kAuthEnv + ")";
      return false;
   }
   if (s->level == SNMP_SECURITY_AUTH_PRIV && s->privPassword.size() < kMinPasswordLength) {
      *error = std::string("authPriv needs a privacy password of at least 8 characters (-X or ") +
               kPrivEnv + ")";
      return false;
   }
   s->contextName = args.get("context");
   if (s->contextName.size() > SNMP_MAX_CONTEXT_NAME_LENGTH) {
      *error = "the context name is longer than 255 bytes";
      return false;
   }
   if (args.has("engine-id") && !ParseEngineId(args.get("engine-id"), &s->engineId)) {
      *error = "-e takes an engine id of 5 to 32 bytes in hexadecimal";
      return false;
   }
   return true;
}

SNMP_SecurityContext *MakeV3Context(const V3Settings &s) {
   auto *context = new SNMP_SecurityContext(s.user.c_str(), s.authPassword.c_str(),
                                            s.privPassword.c_str(), s.authMethod, s.privMethod);
   context->setSecurityLevel(s.level);
   context->setContextName(s.contextName.c_str());
   if (!s.engineId.empty()) {
      context->setAuthoritativeEngineId(s.engineId.data(), s.engineId.size());
   }
   return context;
}

}  // namespace hksnmptool
