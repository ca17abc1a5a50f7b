// Helpers shared by the agent session's sources; not part of the public API.
#ifndef HKSRV_AGENT_INTERNAL_H
#define HKSRV_AGENT_INTERNAL_H

#include <array>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hkcp_tls_client.h"
#include "hksrv_agent.h"
#include "hksrv_log.h"

// A secret as the session keeps it: 8-bit code page, at most 63 characters
// and the NUL; null gives "".
void AgentStoreSecret(const wchar_t *secret, char destination[64]);
void AgentStoreSecret(const char *secret, char destination[64]);

// The name the operating system opens for a wide path (UTF-8). Download
// targets are opened and removed through this one conversion.
std::string AgentNarrowPath(const wchar_t *path);

// What a session was told about TLS, and what its last handshake saw.
struct AgentConnection::TlsSettings {
   HKCPTlsClient client;
};

// The session's default hook for diagnostic lines, usable with a va_list.
void AgentWriteMessage(const wchar_t *format, va_list args);

#endif
