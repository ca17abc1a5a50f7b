// The manual pages agree with the programs. The options come from each
// program's --help and the configuration keys from hkagent's own key table,
// so an option or key added without its manual entry fails here.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "config.h"

namespace {

struct ManualPage {
   const char *name;     // the page's file name, e.g. "hkquery.1"
   const char *program;  // the program whose --help it documents
};

// Runs a shell command; its standard output, and its exit status in *status.
std::string RunCommand(const std::string &command, int *status) {
   std::string output;
   FILE *pipe = popen(command.c_str(), "r");
   if (pipe == nullptr) {
      *status = -1;
      return output;
   }
   char buffer[4096];
   size_t n;
   while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
      output.append(buffer, n);
   int result = pclose(pipe);
   *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
   return output;
}

std::string PagePath(const ManualPage &page) {
   return std::string(HK_MAN_PAGE_DIR) + "/" + page.name;
}

// The page as man shows it, in plain ASCII; with warningsOnly, what groff
// warns about it instead (every warning enabled).
std::string RenderPage(const ManualPage &page, bool warningsOnly, int *status) {
   std::string command = "LC_ALL=C MANWIDTH=80 man --warnings=w -l '" + PagePath(page) + "'";
   command += warningsOnly ? " 2>&1 >/dev/null" : " 2>/dev/null";
   return RunCommand(command, status);
}

// The options --help lists: on each line that starts with a few blanks and
// a dash, the words before the first run of two blanks (the description)
// that start with a dash, e.g. "-a" and "--auth" from
// "  -a, --auth METHOD   authentication...".
std::vector<std::string> HelpOptions(const std::string &help) {
   std::vector<std::string> options;
   size_t start = 0;
   while (start < help.size()) {
      size_t end = help.find('\n', start);
      if (end == std::string::npos)
         end = help.size();
      std::string line = help.substr(start, end - start);
      start = end + 1;
      size_t first = line.find_first_not_of(' ');
      // Options stand a few blanks in; deeper lines continue a description.
      if (first == std::string::npos || first == 0 || first > 8 || line[first] != '-')
         continue;
      std::string column = line.substr(first, line.find("  ", first) - first);
      for (size_t i = 0; i < column.size();) {
         size_t wordEnd = column.find_first_of(" ,=", i);
         if (wordEnd == std::string::npos)
            wordEnd = column.size();
         std::string word = column.substr(i, wordEnd - i);
         if (word.size() > 1 && word[0] == '-')
            options.push_back(word);
         i = wordEnd + 1;
      }
   }
   return options;
}

// True when text holds word with no letter, digit or dash right before or
// after it.
bool HoldsWord(const std::string &text, const std::string &word) {
   auto isWordChar = [](char c) { return isalnum((unsigned char)c) || c == '-'; };
   for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
      bool before = at == 0 || !isWordChar(text[at - 1]);
      size_t after = at + word.size();
      if (before && (after == text.size() || !isWordChar(text[after])))
         return true;
   }
   return false;
}

std::string Lower(std::string text) {
   std::transform(text.begin(), text.end(), text.begin(),
                  [](unsigned char c) { return (char)tolower(c); });
   return text;
}

class ManualPageTest : public ::testing::TestWithParam<ManualPage> {};

TEST_P(ManualPageTest, RendersWithoutWarnings) {
   int status = 0;
   std::string warnings = RenderPage(GetParam(), true, &status);
   EXPECT_EQ(status, 0);
   EXPECT_EQ(warnings, "");
   std::string text = RenderPage(GetParam(), false, &status);
   EXPECT_EQ(status, 0);
   EXPECT_NE(text.find("NAME"), std::string::npos) << text;
}

TEST_P(ManualPageTest, ListsEveryOptionOfHelp) {
   int status = 0;
   std::string help = RunCommand(std::string(GetParam().program) + " --help", &status);
   ASSERT_EQ(status, 0) << help;
   std::vector<std::string> options = HelpOptions(help);
   // A --help whose layout the parser no longer reads would pass vacuously.
   ASSERT_GE(options.size(), 10u) << help;
   std::string page = RenderPage(GetParam(), false, &status);
   ASSERT_EQ(status, 0);
   std::set<std::string> missing;
   for (const std::string &option : options) {
      if (!HoldsWord(page, option))
         missing.insert(option);
   }
   EXPECT_TRUE(missing.empty()) << GetParam().name
                                << " lacks: " << ::testing::PrintToString(missing);
}

INSTANTIATE_TEST_SUITE_P(Programs, ManualPageTest,
                         ::testing::Values(ManualPage{"hkagent.8", HKAGENT_BINARY},
                                           ManualPage{"hkquery.1", HKQUERY_BINARY},
                                           ManualPage{"hksnmp.1", HKSNMP_BINARY}),
                         [](const ::testing::TestParamInfo<ManualPage> &info) {
                            std::string name = info.param.name;
                            return name.substr(0, name.find('.'));
                         });

TEST(HelpOptions, ReadsShortLongAndSeparatedOptions) {
   std::string help =
       "usage: tool [options]\n"
       "Options:\n"
       "  -a, --auth METHOD    the method -x (not an option: in the description)\n"
       "      --config=FILE    a file\n"
       "  --version, --help\n"
       "                       --continued description\n"
       "-z at the start of a line is prose\n";
   EXPECT_EQ(HelpOptions(help),
             (std::vector<std::string>{"-a", "--auth", "--config", "--version", "--help"}));
   EXPECT_TRUE(HoldsWord("use --auth here", "--auth"));
   EXPECT_FALSE(HoldsWord("use --auth-proxy here", "--auth"));
   EXPECT_FALSE(HoldsWord("a-b", "-b"));
}

TEST(HkagentManualPage, ListsEveryConfigurationKey) {
   ManualPage page{"hkagent.8", HKAGENT_BINARY};
   int status = 0;
   std::string text = Lower(RenderPage(page, false, &status));
   ASSERT_EQ(status, 0);
   std::vector<std::string> keys = hkagent::AgentKeyNames();
   ASSERT_FALSE(keys.empty());
   std::set<std::string> missing;
   for (const std::string &key : keys) {
      if (!HoldsWord(text, Lower(key)))
         missing.insert(key);
   }
   EXPECT_TRUE(missing.empty()) << "hkagent.8 lacks the keys " << ::testing::PrintToString(missing);
}

}  // namespace
