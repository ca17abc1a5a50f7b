// The agent over loopback, driven by a raw libhesker client: version probe,
// key exchange, authentication, encryption policy, file transfer, traps and
// pushes, the proxy relay, limits, and misbehaving clients.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "agent_codes.h"
#include "agent_fixture.h"
#include "agent_test_client.h"
#include "test_dirs.h"

using namespace hkagent_test;
namespace codes = hkagent;

namespace {

std::unique_ptr<RawClient> Connect(RunningAgent &agent) {
   auto client = std::make_unique<RawClient>();
   if (!client->connect(agent.port()))
      return nullptr;
   int version = 0;
   if (!client->probeVersion(&version) || version != HKCP_VERSION)
      return nullptr;
   return client;
}

// A frame header in network byte order.
void PutHeader(uint8_t *p, uint16_t code, uint16_t flags, uint32_t size, uint32_t id,
               uint32_t count) {
   uint16_t c = htons(code), f = htons(flags);
   uint32_t s = htonl(size), i = htonl(id), n = htonl(count);
   memcpy(p, &c, 2);
   memcpy(p + 2, &f, 2);
   memcpy(p + 4, &s, 4);
   memcpy(p + 8, &i, 4);
   memcpy(p + 12, &n, 4);
}

}  // namespace

TEST(AgentProtocol, VersionProbeAndNop) {
   RunningAgent agent({});
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   EXPECT_EQ(client->simple(CMD_NOP), 0u);
   CSCPMessage rq;
   rq.SetCode(CMD_GET_PARAMETER);
   rq.SetVariable(VID_PARAMETER, L"Agent.Version");
   auto reply = client->request(&rq);
   ASSERT_TRUE(reply);
   wchar_t value[32];
   reply->GetVariableStr(VID_VALUE, value, 32);
   std::string version = HKAGENT_VERSION;
   EXPECT_EQ(std::wstring(value), std::wstring(version.begin(), version.end()));
}

TEST(AgentProtocol, KeyExchangeThenEncryptedRequests) {
   RunningAgent agent({{"agent", "RequireEncryption", "yes"}});
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   EXPECT_EQ(client->simple(CMD_NOP), ERR_ENCRYPTION_REQUIRED);
   uint32_t rcc = 1;
   ASSERT_TRUE(client->setupEncryption(TestServerKey(), &rcc));
   EXPECT_EQ(rcc, 0u);
   EXPECT_EQ(client->simple(CMD_NOP), 0u);
   CSCPMessage rq;
   rq.SetCode(CMD_GET_LIST);
   rq.SetVariable(VID_PARAMETER, L"Net.InterfaceList");
   auto reply = client->request(&rq);
   ASSERT_TRUE(reply);
   EXPECT_EQ(reply->GetVariableLong(VID_RCC), 0u);
   EXPECT_GE(reply->GetVariableLong(VID_NUM_STRINGS), 1u);
   // A second exchange replaces the key; the session goes on.
   ASSERT_TRUE(client->setupEncryption(TestServerKey()));
   EXPECT_EQ(client->simple(CMD_NOP), 0u);
}

TEST(AgentProtocol, PlainFrameOnAnEncryptedSessionEndsIt) {
   RunningAgent agent({});
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   ASSERT_TRUE(client->setupEncryption(TestServerKey()));
   EXPECT_EQ(client->simple(CMD_NOP), 0u);
   uint8_t nop[16];
   PutHeader(nop, CMD_NOP, 0, 16, 9999, 0);
   ASSERT_TRUE(client->sendBytes(nop, sizeof(nop)));
   EXPECT_TRUE(client->waitClosed(5000));
}

TEST(AgentProtocol, EachAuthMethodRightAndWrong) {
   RunningAgent agent({{"agent", "Secret", "t0p-secret-for-tests"}});
   ASSERT_TRUE(agent.started());
   for (uint16_t method : {codes::AUTH_PLAINTEXT, codes::AUTH_MD5_HASH, codes::AUTH_SHA1_HASH}) {
      auto good = Connect(agent);
      ASSERT_TRUE(good);
      EXPECT_EQ(good->simple(CMD_NOP), ERR_AUTH_REQUIRED);
      EXPECT_EQ(good->authenticate(method, "t0p-secret-for-tests"), 0u) << method;
      EXPECT_EQ(good->simple(CMD_NOP), 0u);

      auto bad = Connect(agent);
      ASSERT_TRUE(bad);
      EXPECT_EQ(bad->authenticate(method, "t0p-secret-for-testS"), ERR_AUTH_FAILED) << method;
      EXPECT_TRUE(bad->waitClosed(5000));
      // The good session is untouched.
      EXPECT_EQ(good->simple(CMD_NOP), 0u);
   }
}

TEST(AgentProtocol, EncryptedAuthentication) {
   RunningAgent agent({{"agent", "Secret", "s"},
                       {"agent", "AllowShortSecret", "yes"},
                       {"agent", "RequireEncryption", "yes"}});
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   EXPECT_EQ(client->authenticate(codes::AUTH_SHA1_HASH, "s"), ERR_ENCRYPTION_REQUIRED);
   ASSERT_TRUE(client->setupEncryption(TestServerKey()));
   EXPECT_EQ(client->simple(CMD_NOP), ERR_AUTH_REQUIRED);
   EXPECT_EQ(client->authenticate(codes::AUTH_SHA1_HASH, "s"), 0u);
   EXPECT_EQ(client->simple(CMD_NOP), 0u);
}

TEST(AgentProtocol, GarbageEndsOnlyThatSession) {
   RunningAgent agent({});
   ASSERT_TRUE(agent.started());
   auto bystander = Connect(agent);
   ASSERT_TRUE(bystander);

   struct Garbage {
      const char *what;
      std::vector<uint8_t> bytes;
   };
   std::vector<Garbage> cases;
   {
      std::vector<uint8_t> b(16);
      PutHeader(b.data(), CMD_NOP, 0, 8, 1, 0);  // size below the header
      cases.push_back({"size below header", b});
   }
   {
      std::vector<uint8_t> b(16);
      PutHeader(b.data(), CMD_NOP, 0, 300000, 1, 0);  // over the limit
      b.resize(300000, 0xAB);
      cases.push_back({"oversized frame", b});
   }
   {
      std::vector<uint8_t> b(64, 0xEE);
      PutHeader(b.data(), CMD_GET_PARAMETER, 0, 64, 1, 1000);  // lies about its variables
      cases.push_back({"bad variables", b});
   }
   {
      std::vector<uint8_t> b(32, 0);
      PutHeader(b.data(), CMD_FILE_DATA, MF_BINARY, 32, 1, 500);  // data length lies
      cases.push_back({"raw length mismatch", b});
   }
   {
      std::vector<uint8_t> b(48, 0x11);
      PutHeader(b.data(), CMD_ENCRYPTED_MESSAGE, MF_ENCRYPTED, 48, 1, 0);  // no key agreed
      cases.push_back({"encrypted without key", b});
   }
   for (const Garbage &g : cases) {
      auto client = Connect(agent);
      ASSERT_TRUE(client) << g.what;
      ASSERT_TRUE(client->sendBytes(g.bytes.data(), g.bytes.size())) << g.what;
      EXPECT_TRUE(client->waitClosed(5000)) << g.what;
      EXPECT_EQ(bystander->simple(CMD_NOP), 0u) << g.what;
      auto fresh = Connect(agent);
      ASSERT_TRUE(fresh) << g.what;
      EXPECT_EQ(fresh->simple(CMD_NOP), 0u) << g.what;
   }
}

TEST(AgentProtocol, UploadThenDownloadOverTheWire) {
   TempDir store, local;
   RunningAgent agent({{"agent", "FileStore", store.path()}});
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   ASSERT_TRUE(client->setupEncryption(TestServerKey()));

   // 100000 bytes: several frames, the last one partial.
   std::string content;
   for (int i = 0; i < 100000; i++)
      content.push_back((char)(i * 7 + i / 256));
   ASSERT_TRUE(WriteTextFile(local.file("payload.bin"), content));

   CSCPMessage upload;
   upload.SetCode(CMD_UPLOAD_FILE);
   upload.SetVariable(VID_FILE_NAME, L"payload.bin");
   upload.SetVariable(VID_DESTINATION_FILE_NAME, L"stored.bin");
   auto first = client->request(&upload);
   ASSERT_TRUE(first);
   ASSERT_EQ(first->GetVariableLong(VID_RCC), 0u);
   const std::string narrow = local.file("payload.bin");
   std::wstring path(narrow.begin(), narrow.end());
   ASSERT_TRUE(SendFileOverHKCP(client->socket(), upload.GetId(), path.c_str(), client->context(),
                                0, nullptr, nullptr, nullptr));
   auto second = client->receive(10000);
   ASSERT_TRUE(second);
   EXPECT_EQ(second->GetCode(), CMD_REQUEST_COMPLETED);
   EXPECT_EQ(second->GetId(), upload.GetId());
   EXPECT_EQ(second->GetVariableLong(VID_RCC), 0u);
   std::string stored;
   ASSERT_TRUE(ReadTextFile(store.file("stored.bin"), &stored));
   EXPECT_EQ(stored, content);

   CSCPMessage download;
   download.SetCode(codes::CMD_GET_AGENT_FILE);
   download.SetVariable(VID_FILE_NAME, L"stored.bin");
   auto reply = client->request(&download);
   ASSERT_TRUE(reply);
   ASSERT_EQ(reply->GetVariableLong(VID_RCC), 0u);
   EXPECT_EQ(reply->GetVariableInt64(codes::VID_AGENT_FILE_SIZE), content.size());
   std::string received;
   for (;;) {
      auto frame = client->receive(10000);
      ASSERT_TRUE(frame);
      ASSERT_EQ(frame->GetCode(), CMD_FILE_DATA);
      ASSERT_EQ(frame->GetId(), download.GetId());
      received.append((const char *)frame->GetBinaryData(), frame->GetBinaryDataSize());
      if (frame->GetFlags() & MF_END_OF_FILE)
         break;
   }
   EXPECT_EQ(received, content);

   download.SetVariable(VID_FILE_NAME, L"../escape");
   reply = client->request(&download);
   ASSERT_TRUE(reply);
   EXPECT_NE(reply->GetVariableLong(VID_RCC), 0u);
   EXPECT_EQ(client->simple(CMD_NOP), 0u);  // no stray frames followed
}

TEST(AgentProtocol, ClientVanishingMidUploadLeavesNoFile) {
   TempDir store;
   RunningAgent agent({{"agent", "FileStore", store.path()}});
   ASSERT_TRUE(agent.started());
   {
      auto client = Connect(agent);
      ASSERT_TRUE(client);
      CSCPMessage upload;
      upload.SetCode(CMD_UPLOAD_FILE);
      upload.SetVariable(VID_FILE_NAME, L"partial.bin");
      auto first = client->request(&upload);
      ASSERT_TRUE(first);
      ASSERT_EQ(first->GetVariableLong(VID_RCC), 0u);
      std::vector<uint8_t> frame(16 + 1000, 0x5A);
      PutHeader(frame.data(), CMD_FILE_DATA, MF_BINARY, (uint32_t)frame.size(), upload.GetId(),
                1000);
      ASSERT_TRUE(client->sendBytes(frame.data(), frame.size()));
      ASSERT_EQ(client->simple(CMD_NOP), 0u);  // the data frame has been taken
   }
   ASSERT_TRUE(agent.waitSessions(0));
   EXPECT_TRUE(std::filesystem::is_empty(store.path()));
   auto next = Connect(agent);
   ASSERT_TRUE(next);
   EXPECT_EQ(next->simple(CMD_NOP), 0u);
}

TEST(AgentProtocol, ClientVanishingMidDownloadEndsOnlyItsSession) {
   TempDir store;
   ASSERT_TRUE(WriteTextFile(store.file("big.bin"), std::string(8 << 20, 'd')));
   RunningAgent agent({{"agent", "FileStore", store.path()}});
   ASSERT_TRUE(agent.started());
   {
      auto client = Connect(agent);
      ASSERT_TRUE(client);
      CSCPMessage download;
      download.SetCode(codes::CMD_GET_AGENT_FILE);
      download.SetVariable(VID_FILE_NAME, L"big.bin");
      auto reply = client->request(&download);
      ASSERT_TRUE(reply);
      ASSERT_EQ(reply->GetVariableLong(VID_RCC), 0u);
   }  // gone with most of the file unread
   ASSERT_TRUE(agent.waitSessions(0, 20000));
   auto next = Connect(agent);
   ASSERT_TRUE(next);
   EXPECT_EQ(next->simple(CMD_NOP), 0u);
}

TEST(AgentProtocol, ClientThatStopsReadingIsDroppedAfterTheSendTimeout) {
   // The client asks for a file far larger than the loopback buffers and then
   // reads nothing while staying connected: the frame that cannot leave
   // within SendTimeout ends the session, plain or encrypted alike.
   TempDir store;
   ASSERT_TRUE(WriteTextFile(store.file("big.bin"), std::string(32 << 20, 'd')));
   for (bool encrypted : {false, true}) {
      SCOPED_TRACE(encrypted ? "encrypted" : "plain");
      RunningAgent agent({{"agent", "FileStore", store.path()}, {"agent", "SendTimeout", "200"}});
      ASSERT_TRUE(agent.started());
      auto client = Connect(agent);
      ASSERT_TRUE(client);
      if (encrypted) {
         ASSERT_TRUE(client->setupEncryption(TestServerKey()));
      }
      CSCPMessage download;
      download.SetCode(codes::CMD_GET_AGENT_FILE);
      download.SetVariable(VID_FILE_NAME, L"big.bin");
      auto reply = client->request(&download);
      ASSERT_TRUE(reply);
      ASSERT_EQ(reply->GetVariableLong(VID_RCC), 0u);
      EXPECT_TRUE(agent.waitSessions(0, 20000)) << "the stalled session still holds its sender";
   }
}

TEST(AgentProtocol, FileFramesMayCarryAlignmentPadding) {
   TempDir store;
   RunningAgent agent({{"agent", "FileStore", store.path()}});
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   CSCPMessage upload;
   upload.SetCode(CMD_UPLOAD_FILE);
   upload.SetVariable(VID_FILE_NAME, L"padded.bin");
   auto first = client->request(&upload);
   ASSERT_TRUE(first);
   ASSERT_EQ(first->GetVariableLong(VID_RCC), 0u);
   // "abc" and "defgh", each padded to the 8-byte boundary.
   uint8_t frames[48] = {};
   PutHeader(frames, CMD_FILE_DATA, MF_BINARY, 24, upload.GetId(), 3);
   memcpy(frames + 16, "abc", 3);
   PutHeader(frames + 24, CMD_FILE_DATA, MF_BINARY | MF_END_OF_FILE, 24, upload.GetId(), 5);
   memcpy(frames + 40, "defgh", 5);
   ASSERT_TRUE(client->sendBytes(frames, sizeof(frames)));
   auto second = client->receive(10000);
   ASSERT_TRUE(second);
   EXPECT_EQ(second->GetVariableLong(VID_RCC), 0u);
   std::string stored;
   ASSERT_TRUE(ReadTextFile(store.file("padded.bin"), &stored));
   EXPECT_EQ(stored, "abcdefgh");

   // Eight bytes past the data are more than padding.
   uint8_t tooMuch[32] = {};
   PutHeader(tooMuch, CMD_FILE_DATA, MF_BINARY, 32, 77, 8);
   ASSERT_TRUE(client->sendBytes(tooMuch, sizeof(tooMuch)));
   EXPECT_TRUE(client->waitClosed(5000));
}

TEST(AgentProtocol, UploadOverTheLimitIsRefusedAtTheEnd) {
   TempDir store, local;
   RunningAgent agent({{"agent", "FileStore", store.path()}, {"agent", "MaxUploadSize", "1000"}});
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   ASSERT_TRUE(WriteTextFile(local.file("big.bin"), std::string(5000, 'x')));
   CSCPMessage upload;
   upload.SetCode(CMD_UPLOAD_FILE);
   upload.SetVariable(VID_FILE_NAME, L"big.bin");
   auto first = client->request(&upload);
   ASSERT_TRUE(first);
   ASSERT_EQ(first->GetVariableLong(VID_RCC), 0u);
   const std::string narrow = local.file("big.bin");
   std::wstring path(narrow.begin(), narrow.end());
   ASSERT_TRUE(SendFileOverHKCP(client->socket(), upload.GetId(), path.c_str(), nullptr, 0, nullptr,
                                nullptr, nullptr));
   auto second = client->receive(10000);
   ASSERT_TRUE(second);
   EXPECT_EQ(second->GetVariableLong(VID_RCC), ERR_IO_FAILURE);
   EXPECT_TRUE(std::filesystem::is_empty(store.path()));
}

TEST(AgentProtocol, TrapOnConfigReplacedAndPushOnDemand) {
   TempDir dir;
   std::string config = dir.file("agent.conf");
   ASSERT_TRUE(WriteTextFile(config, "[agent]\n"));
   RunningAgent agent({{"agent", "AllowConfigUpdate", "yes"}}, config);
   ASSERT_TRUE(agent.started());
   auto listener = Connect(agent);
   ASSERT_TRUE(listener);
   EXPECT_EQ(listener->simple(CMD_ENABLE_TRAPS), 0u);
   auto quiet = Connect(agent);
   ASSERT_TRUE(quiet);

   auto changer = Connect(agent);
   ASSERT_TRUE(changer);
   std::string text = "[agent]\nPushParameters = System.CPU.Count\n";
   CSCPMessage update;
   update.SetCode(CMD_UPDATE_CONFIG_FILE);
   update.SetVariable(VID_CONFIG_FILE, (const uint8_t *)text.data(), (uint32_t)text.size());
   auto reply = changer->request(&update);
   ASSERT_TRUE(reply);
   ASSERT_EQ(reply->GetVariableLong(VID_RCC), 0u);

   auto trap = listener->waitFor(CMD_TRAP, 5000);
   ASSERT_TRUE(trap);
   EXPECT_EQ(trap->GetVariableLong(codes::VID_AGENT_EVENT_CODE), codes::TRAP_CONFIG_REPLACED);
   // The session without traps got nothing before its next reply.
   EXPECT_EQ(quiet->simple(CMD_NOP), 0u);
   EXPECT_TRUE(quiet->unsolicited().empty());

   EXPECT_EQ(listener->simple(codes::CMD_PUSH_NOW), 0u);
   auto push = listener->waitFor(CMD_DATA_PUSH, 5000);
   ASSERT_TRUE(push);
   ASSERT_EQ(push->GetVariableLong(VID_NUM_ELEMENTS), 1u);
   wchar_t name[64];
   push->GetVariableStr(VID_ITEM_LIST_BASE, name, 64);
   EXPECT_STREQ(name, L"System.CPU.Count");
}

TEST(AgentProtocol, ProxyRelaysToAnotherAgent) {
   RunningAgent inner({{"agent", "Secret", "inner-agent-secret"}});
   RunningAgent outer({{"agent", "Secret", "outer-agent-secret"},
                       {"agent", "EnableProxy", "yes"},
                       {"agent", "ProxyTargets", "127.0.0.1"}});
   ASSERT_TRUE(inner.started() && outer.started());
   auto client = Connect(outer);
   ASSERT_TRUE(client);
   ASSERT_TRUE(client->setupEncryption(TestServerKey()));
   EXPECT_EQ(client->authenticate(codes::AUTH_MD5_HASH, "outer-agent-secret"), 0u);
   CSCPMessage proxy;
   proxy.SetCode(CMD_SETUP_PROXY_CONNECTION);
   proxy.SetVariable(VID_IP_ADDRESS, (uint32_t)INADDR_LOOPBACK);
   proxy.SetVariable(VID_AGENT_PORT, inner.port());
   auto reply = client->request(&proxy);
   ASSERT_TRUE(reply);
   ASSERT_EQ(reply->GetVariableLong(VID_RCC), 0u);

   // From here on the bytes reach the inner agent, unencrypted until a new
   // key is agreed with it.
   RawClient &tunnel = *client;
   tunnel.dropEncryption();
   EXPECT_EQ(tunnel.simple(CMD_NOP), ERR_AUTH_REQUIRED);
   EXPECT_EQ(tunnel.authenticate(codes::AUTH_PLAINTEXT, "inner-agent-secret"), 0u);
   ASSERT_TRUE(tunnel.setupEncryption(TestServerKey()));
   CSCPMessage rq;
   rq.SetCode(CMD_GET_PARAMETER);
   rq.SetVariable(VID_PARAMETER, L"System.Hostname");
   auto value = tunnel.request(&rq);
   ASSERT_TRUE(value);
   EXPECT_EQ(value->GetVariableLong(VID_RCC), 0u);
   EXPECT_EQ(inner.server().sessionCount(), 1u);

   client.reset();  // closing the server side ends both hops
   EXPECT_TRUE(inner.waitSessions(0));
   EXPECT_TRUE(outer.waitSessions(0));
}

TEST(AgentProtocol, SessionLimitRefusesAndRecovers) {
   RunningAgent agent({{"agent", "MaxSessions", "2"}, {"agent", "MaxSessionsPerAddress", "2"}});
   ASSERT_TRUE(agent.started());
   auto a = Connect(agent);
   auto b = Connect(agent);
   ASSERT_TRUE(a && b);
   RawClient c;
   ASSERT_TRUE(c.connect(agent.port()));
   EXPECT_TRUE(c.waitClosed(5000));
   a.reset();
   ASSERT_TRUE(agent.waitSessions(1));
   auto d = Connect(agent);
   ASSERT_TRUE(d);
   EXPECT_EQ(d->simple(CMD_NOP), 0u);
}

TEST(AgentProtocol, ThousandConcurrentSessions) {
   const int kSessions = 1000;
   // Both ends of every connection live in this process.
   struct rlimit limit;
   ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
   if (limit.rlim_cur < limit.rlim_max) {
      limit.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_NOFILE, &limit);
   }
   ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
   ASSERT_GE(limit.rlim_cur, (rlim_t)(2 * kSessions + 100)) << "open-file limit too low";
   RunningAgent agent(
       {{"agent", "MaxSessions", "1100"}, {"agent", "MaxSessionsPerAddress", "1100"}});
   ASSERT_TRUE(agent.started());
   std::vector<std::unique_ptr<RawClient>> clients;
   for (int i = 0; i < kSessions; i++) {
      auto client = Connect(agent);
      ASSERT_TRUE(client) << "session " << i;
      clients.push_back(std::move(client));
   }
   ASSERT_TRUE(agent.waitSessions(kSessions, 30000));
   // Every session answers while all of them are open.
   for (int i = 0; i < kSessions; i++)
      ASSERT_EQ(clients[i]->simple(CMD_NOP), 0u) << "session " << i;
   clients.clear();
   EXPECT_TRUE(agent.waitSessions(0, 30000));
}

TEST(AgentProtocol, ReplyTooLargeForAFrameBecomesOutOfResources) {
   TempDir dir;
   std::string config = dir.file("agent.conf");
   std::string text = "[agent]\n";
   while (text.size() < 300000)
      text += "# a comment line that only makes the file large enough for the test\n";
   ASSERT_TRUE(WriteTextFile(config, text));
   RunningAgent agent({}, config);
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   EXPECT_EQ(client->simple(CMD_GET_CONFIG_FILE), ERR_OUT_OF_RESOURCES);
   EXPECT_EQ(client->simple(CMD_NOP), 0u);
}

TEST(AgentProtocol, PeriodicPushReachesSessionsWithTraps) {
   RunningAgent agent(
       {{"agent", "PushInterval", "1"}, {"agent", "PushParameters", "System.Uptime"}});
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   EXPECT_EQ(client->simple(CMD_ENABLE_TRAPS), 0u);
   auto push = client->waitFor(CMD_DATA_PUSH, 10000);
   ASSERT_TRUE(push);
   EXPECT_EQ(push->GetVariableLong(VID_NUM_ELEMENTS), 1u);
   EXPECT_NE(push->GetVariableInt64(codes::VID_AGENT_TIMESTAMP), 0u);
}
