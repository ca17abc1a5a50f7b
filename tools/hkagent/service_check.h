// A TCP service check: connect within the time limit, send the request
// text (when there is one); without an expected text that is success.
// Otherwise read until the expected text has arrived anywhere in the first
// 4096 bytes, the peer closes, or the time limit ends. The result is a
// SERVICE_ status of agent_codes.h.
#ifndef HKAGENT_SERVICE_CHECK_H
#define HKAGENT_SERVICE_CHECK_H

#include <cstdint>
#include <string>

namespace hkagent {

// address in host byte order. The time limit covers the whole check.
uint32_t CheckTcpService(uint32_t address, uint16_t port, const std::string &request,
                         const std::string &expected, uint32_t timeoutMs);

}  // namespace hkagent

#endif
