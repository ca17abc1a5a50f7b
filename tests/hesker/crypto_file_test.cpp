// SendFileOverHKCP: files of the sizes around the frame size, plain and
// encrypted, read back whole on the other end of a loopback connection,
// with the progress reports, failures, and other writers on the same socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crypto_util.h"
#include "hkcp.h"

using namespace crypto_test;

namespace {

const uint32_t kFileRequestId = 0x0102A0B0;

std::vector<uint8_t> Content(size_t length, uint32_t seed) {
   std::vector<uint8_t> bytes(length);
   uint32_t x = seed * 2654435761u + 1;
   for (size_t i = 0; i < length; i++) {
      x = x * 1103515245u + 12345u;
      bytes[i] = (uint8_t)(x >> 16);
   }
   return bytes;
}

std::string Sha1Hex(const std::vector<uint8_t> &bytes) {
   uint8_t digest[SHA1_DIGEST_SIZE];
   CalculateSHA1Hash(bytes.data(), bytes.size(), digest);
   return Hex(digest, sizeof(digest));
}

std::wstring Widen(const std::string &text) {
   return std::wstring(text.begin(), text.end());
}

// A fresh directory for one test's files, removed with them afterwards.
class TempDir {
public:
   TempDir() {
      std::string pattern = ::testing::TempDir() + "hkcp_file_XXXXXX";
      std::vector<char> buffer(pattern.begin(), pattern.end());
      buffer.push_back('\0');
      if (mkdtemp(buffer.data()) != nullptr)
         m_path = buffer.data();
   }
   ~TempDir() {
      for (const auto &file : m_files)
         remove(file.c_str());
      rmdir(m_path.c_str());
   }
   // Writes bytes to name (UTF-8 on disk) and returns the full path.
   std::string write(const std::string &name, const std::vector<uint8_t> &bytes) {
      std::string path = m_path + "/" + name;
      FILE *f = fopen(path.c_str(), "wb");
      if (f != nullptr) {
         if (!bytes.empty())
            fwrite(bytes.data(), 1, bytes.size(), f);
         fclose(f);
      }
      m_files.push_back(path);
      return path;
   }
   const std::string &path() const { return m_path; }

private:
   std::string m_path;
   std::vector<std::string> m_files;
};

// Another writer's message: its payload is derived from its id, so the
// reader can check each one whole.
std::vector<uint8_t> WriterPayload(uint32_t id) {
   return Content(2000 + (id & 0xFFFF) * 37 % 5000, id);
}

// Reads the file frames (and other writers' messages) from one socket.
struct FileReceiver {
   FileReceiver(SOCKET s, HKCPEncryptionContext *ctx, int others)
       : socket(s), context(ctx), expectedOthers(others) {}

   void run() {
      FrameReader reader(socket);
      while (!ended || othersSeen < expectedOthers) {
         int rc = reader.next(&context, 10000);
         if (rc <= 3) {
            problem = "receive failed with " + std::to_string(rc);
            return;
         }
         const CSCP_MESSAGE *frame = reader.frame();
         uint16_t flags = ntohs(frame->wFlags);
         if (ntohs(frame->wCode) != CMD_FILE_DATA) {
            checkOther(reader);
            continue;
         }
         uint32_t length = ntohl(frame->dwNumVars);
         uint32_t size = ntohl(frame->dwSize);
         if ((flags & MF_BINARY) == 0 || ntohl(frame->dwId) != kFileRequestId ||
             length > FILE_BUFFER_SIZE || size != HKCP_HEADER_SIZE + ((length + 7) & ~7u) ||
             ended) {
            problem = "bad file frame " + std::to_string(frames);
            return;
         }
         bool last = (flags & MF_END_OF_FILE) != 0;
         if (!last && length != FILE_BUFFER_SIZE) {
            problem = "short frame before the end";
            return;
         }
         for (uint32_t i = length; i < size - HKCP_HEADER_SIZE; i++) {
            if (frame->df[i] != 0)
               problem = "padding not zero";
         }
         data.insert(data.end(), frame->df, frame->df + length);
         cumulative.push_back((int64_t)data.size());
         frames++;
         ended = last;
      }
   }

   void checkOther(FrameReader &reader) {
      std::unique_ptr<CSCPMessage> message(reader.message());
      uint32_t id = message->GetId();
      std::vector<uint8_t> payload(message->GetVariableBinary(VID_PDU, nullptr, 0));
      message->GetVariableBinary(VID_PDU, payload.data(), (uint32_t)payload.size());
      if (!message->IsValid() || message->GetCode() != CMD_TRAP || payload != WriterPayload(id))
         problem = "damaged message from another writer";
      othersSeen++;
   }

   SOCKET socket;
   HKCPEncryptionContext *context;  // not owned
   int expectedOthers;
   std::vector<uint8_t> data;
   std::vector<int64_t> cumulative;  // bytes received after each frame
   int frames = 0;
   int othersSeen = 0;
   bool ended = false;
   std::string problem;
};

void RecordProgress(int64_t bytesSent, void *argument) {
   static_cast<std::vector<int64_t> *>(argument)->push_back(bytesSent);
}

struct FileCase {
   size_t size;
   bool encrypted;
};

class CryptoFileSizes : public ::testing::TestWithParam<FileCase> {};

TEST_P(CryptoFileSizes, ArrivesIntactWithRisingProgress) {
   const FileCase &param = GetParam();
   TempDir dir;
   std::vector<uint8_t> content = Content(param.size, (uint32_t)param.size);
   std::wstring name = Widen(dir.write("file.bin", content));
   LoopbackPair pair;
   ASSERT_TRUE(pair.ok());
   Channel channel;
   HKCPEncryptionContext *context = param.encrypted ? channel.chooser.get() : nullptr;

   FileReceiver receiver(pair.b, param.encrypted ? channel.asker.get() : nullptr, 0);
   std::thread thread([&] { receiver.run(); });
   CriticalSection lock;
   std::vector<int64_t> progress;
   bool sent = SendFileOverHKCP(pair.a, kFileRequestId, name.c_str(), context, 0, RecordProgress,
                                &progress, &lock);
   thread.join();
   ASSERT_TRUE(sent);
   ASSERT_EQ(receiver.problem, "");
   EXPECT_TRUE(receiver.ended);
   size_t expectedFrames =
       param.size == 0 ? 1 : (param.size + FILE_BUFFER_SIZE - 1) / FILE_BUFFER_SIZE;
   EXPECT_EQ((size_t)receiver.frames, expectedFrames);
   EXPECT_EQ(receiver.data.size(), content.size());
   EXPECT_EQ(Sha1Hex(receiver.data), Sha1Hex(content));

   // One report after each frame, rising to the size.
   EXPECT_EQ(progress, receiver.cumulative);
   ASSERT_FALSE(progress.empty());
   EXPECT_EQ(progress.back(), (int64_t)param.size);
   for (size_t i = 1; i < progress.size(); i++)
      EXPECT_GT(progress[i], progress[i - 1]);
   if (context != nullptr) {
      EXPECT_EQ(context->getRefCount(), 1) << "the caller's reference stays the only one";
   }
}

std::string CaseName(const ::testing::TestParamInfo<FileCase> &info) {
   return std::to_string(info.param.size) + (info.param.encrypted ? "_encrypted" : "_plain");
}

const size_t kSizes[] = {0,
                         1,
                         FILE_BUFFER_SIZE - 1,
                         FILE_BUFFER_SIZE,
                         FILE_BUFFER_SIZE + 1,
                         1024 * 1024,
                         1024 * 1024 + 4099};

std::vector<FileCase> AllCases() {
   std::vector<FileCase> cases;
   for (bool encrypted : {false, true}) {
      for (size_t size : kSizes)
         cases.push_back({size, encrypted});
   }
   return cases;
}

INSTANTIATE_TEST_SUITE_P(Sizes, CryptoFileSizes, ::testing::ValuesIn(AllCases()), CaseName);

// Other threads write whole messages on the same socket under the same lock
// while the file goes out: every frame arrives whole.
class CryptoFileConcurrent : public ::testing::TestWithParam<bool> {};

TEST_P(CryptoFileConcurrent, OtherWritersNeverInterleave) {
   const int kWriters = 3, kMessages = 60;
   TempDir dir;
   std::vector<uint8_t> content = Content(1024 * 1024 + 77, 9);
   std::wstring name = Widen(dir.write("shared.bin", content));
   LoopbackPair pair;
   ASSERT_TRUE(pair.ok());
   Channel channel;
   HKCPEncryptionContext *context = GetParam() ? channel.chooser.get() : nullptr;

   FileReceiver receiver(pair.b, GetParam() ? channel.asker.get() : nullptr, kWriters * kMessages);
   std::thread reader([&] { receiver.run(); });
   CriticalSection lock;
   std::vector<std::thread> writers;
   std::atomic<int> failedWrites{0};
   for (int w = 1; w <= kWriters; w++) {
      writers.emplace_back([&, w] {
         for (int i = 0; i < kMessages; i++) {
            CSCPMessage message;
            message.SetCode(CMD_TRAP);
            uint32_t id = ((uint32_t)w << 16) | (uint32_t)i;
            message.SetId(id);
            std::vector<uint8_t> payload = WriterPayload(id);
            message.SetVariable(VID_PDU, payload.data(), (uint32_t)payload.size());
            if (!SendMessage(pair.a, message, context, &lock))
               failedWrites++;
         }
      });
   }
   std::vector<int64_t> progress;
   bool sent = SendFileOverHKCP(pair.a, kFileRequestId, name.c_str(), context, 0, RecordProgress,
                                &progress, &lock);
   for (auto &writer : writers)
      writer.join();
   reader.join();
   EXPECT_TRUE(sent);
   EXPECT_EQ(failedWrites.load(), 0);
   ASSERT_EQ(receiver.problem, "");
   EXPECT_EQ(receiver.othersSeen, kWriters * kMessages);
   EXPECT_EQ(Sha1Hex(receiver.data), Sha1Hex(content));
   EXPECT_EQ(progress, receiver.cumulative);
}

INSTANTIATE_TEST_SUITE_P(Channel, CryptoFileConcurrent, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                            return std::string(info.param ? "encrypted" : "plain");
                         });

// ---------------------------------------------------------------- edge cases

class CryptoFileEdges : public ::testing::Test {
protected:
   void SetUp() override { ASSERT_TRUE(pair.ok()); }

   // True when the next frame on the receiving side is the marker, i.e.
   // nothing was sent before it.
   bool NothingSentBeforeMarker() {
      CSCPMessage marker;
      marker.SetCode(CMD_NOP);
      marker.SetId(99);
      EXPECT_TRUE(SendMessage(pair.a, marker, nullptr));
      FrameReader reader(pair.b);
      HKCPEncryptionContext *none = nullptr;
      if (reader.next(&none, 2000) <= 3)
         return false;
      return ntohs(reader.frame()->wCode) == CMD_NOP && ntohl(reader.frame()->dwId) == 99;
   }

   TempDir dir;
   LoopbackPair pair;
   std::vector<int64_t> progress;
};

TEST_F(CryptoFileEdges, MissingFileFailsWithoutSending) {
   std::wstring name = Widen(dir.path() + "/no-such-file");
   EXPECT_FALSE(
       SendFileOverHKCP(pair.a, 1, name.c_str(), nullptr, 0, RecordProgress, &progress, nullptr));
   EXPECT_FALSE(SendFileOverHKCP(pair.a, 1, nullptr, nullptr, 0, nullptr, nullptr, nullptr));
   EXPECT_TRUE(progress.empty());
   EXPECT_TRUE(NothingSentBeforeMarker());
}

TEST_F(CryptoFileEdges, UnreadableFileFailsWithoutSending) {
   // A directory opens but cannot be read.
   std::wstring name = Widen(dir.path());
   EXPECT_FALSE(
       SendFileOverHKCP(pair.a, 1, name.c_str(), nullptr, 0, RecordProgress, &progress, nullptr));
   EXPECT_TRUE(progress.empty());
   EXPECT_TRUE(NothingSentBeforeMarker());
}

TEST_F(CryptoFileEdges, NegativeOffsetFails) {
   std::wstring name = Widen(dir.write("x.bin", Content(10, 1)));
   EXPECT_FALSE(SendFileOverHKCP(pair.a, 1, name.c_str(), nullptr, -1, nullptr, nullptr, nullptr));
   EXPECT_TRUE(NothingSentBeforeMarker());
}

TEST_F(CryptoFileEdges, NonAsciiNameIsOpenedAsUtf8) {
   std::vector<uint8_t> content = Content(5000, 3);
   // "fichier-é-日本-😀.bin" written by its UTF-8 bytes.
   dir.write("fichier-\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9F\x98\x80.bin", content);
   std::wstring name = Widen(dir.path()) + L"/fichier-\u00E9-\u65E5\u672C-\U0001F600.bin";
   FileReceiver receiver(pair.b, nullptr, 0);
   std::thread thread([&] { receiver.run(); });
   EXPECT_TRUE(SendFileOverHKCP(pair.a, kFileRequestId, name.c_str(), nullptr, 0, nullptr, nullptr,
                                nullptr));
   thread.join();
   EXPECT_EQ(receiver.problem, "");
   EXPECT_EQ(receiver.data, content);
}

TEST_F(CryptoFileEdges, NameThatIsNoUnicodeFails) {
   std::wstring name = Widen(dir.path()) + L"/bad";
   name.push_back((wchar_t)0xD800);
   EXPECT_FALSE(SendFileOverHKCP(pair.a, 1, name.c_str(), nullptr, 0, nullptr, nullptr, nullptr));
   name.back() = (wchar_t)0x110000;
   EXPECT_FALSE(SendFileOverHKCP(pair.a, 1, name.c_str(), nullptr, 0, nullptr, nullptr, nullptr));
}

TEST_F(CryptoFileEdges, OffsetSendsTheRest) {
   std::vector<uint8_t> content = Content(100000, 5);
   std::wstring name = Widen(dir.write("offset.bin", content));
   FileReceiver receiver(pair.b, nullptr, 0);
   std::thread thread([&] { receiver.run(); });
   EXPECT_TRUE(SendFileOverHKCP(pair.a, kFileRequestId, name.c_str(), nullptr, 40000,
                                RecordProgress, &progress, nullptr));
   thread.join();
   EXPECT_EQ(receiver.problem, "");
   EXPECT_TRUE(receiver.data == std::vector<uint8_t>(content.begin() + 40000, content.end()));
   ASSERT_FALSE(progress.empty());
   EXPECT_EQ(progress.back(), 60000);
}

TEST_F(CryptoFileEdges, OffsetPastTheEndSendsOneEmptyLastFrame) {
   std::wstring name = Widen(dir.write("short.bin", Content(100, 5)));
   FileReceiver receiver(pair.b, nullptr, 0);
   std::thread thread([&] { receiver.run(); });
   EXPECT_TRUE(SendFileOverHKCP(pair.a, kFileRequestId, name.c_str(), nullptr, 1000, RecordProgress,
                                &progress, nullptr));
   thread.join();
   EXPECT_EQ(receiver.problem, "");
   EXPECT_EQ(receiver.frames, 1);
   EXPECT_TRUE(receiver.data.empty());
   EXPECT_EQ(progress, std::vector<int64_t>{0});
}

TEST_F(CryptoFileEdges, WriteFailureFails) {
   std::wstring name = Widen(dir.write("big.bin", Content(4 * 1024 * 1024, 8)));
   closesocket(pair.b);
   pair.b = INVALID_SOCKET;
   EXPECT_FALSE(
       SendFileOverHKCP(pair.a, 1, name.c_str(), nullptr, 0, RecordProgress, &progress, nullptr));
   EXPECT_LT(progress.size(), 128u) << "stopped before the end";
}

// Another thread closes the shared handle after the first frame, and a new
// descriptor takes its number at once: no later frame reaches it.
struct CloseAfterFirstFrame {
   std::atomic<SOCKET> *shared;
   CriticalSection *lock;
   LoopbackPair *pair;
   int newcomerPeer = -1;  // the other end of the descriptor that took the number
   int frames = 0;

   static void OnProgress(int64_t, void *argument) {
      auto *self = static_cast<CloseAfterFirstFrame *>(argument);
      if (++self->frames != 1)
         return;
      SOCKET old = self->shared->exchange(INVALID_SOCKET);
      std::lock_guard<CriticalSection> guard(*self->lock);
      closesocket(old);
      self->pair->a = INVALID_SOCKET;
      int ends[2];
      if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) != 0)
         return;
      int number = (int)old;
      if (ends[0] != number) {  // usually the freed number is the lowest and taken already
         dup2(ends[0], number);
         close(ends[0]);
      }
      self->newcomerPeer = ends[1];
   }
};

TEST_F(CryptoFileEdges, SharedHandleClosedMidFileIsNeverWrittenTo) {
   std::wstring name = Widen(dir.write("closed.bin", Content(4 * FILE_BUFFER_SIZE, 9)));
   SOCKET number = pair.a;
   std::atomic<SOCKET> shared{pair.a};
   CriticalSection lock;
   CloseAfterFirstFrame closer{&shared, &lock, &pair};

   EXPECT_FALSE(SendFileOverHKCP(&shared, kFileRequestId, name.c_str(), nullptr, 0,
                                 CloseAfterFirstFrame::OnProgress, &closer, &lock));
   EXPECT_EQ(closer.frames, 1);
   ASSERT_NE(closer.newcomerPeer, -1);
   uint8_t byte;
   EXPECT_EQ(recv(closer.newcomerPeer, &byte, 1, 0), -1) << "a frame reached the newcomer";
   EXPECT_EQ(errno, EAGAIN);
   close(closer.newcomerPeer);
   close((int)number);
}

TEST_F(CryptoFileEdges, SharedHandleNeedsItsLock) {
   std::wstring name = Widen(dir.write("x.bin", Content(10, 1)));
   std::atomic<SOCKET> shared{pair.a};
   EXPECT_FALSE(SendFileOverHKCP(&shared, 1, name.c_str(), nullptr, 0, nullptr, nullptr, nullptr));
   EXPECT_TRUE(NothingSentBeforeMarker());
}

}  // namespace
