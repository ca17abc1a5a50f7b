#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test libhksrv.
set -euo pipefail

packages=(build-essential ccache cmake clang clang-format libssl-dev libgtest-dev libgmock-dev
          googletest libbenchmark-dev snmpd snmp snmpsim pkg-config iproute2 scdoc man-db groff-base
          debhelper lintian systemd g++-mingw-w64-x86-64-posix wine64 dpkg-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y "${missing[@]}"
fi
