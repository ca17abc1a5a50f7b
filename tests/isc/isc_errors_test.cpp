// ISCErrorCodeToText: one text per code, and a fixed text beyond them.
#include <gtest/gtest.h>

#include "hksrv.h"

TEST(IscErrorText, EveryCode) {
   const wchar_t *expected[] = {
       L"Success",
       L"Unknown service",
       L"Request out of state",
       L"Service disabled",
       L"Encryption required",
       L"Connection broken",
       L"Already connected",
       L"Socket error",
       L"Connect failed",
       L"Invalid or incompatible HKCP version",
       L"Request timed out",
       L"Command or function not implemented",
       L"No suitable ciphers found",
       L"Invalid public key",
       L"Invalid session key",
       L"Internal error",
       L"Session setup failed",
       L"Object not found",
       L"Failed to post event",
   };
   for (uint32_t code = 0; code < 19; code++)
      EXPECT_STREQ(ISCErrorCodeToText(code), expected[code]) << code;
   EXPECT_STREQ(ISCErrorCodeToText(ISC_ERR_POST_EVENT_FAILED), L"Failed to post event");
}

TEST(IscErrorText, UnknownCodes) {
   EXPECT_STREQ(ISCErrorCodeToText(19), L"Unknown error code");
   EXPECT_STREQ(ISCErrorCodeToText(400), L"Unknown error code");
   EXPECT_STREQ(ISCErrorCodeToText(4294967295u), L"Unknown error code");
}
