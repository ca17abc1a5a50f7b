// The download tests' fixture: a connected session, a temporary folder
// and a download driven through customRequest with a receive file.
#ifndef DOWNLOAD_FIXTURE_H
#define DOWNLOAD_FIXTURE_H

#include <string>

#include "file_transfer_fixture.h"

inline constexpr uint16_t kDownloadCode = 0x1234;  // any code the caller chooses

class DownloadTest : public FileTransferTest {
protected:
   // Sends a custom request with a receive file; returns the reply's VID_RCC
   // (-1 for no reply).
   int64_t download(const std::string &target, bool append = false, ProgressLog *progress = nullptr,
                    uint32_t *requestId = nullptr) {
      CSCPMessage request;
      request.SetCode(kDownloadCode);
      request.SetVariable(VID_FILE_NAME, L"remote.bin");
      CSCPMessage *reply =
          session->customRequest(&request, FakeWide(target).c_str(), append,
                                 progress != nullptr ? ProgressLog::download : nullptr, progress);
      if (requestId != nullptr)
         *requestId = request.GetId();
      if (reply == nullptr)
         return -1;
      EXPECT_EQ(CMD_REQUEST_COMPLETED, reply->GetCode());
      EXPECT_EQ(request.GetId(), reply->GetId());
      int64_t rcc = reply->GetVariableLong(VID_RCC);
      delete reply;
      return rcc;
   }

   void roundTrip(uint64_t size, RSA *key, FakeDownloadOptions options = FakeDownloadOptions()) {
      std::string source = dir.file("source.bin");
      ASSERT_TRUE(FakeWriteFile(source, size, (uint32_t)size + 7));
      agent.setHandler(kDownloadCode, FakeDownload(source, options));
      connect(key);
      std::string target = dir.file("target.bin");
      ProgressLog progress;
      ASSERT_EQ(0, download(target, false, &progress));
      EXPECT_EQ((int64_t)size, FakeFileSize(target));
      EXPECT_EQ(FakeFileDigest(source), FakeFileDigest(target));
      progress.expectRisingTo(size);
   }
};

#endif
