// The library takes the key as OpenSSL's RSA type, whose accessors OpenSSL 3
// marks deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "server_key.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hesker.h"

namespace hktool {

namespace {

std::string ErrnoText(const std::string &what, const std::string &path) {
   return what + " " + path + ": " + strerror(errno);
}

// Creates every missing folder of path's parent with mode 0700.
bool MakeParentDirs(const std::string &path, std::string *error) {
   for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
      std::string dir = path.substr(0, pos);
      if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
         *error = ErrnoText("cannot create folder", dir);
         return false;
      }
   }
   return true;
}

RSA *ReadKey(const std::string &path, std::string *warning, std::string *error) {
   FILE *file = fopen(path.c_str(), "r");
   if (file == nullptr) {
      *error = ErrnoText("cannot open key file", path);
      return nullptr;
   }
   struct stat info;
   if (fstat(fileno(file), &info) == 0 && (info.st_mode & 077) != 0)
      *warning = "key file " + path + " can be read by others; chmod 600 it";
   EVP_PKEY *pkey = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
   fclose(file);
   RSA *rsa = (pkey != nullptr) ? EVP_PKEY_get1_RSA(pkey) : nullptr;
   EVP_PKEY_free(pkey);
   if (rsa == nullptr)
      *error = "key file " + path + " holds no RSA private key";
   return rsa;
}

// Generates a key into a new file of its own (mkstemp: mode 0600, a name
// no one else uses) beside path; its name in *tempPath. True on success.
bool WriteNewKey(const std::string &path, std::string *tempPath, std::string *error) {
   *tempPath = path + ".tmp.XXXXXX";
   int fd = mkstemp(tempPath->data());
   if (fd < 0) {
      *error = ErrnoText("cannot create a file beside", path);
      tempPath->clear();
      return false;
   }
   FILE *file = fdopen(fd, "w");
   if (file == nullptr) {
      close(fd);
      *error = ErrnoText("cannot write", *tempPath);
      return false;
   }
   EVP_PKEY *pkey = EVP_RSA_gen(2048);
   bool ok = pkey != nullptr &&
             PEM_write_PrivateKey(file, pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1;
   EVP_PKEY_free(pkey);
   ok = (fflush(file) == 0) && ok;
   ok = (fsync(fileno(file)) == 0) && ok;
   ok = (fclose(file) == 0) && ok;
   if (!ok)
      *error = "cannot generate a key into " + *tempPath;
   return ok;
}

}  // namespace

std::string DefaultServerKeyPath() {
   const char *config = getenv("XDG_CONFIG_HOME");
   if (config != nullptr && config[0] == '/')
      return std::string(config) + "/hksrv/server-key.pem";
   const char *home = getenv("HOME");
   if (home != nullptr && home[0] != '\0')
      return std::string(home) + "/.config/hksrv/server-key.pem";
   return "";
}

RSA *LoadOrCreateServerKey(const std::string &path, bool *created, std::string *warning,
                           std::string *error) {
   *created = false;
   if (path.empty()) {
      *error = "no key file: give --key FILE (or set HOME)";
      return nullptr;
   }
   if (access(path.c_str(), F_OK) == 0)
      return ReadKey(path, warning, error);
   if (errno != ENOENT) {
      *error = ErrnoText("cannot reach key file", path);
      return nullptr;
   }
   if (!MakeParentDirs(path, error))
      return nullptr;
   std::string temp;
   if (!WriteNewKey(path, &temp, error)) {
      if (!temp.empty())
         unlink(temp.c_str());
      return nullptr;
   }
   // link() never replaces: when another process made the key first, its
   // key is the one used.
   int linked = link(temp.c_str(), path.c_str());
   int linkErrno = errno;
   unlink(temp.c_str());
   if (linked != 0 && linkErrno != EEXIST) {
      errno = linkErrno;
      *error = ErrnoText("cannot store key file", path);
      return nullptr;
   }
   *created = (linked == 0);
   return ReadKey(path, warning, error);
}

bool DescribePublicKey(RSA *key, std::string *fingerprint, std::string *pem) {
   uint8_t digest[HKCP_KEY_FINGERPRINT_SIZE];
   if (key == nullptr || !HKCPKeyFingerprint(key, digest))
      return false;
   *fingerprint = HKCPFingerprintText(digest);
   BIO *bio = BIO_new(BIO_s_mem());
   bool ok = bio != nullptr && PEM_write_bio_RSA_PUBKEY(bio, key) == 1;
   char *data = nullptr;
   long length = ok ? BIO_get_mem_data(bio, &data) : 0;
   ok = ok && length > 0;
   if (ok)
      pem->assign(data, (size_t)length);
   BIO_free(bio);
   return ok;
}

}  // namespace hktool
