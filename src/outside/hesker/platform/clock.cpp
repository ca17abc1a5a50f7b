// The monotonic clock of the platform seam; the standard library's steady
// clock is monotonic on every platform the libraries build for.
#include "hk_platform.h"

#include <chrono>

uint64_t GetMonotonicMs() {
   using namespace std::chrono;
   return (uint64_t)duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
