// A session connected to the scriptable agent, for the request tests: each
// test scripts the agent's answer and asserts on the request it recorded.
#ifndef REQUESTS_FIXTURE_H
#define REQUESTS_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "agent_test_util.h"
#include "fake_agent.h"

class RequestTest : public ::testing::Test {
protected:
   void SetUp() override {
      ASSERT_TRUE(agent.listening());
      session = std::make_unique<TestSession>(FakeAgent::addressNetworkOrder(), agent.port());
   }
   void TearDown() override { session.reset(); }

   // Connects (encrypted when key is given) and forgets the handshake.
   void connect(RSA *key = nullptr) {
      if (key != nullptr)
         session->setEncryptionPolicy(ENCRYPTION_REQUIRED);
      uint32_t error = 0;
      ASSERT_EQ(1, session->connect(key, 0, &error)) << error;
      ASSERT_EQ(key != nullptr, agent.connection()->encrypted());
      agent.clearRecords();
   }

   // The single request with that code the agent received.
   std::shared_ptr<const CSCPMessage> only(uint16_t code) {
      std::vector<FakeAgentRecord> records = agent.recordsWithCode(code);
      EXPECT_EQ(1u, records.size()) << "requests with code " << code;
      return records.empty() ? std::make_shared<const CSCPMessage>() : records.front().message;
   }

   // A string variable of a recorded message ("<absent>" when missing).
   static std::wstring Str(const CSCPMessage &message, uint32_t id) {
      wchar_t *text = message.GetVariableStr(id);
      if (text == nullptr)
         return L"<absent>";
      std::wstring result(text);
      free(text);
      return result;
   }

   // A never-connected session: requests with the connected check fail
   // without taking a request id.
   static void ExpectNoRequestIdTaken(AgentConnection &session) {
      EXPECT_EQ(1u, session.generateRequestId());
   }

   FakeAgent agent;
   std::unique_ptr<TestSession> session;
};

#endif
