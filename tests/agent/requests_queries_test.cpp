// Parameter queries: getParameter, getList and the data-line store,
// getTable and getSupportedParameters, on the wire and on every failure.
#include <cstring>
#include <cwchar>

#include "requests_fixture.h"

namespace {

class QueryTest : public RequestTest {};

// ---------------------------------------------------------------- getParameter

TEST_F(QueryTest, GetParameterSendsTheNameAndCopiesTheValue) {
   agent.setHandler(CMD_GET_PARAMETER, FakeReply(0, [](const CSCPMessage &, CSCPMessage &reply) {
                       reply.SetVariable(VID_VALUE, L"4711");
                    }));
   connect();
   wchar_t buffer[64];
   EXPECT_EQ(ERR_SUCCESS, session->getParameter(L"Agent.Uptime", 64, buffer));
   EXPECT_STREQ(L"4711", buffer);

   auto request = only(CMD_GET_PARAMETER);
   EXPECT_EQ(1u, request->GetNumVariables());
   EXPECT_EQ(L"Agent.Uptime", Str(*request, VID_PARAMETER));
}

TEST_F(QueryTest, GetParameterCutsALongValueToTheBuffer) {
   agent.setHandler(CMD_GET_PARAMETER, FakeReply(0, [](const CSCPMessage &, CSCPMessage &reply) {
                       reply.SetVariable(VID_VALUE, L"abcdefghijklmnopqrst");
                    }));
   connect();
   wchar_t buffer[12];
   wmemset(buffer, L'#', 12);
   EXPECT_EQ(ERR_SUCCESS, session->getParameter(L"X", 10, buffer));
   EXPECT_STREQ(L"abcdefghi", buffer);
   EXPECT_EQ(L'#', buffer[10]);  // nothing past the stated size
}

TEST_F(QueryTest, GetParameterFailureLeavesTheBufferAlone) {
   agent.setHandler(CMD_GET_PARAMETER,
                    FakeReply(ERR_UNKNOWN_PARAMETER, [](const CSCPMessage &, CSCPMessage &reply) {
                       reply.SetVariable(VID_VALUE, L"should not be read");
                    }));
   connect();
   wchar_t buffer[32];
   wmemset(buffer, L'#', 32);
   wchar_t before[32];
   wmemcpy(before, buffer, 32);
   EXPECT_EQ(ERR_UNKNOWN_PARAMETER, session->getParameter(L"No.Such", 32, buffer));
   EXPECT_EQ(0, wmemcmp(before, buffer, 32));

   agent.setHandler(CMD_GET_PARAMETER, FakeSilent());
   session->setCommandTimeout(500);
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->getParameter(L"Slow", 32, buffer));
   EXPECT_EQ(0, wmemcmp(before, buffer, 32));
}

TEST_F(QueryTest, GetParameterReplyWithoutResultCodeSucceeds) {
   agent.setHandler(CMD_GET_PARAMETER,
                    [](FakeAgentConnection &connection, const CSCPMessage &request) {
                       CSCPMessage reply;
                       reply.SetCode(CMD_REQUEST_COMPLETED);
                       reply.SetId(request.GetId());
                       reply.SetVariable(VID_VALUE, L"v");
                       connection.send(reply);
                    });
   connect();
   wchar_t buffer[8];
   EXPECT_EQ(ERR_SUCCESS, session->getParameter(L"X", 8, buffer));
   EXPECT_STREQ(L"v", buffer);
}

TEST(QueryNotConnectedTest, EveryQueryRefusesWithoutSendingOrTakingAnId) {
   AgentConnection session(Ip("127.0.0.1"), 1);
   wchar_t buffer[4] = {L'a', L'b', L'c', 0};
   EXPECT_EQ(ERR_NOT_CONNECTED, session.getParameter(L"X", 4, buffer));
   EXPECT_STREQ(L"abc", buffer);
   EXPECT_EQ(ERR_NOT_CONNECTED, session.getList(L"X"));

   Table *table = reinterpret_cast<Table *>(1);  // must be reset to null
   EXPECT_EQ(ERR_NOT_CONNECTED, session.getTable(L"X", &table));
   EXPECT_EQ(nullptr, table);

   DebugCapture debug;
   StructArray<HKC_AGENT_PARAM> *parameters = reinterpret_cast<StructArray<HKC_AGENT_PARAM> *>(1);
   StructArray<HKC_AGENT_TABLE> *tables = reinterpret_cast<StructArray<HKC_AGENT_TABLE> *>(1);
   EXPECT_EQ(ERR_NOT_CONNECTED, session.getSupportedParameters(&parameters, &tables));
   EXPECT_EQ(nullptr, parameters);
   EXPECT_EQ(nullptr, tables);
   EXPECT_TRUE(debug.lines().empty());

   EXPECT_EQ(1u, session.generateRequestId());
}

// ---------------------------------------------------------------- getList

FakeAgentHandler ListReply(std::vector<std::wstring> lines, uint32_t announced) {
   return FakeReply(0, [lines, announced](const CSCPMessage &, CSCPMessage &reply) {
      reply.SetVariable(VID_NUM_STRINGS, announced);
      for (size_t i = 0; i < lines.size(); i++)
         reply.SetVariable(VID_ITEM_LIST_BASE + (uint32_t)i, lines[i].c_str());
   });
}

TEST_F(QueryTest, GetListFillsTheStore) {
   agent.setHandler(CMD_GET_LIST, ListReply({L"first", L"second", L"third"}, 3));
   connect();
   EXPECT_EQ(ERR_SUCCESS, session->getList(L"System.ProcessList"));
   ASSERT_EQ(3u, session->getNumDataLines());
   EXPECT_STREQ(L"first", session->getDataLine(0));
   EXPECT_STREQ(L"third", session->getDataLine(2));
   EXPECT_STREQ(L"(error)", session->getDataLine(3));
   EXPECT_STREQ(L"(error)", session->getDataLine(0xFFFFFFFF));

   auto request = only(CMD_GET_LIST);
   EXPECT_EQ(1u, request->GetNumVariables());
   EXPECT_EQ(L"System.ProcessList", Str(*request, VID_PARAMETER));
}

TEST_F(QueryTest, EmptyStoreAnswersError) {
   EXPECT_EQ(0u, session->getNumDataLines());
   EXPECT_STREQ(L"(error)", session->getDataLine(0));
}

TEST_F(QueryTest, GetListOfZeroLinesSucceeds) {
   agent.setHandler(CMD_GET_LIST, ListReply({}, 0));
   connect();
   EXPECT_EQ(ERR_SUCCESS, session->getList(L"Empty"));
   EXPECT_EQ(0u, session->getNumDataLines());
}

TEST_F(QueryTest, AnnouncedLinesThatDoNotComeAreNull) {
   agent.setHandler(CMD_GET_LIST, ListReply({L"only"}, 3));
   connect();
   EXPECT_EQ(ERR_SUCCESS, session->getList(L"Short"));
   ASSERT_EQ(3u, session->getNumDataLines());
   EXPECT_STREQ(L"only", session->getDataLine(0));
   EXPECT_EQ(nullptr, session->getDataLine(1));
   EXPECT_EQ(nullptr, session->getDataLine(2));
}

TEST_F(QueryTest, AnImplausibleLineCountIsCapped) {
   agent.setHandler(CMD_GET_LIST, ListReply({L"a"}, 0xFFFFFFFF));
   connect();
   EXPECT_EQ(ERR_SUCCESS, session->getList(L"Liar"));
   EXPECT_EQ(HKCP_MAX_FRAME_SIZE / 8, session->getNumDataLines());
   EXPECT_STREQ(L"a", session->getDataLine(0));
}

TEST_F(QueryTest, GetListErrorEmptiesTheStore) {
   agent.setHandler(CMD_GET_LIST, ListReply({L"a", L"b"}, 2));
   connect();
   ASSERT_EQ(ERR_SUCCESS, session->getList(L"L"));
   agent.setHandler(CMD_GET_LIST, FakeReply(ERR_ACCESS_DENIED));
   EXPECT_EQ(ERR_ACCESS_DENIED, session->getList(L"L"));
   EXPECT_EQ(0u, session->getNumDataLines());

   ASSERT_EQ(ERR_ACCESS_DENIED, session->getList(L"L"));
   agent.setHandler(CMD_GET_LIST, FakeSilent());
   session->setCommandTimeout(500);
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->getList(L"L"));
   EXPECT_EQ(0u, session->getNumDataLines());
}

TEST_F(QueryTest, GetListWhenDisconnectedKeepsThePreviousLines) {
   agent.setHandler(CMD_GET_LIST, ListReply({L"kept"}, 1));
   connect();
   ASSERT_EQ(ERR_SUCCESS, session->getList(L"L"));
   // The agent goes away; the receiver clears the connected flag.
   agent.connection()->shutdown();
   ASSERT_TRUE(session->waitForReceiverEnd(10000));
   EXPECT_EQ(ERR_NOT_CONNECTED, session->getList(L"L"));
   ASSERT_EQ(1u, session->getNumDataLines());
   EXPECT_STREQ(L"kept", session->getDataLine(0));
}

// ---------------------------------------------------------------- getTable

TEST_F(QueryTest, GetTableBuildsTheTableFromTheReply) {
   agent.setHandler(CMD_GET_TABLE, FakeReply(0, [](const CSCPMessage &, CSCPMessage &reply) {
                       Table table;
                       table.setTitle(L"Processes");
                       table.addColumn(L"PID", 1);
                       table.addColumn(L"NAME");
                       int row = table.addRow();
                       table.setAt(row, 0, L"1");
                       table.setAt(row, 1, L"init");
                       table.fillMessage(&reply);
                    }));
   connect();
   Table *table = nullptr;
   ASSERT_EQ(ERR_SUCCESS, session->getTable(L"System.Processes", &table));
   ASSERT_NE(nullptr, table);
   EXPECT_EQ(2, table->getNumColumns());
   EXPECT_EQ(1, table->getNumRows());
   EXPECT_STREQ(L"init", table->getAsString(0, 1));
   delete table;

   auto request = only(CMD_GET_TABLE);
   EXPECT_EQ(1u, request->GetNumVariables());
   EXPECT_EQ(L"System.Processes", Str(*request, VID_PARAMETER));
}

TEST_F(QueryTest, GetTableErrorGivesNoTable) {
   agent.setHandler(CMD_GET_TABLE, FakeReply(ERR_UNKNOWN_PARAMETER));
   connect();
   Table *table = reinterpret_cast<Table *>(1);
   EXPECT_EQ(ERR_UNKNOWN_PARAMETER, session->getTable(L"No.Such", &table));
   EXPECT_EQ(nullptr, table);
}

// ---------------------------------------------------------------- getSupportedParameters

TEST_F(QueryTest, SupportedParametersAndTablesAreRead) {
   agent.setHandler(CMD_GET_SUPPORTED_PARAMETERS,
                    FakeReply(0, [](const CSCPMessage &, CSCPMessage &reply) {
                       reply.SetVariable(VID_NUM_PARAMETERS, (uint32_t)2);
                       reply.SetVariable(VID_ITEM_LIST_BASE + 0, L"Agent.Uptime");
                       reply.SetVariable(VID_ITEM_LIST_BASE + 1, L"Uptime in seconds");
                       reply.SetVariable(VID_ITEM_LIST_BASE + 2, (uint16_t)1);
                       reply.SetVariable(VID_ITEM_LIST_BASE + 3, L"System.Load");
                       reply.SetVariable(VID_ITEM_LIST_BASE + 4, L"Load average");
                       reply.SetVariable(VID_ITEM_LIST_BASE + 5, (uint16_t)0x8005);
                       reply.SetVariable(VID_NUM_TABLES, (uint32_t)1);
                       reply.SetVariable(VID_TABLE_LIST_BASE + 0, L"System.Processes");
                       reply.SetVariable(VID_TABLE_LIST_BASE + 1, std::wstring(70, L'c').c_str());
                       reply.SetVariable(VID_TABLE_LIST_BASE + 2, std::wstring(100, L'd').c_str());
                    }));
   connect();
   DebugCapture debug;
   StructArray<HKC_AGENT_PARAM> *parameters = nullptr;
   StructArray<HKC_AGENT_TABLE> *tables = nullptr;
   ASSERT_EQ(ERR_SUCCESS, session->getSupportedParameters(&parameters, &tables));
   ASSERT_NE(nullptr, parameters);
   ASSERT_NE(nullptr, tables);

   ASSERT_EQ(2, parameters->size());
   EXPECT_STREQ(L"Agent.Uptime", parameters->get(0)->name);
   EXPECT_STREQ(L"Uptime in seconds", parameters->get(0)->description);
   EXPECT_EQ(1, parameters->get(0)->dataType);
   EXPECT_STREQ(L"System.Load", parameters->get(1)->name);
   EXPECT_EQ(0x8005, parameters->get(1)->dataType);  // zero-extended, never negative

   ASSERT_EQ(1, tables->size());
   EXPECT_STREQ(L"System.Processes", tables->get(0)->name);
   EXPECT_EQ(std::wstring(63, L'c'), tables->get(0)->instanceColumn);
   EXPECT_EQ(std::wstring(100, L'd'), tables->get(0)->description);
   delete parameters;
   delete tables;

   EXPECT_EQ(0u, only(CMD_GET_SUPPORTED_PARAMETERS)->GetNumVariables());
   // The result line comes first, then the counts.
   std::vector<std::wstring> expected = {
       L"AgentConnection::getSupportedParameters(): RCC=0",
       L"AgentConnection::getSupportedParameters(): 2 parameters received from agent",
       L"AgentConnection::getSupportedParameters(): 1 tables received from agent"};
   std::vector<std::wstring> logged;
   for (const std::wstring &line : debug.lines()) {
      if (line.find(L"getSupportedParameters") != std::wstring::npos)
         logged.push_back(line);
   }
   EXPECT_EQ(expected, logged);
}

TEST_F(QueryTest, SupportedParametersWithoutReplyLogNoResult) {
   agent.setHandler(CMD_GET_SUPPORTED_PARAMETERS, FakeSilent());
   connect();
   session->setCommandTimeout(500);
   DebugCapture debug;
   StructArray<HKC_AGENT_PARAM> *parameters = nullptr;
   StructArray<HKC_AGENT_TABLE> *tables = nullptr;
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->getSupportedParameters(&parameters, &tables));
   EXPECT_EQ(nullptr, parameters);
   EXPECT_EQ(nullptr, tables);
   EXPECT_FALSE(debug.contains(L"AgentConnection::getSupportedParameters(): RCC="));
}

TEST_F(QueryTest, SupportedParametersWithoutTableCountGiveAnEmptyTableList) {
   agent.setHandler(CMD_GET_SUPPORTED_PARAMETERS, FakeReply(0));
   connect();
   StructArray<HKC_AGENT_PARAM> *parameters = nullptr;
   StructArray<HKC_AGENT_TABLE> *tables = nullptr;
   ASSERT_EQ(ERR_SUCCESS, session->getSupportedParameters(&parameters, &tables));
   ASSERT_NE(nullptr, parameters);
   ASSERT_NE(nullptr, tables);
   EXPECT_EQ(0, parameters->size());
   EXPECT_EQ(0, tables->size());
   delete parameters;
   delete tables;
}

TEST_F(QueryTest, SupportedParametersErrorGivesNothingButIsLogged) {
   agent.setHandler(CMD_GET_SUPPORTED_PARAMETERS, FakeReply(ERR_ACCESS_DENIED));
   connect();
   DebugCapture debug;
   StructArray<HKC_AGENT_PARAM> *parameters = nullptr;
   StructArray<HKC_AGENT_TABLE> *tables = nullptr;
   EXPECT_EQ(ERR_ACCESS_DENIED, session->getSupportedParameters(&parameters, &tables));
   EXPECT_EQ(nullptr, parameters);
   EXPECT_EQ(nullptr, tables);
   EXPECT_TRUE(debug.contains(L"AgentConnection::getSupportedParameters(): RCC=403"));
   EXPECT_FALSE(debug.contains(L"AgentConnection::getSupportedParameters(): 0 parameters"));
}

TEST_F(QueryTest, ImplausibleRecordCountIsBoundedByTheReply) {
   agent.setHandler(CMD_GET_SUPPORTED_PARAMETERS,
                    FakeReply(0, [](const CSCPMessage &, CSCPMessage &reply) {
                       reply.SetVariable(VID_NUM_PARAMETERS, (uint32_t)0xFFFFFFF0);
                       reply.SetVariable(VID_ITEM_LIST_BASE, L"p");
                    }));
   connect();
   StructArray<HKC_AGENT_PARAM> *parameters = nullptr;
   StructArray<HKC_AGENT_TABLE> *tables = nullptr;
   ASSERT_EQ(ERR_SUCCESS, session->getSupportedParameters(&parameters, &tables));
   ASSERT_NE(nullptr, parameters);
   EXPECT_LE(parameters->size(), 3);  // no more records than the reply has variables
   EXPECT_STREQ(L"p", parameters->get(0)->name);
   delete parameters;
   delete tables;
}

}  // namespace
