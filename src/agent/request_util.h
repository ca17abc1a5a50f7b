// Small helpers shared by the agent requests. Internal to the library.
#ifndef HKSRV_AGENT_REQUEST_UTIL_H
#define HKSRV_AGENT_REQUEST_UTIL_H

#include <cstdint>
#include <cwchar>

#include "hesker.h"

namespace hksrv_agent {

// Every variable of a frame takes at least 8 bytes, so no reply the receiver
// accepts carries more items than this. Counts announced by the agent are
// capped here before they size an allocation.
static const uint32_t kMaxReplyItems = HKCP_MAX_FRAME_SIZE / 8;

// The part of path after its last '\' or '/' (the whole path when it has
// neither, "" when it ends in one); null for a null path.
inline const wchar_t *FileBaseName(const wchar_t *path) {
   if (path == nullptr)
      return nullptr;
   const wchar_t *name = path;
   for (const wchar_t *p = path; *p != L'\0'; p++) {
      if (*p == L'\\' || *p == L'/')
         name = p + 1;
   }
   return name;
}

}  // namespace hksrv_agent

#endif
