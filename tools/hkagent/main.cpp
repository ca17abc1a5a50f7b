// hkagent: a monitoring agent speaking HKCP. Runs in the foreground and logs
// to standard error; SIGTERM or SIGINT stop it cleanly.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config_check.h"
#include "fd_util.h"
#include "identity.h"
#include "log.h"
#include "runtime.h"
#include "server.h"

using namespace hkagent;

namespace {

const char kUsage[] =
    "usage: hkagent [options]\n"
    "  --config FILE            read settings from FILE (INI: [agent], [actions])\n"
    "  --check-config FILE      check FILE (and the other options) and exit: 0 when\n"
    "                           the agent could serve with it, 1 with the problems\n"
    "  --listen ADDRESS         IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N                 TCP port (default 4700; 0 picks a free one)\n"
    "  --port-file FILE         write the port listened on to FILE\n"
    "  --secret TEXT            shared secret clients must prove\n"
    "  --allow-no-authentication  serve without a secret (anyone who connects)\n"
    "  --allow-short-secret     start with a secret under 16 characters\n"
    "  --allow-legacy           also serve sessions outside TLS (old servers)\n"
    "  --allow-config-update    accept configuration files sent by clients\n"
    "  --auth-timeout MS        time to finish the handshake (default 10000)\n"
    "  --require-encryption     refuse requests on unencrypted sessions\n"
    "  --trusted-server-keys PATH  file or folder of server keys (PEM) or\n"
    "                           SHA-256 fingerprints to serve key exchanges for\n"
    "  --accept-any-server-key  serve key exchanges for any key (labs, tests)\n"
    "  --identity-key FILE      the agent's TLS key (made when missing)\n"
    "  --show-key               print the fingerprint of the TLS key and exit\n"
    "  --max-sessions N         most clients served at once (default 1024)\n"
    "  --max-sessions-per-address N  (default 32)\n"
    "  --max-unauthenticated N  sessions not yet authenticated (default 128)\n"
    "  --max-unauthenticated-per-address N  (default 8)\n"
    "  --max-auth-failures-total N  failed proofs of all addresses within the\n"
    "                           block time (default 100)\n"
    "  --idle-timeout MS        drop a client silent for MS (default 900000)\n"
    "  --send-timeout MS        end a session whose client takes no frame for MS\n"
    "                           (default 30000)\n"
    "  --file-store DIR         directory for file upload and download\n"
    "  --policy-dir DIR         directory of installed policies\n"
    "  --max-upload-size BYTES  largest file accepted (default 64 MiB)\n"
    "  --file-store-quota BYTES all files of the store (default 1 GiB)\n"
    "  --file-store-max-files N (default 10000)\n"
    "  --action NAME=COMMAND    define an action (repeatable)\n"
    "  --action-timeout MS      time limit of an action (default 10000)\n"
    "  --service-check-timeout MS\n"
    "  --snmp-timeout MS        per attempt (default 1000)\n"
    "  --snmp-retries N         (default 1)\n"
    "  --enable-proxy           serve proxy connections\n"
    "  --proxy-targets LIST     where they may go: ADDRESS[/PREFIX][:PORT[-PORT]],...\n"
    "  --enable-snmp-proxy      forward SNMP requests\n"
    "  --snmp-proxy-targets LIST\n"
    "  --disable-service-check  refuse network service checks\n"
    "  --service-check-targets LIST\n"
    "  --push-interval SEC      periodic data push (0: off)\n"
    "  --push-parameters LIST   parameters of a data push, comma-separated\n"
    "  --log-level LEVEL        error, warning, info or debug\n"
    "  --foreground             run in the foreground (the default and only mode)\n"
    "  --version, --help\n";

struct FlagInfo {
   const char *flag;
   const char *key;         // [agent] key, or null for special handling
   const char *fixedValue;  // for switches without an argument
};

const FlagInfo kFlags[] = {
    {"--listen", "ListenAddress", nullptr},
    {"--port", "Port", nullptr},
    {"--secret", "Secret", nullptr},
    {"--allow-no-authentication", "AllowNoAuthentication", "yes"},
    {"--allow-config-update", "AllowConfigUpdate", "yes"},
    {"--auth-timeout", "AuthTimeout", nullptr},
    {"--max-sessions-per-address", "MaxSessionsPerAddress", nullptr},
    {"--allow-short-secret", "AllowShortSecret", "yes"},
    {"--allow-legacy", "AllowLegacy", "yes"},
    {"--max-unauthenticated", "MaxUnauthenticatedSessions", nullptr},
    {"--max-unauthenticated-per-address", "MaxUnauthenticatedPerAddress", nullptr},
    {"--max-auth-failures-total", "MaxAuthFailuresTotal", nullptr},
    {"--file-store-quota", "FileStoreQuota", nullptr},
    {"--file-store-max-files", "FileStoreMaxFiles", nullptr},
    {"--proxy-targets", "ProxyTargets", nullptr},
    {"--snmp-proxy-targets", "SnmpProxyTargets", nullptr},
    {"--service-check-targets", "ServiceCheckTargets", nullptr},
    {"--require-encryption", "RequireEncryption", "yes"},
    {"--trusted-server-keys", "TrustedServerKeys", nullptr},
    {"--accept-any-server-key", "AcceptAnyServerKey", "yes"},
    {"--identity-key", "IdentityKey", nullptr},
    {"--max-sessions", "MaxSessions", nullptr},
    {"--idle-timeout", "IdleTimeout", nullptr},
    {"--send-timeout", "SendTimeout", nullptr},
    {"--file-store", "FileStore", nullptr},
    {"--policy-dir", "PolicyDir", nullptr},
    {"--max-upload-size", "MaxUploadSize", nullptr},
    {"--action-timeout", "ActionTimeout", nullptr},
    {"--service-check-timeout", "ServiceCheckTimeout", nullptr},
    {"--snmp-timeout", "SnmpTimeout", nullptr},
    {"--snmp-retries", "SnmpRetries", nullptr},
    {"--enable-proxy", "EnableProxy", "yes"},
    {"--enable-snmp-proxy", "EnableSnmpProxy", "yes"},
    {"--disable-service-check", "EnableServiceCheck", "no"},
    {"--push-interval", "PushInterval", nullptr},
    {"--push-parameters", "PushParameters", nullptr},
    {"--log-level", "LogLevel", nullptr},
};

// Written whole under a temporary name and renamed, so a reader never sees
// a partial port number.
bool WritePortFile(const std::string &path, uint16_t port) {
   std::string temp = path + ".tmp";
   FILE *f = fopen(temp.c_str(), "w");
   if (f == nullptr)
      return false;
   bool ok = fprintf(f, "%u\n", port) > 0;
   ok = (fclose(f) == 0) && ok;
   return ok && rename(temp.c_str(), path.c_str()) == 0;
}

void ReportDiagnostics(const std::string &configPath,
                       const std::vector<ConfigDiagnostic> &diagnostics) {
   for (const ConfigDiagnostic &d : diagnostics) {
      if (d.line > 0)
         Log(d.error ? LogLevel::Error : LogLevel::Warning, "%s, line %d: %s", configPath.c_str(),
             d.line, d.message.c_str());
      else
         HKLOG_ERROR("command line: %s", d.message.c_str());
   }
}

// --check-config: everything a start would read, and what a service needs
// on top, without binding a port. Warnings alone leave the file fit.
int CheckConfiguration(const std::string &configPath, std::vector<SettingOverride> overrides) {
   AgentRuntime runtime(configPath, std::move(overrides));
   std::vector<ConfigDiagnostic> diagnostics;
   bool loaded = runtime.load(&diagnostics);
   ReportDiagnostics(configPath, diagnostics);
   bool fit = loaded;
   for (const ConfigDiagnostic &d : diagnostics)
      fit = fit && !d.error;
   if (loaded) {
      for (const std::string &problem : FindConfigProblems(*runtime.config())) {
         HKLOG_ERROR("%s: %s", configPath.c_str(), problem.c_str());
         fit = false;
      }
   }
   if (!fit)
      return 1;
   printf("%s: configuration OK\n", configPath.c_str());
   return 0;
}

void RaiseFileLimit() {
   struct rlimit limit;
   if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
      limit.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_NOFILE, &limit);
   }
}

}  // namespace

int main(int argc, char **argv) {
   std::string configPath, portFile;
   bool checkOnly = false, showKey = false;
   std::vector<SettingOverride> overrides;
   for (int i = 1; i < argc; i++) {
      std::string arg = argv[i];
      std::string value;
      bool inlineValue = false;
      size_t eq = arg.find('=');
      if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
         value = arg.substr(eq + 1);
         arg = arg.substr(0, eq);
         inlineValue = true;
      }
      auto takeValue = [&]() -> bool {
         if (inlineValue)
            return true;
         if (i + 1 >= argc) {
            fprintf(stderr, "hkagent: %s needs a value\n", arg.c_str());
            return false;
         }
         value = argv[++i];
         return true;
      };
      if (arg == "--help" || arg == "-h") {
         fputs(kUsage, stdout);
         return 0;
      }
      if (arg == "--version") {
         printf("hkagent %s\n", HKAGENT_VERSION);
         return 0;
      }
      if (arg == "--foreground")
         continue;
      if (arg == "--show-key") {
         showKey = true;
         continue;
      }
      if (arg == "--config" || arg == "--check-config" || arg == "--port-file" ||
          arg == "--action") {
         if (!takeValue())
            return 2;
         if (arg == "--config" || arg == "--check-config") {
            configPath = value;
            checkOnly = checkOnly || arg == "--check-config";
         } else if (arg == "--port-file") {
            portFile = value;
         } else {
            size_t sep = value.find('=');
            if (sep == std::string::npos) {
               fprintf(stderr, "hkagent: --action takes NAME=COMMAND\n");
               return 2;
            }
            overrides.push_back({"actions", value.substr(0, sep), value.substr(sep + 1)});
         }
         continue;
      }
      const FlagInfo *flag = nullptr;
      for (const FlagInfo &f : kFlags) {
         if (arg == f.flag)
            flag = &f;
      }
      if (flag == nullptr) {
         fprintf(stderr, "hkagent: unknown option %s\n%s", arg.c_str(), kUsage);
         return 2;
      }
      if (flag->fixedValue != nullptr) {
         value = inlineValue ? value : flag->fixedValue;
      } else if (!takeValue()) {
         return 2;
      }
      overrides.push_back({"agent", flag->key, value});
   }
   if (checkOnly)
      return CheckConfiguration(configPath, std::move(overrides));

   // Signals are taken by one thread with sigwait; every other thread
   // (sessions, spawned actions reset theirs) has them blocked.
   sigset_t stopSignals;
   sigemptyset(&stopSignals);
   sigaddset(&stopSignals, SIGTERM);
   sigaddset(&stopSignals, SIGINT);
   pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
   signal(SIGPIPE, SIG_IGN);
   RaiseFileLimit();

   AgentRuntime runtime(configPath, overrides);
   std::vector<ConfigDiagnostic> diagnostics;
   bool loaded = runtime.load(&diagnostics);
   ReportDiagnostics(configPath, diagnostics);
   if (!loaded)
      return 1;
   std::string identityPath = runtime.config()->identityKey;
   if (!identityPath.empty()) {
      std::string identityError;
      std::shared_ptr<HKCPTlsIdentity> identity =
          LoadOrCreateIdentity(identityPath, &identityError);
      if (!identity) {
         HKLOG_ERROR("identity key: %s", identityError.c_str());
         return 1;
      }
      runtime.setIdentity(identity);
   }
   if (showKey) {
      if (!runtime.identity()) {
         fprintf(stderr, "hkagent: no IdentityKey is set\n");
         return 1;
      }
      printf("%s\n", runtime.identity()->fingerprintText().c_str());
      return 0;
   }

   Server server(runtime);
   std::string error;
   if (!server.start(&error)) {
      HKLOG_ERROR("%s", error.c_str());
      return 1;
   }
   // The port file is in place before the line appears, so a reader of
   // either finds both.
   if (!portFile.empty() && !WritePortFile(portFile, server.port())) {
      HKLOG_ERROR("cannot write %s: %s", portFile.c_str(), strerror(errno));
      return 1;
   }
   std::shared_ptr<const AgentConfig> config = runtime.config();
   fprintf(stderr, "listening on %s:%u\n", config->listenAddress.c_str(), server.port());
   fflush(stderr);

   std::thread signalThread([&server, stopSignals] {
      int signalNumber = 0;
      sigwait(&stopSignals, &signalNumber);
      if (signalNumber != 0)
         HKLOG_INFO("signal %d: stopping", signalNumber);
      server.stop();
   });
   server.run();
   // Wake the signal thread if the server ended on its own.
   pthread_kill(signalThread.native_handle(), SIGTERM);
   signalThread.join();
   HKLOG_INFO("stopped");
   return 0;
}
