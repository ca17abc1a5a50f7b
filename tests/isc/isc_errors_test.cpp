// ISCErrorCodeToText: one text per code, and a fixed text beyond them; the
// slot order of the class's virtual functions.
#include <gtest/gtest.h>

#include "hksrv.h"
#include "support/vtable_slot.h"

// Classes built elsewhere derive from ISC: PrintMsg holds the first slot,
// the destructor comes after it.
struct IscPrintMsgSlot : ISC {
   static size_t slot() { return VtableSlot(&IscPrintMsgSlot::PrintMsg); }
};

TEST(IscLayout, PrintMsgPrecedesTheDestructor) {
   EXPECT_EQ(0u, IscPrintMsgSlot::slot());
}

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
       L"TLS setup failed",
       L"Peer key not pinned",
       L"Peer key not trusted",
   };
   for (uint32_t code = 0; code < 22; code++)
      EXPECT_STREQ(ISCErrorCodeToText(code), expected[code]) << code;
   EXPECT_STREQ(ISCErrorCodeToText(ISC_ERR_POST_EVENT_FAILED), L"Failed to post event");
}

TEST(IscErrorText, UnknownCodes) {
   EXPECT_STREQ(ISCErrorCodeToText(22), L"Unknown error code");  // past the last
   EXPECT_STREQ(ISCErrorCodeToText(400), L"Unknown error code");
   EXPECT_STREQ(ISCErrorCodeToText(4294967295u), L"Unknown error code");
}
