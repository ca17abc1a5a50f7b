#!/usr/bin/env bash
# Prepares what the Windows cross-build links against and that Debian does
# not package for MinGW: static OpenSSL (from Debian's own source package, so
# it is the same release the Linux build uses) and GoogleTest (from
# /usr/src/googletest). Everything lands under one cache folder and is reused
# when present.
#
# Usage: scripts/win-deps.sh [CACHE_DIR]. Without CACHE_DIR the cache lives
# outside the clone, so every clean checkout of this machine reuses it:
# $HK_WIN_DEPS_CACHE, else /var/cache/hksrv/win-deps (root) or
# ~/.cache/hksrv/win-deps, in a folder named by the versions it was built
# from (OpenSSL, the MinGW compiler, GoogleTest); build/win-deps/prefix then
# links to it. The installed prefix is CACHE_DIR/prefix, which
# cmake/mingw-w64.cmake finds by default (otherwise set HK_WIN_DEPS_PREFIX).
# Needs dpkg-dev (apt-get source) and the MinGW compiler, both installed by
# scripts/setup.sh.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
host=x86_64-w64-mingw32
if [ $# -ge 1 ]; then
  cache="$(mkdir -p "$1" && cd "$1" && pwd)"
else
  shared="${HK_WIN_DEPS_CACHE:-}"
  if [ -z "$shared" ]; then
    if [ "$(id -u)" -eq 0 ]; then shared=/var/cache/hksrv/win-deps
    else shared="${XDG_CACHE_HOME:-$HOME/.cache}/hksrv/win-deps"; fi
  fi
  version_of() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo none; }
  key="openssl-$(version_of libssl-dev)_gcc-$($host-gcc-posix -dumpversion 2>/dev/null || echo none)"
  key="${key}_gtest-$(version_of googletest)_no-module"
  cache="$shared/${key//[^A-Za-z0-9._+-]/_}"
  mkdir -p "$cache" "$repo/build/win-deps"
  # An older checkout kept the prefix itself here.
  [ -L "$repo/build/win-deps/prefix" ] || rm -rf "$repo/build/win-deps/prefix"
  ln -sfn "$cache/prefix" "$repo/build/win-deps/prefix"
fi
prefix="$cache/prefix"
mkdir -p "$prefix"
# Two checkouts preparing the same cache at once take turns.
exec 9>"$cache/.lock"
flock 9

build_openssl() {
  local work="$cache/openssl-src" apt="$cache/apt"
  rm -rf "$work" && mkdir -p "$work" "$apt/lists/partial" "$apt/cache/archives/partial"
  # A private source list and package state, so the system's apt
  # configuration is neither needed nor changed.
  local suite
  suite="$(. /etc/os-release && echo "$VERSION_CODENAME")"
  local key=/usr/share/keyrings/debian-archive-keyring.gpg
  cat >"$apt/sources.list" <<LIST
deb-src [signed-by=$key] http://deb.debian.org/debian $suite main
deb-src [signed-by=$key] http://deb.debian.org/debian $suite-updates main
LIST
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
              -o "Dir::State::status=/var/lib/dpkg/status" -o "Debug::NoLocking=1" -o "APT::Sandbox::User=root")
  echo "win-deps: fetching the openssl source package"
  apt-get -qq "${opts[@]}" update
  # The release the Linux build links when the mirrors still have it, else
  # the newest one they offer.
  local version
  version="$(dpkg-query -W -f='${Version}' libssl-dev 2>/dev/null || true)"
  (cd "$work" && { { [ -n "$version" ] && apt-get -qq "${opts[@]}" source "openssl=$version"; } ||
                   apt-get -qq "${opts[@]}" source openssl; } >/dev/null 2>&1)
  local src
  src="$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'openssl-*' | head -n1)"
  echo "win-deps: building static OpenSSL for $host from $(basename "$src")"
  # CC=gcc-posix with the prefix gives the POSIX-threads flavour of MinGW,
  # the one the libraries are built with. no-module puts the legacy provider
  # (DES for SNMPv3) into libcrypto: a module would be looked for at a path
  # of this machine that a Windows program cannot open.
  local log="$cache/openssl-build.log"
  if ! (cd "$src" &&
        CC=gcc-posix ./Configure mingw64 --cross-compile-prefix=$host- no-shared no-module no-tests \
          --prefix="$prefix" --libdir=lib &&
        make -j2 build_libs && make install_dev) >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "win-deps: the OpenSSL build failed (whole log: $log)" >&2
    exit 1
  fi
  rm -rf "$work"
}

build_googletest() {
  local work="$cache/googletest-build"
  echo "win-deps: building GoogleTest for $host"
  rm -rf "$work"
  local log="$cache/googletest-build.log"
  if ! { cmake -S /usr/src/googletest -B "$work" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64.cmake" \
           -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=ON &&
         cmake --build "$work" -j2 && cmake --install "$work"; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "win-deps: the GoogleTest build failed (whole log: $log)" >&2
    exit 1
  fi
  rm -rf "$work"
}

# A stamp is written only after a complete install, so an interrupted build
# is redone rather than half used.
# The stamp names the configuration, so a cache built with another one is
# rebuilt.
if [ ! -f "$prefix/.openssl-done-no-module" ]; then
  build_openssl
  touch "$prefix/.openssl-done-no-module"
fi
if [ ! -f "$prefix/.googletest-done" ]; then
  build_googletest
  touch "$prefix/.googletest-done"
fi
echo "win-deps: ready in $prefix"
