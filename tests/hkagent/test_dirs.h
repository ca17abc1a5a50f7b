// A temporary directory removed with its content when the test ends.
#ifndef HKAGENT_TEST_DIRS_H
#define HKAGENT_TEST_DIRS_H

#include <string>

namespace hkagent_test {

class TempDir {
public:
   TempDir();
   ~TempDir();
   TempDir(const TempDir &) = delete;
   TempDir &operator=(const TempDir &) = delete;
   const std::string &path() const { return m_path; }
   std::string file(const std::string &name) const { return m_path + "/" + name; }

private:
   std::string m_path;
};

bool WriteTextFile(const std::string &path, const std::string &content);
bool ReadTextFile(const std::string &path, std::string *content);
bool FileExists(const std::string &path);

}  // namespace hkagent_test

#endif
