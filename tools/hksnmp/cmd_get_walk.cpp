// GET and walk over any transport with the library's functions: the GET of
// all OIDs at once through SnmpGetList, the walk through SnmpBulkEnumerate
// or SnmpEnumerate, each variable shown as value_display.h says. As
// net-snmp's clients do, a walk shows what it received even when it ends in
// an error, and a walk that finds nothing under its OID shows a GET of it.
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

// What SnmpGetList answered for each OID, by position.
struct GetAnswer {
   uint32_t result = SNMP_ERR_SUCCESS;
   std::string type, value;
};

void KeepAnswer(size_t index, uint32_t result, const SNMP_Variable *variable, void *argument) {
   GetAnswer &answer = (*static_cast<std::vector<GetAnswer> *>(argument))[index];
   answer.result = result;
   if (result == SNMP_ERR_SUCCESS) {
      answer.type = SnmpTypeName(variable->getType());
      answer.value = DisplayValue(variable);
   }
}

// Every OID in one GET request where the device allows it, so that a dead
// device costs one time-out and not one per OID.
std::vector<GetAnswer> GetAll(uint32_t version, SNMP_Transport *transport,
                              const std::vector<std::string> &oids) {
   std::vector<std::wstring> wide;
   for (const std::string &oid : oids)
      wide.push_back(Utf8ToWide(oid));
   std::vector<const wchar_t *> texts;
   for (const std::wstring &oid : wide)
      texts.push_back(oid.c_str());
   std::vector<GetAnswer> answers(oids.size());
   SnmpGetList(version, transport, texts.data(), texts.size(), KeepAnswer, &answers, 0);
   return answers;
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
   std::vector<std::string> oids;
   for (const std::string &oid : o.oids)
      oids.push_back(CanonicalOid(oid));
   if (oids.empty())
      oids.push_back(kDefaultGetOid);
   std::vector<GetAnswer> answers = GetAll(o.version, transport, oids);
   JsonWriter json;
   json.beginObject();
   json.key("variables");
   json.beginArray();
   TextTable table({"OID", "VALUE"});
   bool failed = false;
   for (size_t i = 0; i < oids.size(); i++) {
      const GetAnswer &answer = answers[i];
      json.beginObject();
      json.member("oid", oids[i]);
      if (answer.result == SNMP_ERR_SUCCESS) {
         json.member("type", answer.type);
         json.member("value", answer.value);
         table.addRow({oids[i], answer.value});
      } else {
         failed = true;
         std::string text = WideToUtf8(SNMPGetErrorText(answer.result));
         json.member("error", answer.result);
         json.member("message", text);
         fprintf(stderr, "hksnmp: %s: %s\n", oids[i].c_str(), text.c_str());
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
   // An SNMPv1 agent has no endOfMibView: noSuchName to a GETNEXT is the
   // end of its MIB, the normal end of a walk of its last subtree.
   if (o.version == SNMP_VERSION_1 && result == SNMP_ERR_NO_SUCH_OBJECT)
      result = SNMP_ERR_SUCCESS;
   // Nothing under the OID: it may name a leaf, which a GET reads.
   if (result == SNMP_ERR_SUCCESS && rows.empty()) {
      GetAnswer leaf = GetAll(o.version, transport, {root})[0];
      if (leaf.result == SNMP_ERR_SUCCESS)
         rows.push_back({root, leaf.type, leaf.value});
      else if (leaf.result != SNMP_ERR_NO_SUCH_OBJECT)
         result = leaf.result;
   }
   std::string error;
   if (result != SNMP_ERR_SUCCESS)
      error = "walk of " + root + ": " + WideToUtf8(SNMPGetErrorText(result));
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
      if (result != SNMP_ERR_SUCCESS) {
         json.member("error", result);
         json.member("message", error);
      }
      json.endObject();
      PrintJson(json);
   } else if (result == SNMP_ERR_SUCCESS || !rows.empty()) {
      TextTable table({"OID", "TYPE", "VALUE"});
      for (const WalkRow &row : rows)
         table.addRow({row.oid, row.type, row.value});
      table.print(stdout);
   }
   if (result == SNMP_ERR_SUCCESS)
      return EXIT_OK;
   fflush(stdout);
   fprintf(stderr, "%s: %s\n", o.tool.program.c_str(), error.c_str());
   return EXIT_FAILED;
}

}  // namespace hksnmptool
