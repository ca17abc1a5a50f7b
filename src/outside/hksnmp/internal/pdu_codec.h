// The PDU element shared by the SNMPv1/v2c message and the SNMPv3 scoped
// PDU, and the SNMPv3 message codec (internal to libhksnmp).
#ifndef HKSNMP_PDU_CODEC_H
#define HKSNMP_PDU_CODEC_H

#include <vector>

#include "ber.h"
#include "hksnmp.h"

struct SnmpPduCodec {
   // The size of the PDU element ([0xA0|command] { request-id, error-status,
   // error-index, bindings }) with its content size in *content, or 0 when
   // the PDU cannot be encoded in this version.
   static size_t pduElementSize(const SNMP_PDU &pdu, size_t *content);
   // The content size of the variable bindings; false when a variable cannot
   // be encoded or they outgrow a message.
   static bool listContentSize(const SNMP_PDU &pdu, size_t *size);
   // Writes the element sized by pduElementSize; returns the end.
   static uint8_t *putPdu(const SNMP_PDU &pdu, uint8_t *out, size_t content);
   // Reads the element of tag (version is the message's) into pdu; false on
   // anything malformed or not allowed in that version.
   static bool parsePdu(SNMP_PDU *pdu, uint32_t tag, hksnmp::BerReader content, uint32_t version);

   // SNMPv3 (v3_message.cpp). encodeV3 returns the length of the malloc'ed
   // message in *buffer, 0 on failure. parseV3 reads what follows msgVersion
   // in message; whole is the full message (the digest covers it).
   static size_t encodeV3(const SNMP_PDU &pdu, SNMP_SecurityContext *context, uint8_t **buffer);
   static bool parseV3(SNMP_PDU *pdu, hksnmp::BerReader message, SNMP_SecurityContext *context,
                       const uint8_t *whole, size_t wholeLength);
};

#endif
