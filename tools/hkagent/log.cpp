#include "log.h"

#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

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

void Log(LogLevel level, const char *format, ...) {
   if ((int)level > g_level.load(std::memory_order_relaxed))
      return;
   char text[1024];
   va_list args;
   va_start(args, format);
   vsnprintf(text, sizeof(text), format, args);
   va_end(args);

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

}  // namespace hkagent
