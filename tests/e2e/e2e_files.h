// Files for the end-to-end tests: temporary folders, whole-file reads and
// writes, digests.
#ifndef HKE2E_FILES_H
#define HKE2E_FILES_H

#include <string>
#include <vector>

namespace e2e {

// A new folder under TMPDIR (or /tmp); "" on failure.
std::string MakeTempDir(const std::string &prefix);
bool MakeDir(const std::string &path);
// Removes a folder and everything in it, symbolic links themselves (never
// what they point at).
void RemoveTree(const std::string &path);
bool WriteFile(const std::string &path, const std::string &content);
std::string ReadFile(const std::string &path);
bool Exists(const std::string &path);  // also a dangling symbolic link
// Names in a folder, without "." and "..", sorted.
std::vector<std::string> ListDir(const std::string &path);
// SHA-256 of the file as hex; "" when it cannot be read.
std::string Sha256OfFile(const std::string &path);
// n bytes that differ from file to file (seeded), for transfers.
std::string PatternBytes(size_t n, unsigned seed);

// A temporary folder removed with the object.
class TempDir {
public:
   explicit TempDir(const std::string &prefix = "hke2e") : m_path(MakeTempDir(prefix)) {}
   ~TempDir() { RemoveTree(m_path); }
   TempDir(const TempDir &) = delete;
   TempDir &operator=(const TempDir &) = delete;
   const std::string &path() const { return m_path; }
   std::string operator/(const std::string &name) const { return m_path + "/" + name; }

private:
   std::string m_path;
};

}  // namespace e2e

#endif
