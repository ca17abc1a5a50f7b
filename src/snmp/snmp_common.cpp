// The process-wide SNMP settings: the request time-out and the request-id
// counter shared by every thread and every helper.
#include "snmp_common.h"

#include <atomic>

uint32_t g_dwSNMPTimeout = 2000;

namespace {
// Starts at 1; wraps modulo 2^32 as unsigned arithmetic does.
std::atomic<uint32_t> s_requestId{1};
}  // namespace

uint32_t SnmpNewRequestId() {
   return s_requestId.fetch_add(1, std::memory_order_relaxed);
}

uint32_t SnmpCurrentTimeout() {
   return std::atomic_ref<uint32_t>(g_dwSNMPTimeout).load(std::memory_order_relaxed);
}
