// The generic network device driver (NetworkDeviceDriver).
//
// The base class of the server's device drivers and, used as it is, the
// driver that accepts every device. It reads a device's interfaces (names,
// types, MAC and IPv4 addresses) from IF-MIB, its ifXTable and the IP address
// table, and its VLANs with their member ports from the Q-BRIDGE-MIB, through
// SnmpGet and SnmpEnumerate over the transport it is given.
//
// Thread safety: the class has no data members; its operations may run on
// several threads at once, each with its own transport.
//
// Ownership: lists returned are new and owned by the caller (delete them);
// transports and attribute maps stay the caller's.
#ifndef HKSRV_DRIVER_H
#define HKSRV_DRIVER_H

#include "hesker.h"
#include "hksnmp.h"
#include "hksrv_export.h"
#include "hksrv_lists.h"

class HKSRV_EXPORT NetworkDeviceDriver {
public:
   NetworkDeviceDriver() = default;
   NetworkDeviceDriver(const NetworkDeviceDriver &) = delete;
   NetworkDeviceDriver &operator=(const NetworkDeviceDriver &) = delete;
   virtual ~NetworkDeviceDriver();

   // "GENERIC" and "1.2.2"; static texts.
   virtual const wchar_t *getName();
   virtual const wchar_t *getVersion();

   // The generic driver accepts every device: 1 and true, without a request.
   virtual int isPotentialDevice(const wchar_t *oid);
   virtual bool isDeviceSupported(SNMP_Transport *transport, const wchar_t *oid);
   // Nothing to learn for the generic driver.
   virtual void analyzeDevice(SNMP_Transport *transport, const wchar_t *oid, StringMap *attributes);

   // The device's interfaces, one record per interface and one more per
   // extra IPv4 address of an interface; null when ifNumber cannot be read
   // or a walk of ifIndex or of the IP address table fails. useAliases
   // selects how names are composed from ifAlias and the base name (ifName
   // when useIfXTable and the device has it, else ifDescr): 0 or less and
   // above 3 the base name, 1 the alias, 2 "alias (base)", 3 "base (alias)";
   // an empty alias always gives the base name.
   virtual InterfaceList *getInterfaces(SNMP_Transport *transport, StringMap *attributes,
                                        int useAliases, bool useIfXTable);
   // The device's VLANs from dot1qVlanStaticName and the egress port bitmaps
   // of dot1qVlanCurrentEgressPorts, with bridge port numbers (reference mode
   // 2); an empty list for a device without them, null when a walk fails.
   virtual VlanList *getVlans(SNMP_Transport *transport, StringMap *attributes);
};

#endif
