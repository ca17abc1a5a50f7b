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

#include "hksrv.h"
#include "snmp_client_util.h"
#include "walk_bench_support.h"

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

void BM_BulkWalkRatio(benchmark::State &state) {
   auto transport = hktest::MakeLoopbackTransport(g_agent->port(), "public");
   MeasureWalkRatio(
       state, "snmpbulkwalk", [&] { return WalkWithLibrary(transport.get(), 0); },
       [] { return WalkWithSnmpbulkwalk(); });
}
BENCHMARK(BM_BulkWalkRatio)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

int main(int argc, char **argv) {
   return RunBenchmarksAgainstSnmpd(argc, argv, &g_agent);
}
