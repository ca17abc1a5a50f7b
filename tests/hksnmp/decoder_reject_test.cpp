// The parser is strict and bounded: each malformed field, one at a time,
// makes the whole message fail, and the few leniencies towards deployed
// agents are pinned down as well.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hksnmp.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
   Bytes out;
   for (const Bytes &p : parts) {
      out.insert(out.end(), p.begin(), p.end());
   }
   return out;
}

// A tag-length-value element with a minimal definite length.
Bytes Tlv(uint8_t tag, const Bytes &content) {
   Bytes out = {tag};
   size_t n = content.size();
   if (n < 0x80) {
      out.push_back(static_cast<uint8_t>(n));
   } else if (n < 0x100) {
      out.insert(out.end(), {0x81, static_cast<uint8_t>(n)});
   } else {
      out.insert(out.end(), {0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
   }
   out.insert(out.end(), content.begin(), content.end());
   return out;
}

Bytes Seq(const Bytes &content) {
   return Tlv(0x30, content);
}
Bytes Int(const Bytes &content) {
   return Tlv(0x02, content);
}
Bytes Str(const std::string &text) {
   return Tlv(0x04, Bytes(text.begin(), text.end()));
}

const Bytes kName = {0x2B, 6, 1, 2, 1, 1, 1, 0};  // 1.3.6.1.2.1.1.1.0

Bytes VarBind(const Bytes &value, const Bytes &nameContent = kName) {
   return Seq(Cat({Tlv(0x06, nameContent), value}));
}

Bytes Pdu(const Bytes &varbinds, uint8_t tag = 0xA2, const Bytes &requestId = Int({0x01}),
          const Bytes &errorStatus = Int({0x00}), const Bytes &errorIndex = Int({0x00})) {
   return Tlv(tag, Cat({requestId, errorStatus, errorIndex, Seq(varbinds)}));
}

Bytes Message(const Bytes &pdu, const Bytes &version = Int({0x01}),
              const Bytes &community = Str("public")) {
   return Seq(Cat({version, community, pdu}));
}

Bytes ValueMessage(const Bytes &value) {
   return Message(Pdu(VarBind(value)));
}

bool Parses(const Bytes &bytes) {
   SNMP_PDU pdu;
   bool ok = pdu.parse(bytes.data(), bytes.size(), nullptr, false);
   if (!ok) {
      EXPECT_EQ(pdu.getNumVariables(), 0) << "a refused message left variables behind";
   }
   return ok;
}

TEST(SnmpDecoder, TheBaseMessageParses) {
   ASSERT_TRUE(Parses(ValueMessage(Tlv(0x05, {}))));
   ASSERT_TRUE(Parses(Message(Pdu({}))));  // no variables at all
}

TEST(SnmpDecoder, RejectsEveryTruncation) {
   Bytes full = Message(Pdu(Cat({VarBind(Int({0x05})), VarBind(Str("text"))})));
   ASSERT_TRUE(Parses(full));
   for (size_t length = 0; length < full.size(); length++) {
      // A copy of exactly that length, so that a read past it is caught by ASan.
      Bytes prefix(full.begin(), full.begin() + static_cast<long>(length));
      SNMP_PDU pdu;
      EXPECT_FALSE(pdu.parse(prefix.data(), prefix.size(), nullptr, false)) << length;
   }
   SNMP_PDU pdu;
   EXPECT_FALSE(pdu.parse(nullptr, 10, nullptr, false));
}

TEST(SnmpDecoder, RejectsMalformedLengths) {
   Bytes base = ValueMessage(Tlv(0x05, {}));
   Bytes indefinite = base;
   indefinite[1] = 0x80;
   EXPECT_FALSE(Parses(indefinite)) << "indefinite length";

   Bytes fiveLengthBytes = Cat({{0x30, 0x85, 0, 0, 0, 0}, Bytes(base.begin() + 2, base.end())});
   fiveLengthBytes[6 - 1] = static_cast<uint8_t>(base.size() - 2);
   EXPECT_FALSE(Parses(fiveLengthBytes)) << "length in five bytes";

   Bytes longer = base;
   longer[1]++;
   EXPECT_FALSE(Parses(longer)) << "length beyond the buffer";

   Bytes hugeLength =
       Cat({{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, Bytes(base.begin() + 2, base.end())});
   EXPECT_FALSE(Parses(hugeLength)) << "length of 4 GiB";

   // The community claims more bytes than its message holds.
   Bytes community = Message(Pdu({}), Int({1}), Tlv(0x04, Bytes(3, 'x')));
   community[6] = 0x7F;
   EXPECT_FALSE(Parses(community)) << "element longer than its container";

   // A variable binding longer than the list that holds it.
   Bytes inner = Message(Pdu(Cat({Tlv(0x30, Cat({Tlv(0x06, kName), Tlv(0x05, {})}))})));
   size_t pos = inner.size() - 2 - kName.size() - 2 - 2 + 1;  // the binding's length byte
   inner[pos] += 2;
   EXPECT_FALSE(Parses(inner)) << "binding longer than the list";
}

TEST(SnmpDecoder, RejectsStructuralErrors) {
   Bytes good = ValueMessage(Tlv(0x05, {}));
   Bytes set = good;
   set[0] = 0x31;
   EXPECT_FALSE(Parses(set)) << "outer SET instead of SEQUENCE";
   EXPECT_FALSE(Parses(Cat({good, {0x00}}))) << "trailing byte after the message";
   Bytes multiByteTag = good;
   multiByteTag[0] = 0x3F;
   EXPECT_FALSE(Parses(multiByteTag)) << "multi-byte tag";
   EXPECT_FALSE(Parses(Seq(Cat({Int({1}), Str("public"), Pdu({}), Int({0})}))))
       << "element after the PDU";
   EXPECT_FALSE(Parses(Seq(Cat({Int({1}), Str("public")})))) << "no PDU";
   EXPECT_FALSE(Parses(Seq(Cat({Str("public"), Int({1}), Pdu({})})))) << "fields swapped";
   EXPECT_FALSE(Parses(Message(Tlv(0xA2, Cat({Int({1}), Int({0}), Int({0})})))))
       << "PDU without variable list";
   EXPECT_FALSE(Parses(Message(Tlv(0xA2, Cat({Int({1}), Int({0}), Int({0}), Seq({}), Int({0})})))))
       << "element after the variable list";
   EXPECT_FALSE(Parses(Message(Tlv(0xA2, Cat({Int({1}), Int({0}), Seq({})})))))
       << "error index missing";
   EXPECT_FALSE(Parses(Message(Pdu(Cat({Tlv(0x02, {1})}))))) << "list item is no SEQUENCE";
   EXPECT_FALSE(Parses(Message(Pdu(Seq(Cat({Tlv(0x06, kName), Tlv(0x05, {}), Tlv(0x05, {})}))))))
       << "binding with three elements";
   EXPECT_FALSE(Parses(Message(Pdu(Seq(Tlv(0x06, kName)))))) << "binding without value";
   EXPECT_FALSE(Parses(Message(Pdu(Seq(Cat({Str("1.3.6"), Tlv(0x05, {})})))))) << "name is no OID";
}

TEST(SnmpDecoder, RejectsBadHeaderFields) {
   Bytes pdu = Pdu(VarBind(Tlv(0x05, {})));
   EXPECT_FALSE(Parses(Message(pdu, Int({2})))) << "version 2";
   EXPECT_FALSE(Parses(Message(pdu, Int({3})))) << "version 3";
   EXPECT_FALSE(Parses(Message(pdu, Int({0xFF})))) << "version -1";
   EXPECT_FALSE(Parses(Message(pdu, Int({0, 0, 0, 0, 0, 1})))) << "version in 6 bytes";
   EXPECT_FALSE(Parses(Message(pdu, Int({})))) << "empty version";
   EXPECT_FALSE(Parses(Message(pdu, Int({1}), Str(std::string(256, 'c'))))) << "community of 256";
   EXPECT_TRUE(Parses(Message(pdu, Int({1}), Str(std::string(255, 'c'))))) << "community of 255";
   EXPECT_FALSE(Parses(Message(pdu, Int({1}), Str(std::string("pub\0lic", 7)))))
       << "NUL in the community";
   EXPECT_FALSE(Parses(Message(pdu, Int({1}), Int({1})))) << "community is no string";
   for (uint8_t tag : {0xA4, 0xA6, 0xA7, 0xA8, 0xA9, 0xBF, 0x82, 0xE2}) {
      EXPECT_FALSE(Parses(Message(Pdu({}, tag)))) << "PDU tag " << int{tag};
   }
   EXPECT_FALSE(Parses(Message(Pdu({}, 0xA5), Int({0})))) << "GETBULK in SNMPv1";
   EXPECT_TRUE(Parses(Message(Pdu({}, 0xA5), Int({1})))) << "GETBULK in SNMPv2c";
   EXPECT_FALSE(Parses(Message(Pdu({}, 0xA2, Int({1, 2, 3, 4, 5}))))) << "request id of 5 bytes";
   EXPECT_FALSE(Parses(Message(Pdu({}, 0xA2, Int({}))))) << "empty request id";
   EXPECT_FALSE(Parses(Message(Pdu({}, 0xA2, Int({1}), Int({0xFF}))))) << "negative status";
   EXPECT_FALSE(Parses(Message(Pdu({}, 0xA2, Int({1}), Int({0}), Int({0x80})))))
       << "negative index";
   EXPECT_FALSE(Parses(Message(Pdu({}, 0xA2, Int({1}), Str("0"))))) << "status is no INTEGER";
}

TEST(SnmpDecoder, RejectsBadObjectIdentifiers) {
   Bytes null = Tlv(0x05, {});
   EXPECT_FALSE(Parses(Message(Pdu(VarBind(null, {}))))) << "empty OID";
   EXPECT_FALSE(Parses(Message(Pdu(VarBind(null, {0x2B, 0x80, 0x01}))))) << "leading 0x80";
   EXPECT_FALSE(Parses(Message(Pdu(VarBind(null, {0x2B, 0x06, 0x81}))))) << "cut sub-identifier";
   EXPECT_FALSE(Parses(Message(Pdu(VarBind(null, {0x2B, 0x90, 0x80, 0x80, 0x80, 0x00})))))
       << "sub-identifier of 2^32";
   EXPECT_TRUE(Parses(Message(Pdu(VarBind(null, {0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F})))))
       << "sub-identifier of 2^32-1";
   EXPECT_FALSE(Parses(Message(Pdu(VarBind(null, {0x90, 0x80, 0x80, 0x80, 0x50})))))
       << "first sub-identifier above 2^32-1+80";

   Bytes longest = {0x2B};
   longest.insert(longest.end(), SNMP_MAX_OID_LENGTH - 2, 0x01);
   EXPECT_TRUE(Parses(Message(Pdu(VarBind(null, longest))))) << "128 components";
   Bytes tooLong = longest;
   tooLong.push_back(0x01);
   EXPECT_FALSE(Parses(Message(Pdu(VarBind(null, tooLong))))) << "129 components in a name";
   EXPECT_FALSE(Parses(ValueMessage(Tlv(0x06, tooLong)))) << "129 components in a value";
   EXPECT_FALSE(Parses(ValueMessage(Tlv(0x06, {})))) << "empty OID value";
}

TEST(SnmpDecoder, RejectsValuesLongerThanTheirType) {
   EXPECT_FALSE(Parses(ValueMessage(Int({})))) << "empty INTEGER";
   EXPECT_FALSE(Parses(ValueMessage(Int({1, 0, 0, 0, 0})))) << "INTEGER of 2^32";
   EXPECT_FALSE(Parses(ValueMessage(Int({0, 0x80, 0, 0, 0})))) << "INTEGER of 2^31";
   EXPECT_FALSE(Parses(ValueMessage(Int({0xFF, 0x7F, 0xFF, 0xFF, 0xFF})))) << "INTEGER below -2^31";
   EXPECT_FALSE(Parses(ValueMessage(Int({0xFF, 0xFF, 0x80, 0, 0, 0})))) << "INTEGER of 6 bytes";
   EXPECT_TRUE(Parses(ValueMessage(Int({0x80, 0, 0, 0})))) << "INTEGER of 4 bytes";
   for (uint8_t tag : {0x41, 0x42, 0x43, 0x47}) {
      EXPECT_FALSE(Parses(ValueMessage(Tlv(tag, {})))) << "empty, tag " << int{tag};
      EXPECT_FALSE(Parses(ValueMessage(Tlv(tag, {1, 0, 0, 0, 0})))) << "2^32, tag " << int{tag};
      EXPECT_FALSE(Parses(ValueMessage(Tlv(tag, {0, 0, 0, 0, 0, 1}))))
          << "6 bytes, tag " << int{tag};
      EXPECT_TRUE(Parses(ValueMessage(Tlv(tag, {0, 0xFF, 0xFF, 0xFF, 0xFF}))))
          << "2^32-1 with its leading zero, tag " << int{tag};
   }
   EXPECT_FALSE(Parses(ValueMessage(Tlv(0x46, Bytes(9, 0xFF))))) << "Counter64 of 2^72-1";
   EXPECT_FALSE(Parses(ValueMessage(Tlv(0x46, Cat({{0}, Bytes(9, 0xFF)}))))) << "Counter64 of 10";
   EXPECT_TRUE(Parses(ValueMessage(Tlv(0x46, Cat({{0}, Bytes(8, 0xFF)}))))) << "Counter64 max";
   EXPECT_FALSE(Parses(ValueMessage(Tlv(0x46, {})))) << "empty Counter64";
   EXPECT_FALSE(Parses(ValueMessage(Tlv(0x40, {10, 0, 0})))) << "IpAddress of 3 bytes";
   EXPECT_FALSE(Parses(ValueMessage(Tlv(0x40, {10, 0, 0, 1, 0})))) << "IpAddress of 5 bytes";
   EXPECT_FALSE(Parses(ValueMessage(Tlv(0x05, {0})))) << "NULL with content";
   for (uint8_t tag : {0x80, 0x81, 0x82}) {
      EXPECT_FALSE(Parses(ValueMessage(Tlv(tag, {0})))) << "exception with content " << int{tag};
   }
}

TEST(SnmpDecoder, RejectsUnknownValueTypes) {
   for (uint8_t tag : {0x01, 0x03, 0x30, 0x45, 0x48, 0x83, 0xA0, 0x09}) {
      EXPECT_FALSE(Parses(ValueMessage(Tlv(tag, {0})))) << "tag " << int{tag};
   }
}

TEST(SnmpDecoder, RejectsMessagesAboveOneDatagram) {
   Bytes big = ValueMessage(Str(std::string(SNMP_MAX_MESSAGE_SIZE, 'x')));
   ASSERT_GT(big.size(), SNMP_MAX_MESSAGE_SIZE);
   EXPECT_FALSE(Parses(big));
}

// What deployed agents send and the parser therefore takes.
TEST(SnmpDecoder, LeniencyTowardsDeployedAgents) {
   SNMP_PDU pdu;
   Bytes unsignedFF = ValueMessage(Tlv(0x41, {0xFF}));
   ASSERT_TRUE(pdu.parse(unsignedFF.data(), unsignedFF.size(), nullptr, false));
   EXPECT_EQ(pdu.getVariable(0)->GetValueAsUInt(), 0xFFFFFFFFu) << "Counter32 sent as -1";

   Bytes padded = ValueMessage(Int({0x00, 0x00, 0x00, 0x05}));
   ASSERT_TRUE(pdu.parse(padded.data(), padded.size(), nullptr, false));
   EXPECT_EQ(pdu.getVariable(0)->GetValueAsInt(), 5) << "INTEGER with redundant leading zeros";

   Bytes base = ValueMessage(Tlv(0x05, {}));
   Bytes longForm = Cat({{0x30, 0x82, 0x00, static_cast<uint8_t>(base.size() - 2)},
                         Bytes(base.begin() + 2, base.end())});
   EXPECT_TRUE(pdu.parse(longForm.data(), longForm.size(), nullptr, false))
       << "length in the long form where the short one would do";

   Bytes negativeId = Message(Pdu({}, 0xA2, Int({0xFF, 0xFF, 0xFF, 0xFE})));
   ASSERT_TRUE(pdu.parse(negativeId.data(), negativeId.size(), nullptr, false));
   EXPECT_EQ(pdu.getRequestId(), 0xFFFFFFFEu);

   Bytes signByte = ValueMessage(Int({0xFF, 0x80, 0x00, 0x00, 0x00}));
   ASSERT_TRUE(pdu.parse(signByte.data(), signByte.size(), nullptr, false));
   EXPECT_EQ(pdu.getVariable(0)->GetValueAsInt(), INT32_MIN) << "-2^31 with a sign byte";
   Bytes zeroByte = ValueMessage(Int({0x00, 0x7F, 0xFF, 0xFF, 0xFF}));
   ASSERT_TRUE(pdu.parse(zeroByte.data(), zeroByte.size(), nullptr, false));
   EXPECT_EQ(pdu.getVariable(0)->GetValueAsInt(), INT32_MAX) << "2^31-1 with a zero byte";
}

}  // namespace
