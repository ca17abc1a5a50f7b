// Which server keys this agent answers key requests for. A server proves
// nothing about itself in the key exchange, so an agent that answered any
// key would hand a session key to whoever sits on the path; the operator
// lists the servers' keys instead (TrustedServerKeys), or opts in to any
// key for a lab (AcceptAnyServerKey).
//
// A trust source is a file or a directory of files (not descended into).
// A file holds PEM public keys ("BEGIN PUBLIC KEY" or "BEGIN RSA PUBLIC
// KEY") and/or lines of SHA-256 fingerprints: 64 hex digits, colons
// allowed, "#" starting a comment. The fingerprint of a key is the SHA-256
// of its DER SubjectPublicKeyInfo, as hkquery --show-key prints it.
//
// The same list decides on the key a server shows in TLS (CMD_START_TLS).
// The source is read at each key request and handshake, so keys added or
// removed take effect for the next session without a restart.
#ifndef HKAGENT_KEY_TRUST_H
#define HKAGENT_KEY_TRUST_H

#include <cstdint>
#include <string>

#include "config.h"

namespace hkagent {

// True when the configuration trusts the server key with this fingerprint
// (always with acceptAnyServerKey). A source that cannot be read trusts
// nothing, and is logged.
bool IsServerKeyTrusted(const AgentConfig &config, const uint8_t *fingerprint);

}  // namespace hkagent

#endif
