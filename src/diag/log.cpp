// The log entry points: debug lines (DbgPrintf, DbgPrintf2) and the host's
// free-text entries (WriteLogOther), all written through hklog_write.
#include <cstdarg>

#include "hesker.h"
#include "hksrv_log.h"

int g_nDebugLevel = 0;
uint32_t g_dwFlags = 2;

namespace {

// Formats into a stack buffer (nothing is allocated) and hands the text to the
// event log as the single insert of the message.
void writeFormatted(uint32_t messageId, uint16_t type, const wchar_t *format, va_list args) {
   wchar_t buffer[HKSRV_LOG_TEXT_MAX + 1];
   buffer[0] = 0;
   // A longer text is cut by the formatter to its first 4095 characters.
   hk_vsnwprintf(buffer, HKSRV_LOG_TEXT_MAX + 1, format, args);
   buffer[HKSRV_LOG_TEXT_MAX] = 0;

   // The default sink needs the texts of the catalog: offer them once, the
   // first time this library writes anything, unless the host has already
   // installed a text source of its own.
   static const bool catalogOffered = [] {
      hklog_set_text_source_if_none(GetCatalogMessageText);
      return true;
   }();
   (void)catalogOffered;

   hklog_write(messageId, type, "s", buffer);
}

}  // namespace

void DbgPrintf(int level, const wchar_t *format, ...) {
   if (level > g_nDebugLevel)
      return;
   va_list args;
   va_start(args, format);
   writeFormatted(MSG_DEBUG, EVENTLOG_DEBUG_TYPE, format, args);
   va_end(args);
}

void DbgPrintf2(int level, const wchar_t *format, va_list args) {
   if (level > g_nDebugLevel)
      return;
   // The caller owns args; format from a copy so it can still use it.
   va_list copy;
   va_copy(copy, args);
   writeFormatted(MSG_DEBUG, EVENTLOG_DEBUG_TYPE, format, copy);
   va_end(copy);
}

void WriteLogOther(uint16_t type, const wchar_t *format, ...) {
   va_list args;
   va_start(args, format);
   writeFormatted(MSG_OTHER, type, format, args);
   va_end(args);
}
