// The system log of the platform seam on Windows: the application event
// log, under the source name "libhesker".
#include "hk_platform.h"

#include <string>

void WriteSystemLog(uint16_t type, const char *utf8Text) {
   const char *text = (utf8Text != nullptr) ? utf8Text : "";
   int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
   std::wstring wide(length > 0 ? (size_t)length : 1, L'\0');
   if (length > 0)
      MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
   WORD entryType = (type == 1 || type == 2 || type == 4) ? type : EVENTLOG_INFORMATION_TYPE;
   HANDLE source = RegisterEventSourceW(nullptr, L"libhesker");
   if (source == nullptr)
      return;  // no event log to write to: nothing else can take the line
   const wchar_t *strings[1] = {wide.c_str()};
   ReportEventW(source, entryType, 0, 0, nullptr, 1, 0, strings, nullptr);
   DeregisterEventSource(source);
}
