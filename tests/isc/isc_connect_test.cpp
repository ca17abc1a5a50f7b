// Connect: every outcome of the failure table and the edge cases, observed
// on the wire (what the fake peer received) and in PrintMsg.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <unistd.h>

#include "isc_test_util.h"

using namespace isc_test;

namespace {

std::vector<uint16_t> Codes(FakeIscPeer &peer) {
   std::vector<uint16_t> codes;
   for (const FakeIscFrame &f : peer.frames())
      codes.push_back(f.code);
   return codes;
}

std::vector<bool> EncryptedFlags(FakeIscPeer &peer) {
   std::vector<bool> flags;
   for (const FakeIscFrame &f : peer.frames())
      flags.push_back(f.encrypted);
   return flags;
}

// A session that failed holds nothing.
void ExpectReleased(CapturingISC &isc) {
   EXPECT_FALSE(isc.connectedFlag());
   EXPECT_FALSE(isc.hasSocket());
   EXPECT_FALSE(isc.hasReceiverThread());
   EXPECT_FALSE(isc.encrypted());
}

// The receiver's last line when a clean-up shut the socket down under it.
const wchar_t *const kReceiverEnd =
    L"ISC::ReceiverThread(): RecvHKCPMessage() failed: error=-1, socket_error=10058";

const uint16_t kProbe = CMD_GET_HKCP_VERSION;
const uint16_t kKey = CMD_REQUEST_SESSION_KEY;
const uint16_t kService = CMD_CONNECT_TO_SERVICE;

}  // namespace

TEST(IscConnect, PlainHandshakeAttachesToTheService) {
   FakeIscPeer peer({});
   ASSERT_TRUE(peer.listening());
   CapturingISC isc(peer.port());
   ASSERT_EQ(isc.Connect(42), ISC_ERR_SUCCESS);

   EXPECT_TRUE(isc.connectedFlag());
   EXPECT_TRUE(isc.hasReceiverThread());
   EXPECT_FALSE(isc.encrypted());
   EXPECT_TRUE(isc.lines().empty());
   std::vector<FakeIscFrame> frames = peer.frames();
   ASSERT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, CMD_NOP, kService}));
   EXPECT_EQ(EncryptedFlags(peer), (std::vector<bool>{false, false, false}));
   EXPECT_EQ(frames[1].id, 1u);
   EXPECT_EQ(frames[2].id, 2u);
   EXPECT_EQ(frames[2].serviceId, 42u);
   EXPECT_EQ(isc.nextRequestId(), 3u);
}

TEST(IscConnect, DefaultSessionTargetsLocalHostPort4702) {
   CapturingISC isc;
   EXPECT_EQ(isc.address(), inet_addr("127.0.0.1"));
   EXPECT_EQ(isc.port(), 4702);
   EXPECT_EQ(isc.commandTimeout(), 10000u);
   EXPECT_EQ(isc.recvTimeout(), 420000u);

   FakeIscScript script;
   script.version = 3;
   FakeIscPeer peer(script, 4702);
   if (!peer.listening())
      GTEST_SKIP() << "port 4702 is taken on this machine";
   EXPECT_EQ(isc.Connect(1), ISC_ERR_INVALID_PROTOCOL_VERSION);
   EXPECT_EQ(isc.lines(),
             (std::vector<std::wstring>{L"ISC peer 127.0.0.1 uses incompatible HKCP version 3"}));
}

class IscAcceptedVersion : public ::testing::TestWithParam<int> {};

TEST_P(IscAcceptedVersion, Connects) {
   FakeIscScript script;
   script.version = GetParam();
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port());
   EXPECT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, CMD_NOP, kService}));
   EXPECT_TRUE(isc.lines().empty());
}

// Only versions above 2 are refused (a signed comparison).
INSTANTIATE_TEST_SUITE_P(Versions, IscAcceptedVersion, ::testing::Values(1, 2, 0, -1));

TEST(IscConnect, PeerThatDoesNotKnowTheProbeIsVersion1) {
   FakeIscScript script;
   script.probeAsOldPeer = true;
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port());
   EXPECT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, CMD_NOP, kService}));
}

TEST(IscConnect, Version3IsRefused) {
   FakeIscScript script;
   script.version = 3;
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port());
   EXPECT_EQ(isc.Connect(7), ISC_ERR_INVALID_PROTOCOL_VERSION);
   EXPECT_EQ(isc.lines(),
             (std::vector<std::wstring>{L"ISC peer 127.0.0.1 uses incompatible HKCP version 3"}));
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe}));
   EXPECT_TRUE(peer.waitForClosed(1, kWaitMs));
   ExpectReleased(isc);
}

TEST(IscConnect, VersionNotFound) {
   FakeIscScript script;
   script.probe = FakeIscAction::Close;
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port());
   EXPECT_EQ(isc.Connect(7), ISC_ERR_INVALID_PROTOCOL_VERSION);
   EXPECT_EQ(isc.lines(),
             (std::vector<std::wstring>{L"Cannot detect HKCP version for ISC peer 127.0.0.1"}));
   ExpectReleased(isc);
}

TEST(IscConnect, TcpConnectFailed) {
   // A bound port nobody listens on refuses the connection.
   int fd = ::socket(AF_INET, SOCK_STREAM, 0);
   ASSERT_GE(fd, 0);
   struct sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t length = sizeof(sa);
   ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
   ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &length), 0);

   CapturingISC isc(ntohs(sa.sin_port));
   EXPECT_EQ(isc.Connect(7), ISC_ERR_CONNECT_FAILED);
   EXPECT_EQ(isc.lines(),
             (std::vector<std::wstring>{L"Cannot establish connection with ISC peer 127.0.0.1"}));
   ExpectReleased(isc);
   ::close(fd);
}

TEST(IscConnect, NoSocket) {
   FakeIscPeer peer({});
   CapturingISC isc(peer.port());
   // The sanitizer's type check of the first call of an ISC member needs a
   // pipe; make that first call (a no-op without a socket) while it can
   // have one.
   isc.Disconnect();
   // Lower the descriptor limit to the lowest free descriptor, so the next
   // socket() fails.
   int next = ::dup(0);
   ASSERT_GE(next, 0);
   ::close(next);
   struct rlimit saved;
   ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
   struct rlimit low = saved;
   low.rlim_cur = static_cast<rlim_t>(next);
   ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
   const uint32_t result = isc.Connect(7);
   ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

   EXPECT_EQ(result, ISC_ERR_SOCKET_ERROR);
   EXPECT_EQ(isc.lines(), (std::vector<std::wstring>{L"ISC: Call to socket() failed"}));
   EXPECT_EQ(peer.acceptedConnections(), 0);
   ExpectReleased(isc);
}

TEST(IscConnect, AlreadyConnectedChangesNothing) {
   FakeIscPeer peer({});
   CapturingISC isc(peer.port());
   ASSERT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);
   const size_t frames = peer.frames().size();

   EXPECT_EQ(isc.Connect(8, ServerKey(), 1), ISC_ERR_ALREADY_CONNECTED);
   EXPECT_FALSE(isc.encryptionRequiredFlag());
   EXPECT_TRUE(isc.connectedFlag());
   EXPECT_EQ(peer.frames().size(), frames);
   EXPECT_EQ(peer.acceptedConnections(), 1);
   EXPECT_EQ(isc.Nop(), ISC_ERR_SUCCESS);
}

TEST(IscConnect, EncryptionRequiredWithoutKey) {
   FakeIscPeer peer({});
   CapturingISC isc(peer.port());
   EXPECT_EQ(isc.Connect(7, nullptr, 1), ISC_ERR_ENCRYPTION_REQUIRED);
   EXPECT_EQ(isc.lines(),
             (std::vector<std::wstring>{L"Cannot setup encrypted channel with ISC peer 127.0.0.1",
                                        kReceiverEnd}));
   // Connected, learned the version, and then gave up without a request.
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe}));
   EXPECT_TRUE(peer.waitForClosed(1, kWaitMs));
   ExpectReleased(isc);
   EXPECT_TRUE(isc.encryptionRequiredFlag());
}

TEST(IscConnect, EncryptedHandshake) {
   ASSERT_NE(ServerKey(), nullptr);
   FakeIscPeer peer({});
   CapturingISC isc(peer.port());
   ASSERT_EQ(isc.Connect(9, ServerKey(), 1), ISC_ERR_SUCCESS);
   EXPECT_TRUE(isc.encrypted());
   EXPECT_TRUE(isc.lines().empty());
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, kKey, CMD_NOP, kService}));
   EXPECT_EQ(EncryptedFlags(peer), (std::vector<bool>{false, false, true, true}));
   for (const FakeIscFrame &f : peer.frames()) {
      EXPECT_TRUE(f.decrypted);
      if (f.encrypted) {
         EXPECT_EQ(f.wireCode, CMD_ENCRYPTED_MESSAGE);
      }
   }
   EXPECT_EQ(peer.framesWithCode(kService).at(0).serviceId, 9u);
}

TEST(IscConnect, RequiredKeyExchangeFailureIsReported) {
   FakeIscScript script;
   script.keyCiphers = 0;  // the peer answers 42: no cipher in common
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port());
   EXPECT_EQ(isc.Connect(7, ServerKey(), 1), ISC_ERR_NO_CIPHERS);
   EXPECT_EQ(isc.lines(),
             (std::vector<std::wstring>{L"Cannot setup encrypted channel with ISC peer 127.0.0.1",
                                        kReceiverEnd}));
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, kKey}));
   ExpectReleased(isc);
}

TEST(IscConnect, RequiredKeyExchangeTimesOut) {
   FakeIscScript script;
   script.keyRequest = FakeIscAction::Silent;
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port(), 100);
   EXPECT_EQ(isc.Connect(7, ServerKey(), 1), ISC_ERR_REQUEST_TIMEOUT);
   EXPECT_EQ(isc.lines(),
             (std::vector<std::wstring>{L"Cannot setup encrypted channel with ISC peer 127.0.0.1",
                                        kReceiverEnd}));
   ExpectReleased(isc);
}

TEST(IscConnect, OptionalKeyExchangeFailureFallsBackToPlainSilently) {
   FakeIscScript script;
   script.keyCiphers = 0;
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port());
   EXPECT_EQ(isc.Connect(7, ServerKey(), 0), ISC_ERR_SUCCESS);
   EXPECT_TRUE(isc.lines().empty());
   EXPECT_FALSE(isc.encrypted());
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, kKey, CMD_NOP, kService}));
   EXPECT_EQ(EncryptedFlags(peer), (std::vector<bool>{false, false, false, false}));
}

TEST(IscConnect, UnansweredOptionalKeyRequestCostsOneTimeout) {
   FakeIscScript script;
   script.keyRequest = FakeIscAction::Silent;
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port(), 100);
   EXPECT_EQ(isc.Connect(7, ServerKey(), 0), ISC_ERR_SUCCESS);
   EXPECT_TRUE(isc.lines().empty());
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, kKey, CMD_NOP, kService}));
   EXPECT_EQ(EncryptedFlags(peer), (std::vector<bool>{false, false, false, false}));
}

TEST(IscConnect, NopTimeout) {
   FakeIscScript script;
   script.nop = FakeIscAction::Silent;
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port(), 100);
   EXPECT_EQ(isc.Connect(7), ISC_ERR_REQUEST_TIMEOUT);
   EXPECT_EQ(isc.lines(), (std::vector<std::wstring>{
                              L"Communication with ISC peer 127.0.0.1 failed (Request timed out)",
                              kReceiverEnd}));
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, CMD_NOP}));
   ExpectReleased(isc);
}

TEST(IscConnect, NopRefusedByPeerCode) {
   FakeIscScript script;
   script.nopRccPlain = ISC_ERR_SERVICE_DISABLED;
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port());
   EXPECT_EQ(isc.Connect(7), ISC_ERR_SERVICE_DISABLED);
   EXPECT_EQ(isc.lines(), (std::vector<std::wstring>{
                              L"Communication with ISC peer 127.0.0.1 failed (Service disabled)",
                              kReceiverEnd}));
   ExpectReleased(isc);
}

TEST(IscConnect, PeerRequiringEncryptionWithoutKey) {
   FakeIscScript script;
   script.nopRccPlain = ISC_ERR_ENCRYPTION_REQUIRED;
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port());
   EXPECT_EQ(isc.Connect(7, nullptr, 0), ISC_ERR_ENCRYPTION_REQUIRED);
   EXPECT_EQ(isc.lines(),
             (std::vector<std::wstring>{L"Cannot setup encrypted channel with ISC peer 127.0.0.1",
                                        kReceiverEnd}));
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, CMD_NOP}));
   EXPECT_TRUE(isc.encryptionRequiredFlag());
   ExpectReleased(isc);
}

TEST(IscConnect, PeerRequiringEncryptionMakesTheSessionNegotiate) {
   FakeIscScript script;
   script.nopRccPlain = ISC_ERR_ENCRYPTION_REQUIRED;
   script.keyFailFirst = 1;  // the optional first exchange fails, the channel stays plain
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port());
   EXPECT_EQ(isc.Connect(7, ServerKey(), 0), ISC_ERR_SUCCESS);
   EXPECT_TRUE(isc.lines().empty());
   EXPECT_TRUE(isc.encrypted());
   EXPECT_TRUE(isc.encryptionRequiredFlag());
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, kKey, CMD_NOP, kKey, CMD_NOP, kService}));
   EXPECT_EQ(EncryptedFlags(peer), (std::vector<bool>{false, false, false, false, true, true}));
}

// A peer that answers 4 even over an encrypted channel ends the attempt after
// one more round instead of repeating the key exchange without end.
TEST(IscConnect, PeerThatKeepsAnswering4IsBounded) {
   FakeIscScript script;
   script.nopRccPlain = ISC_ERR_ENCRYPTION_REQUIRED;
   script.nopRccEncrypted = ISC_ERR_ENCRYPTION_REQUIRED;
   script.keyFailFirst = 1;
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port());
   EXPECT_EQ(isc.Connect(7, ServerKey(), 0), ISC_ERR_ENCRYPTION_REQUIRED);
   EXPECT_EQ(isc.lines(), (std::vector<std::wstring>{
                              L"Communication with ISC peer 127.0.0.1 failed (Encryption required)",
                              kReceiverEnd}));
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, kKey, CMD_NOP, kKey, CMD_NOP}));
   EXPECT_EQ(EncryptedFlags(peer), (std::vector<bool>{false, false, false, false, true}));
   EXPECT_TRUE(peer.waitForClosed(1, kWaitMs));
   ExpectReleased(isc);
}

TEST(IscConnect, PeerThatAnswers4OverAnEncryptedChannelFromTheStart) {
   FakeIscScript script;
   script.nopRccEncrypted = ISC_ERR_ENCRYPTION_REQUIRED;
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port());
   EXPECT_EQ(isc.Connect(7, ServerKey(), 1), ISC_ERR_ENCRYPTION_REQUIRED);
   EXPECT_EQ(isc.lines(), (std::vector<std::wstring>{
                              L"Communication with ISC peer 127.0.0.1 failed (Encryption required)",
                              kReceiverEnd}));
   EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, kKey, CMD_NOP}));
   ExpectReleased(isc);
}

TEST(IscConnect, RefusedServiceClosesSilently) {
   for (uint32_t code : {ISC_ERR_UNKNOWN_SERVICE, ISC_ERR_SERVICE_DISABLED}) {
      FakeIscScript script;
      script.serviceRcc = code;
      FakeIscPeer peer(script);
      CapturingISC isc(peer.port());
      EXPECT_EQ(isc.Connect(55), code);
      // Connect itself prints nothing; the receiver reports its end.
      EXPECT_EQ(isc.lines(), (std::vector<std::wstring>{kReceiverEnd}));
      EXPECT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, CMD_NOP, kService}));
      EXPECT_EQ(peer.framesWithCode(kService).at(0).serviceId, 55u);
      EXPECT_TRUE(peer.waitForClosed(1, kWaitMs));
      ExpectReleased(isc);
   }
}

TEST(IscConnect, UnansweredServiceRequestTimesOut) {
   FakeIscScript script;
   script.service = FakeIscAction::Silent;
   FakeIscPeer peer(script);
   CapturingISC isc(peer.port(), 100);
   EXPECT_EQ(isc.Connect(7), ISC_ERR_REQUEST_TIMEOUT);
   EXPECT_EQ(isc.lines(), (std::vector<std::wstring>{kReceiverEnd}));
   ExpectReleased(isc);
}

TEST(IscConnect, NotConnectedSessionSendsNothingAndUsesUpIds) {
   FakeIscPeer peer({});
   CapturingISC isc(peer.port());
   CSCPMessage message;
   message.SetCode(0x1100);
   message.SetId(5);
   EXPECT_EQ(isc.SendMessage(&message), 0);
   EXPECT_EQ(isc.Nop(), ISC_ERR_CONNECTION_BROKEN);
   EXPECT_EQ(isc.ConnectToService(3), ISC_ERR_CONNECTION_BROKEN);
   EXPECT_EQ(isc.SetupEncryption(ServerKey()), ISC_ERR_CONNECTION_BROKEN);
   EXPECT_EQ(isc.nextRequestId(), 4u);
   EXPECT_EQ(peer.acceptedConnections(), 0);

   // The ids used up stay used: the handshake continues from 4.
   ASSERT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);
   EXPECT_EQ(peer.framesWithCode(CMD_NOP).at(0).id, 4u);
}

TEST(IscConnect, ReconnectAfterDisconnectKeepsCountingIds) {
   FakeIscPeer peer({});
   CapturingISC isc(peer.port());
   ASSERT_EQ(isc.Connect(7), ISC_ERR_SUCCESS);
   isc.Disconnect();
   EXPECT_FALSE(isc.connectedFlag());
   ASSERT_TRUE(isc.waitForLinePrefix(L"ISC::ReceiverThread(): RecvHKCPMessage() failed"));

   ASSERT_EQ(isc.Connect(8), ISC_ERR_SUCCESS);
   EXPECT_EQ(peer.acceptedConnections(), 2);
   std::vector<FakeIscFrame> nops = peer.framesWithCode(CMD_NOP);
   ASSERT_EQ(nops.size(), 2u);
   EXPECT_EQ(nops[0].id, 1u);
   EXPECT_EQ(nops[1].id, 3u);
   EXPECT_EQ(nops[1].connection, 2);
   EXPECT_EQ(isc.Nop(), ISC_ERR_SUCCESS);
}

// ---------------------------------------------------------------- TLS

namespace {

struct IscTlsCase {
   const char *name;
   bool peerSpeaksTls;
   bool pinPeer;       // else a pin of another key
   bool peerTrustsUs;  // the peer's decision on our key
   uint32_t expected;
};

class IscTls : public ::testing::TestWithParam<IscTlsCase> {};

TEST_P(IscTls, StartsAfterTheProbeAndFailsClosed) {
   const IscTlsCase &c = GetParam();
   EVP_PKEY *key = EVP_EC_gen("P-256");
   std::shared_ptr<HKCPTlsIdentity> peerId = HKCPTlsIdentity::create(key);
   EVP_PKEY_free(key);
   ASSERT_TRUE(peerId);
   FakeIscScript script;
   if (c.peerSpeaksTls)
      script.tlsIdentity = peerId;
   bool trusts = c.peerTrustsUs;
   script.tlsTrust = [trusts](const uint8_t *) { return trusts; };
   FakeIscPeer peer(script);
   ASSERT_TRUE(peer.listening());
   CapturingISC isc(peer.port());
   ASSERT_TRUE(isc.SetPeerKeyFingerprint(c.pinPeer ? peerId->fingerprintText().c_str()
                                                   : std::string(64, 'c').c_str()));
   EXPECT_EQ(isc.Connect(42, ServerKey(), 0), c.expected);
   if (c.expected != ISC_ERR_SUCCESS) {
      ExpectReleased(isc);
      // Nothing but the probe and the start ever crossed in the clear.
      for (const FakeIscFrame &f : peer.frames())
         EXPECT_TRUE(f.code == kProbe || f.code == CMD_START_TLS || f.insideTls) << f.code;
      return;
   }
   EXPECT_EQ(isc.GetPeerKeyFingerprint(), peerId->fingerprintText());
   ASSERT_EQ(Codes(peer), (std::vector<uint16_t>{kProbe, CMD_START_TLS, CMD_NOP, kService}));
   std::vector<FakeIscFrame> frames = peer.frames();
   EXPECT_FALSE(frames[1].insideTls);
   EXPECT_TRUE(frames[2].insideTls && frames[3].insideTls);
   EXPECT_FALSE(frames[3].encrypted);  // no legacy cipher inside the tunnel
   // The echo service works through the tunnel.
   EXPECT_EQ(isc.Nop(), ISC_ERR_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Tls, IscTls,
    ::testing::Values(IscTlsCase{"Pinned", true, true, true, ISC_ERR_SUCCESS},
                      IscTlsCase{"WrongPin", true, false, true, ISC_ERR_PEER_KEY_UNTRUSTED},
                      IscTlsCase{"OurKeyRefused", true, true, false, ISC_ERR_TLS_FAILED},
                      IscTlsCase{"PeerWithoutTls", false, true, true, ISC_ERR_TLS_FAILED}),
    [](const ::testing::TestParamInfo<IscTlsCase> &info) { return info.param.name; });

}  // namespace
