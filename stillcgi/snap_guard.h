// SPDX-License-Identifier: MIT
/* snap_guard.h: the bound on password guessing through the snapshot URL, per
 * client address, in one small file that every CGI process shares.
 *
 *   SNAP_GUARD_S stGuard = {SNAP_GUARD_PATH, false};
 *   if (SnapGuardLocked(&stGuard, ps8Addr, u64NowMs)) ...;     // 403, no check
 *   else if (user check fails) SnapGuardFailed(&stGuard, ps8Addr, u64NowMs);
 *
 * After SNAP_GUARD_FAILS failed user checks from one address within
 * SNAP_GUARD_WINDOW_MS, that address is refused without a check for
 * SNAP_GUARD_LOCK_MS; the lock uses the failures up. Other addresses are not
 * touched. The file holds at most SNAP_GUARD_ADDRS addresses (a free or
 * spent entry is reused first, else the one whose last failure is oldest),
 * so it keeps one fixed size whatever arrives. It is read under a shared and
 * updated under an exclusive record lock; a file that cannot be opened,
 * locked, read as a regular file or written within SNAP_GUARD_LOCK_WAIT_MS
 * leaves the request checked as without the bound, with one line on standard
 * error: a broken /var/run must never lock anyone out. Times are
 * milliseconds of the monotonic clock; stamps that cannot come from this boot
 * (beyond now plus the longest span) are taken as stale. */
#ifndef STILLCGI_SNAP_GUARD_H
#define STILLCGI_SNAP_GUARD_H

#include "stillcgi_def.h"
#include "type.h"

/* One request's use of the file. */
typedef struct {
    const S8* ps8Path; /* the state file; null: no bound at all */
    BOOL bReported;    /* the line about an unusable file went out */
} SNAP_GUARD_S;

/* "now" for SnapGuardLocked: the monotonic clock, read only if there is a
 * state file at all. */
constexpr U64 SNAP_GUARD_NOW = ~(U64)0;

/* SnapGuardLocked: is ps8Addr (null reads as "") locked at u64NowMs?
 * return true: refuse without a check; false: check (also when the file is
 *        missing or unusable) */
BOOL SnapGuardLocked(SNAP_GUARD_S* pstGuard, const S8* ps8Addr, U64 u64NowMs);

/* SnapGuardFailed: counts a failed user check of ps8Addr at u64NowMs,
 * creating the file (mode 0600) when it is missing.
 * return true when this failure starts a lock */
BOOL SnapGuardFailed(SNAP_GUARD_S* pstGuard, const S8* ps8Addr, U64 u64NowMs);

/* SnapGuardNowMs: the monotonic clock in milliseconds. */
U64 SnapGuardNowMs();

#endif /* STILLCGI_SNAP_GUARD_H */
