// SnmpGet: one GET request and the conversion of its answer.
#include <cstdlib>
#include <cstring>

#include "hksrv_log.h"
#include "snmp_common.h"

namespace {

// Converts the first variable of a response into the caller's buffer; the
// first rule that applies is the only one carried out.
uint32_t ConvertValue(const SNMP_Variable *variable, void *value, uint32_t bufferSize,
                      uint32_t flags) {
   uint32_t type = variable->getType();
   if (type == ASN_NO_SUCH_OBJECT || type == ASN_NO_SUCH_INSTANCE) {
      return SNMP_ERR_NO_SUCH_OBJECT;
   }
   if (flags & SNMPGET_RAW) {
      variable->getRawValue(static_cast<uint8_t *>(value), bufferSize);
      return SNMP_ERR_SUCCESS;
   }
   if (flags & SNMPGET_RAW_AS_HEX) {
      // Two characters per byte and a NUL: a buffer of fewer than two
      // characters holds no text at all, and (bufferSize - 1) / 2 would wrap.
      if (bufferSize < 2) {
         return SNMP_ERR_PARAM;
      }
      size_t tempSize = (bufferSize - 1) / 2;
      uint8_t *temp = static_cast<uint8_t *>(malloc(tempSize > 0 ? tempSize : 1));
      if (temp == nullptr) {
         return SNMP_ERR_PARAM;
      }
      size_t count = variable->getRawValue(temp, tempSize);
      BinToStr(temp, count, static_cast<wchar_t *>(value));
      free(temp);
      return SNMP_ERR_SUCCESS;
   }
   if (flags & SNMPGET_AS_STRING) {
      variable->GetValueAsString(static_cast<wchar_t *>(value), bufferSize);
      return SNMP_ERR_SUCCESS;
   }
   if (flags & SNMPGET_PRINTABLE) {
      bool convertToHex = true;
      variable->getValueAsPrintableString(static_cast<wchar_t *>(value), bufferSize, &convertToHex);
      return SNMP_ERR_SUCCESS;
   }
   switch (type) {
      case ASN_INTEGER:
      case ASN_COUNTER32:
      case ASN_GAUGE32:
      case ASN_TIMETICKS:
      case ASN_UINTEGER32: {
         int32_t number = variable->GetValueAsInt();
         memcpy(value, &number, sizeof(number));
         return SNMP_ERR_SUCCESS;
      }
      case ASN_OCTET_STRING:
      case ASN_OBJECT_ID:
         variable->GetValueAsString(static_cast<wchar_t *>(value), bufferSize);
         return SNMP_ERR_SUCCESS;
      case ASN_IP_ADDR: {
         uint32_t address = ntohl(variable->GetValueAsUInt());
         memcpy(value, &address, sizeof(address));
         return SNMP_ERR_SUCCESS;
      }
      default:
         hklog_write(MSG_SNMP_UNKNOWN_TYPE, EVENTLOG_ERROR_TYPE, "x", type);
         return SNMP_ERR_UNKNOWN_TYPE;
   }
}

}  // namespace

uint32_t SnmpGet(uint32_t version, SNMP_Transport *transport, const wchar_t *oidText,
                 const uint32_t *oidBinary, uint32_t oidLength, void *value, uint32_t bufferSize,
                 uint32_t flags) {
   if (transport == nullptr) {
      return SNMP_ERR_NO_TRANSPORT;
   }

   // The id is taken before the OID is examined, so a bad OID still uses one.
   SNMP_PDU request(SNMP_GET_REQUEST, SnmpNewRequestId(), version);

   uint32_t components[SNMP_MAX_OID_LENGTH];
   size_t length;
   if (oidText != nullptr) {
      length = SNMPParseOID(oidText, components, SNMP_MAX_OID_LENGTH);
      if (length == 0) {
         hklog_write(MSG_OID_PARSE_ERROR, EVENTLOG_ERROR_TYPE, "s", oidText);
         return SNMP_ERR_OID_SYNTAX;
      }
   } else {
      if (oidLength > SNMP_MAX_OID_LENGTH || (oidLength > 0 && oidBinary == nullptr)) {
         return SNMP_ERR_PARAM;
      }
      length = oidLength;
      if (length > 0) {
         memcpy(components, oidBinary, length * sizeof(uint32_t));
      }
   }
   request.bindVariable(new SNMP_Variable(components, length));

   SNMP_PDU *response = nullptr;
   uint32_t result =
       transport->doRequest(&request, &response, SnmpCurrentTimeout(), SnmpCurrentAttempts());
   if (result != SNMP_ERR_SUCCESS) {
      if (flags & SNMPGET_LOG_ERRORS) {
         hklog_write(MSG_SNMP_GET_ERROR, EVENTLOG_ERROR_TYPE, "d", static_cast<int>(result));
      }
      return result;
   }

   if (response->getNumVariables() > 0 && response->getErrorCode() == SNMP_PDU_ERR_SUCCESS) {
      result = ConvertValue(response->getVariable(0), value, bufferSize, flags);
   } else if (response->getErrorCode() == SNMP_PDU_ERR_NO_SUCH_NAME) {
      result = SNMP_ERR_NO_SUCH_OBJECT;
   } else {
      result = SNMP_ERR_AGENT_STATUS;
   }
   delete response;
   return result;
}
