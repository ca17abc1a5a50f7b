#!/usr/bin/env bash
# Sets everything up and runs every test: the default build, then the whole
# suite again under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

for preset in default asan; do
  echo "=== build and test: $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
