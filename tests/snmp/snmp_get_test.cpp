// SnmpGet against real agents: snmpsimd serving tests/data/snmp_helpers.snmprec
// (one object of every type), net-snmp's snmpd in SNMPv1 and SNMPv2c, and a
// scripted device for the answers real agents do not give.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <cwchar>
#include <functional>
#include <mutex>

#include "hksrv_log.h"
#include "hksrv_snmp.h"
#include "snmp_agents.h"
#include "snmp_client_util.h"
#include "snmp_scripted_device.h"

using namespace hktest;

namespace {

const char *const kHelpers = HK_TEST_DATA_DIR "/snmp_helpers.snmprec";
const wchar_t *const kString = L".1.3.6.1.4.1.99999.5.1.0";     // "Uplink"
const wchar_t *const kBinary = L".1.3.6.1.4.1.99999.5.2.0";     // 00 1A 2B 3C 4D 5E
const wchar_t *const kOid = L".1.3.6.1.4.1.99999.5.3.0";        // .1.3.6.1.4.1.99999.7
const wchar_t *const kIpAddress = L".1.3.6.1.4.1.99999.5.4.0";  // 192.168.1.10
const wchar_t *const kInteger = L".1.3.6.1.4.1.99999.5.5.0";    // -42
const wchar_t *const kCounter32 = L".1.3.6.1.4.1.99999.5.6.0";  // 4294967295
const wchar_t *const kGauge32 = L".1.3.6.1.4.1.99999.5.7.0";    // 1000000000
const wchar_t *const kTimeTicks = L".1.3.6.1.4.1.99999.5.8.0";  // 8640000
const wchar_t *const kCounter64 = L".1.3.6.1.4.1.99999.5.9.0";  // 0x0123456789ABCDEF
const wchar_t *const kOpaque = L".1.3.6.1.4.1.99999.5.10.0";    // 01 02 FE
const wchar_t *const kNull = L".1.3.6.1.4.1.99999.5.11.0";
const wchar_t *const kNoSuchObject = L".1.3.6.1.4.1.99999.5.12.0";
const wchar_t *const kNoSuchInstance = L".1.3.6.1.4.1.99999.5.13.0";
const wchar_t *const kDeadBeef = L".1.3.6.1.4.1.99999.5.14.0";  // DE AD BE EF CA FE
const wchar_t *const kLatin1 = L".1.3.6.1.4.1.99999.5.15.0";    // "café über"

// A buffer pre-filled with a pattern, so that every byte written shows.
struct Sentinel {
   union {
      uint8_t bytes[512];
      wchar_t text[128];
      int32_t integer;
      uint32_t unsignedInteger;
   };
   Sentinel() { memset(bytes, 0xA5, sizeof(bytes)); }
   bool untouchedFrom(size_t offset) const {
      for (size_t i = offset; i < sizeof(bytes); i++) {
         if (bytes[i] != 0xA5) {
            return false;
         }
      }
      return true;
   }
};

class SnmpGetRecorded : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_agent = new SnmpSimFixture();
      ASSERT_TRUE(s_agent->start({kHelpers})) << s_agent->lastError();
   }
   static void TearDownTestSuite() {
      delete s_agent;
      s_agent = nullptr;
   }
   void SetUp() override {
      ASSERT_NE(s_agent, nullptr);
      m_transport = MakeLoopbackTransport(s_agent->port(), "snmp_helpers");
      ASSERT_NE(m_transport, nullptr);
   }
   uint32_t get(const wchar_t *oid, Sentinel *buffer, uint32_t size, uint32_t flags) {
      return SnmpGet(m_transport->getSnmpVersion(), m_transport.get(), oid, nullptr, 0, buffer,
                     size, flags);
   }

   static SnmpSimFixture *s_agent;
   std::unique_ptr<SNMP_UDPTransport> m_transport;
};

SnmpSimFixture *SnmpGetRecorded::s_agent = nullptr;

TEST_F(SnmpGetRecorded, IntegerTypesWriteFourBytesWhateverTheBufferSize) {
   struct Case {
      const wchar_t *oid;
      int32_t expected;
   } cases[] = {{kInteger, -42},
                {kCounter32, static_cast<int32_t>(0xFFFFFFFFu)},
                {kGauge32, 1000000000},
                {kTimeTicks, 8640000}};
   for (const Case &c : cases) {
      SCOPED_TRACE(Narrow(c.oid));
      Sentinel buffer;
      ASSERT_EQ(get(c.oid, &buffer, 1, 0), SNMP_ERR_SUCCESS);
      EXPECT_EQ(buffer.integer, c.expected);
      EXPECT_TRUE(buffer.untouchedFrom(4));
   }
}

TEST_F(SnmpGetRecorded, IpAddressArrivesInHostByteOrder) {
   Sentinel buffer;
   ASSERT_EQ(get(kIpAddress, &buffer, 0, 0), SNMP_ERR_SUCCESS);
   EXPECT_EQ(buffer.unsignedInteger, 0xC0A8010Au);  // 192.168.1.10
   EXPECT_TRUE(buffer.untouchedFrom(4));
}

TEST_F(SnmpGetRecorded, TextTypesAreCutToTheBuffer) {
   Sentinel buffer;
   ASSERT_EQ(get(kString, &buffer, 128, 0), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(buffer.text, L"Uplink");

   Sentinel oid;
   ASSERT_EQ(get(kOid, &oid, 128, 0), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(oid.text, L".1.3.6.1.4.1.99999.7");

   Sentinel latin1;
   ASSERT_EQ(get(kLatin1, &latin1, 128, 0), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(latin1.text, L"caf\u00e9 \u00fcber");

   Sentinel cut;
   ASSERT_EQ(get(kString, &cut, 4, 0), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(cut.text, L"Upl");
   EXPECT_TRUE(cut.untouchedFrom(4 * sizeof(wchar_t)));
}

TEST_F(SnmpGetRecorded, TypesOutsideTheTableAreLoggedAndRefused) {
   struct Case {
      const wchar_t *oid;
      const wchar_t *tag;
   } cases[] = {{kCounter64, L"46"}, {kOpaque, L"44"}, {kNull, L"5"}};
   for (const Case &c : cases) {
      SCOPED_TRACE(Narrow(c.oid));
      LogCapture log;
      Sentinel buffer;
      EXPECT_EQ(get(c.oid, &buffer, 128, 0), SNMP_ERR_UNKNOWN_TYPE);
      EXPECT_TRUE(buffer.untouchedFrom(0));
      auto entries = log.entries();
      ASSERT_EQ(entries.size(), 1u);
      EXPECT_EQ(entries[0].messageId, 24u);
      EXPECT_EQ(entries[0].type, EVENTLOG_ERROR_TYPE);
      ASSERT_EQ(entries[0].inserts.size(), 1u);
      EXPECT_EQ(entries[0].inserts[0], c.tag);
   }
}

TEST_F(SnmpGetRecorded, Counter64IsReadRaw) {
   LogCapture log;
   Sentinel buffer;
   ASSERT_EQ(get(kCounter64, &buffer, 8, SNMPGET_RAW), SNMP_ERR_SUCCESS);
   uint64_t value;
   memcpy(&value, buffer.bytes, 8);
   EXPECT_EQ(value, 0x0123456789ABCDEFull);
   EXPECT_TRUE(buffer.untouchedFrom(8));
   EXPECT_TRUE(log.entries().empty());

   // As text it is its decimal value.
   Sentinel text;
   ASSERT_EQ(get(kCounter64, &text, 128, SNMPGET_AS_STRING), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(text.text, L"81985529216486895");
}

TEST_F(SnmpGetRecorded, FlagsApplyInTheirOrderOfPrecedence) {
   // RAW wins over every other conversion flag.
   Sentinel raw;
   ASSERT_EQ(get(kBinary, &raw, 64, SNMPGET_RAW | SNMPGET_AS_STRING), SNMP_ERR_SUCCESS);
   const uint8_t binary[] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
   EXPECT_EQ(memcmp(raw.bytes, binary, 6), 0);
   EXPECT_TRUE(raw.untouchedFrom(6));

   Sentinel rawAll;
   ASSERT_EQ(get(kBinary, &rawAll, 3, 0x1F), SNMP_ERR_SUCCESS);
   EXPECT_EQ(memcmp(rawAll.bytes, binary, 3), 0);
   EXPECT_TRUE(rawAll.untouchedFrom(3));

   // RAW_AS_HEX wins over AS_STRING and PRINTABLE.
   Sentinel hex;
   ASSERT_EQ(get(kBinary, &hex, 64, SNMPGET_RAW_AS_HEX | SNMPGET_AS_STRING | SNMPGET_PRINTABLE),
             SNMP_ERR_SUCCESS);
   EXPECT_STREQ(hex.text, L"001A2B3C4D5E");

   // AS_STRING wins over PRINTABLE: the bytes as characters (up to the
   // first NUL byte), not as hex.
   Sentinel text;
   ASSERT_EQ(get(kBinary, &text, 64, SNMPGET_AS_STRING | SNMPGET_PRINTABLE), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(text.text, L"");
   Sentinel latin1;
   ASSERT_EQ(get(kDeadBeef, &latin1, 64, SNMPGET_AS_STRING | SNMPGET_PRINTABLE), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(latin1.text, L"\u00de\u00ad\u00be\u00ef\u00ca\u00fe");

   Sentinel printable;
   ASSERT_EQ(get(kBinary, &printable, 64, SNMPGET_PRINTABLE), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(printable.text, L"00 1A 2B 3C 4D 5E");
   Sentinel printableText;
   ASSERT_EQ(get(kString, &printableText, 64, SNMPGET_PRINTABLE), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(printableText.text, L"Uplink");

   // AS_STRING turns numbers and addresses into text; LOG_ERRORS changes
   // nothing in a conversion.
   Sentinel number;
   ASSERT_EQ(get(kInteger, &number, 64, SNMPGET_AS_STRING | SNMPGET_LOG_ERRORS), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(number.text, L"-42");
   Sentinel address;
   ASSERT_EQ(get(kIpAddress, &address, 64, SNMPGET_AS_STRING), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(address.text, L"192.168.1.10");
   Sentinel logged;
   ASSERT_EQ(get(kInteger, &logged, 64, SNMPGET_LOG_ERRORS), SNMP_ERR_SUCCESS);
   EXPECT_EQ(logged.integer, -42);
   EXPECT_TRUE(logged.untouchedFrom(4));
}

TEST_F(SnmpGetRecorded, HexTextStaysWithinTheBuffer) {
   // (9 - 1) / 2 = 4 bytes: 8 hex digits and the NUL.
   Sentinel nine;
   ASSERT_EQ(get(kDeadBeef, &nine, 9, SNMPGET_RAW_AS_HEX), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(nine.text, L"DEADBEEF");
   EXPECT_TRUE(nine.untouchedFrom(9 * sizeof(wchar_t)));

   Sentinel ten;
   ASSERT_EQ(get(kDeadBeef, &ten, 10, SNMPGET_RAW_AS_HEX), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(ten.text, L"DEADBEEF");

   Sentinel two;
   ASSERT_EQ(get(kDeadBeef, &two, 2, SNMPGET_RAW_AS_HEX), SNMP_ERR_SUCCESS);
   EXPECT_STREQ(two.text, L"");
   EXPECT_TRUE(two.untouchedFrom(sizeof(wchar_t)));

   // No room for a single character: nothing is written and the read fails
   // (the temporary size (bufferSize - 1) / 2 would wrap around).
   for (uint32_t size : {0u, 1u}) {
      SCOPED_TRACE(size);
      Sentinel tiny;
      EXPECT_EQ(get(kDeadBeef, &tiny, size, SNMPGET_RAW_AS_HEX), SNMP_ERR_PARAM);
      EXPECT_TRUE(tiny.untouchedFrom(0));
   }
}

TEST_F(SnmpGetRecorded, MissingObjectsComeBeforeEveryFlag) {
   for (const wchar_t *oid : {kNoSuchObject, kNoSuchInstance}) {
      for (uint32_t flags : {0u, SNMPGET_RAW, SNMPGET_RAW_AS_HEX, SNMPGET_AS_STRING, 0x1Fu}) {
         SCOPED_TRACE(Narrow(oid) + " flags " + std::to_string(flags));
         LogCapture log;
         Sentinel buffer;
         EXPECT_EQ(get(oid, &buffer, 64, flags), SNMP_ERR_NO_SUCH_OBJECT);
         EXPECT_TRUE(buffer.untouchedFrom(0));
         EXPECT_TRUE(log.entries().empty());
      }
   }
}

TEST_F(SnmpGetRecorded, TextOidWinsOverBinaryOid) {
   uint32_t binary[] = {1, 3, 6, 1, 4, 1, 99999, 5, 5, 0};  // the INTEGER
   Sentinel buffer;
   ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, m_transport.get(), kString, binary, 10, &buffer, 64, 0),
             SNMP_ERR_SUCCESS);
   EXPECT_STREQ(buffer.text, L"Uplink");

   Sentinel byBinary;
   ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, m_transport.get(), nullptr, binary, 10, &byBinary, 64, 0),
             SNMP_ERR_SUCCESS);
   EXPECT_EQ(byBinary.integer, -42);

   // A binary OID longer than the 128 components a request can hold.
   uint32_t tooLong[SNMP_MAX_OID_LENGTH + 1];
   for (uint32_t &c : tooLong) {
      c = 1;
   }
   Sentinel refused;
   EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, m_transport.get(), nullptr, tooLong, SNMP_MAX_OID_LENGTH + 1,
                     &refused, 64, 0),
             SNMP_ERR_PARAM);
   EXPECT_TRUE(refused.untouchedFrom(0));
}

TEST_F(SnmpGetRecorded, BadArgumentsAndTheRequestIdsTheyUse) {
   LogCapture log;
   Sentinel buffer;
   uint32_t before = SnmpNewRequestId();
   EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, nullptr, kString, nullptr, 0, &buffer, 64, 0xFF),
             SNMP_ERR_NO_TRANSPORT);
   EXPECT_TRUE(log.entries().empty());
   // A null transport takes no id.
   EXPECT_EQ(SnmpNewRequestId(), before + 1);

   // A bad OID text is logged whatever the flags, and still takes an id.
   EXPECT_EQ(get(L".1.3.six.1", &buffer, 64, 0), SNMP_ERR_OID_SYNTAX);
   EXPECT_EQ(SnmpNewRequestId(), before + 3);
   auto entries = log.entries();
   ASSERT_EQ(entries.size(), 1u);
   EXPECT_EQ(entries[0].messageId, 27u);
   EXPECT_EQ(entries[0].type, EVENTLOG_ERROR_TYPE);
   ASSERT_EQ(entries[0].inserts.size(), 1u);
   EXPECT_EQ(entries[0].inserts[0], L".1.3.six.1");
   EXPECT_TRUE(buffer.untouchedFrom(0));

   // A successful GET takes exactly one id.
   ASSERT_EQ(get(kInteger, &buffer, 64, 0), SNMP_ERR_SUCCESS);
   EXPECT_EQ(SnmpNewRequestId(), before + 5);
}

// ---------------------------------------------------------------- snmpd

class SnmpGetSnmpd : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_agent = new SnmpdFixture();
      ASSERT_TRUE(s_agent->start()) << s_agent->lastError();
   }
   static void TearDownTestSuite() {
      delete s_agent;
      s_agent = nullptr;
   }
   void SetUp() override { ASSERT_NE(s_agent, nullptr); }

   static SnmpdFixture *s_agent;
};

SnmpdFixture *SnmpGetSnmpd::s_agent = nullptr;

// The value part of the reference client's answer for one OID.
std::string ToolValue(SnmpAgentFixture *agent, const std::string &oid, std::string *type,
                      SnmpToolVersion version = SnmpToolVersion::V2C) {
   auto entries = agent->snmpGet({oid}, version);
   std::string name, value;
   if (entries.size() != 1 || !ParseSnmpToolEntry(entries[0], &name, type, &value)) {
      ADD_FAILURE() << "snmpget " << oid << " gave " << entries.size() << " entries";
      return "";
   }
   return value;
}

TEST_F(SnmpGetSnmpd, ValuesMatchTheReferenceClient) {
   auto transport = MakeLoopbackTransport(s_agent->port(), "public");
   ASSERT_NE(transport, nullptr);
   std::string type;

   wchar_t text[256];
   ASSERT_EQ(
       SnmpGet(SNMP_VERSION_2C, transport.get(), L".1.3.6.1.2.1.1.2.0", nullptr, 0, text, 256, 0),
       SNMP_ERR_SUCCESS);
   EXPECT_EQ(Narrow(text), ToolValue(s_agent, ".1.3.6.1.2.1.1.2.0", &type));
   EXPECT_EQ(type, "OID");

   int32_t ifNumber = 0;
   ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, transport.get(), L".1.3.6.1.2.1.2.1.0", nullptr, 0, &ifNumber,
                     4, 0),
             SNMP_ERR_SUCCESS);
   EXPECT_EQ(std::to_string(ifNumber), ToolValue(s_agent, ".1.3.6.1.2.1.2.1.0", &type));
   EXPECT_EQ(type, "INTEGER");

   // The loopback address of the IP address table, first byte most significant.
   uint32_t address = 0;
   ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, transport.get(), L".1.3.6.1.2.1.4.20.1.1.127.0.0.1", nullptr,
                     0, &address, 4, 0),
             SNMP_ERR_SUCCESS);
   EXPECT_EQ(address, 0x7F000001u);
   EXPECT_EQ(ToolValue(s_agent, ".1.3.6.1.2.1.4.20.1.1.127.0.0.1", &type), "127.0.0.1");
   EXPECT_EQ(type, "IpAddress");
}

TEST_F(SnmpGetSnmpd, Counter64NeedsTheRawFlag) {
   auto transport = MakeLoopbackTransport(s_agent->port(), "public");
   ASSERT_NE(transport, nullptr);
   const char *oid = ".1.3.6.1.2.1.31.1.1.1.6.1";  // ifHCInOctets of the first interface
   std::string type;
   uint64_t before = std::stoull(ToolValue(s_agent, oid, &type));
   ASSERT_EQ(type, "Counter64");

   LogCapture log;
   uint8_t buffer[16];
   memset(buffer, 0xA5, sizeof(buffer));
   EXPECT_EQ(
       SnmpGet(SNMP_VERSION_2C, transport.get(), Widen(oid).c_str(), nullptr, 0, buffer, 16, 0),
       SNMP_ERR_UNKNOWN_TYPE);
   auto unknown = log.withId(24);
   ASSERT_EQ(unknown.size(), 1u);
   EXPECT_EQ(unknown[0].inserts, std::vector<std::wstring>{L"46"});
   EXPECT_EQ(buffer[0], 0xA5);

   ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, transport.get(), Widen(oid).c_str(), nullptr, 0, buffer, 16,
                     SNMPGET_RAW),
             SNMP_ERR_SUCCESS);
   uint64_t value;
   memcpy(&value, buffer, 8);
   EXPECT_EQ(buffer[8], 0xA5);
   // The counter only grows, and this very traffic runs over loopback.
   uint64_t after = std::stoull(ToolValue(s_agent, oid, &type));
   EXPECT_LE(before, value);
   EXPECT_LE(value, after);
}

TEST_F(SnmpGetSnmpd, MissingObjectsFromBothVersions) {
   // sysDescr.1 is a missing instance, .1.3.6.1.2.1.1.99.0 a missing object.
   const char *missing[] = {".1.3.6.1.2.1.1.1.1", ".1.3.6.1.2.1.1.99.0"};
   std::string type;
   EXPECT_NE(ToolValue(s_agent, missing[0], &type).find("No Such Instance"), std::string::npos);
   EXPECT_NE(ToolValue(s_agent, missing[1], &type).find("No Such Object"), std::string::npos);

   for (uint32_t version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
      auto transport = MakeLoopbackTransport(s_agent->port(), "public", version);
      ASSERT_NE(transport, nullptr);
      for (const char *oid : missing) {
         SCOPED_TRACE(std::string(oid) + " version " + std::to_string(version));
         LogCapture log;
         Sentinel buffer;
         EXPECT_EQ(SnmpGet(version, transport.get(), Widen(oid).c_str(), nullptr, 0, &buffer, 64,
                           SNMPGET_LOG_ERRORS),
                   SNMP_ERR_NO_SUCH_OBJECT);
         EXPECT_TRUE(buffer.untouchedFrom(0));
         EXPECT_TRUE(log.entries().empty());
      }
   }
}

// ---------------------------------------------------------------- scripted answers

TEST(SnmpGetScripted, ErrorStatusesAndEmptyAnswers) {
   ScriptedSnmpDevice device([](const ScriptedSnmpRequest &request) {
      ScriptedSnmpAnswer answer;
      answer.name = request.names.empty() ? std::vector<uint32_t>{1, 3} : request.names[0];
      switch (request.names.empty() ? 0 : request.names[0].back()) {
         case 2:
            answer.errorStatus = 2;  // noSuchName
            answer.errorIndex = 1;
            break;
         case 5:
            answer.errorStatus = 5;  // genErr
            answer.errorIndex = 1;
            break;
         case 6:
            answer.noVariables = true;
            break;
         case 7:
            answer.errorStatus = 2;
            answer.noVariables = true;
            break;
         case 8:
            answer.valueTag = 0x47;  // UInteger32
            answer.value = BerUnsignedContent(4000000000u);
            break;
         case 9:
            answer.valueTag = 0x82;  // endOfMibView, in a GET answer
            break;
         default:
            answer.valueTag = 0x02;
            answer.value = BerIntegerContent(1);
      }
      return answer;
   });
   ASSERT_TRUE(device.running());
   auto transport = MakeLoopbackTransport(device.port(), "public");
   ASSERT_NE(transport, nullptr);

   struct Case {
      const wchar_t *oid;
      uint32_t expected;
   } cases[] = {{L".1.3.6.1.4.1.7.2", SNMP_ERR_NO_SUCH_OBJECT},
                {L".1.3.6.1.4.1.7.5", SNMP_ERR_AGENT_STATUS},
                {L".1.3.6.1.4.1.7.6", SNMP_ERR_AGENT_STATUS},
                {L".1.3.6.1.4.1.7.7", SNMP_ERR_NO_SUCH_OBJECT}};
   for (const Case &c : cases) {
      SCOPED_TRACE(Narrow(c.oid));
      LogCapture log;
      Sentinel buffer;
      EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, transport.get(), c.oid, nullptr, 0, &buffer, 64,
                        SNMPGET_LOG_ERRORS),
                c.expected);
      EXPECT_TRUE(buffer.untouchedFrom(0));
      EXPECT_TRUE(log.entries().empty());
   }

   Sentinel unsigned32;
   ASSERT_EQ(SnmpGet(SNMP_VERSION_2C, transport.get(), L".1.3.6.1.4.1.7.8", nullptr, 0, &unsigned32,
                     64, 0),
             SNMP_ERR_SUCCESS);
   EXPECT_EQ(unsigned32.unsignedInteger, 4000000000u);
   EXPECT_TRUE(unsigned32.untouchedFrom(4));

   LogCapture log;
   Sentinel end;
   EXPECT_EQ(
       SnmpGet(SNMP_VERSION_2C, transport.get(), L".1.3.6.1.4.1.7.9", nullptr, 0, &end, 64, 0),
       SNMP_ERR_UNKNOWN_TYPE);
   auto entries = log.withId(24);
   ASSERT_EQ(entries.size(), 1u);
   EXPECT_EQ(entries[0].inserts, std::vector<std::wstring>{L"82"});
}

TEST(SnmpGetScripted, TimeoutIsReadPerRequestAndLoggedOnlyWhenAsked) {
   ScriptedSnmpDevice device([](const ScriptedSnmpRequest &) {
      ScriptedSnmpAnswer answer;
      answer.silent = true;
      return answer;
   });
   ASSERT_TRUE(device.running());
   auto transport = MakeLoopbackTransport(device.port(), "public");
   ASSERT_NE(transport, nullptr);

   uint32_t saved = g_dwSNMPTimeout;
   g_dwSNMPTimeout = 10;
   LogCapture log;
   Sentinel buffer;
   EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, transport.get(), kString, nullptr, 0, &buffer, 64, 0),
             SNMP_ERR_TIMEOUT);
   EXPECT_TRUE(log.entries().empty());
   EXPECT_EQ(SnmpGet(SNMP_VERSION_2C, transport.get(), kString, nullptr, 0, &buffer, 64,
                     SNMPGET_LOG_ERRORS),
             SNMP_ERR_TIMEOUT);
   g_dwSNMPTimeout = saved;
   EXPECT_TRUE(buffer.untouchedFrom(0));
   // Three attempts per request (the last may still be on its way).
   auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
   while (device.requests() < 6 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
   }
   EXPECT_EQ(device.requests(), 6);
   auto entries = log.entries();
   ASSERT_EQ(entries.size(), 1u);
   EXPECT_EQ(entries[0].messageId, 25u);
   EXPECT_EQ(entries[0].type, EVENTLOG_ERROR_TYPE);
   EXPECT_EQ(entries[0].inserts, std::vector<std::wstring>{std::to_wstring(SNMP_ERR_TIMEOUT)});
}

// ---------------------------------------------------------------- SnmpGetList

// Every requested name answered with INTEGER its last component, under
// error-status status naming the variable that ends in `at` (0: none).
ScriptedSnmpAnswer Echo(const ScriptedSnmpRequest &request, uint32_t status = 0, uint32_t at = 0) {
   ScriptedSnmpAnswer answer;
   answer.errorStatus = status;
   for (const std::vector<uint32_t> &name : request.names) {
      answer.bindings.push_back({name, 0x02, BerIntegerContent(name.back())});
      answer.errorIndex = name.back() == at ? answer.bindings.size() : answer.errorIndex;
   }
   return answer;
}

TEST(SnmpGetListScripted, OneRequestSplitOnlyWhenTheDeviceSaysSo) {
   const uint32_t S = SNMP_ERR_SUCCESS, N = SNMP_ERR_NO_SUCH_OBJECT, A = SNMP_ERR_AGENT_STATUS;
   const struct {
      const char *name;
      std::function<ScriptedSnmpAnswer(const ScriptedSnmpRequest &)> script;
      std::vector<uint32_t> results;     // of .1 to .4
      std::vector<size_t> requestSizes;  // variables of each request received
   } cases[] = {
       {"all in one request",
        [](const ScriptedSnmpRequest &r) { return Echo(r); },
        {S, S, S, S},
        {4}},
       {"noSuchName names one, the rest is asked again",
        [](const ScriptedSnmpRequest &r) { return Echo(r, r.names.size() == 4 ? 2 : 0, 2); },
        {S, N, S, S},
        {4, 3}},
       {"tooBig halves the request",
        [](const ScriptedSnmpRequest &r) { return Echo(r, r.names.size() > 2 ? 1 : 0); },
        {S, S, S, S},
        {4, 2, 2}},
       {"tooBig down to single variables",
        [](const ScriptedSnmpRequest &r) { return Echo(r, 1); },
        {A, A, A, A},
        {4, 2, 1, 1, 2, 1, 1}},
       {"noSuchInstance in the answer",
        [](const ScriptedSnmpRequest &r) {
           ScriptedSnmpAnswer answer = Echo(r);
           answer.bindings[2].valueTag = 0x81;
           answer.bindings[2].value.clear();
           return answer;
        },
        {S, S, N, S},
        {4}},
       {"genErr naming no variable",
        [](const ScriptedSnmpRequest &r) { return Echo(r, 5); },
        {A, A, A, A},
        {4}},
       {"names answered in another order",
        [](const ScriptedSnmpRequest &r) {
           ScriptedSnmpAnswer answer = Echo(r);
           std::swap(answer.bindings[0], answer.bindings[1]);
           return answer;
        },
        {A, A, S, S},
        {4}},
       {"silence: one exchange of two attempts",
        [](const ScriptedSnmpRequest &) {
           ScriptedSnmpAnswer answer;
           answer.silent = true;
           return answer;
        },
        std::vector<uint32_t>(4, SNMP_ERR_TIMEOUT),
        {4, 4}},
   };
   const wchar_t *oids[] = {L".1.3.6.1.4.1.7.1", L".1.3.6.1.4.1.7.2", L".1.3.6.1.4.1.7.3",
                            L".1.3.6.1.4.1.7.4", L"1.3.x"};
   struct Seen {
      std::vector<uint32_t> results = std::vector<uint32_t>(5, 0xFFFF);
      std::vector<int32_t> values = std::vector<int32_t>(5, -1);
   };
   SNMP_GET_LIST_CALLBACK record = [](size_t index, uint32_t result, const SNMP_Variable *variable,
                                      void *arg) {
      auto *seen = static_cast<Seen *>(arg);
      EXPECT_EQ(seen->results.at(index), 0xFFFFu);  // once per OID
      seen->results.at(index) = result;
      seen->values.at(index) = result == SNMP_ERR_SUCCESS ? variable->GetValueAsInt() : -1;
   };
   uint32_t savedTimeout = g_dwSNMPTimeout, savedAttempts = g_dwSNMPAttempts;
   g_dwSNMPTimeout = 300;  // room for a loaded machine; only silence waits
   g_dwSNMPAttempts = 2;
   for (const auto &c : cases) {
      SCOPED_TRACE(c.name);
      std::mutex lock;
      std::vector<size_t> sizes;
      ScriptedSnmpDevice device([&](const ScriptedSnmpRequest &request) {
         std::lock_guard<std::mutex> hold(lock);
         sizes.push_back(request.names.size());
         return c.script(request);
      });
      auto transport = MakeLoopbackTransport(device.port(), "public", SNMP_VERSION_1);
      Seen seen;
      LogCapture log;
      std::vector<uint32_t> expected = c.results;
      expected.push_back(SNMP_ERR_OID_SYNTAX);  // fails alone, never sent
      EXPECT_EQ(SnmpGetList(SNMP_VERSION_1, transport.get(), oids, 5, record, &seen, 0),
                *std::find_if(expected.begin(), expected.end(), [](uint32_t r) { return r != 0; }));
      EXPECT_EQ(seen.results, expected);
      EXPECT_EQ(log.withId(27).size(), 1u);
      for (size_t i = 0; i < 4; i++) {
         EXPECT_EQ(seen.values[i], c.results[i] == S ? static_cast<int32_t>(i + 1) : -1);
      }
      // The last attempt to a silent device may still be on its way.
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (device.requests() < static_cast<int>(c.requestSizes.size()) &&
             std::chrono::steady_clock::now() < deadline) {
         std::this_thread::yield();
      }
      std::lock_guard<std::mutex> hold(lock);
      EXPECT_EQ(sizes, c.requestSizes);
   }
   g_dwSNMPTimeout = savedTimeout;
   g_dwSNMPAttempts = savedAttempts;
}

}  // namespace
