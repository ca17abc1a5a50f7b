// The hkagent program itself: --port 0 with --port-file and the
// "listening on" line, serving a client, a clean stop on SIGTERM and
// SIGINT, --check-config, and its log lines for the journal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "agent_test_client.h"
#include "hesker.h"
#include "test_dirs.h"

using namespace hkagent_test;

namespace {

class AgentProcess {
public:
   // Standard output and error both go to one pipe, read as output(). With
   // fileLimit > 0 the program runs under that open-file limit; with
   // journal, JOURNAL_STREAM names that pipe as systemd would.
   explicit AgentProcess(std::vector<std::string> args, int fileLimit = 0, bool journal = false) {
      int fds[2];
      if (pipe2(fds, O_CLOEXEC) != 0)
         return;
      m_stderr = fds[0];
      std::vector<std::string> environment;
      for (char **e = environ; *e != nullptr; e++) {
         if (strncmp(*e, "JOURNAL_STREAM=", 15) != 0)
            environment.push_back(*e);
      }
      struct stat pipeStat;
      if (journal && fstat(fds[1], &pipeStat) == 0) {
         environment.push_back("JOURNAL_STREAM=" + std::to_string(pipeStat.st_dev) + ":" +
                               std::to_string(pipeStat.st_ino));
      }
      posix_spawn_file_actions_t files;
      posix_spawn_file_actions_init(&files);
      posix_spawn_file_actions_adddup2(&files, fds[1], 1);
      posix_spawn_file_actions_adddup2(&files, fds[1], 2);
      args.insert(args.begin(), HKAGENT_BINARY);
      if (fileLimit > 0) {
         args.insert(
             args.begin(),
             {"/bin/sh", "-c", "ulimit -n " + std::to_string(fileLimit) + " && exec \"$@\"", "sh"});
      }
      std::vector<char *> argv;
      for (std::string &a : args)
         argv.push_back(a.data());
      argv.push_back(nullptr);
      std::vector<char *> envp;
      for (std::string &e : environment)
         envp.push_back(e.data());
      envp.push_back(nullptr);
      if (posix_spawn(&m_pid, argv[0], &files, nullptr, argv.data(), envp.data()) != 0)
         m_pid = -1;
      posix_spawn_file_actions_destroy(&files);
      close(fds[1]);
   }
   ~AgentProcess() {
      if (m_pid > 0) {
         kill(m_pid, SIGKILL);
         waitpid(m_pid, nullptr, 0);
      }
      if (m_stderr >= 0)
         close(m_stderr);
   }

   // Reads standard error until it holds text, or the time runs out.
   bool waitForOutput(const std::string &text, uint32_t timeoutMs) {
      uint64_t deadline = GetMonotonicMs() + timeoutMs;
      while (m_output.find(text) == std::string::npos) {
         uint64_t now = GetMonotonicMs();
         if (now >= deadline)
            return false;
         struct pollfd pfd = {m_stderr, POLLIN, 0};
         if (poll(&pfd, 1, (int)(deadline - now)) <= 0)
            return false;
         char buffer[512];
         ssize_t n = read(m_stderr, buffer, sizeof(buffer));
         if (n <= 0)
            return false;
         m_output.append(buffer, (size_t)n);
      }
      return true;
   }

   // Waits for the process to exit; its status, or -1 after the time-out.
   int waitExit(uint32_t timeoutMs) {
      uint64_t deadline = GetMonotonicMs() + timeoutMs;
      for (;;) {
         int status;
         pid_t done = waitpid(m_pid, &status, WNOHANG);
         if (done == m_pid) {
            m_pid = -1;
            // What it wrote last is still in the pipe.
            char buffer[512];
            ssize_t n;
            while ((n = read(m_stderr, buffer, sizeof(buffer))) > 0)
               m_output.append(buffer, (size_t)n);
            return status;
         }
         if (GetMonotonicMs() >= deadline)
            return -1;
         // Drain standard error so the program never blocks on it.
         struct pollfd pfd = {m_stderr, POLLIN, 0};
         if (poll(&pfd, 1, 10) > 0) {
            char buffer[512];
            ssize_t n = read(m_stderr, buffer, sizeof(buffer));
            if (n > 0)
               m_output.append(buffer, (size_t)n);
         }
      }
   }

   pid_t pid() const { return m_pid; }
   const std::string &output() const { return m_output; }

private:
   pid_t m_pid = -1;
   int m_stderr = -1;
   std::string m_output;
};

}  // namespace

TEST(AgentProcess, PortZeroIsAnnouncedAndSigtermStopsCleanly) {
   TempDir dir;
   std::string portFile = dir.file("port");
   AgentProcess agent({"--port", "0", "--port-file", portFile, "--secret=abc-abc-abc-abc-abc"});
   ASSERT_GT(agent.pid(), 0);
   ASSERT_TRUE(agent.waitForOutput("listening on 127.0.0.1:", 20000)) << agent.output();
   std::string text;
   ASSERT_TRUE(ReadTextFile(portFile, &text));
   int port = atoi(text.c_str());
   ASSERT_GT(port, 0);
   EXPECT_NE(agent.output().find("listening on 127.0.0.1:" + std::to_string(port)),
             std::string::npos);

   RawClient client;
   ASSERT_TRUE(client.connect((uint16_t)port));
   int version = 0;
   ASSERT_TRUE(client.probeVersion(&version));
   EXPECT_EQ(client.authenticate(3, "abc-abc-abc-abc-abc"), 0u);
   EXPECT_EQ(client.simple(CMD_NOP), 0u);

   // A connected client does not hold the stop up.
   ASSERT_EQ(kill(agent.pid(), SIGTERM), 0);
   int status = agent.waitExit(20000);
   ASSERT_NE(status, -1);
   EXPECT_TRUE(WIFEXITED(status));
   EXPECT_EQ(WEXITSTATUS(status), 0) << agent.output();
   EXPECT_TRUE(client.waitClosed(5000));
}

TEST(AgentProcess, SigintStopsCleanly) {
   AgentProcess agent({"--port", "0", "--foreground", "--allow-no-authentication"});
   ASSERT_TRUE(agent.waitForOutput("listening on", 20000)) << agent.output();
   ASSERT_EQ(kill(agent.pid(), SIGINT), 0);
   int status = agent.waitExit(20000);
   ASSERT_NE(status, -1);
   EXPECT_TRUE(WIFEXITED(status));
   EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(AgentProcess, BadSettingsStopTheStart) {
   AgentProcess badFlag({"--port", "notaport"});
   int status = badFlag.waitExit(20000);
   ASSERT_NE(status, -1);
   EXPECT_EQ(WEXITSTATUS(status), 1);
   AgentProcess unknown({"--no-such-flag"});
   status = unknown.waitExit(20000);
   ASSERT_NE(status, -1);
   EXPECT_EQ(WEXITSTATUS(status), 2);
   AgentProcess missing({"--config", "/nonexistent/hkagent.conf"});
   status = missing.waitExit(20000);
   ASSERT_NE(status, -1);
   EXPECT_EQ(WEXITSTATUS(status), 1);
   // No secret and no explicit permission to run without one.
   AgentProcess open({"--port", "0"});
   EXPECT_TRUE(open.waitForOutput("no Secret configured", 20000));
   status = open.waitExit(20000);
   ASSERT_NE(status, -1);
   EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(AgentProcess, RunningWithoutASecretIsAnnouncedLoudly) {
   AgentProcess agent({"--port", "0", "--allow-no-authentication"});
   EXPECT_TRUE(agent.waitForOutput("AUTHENTICATION IS OFF", 20000));
}

TEST(AgentProcess, RunningOutOfDescriptorsDropsConnectionsAndRecovers) {
   TempDir dir;
   std::string portFile = dir.file("port");
   AgentProcess agent({"--port", "0", "--port-file", portFile, "--allow-no-authentication"}, 32);
   ASSERT_TRUE(agent.waitForOutput("listening on", 20000)) << agent.output();
   std::string text;
   ASSERT_TRUE(ReadTextFile(portFile, &text));
   uint16_t port = (uint16_t)atoi(text.c_str());

   // More clients than the agent has descriptors for: the surplus is
   // dropped, the served ones still answer.
   std::vector<std::unique_ptr<RawClient>> clients;
   int served = 0;
   for (int i = 0; i < 40; i++) {
      auto client = std::make_unique<RawClient>();
      ASSERT_TRUE(client->connect(port));
      int version = 0;
      if (client->probeVersion(&version)) {
         served++;
         clients.push_back(std::move(client));
      }
   }
   EXPECT_GT(served, 0);
   EXPECT_LT(served, 40);
   for (auto &c : clients)
      EXPECT_EQ(c->simple(CMD_NOP), 0u);
   clients.clear();

   // Once they are gone, a new client is served again.
   uint64_t deadline = GetMonotonicMs() + 10000;
   bool ok = false;
   while (!ok && GetMonotonicMs() < deadline) {
      RawClient client;
      int version = 0;
      ok = client.connect(port) && client.probeVersion(&version) && client.simple(CMD_NOP) == 0;
   }
   EXPECT_TRUE(ok);
   ASSERT_EQ(kill(agent.pid(), SIGTERM), 0);
   int status = agent.waitExit(20000);
   ASSERT_NE(status, -1);
   EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---------------------------------------------------------------- before authentication
namespace {

const char kProcessSecret[] = "process-test-secret";

// Starts the agent on a free port with the secret; 0 when it did not start.
uint16_t StartWithSecret(AgentProcess &agent, const TempDir &dir) {
   if (!agent.waitForOutput("listening on", 20000))
      return 0;
   std::string text;
   if (!ReadTextFile(dir.file("port"), &text))
      return 0;
   return (uint16_t)atoi(text.c_str());
}

// A connection from a loopback address that sends the start of a frame and
// never the rest; -1 when it could not be made.
int HoldPartialFrame(uint32_t from, uint16_t port) {
   int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   struct sockaddr_in local = {}, agent = {};
   local.sin_family = agent.sin_family = AF_INET;
   local.sin_addr.s_addr = htonl(from);
   agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   agent.sin_port = htons(port);
   // A header announcing 4 KiB, of which only the header comes.
   uint8_t header[HKCP_HEADER_SIZE] = {0, 0x01, 0, 0, 0, 0, 0x10, 0x00};
   // A full backlog makes connect wait: never for long.
   struct timeval bound = {1, 0};
   if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound)) != 0 ||
       bind(fd, (struct sockaddr *)&local, sizeof(local)) != 0 ||
       connect(fd, (struct sockaddr *)&agent, sizeof(agent)) != 0 ||
       send(fd, header, sizeof(header), MSG_NOSIGNAL) != (ssize_t)sizeof(header)) {
      if (fd >= 0)
         close(fd);
      return -1;
   }
   return fd;
}

}  // namespace

// 64 source addresses each try to hold more unauthenticated sessions than
// the agent allows in all, and come back at once whenever one is dropped;
// the server that knows the secret still gets in.
TEST(AgentProcess, UnauthenticatedFloodNeverShutsTheServerOut) {
   TempDir dir;
   AgentProcess agent(
       {"--port", "0", "--port-file", dir.file("port"), std::string("--secret=") + kProcessSecret});
   uint16_t port = StartWithSecret(agent, dir);
   ASSERT_GT(port, 0) << agent.output();

   const uint32_t kAddresses = 64, kEach = 4;  // 256 tries for the 128 places
   std::atomic<bool> stop{false};
   std::atomic<uint64_t> dropped{0};
   std::thread flood([&] {
      std::vector<struct pollfd> fds(kAddresses * kEach);
      for (size_t i = 0; i < fds.size(); i++)
         fds[i] = {HoldPartialFrame(0x7F000002 + (uint32_t)(i / kEach), port), POLLIN, 0};
      while (!stop.load()) {
         if (poll(fds.data(), fds.size(), 100) < 0)
            break;
         for (size_t i = 0; i < fds.size(); i++) {
            char byte;
            if (fds[i].fd >= 0 && fds[i].revents == 0)
               continue;
            if (fds[i].fd >= 0 && recv(fds[i].fd, &byte, 1, MSG_DONTWAIT) > 0)
               continue;
            if (fds[i].fd >= 0) {
               close(fds[i].fd);
               dropped++;
            }
            fds[i].fd = HoldPartialFrame(0x7F000002 + (uint32_t)(i / kEach), port);
         }
      }
      for (const struct pollfd &p : fds) {
         if (p.fd >= 0)
            close(p.fd);
      }
   });
   // Every unauthenticated place is taken before the server comes.
   bool full = agent.waitForOutput("(MaxUnauthenticatedSessions)", 30000);

   int served = 0;
   for (int i = 0; i < 20 && full; i++) {
      RawClient server;
      int version = 0;
      served += server.connect(port) && server.probeVersion(&version) &&
                        server.authenticate(3, kProcessSecret) == 0 && server.simple(CMD_NOP) == 0
                    ? 1
                    : 0;
   }
   stop = true;
   flood.join();
   RecordProperty("served", served);
   RecordProperty("dropped", (int)dropped.load());
   EXPECT_TRUE(full) << agent.output();
   EXPECT_GT(dropped.load(), 0u);
   EXPECT_GE(served, 19);
   ASSERT_EQ(kill(agent.pid(), SIGTERM), 0);
   int status = agent.waitExit(20000);
   ASSERT_NE(status, -1);
   EXPECT_EQ(WEXITSTATUS(status), 0) << agent.output();
}

TEST(AgentProcess, LinesAboutUnauthenticatedPeersAreRateLimited) {
   TempDir dir;
   AgentProcess agent(
       {"--port", "0", "--port-file", dir.file("port"), std::string("--secret=") + kProcessSecret});
   uint16_t port = StartWithSecret(agent, dir);
   ASSERT_GT(port, 0) << agent.output();
   // No server key is trusted: each key request is refused with a line.
   RawClient client;
   int version = 0;
   ASSERT_TRUE(client.connect(port) && client.probeVersion(&version));
   const int kRequests = 300;
   for (int i = 0; i < kRequests; i++)
      ASSERT_FALSE(client.setupEncryption(TestServerKey()));
   ASSERT_TRUE(agent.waitForOutput("similar lines suppressed", 20000)) << agent.output();
   size_t lines = 0;
   for (size_t at = 0; (at = agent.output().find("is not trusted", at)) != std::string::npos; at++)
      lines++;
   EXPECT_GE(lines, 1u);
   EXPECT_LT(lines, (size_t)kRequests / 4);
}

// --check-config: the exit status and the lines an operator (or the service
// manager's ExecStartPre) gets for each kind of file. "@DIR@" in a file
// stands for a folder that exists.
struct CheckConfigCase {
   const char *name;
   const char *file;  // null: no such file
   std::vector<std::string> extraArgs;
   int exitStatus;
   const char *expected;
};

class CheckConfig : public ::testing::TestWithParam<CheckConfigCase> {};

TEST_P(CheckConfig, ReportsWhatKeepsTheAgentFromServing) {
   const CheckConfigCase &c = GetParam();
   TempDir dir;
   std::string path = dir.file("hkagent.conf");
   if (c.file != nullptr) {
      std::string text = c.file;
      for (size_t at; (at = text.find("@DIR@")) != std::string::npos;)
         text.replace(at, 5, dir.path());
      ASSERT_TRUE(WriteTextFile(path, text));
   }
   std::vector<std::string> args = {"--check-config", path};
   args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
   AgentProcess check(args);
   int status = check.waitExit(20000);
   ASSERT_NE(status, -1);
   ASSERT_TRUE(WIFEXITED(status));
   EXPECT_EQ(WEXITSTATUS(status), c.exitStatus) << check.output();
   EXPECT_NE(check.output().find(c.expected), std::string::npos) << check.output();
   // A check never starts serving.
   EXPECT_EQ(check.output().find("listening on"), std::string::npos) << check.output();
}

INSTANTIATE_TEST_SUITE_P(
    Files, CheckConfig,
    ::testing::Values(
        CheckConfigCase{
            "Fit",
            "[agent]\nSecret = s3cret-s3cret-s3cret\nFileStore = @DIR@\nPolicyDir = @DIR@\n"
            "[actions]\nok = /bin/true\n",
            {},
            0,
            "hkagent.conf: configuration OK"},
        CheckConfigCase{"UnknownKeyIsOnlyAWarning",
                        "[agent]\nSecret = s3cret-s3cret-s3cret\nNoSuchKey = 1\n",
                        {},
                        0,
                        "unknown key NoSuchKey ignored"},
        CheckConfigCase{"NoSecret", "[agent]\nPort = 4700\n", {}, 1, "no Secret set"},
        CheckConfigCase{"NoSecretAllowed", "[agent]\nAllowNoAuthentication = yes\n", {}, 0, "OK"},
        CheckConfigCase{"EncryptionWithNoTrustedKey",
                        "[agent]\nSecret = s3cret-s3cret-s3cret\nRequireEncryption = yes\n",
                        {},
                        1,
                        "no server key is trusted"},
        CheckConfigCase{
            "SecretFromTheCommandLine", "[agent]\n", {"--secret", "sixteen-chars-ok"}, 0, "OK"},
        CheckConfigCase{"SecretOneShort",
                        "[agent]\nSecret = fifteen-chars-x\n",
                        {},
                        1,
                        "Secret shorter than 16 characters"},
        CheckConfigCase{"ShortSecretFromTheCommandLine",
                        "[agent]\n",
                        {"--secret", "x"},
                        1,
                        "AllowShortSecret = yes allows it"},
        CheckConfigCase{
            "ShortSecretAllowed", "[agent]\nSecret = x\nAllowShortSecret = yes\n", {}, 0, "OK"},
        CheckConfigCase{"ShortSecretAllowedOnTheCommandLine",
                        "[agent]\n",
                        {"--secret", "x", "--allow-short-secret"},
                        0,
                        "OK"},
        CheckConfigCase{"BadValue",
                        "[agent]\nSecret = s3cret-s3cret-s3cret\nPort = 70000\n",
                        {},
                        1,
                        "line 3: bad value for Port"},
        CheckConfigCase{"BadCommandLineValue",
                        "[agent]\nSecret = s3cret-s3cret-s3cret\n",
                        {"--max-sessions", "0"},
                        1,
                        "command line: bad value for MaxSessions"},
        CheckConfigCase{"MissingFileStore",
                        "[agent]\nSecret = s3cret-s3cret-s3cret\nFileStore = @DIR@/none\n",
                        {},
                        1,
                        "none is not a directory"},
        CheckConfigCase{
            "ActionProgramMissing",
            "[agent]\nSecret = s3cret-s3cret-s3cret\n[actions]\nx = /nonexistent/program\n",
            {},
            1,
            "action x: /nonexistent/program is not an executable file"},
        CheckConfigCase{"NoFile", nullptr, {}, 1, "cannot read configuration file"}),
    [](const ::testing::TestParamInfo<CheckConfigCase> &info) { return info.param.name; });

TEST(AgentProcess, LogsForTheJournalWithPrioritiesAndNoTimeStamps) {
   // A start that fails on a bad setting logs an error line.
   AgentProcess badStart({"--port", "0", "--max-sessions", "0"}, 0, true);
   int status = badStart.waitExit(20000);
   ASSERT_NE(status, -1);
   EXPECT_EQ(WEXITSTATUS(status), 1);
   EXPECT_EQ(badStart.output().rfind("<3>error: command line: bad value", 0), 0u)
       << badStart.output();

   AgentProcess running({"--port", "0", "--secret=abc-abc-abc-abc-abc"}, 0, true);
   ASSERT_TRUE(running.waitForOutput("listening on", 20000)) << running.output();
   ASSERT_EQ(kill(running.pid(), SIGTERM), 0);
   status = running.waitExit(20000);
   ASSERT_NE(status, -1);
   EXPECT_EQ(WEXITSTATUS(status), 0);
   EXPECT_NE(running.output().find("<6>info: stopped\n"), std::string::npos) << running.output();
   EXPECT_EQ(running.output().find("Z hkagent"), std::string::npos) << running.output();

   // Without the journal the lines keep their time stamps.
   AgentProcess plain({"--port", "0", "--max-sessions", "0"});
   status = plain.waitExit(20000);
   ASSERT_NE(status, -1);
   EXPECT_NE(plain.output().find("Z hkagent error: command line"), std::string::npos)
       << plain.output();
}
