// Policy inventory and removal over the policy directory: one file per
// policy, named by its GUID as 32 lower- or upper-case hex digits with the
// suffix ".policy", holding "type = N" and "server = NAME" lines.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>

#include <cctype>
#include <cstdlib>
#include <string>

#include "agent_codes.h"
#include "dispatcher.h"
#include "log.h"

namespace hkagent {

namespace {

const char kSuffix[] = ".policy";
const size_t kMaxPolicyFile = 65536;
const uint32_t kMaxPolicies = 10000;

bool HexToGuid(const std::string &hex, uint8_t guid[16]) {
   if (hex.size() != 32)
      return false;
   for (int i = 0; i < 16; i++) {
      char pair[3] = {hex[2 * i], hex[2 * i + 1], '\0'};
      if (!isxdigit((unsigned char)pair[0]) || !isxdigit((unsigned char)pair[1]))
         return false;
      guid[i] = (uint8_t)strtoul(pair, nullptr, 16);
   }
   return true;
}

std::string GuidToHex(const uint8_t guid[16]) {
   char text[33];
   for (int i = 0; i < 16; i++)
      snprintf(text + 2 * i, 3, "%02x", guid[i]);
   return text;
}

// "type = N" and "server = NAME" of a policy file.
void ParsePolicy(const std::string &text, uint16_t *type, std::string *server) {
   *type = 0;
   server->clear();
   size_t pos = 0;
   while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string::npos)
         end = text.size();
      std::string line = text.substr(pos, end - pos);
      pos = end + 1;
      size_t eq = line.find('=');
      if (eq == std::string::npos)
         continue;
      auto trim = [](std::string s) {
         size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
         return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
      };
      std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
      if (strcasecmp(key.c_str(), "type") == 0)
         *type = (uint16_t)strtoul(value.c_str(), nullptr, 10);
      else if (strcasecmp(key.c_str(), "server") == 0)
         *server = value;
   }
}

bool ReadAt(int dirFd, const char *name, std::string *text) {
   UniqueFd fd(openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
   if (!fd.valid())
      return false;
   text->clear();
   char buffer[4096];
   ssize_t n;
   while ((n = read(fd.get(), buffer, sizeof(buffer))) > 0) {
      text->append(buffer, (size_t)n);
      if (text->size() > kMaxPolicyFile)
         return false;
   }
   return n == 0;
}

}  // namespace

uint32_t HandleGetPolicyInventory(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply) {
   uint32_t count = 0;
   if (!ctx.config.policyDir.empty()) {
      UniqueFd dirFd(open(ctx.config.policyDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!dirFd.valid())
         return ERR_IO_FAILURE;
      UniqueFd listing(dup(dirFd.get()));
      DIR *dir = listing.valid() ? fdopendir(listing.get()) : nullptr;
      if (dir == nullptr)
         return ERR_IO_FAILURE;
      listing.release();  // closedir closes it
      while (struct dirent *entry = readdir(dir)) {
         std::string name = entry->d_name;
         uint8_t guid[16];
         const size_t suffix = sizeof(kSuffix) - 1;
         if (name.size() != 32 + suffix || name.compare(32, suffix, kSuffix) != 0 ||
             !HexToGuid(name.substr(0, 32), guid) || count >= kMaxPolicies)
            continue;
         std::string text, server;
         uint16_t type;
         if (!ReadAt(dirFd.get(), name.c_str(), &text))
            continue;
         ParsePolicy(text, &type, &server);
         uint32_t v = VID_ITEM_LIST_BASE + 10 * count;
         reply->SetVariable(v, guid, 16);
         reply->SetVariable(v + 1, type);
         SetStringVar(reply, v + 2, server);
         count++;
      }
      closedir(dir);
   }
   reply->SetVariable(VID_NUM_ELEMENTS, count);
   return ERR_SUCCESS;
}

uint32_t HandleUninstallPolicy(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply) {
   uint8_t guid[16];
   if (rq.GetVariableBinary(VID_GUID, guid, sizeof(guid)) != sizeof(guid))
      return ERR_MALFORMED_COMMAND;
   if (ctx.config.policyDir.empty())
      return ERR_BAD_ARGUMENTS;
   UniqueFd dirFd(open(ctx.config.policyDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
   if (!dirFd.valid())
      return ERR_IO_FAILURE;
   std::string hex = GuidToHex(guid);
   std::string names[2] = {hex + kSuffix, hex + kSuffix};
   for (char &c : names[1])
      c = (char)toupper((unsigned char)c);
   names[1].replace(32, sizeof(kSuffix) - 1, kSuffix);
   for (const std::string &name : names) {
      if (unlinkat(dirFd.get(), name.c_str(), 0) == 0) {
         HKLOG_INFO("policy %s removed", hex.c_str());
         ctx.runtime.sendTrap(TRAP_POLICY_REMOVED, "policy " + hex + " removed");
         return ERR_SUCCESS;
      }
      if (errno != ENOENT)
         return ERR_FILE_DELETE_FAILED;
   }
   return ERR_BAD_ARGUMENTS;
}

}  // namespace hkagent
