// SPDX-License-Identifier: MIT
/* The bound on password guessing, over a fake clock: when the lock starts and
 * ends, what counts as a failure, and what is a repeat. */
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "bcast_guard.h"

namespace {

NetMDevInfoReq Req(const std::string& strMsgId, const std::string& strPwd,
                   const std::string& strUser = "admin")
{
    NetMDevInfoReq stReq;
    memset(&stReq, 0, sizeof(stReq));
    memcpy(stReq.msgid, strMsgId.data(), strMsgId.size() < 16 ? strMsgId.size() : 16);
    memcpy(stReq.user, strUser.data(), strUser.size() < 10 ? strUser.size() : 10);
    memcpy(stReq.pwd, strPwd.data(), strPwd.size() < 14 ? strPwd.size() : 14);
    return stReq;
}

/* One user check as the server makes it; the password "right" passes.
 * return what the guard said; *pbLockStarted when this failure started one */
BCAST_GUARD_E Attempt(BCAST_GUARD_S* pstGuard, const NetMDevInfoReq& stReq, U64 u64Now,
                      bool* pbLockStarted = nullptr)
{
    const BCAST_GUARD_E enRet = BcastGuardAdmit(pstGuard, stReq, u64Now);
    bool bStarted = false;
    if (enRet == BCAST_GUARD_CHECK && strncmp(stReq.pwd, "right", sizeof(stReq.pwd)) != 0) {
        bStarted = BcastGuardFailed(pstGuard, stReq, u64Now);
    }
    if (pbLockStarted != nullptr) *pbLockStarted = bStarted;
    return enRet;
}

TEST(ModifyGuard, FifthFailureWithinAMinuteLocksForAMinute)
{
    BCAST_GUARD_S stGuard = {};
    U64 u64Now = 1000000;
    bool bStarted = false;
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(BCAST_GUARD_CHECK,
                  Attempt(&stGuard, Req("m" + std::to_string(i), "wrong" + std::to_string(i)),
                          u64Now, &bStarted));
        EXPECT_EQ(i == 4, bStarted);
        u64Now += 10000;
    }
    /* Everything is refused unchecked, the right password too, until the end. */
    const U64 u64LockEnd = u64Now - 10000 + BCAST_GUARD_LOCK_MS;
    EXPECT_EQ(BCAST_GUARD_LOCKED, Attempt(&stGuard, Req("x", "right"), u64Now));
    EXPECT_EQ(BCAST_GUARD_LOCKED, Attempt(&stGuard, Req("y", "right"), u64LockEnd - 1));
    EXPECT_EQ(1u, BcastGuardLockLeftMs(&stGuard, u64LockEnd - 1));
    EXPECT_FALSE(BcastGuardLockEnded(&stGuard, u64LockEnd - 1));
    EXPECT_TRUE(BcastGuardLockEnded(&stGuard, u64LockEnd));
    EXPECT_FALSE(BcastGuardLockEnded(&stGuard, u64LockEnd + 1)) << "the end is told once";
    EXPECT_EQ(0u, BcastGuardLockLeftMs(&stGuard, u64LockEnd));
    EXPECT_EQ(BCAST_GUARD_CHECK, Attempt(&stGuard, Req("z", "right"), u64LockEnd));

    /* The failures before the lock were used up by it: four new ones do not lock. */
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(BCAST_GUARD_CHECK,
                  Attempt(&stGuard, Req("n" + std::to_string(i), "bad" + std::to_string(i)),
                          u64LockEnd + 1, &bStarted));
        EXPECT_FALSE(bStarted);
    }
    EXPECT_EQ(BCAST_GUARD_CHECK, Attempt(&stGuard, Req("n9", "bad9"), u64LockEnd + 2, &bStarted));
    EXPECT_TRUE(bStarted);
}

TEST(ModifyGuard, FailuresSpreadOverMoreThanAMinuteDoNotLock)
{
    BCAST_GUARD_S stGuard = {};
    U64 u64Now = 5000;
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        bool bStarted = true;
        /* Five failures always span at least 4 x 15001 ms > 60 s. */
        EXPECT_EQ(BCAST_GUARD_CHECK,
                  Attempt(&stGuard, Req("s" + std::to_string(i), "w" + std::to_string(i)), u64Now,
                          &bStarted));
        EXPECT_FALSE(bStarted);
        u64Now += 15001;
    }
    /* Successes never count. */
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(BCAST_GUARD_CHECK,
                  Attempt(&stGuard, Req("ok" + std::to_string(i), "right"), u64Now));
    }
    EXPECT_EQ(0u, BcastGuardLockLeftMs(&stGuard, u64Now));
}

/* A client sends each request up to three times: a mistyped password is one
 * failure. Two mistypes leave the camera open; the fifth distinct one locks. */
TEST(ModifyGuard, RepeatsOfARefusedRequestCountOnce)
{
    BCAST_GUARD_S stGuard = {};
    U64 u64Now = 0;
    for (int s32Try = 0; s32Try < 2; ++s32Try) {
        const NetMDevInfoReq stReq = Req("typo" + std::to_string(s32Try), "rigth");
        EXPECT_EQ(BCAST_GUARD_CHECK, Attempt(&stGuard, stReq, u64Now));
        EXPECT_EQ(BCAST_GUARD_REPEAT, Attempt(&stGuard, stReq, u64Now + 300));
        EXPECT_EQ(BCAST_GUARD_REPEAT, Attempt(&stGuard, stReq, u64Now + 600));
        u64Now += 1000;
    }
    EXPECT_EQ(BCAST_GUARD_CHECK, Attempt(&stGuard, Req("fixed", "right"), u64Now));

    /* The same msgid with another password, or another user, is a new request. */
    bool bStarted = false;
    EXPECT_EQ(BCAST_GUARD_CHECK, Attempt(&stGuard, Req("typo0", "rihgt"), u64Now, &bStarted));
    EXPECT_EQ(BCAST_GUARD_CHECK,
              Attempt(&stGuard, Req("typo0", "rigth", "root"), u64Now, &bStarted));
    EXPECT_FALSE(bStarted);
    EXPECT_EQ(BCAST_GUARD_CHECK, Attempt(&stGuard, Req("typo5", "rigth"), u64Now, &bStarted));
    EXPECT_TRUE(bStarted) << "fifth distinct failure";

    /* A repeat is known for the length of the window, then checked afresh. */
    BCAST_GUARD_S stFresh = {};
    const NetMDevInfoReq stOld = Req("old", "wrong");
    EXPECT_EQ(BCAST_GUARD_CHECK, Attempt(&stFresh, stOld, 0));
    EXPECT_EQ(BCAST_GUARD_REPEAT, Attempt(&stFresh, stOld, BCAST_GUARD_WINDOW_MS - 1));
    EXPECT_EQ(BCAST_GUARD_CHECK, Attempt(&stFresh, stOld, BCAST_GUARD_WINDOW_MS));
}

/* Fields that fill their width carry no terminator: the whole field counts. */
TEST(ModifyGuard, WholeFieldsTellRequestsApart)
{
    BCAST_GUARD_S stGuard = {};
    NetMDevInfoReq stA = Req("0123456789abcdef", "0123456789abcd", "0123456789");
    EXPECT_EQ(BCAST_GUARD_CHECK, Attempt(&stGuard, stA, 0));
    NetMDevInfoReq stB = stA;
    stB.pwd[13] = 'X';
    EXPECT_EQ(BCAST_GUARD_CHECK, Attempt(&stGuard, stB, 1));
    stB = stA;
    stB.msgid[15] = 'X';
    EXPECT_EQ(BCAST_GUARD_CHECK, Attempt(&stGuard, stB, 2));
    EXPECT_EQ(BCAST_GUARD_REPEAT, Attempt(&stGuard, stA, 3));
}

}  // namespace
