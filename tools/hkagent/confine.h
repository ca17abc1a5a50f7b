// Opening files inside one directory, never outside it. A name is relative,
// has no ".." component and no empty one; symbolic links are followed only
// while they stay inside the directory (an absolute link target, or one
// that climbs out, is refused). The check and the open are one kernel call
// (openat2 with RESOLVE_BENEATH), so a link swapped in between cannot
// redirect the open.
#ifndef HKAGENT_CONFINE_H
#define HKAGENT_CONFINE_H

#include <sys/types.h>

#include <string>

#include "fd_util.h"

namespace hkagent {

enum class ConfineStatus {
   Ok,
   BadName,   // empty, absolute, "..", empty component, NUL, too long
   Escapes,   // resolution would leave the directory
   NotFound,  // a component does not exist
   Failed,    // another error (errno kept in *error)
};

// True for a name that passes the lexical rules above.
bool IsConfinedName(const std::string &name);

// Opens name beneath the directory rootFd with flags (O_CLOEXEC is added)
// and mode for O_CREAT.
UniqueFd OpenBeneath(int rootFd, const std::string &name, int flags, mode_t mode,
                     ConfineStatus *status, int *error);

// Opens the directory that would hold name (rootFd's own directory for a
// name without '/') and sets *baseName to the last component.
UniqueFd OpenParentBeneath(int rootFd, const std::string &name, std::string *baseName,
                           ConfineStatus *status, int *error);

// The agent result code for a failed confinement.
uint32_t ConfineStatusToRcc(ConfineStatus status);

}  // namespace hkagent

#endif
