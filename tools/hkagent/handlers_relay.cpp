// Reaching further on the server's behalf: the proxy connection and SNMP
// requests forwarded over UDP.
#include <vector>

#include "agent_codes.h"
#include "dispatcher.h"
#include "log.h"
#include "relay.h"

namespace hkagent {

namespace {
const uint32_t kProxyConnectTimeoutMs = 30000;
const uint32_t kMaxPdu = 65535;
}  // namespace

uint32_t HandleSetupProxy(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply,
                          DispatchOutcome *outcome) {
   if (!ctx.config.enableProxy)
      return ERR_ACCESS_DENIED;
   // Without an address the target would be 0.0.0.0: this host.
   if (!rq.IsVariableExist(VID_IP_ADDRESS))
      return ERR_BAD_ARGUMENTS;
   uint32_t address = rq.GetVariableLong(VID_IP_ADDRESS);
   uint16_t port = rq.GetVariableShort(VID_AGENT_PORT);
   if (port == 0)
      return ERR_BAD_ARGUMENTS;
   if (!TargetAllowed(ctx.config.proxyTargets, address, port, ctx.runtime.listenEndpoint())) {
      HKLOG_WARN("proxy connection to %s:%u for %s refused: not in ProxyTargets",
                 Ipv4ToText(address).c_str(), port, Ipv4ToText(ctx.state.peerAddress).c_str());
      return ERR_ACCESS_DENIED;
   }
   bool timedOut;
   UniqueFd onward = ConnectTcp(address, port, kProxyConnectTimeoutMs, &timedOut);
   if (!onward.valid()) {
      HKLOG_INFO("proxy connection to %s:%u failed%s", Ipv4ToText(address).c_str(), port,
                 timedOut ? " (time-out)" : "");
      return ERR_CONNECT_FAILED;
   }
   HKLOG_INFO("proxy connection to %s:%u for %s", Ipv4ToText(address).c_str(), port,
              Ipv4ToText(ctx.state.peerAddress).c_str());
   outcome->followUp = FollowUp::Relay;
   outcome->socket = std::move(onward);
   return ERR_SUCCESS;
}

uint32_t HandleSnmpRequest(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply) {
   if (!ctx.config.enableSnmpProxy)
      return ERR_ACCESS_DENIED;
   uint32_t address = rq.GetVariableLong(VID_IP_ADDRESS);
   uint16_t port = rq.GetVariableShort(VID_PORT);
   uint32_t length = rq.GetVariableBinary(VID_PDU, nullptr, 0);
   uint32_t declared = rq.GetVariableLong(VID_PDU_SIZE);
   if (port == 0 || length == 0 || length > kMaxPdu ||
       (rq.IsVariableExist(VID_PDU_SIZE) && declared != length))
      return ERR_MALFORMED_COMMAND;
   if (!TargetAllowed(ctx.config.snmpProxyTargets, address, port, ctx.runtime.listenEndpoint())) {
      HKLOG_WARN("SNMP request to %s:%u for %s refused: not in SnmpProxyTargets",
                 Ipv4ToText(address).c_str(), port, Ipv4ToText(ctx.state.peerAddress).c_str());
      return ERR_ACCESS_DENIED;
   }
   std::string pdu(length, '\0');
   rq.GetVariableBinary(VID_PDU, (uint8_t *)pdu.data(), length);
   std::string answer;
   uint32_t rcc =
       UdpExchange(address, port, pdu, ctx.config.snmpTimeoutMs, ctx.config.snmpRetries, &answer);
   if (rcc != ERR_SUCCESS)
      return rcc;
   reply->SetVariable(VID_PDU_SIZE, (uint32_t)answer.size());
   reply->SetVariable(VID_PDU, (const uint8_t *)answer.data(), (uint32_t)answer.size());
   return ERR_SUCCESS;
}

}  // namespace hkagent
