// libFuzzer entry: object identifier text.
#include "snmp_oid_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
   return HkFuzzSnmpOid(data, size);
}
