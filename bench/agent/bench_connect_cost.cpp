// The cost of one request on a connection of its own, the way a poller that
// does not keep sessions open uses an agent: connect, ask for one item,
// close. Beside it, the reference of the field: a passive check of one item
// against Debian's zabbix_agentd, which answers one request per TCP
// connection.
//
//   BM_ZabbixPassiveCheck   connect, "agent.ping", read to the end, close
//   BM_ConnectQuery/...     AgentConnection against the real hkagent:
//                           connect, getParameter("Agent.Version"),
//                           disconnect; plain, and in each secure mode the
//                           library offers
//
// Both ends share the machine's CPUs in every case. The ratio of each case
// to the reference is what docs/performance.md reports (paired medians from
// scripts/perf.sh).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

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

void BM_ZabbixPassiveCheck(benchmark::State &state) {
   static ZabbixAgent agent;
   if (!agent.ready()) {
      state.SkipWithError("zabbix_agentd did not start (apt-get install zabbix-agent)");
      return;
   }
   for (auto _ : state) {
      if (!PassiveCheck(agent.port(), "agent.ping")) {
         state.SkipWithError("passive check failed");
         break;
      }
   }
}
BENCHMARK(BM_ZabbixPassiveCheck)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The real hkagent, started once per process.
struct Bed {
   Bed() { ok = agent.start({"--allow-no-authentication"}, &error); }
   hkload::AgentDaemon agent;
   std::string error;
   bool ok = false;
};

Bed &TheBed() {
   static Bed bed;
   return bed;
}

void BM_ConnectQuery(benchmark::State &state) {
   Bed &bed = TheBed();
   if (!bed.ok) {
      state.SkipWithError(bed.error.c_str());
      return;
   }
   wchar_t value[256];
   for (auto _ : state) {
      AgentConnection session(htonl(INADDR_LOOPBACK), bed.agent.port(), AUTH_NONE);
      if (session.connect(nullptr) != 1 ||
          session.getParameter(L"Agent.Version", 256, value) != ERR_SUCCESS) {
         state.SkipWithError("connect or request failed");
         break;
      }
      session.disconnect();
   }
   state.SetLabel("plain");
}
BENCHMARK(BM_ConnectQuery)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
