#include "test_dirs.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace hkagent_test {

TempDir::TempDir() {
   char pattern[] = "/tmp/hkagent-test-XXXXXX";
   if (mkdtemp(pattern) == nullptr)
      abort();
   m_path = pattern;
}

TempDir::~TempDir() {
   std::error_code ec;
   std::filesystem::remove_all(m_path, ec);
}

bool WriteTextFile(const std::string &path, const std::string &content) {
   std::ofstream out(path, std::ios::binary | std::ios::trunc);
   out << content;
   return out.good();
}

bool ReadTextFile(const std::string &path, std::string *content) {
   std::ifstream in(path, std::ios::binary);
   if (!in)
      return false;
   std::stringstream s;
   s << in.rdbuf();
   *content = s.str();
   return true;
}

bool FileExists(const std::string &path) {
   struct stat st;
   return lstat(path.c_str(), &st) == 0;
}

}  // namespace hkagent_test
