#!/usr/bin/env bash
# Runs a wire test against the Linux peer: starts PEER on a loopback port,
# hands the port to the test in HK_WIRE_PEER_PORT, and stops the peer on
# every way out.
#
# Usage: run_with_peer.sh PEER TEST-COMMAND...
set -euo pipefail
peer="$1"
shift
if [ ! -x "$peer" ]; then
  echo "run_with_peer: the Linux peer $peer is missing (build the default preset first)" >&2
  exit 1
fi
work="$(mktemp -d)"
mkfifo "$work/out"
"$peer" >"$work/out" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
exec 3<"$work/out"
port=""
read -r -t 10 -u 3 port || true
if [ -z "$port" ]; then
  echo "run_with_peer: the peer did not start" >&2
  exit 1
fi
HK_WIRE_PEER_PORT="$port" "$@"
