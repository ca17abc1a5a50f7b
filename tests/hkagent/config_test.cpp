// The INI parser: settings, quoting, comments, sections, actions, and the
// diagnostics for everything malformed.
#include <gtest/gtest.h>

#include "config.h"
#include "log.h"
#include "session.h"

using namespace hkagent;

namespace {

struct Parsed {
   AgentConfig config;
   std::vector<ConfigDiagnostic> diagnostics;
   bool ok;
};

Parsed Parse(const std::string &text) {
   Parsed p;
   p.ok = ParseConfig(text, &p.config, &p.diagnostics);
   return p;
}

bool HasDiagnostic(const Parsed &p, int line, bool error) {
   for (const auto &d : p.diagnostics) {
      if (d.line == line && d.error == error)
         return true;
   }
   return false;
}

}  // namespace

TEST(ConfigParser, ReadsEverySettingOfTheAgentSection) {
   Parsed p = Parse(
       "[agent]\n"
       "ListenAddress = 127.0.0.2\n"
       "Port = 0\n"
       "Secret = s3cret\n"
       "RequireEncryption = yes\n"
       "MaxSessions = 12\n"
       "IdleTimeout = 5000\n"
       "FileStore = /tmp/store\n"
       "PolicyDir = /tmp/policies\n"
       "MaxUploadSize = 1024\n"
       "ActionTimeout = 250\n"
       "ServiceCheckTimeout = 300\n"
       "SnmpTimeout = 400\n"
       "SnmpRetries = 2\n"
       "EnableProxy = on\n"
       "EnableSnmpProxy = true\n"
       "EnableServiceCheck = off\n"
       "PushInterval = 60\n"
       "PushParameters = System.Uptime, Net.Interface.BytesIn(lo), Foo(a,b)\n"
       "LogLevel = Debug\n");
   ASSERT_TRUE(p.ok);
   EXPECT_TRUE(p.diagnostics.empty());
   const AgentConfig &c = p.config;
   EXPECT_EQ(c.listenAddress, "127.0.0.2");
   EXPECT_EQ(c.port, 0);
   EXPECT_EQ(c.secret, "s3cret");
   EXPECT_TRUE(c.requireEncryption);
   EXPECT_EQ(c.maxSessions, 12u);
   EXPECT_EQ(c.idleTimeoutMs, 5000u);
   EXPECT_EQ(c.fileStore, "/tmp/store");
   EXPECT_EQ(c.policyDir, "/tmp/policies");
   EXPECT_EQ(c.maxUploadSize, 1024u);
   EXPECT_EQ(c.actionTimeoutMs, 250u);
   EXPECT_EQ(c.serviceCheckTimeoutMs, 300u);
   EXPECT_EQ(c.snmpTimeoutMs, 400u);
   EXPECT_EQ(c.snmpRetries, 2u);
   EXPECT_TRUE(c.enableProxy);
   EXPECT_TRUE(c.enableSnmpProxy);
   EXPECT_FALSE(c.enableServiceCheck);
   EXPECT_EQ(c.pushIntervalSec, 60u);
   EXPECT_EQ(c.pushParameters,
             (std::vector<std::string>{"System.Uptime", "Net.Interface.BytesIn(lo)", "Foo(a,b)"}));
   EXPECT_EQ(c.logLevel, "debug");
}

TEST(ConfigParser, CommentsBlankLinesCrLfAndBomAreIgnored) {
   Parsed p = Parse(
       "\xEF\xBB\xBF# comment\r\n; another\r\n\r\n   \t\r\n[Agent]  \r\n"
       "  port=4701  \r\n");
   ASSERT_TRUE(p.ok);
   EXPECT_TRUE(p.diagnostics.empty());
   EXPECT_EQ(p.config.port, 4701);
}

TEST(ConfigParser, KeysAndSectionsAreCaseInsensitiveAndSettingsBeforeASectionCount) {
   Parsed p = Parse("PORT = 10\n[AGENT]\nsecret = x\n");
   ASSERT_TRUE(p.ok);
   EXPECT_EQ(p.config.port, 10);
   EXPECT_EQ(p.config.secret, "x");
}

TEST(ConfigParser, QuotedValuesKeepBlanksAndEscapes) {
   Parsed p = Parse("Secret = \"  a \\\"b\\\" \\\\ c  \"   # trailing comment\n");
   ASSERT_TRUE(p.ok) << p.diagnostics[0].message;
   EXPECT_EQ(p.config.secret, "  a \"b\" \\ c  ");
}

TEST(ConfigParser, UnquotedValueKeepsHashAndSemicolon) {
   Parsed p = Parse("Secret = pa#ss;word\n");
   ASSERT_TRUE(p.ok);
   EXPECT_EQ(p.config.secret, "pa#ss;word");
}

TEST(ConfigParser, MalformedLinesAreReportedAndTheRestStillCounts) {
   Parsed p = Parse(
       "Port = 4800\n"                  // 1
       "just some words\n"              // 2: no '='
       "= value\n"                      // 3: no key
       "[agent\n"                       // 4: unclosed section header
       "Secret = ignored?\n"            // 5: in the broken section: skipped
       "[agent]\n"                      // 6
       "Secret = \"unclosed\n"          // 7
       "MaxSessions = \"2\" junk\n"     // 8: text after the quote
       "Port = 70000\n"                 // 9: out of range
       "Port = 12abc\n"                 // 10: not a number
       "MaxSessions = 0\n"              // 11: below range
       "RequireEncryption = maybe\n"    // 12
       "ListenAddress = 1.2.3.4\n"      // 13
       "ListenAddress = localhost\n");  // 14: not an address
   EXPECT_FALSE(p.ok);
   for (int line : {2, 3, 4, 7, 8, 9, 10, 11, 12, 14})
      EXPECT_TRUE(HasDiagnostic(p, line, true)) << "line " << line;
   EXPECT_FALSE(HasDiagnostic(p, 5, true));
   EXPECT_EQ(p.config.port, 4800);  // the bad values left it alone
   EXPECT_EQ(p.config.maxSessions, 1024u);
   EXPECT_EQ(p.config.secret, "");
   EXPECT_EQ(p.config.listenAddress, "1.2.3.4");
}

TEST(ConfigParser, UnknownKeysAndSectionsAreWarningsOnly) {
   Parsed p = Parse("Colour = blue\n[weird]\nx = 1\n[agent]\nPort = 5\n");
   EXPECT_TRUE(p.ok);
   EXPECT_TRUE(HasDiagnostic(p, 1, false));
   EXPECT_TRUE(HasDiagnostic(p, 2, false));
   EXPECT_FALSE(HasDiagnostic(p, 3, false));  // keys of an unknown section are skipped
   EXPECT_EQ(p.config.port, 5);
}

TEST(ConfigParser, NulByteInALineIsAnError) {
   std::string text = "Secret = a";
   text.push_back('\0');
   text += "b\nPort = 9\n";
   Parsed p = Parse(text);
   EXPECT_TRUE(HasDiagnostic(p, 1, true));
   EXPECT_EQ(p.config.secret, "");
   EXPECT_EQ(p.config.port, 9);
}

TEST(ConfigParser, LongSecretIsAWarning) {
   Parsed p = Parse("Secret = " + std::string(64, 'x') + "\n");
   EXPECT_TRUE(p.ok);
   EXPECT_TRUE(HasDiagnostic(p, 1, false));
}

TEST(ConfigParser, ActionsAreSplitIntoArgumentVectors) {
   Parsed p = Parse(
       "[actions]\n"
       "echo = /bin/echo \"hello world\" 'single  quoted' plain\n"
       "Restart-Web_1.x = /usr/bin/true\n"
       "esc = /bin/echo \"a \\\"q\\\" b\" ';' \n");
   ASSERT_TRUE(p.ok) << p.diagnostics[0].message;
   ASSERT_EQ(p.config.actions.size(), 3u);
   EXPECT_EQ(p.config.actions.at("echo").argv,
             (std::vector<std::string>{"/bin/echo", "hello world", "single  quoted", "plain"}));
   EXPECT_EQ(p.config.actions.at("Restart-Web_1.x").argv,
             (std::vector<std::string>{"/usr/bin/true"}));
   EXPECT_EQ(p.config.actions.at("esc").argv,
             (std::vector<std::string>{"/bin/echo", "a \"q\" b", ";"}));
}

TEST(ConfigParser, BadActionsAreErrors) {
   Parsed p = Parse(
       "[actions]\n"
       "relative = bin/echo x\n"     // 2: not absolute
       "empty =\n"                   // 3: no program
       "bad name = /bin/true\n"      // 4: blank in the name
       "unclosed = /bin/echo \"x\n"  // 5
       "ok = /bin/true\n");
   EXPECT_FALSE(p.ok);
   for (int line : {2, 3, 4, 5})
      EXPECT_TRUE(HasDiagnostic(p, line, true)) << "line " << line;
   EXPECT_EQ(p.config.actions.size(), 1u);
   EXPECT_EQ(p.config.actions.count("ok"), 1u);
}

TEST(ConfigParser, ApplySettingReportsUnknownKeys) {
   AgentConfig config;
   std::string error;
   bool unknown = false;
   EXPECT_FALSE(ApplySetting(&config, "agent", "NoSuchKey", "1", &error, &unknown));
   EXPECT_TRUE(unknown);
   EXPECT_TRUE(ApplySetting(&config, "agent", "Port", "0", &error, &unknown));
   EXPECT_FALSE(unknown);
   EXPECT_EQ(config.port, 0);
   EXPECT_FALSE(ApplySetting(&config, "agent", "Port", "-1", &error, &unknown));
   EXPECT_FALSE(unknown);
   EXPECT_FALSE(error.empty());
}

TEST(CommandLineSplit, QuotesAndBlanks) {
   std::vector<std::string> words;
   std::string error;
   ASSERT_TRUE(SplitCommandLine("  a\t\"b c\"d 'e\"f'  \"\" ", &words, &error));
   EXPECT_EQ(words, (std::vector<std::string>{"a", "b cd", "e\"f", ""}));
   EXPECT_FALSE(SplitCommandLine("a 'b", &words, &error));
   EXPECT_FALSE(error.empty());
}

TEST(ConfigParser, SecuritySettingsAndTheirBounds) {
   Parsed p = Parse(
       "AllowNoAuthentication = yes\nAllowConfigUpdate = on\nMaxSessionsPerAddress = 3\n"
       "AuthTimeout = 250\nAuthFailureDelay = 0\nMaxAuthFailures = 4\nAuthBlockTime = 60\n"
       "FileStoreQuota = 1000\nFileStoreMaxFiles = 0\nSendTimeout = 250\n"
       "ProxyTargets = 10.0.0.0/8:4700, 192.0.2.7:20-25 127.0.0.1\n");
   ASSERT_TRUE(p.ok);
   const AgentConfig &c = p.config;
   EXPECT_TRUE(c.allowNoAuthentication && c.allowConfigUpdate);
   EXPECT_EQ(c.maxSessionsPerAddress, 3u);
   EXPECT_EQ(c.authTimeoutMs, 250u);
   EXPECT_EQ(c.authFailureDelayMs, 0u);
   EXPECT_EQ(c.maxAuthFailures, 4u);
   EXPECT_EQ(c.authBlockTimeSec, 60u);
   EXPECT_EQ(c.fileStoreQuota, 1000u);
   EXPECT_EQ(c.fileStoreMaxFiles, 0u);
   EXPECT_EQ(c.sendTimeoutMs, 250u);
   EXPECT_EQ(c.proxyTargets.ranges.size(), 3u);
   for (const char *bad :
        {"MaxSessionsPerAddress = 0", "AuthTimeout = 99", "AuthFailureDelay = 10001",
         "MaxAuthFailures = 0", "AuthBlockTime = 0", "SendTimeout = 99", "SendTimeout = 3600001",
         "ProxyTargets = 10.0.0.0/33", "ProxyTargets = 10.0.0.1:0", "ProxyTargets = 10.0.0.1:9-8",
         "ProxyTargets = host:22", "ServiceCheckTargets = 1.2.3.4/",
         "SnmpProxyTargets = 1.2.3.4:70000"}) {
      Parsed b = Parse(bad);
      EXPECT_FALSE(b.ok) << bad;
   }
   AgentConfig defaults;
   EXPECT_FALSE(defaults.allowNoAuthentication || defaults.allowConfigUpdate);
   EXPECT_EQ(defaults.sendTimeoutMs, Session::kDefaultSendTimeoutMs);
   EXPECT_TRUE(defaults.proxyTargets.ranges.empty() && defaults.serviceCheckTargets.ranges.empty());
}

struct LimitCase {
   const char *line;
   bool ok;
   uint32_t AgentConfig::*field;  // null for the boolean
   uint32_t value;                // when ok
};

class PreAuthenticationSettings : public ::testing::TestWithParam<LimitCase> {};

TEST_P(PreAuthenticationSettings, ReadWithTheirBounds) {
   const LimitCase &c = GetParam();
   Parsed p = Parse(std::string(c.line) + "\n");
   EXPECT_EQ(p.ok, c.ok) << c.line;
   if (!c.ok)
      return;
   if (c.field != nullptr) {
      EXPECT_EQ(p.config.*c.field, c.value) << c.line;
   } else {
      EXPECT_EQ(p.config.allowShortSecret, c.value != 0) << c.line;
   }
}

INSTANTIATE_TEST_SUITE_P(
    Config, PreAuthenticationSettings,
    ::testing::Values(LimitCase{"MaxUnauthenticatedSessions = 5", true,
                                &AgentConfig::maxUnauthenticatedSessions, 5},
                      LimitCase{"MaxUnauthenticatedSessions = 0", false, nullptr, 0},
                      LimitCase{"MaxUnauthenticatedSessions = 100001", false, nullptr, 0},
                      LimitCase{"MaxUnauthenticatedPerAddress = 1", true,
                                &AgentConfig::maxUnauthenticatedPerAddress, 1},
                      LimitCase{"MaxUnauthenticatedPerAddress = 0", false, nullptr, 0},
                      LimitCase{"MaxAuthFailuresTotal = 7", true,
                                &AgentConfig::maxAuthFailuresTotal, 7},
                      LimitCase{"MaxAuthFailuresTotal = 0", false, nullptr, 0},
                      LimitCase{"MaxAuthFailuresTotal = many", false, nullptr, 0},
                      LimitCase{"AllowShortSecret = yes", true, nullptr, 1},
                      LimitCase{"AllowShortSecret = off", true, nullptr, 0},
                      LimitCase{"AllowShortSecret = maybe", false, nullptr, 0}));

TEST(ConfigParser, ActionPlaceholders) {
   struct Case {
      const char *command;
      bool ok;
      uint32_t numbered;
      bool rest;
   };
   for (const Case &c :
        std::vector<Case>{{"/bin/true", true, 0, false},
                          {"/bin/echo {1} x{3:dash}y", true, 3, false},
                          {"/bin/echo {1} {*}", true, 1, true},
                          {"/bin/echo {*:dash}", true, 0, true},
                          {"/bin/echo {x} {65}", true, 0, false},
                          {"/bin/echo {0}", false, 0, false},
                          {"/bin/echo a{*}", false, 0, false},
                          {"/bin/echo {*} {*}", false, 0, false},
                          {"/bin/touch /f/{1:path}", true, 1, false},
                          {"/bin/touch {1:dash:path} {2:path:dash}", true, 2, false},
                          {"/bin/touch {*:path}", true, 0, true},
                          // Not placeholders: stay literal text.
                          {"/bin/echo {1:path:path} {1:paths} {1:}", true, 0, false}}) {
      Parsed p = Parse(std::string("[actions]\na = ") + c.command + "\n");
      EXPECT_EQ(p.ok, c.ok) << c.command;
      if (!c.ok)
         continue;
      uint32_t numbered;
      bool rest;
      std::string error;
      ASSERT_TRUE(ReadPlaceholders(p.config.actions["a"], &numbered, &rest, &error));
      EXPECT_EQ(numbered, c.numbered) << c.command;
      EXPECT_EQ(rest, c.rest) << c.command;
   }
}

TEST(ConfigParser, LocalOnlyChangesNameWhatAnUploadMayNotTouch) {
   auto settings = [](const std::string &text) {
      AgentConfig config;
      std::vector<ConfigDiagnostic> diagnostics;
      ConfigSettings out;
      ParseConfig(text, &config, &diagnostics, &out);
      return out;
   };
   ConfigSettings before = settings("Secret = a\nLogLevel = info\n[actions]\nx = /bin/true\n");
   EXPECT_TRUE(LocalOnlyChanges(before, settings("secret = \"a\"\nLogLevel = debug\n"
                                                 "PushInterval = 5\n[actions]\nx = /bin/true\n"))
                   .empty());
   EXPECT_EQ(LocalOnlyChanges(before, settings("LogLevel = info\nPort = 1\n")),
             (std::vector<std::string>{"Port", "Secret", "[actions] x"}));
   // A limit: a client may not loosen it with an upload.
   EXPECT_EQ(LocalOnlyChanges(before, settings("Secret = a\nLogLevel = info\nSendTimeout = 500\n"
                                               "[actions]\nx = /bin/true\n")),
             (std::vector<std::string>{"SendTimeout"}));
}

TEST(TargetLists, MatchRangesPortsAndNeverTheAgentItselfUnlessNamed) {
   TargetList list;
   ASSERT_TRUE(ParseTargetList("10.1.0.0/16, 127.0.0.1:4700 192.0.2.9:20-25", &list));
   ListenEndpoint self{0x7F000001, 4700};
   EXPECT_TRUE(TargetAllowed(list, 0x0A01FFFE, 9, self));
   EXPECT_FALSE(TargetAllowed(list, 0x0A02FFFE, 9, self));
   EXPECT_TRUE(TargetAllowed(list, 0xC0000209, 25, self));
   EXPECT_FALSE(TargetAllowed(list, 0xC0000209, 26, self));
   EXPECT_TRUE(TargetAllowed(list, 0x7F000001, 4700, self));  // named exactly
   ASSERT_TRUE(ParseTargetList("127.0.0.0/8", &list));
   EXPECT_FALSE(TargetAllowed(list, 0x7F000001, 4700, self));
   EXPECT_TRUE(TargetAllowed(list, 0x7F000001, 4701, self));
   ListenEndpoint any{0, 4700};
   EXPECT_FALSE(TargetAllowed(list, 0x7F000002, 4700, any));  // every local address is ours
   // Whatever address the agent listens on, its port on any local address
   // is itself, and 0.0.0.0 is no target at all.
   EXPECT_FALSE(TargetAllowed(list, 0x7F000005, 4700, self));
   ASSERT_TRUE(ParseTargetList("0.0.0.0/0", &list));
   EXPECT_FALSE(TargetAllowed(list, 0, 4700, self));
   EXPECT_FALSE(TargetAllowed(list, 0, 4701, self));
   EXPECT_FALSE(TargetAllowed(list, 0x7F0000FE, 4700, self));
   EXPECT_TRUE(TargetAllowed(list, 0xC0000201, 4700, self));
   ASSERT_TRUE(ParseTargetList("", &list));
   EXPECT_FALSE(TargetAllowed(list, 0x0A000001, 80, self));
}

TEST(LogEscaping, PeerTextStaysOnOneLine) {
   EXPECT_EQ(EscapeForLog("a\nb\r\x1b[2J\"\\\x7f\xc3\xa9"),
             "a\\x0Ab\\x0D\\x1B[2J\\x22\\x5C\\x7F\xc3\xa9");
   EXPECT_EQ(EscapeForLog(std::string(300, 'x'), 4), "xxxx...");
}
