// The download data path and the end of a download.
//
// m_downloadLock makes the download state exclusive: the descriptor is
// written, closed and replaced only under it, so no write reaches a file
// that another thread closed. onFileDownload runs under it too, so the
// name it removes and the event it signals belong to the download that
// ended, never to one armed after it.
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <unistd.h>

#include "agent/agent_internal.h"
#include "agent/download_target.h"

void AgentConnection::onFileDownload(int success) {
   if (!success && m_deleteFileOnDownloadFailure && m_downloadFileName != nullptr)
      AgentRemoveDownloadTarget(m_downloadFileName);
   m_downloadResult = success;
   m_downloadCompleted.set();
}

void AgentConnection::abortDownload() {
   std::lock_guard<CriticalSection> guard(m_downloadLock);
   if (m_downloadFile != -1) {
      close(m_downloadFile);
      m_downloadFile = -1;
      onFileDownload(0);
   }
}

void AgentConnection::processFileData(CSCP_MESSAGE *frame) {
   std::lock_guard<CriticalSection> guard(m_downloadLock);
   if (m_downloadFile == -1 || frame->dwId != m_downloadRequestId)
      return;

   size_t length = frame->dwNumVars;
   ssize_t written;
   do {
      written = write(m_downloadFile, frame->df, length);
   } while (written < 0 && errno == EINTR);

   if (written < 0 || (size_t)written != length) {
      close(m_downloadFile);
      m_downloadFile = -1;
      onFileDownload(0);
   } else if (frame->wFlags & MF_END_OF_FILE) {
      // The last frame is reported too, so progress reaches the file's size
      // before the download ends.
      if (m_downloadProgressCallback != nullptr && length > 0) {
         off_t position = lseek(m_downloadFile, 0, SEEK_CUR);
         m_downloadProgressCallback(position < 0 ? 0 : (uint64_t)position, m_downloadProgressArg);
      }
      close(m_downloadFile);
      m_downloadFile = -1;
      onFileDownload(1);
   } else if (m_downloadProgressCallback != nullptr) {
      off_t position = lseek(m_downloadFile, 0, SEEK_CUR);
      m_downloadProgressCallback(position < 0 ? 0 : (uint64_t)position, m_downloadProgressArg);
   }
}
