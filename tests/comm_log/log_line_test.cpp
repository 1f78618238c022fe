// SPDX-License-Identifier: MIT
// Log lines and the assertion line of the daemon: exact prefixes, one line per
// call, long texts kept whole.
#include <gtest/gtest.h>

#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "comm_log.h"
#include "comm_log_internal.h"

namespace {

/* Each test starts with a full budget, whatever ran before it. */
class LogLine : public testing::Test {
protected:
    void SetUp() override { CommLogBudgetRefill(); }
};

TEST_F(LogLine, BracketFormCarriesTagFunctionAndLine)
{
    testing::internal::CaptureStderr();
    CommLogLine("BCAST", "AcceptProcess", 42, "recvmsg failed (%s)!\n", "Bad address");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[BCAST][AcceptProcess] line[42] recvmsg failed (Bad address)!\n");
}

TEST_F(LogLine, DashFormCarriesTagFunctionAndLine)
{
    testing::internal::CaptureStderr();
    CommLogDash("PLATFORM", "SelectFd", 7, "s32SocketFd:%d <= 0\n", 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[PLATFORM] -- [SelectFd]:[7] s32SocketFd:0 <= 0\n");
}

TEST_F(LogLine, MacroUsesCallerNameAndLine)
{
    testing::internal::CaptureStderr();
    const int s32Line = __LINE__ + 1;
    COMM_LOG("x=%d\n", 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[COMM][TestBody] line[" + std::to_string(s32Line) + "] x=5\n");
}

TEST_F(LogLine, TextLongerThanTheLineBufferIsWrittenWhole)
{
    const std::string strLong(2000, 'a');
    testing::internal::CaptureStderr();
    CommLogLine("COMM", "F", 1, "%s|\n", strLong.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[COMM][F] line[1] " + strLong + "|\n");
}

TEST_F(LogLine, TraceGoesToStandardOutputWhole)
{
    testing::internal::CaptureStdout();
    CommTrace("<%s>:(%d), fopen error\n", "GetDevInfo", 9);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "<GetDevInfo>:(9), fopen error\n");
}

/* A flood of lines from one process: the burst is written, the rest is left
 * out and reported once, before the next line that is written. */
TEST_F(LogLine, FloodIsCutToTheBudgetAndReported)
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    for (unsigned i = 0; i < 3 * COMM_LOG_BURST; ++i) {
        if (i % 2 == 0) {
            CommLogLine("BCAST", "AcceptProcess", 1, "line %u\n", i);
        } else {
            CommTrace("trace %u\n", i);
        }
    }
    const std::string strErr = testing::internal::GetCapturedStderr();
    const std::string strOut = testing::internal::GetCapturedStdout();
    size_t uLines = 0;
    for (const std::string* pstr : {&strErr, &strOut}) {
        for (char c : *pstr) uLines += c == '\n';
    }
    /* The burst, and what the clock refilled while the loop ran (a busy
     * machine may take a while, so the bound is loose on that side). */
    EXPECT_GE(uLines, (size_t)COMM_LOG_BURST);
    EXPECT_LT(uLines, (size_t)(2 * COMM_LOG_BURST));
    EXPECT_EQ(strErr.find("left out"), std::string::npos) << "reported only with the next line";


    /* Lines keep coming for at least a second: the refill lets some through,
     * the first of them behind the report of what was left out. */
    testing::internal::CaptureStderr();
    for (unsigned i = 0; i < 200; ++i) {
        CommLogLine("COMM", "F", 3, "after %u\n", i);
        const struct timespec stStep = {0, 5 * 1000 * 1000};
        nanosleep(&stStep, nullptr);
    }
    const std::string strAfter = testing::internal::GetCapturedStderr();
    const size_t uReport = strAfter.find(" log lines left out\n");
    ASSERT_NE(uReport, std::string::npos) << strAfter;
    EXPECT_EQ(strAfter.rfind("[COMM][CommLogAdmit] line[", uReport), 0u);
    EXPECT_EQ(strAfter.find("[COMM][F] line[3] after "), strAfter.find('\n') + 1);
}

/* CommFormatPlain and snprintf side by side: the same text, or a refusal that
 * sends the caller to vsnprintf. */
__attribute__((format(printf, 3, 4)))
int Plain(char* ps8Dst, size_t uSize, const char* ps8Fmt, ...)
{
    va_list args;
    va_start(args, ps8Fmt);
    const int s32Len = CommFormatPlain(ps8Dst, uSize, ps8Fmt, args);
    va_end(args);
    return s32Len;
}

TEST(PlainFormat, SameTextAsPrintfForTheSearchLines)
{
    struct Case {
        int s32A;
        unsigned u32B;
        const char* ps8C;
    };
    const Case cases[] = {
        {0, 0, ""},
        {-1, 1, "eth0"},
        {9, 9, "a%b"},
        {10, 10, "10.1.0.1"},
        {255, 255, "00-11-22-33-44-55"},
        {INT_MAX, UINT_MAX, "x"},
        {INT_MIN, 0x80000000u, "\x1b"},
        {-2147483647, 4096, "y"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.s32A);
        char s8Want[256];
        char s8Got[256];
        const int s32Want = snprintf(s8Want, sizeof(s8Want),
                                     "index=%d ip_dst_addr=%s [%u] %i %x %X %c%% end\n", c.s32A,
                                     c.ps8C, c.u32B, c.s32A, c.u32B, c.u32B, (char)('A' + (c.u32B & 7)));
        const int s32Got = Plain(s8Got, sizeof(s8Got),
                                 "index=%d ip_dst_addr=%s [%u] %i %x %X %c%% end\n", c.s32A, c.ps8C,
                                 c.u32B, c.s32A, c.u32B, c.u32B, (char)('A' + (c.u32B & 7)));
        ASSERT_EQ(s32Want, s32Got);
        EXPECT_EQ(std::string(s8Want), std::string(s8Got));
    }
    /* The provider's lines, whole. */
    char s8Got[256];
    ASSERT_GT(Plain(s8Got, sizeof(s8Got),
                    "__________________dhcp[%d] ip [%d].[%d].[%d].[%d]--natmask [%d].[%d].[%d].[%d]\n",
                    2, 192, 168, 1, 10, 255, 255, 255, 0),
              0);
    EXPECT_STREQ("__________________dhcp[2] ip [192].[168].[1].[10]--natmask [255].[255].[255].[0]\n",
                 s8Got);
}

TEST(PlainFormat, AnythingElseIsLeftToPrintf)
{
    char s8Buf[64];
    const char* volatile ps8Null = nullptr;   /* not known to the compiler */
    EXPECT_EQ(-1, Plain(s8Buf, sizeof(s8Buf), "%5d", 1));
    EXPECT_EQ(-1, Plain(s8Buf, sizeof(s8Buf), "%02X", 1u));
    EXPECT_EQ(-1, Plain(s8Buf, sizeof(s8Buf), "%lld", 1ll));
    EXPECT_EQ(-1, Plain(s8Buf, sizeof(s8Buf), "%zu", sizeof(s8Buf)));
    EXPECT_EQ(-1, Plain(s8Buf, sizeof(s8Buf), "%.*s", 2, "abc"));
    EXPECT_EQ(-1, Plain(s8Buf, sizeof(s8Buf), "%s", ps8Null));
    /* No room: refused whole, the buffer still terminated. */
    char s8Small[8];
    EXPECT_EQ(-1, Plain(s8Small, sizeof(s8Small), "%s", "12345678"));
    EXPECT_EQ('\0', s8Small[sizeof(s8Small) - 1]);
    EXPECT_EQ(7, Plain(s8Small, sizeof(s8Small), "%s", "1234567"));
}

TEST_F(LogLine, LinesOutsideThePlainFormsStayPrintfs)
{
    testing::internal::CaptureStderr();
    CommLogLine("BCAST", "AcceptProcess", 12, "cDevType: %lld , %05d|%-3s|\n", -5ll, 42, "a");
    CommLogDash("COMM", "GetDnsAddr", -3, "DnsAddress = %03d.%03d\n", 8, 255);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[BCAST][AcceptProcess] line[12] cDevType: -5 , 00042|a  |\n"
              "[COMM] -- [GetDnsAddr]:[-3] DnsAddress = 008.255\n");
}

TEST(LogBudget, BurstThenSustainedRateOverAFakeClock)
{
    CommLogBucket stBucket(200, 50);
    unsigned u32LeftOut = 99;
    uint64_t u64Now = 1000;
    for (unsigned i = 0; i < 200; ++i) {
        ASSERT_TRUE(stBucket.Take(u64Now, &u32LeftOut)) << i;
        ASSERT_EQ(0u, u32LeftOut);
    }
    for (unsigned i = 0; i < 7; ++i) EXPECT_FALSE(stBucket.Take(u64Now, &u32LeftOut));
    /* 50 lines a second: one line's token every 20 ms; the report takes one too. */
    u64Now += 20;
    EXPECT_FALSE(stBucket.Take(u64Now, &u32LeftOut)) << "a report and its line need two tokens";
    u64Now += 20;
    ASSERT_TRUE(stBucket.Take(u64Now, &u32LeftOut));
    EXPECT_EQ(8u, u32LeftOut) << "seven in the burst's wake, one waiting for the second token";
    u64Now += 20;
    ASSERT_TRUE(stBucket.Take(u64Now, &u32LeftOut));
    EXPECT_EQ(0u, u32LeftOut);

    /* Sustained: over 10 s of one line a millisecond, about 50 a second pass. */
    unsigned u32Written = 0;
    for (unsigned i = 0; i < 10000; ++i) {
        u64Now += 1;
        if (stBucket.Take(u64Now, &u32LeftOut)) u32Written += 1 + (u32LeftOut > 0 ? 1 : 0);
    }
    EXPECT_LE(u32Written, 500u + 2u);
    EXPECT_GE(u32Written, 500u - 2u);

    /* An idle minute fills it again, never beyond the burst. */
    u64Now += 60000;
    unsigned u32Burst = 0;
    while (stBucket.Take(u64Now, &u32LeftOut) && u32Burst < 1000) {
        u32Burst += 1 + (u32LeftOut > 0 ? 1 : 0);
    }
    EXPECT_EQ(200u, u32Burst);
}

TEST(LogBudget, ClockGoingBackAddsNothing)
{
    CommLogBucket stBucket(2, 1000);
    unsigned u32LeftOut = 0;
    EXPECT_TRUE(stBucket.Take(5000, &u32LeftOut));
    EXPECT_TRUE(stBucket.Take(5000, &u32LeftOut));
    EXPECT_FALSE(stBucket.Take(4000, &u32LeftOut));
    EXPECT_FALSE(stBucket.Take(5000, &u32LeftOut));
    EXPECT_TRUE(stBucket.Take(5002, &u32LeftOut));
    EXPECT_EQ(2u, u32LeftOut);
}

TEST(LogEscape, NetworkBytesCannotAddALine)
{
    const struct {
        std::string strIn;
        size_t uMax;
        const char* ps8Out;
    } cases[] = {
        {"00-11-22-AA-BB-CC", 36, "00-11-22-AA-BB-CC"},
        {"ab\ncd", 36, "ab\\x0acd"},
        {"\x1b[2J\r", 36, "\\x1b[2J\\x0d"},
        {"a\\b", 36, "a\\x5cb"},   /* the escape character itself, so no text forges one */
        {"\xff\x7f", 36, "\\xff\\x7f"},
        {"abcdef", 3, "abc"},         /* a field without terminator: read to its width */
        {std::string("ab\0cd", 5), 5, "ab"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ps8Out);
        char s8Out[CommLogEscapedSize(36)];
        EXPECT_EQ(strlen(c.ps8Out), CommLogEscape(s8Out, sizeof(s8Out), c.strIn.data(), c.uMax));
        EXPECT_STREQ(c.ps8Out, s8Out);
    }
    /* The worst case fits its size exactly; a small buffer cuts at a whole byte. */
    const std::string strAll(36, '\n');
    char s8Full[CommLogEscapedSize(36)];
    EXPECT_EQ(36u * 4, CommLogEscape(s8Full, sizeof(s8Full), strAll.data(), strAll.size()));
    char s8Small[7];
    EXPECT_EQ(4u, CommLogEscape(s8Small, sizeof(s8Small), "\n\n", 2));
    EXPECT_STREQ("\\x0a", s8Small);
    EXPECT_EQ(0u, CommLogEscape(s8Small, sizeof(s8Small), nullptr, 4));
    EXPECT_STREQ("", s8Small);
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
