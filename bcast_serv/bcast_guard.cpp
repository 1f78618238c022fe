// SPDX-License-Identifier: MIT
/* bcast_guard.cpp: the bound on password guessing through modification
 * requests (bcast_guard.h). */
#include "bcast_guard.h"

#include <string.h>

#include "comm_log.h"

namespace {

/* The request's msgid, user and password fields, side by side. */
void MakeKey(const NetMDevInfoReq& stReq, U8 (&u8Key)[BCAST_GUARD_KEY_SIZE])
{
    U8* pu8At = u8Key;
    memcpy(pu8At, stReq.msgid, sizeof(stReq.msgid));
    pu8At += sizeof(stReq.msgid);
    memcpy(pu8At, stReq.user, sizeof(stReq.user));
    pu8At += sizeof(stReq.user);
    memcpy(pu8At, stReq.pwd, sizeof(stReq.pwd));
}

/* A time stamp still inside the window that ends at u64NowMs. A stamp from
 * "the future" (a clock that went back) counts as recent. */
bool Recent(U64 u64ThenMs, U64 u64NowMs)
{
    return u64NowMs < u64ThenMs || u64NowMs - u64ThenMs < BCAST_GUARD_WINDOW_MS;
}

}  // namespace

BCAST_GUARD_E BcastGuardAdmit(const BCAST_GUARD_S* pstGuard, const NetMDevInfoReq& stReq,
                              U64 u64NowMs)
{
    COMM_ASSERT(pstGuard != nullptr);
    if (BcastGuardLockLeftMs(pstGuard, u64NowMs) > 0) return BCAST_GUARD_LOCKED;
    U8 u8Key[BCAST_GUARD_KEY_SIZE];
    MakeKey(stReq, u8Key);
    for (U32 i = 0; i < pstGuard->u32RefusedCount; ++i) {
        if (Recent(pstGuard->au64RefusedMs[i], u64NowMs) &&
            memcmp(pstGuard->au8RefusedKey[i], u8Key, sizeof(u8Key)) == 0) {
            return BCAST_GUARD_REPEAT;
        }
    }
    return BCAST_GUARD_CHECK;
}

BOOL BcastGuardFailed(BCAST_GUARD_S* pstGuard, const NetMDevInfoReq& stReq, U64 u64NowMs)
{
    COMM_ASSERT(pstGuard != nullptr);
    const U32 u32Slot = pstGuard->u32RefusedNext;
    MakeKey(stReq, pstGuard->au8RefusedKey[u32Slot]);
    pstGuard->au64RefusedMs[u32Slot] = u64NowMs;
    pstGuard->u32RefusedNext = (u32Slot + 1) % BCAST_GUARD_REFUSED_KEEP;
    if (pstGuard->u32RefusedCount < BCAST_GUARD_REFUSED_KEEP) ++pstGuard->u32RefusedCount;

    pstGuard->au64FailMs[pstGuard->u32FailNext] = u64NowMs;
    pstGuard->u32FailNext = (pstGuard->u32FailNext + 1) % BCAST_GUARD_FAILS;
    if (pstGuard->u32FailCount < BCAST_GUARD_FAILS) ++pstGuard->u32FailCount;
    /* The slot written next holds the oldest of the last BCAST_GUARD_FAILS. */
    if (pstGuard->u32FailCount < BCAST_GUARD_FAILS ||
        !Recent(pstGuard->au64FailMs[pstGuard->u32FailNext], u64NowMs)) {
        return false;
    }
    pstGuard->bLocked = true;
    pstGuard->u64LockEndMs = u64NowMs + BCAST_GUARD_LOCK_MS;
    /* The lock used these failures up: after it, five new ones are needed. */
    pstGuard->u32FailCount = 0;
    pstGuard->u32FailNext = 0;
    return true;
}

BOOL BcastGuardLockEnded(BCAST_GUARD_S* pstGuard, U64 u64NowMs)
{
    COMM_ASSERT(pstGuard != nullptr);
    if (!pstGuard->bLocked || u64NowMs < pstGuard->u64LockEndMs) return false;
    pstGuard->bLocked = false;
    return true;
}

U64 BcastGuardLockLeftMs(const BCAST_GUARD_S* pstGuard, U64 u64NowMs)
{
    COMM_ASSERT(pstGuard != nullptr);
    if (!pstGuard->bLocked || u64NowMs >= pstGuard->u64LockEndMs) return 0;
    return pstGuard->u64LockEndMs - u64NowMs;
}
