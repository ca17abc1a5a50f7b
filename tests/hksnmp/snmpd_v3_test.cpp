// libhksnmp's SNMPv3 against net-snmp's snmpd: every level, authentication
// and privacy protocol reads what snmpwalk -v3 reads with the same user;
// each kind of refusal gives its own result; a rebooted engine is
// resynchronised without failing the request.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "snmp_agents.h"
#include "snmp_test_util.h"

using namespace hksnmptest;
using hktest::SnmpToolVersion;

namespace {

struct AuthProtocol {
   const char *tool;  // net-snmp's -a name
   uint32_t method;
};
struct PrivProtocol {
   const char *tool;  // net-snmp's -x name
   uint32_t method;
};

const AuthProtocol kAuth[] = {{"MD5", SNMP_AUTH_MD5},        {"SHA", SNMP_AUTH_SHA1},
                              {"SHA-224", SNMP_AUTH_SHA224}, {"SHA-256", SNMP_AUTH_SHA256},
                              {"SHA-384", SNMP_AUTH_SHA384}, {"SHA-512", SNMP_AUTH_SHA512}};
const PrivProtocol kPriv[] = {{"DES", SNMP_PRIV_DES}, {"AES", SNMP_PRIV_AES128}};

std::string UserName(const AuthProtocol &a, const PrivProtocol &p) {
   return std::string("u-") + a.tool + "-" + p.tool;
}
std::string AuthPassword(const AuthProtocol &a) {
   return std::string("auth-pass-") + a.tool;
}
std::string PrivPassword(const PrivProtocol &p) {
   return std::string("priv-pass-") + p.tool;
}

// One user per pair of protocols, allowed at every level; one user without
// privacy that must use it.
std::vector<std::string> UserConfig() {
   std::vector<std::string> lines;
   for (const AuthProtocol &a : kAuth) {
      for (const PrivProtocol &p : kPriv) {
         lines.push_back("createUser " + UserName(a, p) + " " + a.tool + " \"" + AuthPassword(a) +
                         "\" " + p.tool + " \"" + PrivPassword(p) + "\"");
         lines.push_back("rouser " + UserName(a, p) + " noauth");
      }
   }
   lines.push_back("createUser authonly SHA-256 \"auth-only-pass\"");
   lines.push_back("rouser authonly auth");
   return lines;
}

struct V3Case {
   AuthProtocol auth;
   PrivProtocol priv;
   uint32_t level;
};

std::vector<V3Case> AllCases() {
   std::vector<V3Case> cases;
   for (const AuthProtocol &a : kAuth) {
      for (const PrivProtocol &p : kPriv) {
         cases.push_back({a, p, SNMP_SECURITY_AUTH_PRIV});
      }
      cases.push_back({a, kPriv[1], SNMP_SECURITY_AUTH_NOPRIV});
   }
   cases.push_back({kAuth[0], kPriv[0], SNMP_SECURITY_NOAUTH_NOPRIV});
   return cases;
}

std::string CaseName(const ::testing::TestParamInfo<V3Case> &info) {
   static const char *levels[] = {"noAuthNoPriv", "authNoPriv", "authPriv"};
   std::string name = std::string(levels[info.param.level]) + "_" + info.param.auth.tool;
   if (info.param.level == SNMP_SECURITY_AUTH_PRIV) {
      name += std::string("_") + info.param.priv.tool;
   }
   for (char &c : name) {
      c = c == '-' ? '_' : c;
   }
   return name;
}

// The net-snmp options of a case.
std::vector<std::string> ToolOptions(const V3Case &c) {
   std::vector<std::string> options = {"-u", UserName(c.auth, c.priv), "-Ox"};
   if (c.level == SNMP_SECURITY_NOAUTH_NOPRIV) {
      options.insert(options.end(), {"-l", "noAuthNoPriv"});
   } else if (c.level == SNMP_SECURITY_AUTH_NOPRIV) {
      options.insert(options.end(),
                     {"-l", "authNoPriv", "-a", c.auth.tool, "-A", AuthPassword(c.auth)});
   } else {
      options.insert(options.end(),
                     {"-l", "authPriv", "-a", c.auth.tool, "-A", AuthPassword(c.auth), "-x",
                      c.priv.tool, "-X", PrivPassword(c.priv)});
   }
   return options;
}

SNMP_SecurityContext *Context(const V3Case &c) {
   auto *context =
       new SNMP_SecurityContext(UserName(c.auth, c.priv).c_str(), AuthPassword(c.auth).c_str(),
                                PrivPassword(c.priv).c_str(), c.auth.method, c.priv.method);
   context->setSecurityLevel(c.level);
   return context;
}

std::unique_ptr<SNMP_UDPTransport> V3Transport(uint16_t port, SNMP_SecurityContext *context) {
   auto transport = LoopbackTransport(port, "", SNMP_VERSION_3);
   if (transport != nullptr) {
      transport->setSecurityContext(context);
   }
   return transport;
}

// One agent with every user for each suite.
class SnmpdV3Base : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_agent = new hktest::SnmpdFixture();
      s_started = s_agent->start("public", UserConfig());
   }
   static void TearDownTestSuite() {
      delete s_agent;
      s_agent = nullptr;
   }
   void SetUp() override { ASSERT_TRUE(s_started) << s_agent->lastError(); }

   static hktest::SnmpdFixture *s_agent;
   static bool s_started;
};

hktest::SnmpdFixture *SnmpdV3Base::s_agent = nullptr;
bool SnmpdV3Base::s_started = false;

class SnmpdV3Test : public SnmpdV3Base, public ::testing::WithParamInterface<V3Case> {};

TEST_P(SnmpdV3Test, ReadsWhatSnmpwalkReadsWithTheSameUser) {
   const V3Case &c = GetParam();
   auto transport = V3Transport(s_agent->port(), Context(c));
   ASSERT_NE(transport, nullptr);
   for (const char *root : {".1.3.6.1.2.1.1", ".1.3.6.1.2.1.2.2.1.2"}) {
      SCOPED_TRACE(root);
      std::vector<std::string> before =
          s_agent->snmpWalk(root, SnmpToolVersion::V3, ToolOptions(c));
      std::vector<std::string> ours = Walk(transport.get(), root);
      std::vector<std::string> after = s_agent->snmpWalk(root, SnmpToolVersion::V3, ToolOptions(c));
      ASSERT_FALSE(before.empty()) << "snmpwalk -v3 read nothing";
      ExpectSameWalk(before, ours, after);
   }
   std::vector<std::string> reference =
       s_agent->snmpGet({".1.3.6.1.2.1.1.1.0"}, SnmpToolVersion::V3, ToolOptions(c));
   uint32_t result;
   std::unique_ptr<SNMP_PDU> response =
       Exchange(transport.get(), SNMP_GET_REQUEST, {".1.3.6.1.2.1.1.1.0"}, &result);
   ASSERT_EQ(result, SNMP_ERR_SUCCESS) << Narrow(SNMPGetErrorText(result));
   ASSERT_EQ(reference.size(), 1u);
   EXPECT_EQ(FormatLikeNetSnmp(response->getVariable(0)), reference[0]);
}

INSTANTIATE_TEST_SUITE_P(EveryProtocol, SnmpdV3Test, ::testing::ValuesIn(AllCases()), CaseName);

// ---------------------------------------------------------------- refusals

struct RefusalCase {
   const char *name;
   const char *user, *authPassword, *privPassword;
   uint32_t auth, priv;
   uint32_t expected;
};

class SnmpdV3RefusalTest : public SnmpdV3Base, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SnmpdV3RefusalTest, GivesItsOwnResultWithinOneTimeout) {
   const RefusalCase &c = GetParam();
   auto transport = V3Transport(
       s_agent->port(),
       new SNMP_SecurityContext(c.user, c.authPassword, c.privPassword, c.auth, c.priv));
   ASSERT_NE(transport, nullptr);
   const uint32_t timeout = 1500;
   const int retries = 3;
   auto start = std::chrono::steady_clock::now();
   uint32_t result;
   std::unique_ptr<SNMP_PDU> response = Exchange(transport.get(), SNMP_GET_REQUEST,
                                                 {".1.3.6.1.2.1.1.3.0"}, &result, timeout, retries);
   auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
   EXPECT_EQ(response, nullptr);
   EXPECT_EQ(result, c.expected) << Narrow(SNMPGetErrorText(result));
   // Not the whole run of retries: the refusal is known after one attempt.
   EXPECT_LT(elapsed, static_cast<long long>(timeout) * retries);
}

const RefusalCase kRefusals[] = {
    {"WrongAuthPassword", "u-SHA-256-AES", "not-the-password", "priv-pass-AES", SNMP_AUTH_SHA256,
     SNMP_PRIV_AES128, SNMP_ERR_WRONG_DIGEST},
    {"WrongPrivPassword", "u-SHA-256-AES", "auth-pass-SHA-256", "not-the-password",
     SNMP_AUTH_SHA256, SNMP_PRIV_AES128, SNMP_ERR_DECRYPTION},
    {"WrongPrivPasswordDes", "u-MD5-DES", "auth-pass-MD5", "not-the-password", SNMP_AUTH_MD5,
     SNMP_PRIV_DES, SNMP_ERR_DECRYPTION},
    {"UnknownUser", "nobody-here", "auth-pass-SHA", "priv-pass-AES", SNMP_AUTH_SHA1,
     SNMP_PRIV_AES128, SNMP_ERR_UNKNOWN_USER},
    {"LevelTheUserLacks", "authonly", "auth-only-pass", "priv-pass-AES", SNMP_AUTH_SHA256,
     SNMP_PRIV_AES128, SNMP_ERR_UNSUPPORTED_LEVEL},
};

INSTANTIATE_TEST_SUITE_P(Refusals, SnmpdV3RefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<RefusalCase> &info) {
                            return std::string(info.param.name);
                         });

// ---------------------------------------------------------------- reboot

TEST(SnmpdV3RebootTest, RebootedEngineIsResynchronisedWithoutFailingTheRequest) {
   hktest::SnmpdFixture agent;
   ASSERT_TRUE(agent.start("public", UserConfig())) << agent.lastError();
   V3Case c{kAuth[3], kPriv[1], SNMP_SECURITY_AUTH_PRIV};
   SNMP_SecurityContext *context = Context(c);
   auto transport = V3Transport(agent.port(), context);
   ASSERT_NE(transport, nullptr);
   uint32_t result;
   ASSERT_NE(Exchange(transport.get(), SNMP_GET_REQUEST, {".1.3.6.1.2.1.1.3.0"}, &result), nullptr)
       << Narrow(SNMPGetErrorText(result));
   uint32_t bootsBefore = context->getEngineBoots();
   uint8_t engineBefore[SNMP_MAX_ENGINE_ID_LENGTH];
   size_t engineLength = context->getAuthoritativeEngineId(engineBefore);
   ASSERT_GT(engineLength, 0u);

   ASSERT_TRUE(agent.restart()) << agent.lastError();
   std::unique_ptr<SNMP_PDU> response =
       Exchange(transport.get(), SNMP_GET_REQUEST, {".1.3.6.1.2.1.1.3.0"}, &result, 2000, 1);
   ASSERT_EQ(result, SNMP_ERR_SUCCESS) << Narrow(SNMPGetErrorText(result));
   EXPECT_EQ(response->getVariable(0)->getType(), ASN_TIMETICKS);
   EXPECT_GT(context->getEngineBoots(), bootsBefore);
   uint8_t engineAfter[SNMP_MAX_ENGINE_ID_LENGTH];
   ASSERT_EQ(context->getAuthoritativeEngineId(engineAfter), engineLength);
   EXPECT_EQ(memcmp(engineBefore, engineAfter, engineLength), 0);
}

}  // namespace
