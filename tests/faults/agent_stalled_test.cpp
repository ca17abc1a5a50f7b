// Transfers against agents that stall: one that accepts an upload and never
// reads again, and one that stops sending in the middle of a download. Each
// fails with its documented code within the session's bounds (the send
// time-out for a write that makes no progress, the receive time-out for
// silence), the partial
// download is removed or kept as the session is told, and nothing is left
// behind.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "fake_agent.h"
#include "fake_agent_files.h"
#include "fault_support.h"

using namespace hkfault;

namespace {

const uint32_t kBoundMs = 10000;  // the smallest receive time-out; the send bound too
const uint16_t kDownloadCode = 0x4321;

struct StallCase {
   const char *name;
   int policy;
   bool deleteOnFailure;
};

class AgentStalledTest : public testing::TestWithParam<StallCase> {
protected:
   static void SetUpTestSuite() {
      ServerKey();
      // A sanitizer starts its own thread at the first thread created: that
      // happens here, before any baseline is taken.
      std::thread([] {}).join();
   }

   void SetUp() override {
      ASSERT_TRUE(dir.valid());
      baseline = CountResources();
      agent = std::make_unique<FakeAgent>();
      ASSERT_TRUE(agent->listening());
      session = std::make_unique<RecordingSession>(FakeAgent::addressNetworkOrder(), agent->port());
      session->setRecvTimeout(kBoundMs);
      session->setSendTimeout(kBoundMs);
      session->setEncryptionPolicy(GetParam().policy);
      session->setDeleteFileOnDownloadFailure(GetParam().deleteOnFailure);
      uint32_t error = 0;
      ASSERT_EQ(1, session->connect(ServerKey(), 0, &error)) << error;
   }

   void TearDown() override {
      gate->open();
      session.reset();
      agent.reset();
      ResourceCounts now = WaitForResourcesAtMost(baseline, 10000);
      EXPECT_LE(now.threads, baseline.threads) << "threads left behind";
      EXPECT_LE(now.descriptors, baseline.descriptors) << "descriptors left behind";
   }

   FakeTempDir dir;
   ResourceCounts baseline;
   std::shared_ptr<FakeGate> gate = std::make_shared<FakeGate>();
   std::unique_ptr<FakeAgent> agent;
   std::unique_ptr<RecordingSession> session;
};

TEST_P(AgentStalledTest, UploadToAnAgentThatStopsReadingFails) {
   std::string file = dir.file("big.bin");
   ASSERT_TRUE(FakeWriteFile(file, 64u << 20, 5));
   // Accepts, then holds its connection's only reader until the test ends.
   std::shared_ptr<FakeGate> held = gate;
   agent->setHandler(CMD_UPLOAD_FILE, [held](FakeAgentConnection &c, const CSCPMessage &request) {
      c.reply(request, 0);
      held->wait(120000);
   });
   EXPECT_EQ(ERR_IO_FAILURE, session->uploadFile(FakeWide(file).c_str(), L"big.bin"));
   // The failed write ended the connection.
   EXPECT_TRUE(session->waitForReceiverEnd(kBoundMs * 3));
   EXPECT_EQ(0, session->isConnected());
   EXPECT_EQ(ERR_NOT_CONNECTED, session->uploadFile(FakeWide(file).c_str(), L"big.bin"));
}

TEST_P(AgentStalledTest, DownloadFromAnAgentThatStopsSendingFails) {
   std::string source = dir.file("source.bin");
   const uint64_t kSize = 5 * FILE_BUFFER_SIZE + 100;
   ASSERT_TRUE(FakeWriteFile(source, kSize, 6));
   FakeDownloadOptions options;
   options.holdBeforeEnd = gate;  // all but the end-of-file frame, then silence
   agent->setHandler(kDownloadCode, FakeDownload(source, options));

   std::string target = dir.file("target.bin");
   CSCPMessage request;
   request.SetCode(kDownloadCode);
   std::unique_ptr<CSCPMessage> reply(
       session->customRequest(&request, FakeWide(target).c_str(), false));
   ASSERT_NE(nullptr, reply);
   EXPECT_EQ(ERR_IO_FAILURE, reply->GetVariableLong(VID_RCC));
   EXPECT_TRUE(session->hasLineStartingWith(L"Timed out waiting for message"));
   if (GetParam().deleteOnFailure) {
      EXPECT_EQ(-1, FakeFileSize(target)) << "a failed download's target is removed";
   } else {
      // Kept with what arrived: every frame but the last.
      EXPECT_EQ((int64_t)(5 * FILE_BUFFER_SIZE), FakeFileSize(target));
   }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AgentStalledTest,
    testing::Values(StallCase{"PlainRemovesPartial", ENCRYPTION_DISABLED, true},
                    StallCase{"EncryptedRemovesPartial", ENCRYPTION_REQUIRED, true},
                    StallCase{"PlainKeepsPartial", ENCRYPTION_DISABLED, false}),
    [](const testing::TestParamInfo<StallCase> &info) { return std::string(info.param.name); });

}  // namespace
