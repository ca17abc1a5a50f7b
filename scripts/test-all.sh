#!/usr/bin/env bash
# Sets everything up and runs every test: the default build, then the whole
# suite again under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# suites that run threads (label "threaded") under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

for preset in default asan; do
  echo "=== build and test: $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

echo "=== build and test: tsan (threaded suites)"
cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan -L threaded
