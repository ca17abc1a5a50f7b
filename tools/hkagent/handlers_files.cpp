// File upload into, and download from, the configured file store.
#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "agent_codes.h"
#include "confine.h"
#include "dispatcher.h"
#include "file_store.h"
#include "log.h"

namespace hkagent {

namespace {

// Longest file name a client may give, in characters.
const size_t kMaxFileNameChars = 1024;

UniqueFd OpenStore(const AgentConfig &config) {
   if (config.fileStore.empty())
      return UniqueFd();
   return UniqueFd(open(config.fileStore.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::string RandomSuffix() {
   uint8_t bytes[8];
   if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
      uint64_t fallback = (uint64_t)getpid() ^ (uint64_t)(uintptr_t)&bytes;
      memcpy(bytes, &fallback, sizeof(bytes));
   }
   char text[17];
   for (int i = 0; i < 8; i++)
      snprintf(text + 2 * i, 3, "%02x", bytes[i]);
   return text;
}

}  // namespace

uint32_t HandleUploadFile(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply,
                          DispatchOutcome *outcome) {
   UniqueFd store = OpenStore(ctx.config);
   if (!store.valid())
      return ERR_ACCESS_DENIED;
   uint32_t nameId =
       rq.IsVariableExist(VID_DESTINATION_FILE_NAME) ? VID_DESTINATION_FILE_NAME : VID_FILE_NAME;
   std::string name;
   if (GetStrictName(rq, nameId, kMaxFileNameChars, &name) != ERR_SUCCESS) {
      HKLOG_WARN("upload from %s refused: the name has a control character or is too long",
                 Ipv4ToText(ctx.state.peerAddress).c_str());
      return ERR_BAD_ARGUMENTS;
   }
   std::string base;
   ConfineStatus status;
   int error;
   UniqueFd parent = OpenParentBeneath(store.get(), name, &base, &status, &error);
   if (!parent.valid()) {
      HKLOG_WARN("upload of \"%s\" refused", EscapeForLog(name).c_str());
      return ConfineStatusToRcc(status);
   }
   struct stat st;
   if (fstatat(parent.get(), base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
      return ERR_FILE_OPEN_ERROR;
   std::unique_ptr<QuotaReservation> room =
       ctx.runtime.storeQuota().reserve(store.get(), ctx.config.fileStoreQuota,
                                        ctx.config.fileStoreMaxFiles, ctx.config.maxUploadSize);
   if (!room) {
      HKLOG_WARN("upload of \"%s\" refused: the file store is full", EscapeForLog(name).c_str());
      return ERR_OUT_OF_RESOURCES;
   }
   std::string temp = kUploadPrefix + RandomSuffix();
   UniqueFd file(openat(parent.get(), temp.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640));
   if (!file.valid())
      return ERR_FILE_OPEN_ERROR;
   outcome->followUp = FollowUp::ReceiveUpload;
   outcome->file = std::move(file);
   outcome->directory = std::move(parent);
   outcome->tempName = temp;
   outcome->finalName = base;
   outcome->maxSize = room->bytes();
   outcome->reservation = std::move(room);
   return ERR_SUCCESS;
}

uint32_t HandleGetAgentFile(RequestContext &ctx, const CSCPMessage &rq, CSCPMessage *reply,
                            DispatchOutcome *outcome) {
   UniqueFd store = OpenStore(ctx.config);
   if (!store.valid())
      return ERR_ACCESS_DENIED;
   std::string name;
   if (GetStrictName(rq, VID_FILE_NAME, kMaxFileNameChars, &name) != ERR_SUCCESS)
      return ERR_BAD_ARGUMENTS;
   ConfineStatus status;
   int error;
   // Non-blocking, so that naming a FIFO cannot hang the session.
   UniqueFd file =
       OpenBeneath(store.get(), name, O_RDONLY | O_NOCTTY | O_NONBLOCK, 0, &status, &error);
   if (!file.valid()) {
      HKLOG_INFO("download of \"%s\" refused", EscapeForLog(name).c_str());
      return ConfineStatusToRcc(status);
   }
   struct stat st;
   if (fstat(file.get(), &st) != 0)
      return ERR_FILE_STAT_FAILED;
   if (!S_ISREG(st.st_mode))
      return ERR_FILE_OPEN_ERROR;
   int flags = fcntl(file.get(), F_GETFL);
   if (flags >= 0)
      fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
   reply->SetVariable(VID_AGENT_FILE_SIZE, (uint64_t)st.st_size);
   outcome->followUp = FollowUp::SendFile;
   outcome->file = std::move(file);
   return ERR_SUCCESS;
}

}  // namespace hkagent
