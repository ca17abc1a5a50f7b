// libhesker: the core library. Messages and framing (hkcp.h), encryption,
// reply queues, the event log, string and network helpers, and the platform
// seam (hk_platform.h).
#ifndef HESKER_H
#define HESKER_H

#include "hk_platform.h"
#include "hk_util.h"
#include "hkcp_codes.h"
#include "hkcp.h"
#include "hkcp_connection.h"

#endif
