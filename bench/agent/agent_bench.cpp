// Agent session round trips on loopback, against the scriptable agent:
//
//   BM_ThreadHandoff      control to another thread and back, for reference
//   BM_RawPingPong        the floor: a nop-sized frame out and a reply-sized
//                         frame back between two threads over plain TCP
//   BM_Nop                one thread's nop() round trip on a session
//   BM_Requests/threads:N requests per second with N threads on one session
//   BM_RequestsEncrypted  the same on an encrypted session
//
// Targets: nop within 1.5x the raw ping-pong; 16 threads at least 3x the
// single-thread rate; encrypted within 1.3x plain. The session benchmarks
// also report proc_cpu_us, the processor time of the whole process (callers,
// receiver and the fake agent) per request.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_agent.h"
#include "hksrv.h"

namespace {

RSA *ServerKey() {
   static RSA *key = [] {
      EVP_PKEY *pkey = EVP_RSA_gen(2048);
      RSA *rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
      EVP_PKEY_free(pkey);
      return rsa;
   }();
   return key;
}

// The wire frame of a message, as bytes.
std::vector<uint8_t> Frame(uint16_t code, bool withResult) {
   CSCPMessage message;
   message.SetCode(code);
   message.SetId(1);
   if (withResult)
      message.SetVariable(VID_RCC, (uint32_t)0);
   CSCP_MESSAGE *frame = message.CreateMessage();
   std::vector<uint8_t> bytes((uint8_t *)frame, (uint8_t *)frame + ntohl(frame->dwSize));
   free(frame);
   return bytes;
}

bool ReadExactly(int fd, uint8_t *buffer, size_t size) {
   while (size > 0) {
      ssize_t n = recv(fd, buffer, size, 0);
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
         return false;
      buffer += n;
      size -= (size_t)n;
   }
   return true;
}

bool WriteAll(int fd, const uint8_t *data, size_t size) {
   while (size > 0) {
      ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
         return false;
      data += n;
      size -= (size_t)n;
   }
   return true;
}

// Processor time of the whole process so far, in seconds.
double ProcessCpuSeconds() {
   struct rusage usage;
   getrusage(RUSAGE_SELF, &usage);
   return (double)usage.ru_utime.tv_sec + (double)usage.ru_stime.tv_sec +
          ((double)usage.ru_utime.tv_usec + (double)usage.ru_stime.tv_usec) / 1e6;
}

// ---------------------------------------------------------------- thread handoff

// The cost of handing control to another thread and back (two wake-ups),
// as a session's reply does once more than a plain ping-pong: the
// receiver thread takes it off the socket and wakes the caller.
void BM_ThreadHandoff(benchmark::State &state) {
   std::mutex mutex;
   std::condition_variable changed;
   uint64_t turn = 0;  // odd: the peer's turn
   bool stop = false;
   std::thread peer([&] {
      std::unique_lock<std::mutex> guard(mutex);
      for (;;) {
         changed.wait(guard, [&] { return stop || (turn & 1) != 0; });
         if (stop)
            return;
         turn++;
         changed.notify_all();
      }
   });
   for (auto _ : state) {
      std::unique_lock<std::mutex> guard(mutex);
      turn++;
      changed.notify_all();
      changed.wait(guard, [&] { return (turn & 1) == 0; });
   }
   {
      std::lock_guard<std::mutex> guard(mutex);
      stop = true;
   }
   changed.notify_all();
   peer.join();
   state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ThreadHandoff)->UseRealTime();

// ---------------------------------------------------------------- raw ping-pong

void BM_RawPingPong(benchmark::State &state) {
   const std::vector<uint8_t> request = Frame(CMD_NOP, false);
   const std::vector<uint8_t> reply = Frame(CMD_REQUEST_COMPLETED, true);

   int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   struct sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t length = sizeof(sa);
   if (bind(listener, (sockaddr *)&sa, sizeof(sa)) != 0 || listen(listener, 1) != 0 ||
       getsockname(listener, (sockaddr *)&sa, &length) != 0) {
      state.SkipWithError("no listener");
      close(listener);
      return;
   }
   int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   if (connect(client, (sockaddr *)&sa, sizeof(sa)) != 0) {
      state.SkipWithError("no connection");
      close(listener);
      close(client);
      return;
   }
   int server = accept(listener, nullptr, nullptr);
   int one = 1;
   setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
   setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));

   std::thread peer([&] {
      std::vector<uint8_t> in(request.size());
      while (ReadExactly(server, in.data(), in.size()) &&
             WriteAll(server, reply.data(), reply.size())) {
      }
   });
   std::vector<uint8_t> in(reply.size());
   for (auto _ : state) {
      if (!WriteAll(client, request.data(), request.size()) ||
          !ReadExactly(client, in.data(), in.size())) {
         state.SkipWithError("ping-pong broke");
         break;
      }
   }
   shutdown(client, SHUT_RDWR);
   peer.join();
   close(client);
   close(server);
   close(listener);
   state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawPingPong)->UseRealTime();

// ---------------------------------------------------------------- sessions

// The agent and session every thread of one benchmark run shares.
struct Bed {
   std::unique_ptr<FakeAgent> agent;
   std::unique_ptr<AgentConnection> session;
};
Bed g_bed;

void SetUpBed(bool encrypted) {
   FakeAgentOptions options;
   options.record = false;
   g_bed.agent = std::make_unique<FakeAgent>(options);
   g_bed.session =
       std::make_unique<AgentConnection>(FakeAgent::addressNetworkOrder(), g_bed.agent->port());
   g_bed.session->setEncryptionPolicy(encrypted ? ENCRYPTION_REQUIRED : ENCRYPTION_DISABLED);
   uint32_t error = 0;
   g_bed.session->connect(encrypted ? ServerKey() : nullptr, 1, &error);
}

void TearDownBed(const benchmark::State &) {
   g_bed.session.reset();
   g_bed.agent.reset();
}

void SetUpPlain(const benchmark::State &) {
   SetUpBed(false);
}
void SetUpEncrypted(const benchmark::State &) {
   SetUpBed(true);
}

void RunRequests(benchmark::State &state) {
   AgentConnection *session = g_bed.session.get();
   if (!session->isConnected()) {
      state.SkipWithError("not connected");
      return;
   }
   double cpuBefore = state.thread_index() == 0 ? ProcessCpuSeconds() : 0;
   for (auto _ : state) {
      uint32_t rc = session->nop();
      if (rc != ERR_SUCCESS) {
         state.SkipWithError("request failed");
         break;
      }
   }
   state.SetItemsProcessed(state.iterations());
   if (state.thread_index() == 0 && state.iterations() > 0) {
      // Every thread of the process (callers, receiver, fake agent) per
      // request: with two processors the rate cannot pass 2 / this.
      double cpu = ProcessCpuSeconds() - cpuBefore;
      state.counters["proc_cpu_us"] = cpu * 1e6 / ((double)state.iterations() * state.threads());
   }
}

void BM_Nop(benchmark::State &state) {
   RunRequests(state);
}
BENCHMARK(BM_Nop)->Setup(SetUpPlain)->Teardown(TearDownBed)->UseRealTime();

void BM_Requests(benchmark::State &state) {
   RunRequests(state);
}
BENCHMARK(BM_Requests)
    ->Setup(SetUpPlain)
    ->Teardown(TearDownBed)
    ->Threads(1)
    ->Threads(4)
    ->Threads(16)
    ->UseRealTime();

void BM_RequestsEncrypted(benchmark::State &state) {
   RunRequests(state);
}
BENCHMARK(BM_RequestsEncrypted)
    ->Setup(SetUpEncrypted)
    ->Teardown(TearDownBed)
    ->Threads(1)
    ->Threads(4)
    ->Threads(16)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
