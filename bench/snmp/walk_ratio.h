// Times two walks of the same agent against each other: both in each
// iteration, one right after the other and first in turn, so that they meet
// the same agent under the same load. Reports library_ms, snmpwalk_ms,
// ratio = library / reference and the variable counts of both.
#ifndef HK_BENCH_WALK_RATIO_H
#define HK_BENCH_WALK_RATIO_H

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <functional>

// Each walk returns the variables it walked, 0 when it failed.
inline void MeasureWalkRatio(benchmark::State &state, const std::function<size_t()> &library,
                             const std::function<size_t()> &reference) {
   double libraryTime = 0, referenceTime = 0;
   size_t libraryCount = 0, referenceCount = 0;
   bool libraryFirst = true;
   for (auto _ : state) {
      for (int turn = 0; turn < 2; turn++) {
         auto start = std::chrono::steady_clock::now();
         bool ours = libraryFirst == (turn == 0);
         size_t count = ours ? library() : reference();
         double seconds =
             std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
         (ours ? libraryCount : referenceCount) = count;
         (ours ? libraryTime : referenceTime) += seconds;
      }
      libraryFirst = !libraryFirst;
      if (libraryCount == 0 || referenceCount == 0) {
         state.SkipWithError("a walk failed");
         return;
      }
   }
   double iterations = static_cast<double>(state.iterations());
   state.counters["library_ms"] = 1000 * libraryTime / iterations;
   state.counters["snmpwalk_ms"] = 1000 * referenceTime / iterations;
   state.counters["ratio"] = libraryTime / referenceTime;
   state.counters["library_vars"] = static_cast<double>(libraryCount);
   state.counters["snmpwalk_vars"] = static_cast<double>(referenceCount);
}

#endif
