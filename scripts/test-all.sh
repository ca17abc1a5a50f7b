#!/usr/bin/env bash
# Sets everything up and runs every test: the default build, then the whole
# suite again under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# suites that run threads (label "threaded") under ThreadSanitizer, and last
# the Windows cross-build with its suites under wine.
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

echo "=== cross-build for Windows and its tests under wine"
wine_started=$(date +%s)
bash scripts/win-deps.sh
# Whatever happens, no wine process of the build's prefix is left running.
trap 'WINEPREFIX="$PWD/build/mingw/wineprefix" timeout 60 /usr/lib/wine/wineserver64 -k 2>/dev/null || true' EXIT
cmake --preset mingw
cmake --build --preset mingw
ctest --preset mingw
echo "=== Windows stage took $(( $(date +%s) - wine_started )) s"
