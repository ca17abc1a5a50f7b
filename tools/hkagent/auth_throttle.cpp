#include "auth_throttle.h"

namespace hkagent {

bool AuthThrottle::blocked(uint32_t address, uint32_t maxFailures, uint64_t blockMs,
                           uint64_t nowMs) {
   std::lock_guard<std::mutex> guard(m_lock);
   auto it = m_entries.find(address);
   return it != m_entries.end() && it->second.failures >= maxFailures &&
          nowMs - it->second.lastFailureMs < blockMs;
}

void AuthThrottle::recordFailure(uint32_t address, uint64_t blockMs, uint64_t nowMs) {
   std::lock_guard<std::mutex> guard(m_lock);
   auto it = m_entries.find(address);
   if (it == m_entries.end()) {
      if (m_entries.size() >= kMaxAddresses)
         makeRoom(blockMs, nowMs);
      it = m_entries.emplace(address, Entry()).first;
   }
   Entry &entry = it->second;
   if (nowMs - entry.lastFailureMs >= blockMs)
      entry.failures = 0;
   entry.failures++;
   entry.lastFailureMs = nowMs;
}

void AuthThrottle::recordSuccess(uint32_t address) {
   std::lock_guard<std::mutex> guard(m_lock);
   m_entries.erase(address);
}

void AuthThrottle::makeRoom(uint64_t blockMs, uint64_t nowMs) {
   bool haveOldest = false;
   uint32_t oldestAddress = 0;
   uint64_t oldestMs = 0;
   for (auto it = m_entries.begin(); it != m_entries.end();) {
      if (nowMs - it->second.lastFailureMs >= blockMs) {
         it = m_entries.erase(it);
         continue;
      }
      if (!haveOldest || it->second.lastFailureMs < oldestMs) {
         haveOldest = true;
         oldestAddress = it->first;
         oldestMs = it->second.lastFailureMs;
      }
      ++it;
   }
   if (m_entries.size() >= kMaxAddresses && haveOldest)
      m_entries.erase(oldestAddress);
}

}  // namespace hkagent
