// Cost of HKCP encryption per frame: encrypt and decrypt of a 1 KiB and a
// 32 KiB frame (a full file-data frame is 32 KiB of data).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "hkcp.h"

namespace {

// A raw frame of exactly size bytes, header included.
std::vector<uint8_t> RawFrame(uint32_t size) {
   std::vector<uint8_t> bytes(size);
   for (uint32_t i = 0; i < size; i++)
      bytes[i] = (uint8_t)(i * 13);
   auto *frame = reinterpret_cast<CSCP_MESSAGE *>(bytes.data());
   frame->wCode = htons(CMD_FILE_DATA);
   frame->wFlags = htons(MF_BINARY);
   frame->dwSize = htonl(size);
   frame->dwId = htonl(1);
   frame->dwNumVars = htonl(size - HKCP_HEADER_SIZE);
   return bytes;
}

void BM_EncryptDecrypt(benchmark::State &state) {
   // The two ends of a key are two contexts (a receiver refuses its own
   // frames), and a thread's cipher is keyed per context: frames go in
   // batches, so the switch between the two costs little per frame.
   const int kBatch = 64;
   const uint32_t size = (uint32_t)state.range(0);
   HKCPEncryptionContext *sender = HKCPEncryptionContext::createRandom(HKCP_CIPHER_AES_256_GCM);
   HKCPEncryptionContext *receiver = HKCPEncryptionContext::create(
       HKCP_CIPHER_AES_256_GCM, sender->getKey(), sender->getKeyLength());
   std::vector<uint8_t> plain = RawFrame(size);
   std::vector<uint8_t> out(size);
   std::vector<CSCP_ENCRYPTED_MESSAGE *> batch(kBatch);
   for (auto _ : state) {
      for (CSCP_ENCRYPTED_MESSAGE *&encrypted : batch)
         encrypted =
             CSCPEncryptMessage(sender, reinterpret_cast<const CSCP_MESSAGE *>(plain.data()));
      for (CSCP_ENCRYPTED_MESSAGE *encrypted : batch) {
         CSCP_MESSAGE *decrypted = CSCPDecryptMessage(receiver, encrypted, out.data(), size);
         if (decrypted == nullptr)
            state.SkipWithError("decryption failed");
         benchmark::DoNotOptimize(decrypted);
         free(encrypted);
      }
   }
   state.SetBytesProcessed((int64_t)state.iterations() * kBatch * size);
   receiver->decRefCount();
   sender->decRefCount();
}
BENCHMARK(BM_EncryptDecrypt)->Arg(1024)->Arg(32 * 1024);

void BM_Encrypt(benchmark::State &state) {
   const uint32_t size = (uint32_t)state.range(0);
   HKCPEncryptionContext *context = HKCPEncryptionContext::createRandom(HKCP_CIPHER_AES_256_GCM);
   std::vector<uint8_t> plain = RawFrame(size);
   for (auto _ : state) {
      CSCP_ENCRYPTED_MESSAGE *encrypted =
          CSCPEncryptMessage(context, reinterpret_cast<const CSCP_MESSAGE *>(plain.data()));
      benchmark::DoNotOptimize(encrypted);
      free(encrypted);
   }
   state.SetBytesProcessed((int64_t)state.iterations() * size);
   context->decRefCount();
}
BENCHMARK(BM_Encrypt)->Arg(1024)->Arg(32 * 1024);

}  // namespace

BENCHMARK_MAIN();
