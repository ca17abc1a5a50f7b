// Interface and VLAN lists (HK_INTERFACE_INFO, InterfaceList, VlanInfo, VlanList).
#ifndef HKSRV_LISTS_H
#define HKSRV_LISTS_H

#include "hksrv_export.h"

#endif
