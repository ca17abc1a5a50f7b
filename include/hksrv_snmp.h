// SNMP GET and walk helpers and the SNMP transport through an agent.
#ifndef HKSRV_SNMP_H
#define HKSRV_SNMP_H

#include "hksrv_export.h"

#endif
