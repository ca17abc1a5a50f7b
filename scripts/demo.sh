#!/usr/bin/env bash
# A short tour of hkquery and hksnmp: installs what is missing, builds the
# programs, starts hkagent and snmpd on loopback ports of their own, asks
# them a few things, and stops them again. Exits non-zero when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
echo "=== building (preset default)"
cmake --preset default >/dev/null
cmake --build --preset default --target hkagent hkquery hksnmp_tool

bin=build/default/tools
hkagent=$bin/hkagent/hkagent
hkquery=$bin/hkquery/hkquery
hksnmp=$bin/hksnmp/hksnmp
snmpd=$(command -v snmpd || echo /usr/sbin/snmpd)

work=$(mktemp -d "${TMPDIR:-/tmp}/hksrv-demo.XXXXXX")
agent_pid=""
snmpd_pid=""
cleanup() {
  local status=$?
  for pid in $agent_pid $snmpd_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
  if [ $status -ne 0 ]; then
    echo "demo failed (status $status)" >&2
  fi
  exit $status
}
trap cleanup EXIT

# Prints the command, then runs it.
run() {
  echo
  echo "\$ $*"
  "$@"
}

echo "=== starting hkagent and snmpd in $work"
secret=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
mkdir -p "$work/store" "$work/policies" "$work/no-mibs"
printf 'type = 1\nserver = demo-server\n' > "$work/policies/00112233445566778899aabbccddeeff.policy"
# The agent serves key exchanges only for server keys it trusts: install
# this server's key fingerprint, as an operator would.
"$hkquery" --show-key --key "$work/server-key.pem" | head -n 1 > "$work/trusted-keys"
cat > "$work/agent.conf" <<CONF
[agent]
ListenAddress = 127.0.0.1
Port = 0
Secret = "$secret"
TrustedServerKeys = $work/trusted-keys
IdentityKey = $work/identity.pem
FileStore = $work/store
PolicyDir = $work/policies
EnableSnmpProxy = yes
SnmpProxyTargets = 127.0.0.1
[actions]
greet = /bin/echo "hello from the agent"
CONF
"$hkagent" --config "$work/agent.conf" --port-file "$work/agent.port" 2>"$work/agent.log" &
agent_pid=$!
for _ in $(seq 100); do
  [ -s "$work/agent.port" ] && break
  kill -0 "$agent_pid" 2>/dev/null || { cat "$work/agent.log" >&2; exit 1; }
  sleep 0.1
done
[ -s "$work/agent.port" ] || { echo "hkagent did not start" >&2; exit 1; }
agent=127.0.0.1:$(cat "$work/agent.port")

echo "rocommunity public 127.0.0.1" > "$work/snmpd.conf"
snmp_port=""
for _ in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 40000))
  "$snmpd" -f -Lo -C -c "$work/snmpd.conf" -M "$work/no-mibs" -m '' -I -smux "udp:127.0.0.1:$port" \
    >"$work/snmpd.log" 2>&1 &
  snmpd_pid=$!
  for _ in $(seq 50); do
    if snmpget -v2c -c public -On -t 0.2 -r 0 "127.0.0.1:$port" .1.3.6.1.2.1.1.5.0 >/dev/null 2>&1; then
      snmp_port=$port
      break
    fi
    kill -0 "$snmpd_pid" 2>/dev/null || break
  done
  [ -n "$snmp_port" ] && break
  kill "$snmpd_pid" 2>/dev/null || true
  wait "$snmpd_pid" 2>/dev/null || true
  snmpd_pid=""
done
[ -n "$snmp_port" ] || { echo "snmpd did not start" >&2; cat "$work/snmpd.log" >&2; exit 1; }
echo "hkagent on $agent, snmpd on 127.0.0.1:$snmp_port"

# Secrets travel in the environment, never on the command line.
export HKQUERY_SECRET=$secret HKSNMP_AGENT_SECRET=$secret
# The session runs inside TLS; the agent's key is pinned as an operator
# would, from what the agent itself prints.
agent_key=$("$hkagent" --config "$work/agent.conf" --show-key | head -n 1)
echo "agent key $agent_key"
key=(--key "$work/server-key.pem" --agent-key "$agent_key")

echo
echo "=== parameters"
run "$hkquery" "${key[@]}" "$agent" System.Hostname System.Uptime System.CPU.Count Agent.Version
run "$hkquery" "${key[@]}" --encryption required --json "$agent" System.Memory.Physical.Total

echo
echo "=== network tables"
run "$hkquery" "${key[@]}" --interfaces "$agent"
run "$hkquery" "${key[@]}" --arp "$agent"
run "$hkquery" "${key[@]}" --routes "$agent"

echo
echo "=== management"
run "$hkquery" "${key[@]}" --action greet "$agent"
run "$hkquery" "${key[@]}" --policies "$agent"

echo
echo "=== file round trip"
head -c 1048576 /dev/urandom > "$work/sample.bin"
run "$hkquery" "${key[@]}" --upload "$work/sample.bin" --destination demo.bin "$agent"
run "$hkquery" "${key[@]}" --download demo.bin --output "$work/returned.bin" "$agent"
sent=$(sha256sum < "$work/sample.bin" | cut -d' ' -f1)
back=$(sha256sum < "$work/returned.bin" | cut -d' ' -f1)
echo "sha256 sent:     $sent"
echo "sha256 returned: $back"
[ "$sent" = "$back" ] || { echo "the file came back different" >&2; exit 1; }

echo
echo "=== this host's interfaces over SNMP"
run "$hksnmp" get 127.0.0.1 -p "$snmp_port" .1.3.6.1.2.1.1.1.0 .1.3.6.1.2.1.1.5.0
run "$hksnmp" interfaces 127.0.0.1 -p "$snmp_port"
run "$hksnmp" "${key[@]}" interfaces 127.0.0.1 -p "$snmp_port" --via-agent "$agent"
direct=$("$hksnmp" interfaces 127.0.0.1 -p "$snmp_port" --json)
relayed=$("$hksnmp" "${key[@]}" interfaces 127.0.0.1 -p "$snmp_port" --via-agent "$agent" --json)
[ "$direct" = "$relayed" ] || { echo "the agent's answer differs from the direct one" >&2; exit 1; }
echo "direct and relayed interface lists are the same"

echo
echo "=== demo finished"
