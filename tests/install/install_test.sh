#!/usr/bin/env bash
# Configures and builds the project on its own (no tests, no sanitizers),
# installs it into a temporary prefix, then builds and runs a consumer
# program against the installed tree twice: with find_package(hksrv) and
# with pkg-config. Also runs the installed programs.
#   install_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

step() { echo "=== $*"; }

step "configure, build and install into $prefix"
cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHK_BUILD_TESTS=OFF \
      -DHK_BUILD_BENCH=OFF -DHK_BUILD_FUZZ=OFF -DCMAKE_INSTALL_PREFIX=/nonexistent >/dev/null
cmake --build "$work/build" -j2 >/dev/null
cmake --install "$work/build" --prefix "$prefix" >/dev/null

step "installed files"
for f in include/hksrv/hksrv.h include/hksrv/hesker.h include/hksrv/hksnmp.h \
         include/hksrv/hksrv_agent.h lib/cmake/hksrv/hksrvConfig.cmake \
         bin/hkagent bin/hkquery bin/hksnmp; do
  [ -e "$prefix/$f" ] || { echo "missing: $f"; exit 1; }
done
libdir=$(dirname "$(find "$prefix" -name 'libhksrv.so' | head -n1)")
[ -n "$libdir" ] || { echo "missing: libhksrv.so"; exit 1; }
for internal in hk_internal.h message_impl.h ber.h; do
  [ ! -e "$prefix/include/hksrv/$internal" ] || { echo "internal header installed: $internal"; exit 1; }
done

step "installed programs run from the prefix"
env -u LD_LIBRARY_PATH "$prefix/bin/hkquery" --help | grep -q "usage: hkquery"
env -u LD_LIBRARY_PATH "$prefix/bin/hksnmp" --help | grep -q "usage: hksnmp"
env -u LD_LIBRARY_PATH "$prefix/bin/hkagent" --version | grep -q "hkagent"

step "consumer with find_package(hksrv)"
cmake -S "$src/tests/install/consumer" -B "$work/consumer-cmake" \
      -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer-cmake" >/dev/null
"$work/consumer-cmake/consumer"

step "consumer with pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
pkg-config --exists --print-errors hksrv
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/consumer-pc" "$src/tests/install/consumer/main.cpp" \
    $(pkg-config --cflags --libs hksrv)
LD_LIBRARY_PATH=$libdir "$work/consumer-pc"

step "moved prefix: pkg-config still finds it"
mv "$prefix" "$work/moved"
libdir=${libdir/$prefix/$work/moved}
PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags hksrv | grep -q "$work/moved"

echo "install test passed"
