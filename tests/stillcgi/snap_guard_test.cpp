// SPDX-License-Identifier: MIT
/* The per-address bound on guessing, on a state file in a temporary
 * directory, with the clock given by the test. */
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "snap_guard.h"
#include "test_support.h"

namespace {

constexpr U64 T0 = 5000000;  // an uptime of well over an hour, in ms

class SnapGuard : public testing::Test {
protected:
    BOOL Locked(const char* ps8Addr, U64 u64Ms)
    {
        return SnapGuardLocked(&m_stGuard, ps8Addr, u64Ms);
    }
    BOOL Failed(const char* ps8Addr, U64 u64Ms)
    {
        return SnapGuardFailed(&m_stGuard, ps8Addr, u64Ms);
    }
    stilltest::TempDir m_stDir;
    std::string m_strPath = m_stDir.Path("stillcgi.guard");
    SNAP_GUARD_S m_stGuard = {m_strPath.c_str(), false};
};

TEST_F(SnapGuard, FiveFailuresInAMinuteLockThatAddressForAMinute)
{
    EXPECT_FALSE(Locked("10.0.0.9", T0));  // no file yet
    for (U64 i = 0; i < 4; ++i) {
        EXPECT_FALSE(Failed("10.0.0.9", T0 + i * 14000));
    }
    EXPECT_FALSE(Locked("10.0.0.9", T0 + 56000));
    EXPECT_TRUE(Failed("10.0.0.9", T0 + 59999));  // the fifth, inside the minute
    EXPECT_TRUE(Locked("10.0.0.9", T0 + 59999));
    EXPECT_FALSE(Locked("10.0.0.8", T0 + 60000));
    EXPECT_FALSE(Locked("10.0.0.90", T0 + 60000));
    EXPECT_TRUE(Locked("10.0.0.9", T0 + 59999 + 59999));
    EXPECT_FALSE(Locked("10.0.0.9", T0 + 59999 + 60000));
    /* the lock used its failures up: one more is not a new lock */
    EXPECT_FALSE(Failed("10.0.0.9", T0 + 59999 + 60001));
    EXPECT_FALSE(m_stGuard.bReported);
    struct stat stSt;
    ASSERT_EQ(0, stat(m_strPath.c_str(), &stSt));
    EXPECT_EQ(0600u, stSt.st_mode & 0777u);
}

TEST_F(SnapGuard, FailuresSpreadWiderThanTheWindowDoNotLock)
{
    const U64 u64At[] = {0, 20000, 40000, 59000, 61000};
    for (U64 u64Ms : u64At) {
        EXPECT_FALSE(Failed("fe80::1%eth0", T0 + u64Ms));
    }
    EXPECT_TRUE(Failed("fe80::1%eth0", T0 + 62000));  // 20000 to 62000: five in the window
}

TEST_F(SnapGuard, ManyAddressesKeepTheFileSmallAndTheLocked)
{
    for (int i = 0; i < 5; ++i) {
        Failed("10.9.9.9", T0 + i);
    }
    for (int i = 0; i < 200; ++i) {
        const std::string strAddr = "10.1." + std::to_string(i / 250) + "." + std::to_string(i);
        Failed(strAddr.c_str(), T0 + 10 + i);
    }
    struct stat stSt;
    ASSERT_EQ(0, stat(m_strPath.c_str(), &stSt));
    EXPECT_LT(stSt.st_size, 16384);
    EXPECT_TRUE(Locked("10.9.9.9", T0 + 1000));  // unlocked entries gave way first
    /* the oldest of the others gave way: its one failure is forgotten */
    for (int i = 0; i < 4; ++i) {
        Failed("10.1.0.0", T0 + 2000 + i);
    }
    EXPECT_FALSE(Locked("10.1.0.0", T0 + 3000));
}

TEST_F(SnapGuard, UnusableFileMeansCheckedWithoutTheBound)
{
    /* a directory, and then a foreign file: the first is reported once and
     * locks nobody; the second is taken as empty and replaced by a table */
    ASSERT_EQ(0, mkdir(m_strPath.c_str(), 0700));
    stilltest::FdCapture stErr(2, m_stDir.Path("err"));
    for (int i = 0; i < 6; ++i) {
        EXPECT_FALSE(Failed("10.0.0.9", T0 + i));
    }
    EXPECT_FALSE(Locked("10.0.0.9", T0 + 10));
    const std::string strErr = stErr.Finish();
    EXPECT_EQ(1u, (size_t)std::count(strErr.begin(), strErr.end(), '\n')) << strErr;
    EXPECT_NE(std::string::npos, strErr.find(m_strPath)) << strErr;
    ASSERT_EQ(0, rmdir(m_strPath.c_str()));

    stilltest::WriteFile(m_strPath, std::string(20000, '\xff'));
    EXPECT_FALSE(Locked("10.0.0.9", T0));
    for (int i = 0; i < 5; ++i) {
        Failed("10.0.0.9", T0 + i);
    }
    EXPECT_TRUE(Locked("10.0.0.9", T0 + 10));
    struct stat stSt;
    ASSERT_EQ(0, stat(m_strPath.c_str(), &stSt));
    EXPECT_EQ(8200, stSt.st_size);
}

TEST_F(SnapGuard, StampsFromAnotherBootAreStale)
{
    /* a file kept across a restart of the clock (no tmpfs): a lock "ending"
     * far beyond now must not hold */
    for (int i = 0; i < 5; ++i) {
        Failed("10.0.0.9", T0 + i);
    }
    EXPECT_TRUE(Locked("10.0.0.9", T0 + 10));
    EXPECT_FALSE(Locked("10.0.0.9", 1000));
    EXPECT_FALSE(Failed("10.0.0.9", 1000));  // starts afresh
}

}  // namespace
