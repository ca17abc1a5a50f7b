// Fuzz target: the agent's list-line parsers (interfaces, ARP cache,
// routes). Shared by the libFuzzer entry and tests/fuzz_replay.
#ifndef HK_FUZZ_AGENT_LISTS_TARGET_H
#define HK_FUZZ_AGENT_LISTS_TARGET_H

#include <cstddef>
#include <cstdint>

int HkFuzzAgentLists(const uint8_t *data, size_t size);

#endif
