// uploadFile: the request on the wire, the file's bytes intact in every
// size, plain and encrypted, with rising progress, and each way it fails.
#include "file_transfer_fixture.h"

namespace {

class UploadTest : public FileTransferTest {
protected:
   // Uploads a file of size bytes and checks what the agent received.
   void roundTrip(uint64_t size, RSA *key) {
      FakeUploadSink sink;
      sink.install(agent);
      connect(key);
      std::string path = dir.file("upload.bin");
      ASSERT_TRUE(FakeWriteFile(path, size, (uint32_t)size));
      ProgressLog progress;
      ASSERT_EQ(ERR_SUCCESS, session->uploadFile(FakeWide(path).c_str(), nullptr,
                                                 ProgressLog::upload, &progress));
      ASSERT_TRUE(sink.ended());
      EXPECT_EQ(size, sink.bytes());
      EXPECT_EQ(FakeFileDigest(path), sink.digest());
      progress.expectRisingTo(size);
      if (key != nullptr) {
         EXPECT_EQ(sink.frames(), sink.encryptedFrames());
      }
   }
};

TEST_F(UploadTest, EmptyFile) {
   roundTrip(0, nullptr);
}
TEST_F(UploadTest, OneByte) {
   roundTrip(1, nullptr);
}
TEST_F(UploadTest, OneMebibyte) {
   roundTrip(1 << 20, nullptr);
}
TEST_F(UploadTest, ExactMultipleOfTheFrameSize) {
   roundTrip(2 * FILE_BUFFER_SIZE, nullptr);
}
TEST_F(UploadTest, OneMebibyteEncrypted) {
   roundTrip(1 << 20, TestServerKey());
}

TEST(UploadLargeTest, HundredMebibytes) {
   FakeAgentOptions options;
   options.record = false;  // the frames are digested, not kept
   FakeAgent agent(options);
   FakeUploadSink sink;
   sink.install(agent);
   FakeTempDir dir;
   std::string path = dir.file("large.bin");
   const uint64_t size = 100ull << 20;
   ASSERT_TRUE(FakeWriteFile(path, size, 100));
   TestSession session(FakeAgent::addressNetworkOrder(), agent.port());
   ASSERT_EQ(1, session.connect());
   ProgressLog progress;
   ASSERT_EQ(ERR_SUCCESS, session.uploadFile(FakeWide(path).c_str(), L"/srv/large.bin",
                                             ProgressLog::upload, &progress));
   EXPECT_EQ(size, sink.bytes());
   EXPECT_EQ(FakeFileDigest(path), sink.digest());
   progress.expectRisingTo(size);
}

TEST_F(UploadTest, RequestNamesTheFileWithoutItsDirectory) {
   FakeUploadSink sink;
   sink.install(agent);
   connect();
   std::string path = dir.file("report.txt");
   ASSERT_TRUE(FakeWriteFile(path, "hello"));
   ASSERT_EQ(ERR_SUCCESS, session->uploadFile(FakeWide(path).c_str()));
   auto request = only(CMD_UPLOAD_FILE);
   EXPECT_EQ(1u, request->GetNumVariables());  // no destination without one
   EXPECT_EQ(L"report.txt", Str(*request, VID_FILE_NAME));
   EXPECT_FALSE(request->IsVariableExist(VID_DESTINATION_FILE_NAME));

   // The data frames carry the request's id.
   std::vector<FakeAgentRecord> data = agent.recordsWithCode(CMD_FILE_DATA);
   ASSERT_EQ(1u, data.size());
   EXPECT_EQ(request->GetId(), data[0].id);
   EXPECT_TRUE(data[0].message->GetFlags() & MF_END_OF_FILE);
}

TEST_F(UploadTest, DestinationIsSentWhenGiven) {
   FakeUploadSink sink;
   sink.install(agent);
   connect();
   std::string path = dir.file("a.cfg");
   ASSERT_TRUE(FakeWriteFile(path, "x"));
   ASSERT_EQ(ERR_SUCCESS, session->uploadFile(FakeWide(path).c_str(), L"/etc/agent/a.cfg"));
   auto request = only(CMD_UPLOAD_FILE);
   EXPECT_EQ(2u, request->GetNumVariables());
   EXPECT_EQ(L"a.cfg", Str(*request, VID_FILE_NAME));
   EXPECT_EQ(L"/etc/agent/a.cfg", Str(*request, VID_DESTINATION_FILE_NAME));
}

TEST_F(UploadTest, BaseNameRuleForEverySeparator) {
   // The agent refuses, so no local file is read; only the names matter.
   agent.setHandler(CMD_UPLOAD_FILE, FakeReply(ERR_ACCESS_DENIED));
   connect();
   const wchar_t *paths[] = {L"C:\\data\\in\\file.bin", L"/var/tmp/file.bin", L"file.bin",
                             L"/var/tmp/", L"C:\\dir\\"};
   for (const wchar_t *path : paths)
      EXPECT_EQ(ERR_ACCESS_DENIED, session->uploadFile(path));
   std::vector<std::wstring> names;
   for (const FakeAgentRecord &record : agent.recordsWithCode(CMD_UPLOAD_FILE))
      names.push_back(Str(*record.message, VID_FILE_NAME));
   EXPECT_EQ((std::vector<std::wstring>{L"file.bin", L"file.bin", L"file.bin", L"", L""}), names);
   EXPECT_TRUE(agent.recordsWithCode(CMD_FILE_DATA).empty());
}

TEST_F(UploadTest, AgentErrorAfterTheFileIsReturned) {
   FakeUploadSink::Options options;
   options.finalRcc = ERR_FILE_OPEN_ERROR;  // the agent could not store it
   FakeUploadSink sink(options);
   sink.install(agent);
   connect();
   std::string path = dir.file("f");
   ASSERT_TRUE(FakeWriteFile(path, 5000, 1));
   EXPECT_EQ(ERR_FILE_OPEN_ERROR, session->uploadFile(FakeWide(path).c_str()));
   EXPECT_EQ(5000u, sink.bytes());
}

TEST_F(UploadTest, MissingSecondReplyTimesOut) {
   FakeUploadSink::Options options;
   options.answerFinal = false;
   FakeUploadSink sink(options);
   sink.install(agent);
   connect();
   session->setCommandTimeout(500);
   std::string path = dir.file("f");
   ASSERT_TRUE(FakeWriteFile(path, 10, 1));
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->uploadFile(FakeWide(path).c_str()));
   EXPECT_TRUE(sink.ended());

   agent.setHandler(CMD_UPLOAD_FILE, FakeSilent());
   EXPECT_EQ(ERR_REQUEST_TIMEOUT, session->uploadFile(FakeWide(path).c_str()));
}

TEST_F(UploadTest, UnreadableLocalFileIsAnIoFailure) {
   FakeUploadSink sink;
   sink.install(agent);
   connect();
   EXPECT_EQ(ERR_IO_FAILURE, session->uploadFile(FakeWide(dir.file("missing")).c_str()));
   EXPECT_TRUE(agent.recordsWithCode(CMD_FILE_DATA).empty());
   // The session goes on.
   EXPECT_EQ(ERR_SUCCESS, session->nop());
}

TEST(UploadNotConnectedTest, RefusedWithoutSending) {
   AgentConnection session(Ip("127.0.0.1"), 1);
   EXPECT_EQ(ERR_NOT_CONNECTED, session.uploadFile(L"/etc/hostname"));
   EXPECT_EQ(1u, session.generateRequestId());
}

// Opens the context to the test: its reference count shows what an upload
// took and did not give back.
class ContextSession : public TestSession {
public:
   using TestSession::TestSession;
   int contextReferences() {
      HKCPEncryptionContext *context = acquireEncryptionContext();
      if (context == nullptr)
         return 0;
      int count = context->getRefCount() - 1;
      context->decRefCount();
      return count;
   }
};

TEST(UploadContextTest, EncryptedUploadsReleaseTheirContextReference) {
   FakeAgent agent;
   FakeUploadSink sink;
   sink.install(agent);
   FakeTempDir dir;
   std::string path = dir.file("f");
   ASSERT_TRUE(FakeWriteFile(path, 100, 1));
   ContextSession session(FakeAgent::addressNetworkOrder(), agent.port());
   session.setEncryptionPolicy(ENCRYPTION_REQUIRED);
   ASSERT_EQ(1, session.connect(TestServerKey()));
   ASSERT_EQ(ERR_SUCCESS, session.nop());
   int before = session.contextReferences();
   ASSERT_GT(before, 0);
   for (int i = 0; i < 3; i++)
      ASSERT_EQ(ERR_SUCCESS, session.uploadFile(FakeWide(path).c_str()));
   EXPECT_EQ(before, session.contextReferences());
   EXPECT_EQ(3u, agent.recordsWithCode(CMD_UPLOAD_FILE).size());
}

}  // namespace
