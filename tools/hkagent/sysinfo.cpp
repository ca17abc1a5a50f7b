#include "sysinfo.h"

#include <net/if.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "fd_util.h"

namespace hkagent {

namespace {

const size_t kProcFileLimit = 1 << 16;

std::string FirstLine(const std::string &text) {
   size_t end = text.find('\n');
   return end == std::string::npos ? text : text.substr(0, end);
}

}  // namespace

bool GetHostName(std::string *name) {
   struct utsname u;
   if (uname(&u) != 0)
      return false;
   *name = u.nodename;
   return true;
}

bool GetSystemUptime(uint64_t *seconds) {
   std::string text;
   if (!ReadFileLimited("/proc/uptime", kProcFileLimit, &text))
      return false;
   char *end = nullptr;
   double value = strtod(text.c_str(), &end);
   if (end == text.c_str() || value < 0)
      return false;
   *seconds = (uint64_t)value;
   return true;
}

uint32_t GetProcessorCount() {
   long n = sysconf(_SC_NPROCESSORS_ONLN);
   return n > 0 ? (uint32_t)n : 1;
}

bool GetMemoryValue(const char *key, uint64_t *bytes) {
   std::string text;
   if (!ReadFileLimited("/proc/meminfo", kProcFileLimit, &text))
      return false;
   std::string prefix = std::string(key) + ":";
   size_t pos = 0;
   while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos)
         end = text.size();
      if (text.compare(pos, prefix.size(), prefix) == 0) {
         const char *p = text.c_str() + pos + prefix.size();
         char *after = nullptr;
         unsigned long long value = strtoull(p, &after, 10);
         if (after == p)
            return false;
         while (*after == ' ')
            after++;
         *bytes = strncmp(after, "kB", 2) == 0 ? value * 1024 : value;
         return true;
      }
      pos = end + 1;
   }
   return false;
}

bool GetLoadAverage(int minutes, std::string *value) {
   int index = minutes == 1 ? 0 : minutes == 5 ? 1 : minutes == 15 ? 2 : -1;
   std::string text;
   if (index < 0 || !ReadFileLimited("/proc/loadavg", kProcFileLimit, &text))
      return false;
   size_t pos = 0;
   for (int i = 0; i < index; i++) {
      pos = text.find(' ', pos);
      if (pos == std::string::npos)
         return false;
      pos++;
   }
   size_t end = text.find(' ', pos);
   *value = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
   return !value->empty();
}

bool IsValidInterfaceName(const std::string &name) {
   if (name.empty() || name.size() >= IF_NAMESIZE || name == "." || name == "..")
      return false;
   for (char c : name) {
      if (!isalnum((unsigned char)c) && strchr("-_.:@", c) == nullptr)
         return false;
   }
   return true;
}

bool ResolveInterface(const std::string &nameOrIndex, std::string *name) {
   bool numeric = !nameOrIndex.empty() && nameOrIndex.size() <= 10;
   for (char c : nameOrIndex)
      numeric = numeric && isdigit((unsigned char)c);
   if (numeric) {
      char buffer[IF_NAMESIZE];
      if (if_indextoname((unsigned)strtoul(nameOrIndex.c_str(), nullptr, 10), buffer) == nullptr)
         return false;
      *name = buffer;
      return true;
   }
   if (!IsValidInterfaceName(nameOrIndex) || if_nametoindex(nameOrIndex.c_str()) == 0)
      return false;
   *name = nameOrIndex;
   return true;
}

bool ReadInterfaceAttribute(const std::string &name, const char *attribute, std::string *value) {
   if (!IsValidInterfaceName(name))
      return false;
   std::string text;
   if (!ReadFileLimited("/sys/class/net/" + name + "/" + attribute, kProcFileLimit, &text))
      return false;
   *value = FirstLine(text);
   return true;
}

}  // namespace hkagent
