// SNMPv3 messages with the User-based Security Model (RFC 3412, 3414):
//
//   SEQUENCE { INTEGER 3,
//              SEQUENCE { INTEGER msgID, INTEGER msgMaxSize,
//                         OCTET STRING msgFlags (1 byte), INTEGER 3 (USM) },
//              OCTET STRING { SEQUENCE { OCTET STRING engineID, INTEGER boots,
//                                        INTEGER time, OCTET STRING userName,
//                                        OCTET STRING authParams,
//                                        OCTET STRING privParams } },
//              ScopedPDU SEQUENCE { OCTET STRING contextEngineID,
//                                   OCTET STRING contextName, PDU }
//              or, encrypted, OCTET STRING holding the ScopedPDU }
//
// The digest covers the whole message with authParams zeroed. Decoding
// walks bounded views only, checks every field's range before it is used,
// and verifies the digest before it decrypts or reads the scoped PDU.
#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>

#include "pdu_codec.h"
#include "usm_state.h"

using namespace hksnmp;

namespace {

constexpr int32_t kSecurityModelUsm = 3;
constexpr int32_t kMaxMessageSize = 65507;  // the largest UDP payload over IPv4
constexpr int32_t kMinMessageSize = 484;

bool IsRequest(uint32_t command) {
   return command == SNMP_GET_REQUEST || command == SNMP_GET_NEXT_REQUEST ||
          command == SNMP_SET_REQUEST || command == SNMP_GET_BULK_REQUEST;
}

size_t IntElementSize(uint32_t value) {
   return BerElementSize(BerInt32Size(static_cast<int32_t>(value)));
}

// A non-negative INTEGER.
bool ReadNonNegative(BerReader *reader, uint32_t *value) {
   BerReader content;
   int32_t v;
   if (!reader->expectElement(ASN_INTEGER, &content) || !BerDecodeInt32(content, &v) || v < 0) {
      return false;
   }
   *value = static_cast<uint32_t>(v);
   return true;
}

// An OCTET STRING of at most maxLength bytes.
bool ReadOctets(BerReader *reader, size_t maxLength, BerReader *content) {
   return reader->expectElement(ASN_OCTET_STRING, content) && content->remaining() <= maxLength;
}

bool Equals(const BerReader &content, const std::string &text) {
   return content.remaining() == text.size() &&
          (text.empty() || memcmp(content.data(), text.data(), text.size()) == 0);
}

// The scoped PDU: context engine id, context name and the PDU element.
// Trailing bytes are allowed only after a decrypted one (DES padding).
bool ParseScopedPdu(SNMP_PDU *pdu, BerReader input, bool allowTrailing) {
   BerReader scoped, field, content;
   uint32_t tag;
   return input.expectElement(ASN_SEQUENCE, &scoped) && (allowTrailing || input.atEnd()) &&
          ReadOctets(&scoped, SNMP_MAX_ENGINE_ID_LENGTH, &field) &&
          ReadOctets(&scoped, SNMP_MAX_CONTEXT_NAME_LENGTH, &field) &&
          scoped.readElement(&tag, &content) && scoped.atEnd() &&
          SnmpPduCodec::parsePdu(pdu, tag, content, SNMP_VERSION_3);
}

}  // namespace

size_t SnmpPduCodec::encodeV3(const SNMP_PDU &pdu, SNMP_SecurityContext *context,
                              uint8_t **buffer) {
   SnmpUsmState *usm = context != nullptr ? context->getUsmState() : nullptr;
   if (usm == nullptr || usm->level > SNMP_SECURITY_AUTH_PRIV) {
      return 0;
   }
   bool auth = usm->level != SNMP_SECURITY_NOAUTH_NOPRIV;
   bool priv = usm->level == SNMP_SECURITY_AUTH_PRIV;
   size_t authLength = auth ? UsmAuthParamLength(usm->authMethod) : 0;
   size_t privLength = priv ? UsmPrivParamLength(usm->privMethod) : 0;
   if ((auth && authLength == 0) || (priv && privLength == 0)) {
      return 0;
   }
   const SnmpUsmState::LocalizedKeys *keys = nullptr;
   if (auth) {
      keys = usm->keysFor(usm->engineId.data(), usm->engineId.size());
      if (keys == nullptr) {
         return 0;
      }
   }

   size_t pduContent;
   size_t pduSize = pduElementSize(pdu, &pduContent);
   const Bytes &contextEngineId =
       usm->contextEngineId.empty() ? usm->engineId : usm->contextEngineId;
   size_t scopedContent =
       BerElementSize(contextEngineId.size()) + BerElementSize(usm->contextName.size()) + pduSize;
   if (pduSize == 0 || scopedContent > SNMP_MAX_MESSAGE_SIZE) {
      return 0;
   }
   Bytes scoped(BerElementSize(scopedContent));
   uint8_t *p = BerPutHeader(scoped.data(), ASN_SEQUENCE, scopedContent);
   p = BerPutBytes(p, ASN_OCTET_STRING, contextEngineId.data(), contextEngineId.size());
   p = BerPutBytes(p, ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>(usm->contextName.data()),
                   usm->contextName.size());
   putPdu(pdu, p, pduContent);

   uint32_t boots = usm->boots;
   uint32_t time = usm->estimatedTime();
   uint8_t privParams[8] = {};
   Bytes encrypted;
   if (priv && !UsmEncrypt(usm->privMethod, keys->priv, boots, time, usm->salt++, scoped.data(),
                           scoped.size(), &encrypted, privParams)) {
      return 0;
   }
   size_t dataSize = priv ? BerElementSize(encrypted.size()) : scoped.size();

   uint32_t messageId = pdu.m_messageId != 0 ? pdu.m_messageId : pdu.m_requestId & 0x7FFFFFFF;
   uint8_t flags =
       static_cast<uint8_t>((auth ? SNMP_MSG_FLAG_AUTH : 0) | (priv ? SNMP_MSG_FLAG_PRIV : 0) |
                            (IsRequest(pdu.m_command) ? SNMP_MSG_FLAG_REPORTABLE : 0));
   size_t globalContent = IntElementSize(messageId) + IntElementSize(kMaxMessageSize) +
                          BerElementSize(1) + IntElementSize(kSecurityModelUsm);
   size_t securityContent = BerElementSize(usm->engineId.size()) + IntElementSize(boots) +
                            IntElementSize(time) + BerElementSize(usm->user.size()) +
                            BerElementSize(authLength) + BerElementSize(privLength);
   size_t messageContent = IntElementSize(SNMP_VERSION_3) + BerElementSize(globalContent) +
                           BerElementSize(BerElementSize(securityContent)) + dataSize;
   size_t total = BerElementSize(messageContent);
   if (total > SNMP_MAX_MESSAGE_SIZE || boots > INT32_MAX) {
      return 0;
   }

   uint8_t *bytes = static_cast<uint8_t *>(malloc(total));
   if (bytes == nullptr) {
      return 0;
   }
   p = BerPutHeader(bytes, ASN_SEQUENCE, messageContent);
   p = BerPutInt32(p, ASN_INTEGER, SNMP_VERSION_3);
   p = BerPutHeader(p, ASN_SEQUENCE, globalContent);
   p = BerPutInt32(p, ASN_INTEGER, static_cast<int32_t>(messageId));
   p = BerPutInt32(p, ASN_INTEGER, kMaxMessageSize);
   p = BerPutBytes(p, ASN_OCTET_STRING, &flags, 1);
   p = BerPutInt32(p, ASN_INTEGER, kSecurityModelUsm);
   p = BerPutHeader(p, ASN_OCTET_STRING, BerElementSize(securityContent));
   p = BerPutHeader(p, ASN_SEQUENCE, securityContent);
   p = BerPutBytes(p, ASN_OCTET_STRING, usm->engineId.data(), usm->engineId.size());
   p = BerPutInt32(p, ASN_INTEGER, static_cast<int32_t>(boots));
   p = BerPutInt32(p, ASN_INTEGER, static_cast<int32_t>(time));
   p = BerPutBytes(p, ASN_OCTET_STRING, reinterpret_cast<const uint8_t *>(usm->user.data()),
                   usm->user.size());
   p = BerPutHeader(p, ASN_OCTET_STRING, authLength);
   uint8_t *authParams = p;
   memset(p, 0, authLength);
   p += authLength;
   p = BerPutBytes(p, ASN_OCTET_STRING, privParams, privLength);
   if (priv) {
      p = BerPutBytes(p, ASN_OCTET_STRING, encrypted.data(), encrypted.size());
   } else {
      memcpy(p, scoped.data(), scoped.size());
      p += scoped.size();
   }
   if (auth && !UsmSign(usm->authMethod, keys->auth, bytes, total, authParams)) {
      free(bytes);
      return 0;
   }
   *buffer = bytes;
   return static_cast<size_t>(p - bytes);
}

bool SnmpPduCodec::parseV3(SNMP_PDU *pdu, BerReader message, SNMP_SecurityContext *context,
                           const uint8_t *whole, size_t wholeLength) {
   BerReader global, field, securityOctets, security, engineId, user, authParams, privParams;
   uint32_t messageId, maxSize, model, boots, time;
   if (!message.expectElement(ASN_SEQUENCE, &global) || !ReadNonNegative(&global, &messageId) ||
       !ReadNonNegative(&global, &maxSize) || maxSize < kMinMessageSize ||
       !ReadOctets(&global, 1, &field) || field.remaining() != 1) {
      return false;
   }
   uint32_t flags = field.data()[0];
   if (!ReadNonNegative(&global, &model) || model != kSecurityModelUsm || !global.atEnd() ||
       ((flags & SNMP_MSG_FLAG_PRIV) && !(flags & SNMP_MSG_FLAG_AUTH)) ||
       !message.expectElement(ASN_OCTET_STRING, &securityOctets) ||
       !securityOctets.expectElement(ASN_SEQUENCE, &security) || !securityOctets.atEnd() ||
       !ReadOctets(&security, SNMP_MAX_ENGINE_ID_LENGTH, &engineId) ||
       !ReadNonNegative(&security, &boots) || !ReadNonNegative(&security, &time) ||
       !ReadOctets(&security, SNMP_MAX_USER_NAME_LENGTH, &user) ||
       !ReadOctets(&security, SNMP_MAX_MESSAGE_SIZE, &authParams) ||
       !ReadOctets(&security, SNMP_MAX_MESSAGE_SIZE, &privParams) || !security.atEnd()) {
      return false;
   }

   SnmpUsmState *usm = context != nullptr ? context->getUsmState() : nullptr;
   const SnmpUsmState::LocalizedKeys *keys = nullptr;
   if (flags & SNMP_MSG_FLAG_AUTH) {
      // Only our own user's messages can be checked, with our keys.
      size_t authLength = usm != nullptr ? UsmAuthParamLength(usm->authMethod) : 0;
      if (usm == nullptr || usm->level == SNMP_SECURITY_NOAUTH_NOPRIV || authLength == 0 ||
          authParams.remaining() != authLength || !Equals(user, usm->user)) {
         return false;
      }
      keys = usm->keysFor(engineId.data(), engineId.remaining());
      if (keys == nullptr) {
         return false;
      }
      size_t offset = static_cast<size_t>(authParams.data() - whole);
      Bytes copy(whole, whole + wholeLength);
      memset(copy.data() + offset, 0, authLength);
      uint8_t expected[64];
      if (!UsmSign(usm->authMethod, keys->auth, copy.data(), copy.size(), expected)) {
         return false;
      }
      if (CRYPTO_memcmp(expected, authParams.data(), authLength) != 0) {
         usm->badDigestMessageId = messageId;
         return false;
      }
   }

   bool parsed;
   if (flags & SNMP_MSG_FLAG_PRIV) {
      BerReader encrypted;
      Bytes plain;
      if (usm->level != SNMP_SECURITY_AUTH_PRIV || keys->priv.empty() ||
          !message.expectElement(ASN_OCTET_STRING, &encrypted) || !message.atEnd() ||
          !UsmDecrypt(usm->privMethod, keys->priv, boots, time, privParams.data(),
                      privParams.remaining(), encrypted.data(), encrypted.remaining(), &plain)) {
         return false;
      }
      parsed = ParseScopedPdu(pdu, BerReader(plain.data(), plain.size()), true);
   } else {
      parsed = ParseScopedPdu(pdu, message, false);
   }
   if (!parsed) {
      return false;
   }
   pdu->m_messageId = messageId;
   pdu->m_messageFlags = flags;
   memcpy(pdu->m_engineId, engineId.data(), engineId.remaining());
   pdu->m_engineIdLength = engineId.remaining();
   pdu->m_engineBoots = boots;
   pdu->m_engineTime = time;
   return true;
}
