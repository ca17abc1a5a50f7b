// Shared pieces of the file-transfer tests: a connected session with a
// temporary directory, and a recorder of progress callbacks.
#ifndef FILE_TRANSFER_FIXTURE_H
#define FILE_TRANSFER_FIXTURE_H

#include <mutex>
#include <vector>

#include "fake_agent_files.h"
#include "requests_fixture.h"

// Progress values as a callback reported them, from any thread.
class ProgressLog {
public:
   static void upload(int64_t bytes, void *argument) {
      static_cast<ProgressLog *>(argument)->add((uint64_t)bytes);
   }
   static void download(uint64_t position, void *argument) {
      static_cast<ProgressLog *>(argument)->add(position);
   }

   std::vector<uint64_t> values() {
      std::lock_guard<std::mutex> guard(m_mutex);
      return m_values;
   }

   // Rising (never falling) and ending at size; no call at all for an empty
   // transfer.
   // Rising positions, one per frame before the last: the end-of-file
   // frame ends the download and reports no progress of its own.
   void expectRisingTo(uint64_t size) {
      std::vector<uint64_t> seen = values();
      for (size_t i = 1; i < seen.size(); i++)
         ASSERT_LT(seen[i - 1], seen[i]) << "at call " << i;
      if (!seen.empty()) {
         EXPECT_LE(seen.back(), size);
      }
   }

private:
   void add(uint64_t value) {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_values.push_back(value);
   }
   std::mutex m_mutex;
   std::vector<uint64_t> m_values;
};

class FileTransferTest : public RequestTest {
protected:
   void SetUp() override {
      RequestTest::SetUp();
      ASSERT_TRUE(dir.valid());
   }

   FakeTempDir dir;
};

#endif
