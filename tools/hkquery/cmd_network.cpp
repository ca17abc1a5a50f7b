// The agent's interfaces, ARP cache and routing table.
#include <memory>

#include "commands.h"
#include "text.h"

using namespace hktool;

namespace hkquery {

namespace {

// The network-table requests return null on any failure without a code.
int TableFailed(const Query &q, const std::string &what) {
   return ReportError(q.tool(), ERR_BAD_RESPONSE, "cannot read the " + what + " from the agent");
}

std::string WithPrefix(uint32_t address, uint32_t mask) {
   int prefix = MaskPrefixLength(mask);
   return Ipv4Text(address) + "/" + (prefix >= 0 ? std::to_string(prefix) : Ipv4Text(mask));
}

}  // namespace

int RunInterfaces(const Query &q) {
   std::unique_ptr<InterfaceList> list(q.agent->getInterfaceList());
   if (list == nullptr)
      return TableFailed(q, "interface list");
   if (q.tool().json) {
      JsonWriter json;
      json.beginObject();
      json.key("interfaces");
      json.beginArray();
      for (int i = 0; i < list->getSize(); i++) {
         const HK_INTERFACE_INFO *info = list->get(i);
         json.beginObject();
         json.member("index", info->ifIndex);
         json.member("name", info->name);
         json.member("type", info->type);
         json.member("mac", MacText(info->macAddr));
         json.member("address", Ipv4Text(info->ipAddr));
         json.member("netmask", Ipv4Text(info->ipNetMask));
         json.endObject();
      }
      json.endArray();
      json.endObject();
      PrintJson(json);
      return EXIT_OK;
   }
   TextTable table({"INDEX", "NAME", "TYPE", "MAC", "ADDRESS"});
   for (int i = 0; i < list->getSize(); i++) {
      const HK_INTERFACE_INFO *info = list->get(i);
      table.addRow({std::to_string(info->ifIndex), WideToUtf8(info->name),
                    std::to_string(info->type), MacText(info->macAddr),
                    WithPrefix(info->ipAddr, info->ipNetMask)});
   }
   table.print(stdout);
   return EXIT_OK;
}

int RunArp(const Query &q) {
   ARP_CACHE *cache = q.agent->getArpCache();
   if (cache == nullptr)
      return TableFailed(q, "ARP cache");
   std::unique_ptr<ARP_CACHE, void (*)(ARP_CACHE *)> owner(cache, DestroyArpCache);
   if (q.tool().json) {
      JsonWriter json;
      json.beginObject();
      json.key("arp");
      json.beginArray();
      for (uint32_t i = 0; i < cache->numEntries; i++) {
         const ARP_ENTRY &e = cache->entries[i];
         json.beginObject();
         json.member("ifIndex", e.ifIndex);
         json.member("address", Ipv4Text(e.ipAddr));
         json.member("mac", MacText(e.macAddr));
         json.endObject();
      }
      json.endArray();
      json.endObject();
      PrintJson(json);
      return EXIT_OK;
   }
   TextTable table({"ADDRESS", "MAC", "INDEX"});
   for (uint32_t i = 0; i < cache->numEntries; i++) {
      const ARP_ENTRY &e = cache->entries[i];
      table.addRow({Ipv4Text(e.ipAddr), MacText(e.macAddr), std::to_string(e.ifIndex)});
   }
   table.print(stdout);
   return EXIT_OK;
}

int RunRoutes(const Query &q) {
   ROUTING_TABLE *routes = q.agent->getRoutingTable();
   if (routes == nullptr)
      return TableFailed(q, "routing table");
   std::unique_ptr<ROUTING_TABLE, void (*)(ROUTING_TABLE *)> owner(routes, DestroyRoutingTable);
   if (q.tool().json) {
      JsonWriter json;
      json.beginObject();
      json.key("routes");
      json.beginArray();
      for (int i = 0; i < routes->numEntries; i++) {
         const ROUTE &r = routes->routes[i];
         json.beginObject();
         json.member("destination", Ipv4Text(r.destination));
         json.member("netmask", Ipv4Text(r.netMask));
         json.member("nextHop", Ipv4Text(r.nextHop));
         json.member("ifIndex", r.ifIndex);
         json.member("type", r.routeType);
         json.endObject();
      }
      json.endArray();
      json.endObject();
      PrintJson(json);
      return EXIT_OK;
   }
   TextTable table({"DESTINATION", "NEXT HOP", "INDEX", "TYPE"});
   for (int i = 0; i < routes->numEntries; i++) {
      const ROUTE &r = routes->routes[i];
      table.addRow({WithPrefix(r.destination, r.netMask), Ipv4Text(r.nextHop),
                    std::to_string(r.ifIndex), std::to_string(r.routeType)});
   }
   table.print(stdout);
   return EXIT_OK;
}

}  // namespace hkquery
