// SPDX-License-Identifier: MIT
/* The whole request road with test-owned segments and snapshot file: exact
 * reply bytes, exit values, and what is posted to the main application. */
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "snap_handler.h"
#include "snap_handler_internal.h"
#include "test_support.h"

namespace {

using stilltest::GetWord;
using stilltest::PutWord;

constexpr size_t BASE = 4248;
const std::string HTML = "Connection: close\r\nContent-type: text/html\r\n\r\n";
const std::string HEAD_403 = "Status: 403 Forbidden\r\nContent-Length: 23\r\n" + HTML;
const std::string HEAD_400 = "Status: 400 Bad Request\r\nContent-Length: 23\r\n" + HTML;
const std::string REPLY_403 = HEAD_403 + "HTTP/1.1 403 Forbidden\n";
const std::string REPLY_400 = HEAD_400 + "Unsupported Resolution\n";
const std::string REPLY_404 =
    "Status: 404 Not Found\r\nContent-Length: 23\r\n" + HTML + "HTTP/1.1 404 Not Found\n";
const std::string REPLY_EMPTY =
    "Status: 404 Not Found\r\nContent-Length: 28\r\n" + HTML + "HTTP/1.1 404 File Not Found\n";
const std::string JPEG("\xFF\xD8\x00jpeg\xFF\xD9", 9);
const std::string HEAD_IMAGE =
    "Status: 200 OK\r\nAccept-Ranges: bytes\r\nConnection: close\r\n"
    "Content-Type: image/jpeg\r\nCache-Control: no-store\r\n\r\n";
const std::string REPLY_IMAGE =
    "Status: 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: 9\r\nConnection: close\r\n"
    "Content-Type: image/jpeg\r\nCache-Control: no-store\r\n\r\n" +
    JPEG;

class RequestRoad : public testing::Test {
protected:
    void SetUp() override
    {
        m_stBase.Create(m_stDir, 10, BASE + 4);
        m_stOther.Create(m_stDir, 11, 4312 + 4);
        stilltest::PutUser(m_stOther.Check(), 3, 1, 1, "admin", "1234");
        for (size_t i = 0; i < BASE; ++i) m_stBase.Check()[i] = (unsigned char)(i * 13);
        m_stBase.Check()[1404] = 3;     // current resolution
        m_stBase.Check()[1405] = 0x20;  // resolution 5 supported, 4 not
        m_stBase.Check()[1406] = 0x00;
        m_strSnap = m_stDir.Path("snap.jpg");
        m_strGuard = m_stDir.Path("guard");
        m_stPaths = {m_stBase.CheckKey(), m_stBase.RequestKey(), m_stBase.RunKey(),
                     m_strSnap.c_str(), m_strGuard.c_str()};
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
    std::string Run(const char* ps8Query, S32* ps32Ret, const char* ps8Method = "GET",
                    const char* ps8Addr = "10.0.0.2")
    {
        stilltest::FdCapture stOut(1, m_stDir.Path("stdout"));
        *ps32Ret = SnapServeRequest(ps8Query, m_stPaths, ps8Method, ps8Addr);
        return stOut.Finish();
    }
    /* The snapshot whole or not at all, as zozid puts it there. */
    void PutSnapWhole(const std::string& strBytes) const
    {
        stilltest::WriteFile(m_strSnap + ".tmp", strBytes);
        rename((m_strSnap + ".tmp").c_str(), m_strSnap.c_str());
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
    std::string m_strGuard;
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

TEST_F(RequestRoad, FileIsTakenBeforeTheNextWaiterIsServed)
{
    /* Plays the main application: answers with a snapshot, waits until the
     * CGI puts -1 back (its last act before giving up semaphore 1), notes
     * whether the snapshot path is still taken, and at once writes the next
     * answer's file, which must stay for that next request. */
    bool bPathTakenAtReset = true;
    std::thread stZozid([this, &bPathTakenAtReset] {
        for (int i = 0; i < 2000; ++i) {
            if (GetWord(m_stBase.Request() + BASE) == 36 &&
                GetWord(m_stBase.Check() + BASE) == -1) {
                stilltest::WriteFile(m_strSnap, JPEG);
                PutWord(m_stBase.Check() + BASE, 36 | 0x200);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (int i = 0; i < 20000; ++i) {
            if (GetWord(m_stBase.Check() + BASE) == -1) {
                bPathTakenAtReset = stilltest::Exists(m_strSnap);
                PutSnapWhole("next");
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    S32 s32Ret = -5;
    EXPECT_EQ(REPLY_IMAGE, Run("user=admin&psw=1234", &s32Ret));
    stZozid.join();
    EXPECT_EQ(0, s32Ret);
    EXPECT_FALSE(bPathTakenAtReset);
    EXPECT_EQ("next", stilltest::ReadFile(m_strSnap));
}

TEST_F(RequestRoad, AnswerLaterThanThePollsStillBringsTheImage)
{
    /* The file wait runs before the turn passes, so an answer that comes
     * after the 500 polls but within the wait is this request's. */
    std::thread stZozid([this] {
        for (int i = 0; i < 2000; ++i) {
            if (GetWord(m_stBase.Request() + BASE) == 36 && m_stBase.SemVal(1) == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                PutSnapWhole(JPEG);  // the CGI is looking for it right now
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    S32 s32Ret = -5;
    EXPECT_EQ(REPLY_IMAGE, Run("user=admin&psw=1234", &s32Ret));
    stZozid.join();
    EXPECT_EQ(0, s32Ret);
    EXPECT_FALSE(stilltest::Exists(m_strSnap));
    EXPECT_EQ(1, m_stBase.SemVal(1));
}

TEST_F(RequestRoad, ARestartedMainApplicationsFileIsNotTaken)
{
    /* zozid starts again during the file wait: its new run replaces the
     * semaphore set and writes a file for a request of its own turns. Neither
     * a request whose turn was in the old set nor one that found no set at
     * all (and waits without a turn) takes it. */
    for (const bool bTurn : {true, false}) {
        SCOPED_TRACE(bTurn);
        if (!bTurn) {
            m_stBase.RemoveSem();
        }
        /* the moment to start again: the request in its turn, or past its
         * failed post (the line it writes for the server's log) */
        auto stWaiting = [this, bTurn] {
            return bTurn ? GetWord(m_stBase.Request() + BASE) == 36 && m_stBase.SemVal(1) == 0
                         : stilltest::ReadFile(m_stDir.Path("stderr")).find("Fail") !=
                               std::string::npos;
        };
        std::thread stZozid([this, stWaiting] {
            for (int i = 0; i < 2000; ++i) {
                if (stWaiting()) {
                    PutWord(m_stBase.Check() + BASE, 36 | 0x200);
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    m_stBase.RemoveSem();
                    m_stBase.AddSem();
                    stilltest::WriteFile(m_strSnap, JPEG);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        S32 s32Ret = 0;
        stilltest::FdCapture stErr(2, m_stDir.Path("stderr"));
        EXPECT_EQ(REPLY_404, Run("user=admin&psw=1234", &s32Ret));
        stZozid.join();
        EXPECT_EQ(JPEG, stilltest::ReadFile(m_strSnap));
        unlink(m_strSnap.c_str());
    }
}

TEST_F(RequestRoad, HeadGetsTheHeadOnlyAndPostsNothing)
{
    struct Case {
        const char* ps8Query;
        std::string strReply;
        S32 s32Ret;
    };
    const Case stCases[] = {
        {"user=admin&psw=bad", HEAD_403, -1},
        {"user=admin&psw=1234&resolution=16", HEAD_400, -1},
        {"user=admin&psw=1234", HEAD_IMAGE, 0},
        {"user=admin&psw=1234&mode=1", HTML, 0},
    };
    stilltest::WriteFile(m_strSnap, JPEG);
    for (const Case& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8Query);
        S32 s32Ret = -5;
        EXPECT_EQ(stCase.strReply, Run(stCase.ps8Query, &s32Ret, "HEAD"));
        EXPECT_EQ(stCase.s32Ret, s32Ret);
        EXPECT_EQ(0, GetWord(m_stBase.Request() + BASE));  // nothing posted
        EXPECT_EQ(JPEG, stilltest::ReadFile(m_strSnap));   // nothing taken
    }
}

TEST_F(RequestRoad, EncodedCredentialsAfterTheWrittenOnes)
{
    /* An accepted user reaches the resolution check (400, nothing posted);
     * a refused one gets 403. */
    stilltest::PutUser(m_stOther.Check(), 4, 1, 1, "cam", "p+s w&d#1");
    stilltest::PutUser(m_stOther.Check(), 5, 1, 1, "lit", "a%20b");
    stilltest::PutUser(m_stOther.Check(), 6, 1, 1, "lit2", "a b");
    stilltest::PutUser(m_stOther.Check(), 7, 1, 1, "full", "0123456789abcdef");
    std::string strFull16;
    for (char c : std::string("0123456789abcdef")) {
        char s8Esc[4];
        snprintf(s8Esc, sizeof(s8Esc), "%%%02X", (unsigned char)c);
        strFull16 += s8Esc;
    }
    struct Case {
        std::string strCred;
        const std::string* pReply;
    };
    const Case stCases[] = {
        {"user=cam&psw=p%2Bs%20w%26d%231", &REPLY_400},
        {"user=cam&psw=p%2bs+w%26d%231", &REPLY_400},
        {"user=%63am&psw=p%2Bs%20w%26d%231", &REPLY_400},
        {"user=lit&psw=a%20b", &REPLY_400},   // as written
        {"user=lit2&psw=a%20b", &REPLY_400},  // decoded
        {"user=lit2&psw=a+b", &REPLY_400},
        {"user=full&psw=" + strFull16, &REPLY_400},  // 48 characters, 16 bytes
        {"user=full&psw=" + strFull16 + "%41", &REPLY_403},
        {"user=cam&psw=p+s", &REPLY_403},
        {"user=cam&psw=p%2Bs%20w%26d%231%", &REPLY_403},  // broken escape
        {"user=cam&psw=p%2Bs%20w%26d%231%4", &REPLY_403},
        {"user=admin&psw=1234%00", &REPLY_403},  // no cutting at a zero
        {"user=admin%00x&psw=1234", &REPLY_403},
        {"user=admin&psw=12%334", &REPLY_400},
        {"user=admin&psw=12%33", &REPLY_403},
    };
    int s32Client = 0;
    for (const Case& stCase : stCases) {
        SCOPED_TRACE(stCase.strCred);
        S32 s32Ret = 0;
        const std::string strQuery = stCase.strCred + "&resolution=16";
        /* a client each: so many refusals from one would lock it */
        const std::string strAddr = "10.0.1." + std::to_string(++s32Client);
        EXPECT_EQ(*stCase.pReply, Run(strQuery.c_str(), &s32Ret, "GET", strAddr.c_str()));
        EXPECT_EQ(-1, s32Ret);
    }
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

TEST_F(RequestRoad, GuessingLocksTheAddressAndNoOther)
{
    S32 s32Ret = 0;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(REPLY_403, Run("user=admin&psw=guess", &s32Ret, "GET", "10.0.0.9"));
    }
    /* locked: the right password is refused unchecked and nothing is posted */
    EXPECT_EQ(REPLY_403, Run("user=admin&psw=1234", &s32Ret, "GET", "10.0.0.9"));
    EXPECT_EQ(HEAD_403, Run("user=admin&psw=1234", &s32Ret, "HEAD", "10.0.0.9"));
    EXPECT_EQ(0, GetWord(m_stBase.Request() + BASE));
    std::thread stZozid = Answer(36, 0x200, &JPEG);
    EXPECT_EQ(REPLY_IMAGE, Run("user=admin&psw=1234", &s32Ret, "GET", "10.0.0.8"));
    stZozid.join();
}

TEST_F(RequestRoad, RefusalsThatGuessNothingAreNotCounted)
{
    /* no user or no password, or zozid not (yet) publishing its table:
     * nothing to guess, nothing counted */
    S32 s32Ret = 0;
    for (const char* ps8Query : {"", "user=admin", "user=admin&psw=", "psw=1234", "user=&psw=1"}) {
        EXPECT_EQ(REPLY_403, Run(ps8Query, &s32Ret));
    }
    unsigned char u8Entry[36];
    memcpy(u8Entry, m_stOther.Check() + 2080 + 3 * 36, sizeof(u8Entry));
    memset(m_stOther.Check() + 2080 + 3 * 36, 0, sizeof(u8Entry));
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(REPLY_403, Run("user=admin&psw=1234&resolution=16", &s32Ret));
    }
    memcpy(m_stOther.Check() + 2080 + 3 * 36, u8Entry, sizeof(u8Entry));
    EXPECT_EQ(REPLY_400, Run("user=admin&psw=1234&resolution=16", &s32Ret));
}

TEST_F(RequestRoad, LinkAtTheSnapshotPathIsNotFollowed)
{
    const std::string strElsewhere = m_stDir.Path("elsewhere.jpg");
    stilltest::WriteFile(strElsewhere, JPEG);
    ASSERT_EQ(0, symlink(strElsewhere.c_str(), m_strSnap.c_str()));
    std::thread stZozid = Answer(36, 0x200);
    S32 s32Ret = 0;
    EXPECT_EQ(REPLY_404, Run("user=admin&psw=1234", &s32Ret));  // after the file wait
    stZozid.join();
    EXPECT_EQ(-1, s32Ret);
    EXPECT_EQ(JPEG, stilltest::ReadFile(strElsewhere));
}

TEST_F(RequestRoad, ImageReachesAnOutputTheKernelCannotSendTo)
{
    /* an output opened for appending takes no sendfile: the copy buffer does */
    const std::string strOut = m_stDir.Path("appended");
    stilltest::WriteFile(strOut, "before|");
    const int s32Out = open(strOut.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(s32Out, 0);
    stilltest::WriteFile(m_strSnap, JPEG);
    const int s32Fd = open(m_strSnap.c_str(), O_RDONLY);
    fflush(stdout);
    const int s32Saved = dup(STDOUT_FILENO);
    dup2(s32Out, STDOUT_FILENO);
    const S32 s32Ret = SnapSendImage(s32Fd);
    dup2(s32Saved, STDOUT_FILENO);
    for (const int s32Close : {s32Saved, s32Out, s32Fd}) close(s32Close);
    EXPECT_EQ(0, s32Ret);
    EXPECT_EQ("before|" + REPLY_IMAGE, stilltest::ReadFile(strOut));
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

TEST_F(RequestRoad, FlushImageByPathAnswersAsTheRoadDoes)
{
    /* the path-taking form has no caller in the program; it must still give
     * the road's replies: the image, the empty-file 404, a 404 for a link,
     * nothing for a file whose status cannot be read */
    const std::string strLink = m_stDir.Path("link.jpg");
    stilltest::WriteFile(m_strSnap, JPEG);
    ASSERT_EQ(0, symlink(m_strSnap.c_str(), strLink.c_str()));
    const std::string strEmpty = m_stDir.Path("empty.jpg");
    stilltest::WriteFile(strEmpty, "");
    const std::string strMissing = m_stDir.Path("missing.jpg");
    const struct {
        const std::string* pPath;
        S32 s32Ret;
        const std::string strReply;
    } astCase[] = {
        {&m_strSnap, 0, REPLY_IMAGE},
        {&strEmpty, -1, REPLY_EMPTY},
        {&strLink, -1, REPLY_404},
        {&strMissing, -1, ""},
    };
    for (const auto& stCase : astCase) {
        stilltest::FdCapture stOut(1, m_stDir.Path("stdout"));
        const S32 s32Ret = flushimage(stCase.pPath->c_str());
        EXPECT_EQ(stCase.strReply, stOut.Finish()) << *stCase.pPath;
        EXPECT_EQ(stCase.s32Ret, s32Ret) << *stCase.pPath;
    }
    EXPECT_EQ(JPEG, stilltest::ReadFile(m_strSnap));  // the path form leaves the file
}

}  // namespace
