// Encode and parse costs of typical SNMP messages: a one-variable GET (the
// request of every SnmpGet and walk step), its response, and a response of
// a GETBULK-sized table row set with mixed value types.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "hksnmp.h"

namespace {

const uint32_t kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};

SNMP_PDU *MakeGet() {
   auto *pdu = new SNMP_PDU(SNMP_GET_REQUEST, 12345, SNMP_VERSION_2C);
   pdu->bindVariable(new SNMP_Variable(kSysDescr, 9));
   return pdu;
}

// A response with count variables cycling through the common value types of
// an interface table.
SNMP_PDU *MakeResponse(int count) {
   auto *pdu = new SNMP_PDU(SNMP_RESPONSE, 12345, SNMP_VERSION_2C);
   for (int i = 0; i < count; i++) {
      uint32_t oid[] = {1,
                        3,
                        6,
                        1,
                        2,
                        1,
                        2,
                        2,
                        1,
                        static_cast<uint32_t>(1 + i % 22),
                        static_cast<uint32_t>(1 + i / 22)};
      auto *v = new SNMP_Variable(oid, 11);
      switch (i % 5) {
         case 0:
            v->setValueFromUInt32(ASN_INTEGER, static_cast<uint32_t>(i * 1000));
            break;
         case 1:
            v->setValue(ASN_OCTET_STRING, "GigabitEthernet0/1", 18);
            break;
         case 2:
            v->setValueFromUInt32(ASN_COUNTER32, 0xF0000000u + static_cast<uint32_t>(i));
            break;
         case 3:
            v->setValueFromUInt64(ASN_COUNTER64, 0x123456789ABCull * static_cast<uint64_t>(i));
            break;
         default:
            v->setValue(ASN_OCTET_STRING, "\x00\x1a\x2b\x3c\x4d\x5e", 6);
            break;
      }
      pdu->bindVariable(v);
   }
   return pdu;
}

std::vector<uint8_t> EncodeToVector(const SNMP_PDU *pdu) {
   SNMP_SecurityContext context("public");
   uint8_t *bytes = nullptr;
   size_t length = pdu->encode(&bytes, &context);
   std::vector<uint8_t> out(bytes, bytes + length);
   free(bytes);
   return out;
}

void BM_EncodeGetRequest(benchmark::State &state) {
   SNMP_PDU *pdu = MakeGet();
   SNMP_SecurityContext context("public");
   for (auto _ : state) {
      uint8_t *bytes = nullptr;
      size_t length = pdu->encode(&bytes, &context);
      benchmark::DoNotOptimize(length);
      free(bytes);
   }
   delete pdu;
}
BENCHMARK(BM_EncodeGetRequest);

void BM_ParseGetResponse(benchmark::State &state) {
   SNMP_PDU *pdu = new SNMP_PDU(SNMP_RESPONSE, 12345, SNMP_VERSION_2C);
   auto *v = new SNMP_Variable(kSysDescr, 9);
   v->setValue(ASN_OCTET_STRING, "Linux router 6.1.0 #1 SMP x86_64", 32);
   pdu->bindVariable(v);
   std::vector<uint8_t> bytes = EncodeToVector(pdu);
   delete pdu;
   for (auto _ : state) {
      SNMP_PDU parsed;
      benchmark::DoNotOptimize(parsed.parse(bytes.data(), bytes.size(), nullptr, false));
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ParseGetResponse);

void BM_EncodeResponse(benchmark::State &state) {
   SNMP_PDU *pdu = MakeResponse(static_cast<int>(state.range(0)));
   SNMP_SecurityContext context("public");
   size_t total = 0;
   for (auto _ : state) {
      uint8_t *bytes = nullptr;
      total += pdu->encode(&bytes, &context);
      free(bytes);
   }
   state.SetBytesProcessed(static_cast<int64_t>(total));
   delete pdu;
}
BENCHMARK(BM_EncodeResponse)->Arg(10)->Arg(50);

void BM_ParseResponse(benchmark::State &state) {
   SNMP_PDU *pdu = MakeResponse(static_cast<int>(state.range(0)));
   std::vector<uint8_t> bytes = EncodeToVector(pdu);
   delete pdu;
   for (auto _ : state) {
      SNMP_PDU parsed;
      benchmark::DoNotOptimize(parsed.parse(bytes.data(), bytes.size(), nullptr, false));
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
   state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseResponse)->Arg(10)->Arg(50);

// A malformed message is refused at its first bad field, so garbage costs
// less than a real answer.
void BM_ParseRejectTruncated(benchmark::State &state) {
   SNMP_PDU *pdu = MakeResponse(50);
   std::vector<uint8_t> bytes = EncodeToVector(pdu);
   delete pdu;
   bytes.resize(bytes.size() - 1);
   for (auto _ : state) {
      SNMP_PDU parsed;
      benchmark::DoNotOptimize(parsed.parse(bytes.data(), bytes.size(), nullptr, false));
   }
}
BENCHMARK(BM_ParseRejectTruncated);

}  // namespace
