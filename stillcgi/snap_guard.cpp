// SPDX-License-Identifier: MIT
/* snap_guard.cpp: the per-address bound on password guessing. */
#include "snap_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "debug_log.h"

namespace {

constexpr U32 SNAP_GUARD_MAGIC = 0x31475353; /* "SSG1" read as a little-endian word */
constexpr U32 SNAP_GUARD_LOCK_STEP_MS = 1;
/* stamps further ahead than this come from an earlier boot or a broken file */
constexpr U64 SNAP_GUARD_SPAN_MS =
    SNAP_GUARD_WINDOW_MS > SNAP_GUARD_LOCK_MS ? SNAP_GUARD_WINDOW_MS : SNAP_GUARD_LOCK_MS;

/* One address. Laid out without padding on every target (the 64-bit fields
 * first), so the file reads the same on the camera and in the tests. */
typedef struct {
    U64 au64FailMs[SNAP_GUARD_FAILS]; /* the latest failures, a ring */
    U64 u64LockEndMs;                 /* refused until then; 0: never locked */
    U64 u64LastMs;                    /* the latest failure: who gives way */
    U8 u8InUse;
    U8 u8FailCount; /* failures in the ring */
    U8 u8FailNext;  /* where the next one goes */
    U8 u8Reserved;
    U32 u32Reserved;
    S8 s8Addr[SNAP_GUARD_ADDR_SIZE]; /* zero-padded, the last byte always 0 */
} SNAP_GUARD_ENTRY_S;

typedef struct {
    U32 u32Magic;
    U32 u32Entries;
    SNAP_GUARD_ENTRY_S astEntry[SNAP_GUARD_ADDRS];
} SNAP_GUARD_FILE_S;

static_assert(sizeof(SNAP_GUARD_ENTRY_S) == 128, "a guard entry is 128 bytes");
static_assert(sizeof(SNAP_GUARD_FILE_S) == 8 + 128 * SNAP_GUARD_ADDRS, "no padding in the file");
static_assert(sizeof(SNAP_GUARD_FILE_S) < 16384, "the state file stays small");

class GuardFd {
public:
    explicit GuardFd(int s32Fd) noexcept : m_s32Fd(s32Fd) {}
    ~GuardFd()
    {
        if (m_s32Fd >= 0) {
            close(m_s32Fd); /* also gives the record lock back */
        }
    }
    GuardFd(const GuardFd&) = delete;
    GuardFd& operator=(const GuardFd&) = delete;
    int Get() const noexcept { return m_s32Fd; }

private:
    int m_s32Fd;
};

VOID Report(SNAP_GUARD_S* pstGuard, const S8* ps8What, int s32Err)
{
    if (pstGuard->bReported) {
        return;
    }
    pstGuard->bReported = true;
    LogServerLine("stillcgi: %s: %s: %s; checked without the guessing bound\n", pstGuard->ps8Path,
                  ps8What, strerror(s32Err));
}

VOID PauseMs(U32 u32Ms)
{
    const struct timespec stPause = {0, (long)u32Ms * 1000000L};
    nanosleep(&stPause, nullptr);
}

/* The whole file locked (F_RDLCK or F_WRLCK), waiting at most
 * SNAP_GUARD_LOCK_WAIT_MS. return 0, or the error */
int LockWhole(int s32Fd, short s16Type)
{
    struct flock stLock;
    memset(&stLock, 0, sizeof(stLock));
    stLock.l_type = s16Type;
    stLock.l_whence = SEEK_SET;
    const U64 u64EndMs = SnapGuardNowMs() + SNAP_GUARD_LOCK_WAIT_MS;
    const U32 u32MaxTries = SNAP_GUARD_LOCK_WAIT_MS / SNAP_GUARD_LOCK_STEP_MS + 1;
    for (U32 i = 0;; ++i) {
        if (fcntl(s32Fd, F_SETLK, &stLock) == 0) {
            return 0;
        }
        const int s32Err = errno;
        if (s32Err != EACCES && s32Err != EAGAIN && s32Err != EINTR) {
            return s32Err;
        }
        if (i >= u32MaxTries || SnapGuardNowMs() >= u64EndMs) {
            return EAGAIN;
        }
        PauseMs(SNAP_GUARD_LOCK_STEP_MS);
    }
}

/* Opens and locks the file; -1 (reported) when it cannot be used, -2 when
 * it does not exist and was not to be created. */
int OpenLocked(SNAP_GUARD_S* pstGuard, BOOL bWrite)
{
    const int s32Flags =
        (bWrite ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    const int s32Fd = open(pstGuard->ps8Path, s32Flags, 0600);
    if (s32Fd < 0) {
        const int s32Err = errno;
        if (!bWrite && s32Err == ENOENT) {
            return -2; /* nothing counted yet */
        }
        Report(pstGuard, "cannot open", s32Err);
        return -1;
    }
    struct stat stSt;
    if (fstat(s32Fd, &stSt) != 0 || !S_ISREG(stSt.st_mode)) {
        close(s32Fd);
        Report(pstGuard, "not a regular file", EINVAL);
        return -1;
    }
    const int s32Err = LockWhole(s32Fd, bWrite ? F_WRLCK : F_RDLCK);
    if (s32Err != 0) {
        close(s32Fd);
        Report(pstGuard, "cannot lock", s32Err);
        return -1;
    }
    return s32Fd;
}

BOOL Stale(const SNAP_GUARD_ENTRY_S& stEntry, U64 u64NowMs)
{
    const U64 u64LimitMs = u64NowMs + SNAP_GUARD_SPAN_MS;
    if (stEntry.u64LockEndMs > u64LimitMs || stEntry.u64LastMs > u64LimitMs) {
        return true;
    }
    for (U64 u64Ms : stEntry.au64FailMs) {
        if (u64Ms > u64LimitMs) {
            return true;
        }
    }
    return stEntry.u8FailCount > SNAP_GUARD_FAILS || stEntry.u8FailNext >= SNAP_GUARD_FAILS;
}

/* The table as the file holds it: whatever does not read as a whole table
 * (an empty new file, another size, a torn or foreign one) counts as empty,
 * and an entry that cannot be from this boot as free. */
VOID ReadTable(int s32Fd, U64 u64NowMs, SNAP_GUARD_FILE_S* pstFile)
{
    ssize_t s32Got = -1;
    for (U32 i = 0; i < 100 && s32Got < 0; ++i) {
        s32Got = pread(s32Fd, pstFile, sizeof(*pstFile), 0);
        if (s32Got < 0 && errno != EINTR) {
            break;
        }
    }
    if (s32Got != (ssize_t)sizeof(*pstFile) || pstFile->u32Magic != SNAP_GUARD_MAGIC ||
        pstFile->u32Entries != SNAP_GUARD_ADDRS) {
        memset(pstFile, 0, sizeof(*pstFile));
    }
    pstFile->u32Magic = SNAP_GUARD_MAGIC;
    pstFile->u32Entries = SNAP_GUARD_ADDRS;
    for (SNAP_GUARD_ENTRY_S& stEntry : pstFile->astEntry) {
        stEntry.s8Addr[sizeof(stEntry.s8Addr) - 1] = '\0';
        if (stEntry.u8InUse == 0 || Stale(stEntry, u64NowMs)) {
            memset(&stEntry, 0, sizeof(stEntry));
        }
    }
}

/* The address as kept: at most SNAP_GUARD_ADDR_SIZE - 1 characters. */
VOID AddrKey(const S8* ps8Addr, S8 (&s8Key)[SNAP_GUARD_ADDR_SIZE])
{
    memset(s8Key, 0, sizeof(s8Key));
    if (ps8Addr != nullptr) {
        memcpy(s8Key, ps8Addr, strnlen(ps8Addr, sizeof(s8Key) - 1));
    }
}

SNAP_GUARD_ENTRY_S* Find(SNAP_GUARD_FILE_S* pstFile, const S8 (&s8Key)[SNAP_GUARD_ADDR_SIZE])
{
    for (SNAP_GUARD_ENTRY_S& stEntry : pstFile->astEntry) {
        if (stEntry.u8InUse != 0 && memcmp(stEntry.s8Addr, s8Key, sizeof(s8Key)) == 0) {
            return &stEntry;
        }
    }
    return nullptr;
}

BOOL Recent(U64 u64ThenMs, U64 u64NowMs)
{
    return u64NowMs < u64ThenMs || u64NowMs - u64ThenMs < SNAP_GUARD_WINDOW_MS;
}

/* Nothing of it counts any more: no lock, no failure inside the window. */
BOOL Spent(const SNAP_GUARD_ENTRY_S& stEntry, U64 u64NowMs)
{
    if (stEntry.u64LockEndMs > u64NowMs) {
        return false;
    }
    for (U32 i = 0; i < stEntry.u8FailCount; ++i) {
        if (Recent(stEntry.au64FailMs[i], u64NowMs)) {
            return false;
        }
    }
    return true;
}

/* The entry a new address takes: a free one, else a spent one, else the
 * one whose latest failure is oldest, a locked one only when all are, so a
 * flood of new addresses cannot free a locked one. */
SNAP_GUARD_ENTRY_S* Room(SNAP_GUARD_FILE_S* pstFile, U64 u64NowMs)
{
    SNAP_GUARD_ENTRY_S* pstSpent = nullptr;
    SNAP_GUARD_ENTRY_S* pstUnlocked = nullptr;
    SNAP_GUARD_ENTRY_S* pstOldest = &pstFile->astEntry[0];
    for (SNAP_GUARD_ENTRY_S& stEntry : pstFile->astEntry) {
        if (stEntry.u8InUse == 0) {
            return &stEntry;
        }
        if (Spent(stEntry, u64NowMs) &&
            (pstSpent == nullptr || stEntry.u64LastMs < pstSpent->u64LastMs)) {
            pstSpent = &stEntry;
        }
        if (stEntry.u64LockEndMs <= u64NowMs &&
            (pstUnlocked == nullptr || stEntry.u64LastMs < pstUnlocked->u64LastMs)) {
            pstUnlocked = &stEntry;
        }
        if (stEntry.u64LastMs < pstOldest->u64LastMs) {
            pstOldest = &stEntry;
        }
    }
    if (pstSpent != nullptr) {
        return pstSpent;
    }
    return pstUnlocked != nullptr ? pstUnlocked : pstOldest;
}

}  // namespace

U64 SnapGuardNowMs()
{
    struct timespec stNow = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    return (U64)stNow.tv_sec * 1000U + (U64)stNow.tv_nsec / 1000000U;
}

namespace {

/* The lock of ps8Addr in the opened file. Apart from the caller, so a
 * request finding no file has no table on its stack. */
BOOL LockedIn(int s32Fd, const S8* ps8Addr, U64 u64NowMs)
{
    if (u64NowMs == SNAP_GUARD_NOW) {
        u64NowMs = SnapGuardNowMs();
    }
    SNAP_GUARD_FILE_S stFile;
    ReadTable(s32Fd, u64NowMs, &stFile);
    S8 s8Key[SNAP_GUARD_ADDR_SIZE];
    AddrKey(ps8Addr, s8Key);
    const SNAP_GUARD_ENTRY_S* pstEntry = Find(&stFile, s8Key);
    return pstEntry != nullptr && pstEntry->u64LockEndMs > u64NowMs;
}

}  // namespace

BOOL SnapGuardLocked(SNAP_GUARD_S* pstGuard, const S8* ps8Addr, U64 u64NowMs)
{
    if (pstGuard == nullptr || pstGuard->ps8Path == nullptr) {
        return false;
    }
    const GuardFd stFd(OpenLocked(pstGuard, false));
    return stFd.Get() >= 0 && LockedIn(stFd.Get(), ps8Addr, u64NowMs);
}

BOOL SnapGuardFailed(SNAP_GUARD_S* pstGuard, const S8* ps8Addr, U64 u64NowMs)
{
    if (pstGuard == nullptr || pstGuard->ps8Path == nullptr) {
        return false;
    }
    const GuardFd stFd(OpenLocked(pstGuard, true));
    if (stFd.Get() < 0) {
        return false;
    }
    SNAP_GUARD_FILE_S stFile;
    ReadTable(stFd.Get(), u64NowMs, &stFile);
    S8 s8Key[SNAP_GUARD_ADDR_SIZE];
    AddrKey(ps8Addr, s8Key);
    SNAP_GUARD_ENTRY_S* pstEntry = Find(&stFile, s8Key);
    if (pstEntry == nullptr) {
        pstEntry = Room(&stFile, u64NowMs);
        memset(pstEntry, 0, sizeof(*pstEntry));
        pstEntry->u8InUse = 1;
        memcpy(pstEntry->s8Addr, s8Key, sizeof(s8Key));
    }
    pstEntry->au64FailMs[pstEntry->u8FailNext] = u64NowMs;
    pstEntry->u8FailNext = (U8)((pstEntry->u8FailNext + 1) % SNAP_GUARD_FAILS);
    if (pstEntry->u8FailCount < SNAP_GUARD_FAILS) {
        ++pstEntry->u8FailCount;
    }
    pstEntry->u64LastMs = u64NowMs;
    /* The slot written next holds the oldest of the last SNAP_GUARD_FAILS. */
    BOOL bLocks = pstEntry->u8FailCount == SNAP_GUARD_FAILS &&
                  Recent(pstEntry->au64FailMs[pstEntry->u8FailNext], u64NowMs);
    if (bLocks) {
        pstEntry->u64LockEndMs = u64NowMs + SNAP_GUARD_LOCK_MS;
        /* the lock used these failures up: after it, five new ones are needed */
        memset(pstEntry->au64FailMs, 0, sizeof(pstEntry->au64FailMs));
        pstEntry->u8FailCount = 0;
        pstEntry->u8FailNext = 0;
    }
    ssize_t s32Put = -1;
    int s32Err = EIO;
    for (U32 i = 0; i < 100 && s32Put < 0; ++i) {
        s32Put = pwrite(stFd.Get(), &stFile, sizeof(stFile), 0);
        s32Err = s32Put < 0 ? errno : EIO;
        if (s32Put < 0 && s32Err != EINTR) {
            break;
        }
    }
    if (s32Put != (ssize_t)sizeof(stFile)) {
        Report(pstGuard, "cannot write", s32Err);
        return false;
    }
    /* whatever stood behind the table (a foreign or longer file) goes */
    struct stat stSt;
    if (fstat(stFd.Get(), &stSt) == 0 && stSt.st_size > (off_t)sizeof(stFile)) {
        if (ftruncate(stFd.Get(), (off_t)sizeof(stFile)) != 0) {
            Report(pstGuard, "cannot truncate", errno);
        }
    }
    return bLocks;
}
