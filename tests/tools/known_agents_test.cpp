// The known-agents file: both fingerprint forms, lookups, malformed lines,
// and remembering (comments kept, file and folder modes, no parents made).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "known_agents.h"

using namespace hktool;

namespace {

// SHA-256 of "abc", as hex and as ssh-keygen prints it.
const char kHex[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char kSsh[] = "SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0";
const char kOther[] = "0000000000000000000000000000000000000000000000000000000000000001";

struct Scratch {
   Scratch() : path("/tmp/hktool-known-XXXXXX") { mkdtemp(path.data()); }
   ~Scratch() { std::system(("rm -rf '" + path + "'").c_str()); }
   std::string operator/(const std::string &name) const { return path + "/" + name; }
   std::string path;
};

std::string Slurp(const std::string &path) {
   std::ifstream file(path);
   std::stringstream s;
   s << file.rdbuf();
   return s.str();
}

unsigned ModeOf(const std::string &path) {
   struct stat info;
   return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0xFFFF;
}

TEST(KnownAgents, FingerprintForms) {
   struct Row {
      std::string text;
      bool ok;
   } rows[] = {
       {kHex, true},
       {"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", true},
       {kSsh, true},
       {std::string(kSsh) + "=", true},
       {std::string(kHex) + "0", false},
       {"g" + std::string(kHex).substr(1), false},
       {std::string(kSsh) + "==", false},
       // 31 bytes; a non-canonical last character; another alphabet.
       {"SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFQ", false},
       {"SHA256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa1", false},
       {"SHA256:ungWv48Bz-pBQUDeXa4iI7ADYaOWF3qctBD_YfIAFa0", false},
       {"sha256:ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0", false},
       {"", false},
   };
   for (const Row &row : rows) {
      std::string hex = "stale";
      EXPECT_EQ(NormaliseAgentFingerprint(row.text, &hex), row.ok) << row.text;
      EXPECT_EQ(hex, row.ok ? kHex : "") << row.text;
   }
}

TEST(KnownAgents, FileLinesAndLookups) {
   Scratch dir;
   std::ofstream(dir / "known") << "# pinned by hand\n\n"
                                << "Agent-1.example:4700 " << kSsh << "\n"
                                << "  10.0.0.5:4701\t" << kHex << "\r\n"
                                << "10.0.0.5:4701 " << kOther << "\n";
   KnownAgents known(dir / "known");
   std::string error, stored;
   ASSERT_TRUE(known.load(&error)) << error;

   struct Row {
      const char *endpoint;
      std::string fingerprint;
      AgentKeyStatus status;
      std::string stored;
   } rows[] = {
       {"agent-1.example:4700", kHex, AgentKeyStatus::Known, kHex},
       {"AGENT-1.example:4700", kSsh, AgentKeyStatus::Known, kHex},
       {"agent-1.example:4700", kOther, AgentKeyStatus::Changed, kHex},
       {"agent-1.example:4800", kHex, AgentKeyStatus::Unknown, ""},
       {"10.0.0.5:4701", kOther, AgentKeyStatus::Known, kOther},
       {"10.0.0.5:4701", std::string(64, 'f'), AgentKeyStatus::Changed, kHex},
       {"10.0.0.5:4701", "not-a-fingerprint", AgentKeyStatus::Unknown, ""},
   };
   for (const Row &row : rows) {
      EXPECT_EQ(known.lookup(row.endpoint, row.fingerprint, &stored), row.status)
          << row.endpoint << " " << row.fingerprint;
      EXPECT_EQ(stored, row.stored) << row.endpoint;
   }

   // A line that is not an endpoint and a fingerprint fails the whole file.
   struct Bad {
      std::string text;
      const char *error;
   } bad[] = {
       {"host:4700\n", "line 1"},
       {"# c\nhost " + std::string(kHex) + "\n", "line 2"},
       {"host:0 " + std::string(kHex) + "\n", "line 1"},
       {"host:4700 " + std::string(kHex) + " extra\n", "line 1"},
   };
   for (const Bad &b : bad) {
      std::ofstream(dir / "bad") << b.text;
      KnownAgents broken(dir / "bad");
      EXPECT_FALSE(broken.load(&error)) << b.text;
      EXPECT_NE(error.find(b.error), std::string::npos) << error;
      EXPECT_EQ(broken.lookup("host:4700", kHex), AgentKeyStatus::Unknown);
   }
}

TEST(KnownAgents, RememberKeepsCommentsAndModes) {
   Scratch dir;
   std::string folder = dir / "hksrv", path = folder + "/known_agents";
   KnownAgents known(path);
   std::string error;
   ASSERT_TRUE(known.load(&error)) << error;  // no folder, no file: no agents
   EXPECT_EQ(known.lookup("a:1", kHex), AgentKeyStatus::Unknown);

   ASSERT_TRUE(known.remember("a:1", kSsh, &error)) << error;
   EXPECT_EQ(ModeOf(folder), 0700u);
   EXPECT_EQ(ModeOf(path), 0600u);
   EXPECT_EQ(Slurp(path), "a:1 " + std::string(kHex) + "\n");
   EXPECT_EQ(known.lookup("a:1", kHex), AgentKeyStatus::Known);

   // Lines added by hand since, comments and a missing last newline stay.
   std::string byHand = Slurp(path) + "# keep me\n\nb:2 " + kOther;
   std::ofstream(path) << byHand;
   chmod(path.c_str(), 0644);
   ASSERT_TRUE(known.remember("c:3", kHex, &error)) << error;
   ASSERT_TRUE(known.remember("C:3", kSsh, &error)) << error;  // already there
   EXPECT_EQ(Slurp(path), byHand + "\nc:3 " + kHex + "\n");
   EXPECT_EQ(ModeOf(path), 0600u);
   EXPECT_EQ(known.lookup("b:2", kOther), AgentKeyStatus::Known);

   KnownAgents reread(path);
   ASSERT_TRUE(reread.load(&error)) << error;
   EXPECT_EQ(reread.lookup("c:3", kSsh), AgentKeyStatus::Known);
   // Nothing but the file in its folder: no temporary file is left.
   EXPECT_EQ(std::system(("test $(ls -A '" + folder + "' | wc -l) -eq 1").c_str()), 0);

   std::ofstream(dir / "plain") << "a file";
   struct Refused {
      std::string path, endpoint, fingerprint, error;
   } refused[] = {
       {dir / "missing/hksrv/known_agents", "a:1", kHex, "missing does not exist"},
       {dir / "plain/known_agents", "a:1", kHex, "is not a folder"},
       {path, "a", kHex, "not HOST:PORT"},
       {path, "a:1", "abc", "not a SHA-256 fingerprint"},
   };
   for (const Refused &r : refused) {
      KnownAgents other(r.path);
      error.clear();
      EXPECT_FALSE(other.remember(r.endpoint, r.fingerprint, &error)) << r.path;
      EXPECT_NE(error.find(r.error), std::string::npos) << error;
   }
   EXPECT_EQ(access((dir / "missing").c_str(), F_OK), -1);
}

}  // namespace
