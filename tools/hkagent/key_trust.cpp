#include "key_trust.h"

#include <dirent.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "log.h"

namespace hkagent {

namespace {

const size_t kFingerprintSize = 32;
// Bounds on what a trust source may make the agent read per key request.
const size_t kMaxTrustFileSize = 1 << 20;
const size_t kMaxTrustFiles = 256;

using Fingerprint = std::vector<uint8_t>;

bool ReadSmallFile(const std::string &path, std::string *text) {
   std::ifstream in(path, std::ios::binary);
   if (!in)
      return false;
   text->assign(kMaxTrustFileSize + 1, '\0');
   in.read(text->data(), (std::streamsize)text->size());
   text->resize((size_t)in.gcount());
   if (text->size() > kMaxTrustFileSize) {
      HKLOG_WARN("trusted key file %s is larger than %zu bytes: ignored", path.c_str(),
                 kMaxTrustFileSize);
      return false;
   }
   return true;
}

// A line of 64 hex digits (colons and blanks ignored), or nothing.
bool ParseFingerprintLine(const std::string &line, Fingerprint *out) {
   std::string digits;
   for (char c : line) {
      if (c == '#')
         break;
      if (c == ':' || isspace((unsigned char)c))
         continue;
      if (!isxdigit((unsigned char)c))
         return false;
      digits.push_back((char)tolower((unsigned char)c));
   }
   if (digits.size() != 2 * kFingerprintSize)
      return false;
   out->resize(kFingerprintSize);
   for (size_t i = 0; i < kFingerprintSize; i++)
      (*out)[i] = (uint8_t)std::stoi(digits.substr(2 * i, 2), nullptr, 16);
   return true;
}

bool PemKeyFingerprint(const std::string &pem, Fingerprint *out) {
   BIO *bio = BIO_new_mem_buf(pem.data(), (int)pem.size());
   EVP_PKEY *key = bio ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr) : nullptr;
   BIO_free(bio);
   unsigned char *der = nullptr;
   int length = key ? i2d_PUBKEY(key, &der) : 0;
   unsigned int size = 0;
   out->resize(kFingerprintSize);
   bool ok = length > 0 &&
             EVP_Digest(der, (size_t)length, out->data(), &size, EVP_sha256(), nullptr) == 1 &&
             size == kFingerprintSize;
   OPENSSL_free(der);
   EVP_PKEY_free(key);
   return ok;
}

// Every fingerprint a file names, by PEM key or by line.
void CollectFingerprints(const std::string &path, std::vector<Fingerprint> *found) {
   std::string text;
   if (!ReadSmallFile(path, &text)) {
      HKLOG_WARN("trusted key file %s cannot be read", path.c_str());
      return;
   }
   std::istringstream lines(text);
   std::string line, pem;
   bool inPem = false;
   while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r')
         line.pop_back();
      if (line == "-----BEGIN PUBLIC KEY-----") {
         inPem = true;
         pem.clear();
      }
      if (inPem) {
         pem += line + "\n";
         if (line == "-----END PUBLIC KEY-----") {
            inPem = false;
            Fingerprint fp;
            if (PemKeyFingerprint(pem, &fp))
               found->push_back(fp);
            else
               HKLOG_WARN("trusted key file %s holds a public key that cannot be read",
                          path.c_str());
         }
         continue;
      }
      Fingerprint fp;
      if (ParseFingerprintLine(line, &fp))
         found->push_back(fp);
   }
}

void CollectSource(const std::string &source, std::vector<Fingerprint> *found) {
   struct stat st;
   if (stat(source.c_str(), &st) != 0) {
      HKLOG_WARN("trusted server keys %s: %s", source.c_str(), strerror(errno));
      return;
   }
   if (!S_ISDIR(st.st_mode)) {
      CollectFingerprints(source, found);
      return;
   }
   DIR *dir = opendir(source.c_str());
   if (dir == nullptr) {
      HKLOG_WARN("trusted server keys %s: %s", source.c_str(), strerror(errno));
      return;
   }
   std::vector<std::string> names;
   while (struct dirent *entry = readdir(dir)) {
      if (entry->d_name[0] == '.')
         continue;  // ".", "..", and hidden files (editors' backups)
      if (names.size() == kMaxTrustFiles) {
         HKLOG_WARN("trusted server keys %s: only the first %zu files are read", source.c_str(),
                    kMaxTrustFiles);
         break;
      }
      names.emplace_back(entry->d_name);
   }
   closedir(dir);
   for (const std::string &name : names) {
      std::string path = source + "/" + name;
      if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
         CollectFingerprints(path, found);
   }
}

}  // namespace

bool IsServerKeyTrusted(const AgentConfig &config, const uint8_t *fingerprint) {
   if (config.acceptAnyServerKey)
      return true;
   if (config.trustedServerKeys.empty())
      return false;
   std::vector<Fingerprint> trusted;
   CollectSource(config.trustedServerKeys, &trusted);
   return std::any_of(trusted.begin(), trusted.end(), [&](const Fingerprint &fp) {
      return memcmp(fp.data(), fingerprint, kFingerprintSize) == 0;
   });
}

}  // namespace hkagent
