// The cost of one request on a connection of its own, the way a poller that
// does not keep sessions open uses an agent: connect, ask for one item,
// close. Beside it, the reference of the field: a passive check of one item
// against Debian's zabbix_agentd, which answers one request per TCP
// connection.
//
//   reference        connect, "agent.ping", read to the end, close
//   BM_ConnectRatio  AgentConnection against the real hkagent: connect,
//                    getParameter("Agent.Version"), disconnect; plain, and
//                    inside TLS with the secret and an EC or RSA server key
//   BM_PersistentRequestRatio  one request on an open session, inside TLS
//                    against plain
//
// Both ends share the machine's CPUs in every case. Each figure is a paired
// median: rounds of a batch of the reference then a batch of the subject,
// the median of the rounds' ratios (counters reference_us, subject_us,
// ratio), which docs/performance.md reports.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_agent_files.h"
#include "hksrv.h"
#include "load_support.h"

namespace {

const char kZabbixAgent[] = "/usr/sbin/zabbix_agentd";

// A loopback port nobody listens on at the moment of asking, within the
// range zabbix_agentd accepts for ListenPort (1024-32767).
uint16_t FreePort() {
   for (uint16_t port = (uint16_t)(20000 + getpid() % 10000); port < 32767; port++) {
      int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address = {};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(port);
      bool free = s >= 0 && bind(s, (sockaddr *)&address, sizeof(address)) == 0;
      if (s >= 0)
         close(s);
      if (free)
         return port;
   }
   return 0;
}

int ConnectLoopback(uint16_t port) {
   int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   sockaddr_in address = {};
   address.sin_family = AF_INET;
   address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   address.sin_port = htons(port);
   if (s >= 0 && connect(s, (sockaddr *)&address, sizeof(address)) == 0)
      return s;
   if (s >= 0)
      close(s);
   return -1;
}

// One passive check: the request in the agent's framing ("ZBXD", flags 1,
// a 64-bit little-endian length), then the reply until the agent closes.
bool PassiveCheck(uint16_t port, const char *key) {
   int s = ConnectLoopback(port);
   if (s < 0)
      return false;
   size_t keyLength = strlen(key);
   std::string request("ZBXD\x01", 5);
   for (int i = 0; i < 8; i++)
      request.push_back((char)((uint64_t)keyLength >> (8 * i)));
   request.append(key, keyLength);
   bool ok = send(s, request.data(), request.size(), MSG_NOSIGNAL) == (ssize_t)request.size();
   char buffer[512];
   size_t received = 0;
   ssize_t n;
   while (ok && (n = recv(s, buffer, sizeof(buffer), 0)) > 0)
      received += (size_t)n;
   close(s);
   return ok && received > 13;  // header and at least one byte of value
}

// zabbix_agentd in the foreground on a free loopback port, with a
// configuration of its own; stopped when the object goes.
class ZabbixAgent {
public:
   ZabbixAgent() {
      m_port = FreePort();
      std::ofstream(m_dir.file("agent.conf"))
          << "LogFile=" << m_dir.file("agent.log") << "\nPidFile=" << m_dir.file("agent.pid")
          << "\nServer=127.0.0.1\nListenIP=127.0.0.1\nListenPort=" << m_port
          << "\nStartAgents=3\nServerActive=\nAllowRoot=1\n";
      std::string config = m_dir.file("agent.conf");
      m_pid = fork();
      if (m_pid == 0) {
         execl(kZabbixAgent, kZabbixAgent, "-f", "-c", config.c_str(), (char *)nullptr);
         _exit(127);
      }
      // Ready once it answers: bounded.
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!m_ready && std::chrono::steady_clock::now() < deadline) {
         m_ready = PassiveCheck(m_port, "agent.ping");
         if (!m_ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
   }
   ~ZabbixAgent() {
      if (m_pid > 0) {
         kill(m_pid, SIGTERM);
         waitpid(m_pid, nullptr, 0);
      }
   }
   bool ready() const { return m_ready; }
   uint16_t port() const { return m_port; }

private:
   FakeTempDir m_dir;
   pid_t m_pid = -1;
   uint16_t m_port = 0;
   bool m_ready = false;
};

// The real hkagent twice, started once per process: one answering
// without authentication, one with its own key for TLS and a secret.
const char kSecret[] = "connect-cost-benchmark-secret-0123456789";

struct Bed {
   Bed() {
      ok = plain.start({"--allow-no-authentication"}, &error) &&
           secured.start({"--identity-key", keys.file("agent.pem"), "--secret", kSecret,
                          "--accept-any-server-key"},
                         &error);
      EVP_PKEY *rsa = EVP_RSA_gen(2048);
      rsaKey = rsa != nullptr ? EVP_PKEY_get1_RSA(rsa) : nullptr;
      EVP_PKEY_free(rsa);
      ecKey = EVP_EC_gen("P-256");
      ok = ok && rsaKey != nullptr && ecKey != nullptr;
   }
   FakeTempDir keys;
   hkload::AgentDaemon plain, secured;
   RSA *rsaKey = nullptr;
   EVP_PKEY *ecKey = nullptr;
   std::string error;
   bool ok = false;
};

Bed &TheBed() {
   static Bed bed;
   return bed;
}

// How a case connects: plain, or inside TLS with the secret and the
// server's key of one kind (the agent's key is accepted as it comes).
enum class Mode { Plain, TlsEcSecret, TlsRsaSecret };

std::unique_ptr<AgentConnection> Open(Mode mode) {
   Bed &bed = TheBed();
   std::unique_ptr<AgentConnection> session;
   if (mode == Mode::Plain) {
      session =
          std::make_unique<AgentConnection>(htonl(INADDR_LOOPBACK), bed.plain.port(), AUTH_NONE);
   } else {
      std::wstring secret(kSecret, kSecret + strlen(kSecret));
      session = std::make_unique<AgentConnection>(htonl(INADDR_LOOPBACK), bed.secured.port(),
                                                  AUTH_HMAC_SHA256, secret.c_str());
      session->setAgentKeyTrust([](const char *) { return true; });
      if (mode == Mode::TlsEcSecret)
         session->setServerTlsKey(bed.ecKey);
   }
   if (session->connect(mode == Mode::TlsRsaSecret ? bed.rsaKey : nullptr) != 1)
      return nullptr;
   return session;
}

bool ConnectQueryClose(Mode mode) {
   auto session = Open(mode);
   wchar_t value[256];
   bool ok = session && session->getParameter(L"Agent.Version", 256, value) == ERR_SUCCESS;
   if (session)
      session->disconnect();
   return ok;
}

// Wall time of count calls of step, in us; negative when one failed.
template <typename Step>
double BatchUs(int count, Step step) {
   auto begin = std::chrono::steady_clock::now();
   for (int i = 0; i < count; i++) {
      if (!step())
         return -1;
   }
   std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - begin;
   return took.count() / count;
}

double Median(std::vector<double> values) {
   std::sort(values.begin(), values.end());
   return values.empty() ? 0 : values[values.size() / 2];
}

// Rounds of a batch of the reference then a batch of the subject, so both
// see the same machine; the medians of each and of the rounds' ratios.
template <typename Reference, typename Subject>
void PairedRatio(benchmark::State &state, int batch, Reference reference, Subject subject) {
   std::vector<double> refs, subjects, ratios;
   for (auto _ : state) {
      double r = BatchUs(batch, reference), s = BatchUs(batch, subject);
      if (r <= 0 || s <= 0) {
         state.SkipWithError("a reference or subject call failed");
         return;
      }
      refs.push_back(r);
      subjects.push_back(s);
      ratios.push_back(s / r);
   }
   state.counters["reference_us"] = Median(refs);
   state.counters["subject_us"] = Median(subjects);
   state.counters["ratio"] = Median(ratios);
}

void BM_ConnectRatio(benchmark::State &state) {
   static ZabbixAgent zabbix;
   Bed &bed = TheBed();
   if (!zabbix.ready() || !bed.ok) {
      state.SkipWithError(!zabbix.ready() ? "zabbix_agentd did not start" : bed.error.c_str());
      return;
   }
   Mode mode = (Mode)state.range(0);
   PairedRatio(
       state, mode == Mode::Plain ? 50 : 10,
       [&] { return PassiveCheck(zabbix.port(), "agent.ping"); },
       [mode] { return ConnectQueryClose(mode); });
   static const char *const kLabels[] = {"plain", "tls-ec-secret", "tls-rsa-secret"};
   state.SetLabel(kLabels[state.range(0)]);
}
BENCHMARK(BM_ConnectRatio)
    ->Arg((int)Mode::Plain)
    ->Arg((int)Mode::TlsEcSecret)
    ->Arg((int)Mode::TlsRsaSecret)
    ->Iterations(15)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// One request on a session kept open, inside TLS against plain, on the
// same agent build.
void BM_PersistentRequestRatio(benchmark::State &state) {
   Bed &bed = TheBed();
   if (!bed.ok) {
      state.SkipWithError(bed.error.c_str());
      return;
   }
   auto plain = Open(Mode::Plain);
   auto tls = Open(Mode::TlsEcSecret);
   if (!plain || !tls) {
      state.SkipWithError("no session");
      return;
   }
   wchar_t value[256];
   auto ask = [&value](AgentConnection *session) {
      return session->getParameter(L"Agent.Version", 256, value) == ERR_SUCCESS;
   };
   PairedRatio(
       state, 500, [&] { return ask(plain.get()); }, [&] { return ask(tls.get()); });
   state.SetLabel("tls against plain");
}
BENCHMARK(BM_PersistentRequestRatio)->Iterations(15)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
