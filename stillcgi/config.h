// SPDX-License-Identifier: MIT
/* config.h: the CGI side of the settings exchange with zozid over System V
 * shared memory, the user lookups, script replies and the query readers.
 *
 *   U8 u8Block[CFG_BASE_BLOCK_SIZE] = {0};
 *   GetBaseParam(u8Block);                        // copy of zozid's current block
 *   if (SetBaseParam(u8Block, 36) == 0) CheckShmUpdateState(36, 500);
 *
 * Two families: base (key number 10, 4248-byte block) and other (key number
 * 11, 4312-byte block holding the user table). Keys come from ftok of the key
 * paths; every operation attaches what it needs and detaches it before it
 * returns. A segment smaller than its block plus the 4-byte word behind it is
 * treated as missing. */
#ifndef STILLCGI_CONFIG_H
#define STILLCGI_CONFIG_H

#include <sys/types.h>

#include "cgic.h"
#include "stillcgi_def.h"
#include "type.h"

/* One user entry of the table (36 bytes). */
#pragma pack(push, 1)
typedef struct {
    U8 u8InUse; /* 0 = free slot */
    U8 u8Privilege;
    U8 u8Reserved[2];
    S8 s8UserName[CFG_USER_FIELD_SIZE]; /* zero-padded, no terminator when full */
    S8 s8Password[CFG_USER_FIELD_SIZE]; /* zero-padded, no terminator when full */
} CFG_USER_ENTRY_S;
#pragma pack(pop)
static_assert(sizeof(CFG_USER_ENTRY_S) == CFG_USER_ENTRY_SIZE, "a user entry is 36 bytes");

/* open_exist_shm: looks an existing segment up (0666, no creation) and
 * attaches it read-write.
 * ppAddr [out] attach address; written only on success
 * return the segment id, or -1 */
S32 open_exist_shm(key_t s32Key, S32 s32Size, VOID** ppAddr);

/* close_exist_shm: detaches pAddr; the id is not used. return 0 */
S32 close_exist_shm(S32 s32ShmId, VOID* pAddr);

/* GetBaseParam / GetBaseOtherParam: copies the family's block (4248 / 4312
 * bytes) out of the check segment into pDst.
 * return 0, or -1 with pDst untouched */
S32 GetBaseParam(VOID* pDst, const S8* ps8CheckKey = CFG_CHECK_KEY_PATH);
S32 GetBaseOtherParam(VOID* pDst, const S8* ps8CheckKey = CFG_CHECK_KEY_PATH);

/* GetUserTable: the user table alone (CFG_USER_TABLE_SIZE bytes from offset
 * 2080 of the other block), for a check that needs nothing else of the
 * block: it touches one page of the segment instead of two.
 * return 0, or -1 with pDst untouched */
S32 GetUserTable(VOID* pDst, const S8* ps8CheckKey = CFG_CHECK_KEY_PATH);

/* SetBaseParam / SetBaseOtherParam: posts a block with a command code. Under
 * semaphore 0: the block into the request segment, the code into its command
 * word, -1 into the check segment's update-state word.
 * When the semaphore cannot be taken "----------------Fail-----------------"
 * goes to standard error. return 0, or -1 */
S32 SetBaseParam(const VOID* pBlock, S32 s32Cmd, const S8* ps8RequestKey = CFG_REQUEST_KEY_PATH,
                 const S8* ps8CheckKey = CFG_CHECK_KEY_PATH,
                 const S8* ps8RunKey = CFG_RUN_KEY_PATH);
S32 SetBaseOtherParam(const VOID* pBlock, S32 s32Cmd,
                      const S8* ps8RequestKey = CFG_REQUEST_KEY_PATH,
                      const S8* ps8CheckKey = CFG_CHECK_KEY_PATH,
                      const S8* ps8RunKey = CFG_RUN_KEY_PATH);

/* CheckShmUpdateState / CheckShmUpdateStateForOtherParm: waits, holding
 * semaphore 1, for zozid's answer to command c in the update-state word, at
 * most s32Polls reads 100 us apart; the word is -1 afterwards.
 * return 1 (c|0x200), 2 (c|0x600), 0 (c|0x100, or the wait could not start),
 *        3 (no answer within the polls) */
S32 CheckShmUpdateState(S32 s32Cmd, S32 s32Polls, const S8* ps8CheckKey = CFG_CHECK_KEY_PATH,
                        const S8* ps8RunKey = CFG_RUN_KEY_PATH);
S32 CheckShmUpdateStateForOtherParm(S32 s32Cmd, S32 s32Polls,
                                    const S8* ps8CheckKey = CFG_CHECK_KEY_PATH,
                                    const S8* ps8RunKey = CFG_RUN_KEY_PATH);

/* The turn an exchange runs in: the run semaphore set whose semaphore 1 it
 * holds, or none (-1: no set existed), and the key path the set came from. */
typedef struct {
    S32 s32SemId;
    const S8* ps8RunKey;
} CFG_TURN_S;

/* CFG_WAIT_STEP_F: work that belongs to the end of one exchange. It runs
 * inside the request's turn (semaphore 1 held), with zozid's answer still
 * in the update-state word; s32Result is what the exchange returns (-1:
 * nothing was posted, and outside any turn when no semaphore set exists);
 * pstTurn is the turn, for ExchangeTurnHeld. */
typedef VOID (*CFG_WAIT_STEP_F)(S32 s32Result, const CFG_TURN_S* pstTurn, VOID* pCtx);

/* ExchangeTurnHeld: whether what zozid hands out now may still be for this
 * request. A turn ends when its semaphore set is gone: zozid was started
 * again, removed it and serves turns of a new set. Without a turn (no set
 * existed) that holds until a set exists again, since from then on zozid
 * answers the requests of its turns. true for a null pstTurn. */
BOOL ExchangeTurnHeld(const CFG_TURN_S* pstTurn);

/* ExchangeBaseParam: one request's whole exchange with zozid in its turn
 * (base family). Semaphore 1 is taken first, at most u32TurnMs; then, under
 * semaphore 0 (also at most u32TurnMs), the block and s32Cmd are posted and
 * the update-state word set to -1; then the word is read as by
 * CheckShmUpdateState; then pfnStep(result, pCtx) runs; then the word goes
 * back to -1 and semaphore 1 is given back. So no other request posts, or
 * resets the word, between this post and the end of pfnStep.
 * When the segments are missing the step runs with -1 in the turn, nothing
 * posted; when the semaphore set (two semaphores) is missing, without a turn;
 * when the segments were found but the set is missing or semaphore 0 cannot
 * be taken, "----------------Fail-----------------" goes to the server's log
 * (LogServerLine) first.
 * return CFG_EXCHANGE_NO_TURN (no turn within u32TurnMs: nothing posted, the
 *        step not run), -1 (not posted), or the wait result 0 to 3 */
S32 ExchangeBaseParam(const VOID* pBlock, S32 s32Cmd, S32 s32Polls, CFG_WAIT_STEP_F pfnStep,
                      VOID* pCtx, const S8* ps8RequestKey = CFG_REQUEST_KEY_PATH,
                      const S8* ps8CheckKey = CFG_CHECK_KEY_PATH,
                      const S8* ps8RunKey = CFG_RUN_KEY_PATH, U32 u32TurnMs = CFG_TURN_WAIT_MS);

/* GetPasswdByUserWithList: password (and privilege) of an in-use account.
 * pFirstEntry  [in]  the first of the 30 user entries
 * ps8User      [in]  name, at most 16 characters
 * ps8Passwd    [out] zero-filled by the caller; the password's characters are
 *                    copied without a terminator
 * s32Size           size of ps8Passwd; must exceed the password's length
 * pu8Privilege [out] optional; written on success
 * return 0, or -1 (bad arguments, no match, or the first match does not fit) */
S32 GetPasswdByUserWithList(const VOID* pFirstEntry, const S8* ps8User, S8* ps8Passwd, S32 s32Size,
                            U8* pu8Privilege = nullptr);

/* CheckUserAndPrivilege: the login cookies "username" and "privilege"
 * (default 2) against the user table. return 0, or -1
 * Defined here, inline: only a program that checks cookies then links the
 * cookie readers (and cgicc behind them, cgic.cpp says why that matters). */
inline S32 CheckUserAndPrivilege(const S8* ps8CheckKey = CFG_CHECK_KEY_PATH)
{
    S8 s8User[CFG_PARAM_TEXT_SIZE] = {0};
    S8 s8Passwd[CFG_PARAM_TEXT_SIZE] = {0};
    U8 u8Block[CFG_OTHER_BLOCK_SIZE] = {0};
    GetBaseOtherParam(u8Block, ps8CheckKey);

    int s32CookiePriv = CFG_COOKIE_PRIV_DEFAULT;
    cgiCookieString("username", s8User, sizeof(s8User));
    cgiCookieInteger("privilege", &s32CookiePriv, CFG_COOKIE_PRIV_DEFAULT);
    if (s8User[0] == '\0') {
        return -1;
    }
    U8 u8Priv = 0;
    if (GetPasswdByUserWithList(u8Block + CFG_USER_TABLE_OFFSET, s8User, s8Passwd, sizeof(s8Passwd),
                                &u8Priv) != 0) {
        return -1;
    }
    return s32CookiePriv == (int)u8Priv ? 0 : -1;
}

/* ReturnToLoginPage: text/html header and a script sending the browser to
 * "../index.html". return 0 */
S32 ReturnToLoginPage();

/* CgiReturnMessage: text/html header and a script sending the browser to a
 * result page under "../MainPage/"; an address longer than 259 characters is
 * cut. return the number of characters of the script */
S32 CgiReturnMessage(const S8* ps8Page, S32 s32Value, S32 s32Function);

/* WriteLogToFile: appends "%s\n" to the line file.
 * return 0 (also when the file cannot be opened), or what fclose returned */
S32 WriteLogToFile(const S8* ps8Text, const S8* ps8Path = CFG_TEST_LOG_PATH);

/* GetVideoWidthAndHeightCgi: picture size of a resolution code (taken as
 * unsigned); s32Sel 1 selects the taller heights of codes 0 to 2.
 * return 0 for a listed code, -1 (1280 by 720) otherwise */
S32 GetVideoWidthAndHeightCgi(S32 s32Code, S32 s32Sel, U16* pu16Width, U16* pu16Height);

/* GetStrParamValue: value of the first case-insensitive occurrence of key in
 * the query, which must be followed by "="; up to "&", "?" or the end, copied
 * undecoded without a terminator, cut to u32DstSize - 1 characters.
 * return 0, or -1 (null argument, key missing or not followed by "=") */
S32 GetStrParamValue(const S8* ps8Query, const S8* ps8Key, S8* ps8Dst,
                     U32 u32DstSize = CFG_PARAM_TEXT_SIZE);

/* GetIntParamValue: the decimal digit run right behind "key=" (found as
 * above); *ps32Value is -1 first, whatever happens after. A run longer than
 * 255 digits is refused; a value above INT_MAX reads as INT_MAX.
 * return 0, or -1 */
S32 GetIntParamValue(const S8* ps8Query, const S8* ps8Key, S32* ps32Value);

#endif /* STILLCGI_CONFIG_H */
