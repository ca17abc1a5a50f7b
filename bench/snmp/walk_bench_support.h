// What the SNMP walk benchmarks share: the snmpd they walk, and the ratio of
// a library walk to a reference client's walk of the same tree.
#ifndef HKBENCH_WALK_BENCH_SUPPORT_H
#define HKBENCH_WALK_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

#include "snmp_agents.h"

// Starts snmpd, points *agent at it while the benchmarks the command line
// selects run, and stops it. The program's exit status.
inline int RunBenchmarksAgainstSnmpd(int argc, char **argv, hktest::SnmpdFixture **agent) {
   benchmark::Initialize(&argc, argv);
   hktest::SnmpdFixture snmpd;
   if (!snmpd.start()) {
      fprintf(stderr, "snmpd did not start: %s\n", snmpd.lastError().c_str());
      return 1;
   }
   *agent = &snmpd;
   benchmark::RunSpecifiedBenchmarks();
   benchmark::Shutdown();
   *agent = nullptr;
   return 0;
}

// Runs both walks in each iteration, one right after the other and first in
// turn, so that they meet the same agent under the same load. Each walk
// returns the variables it saw, the library's 0 when it failed. Reports
// library_ms, <client>_ms, ratio (library / client), library_vars and
// <client>_vars.
template <typename LibraryWalk, typename ClientWalk>
void MeasureWalkRatio(benchmark::State &state, const std::string &client, LibraryWalk libraryWalk,
                      ClientWalk clientWalk) {
   auto seconds = [](std::chrono::steady_clock::duration d) {
      return std::chrono::duration<double>(d).count();
   };
   double library = 0, tool = 0;
   size_t libraryCount = 0, toolCount = 0;
   bool libraryFirst = true;
   for (auto _ : state) {
      for (int turn = 0; turn < 2; turn++) {
         auto start = std::chrono::steady_clock::now();
         if (libraryFirst == (turn == 0)) {
            libraryCount = libraryWalk();
            library += seconds(std::chrono::steady_clock::now() - start);
         } else {
            toolCount = clientWalk();
            tool += seconds(std::chrono::steady_clock::now() - start);
         }
      }
      libraryFirst = !libraryFirst;
      if (libraryCount == 0) {
         state.SkipWithError("a walk failed");
         return;
      }
   }
   double iterations = static_cast<double>(state.iterations());
   state.counters["library_ms"] = 1000 * library / iterations;
   state.counters[client + "_ms"] = 1000 * tool / iterations;
   state.counters["ratio"] = library / tool;
   state.counters["library_vars"] = static_cast<double>(libraryCount);
   state.counters[client + "_vars"] = static_cast<double>(toolCount);
}

#endif
