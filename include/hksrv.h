// libhksrv: the server-side support library. Include this one header to
// reach the whole public API, the core and SNMP libraries' declarations
// included; link with hksrv.
#ifndef HKSRV_H
#define HKSRV_H

#include "hesker.h"
#include "hksnmp.h"

#include "hksrv_export.h"
#include "hksrv_log.h"
#include "hksrv_lists.h"
#include "hksrv_agent.h"
#include "hksrv_isc.h"
#include "hksrv_snmp.h"
#include "hksrv_driver.h"

#endif
