// SPDX-License-Identifier: MIT
/* config.cpp: settings exchange with zozid, user lookups, script replies and
 * the query readers. */
#include "config.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>

#include "cgic.h"
#include "debug_log.h"
#include "public.h"

namespace {

constexpr const S8* CFG_POST_FAIL_LINE = "----------------Fail-----------------\n";

/* What tells the two families apart. */
typedef struct {
    S32 s32KeyNum;
    U32 u32BlockSize;
} CFG_FAMILY_S;

constexpr CFG_FAMILY_S CFG_BASE_FAMILY = {CFG_BASE_KEY_NUM, CFG_BASE_BLOCK_SIZE};
constexpr CFG_FAMILY_S CFG_OTHER_FAMILY = {CFG_OTHER_KEY_NUM, CFG_OTHER_BLOCK_SIZE};

/* One segment attached for the length of a call. */
class ShmAttach {
public:
    ShmAttach() noexcept = default;
    ~ShmAttach() noexcept
    {
        if (m_pAddr != nullptr) {
            close_exist_shm(m_s32ShmId, m_pAddr);
        }
    }
    ShmAttach(const ShmAttach&) = delete;
    ShmAttach& operator=(const ShmAttach&) = delete;

    /* Attaches the segment keyed by (path, key number); a segment too small
     * for the block and the word behind it counts as missing, since every
     * access below goes up to that length: the lookup asks for that size,
     * which the system refuses for a smaller segment (any larger one is
     * taken, as a lookup of size 0 would). */
    BOOL Attach(const S8* ps8KeyPath, const CFG_FAMILY_S& stFamily) noexcept
    {
        if (ps8KeyPath == nullptr) {
            return false;
        }
        const key_t s32Key = ftok(ps8KeyPath, stFamily.s32KeyNum);
        if (s32Key == (key_t)-1) {
            return false; /* no key file: the same as no segment */
        }
        VOID* pAddr = nullptr;
        const S32 s32ShmId =
            open_exist_shm(s32Key, (S32)(stFamily.u32BlockSize + CFG_STATE_WORD_SIZE), &pAddr);
        if (s32ShmId < 0) {
            return false;
        }
        m_s32ShmId = s32ShmId;
        m_pAddr = pAddr;
        return true;
    }
    U8* Get() const noexcept { return static_cast<U8*>(m_pAddr); }

private:
    S32 m_s32ShmId = -1;
    VOID* m_pAddr = nullptr;
};

/* The family's run semaphore set, or -1. */
S32 OpenRunSem(const S8* ps8RunKey, const CFG_FAMILY_S& stFamily, S32 s32Count)
{
    if (ps8RunKey == nullptr) {
        return -1;
    }
    const key_t s32Key = ftok(ps8RunKey, stFamily.s32KeyNum);
    if (s32Key == (key_t)-1) {
        return -1;
    }
    return open_sem(s32Key, s32Count);
}

VOID PutWord(U8* pu8At, S32 s32Val)
{
    memcpy(pu8At, &s32Val, sizeof(s32Val));
}

S32 GetWord(const U8* pu8At)
{
    S32 s32Val = 0;
    memcpy(&s32Val, pu8At, sizeof(s32Val));
    return s32Val;
}

/* Copies u32Len bytes from offset u32Off of the family's block. */
S32 CopyBlockOut(const CFG_FAMILY_S& stFamily, VOID* pDst, const S8* ps8CheckKey, U32 u32Off = 0,
                 U32 u32Len = 0)
{
    if (pDst == nullptr) {
        return -1;
    }
    ShmAttach stCheck;
    if (!stCheck.Attach(ps8CheckKey, stFamily)) {
        return -1;
    }
    memcpy(pDst, stCheck.Get() + u32Off, u32Len != 0 ? u32Len : stFamily.u32BlockSize);
    return 0;
}

/* Writes a post into attached segments: the block, its command word, -1
 * into the update-state word. The caller holds semaphore 0. */
VOID WritePost(const CFG_FAMILY_S& stFamily, U8* pu8Request, U8* pu8Check, const VOID* pBlock,
               S32 s32Cmd)
{
    memcpy(pu8Request, pBlock, stFamily.u32BlockSize);
    PutWord(pu8Request + stFamily.u32BlockSize, s32Cmd);
    PutWord(pu8Check + stFamily.u32BlockSize, CFG_STATE_IDLE);
}

S32 PostBlock(const CFG_FAMILY_S& stFamily, const VOID* pBlock, S32 s32Cmd, const S8* ps8RequestKey,
              const S8* ps8CheckKey, const S8* ps8RunKey, BOOL bLogAttachFail)
{
    if (pBlock == nullptr) {
        return -1;
    }
    ShmAttach stRequest;
    if (!stRequest.Attach(ps8RequestKey, stFamily)) {
        if (bLogAttachFail) {
            LOG_AT(LOG_LEVEL_ERR, "open_exist_shm fail\n");
        }
        return -1;
    }
    ShmAttach stCheck;
    if (!stCheck.Attach(ps8CheckKey, stFamily)) {
        return -1;
    }
    const S32 s32SemId = OpenRunSem(ps8RunKey, stFamily, 0);
    if (s32SemId < 0 || lock_sem(s32SemId, CFG_SEM_POST) != 0) {
        /* Standard error: on standard output this line would come before
         * the reply's first header. */
        LogServerLine("%s", CFG_POST_FAIL_LINE);
        return -1;
    }
    WritePost(stFamily, stRequest.Get(), stCheck.Get(), pBlock, s32Cmd);
    unlock_sem(s32SemId, CFG_SEM_POST);
    return 0;
}

VOID PollPause()
{
    struct timespec stPause = {0, CFG_POLL_SLEEP_US * 1000L};
    nanosleep(&stPause, nullptr);
}

/* Reads the update-state word until zozid answers command s32Cmd or
 * s32Polls reads were made (one at least), 100 us apart.
 * return 1 (c|0x200), 2 (c|0x600), 0 (c|0x100) or 3 (no answer) */
S32 PollAnswer(const U8* pu8State, S32 s32Cmd, S32 s32Polls)
{
    for (;;) {
        const S32 s32State = GetWord(pu8State);
        if (s32State == (s32Cmd | CFG_ANSWER_DONE)) {
            return 1;
        }
        if (s32State == (s32Cmd | CFG_ANSWER_DONE2)) {
            return 2;
        }
        if (s32State == (s32Cmd | CFG_ANSWER_FAIL)) {
            return 0;
        }
        --s32Polls;
        if (s32Polls <= 0) {
            return 3;
        }
        PollPause();
    }
}

S32 WaitAnswer(const CFG_FAMILY_S& stFamily, S32 s32Cmd, S32 s32Polls, const S8* ps8CheckKey,
               const S8* ps8RunKey)
{
    ShmAttach stCheck;
    if (!stCheck.Attach(ps8CheckKey, stFamily)) {
        return 0;
    }
    const S32 s32SemId = OpenRunSem(ps8RunKey, stFamily, 1);
    if (s32SemId < 0 || lock_sem(s32SemId, CFG_SEM_WAIT) != 0) {
        return 0;
    }
    U8* pu8State = stCheck.Get() + stFamily.u32BlockSize;
    const S32 s32Result = PollAnswer(pu8State, s32Cmd, s32Polls);
    PutWord(pu8State, CFG_STATE_IDLE);
    unlock_sem(s32SemId, CFG_SEM_WAIT);
    return s32Result;
}

/* Length of a field's text, taken as zero-terminated but never past the field. */
template <size_t N>
size_t FieldLen(const S8 (&s8Field)[N])
{
    return strnlen(s8Field, N);
}

/* Where the value of "key=" starts, or null (key missing, or its first
 * occurrence not followed by "="). The search is case-insensitive and does
 * not go on to later occurrences. */
const S8* FindValue(const S8* ps8Query, const S8* ps8Key)
{
    const size_t u32KeyLen = strlen(ps8Key);
    for (const S8* p = ps8Query; *p != '\0'; ++p) {
        size_t i = 0;
        while (i < u32KeyLen && p[i] != '\0' &&
               tolower((unsigned char)p[i]) == tolower((unsigned char)ps8Key[i])) {
            ++i;
        }
        if (i == u32KeyLen) {
            return p[u32KeyLen] == '=' ? p + u32KeyLen + 1 : nullptr;
        }
        if (p[i] == '\0') {
            return nullptr; /* the rest is shorter than the key */
        }
    }
    return nullptr;
}

}  // namespace

S32 open_exist_shm(key_t s32Key, S32 s32Size, VOID** ppAddr)
{
    const S32 s32ShmId = shmget(s32Key, (size_t)(s32Size < 0 ? 0 : s32Size), 0666);
    if (s32ShmId < 0) {
        return -1;
    }
    VOID* pAddr = shmat(s32ShmId, nullptr, 0);
    if (pAddr == reinterpret_cast<VOID*>(-1)) {
        return -1;
    }
    if (ppAddr != nullptr) {
        *ppAddr = pAddr;
    } else {
        shmdt(pAddr);
    }
    return s32ShmId;
}

S32 close_exist_shm(S32 /*s32ShmId*/, VOID* pAddr)
{
    shmdt(pAddr);
    return 0;
}

S32 GetBaseParam(VOID* pDst, const S8* ps8CheckKey)
{
    return CopyBlockOut(CFG_BASE_FAMILY, pDst, ps8CheckKey);
}

S32 GetBaseOtherParam(VOID* pDst, const S8* ps8CheckKey)
{
    return CopyBlockOut(CFG_OTHER_FAMILY, pDst, ps8CheckKey);
}

S32 GetUserTable(VOID* pDst, const S8* ps8CheckKey)
{
    return CopyBlockOut(CFG_OTHER_FAMILY, pDst, ps8CheckKey, CFG_USER_TABLE_OFFSET,
                        CFG_USER_TABLE_SIZE);
}

S32 SetBaseParam(const VOID* pBlock, S32 s32Cmd, const S8* ps8RequestKey, const S8* ps8CheckKey,
                 const S8* ps8RunKey)
{
    return PostBlock(CFG_BASE_FAMILY, pBlock, s32Cmd, ps8RequestKey, ps8CheckKey, ps8RunKey, false);
}

S32 SetBaseOtherParam(const VOID* pBlock, S32 s32Cmd, const S8* ps8RequestKey,
                      const S8* ps8CheckKey, const S8* ps8RunKey)
{
    return PostBlock(CFG_OTHER_FAMILY, pBlock, s32Cmd, ps8RequestKey, ps8CheckKey, ps8RunKey, true);
}

S32 CheckShmUpdateState(S32 s32Cmd, S32 s32Polls, const S8* ps8CheckKey, const S8* ps8RunKey)
{
    return WaitAnswer(CFG_BASE_FAMILY, s32Cmd, s32Polls, ps8CheckKey, ps8RunKey);
}

S32 CheckShmUpdateStateForOtherParm(S32 s32Cmd, S32 s32Polls, const S8* ps8CheckKey,
                                    const S8* ps8RunKey)
{
    return WaitAnswer(CFG_OTHER_FAMILY, s32Cmd, s32Polls, ps8CheckKey, ps8RunKey);
}

S32 ExchangeBaseParam(const VOID* pBlock, S32 s32Cmd, S32 s32Polls, CFG_WAIT_STEP_F pfnStep,
                      VOID* pCtx, const S8* ps8RequestKey, const S8* ps8CheckKey,
                      const S8* ps8RunKey, U32 u32TurnMs)
{
    const CFG_FAMILY_S& stFamily = CFG_BASE_FAMILY;
    ShmAttach stRequest;
    ShmAttach stCheck;
    const BOOL bSegments = pBlock != nullptr && stRequest.Attach(ps8RequestKey, stFamily) &&
                           stCheck.Attach(ps8CheckKey, stFamily);
    /* both semaphores are used below, so the set must hold two */
    const S32 s32SemId = OpenRunSem(ps8RunKey, stFamily, CFG_SEM_WAIT + 1);
    if (s32SemId < 0) {
        if (bSegments) {
            LogServerLine("%s", CFG_POST_FAIL_LINE);
        }
        /* Nothing can be posted, and there is no turn to wait for. */
        if (pfnStep != nullptr) {
            const CFG_TURN_S stNoTurn = {-1, ps8RunKey};
            pfnStep(-1, &stNoTurn, pCtx);
        }
        return -1;
    }
    /* The turn: one request's post, wait and pick-up at a time. Posting under
     * semaphore 0 alone let a second request overwrite the first one's
     * command in the one request slot, and reset the update-state word while
     * the first one waited on it. A request that can post nothing (segments
     * missing while zozid starts again) waits in a turn too, so the file it
     * finds is not one written for another request's turn. */
    if (lock_sem_timed(s32SemId, CFG_SEM_WAIT, u32TurnMs) != 0) {
        return CFG_EXCHANGE_NO_TURN;
    }
    S32 s32Result = -1;
    U8* pu8State = bSegments ? stCheck.Get() + stFamily.u32BlockSize : nullptr;
    if (!bSegments) {
        /* nothing to post to */
    } else if (lock_sem_timed(s32SemId, CFG_SEM_POST, u32TurnMs) != 0) {
        LogServerLine("%s", CFG_POST_FAIL_LINE);
    } else {
        WritePost(stFamily, stRequest.Get(), stCheck.Get(), pBlock, s32Cmd);
        unlock_sem(s32SemId, CFG_SEM_POST);
        s32Result = PollAnswer(pu8State, s32Cmd, s32Polls);
    }
    if (pfnStep != nullptr) {
        const CFG_TURN_S stTurn = {s32SemId, ps8RunKey};
        pfnStep(s32Result, &stTurn, pCtx);
    }
    if (s32Result >= 0) {
        PutWord(pu8State, CFG_STATE_IDLE);
    }
    unlock_sem(s32SemId, CFG_SEM_WAIT);
    return s32Result;
}

BOOL ExchangeTurnHeld(const CFG_TURN_S* pstTurn)
{
    if (pstTurn == nullptr) {
        return true;
    }
    if (pstTurn->s32SemId >= 0) {
        return semctl(pstTurn->s32SemId, CFG_SEM_WAIT, GETVAL) >= 0;
    }
    return OpenRunSem(pstTurn->ps8RunKey, CFG_BASE_FAMILY, CFG_SEM_WAIT + 1) < 0;
}

S32 GetPasswdByUserWithList(const VOID* pFirstEntry, const S8* ps8User, S8* ps8Passwd, S32 s32Size,
                            U8* pu8Privilege)
{
    if (pFirstEntry == nullptr || ps8Passwd == nullptr || ps8User == nullptr || s32Size <= 0) {
        return -1;
    }
    if (strnlen(ps8User, CFG_USER_NAME_MAX + 1) > CFG_USER_NAME_MAX) {
        return -1;
    }
    const U8* pu8Entry = static_cast<const U8*>(pFirstEntry);
    for (U32 i = 0; i < CFG_USER_COUNT; ++i, pu8Entry += CFG_USER_ENTRY_SIZE) {
        CFG_USER_ENTRY_S stEntry;
        memcpy(&stEntry, pu8Entry, sizeof(stEntry));
        if (stEntry.u8InUse == 0) {
            continue;
        }
        if (strncmp(stEntry.s8UserName, ps8User, sizeof(stEntry.s8UserName)) != 0) {
            continue;
        }
        const size_t u32Len = FieldLen(stEntry.s8Password);
        if ((size_t)s32Size <= u32Len) {
            return -1; /* the first match decides */
        }
        memcpy(ps8Passwd, stEntry.s8Password, u32Len);
        if (pu8Privilege != nullptr) {
            *pu8Privilege = stEntry.u8Privilege;
        }
        return 0;
    }
    return -1;
}

S32 ReturnToLoginPage()
{
    cgiHeaderContentType("text/html");
    fprintf(cgiOut, "<script>top.location.href=\"../index.html\"</script>");
    return 0;
}

S32 CgiReturnMessage(const S8* ps8Page, S32 s32Value, S32 s32Function)
{
    const S8* ps8Name = ps8Page != nullptr ? ps8Page : "";
    S8 s8Addr[CFG_RETURN_ADDR_SIZE] = {0};
    /* An address that does not fit is cut by snprintf. */
    if (s32Value == 2) {
        snprintf(s8Addr, sizeof(s8Addr), "../MainPage/RebootInfor.html?url=%s", ps8Name);
    } else if (s32Function > 0) {
        snprintf(s8Addr, sizeof(s8Addr), "../MainPage/%s?value=%d&function=%d", ps8Name, s32Value,
                 s32Function);
    } else {
        snprintf(s8Addr, sizeof(s8Addr), "../MainPage/%s?value=%d", ps8Name, s32Value);
    }
    cgiHeaderContentType("text/html");
    return fprintf(cgiOut, "<script>location.href=\"%s\"</script>", s8Addr);
}

S32 WriteLogToFile(const S8* ps8Text, const S8* ps8Path)
{
    if (ps8Path == nullptr) {
        return 0;
    }
    FILE* pFile = fopen(ps8Path, "a+");
    if (pFile == nullptr) {
        return 0;
    }
    fprintf(pFile, "%s\n", ps8Text != nullptr ? ps8Text : "");
    return fclose(pFile);
}

S32 GetVideoWidthAndHeightCgi(S32 s32Code, S32 s32Sel, U16* pu16Width, U16* pu16Height)
{
    /* width, height with selector 1, height otherwise */
    static const U16 u16Sizes[][3] = {
        {176, 144, 112},    {352, 288, 240},    {704, 576, 480},    {1280, 720, 720},
        {1920, 1080, 1080}, {1600, 1200, 1200}, {2048, 1536, 1536}, {2592, 1944, 1944},
        {1280, 960, 960},   {2592, 1560, 1560},
    };
    const U32 u32Count = (U32)(sizeof(u16Sizes) / sizeof(u16Sizes[0]));
    const U32 u32Code = (U32)s32Code;
    U16 u16Width = 1280;
    U16 u16Height = 720;
    S32 s32Ret = -1;
    if (u32Code < u32Count) {
        u16Width = u16Sizes[u32Code][0];
        u16Height = u16Sizes[u32Code][s32Sel == 1 ? 1 : 2];
        s32Ret = 0;
    }
    if (pu16Width != nullptr) {
        *pu16Width = u16Width;
    }
    if (pu16Height != nullptr) {
        *pu16Height = u16Height;
    }
    return s32Ret;
}

S32 GetStrParamValue(const S8* ps8Query, const S8* ps8Key, S8* ps8Dst, U32 u32DstSize)
{
    if (ps8Query == nullptr || ps8Key == nullptr || ps8Dst == nullptr || u32DstSize == 0) {
        return -1;
    }
    const S8* ps8Value = FindValue(ps8Query, ps8Key);
    if (ps8Value == nullptr) {
        return -1;
    }
    size_t u32Len = strcspn(ps8Value, "&?");
    /* The last byte of the caller's zero-filled buffer stays its terminator. */
    if (u32Len > u32DstSize - 1) {
        u32Len = u32DstSize - 1;
    }
    memcpy(ps8Dst, ps8Value, u32Len);
    return 0;
}

S32 GetIntParamValue(const S8* ps8Query, const S8* ps8Key, S32* ps32Value)
{
    if (ps32Value != nullptr) {
        *ps32Value = -1;
    }
    if (ps8Query == nullptr || ps8Key == nullptr || ps32Value == nullptr) {
        return -1;
    }
    const S8* ps8Value = FindValue(ps8Query, ps8Key);
    if (ps8Value == nullptr) {
        return -1;
    }
    size_t u32Run = 0;
    while (u32Run < CFG_PARAM_WORK_SIZE && ps8Value[u32Run] >= '0' && ps8Value[u32Run] <= '9') {
        ++u32Run;
    }
    if (u32Run == 0 || u32Run >= CFG_PARAM_WORK_SIZE) {
        return -1; /* no digits, or more than the work buffer holds */
    }
    S8 s8Work[CFG_PARAM_WORK_SIZE] = {0};
    memcpy(s8Work, ps8Value, u32Run);
    /* Digits only, so the value is never negative; like the camera's 32-bit
     * atoi, anything past INT_MAX stays at INT_MAX instead of wrapping. */
    S32 s32Val = 0;
    for (size_t i = 0; i < u32Run; ++i) {
        const S32 s32Digit = s8Work[i] - '0';
        if (s32Val > (INT32_MAX - s32Digit) / 10) {
            s32Val = INT32_MAX;
            break;
        }
        s32Val = s32Val * 10 + s32Digit;
    }
    *ps32Value = s32Val;
    return 0;
}
