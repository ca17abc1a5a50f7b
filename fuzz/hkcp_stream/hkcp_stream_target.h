// Fuzz target: RecvHKCPMessage reassembling a stream of plain, encrypted,
// tampered and garbage frames written in arbitrary chunks, with and without
// a session key. Shared by the libFuzzer entry and tests/fuzz_replay.
#ifndef HK_FUZZ_HKCP_STREAM_TARGET_H
#define HK_FUZZ_HKCP_STREAM_TARGET_H

#include <cstddef>
#include <cstdint>

int HkFuzzHkcpStream(const uint8_t *data, size_t size);

#endif
