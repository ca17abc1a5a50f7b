// The BER codec: exact bytes of known messages, round trips of every value
// type at its edges, and the variable's value conversions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "hksnmp.h"

namespace {

std::vector<uint8_t> Encode(const SNMP_PDU &pdu, const char *community = "public") {
   SNMP_SecurityContext context(community);
   uint8_t *buffer = nullptr;
   size_t length = pdu.encode(&buffer, &context);
   std::vector<uint8_t> bytes(buffer, buffer + length);
   free(buffer);
   return bytes;
}

SNMP_Variable *Named(std::initializer_list<uint32_t> oid) {
   std::vector<uint32_t> components(oid);
   return new SNMP_Variable(components.data(), components.size());
}

TEST(SnmpEncode, GetRequestHasTheExactBytes) {
   SNMP_PDU pdu(SNMP_GET_REQUEST, 1, SNMP_VERSION_2C);
   pdu.bindVariable(Named({1, 3, 6, 1, 2, 1, 1, 1, 0}));
   const std::vector<uint8_t> expected = {
       0x30, 0x26, 0x02, 0x01, 0x01, 0x04, 0x06, 'p',  'u',  'b',  'l',  'i',  'c',  0xA0,
       0x19, 0x02, 0x01, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x0E, 0x30, 0x0C,
       0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x05, 0x00};
   EXPECT_EQ(Encode(pdu), expected);
}

TEST(SnmpEncode, GetNextInSnmpV1WithLargeRequestIdAndSubIdentifiers) {
   SNMP_PDU pdu(SNMP_GET_NEXT_REQUEST, 0x80000000u, SNMP_VERSION_1);
   pdu.bindVariable(Named({1, 3, 6, 1, 4, 1, 8072, 4294967295u}));
   // The request id is a negative INTEGER on the wire; 8072 is BF 08 and
   // 2^32-1 is 8F FF FF FF 7F.
   const std::vector<uint8_t> expected = {
       0x30, 0x28, 0x02, 0x01, 0x00, 0x04, 0x01, 'c',  0xA1, 0x20, 0x02, 0x04, 0x80, 0x00,
       0x00, 0x00, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x12, 0x30, 0x10, 0x06, 0x0C,
       0x2B, 0x06, 0x01, 0x04, 0x01, 0xBF, 0x08, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 0x05, 0x00};
   EXPECT_EQ(Encode(pdu, "c"), expected);
}

TEST(SnmpEncode, LongFormLengthsAboveOneTwentySeven) {
   SNMP_PDU pdu(SNMP_RESPONSE, 9, SNMP_VERSION_2C);
   auto *v = Named({1, 3, 6, 1, 2, 1, 1, 1, 0});
   std::vector<uint8_t> text(300, 'x');
   ASSERT_TRUE(v->setValue(ASN_OCTET_STRING, text.data(), text.size()));
   pdu.bindVariable(v);
   std::vector<uint8_t> bytes = Encode(pdu);
   ASSERT_GT(bytes.size(), 300u);
   EXPECT_EQ(bytes[0], 0x30);
   EXPECT_EQ(bytes[1], 0x82);  // two length bytes
   EXPECT_EQ(static_cast<size_t>(bytes[2] << 8 | bytes[3]), bytes.size() - 4);
   SNMP_PDU parsed;
   ASSERT_TRUE(parsed.parse(bytes.data(), bytes.size(), nullptr, false));
   EXPECT_EQ(parsed.getVariable(0)->getValueLength(), 300u);
}

TEST(SnmpEncode, RefusesWhatItCannotCarry) {
   uint8_t *buffer = reinterpret_cast<uint8_t *>(1);
   {
      SNMP_PDU bulkV1(SNMP_GET_BULK_REQUEST, 1, SNMP_VERSION_1);
      EXPECT_EQ(bulkV1.encode(&buffer, nullptr), 0u);
      EXPECT_EQ(buffer, nullptr);
   }
   {
      SNMP_PDU trap(4, 1, SNMP_VERSION_1);  // the SNMPv1 trap layout is not supported
      EXPECT_EQ(trap.encode(&buffer, nullptr), 0u);
   }
   {
      SNMP_PDU v3(SNMP_GET_REQUEST, 1, 3);
      EXPECT_EQ(v3.encode(&buffer, nullptr), 0u);
   }
   for (auto oid :
        {std::vector<uint32_t>{3, 1}, std::vector<uint32_t>{1, 40}, std::vector<uint32_t>{}}) {
      SNMP_PDU pdu(SNMP_GET_REQUEST, 1);
      pdu.bindVariable(new SNMP_Variable(oid.data(), oid.size()));
      EXPECT_EQ(pdu.encode(&buffer, nullptr), 0u);
   }
   {
      std::vector<uint32_t> tooLong(SNMP_MAX_OID_LENGTH + 1, 1);
      SNMP_PDU pdu(SNMP_GET_REQUEST, 1);
      pdu.bindVariable(new SNMP_Variable(tooLong.data(), tooLong.size()));
      EXPECT_EQ(pdu.encode(&buffer, nullptr), 0u);
   }
   {
      SNMP_PDU pdu(SNMP_RESPONSE, 1);
      std::vector<uint8_t> big(40000, 'b');
      for (int i = 0; i < 2; i++) {
         auto *v = Named({1, 3, 6, 1});
         ASSERT_TRUE(v->setValue(ASN_OCTET_STRING, big.data(), big.size()));
         pdu.bindVariable(v);
      }
      EXPECT_EQ(pdu.encode(&buffer, nullptr), 0u);  // above one datagram
   }
   EXPECT_EQ(SNMP_PDU(SNMP_GET_REQUEST, 1).encode(nullptr, nullptr), 0u);
}

TEST(SnmpEncode, NullContextMeansPublicAndSingleComponentIsPadded) {
   SNMP_PDU pdu(SNMP_GET_NEXT_REQUEST, 5);
   pdu.bindVariable(Named({1}));
   uint8_t *buffer = nullptr;
   size_t length = pdu.encode(&buffer, nullptr);
   ASSERT_GT(length, 0u);
   SNMP_PDU parsed;
   ASSERT_TRUE(parsed.parse(buffer, length, nullptr, false));
   free(buffer);
   EXPECT_STREQ(parsed.getCommunity(), "public");
   const SNMP_ObjectId *name = parsed.getVariable(0)->getName();
   ASSERT_EQ(name->getLength(), 2u);  // carried as 1.0
   EXPECT_EQ(name->getValue()[0], 1u);
   EXPECT_EQ(name->getValue()[1], 0u);
}

// Every value type at its edges survives encode and parse unchanged.
TEST(SnmpRoundTrip, EveryTypeAtItsEdges) {
   struct Case {
      uint32_t type;
      std::vector<uint8_t> value;
   };
   auto u32 = [](uint32_t v) {
      std::vector<uint8_t> b(4);
      memcpy(b.data(), &v, 4);
      return b;
   };
   auto u64 = [](uint64_t v) {
      std::vector<uint8_t> b(8);
      memcpy(b.data(), &v, 8);
      return b;
   };
   auto oid = [](std::vector<uint32_t> c) {
      std::vector<uint8_t> b(c.size() * 4);
      memcpy(b.data(), c.data(), b.size());
      return b;
   };
   std::vector<uint32_t> longOid(SNMP_MAX_OID_LENGTH, 4294967295u);
   longOid[0] = 2;
   const std::vector<Case> cases = {
       {ASN_INTEGER, u32(0)},
       {ASN_INTEGER, u32(127)},
       {ASN_INTEGER, u32(128)},
       {ASN_INTEGER, u32(static_cast<uint32_t>(-1))},
       {ASN_INTEGER, u32(static_cast<uint32_t>(-129))},
       {ASN_INTEGER, u32(0x7FFFFFFF)},
       {ASN_INTEGER, u32(0x80000000)},
       {ASN_COUNTER32, u32(0)},
       {ASN_COUNTER32, u32(0xFFFFFFFF)},
       {ASN_GAUGE32, u32(0x80000000)},
       {ASN_TIMETICKS, u32(123456)},
       {ASN_UINTEGER32, u32(0xFFFFFFFF)},
       {ASN_COUNTER64, u64(0)},
       {ASN_COUNTER64, u64(0xFFFFFFFFFFFFFFFFull)},
       {ASN_COUNTER64, u64(0x8000000000000000ull)},
       {ASN_COUNTER64, u64(0x100000000ull)},
       {ASN_IP_ADDR, {192, 168, 1, 10}},
       {ASN_OCTET_STRING, {}},
       {ASN_OCTET_STRING, {0, 1, 0xFF, 0x80, 'a'}},
       {ASN_OPAQUE, {0x9F, 0x78, 0x04, 0x41, 0x20, 0, 0}},
       {ASN_OBJECT_ID, oid({0, 0})},
       {ASN_OBJECT_ID, oid({1, 39})},
       {ASN_OBJECT_ID, oid({2, 4294967295u})},
       {ASN_OBJECT_ID, oid(longOid)},
       {ASN_NULL, {}},
       {ASN_NO_SUCH_OBJECT, {}},
       {ASN_NO_SUCH_INSTANCE, {}},
       {ASN_END_OF_MIBVIEW, {}},
   };
   SNMP_PDU pdu(SNMP_RESPONSE, 0xFFFFFFFFu, SNMP_VERSION_2C);
   pdu.setErrorCode(SNMP_PDU_ERR_NOT_WRITABLE);
   pdu.setErrorIndex(0x7FFFFFFF);
   for (size_t i = 0; i < cases.size(); i++) {
      auto *v = Named({1, 3, 6, 1, 4, 1, 99999, static_cast<uint32_t>(i)});
      ASSERT_TRUE(v->setValue(cases[i].type, cases[i].value.data(), cases[i].value.size())) << i;
      pdu.bindVariable(v);
   }
   std::vector<uint8_t> bytes = Encode(pdu, "a community");
   ASSERT_FALSE(bytes.empty());
   SNMP_PDU parsed;
   ASSERT_TRUE(parsed.parse(bytes.data(), bytes.size(), nullptr, false));
   EXPECT_EQ(parsed.getVersion(), SNMP_VERSION_2C);
   EXPECT_EQ(parsed.getCommand(), SNMP_RESPONSE);
   EXPECT_EQ(parsed.getRequestId(), 0xFFFFFFFFu);
   EXPECT_EQ(parsed.getErrorCode(), SNMP_PDU_ERR_NOT_WRITABLE);
   EXPECT_EQ(parsed.getErrorIndex(), 0x7FFFFFFFu);
   EXPECT_STREQ(parsed.getCommunity(), "a community");
   ASSERT_EQ(parsed.getNumVariables(), static_cast<int>(cases.size()));
   for (size_t i = 0; i < cases.size(); i++) {
      SNMP_Variable *v = parsed.getVariable(static_cast<int>(i));
      EXPECT_EQ(v->getType(), cases[i].type) << i;
      EXPECT_EQ(std::vector<uint8_t>(v->getValue(), v->getValue() + v->getValueLength()),
                cases[i].value)
          << i;
      EXPECT_EQ(v->getName()->getValue()[7], i);
   }
   EXPECT_EQ(parsed.getVariable(static_cast<int>(cases.size())), nullptr);
   EXPECT_EQ(parsed.getVariable(-1), nullptr);
}

TEST(SnmpRoundTrip, GetBulkCarriesItsCounts) {
   SNMP_PDU pdu(SNMP_GET_BULK_REQUEST, 3, SNMP_VERSION_2C);
   pdu.setNonRepeaters(2);
   pdu.setMaxRepetitions(25);
   pdu.bindVariable(Named({1, 3, 6}));
   std::vector<uint8_t> bytes = Encode(pdu);
   SNMP_PDU parsed;
   ASSERT_TRUE(parsed.parse(bytes.data(), bytes.size(), nullptr, false));
   EXPECT_EQ(parsed.getCommand(), SNMP_GET_BULK_REQUEST);
   EXPECT_EQ(parsed.getNonRepeaters(), 2u);
   EXPECT_EQ(parsed.getMaxRepetitions(), 25u);
}

TEST(SnmpParse, CommunityCheck) {
   SNMP_PDU pdu(SNMP_RESPONSE, 3);
   std::vector<uint8_t> bytes = Encode(pdu, "right");
   SNMP_SecurityContext right("right"), wrong("wrong"), prefix("righ");
   SNMP_PDU parsed;
   EXPECT_TRUE(parsed.parse(bytes.data(), bytes.size(), &right, true));
   EXPECT_FALSE(parsed.parse(bytes.data(), bytes.size(), &wrong, true));
   EXPECT_EQ(parsed.getNumVariables(), 0);
   EXPECT_STREQ(parsed.getCommunity(), "");
   EXPECT_FALSE(parsed.parse(bytes.data(), bytes.size(), &prefix, true));
   EXPECT_TRUE(parsed.parse(bytes.data(), bytes.size(), &wrong, false));
   EXPECT_TRUE(parsed.parse(bytes.data(), bytes.size(), nullptr, true));
   EXPECT_STREQ(parsed.getCommunity(), "right");
}

TEST(SnmpParse, ReparsingReplacesTheContents) {
   SNMP_PDU first(SNMP_RESPONSE, 1);
   first.bindVariable(Named({1, 3, 1}));
   first.bindVariable(Named({1, 3, 2}));
   SNMP_PDU second(SNMP_GET_REQUEST, 2, SNMP_VERSION_1);
   second.bindVariable(Named({1, 3, 3}));
   std::vector<uint8_t> a = Encode(first), b = Encode(second);
   SNMP_PDU parsed;
   ASSERT_TRUE(parsed.parse(a.data(), a.size(), nullptr, false));
   ASSERT_TRUE(parsed.parse(b.data(), b.size(), nullptr, false));
   EXPECT_EQ(parsed.getNumVariables(), 1);
   EXPECT_EQ(parsed.getRequestId(), 2u);
   EXPECT_EQ(parsed.getVersion(), SNMP_VERSION_1);
   EXPECT_EQ(parsed.getVariable(0)->getName()->getValue()[2], 3u);
}

TEST(SnmpVariable, SetValueChecksLengths) {
   SNMP_Variable v;
   uint8_t bytes[8] = {};
   EXPECT_FALSE(v.setValue(ASN_INTEGER, bytes, 3));
   EXPECT_FALSE(v.setValue(ASN_IP_ADDR, bytes, 5));
   EXPECT_FALSE(v.setValue(ASN_COUNTER64, bytes, 4));
   EXPECT_FALSE(v.setValue(ASN_NULL, bytes, 1));
   EXPECT_FALSE(v.setValue(ASN_OBJECT_ID, bytes, 6));
   EXPECT_FALSE(v.setValue(ASN_OBJECT_ID, bytes, 0));
   EXPECT_FALSE(v.setValue(0x45, bytes, 1));  // unknown type
   EXPECT_FALSE(v.setValue(ASN_OCTET_STRING, nullptr, 3));
   EXPECT_EQ(v.getType(), ASN_NULL);  // unchanged by the refusals
   EXPECT_TRUE(v.setValueFromUInt32(ASN_GAUGE32, 7));
   EXPECT_EQ(v.GetValueAsUInt(), 7u);
   SNMP_Variable copy(v);
   EXPECT_TRUE(v.setValueFromUInt64(ASN_COUNTER64, 1ull << 40));
   EXPECT_EQ(copy.getType(), ASN_GAUGE32);
   EXPECT_EQ(copy.GetValueAsUInt(), 7u);
   EXPECT_EQ(v.GetValueAsUInt64(), 1ull << 40);
}

TEST(SnmpVariable, NumericConversions) {
   SNMP_Variable v;
   ASSERT_TRUE(v.setValueFromUInt32(ASN_INTEGER, static_cast<uint32_t>(-5)));
   EXPECT_EQ(v.GetValueAsInt(), -5);
   wchar_t text[64];
   EXPECT_STREQ(v.GetValueAsString(text, 64), L"-5");
   ASSERT_TRUE(v.setValueFromUInt32(ASN_COUNTER32, 0xFFFFFFFF));
   EXPECT_STREQ(v.GetValueAsString(text, 64), L"4294967295");
   EXPECT_EQ(v.GetValueAsUInt64(), 0xFFFFFFFFull);
   const uint8_t ip[4] = {10, 0, 0, 255};
   ASSERT_TRUE(v.setValue(ASN_IP_ADDR, ip, 4));
   EXPECT_EQ(ntohl(v.GetValueAsUInt()), 0x0A0000FFu);
   EXPECT_STREQ(v.GetValueAsString(text, 64), L"10.0.0.255");
   EXPECT_STREQ(v.GetValueAsString(text, 5), L"10.0");  // cut, terminated
   ASSERT_TRUE(v.setValue(ASN_NULL, nullptr, 0));
   EXPECT_EQ(v.GetValueAsInt(), 0);
   EXPECT_STREQ(v.GetValueAsString(text, 64), L"");
   EXPECT_EQ(v.GetValueAsString(nullptr, 64), nullptr);
   EXPECT_EQ(v.GetValueAsString(text, 0), nullptr);
}

TEST(SnmpVariable, StringConversions) {
   SNMP_Variable v;
   const uint8_t latin[] = {'c', 'a', 'f', 0xE9};
   ASSERT_TRUE(v.setValue(ASN_OCTET_STRING, latin, 4));
   wchar_t text[64];
   EXPECT_STREQ(v.GetValueAsString(text, 64), L"caf\u00E9");
   EXPECT_STREQ(v.GetValueAsString(text, 3), L"ca");
   bool hex = true;
   EXPECT_STREQ(v.getValueAsPrintableString(text, 64, &hex), L"caf\u00E9");
   EXPECT_FALSE(hex);

   const uint8_t mac[] = {0x00, 0x1A, 0x2B, 0xFF, 0x10, 0x01};
   ASSERT_TRUE(v.setValue(ASN_OCTET_STRING, mac, 6));
   hex = true;
   EXPECT_STREQ(v.getValueAsPrintableString(text, 64, &hex), L"00 1A 2B FF 10 01");
   EXPECT_TRUE(hex);
   hex = false;  // the caller does not want hexadecimal
   EXPECT_STREQ(v.getValueAsPrintableString(text, 64, &hex), L"");  // stops at the NUL byte
   EXPECT_FALSE(hex);
   hex = true;
   EXPECT_STREQ(v.getValueAsPrintableString(text, 9, &hex), L"00 1A 2B");  // whole bytes only
   uint8_t raw[4];
   EXPECT_EQ(v.getRawValue(raw, 4), 4u);
   EXPECT_EQ(memcmp(raw, mac, 4), 0);
   EXPECT_EQ(v.getRawValue(nullptr, 4), 0u);

   const uint32_t oid[] = {1, 3, 6, 1, 4, 1, 8072};
   ASSERT_TRUE(v.setValue(ASN_OBJECT_ID, oid, sizeof(oid)));
   EXPECT_STREQ(v.GetValueAsString(text, 64), L".1.3.6.1.4.1.8072");
   hex = true;
   EXPECT_STREQ(v.getValueAsPrintableString(text, 64, &hex), L".1.3.6.1.4.1.8072");
   EXPECT_FALSE(hex);
}

TEST(SnmpSecurityContext, CommunityIsCopiedAndCapped) {
   SNMP_SecurityContext defaults;
   EXPECT_STREQ(defaults.getCommunity(), "public");
   std::string longName(400, 'c');
   SNMP_SecurityContext capped(longName.c_str());
   EXPECT_EQ(strlen(capped.getCommunity()), SNMP_MAX_COMMUNITY_LENGTH);
   SNMP_SecurityContext none(nullptr);
   EXPECT_STREQ(none.getCommunity(), "");
   SNMP_SecurityContext copy(defaults);
   defaults.setCommunity("private");
   EXPECT_STREQ(copy.getCommunity(), "public");
   EXPECT_STREQ(defaults.getCommunity(), "private");
}

}  // namespace
