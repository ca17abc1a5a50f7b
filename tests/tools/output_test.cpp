// JSON and table output, and the progress line.
#include <gtest/gtest.h>

#include "json_reader.h"
#include "json_writer.h"
#include "progress.h"
#include "table_output.h"

using namespace hktool;

namespace {

TEST(JsonWriter, NestingAndCommasMakeValidDocuments) {
   JsonWriter json(0);
   json.beginObject();
   json.member("a", 1);
   json.key("list");
   json.beginArray();
   json.value("x");
   json.beginObject();
   json.endObject();
   json.beginArray();
   json.endArray();
   json.null();
   json.value(true);
   json.endArray();
   json.member("big", (uint64_t)UINT64_MAX);
   json.member("neg", (int64_t)-5);
   json.endObject();
   EXPECT_TRUE(json.complete());
   EXPECT_EQ(json.text(),
             "{\"a\":1,\"list\":[\"x\",{},[],null,true],\"big\":18446744073709551615,\"neg\":-5}");

   JsonWriter pretty;
   pretty.beginObject();
   pretty.member("k", "v");
   pretty.endObject();
   EXPECT_EQ(pretty.text(), "{\n  \"k\": \"v\"\n}");
}

TEST(JsonWriter, EveryStringComesOutParseableAndUnchanged) {
   std::string nasty = "quote\" backslash\\ slash/ tab\t nl\n cr\r bell\a nul";
   nasty.push_back('\0');
   nasty += " del\x7F caf\xC3\xA9 \xF0\x9F\x98\x80";
   JsonWriter json;
   json.beginObject();
   json.member(nasty, nasty);
   json.member("wide", L"\u00E9\u20AC");
   json.endObject();
   e2e::JsonValue doc;
   std::string error;
   ASSERT_TRUE(e2e::ParseJson(json.text(), &doc, &error)) << error << ": " << json.text();
   EXPECT_EQ(doc[nasty].text, nasty);
   EXPECT_EQ(doc["wide"].text, "\xC3\xA9\xE2\x82\xAC");
   EXPECT_EQ(JsonQuote(std::string("\x01", 1)), "\"\\u0001\"");
}

TEST(JsonWriter, InvalidUtf8NeverReachesTheOutput) {
   JsonWriter json;
   json.beginArray();
   json.value(std::string("bad\xFF\xFE bytes \xC3"));
   json.endArray();
   e2e::JsonValue doc;
   std::string error;
   ASSERT_TRUE(e2e::ParseJson(json.text(), &doc, &error)) << error;
   EXPECT_EQ(doc[0].text, "bad\xEF\xBF\xBD\xEF\xBF\xBD bytes \xEF\xBF\xBD");
}

TEST(JsonReader, RejectsWhatParsersReject) {
   e2e::JsonValue doc;
   std::string error;
   for (const char *bad : {"", "{", "[1,]", "{\"a\":1,}", "\"raw\nline\"", "\"\\x\"", "01", "[1] 2",
                           "\"\\ud800\"", "\"\xFF\"", "nul"})
      EXPECT_FALSE(e2e::ParseJson(bad, &doc, &error)) << bad;
   ASSERT_TRUE(e2e::ParseJson(" {\"a\": [1, -2.5e3, \"\\u00e9\\ud83d\\ude00\"]} ", &doc, &error));
   EXPECT_EQ(doc["a"][1].number, -2500);
   EXPECT_EQ(doc["a"][2].text, "\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(TextTable, ColumnsAlignByCharactersNotBytes) {
   TextTable table({"NAME", "VALUE"});
   table.addRow({"caf\xC3\xA9", "1"});
   table.addRow({"longer name", "2"});
   table.addRow({"short"});
   EXPECT_EQ(table.render(),
             "NAME         VALUE\n"
             "caf\xC3\xA9         1\n"
             "longer name  2\n"
             "short\n");
}

TEST(TextTable, ControlCharactersCannotBreakARow) {
   TextTable table({"A", "B"});
   table.addRow({"line\nbreak", "tab\there\r"});
   EXPECT_EQ(table.render(), "A           B\nline break  tab here\n");
   EXPECT_EQ(DisplayWidth("\xE2\x82\xAC\xE2\x82\xAC"), 2u);
}

TEST(ProgressBar, LineShowsShareSizeAndRate) {
   EXPECT_EQ(ProgressBar::Format("upload f", 512, 1024, 1.0, 10),
             "upload f [#####.....]  50% 512 B of 1.0 KiB, 512 B/s");
   EXPECT_EQ(ProgressBar::Format("upload f", 0, 0, 0.0, 10), "upload f 0 B");
   // More than announced never draws past the end.
   EXPECT_EQ(ProgressBar::Format("x", 2048, 1024, 0.0, 4), "x [####] 100% 2.0 KiB of 1.0 KiB");
}

TEST(ProgressBar, DrawsNothingWhenDisabled) {
   testing::internal::CaptureStderr();
   {
      ProgressBar bar("quiet", 100, false);
      bar.update(50);
      bar.finish();
   }
   EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
