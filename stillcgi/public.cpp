// SPDX-License-Identifier: MIT
/* public.cpp: System V IPC primitives, system queries and range checks. */
#include "public.h"

#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include "debug_log.h"

namespace {

constexpr int PUBLIC_IPC_PERM = 0666;

/* The C library leaves this union to the caller. */
union SemUn {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

S32 SemOp(S32 s32SemId, S32 s32Num, short s16Op)
{
    struct sembuf stOp = {};
    stOp.sem_num = (unsigned short)s32Num;
    stOp.sem_op = s16Op;
    stOp.sem_flg = SEM_UNDO;
    return semop(s32SemId, &stOp, 1);
}

/* Milliseconds of the monotonic clock. */
U64 MonotonicMs()
{
    struct timespec stNow = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    return (U64)stNow.tv_sec * 1000U + (U64)stNow.tv_nsec / 1000000U;
}

/* Byte at an offset of a record handed over as an opaque pointer. */
U8 RecordByte(const VOID* pRecord, size_t u32Offset)
{
    U8 u8Val = 0;
    memcpy(&u8Val, static_cast<const U8*>(pRecord) + u32Offset, sizeof(u8Val));
    return u8Val;
}

}  // namespace

S32 create_sem(key_t s32Key, S32 s32Count)
{
    S32 s32SemId = semget(s32Key, s32Count, IPC_CREAT | IPC_EXCL | PUBLIC_IPC_PERM);
    if (s32SemId < 0) {
        const int s32Err = errno;
        if (s32Err != EEXIST) {
            LOG_AT(LOG_LEVEL_ERR, "semget fail,errno=%s\n", strerror(s32Err));
            return -1;
        }
        const S32 s32OldId = semget(s32Key, s32Count, IPC_CREAT | PUBLIC_IPC_PERM);
        LOG_AT(LOG_LEVEL_ERR, "Semaphore set already exists, semid[%d],delete the Semaphore\n",
               s32OldId);
        semctl(s32OldId, 0, IPC_RMID);
        s32SemId = semget(s32Key, s32Count, IPC_CREAT | IPC_EXCL | PUBLIC_IPC_PERM);
        if (s32SemId < 0) {
            const int s32Err2 = errno;
            LOG_AT(LOG_LEVEL_ERR, "semget fail,errno=%s\n", strerror(s32Err2));
            return -1;
        }
    }
    LOG_AT(LOG_LEVEL_NOT, "Semaphore semget ok, semid[%d]\n", s32SemId);
    for (S32 i = 0; i < s32Count; ++i) {
        SemUn unArg;
        unArg.val = 1;
        semctl(s32SemId, i, SETVAL, unArg);
    }
    return s32SemId;
}

S32 open_sem(key_t s32Key, S32 s32Count)
{
    const S32 s32SemId = semget(s32Key, s32Count, PUBLIC_IPC_PERM);
    if (s32SemId < 0) {
        LOG_AT(LOG_LEVEL_ERR, "Semaphore set does not exist!\n");
        return -1;
    }
    return s32SemId;
}

S32 close_sem(S32 s32SemId)
{
    if (semctl(s32SemId, 0, IPC_RMID) < 0) {
        const int s32Err = errno;
        LOG_AT(LOG_LEVEL_ERR, "Close semaphore[%d] fail,errno=%s\n", s32SemId, strerror(s32Err));
        return -1;
    }
    LOG_AT(LOG_LEVEL_NOT, "Close semaphore[%d] ok\n", s32SemId);
    return 0;
}

S32 lock_sem(S32 s32SemId, S32 s32Num)
{
    if (SemOp(s32SemId, s32Num, -1) < 0) {
        const int s32Err = errno;
        LOG_AT(LOG_LEVEL_WAN, "semop fail,errno=%s\n", strerror(s32Err));
        return -1;
    }
    return 0;
}

S32 lock_sem_timed(S32 s32SemId, S32 s32Num, U32 u32WaitMs)
{
    struct sembuf stOp = {};
    stOp.sem_num = (unsigned short)s32Num;
    stOp.sem_op = -1;
    stOp.sem_flg = SEM_UNDO | IPC_NOWAIT;
    /* free (the usual case): taken at once, with no clock to read */
    if (semop(s32SemId, &stOp, 1) == 0) {
        return 0;
    }
    stOp.sem_flg = SEM_UNDO;
    const U64 u64EndMs = MonotonicMs() + u32WaitMs;
    /* A signal ends semtimedop early; the wait goes on for what is left of
     * the bound, so the bound holds however many signals come. */
    for (;;) {
        const U64 u64NowMs = MonotonicMs();
        const U64 u64LeftMs = u64NowMs < u64EndMs ? u64EndMs - u64NowMs : 0;
        struct timespec stLeft;
        stLeft.tv_sec = (time_t)(u64LeftMs / 1000U);
        stLeft.tv_nsec = (long)(u64LeftMs % 1000U) * 1000000L;
        if (semtimedop(s32SemId, &stOp, 1, &stLeft) == 0) {
            return 0;
        }
        const int s32Err = errno;
        if (s32Err != EINTR || u64LeftMs == 0) {
            LOG_AT(LOG_LEVEL_WAN, "semop fail,errno=%s\n", strerror(s32Err));
            return -1;
        }
    }
}

S32 unlock_sem(S32 s32SemId, S32 s32Num)
{
    if (SemOp(s32SemId, s32Num, 1) < 0) {
        LOG_AT(LOG_LEVEL_ERR, "Unlock failed\n");
        return -1;
    }
    return 0;
}

S32 open_shm(key_t s32Key, U32 u32Size, VOID** ppAddr)
{
    S32 s32ShmId = shmget(s32Key, u32Size, IPC_CREAT | IPC_EXCL | PUBLIC_IPC_PERM);
    if (s32ShmId < 0) {
        const int s32Err = errno;
        if (s32Err != EEXIST) {
            LOG_AT(LOG_LEVEL_ERR, "shmget failed, key[%d] size[%d]\n", (S32)s32Key, (S32)u32Size);
            return -1;
        }
        const S32 s32OldId = shmget(s32Key, u32Size, IPC_CREAT | PUBLIC_IPC_PERM);
        LOG_AT(LOG_LEVEL_ERR, "Shm set already exists, shmid[%d],delete the Shm\n", s32OldId);
        shmctl(s32OldId, IPC_RMID, nullptr);
        s32ShmId = shmget(s32Key, u32Size, IPC_CREAT | IPC_EXCL | PUBLIC_IPC_PERM);
        if (s32ShmId < 0) {
            const int s32Err2 = errno;
            LOG_AT(LOG_LEVEL_ERR, "shmget fail,errno=%s\n", strerror(s32Err2));
            return -1;
        }
    }
    LOG_AT(LOG_LEVEL_NOT, "shmget ok  key[%d]\n", (S32)s32Key);
    VOID* pAddr = shmat(s32ShmId, nullptr, 0);
    if (pAddr == reinterpret_cast<VOID*>(-1)) {
        LOG_AT(LOG_LEVEL_ERR, "shmat failed\n");
        return -1;
    }
    if (ppAddr != nullptr) {
        *ppAddr = pAddr;
    }
    return s32ShmId;
}

S32 close_shm(S32 s32ShmId, VOID* pAddr)
{
    if (shmdt(pAddr) < 0 || shmctl(s32ShmId, IPC_RMID, nullptr) < 0) {
        LOG_AT(LOG_LEVEL_ERR, "Close shm[%d] error\n", s32ShmId);
        return -1;
    }
    LOG_AT(LOG_LEVEL_NOT, "Close shm[%d] ok\n", s32ShmId);
    return 0;
}

S32 GetLocalIp(S8* ps8Ip, const S8* ps8IfName)
{
    if (ps8Ip == nullptr || ps8IfName == nullptr) {
        return -1;
    }
    const int s32Fd = socket(AF_INET, SOCK_STREAM, 0);
    if (s32Fd < 0) {
        return -1;
    }
    struct ifreq stReq;
    memset(&stReq, 0, sizeof(stReq));
    memcpy(stReq.ifr_name, ps8IfName, strnlen(ps8IfName, sizeof(stReq.ifr_name) - 1));
    const int s32Ret = ioctl(s32Fd, SIOCGIFADDR, &stReq);
    close(s32Fd);
    if (s32Ret < 0 || stReq.ifr_addr.sa_family != AF_INET) {
        return -1;
    }
    struct sockaddr_in stAddr;
    memcpy(&stAddr, &stReq.ifr_addr, sizeof(stAddr));
    U8 u8Ip[4];
    memcpy(u8Ip, &stAddr.sin_addr.s_addr, sizeof(u8Ip));
    snprintf(ps8Ip, 16, "%d.%d.%d.%d", u8Ip[0], u8Ip[1], u8Ip[2], u8Ip[3]);
    return 0;
}

U64 GetDiskfreeSpace(const S8* ps8Path)
{
    if (ps8Path == nullptr) {
        return 0;
    }
    struct statfs stFs;
    if (statfs(ps8Path, &stFs) != 0) {
        return 0;
    }
    return (U64)stFs.f_bsize * (U64)stFs.f_bfree;
}

S32 CheckInputBaseParam(const VOID* pParam)
{
    if (pParam == nullptr) {
        return -1;
    }
    if (RecordByte(pParam, 28) > 1 || RecordByte(pParam, 29) > 1 || RecordByte(pParam, 30) != 1 ||
        RecordByte(pParam, 32) > 4) {
        return -1;
    }
    return 0;
}

S32 CheckInputBaseNetParam(const VOID* pParam)
{
    if (pParam == nullptr) {
        return -1;
    }
    if (RecordByte(pParam, 0) > 1 || RecordByte(pParam, 1) > 10) {
        return -1;
    }
    return 0;
}
