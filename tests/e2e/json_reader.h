// A strict JSON reader for checking the tools' --json output: a document
// that any parser would reject (bad escapes, raw control characters in
// strings, trailing text, invalid UTF-8) is rejected here too.
#ifndef HKE2E_JSON_READER_H
#define HKE2E_JSON_READER_H

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

struct JsonValue {
   enum Type { Null, Bool, Number, String, Array, Object } type = Null;
   bool boolean = false;
   double number = 0;
   std::string text;  // String: decoded UTF-8
   std::vector<JsonValue> items;
   std::map<std::string, JsonValue> members;

   // Member or item access; a Null value when absent.
   const JsonValue &operator[](const std::string &name) const;
   const JsonValue &operator[](size_t index) const;
   bool has(const std::string &name) const { return members.count(name) != 0; }
   size_t size() const { return type == Array ? items.size() : members.size(); }
};

// False with *error set (and the position) when text is not one JSON value.
bool ParseJson(const std::string &text, JsonValue *value, std::string *error);

}  // namespace e2e

#endif
