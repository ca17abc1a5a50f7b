// The hkagent fuzz targets as plain functions, so that the fuzzers and the
// corpus replay test run the same code.
#ifndef HKAGENT_FUZZ_TARGETS_H
#define HKAGENT_FUZZ_TARGETS_H

#include <cstddef>
#include <cstdint>

// The configuration parser and the command-line splitter on any text.
int HkagentFuzzConfig(const uint8_t *data, size_t size);

// The request dispatcher on any frame. Byte 0 sets the session state (bit 0
// authenticated, bit 1 encrypted, bit 2 a secret is configured, bit 3
// encryption is required); the rest is a frame whose size field is set to
// its length. Requests that start programs or reach the network are
// switched off by the configuration, and actions are not dispatched.
int HkagentFuzzDispatch(const uint8_t *data, size_t size);

#endif
