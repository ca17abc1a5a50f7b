// SnmpEnumerate: a GETNEXT walk of one subtree.
#include <cstring>

#include "hksrv_log.h"
#include "snmp_common.h"

namespace {

// True when name (of nameLength components) is the end of the walk: outside
// the subtree, or the very name that was asked for (what an SNMPv2c agent
// answers with endOfMibView).
bool EndsWalk(const SNMP_ObjectId *name, const uint32_t *root, size_t rootLength,
              const uint32_t *current, size_t currentLength) {
   size_t length = name->getLength();
   if (length < rootLength) {
      return true;
   }
   if (!name->startsWith(root, rootLength)) {
      return true;
   }
   return length == currentLength && name->compare(current, currentLength) == 0;
}

}  // namespace

uint32_t SnmpEnumerate(uint32_t version, SNMP_Transport *transport, const wchar_t *rootOid,
                       SNMP_WALK_CALLBACK callback, void *userArg, int logErrors) {
   if (transport == nullptr) {
      return SNMP_ERR_NO_TRANSPORT;
   }

   uint32_t root[SNMP_MAX_OID_LENGTH];
   size_t rootLength = SNMPParseOID(rootOid, root, SNMP_MAX_OID_LENGTH);
   if (rootLength == 0) {
      hklog_write(MSG_OID_PARSE_ERROR, EVENTLOG_ERROR_TYPE, "s",
                  rootOid != nullptr ? rootOid : L"");
      return SNMP_ERR_OID_SYNTAX;
   }

   uint32_t current[SNMP_MAX_OID_LENGTH];
   size_t currentLength = rootLength;
   memcpy(current, root, rootLength * sizeof(uint32_t));

   for (;;) {
      SNMP_PDU request(SNMP_GET_NEXT_REQUEST, SnmpNewRequestId(), version);
      request.bindVariable(new SNMP_Variable(current, currentLength));

      SNMP_PDU *response = nullptr;
      uint32_t result =
          transport->doRequest(&request, &response, SnmpCurrentTimeout(), SNMP_HELPER_RETRIES);
      if (result != SNMP_ERR_SUCCESS) {
         if (logErrors) {
            hklog_write(MSG_SNMP_GET_ERROR, EVENTLOG_ERROR_TYPE, "d", static_cast<int>(result));
         }
         return result;
      }

      if (response->getNumVariables() == 0 || response->getErrorCode() != SNMP_PDU_ERR_SUCCESS) {
         result = response->getErrorCode() == SNMP_PDU_ERR_NO_SUCH_NAME ? SNMP_ERR_NO_SUCH_OBJECT
                                                                        : SNMP_ERR_AGENT_STATUS;
         delete response;
         return result;
      }

      SNMP_Variable *variable = response->getVariable(0);
      if (variable->getType() == ASN_NO_SUCH_OBJECT ||
          variable->getType() == ASN_NO_SUCH_INSTANCE) {
         delete response;
         return SNMP_ERR_NO_SUCH_OBJECT;
      }

      const SNMP_ObjectId *name = variable->getName();
      if (EndsWalk(name, root, rootLength, current, currentLength)) {
         delete response;
         return SNMP_ERR_SUCCESS;
      }
      // GETNEXT must move forward. An agent that answers with a lower name,
      // or cycles through names without repeating the requested one, would
      // keep the walk going for ever; a name longer than the current-OID
      // array cannot be carried on.
      if (name->getLength() > SNMP_MAX_OID_LENGTH || name->compare(current, currentLength) <= 0) {
         delete response;
         return SNMP_ERR_AGENT_STATUS;
      }

      currentLength = name->getLength();
      memcpy(current, name->getValue(), currentLength * sizeof(uint32_t));

      result = callback != nullptr ? callback(version, variable, transport, userArg) : 0;
      delete response;
      if (result != 0) {
         return result;
      }
   }
}
