// Fuzz target: the SNMPv3 message decoder (header, USM security parameters,
// digest check, decryption, scoped PDU). Shared by the libFuzzer entry and
// tests/fuzz_replay.
#ifndef HK_FUZZ_SNMP_V3_TARGET_H
#define HK_FUZZ_SNMP_V3_TARGET_H

#include <cstddef>
#include <cstdint>

int HkFuzzSnmpV3(const uint8_t *data, size_t size);

#endif
