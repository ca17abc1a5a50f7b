// The process-wide SNMP settings: the request time-out and attempts, and the
// request-id counter shared by every thread and every helper.
#include "snmp_common.h"

#include <atomic>

uint32_t g_dwSNMPTimeout = 2000;
uint32_t g_dwSNMPAttempts = SNMP_HELPER_RETRIES;

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

int SnmpCurrentAttempts() {
   uint32_t attempts = std::atomic_ref<uint32_t>(g_dwSNMPAttempts).load(std::memory_order_relaxed);
   // doRequest takes an int; more attempts than that are no different in use.
   return attempts > 1000 ? 1000 : static_cast<int>(attempts);
}
