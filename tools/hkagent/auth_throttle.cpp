#include "auth_throttle.h"

namespace hkagent {

namespace {

bool Blocked(const AuthLimits &limits, uint32_t failures, uint64_t lastFailureMs, uint64_t nowMs) {
   return failures >= limits.maxFailures && nowMs - lastFailureMs < limits.blockMs;
}

}  // namespace

void AuthThrottle::forgetOldFailures(const AuthLimits &limits, uint64_t nowMs) {
   while (!m_recentFailures.empty() && (nowMs - m_recentFailures.front() >= limits.blockMs ||
                                        m_recentFailures.size() > limits.maxTotal))
      m_recentFailures.pop_front();
}

AuthVerdict AuthThrottle::check(uint32_t address, const AuthLimits &limits, uint64_t nowMs) {
   std::lock_guard<std::mutex> guard(m_lock);
   auto it = m_entries.find(address);
   if (it != m_entries.end() &&
       Blocked(limits, it->second.failures, it->second.lastFailureMs, nowMs))
      return AuthVerdict::AddressBlocked;
   forgetOldFailures(limits, nowMs);
   if (m_recentFailures.size() >= limits.maxTotal && m_trusted.count(address) == 0)
      return AuthVerdict::BudgetSpent;
   return AuthVerdict::Allowed;
}

void AuthThrottle::recordFailure(uint32_t address, const AuthLimits &limits, uint64_t nowMs) {
   std::lock_guard<std::mutex> guard(m_lock);
   m_recentFailures.push_back(nowMs);
   forgetOldFailures(limits, nowMs);
   auto it = m_entries.find(address);
   if (it == m_entries.end()) {
      if (m_entries.size() >= kMaxAddresses && !makeRoom(limits, nowMs))
         return;
      it = m_entries.emplace(address, Entry()).first;
   }
   Entry &entry = it->second;
   if (nowMs - entry.lastFailureMs >= limits.blockMs)
      entry.failures = 0;
   entry.failures++;
   entry.lastFailureMs = nowMs;
}

void AuthThrottle::recordSuccess(uint32_t address, uint64_t nowMs) {
   std::lock_guard<std::mutex> guard(m_lock);
   m_entries.erase(address);
   if (m_trusted.size() >= kMaxTrusted && m_trusted.count(address) == 0) {
      auto oldest = m_trusted.begin();
      for (auto it = m_trusted.begin(); it != m_trusted.end(); ++it) {
         if (it->second < oldest->second)
            oldest = it;
      }
      m_trusted.erase(oldest);
   }
   m_trusted[address] = nowMs;
}

size_t AuthThrottle::addressCount() {
   std::lock_guard<std::mutex> guard(m_lock);
   return m_entries.size();
}

bool AuthThrottle::makeRoom(const AuthLimits &limits, uint64_t nowMs) {
   bool haveOldest = false;
   uint32_t oldestAddress = 0;
   uint64_t oldestMs = 0;
   for (auto it = m_entries.begin(); it != m_entries.end();) {
      const Entry &entry = it->second;
      if (nowMs - entry.lastFailureMs >= limits.blockMs) {
         it = m_entries.erase(it);
         continue;
      }
      if (!Blocked(limits, entry.failures, entry.lastFailureMs, nowMs) &&
          (!haveOldest || entry.lastFailureMs < oldestMs)) {
         haveOldest = true;
         oldestAddress = it->first;
         oldestMs = entry.lastFailureMs;
      }
      ++it;
   }
   if (m_entries.size() >= kMaxAddresses && haveOldest)
      m_entries.erase(oldestAddress);
   return m_entries.size() < kMaxAddresses;
}

}  // namespace hkagent
