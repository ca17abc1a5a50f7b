#include "json_reader.h"

#include <cstdlib>
#include <cstring>

#include "hk_text.h"

namespace e2e {

namespace {

const JsonValue kNull;

class Reader {
public:
   explicit Reader(const std::string &text) : m_text(text) {}

   bool document(JsonValue *value, std::string *error) {
      bool ok = parseValue(value, 0) && (skipSpace(), m_pos == m_text.size());
      if (!ok)
         *error =
             (m_error.empty() ? "trailing text" : m_error) + " at byte " + std::to_string(m_pos);
      return ok;
   }

private:
   bool fail(const char *what) {
      if (m_error.empty())
         m_error = what;
      return false;
   }
   void skipSpace() {
      while (m_pos < m_text.size() && strchr(" \t\r\n", m_text[m_pos]) != nullptr)
         m_pos++;
   }
   bool literal(const char *word) {
      size_t n = strlen(word);
      if (m_text.compare(m_pos, n, word) != 0)
         return fail("bad literal");
      m_pos += n;
      return true;
   }

   bool parseValue(JsonValue *v, int depth) {
      if (depth > 64)
         return fail("nested too deep");
      skipSpace();
      if (m_pos >= m_text.size())
         return fail("unexpected end");
      char c = m_text[m_pos];
      if (c == '{')
         return parseObject(v, depth);
      if (c == '[')
         return parseArray(v, depth);
      if (c == '"') {
         v->type = JsonValue::String;
         return parseString(&v->text);
      }
      if (c == 't' || c == 'f') {
         v->type = JsonValue::Bool;
         v->boolean = (c == 't');
         return literal(c == 't' ? "true" : "false");
      }
      if (c == 'n')
         return literal("null");
      return parseNumber(v);
   }

   bool parseNumber(JsonValue *v) {
      size_t start = m_pos;
      if (m_text[m_pos] == '-')
         m_pos++;
      if (m_pos >= m_text.size() || !isdigit((unsigned char)m_text[m_pos]))
         return fail("bad number");
      if (m_text[m_pos] == '0' && m_pos + 1 < m_text.size() &&
          isdigit((unsigned char)m_text[m_pos + 1]))
         return fail("leading zero");
      while (m_pos < m_text.size() && strchr("0123456789.eE+-", m_text[m_pos]) != nullptr)
         m_pos++;
      std::string number = m_text.substr(start, m_pos - start);
      char *end = nullptr;
      v->type = JsonValue::Number;
      v->number = strtod(number.c_str(), &end);
      return *end == '\0' || fail("bad number");
   }

   bool hex4(unsigned *value) {
      if (m_pos + 4 > m_text.size())
         return fail("short \\u escape");
      std::string digits = m_text.substr(m_pos, 4);
      for (char d : digits) {
         if (!isxdigit((unsigned char)d))
            return fail("bad \\u escape");
      }
      *value = (unsigned)strtoul(digits.c_str(), nullptr, 16);
      m_pos += 4;
      return true;
   }

   // One UTF-8 sequence, validated, copied to out.
   bool utf8(std::string *out) {
      unsigned char lead = (unsigned char)m_text[m_pos];
      size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead <= 0xF4 ? 4 : 0;
      if (length == 0 || m_pos + length > m_text.size())
         return fail("invalid UTF-8");
      for (size_t i = 1; i < length; i++) {
         if (((unsigned char)m_text[m_pos + i] & 0xC0) != 0x80)
            return fail("invalid UTF-8");
      }
      out->append(m_text, m_pos, length);
      m_pos += length;
      return true;
   }

   bool parseString(std::string *out) {
      m_pos++;  // the opening quote
      while (m_pos < m_text.size()) {
         unsigned char c = (unsigned char)m_text[m_pos];
         if (c == '"') {
            m_pos++;
            return true;
         }
         if (c < 0x20)
            return fail("raw control character in a string");
         if (c >= 0x80) {
            if (!utf8(out))
               return false;
            continue;
         }
         m_pos++;
         if (c != '\\') {
            out->push_back((char)c);
            continue;
         }
         if (m_pos >= m_text.size())
            return fail("unfinished escape");
         char e = m_text[m_pos++];
         const char *from = "\"\\/bfnrt";
         const char *to = "\"\\/\b\f\n\r\t";
         if (const char *p = strchr(from, e); p != nullptr && e != '\0') {
            out->push_back(to[p - from]);
         } else if (e == 'u') {
            unsigned code;
            if (!hex4(&code))
               return false;
            if (code >= 0xD800 && code <= 0xDBFF) {
               unsigned low;
               if (m_text.compare(m_pos, 2, "\\u") != 0)
                  return fail("lone surrogate");
               m_pos += 2;
               if (!hex4(&low) || low < 0xDC00 || low > 0xDFFF)
                  return fail("bad surrogate pair");
               code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else if (code >= 0xDC00 && code <= 0xDFFF) {
               return fail("lone surrogate");
            }
            hk_utf8_append(out, (char32_t)code);
         } else {
            return fail("bad escape");
         }
      }
      return fail("unterminated string");
   }

   bool parseArray(JsonValue *v, int depth) {
      v->type = JsonValue::Array;
      m_pos++;
      skipSpace();
      if (m_pos < m_text.size() && m_text[m_pos] == ']') {
         m_pos++;
         return true;
      }
      for (;;) {
         v->items.emplace_back();
         if (!parseValue(&v->items.back(), depth + 1))
            return false;
         skipSpace();
         if (m_pos < m_text.size() && m_text[m_pos] == ',') {
            m_pos++;
            continue;
         }
         if (m_pos < m_text.size() && m_text[m_pos] == ']') {
            m_pos++;
            return true;
         }
         return fail("expected , or ]");
      }
   }

   bool parseObject(JsonValue *v, int depth) {
      v->type = JsonValue::Object;
      m_pos++;
      skipSpace();
      if (m_pos < m_text.size() && m_text[m_pos] == '}') {
         m_pos++;
         return true;
      }
      for (;;) {
         skipSpace();
         std::string name;
         if (m_pos >= m_text.size() || m_text[m_pos] != '"' || !parseString(&name))
            return fail("expected a member name");
         skipSpace();
         if (m_pos >= m_text.size() || m_text[m_pos] != ':')
            return fail("expected :");
         m_pos++;
         if (!parseValue(&v->members[name], depth + 1))
            return false;
         skipSpace();
         if (m_pos < m_text.size() && m_text[m_pos] == ',') {
            m_pos++;
            continue;
         }
         if (m_pos < m_text.size() && m_text[m_pos] == '}') {
            m_pos++;
            return true;
         }
         return fail("expected , or }");
      }
   }

   const std::string &m_text;
   size_t m_pos = 0;
   std::string m_error;
};

}  // namespace

const JsonValue &JsonValue::operator[](const std::string &name) const {
   auto it = members.find(name);
   return it == members.end() ? kNull : it->second;
}

const JsonValue &JsonValue::operator[](size_t index) const {
   return index < items.size() ? items[index] : kNull;
}

bool ParseJson(const std::string &text, JsonValue *value, std::string *error) {
   *value = JsonValue();
   return Reader(text).document(value, error);
}

}  // namespace e2e
