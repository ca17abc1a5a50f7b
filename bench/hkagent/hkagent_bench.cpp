// hkagent: request round trips on one session, connection set-up, and the
// download rate, against an agent served in-process on loopback.
#include <benchmark/benchmark.h>

#include <memory>

#include "agent_codes.h"
#include "agent_fixture.h"
#include "agent_test_client.h"
#include "test_dirs.h"

using namespace hkagent_test;

namespace {

struct Bench {
   TempDir store;
   std::unique_ptr<RunningAgent> agent;

   Bench() {
      WriteTextFile(store.file("file.bin"), std::string(4 << 20, 'b'));
      agent = std::make_unique<RunningAgent>(std::vector<hkagent::SettingOverride>{
          {"agent", "FileStore", store.path()}, {"agent", "LogLevel", "error"}});
   }
};

Bench &Shared() {
   static Bench *bench = new Bench();
   return *bench;
}

std::unique_ptr<RawClient> Connect(bool encrypted) {
   auto client = std::make_unique<RawClient>();
   int version = 0;
   if (!client->connect(Shared().agent->port()) || !client->probeVersion(&version))
      return nullptr;
   if (encrypted && !client->setupEncryption(TestServerKey()))
      return nullptr;
   return client;
}

void BM_NopRoundTrip(benchmark::State &state) {
   auto client = Connect(state.range(0) != 0);
   if (!client) {
      state.SkipWithError("no connection");
      return;
   }
   for (auto _ : state) {
      if (client->simple(CMD_NOP) != 0) {
         state.SkipWithError("NOP failed");
         break;
      }
   }
   state.SetLabel(state.range(0) ? "encrypted" : "plain");
}
BENCHMARK(BM_NopRoundTrip)->Arg(0)->Arg(1)->UseRealTime();

void BM_GetParameter(benchmark::State &state) {
   auto client = Connect(false);
   if (!client) {
      state.SkipWithError("no connection");
      return;
   }
   for (auto _ : state) {
      CSCPMessage rq;
      rq.SetCode(CMD_GET_PARAMETER);
      rq.SetVariable(VID_PARAMETER, L"System.Memory.Physical.Free");
      auto reply = client->request(&rq);
      if (!reply || reply->GetVariableLong(VID_RCC) != 0) {
         state.SkipWithError("request failed");
         break;
      }
   }
}
BENCHMARK(BM_GetParameter)->UseRealTime();

void BM_GetInterfaceList(benchmark::State &state) {
   auto client = Connect(false);
   if (!client) {
      state.SkipWithError("no connection");
      return;
   }
   for (auto _ : state) {
      CSCPMessage rq;
      rq.SetCode(CMD_GET_LIST);
      rq.SetVariable(VID_PARAMETER, L"Net.InterfaceList");
      auto reply = client->request(&rq);
      if (!reply || reply->GetVariableLong(VID_RCC) != 0) {
         state.SkipWithError("request failed");
         break;
      }
   }
}
BENCHMARK(BM_GetInterfaceList)->UseRealTime();

// A new session each time: connect, version probe, NOP, close.
void BM_SessionSetUp(benchmark::State &state) {
   for (auto _ : state) {
      auto client = Connect(false);
      if (!client || client->simple(CMD_NOP) != 0) {
         state.SkipWithError("session failed");
         break;
      }
   }
}
BENCHMARK(BM_SessionSetUp)->UseRealTime();

void BM_Download4MiB(benchmark::State &state) {
   auto client = Connect(state.range(0) != 0);
   if (!client) {
      state.SkipWithError("no connection");
      return;
   }
   int64_t bytes = 0;
   for (auto _ : state) {
      CSCPMessage rq;
      rq.SetCode(hkagent::CMD_GET_AGENT_FILE);
      rq.SetVariable(VID_FILE_NAME, L"file.bin");
      auto reply = client->request(&rq);
      if (!reply || reply->GetVariableLong(VID_RCC) != 0) {
         state.SkipWithError("request failed");
         break;
      }
      for (;;) {
         auto frame = client->receive(10000);
         if (!frame) {
            state.SkipWithError("download broke off");
            return;
         }
         bytes += frame->GetBinaryDataSize();
         if (frame->GetFlags() & MF_END_OF_FILE)
            break;
      }
   }
   state.SetBytesProcessed(bytes);
   state.SetLabel(state.range(0) ? "encrypted" : "plain");
}
BENCHMARK(BM_Download4MiB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
