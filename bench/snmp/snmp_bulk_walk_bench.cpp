// snmpd's whole MIB-2 (.1.3.6.1.2.1) walked with SnmpBulkEnumerate and with
// net-snmp's snmpbulkwalk -v2c -On, in the same run against the same agent,
// each with its own default rows per request (SNMP_DEFAULT_MAX_REPETITIONS
// and snmpbulkwalk's 10). snmpbulkwalk's time includes starting the program,
// as a caller of it pays; BM_BulkEnumerate/10 gives the library's time at
// snmpbulkwalk's own 10 rows per request as well.
//
//   build/<dir>/bench/snmp/snmp_bulk_walk_bench
//
// BM_BulkWalkRatio reports ratio = SnmpBulkEnumerate time / snmpbulkwalk
// time (the target is at most 1.0) and the variable counts of both.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>

#include "hksrv.h"
#include "snmp_agents.h"
#include "snmp_client_util.h"

namespace {

const char kRoot[] = ".1.3.6.1.2.1";

hktest::SnmpdFixture *g_agent = nullptr;

uint32_t Count(uint32_t, SNMP_Variable *, SNMP_Transport *, void *userArg) {
   ++*static_cast<size_t *>(userArg);
   return 0;
}

// Variables walked, or 0 when the walk failed.
size_t WalkWithLibrary(SNMP_Transport *transport, uint32_t maxRepetitions) {
   size_t count = 0;
   uint32_t result = SnmpBulkEnumerate(SNMP_VERSION_2C, transport, hktest::Widen(kRoot).c_str(),
                                       Count, &count, 0, maxRepetitions);
   return result == SNMP_ERR_SUCCESS ? count : 0;
}

size_t WalkWithSnmpbulkwalk() {
   return g_agent->snmpBulkWalk(kRoot).size();
}

double Seconds(std::chrono::steady_clock::duration d) {
   return std::chrono::duration<double>(d).count();
}

void BM_BulkEnumerate(benchmark::State &state) {
   auto transport = hktest::MakeLoopbackTransport(g_agent->port(), "public");
   size_t count = 0;
   for (auto _ : state) {
      count = WalkWithLibrary(transport.get(), static_cast<uint32_t>(state.range(0)));
      if (count == 0) {
         state.SkipWithError("the walk failed");
         return;
      }
   }
   state.counters["variables"] = static_cast<double>(count);
}
// 0 is the library's default; 10 is snmpbulkwalk's.
BENCHMARK(BM_BulkEnumerate)
    ->Arg(0)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

void BM_Snmpbulkwalk(benchmark::State &state) {
   size_t count = 0;
   for (auto _ : state) {
      count = WalkWithSnmpbulkwalk();
   }
   state.counters["variables"] = static_cast<double>(count);
}
BENCHMARK(BM_Snmpbulkwalk)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// Both walks in each iteration, one right after the other and first in
// turn, so that they meet the same agent under the same load.
void BM_BulkWalkRatio(benchmark::State &state) {
   auto transport = hktest::MakeLoopbackTransport(g_agent->port(), "public");
   double library = 0, tool = 0;
   size_t libraryCount = 0, toolCount = 0;
   bool libraryFirst = true;
   for (auto _ : state) {
      for (int turn = 0; turn < 2; turn++) {
         auto start = std::chrono::steady_clock::now();
         if (libraryFirst == (turn == 0)) {
            libraryCount = WalkWithLibrary(transport.get(), 0);
            library += Seconds(std::chrono::steady_clock::now() - start);
         } else {
            toolCount = WalkWithSnmpbulkwalk();
            tool += Seconds(std::chrono::steady_clock::now() - start);
         }
      }
      libraryFirst = !libraryFirst;
      if (libraryCount == 0) {
         state.SkipWithError("the walk failed");
         return;
      }
   }
   state.counters["library_ms"] = 1000 * library / static_cast<double>(state.iterations());
   state.counters["snmpbulkwalk_ms"] = 1000 * tool / static_cast<double>(state.iterations());
   state.counters["ratio"] = library / tool;
   state.counters["library_vars"] = static_cast<double>(libraryCount);
   state.counters["snmpbulkwalk_vars"] = static_cast<double>(toolCount);
}
BENCHMARK(BM_BulkWalkRatio)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

int main(int argc, char **argv) {
   benchmark::Initialize(&argc, argv);
   hktest::SnmpdFixture agent;
   if (!agent.start()) {
      fprintf(stderr, "snmpd did not start: %s\n", agent.lastError().c_str());
      return 1;
   }
   g_agent = &agent;
   benchmark::RunSpecifiedBenchmarks();
   benchmark::Shutdown();
   g_agent = nullptr;
   return 0;
}
