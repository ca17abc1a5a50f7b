// File transfer: uploads, custom requests with an optional download, and
// arming a download. The download's data path and its end are in
// download.cpp; all download state is guarded by m_downloadLock.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>

#include "agent/agent_internal.h"
#include "agent/download_target.h"
#include "agent/request_util.h"
#include "hksrv_agent.h"
#include "hksrv_log.h"

using hksrv_agent::FileBaseName;

namespace {
const uint32_t kDownloadTimeout = 1800000;  // 30 minutes for the whole file
}

int AgentOpenDownloadTarget(const wchar_t *name, bool append) {
   std::string path = AgentNarrowPath(name);
   if (!append)
      return open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
   int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
   // A pipe or a device cannot seek; it is appended to as it is.
   if (fd != -1)
      lseek(fd, 0, SEEK_END);
   return fd;
}

void AgentRemoveDownloadTarget(const wchar_t *name) {
   if (name == nullptr)
      return;
   std::string path = AgentNarrowPath(name);
   struct stat info;
   if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
      unlink(path.c_str());
}

uint32_t AgentConnection::uploadFile(const wchar_t *localFile, const wchar_t *destinationFile,
                                     AGENT_UPLOAD_PROGRESS progressCallback, void *callbackArg) {
   if (!m_isConnected)
      return ERR_NOT_CONNECTED;

   CSCPMessage request(m_protocolVersion);
   uint32_t requestId = generateRequestId();
   request.SetCode(CMD_UPLOAD_FILE);
   request.SetId(requestId);
   request.SetVariable(VID_FILE_NAME, FileBaseName(localFile));
   if (destinationFile != nullptr)
      request.SetVariable(VID_DESTINATION_FILE_NAME, destinationFile);
   // The final reply is expected before anything goes: an agent may give up
   // on the file at once (a full disk), even before the first reply is
   // taken, and then stop reading; its answer must outlast the send.
   m_msgWaitQueue->expect(CMD_REQUEST_COMPLETED, requestId);
   if (!sendRequest(&request)) {
      m_msgWaitQueue->forget(CMD_REQUEST_COMPLETED, requestId);
      return ERR_CONNECTION_BROKEN;
   }

   uint32_t result = waitForRCC(requestId, m_commandTimeout);
   if (result != ERR_SUCCESS) {
      m_msgWaitQueue->forget(CMD_REQUEST_COMPLETED, requestId);
      return result;
   }

   // While the file goes out and the agent stores it, the receiver
   // tolerates receive time-outs.
   m_fileUploadInProgress = true;
   // A frame not written within the send bound ends the connection
   // and fails here.
   bool sent = m_connection.sendFile(requestId, localFile, progressCallback, callbackArg);
   if (sent) {
      result = waitForRCC(requestId, m_commandTimeout);
   } else {
      // The agent's own answer, when it came, says more than the failed send.
      CSCPMessage *reply = waitForMessage(CMD_REQUEST_COMPLETED, requestId, 0);
      result = reply != nullptr ? reply->GetVariableLong(VID_RCC) : ERR_IO_FAILURE;
      delete reply;
   }
   m_fileUploadInProgress = false;
   return result;
}

uint32_t AgentConnection::prepareFileDownload(const wchar_t *fileName, uint32_t requestId,
                                              bool append, AGENT_DOWNLOAD_PROGRESS callback,
                                              void *callbackArg) {
   int openError = 0;
   {
      std::lock_guard<CriticalSection> guard(m_downloadLock);
      if (m_downloadFile != -1 || m_downloadEnding)
         return ERR_RESOURCE_BUSY;

      // Kept whole: the name is what a failed download removes.
      free(m_downloadFileName);
      m_downloadFileName = wcsdup(fileName);
      m_downloadCompleted.reset();
      m_downloadFile = AgentOpenDownloadTarget(fileName, append);
      if (m_downloadFile == -1)
         openError = errno;
      m_downloadRequestId = requestId;
      m_downloadProgressCallback = callback;
      m_downloadProgressArg = callbackArg;
   }
   if (openError == 0)
      return ERR_SUCCESS;

   wchar_t errorText[256];
   CodePageToWide(strerror(openError), -1, errorText, 256);
   DbgPrintf(4,
             L"AgentConnection::PrepareFileDownload(): cannot open file %s (%s); append=%d rqId=%d",
             fileName, errorText, append ? 1 : 0, requestId);
   return ERR_FILE_OPEN_ERROR;
}

namespace {

// The reply of a request that was refused before anything was sent.
CSCPMessage *RefusedReply(uint32_t requestId, uint32_t result) {
   auto *reply = new CSCPMessage(2);
   reply->SetCode(CMD_REQUEST_COMPLETED);
   reply->SetId(requestId);
   reply->SetVariable(VID_RCC, result);
   return reply;
}

}  // namespace

CSCPMessage *AgentConnection::customRequest(CSCPMessage *request, const wchar_t *recvFile,
                                            bool append,
                                            AGENT_DOWNLOAD_PROGRESS downloadProgressCallback,
                                            void *callbackArg) {
   uint32_t requestId = generateRequestId();
   request->SetId(requestId);
   if (recvFile == nullptr) {
      if (!sendRequest(request))
         return nullptr;
      return waitForMessage(CMD_REQUEST_COMPLETED, requestId, m_commandTimeout);
   }

   {
      std::lock_guard<CriticalSection> guard(m_downloadLock);
      if (m_downloadAwaited)
         return RefusedReply(requestId, ERR_RESOURCE_BUSY);
      m_downloadAwaited = true;
   }
   uint32_t result =
       prepareFileDownload(recvFile, requestId, append, downloadProgressCallback, callbackArg);
   CSCPMessage *reply = (result == ERR_SUCCESS) ? awaitDownload(request, recvFile, append)
                                                : RefusedReply(requestId, result);
   std::lock_guard<CriticalSection> guard(m_downloadLock);
   m_downloadAwaited = false;
   return reply;
}

CSCPMessage *AgentConnection::awaitDownload(CSCPMessage *request, const wchar_t *recvFile,
                                            bool append) {
   uint32_t requestId = request->GetId();
   if (!sendRequest(request))
      return nullptr;
   CSCPMessage *reply = waitForMessage(CMD_REQUEST_COMPLETED, requestId, m_commandTimeout);
   if (reply == nullptr)
      return nullptr;

   if (reply->GetVariableLong(VID_RCC) != ERR_SUCCESS) {
      // Abandoned: no onFileDownload. Only this request's download is
      // closed; the target of an append was there before and is kept.
      {
         std::lock_guard<CriticalSection> guard(m_downloadLock);
         if (m_downloadFile != -1 && m_downloadRequestId == requestId) {
            close(m_downloadFile);
            m_downloadFile = -1;
         }
      }
      if (!append)
         AgentRemoveDownloadTarget(recvFile);
      return reply;
   }

   if (!m_downloadCompleted.wait(kDownloadTimeout)) {
      // The download stays armed; its end still calls onFileDownload.
      reply->SetVariable(VID_RCC, ERR_REQUEST_TIMEOUT);
   } else if (m_downloadResult == 0) {
      reply->SetVariable(VID_RCC, ERR_IO_FAILURE);
      if (m_deleteFileOnDownloadFailure)
         AgentRemoveDownloadTarget(recvFile);
   }
   return reply;
}
