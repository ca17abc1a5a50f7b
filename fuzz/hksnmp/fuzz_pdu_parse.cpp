// Fuzz target of SNMP_PDU::parse. Beyond not crashing, a message that parses
// must re-encode, and the re-encoding must parse to the same contents: the
// parser accepts nothing that the encoder cannot reproduce.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "hksnmp.h"

static void Check(bool condition) {
   if (!condition) {
      abort();
   }
}

static void Exercise(const SNMP_Variable *v) {
   wchar_t text[512];
   uint8_t raw[64];
   bool hex = true;
   v->GetValueAsString(text, 512);
   v->getValueAsPrintableString(text, 512, &hex);
   v->getValueAsPrintableString(text, 7, &hex);
   v->GetValueAsInt();
   v->GetValueAsUInt64();
   Check(v->getRawValue(raw, sizeof(raw)) <= sizeof(raw));
   v->getName()->getText(text, 16);
}

static bool SameVariable(const SNMP_Variable *a, const SNMP_Variable *b) {
   return a->getType() == b->getType() && a->getName()->compare(*b->getName()) == 0 &&
          a->getValueLength() == b->getValueLength() &&
          (a->getValueLength() == 0 ||
           memcmp(a->getValue(), b->getValue(), a->getValueLength()) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
   SNMP_PDU pdu;
   if (!pdu.parse(data, size, nullptr, false)) {
      Check(pdu.getNumVariables() == 0);
      return 0;
   }
   for (int i = 0; i < pdu.getNumVariables(); i++) {
      Exercise(pdu.getVariable(i));
   }
   if (pdu.getVersion() == SNMP_VERSION_3) {
      return 0;  // re-encoding needs a USM user: the snmp_v3 target's ground
   }
   SNMP_SecurityContext context(pdu.getCommunity());
   uint8_t *bytes = nullptr;
   size_t length = pdu.encode(&bytes, &context);
   if (length == 0) {
      // Only growth past one datagram may stop a parsed message from
      // encoding (a one-byte Counter32 of -1 re-encodes in five bytes).
      Check(size > SNMP_MAX_MESSAGE_SIZE / 2);
      return 0;
   }
   SNMP_PDU again;
   Check(again.parse(bytes, length, &context, true));
   free(bytes);
   Check(again.getVersion() == pdu.getVersion() && again.getCommand() == pdu.getCommand() &&
         again.getRequestId() == pdu.getRequestId() && again.getErrorCode() == pdu.getErrorCode() &&
         again.getErrorIndex() == pdu.getErrorIndex() &&
         strcmp(again.getCommunity(), pdu.getCommunity()) == 0 &&
         again.getNumVariables() == pdu.getNumVariables());
   for (int i = 0; i < pdu.getNumVariables(); i++) {
      Check(SameVariable(pdu.getVariable(i), again.getVariable(i)));
   }
   return 0;
}
