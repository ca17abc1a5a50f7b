// The first byte chooses what the rest is:
//   0: a whole message, parsed as it came (header and security parameters;
//      a digest that cannot be right);
//   1: a scoped PDU that the target wraps in a message signed with the
//      user's key, so that the decoder gets past the digest check;
//   2: the same, encrypted with AES-128-CFB first, so that decryption and
//      the scoped PDU behind it are reached with arbitrary plain text.
// The target builds its envelope with OpenSSL and BER of its own, apart from
// the library's encoder, from the user's master keys (localised here). A
// message that parses must hold only what the checks below allow.
#include "snmp_v3_target.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>
#include <vector>

#include "hksnmp.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kEngineId[] = {0x80, 0x00, 0x1F, 0x88, 0x80, 0x01, 0x02, 0x03, 0x04};
const char kUser[] = "fuzzuser";
const uint32_t kBoots = 7, kTime = 1234;

void Check(bool condition) {
   if (!condition) {
      abort();
   }
}

Bytes MasterKey(uint8_t fill) {
   return Bytes(32, fill);  // the length of a SHA-256 Ku
}

Bytes Localize(const Bytes &ku) {
   Bytes input(ku);
   input.insert(input.end(), kEngineId, kEngineId + sizeof(kEngineId));
   input.insert(input.end(), ku.begin(), ku.end());
   Bytes key(32);
   unsigned int size = 0;
   EVP_Digest(input.data(), input.size(), key.data(), &size, EVP_sha256(), nullptr);
   return key;
}

void PutLength(Bytes *out, size_t length) {
   if (length < 0x80) {
      out->push_back(static_cast<uint8_t>(length));
   } else if (length < 0x100) {
      out->insert(out->end(), {0x81, static_cast<uint8_t>(length)});
   } else {
      out->insert(out->end(),
                  {0x82, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
   }
}

Bytes Element(uint8_t tag, const Bytes &content) {
   Bytes out = {tag};
   PutLength(&out, content.size());
   out.insert(out.end(), content.begin(), content.end());
   return out;
}

Bytes Integer(uint32_t value) {
   Bytes content;
   for (int shift = 24; shift >= 0; shift -= 8) {
      if (!content.empty() || (value >> shift) != 0 || shift == 0) {
         if (content.empty() && ((value >> shift) & 0x80)) {
            content.push_back(0);
         }
         content.push_back(static_cast<uint8_t>(value >> shift));
      }
   }
   return Element(0x02, content);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
   Bytes out;
   for (const Bytes &part : parts) {
      out.insert(out.end(), part.begin(), part.end());
   }
   return out;
}

// A message for kUser around msgData, authenticated (and flagged private
// when priv), signed with the localised auth key.
Bytes Envelope(const Bytes &msgData, bool priv, const Bytes &privParams, const Bytes &authKey) {
   const size_t authLength = 24;
   Bytes flags = {static_cast<uint8_t>(priv ? 0x03 : 0x01)};
   Bytes global =
       Element(0x30, Concat({Integer(42), Integer(65507), Element(0x04, flags), Integer(3)}));
   Bytes user(kUser, kUser + sizeof(kUser) - 1);
   Bytes security =
       Element(0x30, Concat({Element(0x04, Bytes(kEngineId, kEngineId + sizeof(kEngineId))),
                             Integer(kBoots), Integer(kTime), Element(0x04, user),
                             Element(0x04, Bytes(authLength, 0)), Element(0x04, privParams)}));
   Bytes message = Element(0x30, Concat({Integer(3), global, Element(0x04, security), msgData}));
   // The zeroed digest is the only run of authLength zero bytes after the
   // user name, so find it there.
   size_t userAt = 0;
   for (size_t i = 0; i + user.size() <= message.size(); i++) {
      if (std::equal(user.begin(), user.end(), message.begin() + i)) {
         userAt = i;
         break;
      }
   }
   size_t digestAt = userAt + user.size() + 2;
   uint8_t mac[EVP_MAX_MD_SIZE];
   unsigned int size = 0;
   HMAC(EVP_sha256(), authKey.data(), static_cast<int>(authKey.size()), message.data(),
        message.size(), mac, &size);
   std::copy(mac, mac + authLength, message.begin() + static_cast<long>(digestAt));
   return message;
}

Bytes AesCfb(const Bytes &privKey, const Bytes &salt, const Bytes &plain) {
   uint8_t iv[16] = {0, 0, 0, kBoots, 0, 0, kTime >> 8, kTime & 0xFF};
   std::copy(salt.begin(), salt.end(), iv + 8);
   Bytes out(plain.size() + 16);
   int written = 0, final = 0;
   EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
   EVP_EncryptInit_ex(ctx, EVP_aes_128_cfb128(), nullptr, privKey.data(), iv);
   EVP_EncryptUpdate(ctx, out.data(), &written, plain.data(), static_cast<int>(plain.size()));
   EVP_EncryptFinal_ex(ctx, out.data() + written, &final);
   EVP_CIPHER_CTX_free(ctx);
   out.resize(static_cast<size_t>(written + final));
   return out;
}

SNMP_SecurityContext *UserContext() {
   static SNMP_SecurityContext *context = [] {
      auto *c =
          new SNMP_SecurityContext(kUser, nullptr, nullptr, SNMP_AUTH_SHA256, SNMP_PRIV_AES128);
      Bytes auth = MasterKey(0x11), priv = MasterKey(0x22);
      c->setAuthMasterKey(auth.data(), auth.size());
      c->setPrivMasterKey(priv.data(), priv.size());
      c->setAuthoritativeEngineId(kEngineId, sizeof(kEngineId));
      return c;
   }();
   return context;
}

void Exercise(const SNMP_PDU &pdu) {
   Check(pdu.getVersion() == SNMP_VERSION_3);
   uint8_t id[SNMP_MAX_ENGINE_ID_LENGTH];
   Check(pdu.getEngineId(id) <= SNMP_MAX_ENGINE_ID_LENGTH);
   Check(pdu.getMessageId() <= 0x7FFFFFFF);
   Check(!(pdu.getMessageFlags() & SNMP_MSG_FLAG_PRIV) ||
         (pdu.getMessageFlags() & SNMP_MSG_FLAG_AUTH));
   for (int i = 0; i < pdu.getNumVariables(); i++) {
      wchar_t text[256];
      bool hex = true;
      pdu.getVariable(i)->getValueAsPrintableString(text, 256, &hex);
   }
}

}  // namespace

int HkFuzzSnmpV3(const uint8_t *data, size_t size) {
   if (size == 0) {
      return 0;
   }
   uint8_t mode = data[0] % 3;
   Bytes rest(data + 1, data + size);
   Bytes message;
   static const Bytes authKey = Localize(MasterKey(0x11));
   static const Bytes privKey = Localize(MasterKey(0x22));
   if (mode == 0) {
      message = rest;
   } else if (mode == 1) {
      message = Envelope(rest, false, {}, authKey);
   } else {
      Bytes salt = {1, 2, 3, 4, 5, 6, 7, 8};
      message = Envelope(Element(0x04, AesCfb(privKey, salt, rest)), true, salt, authKey);
   }
   SNMP_PDU pdu;
   if (pdu.parse(message.data(), message.size(), UserContext(), false)) {
      Exercise(pdu);
   } else {
      Check(pdu.getNumVariables() == 0);
   }
   // Without a context only unauthenticated messages may parse.
   SNMP_PDU anonymous;
   if (anonymous.parse(message.data(), message.size(), nullptr, false)) {
      Check(anonymous.getVersion() != SNMP_VERSION_3 ||
            !(anonymous.getMessageFlags() & SNMP_MSG_FLAG_AUTH));
   }
   return 0;
}
