// Fuzz target: SNMPParseOID, narrow and wide, against its own text form.
// Shared by the libFuzzer entry and tests/fuzz_replay.
#ifndef HK_FUZZ_SNMP_OID_TARGET_H
#define HK_FUZZ_SNMP_OID_TARGET_H

#include <cstddef>
#include <cstdint>

int HkFuzzSnmpOid(const uint8_t *data, size_t size);

#endif
