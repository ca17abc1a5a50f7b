// The server's RSA key pair, kept in a PEM file: read when it exists,
// generated (2048 bits) and stored with permissions 0600 on first use.
#ifndef HKTOOL_SERVER_KEY_H
#define HKTOOL_SERVER_KEY_H

#include <string>

typedef struct rsa_st RSA;

namespace hktool {

// $XDG_CONFIG_HOME/hksrv/server-key.pem, else ~/.config/hksrv/server-key.pem;
// empty when neither variable is set.
std::string DefaultServerKeyPath();

// The key of path (the caller frees it with RSA_free), or null with *error
// set. A missing file is generated: its folder is created (0700) when
// absent, the key is written to a temporary file with mode 0600 and linked
// into place, so a concurrent first use never sees half a key and never
// replaces another's. *created tells whether this call made it. A key file
// that others may read is used, with a warning in *warning.
RSA *LoadOrCreateServerKey(const std::string &path, bool *created, std::string *warning,
                           std::string *error);

// The public part of key as agents are told to trust it: the lower-case
// hex SHA-256 of its DER SubjectPublicKeyInfo, and the PEM public key.
// False when key has no public part.
bool DescribePublicKey(RSA *key, std::string *fingerprint, std::string *pem);

}  // namespace hktool

#endif
