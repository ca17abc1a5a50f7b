// Failed authentications counted per source address, so that guessing the
// secret from one address stops after a few tries. Thread safe: every
// session's thread asks and reports.
#ifndef HKAGENT_AUTH_THROTTLE_H
#define HKAGENT_AUTH_THROTTLE_H

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace hkagent {

class AuthThrottle {
public:
   // Addresses remembered at most; when full, entries whose block has run
   // out go first, then the oldest.
   static const size_t kMaxAddresses = 4096;

   // True when address (host byte order) has had maxFailures failures, the
   // last less than blockMs ago.
   bool blocked(uint32_t address, uint32_t maxFailures, uint64_t blockMs, uint64_t nowMs);
   // A failure counts towards the block; failures older than blockMs are
   // forgotten first.
   void recordFailure(uint32_t address, uint64_t blockMs, uint64_t nowMs);
   // A success forgets the address's failures.
   void recordSuccess(uint32_t address);

private:
   struct Entry {
      uint32_t failures = 0;
      uint64_t lastFailureMs = 0;
   };
   void makeRoom(uint64_t blockMs, uint64_t nowMs);

   std::mutex m_lock;  // guards m_entries
   std::unordered_map<uint32_t, Entry> m_entries;
};

}  // namespace hkagent

#endif
