// Locks and events of the platform seam.
#include "hk_platform.h"

#include <chrono>

namespace {

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
   __builtin_ia32_pause();
#endif
}

}  // namespace

void CriticalSection::lock() {
   // Short sections are usually free again within a few hundred cycles;
   // spinning first avoids a sleep and a wake-up in the kernel.
   for (int i = 0; i < m_spinCount; i++) {
      if (m_mutex.try_lock())
         return;
      cpuRelax();
   }
   m_mutex.lock();
}

void ManualResetEvent::set() {
   std::lock_guard<std::mutex> guard(m_mutex);
   m_signalled = true;
   m_cond.notify_all();
}

void ManualResetEvent::reset() {
   std::lock_guard<std::mutex> guard(m_mutex);
   m_signalled = false;
}

bool ManualResetEvent::wait(uint32_t timeoutMs) {
   std::unique_lock<std::mutex> guard(m_mutex);
   if (timeoutMs == INFINITE) {
      m_cond.wait(guard, [this] { return m_signalled; });
      return true;
   }
   return m_cond.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                          [this] { return m_signalled; });
}
