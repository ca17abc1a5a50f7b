// Management requests: their codes and variables on the wire, connected
// checks, outputs on failure, the configuration file's bytes, and
// AgentPolicyInfo.
#include <cstring>
#include <string>

#include "requests_fixture.h"

namespace {

class ManagementTest : public RequestTest {};

// ---------------------------------------------------------------- execAction

TEST_F(ManagementTest, ExecActionSendsNameCountAndArguments) {
   agent.setHandler(CMD_EXEC_ACTION, FakeReply(0));
   connect();
   wchar_t first[] = L"-v";
   wchar_t second[] = L"/tmp/x y";
   wchar_t *args[] = {first, second};
   EXPECT_EQ(ERR_SUCCESS, session->execAction(L"Restart", 2, args));
   auto request = only(CMD_EXEC_ACTION);
   EXPECT_EQ(4u, request->GetNumVariables());
   EXPECT_EQ(L"Restart", Str(*request, VID_ACTION_NAME));
   EXPECT_EQ(2u, request->GetVariableLong(VID_NUM_ARGS));
   EXPECT_EQ(L"-v", Str(*request, VID_ITEM_LIST_BASE));
   EXPECT_EQ(L"/tmp/x y", Str(*request, VID_ITEM_LIST_BASE + 1));
}

TEST_F(ManagementTest, ExecActionWithoutArgumentsAndAgentErrors) {
   agent.setHandler(CMD_EXEC_ACTION, FakeReply(ERR_EXEC_FAILED));
   connect();
   EXPECT_EQ(ERR_EXEC_FAILED, session->execAction(L"Run", 0, nullptr));
   auto request = only(CMD_EXEC_ACTION);
   EXPECT_EQ(2u, request->GetNumVariables());
   EXPECT_EQ(0u, request->GetVariableLong(VID_NUM_ARGS));
}

// ---------------------------------------------------------------- checkNetworkService

TEST_F(ManagementTest, ServiceCheckSendsItsVariablesAndReadsTheStatus) {
   agent.setHandler(CMD_CHECK_NETWORK_SERVICE,
                    FakeReply(0, [](const CSCPMessage &, CSCPMessage &reply) {
                       reply.SetVariable(VID_SERVICE_STATUS, (uint32_t)2);
                    }));
   connect();
   uint32_t status = 77;
   EXPECT_EQ(ERR_SUCCESS,
             session->checkNetworkService(&status, 0x0A000001, 5, 8080, 17, L"GET /", L"200"));
   EXPECT_EQ(2u, status);
   auto request = only(CMD_CHECK_NETWORK_SERVICE);
   EXPECT_EQ(6u, request->GetNumVariables());
   EXPECT_EQ(0x0A000001u, request->GetVariableLong(VID_IP_ADDRESS));
   EXPECT_EQ(5, request->GetVariableShort(VID_SERVICE_TYPE));
   EXPECT_EQ(8080, request->GetVariableShort(VID_IP_PORT));
   EXPECT_EQ(17, request->GetVariableShort(VID_IP_PROTO));
   EXPECT_EQ(L"GET /", Str(*request, VID_SERVICE_REQUEST));
   EXPECT_EQ(L"200", Str(*request, VID_SERVICE_RESPONSE));
}

TEST_F(ManagementTest, ServiceCheckDefaultsPortAndProtocolByServiceType) {
   agent.setHandler(CMD_CHECK_NETWORK_SERVICE, FakeReply(0));
   connect();
   const struct {
      int type;
      uint16_t port;
   } cases[] = {{0, 7}, {1, 22}, {2, 110}, {3, 25}, {4, 21}, {5, 80}, {6, 7}, {-1, 7}};
   uint32_t status;
   for (const auto &c : cases)
      EXPECT_EQ(ERR_SUCCESS, session->checkNetworkService(&status, 1, c.type, 0, 0, L"", L""));
   std::vector<FakeAgentRecord> records = agent.recordsWithCode(CMD_CHECK_NETWORK_SERVICE);
   ASSERT_EQ(std::size(cases), records.size());
   for (size_t i = 0; i < records.size(); i++) {
      EXPECT_EQ(cases[i].port, records[i].message->GetVariableShort(VID_IP_PORT)) << cases[i].type;
      EXPECT_EQ(6, records[i].message->GetVariableShort(VID_IP_PROTO));
      EXPECT_EQ((uint16_t)cases[i].type, records[i].message->GetVariableShort(VID_SERVICE_TYPE));
   }
}

TEST_F(ManagementTest, ServiceCheckWaitsLongerThanTheCommandTimeout) {
   agent.setHandler(CMD_CHECK_NETWORK_SERVICE,
                    FakeDelay(1200, FakeReply(0, [](const CSCPMessage &, CSCPMessage &reply) {
                                 reply.SetVariable(VID_SERVICE_STATUS, (uint32_t)1);
                              })));
   connect();
   session->setCommandTimeout(500);
   uint32_t status = 0;
   EXPECT_EQ(ERR_SUCCESS, session->checkNetworkService(&status, 1, 1, 0, 0, L"", L""));
   EXPECT_EQ(1u, status);
}

TEST_F(ManagementTest, ServiceCheckFailureLeavesTheStatusAlone) {
   agent.setHandler(CMD_CHECK_NETWORK_SERVICE,
                    FakeReply(ERR_INTERNAL_ERROR, [](const CSCPMessage &, CSCPMessage &reply) {
                       reply.SetVariable(VID_SERVICE_STATUS, (uint32_t)9);
                    }));
   connect();
   uint32_t status = 77;
   EXPECT_EQ(ERR_INTERNAL_ERROR, session->checkNetworkService(&status, 1, 1, 0, 0, L"", L""));
   EXPECT_EQ(77u, status);
}

// ---------------------------------------------------------------- configuration file

FakeAgentHandler ConfigReply(std::string bytes) {
   return FakeReply(0, [bytes](const CSCPMessage &, CSCPMessage &reply) {
      reply.SetVariable(VID_CONFIG_FILE, reinterpret_cast<const uint8_t *>(bytes.data()),
                        (uint32_t)bytes.size());
   });
}

TEST_F(ManagementTest, ConfigFileControlCharactersBecomeSpaces) {
   agent.setHandler(CMD_GET_CONFIG_FILE, ConfigReply(std::string("A\x01\tB\n\x1F", 6)));
   connect();
   wchar_t *text = nullptr;
   uint32_t size = 0;
   ASSERT_EQ(ERR_SUCCESS, session->getConfigFile(&text, &size));
   ASSERT_NE(nullptr, text);
   EXPECT_EQ(6u, size);
   EXPECT_STREQ(L"A \tB\n ", text);
   free(text);
   EXPECT_EQ(0u, only(CMD_GET_CONFIG_FILE)->GetNumVariables());
}

TEST_F(ManagementTest, EmptyConfigFileIsAnEmptyText) {
   agent.setHandler(CMD_GET_CONFIG_FILE, ConfigReply(""));
   connect();
   wchar_t *text = nullptr;
   uint32_t size = 99;
   ASSERT_EQ(ERR_SUCCESS, session->getConfigFile(&text, &size));
   ASSERT_NE(nullptr, text);
   EXPECT_STREQ(L"", text);
   EXPECT_EQ(0u, size);
   free(text);
}

TEST_F(ManagementTest, ConfigFileFailureGivesNullAndZero) {
   agent.setHandler(CMD_GET_CONFIG_FILE, FakeReply(ERR_FILE_OPEN_ERROR));
   connect();
   wchar_t *text = reinterpret_cast<wchar_t *>(1);
   uint32_t size = 99;
   EXPECT_EQ(ERR_FILE_OPEN_ERROR, session->getConfigFile(&text, &size));
   EXPECT_EQ(nullptr, text);
   EXPECT_EQ(0u, size);
}

TEST_F(ManagementTest, AllByteValuesRoundTripExceptControlCharacters) {
   std::string original;
   for (int i = 0; i < 256; i++)
      original.push_back((char)i);
   agent.setHandler(CMD_GET_CONFIG_FILE, ConfigReply(original));
   agent.setHandler(CMD_UPDATE_CONFIG_FILE, FakeReply(0));
   connect();

   wchar_t *text = nullptr;
   uint32_t size = 0;
   ASSERT_EQ(ERR_SUCCESS, session->getConfigFile(&text, &size));
   ASSERT_EQ(256u, size);
   ASSERT_EQ(256u, wcslen(text));
   ASSERT_EQ(ERR_SUCCESS, session->updateConfigFile(text));
   free(text);

   auto request = only(CMD_UPDATE_CONFIG_FILE);
   EXPECT_EQ(1u, request->GetNumVariables());
   uint8_t sent[300];
   ASSERT_EQ(256u, request->GetVariableBinary(VID_CONFIG_FILE, sent, sizeof(sent)));
   for (int i = 0; i < 256; i++) {
      bool control = i < 0x20 && i != 9 && i != 10 && i != 13;
      EXPECT_EQ(control ? 0x20 : i, sent[i]) << "byte " << i;
   }
}

TEST_F(ManagementTest, UpdateConfigFileSendsExactlyTheCharactersAsBytes) {
   agent.setHandler(CMD_UPDATE_CONFIG_FILE, FakeReply(0));
   connect();
   // A character outside the 8-bit code page becomes its default character
   // (U+0100 is in neither ISO-8859-1 nor Windows' Western code page).
   EXPECT_EQ(ERR_SUCCESS, session->updateConfigFile(L"key = \u00e9\u0100\n"));
   auto request = only(CMD_UPDATE_CONFIG_FILE);
   uint8_t sent[16];
   ASSERT_EQ(9u, request->GetVariableBinary(VID_CONFIG_FILE, sent, sizeof(sent)));
   EXPECT_EQ(0, memcmp("key = \xE9?\n", sent, 9));
}

TEST_F(ManagementTest, UpdateConfigFileSendsOnlyTheBytesOfAPrecomposedText) {
   agent.setHandler(CMD_UPDATE_CONFIG_FILE, FakeReply(0));
   connect();
   // "e" and a combining acute accent are one byte of the code page: four
   // characters, three bytes, and never the buffer's unset tail.
   EXPECT_EQ(ERR_SUCCESS, session->updateConfigFile(L"k=e\u0301"));
   auto request = only(CMD_UPDATE_CONFIG_FILE);
   uint8_t sent[16];
   ASSERT_EQ(3u, request->GetVariableBinary(VID_CONFIG_FILE, sent, sizeof(sent)));
   EXPECT_EQ(0, memcmp("k=\xE9", sent, 3));
}

// ---------------------------------------------------------------- traps, upgrade, policies

TEST_F(ManagementTest, EnableTrapsHasNoVariables) {
   agent.setHandler(CMD_ENABLE_TRAPS, FakeReply(0));
   connect();
   EXPECT_EQ(ERR_SUCCESS, session->enableTraps());
   EXPECT_EQ(0u, only(CMD_ENABLE_TRAPS)->GetNumVariables());
}

TEST_F(ManagementTest, StartUpgradeSendsTheBaseName) {
   agent.setHandler(CMD_START_UPGRADE, FakeReply(0));
   connect();
   const wchar_t *paths[] = {L"/var/pkg/agent-2.0.tgz", L"C:\\pkg\\agent.msi", L"agent.tgz",
                             L"/var/pkg/", L"dir\\sub/mixed.pkg"};
   for (const wchar_t *path : paths)
      EXPECT_EQ(ERR_SUCCESS, session->startUpgrade(path));
   std::vector<std::wstring> names;
   for (const FakeAgentRecord &record : agent.recordsWithCode(CMD_START_UPGRADE)) {
      EXPECT_EQ(1u, record.message->GetNumVariables());
      names.push_back(Str(*record.message, VID_FILE_NAME));
   }
   EXPECT_EQ(
       (std::vector<std::wstring>{L"agent-2.0.tgz", L"agent.msi", L"agent.tgz", L"", L"mixed.pkg"}),
       names);
}

TEST_F(ManagementTest, UninstallPolicySendsTheGuid) {
   agent.setHandler(CMD_UNINSTALL_POLICY, FakeReply(0));
   connect();
   uint8_t guid[16];
   for (int i = 0; i < 16; i++)
      guid[i] = (uint8_t)(0xF0 + i);
   EXPECT_EQ(ERR_SUCCESS, session->uninstallPolicy(guid));
   auto request = only(CMD_UNINSTALL_POLICY);
   EXPECT_EQ(1u, request->GetNumVariables());
   uint8_t sent[32];
   ASSERT_EQ(16u, request->GetVariableBinary(VID_GUID, sent, sizeof(sent)));
   EXPECT_EQ(0, memcmp(guid, sent, 16));
}

TEST_F(ManagementTest, PolicyInventoryIsRead) {
   agent.setHandler(CMD_GET_POLICY_INVENTORY,
                    FakeReply(0, [](const CSCPMessage &, CSCPMessage &reply) {
                       reply.SetVariable(VID_NUM_ELEMENTS, (uint32_t)2);
                       uint8_t guid[16];
                       for (int i = 0; i < 16; i++)
                          guid[i] = (uint8_t)i;
                       reply.SetVariable(VID_ITEM_LIST_BASE, guid, 16);
                       reply.SetVariable(VID_ITEM_LIST_BASE + 1, (uint16_t)0x8001);
                       reply.SetVariable(VID_ITEM_LIST_BASE + 2, L"server-a");
                       guid[0] = 0xAB;
                       reply.SetVariable(VID_ITEM_LIST_BASE + 10, guid, 8);  // short GUID
                       reply.SetVariable(VID_ITEM_LIST_BASE + 11, (uint16_t)2);
                    }));
   connect();
   AgentPolicyInfo *inventory = nullptr;
   ASSERT_EQ(ERR_SUCCESS, session->getPolicyInventory(&inventory));
   ASSERT_NE(nullptr, inventory);
   EXPECT_EQ(0u, only(CMD_GET_POLICY_INVENTORY)->GetNumVariables());

   ASSERT_EQ(2, inventory->getSize());
   uint8_t guid[16];
   ASSERT_TRUE(inventory->getGuid(0, guid));
   EXPECT_EQ(15, guid[15]);
   EXPECT_EQ(0x8001, inventory->getType(0));
   EXPECT_STREQ(L"server-a", inventory->getServer(0));
   ASSERT_TRUE(inventory->getGuid(1, guid));
   EXPECT_EQ(0xAB, guid[0]);
   EXPECT_EQ(0, guid[8]);  // what the message lacks stays zero
   EXPECT_EQ(2, inventory->getType(1));
   EXPECT_EQ(nullptr, inventory->getServer(1));

   EXPECT_EQ(-1, inventory->getType(2));
   EXPECT_EQ(-1, inventory->getType(-1));
   EXPECT_EQ(nullptr, inventory->getServer(2));
   memset(guid, 0x5A, 16);
   EXPECT_FALSE(inventory->getGuid(2, guid));
   EXPECT_FALSE(inventory->getGuid(-1, guid));
   EXPECT_EQ(0x5A, guid[0]);
   delete inventory;
}

TEST_F(ManagementTest, PolicyInventoryErrorGivesNull) {
   agent.setHandler(CMD_GET_POLICY_INVENTORY, FakeReply(ERR_ACCESS_DENIED));
   connect();
   AgentPolicyInfo *inventory = reinterpret_cast<AgentPolicyInfo *>(1);
   EXPECT_EQ(ERR_ACCESS_DENIED, session->getPolicyInventory(&inventory));
   EXPECT_EQ(nullptr, inventory);
}

TEST(AgentPolicyInfoTest, MissingOrNegativeCountIsEmpty) {
   CSCPMessage empty;
   AgentPolicyInfo none(&empty);
   EXPECT_EQ(0, none.getSize());
   EXPECT_EQ(-1, none.getType(0));
   EXPECT_EQ(nullptr, none.getServer(0));
   uint8_t guid[16];
   EXPECT_FALSE(none.getGuid(0, guid));

   CSCPMessage negative;
   negative.SetVariable(VID_NUM_ELEMENTS, (uint32_t)0xFFFFFFFF);
   AgentPolicyInfo alsoNone(&negative);
   EXPECT_EQ(0, alsoNone.getSize());
}

TEST(AgentPolicyInfoTest, ImplausibleCountIsBoundedByTheMessage) {
   CSCPMessage message;
   message.SetVariable(VID_NUM_ELEMENTS, (uint32_t)0x7FFFFFFF);
   message.SetVariable(VID_ITEM_LIST_BASE + 2, L"s");
   AgentPolicyInfo info(&message);
   EXPECT_LE(info.getSize(), 2);
   EXPECT_STREQ(L"s", info.getServer(0));
}

// ---------------------------------------------------------------- connected checks

TEST(ManagementNotConnectedTest, CheckedOperationsRefuseWithoutAnId) {
   AgentConnection session(Ip("127.0.0.1"), 1);
   uint32_t status = 5;
   wchar_t *text = reinterpret_cast<wchar_t *>(1);
   uint32_t size = 7;
   EXPECT_EQ(ERR_NOT_CONNECTED, session.execAction(L"a", 0, nullptr));
   EXPECT_EQ(ERR_NOT_CONNECTED, session.checkNetworkService(&status, 1, 1));
   EXPECT_EQ(5u, status);
   EXPECT_EQ(ERR_NOT_CONNECTED, session.getConfigFile(&text, &size));
   EXPECT_EQ(nullptr, text);
   EXPECT_EQ(0u, size);
   EXPECT_EQ(ERR_NOT_CONNECTED, session.updateConfigFile(L"x"));
   EXPECT_EQ(ERR_NOT_CONNECTED, session.startUpgrade(L"p"));
   EXPECT_EQ(1u, session.generateRequestId());
}

TEST(ManagementNotConnectedTest, UncheckedOperationsFailInTheSend) {
   AgentConnection session(Ip("127.0.0.1"), 1);
   EXPECT_EQ(ERR_CONNECTION_BROKEN, session.enableTraps());
   AgentPolicyInfo *inventory = reinterpret_cast<AgentPolicyInfo *>(1);
   EXPECT_EQ(ERR_CONNECTION_BROKEN, session.getPolicyInventory(&inventory));
   EXPECT_EQ(nullptr, inventory);
   uint8_t guid[16] = {};
   EXPECT_EQ(ERR_CONNECTION_BROKEN, session.uninstallPolicy(guid));
   // Each took a request id.
   EXPECT_EQ(4u, session.generateRequestId());
}

TEST_F(ManagementTest, UncheckedOperationsStillSendAfterTheConnectionEnded) {
   connect();
   agent.connection()->shutdown();
   ASSERT_TRUE(session->waitForReceiverEnd(10000));
   EXPECT_EQ(ERR_CONNECTION_BROKEN, session->enableTraps());
}

TEST_F(ManagementTest, SilentAgentTimesOut) {
   agent.setHandler(CMD_ENABLE_TRAPS, FakeSilent());
   agent.setHandler(CMD_UNINSTALL_POLICY, FakeSilent());
   connect();
   session->setCommandTimeout(500);
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->enableTraps());
   uint8_t guid[16] = {};
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->uninstallPolicy(guid));
}

}  // namespace
