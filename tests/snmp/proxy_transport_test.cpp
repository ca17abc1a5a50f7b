// SNMP_ProxyTransport against the fake agent: the CMD_SNMP_REQUEST exchange
// on the wire, the agent's failures, and the device's answers forwarded from
// a real SNMP agent (snmpsimd) over UDP.

// The server key uses the RSA type of the library's API, which OpenSSL 3
// keeps behind its deprecation markers.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <atomic>
#include <cstring>

#include "fake_agent.h"
#include "fake_agent_snmp.h"
#include "hksrv.h"
#include "snmp_agents.h"
#include "snmp_client_util.h"

using namespace hktest;

namespace {

const char *const kHelpers = HK_TEST_DATA_DIR "/snmp_helpers.snmprec";

// Counts its own destruction, to show who deletes the session.
class CountedSession : public AgentConnection {
public:
   CountedSession(uint16_t port, std::atomic<int> *deleted)
       : AgentConnection(FakeAgent::addressNetworkOrder(), port), m_deleted(deleted) {}
   ~CountedSession() override {
      if (m_deleted != nullptr) {
         m_deleted->fetch_add(1);
      }
   }

protected:
   void PrintMsg(const wchar_t *, ...) override {}

private:
   std::atomic<int> *m_deleted;
};

RSA *ServerKey() {
   static RSA *key = [] {
      EVP_PKEY *pkey = EVP_RSA_gen(2048);
      RSA *rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
      EVP_PKEY_free(pkey);
      return rsa;
   }();
   return key;
}

uint32_t Be32(const uint8_t *p) {
   return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// The variable ids of a frame in wire order. Sizes by id: this exchange
// carries only the 32-bit and 16-bit integers and one binary.
std::vector<uint32_t> WireOrder(const CSCPMessage &message) {
   std::vector<uint32_t> ids;
   CSCP_MESSAGE *frame = message.CreateMessage();
   const uint8_t *bytes = reinterpret_cast<const uint8_t *>(frame);
   uint32_t size = Be32(bytes + 4), count = Be32(bytes + 12);
   size_t p = 16;
   for (uint32_t i = 0; i < count && p + 8 <= size; i++) {
      uint32_t id = Be32(bytes + p);
      ids.push_back(id);
      size_t length = 16;  // a 32-bit integer with its header, padded
      if (id == VID_PORT) {
         length = 8;
      } else if (id == VID_PDU) {
         length = (12 + Be32(bytes + p + 8) + 7) & ~size_t(7);
      }
      p += length;
   }
   free(frame);
   return ids;
}

class ProxyTransportTest : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_device = new SnmpSimFixture();
      ASSERT_TRUE(s_device->start({kHelpers})) << s_device->lastError();
   }
   static void TearDownTestSuite() {
      delete s_device;
      s_device = nullptr;
   }
   void SetUp() override {
      ASSERT_NE(s_device, nullptr);
      ASSERT_TRUE(m_agent.listening());
   }

   // A transport over a connected session to the fake agent, for the device.
   std::unique_ptr<SNMP_ProxyTransport> connect(RSA *key = nullptr,
                                                std::atomic<int> *deleted = nullptr,
                                                uint32_t commandTimeout = 0) {
      auto *session = new CountedSession(m_agent.port(), deleted);
      if (commandTimeout != 0) {
         session->setCommandTimeout(commandTimeout);
      }
      if (key != nullptr) {
         session->setEncryptionPolicy(ENCRYPTION_REQUIRED);
      }
      uint32_t error = 0;
      EXPECT_EQ(session->connect(key, 0, &error), 1) << error;
      auto transport =
          std::make_unique<SNMP_ProxyTransport>(session, s_device->ipAddr(), s_device->port());
      transport->setSecurityContext(new SNMP_SecurityContext("snmp_helpers"));
      m_agent.clearRecords();
      return transport;
   }

   static SnmpSimFixture *s_device;
   FakeAgent m_agent;
};

SnmpSimFixture *ProxyTransportTest::s_device = nullptr;

TEST_F(ProxyTransportTest, GetTravelsAsOneSnmpRequest) {
   m_agent.setHandler(CMD_SNMP_REQUEST, FakeSnmpForward());
   auto transport = connect();
   wchar_t text[64] = L"";
   ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, transport.get(), L".1.3.6.1.4.1.99999.5.1.0", nullptr, 0,
                     text, 64, 0),
             SNMP_ERR_SUCCESS);
   EXPECT_STREQ(text, L"Uplink");

   // The same value as the device gives over UDP.
   auto direct = MakeLoopbackTransport(s_device->port(), "snmp_helpers");
   wchar_t directText[64] = L"";
   ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, direct.get(), L".1.3.6.1.4.1.99999.5.1.0", nullptr, 0,
                     directText, 64, 0),
             SNMP_ERR_SUCCESS);
   EXPECT_STREQ(text, directText);

   auto records = m_agent.recordsWithCode(CMD_SNMP_REQUEST);
   ASSERT_EQ(records.size(), 1u);
   const CSCPMessage &request = *records[0].message;
   EXPECT_EQ(WireOrder(request),
             (std::vector<uint32_t>{VID_IP_ADDRESS, VID_PORT, VID_PDU_SIZE, VID_PDU}));
   EXPECT_EQ(request.GetVariableLong(VID_IP_ADDRESS), 0x7F000001u);  // host byte order
   EXPECT_EQ(request.GetVariableShort(VID_PORT), s_device->port());
   uint32_t size = request.GetVariableLong(VID_PDU_SIZE);
   ASSERT_EQ(request.GetVariableBinary(VID_PDU, nullptr, 0), size);
   std::vector<uint8_t> pdu(size);
   request.GetVariableBinary(VID_PDU, pdu.data(), size);
   SNMP_PDU parsed;
   ASSERT_TRUE(parsed.parse(pdu.data(), pdu.size(), nullptr, false));
   EXPECT_EQ(parsed.getCommand(), SNMP_GET_REQUEST);
   EXPECT_STREQ(parsed.getCommunity(), "snmp_helpers");
   ASSERT_EQ(parsed.getNumVariables(), 1);
   wchar_t name[128];
   EXPECT_STREQ(parsed.getVariable(0)->getName()->getText(name, 128), L".1.3.6.1.4.1.99999.5.1.0");
}

TEST_F(ProxyTransportTest, EncryptedSessionCarriesTheSameExchange) {
   m_agent.setHandler(CMD_SNMP_REQUEST, FakeSnmpForward());
   auto transport = connect(ServerKey());
   ASSERT_TRUE(m_agent.connection()->encrypted());
   uint32_t address = 0;
   ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, transport.get(), L".1.3.6.1.4.1.99999.5.4.0", nullptr, 0,
                     &address, 4, 0),
             SNMP_ERR_SUCCESS);
   EXPECT_EQ(address, 0xC0A8010Au);
   auto records = m_agent.recordsWithCode(CMD_SNMP_REQUEST);
   ASSERT_EQ(records.size(), 1u);
   EXPECT_TRUE(records[0].encrypted);
}

TEST_F(ProxyTransportTest, WalkThroughTheAgentMatchesTheDirectWalk) {
   m_agent.setHandler(CMD_SNMP_REQUEST, FakeSnmpForward());
   auto transport = connect();
   auto direct = MakeLoopbackTransport(s_device->port(), "snmp_helpers");
   auto walk = [](SNMP_Transport *t, const wchar_t *root) {
      std::vector<std::wstring> names;
      uint32_t rc = SnmpEnumerate(
          SNMP_VERSION_2C, t, root,
          [](uint32_t, SNMP_Variable *v, SNMP_Transport *, void *arg) -> uint32_t {
             wchar_t text[256], value[256];
             static_cast<std::vector<std::wstring> *>(arg)->push_back(
                 std::wstring(v->getName()->getText(text, 256)) + L"=" +
                 v->GetValueAsString(value, 256));
             return 0;
          },
          &names, 0);
      EXPECT_EQ(rc, SNMP_ERR_SUCCESS);
      return names;
   };
   size_t exchanges = 0, variables = 0;
   for (const wchar_t *root :
        {L".1.3.6.1.2.1.1", L".1.3.6.1.4.1.99999.6", L".1.3.6.1.4.1.99999.9"}) {
      std::vector<std::wstring> proxied = walk(transport.get(), root);
      EXPECT_EQ(proxied, walk(direct.get(), root));
      variables += proxied.size();
      exchanges += proxied.size() + 1;
   }
   EXPECT_EQ(variables, 12u);
   EXPECT_EQ(m_agent.recordsWithCode(CMD_SNMP_REQUEST).size(), exchanges);
}

TEST_F(ProxyTransportTest, AgentFailureCodeIsNoAnswer) {
   m_agent.setHandler(CMD_SNMP_REQUEST, FakeReply(ERR_REQUEST_TIMEOUT));
   auto transport = connect();

   SNMP_PDU request(SNMP_GET_REQUEST, SnmpNewRequestId(), SNMP_VERSION_2C);
   uint32_t oid[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
   request.bindVariable(new SNMP_Variable(oid, 9));
   EXPECT_EQ(transport->sendMessage(&request), 1);  // a reply came: it is kept
   SNMP_PDU *pdu = reinterpret_cast<SNMP_PDU *>(0x1);
   EXPECT_EQ(transport->readMessage(&pdu, 0, nullptr, nullptr), -1);
   // The kept reply was dropped with it.
   EXPECT_EQ(transport->readMessage(&pdu, 0, nullptr, nullptr), -1);

   // Through the helpers: three attempts, then the time-out result.
   wchar_t text[16] = L"untouched";
   EXPECT_EQ(
       SnmpGet(SNMP_VERSION_2C, transport.get(), L".1.3.6.1.2.1.1.1.0", nullptr, 0, text, 16, 0),
       SNMP_ERR_TIMEOUT);
   EXPECT_STREQ(text, L"untouched");
   EXPECT_EQ(m_agent.recordsWithCode(CMD_SNMP_REQUEST).size(), 4u);
}

TEST_F(ProxyTransportTest, SilentAgentTimesOutOnTheCommandTimeout) {
   m_agent.setHandler(CMD_SNMP_REQUEST, FakeSilent());
   // The smallest command time-out the session allows.
   auto transport = connect(nullptr, nullptr, 500);
   SNMP_PDU request(SNMP_GET_REQUEST, SnmpNewRequestId(), SNMP_VERSION_2C);
   uint32_t oid[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
   request.bindVariable(new SNMP_Variable(oid, 9));
   EXPECT_EQ(transport->sendMessage(&request), -1);
   SNMP_PDU *pdu = nullptr;
   EXPECT_EQ(transport->readMessage(&pdu, 0, nullptr, nullptr), -1);
   EXPECT_EQ(pdu, nullptr);
   EXPECT_EQ(m_agent.recordsWithCode(CMD_SNMP_REQUEST).size(), 1u);
}

TEST_F(ProxyTransportTest, AnswersThatDoNotParseOrLieAboutTheirSize) {
   std::vector<uint8_t> garbage = {0x30, 0x03, 0x02, 0x01};  // cut short
   m_agent.setHandler(CMD_SNMP_REQUEST, FakeReply(0, [&](const CSCPMessage &, CSCPMessage &reply) {
                         reply.SetVariable(VID_PDU_SIZE, static_cast<uint32_t>(garbage.size()));
                         reply.SetVariable(VID_PDU, garbage.data(),
                                           static_cast<uint32_t>(garbage.size()));
                      }));
   auto transport = connect();
   SNMP_PDU request(SNMP_GET_REQUEST, 77, SNMP_VERSION_2C);
   uint32_t oid[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
   request.bindVariable(new SNMP_Variable(oid, 9));
   ASSERT_EQ(transport->sendMessage(&request), 1);
   SNMP_PDU *pdu = reinterpret_cast<SNMP_PDU *>(0x1);
   EXPECT_EQ(transport->readMessage(&pdu, 0, nullptr, nullptr), 4);
   EXPECT_EQ(pdu, nullptr);

   // A well-formed answer whose stated size is far beyond the bytes sent:
   // only the bytes that came are read, and they parse.
   SNMP_PDU answer(SNMP_RESPONSE, 78, SNMP_VERSION_2C);
   SNMP_Variable *value = new SNMP_Variable(oid, 9);
   value->setValue(ASN_OCTET_STRING, "ok", 2);
   answer.bindVariable(value);
   uint8_t *bytes = nullptr;
   size_t length = answer.encode(&bytes, nullptr);
   ASSERT_GT(length, 0u);
   std::vector<uint8_t> encoded(bytes, bytes + length);
   free(bytes);
   m_agent.setHandler(CMD_SNMP_REQUEST, FakeReply(0, [&](const CSCPMessage &, CSCPMessage &reply) {
                         reply.SetVariable(VID_PDU_SIZE, 0x7FFFFFF0u);
                         reply.SetVariable(VID_PDU, encoded.data(),
                                           static_cast<uint32_t>(encoded.size()));
                      }));
   ASSERT_EQ(transport->sendMessage(&request), 1);
   ASSERT_EQ(transport->readMessage(&pdu, 0, nullptr, nullptr), static_cast<int>(encoded.size()));
   ASSERT_NE(pdu, nullptr);
   EXPECT_EQ(pdu->getRequestId(), 78u);
   delete pdu;

   // A stated size below the bytes sent cuts the answer to that size.
   m_agent.setHandler(CMD_SNMP_REQUEST, FakeReply(0, [&](const CSCPMessage &, CSCPMessage &reply) {
                         reply.SetVariable(VID_PDU_SIZE, 5u);
                         reply.SetVariable(VID_PDU, encoded.data(),
                                           static_cast<uint32_t>(encoded.size()));
                      }));
   ASSERT_EQ(transport->sendMessage(&request), 1);
   EXPECT_EQ(transport->readMessage(&pdu, 0, nullptr, nullptr), 5);
   EXPECT_EQ(pdu, nullptr);
}

SNMP_SecurityContext *g_foundContext = nullptr;
sockaddr *g_finderSender = nullptr;
socklen_t g_finderLength = 0;

SNMP_SecurityContext *FindContext(sockaddr *sender, socklen_t length) {
   g_finderSender = sender;
   g_finderLength = length;
   return g_foundContext;
}

TEST_F(ProxyTransportTest, ReadWithoutSendAndTheContextFinder) {
   m_agent.setHandler(CMD_SNMP_REQUEST, FakeSnmpForward());
   auto transport = connect();
   SNMP_PDU *pdu = nullptr;
   EXPECT_EQ(transport->readMessage(&pdu, 0, nullptr, nullptr), -1);
   EXPECT_TRUE(m_agent.records().empty());

   SNMP_PDU request(SNMP_GET_REQUEST, 91, SNMP_VERSION_2C);
   uint32_t oid[] = {1, 3, 6, 1, 4, 1, 99999, 5, 1, 0};
   request.bindVariable(new SNMP_Variable(oid, 10));
   ASSERT_EQ(transport->sendMessage(&request), 1);

   // The finder gets the caller's sender and length as they are, and its
   // context becomes the transport's (and decides the parse).
   g_foundContext = new SNMP_SecurityContext("snmp_helpers");
   sockaddr_in sender{};
   socklen_t senderLength = 12345;
   int length = transport->readMessage(&pdu, 0, reinterpret_cast<sockaddr *>(&sender),
                                       &senderLength, FindContext);
   EXPECT_GT(length, 0);
   EXPECT_EQ(g_finderSender, reinterpret_cast<sockaddr *>(&sender));
   EXPECT_EQ(g_finderLength, 12345u);
   EXPECT_EQ(senderLength, 12345u);
   EXPECT_EQ(transport->getSecurityContext(), g_foundContext);
   ASSERT_NE(pdu, nullptr);
   EXPECT_EQ(pdu->getRequestId(), 91u);
   delete pdu;
   g_foundContext = nullptr;
}

TEST_F(ProxyTransportTest, KeptReplyIsReplacedByTheNextExchange) {
   m_agent.setHandler(CMD_SNMP_REQUEST, FakeSnmpForward());
   auto transport = connect();
   uint32_t oid[] = {1, 3, 6, 1, 4, 1, 99999, 5, 1, 0};
   SNMP_PDU first(SNMP_GET_REQUEST, 501, SNMP_VERSION_2C);
   first.bindVariable(new SNMP_Variable(oid, 10));
   SNMP_PDU second(SNMP_GET_REQUEST, 502, SNMP_VERSION_2C);
   second.bindVariable(new SNMP_Variable(oid, 10));
   ASSERT_EQ(transport->sendMessage(&first), 1);
   ASSERT_EQ(transport->sendMessage(&second), 1);
   SNMP_PDU *pdu = nullptr;
   ASSERT_GT(transport->readMessage(&pdu, 0, nullptr, nullptr), 0);
   ASSERT_NE(pdu, nullptr);
   EXPECT_EQ(pdu->getRequestId(), 502u);
   delete pdu;
   EXPECT_EQ(transport->readMessage(&pdu, 0, nullptr, nullptr), -1);
}

TEST_F(ProxyTransportTest, UnencodablePduIsNotSent) {
   m_agent.setHandler(CMD_SNMP_REQUEST, FakeSnmpForward());
   auto transport = connect();
   // GETBULK does not exist in SNMPv1.
   SNMP_PDU bulk(SNMP_GET_BULK_REQUEST, 5, SNMP_VERSION_1);
   uint32_t oid[] = {1, 3, 6, 1};
   bulk.bindVariable(new SNMP_Variable(oid, 4));
   EXPECT_EQ(transport->sendMessage(&bulk), -1);
   SNMP_PDU *pdu = nullptr;
   EXPECT_EQ(transport->readMessage(&pdu, 0, nullptr, nullptr), -1);
   EXPECT_TRUE(m_agent.recordsWithCode(CMD_SNMP_REQUEST).empty());
}

TEST_F(ProxyTransportTest, BrokenSessionFailsTheSend) {
   m_agent.setHandler(CMD_SNMP_REQUEST, FakeSnmpForward());
   auto transport = connect(nullptr, nullptr, 500);
   m_agent.connection()->shutdown();
   ASSERT_TRUE(m_agent.waitForClosed(1, 5000));
   SNMP_PDU request(SNMP_GET_REQUEST, 9, SNMP_VERSION_2C);
   uint32_t oid[] = {1, 3, 6, 1, 4, 1, 99999, 5, 1, 0};
   request.bindVariable(new SNMP_Variable(oid, 10));
   // The receiver notices the close and the socket goes; until then a send
   // may still be written, but no reply can come.
   EXPECT_EQ(transport->sendMessage(&request), -1);
}

TEST_F(ProxyTransportTest, DeletingTheTransportDeletesTheSession) {
   std::atomic<int> deleted{0};
   auto transport = connect(nullptr, &deleted);
   EXPECT_EQ(deleted.load(), 0);
   transport.reset();
   EXPECT_EQ(deleted.load(), 1);
   EXPECT_TRUE(m_agent.waitForClosed(1, 5000));
}

}  // namespace
