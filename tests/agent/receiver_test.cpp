// The receiver thread: how each kind of frame is dispatched, how bad frames
// are reported and skipped (or, on an encrypted channel, end the session),
// and how each end of the connection ends it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent_test_util.h"
#include "fake_agent.h"

namespace {

const std::wstring kRecvFailed = L"AgentConnection::ReceiverThread(): RecvHKCPMessage() failed";

class ReceiverTest : public testing::Test {
protected:
   void SetUp() override {
      s = std::make_unique<TestSession>(FakeAgent::addressNetworkOrder(), agent.port());
      s->setCommandTimeout(1000);
   }
   void connect(RSA *key = nullptr, int policy = ENCRYPTION_ALLOWED) {
      s->setEncryptionPolicy(policy);
      uint32_t error = 0;
      ASSERT_EQ(1, s->connect(key, 0, &error));
   }
   // A request of the given code, and its reply (null when none came).
   std::unique_ptr<CSCPMessage> request(uint16_t code, uint32_t *id = nullptr) {
      CSCPMessage message;
      message.SetCode(code);
      message.SetId(s->generateRequestId());
      if (id != nullptr)
         *id = message.GetId();
      EXPECT_TRUE(s->sendMessage(&message));
      return std::unique_ptr<CSCPMessage>(
          s->waitForMessage(CMD_REQUEST_COMPLETED, message.GetId(), 1000));
   }

   DebugCapture debug;
   FakeAgent agent;
   std::unique_ptr<TestSession> s;
};

// ---------------------------------------------------------------- dispatch

TEST_F(ReceiverTest, TrapsAndPushesGoToTheirHooksNeverToTheQueue) {
   connect();
   CSCPMessage trap;
   trap.SetCode(CMD_TRAP);
   trap.SetId(77);
   CSCPMessage push;
   push.SetCode(CMD_DATA_PUSH);
   push.SetId(78);
   ASSERT_TRUE(agent.push(trap));
   ASSERT_TRUE(agent.push(push));
   ASSERT_TRUE(agent.push(trap));
   ASSERT_TRUE(s->waitForHookCalls(2, 1, 5000));
   EXPECT_EQ((std::vector<uint16_t>{CMD_TRAP, CMD_TRAP}), s->traps());
   EXPECT_EQ(std::vector<uint16_t>{CMD_DATA_PUSH}, s->pushes());
   EXPECT_TRUE(s->customCodes().empty());
   EXPECT_EQ(nullptr, s->waitForMessage(CMD_TRAP, 77, 0));
}

TEST_F(ReceiverTest, RepliesNeverReachProcessCustomMessage) {
   connect();
   EXPECT_EQ(ERR_SUCCESS, s->nop());
   EXPECT_TRUE(s->customCodes().empty());
}

TEST_F(ReceiverTest, UnclaimedCustomMessageIsFiledForItsWaiter) {
   connect();
   CSCPMessage custom;
   custom.SetCode(CMD_SESSION_KEY);
   custom.SetId(4242);
   custom.SetVariable(VID_RCC, (uint32_t)31);
   ASSERT_TRUE(agent.push(custom));
   std::unique_ptr<CSCPMessage> got(s->waitForMessage(CMD_SESSION_KEY, 4242, 5000));
   ASSERT_NE(nullptr, got);
   EXPECT_EQ(31u, got->GetVariableLong(VID_RCC));
   EXPECT_EQ(std::vector<uint16_t>{CMD_SESSION_KEY}, s->customCodes());
}

TEST_F(ReceiverTest, ConsumedCustomMessageNeverReachesAWaiter) {
   connect();
   s->consumeCode(CMD_SESSION_KEY);
   CSCPMessage custom;
   custom.SetCode(CMD_SESSION_KEY);
   custom.SetId(4243);
   ASSERT_TRUE(agent.push(custom));
   // A nop sent after the push is answered after it, so the push has been
   // handled once the nop returns.
   EXPECT_EQ(ERR_SUCCESS, s->nop());
   EXPECT_EQ(std::vector<uint16_t>{CMD_SESSION_KEY}, s->customCodes());
   EXPECT_EQ(nullptr, s->waitForMessage(CMD_SESSION_KEY, 4243, 0));
}

TEST_F(ReceiverTest, ReplyResultCodeIsPassedOn) {
   connect();
   agent.setHandler(CMD_NOP, FakeReply(ERR_UNKNOWN_PARAMETER));
   EXPECT_EQ(ERR_UNKNOWN_PARAMETER, s->nop());
}

TEST_F(ReceiverTest, RawFramesOtherThanFileDataAreDroppedAndLogged) {
   connect();
   uint8_t frame[24] = {};
   CSCP_MESSAGE *header = reinterpret_cast<CSCP_MESSAGE *>(frame);
   header->wCode = htons(CMD_TRAP);
   header->wFlags = htons(MF_BINARY);
   header->dwSize = htonl(sizeof(frame));
   header->dwNumVars = htonl(8);
   ASSERT_TRUE(agent.connection()->sendRaw(frame, sizeof(frame)));
   EXPECT_EQ(ERR_SUCCESS, s->nop());
   EXPECT_TRUE(debug.contains(L"Received raw message CMD_TRAP from agent at 127.0.0.1"));
   EXPECT_TRUE(s->traps().empty());
}

TEST_F(ReceiverTest, RawFrameClaimingMoreDataThanItCarriesIsDropped) {
   connect();
   uint8_t frame[24] = {};
   CSCP_MESSAGE *header = reinterpret_cast<CSCP_MESSAGE *>(frame);
   header->wCode = htons(CMD_FILE_DATA);
   header->wFlags = htons(MF_BINARY | MF_END_OF_FILE);
   header->dwSize = htonl(sizeof(frame));
   header->dwNumVars = htonl(100000);
   ASSERT_TRUE(agent.connection()->sendRaw(frame, sizeof(frame)));
   EXPECT_EQ(ERR_SUCCESS, s->nop());
   EXPECT_TRUE(debug.contains(
       L"AgentConnection::ReceiverThread(): raw message CMD_FILE_DATA claims 100000 data bytes"));
   EXPECT_EQ(1, s->isConnected());
}

// ---------------------------------------------------------------- bad frames

TEST_F(ReceiverTest, TooLargeFrameIsReportedAndSkipped) {
   agent.setHandler(CMD_NOP, FakeOversizeFrame(300000));
   connect();
   EXPECT_TRUE(s->waitForLine(L"Received too large message CMD_NOP (300000 bytes)", 1));
   EXPECT_EQ(ERR_SUCCESS, s->nop());  // the reply after it was read whole
   EXPECT_EQ(2u, s->lines().size());
   EXPECT_EQ(1, s->isConnected());
}

TEST_F(ReceiverTest, UndecryptableFrameIsReportedAndEndsTheSession) {
   connect(TestServerKey(), ENCRYPTION_REQUIRED);
   agent.setHandler(CMD_NOP, FakeUndecryptableFrame());
   // The reply behind it is never taken: nothing after a frame that cannot
   // be authenticated belongs to the peer for sure.
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, s->nop());
   ASSERT_TRUE(s->waitForReceiverEnd(5000));
   EXPECT_EQ(std::vector<std::wstring>{L"Unable to decrypt received message"}, s->lines());
   EXPECT_EQ(0, s->isConnected());
}

TEST_F(ReceiverTest, WronglySizedReplyIsReportedAndFailsItsRequestOnly) {
   connect();
   agent.setHandler(CMD_NOP, FakeWrongSizeReply(ERR_SUCCESS));
   // A reply that cannot be read must not pass for success.
   EXPECT_EQ(ERR_BAD_RESPONSE, s->nop());
   ASSERT_EQ(1u, s->lines().size());
   EXPECT_EQ(0u, s->lines()[0].find(L"Received malformed message CMD_REQUEST_COMPLETED ("));
   agent.setHandler(CMD_NOP, nullptr);
   EXPECT_EQ(ERR_SUCCESS, s->nop());
}

TEST_F(ReceiverTest, WronglySizedReplyIsAlsoCaughtWhenEncrypted) {
   connect(TestServerKey(), ENCRYPTION_REQUIRED);
   agent.setHandler(CMD_NOP, FakeWrongSizeReply(ERR_SUCCESS));
   EXPECT_EQ(ERR_BAD_RESPONSE, s->nop());
   agent.setHandler(CMD_NOP, nullptr);
   EXPECT_EQ(ERR_SUCCESS, s->nop());
}

// ---------------------------------------------------------------- ends

TEST_F(ReceiverTest, DisconnectOnAnIdleConnectionEndsTheThreadQuietly) {
   connect();
   s->disconnect();
   EXPECT_EQ(0, s->isConnected());
   ASSERT_TRUE(s->waitForReceiverEnd(5000));
   EXPECT_TRUE(agent.waitForClosed(1, 5000));
   EXPECT_FALSE(debug.contains(kRecvFailed));
   EXPECT_TRUE(s->lines().empty());
}

TEST_F(ReceiverTest, PeerClosingTheConnectionEndsTheSession) {
   connect();
   agent.connection()->shutdown();
   ASSERT_TRUE(s->waitForReceiverEnd(5000));
   EXPECT_EQ(0, s->isConnected());
   EXPECT_TRUE(debug.contains(kRecvFailed + L": error=0,"));
   EXPECT_EQ(ERR_CONNECTION_BROKEN, s->nop());
}

TEST_F(ReceiverTest, PeerClosingInTheMiddleOfAFrameEndsTheSession) {
   agent.setHandler(CMD_NOP, FakeCloseMidFrame());
   s->setCommandTimeout(500);
   uint32_t error = 0;
   EXPECT_EQ(0, s->connect(nullptr, 0, &error));
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, error);
   EXPECT_TRUE(debug.contains(kRecvFailed + L": error=0,"));
   EXPECT_EQ(INVALID_SOCKET, s->getSocket());
}

TEST_F(ReceiverTest, ReceiveErrorEndsTheSession) {
   connect();
   agent.setHandler(CMD_NOP, FakeUnframeableHeader());
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, s->nop());
   ASSERT_TRUE(s->waitForReceiverEnd(5000));
   EXPECT_EQ(0, s->isConnected());
   EXPECT_TRUE(debug.contains(kRecvFailed + L": error=-1,"));
   EXPECT_TRUE(agent.waitForClosed(1, 5000));
}

// The one test that waits out the shortest receive time-out (10 s).
TEST_F(ReceiverTest, SilenceLongerThanTheReceiveTimeoutEndsTheSession) {
   s->setRecvTimeout(0);  // clamped to 10000: a zero time-out would end it at once
   connect();
   EXPECT_EQ(ERR_SUCCESS, s->nop());
   ASSERT_TRUE(s->waitForLine(L"Timed out waiting for message", 20000));
   ASSERT_TRUE(s->waitForReceiverEnd(5000));
   EXPECT_EQ(0, s->isConnected());
   EXPECT_EQ(std::vector<std::wstring>{L"Timed out waiting for message"}, s->lines());
   EXPECT_TRUE(agent.waitForClosed(1, 5000));
   EXPECT_FALSE(debug.contains(kRecvFailed));
}

}  // namespace
