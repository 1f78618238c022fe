// SPDX-License-Identifier: MIT
/* public.h: System V semaphore and shared-memory primitives of both sides of
 * the settings exchange, two system queries and two range checks.
 *
 *   const int s32SemId = open_sem(ftok(path, 10), 0);      // a user of the set
 *   if (lock_sem(s32SemId, 0) == 0) { ...; unlock_sem(s32SemId, 0); }
 *
 * Every semaphore operation carries SEM_UNDO, so a process that dies holding a
 * semaphore gives it back. The IPC operations log through LOG (off unless
 * LogInit ran); the queries and checks log nothing. */
#ifndef STILLCGI_PUBLIC_H
#define STILLCGI_PUBLIC_H

#include <sys/types.h>

#include "type.h"

/* create_sem (owner): a fresh set of s32Count semaphores, each 1. An existing
 * set under the key is removed first and the set created again.
 * return the set id, or -1 */
S32 create_sem(key_t s32Key, S32 s32Count);

/* open_sem (user): looks up an existing set holding at least s32Count
 * semaphores (0: any). return the set id, or -1 */
S32 open_sem(key_t s32Key, S32 s32Count);

/* close_sem (owner): removes the set. return 0, or -1 */
S32 close_sem(S32 s32SemId);

/* lock_sem: takes semaphore s32Num (-1, SEM_UNDO); blocks while it is 0.
 * return 0, or -1 */
S32 lock_sem(S32 s32SemId, S32 s32Num);

/* lock_sem_timed: lock_sem that waits at most u32WaitMs for the semaphore
 * (semtimedop; a signal does not restart the wait from the beginning).
 * return 0, or -1 (the time ran out, or the set is gone or invalid) */
S32 lock_sem_timed(S32 s32SemId, S32 s32Num, U32 u32WaitMs);

/* unlock_sem: gives semaphore s32Num back (+1, SEM_UNDO). return 0, or -1 */
S32 unlock_sem(S32 s32SemId, S32 s32Num);

/* open_shm (owner): a fresh segment of u32Size bytes (an existing one under the
 * key is removed first), attached read-write.
 * ppAddr [out] the attach address; written only on success
 * return the segment id, or -1 */
S32 open_shm(key_t s32Key, U32 u32Size, VOID** ppAddr);

/* close_shm (owner): detaches pAddr and marks the segment for removal.
 * return 0, or -1 */
S32 close_shm(S32 s32ShmId, VOID* pAddr);

/* GetLocalIp: IPv4 address of an interface as dotted text.
 * ps8Ip    [out] at least 16 bytes; written only on success
 * ps8IfName [in] interface (at most 15 characters are used)
 * return 0, or -1 (no socket, no such interface or no IPv4 address) */
S32 GetLocalIp(S8* ps8Ip, const S8* ps8IfName = "eth0");

/* GetDiskfreeSpace: free bytes of the file system holding ps8Path, the blocks
 * reserved for the superuser included; 0 when the query fails. */
U64 GetDiskfreeSpace(const S8* ps8Path);

/* CheckInputBaseParam: bytes 28 and 29 each 0 or 1, byte 30 exactly 1, byte 32
 * at most 4. return 0 if so, else -1 (also for a null record) */
S32 CheckInputBaseParam(const VOID* pParam);

/* CheckInputBaseNetParam: byte 0 is 0 or 1 and byte 1 at most 10.
 * return 0 if so, else -1 (also for a null record) */
S32 CheckInputBaseNetParam(const VOID* pParam);

#endif /* STILLCGI_PUBLIC_H */
