// The inter-server session (ISC) and its result codes.
#ifndef HKSRV_ISC_H
#define HKSRV_ISC_H

#include "hksrv_export.h"

#endif
