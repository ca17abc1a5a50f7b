// Threads of the platform seam: std::thread behind StartThread/JoinThread.
#include "hk_platform.h"
#include "../thread_entry.h"

#include <thread>

struct HK_THREAD {
   std::thread thread;
};

HK_THREAD *StartThread(HK_THREAD_FUNCTION function, void *argument) {
   if (function == nullptr)
      return nullptr;
   HK_THREAD *record = new (std::nothrow) HK_THREAD;
   if (record == nullptr)
      return nullptr;
   try {
      record->thread = std::thread(SEHThreadStarter, function, argument);
   } catch (...) {
      delete record;
      return nullptr;
   }
   return record;
}

void JoinThread(HK_THREAD *thread) {
   if (thread == nullptr)
      return;
   if (thread->thread.joinable()) {
      // A thread cannot wait for itself; let it finish on its own then.
      if (thread->thread.get_id() == std::this_thread::get_id())
         thread->thread.detach();
      else
         thread->thread.join();
   }
   delete thread;
}
