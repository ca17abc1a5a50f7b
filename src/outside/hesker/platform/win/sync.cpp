// Locks and events of the platform seam on Windows: the system's critical
// section with a spin count, and a manual-reset event object.
#include "hk_platform.h"

namespace {

CRITICAL_SECTION *sectionOf(unsigned char *storage) {
   return reinterpret_cast<CRITICAL_SECTION *>(storage);
}

}  // namespace

CriticalSection::CriticalSection(int spinCount) {
   static_assert(sizeof(CRITICAL_SECTION) <= sizeof(m_section), "m_section too small");
   static_assert(alignof(CRITICAL_SECTION) <= 8, "m_section misaligned");
   // Cannot fail since Windows Vista; the spin count avoids a sleep and a
   // wake-up in the kernel for the short sections the libraries hold.
   InitializeCriticalSectionAndSpinCount(sectionOf(m_section), (DWORD)spinCount);
}

CriticalSection::~CriticalSection() {
   DeleteCriticalSection(sectionOf(m_section));
}

void CriticalSection::lock() {
   EnterCriticalSection(sectionOf(m_section));
}

void CriticalSection::unlock() {
   LeaveCriticalSection(sectionOf(m_section));
}

bool CriticalSection::try_lock() {
   return TryEnterCriticalSection(sectionOf(m_section)) != 0;
}

ManualResetEvent::ManualResetEvent() : m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

ManualResetEvent::~ManualResetEvent() {
   if (m_event != nullptr)
      CloseHandle(m_event);
}

void ManualResetEvent::set() {
   SetEvent(m_event);
}

void ManualResetEvent::reset() {
   ResetEvent(m_event);
}

bool ManualResetEvent::wait(uint32_t timeoutMs) {
   return WaitForSingleObject(m_event, timeoutMs) == WAIT_OBJECT_0;
}
