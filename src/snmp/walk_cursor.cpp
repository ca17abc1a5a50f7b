// The position and the name rules shared by the GETNEXT and GETBULK walks.
#include "walk_cursor.h"

#include <cstring>

#include "hksrv_log.h"
#include "snmp_common.h"

bool WalkCursor::start(const wchar_t *rootOid) {
   m_rootLength = SNMPParseOID(rootOid, m_root, SNMP_MAX_OID_LENGTH);
   if (m_rootLength == 0) {
      hklog_write(MSG_OID_PARSE_ERROR, EVENTLOG_ERROR_TYPE, "s",
                  rootOid != nullptr ? rootOid : L"");
      return false;
   }
   m_currentLength = m_rootLength;
   memcpy(m_current, m_root, m_rootLength * sizeof(uint32_t));
   return true;
}

WalkCursor::Verdict WalkCursor::judge(const SNMP_Variable *variable) const {
   if (variable->getType() == ASN_NO_SUCH_OBJECT || variable->getType() == ASN_NO_SUCH_INSTANCE) {
      return Verdict::NoSuchObject;
   }
   const SNMP_ObjectId *name = variable->getName();
   if (name->getLength() < m_rootLength || !name->startsWith(m_root, m_rootLength)) {
      return Verdict::EndOfSubtree;
   }
   // An SNMPv2c agent answers endOfMibView under the name it was asked for.
   int order = name->compare(m_current, m_currentLength);
   if (order == 0) {
      return Verdict::EndOfSubtree;
   }
   // A lower name, or names that cycle without repeating the requested one,
   // would keep the walk going for ever; a name longer than the current-name
   // array cannot be carried on.
   if (order < 0 || name->getLength() > SNMP_MAX_OID_LENGTH) {
      return Verdict::Refused;
   }
   return Verdict::Deliver;
}

bool WalkCursor::take(SNMP_Variable *variable, Verdict verdict, uint32_t *result) {
   switch (verdict) {
      case Verdict::Deliver:
         m_currentLength = variable->getName()->getLength();
         memcpy(m_current, variable->getName()->getValue(), m_currentLength * sizeof(uint32_t));
         *result =
             m_callback != nullptr ? m_callback(m_version, variable, m_transport, m_userArg) : 0;
         return *result == 0;
      case Verdict::EndOfSubtree:
         *result = SNMP_ERR_SUCCESS;
         return false;
      case Verdict::NoSuchObject:
         *result = SNMP_ERR_NO_SUCH_OBJECT;
         return false;
      case Verdict::Refused:
         break;
   }
   *result = SNMP_ERR_AGENT_STATUS;
   return false;
}

SNMP_Variable *WalkCursor::nextRequestVariable() const {
   return new SNMP_Variable(m_current, m_currentLength);
}

uint32_t WalkExchange(SNMP_Transport *transport, SNMP_PDU *request, SNMP_PDU **response,
                      int logErrors, uint32_t *errorStatus) {
   *response = nullptr;
   if (errorStatus != nullptr) {
      *errorStatus = SNMP_PDU_ERR_SUCCESS;
   }
   uint32_t result =
       transport->doRequest(request, response, SnmpCurrentTimeout(), SnmpCurrentAttempts());
   if (result != SNMP_ERR_SUCCESS) {
      if (logErrors) {
         hklog_write(MSG_SNMP_GET_ERROR, EVENTLOG_ERROR_TYPE, "d", static_cast<int>(result));
      }
      return result;
   }
   uint32_t status = (*response)->getErrorCode();
   if (errorStatus != nullptr) {
      *errorStatus = status;
   }
   if ((*response)->getNumVariables() == 0 || status != SNMP_PDU_ERR_SUCCESS) {
      delete *response;
      *response = nullptr;
      return status == SNMP_PDU_ERR_NO_SUCH_NAME ? SNMP_ERR_NO_SUCH_OBJECT : SNMP_ERR_AGENT_STATUS;
   }
   return SNMP_ERR_SUCCESS;
}
