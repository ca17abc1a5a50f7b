// The entry every library thread runs through, on every platform.
#ifndef HK_THREAD_ENTRY_H
#define HK_THREAD_ENTRY_H

#include "hk_platform.h"

// Runs function(argument). An exception must not leave a thread function (it
// would end the process), so it is written to the system log and the thread
// ends with 0.
uint32_t SEHThreadStarter(HK_THREAD_FUNCTION function, void *argument);

#endif
