// The library entry. Loading the library sets up nothing beyond the initial
// values of its exported words; the entry only switches off per-thread
// notifications where the platform sends them.
#include "hksrv_log.h"

#ifdef _WIN32
#include <windows.h>
#endif

int HksrvLibraryEntry(void *module, uint32_t reason, void *reserved) {
#ifdef _WIN32
   if (reason == DLL_PROCESS_ATTACH)
      DisableThreadLibraryCalls(static_cast<HMODULE>(module));
#endif
   // Linux sends no per-thread notifications to a shared object: nothing to do.
   return 1;
}

#ifdef _WIN32
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
   return HksrvLibraryEntry(module, reason, reserved) ? TRUE : FALSE;
}
#endif
