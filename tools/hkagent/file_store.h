// The file store's bounds: what the files in it may add up to (bytes and
// count), the room that uploads in progress have been promised, and the
// removal of temporary upload files that an earlier run left behind.
#ifndef HKAGENT_FILE_STORE_H
#define HKAGENT_FILE_STORE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace hkagent {

// Temporary upload files are named with this prefix beside their target.
extern const char kUploadPrefix[];

struct StoreUsage {
   uint64_t bytes = 0;  // sizes of the regular files
   uint64_t files = 0;  // regular files
};

// Adds up the store beneath the directory storeFd (symbolic links are not
// followed). Stops counting beyond maxFiles files, so a huge store costs a
// bounded walk; what it then reports is at least maxFiles + 1 files.
StoreUsage MeasureStore(int storeFd, uint64_t maxFiles);

// Removes every ".hkagent-upload-*" regular file beneath store; returns how
// many went.
size_t RemoveLeftoverUploads(const std::string &store);

class StoreQuota;

// Room promised to one upload; given back when destroyed.
class QuotaReservation {
public:
   QuotaReservation(StoreQuota &quota, uint64_t bytes) : m_quota(quota), m_bytes(bytes) {}
   QuotaReservation(const QuotaReservation &) = delete;
   QuotaReservation &operator=(const QuotaReservation &) = delete;
   ~QuotaReservation();
   uint64_t bytes() const { return m_bytes; }

private:
   StoreQuota &m_quota;
   const uint64_t m_bytes;
};

// Promises room to uploads so that concurrent ones cannot together pass the
// quota. Thread safe.
class StoreQuota {
public:
   // Room for one more file of at most min(maxUpload, what the quota has
   // left) bytes, counting the store as it is plus every promise not yet
   // given back. Null when there is no room for a file or a byte.
   std::unique_ptr<QuotaReservation> reserve(int storeFd, uint64_t quotaBytes, uint64_t maxFiles,
                                             uint64_t maxUpload);

private:
   friend class QuotaReservation;
   void release(uint64_t bytes);

   std::mutex m_lock;  // guards both counts, and makes measure-and-promise one step
   uint64_t m_reservedBytes = 0;
   uint64_t m_reservedFiles = 0;
};

}  // namespace hkagent

#endif
