// Every request of AgentConnection against the real hkagent: parameters,
// lists, tables, the catalogue, the network tables, actions, service checks,
// policies, upgrades, traps and pushes, and file transfer.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cwchar>

#include "e2e_fixture.h"
#include "agent_codes.h"

using namespace e2e;

namespace {

const char kSecret[] = "e2e-secret-of-length";

class LibraryRequests : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_agent = new AgentProcess();
      AgentSetup setup;
      setup.secret = kSecret;
      setup.actions = {
          {"ok", "/bin/true"}, {"fails", "/bin/false"}, {"touch", "/usr/bin/touch {1:path}"}};
      setup.extraLines = {"ServiceCheckTargets = 127.0.0.0/8"};
      std::string error;
      ASSERT_TRUE(s_agent->start(setup, &error)) << error;
   }
   static void TearDownTestSuite() {
      delete s_agent;
      s_agent = nullptr;
   }
   void SetUp() override {
      ASSERT_NE(s_agent, nullptr);
      m_session = Connect(*s_agent, AUTH_SHA1_HASH, kSecret);
      ASSERT_NE(m_session, nullptr);
   }

   std::wstring parameter(const wchar_t *name, uint32_t *result) {
      wchar_t value[1024] = L"untouched";
      *result = m_session->getParameter(name, 1024, value);
      return value;
   }

   static AgentProcess *s_agent;
   std::unique_ptr<RecordingConnection> m_session;
};

AgentProcess *LibraryRequests::s_agent = nullptr;

std::wstring Widen(const std::string &text) {
   return std::wstring(text.begin(), text.end());
}

TEST_F(LibraryRequests, ParametersAnswerForThisHost) {
   char host[256] = {};
   gethostname(host, sizeof(host) - 1);
   uint32_t result;
   EXPECT_EQ(parameter(L"System.Hostname", &result), Widen(host));
   EXPECT_EQ(result, ERR_SUCCESS);
   EXPECT_EQ(parameter(L"Agent.Version", &result), Widen(HK_E2E_VERSION));
   EXPECT_EQ(parameter(L"system.cpu.count", &result),
             std::to_wstring(sysconf(_SC_NPROCESSORS_ONLN)));
   std::string mtu = ReadFile("/sys/class/net/lo/mtu");
   EXPECT_EQ(parameter(L"Net.Interface.MTU(lo)", &result), Widen(mtu.substr(0, mtu.find('\n'))));

   // A failed query leaves the caller's buffer as it was.
   EXPECT_EQ(parameter(L"No.Such.Parameter", &result), L"untouched");
   EXPECT_EQ(result, ERR_UNKNOWN_PARAMETER);
   EXPECT_EQ(parameter(L"Net.Interface.MTU(../../etc/passwd)", &result), L"untouched");
   EXPECT_NE(result, ERR_SUCCESS);
}

TEST_F(LibraryRequests, ListsAndTablesDescribeThisHost) {
   ASSERT_EQ(m_session->getList(L"Net.InterfaceList"), ERR_SUCCESS);
   bool loopback = false;
   for (uint32_t i = 0; i < m_session->getNumDataLines(); i++)
      loopback = loopback || wcsstr(m_session->getDataLine(i), L"127.0.0.1/8") != nullptr;
   EXPECT_TRUE(loopback);
   EXPECT_EQ(m_session->getList(L"No.Such.List"), ERR_UNKNOWN_PARAMETER);

   Table *raw = nullptr;
   ASSERT_EQ(m_session->getTable(L"System.Processes", &raw), ERR_SUCCESS);
   std::unique_ptr<Table> table(raw);
   int pidColumn = table->getColumnIndex(L"PID");
   ASSERT_GE(pidColumn, 0);
   bool found = false;
   for (int r = 0; r < table->getNumRows(); r++)
      found = found || table->getAsInt(r, pidColumn) == (int32_t)getpid();
   EXPECT_TRUE(found) << "this test's own process is not in the table";
   raw = nullptr;
   EXPECT_EQ(m_session->getTable(L"No.Such.Table", &raw), ERR_UNKNOWN_PARAMETER);
   EXPECT_EQ(raw, nullptr);
}

TEST_F(LibraryRequests, CatalogueNamesWhatTheAgentServes) {
   StructArray<HKC_AGENT_PARAM> *rawParameters = nullptr;
   StructArray<HKC_AGENT_TABLE> *rawTables = nullptr;
   ASSERT_EQ(m_session->getSupportedParameters(&rawParameters, &rawTables), ERR_SUCCESS);
   std::unique_ptr<StructArray<HKC_AGENT_PARAM>> parameters(rawParameters);
   std::unique_ptr<StructArray<HKC_AGENT_TABLE>> tables(rawTables);
   ASSERT_GT(parameters->size(), 5);
   for (int i = 0; i < parameters->size(); i++) {
      std::wstring name = parameters->get(i)->name;
      if (name.find(L"(*)") != std::wstring::npos)
         continue;
      uint32_t result;
      parameter(name.c_str(), &result);
      EXPECT_EQ(result, ERR_SUCCESS) << "catalogued but not served";
   }
   bool processes = false;
   for (int i = 0; i < tables->size(); i++)
      processes = processes || wcscmp(tables->get(i)->name, L"System.Processes") == 0;
   EXPECT_TRUE(processes);
}

TEST_F(LibraryRequests, NetworkTablesMatchTheAgentsLists) {
   std::unique_ptr<InterfaceList> interfaces(m_session->getInterfaceList());
   ASSERT_NE(interfaces, nullptr);
   const HK_INTERFACE_INFO *lo = nullptr;
   for (int i = 0; i < interfaces->getSize(); i++) {
      if (wcscmp(interfaces->get(i)->name, L"lo") == 0)
         lo = interfaces->get(i);
   }
   ASSERT_NE(lo, nullptr);
   EXPECT_EQ(lo->ipAddr, 0x7F000001u);
   EXPECT_EQ(lo->ipNetMask, 0xFF000000u);
   EXPECT_EQ(lo->type, 24u);

   ROUTING_TABLE *routes = m_session->getRoutingTable();
   ASSERT_NE(routes, nullptr);
   int numRoutes = routes->numEntries;
   DestroyRoutingTable(routes);
   ASSERT_EQ(m_session->getList(L"Net.IP.RoutingTable"), ERR_SUCCESS);
   EXPECT_EQ((uint32_t)numRoutes, m_session->getNumDataLines());

   ARP_CACHE *arp = m_session->getArpCache();
   ASSERT_NE(arp, nullptr);
   uint32_t numArp = arp->numEntries;
   DestroyArpCache(arp);
   ASSERT_EQ(m_session->getList(L"Net.ArpCache"), ERR_SUCCESS);
   EXPECT_EQ(numArp, m_session->getNumDataLines());
}

TEST_F(LibraryRequests, ActionsReportHowTheyEnded) {
   EXPECT_EQ(m_session->execAction(L"ok", 0, nullptr), ERR_SUCCESS);
   EXPECT_EQ(m_session->execAction(L"fails", 0, nullptr), ERR_EXEC_FAILED);
   EXPECT_EQ(m_session->execAction(L"no-such-action", 0, nullptr), ERR_UNKNOWN_PARAMETER);

   TempDir dir;
   std::wstring target = Widen(dir / "made-by-action");
   wchar_t *args[] = {target.data()};
   EXPECT_EQ(m_session->execAction(L"touch", 1, args), ERR_SUCCESS);
   EXPECT_TRUE(Exists(dir / "made-by-action"));
}

TEST_F(LibraryRequests, ServiceChecksTellOpenFromClosed) {
   // A listening port (its backlog takes the connection), then the same
   // port closed: free again.
   int s = socket(AF_INET, SOCK_STREAM, 0);
   struct sockaddr_in address = {};
   address.sin_family = AF_INET;
   address.sin_addr.s_addr = htonl(0x7F000001);
   socklen_t length = sizeof(address);
   ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
   ASSERT_EQ(listen(s, 4), 0);
   getsockname(s, reinterpret_cast<sockaddr *>(&address), &length);
   uint32_t status = 99;
   EXPECT_EQ(m_session->checkNetworkService(&status, 0x7F000001, 0, ntohs(address.sin_port), 6),
             ERR_SUCCESS);
   EXPECT_EQ(status, hkagent::SERVICE_OK);
   close(s);
   status = 99;
   EXPECT_EQ(m_session->checkNetworkService(&status, 0x7F000001, 0, ntohs(address.sin_port), 6),
             ERR_SUCCESS);
   EXPECT_EQ(status, hkagent::SERVICE_CONNECT_REFUSED);
}

TEST_F(LibraryRequests, PoliciesAreListedAndRemoved) {
   ASSERT_TRUE(WriteFile(s_agent->policyDir() + "/00112233445566778899aabbccddeeff.policy",
                         "type = 2\nserver = alpha\n"));
   ASSERT_TRUE(WriteFile(s_agent->policyDir() + "/ffeeddccbbaa99887766554433221100.policy",
                         "type = 5\nserver = beta\n"));
   AgentPolicyInfo *raw = nullptr;
   ASSERT_EQ(m_session->getPolicyInventory(&raw), ERR_SUCCESS);
   std::unique_ptr<AgentPolicyInfo> inventory(raw);
   ASSERT_EQ(inventory->getSize(), 2);
   int alpha = wcscmp(inventory->getServer(0), L"alpha") == 0 ? 0 : 1;
   EXPECT_EQ(inventory->getType(alpha), 2);
   EXPECT_STREQ(inventory->getServer(1 - alpha), L"beta");
   uint8_t guid[16];
   ASSERT_TRUE(inventory->getGuid(alpha, guid));
   EXPECT_EQ(guid[0], 0x00);
   EXPECT_EQ(guid[15], 0xFF);

   EXPECT_EQ(m_session->uninstallPolicy(guid), ERR_SUCCESS);
   EXPECT_FALSE(Exists(s_agent->policyDir() + "/00112233445566778899aabbccddeeff.policy"));
   EXPECT_EQ(m_session->uninstallPolicy(guid), ERR_BAD_ARGUMENTS);
   raw = nullptr;
   ASSERT_EQ(m_session->getPolicyInventory(&raw), ERR_SUCCESS);
   inventory.reset(raw);
   EXPECT_EQ(inventory->getSize(), 1);
   RemoveTree(s_agent->policyDir() + "/ffeeddccbbaa99887766554433221100.policy");
}

TEST_F(LibraryRequests, UpgradesAreRefused) {
   EXPECT_EQ(m_session->startUpgrade(L"package.tgz"), ERR_NOT_IMPLEMENTED);
   EXPECT_EQ(m_session->nop(), ERR_SUCCESS);
}

TEST_F(LibraryRequests, TrapsAndPushesReachTheHooks) {
   ASSERT_EQ(m_session->enableTraps(), ERR_SUCCESS);
   CSCPMessage push(m_session->getProtocolVersion());
   push.SetCode(hkagent::CMD_PUSH_NOW);
   std::unique_ptr<CSCPMessage> reply(m_session->customRequest(&push));
   ASSERT_NE(reply, nullptr);
   EXPECT_EQ(reply->GetVariableLong(VID_RCC), ERR_SUCCESS);
   uint32_t elements = 0;
   ASSERT_TRUE(m_session->waitPush(&elements));
   EXPECT_GT(elements, 0u);

   TempDir dir;
   WriteFile(dir / "trap.txt", "upload raises a trap");
   std::wstring path = Widen(dir / "trap.txt");
   ASSERT_EQ(m_session->uploadFile(path.c_str()), ERR_SUCCESS);
   EXPECT_TRUE(m_session->waitTrap(hkagent::TRAP_FILE_UPLOADED));
}

void CountUpload(int64_t sent, void *argument) {
   *static_cast<int64_t *>(argument) = sent;
}

void CountDownload(uint64_t position, void *argument) {
   *static_cast<uint64_t *>(argument) = position;
}

TEST_F(LibraryRequests, FilesRoundTripPlainAndEncrypted) {
   TempDir dir;
   std::string content = PatternBytes(3 * 1024 * 1024 + 17, 7);
   ASSERT_TRUE(WriteFile(dir / "payload.bin", content));
   std::string digest = Sha256OfFile(dir / "payload.bin");
   for (int policy : {ENCRYPTION_DISABLED, ENCRYPTION_REQUIRED}) {
      SCOPED_TRACE(policy);
      auto session = Connect(*s_agent, AUTH_MD5_HASH, kSecret, policy);
      ASSERT_NE(session, nullptr);
      EXPECT_EQ(session->encrypted(), policy == ENCRYPTION_REQUIRED);
      std::string stored = "round-" + std::to_string(policy) + ".bin";
      std::wstring local = Widen(dir / "payload.bin"), remote = Widen(stored);
      int64_t sent = 0;
      ASSERT_EQ(session->uploadFile(local.c_str(), remote.c_str(), CountUpload, &sent),
                ERR_SUCCESS);
      EXPECT_EQ(sent, (int64_t)content.size());
      EXPECT_EQ(Sha256OfFile(s_agent->storeDir() + "/" + stored), digest);

      uint64_t announced = 0;
      ASSERT_EQ(DownloadFile(session.get(), stored, dir / "back.bin", &announced), ERR_SUCCESS);
      EXPECT_EQ(announced, content.size());
      EXPECT_EQ(Sha256OfFile(dir / "back.bin"), digest);

      // Progress reaches the start of the last frame: the end-of-file frame
      // ends the download and reports no progress of its own.
      CSCPMessage request(session->getProtocolVersion());
      request.SetCode(hkagent::CMD_GET_AGENT_FILE);
      request.SetVariable(VID_FILE_NAME, remote.c_str());
      std::wstring again = Widen(dir / "again.bin");
      uint64_t position = 0;
      std::unique_ptr<CSCPMessage> reply(
          session->customRequest(&request, again.c_str(), false, CountDownload, &position));
      ASSERT_NE(reply, nullptr);
      EXPECT_EQ(reply->GetVariableLong(VID_RCC), ERR_SUCCESS);
      uint64_t lastFrame = content.size() % FILE_BUFFER_SIZE;
      EXPECT_EQ(position, content.size() - (lastFrame == 0 ? FILE_BUFFER_SIZE : lastFrame));
   }
   EXPECT_EQ(DownloadFile(m_session.get(), "missing.bin", dir / "missing.bin"),
             ERR_FILE_OPEN_ERROR);
   EXPECT_FALSE(Exists(dir / "missing.bin"));
}

TEST(LibraryConfigFile, ReadReplacedAndCheckedBeforeUse) {
   AgentProcess agent;
   AgentSetup setup;
   setup.actions = {{"first", "/bin/true"}};
   setup.allowConfigUpdate = true;
   std::string error;
   ASSERT_TRUE(agent.start(setup, &error)) << error;
   auto session = Connect(agent);
   ASSERT_NE(session, nullptr);
   ASSERT_EQ(session->enableTraps(), ERR_SUCCESS);

   wchar_t *raw = nullptr;
   uint32_t size = 0;
   ASSERT_EQ(session->getConfigFile(&raw, &size), ERR_SUCCESS);
   std::string original = ReadFile(agent.configPath());
   EXPECT_EQ(size, original.size());
   EXPECT_EQ(std::wstring(raw), Widen(original));
   free(raw);

   // A text with errors changes nothing.
   std::string broken = original + "[agent]\nMaxSessions = lots\n";
   EXPECT_EQ(session->updateConfigFile(Widen(broken).c_str()), ERR_BAD_ARGUMENTS);
   EXPECT_EQ(ReadFile(agent.configPath()), original);

   // Actions come only from the local file.
   std::string renamed = original;
   renamed.replace(renamed.find("first"), 5, "second");
   EXPECT_EQ(session->updateConfigFile(Widen(renamed).c_str()), ERR_ACCESS_DENIED);
   EXPECT_EQ(ReadFile(agent.configPath()), original);
   EXPECT_EQ(session->execAction(L"first", 0, nullptr), ERR_SUCCESS);

   std::string replaced = original + "[agent]\nPushInterval = 5\n";
   ASSERT_EQ(session->updateConfigFile(Widen(replaced).c_str()), ERR_SUCCESS);
   EXPECT_EQ(ReadFile(agent.configPath()), replaced);
   EXPECT_TRUE(session->waitTrap(hkagent::TRAP_CONFIG_REPLACED));
}

}  // namespace
