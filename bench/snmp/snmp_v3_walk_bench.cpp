// An SNMPv3 authPriv (SHA-256, AES-128) walk of snmpd's whole MIB-2
// (.1.3.6.1.2.1) with the GETNEXT walk SnmpEnumerate, against net-snmp's
// snmpwalk -v3 with the same user, in the same run against the same agent.
// snmpwalk's time includes starting the program and its engine discovery,
// as a caller of it pays; the library's includes its discovery too (a fresh
// transport per walk).
//
//   build/<dir>/bench/snmp/snmp_v3_walk_bench
//
// BM_V3WalkRatio reports ratio = SnmpEnumerate time / snmpwalk -v3 time
// (the target is at most 1.0) and the variable counts of both.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "hksrv.h"
#include "snmp_agents.h"
#include "snmp_client_util.h"
#include "walk_bench_support.h"

namespace {

const char kRoot[] = ".1.3.6.1.2.1";
const char kUser[] = "benchuser";
const char kAuthPassword[] = "bench-auth-pass";
const char kPrivPassword[] = "bench-priv-pass";

hktest::SnmpdFixture *g_agent = nullptr;

uint32_t Count(uint32_t, SNMP_Variable *, SNMP_Transport *, void *userArg) {
   ++*static_cast<size_t *>(userArg);
   return 0;
}

// Variables walked, or 0 when the walk failed.
size_t WalkWithLibrary() {
   auto transport = hktest::MakeLoopbackTransport(g_agent->port(), "", SNMP_VERSION_3);
   transport->setSecurityContext(new SNMP_SecurityContext(kUser, kAuthPassword, kPrivPassword,
                                                          SNMP_AUTH_SHA256, SNMP_PRIV_AES128));
   size_t count = 0;
   if (SnmpEnumerate(SNMP_VERSION_3, transport.get(), hktest::Widen(kRoot).c_str(), Count, &count,
                     0) != SNMP_ERR_SUCCESS) {
      return 0;
   }
   return count;
}

size_t WalkWithSnmpwalk() {
   return g_agent
       ->snmpWalk(kRoot, hktest::SnmpToolVersion::V3,
                  {"-u", kUser, "-l", "authPriv", "-a", "SHA-256", "-A", kAuthPassword, "-x", "AES",
                   "-X", kPrivPassword})
       .size();
}

void BM_V3WalkRatio(benchmark::State &state) {
   MeasureWalkRatio(state, "snmpwalk", WalkWithLibrary, WalkWithSnmpwalk);
}
BENCHMARK(BM_V3WalkRatio)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(6);

}  // namespace

int main(int argc, char **argv) {
   benchmark::Initialize(&argc, argv);
   hktest::SnmpdFixture agent;
   if (!agent.start("public", {std::string("createUser ") + kUser + " SHA-256 \"" + kAuthPassword +
                                   "\" AES \"" + kPrivPassword + "\"",
                               std::string("rouser ") + kUser + " priv"})) {
      fprintf(stderr, "snmpd did not start: %s\n", agent.lastError().c_str());
      return 1;
   }
   g_agent = &agent;
   benchmark::RunSpecifiedBenchmarks();
   benchmark::Shutdown();
   g_agent = nullptr;
   return 0;
}
