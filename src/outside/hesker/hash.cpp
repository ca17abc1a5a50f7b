// Message digests for agent authentication.
#include <openssl/evp.h>

#include <cstring>

#include "hk_util.h"

namespace {

// digest receives size bytes; all zero if the digest cannot be computed
// (a provider without the algorithm), so no caller reads stale memory.
void Digest(const EVP_MD *md, const uint8_t *data, size_t length, uint8_t *digest, size_t size) {
   static const uint8_t kEmpty = 0;
   unsigned int written = 0;
   if (md == nullptr ||
       EVP_Digest(length > 0 ? data : &kEmpty, length, digest, &written, md, nullptr) != 1 ||
       written != size)
      memset(digest, 0, size);
}

}  // namespace

void CalculateMD5Hash(const uint8_t *data, size_t length, uint8_t *digest) {
   Digest(EVP_md5(), data, length, digest, MD5_DIGEST_SIZE);
}

void CalculateSHA1Hash(const uint8_t *data, size_t length, uint8_t *digest) {
   Digest(EVP_sha1(), data, length, digest, SHA1_DIGEST_SIZE);
}
