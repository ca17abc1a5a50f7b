// What hkagent must refuse, driven through the library: every
// authentication method with the right and a wrong secret, encryption
// demanded and refused, names that try to leave the file store, arguments
// that try to reach a shell, and a client that sends garbage while others
// are being served.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "e2e_fixture.h"

using namespace e2e;

namespace {

const char kSecret[] = "right-secret-for-e2e";

class AgentWithSecret : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_agent = new AgentProcess();
      AgentSetup setup;
      setup.secret = kSecret;
      // Arguments here are whole paths and shell text: ":path" takes them.
      setup.actions = {{"echo", "/bin/echo {1:path}"}, {"touch", "/usr/bin/touch {1:path}"}};
      std::string error;
      ASSERT_TRUE(s_agent->start(setup, &error)) << error;
   }
   static void TearDownTestSuite() {
      delete s_agent;
      s_agent = nullptr;
   }
   void SetUp() override { ASSERT_NE(s_agent, nullptr); }
   static AgentProcess *s_agent;
};

AgentProcess *AgentWithSecret::s_agent = nullptr;

std::wstring Widen(const std::string &text) {
   return std::wstring(text.begin(), text.end());
}

TEST_F(AgentWithSecret, EveryMethodPassesWithTheSecretAndFailsWithoutIt) {
   for (int method : {AUTH_PLAINTEXT, AUTH_MD5_HASH, AUTH_SHA1_HASH}) {
      SCOPED_TRACE(method);
      EXPECT_EQ(ConnectResult(*s_agent, method, kSecret, ENCRYPTION_DISABLED, nullptr),
                ERR_SUCCESS);
      EXPECT_EQ(ConnectResult(*s_agent, method, "wrong-secret", ENCRYPTION_DISABLED, nullptr),
                ERR_AUTH_FAILED);
      EXPECT_EQ(ConnectResult(*s_agent, method, "", ENCRYPTION_DISABLED, nullptr), ERR_AUTH_FAILED);
      // The secret is compared whole: a prefix or an extension is wrong.
      EXPECT_EQ(ConnectResult(*s_agent, method, "right-secre", ENCRYPTION_DISABLED, nullptr),
                ERR_AUTH_FAILED);
      EXPECT_EQ(
          ConnectResult(*s_agent, method, "right-secret-for-e2e!", ENCRYPTION_DISABLED, nullptr),
          ERR_AUTH_FAILED);
   }
   EXPECT_EQ(ConnectResult(*s_agent, AUTH_NONE, nullptr, ENCRYPTION_DISABLED, nullptr),
             ERR_AUTH_REQUIRED);
   // The agent is still there for the right secret after all those failures.
   auto session = Connect(*s_agent, AUTH_SHA1_HASH, kSecret);
   ASSERT_NE(session, nullptr);
   EXPECT_EQ(session->nop(), ERR_SUCCESS);
}

TEST(AgentWithoutSecret, SaysSoToAClientThatAuthenticates) {
   AgentProcess agent;
   std::string error;
   ASSERT_TRUE(agent.start(AgentSetup(), &error)) << error;
   EXPECT_EQ(ConnectResult(agent, AUTH_SHA1_HASH, "anything", ENCRYPTION_DISABLED, nullptr),
             ERR_AUTH_NOT_REQUIRED);
   EXPECT_EQ(ConnectResult(agent, AUTH_NONE, nullptr, ENCRYPTION_DISABLED, nullptr), ERR_SUCCESS);
}

TEST(AgentRequiringEncryption, ServesOnlyEncryptedSessions) {
   AgentProcess agent;
   AgentSetup setup;
   setup.secret = kSecret;
   setup.requireEncryption = true;
   std::string error;
   ASSERT_TRUE(agent.start(setup, &error)) << error;

   EXPECT_EQ(ConnectResult(agent, AUTH_SHA1_HASH, kSecret, ENCRYPTION_DISABLED, ServerKey()),
             ERR_ENCRYPTION_REQUIRED);
   EXPECT_EQ(ConnectResult(agent, AUTH_SHA1_HASH, kSecret, ENCRYPTION_REQUIRED, nullptr),
             ERR_ENCRYPTION_REQUIRED);
   EXPECT_EQ(ConnectResult(agent, AUTH_SHA1_HASH, kSecret, ENCRYPTION_ALLOWED, nullptr),
             ERR_ENCRYPTION_REQUIRED);
   for (int policy : {ENCRYPTION_ALLOWED, ENCRYPTION_PREFERRED, ENCRYPTION_REQUIRED}) {
      SCOPED_TRACE(policy);
      auto session = Connect(agent, AUTH_SHA1_HASH, kSecret, policy);
      ASSERT_NE(session, nullptr);
      EXPECT_TRUE(session->encrypted());
      wchar_t value[64];
      EXPECT_EQ(session->getParameter(L"Agent.Version", 64, value), ERR_SUCCESS);
   }
}

TEST(AgentNotRequiringEncryption, EncryptsWhenTheClientWantsIt) {
   AgentProcess agent;
   std::string error;
   ASSERT_TRUE(agent.start(AgentSetup(), &error)) << error;
   auto plain = Connect(agent, AUTH_NONE, nullptr, ENCRYPTION_ALLOWED);
   ASSERT_NE(plain, nullptr);
   EXPECT_FALSE(plain->encrypted());
   auto encrypted = Connect(agent, AUTH_NONE, nullptr, ENCRYPTION_REQUIRED);
   ASSERT_NE(encrypted, nullptr);
   EXPECT_TRUE(encrypted->encrypted());
   EXPECT_EQ(encrypted->nop(), ERR_SUCCESS);
}

TEST_F(AgentWithSecret, UploadsStayInsideTheStore) {
   auto session = Connect(*s_agent, AUTH_SHA1_HASH, kSecret);
   ASSERT_NE(session, nullptr);
   TempDir outside;
   WriteFile(outside / "payload.txt", "must stay where it belongs");
   symlink(outside.path().c_str(), (s_agent->storeDir() + "/out").c_str());
   std::wstring local = Widen(outside / "payload.txt");

   struct Attempt {
      std::string destination;
      uint32_t expected;
   } attempts[] = {
       {"../escaped.txt", ERR_BAD_ARGUMENTS},
       {"sub/../../escaped.txt", ERR_BAD_ARGUMENTS},
       {outside / "absolute.txt", ERR_BAD_ARGUMENTS},
       {"out/through-link.txt", ERR_ACCESS_DENIED},
   };
   for (const Attempt &a : attempts) {
      SCOPED_TRACE(a.destination);
      std::wstring destination = Widen(a.destination);
      EXPECT_EQ(session->uploadFile(local.c_str(), destination.c_str()), a.expected);
   }
   EXPECT_EQ(ListDir(outside.path()), std::vector<std::string>{"payload.txt"});
   EXPECT_FALSE(Exists(s_agent->dir() + "/escaped.txt"));
   EXPECT_EQ(ListDir(s_agent->storeDir()), std::vector<std::string>{"out"});
   // The session is still good after the refusals.
   EXPECT_EQ(session->uploadFile(local.c_str(), L"inside.txt"), ERR_SUCCESS);
   EXPECT_EQ(ReadFile(s_agent->storeDir() + "/inside.txt"), "must stay where it belongs");
   RemoveTree(s_agent->storeDir() + "/out");
   RemoveTree(s_agent->storeDir() + "/inside.txt");
}

TEST_F(AgentWithSecret, DownloadsStayInsideTheStore) {
   auto session = Connect(*s_agent, AUTH_SHA1_HASH, kSecret);
   ASSERT_NE(session, nullptr);
   TempDir outside, local;
   WriteFile(outside / "secret.txt", "not for download");
   WriteFile(s_agent->dir() + "/beside-store.txt", "not for download either");
   symlink((outside / "secret.txt").c_str(), (s_agent->storeDir() + "/link.txt").c_str());
   symlink(outside.path().c_str(), (s_agent->storeDir() + "/dirlink").c_str());

   struct Attempt {
      std::string name;
      uint32_t expected;
   } attempts[] = {
       {"../beside-store.txt", ERR_BAD_ARGUMENTS},
       {outside / "secret.txt", ERR_BAD_ARGUMENTS},
       {"link.txt", ERR_ACCESS_DENIED},
       {"dirlink/secret.txt", ERR_ACCESS_DENIED},
   };
   for (const Attempt &a : attempts) {
      SCOPED_TRACE(a.name);
      EXPECT_EQ(DownloadFile(session.get(), a.name, local / "got.txt"), a.expected);
      EXPECT_FALSE(Exists(local / "got.txt"));
   }
   RemoveTree(s_agent->storeDir() + "/link.txt");
   RemoveTree(s_agent->storeDir() + "/dirlink");
}

TEST_F(AgentWithSecret, ActionArgumentsNeverReachAShell) {
   auto session = Connect(*s_agent, AUTH_SHA1_HASH, kSecret);
   ASSERT_NE(session, nullptr);
   TempDir dir;
   std::string marker = dir / "pwned";
   std::vector<std::string> attempts = {
       "; touch " + marker,
       "$(touch " + marker + ")",
       "`touch " + marker + "`",
       "| touch " + marker,
       "&& touch " + marker,
       "\ntouch " + marker,
       "x' ; touch " + marker + " ; '",
   };
   for (const std::string &attempt : attempts) {
      std::wstring arg = Widen(attempt);
      wchar_t *args[] = {arg.data()};
      EXPECT_EQ(session->execAction(L"echo", 1, args), ERR_SUCCESS);
   }
   EXPECT_FALSE(Exists(marker));

   // An argument is one word, whatever it holds: touch makes exactly the
   // file it names, characters and all.
   std::string literal = dir / "a;touch ${IFS}pwned$(id)`id`";
   std::wstring arg = Widen(literal);
   wchar_t *args[] = {arg.data()};
   EXPECT_EQ(session->execAction(L"touch", 1, args), ERR_SUCCESS);
   EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"a;touch ${IFS}pwned$(id)`id`"});
   EXPECT_FALSE(Exists(s_agent->dir() + "/pwned"));
}

// Sends bytes on a raw TCP connection to the agent.
int RawClient(uint16_t port) {
   int s = socket(AF_INET, SOCK_STREAM, 0);
   struct sockaddr_in address = {};
   address.sin_family = AF_INET;
   address.sin_addr.s_addr = htonl(0x7F000001);
   address.sin_port = htons(port);
   if (connect(s, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
      close(s);
      return -1;
   }
   return s;
}

// True when the peer closes the connection within timeoutMs.
bool ClosedByPeer(int s, int timeoutMs) {
   char buffer[4096];
   for (;;) {
      struct pollfd pfd = {s, POLLIN, 0};
      if (poll(&pfd, 1, timeoutMs) <= 0)
         return false;
      ssize_t got = recv(s, buffer, sizeof(buffer), 0);
      if (got <= 0)
         return true;
   }
}

TEST_F(AgentWithSecret, KeepsServingOthersWhileOneClientSendsGarbage) {
   auto session = Connect(*s_agent, AUTH_SHA1_HASH, kSecret);
   ASSERT_NE(session, nullptr);

   std::atomic<bool> stop{false};
   std::atomic<int> garbageConnections{0};
   std::thread garbage([&] {
      std::string noise = PatternBytes(64 * 1024, 99);
      // A frame header that announces far more than the receive limit.
      const unsigned char oversized[16] = {0, 3, 0, 0, 0x7F, 0xFF, 0xFF, 0xF0,
                                           0, 0, 0, 1, 0,    0,    0,    0};
      for (int round = 0; round < 20 && !stop.load(); round++) {
         int s = RawClient(s_agent->port());
         if (s < 0)
            continue;
         garbageConnections++;
         if (round % 2 == 0)
            send(s, noise.data(), noise.size(), MSG_NOSIGNAL);
         else
            send(s, oversized, sizeof(oversized), MSG_NOSIGNAL);
         ClosedByPeer(s, 2000);
         close(s);
      }
   });
   // A client that stalls half way through a frame holds only its own session.
   int stalled = RawClient(s_agent->port());
   ASSERT_GE(stalled, 0);
   const unsigned char half[8] = {0, 3, 0, 0, 0, 0, 0, 64};
   send(stalled, half, sizeof(half), MSG_NOSIGNAL);

   for (int i = 0; i < 200; i++) {
      wchar_t value[256];
      ASSERT_EQ(session->getParameter(L"System.Hostname", 256, value), ERR_SUCCESS) << i;
   }
   auto late = Connect(*s_agent, AUTH_PLAINTEXT, kSecret);
   ASSERT_NE(late, nullptr);
   EXPECT_EQ(late->nop(), ERR_SUCCESS);
   stop = true;
   garbage.join();
   close(stalled);
   EXPECT_GT(garbageConnections.load(), 0);

   // A frame that does not decode (a variable of an unknown type) ends that
   // client's session, and so does one above the receive limit.
   const unsigned char undecodable[32] = {0, 3, 0, 0, 0,    0, 0, 32, 0, 0, 0, 1, 0, 0, 0, 1,
                                          0, 0, 0, 9, 0xEE, 0, 0, 0,  1, 2, 3, 4, 5, 6, 7, 8};
   const unsigned char oversized[16] = {0, 3, 0, 0, 0x7F, 0xFF, 0xFF, 0xF0, 0, 0, 0, 1, 0, 0, 0, 0};
   for (const auto &frame : {std::string((const char *)undecodable, sizeof(undecodable)),
                             std::string((const char *)oversized, sizeof(oversized))}) {
      int s = RawClient(s_agent->port());
      ASSERT_GE(s, 0);
      send(s, frame.data(), frame.size(), MSG_NOSIGNAL);
      EXPECT_TRUE(ClosedByPeer(s, 10000));
      close(s);
   }
   EXPECT_TRUE(s_agent->alive());
}

}  // namespace
