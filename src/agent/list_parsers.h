// Parsers of the agent's text lists "Net.InterfaceList", "Net.ArpCache" and
// "Net.IP.RoutingTable", one line into one record. Internal to the library;
// header-only so that the tests exercise them directly.
//
// Every parser starts from a zero-filled record and fills what the line
// supplies; a malformed line still yields a record. A null line (the store
// holds one when the agent announced more lines than it sent) yields a
// record of zeros. The interface and route parsers work on the line in
// place, overwriting separators with terminators.
#ifndef HKSRV_AGENT_LIST_PARSERS_H
#define HKSRV_AGENT_LIST_PARSERS_H

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "hesker.h"
#include "hksrv_agent.h"
#include "hksrv_lists.h"

namespace hksrv_agent {

// wcstoul as it behaves where unsigned long is 32 bits wide: an overflow
// saturates at 0xFFFFFFFF, a negative number wraps modulo 2^32.
inline uint32_t ParseUInt32(const wchar_t *text, int base) {
   unsigned long value = wcstoul(text, nullptr, base);
   if (value <= 0xFFFFFFFFul)
      return (uint32_t)value;
   const wchar_t *p = text;
   while (iswspace(*p))
      p++;
   if (*p == L'-' && (0ul - value) <= 0xFFFFFFFFul)
      return (uint32_t)value;
   return 0xFFFFFFFFu;
}

// The net mask of a prefix-length text: n = 32 gives 0xFFFFFFFF, any other
// n the complement of 0xFFFFFFFF shifted right by n modulo 32 (so 0 gives 0
// and 33 gives 0x80000000). Text that is not a number counts as 0.
inline uint32_t PrefixLengthToMask(const wchar_t *text) {
   uint32_t bits = ParseUInt32(text, 10);
   if (bits == 32)
      return 0xFFFFFFFFu;
   return ~(0xFFFFFFFFu >> (bits % 32));
}

// Host-order value of a dotted quad (whatever inet_addr_w makes of other
// text).
inline uint32_t ParseIpAddress(const wchar_t *text) {
   return ntohl(inet_addr_w(text));
}

// Walks a line field by field: each field ends at the next space, which
// becomes a terminator. Once no space is left every later field is missing.
class LineCursor {
public:
   explicit LineCursor(wchar_t *line) : m_cursor(line), m_exhausted(line == nullptr) {}

   // The next field, or null when no space follows the cursor.
   wchar_t *next() {
      if (m_exhausted)
         return nullptr;
      wchar_t *space = wcschr(m_cursor, L' ');
      if (space == nullptr) {
         m_exhausted = true;
         return nullptr;
      }
      *space = L'\0';
      wchar_t *field = m_cursor;
      m_cursor = space + 1;
      return field;
   }

   // The text from the cursor to the end of the line (null for a null line).
   wchar_t *rest() const { return m_cursor; }

private:
   wchar_t *m_cursor;
   bool m_exhausted;
};

// Splits "address[/prefix]" into an address and a mask; a missing prefix
// length reads as 24.
inline void ParseAddressWithPrefix(wchar_t *field, uint32_t *address, uint32_t *mask) {
   wchar_t *slash = wcschr(field, L'/');
   const wchar_t *prefix = L"24";
   if (slash != nullptr) {
      *slash = L'\0';
      prefix = slash + 1;
   }
   *address = ParseIpAddress(field);
   *mask = PrefixLengthToMask(prefix);
}

// "index address[/prefix] type mac name..." into info.
inline void ParseInterfaceLine(wchar_t *line, HK_INTERFACE_INFO *info) {
   memset(info, 0, sizeof(HK_INTERFACE_INFO));
   if (line == nullptr)
      return;
   LineCursor cursor(line);
   if (wchar_t *field = cursor.next())
      info->ifIndex = ParseUInt32(field, 10);
   if (wchar_t *field = cursor.next())
      ParseAddressWithPrefix(field, &info->ipAddr, &info->ipNetMask);
   if (wchar_t *field = cursor.next())
      info->type = ParseUInt32(field, 10);
   if (wchar_t *field = cursor.next())
      StrToBin(field, info->macAddr, sizeof(info->macAddr));
   wcsncpy(info->name, cursor.rest(), 255);
   info->name[255] = L'\0';
   wcscpy(info->description, info->name);
}

// "destination[/prefix] nexthop index type" into route; the type is read
// from whatever text is left, even when earlier fields were missing.
inline void ParseRouteLine(wchar_t *line, ROUTE *route) {
   memset(route, 0, sizeof(ROUTE));
   if (line == nullptr)
      return;
   LineCursor cursor(line);
   if (wchar_t *field = cursor.next())
      ParseAddressWithPrefix(field, &route->destination, &route->netMask);
   if (wchar_t *field = cursor.next())
      route->nextHop = ParseIpAddress(field);
   if (wchar_t *field = cursor.next())
      route->ifIndex = ParseUInt32(field, 10);
   route->routeType = ParseUInt32(cursor.rest(), 10);
}

// "MMMMMMMMMMMM<spaces>address[ index]" into entry. The MAC address is read
// by position; a line shorter than 20 characters leaves the entry zero.
inline void ParseArpLine(wchar_t *line, ARP_ENTRY *entry) {
   memset(entry, 0, sizeof(ARP_ENTRY));
   if (line == nullptr || wcslen(line) < 20)
      return;
   for (int k = 0; k < 6; k++) {
      wchar_t pair[3] = {line[2 * k], line[2 * k + 1], L'\0'};
      entry->macAddr[k] = (uint8_t)wcstol(pair, nullptr, 16);
   }
   wchar_t *address = line + 12;
   while (*address == L' ')
      address++;
   wchar_t *space = wcschr(address, L' ');
   if (space != nullptr)
      *space = L'\0';
   entry->ipAddr = ParseIpAddress(address);
   if (space != nullptr)
      entry->ifIndex = ParseUInt32(space + 1, 10);
}

}  // namespace hksrv_agent

#endif
