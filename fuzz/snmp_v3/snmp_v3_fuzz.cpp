// libFuzzer entry: SNMPv3 messages.
#include "snmp_v3_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
   return HkFuzzSnmpV3(data, size);
}
