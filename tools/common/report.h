// How the tools end: results on standard output (an aligned table, or JSON
// with --json), errors as one line on standard error and, with --json, as
// an error object on standard output too, so a script always reads JSON.
#ifndef HKTOOL_REPORT_H
#define HKTOOL_REPORT_H

#include <cstdint>
#include <string>

#include "json_writer.h"
#include "table_output.h"

namespace hktool {

// Exit statuses shared by the tools.
static const int EXIT_OK = 0;
static const int EXIT_FAILED = 1;  // a request or a connection failed
static const int EXIT_USAGE = 2;   // bad command line

struct ToolContext {
   std::string program;  // "hkquery"
   bool json = false;
   bool quiet = false;  // no progress bars, no notes
};

// "program: message" on stderr; with --json also {"error": code,
// "message": text} on stdout. Returns EXIT_FAILED.
int ReportError(const ToolContext &tool, uint32_t code, const std::string &message);
// A command-line mistake: the message and a hint to --help; EXIT_USAGE.
int ReportUsage(const ToolContext &tool, const std::string &message);
// Writes a finished JSON document and a newline to stdout.
void PrintJson(const JsonWriter &json);
// A note for people on stderr (suppressed by quiet).
void Note(const ToolContext &tool, const std::string &message);

}  // namespace hktool

#endif
