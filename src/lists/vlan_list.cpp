// VlanInfo and VlanList: VLANs with their member ports, and the message that
// carries them to the server's clients.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "hksrv_lists.h"

namespace {
const int kPortGrowth = 64;
const int kVlanListGrowth = 32;

// A zeroed array of count 32-bit words (at least one word, so that an empty
// VLAN still gets a non-null array), or null when memory runs out.
uint32_t *NewZeroedWords(int count) {
   return static_cast<uint32_t *>(calloc(count > 0 ? (size_t)count : 1, sizeof(uint32_t)));
}
}  // namespace

// ---------------------------------------------------------------- VlanInfo

VlanInfo::VlanInfo(int vlanId, int portRefMode)
    : vlanId(vlanId),
      name(nullptr),
      portRefMode(portRefMode),
      allocated(kPortGrowth),
      numPorts(0),
      ifIndexes(nullptr),
      ifIds(nullptr) {
   ports = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * (size_t)allocated));
   if (ports == nullptr)
      allocated = 0;
}

VlanInfo::~VlanInfo() {
   free(ports);
   free(name);
   free(ifIndexes);
   free(ifIds);
}

void VlanInfo::add(uint32_t port) {
   // The resolution arrays are sized at prepare time: a port added later
   // would have no resolution slot.
   if (ifIndexes != nullptr || ifIds != nullptr)
      return;
   if (numPorts == allocated) {
      int capacity = allocated + kPortGrowth;
      auto *grown = static_cast<uint32_t *>(realloc(ports, sizeof(uint32_t) * (size_t)capacity));
      if (grown == nullptr)
         return;
      ports = grown;
      allocated = capacity;
   }
   ports[numPorts++] = port;
}

void VlanInfo::add(uint32_t slot, uint32_t port) {
   add((slot << 16) | port);
}

void VlanInfo::setName(const wchar_t *newName) {
   free(name);
   name = (newName != nullptr) ? wcsdup(newName) : nullptr;
}

void VlanInfo::prepareForResolve() {
   if (ifIndexes == nullptr)
      ifIndexes = NewZeroedWords(numPorts);
   if (ifIds == nullptr)
      ifIds = NewZeroedWords(numPorts);
}

void VlanInfo::resolvePort(int index, uint32_t port, uint32_t ifIndex, uint32_t ifId) {
   if (index < 0 || index >= numPorts || ifIndexes == nullptr || ifIds == nullptr)
      return;
   ports[index] = port;
   ifIndexes[index] = ifIndex;
   ifIds[index] = ifId;
}

// ---------------------------------------------------------------- VlanList

VlanList::VlanList(int initialAlloc)
    : size(0), allocated(initialAlloc > 0 ? initialAlloc : 0), data(nullptr) {
   vlans = static_cast<VlanInfo **>(
       malloc(sizeof(VlanInfo *) * (allocated > 0 ? (size_t)allocated : 1)));
   if (vlans == nullptr)
      allocated = 0;
}

VlanList::~VlanList() {
   for (int i = 0; i < size; i++)
      delete vlans[i];
   free(vlans);
}

void VlanList::add(VlanInfo *vlan) {
   if (size == allocated) {
      int capacity = allocated + kVlanListGrowth;
      auto *grown = static_cast<VlanInfo **>(realloc(vlans, sizeof(VlanInfo *) * (size_t)capacity));
      if (grown == nullptr) {
         // The list takes ownership even when it cannot hold the VLAN.
         delete vlan;
         return;
      }
      vlans = grown;
      allocated = capacity;
   }
   vlans[size++] = vlan;
}

VlanInfo *VlanList::get(int index) const {
   return (index >= 0 && index < size) ? vlans[index] : nullptr;
}

VlanInfo *VlanList::findById(int vlanId) const {
   for (int i = 0; i < size; i++) {
      if (vlans[i] != nullptr && vlans[i]->getVlanId() == vlanId)
         return vlans[i];
   }
   return nullptr;
}

void VlanList::addMemberPort(int vlanId, uint32_t portId) {
   VlanInfo *vlan = findById(vlanId);
   if (vlan != nullptr)
      vlan->add(portId);
}

void VlanList::fillMessage(CSCPMessage *message) const {
   message->SetVariable(VID_NUM_VLANS, (uint32_t)size);
   for (int i = 0; i < size; i++) {
      const VlanInfo *vlan = vlans[i];
      uint32_t base = VID_ITEM_LIST_BASE + 10 * (uint32_t)i;
      if (vlan == nullptr)
         continue;
      uint32_t count = (uint32_t)vlan->getNumPorts();
      message->SetVariable(base, (uint16_t)vlan->getVlanId());
      message->SetVariable(base + 1, vlan->getName());
      message->SetVariable(base + 2, count);
      message->SetVariableToInt32Array(base + 3, count, vlan->getPorts());
      // A VLAN that was never prepared has nothing resolved: its ports go
      // out as unresolved (0) rather than reading arrays that do not exist.
      uint32_t *zeros = nullptr;
      const uint32_t *ifIndexes = vlan->getIfIndexes();
      const uint32_t *ifIds = vlan->getIfIds();
      if (ifIndexes == nullptr || ifIds == nullptr) {
         zeros = NewZeroedWords((int)count);
         if (ifIndexes == nullptr)
            ifIndexes = zeros;
         if (ifIds == nullptr)
            ifIds = zeros;
      }
      message->SetVariableToInt32Array(base + 4, count, ifIndexes);
      message->SetVariableToInt32Array(base + 5, count, ifIds);
      free(zeros);
   }
}
