// The agent session (AgentConnection), its result codes and records.
#ifndef HKSRV_AGENT_H
#define HKSRV_AGENT_H

#include "hksrv_export.h"

#endif
