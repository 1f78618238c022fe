// SPDX-License-Identifier: MIT
/* bcast_guard.h: the bound on password guessing through modification requests.
 *
 *   BCAST_GUARD_S stGuard = {};                       // zero: unlocked, nothing seen
 *   if (BcastGuardAdmit(&stGuard, stReq, u64NowMs) == BCAST_GUARD_CHECK) {
 *       const S32 s32Ret = CheckUser(...);             // unavailable: no verdict, no count
 *       if (s32Ret < 0 && s32Ret != CHECK_USER_UNAVAILABLE &&
 *           BcastGuardFailed(&stGuard, stReq, u64NowMs))
 *           ...;                                      // the lock starts now: log it
 *   }
 *   if (BcastGuardLockEnded(&stGuard, u64NowMs)) ...; // log the end, once
 *
 * After BCAST_GUARD_FAILS failed user checks within BCAST_GUARD_WINDOW_MS,
 * counted over all requesters (source addresses can be forged), every
 * modification request is refused for BCAST_GUARD_LOCK_MS without looking at
 * its password, the right one included. Clients repeat an unanswered request
 * because UDP may lose it: a request identical to one already refused (same
 * msgid, user and password) is refused again without a check and does not
 * count, so one mistyped password is one failure, however often it is sent.
 * Only a wrong password counts: a check that could not read the user table
 * compared nothing, and a MAC set that was not sent to this camera alone is
 * dropped before it is checked.
 * Times are milliseconds of a monotonic clock; the state is plain data, so the
 * receive loop keeps it with its other state. */
#ifndef BCAST_SERV_BCAST_GUARD_H
#define BCAST_SERV_BCAST_GUARD_H

#include "VXNetProtocol.h"
#include "type.h"

constexpr U32 BCAST_GUARD_FAILS = 5;         /* failed user checks that start a lock */
constexpr U64 BCAST_GUARD_WINDOW_MS = 60000; /* ... when they fall within this time */
constexpr U64 BCAST_GUARD_LOCK_MS = 60000;   /* how long modifications are then refused */
constexpr U32 BCAST_GUARD_REFUSED_KEEP = 16; /* refused requests remembered (for repeats) */

/* What is remembered of a refused request: msgid, user and password fields. */
constexpr size_t BCAST_GUARD_KEY_SIZE =
    sizeof(NetMDevInfoReq::msgid) + sizeof(NetMDevInfoReq::user) + sizeof(NetMDevInfoReq::pwd);

typedef enum {
    BCAST_GUARD_CHECK = 0,  /* check the credentials */
    BCAST_GUARD_LOCKED = 1, /* refuse without a check: modifications are locked */
    BCAST_GUARD_REPEAT = 2, /* refuse without a check: this very request was refused */
} BCAST_GUARD_E;

typedef struct {
    U64 au64FailMs[BCAST_GUARD_FAILS]; /* times of the latest failures, a ring */
    U32 u32FailNext;                   /* where the next failure goes */
    U32 u32FailCount;                  /* failures in the ring (at most BCAST_GUARD_FAILS) */
    U8 au8RefusedKey[BCAST_GUARD_REFUSED_KEEP][BCAST_GUARD_KEY_SIZE];
    U64 au64RefusedMs[BCAST_GUARD_REFUSED_KEEP];
    U32 u32RefusedNext;
    U32 u32RefusedCount;
    BOOL bLocked;
    U64 u64LockEndMs; /* meaningful while bLocked */
} BCAST_GUARD_S;

/* BcastGuardAdmit: may the credentials of stReq be checked at u64NowMs?
 * return BCAST_GUARD_CHECK, or the reason to refuse the request unchecked */
BCAST_GUARD_E BcastGuardAdmit(const BCAST_GUARD_S* pstGuard, const NetMDevInfoReq& stReq,
                              U64 u64NowMs);

/* BcastGuardFailed: the user check of stReq failed at u64NowMs; remembers the
 * request and counts the failure.
 * return true when this failure starts a lock (the caller logs it) */
BOOL BcastGuardFailed(BCAST_GUARD_S* pstGuard, const NetMDevInfoReq& stReq, U64 u64NowMs);

/* BcastGuardLockEnded: true once, at the first call at or after the end of a
 * lock (the caller logs it); false otherwise. */
BOOL BcastGuardLockEnded(BCAST_GUARD_S* pstGuard, U64 u64NowMs);

/* BcastGuardLockLeftMs: time until the lock ends, 0 when not locked. */
U64 BcastGuardLockLeftMs(const BCAST_GUARD_S* pstGuard, U64 u64NowMs);

#endif /* BCAST_SERV_BCAST_GUARD_H */
