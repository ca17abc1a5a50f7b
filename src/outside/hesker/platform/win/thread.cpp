// Threads of the platform seam on Windows: _beginthreadex behind
// StartThread/JoinThread.
#include "hk_platform.h"
#include "../thread_entry.h"

#include <new>
#include <process.h>

struct HK_THREAD {
   HANDLE handle;  // owned; closed by JoinThread
   HK_THREAD_FUNCTION function;
   void *argument;
};

namespace {

unsigned __stdcall threadMain(void *record) {
   HK_THREAD *thread = static_cast<HK_THREAD *>(record);
   return SEHThreadStarter(thread->function, thread->argument);
}

}  // namespace

HK_THREAD *StartThread(HK_THREAD_FUNCTION function, void *argument) {
   if (function == nullptr)
      return nullptr;
   HK_THREAD *record = new (std::nothrow) HK_THREAD{nullptr, function, argument};
   if (record == nullptr)
      return nullptr;
   // _beginthreadex rather than CreateThread: the C runtime's per-thread
   // state is then set up and released with the thread.
   uintptr_t handle = _beginthreadex(nullptr, 0, threadMain, record, 0, nullptr);
   if (handle == 0) {
      delete record;
      return nullptr;
   }
   record->handle = reinterpret_cast<HANDLE>(handle);
   return record;
}

void JoinThread(HK_THREAD *thread) {
   if (thread == nullptr)
      return;
   // A thread cannot wait for itself; it then only gives up its handle and
   // finishes on its own (threadMain no longer reads the record by then).
   if (GetThreadId(thread->handle) != GetCurrentThreadId())
      WaitForSingleObject(thread->handle, INFINITE);
   CloseHandle(thread->handle);
   delete thread;
}
