// The server key file and the agent settings read from options and the
// environment.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "agent_link.h"
#include "server_key.h"

extern "C" void RSA_free(RSA *rsa);

using namespace hktool;

namespace {

class TempFolder {
public:
   TempFolder() {
      std::string pattern = "/tmp/hktool-test-XXXXXX";
      m_path = mkdtemp(pattern.data());
   }
   ~TempFolder() { std::system(("rm -rf '" + m_path + "'").c_str()); }
   const std::string &path() const { return m_path; }

private:
   std::string m_path;
};

std::string Slurp(const std::string &path) {
   std::ifstream file(path);
   std::stringstream s;
   s << file.rdbuf();
   return s.str();
}

TEST(ServerKey, GeneratedOnceWithOwnerOnlyPermissions) {
   TempFolder dir;
   std::string path = dir.path() + "/nested/deeper/key.pem";
   bool created = false;
   std::string warning, error;
   RSA *key = LoadOrCreateServerKey(path, &created, &warning, &error);
   ASSERT_NE(key, nullptr) << error;
   RSA_free(key);
   EXPECT_TRUE(created);
   EXPECT_EQ(warning, "");
   struct stat info;
   ASSERT_EQ(stat(path.c_str(), &info), 0);
   EXPECT_EQ(info.st_mode & 0777, 0600u);
   ASSERT_EQ(stat((dir.path() + "/nested").c_str(), &info), 0);
   EXPECT_EQ(info.st_mode & 0777, 0700u);
   std::string first = Slurp(path);

   key = LoadOrCreateServerKey(path, &created, &warning, &error);
   ASSERT_NE(key, nullptr) << error;
   RSA_free(key);
   EXPECT_FALSE(created);
   EXPECT_EQ(Slurp(path), first);

   chmod(path.c_str(), 0644);
   key = LoadOrCreateServerKey(path, &created, &warning, &error);
   ASSERT_NE(key, nullptr);
   RSA_free(key);
   EXPECT_NE(warning.find("can be read by others"), std::string::npos);
}

TEST(ServerKey, ConcurrentFirstUsesAgreeOnOneKey) {
   TempFolder dir;
   std::string path = dir.path() + "/key.pem";
   int createdCount = 0;
   std::mutex mutex;
   std::vector<std::thread> threads;
   for (int i = 0; i < 3; i++) {
      threads.emplace_back([&] {
         bool created = false;
         std::string warning, error;
         RSA *key = LoadOrCreateServerKey(path, &created, &warning, &error);
         std::lock_guard<std::mutex> lock(mutex);
         EXPECT_NE(key, nullptr) << error;
         RSA_free(key);
         createdCount += created ? 1 : 0;
      });
   }
   for (auto &t : threads)
      t.join();
   EXPECT_EQ(createdCount, 1);
   // No temporary file is left behind.
   EXPECT_EQ(std::system(("test $(ls -A '" + dir.path() + "' | wc -l) -eq 1").c_str()), 0);
}

TEST(ServerKey, GarbageAndMissingFolderAreErrors) {
   TempFolder dir;
   std::string path = dir.path() + "/key.pem";
   std::ofstream(path) << "not a key";
   bool created;
   std::string warning, error;
   EXPECT_EQ(LoadOrCreateServerKey(path, &created, &warning, &error), nullptr);
   EXPECT_NE(error.find("no RSA private key"), std::string::npos);
   EXPECT_EQ(LoadOrCreateServerKey("", &created, &warning, &error), nullptr);
   // A folder where the key's folder should be cannot be made into one.
   std::ofstream(dir.path() + "/file") << "x";
   EXPECT_EQ(LoadOrCreateServerKey(dir.path() + "/file/key.pem", &created, &warning, &error),
             nullptr);
}

const AgentOptionNames kNames = {"auth",       "secret",       "TEST_SECRET",       "proxy",
                                 "proxy-auth", "proxy-secret", "TEST_PROXY_SECRET", "encryption",
                                 "key",        "timeout",      "connect-timeout",   "insecure-auth",
                                 "agent-key",  "known-agents"};

bool Read(std::vector<const char *> args, AgentLinkSettings *settings, std::string *error) {
   ArgParser parser;
   parser.add(AgentOptionSpecs(kNames));
   args.insert(args.begin(), "tool");
   if (!parser.parse((int)args.size(), args.data(), error))
      return false;
   return ReadAgentSettings(parser, kNames, settings, error);
}

TEST(AgentSettings, SecretsMethodsAndPolicies) {
   unsetenv("TEST_SECRET");
   AgentLinkSettings s;
   std::string error;
   ASSERT_TRUE(Read({}, &s, &error)) << error;
   EXPECT_EQ(s.agent.authMethod, AUTH_NONE);
   EXPECT_EQ(s.encryptionPolicy, ENCRYPTION_ALLOWED);

   // A secret alone means the mutual method over a required encryption.
   setenv("TEST_SECRET", "from-env", 1);
   s = AgentLinkSettings();
   ASSERT_TRUE(Read({"-w", "500"}, &s, &error)) << error;
   EXPECT_EQ(s.agent.secret, "from-env");
   EXPECT_EQ(s.agent.authMethod, AUTH_HMAC_SHA256);
   EXPECT_EQ(s.encryptionPolicy, ENCRYPTION_REQUIRED);
   EXPECT_EQ(s.commandTimeout, 500u);

   // The option wins over the environment.
   s = AgentLinkSettings();
   ASSERT_TRUE(Read({"--secret", "given", "--auth", "plain", "--insecure-auth"}, &s, &error));
   EXPECT_EQ(s.agent.secret, "given");
   EXPECT_EQ(s.agent.authMethod, AUTH_PLAINTEXT);
   EXPECT_EQ(s.encryptionPolicy, ENCRYPTION_REQUIRED);
   unsetenv("TEST_SECRET");

   // Which method and policy pairs may go out, with a secret: plain, md5
   // and sha1 only with the opt-in, since required encryption does not
   // keep an impostor from receiving what they send.
   struct Pair {
      std::vector<const char *> args;
      bool accepted;
      int method, policy;
   } pairs[] = {
       {{"-s", "x", "-a", "hmac", "-e", "allowed"}, true, AUTH_HMAC_SHA256, ENCRYPTION_ALLOWED},
       {{"-s", "x", "-a", "4", "-e", "disabled"}, true, AUTH_HMAC_SHA256, ENCRYPTION_DISABLED},
       {{"-s", "x", "-a", "sha1"}, false, 0, 0},
       {{"-s", "x", "-a", "sha1", "-e", "required"}, false, 0, 0},
       {{"-s", "x", "-a", "plain", "-e", "required"}, false, 0, 0},
       {{"-s", "x", "-a", "md5", "-e", "3"}, false, 0, 0},
       {{"-s", "x", "-a", "2"}, false, 0, 0},
       {{"-s", "x", "-a", "sha1", "-e", "preferred"}, false, 0, 0},
       {{"-s", "x", "-a", "sha1", "--insecure-auth"}, true, AUTH_SHA1_HASH, ENCRYPTION_REQUIRED},
       {{"-s", "x", "-a", "plain", "-e", "required", "--insecure-auth"},
        true,
        AUTH_PLAINTEXT,
        ENCRYPTION_REQUIRED},
       {{"-s", "x", "--proxy", "127.0.0.2", "--proxy-auth", "md5", "--proxy-secret", "p", "-e",
         "required"},
        false,
        0,
        0},
       {{"-s", "x", "-a", "md5", "-e", "allowed"}, false, 0, 0},
       {{"-s", "x", "-a", "plain", "-e", "disabled"}, false, 0, 0},
       {{"-s", "x", "-a", "md5", "-e", "allowed", "--insecure-auth"},
        true,
        AUTH_MD5_HASH,
        ENCRYPTION_ALLOWED},
       {{"-a", "none", "-e", "disabled"}, true, AUTH_NONE, ENCRYPTION_DISABLED},
   };
   for (const Pair &p : pairs) {
      s = AgentLinkSettings();
      error.clear();
      bool accepted = Read(p.args, &s, &error);
      EXPECT_EQ(accepted, p.accepted) << p.args[3] << " " << error;
      if (!accepted) {
         EXPECT_NE(error.find("add --insecure-auth"), std::string::npos) << error;
         continue;
      }
      EXPECT_EQ(s.agent.authMethod, p.method);
      EXPECT_EQ(s.encryptionPolicy, p.policy);
   }

   struct Bad {
      std::vector<const char *> args;
      const char *error;
   } bad[] = {
       {{"--auth", "md5"}, "authentication needs a secret"},
       {{"--auth", "rot13", "-s", "x"}, "--auth takes"},
       {{"-e", "sometimes"}, "--encryption takes"},
       {{"-w", "499"}, "--timeout takes"},
       {{"--connect-timeout", "999"}, "--connect-timeout takes"},
       {{"-s", "0123456789012345678901234567890123456789012345678901234567890123"},
        "longer than 63"},
       {{"--proxy", "127.0.0.1:0"}, "bad port"},
   };
   for (const Bad &b : bad) {
      s = AgentLinkSettings();
      error.clear();
      EXPECT_FALSE(Read(b.args, &s, &error)) << b.args[0];
      EXPECT_NE(error.find(b.error), std::string::npos) << error;
   }
}

// TLS with a pinned agent key unless the legacy mode is asked for.
TEST(AgentSettings, TlsPinsAndTheLegacyMode) {
   const std::string hex(64, 'a');
   // SHA256: and the base64 of 32 bytes of 0xaa.
   const char *ssh = "SHA256:qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqo";
   struct Row {
      std::vector<const char *> args;
      bool accepted, tls;
      std::string pin, knownAgents, error;
   } rows[] = {
       {{}, true, true, "", "", ""},
       {{"--insecure-auth"}, true, false, "", "", ""},
       {{"--agent-key", hex.c_str()}, true, true, hex, "", ""},
       {{"--agent-key", ssh}, true, true, hex, "", ""},
       {{"--agent-key", "SHA256:short"}, false, true, "", "", "takes a fingerprint"},
       {{"--known-agents", "/scratch/known"}, true, true, "", "/scratch/known", ""},
       {{"--proxy", "127.0.0.2"}, false, true, "", "", "legacy mode only: add --insecure-auth"},
       {{"--proxy", "127.0.0.2", "--insecure-auth"}, true, false, "", "", ""},
   };
   for (const Row &r : rows) {
      AgentLinkSettings s;
      std::string error;
      bool accepted = Read(r.args, &s, &error);
      SCOPED_TRACE(r.args.empty() ? "(none)" : r.args[0]);
      ASSERT_EQ(accepted, r.accepted) << error;
      if (!accepted) {
         EXPECT_NE(error.find(r.error), std::string::npos) << error;
         continue;
      }
      EXPECT_EQ(s.tls, r.tls);
      EXPECT_EQ(s.agentKeyPins, r.pin.empty() ? std::vector<std::string>() : std::vector{r.pin});
      EXPECT_EQ(s.knownAgentsFile, r.knownAgents);
   }
}

TEST(AgentSettings, ProxyHasItsOwnCredentials) {
   setenv("TEST_PROXY_SECRET", "p", 1);
   AgentLinkSettings s;
   std::string error;
   ASSERT_TRUE(
       Read({"--proxy", "127.0.0.2:4800", "--proxy-auth", "md5", "--insecure-auth"}, &s, &error))
       << error;
   // A secret for the proxy alone also makes encryption required.
   EXPECT_EQ(s.encryptionPolicy, ENCRYPTION_REQUIRED);
   unsetenv("TEST_PROXY_SECRET");
   EXPECT_TRUE(s.useProxy);
   EXPECT_EQ(s.proxy.address, 0x7F000002u);
   EXPECT_EQ(s.proxy.port, 4800);
   EXPECT_EQ(s.proxy.authMethod, AUTH_MD5_HASH);
   EXPECT_EQ(s.proxy.secret, "p");
   EXPECT_EQ(s.agent.authMethod, AUTH_NONE);
}

TEST(AgentSettings, HostAndPortText) {
   uint32_t address = 0;
   uint16_t port = 4700;
   std::string error;
   ASSERT_TRUE(ParseHostPort("127.0.0.1", &address, &port, &error));
   EXPECT_EQ(address, 0x7F000001u);
   EXPECT_EQ(port, 4700);
   ASSERT_TRUE(ParseHostPort("localhost:161", &address, &port, &error)) << error;
   EXPECT_EQ(address, 0x7F000001u);
   EXPECT_EQ(port, 161);
   EXPECT_FALSE(ParseHostPort("127.0.0.1:70000", &address, &port, &error));
   EXPECT_FALSE(ParseHostPort(":80", &address, &port, &error));
   EXPECT_FALSE(ParseHostPort("no-such-host.invalid", &address, &port, &error));
}

}  // namespace
