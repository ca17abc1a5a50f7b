// SNMP messages: the PDU object, its BER encoding and its strict parser
// (SNMPv3 messages around the PDU are in v3_message.cpp).
//
// Message layout (all definite lengths):
//   SEQUENCE { INTEGER version, OCTET STRING community,
//              [context 0xA0|command] { INTEGER request-id, INTEGER error-status,
//                                       INTEGER error-index,
//                                       SEQUENCE OF SEQUENCE { OID name, value } } }
#include "hksnmp.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "ber.h"
#include "pdu_codec.h"

using namespace hksnmp;

// The commands a message of this version may carry: no GETBULK in SNMPv1,
// Reports only in SNMPv3.
static bool IsKnownCommand(uint32_t command, uint32_t version) {
   return command == SNMP_GET_REQUEST || command == SNMP_GET_NEXT_REQUEST ||
          command == SNMP_RESPONSE || command == SNMP_SET_REQUEST ||
          (command == SNMP_GET_BULK_REQUEST && version != SNMP_VERSION_1) ||
          (command == SNMP_REPORT && version == SNMP_VERSION_3);
}

static constexpr uint32_t PDU_TAG_BASE = 0xA0;

SNMP_PDU::SNMP_PDU()
    : m_version(SNMP_VERSION_2C),
      m_command(SNMP_GET_REQUEST),
      m_requestId(0),
      m_errorCode(0),
      m_errorIndex(0),
      m_community(nullptr),
      m_variables(nullptr),
      m_numVariables(0),
      m_allocated(0),
      m_messageId(0),
      m_messageFlags(0),
      m_engineId{},
      m_engineIdLength(0),
      m_engineBoots(0),
      m_engineTime(0) {}

SNMP_PDU::SNMP_PDU(uint32_t command, uint32_t requestId, uint32_t version) : SNMP_PDU() {
   m_command = command;
   m_requestId = requestId;
   m_version = version;
}

SNMP_PDU::~SNMP_PDU() {
   clear();
}

void SNMP_PDU::clear() {
   for (int i = 0; i < m_numVariables; i++) {
      delete m_variables[i];
   }
   free(m_variables);
   m_variables = nullptr;
   m_numVariables = 0;
   m_allocated = 0;
   free(m_community);
   m_community = nullptr;
   m_requestId = 0;
   m_errorCode = 0;
   m_errorIndex = 0;
   m_messageId = 0;
   m_messageFlags = 0;
   m_engineIdLength = 0;
   m_engineBoots = 0;
   m_engineTime = 0;
}

size_t SNMP_PDU::getEngineId(uint8_t *id) const {
   if (id != nullptr && m_engineIdLength > 0) {
      memcpy(id, m_engineId, m_engineIdLength);
   }
   return m_engineIdLength;
}

void SNMP_PDU::bindVariable(SNMP_Variable *variable) {
   if (variable == nullptr) {
      return;
   }
   if (m_numVariables == m_allocated) {
      int capacity = m_allocated > 0 ? m_allocated * 2 : 8;
      auto grown = static_cast<SNMP_Variable **>(
          realloc(m_variables, static_cast<size_t>(capacity) * sizeof(SNMP_Variable *)));
      if (grown == nullptr) {
         delete variable;  // ownership was handed over
         return;
      }
      m_variables = grown;
      m_allocated = capacity;
   }
   m_variables[m_numVariables++] = variable;
}

SNMP_Variable *SNMP_PDU::getVariable(int index) const {
   return (index >= 0 && index < m_numVariables) ? m_variables[index] : nullptr;
}

// ---------------------------------------------------------------- encoding

// Content size of a variable's value, or false when it cannot be encoded.
static bool ValueContentSize(const SNMP_Variable *v, size_t *size) {
   switch (v->getType()) {
      case ASN_INTEGER:
         *size = BerInt32Size(v->GetValueAsInt());
         return true;
      case ASN_COUNTER32:
      case ASN_GAUGE32:
      case ASN_TIMETICKS:
      case ASN_UINTEGER32:
      case ASN_COUNTER64:
         *size = BerUnsignedSize(v->GetValueAsUInt64());
         return true;
      case ASN_OBJECT_ID: {
         size_t count = v->getValueLength() / sizeof(uint32_t);
         uint32_t components[SNMP_MAX_OID_LENGTH];
         v->getRawValue(reinterpret_cast<uint8_t *>(components), sizeof(components));
         *size = BerOidSize(components, count);
         return *size > 0;
      }
      default:  // the byte-string types, NULL and the exceptions
         *size = v->getValueLength();
         return true;
   }
}

static uint8_t *PutValue(uint8_t *out, const SNMP_Variable *v) {
   uint32_t type = v->getType();
   switch (type) {
      case ASN_INTEGER:
         return BerPutInt32(out, type, v->GetValueAsInt());
      case ASN_COUNTER32:
      case ASN_GAUGE32:
      case ASN_TIMETICKS:
      case ASN_UINTEGER32:
      case ASN_COUNTER64:
         return BerPutUnsigned(out, type, v->GetValueAsUInt64());
      case ASN_OBJECT_ID: {
         uint32_t components[SNMP_MAX_OID_LENGTH];
         size_t count =
             v->getRawValue(reinterpret_cast<uint8_t *>(components), sizeof(components)) /
             sizeof(uint32_t);
         return BerPutOid(out, type, components, count);
      }
      default:
         return BerPutBytes(out, type, v->getValue(), v->getValueLength());
   }
}

// The content size of one binding (its name and value elements); false when
// the variable cannot be encoded.
static bool BindingContentSize(const SNMP_Variable *v, size_t *size) {
   const SNMP_ObjectId *name = v->getName();
   size_t nameSize = BerOidSize(name->getValue(), name->getLength());
   size_t valueSize;
   if (nameSize == 0 || name->getLength() > SNMP_MAX_OID_LENGTH ||
       !ValueContentSize(v, &valueSize)) {
      return false;
   }
   *size = BerElementSize(nameSize) + BerElementSize(valueSize);
   return true;
}

bool SnmpPduCodec::listContentSize(const SNMP_PDU &pdu, size_t *size) {
   *size = 0;
   for (int i = 0; i < pdu.m_numVariables; i++) {
      size_t binding;
      if (!BindingContentSize(pdu.m_variables[i], &binding)) {
         return false;
      }
      *size += BerElementSize(binding);
      if (*size > SNMP_MAX_MESSAGE_SIZE) {
         return false;
      }
   }
   return true;
}

size_t SnmpPduCodec::pduElementSize(const SNMP_PDU &pdu, size_t *content) {
   size_t listContent;
   if (!IsKnownCommand(pdu.m_command, pdu.m_version) || pdu.m_errorCode > INT32_MAX ||
       pdu.m_errorIndex > INT32_MAX || !listContentSize(pdu, &listContent)) {
      return 0;
   }
   *content = BerElementSize(BerInt32Size(static_cast<int32_t>(pdu.m_requestId))) +
              BerElementSize(BerInt32Size(static_cast<int32_t>(pdu.m_errorCode))) +
              BerElementSize(BerInt32Size(static_cast<int32_t>(pdu.m_errorIndex))) +
              BerElementSize(listContent);
   return BerElementSize(*content);
}

uint8_t *SnmpPduCodec::putPdu(const SNMP_PDU &pdu, uint8_t *p, size_t content) {
   size_t listContent;
   listContentSize(pdu, &listContent);  // pduElementSize has checked it
   p = BerPutHeader(p, PDU_TAG_BASE | pdu.m_command, content);
   p = BerPutInt32(p, ASN_INTEGER, static_cast<int32_t>(pdu.m_requestId));
   p = BerPutInt32(p, ASN_INTEGER, static_cast<int32_t>(pdu.m_errorCode));
   p = BerPutInt32(p, ASN_INTEGER, static_cast<int32_t>(pdu.m_errorIndex));
   p = BerPutHeader(p, ASN_SEQUENCE, listContent);
   for (int i = 0; i < pdu.m_numVariables; i++) {
      const SNMP_Variable *v = pdu.m_variables[i];
      size_t binding;
      BindingContentSize(v, &binding);
      p = BerPutHeader(p, ASN_SEQUENCE, binding);
      p = BerPutOid(p, ASN_OBJECT_ID, v->getName()->getValue(), v->getName()->getLength());
      p = PutValue(p, v);
   }
   return p;
}

size_t SNMP_PDU::encode(uint8_t **buffer, SNMP_SecurityContext *context) const {
   if (buffer == nullptr) {
      return 0;
   }
   *buffer = nullptr;
   if (m_version == SNMP_VERSION_3) {
      return SnmpPduCodec::encodeV3(*this, context, buffer);
   }
   size_t pduContent;
   if ((m_version != SNMP_VERSION_1 && m_version != SNMP_VERSION_2C) ||
       SnmpPduCodec::pduElementSize(*this, &pduContent) == 0) {
      return 0;
   }
   const char *community = context != nullptr ? context->getCommunity() : "public";
   size_t communityLength = strlen(community);
   size_t messageContent = BerElementSize(BerInt32Size(static_cast<int32_t>(m_version))) +
                           BerElementSize(communityLength) + BerElementSize(pduContent);
   size_t total = BerElementSize(messageContent);
   if (total > SNMP_MAX_MESSAGE_SIZE) {
      return 0;
   }

   uint8_t *bytes = static_cast<uint8_t *>(malloc(total));
   if (bytes == nullptr) {
      return 0;
   }
   uint8_t *p = BerPutHeader(bytes, ASN_SEQUENCE, messageContent);
   p = BerPutInt32(p, ASN_INTEGER, static_cast<int32_t>(m_version));
   p = BerPutBytes(p, ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>(community),
                   communityLength);
   p = SnmpPduCodec::putPdu(*this, p, pduContent);
   *buffer = bytes;
   return static_cast<size_t>(p - bytes);
}

// ---------------------------------------------------------------- parsing

// A non-negative INTEGER element.
static bool ReadCount(BerReader *reader, uint32_t *value) {
   BerReader content;
   int32_t v;
   if (!reader->expectElement(ASN_INTEGER, &content) || !BerDecodeInt32(content, &v) || v < 0) {
      return false;
   }
   *value = static_cast<uint32_t>(v);
   return true;
}

static bool DecodeValue(uint32_t tag, const BerReader &content, SNMP_Variable *variable) {
   switch (tag) {
      case ASN_INTEGER: {
         int32_t v;
         return BerDecodeInt32(content, &v) && variable->setValue(tag, &v, sizeof(v));
      }
      case ASN_COUNTER32:
      case ASN_GAUGE32:
      case ASN_TIMETICKS:
      case ASN_UINTEGER32: {
         uint64_t v;
         return BerDecodeUnsigned(content, 4, &v) &&
                variable->setValueFromUInt32(tag, static_cast<uint32_t>(v));
      }
      case ASN_COUNTER64: {
         uint64_t v;
         return BerDecodeUnsigned(content, 8, &v) && variable->setValueFromUInt64(tag, v);
      }
      case ASN_OBJECT_ID: {
         uint32_t components[SNMP_MAX_OID_LENGTH];
         size_t count;
         return BerDecodeOid(content, components, SNMP_MAX_OID_LENGTH, &count) &&
                variable->setValue(tag, components, count * sizeof(uint32_t));
      }
      case ASN_IP_ADDR:
      case ASN_OCTET_STRING:
      case ASN_OPAQUE:
      case ASN_NULL:
      case ASN_NO_SUCH_OBJECT:
      case ASN_NO_SUCH_INSTANCE:
      case ASN_END_OF_MIBVIEW:
         // setValue checks the fixed lengths (4 for IpAddress, 0 for the rest).
         return variable->setValue(tag, content.data(), content.remaining());
      default:
         return false;
   }
}

// One SEQUENCE { name, value }; a new variable in *result.
static bool ParseVarBind(BerReader *list, SNMP_Variable **result) {
   BerReader binding, nameContent, valueContent;
   uint32_t valueTag;
   if (!list->expectElement(ASN_SEQUENCE, &binding) ||
       !binding.expectElement(ASN_OBJECT_ID, &nameContent) ||
       !binding.readElement(&valueTag, &valueContent) || !binding.atEnd()) {
      return false;
   }
   uint32_t name[SNMP_MAX_OID_LENGTH];
   size_t nameLength;
   if (!BerDecodeOid(nameContent, name, SNMP_MAX_OID_LENGTH, &nameLength)) {
      return false;
   }
   SNMP_Variable *variable = new SNMP_Variable(name, nameLength);
   if (!DecodeValue(valueTag, valueContent, variable)) {
      delete variable;
      return false;
   }
   *result = variable;
   return true;
}

bool SnmpPduCodec::parsePdu(SNMP_PDU *pdu, uint32_t pduTag, BerReader content, uint32_t version) {
   BerReader field, list;
   int32_t requestId;
   if ((pduTag & 0xE0) != PDU_TAG_BASE || !IsKnownCommand(pduTag & 0x1F, version) ||
       !content.expectElement(ASN_INTEGER, &field) || !BerDecodeInt32(field, &requestId) ||
       !ReadCount(&content, &pdu->m_errorCode) || !ReadCount(&content, &pdu->m_errorIndex) ||
       !content.expectElement(ASN_SEQUENCE, &list) || !content.atEnd()) {
      return false;
   }
   while (!list.atEnd()) {
      SNMP_Variable *variable;
      if (!ParseVarBind(&list, &variable)) {
         return false;
      }
      int before = pdu->m_numVariables;
      pdu->bindVariable(variable);
      if (pdu->m_numVariables == before) {
         return false;  // out of memory: the variable was already deleted
      }
   }
   pdu->m_version = version;
   pdu->m_command = pduTag & 0x1F;
   pdu->m_requestId = static_cast<uint32_t>(requestId);
   return true;
}

bool SNMP_PDU::parse(const uint8_t *data, size_t length, SNMP_SecurityContext *context,
                     bool checkCommunity) {
   clear();
   if (data == nullptr || length > SNMP_MAX_MESSAGE_SIZE) {
      return false;
   }
   BerReader input(data, length), message, field, pdu;
   uint32_t pduTag;
   int32_t version;
   if (!input.expectElement(ASN_SEQUENCE, &message) || !input.atEnd() ||
       !message.expectElement(ASN_INTEGER, &field) || !BerDecodeInt32(field, &version)) {
      return false;
   }
   if (version == static_cast<int32_t>(SNMP_VERSION_3)) {
      if (!SnmpPduCodec::parseV3(this, message, context, data, length)) {
         clear();
         return false;
      }
      return true;
   }
   if ((version != static_cast<int32_t>(SNMP_VERSION_1) &&
        version != static_cast<int32_t>(SNMP_VERSION_2C)) ||
       !message.expectElement(ASN_OCTET_STRING, &field)) {
      return false;
   }
   size_t communityLength = field.remaining();
   if (communityLength > SNMP_MAX_COMMUNITY_LENGTH ||
       memchr(field.data(), 0, communityLength) != nullptr) {
      return false;
   }
   if (checkCommunity && context != nullptr &&
       (strlen(context->getCommunity()) != communityLength ||
        memcmp(context->getCommunity(), field.data(), communityLength) != 0)) {
      return false;
   }
   m_community = static_cast<char *>(malloc(communityLength + 1));
   if (m_community == nullptr) {
      return false;
   }
   memcpy(m_community, field.data(), communityLength);
   m_community[communityLength] = 0;

   if (!message.readElement(&pduTag, &pdu) || !message.atEnd() ||
       !SnmpPduCodec::parsePdu(this, pduTag, pdu, static_cast<uint32_t>(version))) {
      clear();
      return false;
   }
   return true;
}
