// The whole IF-MIB (interfaces group and ifMIB) and IP-MIB of this machine's
// snmpd, walked with SnmpEnumerate and with net-snmp's snmpwalk -On, in the
// same run against the same agent. Both walk with one GETNEXT per variable;
// snmpwalk's time includes starting the program, as a caller of it pays.
//
//   build/<dir>/bench/snmp/snmp_walk_bench
//
// BM_WalkRatio reports ratio = SnmpEnumerate time / snmpwalk time (the
// target is at most 1.0) and the variable counts of both.
#include <benchmark/benchmark.h>

#include "hksrv.h"
#include "snmp_client_util.h"
#include "walk_bench_support.h"

namespace {

const char *const kRoots[] = {".1.3.6.1.2.1.2", ".1.3.6.1.2.1.31", ".1.3.6.1.2.1.4"};

hktest::SnmpdFixture *g_agent = nullptr;

uint32_t Count(uint32_t, SNMP_Variable *, SNMP_Transport *, void *userArg) {
   ++*static_cast<size_t *>(userArg);
   return 0;
}

// Variables walked, or 0 when a walk failed.
size_t WalkWithLibrary(SNMP_Transport *transport) {
   size_t count = 0;
   for (const char *root : kRoots) {
      if (SnmpEnumerate(SNMP_VERSION_2C, transport, hktest::Widen(root).c_str(), Count, &count,
                        0) != SNMP_ERR_SUCCESS) {
         return 0;
      }
   }
   return count;
}

size_t WalkWithSnmpwalk() {
   size_t count = 0;
   for (const char *root : kRoots) {
      count += g_agent->snmpWalk(root).size();
   }
   return count;
}

void BM_SnmpEnumerate(benchmark::State &state) {
   auto transport = hktest::MakeLoopbackTransport(g_agent->port(), "public");
   size_t count = 0;
   for (auto _ : state) {
      count = WalkWithLibrary(transport.get());
      if (count == 0) {
         state.SkipWithError("a walk failed");
         return;
      }
   }
   state.counters["variables"] = static_cast<double>(count);
}
BENCHMARK(BM_SnmpEnumerate)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_Snmpwalk(benchmark::State &state) {
   size_t count = 0;
   for (auto _ : state) {
      count = WalkWithSnmpwalk();
   }
   state.counters["variables"] = static_cast<double>(count);
}
BENCHMARK(BM_Snmpwalk)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_WalkRatio(benchmark::State &state) {
   auto transport = hktest::MakeLoopbackTransport(g_agent->port(), "public");
   MeasureWalkRatio(
       state, "snmpwalk", [&] { return WalkWithLibrary(transport.get()); },
       [] { return WalkWithSnmpwalk(); });
}
BENCHMARK(BM_WalkRatio)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

int main(int argc, char **argv) {
   return RunBenchmarksAgainstSnmpd(argc, argv, &g_agent);
}
