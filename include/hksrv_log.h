// Debug and event-log entry points, exported words and the message catalog.
//
// Every entry goes out through the core library's hklog_write with a catalog
// message id, a log type and its inserts; a host (or a test) decides where
// entries end up with hklog_set_sink. The catalog holds the texts of ids 1 to
// 142 for the library's own entries and for the host's.
//
// Thread safety: the entry points keep no state of their own and may be
// called from any thread at once. g_nDebugLevel and g_dwFlags are plain words
// that the host sets, normally once at start-up.
#ifndef HKSRV_LOG_H
#define HKSRV_LOG_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "hksrv_export.h"

// Debug lines with a level above this are dropped before they are formatted.
extern HKSRV_EXPORT int g_nDebugLevel;  // initially 0
// Process-wide storage for the host; the library never reads or writes it.
extern HKSRV_EXPORT uint32_t g_dwFlags;  // initially 2

// Log types, as the event log names them (windows.h has them as macros).
#ifndef _WIN32
static const uint16_t EVENTLOG_SUCCESS = 0x0000;
static const uint16_t EVENTLOG_ERROR_TYPE = 0x0001;
static const uint16_t EVENTLOG_WARNING_TYPE = 0x0002;
static const uint16_t EVENTLOG_INFORMATION_TYPE = 0x0004;
#endif
static const uint16_t EVENTLOG_DEBUG_TYPE = 0x0080;  // what debug lines are written with

// Catalog ids the entry points write.
static const uint32_t MSG_DEBUG = 65;   // "%1", debug lines
static const uint32_t MSG_OTHER = 113;  // "%1", the host's free text

// Maximum characters of one formatted entry; longer texts are cut to this.
static const size_t HKSRV_LOG_TEXT_MAX = 4095;

// A debug line: dropped unless level <= g_nDebugLevel (nothing is formatted
// then); else formatted by the wide printf conventions (%s takes a wide
// string, %hs a narrow one), cut to 4095 characters, and written as catalog
// message 65 with log type 128.
HKSRV_EXPORT void DbgPrintf(int level, const wchar_t *format, ...);
// DbgPrintf for a caller's own variadic wrapper: args is a list the caller
// has started (and ends itself).
HKSRV_EXPORT void DbgPrintf2(int level, const wchar_t *format, va_list args);
// The host's free-text entry: formatted like DbgPrintf, without a level
// filter, and written as catalog message 113 with the given log type.
HKSRV_EXPORT void WriteLogOther(uint16_t type, const wchar_t *format, ...);

// The catalog text of a message id (without its closing CR LF), or null for
// an id outside 1..142. The text is static. Fits HKLOG_TEXT_SOURCE, so a host
// may install it with hklog_set_text_source; the entry points above install
// it themselves before the first entry they write, unless the host has
// installed a text source already.
HKSRV_EXPORT const wchar_t *GetCatalogMessageText(uint32_t messageId);

// The catalog as a binary message table in the published message-resource
// layout (one block, ids 1 to 142, UTF-16LE entries ending in CR LF and NUL
// padding to a multiple of 4 bytes), generated from the catalog at build time.
// Returns the static bytes and stores their count in *size (when size is not
// null).
HKSRV_EXPORT const uint8_t *GetMessageTableResource(size_t *size);

// The library entry. On Windows builds the loader calls it (through DllMain)
// and DLL_PROCESS_ATTACH switches off thread notifications; on Linux it has
// nothing to do. Returns 1 for every reason and sets up no library state.
#ifndef _WIN32
static const uint32_t DLL_PROCESS_DETACH = 0;
static const uint32_t DLL_PROCESS_ATTACH = 1;
static const uint32_t DLL_THREAD_ATTACH = 2;
static const uint32_t DLL_THREAD_DETACH = 3;
#endif
HKSRV_EXPORT int HksrvLibraryEntry(void *module, uint32_t reason, void *reserved);

#endif
