// Debug and event-log entry points, exported words and the message catalog.
#ifndef HKSRV_LOG_H
#define HKSRV_LOG_H

#include "hksrv_export.h"

#endif
