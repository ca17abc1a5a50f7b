// Uses each of the three installed libraries through the umbrella header,
// and checks what they answer. Exit 0 when everything is as expected.
#include <hksrv.h>

#include <cstdio>
#include <cwchar>

static int g_failures = 0;

static void Check(bool ok, const char *what) {
   if (!ok) {
      fprintf(stderr, "consumer: %s failed\n", what);
      g_failures++;
   }
}

int main() {
   // libhksrv: result texts, lists, a session that is not connected.
   Check(wcscmp(AgentErrorCodeToText(0), L"Success") == 0, "AgentErrorCodeToText");
   InterfaceList list;
   HK_INTERFACE_INFO info = {};
   info.ifIndex = 7;
   list.add(&info);
   Check(list.getSize() == 1 && list.findByIfIndex(7) != nullptr, "InterfaceList");
   AgentConnection session(0x0100007F, 4700);
   wchar_t value[64];
   Check(session.getParameter(L"Agent.Version", 64, value) == ERR_NOT_CONNECTED, "getParameter");
   Check(SnmpNewRequestId() != SnmpNewRequestId(), "SnmpNewRequestId");

   // libhesker: messages and helpers.
   CSCPMessage message;
   message.SetVariable(VID_RCC, (uint32_t)42);
   Check(message.GetVariableLong(VID_RCC) == 42, "CSCPMessage");
   wchar_t address[16];
   Check(wcscmp(IpToStr(0x7F000001, address), L"127.0.0.1") == 0, "IpToStr");

   // libhksnmp: object ids.
   uint32_t oid[SNMP_MAX_OID_LENGTH];
   Check(SNMPParseOID(".1.3.6.1.2.1.1.1.0", oid, SNMP_MAX_OID_LENGTH) == 9, "SNMPParseOID");

   if (g_failures == 0)
      printf("consumer: all checks passed\n");
   return g_failures == 0 ? 0 : 1;
}
