// libhksnmp against snmpsimd serving tests/data/hksnmp_types.snmprec: every
// recorded value must decode to exactly what the recording says, including
// the types a host's own agent does not serve (Opaque, Counter64 at its
// limits, exceptions, strings with every byte value).
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "snmp_agents.h"
#include "snmp_test_util.h"

using namespace hksnmptest;

namespace {

const char *const kRecording = HK_TEST_DATA_DIR "/hksnmp_types.snmprec";

struct Record {
   std::string oid;
   uint32_t type = 0;
   std::vector<uint8_t> value;  // as getRawValue hands it out
};

std::vector<uint8_t> FromHex(const std::string &hex) {
   std::vector<uint8_t> bytes;
   for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
   }
   return bytes;
}

template <typename T>
std::vector<uint8_t> HostBytes(T value) {
   std::vector<uint8_t> bytes(sizeof(T));
   memcpy(bytes.data(), &value, sizeof(T));
   return bytes;
}

// The decoded value the library must produce for one recorded line.
Record ExpectedValue(const std::string &line) {
   Record r;
   size_t a = line.find('|'), b = line.find('|', a + 1);
   r.oid = "." + line.substr(0, a);
   std::string tag = line.substr(a + 1, b - a - 1);
   std::string text = line.substr(b + 1);
   bool hex = !tag.empty() && tag.back() == 'x';
   if (hex) {
      tag.pop_back();
   }
   r.type = static_cast<uint32_t>(std::stoul(tag));
   switch (r.type) {
      case ASN_INTEGER:
         r.value = HostBytes(static_cast<int32_t>(std::stol(text)));
         break;
      case ASN_COUNTER32:
      case ASN_GAUGE32:
      case ASN_TIMETICKS:
         r.value = HostBytes(static_cast<uint32_t>(std::stoul(text)));
         break;
      case ASN_COUNTER64:
         r.value = HostBytes(static_cast<uint64_t>(std::stoull(text)));
         break;
      case ASN_IP_ADDR:
         if (hex) {
            r.value = FromHex(text);
         } else {
            in_addr addr{};
            inet_pton(AF_INET, text.c_str(), &addr);
            r.value = HostBytes(addr.s_addr);  // already in network order
         }
         break;
      case ASN_OBJECT_ID:
         for (uint32_t c : ParseOid(text)) {
            std::vector<uint8_t> word = HostBytes(c);
            r.value.insert(r.value.end(), word.begin(), word.end());
         }
         break;
      case ASN_OCTET_STRING:
      case ASN_OPAQUE:
         r.value = hex ? FromHex(text) : std::vector<uint8_t>(text.begin(), text.end());
         break;
      default:  // NULL and the exceptions carry no value
         break;
   }
   return r;
}

std::vector<Record> LoadRecording() {
   std::vector<Record> records;
   std::ifstream in(kRecording);
   std::string line;
   while (std::getline(in, line)) {
      if (!line.empty()) {
         records.push_back(ExpectedValue(line));
      }
   }
   return records;
}

class SnmpSimTest : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_agent = new hktest::SnmpSimFixture();
      s_started = s_agent->start({kRecording});
   }
   static void TearDownTestSuite() {
      delete s_agent;
      s_agent = nullptr;
   }
   void SetUp() override {
      ASSERT_TRUE(s_started) << s_agent->lastError();
      transport_ = LoopbackTransport(s_agent->port(), s_agent->community(), SNMP_VERSION_2C);
      ASSERT_NE(transport_, nullptr);
   }

   // GETs one object and returns the response's only variable's owner.
   std::unique_ptr<SNMP_PDU> Get(const std::string &oid) {
      uint32_t result;
      std::unique_ptr<SNMP_PDU> response =
          Exchange(transport_.get(), SNMP_GET_REQUEST, {oid}, &result);
      EXPECT_EQ(result, SNMP_ERR_SUCCESS) << oid;
      if (response != nullptr) {
         EXPECT_EQ(response->getNumVariables(), 1) << oid;
      }
      return response;
   }

   static hktest::SnmpSimFixture *s_agent;
   static bool s_started;
   std::unique_ptr<SNMP_UDPTransport> transport_;
};

hktest::SnmpSimFixture *SnmpSimTest::s_agent = nullptr;
bool SnmpSimTest::s_started = false;

TEST_F(SnmpSimTest, EveryRecordedValueDecodesAsRecorded) {
   std::vector<Record> records = LoadRecording();
   ASSERT_GE(records.size(), 20u);
   for (const Record &r : records) {
      SCOPED_TRACE(r.oid);
      std::unique_ptr<SNMP_PDU> response = Get(r.oid);
      ASSERT_NE(response, nullptr);
      ASSERT_EQ(response->getNumVariables(), 1);
      SNMP_Variable *v = response->getVariable(0);
      EXPECT_EQ(OidText(v->getName()), r.oid);
      EXPECT_EQ(v->getType(), r.type);
      std::vector<uint8_t> raw(v->getValueLength() + 8);
      raw.resize(v->getRawValue(raw.data(), raw.size()));
      EXPECT_EQ(raw, r.value);
   }
}

TEST_F(SnmpSimTest, Counter64AtItsLimits) {
   auto max = Get(".1.3.6.1.4.1.99999.1.1.0");
   ASSERT_NE(max, nullptr);
   EXPECT_EQ(max->getVariable(0)->getType(), ASN_COUNTER64);
   EXPECT_EQ(max->getVariable(0)->GetValueAsUInt64(), 18446744073709551615ull);
   auto above32 = Get(".1.3.6.1.4.1.99999.1.2.0");
   ASSERT_NE(above32, nullptr);
   EXPECT_EQ(above32->getVariable(0)->GetValueAsUInt64(), 4294967296ull);
   EXPECT_EQ(above32->getVariable(0)->GetValueAsUInt(), 0u);  // its low 32 bits
   wchar_t text[32];
   EXPECT_STREQ(max->getVariable(0)->GetValueAsString(text, 32), L"18446744073709551615");
}

TEST_F(SnmpSimTest, OpaqueKeepsItsBytes) {
   auto opaque = Get(".1.3.6.1.4.1.99999.1.3.0");
   ASSERT_NE(opaque, nullptr);
   SNMP_Variable *v = opaque->getVariable(0);
   EXPECT_EQ(v->getType(), ASN_OPAQUE);
   uint8_t raw[16];
   ASSERT_EQ(v->getRawValue(raw, sizeof(raw)), 7u);
   EXPECT_EQ(memcmp(raw, "\x9f\x78\x04\x41\x20\x00\x00", 7), 0);
}

TEST_F(SnmpSimTest, OctetStringWithControlBytesIsShownInHex) {
   auto binary = Get(".1.3.6.1.4.1.99999.1.5.0");
   ASSERT_NE(binary, nullptr);
   SNMP_Variable *v = binary->getVariable(0);
   EXPECT_EQ(v->getType(), ASN_OCTET_STRING);
   wchar_t text[64];
   bool hex = true;
   EXPECT_STREQ(v->getValueAsPrintableString(text, 64, &hex), L"00 01 0A 0D FF 7F 80");
   EXPECT_TRUE(hex);
   // Text with a trailing NUL stays text.
   auto text0 = Get(".1.3.6.1.4.1.99999.1.6.0");
   ASSERT_NE(text0, nullptr);
   hex = true;
   EXPECT_STREQ(text0->getVariable(0)->getValueAsPrintableString(text, 64, &hex), L"ABC");
   EXPECT_FALSE(hex);
}

TEST_F(SnmpSimTest, LongOctetStringWithEveryByteValue) {
   auto longString = Get(".1.3.6.1.4.1.99999.1.15.0");
   ASSERT_NE(longString, nullptr);
   SNMP_Variable *v = longString->getVariable(0);
   ASSERT_EQ(v->getValueLength(), 300u);
   for (size_t i = 0; i < 300; i++) {
      ASSERT_EQ(v->getValue()[i], static_cast<uint8_t>(i % 256)) << i;
   }
}

TEST_F(SnmpSimTest, IpAddressInNetworkByteOrder) {
   auto ip = Get(".1.3.6.1.4.1.99999.1.7.0");
   ASSERT_NE(ip, nullptr);
   SNMP_Variable *v = ip->getVariable(0);
   EXPECT_EQ(v->getType(), ASN_IP_ADDR);
   EXPECT_EQ(ntohl(v->GetValueAsUInt()), 0xC0A8010Au);
   wchar_t text[32];
   EXPECT_STREQ(v->GetValueAsString(text, 32), L"192.168.1.10");
}

TEST_F(SnmpSimTest, ExceptionsDecodeAsRecorded) {
   const std::pair<const char *, uint32_t> cases[] = {
       {".1.3.6.1.4.1.99999.2.1.0", ASN_NO_SUCH_OBJECT},
       {".1.3.6.1.4.1.99999.2.2.0", ASN_NO_SUCH_INSTANCE},
       {".1.3.6.1.4.1.99999.2.3.0", ASN_END_OF_MIBVIEW}};
   for (const auto &[oid, type] : cases) {
      auto response = Get(oid);
      ASSERT_NE(response, nullptr);
      EXPECT_EQ(response->getErrorCode(), 0u);
      EXPECT_EQ(response->getVariable(0)->getType(), type) << oid;
      EXPECT_EQ(response->getVariable(0)->getValueLength(), 0u);
   }
}

TEST_F(SnmpSimTest, SeveralVariablesInOneRequest) {
   std::vector<Record> records = LoadRecording();
   std::vector<std::string> oids;
   for (size_t i = 0; i < 6; i++) {
      oids.push_back(records[i].oid);
   }
   uint32_t result;
   auto response = Exchange(transport_.get(), SNMP_GET_REQUEST, oids, &result);
   ASSERT_EQ(result, SNMP_ERR_SUCCESS);
   ASSERT_EQ(response->getNumVariables(), 6);
   for (int i = 0; i < 6; i++) {
      SNMP_Variable *v = response->getVariable(i);
      EXPECT_EQ(OidText(v->getName()), records[i].oid);
      EXPECT_EQ(v->getType(), records[i].type);
      EXPECT_EQ(std::vector<uint8_t>(v->getValue(), v->getValue() + v->getValueLength()),
                records[i].value);
   }
}

TEST_F(SnmpSimTest, WalkVisitsTheRecordingInOrder) {
   std::vector<std::string> entries = Walk(transport_.get(), ".1.3.6.1.4.1.99999.1");
   std::vector<Record> records = LoadRecording();
   std::vector<std::string> expected;
   for (const Record &r : records) {
      if (r.oid.rfind(".1.3.6.1.4.1.99999.1.", 0) == 0) {
         expected.push_back(r.oid);
      }
   }
   ASSERT_EQ(entries.size(), expected.size());
   for (size_t i = 0; i < entries.size(); i++) {
      EXPECT_EQ(entries[i].substr(0, entries[i].find(" = ")), expected[i]);
   }
}

// SNMPv1 has no Counter64: the simulator answers noSuchName.
TEST_F(SnmpSimTest, Counter64InSnmpV1IsRefused) {
   transport_->setSnmpVersion(SNMP_VERSION_1);
   uint32_t result;
   auto response =
       Exchange(transport_.get(), SNMP_GET_REQUEST, {".1.3.6.1.4.1.99999.1.1.0"}, &result);
   ASSERT_EQ(result, SNMP_ERR_SUCCESS);
   EXPECT_EQ(response->getVersion(), SNMP_VERSION_1);
   EXPECT_EQ(response->getErrorCode(), SNMP_PDU_ERR_NO_SUCH_NAME);
}

// The reference client reads the same recording the same way (as far as
// it prints it), which checks the recording as much as the library.
TEST_F(SnmpSimTest, ReferenceClientAgrees) {
   std::vector<std::string> oids = {".1.3.6.1.2.1.1.1.0",       ".1.3.6.1.4.1.99999.1.1.0",
                                    ".1.3.6.1.4.1.99999.1.5.0", ".1.3.6.1.4.1.99999.1.7.0",
                                    ".1.3.6.1.4.1.99999.1.9.0", ".1.3.6.1.4.1.99999.1.13.0"};
   std::vector<std::string> reference =
       s_agent->snmpGet(oids, hktest::SnmpToolVersion::V2C, {"-Ox"});
   uint32_t result;
   auto response = Exchange(transport_.get(), SNMP_GET_REQUEST, oids, &result);
   ASSERT_EQ(result, SNMP_ERR_SUCCESS);
   ASSERT_EQ(reference.size(), oids.size());
   for (size_t i = 0; i < oids.size(); i++) {
      EXPECT_EQ(FormatLikeNetSnmp(response->getVariable(static_cast<int>(i))), reference[i]);
   }
}

}  // namespace
