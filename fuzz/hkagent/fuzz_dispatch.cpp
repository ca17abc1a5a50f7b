// libFuzzer entry: the request dispatcher.
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
   return HkagentFuzzDispatch(data, size);
}
