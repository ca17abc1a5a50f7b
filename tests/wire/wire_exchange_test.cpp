// The wire format is the same in every build: frames this build encodes
// come back from the Linux peer (which decodes and re-encodes them) byte for
// byte, and this build decodes what the peer sends to the same bytes. Run
// natively against the peer, and from the Windows build under wine.
#define OPENSSL_SUPPRESS_DEPRECATED 1  // the library's API takes the RSA type

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "wire_channel.h"

using namespace wire_test;

namespace {

// U+1F600 is a surrogate pair in UTF-16 (and in a 16-bit wchar_t).
const wchar_t kText[] = L"H\u00e9sker \u20ac \u4e2d \U0001F600 end";

struct Case {
   const char *name;
   std::function<void(CSCPMessage *)> fill;
};

std::vector<uint8_t> Bytes(uint32_t length) {
   std::vector<uint8_t> bytes(length);
   for (uint32_t i = 0; i < length; i++)
      bytes[i] = (uint8_t)(i * 37 + (i >> 8));
   return bytes;
}

const Case kCases[] = {
    {"empty", [](CSCPMessage *) {}},
    {"integers",
     [](CSCPMessage *m) {
        m->SetVariable(VID_RCC, (uint32_t)0x80000001u);
        m->SetVariable(VID_VALUE, (uint16_t)0xFFFE);
        m->SetVariable(VID_PDU, (uint64_t)0x8000000000000001ull);
     }},
    {"strings",
     [](CSCPMessage *m) {
        m->SetVariable(VID_VALUE, kText);
        m->SetVariable(VID_RCC, L"");
     }},
    {"binary",
     [](CSCPMessage *m) {
        std::vector<uint8_t> data = Bytes(70001);
        m->SetVariable(VID_PDU, data.data(), (uint32_t)data.size());
     }},
    {"int32 array",
     [](CSCPMessage *m) {
        const uint32_t values[] = {0, 1, 0xFFFFFFFFu, 0x12345678u};
        m->SetVariableToInt32Array(VID_VALUE, 4, values);
     }},
    {"many variables",
     [](CSCPMessage *m) {
        for (uint32_t id = 1000; id < 1300; id++) {
           if (id % 3 == 0)
              m->SetVariable(id, id);
           else if (id % 3 == 1)
              m->SetVariable(id, std::to_wstring(id).c_str());
           else
              m->SetVariable(id, (uint64_t)id << 33);
        }
     }},
};

SOCKET ConnectToPeer() {
   const char *port = getenv("HK_WIRE_PEER_PORT");
   if (port == nullptr)
      return INVALID_SOCKET;
   SOCKET s = CreateTcpSocket();
   sockaddr_in addr = {};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   addr.sin_port = htons((uint16_t)atoi(port));
   if (s != INVALID_SOCKET && SocketConnect(s, (sockaddr *)&addr, sizeof(addr), 5000) != 0) {
      closesocket(s);
      return INVALID_SOCKET;
   }
   return s;
}

struct RsaDeleter {
   void operator()(RSA *key) const { RSA_free(key); }
};

std::unique_ptr<RSA, RsaDeleter> GenerateKey() {
   EVP_PKEY *pkey = EVP_RSA_gen(2048);
   RSA *key = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
   EVP_PKEY_free(pkey);
   return std::unique_ptr<RSA, RsaDeleter>(key);
}

// Asks the peer for a session key and encrypts from then on.
void StartEncryption(Channel *channel) {
   std::unique_ptr<RSA, RsaDeleter> key = GenerateKey();
   ASSERT_NE(key, nullptr);
   CSCPMessage request;
   PrepareKeyRequestMsg(&request, key.get(), false);
   request.SetId(1);
   ASSERT_TRUE(channel->send(Encode(request)));
   std::vector<uint8_t> frame;
   ASSERT_GT(channel->receive(&frame), 3);
   CSCPMessage reply(reinterpret_cast<const CSCP_MESSAGE *>(frame.data()));
   ASSERT_EQ(reply.GetCode(), CMD_SESSION_KEY);
   HKCPEncryptionContext *context = nullptr;
   ASSERT_EQ(SetupEncryptionContext(&reply, &context, nullptr, key.get(), HKCP_VERSION), 0u);
   channel->setContext(context);
}

class WireExchange : public ::testing::TestWithParam<bool> {};

TEST_P(WireExchange, FramesRoundTripByteForByte) {
   const bool encrypted = GetParam();
   SOCKET s = ConnectToPeer();
   ASSERT_NE(s, INVALID_SOCKET) << "no peer: HK_WIRE_PEER_PORT is set by run_with_peer.sh";
   Channel channel(s);
   if (encrypted) {
      ASSERT_NO_FATAL_FAILURE(StartEncryption(&channel));
   }

   uint32_t id = 10;
   for (const Case &c : kCases) {
      CSCPMessage message;
      message.SetCode(CMD_REQUEST_COMPLETED);
      message.SetId(id++);
      c.fill(&message);
      std::vector<uint8_t> sent = Encode(message);
      ASSERT_FALSE(sent.empty()) << c.name;
      ASSERT_TRUE(channel.send(sent)) << c.name;
      std::vector<uint8_t> back;
      ASSERT_GT(channel.receive(&back), 3) << c.name;
      EXPECT_EQ(back, sent) << c.name << ": the peer's encoding differs";
      CSCPMessage decoded(reinterpret_cast<const CSCP_MESSAGE *>(back.data()));
      ASSERT_TRUE(decoded.IsValid()) << c.name;
      EXPECT_EQ(Encode(decoded), sent) << c.name << ": this build's decoding differs";
   }

   // The text itself survives, not just its bytes.
   CSCPMessage text;
   text.SetId(id);
   text.SetVariable(VID_VALUE, kText);
   ASSERT_TRUE(channel.send(Encode(text)));
   std::vector<uint8_t> back;
   ASSERT_GT(channel.receive(&back), 3);
   CSCPMessage decoded(reinterpret_cast<const CSCP_MESSAGE *>(back.data()));
   wchar_t buffer[64];
   EXPECT_EQ(std::wstring(decoded.GetVariableStr(VID_VALUE, buffer, 64)), std::wstring(kText));

   CSCPMessage stop;
   stop.SetId(kStopId);
   channel.send(Encode(stop));
}

INSTANTIATE_TEST_SUITE_P(Modes, WireExchange, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                            return std::string(info.param ? "Encrypted" : "Plain");
                         });

}  // namespace
