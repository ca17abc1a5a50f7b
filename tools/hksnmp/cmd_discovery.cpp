// A device's interfaces and VLANs, read by the generic device driver.
#include <memory>

#include "snmp_commands.h"
#include "text.h"

using namespace hktool;

namespace hksnmptool {

namespace {

std::string PortList(const VlanInfo *vlan) {
   std::string text;
   for (int i = 0; i < vlan->getNumPorts(); i++) {
      if (i > 0)
         text += ",";
      text += std::to_string(vlan->getPorts()[i]);
   }
   return text;
}

std::string WithPrefix(uint32_t address, uint32_t mask) {
   int prefix = MaskPrefixLength(mask);
   return Ipv4Text(address) + "/" + (prefix >= 0 ? std::to_string(prefix) : Ipv4Text(mask));
}

}  // namespace

int RunInterfaces(const SnmpOptions &o, SNMP_Transport *transport) {
   NetworkDeviceDriver driver;
   std::unique_ptr<InterfaceList> list(
       driver.getInterfaces(transport, nullptr, o.aliases, o.ifXTable));
   if (list == nullptr)
      return ReportError(o.tool, SNMP_ERR_AGENT_STATUS, "cannot read the interfaces of " + o.host);
   if (o.tool.json) {
      JsonWriter json;
      json.beginObject();
      json.key("interfaces");
      json.beginArray();
      for (int i = 0; i < list->getSize(); i++) {
         const HK_INTERFACE_INFO *info = list->get(i);
         json.beginObject();
         json.member("index", info->ifIndex);
         json.member("name", info->name);
         json.member("description", info->description);
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
   TextTable table({"INDEX", "NAME", "TYPE", "MAC", "ADDRESS", "DESCRIPTION"});
   for (int i = 0; i < list->getSize(); i++) {
      const HK_INTERFACE_INFO *info = list->get(i);
      table.addRow({std::to_string(info->ifIndex), WideToUtf8(info->name),
                    std::to_string(info->type), MacText(info->macAddr),
                    WithPrefix(info->ipAddr, info->ipNetMask), WideToUtf8(info->description)});
   }
   table.print(stdout);
   return EXIT_OK;
}

int RunVlans(const SnmpOptions &o, SNMP_Transport *transport) {
   NetworkDeviceDriver driver;
   VlanList *vlans = driver.getVlans(transport, nullptr);
   if (vlans == nullptr)
      return ReportError(o.tool, SNMP_ERR_AGENT_STATUS, "cannot read the VLANs of " + o.host);
   JsonWriter json;
   json.beginObject();
   json.key("vlans");
   json.beginArray();
   TextTable table({"VLAN", "NAME", "PORTS"});
   for (int i = 0; i < vlans->getSize(); i++) {
      const VlanInfo *vlan = vlans->get(i);
      json.beginObject();
      json.member("id", vlan->getVlanId());
      json.member("name", vlan->getName());
      json.key("ports");
      json.beginArray();
      for (int p = 0; p < vlan->getNumPorts(); p++)
         json.value(vlan->getPorts()[p]);
      json.endArray();
      json.endObject();
      table.addRow(
          {std::to_string(vlan->getVlanId()), WideToUtf8(vlan->getName()), PortList(vlan)});
   }
   json.endArray();
   json.endObject();
   vlans->decRefCount();
   if (o.tool.json)
      PrintJson(json);
   else
      table.print(stdout);
   return EXIT_OK;
}

}  // namespace hksnmptool
