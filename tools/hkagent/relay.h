// Moving bytes for others: the TCP relay of a proxy connection and the UDP
// exchange of a forwarded SNMP request.
#ifndef HKAGENT_RELAY_H
#define HKAGENT_RELAY_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace hkagent {

// Relays bytes both ways between a and b until either side closes or fails,
// or nothing moves for idleTimeoutMs (0: no limit). pendingToB is sent to b
// first (bytes a sent before the relay began). Both descriptors stay open;
// the caller closes them. Returns the bytes moved in each direction.
void RelayBytes(int a, int b, const std::string &pendingToB, uint32_t idleTimeoutMs,
                uint64_t *bytesAtoB, uint64_t *bytesBtoA);

// Sends request to address:port (host byte order) over UDP and waits up to
// timeoutMs per attempt for an answer from that address, retrying
// `retries` times. ERR_SUCCESS with the answer, ERR_REQUEST_TIMEOUT when
// none came, ERR_SOCKET_ERROR when the socket fails.
uint32_t UdpExchange(uint32_t address, uint16_t port, const std::string &request,
                     uint32_t timeoutMs, uint32_t retries, std::string *answer);

}  // namespace hkagent

#endif
