// The agent session against agents that misbehave on purpose. Every case
// is bounded in time and checks the result code, that each waiting caller
// came back within its time-out, that the session connects again
// afterwards, and (in TearDown) that no thread or descriptor stays behind.
// Memory left behind is LeakSanitizer's to find in the asan build.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "fake_agent.h"
#include "fake_agent_files.h"
#include "fault_support.h"

using namespace hkfault;

namespace {

const uint32_t kCommandTimeout = 500;  // the smallest the session allows
// Scheduling slack on a loaded machine under the sanitizers.
const uint64_t kSlackMs = 3000;

class AgentFaultTest : public testing::Test {
protected:
   static void SetUpTestSuite() {
      // Whatever the process opens once (the key, the cipher tables, the
      // log) is opened here, before any baseline is taken.
      ServerKey();
      FakeAgent agent;
      RecordingSession session(FakeAgent::addressNetworkOrder(), agent.port());
      session.setEncryptionPolicy(ENCRYPTION_REQUIRED);
      session.connect(ServerKey());
      session.nop();
   }

   void SetUp() override { baseline = CountResources(); }

   void TearDown() override {
      session.reset();
      agent.reset();
      ResourceCounts now = WaitForResourcesAtMost(baseline, 10000);
      EXPECT_LE(now.threads, baseline.threads) << "threads left behind";
      EXPECT_LE(now.descriptors, baseline.descriptors) << "descriptors left behind";
   }

   void startAgent() {
      agent = std::make_unique<FakeAgent>();
      ASSERT_TRUE(agent->listening());
   }

   void connect(int policy = ENCRYPTION_ALLOWED) {
      if (!session) {
         session =
             std::make_unique<RecordingSession>(FakeAgent::addressNetworkOrder(), agent->port());
         session->setCommandTimeout(kCommandTimeout);
      }
      session->setEncryptionPolicy(policy);
      uint32_t error = 0;
      ASSERT_EQ(1, session->connect(ServerKey(), 0, &error)) << "error " << error;
   }

   // After the session was ended by the peer: it connects again and works.
   void expectReusable() {
      ASSERT_TRUE(session->waitForReceiverEnd(15000));
      EXPECT_EQ(0, session->isConnected());
      connect();
      EXPECT_EQ(ERR_SUCCESS, session->nop());
   }

   // Runs calls on `count` threads at once; each result and how long it took.
   struct Outcome {
      uint32_t result;
      uint64_t elapsedMs;
   };
   std::vector<Outcome> concurrently(int count, const std::function<uint32_t()> &call) {
      std::vector<Outcome> outcomes(count);
      std::vector<std::thread> threads;
      for (int i = 0; i < count; i++) {
         threads.emplace_back([&, i] {
            uint64_t start = NowMs();
            outcomes[i].result = call();
            outcomes[i].elapsedMs = NowMs() - start;
         });
      }
      for (std::thread &t : threads)
         t.join();
      return outcomes;
   }

   ResourceCounts baseline;
   std::unique_ptr<FakeAgent> agent;
   std::unique_ptr<RecordingSession> session;
};

// ---------------------------------------------------------------- silence

TEST_F(AgentFaultTest, PeerThatAcceptsAndNeverAnswersFailsTheConnectInBoundedTime) {
   auto silent = std::make_unique<SilentPeer>();
   ASSERT_NE(0, silent->port());
   session = std::make_unique<RecordingSession>(FakeAgent::addressNetworkOrder(), silent->port());
   session->setCommandTimeout(kCommandTimeout);
   uint32_t error = 0;
   uint64_t start = NowMs();
   EXPECT_EQ(0, session->connect(ServerKey(), 0, &error));
   uint64_t elapsed = NowMs() - start;
   // The version probe waits 5 s for its answer.
   EXPECT_EQ(ERR_INTERNAL_ERROR, error);
   EXPECT_LT(elapsed, 5000 + kSlackMs);
   EXPECT_EQ(INVALID_SOCKET, session->getSocket());
   EXPECT_EQ(0, session->isConnected());

   // The same session object then connects to an agent that does answer.
   silent.reset();
   startAgent();
   session->setPort(agent->port());
   connect();
   EXPECT_EQ(ERR_SUCCESS, session->nop());
}

TEST_F(AgentFaultTest, SilentRequestsReleaseEveryWaiterWithinTheCommandTimeout) {
   startAgent();
   connect();
   agent->setHandler(CMD_NOP, FakeSilent());
   std::vector<Outcome> outcomes = concurrently(8, [&] { return session->nop(); });
   for (const Outcome &o : outcomes) {
      EXPECT_EQ(ERR_REQUEST_TIMEOUT, o.result);
      EXPECT_GE(o.elapsedMs + 5, kCommandTimeout);
      EXPECT_LT(o.elapsedMs, kCommandTimeout + kSlackMs);
   }
   // Silence on requests does not end the session.
   agent->setHandler(CMD_NOP, nullptr);
   EXPECT_EQ(ERR_SUCCESS, session->nop());
   EXPECT_EQ(1, session->isConnected());
}

TEST_F(AgentFaultTest, PeerSilentDuringKeyExchangeFailsARequiredEncryptionInTime) {
   startAgent();
   agent->setHandler(CMD_REQUEST_SESSION_KEY, FakeSilent());
   session = std::make_unique<RecordingSession>(FakeAgent::addressNetworkOrder(), agent->port());
   session->setCommandTimeout(kCommandTimeout);
   session->setEncryptionPolicy(ENCRYPTION_REQUIRED);
   uint32_t error = 0;
   uint64_t start = NowMs();
   EXPECT_EQ(0, session->connect(ServerKey(), 0, &error));
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, error);
   EXPECT_LT(NowMs() - start, kCommandTimeout + kSlackMs);
   agent->setHandler(CMD_REQUEST_SESSION_KEY, nullptr);
   connect(ENCRYPTION_REQUIRED);
   EXPECT_EQ(ERR_SUCCESS, session->nop());
}

// ---------------------------------------------------------------- closing

TEST_F(AgentFaultTest, CloseMidFrameReleasesEveryWaiterAndTheSessionReconnects) {
   startAgent();
   connect();
   session->setCommandTimeout(2000);
   agent->setHandler(CMD_GET_PARAMETER, FakeSilent());
   std::atomic<bool> closeSent{false};
   std::thread closer([&] {
      // Once the waiters are waiting, a reply is cut off by the agent's close.
      agent->waitForCode(CMD_GET_PARAMETER, 4, 10000);
      agent->setHandler(CMD_NOP, FakeCloseMidFrame());
      session->nop();
      closeSent = true;
   });
   std::vector<Outcome> outcomes = concurrently(4, [&] {
      wchar_t value[64];
      return session->getParameter(L"Agent.Version", 64, value);
   });
   closer.join();
   EXPECT_TRUE(closeSent);
   for (const Outcome &o : outcomes) {
      EXPECT_EQ(ERR_REQUEST_TIMEOUT, o.result);
      EXPECT_LT(o.elapsedMs, 2000 + kSlackMs);
   }
   agent->setHandler(CMD_NOP, nullptr);
   agent->setHandler(CMD_GET_PARAMETER, nullptr);
   expectReusable();
}

TEST_F(AgentFaultTest, CloseMidUploadFailsTheUploadInBoundedTime) {
   FakeTempDir dir;
   ASSERT_TRUE(dir.valid());
   std::string file = dir.file("big.bin");
   ASSERT_TRUE(FakeWriteFile(file, 32u << 20, 11));
   startAgent();
   auto received = std::make_shared<std::atomic<uint64_t>>(0);
   agent->setHandler(CMD_UPLOAD_FILE, FakeReply(0));
   agent->setHandler(CMD_FILE_DATA, [received](FakeAgentConnection &c, const CSCPMessage &m) {
      if (received->fetch_add(m.GetBinaryDataSize()) > (1u << 20))
         c.shutdown();
   });
   connect();
   uint64_t start = NowMs();
   uint32_t rc = session->uploadFile(FakeWide(file).c_str(), L"big.bin");
   // Either the send fails, or everything left fits the socket buffers and
   // the final reply never comes.
   EXPECT_TRUE(rc == ERR_IO_FAILURE || rc == ERR_REQUEST_TIMEOUT || rc == ERR_CONNECTION_BROKEN)
       << rc;
   EXPECT_LT(NowMs() - start, 2 * kCommandTimeout + 20000);
   agent->setHandler(CMD_FILE_DATA, nullptr);
   agent->setHandler(CMD_UPLOAD_FILE, nullptr);
   expectReusable();
}

TEST_F(AgentFaultTest, CloseMidDownloadFailsItAndRemovesThePartialFile) {
   FakeTempDir dir;
   ASSERT_TRUE(dir.valid());
   std::string source = dir.file("source.bin");
   ASSERT_TRUE(FakeWriteFile(source, 1u << 20, 12));
   startAgent();
   FakeDownloadOptions options;
   options.closeAfter = 100000;
   const uint16_t kDownloadCode = 0x4321;
   agent->setHandler(kDownloadCode, FakeDownload(source, options));
   connect();
   std::string target = dir.file("target.bin");
   CSCPMessage request;
   request.SetCode(kDownloadCode);
   uint64_t start = NowMs();
   std::unique_ptr<CSCPMessage> reply(
       session->customRequest(&request, FakeWide(target).c_str(), false));
   EXPECT_LT(NowMs() - start, kCommandTimeout + kSlackMs);
   if (reply) {
      EXPECT_NE(0u, reply->GetVariableLong(VID_RCC));
   }
   EXPECT_EQ(-1, FakeFileSize(target));
   agent->setHandler(kDownloadCode, nullptr);
   expectReusable();
}

// ---------------------------------------------------------------- bad frames

TEST_F(AgentFaultTest, FrameOverTheLimitIsSkippedAndTheReplyBehindItArrives) {
   startAgent();
   connect();
   agent->setHandler(CMD_NOP, FakeOversizeFrame(300000, FakeReply(0)));
   EXPECT_EQ(ERR_SUCCESS, session->nop());
   EXPECT_TRUE(session->hasLineStartingWith(L"Received too large message CMD_NOP (300000 bytes)"));
   agent->setHandler(CMD_NOP, nullptr);
   EXPECT_EQ(ERR_SUCCESS, session->nop());
}

TEST_F(AgentFaultTest, FrameOverTheLimitOnAnEncryptedSessionEndsItWhichThenReconnects) {
   startAgent();
   connect(ENCRYPTION_REQUIRED);
   agent->setHandler(CMD_NOP, FakeOversizeFrame(1u << 20, FakeReply(0)));
   // Skipped unread, it was never authenticated: the reply behind it is not
   // taken either.
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->nop());
   EXPECT_TRUE(session->hasLineStartingWith(L"Received too large message"));
   agent->setHandler(CMD_NOP, nullptr);
   expectReusable();
}

TEST_F(AgentFaultTest, ReplyLongerThanItsVariablesIsABadResponseNotSuccess) {
   startAgent();
   connect();
   agent->setHandler(CMD_NOP, FakeWrongSizeReply(ERR_SUCCESS));
   EXPECT_EQ(ERR_BAD_RESPONSE, session->nop());
   agent->setHandler(CMD_NOP, nullptr);
   EXPECT_EQ(ERR_SUCCESS, session->nop());
}

TEST_F(AgentFaultTest, FrameClaimingMoreThanComesHoldsNoCallerAndDisconnectEndsIt) {
   startAgent();
   connect();
   // A header promising 200000 bytes, 100 of them, then nothing.
   agent->setHandler(CMD_NOP, [](FakeAgentConnection &c, const CSCPMessage &request) {
      std::vector<uint8_t> frame(HKCP_HEADER_SIZE + 100, 0);
      CSCP_MESSAGE *header = reinterpret_cast<CSCP_MESSAGE *>(frame.data());
      header->wCode = htons(CMD_REQUEST_COMPLETED);
      header->dwSize = htonl(200000);
      header->dwId = htonl(request.GetId());
      c.sendRaw(frame.data(), frame.size());
   });
   uint64_t start = NowMs();
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->nop());
   EXPECT_LT(NowMs() - start, kCommandTimeout + kSlackMs);
   // The receiver waits inside the frame; disconnect must still end it.
   start = NowMs();
   session->disconnect();
   ASSERT_TRUE(session->waitForReceiverEnd(5000));
   EXPECT_LT(NowMs() - start, 5000u);
   agent->setHandler(CMD_NOP, nullptr);
   expectReusable();
}

TEST_F(AgentFaultTest, HeaderSmallerThanAHeaderEndsTheSessionWhichThenReconnects) {
   startAgent();
   connect();
   agent->setHandler(CMD_NOP, FakeUnframeableHeader());
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->nop());
   agent->setHandler(CMD_NOP, nullptr);
   expectReusable();
}

TEST_F(AgentFaultTest, UndecryptableFrameEndsTheSessionWhichThenReconnects) {
   startAgent();
   connect(ENCRYPTION_REQUIRED);
   agent->setHandler(CMD_NOP, FakeUndecryptableFrame(FakeReply(0)));
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->nop());
   EXPECT_TRUE(session->hasLineStartingWith(L"Unable to decrypt received message"));
   agent->setHandler(CMD_NOP, nullptr);
   expectReusable();
}

TEST_F(AgentFaultTest, PlainReplyOnAnEncryptedSessionIsNotTaken) {
   startAgent();
   connect(ENCRYPTION_REQUIRED);
   // A forged plain reply first, then the real one.
   agent->setHandler(CMD_NOP, [](FakeAgentConnection &c, const CSCPMessage &request) {
      CSCPMessage forged(request.GetVersion());
      forged.SetCode(CMD_REQUEST_COMPLETED);
      forged.SetId(request.GetId());
      forged.SetVariable(VID_RCC, (uint32_t)ERR_ACCESS_DENIED);
      CSCP_MESSAGE *frame = forged.CreateMessage();
      c.sendRaw(frame, ntohl(frame->dwSize));
      free(frame);
      c.reply(request, ERR_SUCCESS);
   });
   // Neither the forged reply nor the one behind it: the session ends.
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->nop());
   EXPECT_TRUE(session->hasLineStartingWith(L"Unable to decrypt received message"));
   agent->setHandler(CMD_NOP, nullptr);
   expectReusable();
}

// ---------------------------------------------------------------- strays and floods

TEST_F(AgentFaultTest, RepliesNobodyAskedForCrossNoRequest) {
   startAgent();
   connect();
   // Every real reply is preceded by a stray one for an id nobody uses,
   // carrying another result.
   std::atomic<uint32_t> strayId{0x80000000u};
   agent->setHandler(CMD_NOP, [&strayId](FakeAgentConnection &c, const CSCPMessage &request) {
      CSCPMessage stray(request.GetVersion());
      stray.SetCode(CMD_REQUEST_COMPLETED);
      stray.SetId(strayId.fetch_add(1));
      stray.SetVariable(VID_RCC, (uint32_t)ERR_ACCESS_DENIED);
      c.send(stray);
      c.reply(request, ERR_SUCCESS);
   });
   std::vector<Outcome> outcomes = concurrently(4, [&] {
      for (int i = 0; i < 100; i++) {
         uint32_t rc = session->nop();
         if (rc != ERR_SUCCESS)
            return rc;
      }
      return ERR_SUCCESS;
   });
   for (const Outcome &o : outcomes)
      EXPECT_EQ(ERR_SUCCESS, o.result);
   // The strays stay queued until they expire or the session goes; the
   // leak check at exit sees them freed.
   EXPECT_EQ(0x80000000u + 400, strayId.load());
}

TEST_F(AgentFaultTest, TrapFloodWhileRequestsWaitLosesNeitherRepliesNorTraps) {
   startAgent();
   connect();
   const int kTraps = 20000;
   std::thread flood([&] {
      CSCPMessage trap;
      trap.SetCode(CMD_TRAP);
      for (int i = 0; i < kTraps; i++) {
         trap.SetId((uint32_t)i);
         if (!agent->push(trap))
            break;
      }
   });
   std::vector<Outcome> outcomes = concurrently(4, [&] {
      for (int i = 0; i < 250; i++) {
         uint32_t rc = session->nop();
         if (rc != ERR_SUCCESS)
            return rc;
      }
      return ERR_SUCCESS;
   });
   flood.join();
   for (const Outcome &o : outcomes)
      EXPECT_EQ(ERR_SUCCESS, o.result);
   uint64_t deadline = NowMs() + 60000;
   while (session->traps() < (uint64_t)kTraps && NowMs() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
   EXPECT_EQ((uint64_t)kTraps, session->traps());
}

}  // namespace
