// The session's reply queue and write bound against the scriptable agent: a
// flood of unsolicited replies stays within the queue's bound, an upload's
// early final reply reaches the caller, and the write bound is its own
// setting, not the receive time-out.
#include "file_transfer_fixture.h"

namespace {

const uint32_t kNeverAskedFor = 0x70000000;  // far above any id the session hands out

class ReplyQueueTest : public FileTransferTest {};

TEST_F(ReplyQueueTest, AFloodOfUnsolicitedRepliesStaysWithinTheBound) {
   const uint32_t kBound = 16;
   const uint32_t kFlood = 200;
   connect();
   session->setReplyQueueLimits(kBound, 1 << 20);
   for (uint32_t i = 0; i < kFlood; i++) {
      CSCPMessage stray;
      stray.SetCode(CMD_REQUEST_COMPLETED);
      stray.SetId(kNeverAskedFor + i);
      stray.SetVariable(VID_RCC, (uint32_t)0);
      ASSERT_TRUE(agent.push(stray));
   }
   // Nothing but the flood arrives, so the count settles at its final value.
   EXPECT_TRUE(
       WaitUntil([&] { return session->getDroppedReplyCount() >= kFlood - kBound; }, 10000));
   EXPECT_EQ(kFlood - kBound, session->getDroppedReplyCount());
   // The full queue still takes a request's reply, which pushes one more
   // out when it is filed before its waiter comes.
   ASSERT_EQ(ERR_SUCCESS, session->nop());
   uint64_t dropped = session->getDroppedReplyCount();
   EXPECT_LE(dropped, kFlood - kBound + 1);
   // The newest stay.
   for (uint32_t i = 0; i < kFlood; i++) {
      std::unique_ptr<CSCPMessage> m(
          session->waitForMessage(CMD_REQUEST_COMPLETED, kNeverAskedFor + i, 0));
      EXPECT_EQ(m != nullptr, i >= dropped) << "id " << i;
   }

   size_t reported = 0;
   for (const std::wstring &line : session->lines())
      reported += line.rfind(L"Reply queue full", 0) == 0 ? 1 : 0;
   EXPECT_EQ(1u, reported);
}

struct EarlyReplyCase {
   const char *name;
   bool agentStopsReading;  // for good, so the send fails at its bound
};

class EarlyFinalReplyTest : public FileTransferTest,
                            public testing::WithParamInterface<EarlyReplyCase> {};

TEST_P(EarlyFinalReplyTest, UploadReturnsTheAgentsAnswer) {
   auto gate = std::make_shared<FakeGate>();
   FakeUploadSink::Options options;
   options.finalRcc = ERR_FILE_OPEN_ERROR;
   options.answerFinalAtOnce = true;
   if (GetParam().agentStopsReading)
      options.holdAfterAccept = gate;
   FakeUploadSink sink(options);
   sink.install(agent);
   connect();
   session->setSendTimeout(1000);
   // A flood after the answer cannot push it out.
   session->setReplyQueueLimits(1, 1 << 20);
   std::string path = dir.file("big.bin");
   // Far above what the loopback socket buffers hold.
   ASSERT_TRUE(FakeWriteFile(path, 32u << 20, 3));
   EXPECT_EQ(ERR_FILE_OPEN_ERROR, session->uploadFile(FakeWide(path).c_str()));
   gate->open();
}

INSTANTIATE_TEST_SUITE_P(Cases, EarlyFinalReplyTest,
                         testing::Values(EarlyReplyCase{"AgentReadsTheFile", false},
                                         EarlyReplyCase{"AgentStopsReading", true}),
                         [](const testing::TestParamInfo<EarlyReplyCase> &info) {
                            return std::string(info.param.name);
                         });

TEST_F(ReplyQueueTest, SendBoundEndsAStalledUploadWhateverTheReceiveTimeOut) {
   auto gate = std::make_shared<FakeGate>();
   FakeUploadSink::Options options;
   options.holdAfterAccept = gate;
   FakeUploadSink sink(options);
   sink.install(agent);
   connect();
   session->setSendTimeout(0);  // the smallest: 1000
   EXPECT_EQ(1000u, session->getSendTimeout());
   session->setRecvTimeout(600000);
   EXPECT_EQ(1000u, session->getSendTimeout());
   std::string path = dir.file("big.bin");
   ASSERT_TRUE(FakeWriteFile(path, 32u << 20, 4));
   EXPECT_EQ(ERR_IO_FAILURE, session->uploadFile(FakeWide(path).c_str()));
   EXPECT_TRUE(session->waitForReceiverEnd(30000));
   gate->open();
}

TEST_F(ReplyQueueTest, AShortReceiveTimeOutDoesNotShortenWrites) {
   const uint32_t kRecvTimeout = 10000;  // the smallest
   FakeUploadSink::Options options;
   // Silent and not reading for longer than the receive time-out.
   options.pauseAfterAcceptMs = kRecvTimeout + 2000;
   FakeUploadSink sink(options);
   sink.install(agent);
   EXPECT_EQ(420000u, session->getSendTimeout());
   session->setRecvTimeout(kRecvTimeout);
   EXPECT_EQ(420000u, session->getSendTimeout());
   connect();
   std::string path = dir.file("big.bin");
   ASSERT_TRUE(FakeWriteFile(path, 32u << 20, 5));
   EXPECT_EQ(ERR_SUCCESS, session->uploadFile(FakeWide(path).c_str()));
   EXPECT_EQ(FakeFileDigest(path), sink.digest());
   EXPECT_EQ(ERR_SUCCESS, session->nop());
}

}  // namespace
