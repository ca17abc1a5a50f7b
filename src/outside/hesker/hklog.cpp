// The event-log entry: entries go to a sink, by default rendered through the
// message text source and written to the system log.
#include <cstdarg>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "hk_internal.h"
#include "hk_util.h"

namespace {

std::mutex g_logLock;
HKLOG_SINK g_sink = nullptr;               // guarded by g_logLock; null: default sink
void *g_sinkContext = nullptr;             // guarded by g_logLock
HKLOG_TEXT_SOURCE g_textSource = nullptr;  // guarded by g_logLock

void defaultSink(const HKLOG_ENTRY *entry, HKLOG_TEXT_SOURCE source) {
   const wchar_t *text = (source != nullptr) ? source(entry->messageId) : nullptr;
   std::wstring line;
   if (text != nullptr) {
      std::vector<wchar_t> buffer(4096);
      hklog_render(text, entry->numInserts, entry->inserts, buffer.data(), buffer.size());
      line = buffer.data();
   } else {
      // No catalog text: keep the id and the inserts so nothing is lost.
      line = L"message " + std::to_wstring(entry->messageId);
      for (int i = 0; i < entry->numInserts; i++) {
         line += (i == 0) ? L": " : L", ";
         line += entry->inserts[i];
      }
   }
   std::string utf8 = hk_wide_to_utf8(line.c_str());
   WriteSystemLog(entry->type, utf8.c_str());
}

}  // namespace

void hklog_write(uint32_t messageId, uint16_t type, const char *format, ...) {
   std::vector<std::wstring> inserts;
   va_list args;
   va_start(args, format);
   bool stop = false;
   for (const char *f = format; f != nullptr && *f != 0 && !stop; f++) {
      wchar_t number[32];
      switch (*f) {
         case 's': {
            const wchar_t *s = va_arg(args, const wchar_t *);
            inserts.emplace_back(s != nullptr ? s : L"(null)");
            break;
         }
         case 'd':
            swprintf(number, 32, L"%d", va_arg(args, int));
            inserts.emplace_back(number);
            break;
         case 'x':
            swprintf(number, 32, L"%x", va_arg(args, unsigned int));
            inserts.emplace_back(number);
            break;
         default:
            // An unknown letter has no argument we could safely take; the
            // inserts after it cannot be read either.
            stop = true;
            break;
      }
   }
   va_end(args);

   std::vector<const wchar_t *> pointers;
   for (const std::wstring &s : inserts)
      pointers.push_back(s.c_str());
   HKLOG_ENTRY entry = {messageId, type, (int)pointers.size(), pointers.data()};

   HKLOG_SINK sink;
   void *context;
   HKLOG_TEXT_SOURCE source;
   {
      std::lock_guard<std::mutex> guard(g_logLock);
      sink = g_sink;
      context = g_sinkContext;
      source = g_textSource;
   }
   if (sink != nullptr)
      sink(&entry, context);
   else
      defaultSink(&entry, source);
}

void hklog_set_sink(HKLOG_SINK sink, void *context) {
   std::lock_guard<std::mutex> guard(g_logLock);
   g_sink = sink;
   g_sinkContext = (sink != nullptr) ? context : nullptr;
}

void hklog_set_text_source(HKLOG_TEXT_SOURCE source) {
   std::lock_guard<std::mutex> guard(g_logLock);
   g_textSource = source;
}

bool hklog_set_text_source_if_none(HKLOG_TEXT_SOURCE source) {
   std::lock_guard<std::mutex> guard(g_logLock);
   if (g_textSource != nullptr)
      return false;
   g_textSource = source;
   return true;
}

HKLOG_TEXT_SOURCE hklog_get_text_source() {
   std::lock_guard<std::mutex> guard(g_logLock);
   return g_textSource;
}

// %1..%99 take the inserts (an absent one renders empty), %% is a percent
// sign; anything else is copied. The result is cut to size-1 characters.
void hklog_render(const wchar_t *text, int numInserts, const wchar_t *const *inserts,
                  wchar_t *buffer, size_t size) {
   if (buffer == nullptr || size == 0)
      return;
   size_t out = 0;
   auto put = [&](wchar_t c) {
      if (out < size - 1)
         buffer[out++] = c;
   };
   for (const wchar_t *p = text; p != nullptr && *p != 0; p++) {
      if (p[0] == L'%' && p[1] == L'%') {
         put(L'%');
         p++;
      } else if (p[0] == L'%' && p[1] >= L'1' && p[1] <= L'9') {
         int n = p[1] - L'0';
         p++;
         if (p[1] >= L'0' && p[1] <= L'9') {
            n = n * 10 + (p[1] - L'0');
            p++;
         }
         if (n <= numInserts && inserts != nullptr && inserts[n - 1] != nullptr) {
            for (const wchar_t *s = inserts[n - 1]; *s != 0; s++)
               put(*s);
         }
      } else {
         put(*p);
      }
   }
   buffer[out] = 0;
}
