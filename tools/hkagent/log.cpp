#include "log.h"

#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace hkagent {

namespace {
std::atomic<int> g_level{(int)LogLevel::Info};
std::mutex g_writeLock;  // keeps each line whole on stderr
const char *const kNames[] = {"error", "warning", "info", "debug"};
// syslog priorities of the levels (err, warning, info, debug).
const int kJournalPriorities[] = {3, 4, 6, 7};

// systemd sets JOURNAL_STREAM to "DEVICE:INODE" of the stream it connected;
// it counts only while standard error is still that stream (not when a
// child of the service redirected it).
bool StderrIsJournal() {
   const char *stream = getenv("JOURNAL_STREAM");
   struct stat st;
   if (stream == nullptr || fstat(2, &st) != 0)
      return false;
   unsigned long long device = 0, inode = 0;
   return sscanf(stream, "%llu:%llu", &device, &inode) == 2 && device == st.st_dev &&
          inode == st.st_ino;
}
}  // namespace

void SetLogLevel(LogLevel level) {
   g_level.store((int)level);
}

LogLevel GetLogLevel() {
   return (LogLevel)g_level.load();
}

bool ParseLogLevel(const char *text, LogLevel *level) {
   for (int i = 0; i < 4; i++) {
      if (strcasecmp(text, kNames[i]) == 0) {
         *level = (LogLevel)i;
         return true;
      }
   }
   return false;
}

std::string EscapeForLog(std::string_view text, size_t maxBytes) {
   std::string out;
   bool cut = text.size() > maxBytes;
   if (cut)
      text = text.substr(0, maxBytes);
   for (char c : text) {
      unsigned char u = (unsigned char)c;
      if (u < 0x20 || u == 0x7F || c == '\\' || c == '"') {
         char escape[5];
         snprintf(escape, sizeof(escape), "\\x%02X", u);
         out += escape;
      } else {
         out.push_back(c);
      }
   }
   if (cut)
      out += "...";
   return out;
}

namespace {

void WriteLine(LogLevel level, const char *text) {
   // The journal stamps each line itself and reads the priority from a
   // "<N>" prefix.
   static const bool toJournal = StderrIsJournal();
   if (toJournal) {
      std::lock_guard<std::mutex> guard(g_writeLock);
      fprintf(stderr, "<%d>%s: %s\n", kJournalPriorities[(int)level], kNames[(int)level], text);
      fflush(stderr);
      return;
   }

   struct timespec now;
   clock_gettime(CLOCK_REALTIME, &now);
   struct tm parts;
   gmtime_r(&now.tv_sec, &parts);
   char stamp[32];
   strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%S", &parts);

   std::lock_guard<std::mutex> guard(g_writeLock);
   fprintf(stderr, "%s.%03ldZ hkagent %s: %s\n", stamp, now.tv_nsec / 1000000, kNames[(int)level],
           text);
   fflush(stderr);
}

void WriteFormatted(LogLevel level, const char *format, va_list args) {
   char text[1024];
   vsnprintf(text, sizeof(text), format, args);
   WriteLine(level, text);
}

// One kind of rate-limited line: a token bucket, refilled with time.
struct PeerLineKind {
   double tokens = kPeerLogBurst;
   uint64_t refilledMs = 0;
   uint64_t suppressed = 0;
   uint64_t lastSuppressedMs = 0;
   LogLevel level = LogLevel::Warning;
};

std::mutex g_peerLock;  // guards g_peerKinds
// By format: the formats are string literals, so the kinds are few.
std::map<const char *, PeerLineKind> g_peerKinds;

uint64_t NowMs() {
   struct timespec now;
   clock_gettime(CLOCK_MONOTONIC, &now);
   return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}

void ReportSuppressed(LogLevel level, uint64_t count, const char *format) {
   char text[256];
   snprintf(text, sizeof(text), "%llu similar lines suppressed (\"%s\")", (unsigned long long)count,
            EscapeForLog(format, 120).c_str());
   WriteLine(level, text);
}

}  // namespace

void Log(LogLevel level, const char *format, ...) {
   if ((int)level > g_level.load(std::memory_order_relaxed))
      return;
   va_list args;
   va_start(args, format);
   WriteFormatted(level, format, args);
   va_end(args);
}

void LogPeer(bool trusted, LogLevel level, const char *format, ...) {
   if ((int)level > g_level.load(std::memory_order_relaxed))
      return;
   if (!trusted) {
      uint64_t suppressed = 0;
      {
         std::lock_guard<std::mutex> guard(g_peerLock);
         PeerLineKind &kind = g_peerKinds[format];
         uint64_t now = NowMs();
         if (kind.refilledMs != 0) {
            kind.tokens += (double)(now - kind.refilledMs) * kPeerLogPerSecond / 1000.0;
            if (kind.tokens > kPeerLogBurst)
               kind.tokens = kPeerLogBurst;
         }
         kind.refilledMs = now;
         kind.level = level;
         if (kind.tokens < 1.0) {
            kind.suppressed++;
            kind.lastSuppressedMs = now;
            return;
         }
         kind.tokens -= 1.0;
         suppressed = kind.suppressed;
         kind.suppressed = 0;
      }
      if (suppressed > 0)
         ReportSuppressed(level, suppressed, format);
   }
   va_list args;
   va_start(args, format);
   WriteFormatted(level, format, args);
   va_end(args);
}

void FlushSuppressedLogs() {
   // A kind still being dropped waits: its next passing line reports.
   const uint64_t quietMs = 2000;
   std::vector<std::pair<const char *, PeerLineKind>> due;
   {
      std::lock_guard<std::mutex> guard(g_peerLock);
      uint64_t now = NowMs();
      for (auto &[format, kind] : g_peerKinds) {
         if (kind.suppressed > 0 && now - kind.lastSuppressedMs >= quietMs) {
            due.emplace_back(format, kind);
            kind.suppressed = 0;
         }
      }
   }
   for (const auto &[format, kind] : due)
      ReportSuppressed(kind.level, kind.suppressed, format);
}

}  // namespace hkagent
