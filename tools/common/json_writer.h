// A small streaming JSON writer for the tools' --json output: commas,
// nesting and string escapes are its business, so callers cannot produce
// invalid JSON by forgetting one. Strings are taken as UTF-8; invalid
// sequences are replaced (U+FFFD), control characters escaped.
#ifndef HKTOOL_JSON_WRITER_H
#define HKTOOL_JSON_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

namespace hktool {

// The JSON string literal of text, quotes included.
std::string JsonQuote(const std::string &text);

class JsonWriter {
public:
   // indent 0 writes everything on one line.
   explicit JsonWriter(int indent = 2) : m_indent(indent) {}

   void beginObject();
   void endObject();
   void beginArray();
   void endArray();
   // The name of the next member; only inside an object.
   void key(const std::string &name);

   void value(const std::string &text);
   void value(const char *text) { value(std::string(text != nullptr ? text : "")); }
   void value(const wchar_t *text);
   void value(int64_t number);
   void value(uint64_t number);
   void value(int number) { value((int64_t)number); }
   void value(uint32_t number) { value((uint64_t)number); }
   void value(bool flag);
   void null();

   // Shorthands for key() then value().
   template <typename T>
   void member(const std::string &name, const T &v) {
      key(name);
      value(v);
   }

   // The document so far; complete once every container is closed.
   const std::string &text() const { return m_out; }
   bool complete() const { return m_stack.empty() && m_started; }

private:
   void beforeValue();
   void newline();

   struct Level {
      bool isObject;
      bool empty;
   };
   std::string m_out;
   std::vector<Level> m_stack;
   bool m_afterKey = false;
   bool m_started = false;
   int m_indent;
};

}  // namespace hktool

#endif
