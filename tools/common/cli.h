// Command-line parsing for the tools: long options (--name, --name=value,
// --name value), short options (-p 161, -p161), repeatable options, and
// positional arguments in any order; "--" ends the options.
#ifndef HKTOOL_CLI_H
#define HKTOOL_CLI_H

#include <map>
#include <string>
#include <vector>

namespace hktool {

struct OptionSpec {
   std::string name;  // long name without "--"
   char shortName;    // 0 when there is none
   bool takesValue;
   std::string valueName;  // for the help text ("MS", "FILE")
   std::string help;
};

class ArgParser {
public:
   void add(const OptionSpec &spec) { m_specs.push_back(spec); }
   void add(const std::vector<OptionSpec> &specs) {
      m_specs.insert(m_specs.end(), specs.begin(), specs.end());
   }

   // False with *error set for an unknown option or a missing value.
   bool parse(int argc, const char *const *argv, std::string *error);

   bool has(const std::string &name) const { return m_values.count(name) != 0; }
   // The last value given, or fallback.
   std::string get(const std::string &name, const std::string &fallback = "") const;
   // Every value given, in order.
   std::vector<std::string> getAll(const std::string &name) const;
   const std::vector<std::string> &positionals() const { return m_positionals; }

   // The option list for --help, aligned.
   std::string helpText() const;

private:
   const OptionSpec *findLong(const std::string &name) const;
   const OptionSpec *findShort(char name) const;

   std::vector<OptionSpec> m_specs;
   std::map<std::string, std::vector<std::string>> m_values;
   std::vector<std::string> m_positionals;
};

}  // namespace hktool

#endif
