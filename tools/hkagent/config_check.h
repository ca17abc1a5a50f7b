// What a configuration must hold before the agent is run as a service,
// beyond what the parser checks line by line: a secret, folders that exist,
// actions whose programs can be started. Used by --check-config, which a
// service manager runs before it starts the agent.
#ifndef HKAGENT_CONFIG_CHECK_H
#define HKAGENT_CONFIG_CHECK_H

#include <string>
#include <vector>

#include "config.h"

namespace hkagent {

// One text per problem found; empty when the configuration is fit to serve.
// Looks at the file system as the calling user sees it.
std::vector<std::string> FindConfigProblems(const AgentConfig &config);

}  // namespace hkagent

#endif
