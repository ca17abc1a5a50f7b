#include "config_check.h"

#include <sys/stat.h>
#include <unistd.h>

namespace hkagent {

namespace {

bool IsDirectory(const std::string &path) {
   struct stat st;
   return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsExecutableFile(const std::string &path) {
   struct stat st;
   return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::vector<std::string> FindConfigProblems(const AgentConfig &config) {
   std::vector<std::string> problems;
   // An agent without a secret runs its actions for anyone who connects;
   // it starts so only when told in so many words.
   if (config.secret.empty() && !config.allowNoAuthentication)
      problems.push_back(
          "no Secret set: every client could query the agent and run its actions "
          "(AllowNoAuthentication = yes allows that)");
   if (!config.secret.empty() && config.secret.size() < kMinSecretLength &&
       !config.allowShortSecret)
      problems.push_back("Secret shorter than " + std::to_string(kMinSecretLength) +
                         " characters: too easy to guess (AllowShortSecret = yes allows it)");
   // Encryption required but no server key trusted: no server could connect.
   if (config.requireEncryption && config.trustedServerKeys.empty() && !config.acceptAnyServerKey)
      problems.push_back(
          "RequireEncryption is set but no server key is trusted "
          "(TrustedServerKeys)");
   if (!config.fileStore.empty() && !IsDirectory(config.fileStore))
      problems.push_back("FileStore " + config.fileStore + " is not a directory");
   if (!config.policyDir.empty() && !IsDirectory(config.policyDir))
      problems.push_back("PolicyDir " + config.policyDir + " is not a directory");
   for (const auto &[name, action] : config.actions) {
      if (!IsExecutableFile(action.argv[0]))
         problems.push_back("action " + name + ": " + action.argv[0] +
                            " is not an executable file");
   }
   return problems;
}

}  // namespace hkagent
