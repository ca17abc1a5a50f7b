// InterfaceList: a growable array of HK_INTERFACE_INFO records.
#include <cstdlib>
#include <cstring>

#include "hksrv_lists.h"

namespace {
const int kInterfaceListGrowth = 32;
}

InterfaceList::InterfaceList(int initialAlloc)
    : size(0), allocated(initialAlloc > 0 ? initialAlloc : 0), data(nullptr) {
   interfaces = static_cast<HK_INTERFACE_INFO *>(
       malloc(sizeof(HK_INTERFACE_INFO) * (allocated > 0 ? (size_t)allocated : 1)));
   if (interfaces == nullptr)
      allocated = 0;
}

InterfaceList::~InterfaceList() {
   free(interfaces);
}

void InterfaceList::add(HK_INTERFACE_INFO *record) {
   if (record == nullptr)
      return;
   if (size == allocated) {
      int capacity = allocated + kInterfaceListGrowth;
      auto *grown = static_cast<HK_INTERFACE_INFO *>(
          realloc(interfaces, sizeof(HK_INTERFACE_INFO) * (size_t)capacity));
      if (grown == nullptr)
         return;
      interfaces = grown;
      allocated = capacity;
   }
   memcpy(&interfaces[size], record, sizeof(HK_INTERFACE_INFO));
   size++;
}

HK_INTERFACE_INFO *InterfaceList::get(int index) const {
   return (index >= 0 && index < size) ? &interfaces[index] : nullptr;
}

HK_INTERFACE_INFO *InterfaceList::findByIfIndex(uint32_t ifIndex) const {
   for (int i = 0; i < size; i++) {
      if (interfaces[i].ifIndex == ifIndex)
         return &interfaces[i];
   }
   return nullptr;
}

void InterfaceList::remove(int index) {
   if (index < 0 || index >= size)
      return;
   memmove(&interfaces[index], &interfaces[index + 1],
           sizeof(HK_INTERFACE_INFO) * (size_t)(size - index - 1));
   size--;
}
