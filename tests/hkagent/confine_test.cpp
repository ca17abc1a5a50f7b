// Path confinement: names that would leave the directory are refused,
// whatever route they take; names inside it open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent_codes.h"
#include "confine.h"
#include "test_dirs.h"

using namespace hkagent;
using hkagent_test::TempDir;
using hkagent_test::WriteTextFile;

class ConfineTest : public ::testing::Test {
protected:
   void SetUp() override {
      root = outside.file("store");
      ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
      ASSERT_EQ(mkdir((root + "/sub").c_str(), 0700), 0);
      ASSERT_TRUE(WriteTextFile(root + "/sub/inside.txt", "inside"));
      ASSERT_TRUE(WriteTextFile(outside.file("secret.txt"), "secret"));
      rootFd.reset(open(root.c_str(), O_RDONLY | O_DIRECTORY));
      ASSERT_TRUE(rootFd.valid());
   }

   ConfineStatus tryOpen(const std::string &name) {
      ConfineStatus status;
      int error;
      UniqueFd fd = OpenBeneath(rootFd.get(), name, O_RDONLY, 0, &status, &error);
      EXPECT_EQ(fd.valid(), status == ConfineStatus::Ok) << name;
      return status;
   }

   TempDir outside;
   std::string root;
   UniqueFd rootFd;
};

TEST_F(ConfineTest, NamesInsideOpen) {
   EXPECT_EQ(tryOpen("sub/inside.txt"), ConfineStatus::Ok);
   EXPECT_EQ(tryOpen("sub/./inside.txt"), ConfineStatus::Ok);
}

TEST_F(ConfineTest, LexicallyBadNamesAreRefusedBeforeAnyLookup) {
   for (const char *name : {"", "/etc/passwd", "..", "../secret.txt", "sub/../../secret.txt",
                            "sub/../sub/inside.txt", "sub//inside.txt", "sub/"}) {
      EXPECT_EQ(tryOpen(name), ConfineStatus::BadName) << name;
   }
   EXPECT_FALSE(IsConfinedName(std::string("a\0b", 3)));
   EXPECT_FALSE(IsConfinedName(std::string(5000, 'a')));
}

TEST_F(ConfineTest, SymlinkPointingOutIsRefused) {
   ASSERT_EQ(symlink("../secret.txt", (root + "/out-relative").c_str()), 0);
   ASSERT_EQ(symlink(outside.file("secret.txt").c_str(), (root + "/out-absolute").c_str()), 0);
   ASSERT_EQ(symlink("..", (root + "/updir").c_str()), 0);
   EXPECT_EQ(tryOpen("out-relative"), ConfineStatus::Escapes);
   EXPECT_EQ(tryOpen("out-absolute"), ConfineStatus::Escapes);
   EXPECT_EQ(tryOpen("updir/secret.txt"), ConfineStatus::Escapes);
   EXPECT_EQ(ConfineStatusToRcc(ConfineStatus::Escapes), ERR_ACCESS_DENIED);
}

TEST_F(ConfineTest, SymlinkStayingInsideIsFollowed) {
   ASSERT_EQ(symlink("sub/inside.txt", (root + "/in-link").c_str()), 0);
   ASSERT_EQ(symlink("sub", (root + "/sub-link").c_str()), 0);
   EXPECT_EQ(tryOpen("in-link"), ConfineStatus::Ok);
   EXPECT_EQ(tryOpen("sub-link/inside.txt"), ConfineStatus::Ok);
}

TEST_F(ConfineTest, MissingFileIsNotFound) {
   EXPECT_EQ(tryOpen("sub/none.txt"), ConfineStatus::NotFound);
   EXPECT_EQ(ConfineStatusToRcc(ConfineStatus::NotFound), ERR_FILE_OPEN_ERROR);
}

TEST_F(ConfineTest, ParentOfANewNameIsOpenedBeneath) {
   std::string base;
   ConfineStatus status;
   int error;
   UniqueFd parent = OpenParentBeneath(rootFd.get(), "sub/new.bin", &base, &status, &error);
   ASSERT_TRUE(parent.valid());
   EXPECT_EQ(base, "new.bin");
   parent = OpenParentBeneath(rootFd.get(), "top.bin", &base, &status, &error);
   ASSERT_TRUE(parent.valid());
   EXPECT_EQ(base, "top.bin");
   ASSERT_EQ(symlink("..", (root + "/updir").c_str()), 0);
   parent = OpenParentBeneath(rootFd.get(), "updir/x.bin", &base, &status, &error);
   EXPECT_FALSE(parent.valid());
   EXPECT_EQ(status, ConfineStatus::Escapes);
   parent = OpenParentBeneath(rootFd.get(), "sub/.", &base, &status, &error);
   EXPECT_EQ(status, ConfineStatus::BadName);
}
