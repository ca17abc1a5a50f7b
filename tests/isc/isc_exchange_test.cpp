// The caller's own exchanges with the echo service after Connect, plain and
// encrypted, from several threads at once.
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include "isc_test_util.h"

using namespace isc_test;

namespace {

const uint16_t kEchoCode = 0x1100;
const uint32_t VID_TEST_THREAD = 0x5000;
const uint32_t VID_TEST_INDEX = 0x5001;

class IscExchange : public ::testing::TestWithParam<bool> {
protected:
   void SetUp() override {
      ASSERT_TRUE(m_peer.listening());
      ASSERT_EQ(m_isc.Connect(12, GetParam() ? ServerKey() : nullptr, GetParam() ? 1 : 0),
                ISC_ERR_SUCCESS);
      ASSERT_EQ(m_isc.encrypted(), GetParam());
   }

   FakeIscPeer m_peer{FakeIscScript{}};
   CapturingISC m_isc{m_peer.port()};
};

}  // namespace

// 10000 messages from 4 threads; each thread keeps a window of requests in
// flight and takes every reply by code and id, checking that the payload is
// its own.
TEST_P(IscExchange, TenThousandMessagesFromFourThreads) {
   const int kThreads = 4;
   const int kPerThread = 2500;
   const int kWindow = 25;
   std::atomic<int> matched{0};
   std::atomic<int> failures{0};

   auto worker = [&](int thread) {
      for (int start = 0; start < kPerThread; start += kWindow) {
         for (int i = start; i < start + kWindow; i++) {
            CSCPMessage message;
            message.SetCode(kEchoCode);
            message.SetId(1000000u + static_cast<uint32_t>(thread * kPerThread + i));
            message.SetVariable(VID_TEST_THREAD, static_cast<uint32_t>(thread));
            message.SetVariable(VID_TEST_INDEX, static_cast<uint32_t>(i));
            wchar_t text[32];
            hk_snwprintf(text, 32, L"thread %d message %d", thread, i);
            message.SetVariable(VID_VALUE, text);
            if (m_isc.SendMessage(&message) != 1)
               failures++;
         }
         // Take the window's replies in reverse order: each one by its id.
         for (int i = start + kWindow - 1; i >= start; i--) {
            const uint32_t id = 1000000u + static_cast<uint32_t>(thread * kPerThread + i);
            CSCPMessage *reply = m_isc.WaitForMessage(CMD_REQUEST_COMPLETED, id, kWaitMs);
            if (reply == nullptr) {
               failures++;
               continue;
            }
            wchar_t expected[32];
            hk_snwprintf(expected, 32, L"thread %d message %d", thread, i);
            wchar_t text[32];
            if (reply->GetId() == id &&
                reply->GetVariableLong(VID_TEST_THREAD) == static_cast<uint32_t>(thread) &&
                reply->GetVariableLong(VID_TEST_INDEX) == static_cast<uint32_t>(i) &&
                std::wstring(reply->GetVariableStr(VID_VALUE, text, 32)) == expected)
               matched++;
            else
               failures++;
            delete reply;
         }
      }
   };
   std::vector<std::thread> threads;
   for (int t = 0; t < kThreads; t++)
      threads.emplace_back(worker, t);
   for (std::thread &t : threads)
      t.join();

   EXPECT_EQ(failures.load(), 0);
   EXPECT_EQ(matched.load(), kThreads * kPerThread);

   // On the wire: every message once, whole, encrypted exactly when the
   // channel is.
   std::vector<FakeIscFrame> sent = m_peer.framesWithCode(kEchoCode);
   ASSERT_EQ(sent.size(), static_cast<size_t>(kThreads * kPerThread));
   std::vector<bool> seen(kThreads * kPerThread, false);
   for (const FakeIscFrame &f : sent) {
      EXPECT_EQ(f.encrypted, GetParam());
      EXPECT_TRUE(f.decrypted);
      const uint32_t index = f.id - 1000000u;
      ASSERT_LT(index, seen.size());
      EXPECT_FALSE(seen[index]);
      seen[index] = true;
   }
   EXPECT_TRUE(m_isc.lines().empty());
}

TEST_P(IscExchange, WaitForRCCPassesThePeersCode) {
   CSCPMessage message;
   message.SetCode(kEchoCode);
   message.SetId(501);
   message.SetVariable(VID_RCC, static_cast<uint32_t>(17));
   ASSERT_EQ(m_isc.SendMessage(&message), 1);
   EXPECT_EQ(m_isc.WaitForRCC(501, kWaitMs), 17u);

   // Without VID_RCC the reply counts as success; the caller keeps its
   // message and may send it again.
   CSCPMessage plain;
   plain.SetCode(kEchoCode);
   plain.SetId(502);
   ASSERT_EQ(m_isc.SendMessage(&plain), 1);
   ASSERT_EQ(m_isc.SendMessage(&plain), 1);
   EXPECT_EQ(m_isc.WaitForRCC(502, kWaitMs), 0u);
   EXPECT_EQ(m_isc.WaitForRCC(502, kWaitMs), 0u);
   EXPECT_EQ(m_isc.Nop(), ISC_ERR_SUCCESS);
}

TEST_P(IscExchange, WaitForRCCTimesOut) {
   EXPECT_EQ(m_isc.WaitForRCC(999, 20), ISC_ERR_REQUEST_TIMEOUT);
   EXPECT_EQ(m_isc.WaitForMessage(CMD_REQUEST_COMPLETED, 999, 20), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Channel, IscExchange, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                            return info.param ? "Encrypted" : "Plain";
                         });
