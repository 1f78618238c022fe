// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "zozid_serve.h"

namespace {

constexpr U32 BASE = 4248; /* block size of the base family, key number 10 */

U64 NowMs()
{
    struct timespec stTs;
    clock_gettime(CLOCK_MONOTONIC, &stTs);
    return (U64)stTs.tv_sec * 1000u + (U64)stTs.tv_nsec / 1000000u;
}

int SemOp(int s32Id, unsigned short u16Num, short s16Op)
{
    struct sembuf stOp = {u16Num, s16Op, SEM_UNDO};
    return semop(s32Id, &stOp, 1);
}

/* A client written from the exchange's rules, run in a child process: it
 * takes its turn (semaphore 1), posts under semaphore 0, polls the answer,
 * puts -1 back and gives its turn back. Exit status: 1 for cmd|0x200, 2 for
 * cmd|0x600, 0 for cmd|0x100, 3 when nothing came, 9 on setup failure. */
int Client(const std::string& strDir, S32 s32Cmd, int s32Polls, U8 u8Resolution)
{
    const key_t keyCheck = ftok((strDir + "/check").c_str(), 10);
    const key_t keyReq = ftok((strDir + "/zozid").c_str(), 10);
    const key_t keySem = ftok((strDir + "/run.sh").c_str(), 10);
    const int s32Check = shmget(keyCheck, 0, 0666);
    const int s32Req = shmget(keyReq, 0, 0666);
    const int s32Sem = semget(keySem, 0, 0);
    if (s32Check < 0 || s32Req < 0 || s32Sem < 0) {
        return 9;
    }
    U8* pu8Check = static_cast<U8*>(shmat(s32Check, nullptr, 0));
    U8* pu8Req = static_cast<U8*>(shmat(s32Req, nullptr, 0));
    std::vector<U8> vecBlock(BASE);
    memcpy(vecBlock.data(), pu8Check, BASE);
    vecBlock[2933] = u8Resolution;
    const S32 s32Idle = -1;
    if (SemOp(s32Sem, 1, -1) != 0 || SemOp(s32Sem, 0, -1) != 0) {
        return 9;
    }
    memcpy(pu8Req, vecBlock.data(), BASE);
    memcpy(pu8Req + BASE, &s32Cmd, 4);
    memcpy(pu8Check + BASE, &s32Idle, 4);
    SemOp(s32Sem, 0, +1);
    int s32Result = 3;
    for (int i = 0; i < s32Polls; ++i) {
        S32 s32Word;
        memcpy(&s32Word, const_cast<const U8*>(pu8Check) + BASE, 4);
        if (s32Word == (s32Cmd | 0x200)) {
            s32Result = 1;
        } else if (s32Word == (s32Cmd | 0x600)) {
            s32Result = 2;
        } else if (s32Word == (s32Cmd | 0x100)) {
            s32Result = 0;
        } else {
            usleep(100);
            continue;
        }
        break;
    }
    memcpy(pu8Check + BASE, &s32Idle, 4);
    SemOp(s32Sem, 1, +1);
    shmdt(pu8Check);
    shmdt(pu8Req);
    return s32Result;
}

class ServeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char s8Dir[] = "/tmp/zozid_serve_XXXXXX";
        ASSERT_NE(mkdtemp(s8Dir), nullptr);
        m_strDir = s8Dir;
        m_stOpts.strMivor = m_strDir;
        m_stOpts.strSnap = m_strDir;
        m_stOpts.u32JpegSize = 20000;
    }
    void TearDown() override
    {
        if (m_pSrv != nullptr) {
            m_pSrv->Shutdown();
            delete m_pSrv;
        }
        unlink((m_strDir + "/snap.jpg").c_str());
        rmdir(m_strDir.c_str());
    }
    void Start()
    {
        m_pSrv = new ZozidServer(m_stOpts);
        ASSERT_EQ(m_pSrv->Setup(), 0);
    }
    pid_t Spawn(S32 s32Cmd, int s32Polls = 20000, U8 u8Resolution = 1)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            _exit(Client(m_strDir, s32Cmd, s32Polls, u8Resolution));
        }
        return pid;
    }
    /* serves until every child has exited (at most 10 s); their exit statuses */
    std::vector<int> ServeUntilDone(std::vector<pid_t> vecPids)
    {
        std::vector<int> vecStatus(vecPids.size(), -1);
        size_t sLeft = vecPids.size();
        const U64 u64End = NowMs() + 10000;
        while (sLeft > 0 && NowMs() < u64End) {
            m_pSrv->Poll(NowMs());
            usleep(100);
            for (size_t i = 0; i < vecPids.size(); ++i) {
                int s32St = 0;
                if (vecPids[i] > 0 && waitpid(vecPids[i], &s32St, WNOHANG) == vecPids[i]) {
                    vecStatus[i] = WIFEXITED(s32St) ? WEXITSTATUS(s32St) : -2;
                    vecPids[i] = -1;
                    --sLeft;
                }
            }
        }
        for (pid_t pid : vecPids) {
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        return vecStatus;
    }
    std::string ReadSnap()
    {
        std::ifstream stIn(m_strDir + "/snap.jpg", std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(stIn)),
                           std::istreambuf_iterator<char>());
    }

    std::string m_strDir;
    ZOZID_OPTIONS_S m_stOpts;
    ZozidServer* m_pSrv = nullptr;
};

}  // namespace

TEST(PublishedBlocks, UserTableLayout)
{
    ZOZID_OPTIONS_S stOpts;
    stOpts.vecUsers.push_back({"admin", "1234", 1});
    stOpts.vecUsers.push_back({"sixteencharname1", "sixteencharpass1", 4});
    std::vector<U8> vecBlock;
    FillOtherBlock(stOpts, &vecBlock);
    ASSERT_EQ(vecBlock.size(), 4312u);
    const U8 au8First[36] = {1, 1, 0, 0, 'a', 'd', 'm', 'i', 'n', 0,   0,   0,
                             0, 0, 0, 0, 0,   0,   0,   0,   '1', '2', '3', '4'};
    EXPECT_EQ(memcmp(vecBlock.data() + 2080, au8First, sizeof(au8First)), 0);
    /* full fields: no terminator, the password starts right after the name */
    EXPECT_EQ(
        memcmp(vecBlock.data() + 2116, "\x01\x04\x00\x00sixteencharname1sixteencharpass1", 36), 0);
    for (size_t i = 0; i < vecBlock.size(); ++i) {
        if (i < 2080 || i >= 2152) {
            ASSERT_EQ(vecBlock[i], 0) << "offset " << i;
        }
    }
    stOpts.u8Resolution = 9;
    stOpts.u16Caps = 0xA5F0;
    FillBaseBlock(stOpts, &vecBlock);
    ASSERT_EQ(vecBlock.size(), 4248u);
    EXPECT_EQ(vecBlock[1404], 9);
    EXPECT_EQ(vecBlock[1405], 0xF0);
    EXPECT_EQ(vecBlock[1406], 0xA5);
}

TEST_F(ServeTest, EachAnswerKindReachesTheWaiter)
{
    for (const S32 s32Answer : {0x200, 0x600, 0x100}) {
        SCOPED_TRACE(s32Answer);
        m_stOpts.s32Answer = s32Answer;
        Start();
        const std::vector<int> vecSt = ServeUntilDone({Spawn(37)});
        EXPECT_EQ(vecSt[0], s32Answer == 0x200 ? 1 : (s32Answer == 0x600 ? 2 : 0));
        m_pSrv->Shutdown();
        delete m_pSrv;
        m_pSrv = nullptr;
    }
}

TEST_F(ServeTest, NoAnswerMeansTimeOut)
{
    m_stOpts.s32Answer = ZOZID_ANSWER_NONE;
    Start();
    EXPECT_EQ(ServeUntilDone({Spawn(37, 300)})[0], 3);
}

TEST_F(ServeTest, EveryParallelWaiterAnswered)
{
    Start();
    std::vector<pid_t> vecPids;
    for (int i = 0; i < 8; ++i) {
        vecPids.push_back(Spawn(37));
    }
    const std::vector<int> vecSt = ServeUntilDone(vecPids);
    EXPECT_EQ(vecSt, std::vector<int>(8, 1));
}

TEST_F(ServeTest, ImageWrittenBeforeTheAnswer)
{
    Start();
    EXPECT_EQ(ServeUntilDone({Spawn(36)})[0], 1);
    const std::string strJpeg = ReadSnap();
    ASSERT_EQ(strJpeg.size(), 20000u);
    EXPECT_EQ(strJpeg.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(m_pSrv->SnapshotCount(), 1u);
}

TEST_F(ServeTest, EveryImageAnswerReplacesWhatIsThere)
{
    /* a file an earlier request left behind is replaced at once, not waited
     * for: the answer always comes with a snapshot of its own */
    Start();
    {
        std::ofstream stOut(m_strDir + "/snap.jpg");
        stOut << "previous";
    }
    EXPECT_EQ(ServeUntilDone({Spawn(36)})[0], 1);
    const std::string strFirst = ReadSnap();
    ASSERT_EQ(strFirst.size(), 20000u);
    EXPECT_EQ(strFirst.substr(0, 2), "\xFF\xD8");
    /* nobody removed the first one: the next answer still writes its own */
    EXPECT_EQ(ServeUntilDone({Spawn(36), Spawn(36)}), std::vector<int>(2, 1));
    EXPECT_EQ(m_pSrv->SnapshotCount(), 3u);
    EXPECT_EQ(ReadSnap().size(), 20000u);
    EXPECT_NE(access((m_strDir + "/snap.jpg.tmp").c_str(), F_OK), 0);
}

TEST_F(ServeTest, MarkedImagesCarryTheirNumberAndResolution)
{
    m_stOpts.bMarkImages = true;
    Start();
    for (U8 u8Res = 0; u8Res < 3; ++u8Res) {
        SCOPED_TRACE(u8Res);
        EXPECT_EQ(ServeUntilDone({Spawn(36, 20000, u8Res)})[0], 1);
        const std::string strText =
            "zozid snapshot " + std::to_string(u8Res + 1) + " resolution " + std::to_string(u8Res);
        const std::string strJpeg = ReadSnap();
        ASSERT_GT(strJpeg.size(), 6 + strText.size());
        EXPECT_EQ(strJpeg.substr(0, 6),
                  std::string("\xFF\xD8\xFF\xFE\x00", 5) + (char)(strText.size() + 2));
        EXPECT_EQ(strJpeg.substr(6, strText.size()), strText);
        EXPECT_EQ(strJpeg.substr(6 + strText.size(), 2), "\xFF\xE0");  // the card's own APP0
    }
}

TEST_F(ServeTest, CommandIsTakenOnceAndAPostedOverOneIsDropped)
{
    /* A post the stand-in is still serving (its answer delayed) is posted
     * over: the first one's client has gone, so only the second one is
     * answered, once, with its own resolution. */
    m_stOpts.u32DelayMs = 200;
    m_stOpts.bMarkImages = true;
    Start();
    const key_t keyReq = ftok((m_strDir + "/zozid").c_str(), 10);
    U8* pu8Req = static_cast<U8*>(shmat(shmget(keyReq, 0, 0), nullptr, 0));
    const S32 s32Cmd = 36;
    pu8Req[2933] = 2;
    memcpy(pu8Req + BASE, &s32Cmd, 4);  // a post whose client left at once
    m_pSrv->Poll(NowMs());
    S32 s32Word = -9;
    memcpy(&s32Word, pu8Req + BASE, 4);
    EXPECT_EQ(s32Word, ZOZID_NO_COMMAND);  // taken
    EXPECT_EQ(ServeUntilDone({Spawn(36, 20000, 3)})[0], 1);
    EXPECT_EQ(m_pSrv->SnapshotCount(), 1u);
    EXPECT_NE(ReadSnap().find("zozid snapshot 1 resolution 3"), std::string::npos);
    for (int i = 0; i < 5; ++i) {
        m_pSrv->Poll(NowMs() + 1000);  // nothing posted: nothing more answered
    }
    EXPECT_EQ(m_pSrv->SnapshotCount(), 1u);
    shmdt(pu8Req);
}

TEST_F(ServeTest, ShutdownRemovesWhatItMade)
{
    {
        std::ofstream stOut(m_strDir + "/run.sh");
        stOut << "#!/bin/sh\n";
    }
    Start();
    const key_t keySem = ftok((m_strDir + "/run.sh").c_str(), 10);
    const key_t keyShm = ftok((m_strDir + "/check").c_str(), 11);
    const int s32Sem = semget(keySem, 0, 0);
    ASSERT_GE(s32Sem, 0);
    EXPECT_EQ(semctl(s32Sem, 0, GETVAL), 1);
    EXPECT_EQ(semctl(s32Sem, 1, GETVAL), 1);
    struct shmid_ds stDs;
    const int s32Shm = shmget(keyShm, 0, 0);
    ASSERT_GE(s32Shm, 0);
    ASSERT_EQ(shmctl(s32Shm, IPC_STAT, &stDs), 0);
    EXPECT_EQ(stDs.shm_segsz, 4316u);
    m_pSrv->Shutdown();
    EXPECT_LT(semget(keySem, 0, 0), 0);
    EXPECT_LT(shmget(keyShm, 0, 0), 0);
    EXPECT_NE(access((m_strDir + "/check").c_str(), F_OK), 0);
    EXPECT_NE(access((m_strDir + "/zozid").c_str(), F_OK), 0);
    EXPECT_EQ(access((m_strDir + "/run.sh").c_str(), F_OK), 0); /* not ours: kept */
    unlink((m_strDir + "/run.sh").c_str());
    unlink((m_strDir + "/network.ini").c_str());
}
