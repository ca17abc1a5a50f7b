// SnmpBulkEnumerate: a walk of one subtree with GETBULK requests, many
// variables per exchange, by the same name rules as the GETNEXT walk.
#include <algorithm>

#include "snmp_common.h"
#include "walk_cursor.h"

uint32_t SnmpBulkEnumerate(uint32_t version, SNMP_Transport *transport, const wchar_t *rootOid,
                           SNMP_WALK_CALLBACK callback, void *userArg, int logErrors,
                           uint32_t maxRepetitions) {
   // SNMPv1 has no GETBULK.
   if (version == SNMP_VERSION_1) {
      return SnmpEnumerate(version, transport, rootOid, callback, userArg, logErrors);
   }
   if (transport == nullptr) {
      return SNMP_ERR_NO_TRANSPORT;
   }
   WalkCursor cursor(version, transport, callback, userArg);
   if (!cursor.start(rootOid)) {
      return SNMP_ERR_OID_SYNTAX;
   }
   uint32_t repetitions = maxRepetitions == 0
                              ? SNMP_DEFAULT_MAX_REPETITIONS
                              : std::min(maxRepetitions, SNMP_MAX_REPETITIONS_LIMIT);
   for (;;) {
      SNMP_PDU request(SNMP_GET_BULK_REQUEST, SnmpNewRequestId(), version);
      request.setNonRepeaters(0);
      request.setMaxRepetitions(repetitions);
      request.bindVariable(cursor.nextRequestVariable());
      SNMP_PDU *response;
      uint32_t errorStatus;
      uint32_t result = WalkExchange(transport, &request, &response, logErrors, &errorStatus);
      // An agent whose answer would not fit its buffer may say tooBig
      // instead of sending fewer rows: ask again for half as many.
      if (errorStatus == SNMP_PDU_ERR_TOO_BIG && repetitions > 1) {
         repetitions /= 2;
         continue;
      }
      if (result != SNMP_ERR_SUCCESS) {
         return result;
      }
      // Fewer rows than asked for are no end: the next request goes on from
      // the last name delivered. endOfMibView ends the walk under whatever
      // name the agent gives it.
      bool goesOn = true;
      for (int i = 0; goesOn && i < response->getNumVariables(); i++) {
         SNMP_Variable *variable = response->getVariable(i);
         goesOn = cursor.take(variable,
                              variable->getType() == ASN_END_OF_MIBVIEW
                                  ? WalkCursor::Verdict::EndOfSubtree
                                  : cursor.judge(variable),
                              &result);
      }
      delete response;
      if (!goesOn) {
         return result;
      }
   }
}
