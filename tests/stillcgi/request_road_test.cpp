/* The whole request road with test-owned segments and snapshot file: exact
 * reply bytes, exit values, and what is posted to the main application. */
#include <string.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "snap_handler_internal.h"
#include "test_support.h"

namespace {

using stilltest::GetWord;
using stilltest::PutWord;

constexpr size_t BASE = 4248;
const std::string HTML = "Content-type: text/html\r\n\r\n";
const std::string REPLY_403 = "Status: 403 Forbidden\r\n" + HTML + "HTTP/1.1 403 Forbidden\n";
const std::string REPLY_400 = "Status: 400 Bad Request\r\n" + HTML + "Unsupported Resolution\n";
const std::string REPLY_404 = "Status: 404 Not Found\r\n" + HTML + "HTTP/1.1 404 Not Found\n";
const std::string REPLY_EMPTY = "Status: 404 Not Found\r\n" + HTML + "HTTP/1.1 404 File Not Found\n";
const std::string JPEG("\xFF\xD8\x00jpeg\xFF\xD9", 9);
const std::string REPLY_IMAGE =
    "HTTP/1.1 200 OK\nAccept-Ranges: bytes\nContent-Length: 9\nConnection: close\n"
    "Content-Type: image/jpeg\n\n" + JPEG;

class RequestRoad : public testing::Test {
protected:
    void SetUp() override
    {
        m_stBase.Create(m_stDir, 10, BASE + 4);
        m_stOther.Create(m_stDir, 11, 4312 + 4);
        stilltest::PutUser(m_stOther.Check(), 3, 1, 1, "admin", "1234");
        for (size_t i = 0; i < BASE; ++i) m_stBase.Check()[i] = (unsigned char)(i * 13);
        m_stBase.Check()[1404] = 3;      // current resolution
        m_stBase.Check()[1405] = 0x20;   // resolution 5 supported, 4 not
        m_stBase.Check()[1406] = 0x00;
        m_strSnap = m_stDir.Path("snap.jpg");
        m_stPaths = {m_stBase.CheckKey(), m_stBase.RequestKey(), m_stBase.RunKey(),
                     m_strSnap.c_str()};
    }
    /* Plays the main application once: on command s32Cmd, optionally writes
     * the snapshot, then answers (0 = never). Bounded to about two seconds. */
    std::thread Answer(int s32Cmd, int s32Answer, const std::string* pFile = nullptr)
    {
        return std::thread([this, s32Cmd, s32Answer, pFile] {
            for (int i = 0; i < 2000; ++i) {
                if (GetWord(m_stBase.Request() + BASE) == s32Cmd &&
                    GetWord(m_stBase.Check() + BASE) == -1) {
                    if (pFile != nullptr) stilltest::WriteFile(m_strSnap, *pFile);
                    if (s32Answer != 0) PutWord(m_stBase.Check() + BASE, s32Cmd | s32Answer);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    std::string Run(const char* ps8Query, S32* ps32Ret)
    {
        stilltest::FdCapture stOut(1, m_stDir.Path("stdout"));
        *ps32Ret = SnapServeRequest(ps8Query, m_stPaths);
        return stOut.Finish();
    }
    /* The posted block is the current one but for the bytes at 2933 and 2936. */
    void ExpectPosted(int s32Res, int s32Reason) const
    {
        unsigned char u8Want[BASE];
        memcpy(u8Want, m_stBase.Check(), BASE);
        u8Want[2933] = (unsigned char)s32Res;
        if (s32Reason >= 0) u8Want[2936] = (unsigned char)s32Reason;
        EXPECT_EQ(0, memcmp(u8Want, m_stBase.Request(), BASE));
        EXPECT_EQ(1, m_stBase.SemVal(0));
        EXPECT_EQ(1, m_stBase.SemVal(1));
    }
    stilltest::TempDir m_stDir;
    stilltest::IpcFamily m_stBase, m_stOther;
    std::string m_strSnap;
    SNAP_PATHS_S m_stPaths = {};
};

TEST_F(RequestRoad, RefusalsCarryStatusAndPostNothing)
{
    struct Case {
        const char* ps8Query;
        const std::string* pReply;
    };
    const Case stCases[] = {
        {"", &REPLY_403},
        {"user=admin&psw=12345", &REPLY_403},
        {"username=admin&user=admin&psw=1234", &REPLY_403},
        {"user=admin%00&psw=1234", &REPLY_403},
        {"USER=admin&PSW=1234&resolution=16", &REPLY_400},
        {"user=admin&psw=1234&resolution=4", &REPLY_400},
    };
    for (const Case& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8Query);
        S32 s32Ret = 0;
        EXPECT_EQ(*stCase.pReply, Run(stCase.ps8Query, &s32Ret));
        EXPECT_EQ(-1, s32Ret);
        EXPECT_EQ(0, GetWord(m_stBase.Request() + BASE));
    }
}

TEST_F(RequestRoad, NoSharedMemoryAtAllIsForbidden)
{
    m_stBase.Remove();
    m_stOther.Remove();
    S32 s32Ret = 0;
    EXPECT_EQ(REPLY_403, Run("user=admin&psw=1234", &s32Ret));
    EXPECT_EQ(-1, s32Ret);
}

TEST_F(RequestRoad, CaptureModeAnswers)
{
    struct Case {
        const char* ps8Query;
        int s32Answer, s32Res, s32Reason;
        const char* ps8Text;
    };
    const Case stCases[] = {
        {"user=admin&psw=1234&mode=1&reason=-3&resolution=5", 0x200, 5, 0, "snap ok\n"},
        {"user=admin&psw=1234&mode=1&reason=300", 0x600, 3, 300 & 0xFF, "snap ok\n"},
        {"user=admin&psw=1234&mode=1&reason=7&resolution=abc", 0x100, 3, 7, "snap fail\n"},
        {"user=admin&psw=1234&mode=1x&resolution=-1", 0, 3, 0, "snap ok\n"},  // time-out
    };
    for (const Case& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8Query);
        PutWord(m_stBase.Request() + BASE, 0);
        std::thread stZozid = Answer(37, stCase.s32Answer);
        S32 s32Ret = -5;
        EXPECT_EQ(HTML + stCase.ps8Text, Run(stCase.ps8Query, &s32Ret));
        stZozid.join();
        EXPECT_EQ(0, s32Ret);
        ExpectPosted(stCase.s32Res, stCase.s32Reason);
        EXPECT_EQ(-1, GetWord(m_stBase.Check() + BASE));
    }
}

TEST_F(RequestRoad, CaptureWithoutSemaphoreFails)
{
    m_stBase.RemoveSem();
    stilltest::FdCapture stErr(2, m_stDir.Path("stderr"));
    S32 s32Ret = -5;
    EXPECT_EQ(HTML + "snap fail\n", Run("user=admin&psw=1234&mode=1", &s32Ret));
    EXPECT_EQ("----------------Fail-----------------\n", stErr.Finish());
    EXPECT_EQ(0, s32Ret);
}

TEST_F(RequestRoad, ImageIsSentAndRemoved)
{
    std::thread stZozid = Answer(36, 0x200, &JPEG);
    S32 s32Ret = -5;
    EXPECT_EQ(REPLY_IMAGE, Run("user=admin&psw=1234&mode=2&resolution=5", &s32Ret));
    stZozid.join();
    EXPECT_EQ(0, s32Ret);
    EXPECT_FALSE(stilltest::Exists(m_strSnap));
    ExpectPosted(5, -1);
}

TEST_F(RequestRoad, FailedPostKeepsDiagnosticOutOfImageReply)
{
    m_stBase.RemoveSem();
    stilltest::WriteFile(m_strSnap, JPEG);
    stilltest::FdCapture stErr(2, m_stDir.Path("stderr"));
    S32 s32Ret = -5;
    EXPECT_EQ(REPLY_IMAGE, Run("user=admin&psw=1234", &s32Ret));
    EXPECT_EQ("----------------Fail-----------------\n", stErr.Finish());
    EXPECT_EQ(0, s32Ret);
    EXPECT_FALSE(stilltest::Exists(m_strSnap));
}

TEST_F(RequestRoad, EmptyFileAndMissingFileAre404)
{
    stilltest::WriteFile(m_strSnap, "");
    S32 s32Ret = -5;
    EXPECT_EQ(REPLY_EMPTY, Run("user=admin&psw=1234", &s32Ret));
    EXPECT_EQ(0, s32Ret);
    EXPECT_FALSE(stilltest::Exists(m_strSnap));

    EXPECT_EQ(REPLY_404, Run("user=admin&psw=1234", &s32Ret));  // waits about a second
    EXPECT_EQ(-1, s32Ret);
}

} // namespace
