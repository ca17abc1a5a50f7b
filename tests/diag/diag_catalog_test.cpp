// The message catalog: its texts and insert counts, and the binary message
// table read back by a parser written from the published layout.
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "hksrv.h"

namespace {

uint32_t U32(const uint8_t *p) {
   return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t U16(const uint8_t *p) {
   return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// MESSAGE_RESOURCE_DATA: a block count, blocks of (low id, high id, offset
// to the block's entries), and per id an entry of (length, flags, text),
// length covering the whole entry. Returns id -> text as stored (with its
// CR LF, without the NUL padding); fails the test on any layout fault.
std::map<uint32_t, std::wstring> ParseMessageTable(const uint8_t *data, size_t size) {
   std::map<uint32_t, std::wstring> texts;
   EXPECT_GE(size, 4u);
   if (size < 4)
      return texts;
   const uint32_t blocks = U32(data);
   EXPECT_EQ(blocks, 1u);
   for (uint32_t b = 0; b < blocks; b++) {
      const size_t at = 4 + 12 * static_cast<size_t>(b);
      EXPECT_LE(at + 12, size);
      if (at + 12 > size)
         return texts;
      const uint32_t low = U32(data + at), high = U32(data + at + 4);
      size_t offset = U32(data + at + 8);
      for (uint32_t id = low; id <= high; id++) {
         EXPECT_LE(offset + 4, size) << id;
         if (offset + 4 > size)
            return texts;
         const uint16_t length = U16(data + offset), flags = U16(data + offset + 2);
         EXPECT_EQ(flags, 0x0001) << "MESSAGE_RESOURCE_UNICODE, id " << id;
         EXPECT_EQ(length % 4, 0u) << id;
         EXPECT_GE(length, 4 + 2 * 3) << id;  // CR LF NUL at least
         EXPECT_LE(offset + length, size) << id;
         if (offset + length > size || length < 4)
            return texts;
         std::wstring text;
         size_t nuls = 0;
         for (size_t p = offset + 4; p + 1 < offset + length; p += 2) {
            const uint16_t unit = U16(data + p);
            if (unit == 0) {
               nuls++;
            } else {
               EXPECT_EQ(nuls, 0u) << "text after its NUL, id " << id;
               text.push_back(static_cast<wchar_t>(unit));
            }
         }
         EXPECT_TRUE(nuls == 1 || nuls == 2) << id;
         texts[id] = text;
         offset += length;
      }
      EXPECT_EQ(offset, size) << "nothing follows the last entry";
   }
   return texts;
}

std::vector<uint8_t> ReadFile(const char *path) {
   std::vector<uint8_t> bytes;
   FILE *f = fopen(path, "rb");
   if (f == nullptr)
      return bytes;
   uint8_t buffer[4096];
   size_t n;
   while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
      bytes.insert(bytes.end(), buffer, buffer + n);
   fclose(f);
   return bytes;
}

int CountWith(const wchar_t *insert) {
   int count = 0;
   for (uint32_t id = 1; id <= 142; id++)
      if (wcsstr(GetCatalogMessageText(id), insert) != nullptr)
         count++;
   return count;
}

}  // namespace

TEST(Catalog, IdsOneTo142) {
   EXPECT_EQ(GetCatalogMessageText(0), nullptr);
   EXPECT_EQ(GetCatalogMessageText(143), nullptr);
   EXPECT_EQ(GetCatalogMessageText(0xFFFFFFFF), nullptr);
   for (uint32_t id = 1; id <= 142; id++) {
      ASSERT_NE(GetCatalogMessageText(id), nullptr) << id;
      EXPECT_GT(wcslen(GetCatalogMessageText(id)), 0u) << id;
   }
}

TEST(Catalog, Texts) {
   EXPECT_STREQ(GetCatalogMessageText(0x01), L"Hesker Server started");
   EXPECT_STREQ(GetCatalogMessageText(0x03), L"Unable to resolve symbol \"%1\": %2");
   EXPECT_STREQ(GetCatalogMessageText(0x18), L"Unknown SNMP variable type %1 in GET response PDU");
   EXPECT_STREQ(GetCatalogMessageText(0x19), L"Error %1 in processing SNMP GET request");
   EXPECT_STREQ(GetCatalogMessageText(0x1B), L"Error parsing SNMP OID '%1'");
   EXPECT_STREQ(GetCatalogMessageText(0x37),
                L"User group \"Everyone\" created because it was not presented in database");
   EXPECT_STREQ(GetCatalogMessageText(0x3C),
                L"Inconsistent database: %2 object has reference to non-existing child object %1");
   EXPECT_STREQ(GetCatalogMessageText(0x41), L"%1");
   EXPECT_STREQ(GetCatalogMessageText(0x50), L"Failed to initialize cryptografy module");
   EXPECT_STREQ(GetCatalogMessageText(0x52),
                L"Inconsistent database: %3 %1 linked to non-existing node %2");
   EXPECT_STREQ(
       GetCatalogMessageText(0x66),
       L"EXCEPTION %1 (%2) at %3 (crash dump was generated); please send files %4 and %5 to "
       L"crash-reports@hksrv.invalid");
   EXPECT_STREQ(GetCatalogMessageText(0x71), L"%1");
   EXPECT_STREQ(GetCatalogMessageText(0x74),
                L"Failed to establish ISC session from %1 to service %2: %3");
   EXPECT_STREQ(GetCatalogMessageText(0x8E),
                L"Failed to load service check object with id %1 from database");
}

TEST(Catalog, InsertCounts) {
   EXPECT_EQ(CountWith(L"%1"), 123);
   EXPECT_EQ(CountWith(L"%2"), 53);
   EXPECT_EQ(CountWith(L"%3"), 15);
   EXPECT_EQ(CountWith(L"%4"), 1);
   EXPECT_EQ(CountWith(L"%5"), 1);
   EXPECT_NE(wcsstr(GetCatalogMessageText(0x66), L"%4"), nullptr);
   EXPECT_NE(wcsstr(GetCatalogMessageText(0x66), L"%5"), nullptr);
   int withoutInsert = 0;
   for (uint32_t id = 1; id <= 142; id++)
      if (wcschr(GetCatalogMessageText(id), L'%') == nullptr)
         withoutInsert++;
   EXPECT_EQ(withoutInsert, 19);
}

TEST(MessageTable, ReadsBackEveryText) {
   size_t size = 0;
   const uint8_t *data = GetMessageTableResource(&size);
   ASSERT_NE(data, nullptr);
   EXPECT_EQ(GetMessageTableResource(nullptr), data);
   // Header and block: one block of ids 1 to 142 right after it.
   ASSERT_GE(size, 16u);
   EXPECT_EQ(U32(data + 4), 1u);
   EXPECT_EQ(U32(data + 8), 142u);
   EXPECT_EQ(U32(data + 12), 16u);

   std::map<uint32_t, std::wstring> texts = ParseMessageTable(data, size);
   ASSERT_EQ(texts.size(), 142u);
   for (uint32_t id = 1; id <= 142; id++)
      EXPECT_EQ(texts[id], std::wstring(GetCatalogMessageText(id)) + L"\r\n") << id;
}

TEST(MessageTable, PaddingIsOneOrTwoNuls) {
   size_t size = 0;
   const uint8_t *data = GetMessageTableResource(&size);
   // "Hesker Server started" is 21 characters + CR LF: 23 units, one NUL
   // makes 24 (48 bytes + 4). "%1" + CR LF is 4 units: two NULs make 6.
   EXPECT_EQ(U16(data + 16), 52);
   size_t offset = 16;
   for (uint32_t id = 1; id < 0x41; id++)
      offset += U16(data + offset);
   EXPECT_EQ(U16(data + offset), 4 + 2 * 6);
   EXPECT_EQ(U16(data + offset + 4), '%');
   EXPECT_EQ(U16(data + offset + 8), '\r');
   EXPECT_EQ(U16(data + offset + 10), '\n');
   EXPECT_EQ(U16(data + offset + 12), 0);
   EXPECT_EQ(U16(data + offset + 14), 0);
}

TEST(MessageTable, EmbeddedBytesEqualTheGeneratedFile) {
   std::vector<uint8_t> file = ReadFile(HKSRV_MSGTABLE_BIN);
   size_t size = 0;
   const uint8_t *data = GetMessageTableResource(&size);
   ASSERT_EQ(file.size(), size);
   EXPECT_EQ(file, std::vector<uint8_t>(data, data + size));
}

// Free-text messages render their insert followed by the closing CR LF.
TEST(MessageTable, FreeTextMessagesRenderTheirInsert) {
   size_t size = 0;
   const uint8_t *data = GetMessageTableResource(&size);
   std::map<uint32_t, std::wstring> texts = ParseMessageTable(data, size);
   const wchar_t *inserts[] = {L"free text 42"};
   for (uint32_t id : {0x41u, 0x71u}) {
      wchar_t rendered[64];
      hklog_render(texts[id].c_str(), 1, inserts, rendered, 64);
      EXPECT_STREQ(rendered, L"free text 42\r\n") << id;
   }
}
