// hksnmp's SNMPv3 options, with net-snmp's letters and meanings: -u user,
// -l level, -a/-A authentication protocol and password, -x/-X privacy
// protocol and password, -n context name, -e engine id. The passwords may
// come from HKSNMP_AUTH_PASSWORD and HKSNMP_PRIV_PASSWORD instead, so that
// they stay out of the process list.
#ifndef HKSNMP_TOOL_V3_OPTIONS_H
#define HKSNMP_TOOL_V3_OPTIONS_H

#include <string>
#include <vector>

#include "cli.h"
#include "hksnmp.h"

namespace hksnmptool {

struct V3Settings {
   std::string user;
   uint32_t level = SNMP_SECURITY_NOAUTH_NOPRIV;
   uint32_t authMethod = SNMP_AUTH_NONE;
   uint32_t privMethod = SNMP_PRIV_NONE;
   std::string authPassword, privPassword;
   std::string contextName;
   std::vector<uint8_t> engineId;  // empty: discovered
};

std::vector<hktool::OptionSpec> V3OptionSpecs();

// Fills *settings from the parsed options and the environment. False with
// *error set for a bad value or a level without the secrets it needs.
bool ReadV3Options(const hktool::ArgParser &args, V3Settings *settings, std::string *error);

// A new USM security context for the settings (the transport takes it).
SNMP_SecurityContext *MakeV3Context(const V3Settings &settings);

}  // namespace hksnmptool

#endif
