// Failed authentications counted per source address, so that guessing the
// secret from one address stops after a few tries, and for every address
// together, so that guessing from many addresses stops too. Thread safe:
// every session's thread asks and reports.
#ifndef HKAGENT_AUTH_THROTTLE_H
#define HKAGENT_AUTH_THROTTLE_H

#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace hkagent {

struct AuthLimits {
   uint32_t maxFailures = 10;  // of one address within blockMs
   uint32_t maxTotal = 100;    // of every address together within blockMs
   uint64_t blockMs = 300000;
};

enum class AuthVerdict {
   Allowed,
   AddressBlocked,  // this address failed maxFailures times
   BudgetSpent,     // every address together failed maxTotal times, and this
                    // one has not authenticated before
};

class AuthThrottle {
public:
   // Addresses with failures remembered at most. When full, entries whose
   // failures have aged out go first, then the oldest not blocked; a blocked
   // address is never pushed out before its block ends; when every entry
   // is blocked a new address is not remembered (its failures still count
   // towards the total).
   static constexpr size_t kMaxAddresses = 4096;
   // Addresses remembered for having authenticated; the oldest goes first.
   static constexpr size_t kMaxTrusted = 1024;

   AuthVerdict check(uint32_t address, const AuthLimits &limits, uint64_t nowMs);
   void recordFailure(uint32_t address, const AuthLimits &limits, uint64_t nowMs);
   // A success forgets the address's failures and lets it past a spent
   // budget from now on.
   void recordSuccess(uint32_t address, uint64_t nowMs);

   size_t addressCount();

private:
   struct Entry {
      uint32_t failures = 0;
      uint64_t lastFailureMs = 0;
   };
   bool makeRoom(const AuthLimits &limits, uint64_t nowMs);
   void forgetOldFailures(const AuthLimits &limits, uint64_t nowMs);

   std::mutex m_lock;  // guards everything below
   std::unordered_map<uint32_t, Entry> m_entries;
   std::deque<uint64_t> m_recentFailures;             // times of the last failures, oldest first
   std::unordered_map<uint32_t, uint64_t> m_trusted;  // address: last success
};

}  // namespace hkagent

#endif
