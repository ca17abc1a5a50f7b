// libFuzzer entry: HKCP stream reassembly and decryption.
#include "hkcp_stream_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
   return HkFuzzHkcpStream(data, size);
}
