// NetworkDeviceDriver::getVlans: VLANs and their egress ports from the
// Q-BRIDGE-MIB.
#include <cstring>

#include "hksrv_driver.h"
#include "hksrv_snmp.h"

namespace {

const int VLAN_PORT_REF_BRIDGE_PORT = 2;  // ports are bridge port numbers
const size_t VLAN_NAME_SIZE = 256;        // characters, the NUL included
const size_t PORT_BITMAP_SIZE = 4096;     // bytes: ports 1 to 32768

// The VLAN id is the last component of a row's name.
int VlanIdOf(const SNMP_Variable *variable) {
   const SNMP_ObjectId *name = variable->getName();
   return name->getLength() > 0 ? static_cast<int>(name->getValue()[name->getLength() - 1]) : 0;
}

uint32_t StaticNameCallback(uint32_t version, SNMP_Variable *variable, SNMP_Transport *transport,
                            void *userArg) {
   wchar_t name[VLAN_NAME_SIZE];
   VlanInfo *vlan = new VlanInfo(VlanIdOf(variable), VLAN_PORT_REF_BRIDGE_PORT);
   vlan->setName(variable->GetValueAsString(name, VLAN_NAME_SIZE));
   static_cast<VlanList *>(userArg)->add(vlan);
   return 0;
}

uint32_t EgressPortsCallback(uint32_t version, SNMP_Variable *variable, SNMP_Transport *transport,
                             void *userArg) {
   VlanInfo *vlan = static_cast<VlanList *>(userArg)->findById(VlanIdOf(variable));
   if (vlan == nullptr) {
      return 0;
   }
   uint8_t bitmap[PORT_BITMAP_SIZE];
   size_t count = variable->getRawValue(bitmap, sizeof(bitmap));
   // The most significant bit of the first byte is port 1.
   for (size_t j = 0; j < count; j++) {
      for (uint32_t k = 0; k < 8; k++) {
         if (bitmap[j] & (0x80 >> k)) {
            vlan->add(static_cast<uint32_t>(j * 8 + k + 1));
         }
      }
   }
   return 0;
}

}  // namespace

VlanList *NetworkDeviceDriver::getVlans(SNMP_Transport *transport, StringMap *attributes) {
   if (transport == nullptr) {
      return nullptr;
   }
   uint32_t version = transport->getSnmpVersion();
   VlanList *list = new VlanList(8);
   if (SnmpEnumerate(version, transport, L".1.3.6.1.2.1.17.7.1.4.3.1.1", StaticNameCallback, list,
                     0) != SNMP_ERR_SUCCESS ||
       SnmpEnumerate(version, transport, L".1.3.6.1.2.1.17.7.1.4.2.1.4", EgressPortsCallback, list,
                     0) != SNMP_ERR_SUCCESS) {
      // Deleted, not released: the list was never shared.
      delete list;
      return nullptr;
   }
   return list;
}
