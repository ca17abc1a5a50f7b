// Real SNMP agents for tests: snmpd and snmpsimd on free loopback ports.
#include "snmp_agents.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace hktest {

namespace {

// A UDP port on 127.0.0.1 that nothing is bound to right now.
uint16_t FreeUdpPort() {
   int s = socket(AF_INET, SOCK_DGRAM, 0);
   if (s < 0) {
      return 0;
   }
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t length = sizeof(addr);
   uint16_t port = 0;
   if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
       getsockname(s, reinterpret_cast<sockaddr *>(&addr), &length) == 0) {
      port = ntohs(addr.sin_port);
   }
   close(s);
   return port;
}

// True when a line opens an entry of the clients' -On output.
bool StartsEntry(const std::string &line) {
   return !line.empty() && line[0] == '.';
}

// True when the entry's value goes on in the next line: a hexadecimal dump
// (its lines end with a space) or a quoted text with a line break in it.
bool Continues(const std::string &entry) {
   size_t eq = entry.find(" = ");
   if (eq == std::string::npos) {
      return false;
   }
   if (!entry.empty() && entry.back() == ' ') {
      return true;
   }
   size_t quotes = 0;
   for (size_t i = eq; i < entry.size(); i++) {
      if (entry[i] == '"' && entry[i - 1] != '\\') {
         quotes++;
      }
   }
   return quotes % 2 == 1;
}

std::vector<std::string> JoinEntries(const std::vector<std::string> &lines) {
   std::vector<std::string> entries;
   for (const std::string &line : lines) {
      if (!StartsEntry(line) && !entries.empty() && Continues(entries.back())) {
         entries.back() += (entries.back().back() == ' ' ? "" : "\n") + line;
      } else {
         entries.push_back(line);
      }
   }
   return entries;
}

}  // namespace

bool ParseSnmpToolEntry(const std::string &entry, std::string *oid, std::string *type,
                        std::string *value) {
   size_t eq = entry.find(" = ");
   if (!StartsEntry(entry) || eq == std::string::npos) {
      return false;
   }
   *oid = entry.substr(0, eq);
   std::string rhs = entry.substr(eq + 3);
   size_t colon = rhs.find(": ");
   if (colon != std::string::npos && rhs.substr(0, colon).find(' ') == std::string::npos &&
       rhs[0] != '"') {
      *type = rhs.substr(0, colon);
      *value = rhs.substr(colon + 2);
   } else {
      type->clear();
      *value = rhs;
   }
   return true;
}

// ---------------------------------------------------------------- SnmpAgentFixture

SnmpAgentFixture::~SnmpAgentFixture() {
   stop();
   if (!m_workDir.empty()) {
      std::error_code ignored;
      fs::remove_all(m_workDir, ignored);
   }
}

void SnmpAgentFixture::stop() {
   m_process.stop();
}

bool SnmpAgentFixture::prepareWorkDir(const char *prefix) {
   std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
   std::vector<char> buffer(pattern.begin(), pattern.end());
   buffer.push_back(0);
   if (mkdtemp(buffer.data()) == nullptr) {
      m_error = "cannot create a work folder under /tmp";
      return false;
   }
   m_workDir = buffer.data();
   // The simulator drops to an unprivileged user that must read its data.
   chmod(m_workDir.c_str(), 0755);
   fs::create_directories(m_workDir + "/conf");
   fs::create_directories(m_workDir + "/persist");
   // An empty MIB folder: the peers load no MIB files.
   fs::create_directories(m_workDir + "/no-mibs");
   return true;
}

std::vector<std::string> SnmpAgentFixture::environment() const {
   // Keep the user's and the system's configuration out of the tests; snmpd
   // finds its saved engine state (engine id, boots) on this path.
   return {"SNMPCONFPATH=" + m_workDir + "/conf:" + m_workDir + "/agent-state",
           "SNMP_PERSISTENT_DIR=" + m_workDir + "/persist", "MIBS=", "MIBDIRS=/dev/null"};
}

std::string SnmpAgentFixture::logTail() const {
   std::ifstream in(m_workDir + "/agent.log", std::ios::binary);
   std::stringstream text;
   text << in.rdbuf();
   std::string all = text.str();
   return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

bool SnmpAgentFixture::launch(const std::vector<std::string> &programNames, int readyTimeoutMs,
                              uint16_t fixedPort) {
   std::string program = FindSnmpProgram(programNames);
   if (program.empty()) {
      m_error = "the agent program (" + programNames[0] + ") is not installed";
      return false;
   }
   if (FindSnmpProgram({"snmpgetnext"}).empty()) {
      m_error = "the net-snmp clients (snmpgetnext) are not installed";
      return false;
   }
   for (int attempt = 0; attempt < 3; attempt++) {
      m_port = fixedPort != 0 ? fixedPort : FreeUdpPort();
      if (m_port == 0) {
         m_error = "no free UDP port on 127.0.0.1";
         return false;
      }
      if (!m_process.start(makeArgv(program, m_port), environment(), m_workDir + "/agent.log",
                           &m_error)) {
         return false;
      }
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readyTimeoutMs);
      while (std::chrono::steady_clock::now() < deadline) {
         SnmpCommandResult probe =
             runClient("snmpgetnext", SnmpToolVersion::V2C, {"-t", "0.3", "-r", "0"}, {".1"});
         for (const std::string &line : probe.lines) {
            if (StartsEntry(line)) {
               m_error.clear();
               return true;
            }
         }
         // Paces the probes, and notices an agent that gave up (port taken).
         if (m_process.waitExit(100)) {
            break;
         }
      }
      bool exited = !m_process.running();
      m_process.stop();
      m_error = std::string(exited ? "the agent exited" : "the agent did not answer in time") +
                " on port " + std::to_string(m_port) + "; its log ends with:\n" + logTail();
      if (!exited || fixedPort != 0) {
         return false;  // a slow agent will not get faster on another port
      }
   }
   return false;
}

SnmpCommandResult SnmpAgentFixture::runClient(const std::string &program, SnmpToolVersion version,
                                              const std::vector<std::string> &options,
                                              const std::vector<std::string> &oids,
                                              const std::string &community) {
   std::string path = FindSnmpProgram({program});
   if (path.empty()) {
      SnmpCommandResult missing;
      missing.errorText = program + " is not installed";
      return missing;
   }
   std::vector<std::string> argv = {path, "-On", "-M", m_workDir + "/no-mibs", "-m", ""};
   if (version == SnmpToolVersion::V3) {
      argv.insert(argv.end(), {"-v", "3"});
   } else {
      argv.insert(argv.end(), {"-v", version == SnmpToolVersion::V1 ? "1" : "2c", "-c",
                               community.empty() ? m_community : community});
   }
   argv.insert(argv.end(), options.begin(), options.end());
   argv.push_back(endpoint());
   argv.insert(argv.end(), oids.begin(), oids.end());
   return RunSnmpCommand(argv, environment(), 120000);
}

std::vector<std::string> SnmpAgentFixture::snmpGet(const std::vector<std::string> &oids,
                                                   SnmpToolVersion version,
                                                   const std::vector<std::string> &options,
                                                   const std::string &community) {
   return JoinEntries(runClient("snmpget", version, options, oids, community).lines);
}

std::vector<std::string> SnmpAgentFixture::snmpWalk(const std::string &oid, SnmpToolVersion version,
                                                    const std::vector<std::string> &options,
                                                    const std::string &community) {
   return JoinEntries(runClient("snmpwalk", version, options, {oid}, community).lines);
}

std::vector<std::string> SnmpAgentFixture::snmpBulkWalk(const std::string &oid,
                                                        const std::vector<std::string> &options,
                                                        const std::string &community) {
   return JoinEntries(
       runClient("snmpbulkwalk", SnmpToolVersion::V2C, options, {oid}, community).lines);
}

// ---------------------------------------------------------------- SnmpdFixture

SnmpdFixture::~SnmpdFixture() {
   stop();
}

bool SnmpdFixture::start(const std::string &community,
                         const std::vector<std::string> &extraConfig) {
   stop();
   if (m_workDir.empty() && !prepareWorkDir("hk-snmpd")) {
      return false;
   }
   m_community = community;
   std::ofstream conf(m_workDir + "/snmpd.conf", std::ios::trunc);
   conf << "rocommunity " << community << " 127.0.0.1\n";
   for (const std::string &line : extraConfig) {
      conf << line << "\n";
   }
   conf.close();
   return launch({"snmpd"}, 15000);
}

bool SnmpdFixture::restart() {
   stop();
   return launch({"snmpd"}, 15000, m_port);
}

std::vector<std::string> SnmpdFixture::makeArgv(const std::string &program, uint16_t port) {
   // No -C: the default configuration path is SNMPCONFPATH (environment()),
   // which holds only the test's folders, and snmpd reads its saved engine
   // state from there.
   return {program,
           "-f",
           "-Lo",
           "-c",
           m_workDir + "/snmpd.conf",
           "-M",
           m_workDir + "/no-mibs",
           "-m",
           "",
           "-I",
           "-smux",
           "--persistentDir=" + m_workDir + "/agent-state",
           "udp:127.0.0.1:" + std::to_string(port)};
}

// ---------------------------------------------------------------- SnmpSimFixture

SnmpSimFixture::~SnmpSimFixture() {
   stop();
}

bool SnmpSimFixture::start(const std::vector<std::string> &recordingPaths,
                           const std::vector<std::string> &extraArgs) {
   stop();
   m_extraArgs = extraArgs;
   if (recordingPaths.empty()) {
      m_error = "no recording given";
      return false;
   }
   if (m_workDir.empty() && !prepareWorkDir("hk-snmpsim")) {
      return false;
   }
   std::error_code ec;
   fs::create_directories(m_workDir + "/data", ec);
   fs::create_directories(m_workDir + "/cache", ec);
   fs::permissions(m_workDir + "/cache", fs::perms::all, ec);
   for (const std::string &path : recordingPaths) {
      fs::path target = fs::path(m_workDir) / "data" / fs::path(path).filename();
      if (!fs::copy_file(path, target, fs::copy_options::overwrite_existing, ec)) {
         m_error = "cannot copy the recording " + path + ": " + ec.message();
         return false;
      }
      fs::permissions(target,
                      fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                          fs::perms::others_read,
                      ec);
   }
   m_community = fs::path(recordingPaths[0]).stem().string();
   return launch({"snmpsimd", "snmpsimd.py"}, 60000);
}

std::vector<std::string> SnmpSimFixture::makeArgv(const std::string &program, uint16_t port) {
   std::vector<std::string> argv = {program, "--data-dir=" + m_workDir + "/data",
                                    "--cache-dir=" + m_workDir + "/cache",
                                    "--agent-udpv4-endpoint=127.0.0.1:" + std::to_string(port)};
   argv.insert(argv.end(), m_extraArgs.begin(), m_extraArgs.end());
   if (geteuid() == 0) {
      // The simulator refuses to keep root privileges.
      argv.push_back("--process-user=nobody");
      argv.push_back("--process-group=nogroup");
   }
   return argv;
}

}  // namespace hktest
