// The generic network device driver (NetworkDeviceDriver).
#ifndef HKSRV_DRIVER_H
#define HKSRV_DRIVER_H

#include "hksrv_export.h"

#endif
