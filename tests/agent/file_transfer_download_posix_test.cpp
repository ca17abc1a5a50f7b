// Downloads where POSIX decides the outcome: the target's permissions, a
// device that takes no more, a FIFO, a file size limit, and a path longer
// than Windows' MAX_PATH.
#include <signal.h>
#include <cerrno>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "download_fixture.h"

namespace {

TEST_F(DownloadTest, TargetIsCreatedForItsOwnerOnly) {
   std::string source = dir.file("source.bin");
   ASSERT_TRUE(FakeWriteFile(source, 1000, 5));
   agent.setHandler(kDownloadCode, FakeDownload(source));
   connect();
   std::string target = dir.file("target.bin");
   ASSERT_EQ(0, download(target));
   struct stat info;
   ASSERT_EQ(0, stat(target.c_str(), &info));
   EXPECT_EQ(0600u, info.st_mode & 0777);
}

TEST_F(DownloadTest, ShortWriteToADeviceFailsAndKeepsTheDevice) {
   std::string source = dir.file("source.bin");
   ASSERT_TRUE(FakeWriteFile(source, 100000, 3));
   agent.setHandler(kDownloadCode, FakeDownload(source));
   connect();
   session->setDeleteFileOnDownloadFailure(false);
   // A node of the full device's numbers in the test's own folder (root only).
   std::string device = dir.file("full");
   if (mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 7)) != 0)
      GTEST_SKIP() << "mknod needs root: " << strerror(errno);
   EXPECT_EQ(ERR_IO_FAILURE, download(device));
   struct stat info;
   ASSERT_EQ(0, stat(device.c_str(), &info));
   EXPECT_TRUE(S_ISCHR(info.st_mode));
   // The session is still usable for the next download.
   std::string target = dir.file("after.bin");
   EXPECT_EQ(0, download(target));
   EXPECT_EQ(FakeFileDigest(source), FakeFileDigest(target));
}

TEST_F(DownloadTest, FailedDownloadNeverRemovesAnythingButARegularFile) {
   agent.setHandler(kDownloadCode, FakeReply(ERR_ACCESS_DENIED));
   connect();
   std::string fifo = dir.file("pipe");
   ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
   EXPECT_EQ(ERR_ACCESS_DENIED, download(fifo));
   struct stat info;
   ASSERT_EQ(0, stat(fifo.c_str(), &info));
   EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// Limits the size of files this process writes, so that a download's write
// comes back short, as on a full disk.
class FileSizeLimit {
public:
   explicit FileSizeLimit(rlim_t bytes) {
      getrlimit(RLIMIT_FSIZE, &m_saved);
      m_savedHandler = signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = m_saved;
      limit.rlim_cur = bytes;
      setrlimit(RLIMIT_FSIZE, &limit);
   }
   ~FileSizeLimit() {
      setrlimit(RLIMIT_FSIZE, &m_saved);
      signal(SIGXFSZ, m_savedHandler);
   }

private:
   struct rlimit m_saved;
   sighandler_t m_savedHandler;
};

TEST_F(DownloadTest, ShortWriteRemovesTheTargetOrKeepsItAsSet) {
   std::string source = dir.file("source.bin");
   ASSERT_TRUE(FakeWriteFile(source, 200000, 4));
   agent.setHandler(kDownloadCode, FakeDownload(source));
   connect();
   std::string removed = dir.file("removed.bin");
   std::string kept = dir.file("kept.bin");
   {
      FileSizeLimit limit(40000);
      EXPECT_EQ(ERR_IO_FAILURE, download(removed));
      session->setDeleteFileOnDownloadFailure(false);
      EXPECT_EQ(ERR_IO_FAILURE, download(kept));
   }
   EXPECT_EQ(-1, FakeFileSize(removed));
   EXPECT_EQ(40000, FakeFileSize(kept));
}

TEST_F(DownloadTest, FailedDownloadRemovesTheWholeLongName) {
   // A path past 259 characters: a cut name would point at another file.
   std::string deep = dir.path();
   while (deep.size() < 300) {
      deep += "/" + std::string(60, 'd');
      ASSERT_EQ(0, mkdir(deep.c_str(), 0700));
   }
   std::string target = deep + "/target.bin";
   std::string cut = target.substr(0, 259);
   std::string decoy = cut;
   if (decoy.back() == '/')
      decoy.pop_back();
   ASSERT_TRUE(FakeWriteFile(decoy, "decoy")) << decoy;

   std::string source = dir.file("source.bin");
   ASSERT_TRUE(FakeWriteFile(source, 1 << 20, 8));
   FakeDownloadOptions options;
   options.closeAfter = 50000;
   agent.setHandler(kDownloadCode, FakeDownload(source, options));
   connect();
   EXPECT_EQ(ERR_IO_FAILURE, download(target));
   EXPECT_EQ(-1, FakeFileSize(target));
   EXPECT_EQ(5, FakeFileSize(decoy));
}

}  // namespace
