// libFuzzer entry: agent list lines.
#include "agent_lists_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
   return HkFuzzAgentLists(data, size);
}
