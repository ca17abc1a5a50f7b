// Facts about the host, read from the kernel (/proc, /sys, uname). Each
// reader returns false when the fact cannot be had.
#ifndef HKAGENT_SYSINFO_H
#define HKAGENT_SYSINFO_H

#include <cstdint>
#include <string>

namespace hkagent {

bool GetHostName(std::string *name);
bool GetSystemUptime(uint64_t *seconds);
uint32_t GetProcessorCount();
// Bytes; the key is a /proc/meminfo field name such as "MemTotal".
bool GetMemoryValue(const char *key, uint64_t *bytes);
// Load average over 1, 5 or 15 minutes, as the kernel prints it ("0.15").
bool GetLoadAverage(int minutes, std::string *value);

// True for a text that can name a network interface: 1 to 15 characters of
// letters, digits and "-_.:@", not "." or "..". Never a path.
bool IsValidInterfaceName(const std::string &name);
// An interface given by name or by decimal index, checked to exist; false
// otherwise.
bool ResolveInterface(const std::string &nameOrIndex, std::string *name);
// A file of /sys/class/net/NAME/ (for example "statistics/rx_bytes") as
// text without the line end; name must pass IsValidInterfaceName.
bool ReadInterfaceAttribute(const std::string &name, const char *attribute, std::string *value);

}  // namespace hkagent

#endif
