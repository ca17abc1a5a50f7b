#include "cli.h"

#include <algorithm>

namespace hktool {

const OptionSpec *ArgParser::findLong(const std::string &name) const {
   for (const OptionSpec &spec : m_specs) {
      if (spec.name == name)
         return &spec;
   }
   return nullptr;
}

const OptionSpec *ArgParser::findShort(char name) const {
   for (const OptionSpec &spec : m_specs) {
      if (spec.shortName != 0 && spec.shortName == name)
         return &spec;
   }
   return nullptr;
}

bool ArgParser::parse(int argc, const char *const *argv, std::string *error) {
   m_values.clear();
   m_positionals.clear();
   bool optionsEnded = false;
   for (int i = 1; i < argc; i++) {
      std::string arg = argv[i];
      if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
         m_positionals.push_back(arg);
         continue;
      }
      if (arg == "--") {
         optionsEnded = true;
         continue;
      }
      const OptionSpec *spec;
      std::string value;
      bool haveValue = false;
      std::string shown;
      if (arg.compare(0, 2, "--") == 0) {
         std::string name = arg.substr(2);
         size_t eq = name.find('=');
         if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            haveValue = true;
         }
         shown = "--" + name;
         spec = findLong(name);
      } else {
         shown = arg.substr(0, 2);
         spec = findShort(arg[1]);
         if (arg.size() > 2) {
            value = arg.substr(2);
            haveValue = true;
         }
      }
      if (spec == nullptr) {
         *error = "unknown option " + shown;
         return false;
      }
      if (spec->takesValue && !haveValue) {
         if (i + 1 >= argc) {
            *error = "option " + shown + " needs a value";
            return false;
         }
         value = argv[++i];
      } else if (!spec->takesValue && haveValue) {
         *error = "option " + shown + " takes no value";
         return false;
      }
      m_values[spec->name].push_back(value);
   }
   return true;
}

std::string ArgParser::get(const std::string &name, const std::string &fallback) const {
   auto it = m_values.find(name);
   return (it == m_values.end() || it->second.empty()) ? fallback : it->second.back();
}

std::vector<std::string> ArgParser::getAll(const std::string &name) const {
   auto it = m_values.find(name);
   return (it == m_values.end()) ? std::vector<std::string>() : it->second;
}

std::string ArgParser::helpText() const {
   std::vector<std::string> left;
   size_t width = 0;
   for (const OptionSpec &spec : m_specs) {
      std::string text = spec.shortName != 0 ? std::string("-") + spec.shortName + ", " : "    ";
      text += "--" + spec.name;
      if (spec.takesValue)
         text += " " + (spec.valueName.empty() ? std::string("VALUE") : spec.valueName);
      width = std::max(width, text.size());
      left.push_back(text);
   }
   std::string out;
   for (size_t i = 0; i < m_specs.size(); i++) {
      out += "  " + left[i];
      out.append(width - left[i].size() + 2, ' ');
      out += m_specs[i].help + "\n";
   }
   return out;
}

}  // namespace hktool
