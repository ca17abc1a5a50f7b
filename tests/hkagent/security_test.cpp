// What the agent refuses unless it was told to allow it, over loopback
// against the agent's own server: each refusal with its result code, and
// nothing changed on disk.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "agent_codes.h"
#include "agent_fixture.h"
#include "agent_test_client.h"
#include "hesker.h"
#include "test_dirs.h"

using namespace hkagent_test;
namespace codes = hkagent;

namespace {

std::unique_ptr<RawClient> Connect(RunningAgent &agent) {
   auto client = std::make_unique<RawClient>();
   int version = 0;
   if (!client->connect(agent.port()) || !client->probeVersion(&version))
      return nullptr;
   return client;
}

std::vector<std::string> Entries(const std::string &dir) {
   std::vector<std::string> names;
   for (const auto &entry : std::filesystem::directory_iterator(dir))
      names.push_back(entry.path().filename().string());
   std::sort(names.begin(), names.end());
   return names;
}

uint32_t Rcc(const std::unique_ptr<CSCPMessage> &reply) {
   return reply ? reply->GetVariableLong(VID_RCC) : 0xFFFFFFFFu;
}

// Uploads `size` bytes as name; the second reply's result (or the first's
// when that refuses).
uint32_t Upload(RawClient &client, const TempDir &local, const wchar_t *name, size_t size) {
   WriteTextFile(local.file("payload"), std::string(size, 'p'));
   CSCPMessage upload;
   upload.SetCode(CMD_UPLOAD_FILE);
   upload.SetVariable(VID_FILE_NAME, name);
   uint32_t rcc = Rcc(client.request(&upload));
   if (rcc != 0)
      return rcc;
   std::string path = local.file("payload");
   std::wstring wide(path.begin(), path.end());
   if (!SendFileOverHKCP(client.socket(), upload.GetId(), wide.c_str(), client.context(), 0,
                         nullptr, nullptr, nullptr))
      return 0xFFFFFFFEu;
   return Rcc(client.receive(10000));
}

}  // namespace

TEST(AgentRefusals, NoSecretWithoutTheExplicitSetting) {
   RunningAgent refused({{"agent", "AllowNoAuthentication", "no"}});
   EXPECT_FALSE(refused.started());
   RunningAgent withSecret({{"agent", "AllowNoAuthentication", "no"}, {"agent", "Secret", "x"}});
   EXPECT_TRUE(withSecret.started());
}

// ---------------------------------------------------------------- config update
struct UpdateCase {
   const char *name;
   std::string added;  // appended to the local file's text
   bool allowUpdate;   // AllowConfigUpdate in the local file
   uint32_t rcc;
   std::string refused;  // VID_AGENT_REFUSED_KEYS
};

class ConfigUpdateRefusal : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(ConfigUpdateRefusal, RefusedWithTheKeysAndTheFileUntouched) {
   const UpdateCase &c = GetParam();
   TempDir dir;
   std::string path = dir.file("agent.conf");
   std::string local = std::string("[agent]\nSecret = s\nFileStore = ") + dir.path() + "\n" +
                       (c.allowUpdate ? "AllowConfigUpdate = yes\n" : "") +
                       "[actions]\nok = /bin/true\n";
   ASSERT_TRUE(WriteTextFile(path, local));
   RunningAgent agent({}, path);
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   ASSERT_EQ(client->authenticate(codes::AUTH_SHA1_HASH, "s"), 0u);
   std::string text = local + c.added;
   CSCPMessage update;
   update.SetCode(CMD_UPDATE_CONFIG_FILE);
   update.SetVariable(VID_CONFIG_FILE, (const uint8_t *)text.data(), (uint32_t)text.size());
   auto reply = client->request(&update);
   ASSERT_TRUE(reply);
   EXPECT_EQ(Rcc(reply), c.rcc);
   wchar_t refused[512] = {};
   reply->GetVariableStr(codes::VID_AGENT_REFUSED_KEYS, refused, 512);
   EXPECT_EQ(std::wstring(refused), std::wstring(c.refused.begin(), c.refused.end()));
   std::string onDisk;
   ASSERT_TRUE(ReadTextFile(path, &onDisk));
   EXPECT_EQ(onDisk, c.rcc == 0 ? text : local);
   EXPECT_EQ(agent.runtime().config()->secret, "s");
}

INSTANTIATE_TEST_SUITE_P(
    Agent, ConfigUpdateRefusal,
    ::testing::Values(
        UpdateCase{"OffByDefault", "[agent]\nLogLevel = debug\n", false, 403, ""},
        UpdateCase{"Secret", "[agent]\nSecret = mine\n", true, 403, "Secret"},
        UpdateCase{"AddedAction", "[actions]\nsh = /bin/sh -c {1}\n", true, 403, "[actions] sh"},
        UpdateCase{"RemovedSetting", "", true, 0, ""},  // same text: accepted
        UpdateCase{"FileStore", "[agent]\nFileStore = /\n", true, 403, "FileStore"},
        UpdateCase{"ListenAddress", "[agent]\nListenAddress = 0.0.0.0\n", true, 403,
                   "ListenAddress"},
        UpdateCase{"Switches", "[agent]\nEnableProxy = yes\nProxyTargets = 0.0.0.0/0\n", true, 403,
                   "EnableProxy, ProxyTargets"},
        UpdateCase{"Limits", "[agent]\nMaxSessions = 5\nFileStoreQuota = 1\n", true, 403,
                   "FileStoreQuota, MaxSessions"},
        UpdateCase{"TheSwitchItself", "[agent]\nAllowNoAuthentication = yes\n", true, 403,
                   "AllowNoAuthentication"},
        UpdateCase{"RemoteKeysPass", "[agent]\nLogLevel = warning\nPushInterval = 9\n", true, 0,
                   ""}),
    [](const ::testing::TestParamInfo<UpdateCase> &info) { return info.param.name; });

// ---------------------------------------------------------------- actions
struct ActionCase {
   const char *name;
   const wchar_t *action;
   std::vector<std::wstring> args;
   uint32_t rcc;
};

class ActionArguments : public ::testing::TestWithParam<ActionCase> {};

TEST_P(ActionArguments, TakenOnlyWhereDeclared) {
   const ActionCase &c = GetParam();
   TempDir work;
   // Every action would create files in the folder if it ran with the
   // refused arguments; the folder stays empty on refusal.
   RunningAgent agent({{"actions", "fixed", "/usr/bin/touch " + work.file("fixed")},
                       {"actions", "one", "/usr/bin/touch " + work.path() + "/{1}"},
                       {"actions", "bare", "/usr/bin/touch {1}"},
                       {"actions", "rest", "/usr/bin/touch {*}"},
                       {"actions", "dash", "/bin/echo {1:dash}"}});
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   CSCPMessage rq;
   rq.SetCode(CMD_EXEC_ACTION);
   rq.SetVariable(VID_ACTION_NAME, c.action);
   rq.SetVariable(VID_NUM_ARGS, (uint32_t)c.args.size());
   for (size_t i = 0; i < c.args.size(); i++)
      rq.SetVariable(VID_ITEM_LIST_BASE + (uint32_t)i, c.args[i].c_str());
   EXPECT_EQ(Rcc(client->request(&rq)), c.rcc);
   if (c.rcc != 0) {
      EXPECT_TRUE(Entries(work.path()).empty());
   }
}

INSTANTIATE_TEST_SUITE_P(
    Agent, ActionArguments,
    ::testing::Values(ActionCase{"NoneDeclared", L"fixed", {L"x"}, 913},
                      ActionCase{"TooFew", L"one", {}, 913},
                      ActionCase{"TooMany", L"one", {L"a", L"b"}, 913},
                      ActionCase{"OptionSmuggled", L"bare", {L"-exec"}, 403},
                      ActionCase{
                          "OptionInTheRest", L"rest", {L"a", L"--reference=/etc/shadow"}, 403},
                      ActionCase{"LoneDash", L"bare", {L"-"}, 403},
                      ActionCase{"DashWhereAllowed", L"dash", {L"-n"}, 0},
                      ActionCase{"DeclaredArgument", L"one", {L"made"}, 0}),
    [](const ::testing::TestParamInfo<ActionCase> &info) { return info.param.name; });

// ---------------------------------------------------------------- sessions
TEST(AgentRefusals, SilentSessionsEndAtTheHandshakeDeadline) {
   RunningAgent agent({{"agent", "Secret", "s"}, {"agent", "AuthTimeout", "200"}});
   ASSERT_TRUE(agent.started());
   auto silent = Connect(agent);  // the version probe is no handshake
   ASSERT_TRUE(silent);
   auto done = Connect(agent);
   ASSERT_TRUE(done);
   ASSERT_EQ(done->authenticate(codes::AUTH_SHA1_HASH, "s"), 0u);
   EXPECT_TRUE(silent->waitClosed(5000));
   EXPECT_EQ(done->simple(CMD_NOP), 0u);  // past the deadline, still served
   EXPECT_TRUE(agent.waitSessions(1));
}

TEST(AgentRefusals, OneAddressGetsOnlyItsShareOfSessions) {
   RunningAgent agent({{"agent", "MaxSessions", "10"}, {"agent", "MaxSessionsPerAddress", "2"}});
   ASSERT_TRUE(agent.started());
   auto first = Connect(agent), second = Connect(agent);
   ASSERT_TRUE(first && second);
   RawClient third;
   ASSERT_TRUE(third.connect(agent.port()));
   EXPECT_TRUE(third.waitClosed(5000));
   EXPECT_EQ(agent.server().sessionCount(), 2u);
   first.reset();
   ASSERT_TRUE(agent.waitSessions(1));
   EXPECT_TRUE(Connect(agent));  // a freed slot is taken again
}

TEST(AgentRefusals, RepeatedAuthFailuresBlockTheAddress) {
   RunningAgent agent({{"agent", "Secret", "right"},
                       {"agent", "MaxAuthFailures", "2"},
                       {"agent", "AuthBlockTime", "600"}});
   ASSERT_TRUE(agent.started());
   for (int i = 0; i < 2; i++) {
      auto guess = Connect(agent);
      ASSERT_TRUE(guess);
      EXPECT_EQ(guess->authenticate(codes::AUTH_SHA1_HASH, "wrong"), codes::ERR_AUTH_FAILED);
      EXPECT_TRUE(guess->waitClosed(5000));
   }
   auto blocked = Connect(agent);
   ASSERT_TRUE(blocked);
   EXPECT_EQ(blocked->authenticate(codes::AUTH_SHA1_HASH, "right"), codes::ERR_AUTH_FAILED);
   EXPECT_TRUE(blocked->waitClosed(5000));
}

// ---------------------------------------------------------------- reaching out
struct TargetCase {
   const char *name;
   uint16_t code;
   const char *targets;  // the list the request's kind is given
   bool toSelf;          // aim at the agent's own listening port
   uint32_t rcc;
};

class TargetRefusal : public ::testing::TestWithParam<TargetCase> {};

TEST_P(TargetRefusal, OnlyListedTargets) {
   const TargetCase &c = GetParam();
   // A listener of the test's own, as an allowed target would be.
   int listener = socket(AF_INET, SOCK_STREAM, 0);
   struct sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t length = sizeof(sa);
   ASSERT_EQ(bind(listener, (struct sockaddr *)&sa, sizeof(sa)), 0);
   ASSERT_EQ(listen(listener, 4), 0);
   getsockname(listener, (struct sockaddr *)&sa, &length);
   RunningAgent agent(
       {{"agent", "EnableProxy", "yes"},
        {"agent", "EnableSnmpProxy", "yes"},
        {"agent", "ProxyTargets", c.code == CMD_SETUP_PROXY_CONNECTION ? c.targets : ""},
        {"agent", "SnmpProxyTargets", c.code == CMD_SNMP_REQUEST ? c.targets : ""},
        {"agent", "ServiceCheckTargets", c.code == CMD_CHECK_NETWORK_SERVICE ? c.targets : ""}});
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   uint16_t port = c.toSelf ? agent.port() : ntohs(sa.sin_port);
   CSCPMessage rq;
   rq.SetCode(c.code);
   rq.SetVariable(VID_IP_ADDRESS, (uint32_t)INADDR_LOOPBACK);
   rq.SetVariable(VID_AGENT_PORT, port);
   rq.SetVariable(VID_IP_PORT, port);
   rq.SetVariable(VID_PORT, port);
   const uint8_t pdu[] = {0x30, 0x00};
   rq.SetVariable(VID_PDU, pdu, (uint32_t)sizeof(pdu));
   EXPECT_EQ(Rcc(client->request(&rq)), c.rcc);
   close(listener);
}

INSTANTIATE_TEST_SUITE_P(
    Agent, TargetRefusal,
    ::testing::Values(
        TargetCase{"ProxyUnlisted", CMD_SETUP_PROXY_CONNECTION, "127.0.0.2", false, 403},
        TargetCase{"ProxyWrongPort", CMD_SETUP_PROXY_CONNECTION, "127.0.0.1:1", false, 403},
        TargetCase{"ProxyToItself", CMD_SETUP_PROXY_CONNECTION, "127.0.0.0/8", true, 403},
        TargetCase{"SnmpUnlisted", CMD_SNMP_REQUEST, "", false, 403},
        TargetCase{"SnmpToItself", CMD_SNMP_REQUEST, "0.0.0.0/0", true, 403},
        TargetCase{"ServiceUnlisted", CMD_CHECK_NETWORK_SERVICE, "10.0.0.0/8", false, 403},
        TargetCase{"ServiceToItself", CMD_CHECK_NETWORK_SERVICE, "127.0.0.1", true, 403},
        TargetCase{"ServiceListed", CMD_CHECK_NETWORK_SERVICE, "127.0.0.0/8", false, 0}),
    [](const ::testing::TestParamInfo<TargetCase> &info) { return info.param.name; });

// ---------------------------------------------------------------- file store
struct NameCase {
   const char *name;
   std::wstring fileName;  // a '#' in it goes out as a NUL character
};

// Sends rq with every '#' of its strings turned into a NUL on the wire
// (the message API stops a string at its first NUL); the reply.
std::unique_ptr<CSCPMessage> RequestWithNuls(RawClient &client, CSCPMessage *rq) {
   rq->SetId(client.nextId());
   CSCP_MESSAGE *frame = rq->CreateMessage();
   uint32_t size = ntohl(frame->dwSize);
   auto *bytes = reinterpret_cast<uint8_t *>(frame);
   for (uint32_t i = HKCP_HEADER_SIZE; i + 1 < size; i++) {
      if ((bytes[i] == 0 && bytes[i + 1] == '#') || (bytes[i] == '#' && bytes[i + 1] == 0))
         bytes[i] = bytes[i + 1] = 0;
   }
   bool sent = client.sendBytes(frame, size);
   free(frame);
   if (!sent)
      return nullptr;
   for (;;) {
      std::unique_ptr<CSCPMessage> reply = client.receive(10000);
      if (!reply || (reply->GetCode() == CMD_REQUEST_COMPLETED && reply->GetId() == rq->GetId()))
         return reply;
   }
}

class FileNameRefusal : public ::testing::TestWithParam<NameCase> {};

TEST_P(FileNameRefusal, RefusedBeforeAnyData) {
   TempDir store;
   RunningAgent agent({{"agent", "FileStore", store.path()}});
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   for (uint16_t code : {(uint16_t)CMD_UPLOAD_FILE, codes::CMD_GET_AGENT_FILE}) {
      CSCPMessage rq;
      rq.SetCode(code);
      rq.SetVariable(VID_FILE_NAME, GetParam().fileName.c_str());
      EXPECT_EQ(Rcc(RequestWithNuls(*client, &rq)), codes::ERR_BAD_ARGUMENTS) << code;
   }
   EXPECT_TRUE(Entries(store.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Agent, FileNameRefusal,
    ::testing::Values(NameCase{"Nul", L"a#b.txt"}, NameCase{"Newline", L"a\nb.txt"},
                      NameCase{"Escape", L"a\x1b[2Jb"}, NameCase{"C1Control", L"a\x85z"},
                      NameCase{"TooLong", std::wstring(1025, L'n')}),
    [](const ::testing::TestParamInfo<NameCase> &info) { return info.param.name; });

TEST(AgentRefusals, FileStoreQuotaInBytesAndFiles) {
   TempDir store, local;
   ASSERT_TRUE(WriteTextFile(store.file("old"), std::string(60, 'o')));
   RunningAgent agent({{"agent", "FileStore", store.path()},
                       {"agent", "FileStoreQuota", "100"},
                       {"agent", "FileStoreMaxFiles", "3"}});
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   // 60 used: 50 more pass the quota, 40 fit.
   EXPECT_EQ(Upload(*client, local, L"big", 50), codes::ERR_IO_FAILURE);
   EXPECT_EQ(Entries(store.path()), std::vector<std::string>{"old"});
   EXPECT_EQ(Upload(*client, local, L"fits", 40), 0u);
   // Full in bytes now; after a removal, full in files.
   EXPECT_EQ(Upload(*client, local, L"more", 1), codes::ERR_OUT_OF_RESOURCES);
   ASSERT_EQ(unlink(store.file("old").c_str()), 0);
   EXPECT_EQ(Upload(*client, local, L"a", 1), 0u);
   EXPECT_EQ(Upload(*client, local, L"b", 1), 0u);
   EXPECT_EQ(Upload(*client, local, L"c", 1), codes::ERR_OUT_OF_RESOURCES);
   EXPECT_EQ(Entries(store.path()), (std::vector<std::string>{"a", "b", "fits"}));
}

TEST(AgentRefusals, LeftoverUploadsAreRemovedAtStart) {
   TempDir store;
   std::filesystem::create_directory(store.file("sub"));
   ASSERT_TRUE(WriteTextFile(store.file(".hkagent-upload-0123456789abcdef"), "half"));
   ASSERT_TRUE(WriteTextFile(store.file("sub/.hkagent-upload-fedcba9876543210"), "half"));
   ASSERT_TRUE(WriteTextFile(store.file("sub/kept"), "whole"));
   RunningAgent agent({{"agent", "FileStore", store.path()}});
   ASSERT_TRUE(agent.started());
   EXPECT_EQ(Entries(store.path()), std::vector<std::string>{"sub"});
   EXPECT_EQ(Entries(store.file("sub")), std::vector<std::string>{"kept"});
}
