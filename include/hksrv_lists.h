// Interface and VLAN lists: HK_INTERFACE_INFO, InterfaceList, VlanInfo and
// VlanList, the results of interface and VLAN discovery.
//
// Ownership: a caller owns every list handed to it and deletes it; a shared
// VlanList is released with decRefCount instead. A list owns its arrays, and
// a VlanList owns its VlanInfo objects.
//
// Thread safety: none of these types locks. A list is filled by one thread
// and may then be read by several; changing it while others read is the
// caller's to prevent.
//
// Memory: the arrays grow by fixed steps when found full (32 records or
// pointers for the lists, 64 ports for a VLAN) and never shrink. When an
// array cannot be enlarged the element is dropped and the list stays as it
// was; the list types report no failure.
#ifndef HKSRV_LISTS_H
#define HKSRV_LISTS_H

#include <cstdint>

#include "hesker.h"
#include "hksrv_export.h"

// One interface, or one address of an interface. Every record the library
// creates is cleared to zero bytes before its named fields are set, so the
// reserved fields are always 0.
struct HK_INTERFACE_INFO {
   wchar_t name[256];         // NUL-terminated
   wchar_t description[256];  // NUL-terminated
   uint32_t ifIndex;
   uint32_t type;          // ifType of the interfaces MIB
   uint32_t reserved1[3];  // for the server's own use; never set here
   uint32_t ipAddr;        // host byte order; 0 when there is none
   uint32_t ipNetMask;     // host byte order
   uint8_t macAddr[6];     // first byte first
   uint8_t reserved2[2];   // never set here
   uint32_t reserved3[4];  // for the server's own use; never set here
};

// A growable array of interface records, kept in insertion order.
class HKSRV_EXPORT InterfaceList {
public:
   explicit InterfaceList(int initialAlloc = 8);
   InterfaceList(const InterfaceList &) = delete;
   InterfaceList &operator=(const InterfaceList &) = delete;
   ~InterfaceList();

   // Copies the record into the list; the caller keeps its own.
   void add(HK_INTERFACE_INFO *record);
   // The record at index, or null outside 0..size-1. Valid until the next
   // add or remove.
   HK_INTERFACE_INFO *get(int index) const;
   // The first record with that ifIndex, or null.
   HK_INTERFACE_INFO *findByIfIndex(uint32_t ifIndex) const;
   // Removes the record at index, keeping the order of the rest; an index
   // outside 0..size-1 changes nothing.
   void remove(int index);

   int getSize() const { return size; }
   int getAllocated() const { return allocated; }  // capacity in records
   // The caller's own pointer; the list never reads or frees it.
   void *getData() const { return data; }
   void setData(void *value) { data = value; }

private:
   int size;
   int allocated;
   void *data;
   HK_INTERFACE_INFO *interfaces;  // malloc'ed, `allocated` records
};

// One VLAN with its member ports and, once the server has resolved them,
// the interface behind each port. Filled (name, ports), then prepared
// (prepareForResolve), then resolved (resolvePort), then sent.
class HKSRV_EXPORT VlanInfo {
public:
   VlanInfo(int vlanId, int portRefMode);
   VlanInfo(const VlanInfo &) = delete;
   VlanInfo &operator=(const VlanInfo &) = delete;
   ~VlanInfo();

   // Appends port. Ports are added only before prepareForResolve; later
   // ones are ignored.
   void add(uint32_t port);
   // Appends (slot << 16) | port; port is not masked.
   void add(uint32_t slot, uint32_t port);
   // Stores a copy; null clears the name.
   void setName(const wchar_t *name);
   // Creates the zeroed resolution arrays, numPorts elements each, where
   // they do not exist yet; existing arrays are kept as they are.
   void prepareForResolve();
   // Sets the port and its resolution at index; an index outside
   // 0..numPorts-1, or a VLAN not prepared, changes nothing.
   void resolvePort(int index, uint32_t port, uint32_t ifIndex, uint32_t ifId);

   int getVlanId() const { return vlanId; }
   // The name, or "" when there is none; never null.
   const wchar_t *getName() const { return (name != nullptr) ? name : L""; }
   int getPortReferenceMode() const { return portRefMode; }
   int getNumPorts() const { return numPorts; }
   int getAllocated() const { return allocated; }  // capacity of the port array
   uint32_t *getPorts() const { return ports; }
   // Null before prepareForResolve.
   uint32_t *getIfIndexes() const { return ifIndexes; }
   uint32_t *getIfIds() const { return ifIds; }

private:
   int vlanId;
   wchar_t *name;  // malloc'ed, or null
   int portRefMode;
   int allocated;
   int numPorts;
   uint32_t *ports;      // malloc'ed, `allocated` entries
   uint32_t *ifIndexes;  // malloc'ed, numPorts entries at prepare time, or null
   uint32_t *ifIds;      // likewise
};

// A reference-counted list of VLANs, owning each VlanInfo.
class HKSRV_EXPORT VlanList : public RefCountObject {
public:
   explicit VlanList(int initialAlloc = 8);
   ~VlanList() override;

   // Appends and takes ownership of vlan.
   void add(VlanInfo *vlan);
   // The VLAN at index, or null outside 0..size-1.
   VlanInfo *get(int index) const;
   // The first VLAN with that id, or null.
   VlanInfo *findById(int vlanId) const;
   // Appends portId to the first VLAN with that id; nothing when there is
   // none.
   void addMemberPort(int vlanId, uint32_t portId);

   int getSize() const { return size; }
   int getAllocated() const { return allocated; }  // capacity in pointers
   void *getData() const { return data; }
   void setData(void *value) { data = value; }

   // Writes VID_NUM_VLANS and, for VLAN i, ids VID_ITEM_LIST_BASE + 10 * i
   // + 0..5: id (16-bit), name, port count, ports, ifIndexes, ifIds. A VLAN
   // that was never prepared for resolution sends zeros for the last two.
   void fillMessage(CSCPMessage *message) const;

private:
   int size;
   int allocated;
   void *data;
   VlanInfo **vlans;  // malloc'ed, `allocated` pointers
};

#endif
