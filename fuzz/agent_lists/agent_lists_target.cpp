// Input: byte 0 bit 0 chooses how the rest becomes a line: one character
// per byte, or one character per 4 bytes (any 32-bit value short of NUL).
// The line sits in an allocation of exactly its length, and every parser
// gets its own copy since they write terminators into it.
//
// Checked: the interface's name and description are terminated within
// their arrays and equal; an ARP line under 20 characters gives a record of
// zeros; every parser leaves the line no longer than it was.
#include "agent_lists_target.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "agent/list_parsers.h"

namespace {

void check(bool condition) {
   if (!condition)
      abort();
}

wchar_t *Copy(const std::vector<wchar_t> &line) {
   wchar_t *copy = static_cast<wchar_t *>(malloc(line.size() * sizeof(wchar_t)));
   memcpy(copy, line.data(), line.size() * sizeof(wchar_t));
   return copy;
}

bool AllZero(const void *p, size_t size) {
   const uint8_t *bytes = static_cast<const uint8_t *>(p);
   for (size_t i = 0; i < size; i++)
      if (bytes[i] != 0)
         return false;
   return true;
}

}  // namespace

int HkFuzzAgentLists(const uint8_t *data, size_t size) {
   if (size < 1 || size > 16384)
      return 0;
   const bool wideInput = (data[0] & 1) != 0;
   data++;
   size--;

   std::vector<wchar_t> line;
   if (wideInput) {
      for (size_t i = 0; i + 4 <= size; i += 4) {
         uint32_t c = ((uint32_t)data[i] << 24) | ((uint32_t)data[i + 1] << 16) |
                      ((uint32_t)data[i + 2] << 8) | data[i + 3];
         if (c != 0)
            line.push_back((wchar_t)c);
      }
   } else {
      for (size_t i = 0; i < size; i++)
         if (data[i] != 0)
            line.push_back((wchar_t)data[i]);
   }
   line.push_back(L'\0');
   const size_t length = line.size() - 1;

   wchar_t *text = Copy(line);
   HK_INTERFACE_INFO info;
   hksrv_agent::ParseInterfaceLine(text, &info);
   check(wcsnlen(info.name, 256) < 256 && wcscmp(info.name, info.description) == 0);
   check(wcslen(text) <= length);
   free(text);

   text = Copy(line);
   ROUTE route;
   hksrv_agent::ParseRouteLine(text, &route);
   check(wcslen(text) <= length);
   free(text);

   text = Copy(line);
   ARP_ENTRY entry;
   hksrv_agent::ParseArpLine(text, &entry);
   if (length < 20)
      check(AllZero(&entry, sizeof(entry)));
   check(wcslen(text) <= length);
   free(text);

   // The store holds a null line when the agent sent fewer than it said.
   hksrv_agent::ParseInterfaceLine(nullptr, &info);
   hksrv_agent::ParseRouteLine(nullptr, &route);
   hksrv_agent::ParseArpLine(nullptr, &entry);
   check(AllZero(&info, sizeof(info)) && AllZero(&route, sizeof(route)) &&
         AllZero(&entry, sizeof(entry)));
   return 0;
}
