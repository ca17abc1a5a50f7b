// File transfer for the scriptable agent (fake_agent.h): an upload sink that
// digests what arrives, downloads served from a file as raw CMD_FILE_DATA
// frames, and the temporary files the tests and benchmarks move.
//
// Thread safety: the sink's and the gate's methods may be called from any
// thread while the agent's connection threads run the handlers.
#ifndef FAKE_AGENT_FILES_H
#define FAKE_AGENT_FILES_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "fake_agent.h"

// ---------------------------------------------------------------- files
// A private directory under the system's temporary directory, removed with
// everything in it when the object goes.
class FakeTempDir {
public:
   FakeTempDir();
   ~FakeTempDir();
   FakeTempDir(const FakeTempDir &) = delete;
   FakeTempDir &operator=(const FakeTempDir &) = delete;

   bool valid() const { return !m_path.empty(); }
   const std::string &path() const { return m_path; }
   std::string file(const std::string &name) const { return m_path + "/" + name; }

private:
   std::string m_path;
};

// Writes size pseudo-random bytes (the same bytes for the same seed) to
// path, replacing it; false on any error.
bool FakeWriteFile(const std::string &path, uint64_t size, uint32_t seed);
// Writes exactly these bytes to path.
bool FakeWriteFile(const std::string &path, const std::string &bytes);
// SHA-256 of the file's content in hex, or "" when it cannot be read.
std::string FakeFileDigest(const std::string &path);
// SHA-256 of bytes in hex.
std::string FakeDigest(const void *data, size_t size);
// The file's size, or -1 when it does not exist.
int64_t FakeFileSize(const std::string &path);
std::wstring FakeWide(const std::string &text);  // ASCII paths only

// ---------------------------------------------------------------- gate
// Holds a handler until the test opens it (or the bound passes).
class FakeGate {
public:
   void open();
   // True when opened within timeoutMs.
   bool wait(uint32_t timeoutMs);

private:
   std::mutex m_mutex;
   std::condition_variable m_changed;
   bool m_open = false;
};

// ---------------------------------------------------------------- uploads
// Receives uploads: answers CMD_UPLOAD_FILE with acceptRcc and, when that is
// 0, digests the CMD_FILE_DATA frames of that request until the end-of-file
// frame, then answers finalRcc. Each accepted upload starts the counts
// afresh. install() replaces the agent's handlers for both codes; they share
// the sink's state, so the sink may go before the agent.
class FakeUploadSink {
public:
   struct Options {
      uint32_t acceptRcc = 0;
      uint32_t finalRcc = 0;
      bool answerFinal = true;  // false: no second reply (the session times out)
      // The final reply right after accepting, before any data, and none
      // after the file (an agent that gives up at once).
      bool answerFinalAtOnce = false;
      // After accepting, stops reading until the gate opens (null: never)
      // or for pauseAfterAcceptMs.
      std::shared_ptr<FakeGate> holdAfterAccept;
      uint32_t pauseAfterAcceptMs = 0;
   };

   explicit FakeUploadSink(const Options &options);
   FakeUploadSink() : FakeUploadSink(Options()) {}
   void install(FakeAgent &agent);

   // True once an end-of-file frame was taken, false after timeoutMs.
   bool waitForEnd(uint32_t timeoutMs);
   uint64_t bytes();
   uint32_t frames();
   uint32_t encryptedFrames();  // of the data frames, those that came encrypted
   std::string digest();        // of all data received, once ended
   bool ended();

private:
   struct State;
   std::shared_ptr<State> m_state;
};

// ---------------------------------------------------------------- downloads
struct FakeDownloadOptions {
   uint32_t rcc = 0;              // VID_RCC of the reply
   bool sendData = true;          // stream the file (only when rcc is 0)
   bool dataBeforeReply = false;  // the whole file first, then the reply
   // Shut the connection down after this many data bytes, without an
   // end-of-file frame (-1: never).
   int64_t closeAfter = -1;
   // Opened by the test before the end-of-file frame goes out (null: none).
   std::shared_ptr<FakeGate> holdBeforeEnd;
   // Opened by the test before the reply goes out (null: none).
   std::shared_ptr<FakeGate> holdBeforeReply;
   // A frame for another request id ahead of the data (must be dropped).
   bool strayFrameFirst = false;
   // Adds variables to the reply (null: none), e.g. an announced size.
   std::function<void(CSCPMessage &)> fillReply;
};

// Answers a custom request by sending the file at path, in frames of
// FILE_BUFFER_SIZE bytes with the request's id, the last one flagged end of
// file (an empty file is one empty such frame).
FakeAgentHandler FakeDownload(const std::string &path,
                              FakeDownloadOptions options = FakeDownloadOptions());

#endif
