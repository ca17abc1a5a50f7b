// SnmpEnumerate: a GETNEXT walk of one subtree.
#include "snmp_common.h"
#include "walk_cursor.h"

uint32_t SnmpEnumerate(uint32_t version, SNMP_Transport *transport, const wchar_t *rootOid,
                       SNMP_WALK_CALLBACK callback, void *userArg, int logErrors) {
   if (transport == nullptr) {
      return SNMP_ERR_NO_TRANSPORT;
   }
   WalkCursor cursor(version, transport, callback, userArg);
   if (!cursor.start(rootOid)) {
      return SNMP_ERR_OID_SYNTAX;
   }
   for (;;) {
      SNMP_PDU request(SNMP_GET_NEXT_REQUEST, SnmpNewRequestId(), version);
      request.bindVariable(cursor.nextRequestVariable());
      SNMP_PDU *response;
      uint32_t result = WalkExchange(transport, &request, &response, logErrors);
      if (result != SNMP_ERR_SUCCESS) {
         return result;
      }
      SNMP_Variable *variable = response->getVariable(0);
      bool goesOn = cursor.take(variable, cursor.judge(variable), &result);
      delete response;
      if (!goesOn) {
         return result;
      }
   }
}
