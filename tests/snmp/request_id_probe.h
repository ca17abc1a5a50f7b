// Counts the exchanges a helper made, by the ids it took from the shared
// request-id counter.
#ifndef HKTEST_REQUEST_ID_PROBE_H
#define HKTEST_REQUEST_ID_PROBE_H

#include <cstdint>

#include "hksrv_snmp.h"

namespace hktest {

// Ids taken since construction: the counter moved by that many between two
// probes of its own. Valid only while no other thread takes ids.
class IdProbe {
public:
   IdProbe() : m_start(SnmpNewRequestId()) {}
   uint32_t taken() { return SnmpNewRequestId() - m_start - 1; }

private:
   uint32_t m_start;
};

}  // namespace hktest

#endif
