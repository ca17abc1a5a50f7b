#!/usr/bin/env bash
# Measures every figure of docs/performance.md in one run, each beside its
# reference on the same machine, and prints them as a Markdown table.
#
#   bash scripts/perf.sh [BUILD_DIR]      (default build/perf)
#
# Builds the benchmarks and the load suite with optimisation (RelWithDebInfo),
# then runs:
#   agent_bench        nop against a raw TCP ping-pong of the same frames;
#                      requests/s with 1, 4 and 16 threads on one session,
#                      plain and encrypted (against the fake agent)
#   agent_file_bench   upload and download of 100 MiB, plain and encrypted,
#                      against the real hkagent, beside a raw loopback TCP
#                      stream of the same bytes in the same 32 KiB writes
#   snmp_walk_bench    SnmpEnumerate against snmpwalk of the same snmpd subtrees
#   snmp_bulk_walk_bench  SnmpBulkEnumerate against snmpbulkwalk -v2c of
#                      snmpd's whole MIB-2
#   snmp_v3_walk_bench SnmpEnumerate over SNMPv3 authPriv against snmpwalk -v3 of
#                      snmpd's MIB-2 with the same user
#   agent_connect_bench  connect, one request and close against the real
#                      hkagent (plain, and inside TLS with the secret), each
#                      paired with a passive check of zabbix_agentd; one
#                      request on an open TLS session against a plain one
#   hksrv_load_tests   memory, threads and idle CPU per connected session
#                      (ten thousand sessions on the real hkagent)
# Raw results stay in BUILD_DIR/perf-results/. The machine's load is printed
# before and after: take figures only when it is quiet.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/perf}
out=$build/perf-results
mkdir -p "$out"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHK_BUILD_BENCH=ON >"$out/configure.log"
# The connect-cost reference is Debian's Zabbix agent.
dpkg-query -W -f='${Status}' zabbix-agent 2>/dev/null | grep -q 'install ok installed' ||
   { apt-get install -y zabbix-agent >"$out/zabbix-install.log" 2>&1 &&
     { systemctl disable --now zabbix-agent >/dev/null 2>&1 || true; }; }
cmake --build "$build" -j2 --target agent_bench agent_file_bench agent_connect_bench snmp_walk_bench \
   snmp_bulk_walk_bench snmp_v3_walk_bench hksrv_load_tests hkagent >"$out/build.log"

echo "load before: $(uptime)"
# Repetitions smooth out other processes; the medians are reported.
"$build/bench/agent/agent_bench" --benchmark_repetitions=5 \
   --benchmark_report_aggregates_only=true \
   --benchmark_out="$out/agent.json" --benchmark_out_format=json >"$out/agent.txt"
"$build/bench/agent/agent_file_bench" --benchmark_repetitions=3 \
   --benchmark_report_aggregates_only=true \
   --benchmark_out="$out/files.json" --benchmark_out_format=json >"$out/files.txt"
"$build/bench/snmp/snmp_walk_bench" \
   --benchmark_out="$out/snmp.json" --benchmark_out_format=json >"$out/snmp.txt"
"$build/bench/snmp/snmp_bulk_walk_bench" \
   --benchmark_out="$out/snmp_bulk.json" --benchmark_out_format=json >"$out/snmp_bulk.txt"
"$build/bench/snmp/snmp_v3_walk_bench" \
   --benchmark_out="$out/snmpv3.json" --benchmark_out_format=json >"$out/snmpv3.txt"
"$build/bench/agent/agent_connect_bench" \
   --benchmark_out="$out/connect.json" --benchmark_out_format=json >"$out/connect.txt"
HK_LOAD_SESSIONS=10000 "$build/tests/load/hksrv_load_tests" --gtest_filter='LoadManySessions.*' >"$out/load.txt"
echo "load after: $(uptime)"

python3 - "$out" <<'EOF'
import json, re, sys
out = sys.argv[1]

def medians(name):
    data = json.load(open(f"{out}/{name}.json"))
    result = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name", "median") != "median":
            continue
        key = b.get("run_name", b["name"])
        result[key] = b
    return result

agent = medians("agent")
def find(prefix):
    for k, v in agent.items():
        if k.startswith(prefix):
            return v
    raise KeyError(prefix)
def ns(b):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    return b["real_time"] * scale
def rate(b):
    return b["items_per_second"]

raw = ns(find("BM_RawPingPong"))
nop = ns(find("BM_Nop"))
plain = {t: rate(find(f"BM_Requests/real_time/threads:{t}")) for t in (1, 4, 16)}
enc = {t: rate(find(f"BM_RequestsEncrypted/real_time/threads:{t}")) for t in (1, 4, 16)}

print("| figure | measured | reference | ratio | target |")
print("|---|---|---|---|---|")
print(f"| nop round trip | {nop/1000:.1f} us | raw TCP ping-pong {raw/1000:.1f} us | {nop/raw:.2f}x | <= 1.3x |")
for t in (1, 4, 16):
    print(f"| requests/s, {t} thread(s), plain | {plain[t]:,.0f} | 1 thread {plain[1]:,.0f} | {plain[t]/plain[1]:.2f}x | 16 threads >= 3x |")
for t in (1, 4, 16):
    print(f"| requests/s, {t} thread(s), encrypted | {enc[t]:,.0f} | plain {plain[t]:,.0f} | {plain[t]/enc[t]:.2f}x slower | <= 1.15x |")

files = medians("files")
def mbps(prefix):
    for k, v in files.items():
        if k.startswith(prefix):
            return v["bytes_per_second"] / (1 << 20)
    raise KeyError(prefix)
raw_stream = mbps("BM_RawStream")
for op in ("Upload", "Download"):
    for e, label in ((0, "plain"), (1, "encrypted")):
        v = mbps(f"BM_{op}/encrypted:{e}")
        print(f"| {op.lower()} 100 MiB to hkagent, {label} | {v:,.0f} MiB/s | raw loopback TCP stream {raw_stream:,.0f} MiB/s | {v/raw_stream:.2f} of it | (reported) |")

snmp = json.load(open(f"{out}/snmp.json"))["benchmarks"]
walk = next(b for b in snmp if b["name"].startswith("BM_WalkRatio"))
print(f"| walk of snmpd IF-MIB + IP-MIB ({walk['library_vars']:.0f} variables) | {walk['library_ms']:.1f} ms | snmpwalk {walk['snmpwalk_ms']:.1f} ms | {walk['ratio']:.2f}x | <= 1.0x |")
bulk = json.load(open(f"{out}/snmp_bulk.json"))["benchmarks"]
bw = next(b for b in bulk if b["name"].startswith("BM_BulkWalkRatio"))
print(f"| bulk walk of snmpd .1.3.6.1.2.1 ({bw['library_vars']:.0f} variables) | {bw['library_ms']:.1f} ms | snmpbulkwalk -v2c {bw['snmpbulkwalk_ms']:.1f} ms | {bw['ratio']:.2f}x | <= 1.0x |")
v3 = json.load(open(f"{out}/snmpv3.json"))["benchmarks"][0]
print(f"| SNMPv3 authPriv GETNEXT walk of snmpd .1.3.6.1.2.1 ({v3['library_vars']:.0f} variables) | {v3['library_ms']:.1f} ms | snmpwalk -v3 {v3['snmpwalk_ms']:.1f} ms ({v3['snmpwalk_vars']:.0f}) | {v3['ratio']:.2f}x | <= 1.0x |")

connect = json.load(open(f"{out}/connect.json"))["benchmarks"]
targets = {"plain": "<= 2.5x", "tls-ec-secret": "<= 20x", "tls-rsa-secret": "(reported)"}
for b in connect:
    label = b.get("label", "")
    if b["name"].startswith("BM_ConnectRatio"):
        print(f"| connect + 1 request + close to hkagent, {label} | {b['subject_us']:,.0f} us | zabbix_agentd passive check {b['reference_us']:,.0f} us | {b['ratio']:.1f}x | {targets.get(label, '')} |")
    elif b["name"].startswith("BM_PersistentRequestRatio"):
        print(f"| request on an open session inside TLS | {b['subject_us']:,.0f} us | plain session {b['reference_us']:,.0f} us | {b['ratio']:.2f}x | <= 1.15x |")

for line in open(f"{out}/load.txt"):
    if line.startswith("LOAD "):
        print(f"| {line[5:].strip()} | | | | |")
EOF
