// Object identifiers: text parsing and printing, comparison.
#include <gtest/gtest.h>

#include <vector>

#include "hksnmp.h"

namespace {

std::vector<uint32_t> Parse(const wchar_t *text, size_t max = SNMP_MAX_OID_LENGTH) {
   uint32_t components[SNMP_MAX_OID_LENGTH + 1];
   size_t count = SNMPParseOID(text, components, max);
   return std::vector<uint32_t>(components, components + count);
}

TEST(SnmpParseOid, AcceptsTextWithAndWithoutLeadingDot) {
   std::vector<uint32_t> expected = {1, 3, 6, 1, 2, 1, 1, 1, 0};
   EXPECT_EQ(Parse(L"1.3.6.1.2.1.1.1.0"), expected);
   EXPECT_EQ(Parse(L".1.3.6.1.2.1.1.1.0"), expected);
   uint32_t narrow[8];
   EXPECT_EQ(SNMPParseOID(".1.3.6", narrow, 8), 3u);
   EXPECT_EQ(narrow[2], 6u);
}

TEST(SnmpParseOid, SingleComponentAndLargestComponent) {
   EXPECT_EQ(Parse(L"1"), std::vector<uint32_t>{1});
   EXPECT_EQ(Parse(L".0"), std::vector<uint32_t>{0});
   EXPECT_EQ(Parse(L"1.4294967295"), (std::vector<uint32_t>{1, 4294967295u}));
   EXPECT_EQ(Parse(L"1.004"), (std::vector<uint32_t>{1, 4}));
}

TEST(SnmpParseOid, RejectsBadText) {
   const wchar_t *bad[] = {L"",
                           L".",
                           L"..1",
                           L"1..3",
                           L"1.3.",
                           L"1.3.6.x",
                           L"a.b",
                           L" 1.3",
                           L"1.3 ",
                           L"1,3",
                           L"-1.3",
                           L"+1.3",
                           L"1.3.6.1.4294967296",
                           L"1.99999999999999999999",
                           L"1.3\n",
                           L"\x661.3"};
   for (const wchar_t *text : bad) {
      uint32_t components[SNMP_MAX_OID_LENGTH];
      EXPECT_EQ(SNMPParseOID(text, components, SNMP_MAX_OID_LENGTH), 0u)
          << "accepted a bad OID text";
   }
   uint32_t components[4];
   EXPECT_EQ(SNMPParseOID(static_cast<const wchar_t *>(nullptr), components, 4), 0u);
}

TEST(SnmpParseOid, HonoursTheComponentLimit) {
   std::wstring text = L"1";
   for (int i = 1; i < 128; i++) {
      text += L".1";
   }
   EXPECT_EQ(Parse(text.c_str()).size(), 128u);
   EXPECT_EQ(Parse((text + L".1").c_str()).size(), 0u);  // 129 components
   EXPECT_EQ(Parse(L"1.3.6", 2).size(), 0u);
   EXPECT_EQ(Parse(L"1.3.6", 3).size(), 3u);
}

TEST(SnmpConvertOidToText, WritesLeadingDotAndCutsToTheBuffer) {
   const uint32_t oid[] = {1, 3, 6, 1, 4294967295u};
   wchar_t text[64];
   EXPECT_STREQ(SNMPConvertOIDToText(5, oid, text, 64), L".1.3.6.1.4294967295");
   EXPECT_STREQ(SNMPConvertOIDToText(0, oid, text, 64), L"");
   wchar_t small[6];
   EXPECT_STREQ(SNMPConvertOIDToText(5, oid, small, 6), L".1.3.");
   wchar_t one[1] = {L'x'};
   SNMPConvertOIDToText(5, oid, one, 1);
   EXPECT_EQ(one[0], 0);
}

TEST(SnmpObjectId, CompareOrdersLikeAWalk) {
   const uint32_t a[] = {1, 3, 6, 1, 2};
   const uint32_t b[] = {1, 3, 6, 1, 10};
   SNMP_ObjectId oid(a, 5);
   EXPECT_EQ(oid.compare(a, 5), 0);
   EXPECT_LT(oid.compare(b, 5), 0);
   EXPECT_GT(SNMP_ObjectId(b, 5).compare(oid), 0);
   EXPECT_GT(oid.compare(a, 4), 0);  // a prefix sorts first
   EXPECT_LT(SNMP_ObjectId(a, 4).compare(oid), 0);
   EXPECT_TRUE(oid.startsWith(a, 4));
   EXPECT_TRUE(oid.startsWith(a, 0));
   EXPECT_FALSE(oid.startsWith(b, 5));
   EXPECT_FALSE(SNMP_ObjectId(a, 4).startsWith(a, 5));
}

TEST(SnmpObjectId, CopiesAreIndependent) {
   const uint32_t a[] = {1, 3, 6};
   SNMP_ObjectId oid(a, 3);
   SNMP_ObjectId copy(oid);
   copy.extend(7);
   EXPECT_EQ(oid.getLength(), 3u);
   EXPECT_EQ(copy.getLength(), 4u);
   EXPECT_EQ(copy.getValue()[3], 7u);
   oid = copy;
   EXPECT_EQ(oid.compare(copy), 0);
   SNMP_ObjectId empty;
   EXPECT_EQ(empty.getLength(), 0u);
   EXPECT_EQ(empty.getValue(), nullptr);
   wchar_t text[8];
   EXPECT_STREQ(empty.getText(text, 8), L"");
}

TEST(SnmpErrorText, KnownAndUnknownCodes) {
   EXPECT_STREQ(SNMPGetErrorText(SNMP_ERR_SUCCESS), L"Success");
   EXPECT_STREQ(SNMPGetErrorText(SNMP_ERR_TIMEOUT), L"Request timed out");
   EXPECT_STREQ(SNMPGetErrorText(SNMP_ERR_NO_SUCH_OBJECT), L"No such object");
   EXPECT_STREQ(SNMPGetErrorText(12345), L"Unknown error");
   for (uint32_t code = 0; code <= SNMP_ERR_ENCODING; code++) {
      EXPECT_STRNE(SNMPGetErrorText(code), L"Unknown error") << code;
   }
}

}  // namespace
