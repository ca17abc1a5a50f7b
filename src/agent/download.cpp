// The download data path and the end of a download.
//
// m_downloadLock makes the download state exclusive: the descriptor is
// written, closed and replaced only under it, so no write reaches a file
// that another thread closed. onFileDownload and the progress callback run
// without it, so a hook may re-enter the session; m_downloadEnding keeps a
// new download from being armed until the ended one's hook has returned, so
// the name the hook removes and the event it signals are still that
// download's.
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <unistd.h>

#include "agent/agent_internal.h"
#include "agent/download_target.h"

void AgentConnection::onFileDownload(int success) {
   std::lock_guard<CriticalSection> guard(m_downloadLock);
   if (!success && m_deleteFileOnDownloadFailure && m_downloadFileName != nullptr)
      AgentRemoveDownloadTarget(m_downloadFileName);
   m_downloadResult = success;
   // The waiter this wakes may arm the next download at once.
   m_downloadEnding = false;
   m_downloadCompleted.set();
}

void AgentConnection::abortDownload() {
   {
      std::lock_guard<CriticalSection> guard(m_downloadLock);
      if (m_downloadFile == -1)
         return;
      close(m_downloadFile);
      m_downloadFile = -1;
      m_downloadEnding = true;
   }
   onFileDownload(0);
   std::lock_guard<CriticalSection> guard(m_downloadLock);
   m_downloadEnding = false;
}

void AgentConnection::processFileData(CSCP_MESSAGE *frame) {
   enum class Outcome { Progress, Failed, Completed } outcome;
   AGENT_DOWNLOAD_PROGRESS progress = nullptr;
   void *progressArg = nullptr;
   uint64_t position = 0;
   {
      std::lock_guard<CriticalSection> guard(m_downloadLock);
      if (m_downloadFile == -1 || frame->dwId != m_downloadRequestId)
         return;

      size_t length = frame->dwNumVars;
      ssize_t written;
      do {
         written = write(m_downloadFile, frame->df, length);
      } while (written < 0 && errno == EINTR);

      if (written < 0 || (size_t)written != length) {
         outcome = Outcome::Failed;
      } else if (frame->wFlags & MF_END_OF_FILE) {
         outcome = Outcome::Completed;
      } else {
         outcome = Outcome::Progress;
         progress = m_downloadProgressCallback;
         progressArg = m_downloadProgressArg;
         off_t at = progress != nullptr ? lseek(m_downloadFile, 0, SEEK_CUR) : 0;
         position = at < 0 ? 0 : (uint64_t)at;
      }
      if (outcome != Outcome::Progress) {
         close(m_downloadFile);
         m_downloadFile = -1;
         m_downloadEnding = true;
      }
   }

   // No lock held: the hooks may re-enter the session.
   if (outcome == Outcome::Progress) {
      if (progress != nullptr)
         progress(position, progressArg);
      return;
   }
   onFileDownload(outcome == Outcome::Completed ? 1 : 0);
   std::lock_guard<CriticalSection> guard(m_downloadLock);
   m_downloadEnding = false;
}
