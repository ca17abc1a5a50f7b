// Network tables read from the agent: interface list, ARP cache and routing
// table, their list names on the wire, and the data-line store afterwards.
#include <cstring>

#include "requests_fixture.h"

namespace {

class TablesTest : public RequestTest {
protected:
   // Answers CMD_GET_LIST for `name` with the lines, announcing `announced`
   // (the line count when negative); other lists are unknown.
   void serve(const std::wstring &name, std::vector<std::wstring> lines, int announced = -1) {
      uint32_t count = (announced < 0) ? (uint32_t)lines.size() : (uint32_t)announced;
      agent.setHandler(CMD_GET_LIST, [name, lines, count](FakeAgentConnection &connection,
                                                          const CSCPMessage &request) {
         if (Str(request, VID_PARAMETER) != name) {
            connection.reply(request, ERR_UNKNOWN_PARAMETER);
            return;
         }
         connection.reply(request, 0, [&](CSCPMessage &reply) {
            reply.SetVariable(VID_NUM_STRINGS, count);
            for (size_t i = 0; i < lines.size(); i++)
               reply.SetVariable(VID_ITEM_LIST_BASE + (uint32_t)i, lines[i].c_str());
         });
      });
   }
};

TEST_F(TablesTest, InterfaceListIsParsedLineByLine) {
   serve(L"Net.InterfaceList", {L"3 10.0.0.5/16 6 001122AABBCC Local Area Connection",
                                L"1 127.0.0.1/8 24 000000000000 lo", L"single"});
   connect();
   InterfaceList *list = session->getInterfaceList();
   ASSERT_NE(nullptr, list);
   ASSERT_EQ(3, list->getSize());
   const HK_INTERFACE_INFO *eth = list->get(0);
   EXPECT_EQ(3u, eth->ifIndex);
   EXPECT_EQ(0x0A000005u, eth->ipAddr);
   EXPECT_EQ(0xFFFF0000u, eth->ipNetMask);
   EXPECT_EQ(6u, eth->type);
   EXPECT_EQ(0xCC, eth->macAddr[5]);
   EXPECT_STREQ(L"Local Area Connection", eth->name);
   EXPECT_STREQ(L"Local Area Connection", eth->description);
   EXPECT_EQ(0x7F000001u, list->get(1)->ipAddr);
   EXPECT_EQ(24u, list->get(1)->type);
   EXPECT_STREQ(L"single", list->get(2)->name);
   EXPECT_EQ(0u, list->get(2)->ifIndex);
   delete list;

   auto request = only(CMD_GET_LIST);
   EXPECT_EQ(1u, request->GetNumVariables());
   EXPECT_EQ(0u, session->getNumDataLines());  // the store is emptied
}

TEST_F(TablesTest, ArpCacheIsParsed) {
   serve(L"Net.ArpCache",
         {L"00112233AABB 192.168.1.10 4", L"0A0B0C0D0E0F   1.1.1.1", L"too short"});
   connect();
   ARP_CACHE *cache = session->getArpCache();
   ASSERT_NE(nullptr, cache);
   ASSERT_EQ(3u, cache->numEntries);
   EXPECT_EQ(0xC0A8010Au, cache->entries[0].ipAddr);
   EXPECT_EQ(4u, cache->entries[0].ifIndex);
   EXPECT_EQ(0xAA, cache->entries[0].macAddr[4]);
   EXPECT_EQ(0x01010101u, cache->entries[1].ipAddr);
   EXPECT_EQ(0u, cache->entries[1].ifIndex);
   EXPECT_EQ(0u, cache->entries[2].ipAddr);  // counted, all zero
   DestroyArpCache(cache);
   EXPECT_EQ(0u, session->getNumDataLines());
}

TEST_F(TablesTest, RoutingTableIsParsedAndSorts) {
   serve(L"Net.IP.RoutingTable",
         {L"0.0.0.0/0 192.168.1.1 2 4", L"192.168.1.0 0.0.0.0 2 3", L"192.168.1.7/32 0.0.0.0 2 3"});
   connect();
   ROUTING_TABLE *table = session->getRoutingTable();
   ASSERT_NE(nullptr, table);
   ASSERT_EQ(3, table->numEntries);
   EXPECT_EQ(0u, table->routes[0].destination);
   EXPECT_EQ(0xC0A80101u, table->routes[0].nextHop);
   EXPECT_EQ(2u, table->routes[0].ifIndex);
   EXPECT_EQ(4u, table->routes[0].routeType);
   EXPECT_EQ(0xFFFFFF00u, table->routes[1].netMask);
   SortRoutingTable(table);
   EXPECT_EQ(0xFFFFFFFFu, table->routes[0].netMask);
   EXPECT_EQ(0xC0A80107u, table->routes[0].destination);
   EXPECT_EQ(0u, table->routes[2].netMask);
   DestroyRoutingTable(table);
}

TEST_F(TablesTest, MissingLinesBecomeZeroRecords) {
   // The agent announces more lines than it sends: the store holds nulls.
   serve(L"Net.IP.RoutingTable", {L"10.0.0.0/8 10.0.0.1 1 3"}, 3);
   connect();
   ROUTING_TABLE *table = session->getRoutingTable();
   ASSERT_NE(nullptr, table);
   ASSERT_EQ(3, table->numEntries);
   EXPECT_EQ(0xFF000000u, table->routes[0].netMask);
   ROUTE zero;
   memset(&zero, 0, sizeof(zero));
   EXPECT_EQ(0, memcmp(&zero, &table->routes[1], sizeof(ROUTE)));
   EXPECT_EQ(0, memcmp(&zero, &table->routes[2], sizeof(ROUTE)));
   DestroyRoutingTable(table);

   serve(L"Net.ArpCache", {}, 2);
   ARP_CACHE *cache = session->getArpCache();
   ASSERT_NE(nullptr, cache);
   EXPECT_EQ(2u, cache->numEntries);
   EXPECT_EQ(0u, cache->entries[1].ipAddr);
   DestroyArpCache(cache);

   serve(L"Net.InterfaceList", {L"1 1.2.3.4 6 00 a"}, 2);
   InterfaceList *list = session->getInterfaceList();
   ASSERT_NE(nullptr, list);
   ASSERT_EQ(2, list->getSize());
   EXPECT_STREQ(L"", list->get(1)->name);
   EXPECT_EQ(0u, list->get(1)->ipAddr);
   delete list;
}

TEST_F(TablesTest, EmptyListsGiveEmptyResults) {
   connect();
   serve(L"Net.InterfaceList", {});
   InterfaceList *list = session->getInterfaceList();
   ASSERT_NE(nullptr, list);
   EXPECT_EQ(0, list->getSize());
   delete list;
   serve(L"Net.ArpCache", {});
   ARP_CACHE *cache = session->getArpCache();
   ASSERT_NE(nullptr, cache);
   EXPECT_EQ(0u, cache->numEntries);
   DestroyArpCache(cache);
   serve(L"Net.IP.RoutingTable", {});
   ROUTING_TABLE *table = session->getRoutingTable();
   ASSERT_NE(nullptr, table);
   EXPECT_EQ(0, table->numEntries);
   DestroyRoutingTable(table);
}

TEST_F(TablesTest, AnyListFailureGivesNull) {
   serve(L"Something.Else", {L"x"});
   connect();
   EXPECT_EQ(nullptr, session->getInterfaceList());
   EXPECT_EQ(nullptr, session->getArpCache());
   EXPECT_EQ(nullptr, session->getRoutingTable());
   std::vector<std::wstring> names;
   for (const FakeAgentRecord &record : agent.recordsWithCode(CMD_GET_LIST))
      names.push_back(Str(*record.message, VID_PARAMETER));
   EXPECT_EQ(
       (std::vector<std::wstring>{L"Net.InterfaceList", L"Net.ArpCache", L"Net.IP.RoutingTable"}),
       names);

   AgentConnection never(Ip("127.0.0.1"), 1);
   EXPECT_EQ(nullptr, never.getInterfaceList());
   EXPECT_EQ(nullptr, never.getArpCache());
   EXPECT_EQ(nullptr, never.getRoutingTable());
}

}  // namespace
