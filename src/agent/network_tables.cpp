// The agent's network tables: interface list, ARP cache and routing table,
// read as text lists and parsed into the library's records; the routing
// table's sort and the free functions.
#include <cstdlib>

#include "agent/list_parsers.h"
#include "hksrv_agent.h"
#include "hksrv_lists.h"

using hksrv_agent::ParseArpLine;
using hksrv_agent::ParseInterfaceLine;
using hksrv_agent::ParseRouteLine;

// The three operations share one frame: fill the data-line store with
// getList, parse each stored line in place into one record, then empty the
// store under the state lock (teardown frees it under the same lock).

InterfaceList *AgentConnection::getInterfaceList() {
   if (getList(L"Net.InterfaceList") != ERR_SUCCESS)
      return nullptr;

   auto *list = new InterfaceList((int)m_numDataLines);
   for (uint32_t i = 0; i < m_numDataLines; i++) {
      HK_INTERFACE_INFO info;
      ParseInterfaceLine(m_dataLines[i], &info);
      list->add(&info);
   }

   Lock();
   destroyResultData();
   Unlock();
   return list;
}

ARP_CACHE *AgentConnection::getArpCache() {
   if (getList(L"Net.ArpCache") != ERR_SUCCESS)
      return nullptr;

   auto *cache = static_cast<ARP_CACHE *>(malloc(sizeof(ARP_CACHE)));
   cache->numEntries = m_numDataLines;
   cache->entries =
       static_cast<ARP_ENTRY *>(calloc(m_numDataLines > 0 ? m_numDataLines : 1, sizeof(ARP_ENTRY)));
   for (uint32_t i = 0; i < m_numDataLines; i++)
      ParseArpLine(m_dataLines[i], &cache->entries[i]);

   Lock();
   destroyResultData();
   Unlock();
   return cache;
}

ROUTING_TABLE *AgentConnection::getRoutingTable() {
   if (getList(L"Net.IP.RoutingTable") != ERR_SUCCESS)
      return nullptr;

   auto *table = static_cast<ROUTING_TABLE *>(malloc(sizeof(ROUTING_TABLE)));
   table->numEntries = (int32_t)m_numDataLines;
   table->routes =
       static_cast<ROUTE *>(calloc(m_numDataLines > 0 ? m_numDataLines : 1, sizeof(ROUTE)));
   for (uint32_t i = 0; i < m_numDataLines; i++)
      ParseRouteLine(m_dataLines[i], &table->routes[i]);

   Lock();
   destroyResultData();
   Unlock();
   return table;
}

namespace {

// The larger mask first, so that the most specific routes lead.
int CompareMasks(const void *first, const void *second) {
   uint32_t a = static_cast<const ROUTE *>(first)->netMask;
   uint32_t b = static_cast<const ROUTE *>(second)->netMask;
   if (a < b)
      return 1;
   if (a > b)
      return -1;
   return 0;
}

// ROUTING_TABLE and ARP_CACHE are both a count and a malloc'ed array inside
// a malloc'ed record; one routine frees either.
void DestroyCountedArray(void *record, void *array) {
   if (record == nullptr)
      return;
   free(array);
   free(record);
}

}  // namespace

void SortRoutingTable(ROUTING_TABLE *table) {
   if (table->numEntries > 1)
      qsort(table->routes, (size_t)table->numEntries, sizeof(ROUTE), CompareMasks);
}

void DestroyRoutingTable(ROUTING_TABLE *table) {
   DestroyCountedArray(table, table != nullptr ? table->routes : nullptr);
}

void DestroyArpCache(ARP_CACHE *cache) {
   DestroyCountedArray(cache, cache != nullptr ? cache->entries : nullptr);
}
