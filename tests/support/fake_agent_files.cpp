// File transfer for the scriptable agent: upload sink, download handler,
// temporary files and digests.
#include "fake_agent_files.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>
#include <vector>

namespace {

std::string Hex(const unsigned char *bytes, unsigned int size) {
   static const char digits[] = "0123456789abcdef";
   std::string text;
   for (unsigned int i = 0; i < size; i++) {
      text.push_back(digits[bytes[i] >> 4]);
      text.push_back(digits[bytes[i] & 15]);
   }
   return text;
}

// An incremental SHA-256.
class Sha256 {
public:
   Sha256() : m_context(EVP_MD_CTX_new()) { EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr); }
   ~Sha256() { EVP_MD_CTX_free(m_context); }
   Sha256(const Sha256 &) = delete;
   Sha256 &operator=(const Sha256 &) = delete;

   void reset() { EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr); }
   void update(const void *data, size_t size) { EVP_DigestUpdate(m_context, data, size); }
   std::string finish() {
      unsigned char digest[EVP_MAX_MD_SIZE];
      unsigned int size = 0;
      EVP_DigestFinal_ex(m_context, digest, &size);
      return Hex(digest, size);
   }

private:
   EVP_MD_CTX *m_context;
};

// Reads up to size bytes; the count read, which is less only at the end or
// after an error.
size_t ReadUpTo(std::ifstream &in, uint8_t *data, size_t size) {
   in.read(reinterpret_cast<char *>(data), (std::streamsize)size);
   return (size_t)in.gcount();
}

// One raw CMD_FILE_DATA frame: header in network order, then the data.
bool SendDataFrame(FakeAgentConnection &connection, std::vector<uint8_t> &buffer, uint32_t id,
                   size_t length, bool last) {
   auto *frame = reinterpret_cast<CSCP_MESSAGE *>(buffer.data());
   frame->wCode = htons(CMD_FILE_DATA);
   frame->wFlags = htons((uint16_t)(MF_BINARY | (last ? MF_END_OF_FILE : 0)));
   frame->dwSize = htonl((uint32_t)(HKCP_HEADER_SIZE + length));
   frame->dwId = htonl(id);
   frame->dwNumVars = htonl((uint32_t)length);
   return connection.sendFrame(frame);
}

}  // namespace

// ---------------------------------------------------------------- files

FakeTempDir::FakeTempDir() {
   std::error_code error;
   std::filesystem::path base = std::filesystem::temp_directory_path(error);
   if (error)
      return;
   // A name nobody else holds: creating it fails when it exists.
   std::random_device random;
   for (int attempt = 0; attempt < 100; attempt++) {
      std::filesystem::path candidate = base / ("hksrv-files-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate, error)) {
         m_path = candidate.generic_string();
         return;
      }
   }
}

FakeTempDir::~FakeTempDir() {
   std::error_code error;
   if (!m_path.empty())
      std::filesystem::remove_all(m_path, error);
}

bool FakeWriteFile(const std::string &path, uint64_t size, uint32_t seed) {
   std::ofstream out(path, std::ios::binary | std::ios::trunc);
   if (!out)
      return false;
   std::vector<uint8_t> block(1 << 20);
   uint64_t state = 0x9E3779B97F4A7C15ull ^ seed;
   bool ok = true;
   for (uint64_t done = 0; ok && done < size;) {
      size_t n = (size_t)std::min<uint64_t>(block.size(), size - done);
      for (size_t i = 0; i < n; i += 8) {
         state ^= state << 13;  // xorshift64
         state ^= state >> 7;
         state ^= state << 17;
         memcpy(&block[i], &state, std::min<size_t>(8, n - i));
      }
      ok = (bool)out.write(reinterpret_cast<const char *>(block.data()), (std::streamsize)n);
      done += n;
   }
   out.close();
   return ok && !out.fail();
}

bool FakeWriteFile(const std::string &path, const std::string &bytes) {
   std::ofstream out(path, std::ios::binary | std::ios::trunc);
   out.write(bytes.data(), (std::streamsize)bytes.size());
   out.close();
   return !out.fail();
}

std::string FakeFileDigest(const std::string &path) {
   std::ifstream in(path, std::ios::binary);
   if (!in)
      return "";
   Sha256 sha;
   std::vector<uint8_t> block(1 << 20);
   while (size_t n = ReadUpTo(in, block.data(), block.size()))
      sha.update(block.data(), n);
   return in.bad() ? "" : sha.finish();
}

std::string FakeDigest(const void *data, size_t size) {
   Sha256 sha;
   sha.update(data, size);
   return sha.finish();
}

int64_t FakeFileSize(const std::string &path) {
   std::error_code error;
   uintmax_t size = std::filesystem::file_size(path, error);
   return error ? -1 : (int64_t)size;
}

std::wstring FakeWide(const std::string &text) {
   return std::wstring(text.begin(), text.end());
}

// ---------------------------------------------------------------- gate

void FakeGate::open() {
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_open = true;
   }
   m_changed.notify_all();
}

bool FakeGate::wait(uint32_t timeoutMs) {
   std::unique_lock<std::mutex> guard(m_mutex);
   return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [this] { return m_open; });
}

// ---------------------------------------------------------------- uploads

struct FakeUploadSink::State {
   Options options;
   std::mutex mutex;
   std::condition_variable changed;
   Sha256 sha;
   uint64_t bytes = 0;
   uint32_t frames = 0;
   uint32_t encryptedFrames = 0;
   uint32_t requestId = 0;
   bool active = false;
   bool ended = false;
   std::string digest;
};

FakeUploadSink::FakeUploadSink(const Options &options) : m_state(std::make_shared<State>()) {
   m_state->options = options;
}

void FakeUploadSink::install(FakeAgent &agent) {
   std::shared_ptr<State> state = m_state;
   agent.setHandler(CMD_UPLOAD_FILE,
                    [state](FakeAgentConnection &connection, const CSCPMessage &request) {
                       {
                          std::lock_guard<std::mutex> guard(state->mutex);
                          state->requestId = request.GetId();
                          state->active = state->options.acceptRcc == 0;
                       }
                       const Options &options = state->options;
                       connection.reply(request, options.acceptRcc);
                       if (options.acceptRcc != 0)
                          return;
                       if (options.answerFinalAtOnce)
                          connection.reply(request, options.finalRcc);
                       // This thread is the connection's only reader.
                       if (options.holdAfterAccept)
                          options.holdAfterAccept->wait(120000);
                       if (options.pauseAfterAcceptMs != 0)
                          connection.pause(options.pauseAfterAcceptMs);
                    });
   agent.setHandler(CMD_FILE_DATA,
                    [state](FakeAgentConnection &connection, const CSCPMessage &request) {
                       bool last = false;
                       {
                          std::lock_guard<std::mutex> guard(state->mutex);
                          if (!state->active || request.GetId() != state->requestId)
                             return;
                          state->sha.update(request.GetBinaryData(), request.GetBinaryDataSize());
                          state->bytes += request.GetBinaryDataSize();
                          state->frames++;
                          if (connection.encrypted())
                             state->encryptedFrames++;
                          last = (request.GetFlags() & MF_END_OF_FILE) != 0;
                          if (last) {
                             state->active = false;
                             state->ended = true;
                             state->digest = state->sha.finish();
                          }
                       }
                       if (last) {
                          state->changed.notify_all();
                          if (state->options.answerFinal && !state->options.answerFinalAtOnce)
                             connection.reply(request, state->options.finalRcc);
                       }
                    });
}

bool FakeUploadSink::waitForEnd(uint32_t timeoutMs) {
   std::unique_lock<std::mutex> guard(m_state->mutex);
   return m_state->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                    [this] { return m_state->ended; });
}

uint64_t FakeUploadSink::bytes() {
   std::lock_guard<std::mutex> guard(m_state->mutex);
   return m_state->bytes;
}

uint32_t FakeUploadSink::frames() {
   std::lock_guard<std::mutex> guard(m_state->mutex);
   return m_state->frames;
}

uint32_t FakeUploadSink::encryptedFrames() {
   std::lock_guard<std::mutex> guard(m_state->mutex);
   return m_state->encryptedFrames;
}

std::string FakeUploadSink::digest() {
   std::lock_guard<std::mutex> guard(m_state->mutex);
   return m_state->digest;
}

bool FakeUploadSink::ended() {
   std::lock_guard<std::mutex> guard(m_state->mutex);
   return m_state->ended;
}

// ---------------------------------------------------------------- downloads

namespace {

// Streams the file; false when the connection was shut down on purpose or
// a write failed.
bool StreamFile(FakeAgentConnection &connection, const std::string &path, uint32_t id,
                const FakeDownloadOptions &options) {
   int64_t fileSize = FakeFileSize(path);
   std::ifstream in(path, std::ios::binary);
   if (fileSize < 0 || !in)
      return false;
   uint64_t size = (uint64_t)fileSize;
   std::vector<uint8_t> buffer(HKCP_HEADER_SIZE + FILE_BUFFER_SIZE);
   if (options.strayFrameFirst)
      SendDataFrame(connection, buffer, id + 1000, 0, true);

   uint64_t sent = 0;
   bool ok = true;
   do {
      size_t length = (size_t)std::min<uint64_t>(FILE_BUFFER_SIZE, size - sent);
      if (ReadUpTo(in, &buffer[HKCP_HEADER_SIZE], length) != length) {
         ok = false;
         break;
      }
      bool last = sent + length == size;
      if (options.closeAfter >= 0 && sent + length >= (uint64_t)options.closeAfter) {
         // Part of the file, then the connection goes.
         size_t part = (size_t)((uint64_t)options.closeAfter - sent);
         if (part > 0)
            SendDataFrame(connection, buffer, id, part, false);
         connection.shutdown();
         ok = false;
         break;
      }
      if (last && options.holdBeforeEnd)
         options.holdBeforeEnd->wait(30000);
      if (!SendDataFrame(connection, buffer, id, length, last)) {
         ok = false;
         break;
      }
      sent += length;
   } while (sent < size);
   return ok;
}

}  // namespace

FakeAgentHandler FakeDownload(const std::string &path, FakeDownloadOptions options) {
   return [path, options](FakeAgentConnection &connection, const CSCPMessage &request) {
      bool stream = options.rcc == 0 && options.sendData;
      if (!options.dataBeforeReply)
         connection.reply(request, options.rcc, options.fillReply);
      if (stream && !StreamFile(connection, path, request.GetId(), options))
         return;
      if (options.holdBeforeReply)
         options.holdBeforeReply->wait(30000);
      if (options.dataBeforeReply)
         connection.reply(request, options.rcc, options.fillReply);
   };
}
