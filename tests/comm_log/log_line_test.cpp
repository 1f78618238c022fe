// Log lines and the assertion line of the daemon: exact prefixes, one line per
// call, long texts kept whole.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "comm_log.h"

namespace {

TEST(LogLine, BracketFormCarriesTagFunctionAndLine)
{
    testing::internal::CaptureStderr();
    CommLogLine("BCAST", "AcceptProcess", 42, "recvmsg failed (%s)!\n", "Bad address");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[BCAST][AcceptProcess] line[42] recvmsg failed (Bad address)!\n");
}

TEST(LogLine, DashFormCarriesTagFunctionAndLine)
{
    testing::internal::CaptureStderr();
    CommLogDash("PLATFORM", "SelectFd", 7, "s32SocketFd:%d <= 0\n", 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[PLATFORM] -- [SelectFd]:[7] s32SocketFd:0 <= 0\n");
}

TEST(LogLine, MacroUsesCallerNameAndLine)
{
    testing::internal::CaptureStderr();
    const int s32Line = __LINE__ + 1;
    COMM_LOG("x=%d\n", 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[COMM][TestBody] line[" + std::to_string(s32Line) + "] x=5\n");
}

TEST(LogLine, TextLongerThanTheLineBufferIsWrittenWhole)
{
    const std::string strLong(2000, 'a');
    testing::internal::CaptureStderr();
    CommLogLine("COMM", "F", 1, "%s|\n", strLong.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[COMM][F] line[1] " + strLong + "|\n");
}

TEST(LogLineDeathTest, AssertionPrintsBaseNameAndAborts)
{
    EXPECT_EXIT(CommAssertFail("GetGateWay", 12, "/src/common/comm_funcs.cpp"),
                testing::KilledBySignal(SIGABRT), "");
    // The line goes to standard output; check it in a child of our own.
    testing::internal::CaptureStdout();
    const pid_t s32Pid = fork();
    if (s32Pid == 0) {
        CommAssertFail("GetGateWay", 12, "/src/common/comm_funcs.cpp");
    }
    int s32Status = 0;
    waitpid(s32Pid, &s32Status, 0);
    EXPECT_TRUE(WIFSIGNALED(s32Status) && WTERMSIG(s32Status) == SIGABRT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ASSERT failed: func: [GetGateWay], line [12], file: [comm_funcs.cpp]\n");
}

}  // namespace
