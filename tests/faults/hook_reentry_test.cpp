// Hooks that re-enter the session: onFileDownload calling disconnect or
// taking the state lock, on the data path (the last frame, no lock held) and
// from disconnect (state lock held, re-entrant for its owner); one arming
// the next download from another thread; a trap hook taking the state lock.
// None may deadlock: each case ends within a bounded wait.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>

#include "fake_agent.h"
#include "fake_agent_files.h"
#include "fault_support.h"

using namespace hkfault;

namespace {

const uint16_t kDownloadCode = 0x4321;
const uint32_t kWaitMs = 30000;

enum class Reentry { Disconnect, LockUnlock, ArmFromAnotherThread };

// A session whose onFileDownload re-enters it as the case says, then (or
// first, for a disconnect) ends the download as the default does.
class ReentrantSession : public AgentConnection {
public:
   ReentrantSession(uint16_t port, Reentry reentry)
       : AgentConnection(FakeAgent::addressNetworkOrder(), port), m_reentry(reentry) {}

   uint32_t nestedResult() const { return m_nestedResult.load(); }
   int trapLocks() const { return m_trapLocks.load(); }

protected:
   void PrintMsg(const wchar_t *, ...) override {}

   void onTrap(CSCPMessage *) override {
      Lock();
      Lock();  // re-entrant for its owner
      m_trapLocks++;
      Unlock();
      Unlock();
   }

   void onFileDownload(int success) override {
      switch (m_reentry) {
         case Reentry::Disconnect:
            disconnect();
            AgentConnection::onFileDownload(success);
            return;
         case Reentry::LockUnlock:
            Lock();
            AgentConnection::onFileDownload(success);
            Unlock();
            return;
         case Reentry::ArmFromAnotherThread: {
            // The first caller has not taken its end yet: refused at once.
            std::thread other([this] {
               CSCPMessage request;
               request.SetCode(kDownloadCode);
               FakeTempDir scratch;
               std::unique_ptr<CSCPMessage> reply(
                   customRequest(&request, FakeWide(scratch.file("nested.bin")).c_str()));
               m_nestedResult = reply ? reply->GetVariableLong(VID_RCC) : 0xFFFFFFFFu;
            });
            other.join();
            AgentConnection::onFileDownload(success);
            return;
         }
      }
   }

private:
   const Reentry m_reentry;
   std::atomic<uint32_t> m_nestedResult{0};
   std::atomic<int> m_trapLocks{0};
};

struct ReentryCase {
   const char *name;
   Reentry reentry;
   bool endByDisconnect;  // else the last frame ends the download
};

class HookReentryTest : public testing::TestWithParam<ReentryCase> {
protected:
   void SetUp() override {
      ASSERT_TRUE(dir.valid());
      ASSERT_TRUE(agent.listening());
      ASSERT_TRUE(FakeWriteFile(source, 3 * FILE_BUFFER_SIZE + 5, 9));
   }

   FakeTempDir dir;
   FakeAgent agent;
   std::string source = dir.file("source.bin");
   std::string target = dir.file("target.bin");
};

TEST_P(HookReentryTest, OnFileDownloadReentersWithoutDeadlock) {
   const ReentryCase &c = GetParam();
   auto gate = std::make_shared<FakeGate>();
   FakeDownloadOptions options;
   if (c.endByDisconnect)
      options.holdBeforeEnd = gate;
   agent.setHandler(kDownloadCode, FakeDownload(source, options));
   auto session = std::make_unique<ReentrantSession>(agent.port(), c.reentry);
   ASSERT_EQ(1, session->connect());

   auto download = std::async(std::launch::async, [&] {
      CSCPMessage request;
      request.SetCode(kDownloadCode);
      std::unique_ptr<CSCPMessage> reply(
          session->customRequest(&request, FakeWide(target).c_str()));
      return reply ? reply->GetVariableLong(VID_RCC) : 0xFFFFFFFFu;
   });
   if (c.endByDisconnect) {
      // Every frame but the last has been written: the download is armed
      // and running when disconnect ends it on this thread.
      uint64_t deadline = NowMs() + kWaitMs;
      while (FakeFileSize(target) < (int64_t)(3 * FILE_BUFFER_SIZE) && NowMs() < deadline)
         std::this_thread::yield();
      session->disconnect();
   }
   ASSERT_EQ(std::future_status::ready, download.wait_for(std::chrono::milliseconds(kWaitMs)))
       << "deadlock";
   uint32_t rcc = download.get();
   gate->open();
   if (c.endByDisconnect) {
      EXPECT_EQ(ERR_IO_FAILURE, rcc);
      EXPECT_EQ(-1, FakeFileSize(target));
   } else {
      EXPECT_EQ(ERR_SUCCESS, rcc);
      EXPECT_EQ((int64_t)(3 * FILE_BUFFER_SIZE + 5), FakeFileSize(target));
   }
   if (c.reentry == Reentry::ArmFromAnotherThread) {
      EXPECT_EQ(ERR_RESOURCE_BUSY, session->nestedResult());
   }
   if (c.reentry == Reentry::Disconnect) {
      EXPECT_EQ(0, session->isConnected());
   }
   session.reset();  // the destructor must not hang either
}

INSTANTIATE_TEST_SUITE_P(
    Hooks, HookReentryTest,
    testing::Values(ReentryCase{"LastFrameThenDisconnect", Reentry::Disconnect, false},
                    ReentryCase{"LastFrameTakesTheLock", Reentry::LockUnlock, false},
                    ReentryCase{"LastFrameArmsFromAnotherThread", Reentry::ArmFromAnotherThread,
                                false},
                    ReentryCase{"DisconnectThenDisconnectAgain", Reentry::Disconnect, true},
                    ReentryCase{"DisconnectTakesTheLockAgain", Reentry::LockUnlock, true}),
    [](const testing::TestParamInfo<ReentryCase> &info) { return std::string(info.param.name); });

TEST(HookReentry, TrapHookTakesTheStateLockWhileRequestsRun) {
   FakeAgent agent;
   ASSERT_TRUE(agent.listening());
   ReentrantSession session(agent.port(), Reentry::LockUnlock);
   ASSERT_EQ(1, session.connect());
   CSCPMessage trap;
   trap.SetCode(CMD_TRAP);
   for (int i = 0; i < 20; i++) {
      ASSERT_TRUE(agent.push(trap));
      EXPECT_EQ(ERR_SUCCESS, session.nop());
   }
   uint64_t deadline = NowMs() + kWaitMs;
   while (session.trapLocks() < 20 && NowMs() < deadline)
      std::this_thread::yield();
   EXPECT_EQ(20, session.trapLocks());
}

}  // namespace
