// NetworkDeviceDriver: the generic driver's identity and the operations by
// which it accepts every device.
#include "hksrv_driver.h"

NetworkDeviceDriver::~NetworkDeviceDriver() {}

const wchar_t *NetworkDeviceDriver::getName() {
   return L"GENERIC";
}

const wchar_t *NetworkDeviceDriver::getVersion() {
   return L"1.2.2";
}

int NetworkDeviceDriver::isPotentialDevice(const wchar_t *oid) {
   return 1;
}

bool NetworkDeviceDriver::isDeviceSupported(SNMP_Transport *transport, const wchar_t *oid) {
   return true;
}

void NetworkDeviceDriver::analyzeDevice(SNMP_Transport *transport, const wchar_t *oid,
                                        StringMap *attributes) {}
