// Fuzz target: CSCPDecryptMessage on forged frames, and on real encrypted
// frames cut short, altered or given too little room. Shared by the
// libFuzzer entry and tests/fuzz_replay.
#ifndef HK_FUZZ_HKCP_DECRYPT_TARGET_H
#define HK_FUZZ_HKCP_DECRYPT_TARGET_H

#include <cstddef>
#include <cstdint>

int HkFuzzHkcpDecrypt(const uint8_t *data, size_t size);

#endif
