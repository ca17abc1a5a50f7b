// The agent's long-term TLS key: read from its file, or made (EC P-256) and
// written there with mode 0600 when the file does not exist yet. Servers
// pin its fingerprint, which hkagent --show-key prints.
#ifndef HKAGENT_IDENTITY_H
#define HKAGENT_IDENTITY_H

#include <memory>
#include <string>

#include "hesker.h"
#include "hkcp_tls.h"

namespace hkagent {

// Null with *error when the file cannot be read, holds no usable private
// key, or cannot be created.
std::shared_ptr<HKCPTlsIdentity> LoadOrCreateIdentity(const std::string &path, std::string *error);

}  // namespace hkagent

#endif
