// A download that believes the agent's announced size and nothing more: a
// hostile agent cannot fill the disk by sending more than it announced.
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "agent_link.h"

namespace hktool {

// Shared by fetchFile (the caller's thread) and the receiver thread, which
// reports progress and the download's end.
struct DownloadCap {
   std::atomic<uint64_t> limit{UINT64_MAX};  // the announced size, once known
   std::atomic<uint64_t> position{0};
   std::atomic<bool> overrun{false};
   SOCKET socket = INVALID_SOCKET;
   AGENT_DOWNLOAD_PROGRESS progress = nullptr;
   void *progressArg = nullptr;

   std::mutex lock;  // guards ended and succeeded
   std::condition_variable changed;
   bool ended = false;
   bool succeeded = false;

   // Past the limit: the receiver's next read fails, which ends the
   // download as failed without taking more of the agent's data.
   void checkLimit() {
      if (position.load() > limit.load() && !overrun.exchange(true))
         shutdown(socket, SHUT_RDWR);
   }
   bool waitEnded(uint32_t timeoutMs) {
      std::unique_lock<std::mutex> guard(lock);
      return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                              [this] { return ended; });
   }
};

namespace {

// The library's own bound on a download.
const uint32_t kDownloadTimeoutMs = 1800000;
// How long the end of a disconnected session's download may take.
const uint32_t kAbandonTimeoutMs = 30000;

void CapProgress(uint64_t position, void *argument) {
   auto *cap = static_cast<DownloadCap *>(argument);
   cap->position.store(position);
   cap->checkLimit();
   if (cap->progress != nullptr)
      cap->progress(position, cap->progressArg);
}

CSCPMessage *ResultReply(uint32_t requestId, uint32_t rcc) {
   auto *reply = new CSCPMessage(2);
   reply->SetCode(CMD_REQUEST_COMPLETED);
   reply->SetId(requestId);
   reply->SetVariable(VID_RCC, rcc);
   return reply;
}

}  // namespace

void ToolAgentConnection::onFileDownload(int success) {
   AgentConnection::onFileDownload(success);
   DownloadCap *cap = m_cap.load();
   if (cap != nullptr) {
      std::lock_guard<std::mutex> guard(cap->lock);
      cap->ended = true;
      cap->succeeded = success != 0;
      cap->changed.notify_all();
   }
}

void ToolAgentConnection::abandonDownload(DownloadCap &cap) {
   disconnect();
   cap.waitEnded(kAbandonTimeoutMs);
}

CSCPMessage *ToolAgentConnection::fetchFile(CSCPMessage *request, const wchar_t *file,
                                            uint32_t sizeId, AGENT_DOWNLOAD_PROGRESS progress,
                                            void *progressArg, bool *overrun) {
   *overrun = false;
   uint32_t requestId = generateRequestId();
   request->SetId(requestId);
   DownloadCap cap;
   cap.socket = getSocket();
   cap.progress = progress;
   cap.progressArg = progressArg;
   m_cap.store(&cap);
   uint32_t rcc = prepareFileDownload(file, requestId, false, CapProgress, &cap);
   if (rcc != ERR_SUCCESS) {
      m_cap.store(nullptr);
      return ResultReply(requestId, rcc);
   }
   CSCPMessage *reply = sendRequest(request)
                            ? waitForMessage(CMD_REQUEST_COMPLETED, requestId, getCommandTimeout())
                            : nullptr;
   if (reply == nullptr || reply->GetVariableLong(VID_RCC) != ERR_SUCCESS) {
      abandonDownload(cap);
   } else {
      if (reply->IsVariableExist(sizeId))
         cap.limit.store(reply->GetVariableInt64(sizeId));
      cap.checkLimit();  // data may have come ahead of the reply
      if (!cap.waitEnded(kDownloadTimeoutMs)) {
         abandonDownload(cap);
         reply->SetVariable(VID_RCC, ERR_REQUEST_TIMEOUT);
      } else if (cap.overrun.load()) {
         reply->SetVariable(VID_RCC, ERR_IO_FAILURE);
         *overrun = true;
      } else if (!cap.succeeded) {
         reply->SetVariable(VID_RCC, ERR_IO_FAILURE);
      }
   }
   m_cap.store(nullptr);
   return reply;
}

}  // namespace hktool
