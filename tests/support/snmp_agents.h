// Real SNMP agents for tests: net-snmp's snmpd serving this host's MIBs, and
// snmpsimd serving recordings (.snmprec). Each runs on a free loopback UDP
// port in its own temporary folder, is ready when start() returns true, and
// is stopped by stop() or the destructor. The reference clients snmpget and
// snmpwalk run against it with numeric output (-On).
//
// A missing program makes start() fail with a message: tests assert on it,
// so a machine without the agents fails instead of skipping.
//
// Not thread-safe: one test thread drives one agent.
#ifndef HKTEST_SNMP_AGENTS_H
#define HKTEST_SNMP_AGENTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "snmp_process.h"

namespace hktest {

// Versions as the clients' -v option spells them.
enum class SnmpToolVersion { V1, V2C, V3 };

class SnmpAgentFixture {
public:
   SnmpAgentFixture(const SnmpAgentFixture &) = delete;
   SnmpAgentFixture &operator=(const SnmpAgentFixture &) = delete;
   virtual ~SnmpAgentFixture();

   void stop();
   bool running() { return m_process.running(); }

   uint16_t port() const { return m_port; }
   uint32_t ipAddr() const { return 0x7F000001; }  // 127.0.0.1, host byte order
   std::string endpoint() const { return "127.0.0.1:" + std::to_string(m_port); }
   // The community start() was given (snmpd) or the first recording's name.
   const std::string &community() const { return m_community; }
   // Why start() failed, with the end of the agent's log when there is one.
   const std::string &lastError() const { return m_error; }
   const std::string &workDir() const { return m_workDir; }

   // With SnmpToolVersion::V3 no community is passed: the options carry the
   // user (-u -l -a -A -x -X -n).
   // snmpget -On [options] of the OIDs; one entry per variable ("OID = TYPE:
   // value"), continuation lines of long values joined to their entry. An
   // empty community means community().
   std::vector<std::string> snmpGet(const std::vector<std::string> &oids,
                                    SnmpToolVersion version = SnmpToolVersion::V2C,
                                    const std::vector<std::string> &options = {},
                                    const std::string &community = "");
   // snmpwalk -On [options] of the subtree, entries as snmpGet gives them.
   std::vector<std::string> snmpWalk(const std::string &oid,
                                     SnmpToolVersion version = SnmpToolVersion::V2C,
                                     const std::vector<std::string> &options = {},
                                     const std::string &community = "");
   // snmpbulkwalk -On [options] of the subtree, entries as snmpGet gives them.
   std::vector<std::string> snmpBulkWalk(const std::string &oid,
                                         const std::vector<std::string> &options = {},
                                         const std::string &community = "");
   // Runs the named client (snmpget, snmpgetnext, snmpwalk, snmpbulkwalk)
   // with -On and the arguments, against this agent.
   SnmpCommandResult runClient(const std::string &program, SnmpToolVersion version,
                               const std::vector<std::string> &options,
                               const std::vector<std::string> &oids,
                               const std::string &community = "");

protected:
   SnmpAgentFixture() = default;
   // Creates the work folder; false with m_error set on failure.
   bool prepareWorkDir(const char *prefix);
   // Starts the agent built by makeArgv for a free port and waits, bounded,
   // until it answers; a few ports are tried when the agent cannot bind.
   // fixedPort, when not 0, is the only port tried.
   bool launch(const std::vector<std::string> &programNames, int readyTimeoutMs,
               uint16_t fixedPort = 0);
   virtual std::vector<std::string> makeArgv(const std::string &program, uint16_t port) = 0;
   std::vector<std::string> environment() const;
   std::string logTail() const;

   std::string m_workDir;
   std::string m_community;
   std::string m_error;
   uint16_t m_port = 0;
   SnmpChildProcess m_process;
};

// net-snmp's agent with only this configuration:
//   rocommunity <community> 127.0.0.1
// plus extraConfig lines (createUser and rouser for SNMPv3); it loads no MIB
// files, binds no SMUX port and keeps its engine state (engine id, boots) in
// the work folder.
class SnmpdFixture : public SnmpAgentFixture {
public:
   SnmpdFixture() = default;
   ~SnmpdFixture() override;
   bool start(const std::string &community = "public",
              const std::vector<std::string> &extraConfig = {});
   // Stops the agent and starts it again on the same port with the same
   // state folder, as a rebooted device: its engine boots count goes up.
   bool restart();

protected:
   std::vector<std::string> makeArgv(const std::string &program, uint16_t port) override;
};

// The simulator serving copies of the given recordings; the community of
// each is its file name without ".snmprec". Indexing takes some seconds:
// start() waits for the first recording's community to answer.
class SnmpSimFixture : public SnmpAgentFixture {
public:
   SnmpSimFixture() = default;
   ~SnmpSimFixture() override;
   // extraArgs go on the command line (the --v3-* options of a v3 user).
   bool start(const std::vector<std::string> &recordingPaths,
              const std::vector<std::string> &extraArgs = {});

protected:
   std::vector<std::string> makeArgv(const std::string &program, uint16_t port) override;

private:
   std::vector<std::string> m_extraArgs;
};

// Splits "OID = TYPE: value" into its parts; a right-hand side without a
// type ("" or an exception text) gives an empty type. False when the line
// does not start with an OID.
bool ParseSnmpToolEntry(const std::string &entry, std::string *oid, std::string *type,
                        std::string *value);

}  // namespace hktest

#endif
