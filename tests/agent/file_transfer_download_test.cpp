// customRequest with a receive file: the file intact in every size, plain
// and encrypted, with rising progress; and every way a download ends.
#include <thread>

#include "download_fixture.h"

namespace {

TEST_F(DownloadTest, EmptyFile) {
   roundTrip(0, nullptr);
}
TEST_F(DownloadTest, OneByte) {
   roundTrip(1, nullptr);
}
TEST_F(DownloadTest, OneMebibyte) {
   roundTrip(1 << 20, nullptr);
}
TEST_F(DownloadTest, OneMebibyteEncrypted) {
   roundTrip(1 << 20, TestServerKey());
}
TEST_F(DownloadTest, PartialLastFrame) {
   roundTrip(3 * FILE_BUFFER_SIZE + 17, nullptr);
}

TEST_F(DownloadTest, DataBeforeTheReplyEndsAtOnce) {
   FakeDownloadOptions options;
   options.dataBeforeReply = true;
   roundTrip(100000, nullptr, options);
}

TEST_F(DownloadTest, FramesOfAnotherRequestAreDropped) {
   FakeDownloadOptions options;
   options.strayFrameFirst = true;
   roundTrip(5000, nullptr, options);
}

TEST(DownloadLargeTest, HundredMebibytes) {
   FakeAgentOptions agentOptions;
   agentOptions.record = false;
   FakeAgent agent(agentOptions);
   FakeTempDir dir;
   std::string source = dir.file("large.bin");
   const uint64_t size = 100ull << 20;
   ASSERT_TRUE(FakeWriteFile(source, size, 200));
   agent.setHandler(kDownloadCode, FakeDownload(source));
   TestSession session(FakeAgent::addressNetworkOrder(), agent.port());
   ASSERT_EQ(1, session.connect());
   std::string target = dir.file("large.out");
   ProgressLog progress;
   CSCPMessage request;
   request.SetCode(kDownloadCode);
   CSCPMessage *reply = session.customRequest(&request, FakeWide(target).c_str(), false,
                                              ProgressLog::download, &progress);
   ASSERT_NE(nullptr, reply);
   EXPECT_EQ(0u, reply->GetVariableLong(VID_RCC));
   delete reply;
   EXPECT_EQ(FakeFileDigest(source), FakeFileDigest(target));
   progress.expectRisingTo(size);
}

TEST_F(DownloadTest, RequestGoesOutAsTheCallerBuiltItWithTheSessionsId) {
   agent.setHandler(kDownloadCode, FakeReply(0, [](const CSCPMessage &, CSCPMessage &reply) {
                       reply.SetVariable(VID_VALUE, L"answer");
                    }));
   connect();
   CSCPMessage request;
   request.SetCode(kDownloadCode);
   request.SetId(999);
   request.SetVariable(VID_PARAMETER, L"p");
   CSCPMessage *reply = session->customRequest(&request);
   ASSERT_NE(nullptr, reply);
   EXPECT_EQ(L"answer", Str(*reply, VID_VALUE));
   delete reply;
   auto sent = agent.recordsWithCode(kDownloadCode);
   ASSERT_EQ(1u, sent.size());
   EXPECT_NE(999u, sent[0].id);
   EXPECT_EQ(request.GetId(), sent[0].id);
   EXPECT_EQ(L"p", Str(*sent[0].message, VID_PARAMETER));
}

TEST_F(DownloadTest, WithoutReceiveFileOnAGoneConnectionGivesNull) {
   connect();
   agent.connection()->shutdown();
   ASSERT_TRUE(session->waitForReceiverEnd(10000));
   CSCPMessage request;
   request.SetCode(kDownloadCode);
   EXPECT_EQ(nullptr, session->customRequest(&request));
}

// ---------------------------------------------------------------- failures

TEST_F(DownloadTest, AgentErrorAbandonsAndRemovesTheTarget) {
   agent.setHandler(kDownloadCode, FakeReply(ERR_ACCESS_DENIED));
   connect();
   std::string target = dir.file("denied.bin");
   EXPECT_EQ(ERR_ACCESS_DENIED, download(target));
   EXPECT_EQ(-1, FakeFileSize(target));
   // Nothing stays armed: the next download is not refused as busy.
   EXPECT_EQ(ERR_ACCESS_DENIED, download(target));
}

TEST_F(DownloadTest, AgentErrorKeepsAnAppendTarget) {
   agent.setHandler(kDownloadCode, FakeReply(ERR_ACCESS_DENIED));
   connect();
   std::string target = dir.file("log.txt");
   ASSERT_TRUE(FakeWriteFile(target, "existing lines\n"));
   EXPECT_EQ(ERR_ACCESS_DENIED, download(target, true));
   EXPECT_EQ(15, FakeFileSize(target));
}

TEST_F(DownloadTest, AppendAddsToTheEnd) {
   std::string source = dir.file("tail.bin");
   ASSERT_TRUE(FakeWriteFile(source, "new tail"));
   agent.setHandler(kDownloadCode, FakeDownload(source));
   connect();
   std::string target = dir.file("log.txt");
   ASSERT_TRUE(FakeWriteFile(target, "head;"));
   ProgressLog progress;
   ASSERT_EQ(0, download(target, true, &progress));
   EXPECT_EQ(FakeDigest("head;new tail", 13), FakeFileDigest(target));
   // One frame, the last: it ends the download without a progress call.
   EXPECT_TRUE(progress.values().empty());
}

TEST_F(DownloadTest, AppendToAMissingFileIsRefusedWithoutSending) {
   connect();
   DebugCapture debug;
   std::string target = dir.file("missing.txt");
   uint32_t requestId = 0;
   EXPECT_EQ(ERR_FILE_OPEN_ERROR, download(target, true, nullptr, &requestId));
   EXPECT_EQ(-1, FakeFileSize(target));
   EXPECT_TRUE(agent.recordsWithCode(kDownloadCode).empty());
   std::wstring line = L"AgentConnection::PrepareFileDownload(): cannot open file " +
                       FakeWide(target) + L" (No such file or directory); append=1 rqId=" +
                       std::to_wstring(requestId);
   EXPECT_TRUE(debug.contains(line)) << (debug.lines().empty() ? "" : "other lines were logged");
}

TEST_F(DownloadTest, SecondDownloadWhileOneIsActiveIsBusy) {
   std::string source = dir.file("source.bin");
   ASSERT_TRUE(FakeWriteFile(source, 300000, 5));
   FakeDownloadOptions options;
   options.holdBeforeEnd = std::make_shared<FakeGate>();
   agent.setHandler(kDownloadCode, FakeDownload(source, options));
   connect();

   std::string first = dir.file("first.bin");
   int64_t firstResult = -2;
   std::thread waiter([&] { firstResult = download(first); });
   // Once the first frame arrived the download is armed and running.
   ASSERT_TRUE(WaitUntil([&] { return FakeFileSize(first) > 0; }, 10000));

   std::string second = dir.file("second.bin");
   uint32_t secondId = 0;
   EXPECT_EQ(ERR_RESOURCE_BUSY, download(second, false, nullptr, &secondId));
   EXPECT_NE(0u, secondId);
   EXPECT_EQ(-1, FakeFileSize(second));
   EXPECT_EQ(1u, agent.recordsWithCode(kDownloadCode).size());  // nothing sent

   options.holdBeforeEnd->open();
   waiter.join();
   EXPECT_EQ(0, firstResult);
   EXPECT_EQ(FakeFileDigest(source), FakeFileDigest(first));
}

// The first download has ended but its caller still waits for the reply:
// a second one must not be armed, or it would reset the event the first
// caller is about to wait on and hand it the second's result.
TEST_F(DownloadTest, NoSecondDownloadUntilTheFirstCallerHasTakenItsEnd) {
   std::string source = dir.file("source.bin");
   ASSERT_TRUE(FakeWriteFile(source, 100000, 9));
   FakeDownloadOptions options;
   options.dataBeforeReply = true;
   options.holdBeforeReply = std::make_shared<FakeGate>();
   agent.setHandler(kDownloadCode, FakeDownload(source, options));
   connect();

   std::string first = dir.file("first.bin");
   int64_t firstResult = -2;
   std::thread waiter([&] { firstResult = download(first); });
   ASSERT_TRUE(WaitUntil([&] { return session->downloadsEnded() == 1; }, 10000));

   EXPECT_EQ(ERR_RESOURCE_BUSY, download(dir.file("second.bin")));
   EXPECT_EQ(1u, agent.recordsWithCode(kDownloadCode).size());  // nothing sent

   options.holdBeforeReply->open();
   waiter.join();
   EXPECT_EQ(0, firstResult);
   EXPECT_EQ(FakeFileDigest(source), FakeFileDigest(first));

   // Once the first caller has its result, downloads are armed again.
   std::string third = dir.file("third.bin");
   EXPECT_EQ(0, download(third));
   EXPECT_EQ(FakeFileDigest(source), FakeFileDigest(third));
}

TEST_F(DownloadTest, AgentClosingMidDownloadEndsIt) {
   std::string source = dir.file("source.bin");
   ASSERT_TRUE(FakeWriteFile(source, 1 << 20, 6));
   FakeDownloadOptions options;
   options.closeAfter = 100000;
   agent.setHandler(kDownloadCode, FakeDownload(source, options));
   connect();
   std::string target = dir.file("cut.bin");
   EXPECT_EQ(ERR_IO_FAILURE, download(target));
   EXPECT_EQ(-1, FakeFileSize(target));
   EXPECT_TRUE(session->waitForReceiverEnd(10000));
}

TEST_F(DownloadTest, DisconnectEndsAnActiveDownload) {
   std::string source = dir.file("source.bin");
   ASSERT_TRUE(FakeWriteFile(source, 300000, 7));
   FakeDownloadOptions options;
   options.holdBeforeEnd = std::make_shared<FakeGate>();
   agent.setHandler(kDownloadCode, FakeDownload(source, options));
   connect();
   std::string target = dir.file("target.bin");
   int64_t result = -2;
   std::thread waiter([&] { result = download(target); });
   ASSERT_TRUE(WaitUntil([&] { return FakeFileSize(target) > 0; }, 10000));
   session->disconnect();
   waiter.join();
   options.holdBeforeEnd->open();
   EXPECT_EQ(ERR_IO_FAILURE, result);
   EXPECT_EQ(-1, FakeFileSize(target));
}

}  // namespace
