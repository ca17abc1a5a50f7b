// The dispatcher on crafted messages: authentication and encryption rules,
// every request area, and the follow-ups it asks the session for.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "agent_codes.h"
#include "dispatcher.h"
#include "test_dirs.h"

using namespace hkagent;
using hkagent_test::FileExists;
using hkagent_test::ReadTextFile;
using hkagent_test::TempDir;
using hkagent_test::WriteTextFile;

namespace {

class RecordingTraps : public TrapSink {
public:
   void sendTrap(uint32_t code, const std::string &text) override {
      std::lock_guard<std::mutex> guard(lock);
      codes.push_back(code);
   }
   std::mutex lock;
   std::vector<uint32_t> codes;
};

class DispatcherTest : public ::testing::Test {
protected:
   void SetUp() override {
      configPath = dir.file("agent.conf");
      ASSERT_TRUE(WriteTextFile(configPath, "[agent]\nPort = 0\n"));
      runtime = std::make_unique<AgentRuntime>(configPath, std::vector<SettingOverride>{});
      std::vector<ConfigDiagnostic> diagnostics;
      ASSERT_TRUE(runtime->load(&diagnostics));
      runtime->setTrapSink(&traps);
      dispatcher = std::make_unique<Dispatcher>(*runtime);
   }

   void configure(void (*change)(AgentConfig *), const std::string &store = "",
                  const std::string &policies = "") {
      AgentConfig config = *runtime->config();
      change(&config);
      if (!store.empty())
         config.fileStore = store;
      if (!policies.empty())
         config.policyDir = policies;
      runtime->setConfig(config);
   }

   // Dispatches and returns the reply's VID_RCC.
   uint32_t run(CSCPMessage &request, CSCPMessage *reply = nullptr,
                DispatchOutcome *outcome = nullptr) {
      CSCPMessage localReply;
      DispatchOutcome localOutcome;
      CSCPMessage *r = reply ? reply : &localReply;
      request.SetId(++lastId);
      dispatcher->dispatch(state, request, r, outcome ? outcome : &localOutcome);
      EXPECT_EQ(r->GetId(), lastId);
      return r->GetVariableLong(VID_RCC);
   }

   uint32_t code(uint16_t c) {
      CSCPMessage request;
      request.SetCode(c);
      return run(request);
   }

   static void Named(CSCPMessage &m, uint16_t c, uint32_t id, const wchar_t *name) {
      m.SetCode(c);
      m.SetVariable(id, name);
   }

   TempDir dir;
   std::string configPath;
   RecordingTraps traps;
   std::unique_ptr<AgentRuntime> runtime;
   std::unique_ptr<Dispatcher> dispatcher;
   SessionState state;
   uint32_t lastId = 100;
};

void FillAuth(CSCPMessage &m, uint16_t method, const std::string &secret) {
   m.SetCode(CMD_AUTHENTICATE);
   m.SetVariable(VID_AUTH_METHOD, method);
   if (method == AUTH_PLAINTEXT) {
      std::wstring wide;
      for (unsigned char c : secret)
         wide.push_back((wchar_t)c);
      m.SetVariable(VID_SHARED_SECRET, wide.c_str());
   } else if (method == AUTH_MD5_HASH || method == AUTH_SHA1_HASH) {
      uint8_t digest[SHA1_DIGEST_SIZE];
      if (method == AUTH_MD5_HASH)
         CalculateMD5Hash((const uint8_t *)secret.data(), secret.size(), digest);
      else
         CalculateSHA1Hash((const uint8_t *)secret.data(), secret.size(), digest);
      m.SetVariable(VID_SHARED_SECRET, digest,
                    (uint32_t)(method == AUTH_MD5_HASH ? MD5_DIGEST_SIZE : SHA1_DIGEST_SIZE));
   }
}

}  // namespace

TEST_F(DispatcherTest, WithoutSecretRequestsAreServedAndAuthIsNotRequired) {
   EXPECT_EQ(code(CMD_NOP), ERR_SUCCESS);
   CSCPMessage auth;
   FillAuth(auth, AUTH_PLAINTEXT, "x");
   EXPECT_EQ(run(auth), ERR_AUTH_NOT_REQUIRED);
   EXPECT_EQ(code(0x6FFF), ERR_UNKNOWN_COMMAND);
   EXPECT_EQ(code(CMD_START_UPGRADE), ERR_NOT_IMPLEMENTED);
}

TEST_F(DispatcherTest, EachMethodWithTheRightSecretAuthenticates) {
   configure([](AgentConfig *c) { c->secret = "pa55\xE9word"; });
   for (uint16_t method : {AUTH_PLAINTEXT, AUTH_MD5_HASH, AUTH_SHA1_HASH}) {
      state = SessionState();
      EXPECT_EQ(code(CMD_NOP), ERR_AUTH_REQUIRED) << method;
      CSCPMessage auth;
      FillAuth(auth, method, "pa55\xE9word");
      DispatchOutcome outcome;
      CSCPMessage reply;
      EXPECT_EQ(run(auth, &reply, &outcome), ERR_SUCCESS) << method;
      EXPECT_EQ(outcome.followUp, FollowUp::None);
      EXPECT_EQ(code(CMD_NOP), ERR_SUCCESS) << method;
      EXPECT_EQ(run(auth), ERR_ALREADY_AUTHENTICATED) << method;
   }
}

TEST_F(DispatcherTest, WrongSecretsFailAndEndTheSession) {
   configure([](AgentConfig *c) { c->secret = "right"; });
   struct Case {
      uint16_t method;
      std::string secret;
   } cases[] = {{AUTH_PLAINTEXT, "wrong"},
                {AUTH_PLAINTEXT, "righ"},
                {AUTH_PLAINTEXT, "right!"},
                {AUTH_PLAINTEXT, ""},
                {AUTH_MD5_HASH, "wrong"},
                {AUTH_SHA1_HASH, "wrong"},
                {AUTH_NONE, ""},
                {7, "right"}};
   for (const Case &c : cases) {
      state = SessionState();
      CSCPMessage auth;
      FillAuth(auth, c.method, c.secret);
      DispatchOutcome outcome;
      CSCPMessage reply;
      EXPECT_EQ(run(auth, &reply, &outcome), ERR_AUTH_FAILED) << c.method << " " << c.secret;
      EXPECT_EQ(outcome.followUp, FollowUp::CloseSession);
      EXPECT_FALSE(state.authenticated);
   }
   // A digest of the wrong length never matches, not even as a prefix.
   state = SessionState();
   uint8_t digest[MD5_DIGEST_SIZE];
   CalculateMD5Hash((const uint8_t *)"right", 5, digest);
   CSCPMessage shortDigest;
   shortDigest.SetCode(CMD_AUTHENTICATE);
   shortDigest.SetVariable(VID_AUTH_METHOD, AUTH_SHA1_HASH);
   shortDigest.SetVariable(VID_SHARED_SECRET, digest, (uint32_t)sizeof(digest));
   EXPECT_EQ(run(shortDigest), ERR_AUTH_FAILED);
}

TEST_F(DispatcherTest, EncryptionRequiredRefusesPlainSessions) {
   configure([](AgentConfig *c) {
      c->requireEncryption = true;
      c->secret = "s";
   });
   EXPECT_EQ(code(CMD_NOP), ERR_ENCRYPTION_REQUIRED);
   CSCPMessage auth;
   FillAuth(auth, AUTH_PLAINTEXT, "s");
   EXPECT_EQ(run(auth), ERR_ENCRYPTION_REQUIRED);
   // The key request is answered all the same.
   CSCPMessage keyRequest;
   keyRequest.SetCode(CMD_REQUEST_SESSION_KEY);
   CSCPMessage reply;
   DispatchOutcome outcome;
   run(keyRequest, &reply, &outcome);
   EXPECT_EQ(reply.GetCode(), CMD_SESSION_KEY);
   state.encrypted = true;
   EXPECT_EQ(code(CMD_NOP), ERR_AUTH_REQUIRED);
   EXPECT_EQ(run(auth), ERR_SUCCESS);
   EXPECT_EQ(code(CMD_NOP), ERR_SUCCESS);
}

TEST_F(DispatcherTest, ParametersOfTheHost) {
   CSCPMessage reply;
   for (const wchar_t *name :
        {L"System.Hostname", L"System.Uptime", L"System.CPU.Count", L"System.Memory.Physical.Total",
         L"System.Memory.Physical.Free", L"System.CPU.LoadAvg", L"Agent.Version",
         L"system.hostname", L"Net.Interface.BytesIn(lo)", L"Net.Interface.BytesOut(1)",
         L"Net.Interface.MTU( lo )"}) {
      CSCPMessage rq;
      Named(rq, CMD_GET_PARAMETER, VID_PARAMETER, name);
      CSCPMessage r;
      ASSERT_EQ(run(rq, &r), ERR_SUCCESS) << name;
      wchar_t value[256];
      r.GetVariableStr(VID_VALUE, value, 256);
      EXPECT_NE(value[0], L'\0') << name;
   }
   CSCPMessage count;
   Named(count, CMD_GET_PARAMETER, VID_PARAMETER, L"System.CPU.Count");
   run(count, &reply);
   wchar_t value[64];
   reply.GetVariableStr(VID_VALUE, value, 64);
   EXPECT_GE(wcstol(value, nullptr, 10), 1);
}

TEST_F(DispatcherTest, BadParameterNamesAndInterfaceArguments) {
   struct Case {
      const wchar_t *name;
      uint32_t rcc;
   } cases[] = {
       {L"No.Such.Parameter", ERR_UNKNOWN_PARAMETER},
       {L"", ERR_UNKNOWN_PARAMETER},
       {L"Net.Interface.BytesIn(no-such-if0)", ERR_UNKNOWN_PARAMETER},
       {L"Net.Interface.BytesIn(../../../etc)", ERR_UNKNOWN_PARAMETER},
       {L"Net.Interface.BytesIn(lo/../../x)", ERR_UNKNOWN_PARAMETER},
       {L"Net.Interface.BytesIn(99999999)", ERR_UNKNOWN_PARAMETER},
       {L"Net.Interface.BytesIn", ERR_BAD_ARGUMENTS},
       {L"Net.Interface.BytesIn(lo,eth0)", ERR_BAD_ARGUMENTS},
       {L"Net.Interface.BytesIn(lo", ERR_BAD_ARGUMENTS},
       {L"System.Uptime(1)", ERR_BAD_ARGUMENTS},
   };
   for (const Case &c : cases) {
      CSCPMessage rq;
      Named(rq, CMD_GET_PARAMETER, VID_PARAMETER, c.name);
      EXPECT_EQ(run(rq), c.rcc) << c.name;
   }
   std::wstring longName(300, L'a');
   CSCPMessage rq;
   Named(rq, CMD_GET_PARAMETER, VID_PARAMETER, longName.c_str());
   EXPECT_EQ(run(rq), ERR_UNKNOWN_PARAMETER);
}

TEST_F(DispatcherTest, ListsAndTheirCounts) {
   for (const wchar_t *name : {L"Net.InterfaceList", L"Net.ArpCache", L"Net.IP.RoutingTable"}) {
      CSCPMessage rq;
      Named(rq, CMD_GET_LIST, VID_PARAMETER, name);
      CSCPMessage reply;
      ASSERT_EQ(run(rq, &reply), ERR_SUCCESS) << name;
      uint32_t n = reply.GetVariableLong(VID_NUM_STRINGS);
      for (uint32_t i = 0; i < n; i++)
         EXPECT_TRUE(reply.IsVariableExist(VID_ITEM_LIST_BASE + i));
      EXPECT_FALSE(reply.IsVariableExist(VID_ITEM_LIST_BASE + n));
   }
   CSCPMessage rq;
   Named(rq, CMD_GET_LIST, VID_PARAMETER, L"Net.InterfaceList");
   CSCPMessage reply;
   run(rq, &reply);
   EXPECT_GE(reply.GetVariableLong(VID_NUM_STRINGS), 1u);  // at least the loopback
   CSCPMessage unknown;
   Named(unknown, CMD_GET_LIST, VID_PARAMETER, L"Net.Nothing");
   EXPECT_EQ(run(unknown), ERR_UNKNOWN_PARAMETER);
}

TEST_F(DispatcherTest, SupportedParametersLayout) {
   CSCPMessage rq;
   rq.SetCode(CMD_GET_SUPPORTED_PARAMETERS);
   CSCPMessage reply;
   ASSERT_EQ(run(rq, &reply), ERR_SUCCESS);
   uint32_t n = reply.GetVariableLong(VID_NUM_PARAMETERS);
   ASSERT_GE(n, 10u);
   bool sawBytesIn = false;
   for (uint32_t i = 0; i < n; i++) {
      wchar_t name[256], description[256];
      reply.GetVariableStr(VID_ITEM_LIST_BASE + 3 * i, name, 256);
      reply.GetVariableStr(VID_ITEM_LIST_BASE + 3 * i + 1, description, 256);
      EXPECT_NE(name[0], L'\0');
      EXPECT_NE(description[0], L'\0');
      EXPECT_LE(reply.GetVariableShort(VID_ITEM_LIST_BASE + 3 * i + 2), DT_FLOAT);
      if (wcscmp(name, L"Net.Interface.BytesIn(*)") == 0)
         sawBytesIn = true;
   }
   EXPECT_TRUE(sawBytesIn);
   uint32_t m = reply.GetVariableLong(VID_NUM_TABLES);
   ASSERT_EQ(m, 2u);
   wchar_t table[256], instance[64];
   reply.GetVariableStr(VID_TABLE_LIST_BASE, table, 256);
   reply.GetVariableStr(VID_TABLE_LIST_BASE + 1, instance, 64);
   EXPECT_STREQ(table, L"System.Processes");
   EXPECT_STREQ(instance, L"PID");
}

TEST_F(DispatcherTest, TablesReadBackThroughTheLibrary) {
   CSCPMessage rq;
   Named(rq, CMD_GET_TABLE, VID_PARAMETER, L"System.Processes");
   CSCPMessage reply;
   ASSERT_EQ(run(rq, &reply), ERR_SUCCESS);
   Table table(&reply);
   ASSERT_GE(table.getNumRows(), 1);
   int pid = table.getColumnIndex(L"PID");
   ASSERT_GE(pid, 0);
   bool sawSelf = false;
   for (int r = 0; r < table.getNumRows(); r++)
      sawSelf = sawSelf || table.getAsInt(r, pid) == (int32_t)getpid();
   EXPECT_TRUE(sawSelf);

   CSCPMessage ifs;
   Named(ifs, CMD_GET_TABLE, VID_PARAMETER, L"Net.Interfaces");
   CSCPMessage ifReply;
   ASSERT_EQ(run(ifs, &ifReply), ERR_SUCCESS);
   Table ifTable(&ifReply);
   EXPECT_GE(ifTable.getNumRows(), 1);
   EXPECT_STREQ(ifTable.getInstanceColumn(), L"INDEX");
   CSCPMessage unknown;
   Named(unknown, CMD_GET_TABLE, VID_PARAMETER, L"No.Table");
   EXPECT_EQ(run(unknown), ERR_UNKNOWN_PARAMETER);
}

TEST_F(DispatcherTest, ActionsRunWithArgumentsAndLimits) {
   static std::string marker;
   marker = dir.file("ran");
   configure([](AgentConfig *c) {
      c->actions["write"].argv = {"/bin/sh", "-c", "printf %s \"$1\" > \"$0\"", marker, "{1:path}"};
      c->actions["fail"].argv = {"/bin/sh", "-c", "exit 4"};
      c->actions["slow"].argv = {"/bin/sleep", "30"};
      c->actionTimeoutMs = 200;
   });
   CSCPMessage rq;
   Named(rq, CMD_EXEC_ACTION, VID_ACTION_NAME, L"write");
   rq.SetVariable(VID_NUM_ARGS, (uint32_t)1);
   rq.SetVariable(VID_ITEM_LIST_BASE, L"; rm -rf /tmp/never");
   EXPECT_EQ(run(rq), ERR_SUCCESS);
   std::string content;
   ASSERT_TRUE(ReadTextFile(marker, &content));
   EXPECT_EQ(content, "; rm -rf /tmp/never");

   CSCPMessage fail;
   Named(fail, CMD_EXEC_ACTION, VID_ACTION_NAME, L"fail");
   EXPECT_EQ(run(fail), ERR_EXEC_FAILED);
   CSCPMessage slow;
   Named(slow, CMD_EXEC_ACTION, VID_ACTION_NAME, L"slow");
   EXPECT_EQ(run(slow), ERR_EXEC_FAILED);
   CSCPMessage unknown;
   Named(unknown, CMD_EXEC_ACTION, VID_ACTION_NAME, L"nope");
   EXPECT_EQ(run(unknown), ERR_UNKNOWN_PARAMETER);
   CSCPMessage missingArg;
   Named(missingArg, CMD_EXEC_ACTION, VID_ACTION_NAME, L"write");
   missingArg.SetVariable(VID_NUM_ARGS, (uint32_t)2);
   missingArg.SetVariable(VID_ITEM_LIST_BASE, L"a");
   EXPECT_EQ(run(missingArg), ERR_BAD_ARGUMENTS);
   CSCPMessage tooMany;
   Named(tooMany, CMD_EXEC_ACTION, VID_ACTION_NAME, L"write");
   tooMany.SetVariable(VID_NUM_ARGS, (uint32_t)100000);
   EXPECT_EQ(run(tooMany), ERR_BAD_ARGUMENTS);
}

TEST_F(DispatcherTest, ConfigFileIsReadAndReplacedAtomically) {
   const std::string original = "[agent]\nPort = 0\nAllowConfigUpdate = yes\n";
   ASSERT_TRUE(WriteTextFile(configPath, original));
   std::vector<ConfigDiagnostic> diagnostics;
   ASSERT_TRUE(runtime->load(&diagnostics));
   CSCPMessage get;
   get.SetCode(CMD_GET_CONFIG_FILE);
   CSCPMessage reply;
   ASSERT_EQ(run(get, &reply), ERR_SUCCESS);
   uint8_t bytes[64];
   uint32_t n = reply.GetVariableBinary(VID_CONFIG_FILE, bytes, sizeof(bytes));
   EXPECT_EQ(std::string((char *)bytes, n), original);

   struct stat before;
   ASSERT_EQ(stat(configPath.c_str(), &before), 0);
   std::string text = original + "PushInterval = 7\n";
   CSCPMessage update;
   update.SetCode(CMD_UPDATE_CONFIG_FILE);
   update.SetVariable(VID_CONFIG_FILE, (const uint8_t *)text.data(), (uint32_t)text.size());
   ASSERT_EQ(run(update), ERR_SUCCESS);
   std::string onDisk;
   ASSERT_TRUE(ReadTextFile(configPath, &onDisk));
   EXPECT_EQ(onDisk, text);
   struct stat after;
   ASSERT_EQ(stat(configPath.c_str(), &after), 0);
   EXPECT_NE(before.st_ino, after.st_ino);  // a new file renamed over, not rewritten
   EXPECT_EQ(runtime->config()->pushIntervalSec, 7u);
   ASSERT_EQ(traps.codes.size(), 1u);
   EXPECT_EQ(traps.codes[0], TRAP_CONFIG_REPLACED);

   // A text with errors is refused and changes nothing.
   std::string bad = "[agent]\nPort = lots\n";
   CSCPMessage badUpdate;
   badUpdate.SetCode(CMD_UPDATE_CONFIG_FILE);
   badUpdate.SetVariable(VID_CONFIG_FILE, (const uint8_t *)bad.data(), (uint32_t)bad.size());
   EXPECT_EQ(run(badUpdate), ERR_BAD_ARGUMENTS);
   ASSERT_TRUE(ReadTextFile(configPath, &onDisk));
   EXPECT_EQ(onDisk, text);
   EXPECT_EQ(traps.codes.size(), 1u);
   CSCPMessage empty;
   empty.SetCode(CMD_UPDATE_CONFIG_FILE);
   EXPECT_EQ(run(empty), ERR_MALFORMED_COMMAND);
   // No temporary files are left beside it.
   int entries = 0;
   for (const auto &e : std::filesystem::directory_iterator(dir.path()))
      entries += e.path().filename().string().rfind("agent.conf", 0) == 0;
   EXPECT_EQ(entries, 1);
}

TEST_F(DispatcherTest, UploadAndDownloadStayInsideTheStore) {
   TempDir store;
   ASSERT_TRUE(WriteTextFile(store.file("data.txt"), "hello"));
   ASSERT_TRUE(WriteTextFile(dir.file("outside.txt"), "secret"));
   ASSERT_EQ(symlink("../outside.txt", store.file("link-out").c_str()), 0);
   ASSERT_EQ(symlink(dir.file("outside.txt").c_str(), store.file("abs-out").c_str()), 0);
   configure([](AgentConfig *) {}, store.path());

   CSCPMessage get;
   Named(get, CMD_GET_AGENT_FILE, VID_FILE_NAME, L"data.txt");
   DispatchOutcome outcome;
   CSCPMessage reply;
   ASSERT_EQ(run(get, &reply, &outcome), ERR_SUCCESS);
   EXPECT_EQ(outcome.followUp, FollowUp::SendFile);
   EXPECT_TRUE(outcome.file.valid());
   EXPECT_EQ(reply.GetVariableInt64(VID_AGENT_FILE_SIZE), 5u);

   struct Case {
      const wchar_t *name;
      uint32_t rcc;
   } refused[] = {{L"../outside.txt", ERR_BAD_ARGUMENTS}, {L"/etc/passwd", ERR_BAD_ARGUMENTS},
                  {L"link-out", ERR_ACCESS_DENIED},       {L"abs-out", ERR_ACCESS_DENIED},
                  {L"missing.txt", ERR_FILE_OPEN_ERROR},  {L".", ERR_FILE_OPEN_ERROR}};
   for (const Case &c : refused) {
      CSCPMessage rq;
      Named(rq, CMD_GET_AGENT_FILE, VID_FILE_NAME, c.name);
      DispatchOutcome o;
      EXPECT_EQ(run(rq, nullptr, &o), c.rcc) << c.name;
      EXPECT_EQ(o.followUp, FollowUp::None);
   }

   CSCPMessage up;
   Named(up, CMD_UPLOAD_FILE, VID_FILE_NAME, L"new.bin");
   DispatchOutcome upOutcome;
   ASSERT_EQ(run(up, nullptr, &upOutcome), ERR_SUCCESS);
   EXPECT_EQ(upOutcome.followUp, FollowUp::ReceiveUpload);
   EXPECT_EQ(upOutcome.finalName, "new.bin");
   std::string temp = store.file(upOutcome.tempName);
   EXPECT_TRUE(FileExists(temp));
   upOutcome.discardUpload();  // what the session does when the client leaves
   EXPECT_FALSE(FileExists(temp));

   for (const wchar_t *name : {L"../x.bin", L"/tmp/x.bin", L"link-dir/x.bin", L""}) {
      ASSERT_EQ(symlink("..", store.file("link-dir").c_str()) == 0 || errno == EEXIST, true);
      CSCPMessage rq;
      Named(rq, CMD_UPLOAD_FILE, VID_FILE_NAME, name);
      DispatchOutcome o;
      EXPECT_NE(run(rq, nullptr, &o), ERR_SUCCESS) << name;
      EXPECT_EQ(o.followUp, FollowUp::None);
   }
   EXPECT_FALSE(FileExists(dir.file("x.bin")));

   state.uploadActive = true;
   EXPECT_EQ(run(up), ERR_RESOURCE_BUSY);
}

TEST_F(DispatcherTest, FileRequestsWithoutAStoreAreDenied) {
   CSCPMessage get;
   Named(get, CMD_GET_AGENT_FILE, VID_FILE_NAME, L"x");
   EXPECT_EQ(run(get), ERR_ACCESS_DENIED);
   CSCPMessage up;
   Named(up, CMD_UPLOAD_FILE, VID_FILE_NAME, L"x");
   EXPECT_EQ(run(up), ERR_ACCESS_DENIED);
}

TEST_F(DispatcherTest, PolicyInventoryAndRemoval) {
   TempDir policies;
   ASSERT_TRUE(WriteTextFile(policies.file("00112233445566778899aabbccddeeff.policy"),
                             "type = 2\nserver = srv1\n"));
   ASSERT_TRUE(WriteTextFile(policies.file("FFEEDDCCBBAA99887766554433221100.policy"),
                             "server=srv2\r\ntype=5\r\n"));
   ASSERT_TRUE(WriteTextFile(policies.file("not-a-policy.txt"), "type = 9\n"));
   configure([](AgentConfig *) {}, "", policies.path());

   CSCPMessage inventory;
   inventory.SetCode(CMD_GET_POLICY_INVENTORY);
   CSCPMessage reply;
   ASSERT_EQ(run(inventory, &reply), ERR_SUCCESS);
   ASSERT_EQ(reply.GetVariableLong(VID_NUM_ELEMENTS), 2u);
   std::map<std::string, std::pair<uint16_t, std::wstring>> seen;
   for (uint32_t i = 0; i < 2; i++) {
      uint8_t guid[16];
      ASSERT_EQ(reply.GetVariableBinary(VID_ITEM_LIST_BASE + 10 * i, guid, 16), 16u);
      wchar_t server[64];
      reply.GetVariableStr(VID_ITEM_LIST_BASE + 10 * i + 2, server, 64);
      seen[std::string((char *)guid, 16)] = {
          reply.GetVariableShort(VID_ITEM_LIST_BASE + 10 * i + 1), server};
   }
   const uint8_t first[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                              0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
   auto it = seen.find(std::string((const char *)first, 16));
   ASSERT_NE(it, seen.end());
   EXPECT_EQ(it->second.first, 2);
   EXPECT_EQ(it->second.second, L"srv1");

   CSCPMessage uninstall;
   uninstall.SetCode(CMD_UNINSTALL_POLICY);
   uninstall.SetVariable(VID_GUID, first, 16);
   EXPECT_EQ(run(uninstall), ERR_SUCCESS);
   EXPECT_FALSE(FileExists(policies.file("00112233445566778899aabbccddeeff.policy")));
   EXPECT_EQ(run(uninstall), ERR_BAD_ARGUMENTS);  // gone already
   ASSERT_EQ(traps.codes.size(), 1u);
   EXPECT_EQ(traps.codes[0], TRAP_POLICY_REMOVED);

   const uint8_t upper[16] = {0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88,
                              0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
   uninstall.SetVariable(VID_GUID, upper, 16);
   EXPECT_EQ(run(uninstall), ERR_SUCCESS);
   uninstall.SetVariable(VID_GUID, upper, 15);
   EXPECT_EQ(run(uninstall), ERR_MALFORMED_COMMAND);
}

TEST_F(DispatcherTest, ServiceCheckStatuses) {
   // A one-connection-at-a-time TCP responder on loopback.
   int listener = socket(AF_INET, SOCK_STREAM, 0);
   struct sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   ASSERT_EQ(bind(listener, (struct sockaddr *)&sa, sizeof(sa)), 0);
   ASSERT_EQ(listen(listener, 8), 0);
   socklen_t length = sizeof(sa);
   getsockname(listener, (struct sockaddr *)&sa, &length);
   uint16_t port = ntohs(sa.sin_port);
   std::atomic<int> served{0};
   std::thread responder([&] {
      for (int i = 0; i < 3; i++) {
         int c = accept(listener, nullptr, nullptr);
         if (c < 0)
            return;
         char buffer[64];
         ssize_t n = recv(c, buffer, sizeof(buffer), 0);
         if (n > 0 && std::string(buffer, (size_t)n) == "PING\n")
            send(c, "+PONG ready\n", 12, MSG_NOSIGNAL);
         close(c);
         served++;
      }
   });
   configure([](AgentConfig *c) {
      c->serviceCheckTimeoutMs = 2000;
      ParseTargetList("127.0.0.1", &c->serviceCheckTargets);
   });
   auto check = [&](uint16_t p, const wchar_t *request, const wchar_t *response) {
      CSCPMessage rq;
      rq.SetCode(CMD_CHECK_NETWORK_SERVICE);
      rq.SetVariable(VID_IP_ADDRESS, (uint32_t)INADDR_LOOPBACK);
      rq.SetVariable(VID_SERVICE_TYPE, (uint16_t)0);
      rq.SetVariable(VID_IP_PORT, p);
      rq.SetVariable(VID_IP_PROTO, (uint16_t)6);
      rq.SetVariable(VID_SERVICE_REQUEST, request);
      rq.SetVariable(VID_SERVICE_RESPONSE, response);
      CSCPMessage reply;
      EXPECT_EQ(run(rq, &reply), ERR_SUCCESS);
      return reply.GetVariableLong(VID_SERVICE_STATUS);
   };
   EXPECT_EQ(check(port, L"PING\n", L"PONG"), SERVICE_OK);
   EXPECT_EQ(check(port, L"PING\n", L"HELLO"), SERVICE_BAD_RESPONSE);
   EXPECT_EQ(check(port, L"OTHER\n", L"PONG"), SERVICE_NO_RESPONSE);
   responder.join();
   close(listener);
   // Nothing listens there any more.
   EXPECT_EQ(check(port, L"", L""), SERVICE_CONNECT_REFUSED);

   CSCPMessage udp;
   udp.SetCode(CMD_CHECK_NETWORK_SERVICE);
   udp.SetVariable(VID_IP_PORT, (uint16_t)7);
   udp.SetVariable(VID_IP_PROTO, (uint16_t)17);
   EXPECT_EQ(run(udp), ERR_NOT_IMPLEMENTED);
}

TEST_F(DispatcherTest, SnmpRequestIsForwardedOverUdp) {
   int device = socket(AF_INET, SOCK_DGRAM, 0);
   struct sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   ASSERT_EQ(bind(device, (struct sockaddr *)&sa, sizeof(sa)), 0);
   socklen_t length = sizeof(sa);
   getsockname(device, (struct sockaddr *)&sa, &length);
   uint16_t port = ntohs(sa.sin_port);
   // The device ignores the first datagram and answers the retry reversed.
   std::thread responder([&] {
      char buffer[512];
      struct sockaddr_in from;
      for (int i = 0; i < 2; i++) {
         socklen_t fromLength = sizeof(from);
         ssize_t n =
             recvfrom(device, buffer, sizeof(buffer), 0, (struct sockaddr *)&from, &fromLength);
         if (n <= 0 || i == 0)
            continue;
         std::string answer(buffer, (size_t)n);
         answer.assign(answer.rbegin(), answer.rend());
         sendto(device, answer.data(), answer.size(), 0, (struct sockaddr *)&from, fromLength);
      }
   });
   configure([](AgentConfig *c) {
      c->enableSnmpProxy = true;
      ParseTargetList("127.0.0.0/8", &c->snmpProxyTargets);
      c->snmpTimeoutMs = 300;
      c->snmpRetries = 1;
   });
   const uint8_t pdu[] = {0x30, 0x03, 0x02, 0x01, 0x00};
   CSCPMessage rq;
   rq.SetCode(CMD_SNMP_REQUEST);
   rq.SetVariable(VID_IP_ADDRESS, (uint32_t)INADDR_LOOPBACK);
   rq.SetVariable(VID_PORT, port);
   rq.SetVariable(VID_PDU_SIZE, (uint32_t)sizeof(pdu));
   rq.SetVariable(VID_PDU, pdu, (uint32_t)sizeof(pdu));
   CSCPMessage reply;
   ASSERT_EQ(run(rq, &reply), ERR_SUCCESS);
   ASSERT_EQ(reply.GetVariableLong(VID_PDU_SIZE), sizeof(pdu));
   uint8_t answer[8];
   ASSERT_EQ(reply.GetVariableBinary(VID_PDU, answer, sizeof(answer)), sizeof(pdu));
   for (size_t i = 0; i < sizeof(pdu); i++)
      EXPECT_EQ(answer[i], pdu[sizeof(pdu) - 1 - i]);
   responder.join();

   // Nobody answers now: a bounded time-out.
   EXPECT_EQ(run(rq), ERR_REQUEST_TIMEOUT);
   close(device);
   rq.SetVariable(VID_PDU_SIZE, (uint32_t)99);
   EXPECT_EQ(run(rq), ERR_MALFORMED_COMMAND);
   configure([](AgentConfig *c) { c->enableSnmpProxy = false; });
   EXPECT_EQ(run(rq), ERR_ACCESS_DENIED);
}

TEST_F(DispatcherTest, ProxyConnectionOutcomes) {
   CSCPMessage rq;
   rq.SetCode(CMD_SETUP_PROXY_CONNECTION);
   rq.SetVariable(VID_IP_ADDRESS, (uint32_t)INADDR_LOOPBACK);
   rq.SetVariable(VID_AGENT_PORT, (uint16_t)1);
   EXPECT_EQ(run(rq), ERR_ACCESS_DENIED);  // off unless configured
   configure([](AgentConfig *c) {
      c->enableProxy = true;
      ParseTargetList("127.0.0.0/8", &c->proxyTargets);
   });

   int listener = socket(AF_INET, SOCK_STREAM, 0);
   struct sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   ASSERT_EQ(bind(listener, (struct sockaddr *)&sa, sizeof(sa)), 0);
   socklen_t length = sizeof(sa);
   getsockname(listener, (struct sockaddr *)&sa, &length);
   // Bound but not listening: the connection is refused.
   rq.SetVariable(VID_AGENT_PORT, ntohs(sa.sin_port));
   EXPECT_EQ(run(rq), ERR_CONNECT_FAILED);
   ASSERT_EQ(listen(listener, 1), 0);
   DispatchOutcome outcome;
   EXPECT_EQ(run(rq, nullptr, &outcome), ERR_SUCCESS);
   EXPECT_EQ(outcome.followUp, FollowUp::Relay);
   EXPECT_TRUE(outcome.socket.valid());
   close(listener);
}

TEST_F(DispatcherTest, TrapsPushesAndUpgrade) {
   EXPECT_FALSE(state.trapsEnabled);
   EXPECT_EQ(code(CMD_ENABLE_TRAPS), ERR_SUCCESS);
   EXPECT_TRUE(state.trapsEnabled);
   CSCPMessage push;
   push.SetCode(CMD_PUSH_NOW);
   DispatchOutcome outcome;
   EXPECT_EQ(run(push, nullptr, &outcome), ERR_SUCCESS);
   EXPECT_EQ(outcome.followUp, FollowUp::PushData);

   configure([](AgentConfig *c) {
      c->pushParameters = {"System.CPU.Count", "No.Such", "Agent.Version"};
   });
   CSCPMessage data;
   BuildDataPush(*runtime, *runtime->config(), &data);
   EXPECT_EQ(data.GetCode(), CMD_DATA_PUSH);
   ASSERT_EQ(data.GetVariableLong(VID_NUM_ELEMENTS), 2u);
   wchar_t name[64];
   data.GetVariableStr(VID_ITEM_LIST_BASE + 2, name, 64);
   EXPECT_STREQ(name, L"Agent.Version");
}
