// Parameters, lists, tables and the agent's catalogue of what it supports.
#include <memory>

#include "commands.h"
#include "text.h"

using namespace hktool;

namespace hkquery {

namespace {

const uint32_t kValueSize = 4096;

std::string Text(const wchar_t *text) {
   return WideToUtf8(text != nullptr ? text : L"");
}

}  // namespace

int RequestFailed(const Query &q, const std::string &what, uint32_t code) {
   return ReportError(q.tool(), code, what + ": " + Text(AgentErrorCodeToText((int)code)));
}

int RunParameters(const Query &q) {
   struct Item {
      std::string name, value;
      uint32_t code;
   };
   std::vector<Item> items;
   bool failed = false;
   for (const std::string &name : q.options.items) {
      std::wstring wideName = Utf8ToWide(name);
      wchar_t value[kValueSize] = L"";
      uint32_t code = q.agent->getParameter(wideName.c_str(), kValueSize, value);
      if (code != ERR_SUCCESS) {
         failed = true;
         fprintf(stderr, "hkquery: %s: %s\n", name.c_str(),
                 Text(AgentErrorCodeToText((int)code)).c_str());
      }
      items.push_back({name, Text(value), code});
   }

   if (q.tool().json) {
      JsonWriter json;
      json.beginObject();
      json.key("parameters");
      json.beginArray();
      for (const Item &item : items) {
         json.beginObject();
         json.member("name", item.name);
         if (item.code == ERR_SUCCESS) {
            json.member("value", item.value);
         } else {
            json.member("error", item.code);
            json.member("message", AgentErrorCodeToText((int)item.code));
         }
         json.endObject();
      }
      json.endArray();
      json.endObject();
      PrintJson(json);
   } else {
      TextTable table({"PARAMETER", "VALUE"});
      for (const Item &item : items) {
         if (item.code == ERR_SUCCESS)
            table.addRow({item.name, item.value});
      }
      if (table.rows() > 0)
         table.print(stdout);
   }
   return failed ? EXIT_FAILED : EXIT_OK;
}

int RunList(const Query &q) {
   std::wstring name = Utf8ToWide(q.options.modeArgument);
   uint32_t code = q.agent->getList(name.c_str());
   if (code != ERR_SUCCESS)
      return RequestFailed(q, q.options.modeArgument, code);
   uint32_t count = q.agent->getNumDataLines();
   if (q.tool().json) {
      JsonWriter json;
      json.beginObject();
      json.member("list", q.options.modeArgument);
      json.key("lines");
      json.beginArray();
      for (uint32_t i = 0; i < count; i++)
         json.value(Text(q.agent->getDataLine(i)));
      json.endArray();
      json.endObject();
      PrintJson(json);
   } else {
      for (uint32_t i = 0; i < count; i++)
         printf("%s\n", Text(q.agent->getDataLine(i)).c_str());
   }
   return EXIT_OK;
}

int RunTable(const Query &q) {
   std::wstring name = Utf8ToWide(q.options.modeArgument);
   Table *raw = nullptr;
   uint32_t code = q.agent->getTable(name.c_str(), &raw);
   std::unique_ptr<Table> table(raw);
   if (code != ERR_SUCCESS)
      return RequestFailed(q, q.options.modeArgument, code);
   int columns = table->getNumColumns(), rows = table->getNumRows();
   std::vector<std::string> headers;
   for (int c = 0; c < columns; c++)
      headers.push_back(Text(table->getColumnName(c)));

   if (q.tool().json) {
      JsonWriter json;
      json.beginObject();
      json.member("table", q.options.modeArgument);
      json.member("title", table->getTitle());
      json.member("instanceColumn", table->getInstanceColumn());
      json.key("columns");
      json.beginArray();
      for (int c = 0; c < columns; c++) {
         json.beginObject();
         json.member("name", headers[c]);
         json.member("dataType", (int64_t)table->getColumnDataType(c));
         json.endObject();
      }
      json.endArray();
      json.key("rows");
      json.beginArray();
      for (int r = 0; r < rows; r++) {
         json.beginObject();
         for (int c = 0; c < columns; c++)
            json.member(headers[c], Text(table->getAsString(r, c)));
         json.endObject();
      }
      json.endArray();
      json.endObject();
      PrintJson(json);
      return EXIT_OK;
   }
   TextTable text(headers);
   for (int r = 0; r < rows; r++) {
      std::vector<std::string> cells;
      for (int c = 0; c < columns; c++)
         cells.push_back(Text(table->getAsString(r, c)));
      text.addRow(std::move(cells));
   }
   text.print(stdout);
   return EXIT_OK;
}

int RunSupported(const Query &q) {
   StructArray<HKC_AGENT_PARAM> *rawParameters = nullptr;
   StructArray<HKC_AGENT_TABLE> *rawTables = nullptr;
   uint32_t code = q.agent->getSupportedParameters(&rawParameters, &rawTables);
   std::unique_ptr<StructArray<HKC_AGENT_PARAM>> parameters(rawParameters);
   std::unique_ptr<StructArray<HKC_AGENT_TABLE>> tables(rawTables);
   if (code != ERR_SUCCESS)
      return RequestFailed(q, "supported parameters", code);
   int numParameters = parameters ? parameters->size() : 0;
   int numTables = tables ? tables->size() : 0;

   if (q.tool().json) {
      JsonWriter json;
      json.beginObject();
      json.key("parameters");
      json.beginArray();
      for (int i = 0; i < numParameters; i++) {
         const HKC_AGENT_PARAM *p = parameters->get(i);
         json.beginObject();
         json.member("name", p->name);
         json.member("description", p->description);
         json.member("dataType", (int64_t)p->dataType);
         json.endObject();
      }
      json.endArray();
      json.key("tables");
      json.beginArray();
      for (int i = 0; i < numTables; i++) {
         const HKC_AGENT_TABLE *t = tables->get(i);
         json.beginObject();
         json.member("name", t->name);
         json.member("instanceColumn", t->instanceColumn);
         json.member("description", t->description);
         json.endObject();
      }
      json.endArray();
      json.endObject();
      PrintJson(json);
      return EXIT_OK;
   }
   TextTable params({"PARAMETER", "TYPE", "DESCRIPTION"});
   for (int i = 0; i < numParameters; i++) {
      const HKC_AGENT_PARAM *p = parameters->get(i);
      params.addRow({Text(p->name), std::to_string(p->dataType), Text(p->description)});
   }
   params.print(stdout);
   printf("\n");
   TextTable tableList({"TABLE", "INSTANCE", "DESCRIPTION"});
   for (int i = 0; i < numTables; i++) {
      const HKC_AGENT_TABLE *t = tables->get(i);
      tableList.addRow({Text(t->name), Text(t->instanceColumn), Text(t->description)});
   }
   tableList.print(stdout);
   return EXIT_OK;
}

}  // namespace hkquery
