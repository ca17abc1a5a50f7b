// CSCPMessage: every variable type through the wire form and back, the
// accessors' contracts, and named malformed frames that must be rejected
// whole without a read past their bytes.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "hesker_test_util.h"

using namespace hesker_test;

namespace {

std::unique_ptr<CSCPMessage> RoundTrip(const CSCPMessage &m) {
   std::vector<uint8_t> bytes = Encode(m);
   EXPECT_FALSE(bytes.empty());
   EXPECT_EQ(bytes.size() % 8, 0u);
   return DecodeExact(bytes);
}

std::wstring Str(const CSCPMessage &m, uint32_t id) {
   wchar_t *s = m.GetVariableStr(id);
   if (s == nullptr)
      return L"<absent>";
   std::wstring out(s);
   free(s);
   return out;
}

}  // namespace

TEST(MessageCodec, HeaderFieldsRoundTrip) {
   CSCPMessage m;
   m.SetCode(CMD_GET_PARAMETER);
   m.SetId(0xA1B2C3D4);
   m.SetFlags(MF_END_OF_FILE);
   std::vector<uint8_t> bytes = Encode(m);
   ASSERT_EQ(bytes.size(), HKCP_HEADER_SIZE);
   EXPECT_EQ(hk_get_be16(&bytes[0]), CMD_GET_PARAMETER);
   EXPECT_EQ(hk_get_be16(&bytes[2]), MF_END_OF_FILE);
   EXPECT_EQ(hk_get_be32(&bytes[4]), HKCP_HEADER_SIZE);
   EXPECT_EQ(hk_get_be32(&bytes[8]), 0xA1B2C3D4u);
   EXPECT_EQ(hk_get_be32(&bytes[12]), 0u);
   auto d = DecodeExact(bytes);
   ASSERT_TRUE(d->IsValid());
   EXPECT_EQ(d->GetCode(), CMD_GET_PARAMETER);
   EXPECT_EQ(d->GetId(), 0xA1B2C3D4u);
   EXPECT_EQ(d->GetFlags(), MF_END_OF_FILE);
   EXPECT_EQ(d->GetNumVariables(), 0u);
}

TEST(MessageCodec, IntegersRoundTripAtTheirLimits) {
   CSCPMessage m;
   m.SetVariable(1, (uint16_t)0);
   m.SetVariable(2, (uint16_t)0xFFFF);
   m.SetVariable(3, (uint32_t)0xFFFFFFFF);
   m.SetVariable(4, (int32_t)-2);
   m.SetVariable(5, (uint64_t)0xFFFFFFFFFFFFFFFFull);
   m.SetVariable(6, (uint64_t)0x0102030405060708ull);
   auto d = RoundTrip(m);
   ASSERT_TRUE(d->IsValid());
   EXPECT_EQ(d->GetNumVariables(), 6u);
   EXPECT_EQ(d->GetVariableShort(1), 0);
   EXPECT_EQ(d->GetVariableShort(2), 0xFFFF);
   EXPECT_EQ(d->GetVariableLong(3), 0xFFFFFFFFu);
   EXPECT_EQ((int32_t)d->GetVariableLong(4), -2);
   EXPECT_EQ(d->GetVariableInt64(5), 0xFFFFFFFFFFFFFFFFull);
   EXPECT_EQ(d->GetVariableInt64(6), 0x0102030405060708ull);
   // Widths convert: a 64-bit value read as 32 bits keeps the low half.
   EXPECT_EQ(d->GetVariableLong(6), 0x05060708u);
   EXPECT_EQ(d->GetVariableShort(6), 0x0708);
   EXPECT_EQ(d->GetVariableInt64(2), 0xFFFFu);
}

TEST(MessageCodec, StringsRoundTripIncludingEmptyAndNonBmp) {
   const std::wstring nonBmp = L"a\U0001F600b\U00010000\U0010FFFFz";
   const std::wstring latin = L"caf\u00e9 \u20ac \uFFFF";
   CSCPMessage m;
   m.SetVariable(1, L"");
   m.SetVariable(2, nonBmp.c_str());
   m.SetVariable(3, latin.c_str());
   m.SetVariable(4, (const wchar_t *)nullptr);
   auto d = RoundTrip(m);
   ASSERT_TRUE(d->IsValid());
   EXPECT_TRUE(d->IsVariableExist(1));
   EXPECT_EQ(Str(*d, 1), L"");
   EXPECT_EQ(Str(*d, 2), nonBmp);
   EXPECT_EQ(Str(*d, 3), latin);
   EXPECT_EQ(Str(*d, 4), L"");
}

TEST(MessageCodec, NonBmpCharacterIsASurrogatePairOnTheWire) {
   CSCPMessage m;
   m.SetVariable(9, L"\U0001F600");
   std::vector<uint8_t> bytes = Encode(m);
   ASSERT_EQ(bytes.size(), 16u + 16u);
   const uint8_t *v = &bytes[16];
   EXPECT_EQ(hk_get_be32(v), 9u);
   EXPECT_EQ(v[4], 1);                 // string
   EXPECT_EQ(hk_get_be32(v + 8), 4u);  // bytes of UTF-16
   EXPECT_EQ(hk_get_be16(v + 12), 0xD83D);
   EXPECT_EQ(hk_get_be16(v + 14), 0xDE00);
}

TEST(MessageCodec, BinariesRoundTripIncludingEmpty) {
   std::vector<uint8_t> data(1000);
   for (size_t i = 0; i < data.size(); i++)
      data[i] = (uint8_t)(i * 7);
   CSCPMessage m;
   m.SetVariable(1, data.data(), (uint32_t)data.size());
   m.SetVariable(2, (const uint8_t *)"", 0);
   m.SetVariable(3, (const uint8_t *)"\x00\x01\x02", 3);
   auto d = RoundTrip(m);
   ASSERT_TRUE(d->IsValid());
   std::vector<uint8_t> out(2000, 0xEE);
   EXPECT_EQ(d->GetVariableBinary(1, out.data(), (uint32_t)out.size()), 1000u);
   EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
   EXPECT_EQ(out[1000], 0xEE);
   EXPECT_TRUE(d->IsVariableExist(2));
   EXPECT_EQ(d->GetVariableBinary(2, out.data(), 10), 0u);
   // A short buffer takes what fits; the stored length is still reported.
   uint8_t two[2] = {0xAA, 0xAA};
   EXPECT_EQ(d->GetVariableBinary(3, two, 2), 3u);
   EXPECT_EQ(two[0], 0);
   EXPECT_EQ(two[1], 1);
   EXPECT_EQ(d->GetVariableBinary(3, nullptr, 0), 3u);
}

TEST(MessageCodec, Int32ArraysRoundTripIncludingEmpty) {
   uint32_t values[5] = {0, 1, 0x80000000u, 0xFFFFFFFFu, 42};
   CSCPMessage m;
   m.SetVariableToInt32Array(1, 5, values);
   m.SetVariableToInt32Array(2, 0, nullptr);
   auto d = RoundTrip(m);
   ASSERT_TRUE(d->IsValid());
   uint32_t out[8] = {};
   EXPECT_EQ(d->GetVariableInt32Array(1, 8, out), 5u);
   EXPECT_EQ(memcmp(out, values, sizeof(values)), 0);
   uint32_t few[2] = {};
   EXPECT_EQ(d->GetVariableInt32Array(1, 2, few), 5u);
   EXPECT_EQ(few[1], 1u);
   EXPECT_TRUE(d->IsVariableExist(2));
   EXPECT_EQ(d->GetVariableInt32Array(2, 8, out), 0u);
}

TEST(MessageCodec, SettingAnIdAgainReplacesValueAndType) {
   CSCPMessage m;
   m.SetVariable(5, L"text");
   m.SetVariable(5, (uint32_t)77);
   EXPECT_EQ(m.GetNumVariables(), 1u);
   EXPECT_EQ(m.GetVariableLong(5), 77u);
   EXPECT_EQ(m.GetVariableStr(5), nullptr);
   m.SetVariable(5, L"again");
   EXPECT_EQ(m.GetVariableLong(5), 0u);
   EXPECT_EQ(Str(m, 5), L"again");
   m.DeleteAllVariables();
   EXPECT_EQ(m.GetNumVariables(), 0u);
   EXPECT_FALSE(m.IsVariableExist(5));
}

TEST(MessageCodec, StringGetterContract) {
   CSCPMessage m;
   m.SetVariable(1, L"abcdef");
   wchar_t buffer[4] = {L'x', L'x', L'x', L'x'};
   EXPECT_EQ(m.GetVariableStr(1, buffer, 4), buffer);
   EXPECT_STREQ(buffer, L"abc");
   // Absent: "" in the buffer, null without one.
   EXPECT_EQ(m.GetVariableStr(2, buffer, 4), buffer);
   EXPECT_STREQ(buffer, L"");
   EXPECT_EQ(m.GetVariableStr(2), nullptr);
   // Size 0 touches nothing.
   buffer[0] = L'q';
   m.GetVariableStr(1, buffer, 0);
   EXPECT_EQ(buffer[0], L'q');
   // Absent integers and binaries read as 0.
   EXPECT_EQ(m.GetVariableLong(3), 0u);
   EXPECT_EQ(m.GetVariableBinary(3, nullptr, 0), 0u);
   EXPECT_EQ(m.GetVariableLong(1), 0u);  // a string is not a number
}

TEST(MessageCodec, VariablesKeepInsertionOrderOnTheWire) {
   CSCPMessage m;
   m.SetVariable(30, (uint32_t)1);
   m.SetVariable(10, (uint32_t)2);
   m.SetVariable(20, (uint32_t)3);
   std::vector<uint8_t> bytes = Encode(m);
   ASSERT_EQ(bytes.size(), 16u + 3 * 16u);
   EXPECT_EQ(hk_get_be32(&bytes[16]), 30u);
   EXPECT_EQ(hk_get_be32(&bytes[32]), 10u);
   EXPECT_EQ(hk_get_be32(&bytes[48]), 20u);
}

TEST(MessageCodec, LargestAcceptedFrameRoundTrips) {
   // One binary variable filling the frame to exactly the receive limit.
   const uint32_t payload = HKCP_MAX_FRAME_SIZE - HKCP_HEADER_SIZE - 12 - 4;
   std::vector<uint8_t> data(payload);
   for (size_t i = 0; i < data.size(); i++)
      data[i] = (uint8_t)(i ^ (i >> 8));
   CSCPMessage m;
   m.SetCode(CMD_FILE_DATA);
   m.SetVariable(1, data.data(), payload);
   std::vector<uint8_t> bytes = Encode(m);
   ASSERT_EQ(bytes.size(), HKCP_MAX_FRAME_SIZE);
   auto d = DecodeExact(bytes);
   ASSERT_TRUE(d->IsValid());
   std::vector<uint8_t> out(payload);
   EXPECT_EQ(d->GetVariableBinary(1, out.data(), payload), payload);
   EXPECT_EQ(out, data);
}

TEST(MessageCodec, ManyVariablesRoundTrip) {
   CSCPMessage m;
   for (uint32_t i = 0; i < 5000; i++) {
      wchar_t text[32];
      swprintf(text, 32, L"item %u", i);
      m.SetVariable(VID_ITEM_LIST_BASE + i, text);
   }
   auto d = RoundTrip(m);
   ASSERT_TRUE(d->IsValid());
   ASSERT_EQ(d->GetNumVariables(), 5000u);
   EXPECT_EQ(Str(*d, VID_ITEM_LIST_BASE + 4999), L"item 4999");
}

TEST(MessageCodec, RawFrameKeepsItsData) {
   std::vector<uint8_t> bytes = FrameBuilder(CMD_FILE_DATA, MF_BINARY | MF_END_OF_FILE, 77, 5)
                                    .bytes("hello", 5)
                                    .pad()
                                    .build();
   ASSERT_EQ(bytes.size(), 24u);
   auto d = DecodeExact(bytes);
   ASSERT_TRUE(d->IsValid());
   EXPECT_TRUE(d->IsBinary());
   EXPECT_EQ(d->GetNumVariables(), 0u);
   ASSERT_EQ(d->GetBinaryDataSize(), 5u);
   EXPECT_EQ(memcmp(d->GetBinaryData(), "hello", 5), 0);
   // Re-encoding gives the same frame back.
   EXPECT_EQ(Encode(*d), bytes);

   // Unpadded raw frames are accepted too.
   auto unpadded =
       DecodeExact(FrameBuilder(CMD_FILE_DATA, MF_BINARY, 1, 3).bytes("abc", 3).build());
   ASSERT_TRUE(unpadded->IsValid());
   EXPECT_EQ(unpadded->GetBinaryDataSize(), 3u);
   auto empty = DecodeExact(FrameBuilder(CMD_FILE_DATA, MF_BINARY | MF_END_OF_FILE, 1, 0).build());
   ASSERT_TRUE(empty->IsValid());
   EXPECT_EQ(empty->GetBinaryDataSize(), 0u);
}

TEST(MessageCodec, NullFrameGivesInvalidMessage) {
   CSCPMessage m(static_cast<const CSCP_MESSAGE *>(nullptr));
   EXPECT_FALSE(m.IsValid());
   EXPECT_EQ(m.GetNumVariables(), 0u);
}

// ---------------------------------------------------------------- malformed frames
// Each case is rejected as a whole: IsValid() false and no variables, even
// those that came before the fault. DecodeExact puts the frame in an
// allocation of exactly its bytes, so any read beyond them fails under
// AddressSanitizer.

namespace {

// A valid 32-bit variable to precede the faulty one.
FrameBuilder WithGoodFirst(uint32_t numVars) {
   FrameBuilder b(CMD_NOP, 0, 1, numVars);
   b.u32(100).u8(HK_VT_INT32).u8(0).u16(0).u32(7).pad();
   return b;
}

void ExpectRejected(const std::vector<uint8_t> &bytes) {
   auto d = DecodeExact(bytes);
   EXPECT_FALSE(d->IsValid());
   EXPECT_EQ(d->GetNumVariables(), 0u);
   EXPECT_FALSE(d->IsVariableExist(100));
   EXPECT_EQ(d->GetBinaryDataSize(), 0u);
}

}  // namespace

TEST(MalformedFrame, SizeFieldBelowHeader) {
   ExpectRejected(FrameBuilder(CMD_NOP, 0, 1, 0).build(15));
   ExpectRejected(FrameBuilder(CMD_NOP, 0, 1, 0).build(0));
}

TEST(MalformedFrame, TruncatedVariableHeader) {
   // The count promises a second variable; only 4 of its 8 header bytes exist.
   ExpectRejected(WithGoodFirst(2).u32(5).build());
}

TEST(MalformedFrame, TruncatedInt32Value) {
   ExpectRejected(WithGoodFirst(2).u32(5).u8(HK_VT_INT32).u8(0).u16(0).build());
}

TEST(MalformedFrame, TruncatedInt64Value) {
   ExpectRejected(WithGoodFirst(2).u32(5).u8(HK_VT_INT64).u8(0).u16(0).u32(1).build());
}

TEST(MalformedFrame, TruncatedStringLengthField) {
   ExpectRejected(WithGoodFirst(2).u32(5).u8(HK_VT_STRING).u8(0).u16(0).u16(0).build());
}

TEST(MalformedFrame, StringLengthPastFrameEnd) {
   ExpectRejected(WithGoodFirst(2)
                      .u32(5)
                      .u8(HK_VT_STRING)
                      .u8(0)
                      .u16(0)
                      .u32(10)
                      .u16('a')
                      .u16('b')
                      .pad()
                      .build());
}

TEST(MalformedFrame, StringLengthHuge) {
   ExpectRejected(
       WithGoodFirst(2).u32(5).u8(HK_VT_STRING).u8(0).u16(0).u32(0xFFFFFFF0).pad().build());
}

TEST(MalformedFrame, StringLengthOdd) {
   ExpectRejected(
       WithGoodFirst(2).u32(5).u8(HK_VT_STRING).u8(0).u16(0).u32(3).u16('a').u8('b').pad().build());
}

TEST(MalformedFrame, BinaryLengthPastFrameEnd) {
   ExpectRejected(
       WithGoodFirst(2).u32(5).u8(HK_VT_BINARY).u8(0).u16(0).u32(9).u32(0xAABBCCDD).build());
}

TEST(MalformedFrame, ArrayCountPastFrameEnd) {
   ExpectRejected(
       WithGoodFirst(2).u32(5).u8(HK_VT_INT32_ARRAY).u8(0).u16(0).u32(3).u32(1).u32(2).build());
}

TEST(MalformedFrame, ArrayCountOverflowsWhenMultiplied) {
   // 0x40000001 * 4 wraps to 4 in 32 bits.
   ExpectRejected(
       WithGoodFirst(2).u32(5).u8(HK_VT_INT32_ARRAY).u8(0).u16(0).u32(0x40000001).u32(1).build());
}

TEST(MalformedFrame, PaddingMissingAfterLastVariable) {
   // A 12-byte variable with the frame ending before its padding.
   ExpectRejected(WithGoodFirst(2).u32(5).u8(HK_VT_INT32).u8(0).u16(0).u32(9).build());
}

TEST(MalformedFrame, VariableCountHigherThanBytes) {
   ExpectRejected(WithGoodFirst(3).build());
   ExpectRejected(WithGoodFirst(0xFFFFFFFF).build());
}

TEST(MalformedFrame, VariableCountLowerThanBytes) {
   // Two variables present, one declared: the trailing bytes are a lie.
   FrameBuilder b = WithGoodFirst(1);
   b.u32(5).u8(HK_VT_INT32).u8(0).u16(0).u32(9).pad();
   ExpectRejected(b.build());
}

TEST(MalformedFrame, UnknownVariableType) {
   ExpectRejected(WithGoodFirst(2).u32(5).u8(6).u8(0).u16(0).u32(0).pad().build());
   ExpectRejected(WithGoodFirst(2).u32(5).u8(0xFF).u8(0).u16(0).pad().build());
}

TEST(MalformedFrame, DuplicateVariableId) {
   FrameBuilder b = WithGoodFirst(2);
   b.u32(100).u8(HK_VT_INT16).u8(0).u16(3);
   ExpectRejected(b.build());
}

TEST(MalformedFrame, RawFrameDataLengthPastFrameEnd) {
   ExpectRejected(FrameBuilder(CMD_FILE_DATA, MF_BINARY, 1, 9).bytes("12345678", 8).build());
}

TEST(MalformedFrame, RawFrameWithTrailingBytesBeyondPadding) {
   // One data byte followed by 15: more than the 7 that padding may take.
   ExpectRejected(
       FrameBuilder(CMD_FILE_DATA, MF_BINARY, 1, 1).bytes("1234567812345678", 16).build());
}

TEST(MalformedFrame, EncryptedFrameIsNotDecodedAsPlain) {
   ExpectRejected(FrameBuilder(CMD_ENCRYPTED_MESSAGE, MF_ENCRYPTED, 0, 0).u64(0).build());
}

TEST(MalformedFrame, EveryTruncationOfAValidFrameIsRejected) {
   CSCPMessage m;
   m.SetVariable(1, (uint16_t)1);
   m.SetVariable(2, L"\U0001F600 text");
   uint32_t arr[3] = {1, 2, 3};
   m.SetVariableToInt32Array(3, 3, arr);
   m.SetVariable(4, (const uint8_t *)"bin", 3);
   m.SetVariable(5, (uint64_t)5);
   std::vector<uint8_t> bytes = Encode(m);
   ASSERT_TRUE(DecodeExact(bytes)->IsValid());
   for (size_t cut = HKCP_HEADER_SIZE; cut < bytes.size(); cut++) {
      std::vector<uint8_t> shorter(bytes.begin(), bytes.begin() + (long)cut);
      hk_put_be32(shorter.data() + 4, (uint32_t)cut);
      SCOPED_TRACE(cut);
      ExpectRejected(shorter);
   }
}

// Past a few variables lookups go through an id index; it must agree with
// the variables whatever order ids are set in, replaced or decoded.
TEST(MessageCodec, LongListsAreFoundByIdInAnyOrder) {
   // Distinct ids from 10 to 1018 in scrambled order.
   auto IdOf = [](uint32_t i) { return 10 + (i * 7919u) % 1009u; };
   CSCPMessage m;
   const uint32_t kCount = 300;
   for (uint32_t i = 0; i < kCount; i++) {
      uint32_t id = IdOf(i);
      m.SetVariable(id, id * 3);
   }
   ASSERT_EQ(m.GetNumVariables(), kCount);
   for (uint32_t i = 0; i < kCount; i++) {
      uint32_t id = IdOf(i);
      ASSERT_EQ(m.GetVariableLong(id), id * 3) << id;
   }
   m.SetVariable(5000, L"after");
   m.SetVariable(1, L"before");           // an id below every other
   m.SetVariable(IdOf(10), (uint16_t)7);  // replaced in place
   EXPECT_EQ(m.GetNumVariables(), kCount + 2);
   EXPECT_EQ(Str(m, 5000), L"after");
   EXPECT_EQ(Str(m, 1), L"before");
   EXPECT_EQ(m.GetVariableShort(IdOf(10)), 7);
   EXPECT_FALSE(m.IsVariableExist(1009 + 10));

   auto d = RoundTrip(m);
   ASSERT_TRUE(d->IsValid());
   for (uint32_t i = 0; i < kCount; i++) {
      uint32_t id = IdOf(i);
      if (id != IdOf(10)) {
         ASSERT_EQ(d->GetVariableLong(id), id * 3) << id;
      }
   }
   EXPECT_EQ(Str(*d, 1), L"before");
   d->SetVariable(2000, (uint32_t)9);
   EXPECT_EQ(d->GetVariableLong(2000), 9u);
   d->DeleteAllVariables();
   EXPECT_FALSE(d->IsVariableExist(2000));
   d->SetVariable(3, (uint32_t)3);
   EXPECT_EQ(d->GetVariableLong(3), 3u);
}

TEST(MalformedFrame, DuplicateIdInALongList) {
   FrameBuilder b(CMD_NOP, 0, 1, 40);
   for (uint32_t i = 0; i < 40; i++)
      b.u32(i == 39 ? 7 : i).u8(HK_VT_INT16).u8(0).u16((uint16_t)i);
   ExpectRejected(b.build());
}
