// libhksnmp: SNMPv1/v2c messages, variables, object ids and transports.
#ifndef HKSNMP_H
#define HKSNMP_H

#include "hksnmp_export.h"

#endif
