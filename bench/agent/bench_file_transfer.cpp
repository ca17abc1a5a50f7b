// File transfer throughput on loopback, 100 MiB per iteration, against the
// real hkagent in its own process, beside the physical reference of the path:
//
//   BM_RawStream            the same bytes over a plain loopback TCP
//                           connection in the same 32 KiB writes, read and
//                           discarded by a thread of this process
//   BM_Upload/encrypted:E   uploadFile into hkagent's file store
//   BM_Download/encrypted:E a CMD_GET_AGENT_FILE download into a local file
//
// Both ends share the machine's CPUs in every case. The transfers add the
// framing, encryption when asked, the agent's file writes or reads, and for
// downloads the writes of the target.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_codes.h"
#include "fake_agent_files.h"
#include "hksrv.h"
#include "load_support.h"

namespace {

const uint64_t kFileSize = 100ull << 20;
const size_t kWriteSize = 32 * 1024;  // the library's file data frame
const char kStoredName[] = "served.bin";

RSA *ServerKey() {
   static RSA *key = [] {
      EVP_PKEY *pkey = EVP_RSA_gen(2048);
      RSA *rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
      EVP_PKEY_free(pkey);
      return rsa;
   }();
   return key;
}

// The source file, the agent's file store holding a copy to serve, and the
// agent itself; made once per process.
struct Bed {
   Bed() {
      ok = FakeWriteFile(source, kFileSize, 42) &&
           FakeWriteFile(store.file(kStoredName), kFileSize, 42) &&
           agent.start(
               {"--allow-no-authentication", "--file-store", store.path(), "--max-upload-size",
                std::to_string(2 * kFileSize), "--file-store-quota", std::to_string(8 * kFileSize)},
               &error);
   }

   FakeTempDir local;
   FakeTempDir store;
   std::string source = local.file("source.bin");
   std::string target = local.file("target.bin");
   hkload::AgentDaemon agent;
   std::string error;
   bool ok = false;
};

Bed &TheBed() {
   static Bed bed;
   return bed;
}

// One session to the bed's agent, plain or encrypted.
std::unique_ptr<AgentConnection> Connect(bool encrypted) {
   auto session =
       std::make_unique<AgentConnection>(htonl(INADDR_LOOPBACK), TheBed().agent.port(), AUTH_NONE);
   if (encrypted)
      session->setEncryptionPolicy(ENCRYPTION_REQUIRED);
   if (session->connect(encrypted ? ServerKey() : nullptr) != 1)
      return nullptr;
   return session;
}

// A connected loopback pair: the writer's end and the reader's end.
bool LoopbackPair(int *writer, int *reader) {
   int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   sockaddr_in address = {};
   address.sin_family = AF_INET;
   address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t length = sizeof(address);
   bool ok = listener >= 0 && bind(listener, (sockaddr *)&address, sizeof(address)) == 0 &&
             listen(listener, 1) == 0 && getsockname(listener, (sockaddr *)&address, &length) == 0;
   *writer = ok ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
   ok = ok && *writer >= 0 && connect(*writer, (sockaddr *)&address, sizeof(address)) == 0;
   *reader = ok ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
   if (listener >= 0)
      close(listener);
   return ok && *reader >= 0;
}

void BM_RawStream(benchmark::State &state) {
   std::vector<char> bytes(kFileSize);
   for (size_t i = 0; i < bytes.size(); i++)
      bytes[i] = (char)(i * 2654435761u >> 24);
   for (auto _ : state) {
      int writer, reader;
      if (!LoopbackPair(&writer, &reader)) {
         state.SkipWithError("no loopback connection");
         break;
      }
      uint64_t received = 0;
      std::thread drain([reader, &received] {
         std::vector<char> buffer(64 * 1024);
         ssize_t n;
         while ((n = recv(reader, buffer.data(), buffer.size(), 0)) > 0)
            received += (uint64_t)n;
      });
      bool sent = true;
      for (uint64_t offset = 0; sent && offset < kFileSize; offset += kWriteSize)
         sent =
             send(writer, bytes.data() + offset, kWriteSize, MSG_NOSIGNAL) == (ssize_t)kWriteSize;
      shutdown(writer, SHUT_WR);
      drain.join();
      close(writer);
      close(reader);
      if (!sent || received != kFileSize)
         state.SkipWithError("short stream");
   }
   state.SetBytesProcessed((int64_t)(state.iterations() * kFileSize));
}

void BM_Upload(benchmark::State &state) {
   Bed &bed = TheBed();
   std::unique_ptr<AgentConnection> session = bed.ok ? Connect(state.range(0) != 0) : nullptr;
   if (session == nullptr) {
      state.SkipWithError(("no agent or no session: " + bed.error).c_str());
      return;
   }
   std::wstring path = FakeWide(bed.source);
   for (auto _ : state) {
      if (session->uploadFile(path.c_str(), L"uploaded.bin") != ERR_SUCCESS) {
         state.SkipWithError("upload failed");
         break;
      }
   }
   state.SetBytesProcessed((int64_t)(state.iterations() * kFileSize));
}

void BM_Download(benchmark::State &state) {
   Bed &bed = TheBed();
   std::unique_ptr<AgentConnection> session = bed.ok ? Connect(state.range(0) != 0) : nullptr;
   if (session == nullptr) {
      state.SkipWithError(("no agent or no session: " + bed.error).c_str());
      return;
   }
   std::wstring target = FakeWide(bed.target);
   std::wstring name = FakeWide(kStoredName);
   for (auto _ : state) {
      CSCPMessage request;
      request.SetCode(hkagent::CMD_GET_AGENT_FILE);
      request.SetVariable(VID_FILE_NAME, name.c_str());
      std::unique_ptr<CSCPMessage> reply(session->customRequest(&request, target.c_str()));
      if (reply == nullptr || reply->GetVariableLong(VID_RCC) != ERR_SUCCESS ||
          FakeFileSize(bed.target) != (int64_t)kFileSize) {
         state.SkipWithError("download failed");
         break;
      }
   }
   state.SetBytesProcessed((int64_t)(state.iterations() * kFileSize));
}

}  // namespace

BENCHMARK(BM_RawStream)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
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
