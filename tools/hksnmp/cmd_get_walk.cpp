// GET and walk over any transport: the walk through the library's
// SnmpBulkEnumerate or SnmpEnumerate, the GET with the library's request ids,
// time-out and retries and SnmpGet's result codes, keeping the answered
// variable so that its value is shown as value_display.h says.
#include <memory>

#include "snmp_commands.h"
#include "text.h"
#include "value_display.h"

using namespace hktool;

namespace hksnmptool {

namespace {

const char kDefaultGetOid[] = ".1.3.6.1.2.1.1.1.0";  // sysDescr.0
const char kDefaultWalkOid[] = ".1.3.6.1.2.1.1";     // the system group

struct WalkRow {
   std::string oid, type, value;
};

uint32_t CollectVariable(uint32_t version, SNMP_Variable *variable, SNMP_Transport *transport,
                         void *argument) {
   auto *rows = static_cast<std::vector<WalkRow> *>(argument);
   wchar_t name[2048];
   variable->getName()->getText(name, 2048);
   rows->push_back({WideToUtf8(name), SnmpTypeName(variable->getType()), DisplayValue(variable)});
   return SNMP_ERR_SUCCESS;
}

// One GET of oid, with SnmpGet's result codes: the value shown in *text on
// SNMP_ERR_SUCCESS.
uint32_t GetForDisplay(uint32_t version, SNMP_Transport *transport, const std::string &oid,
                       std::string *text) {
   uint32_t components[SNMP_MAX_OID_LENGTH];
   size_t length = SNMPParseOID(oid.c_str(), components, SNMP_MAX_OID_LENGTH);
   if (length == 0)
      return SNMP_ERR_OID_SYNTAX;
   SNMP_PDU request(SNMP_GET_REQUEST, SnmpNewRequestId(), version);
   request.bindVariable(new SNMP_Variable(components, length));
   SNMP_PDU *answer = nullptr;
   uint32_t result = transport->doRequest(&request, &answer, g_dwSNMPTimeout, SNMP_HELPER_RETRIES);
   if (result != SNMP_ERR_SUCCESS)
      return result;
   std::unique_ptr<SNMP_PDU> response(answer);
   if (response->getNumVariables() == 0 || response->getErrorCode() != SNMP_PDU_ERR_SUCCESS)
      return response->getErrorCode() == SNMP_PDU_ERR_NO_SUCH_NAME ? SNMP_ERR_NO_SUCH_OBJECT
                                                                   : SNMP_ERR_AGENT_STATUS;
   const SNMP_Variable *variable = response->getVariable(0);
   if (variable->getType() == ASN_NO_SUCH_OBJECT || variable->getType() == ASN_NO_SUCH_INSTANCE)
      return SNMP_ERR_NO_SUCH_OBJECT;
   *text = DisplayValue(variable);
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
      std::string value;
      uint32_t result = GetForDisplay(o.version, transport, canonical, &value);
      json.beginObject();
      json.member("oid", canonical);
      if (result == SNMP_ERR_SUCCESS) {
         json.member("value", value);
         table.addRow({canonical, value});
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
       o.bulk ? SnmpBulkEnumerate(o.version, transport, wideRoot.c_str(), CollectVariable, &rows, 0,
                                  o.maxRepetitions)
              : SnmpEnumerate(o.version, transport, wideRoot.c_str(), CollectVariable, &rows, 0);
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
