// The platform seam: code page, wide formatting, UTF-8 output, locks,
// events and threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <string>
#include <thread>

#include "hesker_test_util.h"

TEST(CodePage, EveryByteRoundTrips) {
   char bytes[256];
   for (int i = 0; i < 255; i++)
      bytes[i] = (char)(i + 1);
   bytes[255] = 0;
   wchar_t wide[256];
   EXPECT_EQ(CodePageToWide(bytes, -1, wide, 256), 255u);
#ifndef _WIN32  // Windows uses the system's code page, which is not ISO-8859-1
   for (int i = 0; i < 255; i++)
      ASSERT_EQ((uint32_t)wide[i], (uint32_t)(i + 1));
#endif
   char back[256];
   EXPECT_EQ(WideToCodePage(wide, -1, back, 256), 255u);
   EXPECT_EQ(memcmp(back, bytes, 256), 0);
}

TEST(CodePage, CharactersAboveLatin1BecomeQuestionMarks) {
   char out[16];
   size_t length = WideToCodePage(L"a\u0100\u20ac\U0001F600\u00ff", -1, out, sizeof(out));
#ifndef _WIN32
   EXPECT_EQ(length, 5u);
   EXPECT_STREQ(out, "a???\xff");
#else
   // The system's code page, Windows-1252 in the test prefix, has the euro
   // sign; each half of a surrogate pair becomes a default character.
   ASSERT_EQ(GetACP(), 1252u);
   EXPECT_EQ(length, 6u);
   EXPECT_STREQ(out, "a?\x80??\xff");
   // A decomposed letter is composed where the code page has it.
   EXPECT_EQ(WideToCodePage(L"e\u0301!", -1, out, sizeof(out)), 2u);
   EXPECT_STREQ(out, "\xe9!");
#endif
}

TEST(CodePage, LengthsAndTruncation) {
   char out[4];
   EXPECT_EQ(WideToCodePage(L"abcdef", -1, out, sizeof(out)), 3u);
   EXPECT_STREQ(out, "abc");
   EXPECT_EQ(WideToCodePage(L"abcdef", 2, out, sizeof(out)), 2u);
   EXPECT_STREQ(out, "ab");
   EXPECT_EQ(WideToCodePage(L"abc", 0, out, sizeof(out)), 0u);
   EXPECT_STREQ(out, "");
   EXPECT_EQ(WideToCodePage(L"abc", -1, out, 0), 0u);
   wchar_t wide[3];
   EXPECT_EQ(CodePageToWide("xyz\xe9", -1, wide, 3), 2u);
   EXPECT_STREQ(wide, L"xy");
   EXPECT_EQ(CodePageToWide("x\xe9", 2, wide, 3), 2u);
   EXPECT_EQ((uint32_t)wide[1], 0xE9u);
   EXPECT_EQ(CodePageToWide(nullptr, -1, wide, 3), 0u);
   EXPECT_STREQ(wide, L"");
}

TEST(WideFormat, PercentSTakesAWideStringAndHsANarrowOne) {
   wchar_t out[128];
   EXPECT_EQ(hk_snwprintf(out, 128, L"[%s|%S|%hs|%ls]", L"w\u00e9", L"W", "n\xe9", L"l"), 11);
   EXPECT_STREQ(out, L"[w\u00e9|W|n\u00e9|l]");
}

TEST(WideFormat, CharactersAndNumbers) {
   wchar_t out[128];
   hk_snwprintf(out, 128, L"%c%C%hc|%d|%5u|%-4x|%08X|%lld|%I64u|%zu|%.2f|%%|%p", L'\u0100', L'B',
                'c', -42, 7u, 0xabu, 0xBEEFu, -1234567890123ll, 18446744073709551615ull, (size_t)99,
                3.14159, (void *)nullptr);
   EXPECT_STREQ(out,
                L"\u0100Bc|-42|    7|ab  |0000BEEF|-1234567890123|18446744073709551615|99|"
                L"3.14|%|(nil)");
}

TEST(WideFormat, WidthPrecisionAndStarsApplyToStrings) {
   wchar_t out[64];
   hk_snwprintf(out, 64, L"[%6s][%-6s][%.2s][%*s][%.*hs]", L"ab", L"ab", L"abcdef", 4, L"x", 3,
                "narrow");
   EXPECT_STREQ(out, L"[    ab][ab    ][ab][   x][nar]");
}

TEST(WideFormat, NullStringsPrintAsNull) {
   wchar_t out[64];
   hk_snwprintf(out, 64, L"%s/%hs", (const wchar_t *)nullptr, (const char *)nullptr);
   EXPECT_STREQ(out, L"(null)/(null)");
}

TEST(WideFormat, LongerTextIsCutCleanlyAndFullLengthReturned) {
   wchar_t out[8];
   wmemset(out, L'#', 8);
   EXPECT_EQ(hk_snwprintf(out, 5, L"%s-%d", L"abcdef", 12345), 12);
   EXPECT_STREQ(out, L"abcd");
   EXPECT_EQ(out[5], L'#');  // nothing written past count
   EXPECT_EQ(hk_snwprintf(out, 1, L"abc"), 3);
   EXPECT_STREQ(out, L"");
   EXPECT_EQ(hk_snwprintf(nullptr, 0, L"%d", 100), 3);

   // A text far above any internal buffer keeps its first count-1 characters.
   std::wstring big(100000, L'z');
   std::vector<wchar_t> buffer(4096);
   EXPECT_EQ(hk_snwprintf(buffer.data(), buffer.size(), L"<%s>", big.c_str()), 100002);
   EXPECT_EQ(wcslen(buffer.data()), 4095u);
   EXPECT_EQ(buffer[0], L'<');
   EXPECT_EQ(buffer[4094], L'z');
   // A wide conversion with a width larger than the internal first buffer.
   EXPECT_EQ(hk_snwprintf(buffer.data(), buffer.size(), L"%3000d", 1), 3000);
   EXPECT_EQ(buffer[2999], L'1');
}

TEST(WideFormat, RefusedFormatsReturnMinusOne) {
   wchar_t out[16] = L"keep";
   int n = 0;
   EXPECT_EQ(hk_snwprintf(out, 16, L"%n", &n), -1);
   EXPECT_STREQ(out, L"");
   EXPECT_EQ(hk_snwprintf(out, 16, L"%1$d", 5), -1);
   EXPECT_EQ(hk_snwprintf(out, 16, L"abc%"), -1);
   EXPECT_EQ(hk_snwprintf(out, 16, L"%y", 1), -1);
   EXPECT_EQ(hk_snwprintf(out, 16, nullptr), -1);
}

TEST(WriteLine, WritesUtf8AndANewline) {
   FILE *stream = tmpfile();  // binary on every platform: the bytes are read back as written
   ASSERT_NE(stream, nullptr);
   hk_write_line(stream, L"a\u00e9\u20ac\U0001F600");
   hk_write_line(stream, L"");
   rewind(stream);
   char data[64];
   size_t size = fread(data, 1, sizeof(data), stream);
   fclose(stream);
   EXPECT_EQ(std::string(data, size), "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n\n");
}

TEST(CriticalSection, ExcludesAcrossThreads) {
   CriticalSection lock(100);
   long counter = 0;  // guarded by lock
   std::vector<std::thread> threads;
   for (int t = 0; t < 8; t++) {
      threads.emplace_back([&] {
         for (int i = 0; i < 20000; i++) {
            std::lock_guard<CriticalSection> guard(lock);
            counter++;
         }
      });
   }
   for (auto &t : threads)
      t.join();
   EXPECT_EQ(counter, 8 * 20000);
   // Free again once every thread is done.
   if (lock.try_lock())
      lock.unlock();
   else
      ADD_FAILURE() << "lock still held";
}

TEST(ManualResetEvent, StaysSignalledUntilReset) {
   ManualResetEvent event;
   EXPECT_FALSE(event.wait(0));
   EXPECT_FALSE(event.wait(1));
   event.set();
   EXPECT_TRUE(event.wait(0));
   EXPECT_TRUE(event.wait(INFINITE));  // still set
   event.reset();
   EXPECT_FALSE(event.wait(0));
}

TEST(ManualResetEvent, WakesAllWaiters) {
   ManualResetEvent event;
   std::atomic<int> woken{0};
   std::vector<std::thread> threads;
   for (int t = 0; t < 4; t++) {
      threads.emplace_back([&] {
         if (event.wait(30000))
            woken++;
      });
   }
   event.set();
   for (auto &t : threads)
      t.join();
   EXPECT_EQ(woken.load(), 4);
}

namespace {

uint32_t Increment(void *argument) {
   static_cast<std::atomic<int> *>(argument)->fetch_add(1);
   return 0;
}

uint32_t Throws(void *) {
   throw std::runtime_error("thread failure");
}

}  // namespace

TEST(Threads, StartAndJoin) {
   std::atomic<int> value{0};
   HK_THREAD *threads[4];
   for (auto &t : threads) {
      t = StartThread(Increment, &value);
      ASSERT_NE(t, nullptr);
   }
   for (auto &t : threads)
      JoinThread(t);
   EXPECT_EQ(value.load(), 4);
   JoinThread(nullptr);  // ignored
   EXPECT_EQ(StartThread(nullptr, nullptr), nullptr);
}

TEST(Threads, AnExceptionEndsOnlyTheThread) {
   HK_THREAD *t = StartThread(Throws, nullptr);
   ASSERT_NE(t, nullptr);
   JoinThread(t);
}

// Both directions fail with Winsock's number once this side shut down, on
// every platform; callers tell it apart from the peer's close by it.
TEST(Sockets, ShutdownHereFailsBothWaysWith10058) {
   hesker_test::TcpPair pair;
   ASSERT_TRUE(pair.ok());
   ShutdownSocket(pair.client);
   char byte = 0;
   EXPECT_EQ(SocketRecv(pair.client, &byte, 1), -1);
   EXPECT_EQ(WSAGetLastError(), 10058);
   EXPECT_EQ(SocketSendAll(pair.client, "x", 1), 0);
   EXPECT_EQ(WSAGetLastError(), 10058);
   // The peer sees an orderly close, and no stale error.
   EXPECT_EQ(SocketRecv(pair.server, &byte, 1), 0);
   EXPECT_EQ(WSAGetLastError(), 0);
}

TEST(Sockets, LastErrorIsPerThread) {
   WSASetLastError(1234);
   EXPECT_EQ(WSAGetLastError(), 1234);
   // Only read right after it is set: on Windows it is the thread's last
   // system error, which starting and joining a thread overwrite.
   int other = -1;
   std::thread([&] { other = WSAGetLastError(); }).join();
   EXPECT_EQ(other, 0);
}
