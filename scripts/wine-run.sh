#!/usr/bin/env bash
# Runs a Windows program of the cross-build under wine: the emulator CTest
# puts before every test command of the mingw preset.
#
# The wine prefix is the build's own (HK_WINEPREFIX, by default
# build/mingw/wineprefix), created on first use under a lock and bounded in
# time; the MinGW runtime DLLs and the build's own are found through
# WINEPATH. Wine's diagnostics are off so that a test's output is its own.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${HK_WINEPREFIX:-$repo/build/mingw/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || { echo "wine-run: $wine is missing (apt-get install wine64)" >&2; exit 1; }

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  # Servers started here outlive this script: they get neither the lock
  # (fd 9) nor the test's output, or the next test and CTest would wait for
  # them to leave.
  if [ ! -f "$WINEPREFIX/.hk-ready" ]; then
    timeout 300 "$wine" wineboot --init >/dev/null 2>&1 9>&-
    touch "$WINEPREFIX/.hk-ready"
  fi
  # One server for a whole run of tests, leaving by itself a minute after
  # the last program: a test that starts just as a server of its own would
  # be shutting down can fail to reach it. Already running: nothing to do.
  /usr/lib/wine/wineserver64 -p60 </dev/null >/dev/null 2>&1 9>&- || true
) 9>"$WINEPREFIX.lock"

runtime=()
for dir in "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")" \
           "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")" \
           "$(dirname "$1")" "${HK_WINE_DLL_DIR:-}"; do
  [ -n "$dir" ] && runtime+=("Z:${dir//\//\\}")
done
WINEPATH="$(IFS=';'; echo "${runtime[*]}")"
export WINEPATH
exec "$wine" "$@"
