// Tables, string maps, reference counts, code names, the event log and the
// string and address helpers.
#include <gtest/gtest.h>

#include <cwchar>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "hesker_test_util.h"

using namespace hesker_test;

// ---------------------------------------------------------------- Table

namespace {

void FillSample(Table &t) {
   t.setTitle(L"Interfaces");
   t.setInstanceColumn(L"Index");
   EXPECT_EQ(t.addColumn(L"Index", 1), 0);
   EXPECT_EQ(t.addColumn(L"Name"), 1);
   EXPECT_EQ(t.addColumn(L"Speed", 3), 2);
   for (int r = 0; r < 3; r++) {
      EXPECT_EQ(t.addRow(), r);
      t.setAt(r, 0, std::to_wstring(r + 1).c_str());
      t.setAt(r, 1, (L"eth" + std::to_wstring(r)).c_str());
      t.setAt(r, 2, r == 2 ? L"-5" : L"10000000000");
   }
}

}  // namespace

TEST(Table, FillMessageAndReadBackThroughTheWire) {
   Table t;
   FillSample(t);
   CSCPMessage m;
   t.fillMessage(&m);
   auto wire = DecodeExact(Encode(m));
   ASSERT_TRUE(wire->IsValid());
   Table back(wire.get());
   EXPECT_STREQ(back.getTitle(), L"Interfaces");
   EXPECT_STREQ(back.getInstanceColumn(), L"Index");
   ASSERT_EQ(back.getNumColumns(), 3);
   ASSERT_EQ(back.getNumRows(), 3);
   EXPECT_STREQ(back.getColumnName(1), L"Name");
   EXPECT_EQ(back.getColumnDataType(2), 3);
   EXPECT_EQ(back.getColumnIndex(L"Speed"), 2);
   EXPECT_EQ(back.getColumnIndex(L"speed"), -1);
   EXPECT_STREQ(back.getAsString(2, 1), L"eth2");
   EXPECT_EQ(back.getAsInt(1, 0), 2);
   EXPECT_EQ(back.getAsInt64(0, 2), 10000000000ll);
   EXPECT_EQ(back.getAsInt(2, 2), -5);
   EXPECT_EQ(back.getAsUInt(0, 0), 1u);
}

TEST(Table, AccessOutsideIsSafe) {
   Table t;
   FillSample(t);
   EXPECT_EQ(t.getAsString(3, 0), nullptr);
   EXPECT_EQ(t.getAsString(0, 3), nullptr);
   EXPECT_EQ(t.getAsString(-1, 0), nullptr);
   EXPECT_EQ(t.getAsInt(9, 9), 0);
   EXPECT_EQ(t.getColumnName(-1), nullptr);
   EXPECT_EQ(t.getColumnIndex(nullptr), -1);
   t.setAt(5, 5, L"ignored");
   // A column added later widens the existing rows with empty cells.
   int c = t.addColumn(L"Late");
   EXPECT_STREQ(t.getAsString(0, c), L"");
}

TEST(Table, MalformedMessagesGiveAnEmptyTable) {
   Table t;
   FillSample(t);
   CSCPMessage good;
   t.fillMessage(&good);

   // A missing cell.
   CSCPMessage noCell;
   t.fillMessage(&noCell);
   noCell.SetVariable(VID_TABLE_DATA_BASE + 4, (uint32_t)1);  // a cell that is not text
   EXPECT_EQ(Table(&noCell).getNumRows(), 0);

   // Counts far beyond the variables held: nothing is sized from them.
   CSCPMessage hugeRows;
   t.fillMessage(&hugeRows);
   hugeRows.SetVariable(VID_TABLE_NUM_ROWS, (uint32_t)0xFFFFFFFF);
   Table a(&hugeRows);
   EXPECT_EQ(a.getNumRows(), 0);
   EXPECT_EQ(a.getNumColumns(), 0);

   CSCPMessage hugeCols;
   t.fillMessage(&hugeCols);
   hugeCols.SetVariable(VID_TABLE_NUM_COLS, (uint32_t)0x7FFFFFFF);
   EXPECT_EQ(Table(&hugeCols).getNumColumns(), 0);

   CSCPMessage zeroColsManyRows;
   zeroColsManyRows.SetVariable(VID_TABLE_NUM_ROWS, (uint32_t)100000000);
   EXPECT_EQ(Table(&zeroColsManyRows).getNumRows(), 0);

   CSCPMessage noColumnName;
   t.fillMessage(&noColumnName);
   noColumnName.SetVariable(VID_TABLE_COLUMN_INFO_BASE + 2, (uint32_t)0);
   EXPECT_EQ(Table(&noColumnName).getNumColumns(), 0);

   EXPECT_EQ(Table(nullptr).getNumRows(), 0);
   EXPECT_EQ(Table(&good).getNumRows(), 3);
}

// ---------------------------------------------------------------- StringMap

TEST(StringMap, SetGetReplaceRemoveInOrder) {
   StringMap map;
   map.set(L"b", L"2");
   map.set(L"a", L"1");
   map.set(L"c", nullptr);
   EXPECT_EQ(map.size(), 3);
   EXPECT_STREQ(map.get(L"a"), L"1");
   EXPECT_STREQ(map.get(L"c"), L"");
   EXPECT_EQ(map.get(L"A"), nullptr);
   EXPECT_EQ(map.get(nullptr), nullptr);
   map.set(L"b", L"two");
   EXPECT_EQ(map.size(), 3);
   EXPECT_STREQ(map.getKeyByIndex(0), L"b");
   EXPECT_STREQ(map.getValueByIndex(0), L"two");
   map.remove(L"b");
   EXPECT_EQ(map.size(), 2);
   EXPECT_STREQ(map.getKeyByIndex(0), L"a");
   EXPECT_EQ(map.getKeyByIndex(2), nullptr);
   EXPECT_EQ(map.getValueByIndex(-1), nullptr);
   map.clear();
   EXPECT_EQ(map.size(), 0);
}

// ---------------------------------------------------------------- RefCountObject

namespace {

struct Counted : RefCountObject {
   explicit Counted(int *deleted) : m_deleted(deleted) {}

protected:
   ~Counted() override { (*m_deleted)++; }

private:
   int *m_deleted;
};

}  // namespace

TEST(RefCountObject, DeletedWithTheLastReference) {
   int deleted = 0;
   Counted *c = new Counted(&deleted);
   EXPECT_EQ(c->getRefCount(), 1);
   c->incRefCount();
   c->incRefCount();
   c->decRefCount();
   c->decRefCount();
   EXPECT_EQ(deleted, 0);
   EXPECT_EQ(c->getRefCount(), 1);
   c->decRefCount();
   EXPECT_EQ(deleted, 1);
}

TEST(RefCountObject, ConcurrentReferencesDeleteOnce) {
   int deleted = 0;
   Counted *c = new Counted(&deleted);
   std::vector<std::thread> threads;
   for (int t = 0; t < 8; t++) {
      c->incRefCount();
      threads.emplace_back([c] {
         for (int i = 0; i < 1000; i++) {
            c->incRefCount();
            c->decRefCount();
         }
         c->decRefCount();
      });
   }
   c->decRefCount();
   for (auto &t : threads)
      t.join();
   EXPECT_EQ(deleted, 1);
}

// ---------------------------------------------------------------- code names

TEST(HKCPMessageCodeName, KnownAndUnknownCodes) {
   wchar_t buffer[64];
   EXPECT_STREQ(HKCPMessageCodeName(CMD_NOP, buffer), L"CMD_NOP");
   EXPECT_STREQ(HKCPMessageCodeName(CMD_REQUEST_COMPLETED, buffer), L"CMD_REQUEST_COMPLETED");
   EXPECT_STREQ(HKCPMessageCodeName(CMD_GET_HKCP_VERSION, buffer), L"CMD_GET_HKCP_VERSION");
   EXPECT_STREQ(HKCPMessageCodeName(CMD_ENCRYPTED_MESSAGE, buffer), L"CMD_ENCRYPTED_MESSAGE");
   EXPECT_STREQ(HKCPMessageCodeName(0x1234, buffer), L"CMD_0x1234");
   EXPECT_STREQ(HKCPMessageCodeName(0, buffer), L"CMD_0x0000");
}

TEST(HKCPMessageCodeName, EveryDeclaredCodeHasItsName) {
   // Every code in hkcp_codes.h, by its number.
   const std::pair<uint16_t, const wchar_t *> codes[] = {{3, L"CMD_NOP"},
                                                         {19, L"CMD_TRAP"},
                                                         {29, L"CMD_REQUEST_COMPLETED"},
                                                         {60, L"CMD_UNINSTALL_POLICY"},
                                                         {64, L"CMD_AUTHENTICATE"},
                                                         {65, L"CMD_GET_PARAMETER"},
                                                         {66, L"CMD_GET_LIST"},
                                                         {67, L"CMD_EXEC_ACTION"},
                                                         {77, L"CMD_GET_POLICY_INVENTORY"},
                                                         {105, L"CMD_FILE_DATA"},
                                                         {106, L"CMD_UPLOAD_FILE"},
                                                         {107, L"CMD_START_UPGRADE"},
                                                         {115, L"CMD_CHECK_NETWORK_SERVICE"},
                                                         {116, L"CMD_GET_CONFIG_FILE"},
                                                         {117, L"CMD_UPDATE_CONFIG_FILE"},
                                                         {118, L"CMD_GET_SUPPORTED_PARAMETERS"},
                                                         {131, L"CMD_REQUEST_SESSION_KEY"},
                                                         {132, L"CMD_SESSION_KEY"},
                                                         {149, L"CMD_SETUP_PROXY_CONNECTION"},
                                                         {186, L"CMD_ENABLE_TRAPS"},
                                                         {187, L"CMD_DATA_PUSH"},
                                                         {195, L"CMD_SNMP_REQUEST"},
                                                         {232, L"CMD_CONNECT_TO_SERVICE"},
                                                         {245, L"CMD_GET_TABLE"},
                                                         {0x7FF0, L"CMD_GET_HKCP_VERSION"},
                                                         {0x7FF1, L"CMD_HKCP_VERSION"},
                                                         {0x7FFF, L"CMD_ENCRYPTED_MESSAGE"}};
   wchar_t buffer[64];
   for (const auto &c : codes)
      EXPECT_STREQ(HKCPMessageCodeName(c.first, buffer), c.second);
}

// ---------------------------------------------------------------- event log

namespace {

struct Captured {
   uint32_t id;
   uint16_t type;
   std::vector<std::wstring> inserts;
};

std::mutex g_capturedLock;
std::vector<Captured> g_captured;

void CaptureSink(const HKLOG_ENTRY *entry, void *context) {
   std::lock_guard<std::mutex> guard(g_capturedLock);
   Captured c{entry->messageId, entry->type, {}};
   for (int i = 0; i < entry->numInserts; i++)
      c.inserts.emplace_back(entry->inserts[i]);
   g_captured.push_back(c);
   (*static_cast<int *>(context))++;
}

}  // namespace

TEST(EventLog, EntriesReachTheInstalledSink) {
   int calls = 0;
   g_captured.clear();
   hklog_set_sink(CaptureSink, &calls);
   hklog_write(24, 1, "sdx", L"text", -7, 0xBEEFu);
   hklog_write(65, 128, "s", (const wchar_t *)nullptr);
   hklog_write(3, 4, "");
   hklog_set_sink(nullptr, nullptr);
   hklog_write(99, 4, "d", 1);  // default sink now: not captured
   ASSERT_EQ(calls, 3);
   ASSERT_EQ(g_captured.size(), 3u);
   EXPECT_EQ(g_captured[0].id, 24u);
   EXPECT_EQ(g_captured[0].type, 1);
   EXPECT_EQ(g_captured[0].inserts, (std::vector<std::wstring>{L"text", L"-7", L"beef"}));
   EXPECT_EQ(g_captured[1].inserts, (std::vector<std::wstring>{L"(null)"}));
   EXPECT_TRUE(g_captured[2].inserts.empty());
}

TEST(EventLog, AnUnknownFormatLetterStopsTheInserts) {
   int calls = 0;
   g_captured.clear();
   hklog_set_sink(CaptureSink, &calls);
   hklog_write(1, 1, "dqs", 5, L"never read");
   hklog_set_sink(nullptr, nullptr);
   ASSERT_EQ(g_captured.size(), 1u);
   EXPECT_EQ(g_captured[0].inserts, (std::vector<std::wstring>{L"5"}));
}

TEST(EventLog, RenderReplacesInserts) {
   const wchar_t *inserts[] = {L"one", L"two", L"three", L"4",   L"5",     L"6",
                               L"7",   L"8",   L"9",     L"ten", L"eleven"};
   wchar_t out[128];
   hklog_render(L"%2-%1 %% %3%%", 3, inserts, out, 128);
   EXPECT_STREQ(out, L"two-one % three%");
   hklog_render(L"%11 %10 %9", 11, inserts, out, 128);
   EXPECT_STREQ(out, L"eleven ten 9");
   hklog_render(L"[%4] %x %", 3, inserts, out, 128);  // absent insert renders empty
   EXPECT_STREQ(out, L"[] %x %");
   wchar_t small[6];
   hklog_render(L"%1 and %2", 2, inserts, small, 6);
   EXPECT_STREQ(small, L"one a");
   hklog_render(L"%1", 1, inserts, small, 0);  // nothing written
}

// ---------------------------------------------------------------- strings and addresses

TEST(Addresses, IpToStrTakesHostOrder) {
   wchar_t buffer[16];
   EXPECT_STREQ(IpToStr(0x7F000001, buffer), L"127.0.0.1");
   EXPECT_STREQ(IpToStr(0xFFFFFFFF, buffer), L"255.255.255.255");
   EXPECT_STREQ(IpToStr(0, buffer), L"0.0.0.0");
   EXPECT_STREQ(IpToStr(0x0A000102, buffer), L"10.0.1.2");
}

TEST(Addresses, InetAddrWGivesNetworkOrder) {
   EXPECT_EQ(inet_addr_w(L"127.0.0.1"), htonl(0x7F000001));
   EXPECT_EQ(inet_addr_w(L"10.0.1.2"), htonl(0x0A000102));
   EXPECT_EQ(inet_addr_w(L"256.1.1.1"), INADDR_NONE);
   EXPECT_EQ(inet_addr_w(L"1.2.3"), INADDR_NONE);
   EXPECT_EQ(inet_addr_w(L"1.2.3.4.5"), INADDR_NONE);
   EXPECT_EQ(inet_addr_w(L" 1.2.3.4"), INADDR_NONE);
   EXPECT_EQ(inet_addr_w(L"a.b.c.d"), INADDR_NONE);
   EXPECT_EQ(inet_addr_w(L"1.2.3.4444444444444444"), INADDR_NONE);
   EXPECT_EQ(inet_addr_w(L""), INADDR_NONE);
   EXPECT_EQ(inet_addr_w(nullptr), INADDR_NONE);
}

TEST(HexText, StrToBinAndBinToStr) {
   uint8_t bytes[8] = {};
   EXPECT_EQ(StrToBin(L"00FFa5", bytes, 8), 3u);
   EXPECT_EQ(bytes[0], 0x00);
   EXPECT_EQ(bytes[1], 0xFF);
   EXPECT_EQ(bytes[2], 0xA5);
   EXPECT_EQ(StrToBin(L"0102030405", bytes, 2), 2u);  // at most maxBytes
   EXPECT_EQ(bytes[1], 0x02);
   EXPECT_EQ(bytes[2], 0xA5);                  // untouched
   EXPECT_EQ(StrToBin(L"zz1", bytes, 8), 2u);  // non-hex is 0; odd digit is a high half
   EXPECT_EQ(bytes[0], 0x00);
   EXPECT_EQ(bytes[1], 0x10);
   EXPECT_EQ(StrToBin(L"", bytes, 8), 0u);

   wchar_t text[17];
   const uint8_t data[] = {0x00, 0x9A, 0xFF, 0x10};
   EXPECT_STREQ(BinToStr(data, 4, text), L"009AFF10");
   EXPECT_STREQ(BinToStr(data, 0, text), L"");
}

TEST(StrStrip, TrimsSpacesAndTabs) {
   wchar_t a[] = L" \t hello world \t ";
   StrStrip(a);
   EXPECT_STREQ(a, L"hello world");
   wchar_t b[] = L"   ";
   StrStrip(b);
   EXPECT_STREQ(b, L"");
   wchar_t c[] = L"x";
   StrStrip(c);
   EXPECT_STREQ(c, L"x");
   wchar_t d[] = L"\nkeep\n";
   StrStrip(d);
   EXPECT_STREQ(d, L"\nkeep\n");
   StrStrip(nullptr);
}
