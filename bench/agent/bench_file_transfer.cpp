// File transfer throughput on loopback, 100 MiB per iteration, against the
// scriptable agent (which takes the frames without keeping them):
//
//   BM_ReadFileCeiling      the ceiling: reading the file and discarding it,
//                           as `cat FILE > /dev/null` does
//   BM_Upload/encrypted:E   uploadFile of the file
//   BM_Download/encrypted:E customRequest with a receive file
//
// The file sits in the page cache after the first read, so the ceiling is a
// memory copy; the transfers add framing, the loopback socket, the agent's
// decoding and, for downloads, the writes of the target.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "fake_agent.h"
#include "fake_agent_files.h"
#include "hksrv.h"

namespace {

const uint64_t kFileSize = 100ull << 20;
const uint16_t kDownloadCode = 0x1234;

RSA *ServerKey() {
   static RSA *key = [] {
      EVP_PKEY *pkey = EVP_RSA_gen(2048);
      RSA *rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
      EVP_PKEY_free(pkey);
      return rsa;
   }();
   return key;
}

// The 100 MiB source file, written once per process.
struct Files {
   FakeTempDir dir;
   std::string source = dir.file("source.bin");
   std::string target = dir.file("target.bin");
   bool ok = FakeWriteFile(source, kFileSize, 42);
};

Files &TheFiles() {
   static Files files;
   return files;
}

// An agent that counts uploaded bytes (no digest, so the agent stays cheap)
// and serves the source file for downloads, with a session connected to it.
struct Bed {
   explicit Bed(bool encrypted) : agent(Options()) {
      agent.setHandler(CMD_UPLOAD_FILE, FakeReply(0));
      agent.setHandler(CMD_FILE_DATA,
                       [this](FakeAgentConnection &connection, const CSCPMessage &request) {
                          received += request.GetBinaryDataSize();
                          if (request.GetFlags() & MF_END_OF_FILE)
                             connection.reply(request, 0);
                       });
      agent.setHandler(kDownloadCode, FakeDownload(TheFiles().source));
      session = std::make_unique<AgentConnection>(FakeAgent::addressNetworkOrder(), agent.port());
      if (encrypted)
         session->setEncryptionPolicy(ENCRYPTION_REQUIRED);
      connected = session->connect(encrypted ? ServerKey() : nullptr) == 1;
   }
   static FakeAgentOptions Options() {
      FakeAgentOptions options;
      options.record = false;
      return options;
   }

   FakeAgent agent;
   std::atomic<uint64_t> received{0};
   std::unique_ptr<AgentConnection> session;
   bool connected = false;
};

void BM_ReadFileCeiling(benchmark::State &state) {
   Files &files = TheFiles();
   if (!files.ok) {
      state.SkipWithError("cannot write the source file");
      return;
   }
   std::vector<char> buffer(128 * 1024);  // what cat reads at a time
   for (auto _ : state) {
      int fd = open(files.source.c_str(), O_RDONLY | O_CLOEXEC);
      uint64_t total = 0;
      ssize_t n;
      while ((n = read(fd, buffer.data(), buffer.size())) > 0)
         total += (uint64_t)n;
      close(fd);
      benchmark::DoNotOptimize(total);
      if (total != kFileSize)
         state.SkipWithError("short read");
   }
   state.SetBytesProcessed((int64_t)(state.iterations() * kFileSize));
}

void BM_Upload(benchmark::State &state) {
   Files &files = TheFiles();
   Bed bed(state.range(0) != 0);
   if (!files.ok || !bed.connected) {
      state.SkipWithError("no file or no session");
      return;
   }
   std::wstring path = FakeWide(files.source);
   for (auto _ : state) {
      bed.received = 0;
      if (bed.session->uploadFile(path.c_str()) != ERR_SUCCESS || bed.received != kFileSize)
         state.SkipWithError("upload failed");
   }
   state.SetBytesProcessed((int64_t)(state.iterations() * kFileSize));
}

void BM_Download(benchmark::State &state) {
   Files &files = TheFiles();
   Bed bed(state.range(0) != 0);
   if (!files.ok || !bed.connected) {
      state.SkipWithError("no file or no session");
      return;
   }
   std::wstring target = FakeWide(files.target);
   for (auto _ : state) {
      CSCPMessage request;
      request.SetCode(kDownloadCode);
      CSCPMessage *reply = bed.session->customRequest(&request, target.c_str());
      if (reply == nullptr || reply->GetVariableLong(VID_RCC) != 0)
         state.SkipWithError("download failed");
      delete reply;
   }
   if (FakeFileSize(files.target) != (int64_t)kFileSize)
      state.SkipWithError("target has the wrong size");
   state.SetBytesProcessed((int64_t)(state.iterations() * kFileSize));
}

}  // namespace

BENCHMARK(BM_ReadFileCeiling)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Upload)
    ->ArgName("encrypted")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_Download)
    ->ArgName("encrypted")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

BENCHMARK_MAIN();
