#include "confine.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

#include "agent_codes.h"

namespace hkagent {

namespace {

// Without openat2 (kernels before 5.6): resolve the path and compare it
// with the directory's own resolved path. Weaker against a concurrent swap
// of a link, hence only a fallback; the final component is opened with
// O_NOFOLLOW.
int OpenBeneathFallback(int rootFd, const std::string &name, int flags, mode_t mode) {
   char rootLink[64], rootPath[PATH_MAX];
   snprintf(rootLink, sizeof(rootLink), "/proc/self/fd/%d", rootFd);
   if (realpath(rootLink, rootPath) == nullptr)
      return -1;
   std::string parent = name;
   size_t slash = parent.rfind('/');
   parent = slash == std::string::npos ? "." : parent.substr(0, slash);
   std::string full = std::string(rootPath) + "/" + parent;
   char resolved[PATH_MAX];
   if (realpath(full.c_str(), resolved) == nullptr)
      return -1;
   size_t n = strlen(rootPath);
   if (strncmp(resolved, rootPath, n) != 0 || (resolved[n] != '\0' && resolved[n] != '/')) {
      errno = EXDEV;
      return -1;
   }
   return openat(rootFd, name.c_str(), flags | O_NOFOLLOW, mode);
}

}  // namespace

bool IsConfinedName(const std::string &name) {
   if (name.empty() || name.size() >= PATH_MAX || name[0] == '/')
      return false;
   if (name.find('\0') != std::string::npos)
      return false;
   size_t start = 0;
   while (start <= name.size()) {
      size_t end = name.find('/', start);
      if (end == std::string::npos)
         end = name.size();
      std::string component = name.substr(start, end - start);
      if (component.empty() || component == "..")
         return false;
      start = end + 1;
   }
   return true;
}

UniqueFd OpenBeneath(int rootFd, const std::string &name, int flags, mode_t mode,
                     ConfineStatus *status, int *error) {
   *error = 0;
   if (!IsConfinedName(name)) {
      *status = ConfineStatus::BadName;
      return UniqueFd();
   }
   struct open_how how;
   memset(&how, 0, sizeof(how));
   how.flags = (uint64_t)(flags | O_CLOEXEC);
   how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
   how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
   int fd;
   do {
      fd = (int)syscall(SYS_openat2, rootFd, name.c_str(), &how, sizeof(how));
   } while (fd < 0 && (errno == EINTR || errno == EAGAIN));
   if (fd < 0 && errno == ENOSYS)
      fd = OpenBeneathFallback(rootFd, name, flags | O_CLOEXEC, mode);
   if (fd >= 0) {
      *status = ConfineStatus::Ok;
      return UniqueFd(fd);
   }
   *error = errno;
   if (errno == EXDEV || errno == ELOOP)
      *status = ConfineStatus::Escapes;
   else if (errno == ENOENT || errno == ENOTDIR)
      *status = ConfineStatus::NotFound;
   else
      *status = ConfineStatus::Failed;
   return UniqueFd();
}

UniqueFd OpenParentBeneath(int rootFd, const std::string &name, std::string *baseName,
                           ConfineStatus *status, int *error) {
   *error = 0;
   baseName->clear();
   if (!IsConfinedName(name) || name.back() == '/' || name == ".") {
      *status = ConfineStatus::BadName;
      return UniqueFd();
   }
   size_t slash = name.rfind('/');
   *baseName = slash == std::string::npos ? name : name.substr(slash + 1);
   if (*baseName == ".") {
      *status = ConfineStatus::BadName;
      return UniqueFd();
   }
   std::string parent = slash == std::string::npos ? "." : name.substr(0, slash);
   return OpenBeneath(rootFd, parent, O_RDONLY | O_DIRECTORY, 0, status, error);
}

uint32_t ConfineStatusToRcc(ConfineStatus status) {
   switch (status) {
      case ConfineStatus::Ok:
         return ERR_SUCCESS;
      case ConfineStatus::BadName:
         return ERR_BAD_ARGUMENTS;
      case ConfineStatus::Escapes:
         return ERR_ACCESS_DENIED;
      case ConfineStatus::NotFound:
      case ConfineStatus::Failed:
         break;
   }
   return ERR_FILE_OPEN_ERROR;
}

}  // namespace hkagent
