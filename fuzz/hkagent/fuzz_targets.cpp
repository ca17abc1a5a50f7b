#include "fuzz_targets.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "agent_codes.h"
#include "dispatcher.h"
#include "hesker.h"
#include "log.h"

using namespace hkagent;

namespace {

void Check(bool condition) {
   if (!condition)
      __builtin_trap();
}

// A file store and a policy directory that live as long as the process.
struct FuzzWorld {
   std::string store;
   std::string policies;
   AgentRuntime *runtime = nullptr;

   FuzzWorld() {
      SetLogLevel(LogLevel::Error);
      char base[] = "/tmp/hkagent-fuzz-XXXXXX";
      if (mkdtemp(base) == nullptr)
         abort();
      store = std::string(base) + "/store";
      policies = std::string(base) + "/policies";
      mkdir(store.c_str(), 0700);
      mkdir(policies.c_str(), 0700);
      FILE *f = fopen((store + "/file.txt").c_str(), "w");
      if (f != nullptr) {
         fputs("fuzz", f);
         fclose(f);
      }
      f = fopen((policies + "/00112233445566778899aabbccddeeff.policy").c_str(), "w");
      if (f != nullptr) {
         fputs("type = 1\nserver = fuzz\n", f);
         fclose(f);
      }
      // No configuration file: an update cannot define actions or turn the
      // network requests back on.
      runtime = new AgentRuntime("", {});
      AgentConfig config;
      config.fileStore = store;
      config.policyDir = policies;
      config.enableProxy = false;
      config.enableSnmpProxy = false;
      config.enableServiceCheck = false;
      config.logLevel = "error";
      config.authFailureDelayMs = 0;  // a wrong secret must not stall the fuzzer
      runtime->setConfig(config);
   }
};

FuzzWorld *g_world = nullptr;

// The directories go with the process (the replay test runs in the test
// executable, which should leave nothing behind in /tmp).
void RemoveWorld() {
   if (g_world != nullptr) {
      std::error_code ec;
      std::filesystem::remove_all(std::filesystem::path(g_world->store).parent_path(), ec);
   }
}

FuzzWorld &World() {
   if (g_world == nullptr) {
      g_world = new FuzzWorld();
      atexit(RemoveWorld);
   }
   return *g_world;
}

}  // namespace

int HkagentFuzzConfig(const uint8_t *data, size_t size) {
   std::string_view text((const char *)data, size);
   AgentConfig config;
   std::vector<ConfigDiagnostic> diagnostics;
   ConfigSettings settings;
   bool ok = ParseConfig(text, &config, &diagnostics, &settings);
   bool anyError = false;
   for (const ConfigDiagnostic &d : diagnostics) {
      Check(d.line >= 1);
      Check(!d.message.empty());
      anyError = anyError || d.error;
   }
   Check(ok == !anyError);
   Check(config.maxSessions >= 1);
   Check(config.maxSessionsPerAddress >= 1);
   Check(config.authTimeoutMs >= 100 && config.maxAuthFailures >= 1);
   for (const TargetList *list :
        {&config.proxyTargets, &config.snmpProxyTargets, &config.serviceCheckTargets}) {
      for (const TargetRange &range : list->ranges)
         Check((range.network & ~range.mask) == 0 && range.firstPort <= range.lastPort);
   }
   // The same text never counts as a change, and every action that was
   // accepted has readable placeholders.
   Check(LocalOnlyChanges(settings, settings).empty());
   for (const auto &action : config.actions) {
      Check(!action.second.argv.empty());
      Check(action.second.argv[0][0] == '/');
      uint32_t numbered;
      bool rest;
      std::string placeholderError;
      Check(ReadPlaceholders(action.second, &numbered, &rest, &placeholderError));
   }
   std::vector<std::string> words;
   std::string error;
   SplitCommandLine(text, &words, &error);
   return 0;
}

int HkagentFuzzDispatch(const uint8_t *data, size_t size) {
   if (size < 1 + HKCP_HEADER_SIZE || size > 1 + HKCP_MAX_FRAME_SIZE)
      return 0;
   FuzzWorld &world = World();
   uint8_t flags = data[0];
   std::vector<uint8_t> bytes(data + 1, data + size);
   uint32_t length = htonl((uint32_t)bytes.size());
   memcpy(bytes.data() + 4, &length, 4);
   CSCPMessage request(reinterpret_cast<const CSCP_MESSAGE *>(bytes.data()));
   if (!request.IsValid() || request.IsBinary() || request.GetCode() == CMD_EXEC_ACTION)
      return 0;

   AgentConfig config = *world.runtime->config();
   config.secret = (flags & 4) ? "fuzz-secret" : "";
   config.requireEncryption = (flags & 8) != 0;
   world.runtime->setConfig(config);
   SessionState state;
   state.authenticated = (flags & 1) != 0;
   state.encrypted = (flags & 2) != 0;
   // A channel binding as a key exchange leaves it, so that the HMAC
   // method's checks are reached.
   state.hasChannelBinding = (flags & 16) != 0;
   memset(state.channelBinding, 0x42, sizeof(state.channelBinding));

   Dispatcher dispatcher(*world.runtime);
   CSCPMessage reply;
   DispatchOutcome outcome;
   dispatcher.dispatch(state, request, &reply, &outcome);
   Check(reply.GetId() == request.GetId());
   Check(reply.GetCode() == CMD_REQUEST_COMPLETED || reply.GetCode() == CMD_SESSION_KEY);
   uint32_t rcc = reply.GetVariableLong(VID_RCC);
   if (config.requireEncryption && !state.encrypted &&
       request.GetCode() != CMD_REQUEST_SESSION_KEY && request.GetCode() != CMD_START_TLS)
      Check(rcc == 906);
   if (request.GetCode() == CMD_AUTHENTICATE && rcc == 0 &&
       request.GetVariableShort(VID_AUTH_METHOD) == AUTH_HMAC_SHA256) {
      // Only inside TLS; the agent's first answer carries its proof, and
      // nobody passes without the server's.
      Check(state.tls);
      Check(state.authenticated ||
            (reply.GetVariableBinary(VID_AUTH_PROOF, nullptr, 0) == HKCP_AUTH_PROOF_SIZE &&
             reply.GetVariableBinary(VID_AUTH_NONCE, nullptr, 0) == HKCP_AUTH_NONCE_SIZE));
   }
   // Whatever the reply holds encodes to a frame.
   CSCP_MESSAGE *frame = reply.CreateMessage();
   Check(frame != nullptr);
   free(frame);
   return 0;
}
