// SPDX-License-Identifier: MIT
// Log lines and the assertion line of the daemon: exact prefixes, one line per
// call, long texts kept whole.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "capture_fd.h"
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
    CaptureFd stCapErr(STDERR_FILENO);
    CommLogLine("BCAST", "AcceptProcess", 42, "recvmsg failed (%s)!\n", "Bad address");
    EXPECT_EQ(stCapErr.Take(), "[BCAST][AcceptProcess] line[42] recvmsg failed (Bad address)!\n");
}

TEST_F(LogLine, DashFormCarriesTagFunctionAndLine)
{
    CaptureFd stCapErr(STDERR_FILENO);
    CommLogDash("PLATFORM", "SelectFd", 7, "s32SocketFd:%d <= 0\n", 0);
    EXPECT_EQ(stCapErr.Take(), "[PLATFORM] -- [SelectFd]:[7] s32SocketFd:0 <= 0\n");
}

TEST_F(LogLine, MacroUsesCallerNameAndLine)
{
    CaptureFd stCapErr(STDERR_FILENO);
    const int s32Line = __LINE__ + 1;
    COMM_LOG("x=%d\n", 5);
    EXPECT_EQ(stCapErr.Take(), "[COMM][TestBody] line[" + std::to_string(s32Line) + "] x=5\n");
}

/* One write a line, of at most PIPE_BUF bytes, so a pipe never holds half of
 * one: a longer text is cut, and its line still ends. */
TEST_F(LogLine, LongTextIsWholeUpToOneAtomicWrite)
{
    const std::string strLong(2000, 'a');
    CaptureFd stCapErr(STDERR_FILENO);
    CommLogLine("COMM", "F", 1, "%s|\n", strLong.c_str());
    EXPECT_EQ(stCapErr.Take(), "[COMM][F] line[1] " + strLong + "|\n");

    const std::string strHuge(3 * PIPE_BUF, 'b');
    stCapErr.Start();
    CommLogLine("COMM", "F", 2, "%s|\n", strHuge.c_str());
    CommLogLine("COMM", "F", 3, "next\n");
    const std::string strOut = stCapErr.Take();
    ASSERT_EQ(strOut.find('\n'), (size_t)PIPE_BUF - 2) << strOut.substr(0, 40);
    EXPECT_EQ(strOut.substr(PIPE_BUF - 1), "[COMM][F] line[3] next\n");
}

TEST_F(LogLine, TraceGoesToStandardOutputWhole)
{
    CaptureFd stCapOut(STDOUT_FILENO);
    CommTrace("<%s>:(%d), fopen error\n", "GetDevInfo", 9);
    EXPECT_EQ(stCapOut.Take(), "<GetDevInfo>:(9), fopen error\n");
}

/* A flood of lines from one process: the burst is written, the rest is left
 * out and reported once, before the next line that is written. */
TEST_F(LogLine, FloodIsCutToTheBudgetAndReported)
{
    CaptureFd stCapErr(STDERR_FILENO);
    CaptureFd stCapOut(STDOUT_FILENO);
    for (unsigned i = 0; i < 3 * COMM_LOG_BURST; ++i) {
        if (i % 2 == 0) {
            CommLogLine("BCAST", "AcceptProcess", 1, "line %u\n", i);
        } else {
            CommTrace("trace %u\n", i);
        }
    }
    const std::string strErr = stCapErr.Take();
    const std::string strOut = stCapOut.Take();
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
    stCapErr.Start();
    for (unsigned i = 0; i < 200; ++i) {
        CommLogLine("COMM", "F", 3, "after %u\n", i);
        const struct timespec stStep = {0, 5 * 1000 * 1000};
        nanosleep(&stStep, nullptr);
    }
    const std::string strAfter = stCapErr.Take();
    const size_t uReport = strAfter.find(" log lines left out\n");
    ASSERT_NE(uReport, std::string::npos) << strAfter;
    EXPECT_EQ(strAfter.rfind("[COMM][CommLogAdmit] line[", uReport), 0u);
    EXPECT_EQ(strAfter.find("[COMM][F] line[3] after "), strAfter.find('\n') + 1);
}

/* CommFormatPlain and snprintf side by side: the same text, or a refusal that
 * sends the caller to vsnprintf. */
__attribute__((format(printf, 3, 4))) int Plain(char* ps8Dst, size_t uSize, const char* ps8Fmt, ...)
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
        const int s32Want =
            snprintf(s8Want, sizeof(s8Want), "index=%d ip_dst_addr=%s [%u] %i %x %X %c%% end\n",
                     c.s32A, c.ps8C, c.u32B, c.s32A, c.u32B, c.u32B, (char)('A' + (c.u32B & 7)));
        const int s32Got =
            Plain(s8Got, sizeof(s8Got), "index=%d ip_dst_addr=%s [%u] %i %x %X %c%% end\n", c.s32A,
                  c.ps8C, c.u32B, c.s32A, c.u32B, c.u32B, (char)('A' + (c.u32B & 7)));
        ASSERT_EQ(s32Want, s32Got);
        EXPECT_EQ(std::string(s8Want), std::string(s8Got));
    }
    /* The provider's lines, whole. */
    char s8Got[256];
    ASSERT_GT(
        Plain(s8Got, sizeof(s8Got),
              "__________________dhcp[%d] ip [%d].[%d].[%d].[%d]--natmask [%d].[%d].[%d].[%d]\n", 2,
              192, 168, 1, 10, 255, 255, 255, 0),
        0);
    EXPECT_STREQ(
        "__________________dhcp[2] ip [192].[168].[1].[10]--natmask [255].[255].[255].[0]\n",
        s8Got);
}

TEST(PlainFormat, AnythingElseIsLeftToPrintf)
{
    char s8Buf[64];
    const char* volatile ps8Null = nullptr; /* not known to the compiler */
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
    CaptureFd stCapErr(STDERR_FILENO);
    CommLogLine("BCAST", "AcceptProcess", 12, "cDevType: %lld , %05d|%-3s|\n", -5ll, 42, "a");
    CommLogDash("COMM", "GetDnsAddr", -3, "DnsAddress = %03d.%03d\n", 8, 255);
    EXPECT_EQ(stCapErr.Take(),
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

/* The process's two budgets, over a clock the test moves. */
uint64_t g_u64LogNowMs = 0;
uint64_t LogNowMs()
{
    return g_u64LogNowMs;
}

class LogBudgets : public testing::Test {
protected:
    void SetUp() override
    {
        g_u64LogNowMs = 1000000;
        CommLogTestClock(LogNowMs);
    }
    void TearDown() override { CommLogTestClock(nullptr); }

    static size_t Count(const std::string& str, const std::string& strPart)
    {
        size_t uN = 0;
        for (size_t u = str.find(strPart); u != std::string::npos; u = str.find(strPart, u + 1)) {
            ++uN;
        }
        return uN;
    }
};

/* Three minutes of a busy LAN: a thousand search lines a second, and each
 * minute five failed user checks, the lock they start, a refusal in it, its
 * end and one change stored. Every line about the settings is written; the
 * search lines stay within their own budget. */
TEST_F(LogBudgets, SearchesNeverCrowdOutModificationLines)
{
    const char* const aps8Minute[] = {
        "CheckUser Failed!(admin:***)",
        "CheckUser Failed!(admin:***)",
        "CheckUser Failed!(admin:***)",
        "CheckUser Failed!(admin:***)",
        "CheckUser Failed!(admin:***)",
        "modifications locked for 60 s after 5 failed user checks\n",
        "CheckUser skipped: modifications locked for 59 more s\n",
    };
    CaptureFd stCapErr(STDERR_FILENO);
    for (unsigned u32Sec = 0; u32Sec < 180; ++u32Sec) {
        for (unsigned u32Ms = 0; u32Ms < 1000; ++u32Ms, ++g_u64LogNowMs) {
            CommLogLine("BCAST", "AcceptProcess", 1, "MSG_TYPE_SEARCH\n");
            if (u32Sec % 60 == 0 && u32Ms < 7) {
                CommLogModifyLine("BCAST", "AcceptProcess", 2, "%s", aps8Minute[u32Ms]);
            } else if (u32Sec % 60 == 59 && u32Ms == 999) {
                CommLogModifyLine("BCAST", "AcceptProcess", 3, "modifications unlocked\n");
                CommLogModifyLine("BCAST", "AcceptProcess", 4,
                                  "authencate succefully!(admin:***)\n");
                CommLogModifyLine("BCAST", "AcceptProcess", 5,
                                  "Broad modify NVR network info return first\n");
            }
        }
    }
    const std::string strLog = stCapErr.Take();
    EXPECT_EQ(15u, Count(strLog, "] CheckUser Failed!(admin:***)"));
    EXPECT_EQ(3u, Count(strLog, "] modifications locked for 60 s"));
    EXPECT_EQ(3u, Count(strLog, "] CheckUser skipped: modifications locked"));
    EXPECT_EQ(3u, Count(strLog, "] modifications unlocked\n"));
    EXPECT_EQ(3u, Count(strLog, "] authencate succefully!"));
    EXPECT_EQ(3u, Count(strLog, "] Broad modify NVR network info return first\n"));
    EXPECT_EQ(0u, Count(strLog, "modification log lines left out"));
    /* A search line after left-out ones pays for its report as well. */
    const size_t uGeneral =
        Count(strLog, "MSG_TYPE_SEARCH\n") + Count(strLog, " log lines left out\n");
    EXPECT_LE(uGeneral, COMM_LOG_BURST + 180 * COMM_LOG_RATE);
    EXPECT_GE(uGeneral, 180 * COMM_LOG_RATE - 2);
}

/* A flood of modification requests uses up their budget, and only theirs; the
 * next modification line says how many were left out. */
TEST_F(LogBudgets, OnlyAFloodOfModificationLinesUsesTheirBudget)
{
    CaptureFd stCapErr(STDERR_FILENO);
    for (unsigned i = 0; i < 4 * COMM_LOG_MODIFY_BURST; ++i) {
        CommLogModifyLine("BCAST", "AcceptProcess", 1, "CheckUser skipped: repeat\n");
    }
    CommLogLine("BCAST", "AcceptProcess", 2, "MSG_TYPE_SEARCH\n");
    g_u64LogNowMs += 1000 / COMM_LOG_MODIFY_RATE;
    CommLogModifyLine("BCAST", "AcceptProcess", 3, "too early for a line and its report\n");
    g_u64LogNowMs += 1000 / COMM_LOG_MODIFY_RATE;
    CommLogModifyLine("BCAST", "AcceptProcess", 4, "modifications unlocked\n");
    const std::string strLog = stCapErr.Take();
    EXPECT_EQ(COMM_LOG_MODIFY_BURST, Count(strLog, "] CheckUser skipped: repeat\n"));
    EXPECT_EQ(1u, Count(strLog, "] MSG_TYPE_SEARCH\n"));
    EXPECT_EQ(0u, Count(strLog, "too early"));
    const std::string strTold = "] " + std::to_string(3 * COMM_LOG_MODIFY_BURST + 1) +
                                " modification log lines left out\n[BCAST][AcceptProcess] line[4] "
                                "modifications unlocked\n";
    EXPECT_NE(std::string::npos, strLog.find(strTold)) << strLog.substr(strLog.size() - 300);
}

/* All a pipe holds, without waiting for more. */
std::string Drain(int s32Fd)
{
    std::string str;
    char s8Buf[4096];
    const int s32Flags = fcntl(s32Fd, F_GETFL);
    fcntl(s32Fd, F_SETFL, s32Flags | O_NONBLOCK);
    for (int i = 0; i < 10000; ++i) {
        const ssize_t s32N = read(s32Fd, s8Buf, sizeof(s8Buf));
        if (s32N <= 0) break;
        str.append(s8Buf, (size_t)s32N);
    }
    fcntl(s32Fd, F_SETFL, s32Flags);
    return str;
}

/* A reader that stalls costs lines, never time: what the pipe cannot take at
 * once is left out, counted, and told to the reader once it reads again. */
/* What perror wrote, written through the log: the same text, and under the
 * budget of the other lines. */
TEST_F(LogBudgets, PerrorLinesKeepTheirFormAndTheBudget)
{
    CaptureFd stCapErr(STDERR_FILENO);
    CommLogPerror("\n", ENOENT);
    CommLogPerror("", EISDIR);
    CommLogPerror(" set socket ", EBADF);
    EXPECT_EQ(stCapErr.Take(),
              "\n: No such file or directory\nIs a directory\n set socket : Bad file descriptor\n");

    stCapErr.Start();
    for (unsigned i = 0; i < 2 * COMM_LOG_BURST; ++i) CommLogPerror("x", EIO);
    g_u64LogNowMs += 1000;
    CommLogLine("COMM", "F", 1, "next\n");
    const std::string strLog = stCapErr.Take();
    EXPECT_EQ(Count(strLog, "x: Input/output error\n"), (size_t)COMM_LOG_BURST - 3);
    EXPECT_NE(strLog.find("] " + std::to_string(COMM_LOG_BURST + 3) + " log lines left out\n"),
              std::string::npos)
        << strLog;
}

TEST(LogSink, AStalledReaderCostsLinesNotTime)
{
    int as32Pipe[2];
    ASSERT_EQ(0, pipe(as32Pipe));
    fcntl(as32Pipe[1], F_SETFL, fcntl(as32Pipe[1], F_GETFL) | O_NONBLOCK);
    CommLogSink stSink(as32Pipe[1]);
    const std::string strLine = std::string(99, 'x') + "\n";
    unsigned u32Written = 0;
    unsigned u32Lost = 0;
    for (int i = 0; i < 20000; ++i) {
        ++(stSink.Write(strLine.data(), strLine.size()) ? u32Written : u32Lost);
    }
    EXPECT_GT(u32Lost, 0u) << "a pipe holds far less than 2 MB";
    EXPECT_EQ(u32Lost, stSink.LeftOut());
    EXPECT_EQ(u32Written * strLine.size(), Drain(as32Pipe[0]).size()) << "whole lines only";

    ASSERT_TRUE(stSink.Write("after\n", 6));
    const std::string strTold = Drain(as32Pipe[0]);
    EXPECT_EQ(0u, strTold.rfind("[COMM][CommLogWrite] line[", 0)) << strTold;
    const std::string strEnd = "] " + std::to_string(u32Lost) +
                               " log lines left out, not written (" + strerror(EAGAIN) +
                               ")\nafter\n";
    ASSERT_GE(strTold.size(), strEnd.size());
    EXPECT_EQ(strEnd, strTold.substr(strTold.size() - strEnd.size()));
    EXPECT_EQ(0u, stSink.LeftOut());
    close(as32Pipe[0]);
    close(as32Pipe[1]);
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
        {"a\\b", 36, "a\\x5cb"}, /* the escape character itself, so no text forges one */
        {"\xff\x7f", 36, "\\xff\\x7f"},
        {"abcdef", 3, "abc"}, /* a field without terminator: read to its width */
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
    CaptureFd stCapOut(STDOUT_FILENO);
    const pid_t s32Pid = fork();
    if (s32Pid == 0) {
        CommAssertFail("GetGateWay", 12, "/src/common/comm_funcs.cpp");
    }
    int s32Status = 0;
    waitpid(s32Pid, &s32Status, 0);
    EXPECT_TRUE(WIFSIGNALED(s32Status) && WTERMSIG(s32Status) == SIGABRT);
    EXPECT_EQ(stCapOut.Take(),
              "ASSERT failed: func: [GetGateWay], line [12], file: [comm_funcs.cpp]\n");
}

/* The daemon's set-up: with standard error on a pipe nobody reads, then on
 * one nobody holds, every line returns at once and the process lives on. */
TEST(LogLineDeathTest, NeverBlockOutlivesAStalledAndAVanishedReader)
{
    EXPECT_EXIT(
        {
            alarm(30); /* a line that waited would end the child here instead */
            int as32Pipe[2];
            if (pipe(as32Pipe) != 0 || dup2(as32Pipe[1], STDERR_FILENO) < 0) _exit(2);
            close(as32Pipe[1]);
            if (CommLogNeverBlock() != 0) _exit(3);
            CommLogBudgetRefill();
            const std::string strLong(1000, 'y'); /* 200 lines: more than a pipe holds */
            for (unsigned i = 0; i < COMM_LOG_BURST; ++i) {
                CommLogLine("T", "F", (int)i, "%s\n", strLong.c_str());
            }
            close(as32Pipe[0]);
            CommLogLine("T", "F", 0, "after the reader\n");
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
