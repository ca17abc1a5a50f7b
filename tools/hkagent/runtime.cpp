#include "runtime.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "agent_codes.h"
#include "hk_platform.h"
#include "fd_util.h"
#include "log.h"

namespace hkagent {

AgentRuntime::AgentRuntime(std::string configPath, std::vector<SettingOverride> overrides)
    : m_configPath(std::move(configPath)),
      m_overrides(std::move(overrides)),
      m_startMs(GetMonotonicMs()),
      m_config(std::make_shared<AgentConfig>()) {}

bool AgentRuntime::build(const std::string &text, AgentConfig *config,
                         std::vector<ConfigDiagnostic> *diagnostics) const {
   bool fileOk = ParseConfig(text, config, diagnostics);
   bool overridesOk = true;
   for (const SettingOverride &o : m_overrides) {
      std::string error;
      bool unknownKey;
      if (!ApplySetting(config, o.section, o.key, o.value, &error, &unknownKey)) {
         diagnostics->push_back({0, true, error});
         overridesOk = false;
      }
   }
   (void)fileOk;
   return overridesOk;
}

bool AgentRuntime::load(std::vector<ConfigDiagnostic> *diagnostics) {
   std::string text;
   if (!m_configPath.empty() && !ReadFileLimited(m_configPath, kMaxConfigSize, &text)) {
      HKLOG_ERROR("cannot read configuration file %s", m_configPath.c_str());
      return false;
   }
   AgentConfig config;
   if (!build(text, &config, diagnostics))
      return false;
   setConfig(config);
   return true;
}

std::shared_ptr<const AgentConfig> AgentRuntime::config() const {
   std::lock_guard<std::mutex> guard(m_lock);
   return m_config;
}

void AgentRuntime::setConfig(const AgentConfig &config) {
   auto snapshot = std::make_shared<const AgentConfig>(config);
   LogLevel level;
   if (ParseLogLevel(config.logLevel.c_str(), &level))
      SetLogLevel(level);
   std::lock_guard<std::mutex> guard(m_lock);
   m_config = std::move(snapshot);
}

uint32_t AgentRuntime::readConfigFile(std::string *content) const {
   content->clear();
   if (m_configPath.empty() || !ReadFileLimited(m_configPath, kMaxConfigSize, content))
      return ERR_FILE_OPEN_ERROR;
   return ERR_SUCCESS;
}

uint32_t AgentRuntime::replaceConfigFile(const std::string &content,
                                         std::vector<std::string> *refusedKeys) {
   refusedKeys->clear();
   if (m_configPath.empty())
      return ERR_FILE_OPEN_ERROR;
   if (content.size() > kMaxConfigSize)
      return ERR_BAD_ARGUMENTS;
   AgentConfig config;
   std::vector<ConfigDiagnostic> diagnostics;
   ConfigSettings newSettings;
   bool ok = ParseConfig(content, &config, &diagnostics, &newSettings);
   for (const ConfigDiagnostic &d : diagnostics) {
      if (d.error)
         HKLOG_WARN("new configuration, line %d: %s", d.line, EscapeForLog(d.message).c_str());
   }
   if (!ok)
      return ERR_BAD_ARGUMENTS;
   diagnostics.clear();
   if (!build(content, &config, &diagnostics))
      return ERR_BAD_ARGUMENTS;

   std::lock_guard<std::mutex> fileGuard(m_fileLock);
   // Compared with the file on disk, not the running state: the command
   // line's settings are no part of the file, and the file is what the next
   // start reads.
   std::string current;
   if (!ReadFileLimited(m_configPath, kMaxConfigSize, &current))
      return ERR_FILE_OPEN_ERROR;
   AgentConfig ignored;
   std::vector<ConfigDiagnostic> ignoredDiagnostics;
   ConfigSettings oldSettings;
   ParseConfig(current, &ignored, &ignoredDiagnostics, &oldSettings);
   *refusedKeys = LocalOnlyChanges(oldSettings, newSettings);
   if (!refusedKeys->empty())
      return ERR_ACCESS_DENIED;

   // The temporary file sits in the same directory so that the rename is
   // atomic: a reader sees the old file or the new one, never a part.
   std::string dir = m_configPath;
   size_t slash = dir.rfind('/');
   dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
   std::string tmpl = m_configPath + ".XXXXXX";
   std::vector<char> name(tmpl.begin(), tmpl.end());
   name.push_back('\0');
   UniqueFd fd(mkostemp(name.data(), O_CLOEXEC));
   if (!fd.valid()) {
      HKLOG_ERROR("cannot create a temporary file in %s: %s", dir.c_str(), strerror(errno));
      return ERR_IO_FAILURE;
   }
   struct stat old;
   mode_t mode = (stat(m_configPath.c_str(), &old) == 0) ? (old.st_mode & 07777) : 0600;
   bool written = WriteAll(fd.get(), content.data(), content.size()) &&
                  fchmod(fd.get(), mode) == 0 && fsync(fd.get()) == 0;
   fd.reset();
   if (!written || rename(name.data(), m_configPath.c_str()) != 0) {
      HKLOG_ERROR("cannot replace %s: %s", m_configPath.c_str(), strerror(errno));
      unlink(name.data());
      return ERR_IO_FAILURE;
   }
   UniqueFd dirFd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
   if (dirFd.valid())
      fsync(dirFd.get());

   // Re-read what is now on disk, so the running state is the file's.
   std::vector<ConfigDiagnostic> reread;
   if (!load(&reread))
      return ERR_IO_FAILURE;
   HKLOG_INFO("configuration file %s replaced (%zu bytes)", m_configPath.c_str(), content.size());
   sendTrap(TRAP_CONFIG_REPLACED, "configuration file replaced");
   return ERR_SUCCESS;
}

void AgentRuntime::sendTrap(uint32_t code, const std::string &text) const {
   if (m_trapSink != nullptr)
      m_trapSink->sendTrap(code, text);
}

void AgentRuntime::setListenEndpoint(const ListenEndpoint &endpoint) {
   std::lock_guard<std::mutex> guard(m_lock);
   m_listen = endpoint;
}

ListenEndpoint AgentRuntime::listenEndpoint() const {
   std::lock_guard<std::mutex> guard(m_lock);
   return m_listen;
}

uint64_t AgentRuntime::uptimeSeconds() const {
   return (GetMonotonicMs() - m_startMs) / 1000;
}

}  // namespace hkagent
