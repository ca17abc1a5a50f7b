// What every session of one agent shares: the configuration (read from the
// file, with the command-line settings on top), the start time, and where
// traps go. Thread safe: the configuration is an immutable snapshot,
// swapped whole under m_lock when the file is replaced.
#ifndef HKAGENT_RUNTIME_H
#define HKAGENT_RUNTIME_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "auth_throttle.h"
#include "config.h"
#include "file_store.h"
#include "hkcp_tls.h"
#include "target_list.h"

namespace hkagent {

struct SettingOverride {
   std::string section;
   std::string key;
   std::string value;
};

// Receives the agent's traps and sends them to the sessions that enabled
// them. Implemented by the server; tests install their own.
class TrapSink {
public:
   virtual ~TrapSink() = default;
   virtual void sendTrap(uint32_t code, const std::string &text) = 0;
};

class AgentRuntime {
public:
   // configPath may be empty (no file: only defaults and overrides).
   AgentRuntime(std::string configPath, std::vector<SettingOverride> overrides);
   AgentRuntime(const AgentRuntime &) = delete;
   AgentRuntime &operator=(const AgentRuntime &) = delete;

   // Reads the file and applies the overrides. False when the file cannot be
   // read or an override is bad; parse diagnostics of the file are logged,
   // and an erroneous file line does not fail the load.
   bool load(std::vector<ConfigDiagnostic> *diagnostics);

   std::shared_ptr<const AgentConfig> config() const;
   // Replaces the snapshot directly (tests and fuzzers).
   void setConfig(const AgentConfig &config);
   const std::string &configPath() const { return m_configPath; }

   // The file's bytes: ERR_SUCCESS, or ERR_FILE_OPEN_ERROR when there is no
   // file or it cannot be read.
   uint32_t readConfigFile(std::string *content) const;
   // Checks the new text, writes it to a temporary file beside the old one,
   // renames it over the old one and makes it the running configuration.
   // ERR_BAD_ARGUMENTS when the text has errors, ERR_ACCESS_DENIED when it
   // changes settings that only the local file may change (named in
   // *refusedKeys), ERR_FILE_OPEN_ERROR without a file, ERR_IO_FAILURE when
   // writing fails. The file stays as it was on every failure.
   uint32_t replaceConfigFile(const std::string &content, std::vector<std::string> *refusedKeys);

   void setTrapSink(TrapSink *sink) { m_trapSink = sink; }
   // The agent's TLS key (IdentityKey); set before sessions start. Null:
   // CMD_START_TLS is refused.
   void setIdentity(std::shared_ptr<HKCPTlsIdentity> identity) { m_identity = std::move(identity); }
   const std::shared_ptr<HKCPTlsIdentity> &identity() const { return m_identity; }
   void sendTrap(uint32_t code, const std::string &text) const;

   // Seconds since the agent started.
   uint64_t uptimeSeconds() const;

   // Where the server listens, set once it does (the port may have been 0).
   void setListenEndpoint(const ListenEndpoint &endpoint);
   ListenEndpoint listenEndpoint() const;

   AuthThrottle &authThrottle() { return m_authThrottle; }
   StoreQuota &storeQuota() { return m_storeQuota; }

private:
   bool build(const std::string &text, AgentConfig *config,
              std::vector<ConfigDiagnostic> *diagnostics) const;

   const std::string m_configPath;
   const std::vector<SettingOverride> m_overrides;
   const uint64_t m_startMs;
   TrapSink *m_trapSink = nullptr;               // set before sessions start
   std::shared_ptr<HKCPTlsIdentity> m_identity;  // set before sessions start

   mutable std::mutex m_lock;                    // guards m_config and m_listen
   std::shared_ptr<const AgentConfig> m_config;  // never null
   ListenEndpoint m_listen;
   AuthThrottle m_authThrottle;
   StoreQuota m_storeQuota;
   std::mutex m_fileLock;  // one file replacement at a time
};

}  // namespace hkagent

#endif
