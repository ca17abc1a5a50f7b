// hkquery run as a process against the real hkagent: every mode, as text and
// as JSON, secrets from the environment, encryption, a proxy hop, refusals,
// and the exit statuses scripts rely on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "e2e_fixture.h"
#include "fake_agent.h"
#include "fake_agent_files.h"
#include "agent_codes.h"
#include "text.h"

using namespace e2e;

namespace {

const char kSecret[] = "tool-secret-for-e2e";

std::string LibraryText(uint32_t code) {
   return hktool::WideToUtf8(AgentErrorCodeToText((int)code));
}

bool Contains(const std::string &text, const std::string &part) {
   return text.find(part) != std::string::npos;
}

class HkQueryTool : public ::testing::Test {
protected:
   static void SetUpTestSuite() {
      s_agent = new AgentProcess();
      AgentSetup setup;
      setup.secret = kSecret;
      setup.actions = {{"echo", "/bin/echo {*:dash:path}"}, {"fails", "/bin/false"}};
      setup.extraLines = {"ServiceCheckTimeout = 300", "ServiceCheckTargets = 127.0.0.0/8"};
      std::string error;
      ASSERT_TRUE(s_agent->start(setup, &error)) << error;
   }
   static void TearDownTestSuite() {
      delete s_agent;
      s_agent = nullptr;
   }
   void SetUp() override { ASSERT_NE(s_agent, nullptr); }

   // hkquery with the secret in the environment, against the suite's agent.
   ToolResult query(std::vector<std::string> args, std::vector<std::string> environment = {}) {
      args.insert(args.begin(), s_agent->hostPort());
      environment.insert(environment.begin(), std::string("HKQUERY_SECRET=") + kSecret);
      return m_tools.run(HkQuery(), args, environment);
   }

   static AgentProcess *s_agent;
   ToolRunner m_tools;
};

AgentProcess *HkQueryTool::s_agent = nullptr;

TEST_F(HkQueryTool, HelpAndUsageMistakes) {
   ToolResult help = m_tools.run(HkQuery(), {"--help"});
   EXPECT_EQ(help.exitCode, 0);
   EXPECT_TRUE(Contains(help.out, "usage: hkquery"));
   EXPECT_TRUE(Contains(help.out, "--download NAME"));
   EXPECT_EQ(m_tools.run(HkQuery(), {}).exitCode, 2);
   EXPECT_EQ(m_tools.run(HkQuery(), {"--bogus", "127.0.0.1"}).exitCode, 2);
   EXPECT_EQ(m_tools.run(HkQuery(), {"--arp", "--routes", "127.0.0.1"}).exitCode, 2);
   EXPECT_EQ(m_tools.run(HkQuery(), {"-p", "99999", "127.0.0.1", "X"}).exitCode, 2);
}

TEST_F(HkQueryTool, ParametersAsTableAndJson) {
   char host[256] = {};
   gethostname(host, sizeof(host) - 1);
   ToolResult text = query({"System.Hostname", "Agent.Version"});
   ASSERT_EQ(text.exitCode, 0) << text.err;
   EXPECT_TRUE(Contains(text.out, "PARAMETER        VALUE\n"));
   EXPECT_TRUE(Contains(text.out, std::string("System.Hostname  ") + host + "\n"));

   ToolResult json = query({"--json", "System.Hostname", "No.Such.Thing"});
   EXPECT_EQ(json.exitCode, 1);
   JsonValue doc = ParseOutput(json);
   ASSERT_EQ(doc["parameters"].size(), 2u);
   EXPECT_EQ(doc["parameters"][0]["value"].text, host);
   EXPECT_EQ(doc["parameters"][1]["error"].number, ERR_UNKNOWN_PARAMETER);
   EXPECT_EQ(doc["parameters"][1]["message"].text, LibraryText(ERR_UNKNOWN_PARAMETER));
   EXPECT_TRUE(Contains(json.err, "No.Such.Thing: " + LibraryText(ERR_UNKNOWN_PARAMETER)));
}

TEST_F(HkQueryTool, ListsTablesAndTheCatalogue) {
   ToolResult list = query({"--list", "Net.InterfaceList"});
   ASSERT_EQ(list.exitCode, 0) << list.err;
   EXPECT_TRUE(Contains(list.out, "127.0.0.1/8"));

   JsonValue table = ParseOutput(query({"--json", "--table", "System.Processes"}));
   bool self = false;
   for (const JsonValue &row : table["rows"].items)
      self = self || row["PID"].text == std::to_string(getpid());
   EXPECT_TRUE(self);

   JsonValue supported = ParseOutput(query({"--supported", "--json"}));
   EXPECT_GT(supported["parameters"].size(), 5u);
   EXPECT_GT(supported["tables"].size(), 0u);

   ToolResult missing = query({"--table", "No.Such.Table"});
   EXPECT_EQ(missing.exitCode, 1);
   EXPECT_TRUE(Contains(missing.err, LibraryText(ERR_UNKNOWN_PARAMETER)));
}

TEST_F(HkQueryTool, NetworkTables) {
   ToolResult text = query({"--interfaces"});
   ASSERT_EQ(text.exitCode, 0) << text.err;
   EXPECT_TRUE(Contains(text.out, "INDEX  NAME"));
   EXPECT_TRUE(Contains(text.out, "127.0.0.1/8"));
   JsonValue interfaces = ParseOutput(query({"--interfaces", "--json"}));
   bool lo = false;
   for (const JsonValue &i : interfaces["interfaces"].items)
      lo = lo || (i["name"].text == "lo" && i["address"].text == "127.0.0.1" &&
                  i["netmask"].text == "255.0.0.0");
   EXPECT_TRUE(lo);
   JsonValue routes = ParseOutput(query({"--routes", "--json"}));
   EXPECT_EQ(routes["routes"].type, JsonValue::Array);
   JsonValue arp = ParseOutput(query({"--arp", "--json"}));
   EXPECT_EQ(arp["arp"].type, JsonValue::Array);
}

TEST_F(HkQueryTool, ActionsAndTheirArgumentsStayWords) {
   TempDir dir;
   std::string marker = dir / "pwned";
   ToolResult run =
       query({"--action", "echo", "--", "; touch " + marker, "$(touch " + marker + ")", "-n"});
   EXPECT_EQ(run.exitCode, 0) << run.err;
   EXPECT_FALSE(Exists(marker));
   ToolResult failed = query({"--action", "fails", "--json"});
   EXPECT_EQ(failed.exitCode, 1);
   JsonValue doc = ParseOutput(failed);
   EXPECT_EQ(doc["error"].number, ERR_EXEC_FAILED);
   EXPECT_TRUE(Contains(doc["message"].text, LibraryText(ERR_EXEC_FAILED)));
}

TEST_F(HkQueryTool, FilesRoundTripAndRefusalsKeepLocalFiles) {
   TempDir dir;
   std::string content = PatternBytes(2 * 1024 * 1024 + 3, 11);
   WriteFile(dir / "data.bin", content);
   ToolResult up = query({"--upload", dir / "data.bin", "--destination", "tool.bin", "--json"});
   ASSERT_EQ(up.exitCode, 0) << up.err;
   EXPECT_EQ(ParseOutput(up)["bytes"].number, (double)content.size());
   EXPECT_EQ(Sha256OfFile(s_agent->storeDir() + "/tool.bin"), Sha256OfFile(dir / "data.bin"));
   // No progress bar when stderr is not a terminal.
   EXPECT_FALSE(Contains(up.err, "\r"));

   ToolResult down = query({"--download", "tool.bin", "-o", dir / "back.bin"});
   ASSERT_EQ(down.exitCode, 0) << down.err;
   EXPECT_EQ(Sha256OfFile(dir / "back.bin"), Sha256OfFile(dir / "data.bin"));

   // A refused download leaves the file already at the output untouched.
   WriteFile(dir / "keep.txt", "precious");
   ToolResult escape = query({"--download", "../agent.conf", "-o", dir / "keep.txt"});
   EXPECT_EQ(escape.exitCode, 1);
   EXPECT_TRUE(Contains(escape.err, LibraryText(ERR_BAD_ARGUMENTS)));
   EXPECT_EQ(ReadFile(dir / "keep.txt"), "precious");
   ToolResult missing = query({"--download", "missing.bin", "-o", dir / "keep.txt"});
   EXPECT_EQ(missing.exitCode, 1);
   EXPECT_EQ(ReadFile(dir / "keep.txt"), "precious");
   EXPECT_EQ(ListDir(dir.path()), (std::vector<std::string>{"back.bin", "data.bin", "keep.txt"}));

   ToolResult outside = query({"--upload", dir / "data.bin", "--destination", "../x.bin"});
   EXPECT_EQ(outside.exitCode, 1);
   EXPECT_FALSE(Exists(s_agent->dir() + "/x.bin"));

   // Into a folder: the name's last part.
   MakeDir(dir / "into");
   ASSERT_EQ(query({"--download", "tool.bin", "-o", dir / "into"}).exitCode, 0);
   EXPECT_EQ(ReadFile(dir / "into/tool.bin"), content);

   ToolResult toStdout = query({"--download", "tool.bin", "-o", "-"});
   ASSERT_EQ(toStdout.exitCode, 0);
   EXPECT_EQ(toStdout.out, content);
}

// What --output names decides how a download reaches it: a device or a FIFO
// is written in place and stays what it was, success or not; a symbolic
// link is refused and left alone; a regular file is replaced whole. The
// devices are made here, with the numbers of the null and full devices.
enum class Node { NullDevice, FullDevice, Fifo, LinkToFile, DanglingLink, File };

struct OutputCase {
   const char *label;
   Node node;
   const char *download;  // name in the agent's store
   int exitCode;
   const char *error;  // part of standard error
};

void PrintTo(const OutputCase &c, std::ostream *out) {
   *out << c.label;
}

const OutputCase kOutputCases[] = {
    {"NullDevice", Node::NullDevice, "inplace.bin", 0, ""},
    {"NullDeviceRefused", Node::NullDevice, "missing.bin", 1, "download of missing.bin"},
    {"FullDevice", Node::FullDevice, "inplace.bin", 1, "No space left on device"},
    {"Fifo", Node::Fifo, "inplace.bin", 0, ""},
    {"FifoRefused", Node::Fifo, "missing.bin", 1, "download of missing.bin"},
    {"LinkToFile", Node::LinkToFile, "inplace.bin", 1, "is a symbolic link"},
    {"DanglingLink", Node::DanglingLink, "inplace.bin", 1, "is a symbolic link"},
    {"File", Node::File, "inplace.bin", 0, ""},
};

bool MakeNode(Node node, const TempDir &dir, const std::string &path) {
   switch (node) {
      case Node::NullDevice:
      case Node::FullDevice:
         return mknod(path.c_str(), S_IFCHR | 0600, makedev(1, node == Node::NullDevice ? 3 : 7)) ==
                0;
      case Node::Fifo:
         return mkfifo(path.c_str(), 0600) == 0;
      case Node::LinkToFile:
         return WriteFile(dir / "target", "precious") && symlink("target", path.c_str()) == 0;
      case Node::DanglingLink:
         return symlink("target", path.c_str()) == 0;
      case Node::File:
         return WriteFile(path, "precious");
   }
   return false;
}

// What a writer puts into the FIFO read end fd until it closes it; poll
// only reports once a writer came, and gives up after a minute of silence.
std::string ReadFifo(int fd) {
   std::string content;
   char buffer[65536];
   ssize_t got = 1;
   for (int idle = 0; idle < 60 && got != 0;) {
      pollfd ready = {fd, POLLIN, 0};
      if (poll(&ready, 1, 1000) <= 0)
         idle++;
      else if ((got = read(fd, buffer, sizeof(buffer))) > 0)
         content.append(buffer, (size_t)got);
   }
   return content;
}

class HkQueryDownloadOutput : public HkQueryTool,
                              public ::testing::WithParamInterface<OutputCase> {};

TEST_P(HkQueryDownloadOutput, NodeStaysWhatItWas) {
   const OutputCase &c = GetParam();
   std::string content = PatternBytes(300 * 1024 + 5, 23);
   ASSERT_TRUE(WriteFile(s_agent->storeDir() + "/inplace.bin", content));
   TempDir dir, tmp;
   std::string out = dir / "out";
   if (!MakeNode(c.node, dir, out))
      GTEST_SKIP() << "cannot make the node here: " << strerror(errno);
   struct stat before, after;
   ASSERT_EQ(lstat(out.c_str(), &before), 0);
   std::vector<std::string> names = ListDir(dir.path());

   // The read end is open first, so that hkquery's open does not wait.
   int fifo = c.node == Node::Fifo ? open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
   std::string fromFifo;
   std::thread reader;
   if (fifo >= 0 && c.exitCode == 0)
      reader = std::thread([&] { fromFifo = ReadFifo(fifo); });
   ToolResult down = query({"--download", c.download, "-o", out}, {"TMPDIR=" + tmp.path()});
   if (reader.joinable())
      reader.join();
   if (fifo >= 0)
      close(fifo);

   EXPECT_EQ(down.exitCode, c.exitCode) << down.err;
   EXPECT_TRUE(Contains(down.err, c.error)) << down.err;
   ASSERT_EQ(lstat(out.c_str(), &after), 0);
   EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
   EXPECT_EQ(after.st_rdev, before.st_rdev);
   EXPECT_EQ(ListDir(dir.path()), names);
   EXPECT_TRUE(ListDir(tmp.path()).empty());
   if (c.node == Node::Fifo && c.exitCode == 0) {
      EXPECT_EQ(fromFifo, content);
   } else if (c.node == Node::LinkToFile) {
      EXPECT_EQ(ReadFile(dir / "target"), "precious");
   } else if (c.node == Node::File) {
      EXPECT_EQ(ReadFile(out), content);
   }
}

INSTANTIATE_TEST_SUITE_P(E2e, HkQueryDownloadOutput, ::testing::ValuesIn(kOutputCases),
                         [](const ::testing::TestParamInfo<OutputCase> &info) {
                            return std::string(info.param.label);
                         });

TEST_F(HkQueryTool, PoliciesListedAndRemoved) {
   WriteFile(s_agent->policyDir() + "/0123456789abcdef0123456789abcdef.policy",
             "type = 7\nserver = gamma\n");
   JsonValue doc = ParseOutput(query({"--policies", "--json"}));
   ASSERT_EQ(doc["policies"].size(), 1u);
   EXPECT_EQ(doc["policies"][0]["guid"].text, "01234567-89ab-cdef-0123-456789abcdef");
   EXPECT_EQ(doc["policies"][0]["server"].text, "gamma");
   ToolResult removed = query({"--remove-policy", "0123456789ABCDEF0123456789ABCDEF"});
   EXPECT_EQ(removed.exitCode, 0) << removed.err;
   EXPECT_EQ(ListDir(s_agent->policyDir()).size(), 0u);
   EXPECT_EQ(query({"--remove-policy", "not-a-guid"}).exitCode, 2);
}

TEST_F(HkQueryTool, ServiceChecks) {
   // A port that listens (its backlog takes the connection) and never answers.
   int listener = socket(AF_INET, SOCK_STREAM, 0);
   struct sockaddr_in address = {};
   address.sin_family = AF_INET;
   address.sin_addr.s_addr = htonl(0x7F000001);
   socklen_t length = sizeof(address);
   ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
   ASSERT_EQ(listen(listener, 4), 0);
   getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
   std::string target = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
   ToolResult open = query({"--check-service", target});
   EXPECT_EQ(open.exitCode, 0) << open.err;
   EXPECT_TRUE(Contains(open.out, "ok (status 0)"));
   ToolResult silent = query({"--check-service", target, "--service-request", "hello\r\n",
                              "--service-response", "never-sent", "--json"});
   close(listener);
   EXPECT_EQ(silent.exitCode, 1);
   JsonValue doc = ParseOutput(silent);
   EXPECT_NE(doc["status"].number, 0);
   EXPECT_EQ(query({"--check-service", "127.0.0.1"}).exitCode, 2);
}

TEST_F(HkQueryTool, SecretsAndAuthentication) {
   for (const char *method : {"plain", "md5", "sha1"}) {
      // Refused before connecting, even over required encryption.
      ToolResult refused = query({"--auth", method, "-e", "required", "Agent.Version"});
      EXPECT_EQ(refused.exitCode, 2) << method;
      EXPECT_TRUE(Contains(refused.err, "--insecure-auth")) << refused.err;
      ToolResult ok = query({"--auth", method, "--insecure-auth", "Agent.Version"});
      EXPECT_EQ(ok.exitCode, 0) << method << ": " << ok.err;
      ToolResult wrong =
          query({"--auth", method, "--insecure-auth", "Agent.Version"}, {"HKQUERY_SECRET=wrong"});
      EXPECT_EQ(wrong.exitCode, 1) << method;
      EXPECT_TRUE(Contains(wrong.err, LibraryText(ERR_AUTH_FAILED))) << wrong.err;
   }
   // On the command line too, and a missing secret is the agent's 401.
   ToolResult argument = query({"--secret", kSecret, "Agent.Version"}, {"HKQUERY_SECRET="});
   EXPECT_EQ(argument.exitCode, 0) << argument.err;
   ToolResult none = query({"Agent.Version", "--json"}, {"HKQUERY_SECRET="});
   EXPECT_EQ(none.exitCode, 1);
   EXPECT_EQ(ParseOutput(none)["error"].number, ERR_AUTH_REQUIRED);
   EXPECT_EQ(query({"--auth", "md5", "X"}, {"HKQUERY_SECRET="}).exitCode, 2);
}

TEST_F(HkQueryTool, ConfigurationGoesOutByteForByteAndComesBack) {
   AgentProcess agent;
   AgentSetup setup;
   // Quotes, backslashes, a tab and non-ASCII bytes: text and JSON must both
   // carry them exactly.
   setup.extraLines = {"# say \"hi\" \\ there\tand caf\xC3\xA9"};
   setup.allowConfigUpdate = true;
   std::string error;
   ASSERT_TRUE(agent.start(setup, &error)) << error;
   std::string original = ReadFile(agent.configPath());

   ToolResult raw = m_tools.run(HkQuery(), {agent.hostPort(), "--config-get"});
   ASSERT_EQ(raw.exitCode, 0) << raw.err;
   EXPECT_EQ(raw.out, original);
   JsonValue doc = ParseOutput(m_tools.run(HkQuery(), {agent.hostPort(), "--config-get", "-j"}));
   EXPECT_EQ(doc["config"].text, original);
   EXPECT_EQ(doc["size"].number, (double)original.size());

   TempDir dir;
   std::string replaced = original + "[agent]\nPushInterval = 5\n";
   WriteFile(dir / "new.conf", replaced);
   ToolResult put = m_tools.run(HkQuery(), {agent.hostPort(), "--config-put", dir / "new.conf"});
   ASSERT_EQ(put.exitCode, 0) << put.err;
   EXPECT_EQ(ReadFile(agent.configPath()), replaced);

   WriteFile(dir / "bad.conf", "[agent]\nPort = many\n");
   ToolResult bad = m_tools.run(HkQuery(), {agent.hostPort(), "--config-put", dir / "bad.conf"});
   EXPECT_EQ(bad.exitCode, 1);
   EXPECT_EQ(ReadFile(agent.configPath()), replaced);
}

TEST_F(HkQueryTool, EncryptionAndTheGeneratedKey) {
   AgentProcess agent;
   AgentSetup setup;
   setup.requireEncryption = true;
   std::string error;
   ASSERT_TRUE(agent.start(setup, &error)) << error;

   // The legacy mode follows the policy; TLS, the default, has no plain form.
   ToolResult refused = m_tools.run(
       HkQuery(), {agent.hostPort(), "--insecure-auth", "-e", "disabled", "Agent.Version"});
   EXPECT_EQ(refused.exitCode, 1);
   EXPECT_TRUE(Contains(refused.err, LibraryText(ERR_ENCRYPTION_REQUIRED))) << refused.err;

   std::string key = m_tools.home() + "/.config/hksrv/server-key.pem";
   EXPECT_FALSE(Exists(key));
   ToolResult ok = m_tools.run(HkQuery(), {agent.hostPort(), "Agent.Version"});
   ASSERT_EQ(ok.exitCode, 0) << ok.err;
   struct stat info;
   ASSERT_EQ(stat(key.c_str(), &info), 0);
   EXPECT_EQ(info.st_mode & 0777, 0600u);
   std::string firstKey = ReadFile(key);
   EXPECT_TRUE(Contains(firstKey, "PRIVATE KEY"));

   // The key is reused, and an explicit one works too.
   EXPECT_EQ(m_tools.run(HkQuery(), {agent.hostPort(), "-e", "required", "Agent.Version"}).exitCode,
             0);
   EXPECT_EQ(ReadFile(key), firstKey);
   TempDir dir;
   ToolResult own =
       m_tools.run(HkQuery(), {agent.hostPort(), "-k", dir / "k.pem", "Agent.Version"});
   EXPECT_EQ(own.exitCode, 0) << own.err;
   EXPECT_TRUE(Exists(dir / "k.pem"));
}

// TLS is the default: an agent met for the first time is remembered, a
// changed key is refused with both fingerprints, and a pin wins over the
// file.
TEST_F(HkQueryTool, PinsTheAgentKeyLikeSshHostKeys) {
   const std::string known = m_tools.home() + "/.config/hksrv/known_agents";
   ToolResult first = query({"Agent.Version"});
   ASSERT_EQ(first.exitCode, 0) << first.err;
   EXPECT_TRUE(Contains(first.err, "trusted on first use")) << first.err;
   std::string line = ReadFile(known);
   const std::string endpoint = s_agent->hostPort() + " ";
   ASSERT_EQ(line.rfind(endpoint, 0), 0u) << line;
   const std::string fingerprint = line.substr(endpoint.size(), 64);
   ASSERT_EQ(fingerprint.size(), 64u);
   struct stat info;
   ASSERT_EQ(stat((m_tools.home() + "/.config/hksrv").c_str(), &info), 0);
   EXPECT_EQ(info.st_mode & 0777, 0700u);

   ToolResult again = query({"Agent.Version"});
   EXPECT_EQ(again.exitCode, 0) << again.err;
   EXPECT_FALSE(Contains(again.err, "new agent")) << again.err;

   const std::string other(64, 'a');
   ASSERT_TRUE(WriteFile(known, endpoint + other + "\n"));
   struct Row {
      std::vector<std::string> args;
      int exitCode;
      std::vector<std::string> says;
   } rows[] = {
       {{}, 1, {"has CHANGED", fingerprint, other, known}},
       {{"--agent-key", fingerprint}, 0, {}},
       {{"--agent-key", other}, 1, {"not the pinned one", fingerprint}},
   };
   for (const Row &r : rows) {
      std::vector<std::string> args = r.args;
      args.push_back("Agent.Version");
      ToolResult result = query(args);
      EXPECT_EQ(result.exitCode, r.exitCode) << result.err;
      for (const std::string &part : r.says)
         EXPECT_TRUE(Contains(result.err, part)) << part << " in " << result.err;
   }
   // A refusal leaves the file as it was.
   EXPECT_EQ(ReadFile(known), endpoint + other + "\n");
}

TEST_F(HkQueryTool, ThroughAProxyAgent) {
   AgentProcess proxy;
   AgentSetup setup;
   setup.enableProxy = true;
   setup.secret = "proxy-pass-phrase-01";
   std::string error;
   ASSERT_TRUE(proxy.start(setup, &error)) << error;
   // A proxy hop is spoken in the legacy mode only, where the bound method is
   // not offered.
   ToolResult refused = query({"--proxy", proxy.hostPort(), "Agent.Version"},
                              {"HKQUERY_PROXY_SECRET=proxy-pass-phrase-01"});
   EXPECT_EQ(refused.exitCode, 2);
   EXPECT_TRUE(Contains(refused.err, "--insecure-auth")) << refused.err;
   const std::vector<std::string> legacy = {
       "--insecure-auth", "-a", "sha1", "--proxy-auth", "sha1", "--proxy", proxy.hostPort()};
   std::vector<std::string> args = legacy;
   args.insert(args.end(), {"--json", "Agent.Version"});
   ToolResult hop = query(args, {"HKQUERY_PROXY_SECRET=proxy-pass-phrase-01"});
   ASSERT_EQ(hop.exitCode, 0) << hop.err;
   EXPECT_EQ(ParseOutput(hop)["parameters"][0]["value"].text, HK_E2E_VERSION);
   args = legacy;
   args.push_back("Agent.Version");
   ToolResult wrong = query(args, {"HKQUERY_PROXY_SECRET=nope"});
   EXPECT_EQ(wrong.exitCode, 1);
   EXPECT_TRUE(Contains(wrong.err, LibraryText(ERR_AUTH_FAILED)));
}

TEST_F(HkQueryTool, NoAgentThere) {
   AgentProcess gone;
   std::string error;
   ASSERT_TRUE(gone.start(AgentSetup(), &error)) << error;
   std::string where = gone.hostPort();
   gone.stop();
   ToolResult result = m_tools.run(HkQuery(), {where, "--connect-timeout", "1000", "--json", "X"});
   EXPECT_EQ(result.exitCode, 1);
   EXPECT_EQ(ParseOutput(result)["error"].number, ERR_CONNECT_FAILED);
}

}  // namespace

namespace {

// An agent that announces fewer bytes than it sends, before or after the
// data: hkquery stops at the first frame past the announcement and leaves
// nothing behind.
class HkQueryHostileDownload : public ::testing::TestWithParam<bool> {};

TEST_P(HkQueryHostileDownload, StopsAtTheAnnouncedSize) {
   FakeTempDir source;
   ASSERT_TRUE(FakeWriteFile(source.file("big.bin"), 4 << 20, 7));
   FakeAgent agent;
   ASSERT_TRUE(agent.listening());
   FakeDownloadOptions options;
   options.dataBeforeReply = GetParam();
   options.fillReply = [](CSCPMessage &reply) {
      reply.SetVariable(hkagent::VID_AGENT_FILE_SIZE, (uint64_t)10);
   };
   agent.setHandler(hkagent::CMD_GET_AGENT_FILE, FakeDownload(source.file("big.bin"), options));
   TempDir dir;
   ToolRunner tools;
   ToolResult down =
       tools.run(HkQuery(), {"127.0.0.1:" + std::to_string(agent.port()), "--insecure-auth",
                             "--download", "big.bin", "-o", dir / "out.bin"});
   EXPECT_EQ(down.exitCode, 1);
   EXPECT_TRUE(Contains(down.err, "more than the 10 bytes it announced")) << down.err;
   EXPECT_TRUE(ListDir(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(E2e, HkQueryHostileDownload, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                            return info.param ? "DataBeforeReply" : "ReplyFirst";
                         });

}  // namespace
