#include "report.h"

#include <cstdio>

namespace hktool {

int ReportError(const ToolContext &tool, uint32_t code, const std::string &message) {
   fprintf(stderr, "%s: %s\n", tool.program.c_str(), message.c_str());
   if (tool.json) {
      JsonWriter json;
      json.beginObject();
      json.member("error", code);
      json.member("message", message);
      json.endObject();
      PrintJson(json);
   }
   return EXIT_FAILED;
}

int ReportUsage(const ToolContext &tool, const std::string &message) {
   fprintf(stderr, "%s: %s\nTry '%s --help'.\n", tool.program.c_str(), message.c_str(),
           tool.program.c_str());
   return EXIT_USAGE;
}

void PrintJson(const JsonWriter &json) {
   fwrite(json.text().data(), 1, json.text().size(), stdout);
   fputc('\n', stdout);
   fflush(stdout);
}

void Note(const ToolContext &tool, const std::string &message) {
   if (!tool.quiet)
      fprintf(stderr, "%s\n", message.c_str());
}

}  // namespace hktool
