// SPDX-License-Identifier: MIT
/* System V primitives on private keys: fresh creation over a stale object,
 * lookups by count, and undo-on-exit of every semaphore operation. */
#include <errno.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "debug_log.h"
#include "public.h"
#include "test_support.h"

namespace {

class IpcPrimitives : public testing::Test {
protected:
    void SetUp() override
    {
        stilltest::WriteFile(m_stDir.Path("key"), "");
        m_s32Key = ftok(m_stDir.Path("key").c_str(), 42);
        ASSERT_NE((key_t)-1, m_s32Key);
    }
    void TearDown() override
    {
        const int s32Sem = semget(m_s32Key, 0, 0);
        if (s32Sem >= 0) semctl(s32Sem, 0, IPC_RMID);
        const int s32Shm = shmget(m_s32Key, 0, 0);
        if (s32Shm >= 0) shmctl(s32Shm, IPC_RMID, nullptr);
    }
    stilltest::TempDir m_stDir;
    key_t m_s32Key = -1;
};

TEST_F(IpcPrimitives, CreateSemTwiceReplacesTheSet)
{
    const S32 s32First = create_sem(m_s32Key, 3);
    ASSERT_GE(s32First, 0);
    ASSERT_EQ(0, lock_sem(s32First, 2));
    const S32 s32Second = create_sem(m_s32Key, 3);
    ASSERT_GE(s32Second, 0);
    EXPECT_NE(s32First, s32Second);
    EXPECT_EQ(-1, semctl(s32First, 0, GETVAL));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(1, semctl(s32Second, i, GETVAL)) << i;
    }
    EXPECT_EQ(-1, create_sem(m_s32Key, 4));  // an existing smaller set cannot be replaced
}

TEST_F(IpcPrimitives, OpenSemByCountAndItsLogLine)
{
    ASSERT_GE(create_sem(m_s32Key, 2), 0);
    EXPECT_GE(open_sem(m_s32Key, 0), 0);
    EXPECT_GE(open_sem(m_s32Key, 2), 0);
    ASSERT_EQ(0, LogInit(m_stDir.Path().c_str(), "ipc_", 0, 0, 7, 2, 0));
    EXPECT_EQ(-1, open_sem(m_s32Key, 3));
    LogDestroy();
    sg_LogArgs.s32LevelMask = 0;
    pthread_mutex_init(&sg_LogArgs.stLock, nullptr);
    const std::string strLog = stilltest::ReadFile(m_stDir.Path("ipc_01.log"));
    EXPECT_NE(std::string::npos, strLog.find("[ERR]-["));
    EXPECT_NE(std::string::npos, strLog.find("][open_sem][public.cpp]["));
    EXPECT_NE(std::string::npos, strLog.find("]Semaphore set does not exist!\n"));
}

TEST_F(IpcPrimitives, ExitGivesBackWhatWasTakenOrGiven)
{
    const S32 s32Sem = create_sem(m_s32Key, 2);
    ASSERT_GE(s32Sem, 0);
    int s32Ready[2], s32Go[2];
    ASSERT_EQ(0, pipe(s32Ready));
    ASSERT_EQ(0, pipe(s32Go));
    const pid_t s32Pid = fork();
    ASSERT_GE(s32Pid, 0);
    if (s32Pid == 0) {
        close(s32Go[1]);
        char c = 0;
        const int s32Ok = lock_sem(s32Sem, 0) == 0 && unlock_sem(s32Sem, 1) == 0;
        c = s32Ok ? 'y' : 'n';
        (void)!write(s32Ready[1], &c, 1);
        (void)!read(s32Go[0], &c, 1);  // hold until the parent has looked
        _exit(0);
    }
    close(s32Go[0]);
    close(s32Ready[1]);
    char c = 0;
    ASSERT_EQ(1, read(s32Ready[0], &c, 1));
    EXPECT_EQ('y', c);
    EXPECT_EQ(0, semctl(s32Sem, 0, GETVAL));
    EXPECT_EQ(2, semctl(s32Sem, 1, GETVAL));
    close(s32Go[1]);
    int s32Status = 0;
    waitpid(s32Pid, &s32Status, 0);
    EXPECT_EQ(1, semctl(s32Sem, 0, GETVAL));
    EXPECT_EQ(1, semctl(s32Sem, 1, GETVAL));
    close(s32Ready[0]);

    EXPECT_EQ(0, close_sem(s32Sem));
    EXPECT_EQ(-1, lock_sem(s32Sem, 0));
    EXPECT_EQ(-1, unlock_sem(s32Sem, 0));
    EXPECT_EQ(-1, close_sem(s32Sem));
}

TEST_F(IpcPrimitives, OpenShmStartsFreshAndCloseRemoves)
{
    VOID* pFirst = nullptr;
    const S32 s32First = open_shm(m_s32Key, 4096, &pFirst);
    ASSERT_GE(s32First, 0);
    static_cast<unsigned char*>(pFirst)[0] = 0xAB;
    shmdt(pFirst);
    VOID* pSecond = nullptr;
    const S32 s32Second = open_shm(m_s32Key, 4096, &pSecond);
    ASSERT_GE(s32Second, 0);
    EXPECT_NE(s32First, s32Second);
    EXPECT_EQ(0, static_cast<unsigned char*>(pSecond)[0]);
    EXPECT_EQ(-1, open_shm(m_s32Key, 8192, &pFirst));  // existing smaller segment
    EXPECT_EQ(0, close_shm(s32Second, pSecond));
    EXPECT_EQ(-1, shmget(m_s32Key, 0, 0));
}

}  // namespace
