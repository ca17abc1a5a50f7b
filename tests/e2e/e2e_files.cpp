#include "e2e_files.h"

#include <dirent.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace e2e {

std::string MakeTempDir(const std::string &prefix) {
   const char *base = getenv("TMPDIR");
   std::string path =
       std::string(base != nullptr && base[0] ? base : "/tmp") + "/" + prefix + "-XXXXXX";
   return mkdtemp(path.data()) != nullptr ? path : "";
}

bool MakeDir(const std::string &path) {
   return mkdir(path.c_str(), 0755) == 0;
}

void RemoveTree(const std::string &path) {
   if (path.empty())
      return;
   struct stat info;
   if (lstat(path.c_str(), &info) != 0)
      return;
   if (S_ISDIR(info.st_mode)) {
      for (const std::string &name : ListDir(path))
         RemoveTree(path + "/" + name);
      rmdir(path.c_str());
   } else {
      unlink(path.c_str());
   }
}

bool WriteFile(const std::string &path, const std::string &content) {
   std::ofstream file(path, std::ios::binary | std::ios::trunc);
   file << content;
   return file.good();
}

std::string ReadFile(const std::string &path) {
   std::ifstream file(path, std::ios::binary);
   std::ostringstream content;
   content << file.rdbuf();
   return content.str();
}

bool Exists(const std::string &path) {
   struct stat info;
   return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> ListDir(const std::string &path) {
   std::vector<std::string> names;
   DIR *dir = opendir(path.c_str());
   if (dir == nullptr)
      return names;
   while (struct dirent *entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..")
         names.push_back(name);
   }
   closedir(dir);
   std::sort(names.begin(), names.end());
   return names;
}

std::string Sha256OfFile(const std::string &path) {
   FILE *file = fopen(path.c_str(), "rb");
   if (file == nullptr)
      return "";
   EVP_MD_CTX *ctx = EVP_MD_CTX_new();
   EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
   char buffer[65536];
   size_t got;
   while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
      EVP_DigestUpdate(ctx, buffer, got);
   fclose(file);
   unsigned char digest[EVP_MAX_MD_SIZE];
   unsigned int length = 0;
   EVP_DigestFinal_ex(ctx, digest, &length);
   EVP_MD_CTX_free(ctx);
   std::string hex;
   char two[3];
   for (unsigned i = 0; i < length; i++) {
      snprintf(two, sizeof(two), "%02x", digest[i]);
      hex += two;
   }
   return hex;
}

std::string PatternBytes(size_t n, unsigned seed) {
   std::mt19937 random(seed);
   std::string bytes(n, '\0');
   for (char &b : bytes)
      b = (char)(random() & 0xFF);
   return bytes;
}

}  // namespace e2e
