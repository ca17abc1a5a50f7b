// The text module: UTF-8 and UTF-16 decoders on valid and malformed input,
// the encoders' handling of non-characters, and precomposition into the
// 8-bit code page.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hk_platform.h"
#include "hk_text.h"

namespace {

// One decoder case: the input, and the code points (0xFFFD for each
// rejected unit) the whole input decodes into.
struct Utf8Case {
   const char *name;
   std::string bytes;
   std::u32string expected;
};

class Utf8Decode : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Decode, WholeInput) {
   const Utf8Case &c = GetParam();
   std::u32string decoded;
   size_t pos = 0;
   while (pos < c.bytes.size()) {
      char32_t value = 0;
      if (!hk_utf8_decode(c.bytes.data(), c.bytes.size(), &pos, &value))
         value = HK_REPLACEMENT_CHARACTER;
      decoded.push_back(value);
   }
   EXPECT_EQ(c.expected, decoded);
}

const char32_t R = HK_REPLACEMENT_CHARACTER;

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8Decode,
    ::testing::Values(Utf8Case{"Ascii", "az", U"az"}, Utf8Case{"TwoBytes", "\xC3\xA9", U"\u00E9"},
                      Utf8Case{"ThreeBytes", "\xE2\x82\xAC", U"\u20AC"},
                      Utf8Case{"FourBytes", "\xF0\x9F\x98\x80", U"\U0001F600"},
                      Utf8Case{"LargestScalar", "\xF4\x8F\xBF\xBF", U"\U0010FFFF"},
                      Utf8Case{"OverlongSlash", "\xC0\xAF", {R, R}},
                      Utf8Case{"OverlongNul", "\xC0\x80", {R, R}},
                      Utf8Case{"OverlongThreeBytes", "\xE0\x80\xAF", {R, R, R}},
                      Utf8Case{"OverlongFourBytes", "\xF0\x80\x80\xAF", {R, R, R, R}},
                      Utf8Case{"HighSurrogate", "\xED\xA0\x80", {R, R, R}},
                      Utf8Case{"LowSurrogate", "\xED\xBF\xBF", {R, R, R}},
                      Utf8Case{"AboveLargestScalar", "\xF4\x90\x80\x80", {R, R, R, R}},
                      Utf8Case{"FiveByteLead", "\xF8\x88\x80\x80\x80", {R, R, R, R, R}},
                      Utf8Case{"TruncatedAtEnd", "a\xE2\x82", {U'a', R, R}},
                      Utf8Case{"TruncatedBeforeAscii", "\xE2\x82z", {R, R, U'z'}},
                      Utf8Case{"LoneContinuation", "\x80z", {R, U'z'}}),
    [](const ::testing::TestParamInfo<Utf8Case> &info) { return std::string(info.param.name); });

struct Utf16Case {
   const char *name;
   std::vector<uint16_t> units;
   std::u32string expected;
};

class Utf16Decode : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(Utf16Decode, WholeInput) {
   const Utf16Case &c = GetParam();
   std::u32string decoded;
   size_t pos = 0;
   while (pos < c.units.size()) {
      char32_t value = 0;
      if (!hk_utf16_decode(c.units.data(), c.units.size(), &pos, &value))
         value = HK_REPLACEMENT_CHARACTER;
      decoded.push_back(value);
   }
   EXPECT_EQ(c.expected, decoded);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf16Decode,
    ::testing::Values(Utf16Case{"Bmp", {0x0041, 0x20AC}, U"A\u20AC"},
                      Utf16Case{"Pair", {0xD83D, 0xDE00}, U"\U0001F600"},
                      Utf16Case{"LargestPair", {0xDBFF, 0xDFFF}, U"\U0010FFFF"},
                      Utf16Case{"LoneHighAtEnd", {0x0041, 0xD83D}, {U'A', R}},
                      Utf16Case{"LoneHighBeforeBmp", {0xD83D, 0x0041}, {R, U'A'}},
                      Utf16Case{"LoneLow", {0xDE00, 0x0041}, {R, U'A'}},
                      Utf16Case{"ReversedPair", {0xDE00, 0xD83D}, {R, R}}),
    [](const ::testing::TestParamInfo<Utf16Case> &info) { return std::string(info.param.name); });

TEST(TextEncode, NonCharactersBecomeTheReplacementOrFailStrictly) {
   // A lone surrogate is no character at either width of wchar_t; a value
   // above U+10FFFF fits only in a 32-bit one (Linux), and a lone high
   // surrogate at the end stands in for it where wchar_t has 16 bits.
   const wchar_t last = sizeof(wchar_t) > 2 ? (wchar_t)0x110000 : (wchar_t)0xD800;
   const wchar_t text[] = {L'a', (wchar_t)0xDC00, last, 0};
   EXPECT_EQ("a\xEF\xBF\xBD\xEF\xBF\xBD", hk_wide_to_utf8(text));
   std::string strict = "stale";
   EXPECT_FALSE(hk_wide_to_utf8_strict(text, &strict));
   EXPECT_EQ("", strict);
   EXPECT_TRUE(hk_wide_to_utf8_strict(L"\u00E9\U0001F600", &strict));
   EXPECT_EQ("\xC3\xA9\xF0\x9F\x98\x80", strict);

   uint16_t units[2];
   EXPECT_EQ(2u, hk_utf16_encode(0x1F600, units));
   EXPECT_EQ(0xD83D, units[0]);
   EXPECT_EQ(0xDE00, units[1]);
   EXPECT_EQ(1u, hk_utf16_encode(0x110000, units));
   EXPECT_EQ(0xFFFD, units[0]);
}

TEST(TextEncode, CharactersBeyondTheBmpRoundTripAtEitherWidth) {
   // One wchar_t per character where it has 32 bits, a surrogate pair where
   // it has 16 (Windows): the same text either way.
   std::wstring wide = hk_utf8_to_wide("\xF0\x9F\x98\x80z");
   EXPECT_EQ(L"\U0001F600z", wide);
   EXPECT_EQ(sizeof(wchar_t) > 2 ? 2u : 3u, wide.size());
   EXPECT_EQ("\xF0\x9F\x98\x80z", hk_wide_to_utf8(wide.c_str()));
   std::string strict;
   EXPECT_TRUE(hk_wide_to_utf8_strict(wide.c_str(), &strict));
   EXPECT_EQ("\xF0\x9F\x98\x80z", strict);
}

TEST(TextEncode, SanitizedBytesAreValidUtf8) {
   EXPECT_EQ("a\xEF\xBF\xBD\xEF\xBF\xBDz", hk_utf8_sanitize("a\xC0\xAFz"));
   EXPECT_EQ(L"a\uFFFD\uFFFDz", hk_utf8_to_wide("a\xC0\xAFz"));
}

struct PrecomposeCase {
   const char *name;
   std::wstring text;
   std::string bytes;
};

class CodePagePrecompose : public ::testing::TestWithParam<PrecomposeCase> {};

TEST_P(CodePagePrecompose, Converts) {
   const PrecomposeCase &c = GetParam();
   char out[16];
   EXPECT_EQ(c.bytes.size(), WideToCodePage(c.text.c_str(), -1, out, sizeof(out)));
   EXPECT_EQ(c.bytes, std::string(out));
}

INSTANTIATE_TEST_SUITE_P(Table, CodePagePrecompose,
                         ::testing::Values(PrecomposeCase{"AcuteE", L"e\u0301", "\xE9"},
                                           PrecomposeCase{"CedillaC", L"C\u0327a",
                                                          "\xC7"
                                                          "a"},
                                           PrecomposeCase{"DiaeresisY", L"y\u0308", "\xFF"},
                                           PrecomposeCase{"RingA", L"A\u030A", "\xC5"},
                                           // Combinations outside the code page stay apart: the
                                           // mark has no byte and becomes '?'.
                                           PrecomposeCase{"NoLatin1Letter", L"x\u0301", "x?"},
                                           PrecomposeCase{"LoneMark", L"\u0301e", "?e"},
                                           PrecomposeCase{"AlreadyComposed", L"\u00E9", "\xE9"}),
                         [](const ::testing::TestParamInfo<PrecomposeCase> &info) {
                            return std::string(info.param.name);
                         });

TEST(CodePagePrecomposeLimits, CountedLengthStopsBeforeTheMark) {
   char out[8];
   // The mark lies beyond the two characters asked for.
   EXPECT_EQ(2u, WideToCodePage(L"ae\u0301", 2, out, sizeof(out)));
   EXPECT_STREQ("ae", out);
   EXPECT_EQ(2u, WideToCodePage(L"ae\u0301", 3, out, sizeof(out)));
   EXPECT_STREQ("a\xE9", out);
}

}  // namespace
