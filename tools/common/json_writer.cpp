#include "json_writer.h"

#include <cinttypes>
#include <cstdio>

#include "text.h"

namespace hktool {

std::string JsonQuote(const std::string &text) {
   std::string clean = SanitizeUtf8(text);
   std::string out;
   out.reserve(clean.size() + 2);
   out.push_back('"');
   for (char c : clean) {
      switch (c) {
         case '"':
            out += "\\\"";
            break;
         case '\\':
            out += "\\\\";
            break;
         case '\b':
            out += "\\b";
            break;
         case '\f':
            out += "\\f";
            break;
         case '\n':
            out += "\\n";
            break;
         case '\r':
            out += "\\r";
            break;
         case '\t':
            out += "\\t";
            break;
         default:
            if ((uint8_t)c < 0x20 || c == 0x7F) {
               char escape[8];
               snprintf(escape, sizeof(escape), "\\u%04X", (unsigned)(uint8_t)c);
               out += escape;
            } else {
               out.push_back(c);
            }
      }
   }
   out.push_back('"');
   return out;
}

void JsonWriter::newline() {
   if (m_indent <= 0)
      return;
   m_out.push_back('\n');
   m_out.append(m_stack.size() * (size_t)m_indent, ' ');
}

void JsonWriter::beforeValue() {
   m_started = true;
   if (m_afterKey) {
      m_afterKey = false;
      return;
   }
   if (m_stack.empty())
      return;
   Level &level = m_stack.back();
   if (!level.empty)
      m_out.push_back(',');
   level.empty = false;
   newline();
}

void JsonWriter::key(const std::string &name) {
   Level &level = m_stack.back();
   if (!level.empty)
      m_out.push_back(',');
   level.empty = false;
   newline();
   m_out += JsonQuote(name);
   m_out += m_indent > 0 ? ": " : ":";
   m_afterKey = true;
}

void JsonWriter::beginObject() {
   beforeValue();
   m_out.push_back('{');
   m_stack.push_back({true, true});
}

void JsonWriter::beginArray() {
   beforeValue();
   m_out.push_back('[');
   m_stack.push_back({false, true});
}

void JsonWriter::endObject() {
   bool empty = m_stack.back().empty;
   m_stack.pop_back();
   if (!empty)
      newline();
   m_out.push_back('}');
}

void JsonWriter::endArray() {
   endObject();
   m_out.back() = ']';
}

void JsonWriter::value(const std::string &text) {
   beforeValue();
   m_out += JsonQuote(text);
}

void JsonWriter::value(const wchar_t *text) {
   value(WideToUtf8(text));
}

void JsonWriter::value(int64_t number) {
   beforeValue();
   m_out += std::to_string(number);
}

void JsonWriter::value(uint64_t number) {
   beforeValue();
   m_out += std::to_string(number);
}

void JsonWriter::value(bool flag) {
   beforeValue();
   m_out += flag ? "true" : "false";
}

void JsonWriter::null() {
   beforeValue();
   m_out += "null";
}

}  // namespace hktool
