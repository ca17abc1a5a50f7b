// Small owners and helpers for file descriptors and sockets.
#ifndef HKAGENT_FD_UTIL_H
#define HKAGENT_FD_UTIL_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace hkagent {

// Owns one descriptor; closes it when destroyed. Movable, not copyable.
class UniqueFd {
public:
   UniqueFd() = default;
   explicit UniqueFd(int fd) : m_fd(fd) {}
   UniqueFd(UniqueFd &&other) noexcept : m_fd(other.release()) {}
   UniqueFd &operator=(UniqueFd &&other) noexcept;
   UniqueFd(const UniqueFd &) = delete;
   UniqueFd &operator=(const UniqueFd &) = delete;
   ~UniqueFd() { reset(); }

   int get() const { return m_fd; }
   bool valid() const { return m_fd >= 0; }
   int release() {
      int fd = m_fd;
      m_fd = -1;
      return fd;
   }
   void reset(int fd = -1);

private:
   int m_fd = -1;
};

// A TCP connection to address:port (IPv4, host byte order) within timeoutMs.
// On failure the result is invalid and *timedOut tells whether the time ran
// out (as opposed to a refusal or another error).
UniqueFd ConnectTcp(uint32_t address, uint16_t port, uint32_t timeoutMs, bool *timedOut);

// Writes all bytes (retrying on EINTR and short writes); false on error.
bool WriteAll(int fd, const void *data, size_t size);

// Reads a whole file, at most maxBytes; false when it cannot be read or is
// larger.
bool ReadFileLimited(const std::string &path, size_t maxBytes, std::string *content);

// Text of an IPv4 address given in host byte order.
std::string Ipv4ToText(uint32_t address);

}  // namespace hkagent

#endif
