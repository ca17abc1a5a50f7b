#include "thread_entry.h"

#include <exception>
#include <string>

uint32_t SEHThreadStarter(HK_THREAD_FUNCTION function, void *argument) {
   try {
      return function(argument);
   } catch (const std::exception &e) {
      std::string line = std::string("libhesker: thread ended by exception: ") + e.what();
      WriteSystemLog(1, line.c_str());
   } catch (...) {
      WriteSystemLog(1, "libhesker: thread ended by an unknown exception");
   }
   return 0;
}
