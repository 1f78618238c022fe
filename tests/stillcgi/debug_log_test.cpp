// SPDX-License-Identifier: MIT
/* The rotating debug log: level mask, names, rotation ring, sequence file,
 * directory and prefix handling, and the reset-time file. */
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "debug_log.h"
#include "debug_log_internal.h"
#include "test_support.h"

namespace {

using stilltest::Exists;
using stilltest::ReadFile;
using stilltest::WriteFile;

class DebugLog : public testing::Test {
protected:
    void TearDown() override
    {
        if (sg_LogArgs.s32LevelMask != 0 || sg_LogArgs.pFile != nullptr) {
            LogDestroy();
        }
        sg_LogArgs.s32LevelMask = 0;  // back to "off" for the next test
        pthread_mutex_init(&sg_LogArgs.stLock, nullptr);
    }
    std::string File(const char* ps8Name) const { return m_stDir.Path(ps8Name); }
    /* The latest message waits in the stream until the next one flushes it. */
    std::string Logged(const char* ps8Name) const
    {
        if (sg_LogArgs.pFile != nullptr) fflush(sg_LogArgs.pFile);
        return ReadFile(File(ps8Name));
    }
    stilltest::TempDir m_stDir;
};

TEST_F(DebugLog, OffBeforeInitWritesNothing)
{
    stilltest::FdCapture stOut(1, File("stdout"));
    LOG(1, 10, "f.cpp", "Func", "never %d\n", 1);
    LOGT(0xFF, "never\n");
    EXPECT_EQ("", stOut.Finish());
}

TEST_F(DebugLog, MaskSelectsLevelsAndNamesThem)
{
    ASSERT_EQ(0, LogInit(File("").c_str(), "t_", 0, 0, 5, 2, 0));
    LOG(2, 1, "a.cpp", "F", "hidden\n");
    LOG(4, 12, "a.cpp", "Func", "shown %s\n", "x");
    LogDestroy();
    ASSERT_EQ(0, LogInit(File("").c_str(), "t_", 0, 0, 7, 2, 0));
    LOG(2, 3, "b.cpp", "G", "warn\n");
    const std::string strLog = Logged("t_01.log");
    EXPECT_TRUE(std::regex_match(
        strLog,
        std::regex(
            R"(\[NOT\]-\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d:\d{3}\]\[Func\]\[a\.cpp\]\[12\]shown x\n)"
            R"(\[WAN\]-\[[^\]]+\]\[G\]\[b\.cpp\]\[3\]warn\n)")))
        << strLog;
    for (int s32Level : {-1, 9, 15, 16, 17}) {
        EXPECT_STREQ("", LogLevelName(s32Level)) << s32Level;
    }
    EXPECT_STREQ("DBG", LogLevelName(8));
    EXPECT_STREQ("", LogLevelName(3));
}

TEST_F(DebugLog, LimitsAreClamped)
{
    ASSERT_EQ(0, LogInit(File("").c_str(), "c_", 0, 9, 1, 2, 0));
    EXPECT_EQ(1048576, sg_LogArgs.s32SizeLimit);
    EXPECT_EQ(5, sg_LogArgs.s32FileCount);
    ASSERT_EQ(0, LogInit(File("").c_str(), "c_", 2000000, 0, 1, 2, 1));
    EXPECT_EQ(1048576, sg_LogArgs.s32SizeLimit);
    EXPECT_EQ(5, sg_LogArgs.s32FileCount);
}

TEST_F(DebugLog, RingOfThreeRotatesAndRecordsSequence)
{
    ASSERT_EQ(0, LogInit(File("").c_str(), "r_", 10, 3, 1, 2, 0));
    EXPECT_EQ("1", ReadFile(File("r_id.dat")));
    const char* ps8Expect[] = {"r_01.log", "r_02.log", "r_03.log", "r_01.log"};
    for (int i = 0; i < 4; ++i) {
        LOGT(1, "message %d\n", i);
        SCOPED_TRACE(i);
        EXPECT_NE(std::string::npos, Logged(ps8Expect[i]).find("message " + std::to_string(i)));
        if (i > 0) {
            EXPECT_EQ(std::to_string(i % 3 + 1), ReadFile(File("r_id.dat")));
        }
    }
    // 01 was emptied when the ring came back to it.
    EXPECT_EQ(std::string::npos, Logged("r_01.log").find("message 0"));
}

TEST_F(DebugLog, ResumesFromSequenceFileAndFileSize)
{
    WriteFile(File("s_id.dat"), "4");
    WriteFile(File("s_04.log"), std::string(30, 'o'));  // already past the limit
    WriteFile(File("s_05.log"), "stale\n");
    ASSERT_EQ(0, LogInit(File("").c_str(), "s_", 20, 5, 1, 2, 0));
    LOGT(1, "first\n");
    EXPECT_EQ(std::string(30, 'o'), ReadFile(File("s_04.log")));
    EXPECT_EQ(std::string::npos, ReadFile(File("s_05.log")).find("stale"));
    EXPECT_NE(std::string::npos, Logged("s_05.log").find("first"));
    EXPECT_EQ("5", ReadFile(File("s_id.dat")));
    LOGT(1, "second\n");  // any number at the count comes back to 1
    EXPECT_NE(std::string::npos, Logged("s_01.log").find("second"));
    EXPECT_EQ("1", ReadFile(File("s_id.dat")));
}

TEST_F(DebugLog, StandardOutputMessagesCountTowardsRotation)
{
    stilltest::FdCapture stOut(1, File("stdout"));
    ASSERT_EQ(0, LogInit(File("").c_str(), "o_", 5, 5, 1, 0, 0));
    LOG(1, 1, "f", "g", "to stdout\n");
    LOG(1, 2, "f", "g", "again\n");
    const std::string strOut = stOut.Finish();
    EXPECT_NE(std::string::npos, strOut.find("[ERR]-["));
    EXPECT_NE(std::string::npos, strOut.find("again\n"));
    EXPECT_EQ("2", ReadFile(File("o_id.dat")));
}

TEST_F(DebugLog, DirectoryGetsSlashAndLongValuesAreCut)
{
    const std::string strDir = File("sub");
    stilltest::FdCapture stOut(1, File("stdout"));
    ASSERT_EQ(0, LogInit(strDir.c_str(), "averyveryverylongprefix", 0, 0, 1, 1, 0));
    EXPECT_EQ("Log file is " + strDir + "/averyveryve01.log\n", stOut.Finish());
    EXPECT_TRUE(Exists(strDir + "/averyveryve01.log"));

    stOut.Finish();
    const std::string strLongDir = File("") + std::string(300, 'd');
    ASSERT_EQ(0, LogInit(strLongDir.c_str(), "p_", 0, 0, 1, 0, 1));
    EXPECT_EQ(255u, strlen(sg_LogArgs.s8Dir));
    EXPECT_EQ('/', sg_LogArgs.s8Dir[254]);
}

TEST_F(DebugLog, UnopenableFileIsReported)
{
    stilltest::FdCapture stOut(1, File("stdout"));
    EXPECT_EQ(1, LogInit(File("").c_str(), "no/", 0, 0, 1, 1, 0));
    EXPECT_EQ("fopen " + File("") + "no/01.log failed\n", stOut.Finish());
    LOG(1, 1, "f", "g", "dropped\n");  // no file: nothing, no crash
}

TEST_F(DebugLog, ResetTimeRules)
{
    const std::string strReset = File("reset.ini");
    struct timeval stEpoch = {3600, 0};             // 1970
    struct timeval stLater = {1700000000, 123456};  // 2023
    resetflag = 1;
    LogResetTimesAt(&stEpoch, strReset.c_str());
    EXPECT_FALSE(Exists(strReset));
    LogResetTimesAt(&stLater, strReset.c_str());
    const std::string strOnce = ReadFile(strReset);
    EXPECT_TRUE(std::regex_match(strOnce, std::regex(R"(\[2023/11/1\d \d\d:\d\d:\d\d:123\]\n)")))
        << strOnce;
    LogResetTimesAt(&stLater, strReset.c_str());
    EXPECT_EQ(strOnce, ReadFile(strReset));  // one-shot

    resetflag = 1;
    LogResetTimesAt(&stLater, strReset.c_str());
    EXPECT_EQ(strOnce + strOnce, ReadFile(strReset));  // appended

    resetflag = 1;
    WriteFile(strReset, "");
    LogResetTimesAt(&stLater, strReset.c_str());
    EXPECT_EQ("", ReadFile(strReset));  // an empty file stays empty

    resetflag = 1;
    WriteFile(strReset, std::string(1025, 'z'));
    LogResetTimesAt(&stLater, strReset.c_str());
    EXPECT_EQ(strOnce, ReadFile(strReset));  // over 1024 bytes: starts anew
}

TEST_F(DebugLog, MemoryLineAtDebugLevel)
{
    ASSERT_EQ(0, LogInit(File("").c_str(), "m_", 0, 0, 8, 2, 0));
    EXPECT_EQ(0, DisplayMemSize());
    const std::string strLog = Logged("m_01.log");
    EXPECT_TRUE(std::regex_search(
        strLog,
        std::regex(
            R"(^\[DBG\]-\[[^\]]+\]\[DisplayMemSize\]\[debug_log\.cpp\]\[\d+\]_{29}Available:\[-?\d+\]\n$)")))
        << strLog;
}

TEST(ServerLine, NeverIntoTheClientsConnection)
{
    /* standard error as a local socket (a log reader): written; as a TCP
     * connection (a server may give a CGI the client's), or as standard
     * output itself (mini_httpd gives a CGI one pipe for both): left out */
    int s32Pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, s32Pair));
    const int s32Listen = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in stAddr = {};
    stAddr.sin_family = AF_INET;
    stAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t u32Len = sizeof(stAddr);
    ASSERT_EQ(0, bind(s32Listen, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)));
    ASSERT_EQ(0, listen(s32Listen, 1));
    ASSERT_EQ(0, getsockname(s32Listen, reinterpret_cast<sockaddr*>(&stAddr), &u32Len));
    const int s32Client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(s32Client, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)));
    const int s32Peer = accept(s32Listen, nullptr, nullptr);
    ASSERT_GE(s32Peer, 0);
    const int s32Saved = dup(STDERR_FILENO);
    const int s32SavedOut = dup(STDOUT_FILENO);
    auto stLineTo = [&](int s32Err, int s32Out) {
        dup2(s32Err, STDERR_FILENO);
        dup2(s32Out, STDOUT_FILENO);
        LogServerLine("line %d\n", 7);
        dup2(s32Saved, STDERR_FILENO);
        dup2(s32SavedOut, STDOUT_FILENO);
    };
    char s8Buf[64] = {0};
    stLineTo(s32Pair[0], s32SavedOut);
    EXPECT_EQ(7, recv(s32Pair[1], s8Buf, sizeof(s8Buf), MSG_DONTWAIT));
    stLineTo(s32Client, s32SavedOut);
    EXPECT_EQ(-1, recv(s32Peer, s8Buf, sizeof(s8Buf), MSG_DONTWAIT));
    stLineTo(s32Pair[0], s32Pair[0]);
    EXPECT_EQ(-1, recv(s32Pair[1], s8Buf, sizeof(s8Buf), MSG_DONTWAIT));
    close(s32SavedOut);
    for (const int s32Fd : {s32Saved, s32Pair[0], s32Pair[1], s32Listen, s32Client, s32Peer}) {
        close(s32Fd);
    }
}

}  // namespace
