// libFuzzer entry: frame decryption.
#include "hkcp_decrypt_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
   return HkFuzzHkcpDecrypt(data, size);
}
