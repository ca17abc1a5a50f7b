// CMD_SNMP_REQUEST for the fake agent: the agent forwards the request's PDU
// over UDP to the device it names (VID_IP_ADDRESS, VID_PORT, host byte
// order) and returns the device's answer (VID_RCC 0, VID_PDU_SIZE, VID_PDU),
// as a monitoring agent does for a server that cannot reach the device.
//
// Only loopback devices (127.0.0.0/8) are forwarded to; any other address is
// answered with ERR_ACCESS_DENIED (403). A device that does not answer within
// the time-out gives ERR_REQUEST_TIMEOUT (408).
//
// Install with agent.setHandler(CMD_SNMP_REQUEST, FakeSnmpForward()).
#ifndef FAKE_AGENT_SNMP_H
#define FAKE_AGENT_SNMP_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "fake_agent.h"

struct FakeSnmpForwardOptions {
   uint32_t timeoutMs = 2000;  // for the device's answer to one forwarded request
   // When set, called with the request's PDU bytes first: a non-zero result
   // is sent as VID_RCC instead of forwarding (scripted agent failures).
   std::function<uint32_t(const uint8_t *pdu, uint32_t size)> refuse;
   // When given, counts the requests actually forwarded to the device.
   std::shared_ptr<std::atomic<int>> forwarded;
};

FakeAgentHandler FakeSnmpForward(FakeSnmpForwardOptions options = FakeSnmpForwardOptions());

#endif
