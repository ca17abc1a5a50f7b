// CSCPMessage encode (CreateMessage) and decode (constructor from a frame)
// for the shapes the sessions send: a small request, a reply carrying a
// list of strings, and a large binary.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <string>

#include "hesker.h"

namespace {

void FillRequest(CSCPMessage &m) {
   m.SetCode(CMD_GET_PARAMETER);
   m.SetId(12345);
   m.SetVariable(VID_PARAMETER, L"System.CPU.Usage(5)");
   m.SetVariable(VID_RCC, (uint32_t)0);
   m.SetVariable(VID_AGENT_PORT, (uint16_t)4700);
   m.SetVariable(VID_GUID, (uint64_t)0x0123456789ABCDEFull);
}

void FillList(CSCPMessage &m, int items) {
   m.SetCode(CMD_REQUEST_COMPLETED);
   m.SetVariable(VID_NUM_STRINGS, (uint32_t)items);
   for (int i = 0; i < items; i++) {
      std::wstring line = L"192.168." + std::to_wstring(i / 256) + L"." + std::to_wstring(i % 256) +
                          L"/24 eth" + std::to_wstring(i % 8);
      m.SetVariable(VID_ITEM_LIST_BASE + (uint32_t)i, line.c_str());
   }
}

void FillBinary(CSCPMessage &m, uint32_t size) {
   std::string data(size, 'x');
   m.SetCode(CMD_SNMP_REQUEST);
   m.SetVariable(VID_PDU, (const uint8_t *)data.data(), size);
}

template <void (*Fill)(CSCPMessage &)>
void BM_Encode(benchmark::State &state) {
   CSCPMessage m;
   Fill(m);
   size_t bytes = 0;
   for (auto _ : state) {
      CSCP_MESSAGE *frame = m.CreateMessage();
      bytes += ntohl(frame->dwSize);
      benchmark::DoNotOptimize(frame);
      free(frame);
   }
   state.SetBytesProcessed((int64_t)bytes);
}

template <void (*Fill)(CSCPMessage &)>
void BM_Decode(benchmark::State &state) {
   CSCPMessage m;
   Fill(m);
   CSCP_MESSAGE *frame = m.CreateMessage();
   size_t bytes = 0;
   for (auto _ : state) {
      CSCPMessage decoded(frame);
      benchmark::DoNotOptimize(decoded.IsValid());
      bytes += ntohl(frame->dwSize);
   }
   free(frame);
   state.SetBytesProcessed((int64_t)bytes);
}

void Request(CSCPMessage &m) {
   FillRequest(m);
}
void List100(CSCPMessage &m) {
   FillList(m, 100);
}
void List5000(CSCPMessage &m) {
   FillList(m, 5000);
}
void Binary64K(CSCPMessage &m) {
   FillBinary(m, 65536);
}
void Binary256K(CSCPMessage &m) {
   FillBinary(m, HKCP_MAX_FRAME_SIZE - 32);
}

// Reading every item of a list reply back, as the list requests do.
void BM_ReadList(benchmark::State &state) {
   CSCPMessage m;
   FillList(m, (int)state.range(0));
   wchar_t buffer[256];
   for (auto _ : state) {
      for (int i = 0; i < state.range(0); i++)
         m.GetVariableStr(VID_ITEM_LIST_BASE + (uint32_t)i, buffer, 256);
      benchmark::DoNotOptimize(buffer[0]);
   }
   state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_Encode<Request>)->Name("Encode/Request");
BENCHMARK(BM_Decode<Request>)->Name("Decode/Request");
BENCHMARK(BM_Encode<List100>)->Name("Encode/List100");
BENCHMARK(BM_Decode<List100>)->Name("Decode/List100");
BENCHMARK(BM_Encode<List5000>)->Name("Encode/List5000");
BENCHMARK(BM_Decode<List5000>)->Name("Decode/List5000");
BENCHMARK(BM_Encode<Binary64K>)->Name("Encode/Binary64K");
BENCHMARK(BM_Decode<Binary64K>)->Name("Decode/Binary64K");
BENCHMARK(BM_Encode<Binary256K>)->Name("Encode/Binary256K");
BENCHMARK(BM_Decode<Binary256K>)->Name("Decode/Binary256K");
BENCHMARK(BM_ReadList)->Arg(100)->Arg(1000)->Arg(5000);
