// GET and walk over any transport, through the library's SnmpGet and
// SnmpEnumerate.
#include "snmp_commands.h"
#include "text.h"

using namespace hktool;

namespace hksnmptool {

namespace {

const char kDefaultGetOid[] = ".1.3.6.1.2.1.1.1.0";  // sysDescr.0
const char kDefaultWalkOid[] = ".1.3.6.1.2.1.1";     // the system group
const size_t kValueSize = 4096;

struct WalkRow {
   std::string oid, type, value;
};

uint32_t CollectVariable(uint32_t version, SNMP_Variable *variable, SNMP_Transport *transport,
                         void *argument) {
   auto *rows = static_cast<std::vector<WalkRow> *>(argument);
   wchar_t name[1024], value[kValueSize];
   variable->getName()->getText(name, 1024);
   bool hex = true;
   variable->getValueAsPrintableString(value, kValueSize, &hex);
   rows->push_back({WideToUtf8(name), SnmpTypeName(variable->getType()), WideToUtf8(value)});
   return SNMP_ERR_SUCCESS;
}

// ".1.3.6.1" for any accepted spelling of an OID.
std::string CanonicalOid(const std::string &text) {
   uint32_t components[SNMP_MAX_OID_LENGTH];
   size_t length = SNMPParseOID(text.c_str(), components, SNMP_MAX_OID_LENGTH);
   wchar_t buffer[1024];
   return WideToUtf8(SNMPConvertOIDToText(length, components, buffer, 1024));
}

}  // namespace

const char *SnmpTypeName(uint32_t type) {
   switch (type) {
      case ASN_INTEGER:
         return "INTEGER";
      case ASN_OCTET_STRING:
         return "STRING";
      case ASN_NULL:
         return "NULL";
      case ASN_OBJECT_ID:
         return "OID";
      case ASN_IP_ADDR:
         return "IpAddress";
      case ASN_COUNTER32:
         return "Counter32";
      case ASN_GAUGE32:
         return "Gauge32";
      case ASN_TIMETICKS:
         return "Timeticks";
      case ASN_OPAQUE:
         return "Opaque";
      case ASN_COUNTER64:
         return "Counter64";
      case ASN_UINTEGER32:
         return "UInteger32";
      case ASN_NO_SUCH_OBJECT:
         return "noSuchObject";
      case ASN_NO_SUCH_INSTANCE:
         return "noSuchInstance";
      case ASN_END_OF_MIBVIEW:
         return "endOfMibView";
      default:
         return "unknown";
   }
}

int RunGet(const SnmpOptions &o, SNMP_Transport *transport) {
   std::vector<std::string> oids = o.oids;
   if (oids.empty())
      oids.push_back(kDefaultGetOid);
   JsonWriter json;
   json.beginObject();
   json.key("variables");
   json.beginArray();
   TextTable table({"OID", "VALUE"});
   bool failed = false;
   for (const std::string &oid : oids) {
      std::string canonical = CanonicalOid(oid);
      std::wstring wideOid = Utf8ToWide(canonical);
      wchar_t value[kValueSize] = L"";
      uint32_t result = SnmpGet(o.version, transport, wideOid.c_str(), nullptr, 0, value,
                                kValueSize, SNMPGET_PRINTABLE);
      json.beginObject();
      json.member("oid", canonical);
      if (result == SNMP_ERR_SUCCESS) {
         json.member("value", value);
         table.addRow({canonical, WideToUtf8(value)});
      } else {
         failed = true;
         std::string text = WideToUtf8(SNMPGetErrorText(result));
         json.member("error", result);
         json.member("message", text);
         fprintf(stderr, "hksnmp: %s: %s\n", canonical.c_str(), text.c_str());
      }
      json.endObject();
   }
   json.endArray();
   json.endObject();
   if (o.tool.json)
      PrintJson(json);
   else if (table.rows() > 0)
      table.print(stdout);
   return failed ? EXIT_FAILED : EXIT_OK;
}

int RunWalk(const SnmpOptions &o, SNMP_Transport *transport) {
   std::string root = CanonicalOid(o.oids.empty() ? kDefaultWalkOid : o.oids[0]);
   std::wstring wideRoot = Utf8ToWide(root);
   std::vector<WalkRow> rows;
   uint32_t result =
       SnmpEnumerate(o.version, transport, wideRoot.c_str(), CollectVariable, &rows, 0);
   if (result != SNMP_ERR_SUCCESS)
      return ReportError(o.tool, result,
                         "walk of " + root + ": " + WideToUtf8(SNMPGetErrorText(result)));
   if (o.tool.json) {
      JsonWriter json;
      json.beginObject();
      json.member("root", root);
      json.key("variables");
      json.beginArray();
      for (const WalkRow &row : rows) {
         json.beginObject();
         json.member("oid", row.oid);
         json.member("type", row.type);
         json.member("value", row.value);
         json.endObject();
      }
      json.endArray();
      json.endObject();
      PrintJson(json);
      return EXIT_OK;
   }
   TextTable table({"OID", "TYPE", "VALUE"});
   for (const WalkRow &row : rows)
      table.addRow({row.oid, row.type, row.value});
   table.print(stdout);
   return EXIT_OK;
}

}  // namespace hksnmptool
