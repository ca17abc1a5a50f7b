// The log entry points, asserted through an installed event-log sink.
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hksrv.h"

namespace {

// Read during static initialisation, before any test changes them.
const int kInitialDebugLevel = g_nDebugLevel;
const uint32_t kInitialFlags = g_dwFlags;

struct Entry {
   uint32_t id;
   uint16_t type;
   std::vector<std::wstring> inserts;
};

class LogTest : public ::testing::Test {
protected:
   void SetUp() override {
      m_savedLevel = g_nDebugLevel;
      hklog_set_sink(Sink, this);
   }
   void TearDown() override {
      hklog_set_sink(nullptr, nullptr);
      g_nDebugLevel = m_savedLevel;
   }

   std::vector<Entry> entries() {
      std::lock_guard<std::mutex> guard(m_lock);
      return m_entries;
   }

private:
   static void Sink(const HKLOG_ENTRY *entry, void *context) {
      auto *self = static_cast<LogTest *>(context);
      Entry e{entry->messageId, entry->type, {}};
      for (int i = 0; i < entry->numInserts; i++)
         e.inserts.emplace_back(entry->inserts[i]);
      std::lock_guard<std::mutex> guard(self->m_lock);
      self->m_entries.push_back(e);
   }

   int m_savedLevel = 0;
   std::mutex m_lock;
   std::vector<Entry> m_entries;  // guarded by m_lock
};

void CallDbgPrintf2(int level, const wchar_t *format, ...) {
   va_list args;
   va_start(args, format);
   DbgPrintf2(level, format, args);
   va_end(args);
}

}  // namespace

TEST(LogWords, InitialValues) {
   EXPECT_EQ(kInitialDebugLevel, 0);
   EXPECT_EQ(kInitialFlags, 2u);
}

TEST(LogWords, LibraryEntryTouchesNothing) {
   const int level = g_nDebugLevel;
   const uint32_t flags = g_dwFlags;
   for (uint32_t reason :
        {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH, DLL_PROCESS_DETACH})
      EXPECT_EQ(HksrvLibraryEntry(nullptr, reason, nullptr), 1) << reason;
   EXPECT_EQ(g_nDebugLevel, level);
   EXPECT_EQ(g_dwFlags, flags);
}

TEST_F(LogTest, DbgPrintfFiltersByLevel) {
   g_nDebugLevel = 4;
   DbgPrintf(5, L"dropped %d", 5);
   DbgPrintf(6, L"dropped %s", L"too");
   EXPECT_TRUE(entries().empty());

   DbgPrintf(4, L"kept %d %s %hs", 4, L"wide", "narrow");
   DbgPrintf(0, L"level zero");
   std::vector<Entry> e = entries();
   ASSERT_EQ(e.size(), 2u);
   EXPECT_EQ(e[0].id, 65u);
   EXPECT_EQ(e[0].type, 128);
   EXPECT_EQ(e[0].inserts, (std::vector<std::wstring>{L"kept 4 wide narrow"}));
   EXPECT_EQ(e[1].inserts, (std::vector<std::wstring>{L"level zero"}));
}

TEST_F(LogTest, DbgPrintfAtDefaultLevelWritesOnlyLevelZero) {
   g_nDebugLevel = 0;
   DbgPrintf(1, L"dropped");
   DbgPrintf(0, L"kept");
   ASSERT_EQ(entries().size(), 1u);
   EXPECT_EQ(entries()[0].inserts[0], L"kept");
}

TEST_F(LogTest, DbgPrintf2FiltersLikeDbgPrintf) {
   g_nDebugLevel = 4;
   CallDbgPrintf2(5, L"dropped %d", 5);
   EXPECT_TRUE(entries().empty());
   CallDbgPrintf2(4, L"value %d of %s", 17, L"x");
   std::vector<Entry> e = entries();
   ASSERT_EQ(e.size(), 1u);
   EXPECT_EQ(e[0].id, 65u);
   EXPECT_EQ(e[0].type, 128);
   EXPECT_EQ(e[0].inserts, (std::vector<std::wstring>{L"value 17 of x"}));
}

TEST_F(LogTest, LongTextsAreCutTo4095Characters) {
   g_nDebugLevel = 9;
   const std::wstring exact(4095, L'a');
   const std::wstring over = std::wstring(4095, L'b') + L"c";
   const std::wstring far = std::wstring(4095, L'd') + std::wstring(5000, L'e');
   DbgPrintf(1, L"%s", exact.c_str());
   DbgPrintf(1, L"%s", over.c_str());
   CallDbgPrintf2(1, L"%s", far.c_str());
   WriteLogOther(4, L"%s", far.c_str());
   std::vector<Entry> e = entries();
   ASSERT_EQ(e.size(), 4u);
   EXPECT_EQ(e[0].inserts[0], exact);
   EXPECT_EQ(e[1].inserts[0], std::wstring(4095, L'b'));
   EXPECT_EQ(e[2].inserts[0], std::wstring(4095, L'd'));
   EXPECT_EQ(e[3].inserts[0], std::wstring(4095, L'd'));
}

TEST_F(LogTest, WriteLogOtherWritesMessage113WithTheCallersType) {
   g_nDebugLevel = 0;
   WriteLogOther(4, L"%d", 1234);
   g_nDebugLevel = -1;  // no level filter
   WriteLogOther(EVENTLOG_ERROR_TYPE, L"error %s", L"text");
   std::vector<Entry> e = entries();
   ASSERT_EQ(e.size(), 2u);
   EXPECT_EQ(e[0].id, 113u);
   EXPECT_EQ(e[0].type, 4);
   EXPECT_EQ(e[0].inserts, (std::vector<std::wstring>{L"1234"}));
   EXPECT_EQ(e[1].id, 113u);
   EXPECT_EQ(e[1].type, 1);
   EXPECT_EQ(e[1].inserts, (std::vector<std::wstring>{L"error text"}));
}

const wchar_t *HostMessageText(uint32_t) {
   return L"host text %1";
}

// Run alone (as CTest does), the entry below is the library's first, the one
// that would install its catalog; run after other tests it still checks that
// the host's choice stands.
TEST_F(LogTest, FirstEntryKeepsTheHostsTextSource) {
   hklog_set_text_source(HostMessageText);
   WriteLogOther(4, L"first");
   DbgPrintf(0, L"second");
   EXPECT_EQ(hklog_get_text_source(), &HostMessageText);
   hklog_set_text_source(nullptr);
}

TEST(LogTextSource, InstalledOnlyWhereNoneIsSet) {
   HKLOG_TEXT_SOURCE saved = hklog_get_text_source();
   hklog_set_text_source(nullptr);
   EXPECT_TRUE(hklog_set_text_source_if_none(GetCatalogMessageText));
   EXPECT_EQ(hklog_get_text_source(), &GetCatalogMessageText);
   EXPECT_FALSE(hklog_set_text_source_if_none(HostMessageText));
   EXPECT_EQ(hklog_get_text_source(), &GetCatalogMessageText);
   hklog_set_text_source(saved);
}

TEST_F(LogTest, EntryPointsMayRunOnManyThreads) {
   g_nDebugLevel = 6;
   std::vector<std::thread> threads;
   for (int t = 0; t < 4; t++)
      threads.emplace_back([t] {
         for (int i = 0; i < 250; i++) {
            DbgPrintf(6, L"thread %d line %d", t, i);
            WriteLogOther(4, L"thread %d other %d", t, i);
         }
      });
   for (std::thread &t : threads)
      t.join();
   int debug = 0, other = 0;
   for (const Entry &e : entries()) {
      debug += e.id == 65;
      other += e.id == 113;
   }
   EXPECT_EQ(debug, 1000);
   EXPECT_EQ(other, 1000);
}
