// Load: many threads on one session, many sessions on one agent, and many
// connect/disconnect cycles on one session. The default build runs the
// full counts; sanitized builds scale them down (load_support.h).
//
// The figures (memory and threads per session) are printed as lines that
// start with "LOAD " so that scripts/perf.sh can collect them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "fake_agent.h"
#include "fault_support.h"
#include "load_support.h"

using namespace hkload;
using hkfault::CountResources;
using hkfault::ResourceCounts;
using hkfault::WaitForResourcesAtMost;

namespace {

const uint16_t kEchoCode = 0x7E55;
const uint32_t kVidToken = 0x7E56;
const uint32_t kVidText = 0x7E57;

// ---------------------------------------------------------------- one session, many threads

TEST(LoadOneSession, ThirtyTwoThreadsGetEveryReplyAndOnlyTheirOwn) {
   const int kThreads = 32;
   const int kRequests = Scaled(10000, 20);
   FakeAgentOptions options;
   options.record = false;
   FakeAgent agent(options);
   ASSERT_TRUE(agent.listening());
   // Echoes the request's token and text, so a crossed reply shows.
   agent.setHandler(kEchoCode, FakeReply(0, [](const CSCPMessage &request, CSCPMessage &reply) {
                       reply.SetVariable(kVidToken, request.GetVariableInt64(kVidToken));
                       wchar_t text[64];
                       reply.SetVariable(kVidText, request.GetVariableStr(kVidText, text, 64));
                    }));
   AgentConnection session(FakeAgent::addressNetworkOrder(), agent.port());
   ASSERT_EQ(1, session.connect());

   std::atomic<int> lost{0}, crossed{0}, done{0};
   std::vector<std::thread> threads;
   for (int t = 0; t < kThreads; t++) {
      threads.emplace_back([&, t] {
         for (int i = 0; i < kRequests; i++) {
            uint64_t token = ((uint64_t)t << 32) | (uint32_t)i;
            wchar_t text[64];
            swprintf(text, 64, L"thread %d request %d", t, i);
            CSCPMessage request;
            request.SetCode(kEchoCode);
            request.SetVariable(kVidToken, token);
            request.SetVariable(kVidText, text);
            std::unique_ptr<CSCPMessage> reply(session.customRequest(&request));
            if (!reply) {
               lost++;
               continue;
            }
            wchar_t echoed[64];
            if (reply->GetId() != request.GetId() || reply->GetVariableInt64(kVidToken) != token ||
                wcscmp(reply->GetVariableStr(kVidText, echoed, 64), text) != 0)
               crossed++;
            done++;
         }
      });
   }
   for (std::thread &t : threads)
      t.join();
   EXPECT_EQ(0, lost.load());
   EXPECT_EQ(0, crossed.load());
   EXPECT_EQ(kThreads * kRequests, done.load());
   printf("LOAD one_session threads=%d requests=%d lost=%d crossed=%d\n", kThreads,
          kThreads * kRequests, lost.load(), crossed.load());
}

// ---------------------------------------------------------------- many sessions, one agent

TEST(LoadManySessions, AThousandSessionsOnOneAgentAllSucceed) {
   const int kSessions = Scaled(1000, 10);
   const int kRequestsEach = 3;
   ASSERT_GE(RaiseDescriptorLimit(4096), (uint64_t)(kSessions * 2 + 64));
   AgentDaemon daemon;
   std::string error;
   ASSERT_TRUE(daemon.start({"--max-sessions", "2048", "--max-sessions-per-address", "2048",
                             "--idle-timeout", "0", "--allow-no-authentication"},
                            &error))
       << error;

   // Settle both processes before the baseline; the session's receiver is
   // joined when it goes.
   {
      AgentConnection warmup(htonl(0x7F000001), daemon.port());
      ASSERT_EQ(1, warmup.connect());
      wchar_t value[256];
      ASSERT_EQ(ERR_SUCCESS, warmup.getParameter(L"Agent.Version", 256, value));
   }
   const ResourceCounts before = CountResources();
   const uint64_t clientRssBefore = RssKb(getpid());
   const uint64_t agentRssBefore = RssKb(daemon.pid());
   const int agentThreadsBefore = ThreadCount(daemon.pid());

   std::vector<std::unique_ptr<AgentConnection>> sessions;
   int connected = 0;
   for (int i = 0; i < kSessions; i++) {
      sessions.push_back(std::make_unique<AgentConnection>(htonl(0x7F000001), daemon.port()));
      uint32_t rc = 0;
      if (sessions.back()->connect(nullptr, 0, &rc) == 1)
         connected++;
      else
         ADD_FAILURE() << "session " << i << " failed to connect: " << rc;
   }
   ASSERT_EQ(kSessions, connected);
   const ResourceCounts idle = CountResources();
   const uint64_t clientRssIdle = RssKb(getpid());
   const uint64_t agentRssIdle = RssKb(daemon.pid());
   // What idle sessions cost in processor time: one second of nothing.
   const uint64_t clientCpuStart = CpuTimeMs(getpid());
   const uint64_t agentCpuStart = CpuTimeMs(daemon.pid());
   std::this_thread::sleep_for(std::chrono::seconds(1));
   const uint64_t clientIdleCpu = CpuTimeMs(getpid()) - clientCpuStart;
   const uint64_t agentIdleCpu = CpuTimeMs(daemon.pid()) - agentCpuStart;

   // Every session makes requests, eight sessions at a time.
   std::atomic<int> failures{0}, next{0};
   std::vector<std::thread> workers;
   for (int w = 0; w < 8; w++) {
      workers.emplace_back([&] {
         for (int i = next++; i < kSessions; i = next++) {
            for (int r = 0; r < kRequestsEach; r++) {
               wchar_t value[256];
               if (sessions[i]->getParameter(L"Agent.Version", 256, value) != ERR_SUCCESS)
                  failures++;
            }
         }
      });
   }
   for (std::thread &t : workers)
      t.join();
   EXPECT_EQ(0, failures.load());
   const uint64_t clientRssBusy = RssKb(getpid());
   const uint64_t agentRssBusy = RssKb(daemon.pid());
   const int agentThreadsBusy = ThreadCount(daemon.pid());

   const double perSession = 1.0 / kSessions;
   printf("LOAD many_sessions sessions=%d requests=%d failures=%d\n", kSessions,
          kSessions * kRequestsEach, failures.load());
   printf("LOAD many_sessions client_threads_per_session=%.2f client_fds_per_session=%.2f\n",
          (idle.threads - before.threads) * perSession,
          (idle.descriptors - before.descriptors) * perSession);
   printf(
       "LOAD many_sessions client_rss_kb_before=%llu idle=%llu busy=%llu "
       "idle_kb_per_session=%.1f busy_kb_per_session=%.1f\n",
       (unsigned long long)clientRssBefore, (unsigned long long)clientRssIdle,
       (unsigned long long)clientRssBusy, (double)(clientRssIdle - clientRssBefore) * perSession,
       (double)(clientRssBusy - clientRssBefore) * perSession);
   printf(
       "LOAD many_sessions agent_rss_kb_before=%llu idle=%llu busy=%llu "
       "idle_kb_per_session=%.1f busy_kb_per_session=%.1f agent_threads_before=%d busy=%d\n",
       (unsigned long long)agentRssBefore, (unsigned long long)agentRssIdle,
       (unsigned long long)agentRssBusy, (double)(agentRssIdle - agentRssBefore) * perSession,
       (double)(agentRssBusy - agentRssBefore) * perSession, agentThreadsBefore, agentThreadsBusy);
   printf("LOAD many_sessions idle_cpu_ms_per_second client=%llu agent=%llu\n",
          (unsigned long long)clientIdleCpu, (unsigned long long)agentIdleCpu);
   // One receiver thread and one socket per session, nothing more.
   EXPECT_EQ(before.threads + kSessions, idle.threads);
   EXPECT_EQ(before.descriptors + kSessions, idle.descriptors);

   sessions.clear();
   ResourceCounts after = WaitForResourcesAtMost(before, 20000);
   EXPECT_LE(after.threads, before.threads);
   EXPECT_LE(after.descriptors, before.descriptors);
}

// ---------------------------------------------------------------- connect/disconnect cycles

TEST(LoadCycles, TenThousandConnectsOnOneSessionReturnEverything) {
   const int kCycles = Scaled(10000, 20);
   AgentDaemon daemon;
   std::string error;
   ASSERT_TRUE(daemon.start({"--idle-timeout", "0", "--allow-no-authentication"}, &error)) << error;
   AgentConnection session(htonl(0x7F000001), daemon.port());
   session.setCommandTimeout(2000);

   // Every other cycle negotiates encryption, so per-connection cipher state
   // is part of what must come back.
   auto cycle = [&](int i) {
      session.setEncryptionPolicy(i % 2 ? ENCRYPTION_REQUIRED : ENCRYPTION_DISABLED);
      uint32_t rc = 0;
      if (session.connect(hkfault::ServerKey(), 0, &rc) != 1)
         return rc != 0 ? rc : ERR_INTERNAL_ERROR;
      rc = session.nop();
      session.disconnect();
      return rc;
   };
   // No receiver runs yet: every cycle must come back to this many threads.
   // A sanitizer starts its own helper at the first thread created, so one
   // is created first. (Descriptors are compared after the first cycles,
   // once the crypto library has opened whatever it keeps.)
   std::thread([] {}).join();
   ResourceCounts idle = CountResources();
   idle.descriptors = INT_MAX;
   // The receiver gives up the socket first and frees its frame buffers on
   // its way out, so wait for the thread itself to be gone.
   auto settle = [&] { WaitForResourcesAtMost(idle, 10000); };
   for (int i = 0; i < 20; i++)
      ASSERT_EQ(ERR_SUCCESS, cycle(i));
   settle();
   // The receiver of the last cycle is joined by the next connect; it has
   // ended, so only its record is left.
   const ResourceCounts before = CountResources();
   ASSERT_LE(before.threads, idle.threads);
   const size_t heapBefore = HeapInUse();
   const uint64_t rssBefore = RssKb(getpid());
   const uint64_t agentRssBefore = RssKb(daemon.pid());

   int failures = 0;
   for (int i = 0; i < kCycles; i++) {
      if (cycle(i) != ERR_SUCCESS)
         failures++;
   }
   settle();
   const ResourceCounts after = WaitForResourcesAtMost(before, 10000);
   const size_t heapAfter = HeapInUse();
   const uint64_t rssAfter = RssKb(getpid());
   const uint64_t agentRssAfter = RssKb(daemon.pid());
   printf(
       "LOAD cycles cycles=%d failures=%d heap_growth_bytes=%lld rss_growth_kb=%lld "
       "agent_rss_growth_kb=%lld\n",
       kCycles, failures, (long long)heapAfter - (long long)heapBefore,
       (long long)rssAfter - (long long)rssBefore,
       (long long)agentRssAfter - (long long)agentRssBefore);
   EXPECT_EQ(0, failures);
   EXPECT_LE(after.threads, before.threads);
   EXPECT_LE(after.descriptors, before.descriptors);
   // A leak of even a few bytes a cycle would show over the cycles.
   EXPECT_LT((long long)heapAfter - (long long)heapBefore, 64 * 1024);
#ifndef HK_LOAD_SANITIZED
   // (A sanitizer's quarantine keeps freed memory resident for a while.)
   EXPECT_LT((long long)rssAfter - (long long)rssBefore, 8 * 1024);
#endif
}

}  // namespace
