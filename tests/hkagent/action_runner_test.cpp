// The argument-vector runner: arguments are never interpreted by a shell,
// the exit status decides the result, and the time limit kills.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>

#include "action_runner.h"
#include "hesker.h"
#include "agent_codes.h"
#include "test_dirs.h"

using namespace hkagent;
using hkagent_test::FileExists;
using hkagent_test::ReadTextFile;
using hkagent_test::TempDir;

TEST(ActionRunner, ShellMetacharactersArePassedLiterally) {
   TempDir dir;
   std::string victim = dir.file("x");
   std::string out = dir.file("args");
   // The program writes its arguments, one per line, to a file; if any
   // argument reached a shell, "touch" would create the victim.
   std::vector<std::string> argv = {"/bin/sh",
                                    "-c",
                                    "printf '%s\\n' \"$@\" > \"$0\"",
                                    out,
                                    "; touch " + victim,
                                    "$(touch " + victim + ")",
                                    "`touch " + victim + "`",
                                    "&& touch " + victim};
   ProgramResult result;
   ASSERT_EQ(RunProgram(argv, 10000, &result), ERR_SUCCESS);
   EXPECT_TRUE(result.started);
   EXPECT_EQ(result.exitCode, 0);
   EXPECT_FALSE(FileExists(victim));
   std::string written;
   ASSERT_TRUE(ReadTextFile(out, &written));
   EXPECT_EQ(written, "; touch " + victim + "\n$(touch " + victim + ")\n`touch " + victim +
                          "`\n&& touch " + victim + "\n");
}

TEST(ActionRunner, ArgumentIsNeverSplitOrExpanded) {
   TempDir dir;
   std::string victim = dir.file("x");
   // /bin/echo gets the whole text as one argument and prints it; nothing
   // is executed.
   ProgramResult result;
   EXPECT_EQ(RunProgram({"/bin/echo", "; touch " + victim}, 10000, &result), ERR_SUCCESS);
   EXPECT_FALSE(FileExists(victim));
}

TEST(ActionRunner, NonZeroExitAndSignalAreFailures) {
   ProgramResult result;
   EXPECT_EQ(RunProgram({"/bin/sh", "-c", "exit 3"}, 10000, &result), ERR_EXEC_FAILED);
   EXPECT_EQ(result.exitCode, 3);
   EXPECT_EQ(RunProgram({"/bin/sh", "-c", "kill -9 $$"}, 10000, &result), ERR_EXEC_FAILED);
   EXPECT_EQ(result.signal, 9);
}

TEST(ActionRunner, MissingOrRelativeProgramFails) {
   ProgramResult result;
   EXPECT_EQ(RunProgram({"/nonexistent/program"}, 1000, &result), ERR_EXEC_FAILED);
   EXPECT_FALSE(result.started);
   EXPECT_EQ(RunProgram({"echo", "x"}, 1000, &result), ERR_EXEC_FAILED);
   EXPECT_EQ(RunProgram({}, 1000, &result), ERR_EXEC_FAILED);
}

namespace {

// True once the process is gone or a zombie, waiting at most timeoutMs.
bool ProcessEnded(long pid, uint32_t timeoutMs) {
   uint64_t deadline = GetMonotonicMs() + timeoutMs;
   for (;;) {
      std::string stat;
      if (!ReadTextFile("/proc/" + std::to_string(pid) + "/stat", &stat))
         return true;
      size_t close = stat.rfind(')');
      if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z')
         return true;
      if (GetMonotonicMs() >= deadline)
         return false;
      struct timespec pause = {0, 5 * 1000000};
      nanosleep(&pause, nullptr);
   }
}

}  // namespace

TEST(ActionRunner, TimeLimitKillsTheProgramAndItsChildren) {
   // The program starts a child and both sleep far longer than the limit;
   // the runner must come back after the limit with both killed.
   TempDir dir;
   std::string pidFile = dir.file("child.pid");
   ProgramResult result;
   uint64_t start = GetMonotonicMs();
   uint32_t rcc =
       RunProgram({"/bin/sh", "-c", "sleep 30 & echo $! > \"$0\"; wait", pidFile}, 300, &result);
   uint64_t elapsed = GetMonotonicMs() - start;
   EXPECT_EQ(rcc, ERR_EXEC_FAILED);
   EXPECT_TRUE(result.timedOut);
   EXPECT_GE(elapsed, 300u);
   EXPECT_LT(elapsed, 20000u);  // bounded far below the program's own 30 s
   std::string pidText;
   ASSERT_TRUE(ReadTextFile(pidFile, &pidText));
   long child = strtol(pidText.c_str(), nullptr, 10);
   ASSERT_GT(child, 0);
   EXPECT_TRUE(ProcessEnded(child, 5000));
}
