// The SNMPv3 codec without a peer: RFC 3414's key vectors, a round trip for
// every protocol pair, and a signed message refused after any change.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "snmp_test_util.h"
#include "usm_crypto.h"

using namespace hksnmptest;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const char *text) {
   Bytes out;
   for (const char *p = text; p[0] != 0 && p[1] != 0; p += 2) {
      if (*p == ' ') {
         p--;
         continue;
      }
      out.push_back(static_cast<uint8_t>(strtoul(std::string(p, 2).c_str(), nullptr, 16)));
   }
   return out;
}

// RFC 3414 A.3.1 and A.3.2: "maplesyrup" and engine 00..02.
TEST(UsmKeys, PasswordToKeyAndLocalisationMatchTheRfcVectors) {
   struct Vector {
      uint32_t method;
      const char *ku, *kul;
   } vectors[] = {
       {SNMP_AUTH_MD5, "9faf3283884e92834ebc9847d8edd963", "526f5eed9fcce26f8964c2930787d82b"},
       {SNMP_AUTH_SHA1, "9fb5cc0381497b3793528939ff788d5d79145211",
        "6695febc9288e36282235fc7151f128497b38f3f"},
   };
   const char password[] = "maplesyrup";
   Bytes engine = Hex("000000000000000000000002");
   for (const Vector &v : vectors) {
      SCOPED_TRACE(v.method);
      Bytes ku, kul;
      ASSERT_TRUE(hksnmp::UsmPasswordToKey(v.method, reinterpret_cast<const uint8_t *>(password),
                                           strlen(password), &ku));
      EXPECT_EQ(ku, Hex(v.ku));
      ASSERT_TRUE(hksnmp::UsmLocalizeKey(v.method, ku, engine.data(), engine.size(), &kul));
      EXPECT_EQ(kul, Hex(v.kul));
   }
   Bytes none;
   EXPECT_FALSE(hksnmp::UsmPasswordToKey(SNMP_AUTH_MD5, nullptr, 0, &none));
   EXPECT_FALSE(
       hksnmp::UsmPasswordToKey(SNMP_AUTH_NONE, reinterpret_cast<const uint8_t *>("x"), 1, &none));
}

const uint8_t kEngine[] = {0x80, 0x00, 0x1F, 0x88, 0x04, 't', 'e', 's', 't'};

SNMP_SecurityContext *Context(uint32_t auth, uint32_t priv,
                              const char *authPassword = "auth-secret",
                              const char *user = "tester") {
   auto *context = new SNMP_SecurityContext(user, authPassword, "priv-secret", auth, priv);
   context->setAuthoritativeEngineId(kEngine, sizeof(kEngine));
   context->setContextName("ctx");
   return context;
}

// A RESPONSE with a few typed values, encoded with the context.
Bytes Encode(SNMP_SecurityContext *context) {
   SNMP_PDU pdu(SNMP_RESPONSE, 77, SNMP_VERSION_3);
   std::vector<uint32_t> name = ParseOid(".1.3.6.1.2.1.1.5.0");
   auto *text = new SNMP_Variable(name.data(), name.size());
   text->setValue(ASN_OCTET_STRING, "switch", 6);
   pdu.bindVariable(text);
   auto *ticks = new SNMP_Variable(name.data(), name.size());
   ticks->setValueFromUInt32(ASN_TIMETICKS, 123456);
   pdu.bindVariable(ticks);
   uint8_t *bytes = nullptr;
   size_t length = pdu.encode(&bytes, context);
   Bytes out(bytes, bytes + length);
   free(bytes);
   return out;
}

struct Protocols {
   uint32_t auth, priv;
};

class V3RoundTrip : public ::testing::TestWithParam<Protocols> {};

TEST_P(V3RoundTrip, ParsesBackWithTheSameUser) {
   std::unique_ptr<SNMP_SecurityContext> sender(Context(GetParam().auth, GetParam().priv));
   std::unique_ptr<SNMP_SecurityContext> receiver(Context(GetParam().auth, GetParam().priv));
   Bytes message = Encode(sender.get());
   ASSERT_FALSE(message.empty());
   SNMP_PDU pdu;
   ASSERT_TRUE(pdu.parse(message.data(), message.size(), receiver.get(), false));
   EXPECT_EQ(pdu.getVersion(), SNMP_VERSION_3);
   EXPECT_EQ(pdu.getCommand(), SNMP_RESPONSE);
   EXPECT_EQ(pdu.getRequestId(), 77u);
   EXPECT_EQ(pdu.getMessageId(), 77u);  // the request id when none was set
   ASSERT_EQ(pdu.getNumVariables(), 2);
   EXPECT_EQ(FormatLikeNetSnmp(pdu.getVariable(0)),
             ".1.3.6.1.2.1.1.5.0 = Hex-STRING: 73 77 69 74 63 68 ");
   EXPECT_EQ(pdu.getVariable(1)->GetValueAsUInt(), 123456u);
   uint8_t engine[SNMP_MAX_ENGINE_ID_LENGTH];
   ASSERT_EQ(pdu.getEngineId(engine), sizeof(kEngine));
   EXPECT_EQ(memcmp(engine, kEngine, sizeof(kEngine)), 0);
   uint32_t expectedFlags = GetParam().priv != SNMP_PRIV_NONE ? 3 : GetParam().auth != 0 ? 1 : 0;
   EXPECT_EQ(pdu.getMessageFlags(), expectedFlags);

   if (GetParam().auth == SNMP_AUTH_NONE) {
      return;
   }
   // Another password, another user, or no user at all: refused.
   std::unique_ptr<SNMP_SecurityContext> otherPassword(
       Context(GetParam().auth, GetParam().priv, "other-secret"));
   std::unique_ptr<SNMP_SecurityContext> otherUser(
       Context(GetParam().auth, GetParam().priv, "auth-secret", "someone"));
   for (SNMP_SecurityContext *wrong :
        {otherPassword.get(), otherUser.get(), static_cast<SNMP_SecurityContext *>(nullptr)}) {
      SNMP_PDU refused;
      EXPECT_FALSE(refused.parse(message.data(), message.size(), wrong, false));
      EXPECT_EQ(refused.getNumVariables(), 0);
   }
}

const Protocols kProtocols[] = {
    {SNMP_AUTH_NONE, SNMP_PRIV_NONE},     {SNMP_AUTH_MD5, SNMP_PRIV_NONE},
    {SNMP_AUTH_MD5, SNMP_PRIV_DES},       {SNMP_AUTH_SHA1, SNMP_PRIV_AES128},
    {SNMP_AUTH_SHA224, SNMP_PRIV_DES},    {SNMP_AUTH_SHA256, SNMP_PRIV_AES128},
    {SNMP_AUTH_SHA384, SNMP_PRIV_AES128}, {SNMP_AUTH_SHA512, SNMP_PRIV_DES},
};

INSTANTIATE_TEST_SUITE_P(Protocols, V3RoundTrip, ::testing::ValuesIn(kProtocols));

// The digest covers every byte: a signed message with any one byte changed,
// or cut short anywhere, is refused as a whole.
TEST(V3Decoder, RefusesASignedMessageWithAnyByteChangedOrCut) {
   std::unique_ptr<SNMP_SecurityContext> context(Context(SNMP_AUTH_SHA256, SNMP_PRIV_AES128));
   Bytes message = Encode(context.get());
   ASSERT_FALSE(message.empty());
   for (size_t i = 0; i < message.size(); i++) {
      Bytes changed = message;
      changed[i] ^= 0x01;
      SNMP_PDU pdu;
      EXPECT_FALSE(pdu.parse(changed.data(), changed.size(), context.get(), false)) << "byte " << i;
      EXPECT_FALSE(pdu.parse(message.data(), i, context.get(), false)) << "length " << i;
   }
}

TEST(V3Encoder, RefusesWhatItCannotSecure) {
   SNMP_PDU pdu(SNMP_GET_REQUEST, 1, SNMP_VERSION_3);
   uint8_t *bytes = reinterpret_cast<uint8_t *>(1);
   SNMP_SecurityContext community("public");
   EXPECT_EQ(pdu.encode(&bytes, &community), 0u);  // no USM user
   EXPECT_EQ(bytes, nullptr);
   EXPECT_EQ(pdu.encode(&bytes, nullptr), 0u);
   // authNoPriv without an authentication protocol, authPriv without privacy.
   std::unique_ptr<SNMP_SecurityContext> context(Context(SNMP_AUTH_NONE, SNMP_PRIV_NONE));
   context->setSecurityLevel(SNMP_SECURITY_AUTH_NOPRIV);
   EXPECT_EQ(pdu.encode(&bytes, context.get()), 0u);
   context->setAuthMethod(SNMP_AUTH_SHA1);
   context->setSecurityLevel(SNMP_SECURITY_AUTH_PRIV);
   EXPECT_EQ(pdu.encode(&bytes, context.get()), 0u);
   context->setAuthPassword("");
   context->setSecurityLevel(SNMP_SECURITY_AUTH_NOPRIV);
   EXPECT_EQ(pdu.encode(&bytes, context.get()), 0u);  // an empty password makes no key
}

}  // namespace
