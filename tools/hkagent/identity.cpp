#include "identity.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "fd_util.h"
#include "log.h"

namespace hkagent {

namespace {

struct PkeyFree {
   void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey ReadKey(const std::string &path, std::string *error) {
   FILE *file = fopen(path.c_str(), "r");
   if (file == nullptr) {
      *error = path + ": " + strerror(errno);
      return nullptr;
   }
   struct stat st;
   if (fstat(fileno(file), &st) == 0 && (st.st_mode & 077) != 0)
      HKLOG_WARN("identity key %s is readable by others (mode %03o)", path.c_str(),
                 (unsigned)(st.st_mode & 0777));
   Pkey key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
   fclose(file);
   if (!key)
      *error = path + ": no private key in PEM form";
   return key;
}

// Made beside the file and linked into place, so a crash never leaves half
// a key and two agents starting at once agree on one.
Pkey CreateKey(const std::string &path, std::string *error) {
   Pkey key(EVP_EC_gen("P-256"));
   BIO *bio = BIO_new(BIO_s_mem());
   char *pem = nullptr;
   long length = 0;
   if (!key || bio == nullptr ||
       PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
       (length = BIO_get_mem_data(bio, &pem)) <= 0) {
      BIO_free(bio);
      *error = "cannot make a key";
      return nullptr;
   }
   std::string temp = path + ".new." + std::to_string(getpid());
   int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
   bool ok = fd >= 0 && WriteAll(fd, pem, (size_t)length) && fsync(fd) == 0;
   int saved = errno;
   if (fd >= 0)
      close(fd);
   BIO_free(bio);
   if (ok && link(temp.c_str(), path.c_str()) != 0) {
      saved = errno;
      ok = false;
   }
   unlink(temp.c_str());
   if (!ok) {
      if (saved == EEXIST)
         return ReadKey(path, error);
      *error = path + ": " + strerror(saved);
      return nullptr;
   }
   HKLOG_INFO("identity key %s made", path.c_str());
   return key;
}

}  // namespace

std::shared_ptr<HKCPTlsIdentity> LoadOrCreateIdentity(const std::string &path, std::string *error) {
   struct stat st;
   Pkey key = stat(path.c_str(), &st) == 0 ? ReadKey(path, error)
              : errno == ENOENT            ? CreateKey(path, error)
                                           : nullptr;
   if (!key) {
      if (error->empty())
         *error = path + ": " + strerror(errno);
      return nullptr;
   }
   std::shared_ptr<HKCPTlsIdentity> identity = HKCPTlsIdentity::create(key.get());
   if (!identity)
      *error = path + ": the key cannot be used for TLS";
   return identity;
}

}  // namespace hkagent
