// NetworkDeviceDriver::getInterfaces: interfaces from IF-MIB, ifXTable and
// the IP address table.
#include <cstring>
#include <cwchar>

#include "driver_internal.h"
#include "hksrv_driver.h"
#include "hksrv_log.h"
#include "hksrv_snmp.h"

namespace {

const size_t NAME_SIZE = 256;     // characters of HK_INTERFACE_INFO::name and ::description
const size_t SUFFIX_LIMIT = 253;  // a first part this long or longer gets no suffix
const int DEFAULT_IF_NUMBER = 64;
const int MAX_IF_NUMBER = 4096;

// Copies at most NAME_SIZE - 1 characters of source and a NUL.
void CopyName(wchar_t *target, const wchar_t *source) {
   wcsncpy(target, source, NAME_SIZE - 1);
   target[NAME_SIZE - 1] = 0;
}

// Appends " (inner)" to the name in field, cut to the field's last
// character, unless the name is already SUFFIX_LIMIT characters long.
void AppendSuffix(wchar_t *field, const wchar_t *inner) {
   size_t length = wcslen(field);
   if (length >= SUFFIX_LIMIT) {
      return;
   }
   hk_snwprintf(field + length, NAME_SIZE - length, L" (%s)", inner);
   field[NAME_SIZE - 1] = 0;
}

// Composes the record's name from the alias it holds (maybe empty) and the
// base name, as useAliases says.
void ComposeName(wchar_t *name, const wchar_t *base, int useAliases) {
   if (name[0] == 0) {
      CopyName(name, base);
      return;
   }
   switch (useAliases) {
      case 1:
         break;  // the alias alone
      case 2:
         AppendSuffix(name, base);
         break;
      case 3: {
         wchar_t alias[NAME_SIZE];
         CopyName(alias, name);
         CopyName(name, base);
         AppendSuffix(name, alias);
         break;
      }
      default:
         CopyName(name, base);  // the alias is read and dropped
         break;
   }
}

uint32_t IfIndexCallback(uint32_t version, SNMP_Variable *variable, SNMP_Transport *transport,
                         void *userArg) {
   HK_INTERFACE_INFO record;
   memset(&record, 0, sizeof(record));
   record.ifIndex = variable->GetValueAsUInt();
   static_cast<InterfaceList *>(userArg)->add(&record);
   return 0;
}

// Fills the record of ifIndex N; false when ifDescr cannot be read, which
// ends the per-interface loop.
bool ReadInterface(SNMP_Transport *transport, HK_INTERFACE_INFO *record, int useAliases,
                   bool useIfXTable) {
   uint32_t version = transport->getSnmpVersion();
   wchar_t oid[128];
   uint32_t n = record->ifIndex;

   swprintf(oid, 128, L".1.3.6.1.2.1.2.2.1.2.%u", n);
   if (SnmpGet(version, transport, oid, nullptr, 0, record->description, NAME_SIZE, 0) !=
       SNMP_ERR_SUCCESS) {
      return false;
   }

   if (useAliases > 0) {
      swprintf(oid, 128, L".1.3.6.1.2.1.31.1.1.1.18.%u", n);
      if (SnmpGet(version, transport, oid, nullptr, 0, record->name, NAME_SIZE, 0) ==
          SNMP_ERR_SUCCESS) {
         StrStrip(record->name);
      } else {
         record->name[0] = 0;
      }
   }

   wchar_t base[NAME_SIZE];
   bool haveBase = false;
   if (useIfXTable) {
      swprintf(oid, 128, L".1.3.6.1.2.1.31.1.1.1.1.%u", n);
      haveBase =
          SnmpGet(version, transport, oid, nullptr, 0, base, NAME_SIZE, 0) == SNMP_ERR_SUCCESS;
   }
   if (!haveBase) {
      CopyName(base, record->description);
   }
   ComposeName(record->name, base, useAliases);

   swprintf(oid, 128, L".1.3.6.1.2.1.2.2.1.3.%u", n);
   if (DriverGetInteger(transport, oid, nullptr, 0, &record->type) != SNMP_ERR_SUCCESS) {
      record->type = 1;  // other
   }

   uint8_t mac[256];
   memset(mac, 0, 6);
   swprintf(oid, 128, L".1.3.6.1.2.1.2.2.1.6.%u", n);
   if (SnmpGet(version, transport, oid, nullptr, 0, mac, sizeof(mac), SNMPGET_RAW) ==
       SNMP_ERR_SUCCESS) {
      memcpy(record->macAddr, mac, 6);
   } else {
      memset(record->macAddr, 0, 6);
   }
   return true;
}

// Reads the mask or the ifIndex of an address row: column replaces the
// column number in the row's name.
bool ReadAddressColumn(SNMP_Transport *transport, uint32_t *oid, size_t length, uint32_t column,
                       uint32_t *value) {
   oid[length - 5] = column;
   uint32_t result =
       DriverGetInteger(transport, nullptr, oid, static_cast<uint32_t>(length), value);
   if (result != SNMP_ERR_SUCCESS) {
      wchar_t text[1024];
      DbgPrintf(6, L"NetworkDeviceDriver::getInterfaces(%p): SNMP GET %s failed (error %d)",
                transport, SNMPConvertOIDToText(length, oid, text, 1024), static_cast<int>(result));
      return false;
   }
   return true;
}

uint32_t AddressCallback(uint32_t version, SNMP_Variable *variable, SNMP_Transport *transport,
                         void *userArg) {
   InterfaceList *list = static_cast<InterfaceList *>(userArg);
   const SNMP_ObjectId *name = variable->getName();
   size_t length = name->getLength();
   if (length < 5 || length > SNMP_MAX_OID_LENGTH) {
      return 0;  // no column and address in it
   }
   uint32_t oid[SNMP_MAX_OID_LENGTH];
   memcpy(oid, name->getValue(), length * sizeof(uint32_t));

   uint32_t mask, ifIndex;
   if (!ReadAddressColumn(transport, oid, length, 3, &mask) ||
       !ReadAddressColumn(transport, oid, length, 2, &ifIndex)) {
      return 0;
   }

   HK_INTERFACE_INFO *record = list->findByIfIndex(ifIndex);
   if (record == nullptr) {
      return 0;
   }
   uint32_t address = ntohl(variable->GetValueAsUInt());
   if (record->ipAddr == 0) {
      record->ipAddr = address;
      record->ipNetMask = mask;
   } else {
      // Another address of the same interface: a copy of its record.
      HK_INTERFACE_INFO copy;
      memcpy(&copy, record, sizeof(copy));
      copy.ipAddr = address;
      copy.ipNetMask = mask;
      list->add(&copy);
   }
   return 0;
}

}  // namespace

uint32_t DriverGetInteger(SNMP_Transport *transport, const wchar_t *oidText,
                          const uint32_t *oidBinary, uint32_t oidLength, uint32_t *value) {
   DriverIntegerBuffer buffer;
   memset(&buffer, 0, sizeof(buffer));
   uint32_t result = SnmpGet(transport->getSnmpVersion(), transport, oidText, oidBinary, oidLength,
                             &buffer, DRIVER_INTEGER_BUFFER_SIZE, 0);
   if (result == SNMP_ERR_SUCCESS) {
      *value = buffer.u;
   }
   return result;
}

InterfaceList *NetworkDeviceDriver::getInterfaces(SNMP_Transport *transport, StringMap *attributes,
                                                  int useAliases, bool useIfXTable) {
   DbgPrintf(6, L"NetworkDeviceDriver::getInterfaces(%p,%d,%s)", transport, useAliases,
             useIfXTable ? L"true" : L"false");
   if (transport == nullptr) {
      return nullptr;
   }
   uint32_t version = transport->getSnmpVersion();

   uint32_t count = 0;
   uint32_t result = DriverGetInteger(transport, L".1.3.6.1.2.1.2.1.0", nullptr, 0, &count);
   if (result != SNMP_ERR_SUCCESS) {
      DbgPrintf(6,
                L"NetworkDeviceDriver::getInterfaces(%p): SNMP GET .1.3.6.1.2.1.2.1.0 failed (%s)",
                transport, SNMPGetErrorText(result));
      return nullptr;
   }
   int ifNumber = static_cast<int32_t>(count);
   if (ifNumber <= 0 || ifNumber > MAX_IF_NUMBER) {
      ifNumber = DEFAULT_IF_NUMBER;
   }

   InterfaceList *list = new InterfaceList(ifNumber);
   if (SnmpEnumerate(version, transport, L".1.3.6.1.2.1.2.2.1.1", IfIndexCallback, list, 0) !=
       SNMP_ERR_SUCCESS) {
      DbgPrintf(6, L"NetworkDeviceDriver::getInterfaces(%p): SNMP WALK .1.3.6.1.2.1.2.2.1.1 failed",
                transport);
      delete list;
      DbgPrintf(6, L"NetworkDeviceDriver::getInterfaces(%p): completed, ifList=%p", transport,
                static_cast<void *>(nullptr));
      return nullptr;
   }

   for (int i = 0; i < list->getSize(); i++) {
      if (!ReadInterface(transport, list->get(i), useAliases, useIfXTable)) {
         break;  // the rest keep only their ifIndex
      }
   }

   result = SnmpEnumerate(version, transport, L".1.3.6.1.2.1.4.20.1.1", AddressCallback, list, 0);
   if (result != SNMP_ERR_SUCCESS) {
      DbgPrintf(
          6, L"NetworkDeviceDriver::getInterfaces(%p): SNMP WALK .1.3.6.1.2.1.4.20.1.1 failed (%s)",
          transport, SNMPGetErrorText(result));
      delete list;
      list = nullptr;
   }
   DbgPrintf(6, L"NetworkDeviceDriver::getInterfaces(%p): completed, ifList=%p", transport,
             static_cast<void *>(list));
   return list;
}
