// Helpers shared by the libraries and their users: reference counting,
// record arrays, string maps, the event log entry, and string, address and
// hash helpers.
#ifndef HK_UTIL_H
#define HK_UTIL_H

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "hesker_export.h"
#include "hk_platform.h"

// ---------------------------------------------------------------- reference counting
// An object shared by several owners; the creator holds the first reference.
class HESKER_EXPORT RefCountObject {
public:
   RefCountObject() = default;
   RefCountObject(const RefCountObject &) = delete;
   RefCountObject &operator=(const RefCountObject &) = delete;

   void incRefCount() { m_refCount.fetch_add(1, std::memory_order_relaxed); }
   // Drops one reference; deletes the object when it was the last.
   void decRefCount();
   int getRefCount() const { return m_refCount.load(); }

protected:
   virtual ~RefCountObject();

private:
   std::atomic<int> m_refCount{1};
};

// ---------------------------------------------------------------- record arrays
// A count and a malloc'ed array of records, owned: freed with the object.
template <typename T>
class StructArray {
public:
   StructArray(T *records, int count) : m_records(records), m_count(count) {}
   StructArray(const StructArray &) = delete;
   StructArray &operator=(const StructArray &) = delete;
   ~StructArray() { free(m_records); }

   int size() const { return m_count; }
   T *get(int index) const { return (index >= 0 && index < m_count) ? &m_records[index] : nullptr; }
   T *getBuffer() const { return m_records; }

private:
   T *m_records;
   int m_count;
};

// ---------------------------------------------------------------- string maps
// Wide-string keys to wide-string values; keys compare exactly. Not thread
// safe.
class HESKER_EXPORT StringMap {
public:
   StringMap();
   StringMap(const StringMap &) = delete;
   StringMap &operator=(const StringMap &) = delete;
   ~StringMap();

   void set(const wchar_t *key, const wchar_t *value);
   // The value, or null when the key is absent.
   const wchar_t *get(const wchar_t *key) const;
   void remove(const wchar_t *key);
   void clear();
   int size() const;
   // Keys and values by position, in insertion order; null outside.
   const wchar_t *getKeyByIndex(int index) const;
   const wchar_t *getValueByIndex(int index) const;

private:
   struct Impl;
   Impl *m_impl;
};

// ---------------------------------------------------------------- event log
// One event-log entry: a catalog message id, a log type and the inserts
// (%1, %2, ...) already rendered as text.
struct HKLOG_ENTRY {
   uint32_t messageId;
   uint16_t type;
   int numInserts;
   const wchar_t *const *inserts;
};
typedef void (*HKLOG_SINK)(const HKLOG_ENTRY *entry, void *context);
// Where a sink finds message texts: the catalog text of an id, or null.
typedef const wchar_t *(*HKLOG_TEXT_SOURCE)(uint32_t messageId);

// Writes an event-log entry. format has one letter per insert: 's' a wide
// string, 'd' a signed decimal int, 'x' an unsigned int in hexadecimal.
HESKER_EXPORT void hklog_write(uint32_t messageId, uint16_t type, const char *format, ...);
// Installs a sink (null restores the default, which renders the message
// text with its inserts and writes it to syslog). Thread safe.
HESKER_EXPORT void hklog_set_sink(HKLOG_SINK sink, void *context);
// Installs where the default sink takes message texts from.
HESKER_EXPORT void hklog_set_text_source(HKLOG_TEXT_SOURCE source);
// Installs source only when no text source is set, so that a library's own
// catalog never replaces one the host installed; true when it was installed.
HESKER_EXPORT bool hklog_set_text_source_if_none(HKLOG_TEXT_SOURCE source);
// The text source in effect (null when none is set).
HESKER_EXPORT HKLOG_TEXT_SOURCE hklog_get_text_source();
// Renders a message text, replacing %1..%9 by the inserts, into buffer.
HESKER_EXPORT void hklog_render(const wchar_t *text, int numInserts, const wchar_t *const *inserts,
                                wchar_t *buffer, size_t size);

// ---------------------------------------------------------------- strings and addresses
// Dotted text of an IPv4 address given in host byte order; buffer needs 16
// characters. Returns buffer.
HESKER_EXPORT wchar_t *IpToStr(uint32_t address, wchar_t *buffer);
// An IPv4 address in network byte order, or INADDR_NONE for bad text.
HESKER_EXPORT uint32_t inet_addr_w(const wchar_t *text);
// Hex text to bytes: at most maxBytes; returns the count. Non-hex
// characters count as 0.
HESKER_EXPORT size_t StrToBin(const wchar_t *text, uint8_t *bytes, size_t maxBytes);
// Bytes to upper-case hex text; text needs 2*count+1 characters. Returns text.
HESKER_EXPORT wchar_t *BinToStr(const uint8_t *bytes, size_t count, wchar_t *text);
// Removes leading and trailing blanks (spaces and tabs) in place.
HESKER_EXPORT void StrStrip(wchar_t *text);

// ---------------------------------------------------------------- hashes
static const size_t MD5_DIGEST_SIZE = 16;
static const size_t SHA1_DIGEST_SIZE = 20;
HESKER_EXPORT void CalculateMD5Hash(const uint8_t *data, size_t length, uint8_t *digest);
HESKER_EXPORT void CalculateSHA1Hash(const uint8_t *data, size_t length, uint8_t *digest);

#endif
