// SPDX-License-Identifier: MIT
/* The settings exchange against segments and semaphores the test owns:
 * copy-out, posting, and the wait for the answer. */
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "config.h"
#include "test_support.h"

namespace {

using stilltest::GetWord;
using stilltest::PutWord;

constexpr size_t BASE = 4248;  // base block; the word behind it at BASE
constexpr size_t OTHER = 4312;

class ShmExchange : public testing::Test {
protected:
    void SetUp() override { m_stBase.Create(m_stDir, 10, BASE + 4); }
    void ExpectSemsFree() const
    {
        EXPECT_EQ(1, m_stBase.SemVal(0));
        EXPECT_EQ(1, m_stBase.SemVal(1));
    }
    S32 Wait(S32 s32Cmd, S32 s32Polls)
    {
        return CheckShmUpdateState(s32Cmd, s32Polls, m_stBase.CheckKey(), m_stBase.RunKey());
    }
    stilltest::TempDir m_stDir;
    stilltest::IpcFamily m_stBase;
};

TEST_F(ShmExchange, CopyOutTakesTheWholeBlock)
{
    for (size_t i = 0; i < BASE + 4; ++i) m_stBase.Check()[i] = (unsigned char)(i * 7);
    unsigned char u8Dst[BASE + 8];
    memset(u8Dst, 0xEE, sizeof(u8Dst));
    ASSERT_EQ(0, GetBaseParam(u8Dst, m_stBase.CheckKey()));
    EXPECT_EQ(0, memcmp(u8Dst, m_stBase.Check(), BASE));
    EXPECT_EQ(0xEE, u8Dst[BASE]);
    EXPECT_EQ(1, m_stBase.Attached(true));  // only the test's own attachment
}

TEST_F(ShmExchange, CopyOutFailsAndLeavesDestination)
{
    unsigned char u8Dst[OTHER];
    memset(u8Dst, 0xEE, sizeof(u8Dst));
    EXPECT_EQ(-1, GetBaseOtherParam(u8Dst, m_stBase.CheckKey()));  // no key-11 segment
    EXPECT_EQ(-1, GetBaseParam(u8Dst, m_stDir.Path("nokeyfile").c_str()));
    stilltest::IpcFamily stSmall;  // too small for block + word
    stSmall.Create(m_stDir, 11, OTHER, false);
    EXPECT_EQ(-1, GetBaseOtherParam(u8Dst, stSmall.CheckKey()));
    for (unsigned char u8Byte : u8Dst) ASSERT_EQ(0xEE, u8Byte);
}

TEST_F(ShmExchange, PostWritesBlockCommandAndResetsState)
{
    unsigned char u8Block[BASE];
    for (size_t i = 0; i < BASE; ++i) u8Block[i] = (unsigned char)(i ^ 0x5A);
    PutWord(m_stBase.Check() + BASE, 36 | 0x200);
    ASSERT_EQ(0, SetBaseParam(u8Block, 37, m_stBase.RequestKey(), m_stBase.CheckKey(),
                              m_stBase.RunKey()));
    EXPECT_EQ(0, memcmp(u8Block, m_stBase.Request(), BASE));
    EXPECT_EQ(37, GetWord(m_stBase.Request() + BASE));
    EXPECT_EQ(-1, GetWord(m_stBase.Check() + BASE));
    ExpectSemsFree();
    EXPECT_EQ(1, m_stBase.Attached(true));
    EXPECT_EQ(1, m_stBase.Attached(false));
}

TEST_F(ShmExchange, PostWithoutSemaphoreFailsQuietlyOnStdout)
{
    stilltest::IpcFamily stNoSem;
    stNoSem.Create(m_stDir, 11, OTHER + 4, false);
    unsigned char u8Block[OTHER] = {1, 2, 3};
    stilltest::FdCapture stOut(1, m_stDir.Path("out"));
    stilltest::FdCapture stErr(2, m_stDir.Path("err"));
    EXPECT_EQ(-1, SetBaseOtherParam(u8Block, 5, stNoSem.RequestKey(), stNoSem.CheckKey(),
                                    stNoSem.RunKey()));
    EXPECT_EQ("----------------Fail-----------------\n", stErr.Finish());
    EXPECT_EQ("", stOut.Finish());
    EXPECT_EQ(0, stNoSem.Request()[0]);    // nothing posted
    EXPECT_EQ(1, stNoSem.Attached(true));  // both segments detached again
    EXPECT_EQ(1, stNoSem.Attached(false));
}

TEST_F(ShmExchange, PostFailsWithoutRequestSegment)
{
    unsigned char u8Block[BASE] = {0};
    EXPECT_EQ(-1, SetBaseParam(u8Block, 36, m_stDir.Path("missing").c_str(), m_stBase.CheckKey(),
                               m_stBase.RunKey()));
    EXPECT_EQ(1, m_stBase.Attached(true));
    ExpectSemsFree();
}

TEST_F(ShmExchange, WaitResultByAnswer)
{
    struct Case {
        int s32State, s32Polls, s32Result;
    };
    const Case stCases[] = {
        {37 | 0x200, 500, 1}, {37 | 0x600, 500, 2}, {37 | 0x100, 500, 0},
        {36 | 0x200, 1, 3},  // another command's answer is no answer
        {-1, 1, 3},           {-1, 0, 3},           {-1, 20, 3},
    };
    for (const Case& stCase : stCases) {
        SCOPED_TRACE(stCase.s32State);
        PutWord(m_stBase.Check() + BASE, stCase.s32State);
        EXPECT_EQ(stCase.s32Result, Wait(37, stCase.s32Polls));
        EXPECT_EQ(-1, GetWord(m_stBase.Check() + BASE));
        ExpectSemsFree();
    }
}

TEST_F(ShmExchange, WaitSeesAnswerArrivingLater)
{
    PutWord(m_stBase.Check() + BASE, -1);
    std::thread stAnswer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        PutWord(m_stBase.Check() + BASE, 36 | 0x600);
    });
    EXPECT_EQ(2, Wait(36, 100000));
    stAnswer.join();
    ExpectSemsFree();
}

TEST_F(ShmExchange, WaitThatCannotStartReturnsZero)
{
    EXPECT_EQ(0, CheckShmUpdateState(36, 1, m_stDir.Path("none").c_str(), m_stBase.RunKey()));
    PutWord(m_stBase.Check() + BASE, 36 | 0x200);
    EXPECT_EQ(0, CheckShmUpdateStateForOtherParm(36, 1, m_stBase.CheckKey(), m_stBase.RunKey()));
    EXPECT_EQ(0, CheckShmUpdateState(36, 1, m_stBase.CheckKey(), m_stDir.Path("none").c_str()));
    EXPECT_EQ(36 | 0x200, GetWord(m_stBase.Check() + BASE));  // untouched
}

/* What the step saw: the exchange's result, the word, the semaphores. */
struct StepSeen {
    const stilltest::IpcFamily* pstFam;
    int s32Calls, s32Result, s32Word, s32Sem0, s32Sem1;
};

VOID RecordStep(S32 s32Result, const CFG_TURN_S* /*pstTurn*/, VOID* pCtx)
{
    StepSeen* pstSeen = static_cast<StepSeen*>(pCtx);
    ++pstSeen->s32Calls;
    pstSeen->s32Result = s32Result;
    pstSeen->s32Word = GetWord(pstSeen->pstFam->Check() + BASE);
    pstSeen->s32Sem0 = pstSeen->pstFam->SemVal(0);
    pstSeen->s32Sem1 = pstSeen->pstFam->SemVal(1);
}

class Exchange : public ShmExchange {
protected:
    S32 Run(StepSeen* pstSeen, U32 u32TurnMs = 10000)
    {
        unsigned char u8Block[BASE];
        memset(u8Block, 0x5A, sizeof(u8Block));
        return ExchangeBaseParam(u8Block, 36, 20000, RecordStep, pstSeen, m_stBase.RequestKey(),
                                 m_stBase.CheckKey(), m_stBase.RunKey(), u32TurnMs);
    }
    /* Holds semaphore s32Num from another process until Release(). */
    void Hold(int s32Num)
    {
        m_s32Holder = fork();
        ASSERT_GE(m_s32Holder, 0);
        if (m_s32Holder == 0) {
            struct sembuf stOp = {(unsigned short)s32Num, -1, SEM_UNDO};
            semop(semget(ftok(m_stBase.RunKey(), 10), 0, 0), &stOp, 1);
            pause();
            _exit(0);
        }
        for (int i = 0; i < 5000 && m_stBase.SemVal(s32Num) != 0; ++i) usleep(1000);
        ASSERT_EQ(0, m_stBase.SemVal(s32Num));
    }
    void Release()
    {
        kill(m_s32Holder, SIGKILL);
        waitpid(m_s32Holder, nullptr, 0);
    }
    pid_t m_s32Holder = -1;
};

TEST_F(Exchange, PostWaitAndStepShareOneTurn)
{
    /* Plays zozid: at the post, semaphore 1 must already be this process's;
     * answers 0x200, 0x100 or nothing. The step sees the answer still in the
     * word and semaphore 1 still taken; afterwards both are free. */
    const int s32Answers[] = {0x200, 0x100, 0};
    const int s32Results[] = {1, 0, 3};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(s32Answers[i]);
        PutWord(m_stBase.Request() + BASE, 0);
        int s32TurnAtPost = -9;
        std::thread stZozid([this, &s32TurnAtPost, i, &s32Answers] {
            for (int j = 0; j < 5000; ++j) {
                if (GetWord(m_stBase.Request() + BASE) == 36) {
                    s32TurnAtPost = m_stBase.SemVal(1);
                    if (s32Answers[i] != 0) PutWord(m_stBase.Check() + BASE, 36 | s32Answers[i]);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        StepSeen stSeen = {&m_stBase, 0, -9, 0, -9, -9};
        const S32 s32Ret = ExchangeBaseParam(
            m_stBase.Check(), 36, s32Answers[i] != 0 ? 100000 : 2000, RecordStep, &stSeen,
            m_stBase.RequestKey(), m_stBase.CheckKey(), m_stBase.RunKey());
        stZozid.join();
        EXPECT_EQ(s32Results[i], s32Ret);
        EXPECT_EQ(0, s32TurnAtPost);
        EXPECT_EQ(1, stSeen.s32Calls);
        EXPECT_EQ(s32Results[i], stSeen.s32Result);
        EXPECT_EQ(s32Answers[i] != 0 ? (36 | s32Answers[i]) : -1, stSeen.s32Word);
        EXPECT_EQ(1, stSeen.s32Sem0);
        EXPECT_EQ(0, stSeen.s32Sem1);
        EXPECT_EQ(-1, GetWord(m_stBase.Check() + BASE));
        ExpectSemsFree();
    }
}

TEST_F(Exchange, NoTurnWithinTheBoundPostsNothing)
{
    PutWord(m_stBase.Check() + BASE, 36 | 0x200);
    Hold(1);
    StepSeen stSeen = {&m_stBase, 0, -9, 0, -9, -9};
    EXPECT_EQ(CFG_EXCHANGE_NO_TURN, Run(&stSeen, 50));
    Release();
    EXPECT_EQ(0, stSeen.s32Calls);
    EXPECT_EQ(0, m_stBase.Request()[0]);
    EXPECT_EQ(0, GetWord(m_stBase.Request() + BASE));
    EXPECT_EQ(36 | 0x200, GetWord(m_stBase.Check() + BASE));  // nobody else's word touched
    ExpectSemsFree();
}

TEST_F(Exchange, PostThatCannotBeMadeStillRunsTheStep)
{
    /* semaphore 0 held elsewhere past the bound: in the turn, nothing posted */
    Hold(0);
    StepSeen stSeen = {&m_stBase, 0, -9, 0, -9, -9};
    {
        stilltest::FdCapture stErr(2, m_stDir.Path("err"));
        EXPECT_EQ(-1, Run(&stSeen, 50));
        EXPECT_EQ("----------------Fail-----------------\n", stErr.Finish());
    }
    Release();
    EXPECT_EQ(1, stSeen.s32Calls);
    EXPECT_EQ(-1, stSeen.s32Result);
    EXPECT_EQ(0, stSeen.s32Sem1);
    EXPECT_EQ(0, GetWord(m_stBase.Request() + BASE));
    ExpectSemsFree();
    /* no semaphore set: no turn to take, the step still runs */
    m_stBase.RemoveSem();
    stSeen = {&m_stBase, 0, -9, 0, -9, -9};
    stilltest::FdCapture stErr(2, m_stDir.Path("err2"));
    EXPECT_EQ(-1, Run(&stSeen));
    EXPECT_EQ("----------------Fail-----------------\n", stErr.Finish());
    EXPECT_EQ(1, stSeen.s32Calls);
    EXPECT_EQ(-1, stSeen.s32Result);
}

TEST_F(Exchange, NothingToPostToStillWaitsInATurn)
{
    /* segments missing (zozid starting again) while a set exists: the step
     * runs in a turn, so what it finds is not another turn's file */
    unsigned char u8Block[BASE] = {0};
    StepSeen stSeen = {&m_stBase, 0, -9, 0, -9, -9};
    EXPECT_EQ(-1,
              ExchangeBaseParam(u8Block, 36, 1, RecordStep, &stSeen, m_stDir.Path("none").c_str(),
                                m_stBase.CheckKey(), m_stBase.RunKey()));
    EXPECT_EQ(1, stSeen.s32Calls);
    EXPECT_EQ(-1, stSeen.s32Result);
    EXPECT_EQ(0, stSeen.s32Sem1);
    EXPECT_EQ(0, GetWord(m_stBase.Request() + BASE));
    ExpectSemsFree();
}

}  // namespace
