// libFuzzer entry: the configuration parser.
#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
   return HkagentFuzzConfig(data, size);
}
