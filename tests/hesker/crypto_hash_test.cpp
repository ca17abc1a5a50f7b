// MD5 and SHA-1 against published test vectors (RFC 1321, FIPS 180).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto_util.h"
#include "hk_util.h"

using crypto_test::Hex;

namespace {

std::string Md5(const std::string &text) {
   uint8_t digest[MD5_DIGEST_SIZE];
   CalculateMD5Hash(reinterpret_cast<const uint8_t *>(text.data()), text.size(), digest);
   return Hex(digest, sizeof(digest));
}

std::string Sha1(const std::string &text) {
   uint8_t digest[SHA1_DIGEST_SIZE];
   CalculateSHA1Hash(reinterpret_cast<const uint8_t *>(text.data()), text.size(), digest);
   return Hex(digest, sizeof(digest));
}

TEST(CryptoHash, Md5KnownVectors) {
   EXPECT_EQ(Md5(""), "d41d8cd98f00b204e9800998ecf8427e");
   EXPECT_EQ(Md5("a"), "0cc175b9c0f1b6a831c399e269772661");
   EXPECT_EQ(Md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
   EXPECT_EQ(Md5("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
   EXPECT_EQ(
       Md5("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
       "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(CryptoHash, Sha1KnownVectors) {
   EXPECT_EQ(Sha1(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
   EXPECT_EQ(Sha1("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
   EXPECT_EQ(Sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
             "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
   EXPECT_EQ(Sha1(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// The empty input may come as a null pointer (an empty secret).
TEST(CryptoHash, EmptyInputWithNullPointer) {
   uint8_t md5[MD5_DIGEST_SIZE];
   uint8_t sha1[SHA1_DIGEST_SIZE];
   memset(md5, 0xAA, sizeof(md5));
   memset(sha1, 0xAA, sizeof(sha1));
   CalculateMD5Hash(nullptr, 0, md5);
   CalculateSHA1Hash(nullptr, 0, sha1);
   EXPECT_EQ(Hex(md5, sizeof(md5)), "d41d8cd98f00b204e9800998ecf8427e");
   EXPECT_EQ(Hex(sha1, sizeof(sha1)), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

// Only the given bytes count: a NUL or bytes beyond the length change nothing.
TEST(CryptoHash, DigestCoversExactlyTheLength) {
   const uint8_t bytes[] = {'a', 'b', 'c', 0, 'x'};
   uint8_t digest[SHA1_DIGEST_SIZE];
   CalculateSHA1Hash(bytes, 3, digest);
   EXPECT_EQ(Hex(digest, sizeof(digest)), "a9993e364706816aba3e25717850c26c9cd0d89d");
   CalculateSHA1Hash(bytes, 4, digest);
   EXPECT_NE(Hex(digest, sizeof(digest)), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

}  // namespace
