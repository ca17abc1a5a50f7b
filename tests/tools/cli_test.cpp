// Argument parsing and text conversions of the tools.
#include <gtest/gtest.h>

#include "cli.h"
#include "text.h"

using namespace hktool;

namespace {

ArgParser Parser() {
   ArgParser p;
   p.add(
       {{"port", 'p', true, "PORT", ""}, {"json", 'j', false, "", ""}, {"item", 0, true, "X", ""}});
   return p;
}

bool Parse(ArgParser &p, std::vector<const char *> args, std::string *error) {
   args.insert(args.begin(), "tool");
   return p.parse((int)args.size(), args.data(), error);
}

TEST(ArgParser, LongShortJoinedAndSeparateForms) {
   ArgParser p = Parser();
   std::string error;
   ASSERT_TRUE(Parse(p, {"host", "--port", "1", "-p2", "-p", "3", "--port=4", "-j", "x"}, &error))
       << error;
   EXPECT_EQ(p.get("port"), "4");
   EXPECT_EQ(p.getAll("port"), (std::vector<std::string>{"1", "2", "3", "4"}));
   EXPECT_TRUE(p.has("json"));
   EXPECT_EQ(p.positionals(), (std::vector<std::string>{"host", "x"}));
   // An empty value given with = is a value.
   ASSERT_TRUE(Parse(p, {"--item="}, &error));
   EXPECT_TRUE(p.has("item"));
   EXPECT_EQ(p.get("item", "fallback"), "");
}

TEST(ArgParser, DoubleDashEndsOptionsAndDashAloneIsPositional) {
   ArgParser p = Parser();
   std::string error;
   ASSERT_TRUE(Parse(p, {"-", "--", "--json", "-p"}, &error));
   EXPECT_FALSE(p.has("json"));
   EXPECT_EQ(p.positionals(), (std::vector<std::string>{"-", "--json", "-p"}));
}

TEST(ArgParser, MistakesAreNamed) {
   struct Case {
      std::vector<const char *> args;
      std::string error;
   } cases[] = {
       {{"--nope"}, "unknown option --nope"},
       {{"-x"}, "unknown option -x"},
       {{"--port"}, "option --port needs a value"},
       {{"-p"}, "option -p needs a value"},
       {{"--json=yes"}, "option --json takes no value"},
       {{"-jx"}, "option -j takes no value"},
   };
   for (const Case &c : cases) {
      ArgParser p = Parser();
      std::string error;
      EXPECT_FALSE(Parse(p, c.args, &error));
      EXPECT_EQ(error, c.error);
   }
}

TEST(ArgParser, HelpTextAlignsTheDescriptions) {
   ArgParser p;
   p.add({{"port", 'p', true, "PORT", "the port"}, {"verbose", 0, false, "", "talk"}});
   EXPECT_EQ(p.helpText(),
             "  -p, --port PORT  the port\n"
             "      --verbose    talk\n");
}

TEST(Text, Utf8AndWideRoundTripAndBadBytesAreReplaced) {
   std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
   std::wstring wide = Utf8ToWide(text);
   EXPECT_EQ(wide, L"caf\u00E9 \u20AC \U0001F600");
   EXPECT_EQ(WideToUtf8(wide), text);
   // A lone continuation byte, a cut sequence, an overlong form and an
   // encoded surrogate each become U+FFFD; what follows survives.
   EXPECT_EQ(Utf8ToWide("a\x80z"), L"a\uFFFDz");
   EXPECT_EQ(Utf8ToWide("a\xE2\x82"), L"a\uFFFD\uFFFD");
   EXPECT_EQ(Utf8ToWide("\xC0\xAF"), L"\uFFFD\uFFFD");
   EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");
   EXPECT_EQ(SanitizeUtf8("ok\xFFok"), "ok\xEF\xBF\xBDok");
   const wchar_t bad[] = {L'x', (wchar_t)0xD800, (wchar_t)0x110000, 0};
   EXPECT_EQ(WideToUtf8(bad), "x\xEF\xBF\xBD\xEF\xBF\xBD");
   EXPECT_EQ(WideToUtf8((const wchar_t *)nullptr), "");
}

TEST(Text, BytesMapOneToOneBothWays) {
   std::string all;
   for (int i = 1; i < 256; i++)
      all.push_back((char)i);
   std::wstring wide = BytesToWide(all);
   ASSERT_EQ(wide.size(), 255u);
   EXPECT_EQ(wide[254], (wchar_t)0xFF);
   EXPECT_EQ(WideToBytes(wide.c_str()), all);
   EXPECT_EQ(WideToBytes(L"\u20AC"), "?");
}

TEST(Text, NumbersAreWholeAndInRange) {
   uint64_t v = 7;
   EXPECT_TRUE(ParseNumber("65535", 1, 65535, &v));
   EXPECT_EQ(v, 65535u);
   for (const char *bad : {"", "0", "65536", "-1", "+1", "1x", " 1", "99999999999999999999999"})
      EXPECT_FALSE(ParseNumber(bad, 1, 65535, &v)) << bad;
   EXPECT_TRUE(ParseNumber("18446744073709551615", 0, UINT64_MAX, &v));
   EXPECT_FALSE(ParseNumber("18446744073709551616", 0, UINT64_MAX, &v));
}

TEST(Text, AddressesMasksAndSizes) {
   EXPECT_EQ(Ipv4Text(0xC0A8010A), "192.168.1.10");
   const uint8_t mac[6] = {0, 0x1A, 0xFF, 0x10, 0x02, 0xAB};
   EXPECT_EQ(MacText(mac), "00:1A:FF:10:02:AB");
   EXPECT_EQ(MaskPrefixLength(0), 0);
   EXPECT_EQ(MaskPrefixLength(0xFFFFFFFF), 32);
   EXPECT_EQ(MaskPrefixLength(0xFFFFFF00), 24);
   EXPECT_EQ(MaskPrefixLength(0xFF00FF00), -1);
   EXPECT_EQ(HumanBytes(1023), "1023 B");
   EXPECT_EQ(HumanBytes(1536), "1.5 KiB");
   EXPECT_EQ(HumanBytes(3u << 20), "3.0 MiB");
}

}  // namespace
