// The agent session and hkquery against the real hkagent, frozen with
// SIGSTOP in the middle of an operation: an upload, a download, a request
// and a connect each fail with their documented code; threads blocked in
// requests and an upload are all released by disconnect; the thawed agent
// serves a new session; and no thread or descriptor is left behind.
//
// "Within the bound" is checked as "returns, with the documented code":
// every wait here is bounded far above the session's bound, and measured
// durations belong to the benchmarks.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "e2e_files.h"
#include "e2e_process.h"
#include "fault_support.h"
#include "agent_codes.h"

using namespace hkfault;

namespace {

const uint32_t kBoundMs = 10000;  // the smallest receive time-out; the send bound too
// Far above the socket buffers of a loopback connection, so an upload to a
// frozen agent must block. Sparse: it costs no disk and reads fast.
const off_t kBigFileSize = 256ll << 20;

// Stops the agent process when asked and always lets it go on again.
class FreezeGuard {
public:
   explicit FreezeGuard(pid_t pid) : m_pid(pid) {}
   ~FreezeGuard() { thaw(); }
   FreezeGuard(const FreezeGuard &) = delete;
   FreezeGuard &operator=(const FreezeGuard &) = delete;

   // Safe from any thread, and more than once. Returns once the process
   // has stopped: the signal alone does not stop it at once.
   void freeze() {
      if (m_pid <= 0 || m_frozen.exchange(true))
         return;
      kill(m_pid, SIGSTOP);
      uint64_t deadline = NowMs() + 10000;
      while (!stopped() && NowMs() < deadline)
         std::this_thread::yield();
   }
   void thaw() {
      if (m_pid > 0 && m_frozen.exchange(false))
         kill(m_pid, SIGCONT);
   }

private:
   // The state letter of /proc/PID/stat, after the command's closing ')'.
   bool stopped() const {
      std::string stat = e2e::ReadFile("/proc/" + std::to_string(m_pid) + "/stat");
      size_t end = stat.rfind(')');
      return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'T';
   }

   const pid_t m_pid;
   std::atomic<bool> m_frozen{false};
};

bool MakeSparseFile(const std::string &path, off_t size) {
   int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
   if (fd < 0)
      return false;
   bool ok = ftruncate(fd, size) == 0;
   close(fd);
   return ok;
}

std::wstring Wide(const std::string &text) {
   return std::wstring(text.begin(), text.end());
}

enum class Channel { Plain, Encrypted };

class AgentFrozenTest : public testing::TestWithParam<Channel> {
protected:
   static void SetUpTestSuite() { ServerKey(); }

   void SetUp() override {
      std::string error;
      ASSERT_TRUE(agent.start(e2e::AgentSetup(), &error)) << error;
      freezer = std::make_unique<FreezeGuard>(agent.pid());
      ASSERT_TRUE(MakeSparseFile(agent.storeDir() + "/big.bin", kBigFileSize));
      ASSERT_TRUE(MakeSparseFile(dir / "big.bin", kBigFileSize));
      baseline = CountResources();
   }

   void TearDown() override {
      freezer->thaw();
      // The agent, thawed, serves a new session.
      if (agent.alive()) {
         auto fresh = connected();
         ASSERT_NE(nullptr, fresh);
         EXPECT_EQ(ERR_SUCCESS, fresh->nop());
      }
      session.reset();
      ResourceCounts now = WaitForResourcesAtMost(baseline, 15000);
      EXPECT_LE(now.threads, baseline.threads) << "threads left behind";
      EXPECT_LE(now.descriptors, baseline.descriptors) << "descriptors left behind";
      agent.stop();
   }

   std::unique_ptr<RecordingSession> connected() {
      auto s = std::make_unique<RecordingSession>(htonl(INADDR_LOOPBACK), agent.port());
      s->setCommandTimeout(5000);
      s->setRecvTimeout(kBoundMs);
      s->setSendTimeout(kBoundMs);
      s->setEncryptionPolicy(GetParam() == Channel::Encrypted ? ENCRYPTION_REQUIRED
                                                              : ENCRYPTION_DISABLED);
      uint32_t error = 0;
      if (s->connect(ServerKey(), 0, &error) != 1) {
         ADD_FAILURE() << "connect failed: " << error;
         return nullptr;
      }
      return s;
   }

   static void FreezeOnProgress(int64_t, void *argument) {
      static_cast<FreezeGuard *>(argument)->freeze();
   }
   static void FreezeOnDownload(uint64_t, void *argument) {
      static_cast<FreezeGuard *>(argument)->freeze();
   }

   e2e::AgentProcess agent;
   e2e::TempDir dir{"hkfrozen"};
   std::unique_ptr<FreezeGuard> freezer;
   std::unique_ptr<RecordingSession> session;
   ResourceCounts baseline;
};

TEST_P(AgentFrozenTest, UploadToAFrozenAgentFailsAndEndsTheConnection) {
   session = connected();
   ASSERT_NE(nullptr, session);
   std::wstring local = Wide(dir / "big.bin");
   // Frozen once the first frame went out: the rest fills the socket and
   // then makes no progress.
   EXPECT_EQ(ERR_IO_FAILURE,
             session->uploadFile(local.c_str(), L"frozen.bin", FreezeOnProgress, freezer.get()));
   EXPECT_TRUE(session->waitForReceiverEnd(kBoundMs * 3));
   EXPECT_EQ(0, session->isConnected());
}

TEST_P(AgentFrozenTest, DownloadFromAFrozenAgentFailsAndRemovesThePartialFile) {
   session = connected();
   ASSERT_NE(nullptr, session);
   CSCPMessage request(session->getProtocolVersion());
   request.SetCode(hkagent::CMD_GET_AGENT_FILE);
   request.SetVariable(VID_FILE_NAME, L"big.bin");
   std::string target = dir / "partial.bin";
   std::unique_ptr<CSCPMessage> reply(session->customRequest(&request, Wide(target).c_str(), false,
                                                             FreezeOnDownload, freezer.get()));
   ASSERT_NE(nullptr, reply);
   EXPECT_EQ(ERR_IO_FAILURE, reply->GetVariableLong(VID_RCC));
   EXPECT_FALSE(e2e::Exists(target)) << "a failed download's target is removed";
   EXPECT_EQ(0, session->isConnected());
}

TEST_P(AgentFrozenTest, RequestAndConnectToAFrozenAgentFail) {
   session = connected();
   ASSERT_NE(nullptr, session);
   freezer->freeze();
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->nop());

   // The kernel accepts for the frozen agent; the version probe goes
   // unanswered.
   RecordingSession late(htonl(INADDR_LOOPBACK), agent.port());
   uint32_t error = 0, socketError = 0;
   EXPECT_EQ(0, late.connect(ServerKey(), 0, &error, &socketError));
   EXPECT_EQ(ERR_INTERNAL_ERROR, error);
   EXPECT_EQ((uint32_t)WSAETIMEDOUT, socketError) << "the handshake timed out";
   EXPECT_EQ(INVALID_SOCKET, late.getSocket());
}

TEST_P(AgentFrozenTest, DisconnectReleasesSixteenWaitingRequestsAndAnUpload) {
   session = connected();
   ASSERT_NE(nullptr, session);
   session->setCommandTimeout(600000);  // only disconnect can release them
   freezer->freeze();

   const int kRequests = 16;
   std::atomic<int> started{0};
   std::vector<uint32_t> results(kRequests + 1, 0);
   std::vector<std::thread> threads;
   for (int i = 0; i < kRequests; i++) {
      threads.emplace_back([&, i] {
         started++;
         results[i] = session->nop();
      });
   }
   std::wstring local = Wide(dir / "big.bin");
   // The upload's first request waits for the frozen agent's acceptance;
   // a second session's upload is what blocks in writes. Here it is the
   // wait that disconnect must end.
   threads.emplace_back([&] {
      started++;
      results[kRequests] = session->uploadFile(local.c_str(), L"never.bin");
   });
   uint64_t deadline = NowMs() + 10000;
   while (started.load() < kRequests + 1 && NowMs() < deadline)
      std::this_thread::yield();
   // Every thread is in its wait or about to be; a request that reaches
   // its send after the shutdown fails there instead.
   session->disconnect();
   for (std::thread &t : threads)
      t.join();
   for (int i = 0; i < kRequests; i++)
      EXPECT_TRUE(results[i] == ERR_REQUEST_TIMEOUT || results[i] == ERR_CONNECTION_BROKEN)
          << "request " << i << ": " << results[i];
   // Still waiting for the acceptance, or already sending the file.
   EXPECT_TRUE(results[kRequests] == ERR_REQUEST_TIMEOUT ||
               results[kRequests] == ERR_CONNECTION_BROKEN || results[kRequests] == ERR_IO_FAILURE)
       << results[kRequests];
}

INSTANTIATE_TEST_SUITE_P(Channels, AgentFrozenTest,
                         testing::Values(Channel::Plain, Channel::Encrypted),
                         [](const testing::TestParamInfo<Channel> &info) {
                            return info.param == Channel::Plain ? "Plain" : "Encrypted";
                         });

// ---------------------------------------------------------------- hkquery

// hkquery -w 5000 ends an upload, a download or a query to a frozen agent
// with exit status 1 and says why.
enum class FreezeWhen { Before, StoreEntry, LocalEntry };
struct ToolCase {
   const char *name;
   std::vector<std::string> arguments;  // HOST, LOCAL and OUT are placeholders
   FreezeWhen when;                     // before the tool runs, or once a file appears
   const char *says;                    // in standard error
};

// Waits (bounded) until the folder holds more than `count` entries.
bool WaitForEntries(const std::string &path, size_t count, uint32_t timeoutMs) {
   uint64_t deadline = NowMs() + timeoutMs;
   while (e2e::ListDir(path).size() <= count) {
      if (NowMs() >= deadline)
         return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // polls the file system
   }
   return true;
}

class HkQueryFrozenTest : public testing::TestWithParam<ToolCase> {};

TEST_P(HkQueryFrozenTest, EndsWithStatusOne) {
   const ToolCase &c = GetParam();
   e2e::AgentProcess agent;
   std::string error;
   ASSERT_TRUE(agent.start(e2e::AgentSetup(), &error)) << error;
   e2e::TempDir dir("hkfrozen-tool");
   ASSERT_TRUE(MakeSparseFile(dir / "big.bin", kBigFileSize));
   ASSERT_TRUE(MakeSparseFile(agent.storeDir() + "/big.bin", kBigFileSize));
   FreezeGuard freezer(agent.pid());

   // The legacy mode without encryption: the freeze, not the handshake, is
   // under test.
   std::vector<std::string> argv = {HK_E2E_HKQUERY, "--insecure-auth", "-e", "disabled", "-w",
                                    "5000"};
   for (const std::string &a : c.arguments) {
      argv.push_back(a == "HOST"    ? agent.hostPort()
                     : a == "LOCAL" ? dir / "big.bin"
                     : a == "OUT"   ? dir / "out.bin"
                                    : a);
   }

   if (c.when == FreezeWhen::Before)
      freezer.freeze();
   e2e::ToolResult result;
   std::thread tool([&] { result = e2e::RunTool(argv, {"HOME=" + dir.path()}, "", 120000); });
   // A moment after the transfer began: the agent made its temporary file,
   // or hkquery made the one it downloads into.
   if (c.when != FreezeWhen::Before) {
      std::string watched = c.when == FreezeWhen::StoreEntry ? agent.storeDir() : dir.path();
      EXPECT_TRUE(WaitForEntries(watched, 1, 20000));
   }
   freezer.freeze();
   tool.join();
   freezer.thaw();
   EXPECT_FALSE(result.timedOut) << "hkquery did not end";
   EXPECT_EQ(1, result.exitCode) << result.err;
   EXPECT_NE(std::string::npos, result.err.find(c.says)) << result.err;
   EXPECT_FALSE(e2e::Exists(dir / "out.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, HkQueryFrozenTest,
    testing::Values(
        ToolCase{"Upload", {"--upload", "LOCAL", "HOST"}, FreezeWhen::StoreEntry, "upload of"},
        ToolCase{"Download",
                 {"--download", "big.bin", "-o", "OUT", "HOST"},
                 FreezeWhen::LocalEntry,
                 "download of"},
        ToolCase{"Query", {"HOST", "Agent.Version"}, FreezeWhen::Before, "time-out"}),
    [](const testing::TestParamInfo<ToolCase> &info) { return std::string(info.param.name); });

}  // namespace
