#include "file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace hkagent {

const char kUploadPrefix[] = ".hkagent-upload-";

namespace {

// Deeper folders are not walked: a store is a few levels at most.
const int kMaxDepth = 32;

// Calls visit(dirFd, name, stat) for every entry beneath dirFd, depth first;
// visit returns false to stop the whole walk. Takes ownership of dirFd.
template <typename Visit>
bool Walk(int dirFd, int depth, Visit &visit) {
   DIR *dir = fdopendir(dirFd);
   if (dir == nullptr) {
      close(dirFd);
      return true;
   }
   bool go = true;
   while (go) {
      struct dirent *entry = readdir(dir);
      if (entry == nullptr)
         break;
      if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
         continue;
      struct stat st;
      if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
         continue;
      go = visit(dirfd(dir), entry->d_name, st);
      if (go && S_ISDIR(st.st_mode) && depth < kMaxDepth) {
         int child =
             openat(dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
         if (child >= 0)
            go = Walk(child, depth + 1, visit);
      }
   }
   closedir(dir);
   return go;
}

}  // namespace

StoreUsage MeasureStore(int storeFd, uint64_t maxFiles) {
   StoreUsage usage;
   int fd = openat(storeFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
   if (fd < 0)
      return usage;
   auto visit = [&](int, const char *, const struct stat &st) {
      if (S_ISREG(st.st_mode)) {
         usage.files++;
         usage.bytes += (uint64_t)st.st_size;
      }
      return usage.files <= maxFiles;
   };
   Walk(fd, 0, visit);
   return usage;
}

size_t RemoveLeftoverUploads(const std::string &store) {
   size_t removed = 0;
   int fd = open(store.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
   if (fd < 0)
      return 0;
   auto visit = [&](int dirFd, const char *name, const struct stat &st) {
      if (S_ISREG(st.st_mode) && strncmp(name, kUploadPrefix, strlen(kUploadPrefix)) == 0 &&
          unlinkat(dirFd, name, 0) == 0)
         removed++;
      return true;
   };
   Walk(fd, 0, visit);
   return removed;
}

QuotaReservation::~QuotaReservation() {
   m_quota.release(m_bytes);
}

std::unique_ptr<QuotaReservation> StoreQuota::reserve(int storeFd, uint64_t quotaBytes,
                                                      uint64_t maxFiles, uint64_t maxUpload) {
   std::lock_guard<std::mutex> guard(m_lock);
   StoreUsage usage = MeasureStore(storeFd, maxFiles);
   uint64_t files = usage.files + m_reservedFiles;
   uint64_t bytes = usage.bytes + m_reservedBytes;
   if (files >= maxFiles || bytes >= quotaBytes)
      return nullptr;
   uint64_t room = std::min(maxUpload, quotaBytes - bytes);
   m_reservedBytes += room;
   m_reservedFiles++;
   return std::make_unique<QuotaReservation>(*this, room);
}

void StoreQuota::release(uint64_t bytes) {
   std::lock_guard<std::mutex> guard(m_lock);
   m_reservedBytes -= bytes;
   m_reservedFiles--;
}

}  // namespace hkagent
