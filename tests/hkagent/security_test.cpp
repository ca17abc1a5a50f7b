// What the agent refuses unless it was told to allow it, over loopback
// against the agent's own server: each refusal with its result code, and
// nothing changed on disk.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "agent_codes.h"
#include "agent_fixture.h"
#include "auth_throttle.h"
#include "agent_test_client.h"
#include "hesker.h"
#include "test_dirs.h"

using namespace hkagent_test;
namespace codes = hkagent;

namespace {

const char kSecret[] = "a-long-enough-test-secret";

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

std::unique_ptr<CSCPMessage> RequestWithNuls(RawClient &client, CSCPMessage *rq);

TEST(AgentRefusals, NoSecretWithoutTheExplicitSetting) {
   RunningAgent refused({{"agent", "AllowNoAuthentication", "no"}});
   EXPECT_FALSE(refused.started());
   RunningAgent withSecret(
       {{"agent", "AllowNoAuthentication", "no"}, {"agent", "Secret", kSecret}});
   EXPECT_TRUE(withSecret.started());
   RunningAgent shortSecret({{"agent", "Secret", std::string(15, 'k')}});
   EXPECT_FALSE(shortSecret.started());
   RunningAgent allowed({{"agent", "Secret", "x"}, {"agent", "AllowShortSecret", "yes"}});
   EXPECT_TRUE(allowed.started());
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
   std::string local = std::string("[agent]\nSecret = ") + kSecret + "\nFileStore = " + dir.path() +
                       "\n" + (c.allowUpdate ? "AllowConfigUpdate = yes\n" : "") +
                       "[actions]\nok = /bin/true\n";
   ASSERT_TRUE(WriteTextFile(path, local));
   RunningAgent agent({}, path);
   ASSERT_TRUE(agent.started());
   auto client = Connect(agent);
   ASSERT_TRUE(client);
   ASSERT_EQ(client->authenticate(codes::AUTH_SHA1_HASH, kSecret), 0u);
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
   EXPECT_EQ(agent.runtime().config()->secret, kSecret);
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
   // A folder inside the scratch one, so that an argument climbing out of
   // it still lands where the test sees it.
   std::string flags = work.file("flags");
   ASSERT_EQ(mkdir(flags.c_str(), 0700), 0);
   RunningAgent agent({{"actions", "fixed", "/usr/bin/touch " + work.file("fixed")},
                       {"actions", "one", "/usr/bin/touch " + work.path() + "/{1}"},
                       {"actions", "flag", "/usr/bin/touch " + flags + "/{1}"},
                       {"actions", "flagrest", "/usr/bin/touch -c {*}"},
                       {"actions", "anywhere", "/usr/bin/touch " + work.path() + "/{1:path}"},
                       {"actions", "both", "/usr/bin/touch " + work.path() + "/{1:path:dash}"},
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
   EXPECT_EQ(Rcc(RequestWithNuls(*client, &rq)), c.rcc);
   if (c.rcc != 0) {
      EXPECT_EQ(Entries(work.path()), std::vector<std::string>{"flags"});
      EXPECT_TRUE(Entries(flags).empty());
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
                      ActionCase{"DeclaredArgument", L"one", {L"made"}, 0},
                      // One path component unless ":path" says otherwise;
                      // '#' goes out as a NUL.
                      ActionCase{"ClimbsOut", L"flag", {L"../escaped"}, 403},
                      ActionCase{"ParentAlone", L"flag", {L".."}, 403},
                      ActionCase{"DotAlone", L"flag", {L"."}, 403},
                      ActionCase{"AbsolutePath", L"flag", {L"/tmp/x"}, 403},
                      ActionCase{"SlashInside", L"flag", {L"a/b"}, 403},
                      ActionCase{"NulInside", L"flag", {L"ok#/../x"}, 403},
                      ActionCase{"NulEvenWithPath", L"anywhere", {L"ok#x"}, 403},
                      ActionCase{"ClimbsOutInTheRest", L"flagrest", {L"a", L"../b"}, 403},
                      ActionCase{"DotsInAName", L"flag", {L"a..b"}, 0},
                      ActionCase{"PathWhereAllowed", L"anywhere", {L"flags/made"}, 0},
                      ActionCase{"BothModifiers", L"both", {L"-made"}, 0}),
    [](const ::testing::TestParamInfo<ActionCase> &info) { return info.param.name; });

// ---------------------------------------------------------------- sessions
TEST(AgentRefusals, SilentSessionsEndAtTheHandshakeDeadline) {
   RunningAgent agent({{"agent", "Secret", kSecret}, {"agent", "AuthTimeout", "200"}});
   ASSERT_TRUE(agent.started());
   auto silent = Connect(agent);  // the version probe is no handshake
   ASSERT_TRUE(silent);
   auto done = Connect(agent);
   ASSERT_TRUE(done);
   ASSERT_EQ(done->authenticate(codes::AUTH_SHA1_HASH, kSecret), 0u);
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
   RunningAgent agent({{"agent", "Secret", kSecret},
                       {"agent", "MaxAuthFailures", "2"},
                       {"agent", "AuthBlockTime", "600"}});
   ASSERT_TRUE(agent.started());
   for (int i = 0; i < 2; i++) {
      auto guess = Connect(agent);
      ASSERT_TRUE(guess);
      EXPECT_EQ(guess->authenticate(codes::AUTH_SHA1_HASH, "wrong"), ERR_AUTH_FAILED);
      EXPECT_TRUE(guess->waitClosed(5000));
   }
   auto blocked = Connect(agent);
   ASSERT_TRUE(blocked);
   EXPECT_EQ(blocked->authenticate(codes::AUTH_SHA1_HASH, kSecret), ERR_AUTH_FAILED);
   EXPECT_TRUE(blocked->waitClosed(5000));
}

// Connections in order, each from 127.0.0.<from> and authenticated at once
// or not; which of them the agent still holds at the end.
struct AdmissionCase {
   const char *name;
   std::vector<hkagent::SettingOverride> limits;
   std::vector<uint32_t> from;
   std::vector<bool> authenticated;
   std::vector<bool> held;
};

class UnauthenticatedAdmission : public ::testing::TestWithParam<AdmissionCase> {};

TEST_P(UnauthenticatedAdmission, NewcomersGetInAtTheExpenseOfTheBusiest) {
   const AdmissionCase &c = GetParam();
   std::vector<hkagent::SettingOverride> settings = c.limits;
   settings.push_back({"agent", "Secret", kSecret});
   RunningAgent agent(settings);
   ASSERT_TRUE(agent.started());
   std::vector<std::unique_ptr<RawClient>> clients;
   for (size_t i = 0; i < c.from.size(); i++) {
      clients.push_back(std::make_unique<RawClient>());
      ASSERT_TRUE(clients[i]->connect(agent.port(), 0x7F000000 + c.from[i]));
      // Answered by the session: admitted (or refused) before the next.
      int version = 0;
      bool admitted = clients[i]->probeVersion(&version);
      if (c.authenticated[i]) {
         ASSERT_TRUE(admitted);
         ASSERT_EQ(clients[i]->authenticate(codes::AUTH_SHA1_HASH, kSecret), 0u);
      }
   }
   size_t waiting = 0;
   for (size_t i = 0; i < c.from.size(); i++) {
      SCOPED_TRACE(i);
      if (!c.held[i]) {
         EXPECT_TRUE(clients[i]->waitClosed(5000));
         continue;
      }
      waiting += c.authenticated[i] ? 0 : 1;
      EXPECT_EQ(clients[i]->simple(CMD_NOP), c.authenticated[i] ? 0u : ERR_AUTH_REQUIRED);
   }
   EXPECT_EQ(agent.server().unauthenticatedCount(), waiting);
}

INSTANTIATE_TEST_SUITE_P(
    Agent, UnauthenticatedAdmission,
    ::testing::Values(AdmissionCase{"PerAddressBound",
                                    {{"agent", "MaxUnauthenticatedPerAddress", "2"}},
                                    {2, 2, 2, 3},
                                    {false, false, false, false},
                                    {true, true, false, true}},
                      AdmissionCase{"OldestOfTheBusiestGoes",
                                    {{"agent", "MaxUnauthenticatedSessions", "3"}},
                                    {2, 3, 2, 4},
                                    {false, false, false, false},
                                    {false, true, true, true}},
                      AdmissionCase{"OldestOnATie",
                                    {{"agent", "MaxUnauthenticatedSessions", "2"}},
                                    {2, 3, 4},
                                    {false, false, false},
                                    {false, true, true}},
                      AdmissionCase{"AuthenticatedNeverCountNorGo",
                                    {{"agent", "MaxUnauthenticatedSessions", "1"},
                                     {"agent", "MaxUnauthenticatedPerAddress", "1"}},
                                    {2, 2, 3},
                                    {true, false, false},
                                    {true, false, true}},
                      AdmissionCase{"MaxSessionsMakesRoomFromTheUnauthenticated",
                                    {{"agent", "MaxSessions", "2"}},
                                    {2, 3, 4},
                                    {true, false, false},
                                    {true, false, true}},
                      AdmissionCase{"MaxSessionsOfTrustedOnesRefuses",
                                    {{"agent", "MaxSessions", "1"}},
                                    {2, 3},
                                    {true, false},
                                    {true, false}}),
    [](const ::testing::TestParamInfo<AdmissionCase> &info) { return info.param.name; });

TEST(AgentRefusals, ASessionDroppedForRoomDoesNotSitOutItsRefusalDelay) {
   RunningAgent agent({{"agent", "Secret", kSecret},
                       {"agent", "AuthFailureDelay", "10000"},
                       {"agent", "MaxUnauthenticatedSessions", "1"}});
   ASSERT_TRUE(agent.started());
   RawClient guesser;
   int version = 0;
   ASSERT_TRUE(guesser.connect(agent.port(), 0x7F000002) && guesser.probeVersion(&version));
   CSCPMessage guess;
   guess.SetCode(CMD_AUTHENTICATE);
   guess.SetId(guesser.nextId());
   guess.SetVariable(VID_AUTH_METHOD, (uint16_t)codes::AUTH_SHA1_HASH);
   const uint8_t digest[20] = {};
   guess.SetVariable(VID_SHARED_SECRET, digest, (uint32_t)sizeof(digest));
   ASSERT_TRUE(guesser.send(guess));  // its answer waits 10 s
   // The failure is counted before the wait begins.
   uint64_t deadline = GetMonotonicMs() + 5000;
   while (agent.runtime().authThrottle().addressCount() == 0 && GetMonotonicMs() < deadline)
      std::this_thread::yield();
   ASSERT_EQ(agent.runtime().authThrottle().addressCount(), 1u);
   auto newcomer = Connect(agent);  // takes the only unauthenticated place
   ASSERT_TRUE(newcomer);
   EXPECT_TRUE(guesser.waitClosed(5000));
   EXPECT_TRUE(agent.waitSessions(1, 5000));
   EXPECT_EQ(newcomer->authenticate(codes::AUTH_SHA1_HASH, kSecret), 0u);
}

TEST(AgentRefusals, LargeFramesOnlyAfterAuthentication) {
   RunningAgent agent({{"agent", "Secret", kSecret}});
   ASSERT_TRUE(agent.started());
   // Far below the frame limit of an authenticated session, far above what
   // the key exchange needs.
   std::vector<uint8_t> filler(16384, 'f');
   CSCPMessage nop;
   nop.SetCode(CMD_NOP);
   nop.SetVariable(VID_PDU, filler.data(), (uint32_t)filler.size());
   auto early = Connect(agent);
   ASSERT_TRUE(early);
   ASSERT_TRUE(early->send(nop));
   EXPECT_TRUE(early->waitClosed(5000));
   auto late = Connect(agent);
   ASSERT_TRUE(late);
   ASSERT_TRUE(late->setupEncryption(TestServerKey()));
   ASSERT_EQ(late->authenticate(codes::AUTH_SHA1_HASH, kSecret), 0u);
   EXPECT_EQ(Rcc(late->request(&nop)), 0u);
}

TEST(AgentRefusals, FailuresOfAllAddressesTogetherStopNewcomers) {
   RunningAgent agent({{"agent", "Secret", kSecret},
                       {"agent", "MaxAuthFailures", "100"},
                       {"agent", "MaxAuthFailuresTotal", "2"},
                       {"agent", "AuthBlockTime", "600"}});
   ASSERT_TRUE(agent.started());
   auto from = [&](uint32_t address) {
      auto client = std::make_unique<RawClient>();
      int version = 0;
      if (!client->connect(agent.port(), address) || !client->probeVersion(&version))
         return std::unique_ptr<RawClient>();
      return client;
   };
   auto known = from(0x7F000001);
   ASSERT_TRUE(known);
   ASSERT_EQ(known->authenticate(codes::AUTH_SHA1_HASH, kSecret), 0u);
   // Refusals for other reasons (no proof checked) do not count.
   auto plain = from(0x7F000002);
   ASSERT_TRUE(plain);
   EXPECT_EQ(plain->authenticate(codes::AUTH_HMAC_SHA256, kSecret), ERR_TLS_REQUIRED);
   for (uint32_t address : {0x7F000002u, 0x7F000003u}) {
      auto guess = from(address);
      ASSERT_TRUE(guess);
      EXPECT_EQ(guess->authenticate(codes::AUTH_SHA1_HASH, "a-wrong-guess-of-a-secret"),
                ERR_AUTH_FAILED);
   }
   auto newcomer = from(0x7F000004);
   ASSERT_TRUE(newcomer);
   EXPECT_EQ(newcomer->authenticate(codes::AUTH_SHA1_HASH, kSecret), ERR_AUTH_FAILED);
   auto again = from(0x7F000001);  // authenticated before: still heard
   ASSERT_TRUE(again);
   EXPECT_EQ(again->authenticate(codes::AUTH_SHA1_HASH, kSecret), 0u);
}

TEST(AuthThrottle, OthersNeverPushABlockedAddressOut) {
   hkagent::AuthThrottle throttle;
   hkagent::AuthLimits limits;
   limits.maxFailures = 2;
   limits.maxTotal = 1000000;
   limits.blockMs = 60000;
   const uint32_t blocked = 0x0A000001;
   throttle.recordFailure(blocked, limits, 1000);
   throttle.recordFailure(blocked, limits, 1001);
   ASSERT_EQ(throttle.check(blocked, limits, 1002), hkagent::AuthVerdict::AddressBlocked);
   // Twice the table's room of other addresses, one failure each.
   for (uint32_t i = 0; i < 2 * hkagent::AuthThrottle::kMaxAddresses; i++)
      throttle.recordFailure(0x0B000000 + i, limits, 2000 + i);
   EXPECT_LE(throttle.addressCount(), hkagent::AuthThrottle::kMaxAddresses);
   EXPECT_EQ(throttle.check(blocked, limits, 20000), hkagent::AuthVerdict::AddressBlocked);
   // Its block ends on time all the same.
   EXPECT_EQ(throttle.check(blocked, limits, 1001 + limits.blockMs), hkagent::AuthVerdict::Allowed);
   // A table full of blocked addresses takes no more, and keeps them.
   hkagent::AuthThrottle full;
   for (uint32_t i = 0; i < hkagent::AuthThrottle::kMaxAddresses; i++) {
      full.recordFailure(0x0C000000 + i, limits, 100);
      full.recordFailure(0x0C000000 + i, limits, 100);
   }
   full.recordFailure(0x0D000000, limits, 200);
   EXPECT_EQ(full.addressCount(), hkagent::AuthThrottle::kMaxAddresses);
   EXPECT_EQ(full.check(0x0C000000, limits, 300), hkagent::AuthVerdict::AddressBlocked);
}

// ---------------------------------------------------------------- reaching out
struct TargetCase {
   const char *name;
   uint16_t code;
   const char *targets;  // the list the request's kind is given
   bool toSelf;          // aim at the agent's own listening port
   uint32_t rcc;
   uint32_t address = INADDR_LOOPBACK;
   bool withAddress = true;  // false: the request names no address
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
   if (c.withAddress)
      rq.SetVariable(VID_IP_ADDRESS, c.address);
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
        TargetCase{"ProxyToItselfOnAnyAddress", CMD_SETUP_PROXY_CONNECTION, "0.0.0.0/0", true, 403,
                   0},
        TargetCase{"ProxyToItselfOnAnotherLoopback", CMD_SETUP_PROXY_CONNECTION, "127.0.0.0/8",
                   true, 403, 0x7F000005},
        TargetCase{"ProxyToItselfNamedExactlyElsewhere", CMD_SETUP_PROXY_CONNECTION, "127.0.0.5/32",
                   true, 403, 0x7F000005},
        TargetCase{"ProxyToAnyAddress", CMD_SETUP_PROXY_CONNECTION, "0.0.0.0/0", false, 403, 0},
        TargetCase{"ProxyWithoutAddress", CMD_SETUP_PROXY_CONNECTION, "0.0.0.0/0", false,
                   ERR_BAD_ARGUMENTS, 0, false},
        TargetCase{"ProxyListed", CMD_SETUP_PROXY_CONNECTION, "127.0.0.0/8", false, 0},
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
      EXPECT_EQ(Rcc(RequestWithNuls(*client, &rq)), ERR_BAD_ARGUMENTS) << code;
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
   EXPECT_EQ(Upload(*client, local, L"big", 50), ERR_IO_FAILURE);
   EXPECT_EQ(Entries(store.path()), std::vector<std::string>{"old"});
   EXPECT_EQ(Upload(*client, local, L"fits", 40), 0u);
   // Full in bytes now; after a removal, full in files.
   EXPECT_EQ(Upload(*client, local, L"more", 1), ERR_OUT_OF_RESOURCES);
   ASSERT_EQ(unlink(store.file("old").c_str()), 0);
   EXPECT_EQ(Upload(*client, local, L"a", 1), 0u);
   EXPECT_EQ(Upload(*client, local, L"b", 1), 0u);
   EXPECT_EQ(Upload(*client, local, L"c", 1), ERR_OUT_OF_RESOURCES);
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
