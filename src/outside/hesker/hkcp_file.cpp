// Sending a file over HKCP as raw CMD_FILE_DATA frames.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "hk_text.h"
#include "hkcp.h"

namespace {

// Reads up to size bytes, retrying short reads; the count read (less than
// size only at the end of the file), or -1 on an error.
ssize_t ReadFull(int fd, uint8_t *buffer, size_t size) {
   size_t done = 0;
   while (done < size) {
      ssize_t n = read(fd, buffer + done, size - done);
      if (n < 0) {
         if (errno == EINTR)
            continue;
         return -1;
      }
      if (n == 0)
         break;
      done += (size_t)n;
   }
   return (ssize_t)done;
}

// Writes one plain frame, encrypting it when the session is encrypted, under
// the session's send lock so nonces reach the wire in order; true when all
// of it was written.
using FrameWriter = HKCP_FRAME_WRITER;

struct FdCloser {
   int fd;
   ~FdCloser() {
      if (fd >= 0)
         close(fd);
   }
};

bool SendFile(const FrameWriter &write, uint32_t requestId, const wchar_t *fileName, int64_t offset,
              HKCP_UPLOAD_PROGRESS progress, void *progressArg) {
   std::string path;
   if (fileName == nullptr || offset < 0 || !hk_wide_to_utf8_strict(fileName, &path))
      return false;
   FdCloser file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
   if (file.fd < 0)
      return false;
   if (offset > 0 && lseek(file.fd, (off_t)offset, SEEK_SET) < 0)
      return false;

   // One frame buffer, reused; the last data byte read ahead of a full
   // frame decides whether that frame is the file's last.
   uint8_t *buffer = static_cast<uint8_t *>(malloc(HKCP_HEADER_SIZE + FILE_BUFFER_SIZE + 8));
   if (buffer == nullptr)
      return false;
   auto *frame = reinterpret_cast<CSCP_MESSAGE *>(buffer);
   uint8_t *data = buffer + HKCP_HEADER_SIZE;
   bool havePending = false;
   uint8_t pending = 0;
   int64_t bytesSent = 0;
   bool ok = true;
   for (;;) {
      size_t length = 0;
      if (havePending) {
         data[0] = pending;
         length = 1;
         havePending = false;
      }
      ssize_t n = ReadFull(file.fd, data + length, FILE_BUFFER_SIZE - length);
      if (n < 0) {
         ok = false;
         break;
      }
      length += (size_t)n;
      bool last = length < FILE_BUFFER_SIZE;
      if (!last) {
         ssize_t more = ReadFull(file.fd, &pending, 1);
         if (more < 0) {
            ok = false;
            break;
         }
         havePending = (more == 1);
         last = !havePending;
      }

      // Like every frame, padded with zeros to a multiple of 8 bytes.
      size_t padded = (length + 7) & ~(size_t)7;
      memset(data + length, 0, padded - length);
      frame->wCode = htons(CMD_FILE_DATA);
      frame->wFlags = htons((uint16_t)(MF_BINARY | (last ? MF_END_OF_FILE : 0)));
      frame->dwSize = htonl((uint32_t)(HKCP_HEADER_SIZE + padded));
      frame->dwId = htonl(requestId);
      frame->dwNumVars = htonl((uint32_t)length);
      if (!write(frame)) {
         ok = false;
         break;
      }
      bytesSent += (int64_t)length;
      if (progress != nullptr)
         progress(bytesSent, progressArg);
      if (last)
         break;
   }
   free(buffer);
   return ok;
}

}  // namespace

bool SendFileOverHKCP(SOCKET hSocket, uint32_t requestId, const wchar_t *fileName,
                      HKCPEncryptionContext *context, int64_t offset, HKCP_UPLOAD_PROGRESS progress,
                      void *progressArg, CriticalSection *sendLock) {
   auto write = [hSocket, sendLock, context](const CSCP_MESSAGE *frame) {
      if (sendLock == nullptr)
         return HKCPWriteFrame(hSocket, frame, context);
      std::lock_guard<CriticalSection> guard(*sendLock);
      return HKCPWriteFrame(hSocket, frame, context);
   };
   return SendFile(write, requestId, fileName, offset, progress, progressArg);
}

bool SendFileOverHKCP(const std::atomic<SOCKET> *socket, uint32_t requestId,
                      const wchar_t *fileName, HKCPEncryptionContext *context, int64_t offset,
                      HKCP_UPLOAD_PROGRESS progress, void *progressArg, CriticalSection *sendLock) {
   if (socket == nullptr || sendLock == nullptr)
      return false;
   auto write = [socket, sendLock, context](const CSCP_MESSAGE *frame) {
      std::lock_guard<CriticalSection> guard(*sendLock);
      SOCKET s = socket->load();
      return s != INVALID_SOCKET && HKCPWriteFrame(s, frame, context);
   };
   return SendFile(write, requestId, fileName, offset, progress, progressArg);
}

bool SendFileOverHKCP(const HKCP_FRAME_WRITER &write, uint32_t requestId, const wchar_t *fileName,
                      int64_t offset, HKCP_UPLOAD_PROGRESS progress, void *progressArg) {
   if (!write)
      return false;
   return SendFile(write, requestId, fileName, offset, progress, progressArg);
}
