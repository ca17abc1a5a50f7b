// libhksnmp against net-snmp's snmpd: what the library reads must be what
// the reference client reads, object for object, in both SNMP versions.
//
// Traffic counters and clocks move between two reads (this test's own
// packets count on the loopback interface), so the reference is read before
// and after the library, and a number must lie between the two readings;
// everything else must be equal to one of them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "snmp_agents.h"
#include "snmp_test_util.h"

using namespace hksnmptest;
using hktest::SnmpToolVersion;

namespace {

class SnmpdTest : public ::testing::TestWithParam<SnmpToolVersion> {
protected:
   static void SetUpTestSuite() {
      s_agent = new hktest::SnmpdFixture();
      s_started = s_agent->start();
   }
   static void TearDownTestSuite() {
      delete s_agent;
      s_agent = nullptr;
   }
   void SetUp() override {
      ASSERT_TRUE(s_started) << s_agent->lastError();
      version_ = GetParam();
      transport_ =
          LoopbackTransport(s_agent->port(), s_agent->community(),
                            version_ == SnmpToolVersion::V1 ? SNMP_VERSION_1 : SNMP_VERSION_2C);
      ASSERT_NE(transport_, nullptr);
   }

   // Walks root with the reference, the library, and the reference again.
   void CompareWalk(const std::string &root) {
      std::vector<std::string> before = s_agent->snmpWalk(root, version_, {"-Ox"});
      std::vector<std::string> ours = Walk(transport_.get(), root);
      std::vector<std::string> after = s_agent->snmpWalk(root, version_, {"-Ox"});
      ASSERT_FALSE(before.empty()) << "the reference walk of " << root << " gave nothing";
      ExpectSameWalk(before, ours, after);
   }

   static hktest::SnmpdFixture *s_agent;
   static bool s_started;
   SnmpToolVersion version_ = SnmpToolVersion::V2C;
   std::unique_ptr<SNMP_UDPTransport> transport_;
};

hktest::SnmpdFixture *SnmpdTest::s_agent = nullptr;
bool SnmpdTest::s_started = false;

TEST_P(SnmpdTest, WalkOfInterfacesTableMatchesReference) {
   CompareWalk(".1.3.6.1.2.1.2");
}

TEST_P(SnmpdTest, WalkOfInterfacesExtensionMatchesReference) {
   CompareWalk(".1.3.6.1.2.1.31");
}

TEST_P(SnmpdTest, WalkOfIpAddressTableMatchesReference) {
   CompareWalk(".1.3.6.1.2.1.4.20");
}

TEST_P(SnmpdTest, WalkOfWholeIpMibMatchesReference) {
   CompareWalk(".1.3.6.1.2.1.4");
}

TEST_P(SnmpdTest, WalkOfSystemGroupMatchesReference) {
   CompareWalk(".1.3.6.1.2.1.1");
}

// One GET per type that the agent serves anywhere in its tree, compared with
// snmpget of the same object.
TEST_P(SnmpdTest, GetOfEveryServedTypeMatchesReference) {
   std::vector<std::string> tree = s_agent->snmpWalk(".1", version_, {"-Ox"});
   ASSERT_GT(tree.size(), 100u);
   std::map<std::string, std::string> firstOfType;  // type -> OID
   for (const std::string &entry : tree) {
      std::string oid, type, value;
      if (hktest::ParseSnmpToolEntry(entry, &oid, &type, &value)) {
         std::string key = type.empty() ? value : type;  // "" is the empty string
         firstOfType.emplace(key, oid);
      }
   }
   // Types a host's agent always has.
   for (const char *type : {"INTEGER", "Hex-STRING", "\"\"", "OID", "Timeticks", "Counter32",
                            "Gauge32", "IpAddress"}) {
      EXPECT_TRUE(firstOfType.count(type)) << "the agent serves no " << type;
   }
   if (version_ == SnmpToolVersion::V2C) {
      EXPECT_TRUE(firstOfType.count("Counter64"));
   }
   for (const auto &[type, oid] : firstOfType) {
      SCOPED_TRACE(type + " " + oid);
      std::vector<std::string> before = s_agent->snmpGet({oid}, version_, {"-Ox"});
      uint32_t result;
      std::unique_ptr<SNMP_PDU> response =
          Exchange(transport_.get(), SNMP_GET_REQUEST, {oid}, &result);
      std::vector<std::string> after = s_agent->snmpGet({oid}, version_, {"-Ox"});
      ASSERT_EQ(result, SNMP_ERR_SUCCESS);
      ASSERT_EQ(response->getErrorCode(), 0u);
      ASSERT_EQ(response->getNumVariables(), 1);
      ASSERT_EQ(before.size(), 1u);
      ASSERT_EQ(after.size(), 1u);
      ExpectBetween(before[0], FormatLikeNetSnmp(response->getVariable(0)), after[0]);
   }
}

TEST_P(SnmpdTest, GetOfSeveralVariablesKeepsTheirOrder) {
   std::vector<std::string> oids = {".1.3.6.1.2.1.1.5.0", ".1.3.6.1.2.1.2.1.0",
                                    ".1.3.6.1.2.1.1.2.0"};
   uint32_t result;
   std::unique_ptr<SNMP_PDU> response = Exchange(transport_.get(), SNMP_GET_REQUEST, oids, &result);
   ASSERT_EQ(result, SNMP_ERR_SUCCESS);
   ASSERT_EQ(response->getNumVariables(), 3);
   std::vector<std::string> reference = s_agent->snmpGet(oids, version_, {"-Ox"});
   ASSERT_EQ(reference.size(), 3u);
   for (int i = 0; i < 3; i++) {
      EXPECT_EQ(FormatLikeNetSnmp(response->getVariable(i)), reference[i]);
   }
}

// A missing object: SNMPv1 answers with error-status noSuchName, SNMPv2c
// with a noSuchObject value.
TEST_P(SnmpdTest, GetOfMissingObject) {
   uint32_t result;
   std::unique_ptr<SNMP_PDU> response =
       Exchange(transport_.get(), SNMP_GET_REQUEST, {".1.3.6.1.2.1.99.0"}, &result);
   ASSERT_EQ(result, SNMP_ERR_SUCCESS);
   if (version_ == SnmpToolVersion::V1) {
      EXPECT_EQ(response->getErrorCode(), SNMP_PDU_ERR_NO_SUCH_NAME);
      EXPECT_EQ(response->getErrorIndex(), 1u);
   } else {
      EXPECT_EQ(response->getErrorCode(), 0u);
      ASSERT_EQ(response->getNumVariables(), 1);
      EXPECT_EQ(response->getVariable(0)->getType(), ASN_NO_SUCH_OBJECT);
   }
}

// The agent refuses writes with a read-only community: the SET reaches it
// intact (it answers with the same variable) and is refused.
TEST_P(SnmpdTest, SetIsAnsweredWithAnError) {
   std::vector<uint32_t> oid = ParseOid(".1.3.6.1.2.1.1.5.0");
   SNMP_PDU request(SNMP_SET_REQUEST, 4242, transport_->getSnmpVersion());
   auto *variable = new SNMP_Variable(oid.data(), oid.size());
   ASSERT_TRUE(variable->setValue(ASN_OCTET_STRING, "renamed", 7));
   request.bindVariable(variable);
   SNMP_PDU *response = nullptr;
   ASSERT_EQ(transport_->doRequest(&request, &response, 2000, 3), SNMP_ERR_SUCCESS);
   std::unique_ptr<SNMP_PDU> owned(response);
   EXPECT_EQ(response->getRequestId(), 4242u);
   EXPECT_NE(response->getErrorCode(), 0u);
   EXPECT_EQ(response->getErrorIndex(), 1u);
   ASSERT_EQ(response->getNumVariables(), 1);
   EXPECT_EQ(OidText(response->getVariable(0)->getName()), ".1.3.6.1.2.1.1.5.0");
}

// A walk that leaves the agent's last object: SNMPv2c answers endOfMibView
// with the requested name, SNMPv1 with noSuchName.
TEST_P(SnmpdTest, GetNextPastTheEndOfTheTree) {
   uint32_t result;
   std::unique_ptr<SNMP_PDU> response =
       Exchange(transport_.get(), SNMP_GET_NEXT_REQUEST, {".2"}, &result);
   ASSERT_EQ(result, SNMP_ERR_SUCCESS);
   if (version_ == SnmpToolVersion::V1) {
      EXPECT_EQ(response->getErrorCode(), SNMP_PDU_ERR_NO_SUCH_NAME);
   } else {
      ASSERT_EQ(response->getNumVariables(), 1);
      EXPECT_EQ(response->getVariable(0)->getType(), ASN_END_OF_MIBVIEW);
      EXPECT_EQ(OidText(response->getVariable(0)->getName()), ".2.0");
   }
}

TEST_P(SnmpdTest, WrongCommunityIsNotAnswered) {
   transport_->setSecurityContext(new SNMP_SecurityContext("not-the-community"));
   uint32_t result;
   std::unique_ptr<SNMP_PDU> response =
       Exchange(transport_.get(), SNMP_GET_REQUEST, {".1.3.6.1.2.1.1.5.0"}, &result, 200, 1);
   EXPECT_EQ(result, SNMP_ERR_TIMEOUT);
   EXPECT_EQ(response, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Versions, SnmpdTest,
                         ::testing::Values(SnmpToolVersion::V1, SnmpToolVersion::V2C),
                         [](const ::testing::TestParamInfo<SnmpToolVersion> &info) {
                            return info.param == SnmpToolVersion::V1 ? "V1" : "V2c";
                         });

// GETBULK exists only in SNMPv2c: the answer holds max-repetitions rows
// after the non-repeaters, as the reference's bulk walk sees them.
TEST(SnmpdBulkTest, GetBulkMatchesReference) {
   hktest::SnmpdFixture agent;
   ASSERT_TRUE(agent.start()) << agent.lastError();
   auto transport = LoopbackTransport(agent.port(), "public", SNMP_VERSION_2C);
   SNMP_PDU request(SNMP_GET_BULK_REQUEST, 77, SNMP_VERSION_2C);
   request.setNonRepeaters(1);
   request.setMaxRepetitions(3);
   for (const char *oid : {".1.3.6.1.2.1.1.5", ".1.3.6.1.2.1.2.2.1.2"}) {
      std::vector<uint32_t> components = ParseOid(oid);
      request.bindVariable(new SNMP_Variable(components.data(), components.size()));
   }
   SNMP_PDU *response = nullptr;
   ASSERT_EQ(transport->doRequest(&request, &response, 2000, 3), SNMP_ERR_SUCCESS);
   std::unique_ptr<SNMP_PDU> owned(response);
   std::vector<std::string> reference =
       agent.snmpGet({".1.3.6.1.2.1.1.5.0"}, SnmpToolVersion::V2C, {"-Ox"});
   std::vector<std::string> rows =
       agent.snmpWalk(".1.3.6.1.2.1.2.2.1.2", SnmpToolVersion::V2C, {"-Ox"});
   ASSERT_GE(rows.size(), 1u);
   ASSERT_EQ(response->getNumVariables(), 1 + 3);
   EXPECT_EQ(FormatLikeNetSnmp(response->getVariable(0)), reference[0]);
   for (int i = 0; i < 3; i++) {
      std::string entry = FormatLikeNetSnmp(response->getVariable(1 + i));
      if (static_cast<size_t>(i) < rows.size()) {
         EXPECT_EQ(entry, rows[i]);
      }
   }
}

}  // namespace
