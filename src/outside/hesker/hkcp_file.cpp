// Sending a file over HKCP as raw CMD_FILE_DATA frames.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "hkcp.h"

namespace {

// Wide file names reach the file system as UTF-8. False for a character
// that is no Unicode scalar value.
bool WideToUtf8(const wchar_t *text, std::string *out) {
   out->clear();
   for (const wchar_t *p = text; *p != L'\0'; p++) {
      uint32_t c = (uint32_t)*p;
      if (c < 0x80) {
         out->push_back((char)c);
      } else if (c < 0x800) {
         out->push_back((char)(0xC0 | (c >> 6)));
         out->push_back((char)(0x80 | (c & 0x3F)));
      } else if (c < 0x10000) {
         if (c >= 0xD800 && c <= 0xDFFF)
            return false;
         out->push_back((char)(0xE0 | (c >> 12)));
         out->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
         out->push_back((char)(0x80 | (c & 0x3F)));
      } else if (c <= 0x10FFFF) {
         out->push_back((char)(0xF0 | (c >> 18)));
         out->push_back((char)(0x80 | ((c >> 12) & 0x3F)));
         out->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
         out->push_back((char)(0x80 | (c & 0x3F)));
      } else {
         return false;
      }
   }
   return true;
}

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

// Writes one frame's bytes whole; true when all of them were written.
using FrameWriter = std::function<bool(const void *data, uint32_t size)>;

// Writes one frame, encrypted when a context is given.
bool SendFrame(const FrameWriter &write, const CSCP_MESSAGE *frame,
               HKCPEncryptionContext *context) {
   if (context == nullptr)
      return write(frame, ntohl(frame->dwSize));
   CSCP_ENCRYPTED_MESSAGE *encrypted = CSCPEncryptMessage(context, frame);
   if (encrypted == nullptr)
      return false;
   bool ok = write(encrypted, ntohl(encrypted->dwSize));
   free(encrypted);
   return ok;
}

struct FdCloser {
   int fd;
   ~FdCloser() {
      if (fd >= 0)
         close(fd);
   }
};

bool SendFile(const FrameWriter &write, uint32_t requestId, const wchar_t *fileName,
              HKCPEncryptionContext *context, int64_t offset, HKCP_UPLOAD_PROGRESS progress,
              void *progressArg) {
   std::string path;
   if (fileName == nullptr || offset < 0 || !WideToUtf8(fileName, &path))
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
      if (!SendFrame(write, frame, context)) {
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
   auto write = [hSocket, sendLock](const void *data, uint32_t size) {
      return SendEx(hSocket, data, size, 0, sendLock) == (int)size;
   };
   return SendFile(write, requestId, fileName, context, offset, progress, progressArg);
}

bool SendFileOverHKCP(const std::atomic<SOCKET> *socket, uint32_t requestId,
                      const wchar_t *fileName, HKCPEncryptionContext *context, int64_t offset,
                      HKCP_UPLOAD_PROGRESS progress, void *progressArg, CriticalSection *sendLock) {
   if (socket == nullptr || sendLock == nullptr)
      return false;
   auto write = [socket, sendLock](const void *data, uint32_t size) {
      std::lock_guard<CriticalSection> guard(*sendLock);
      SOCKET s = socket->load();
      return s != INVALID_SOCKET && SendEx(s, data, size, 0, nullptr) == (int)size;
   };
   return SendFile(write, requestId, fileName, context, offset, progress, progressArg);
}
