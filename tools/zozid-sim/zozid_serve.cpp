// SPDX-License-Identifier: MIT
#include "zozid_serve.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include "zozid_card.h"

namespace {

/* The caller of semctl defines this (POSIX leaves it to the application). */
union SemUn {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

constexpr S32 ZOZID_STATE_IDLE = -1; /* "nothing to report" in the update-state word */
constexpr U64 ZOZID_HOLD_MAX_MS = 1000; /* a waiter that never reads its answer */

/* The words behind the blocks are 4-byte aligned (page-aligned segment, block
 * sizes divisible by 4) and are shared with other processes, so they are read
 * and written whole, never as bytes. */
static_assert(ZOZID_BASE_BLOCK_SIZE % 4 == 0 && ZOZID_OTHER_BLOCK_SIZE % 4 == 0,
              "the words behind the blocks are aligned");

S32 LoadWord(const U8* pu8Seg, U32 u32Off)
{
    const void* pAddr = pu8Seg + u32Off;
    S32 s32Val;
    __atomic_load(static_cast<const S32*>(pAddr), &s32Val, __ATOMIC_SEQ_CST);
    return s32Val;
}

void StoreWord(U8* pu8Seg, U32 u32Off, S32 s32Val)
{
    void* pAddr = pu8Seg + u32Off;
    __atomic_store(static_cast<S32*>(pAddr), &s32Val, __ATOMIC_SEQ_CST);
}

/* Puts the value back to -1 only if it still holds what we wrote. */
void TakeBackWord(U8* pu8Seg, U32 u32Off, S32 s32Expect)
{
    void* pAddr = pu8Seg + u32Off;
    S32 s32Idle = ZOZID_STATE_IDLE;
    __atomic_compare_exchange(static_cast<S32*>(pAddr), &s32Expect, &s32Idle, false,
                              __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

int SemOpNoWait(S32 s32SemId, U16 u16Num, S16 s16Op)
{
    struct sembuf stOp;
    stOp.sem_num = u16Num;
    stOp.sem_op = s16Op;
    stOp.sem_flg = SEM_UNDO | IPC_NOWAIT;
    for (U32 u32Try = 0; u32Try < 100; ++u32Try) {
        if (semop(s32SemId, &stOp, 1) == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
    return -1;
}

int MakeKeyFile(const std::string& strPath, std::vector<std::string>* pvecCreated)
{
    const int s32Fd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (s32Fd >= 0) {
        close(s32Fd);
        pvecCreated->push_back(strPath);
        return 0;
    }
    const int s32Err = errno;
    if (s32Err == EEXIST) {
        return 0;
    }
    fprintf(stderr, "zozid: cannot create %s: %s\n", strPath.c_str(), strerror(s32Err));
    return -1;
}

int KeyOf(const std::string& strPath, S32 s32KeyNo, key_t* pKey)
{
    const key_t key = ftok(strPath.c_str(), s32KeyNo);
    if (key == (key_t)-1) {
        const int s32Err = errno;
        fprintf(stderr, "zozid: ftok %s: %s\n", strPath.c_str(), strerror(s32Err));
        return -1;
    }
    *pKey = key;
    return 0;
}

/* The owner starts with a fresh object: whatever an earlier run left under
 * the key is removed first. */
int CreateShm(key_t key, size_t sSize)
{
    int s32Id = shmget(key, sSize, IPC_CREAT | IPC_EXCL | 0666);
    if (s32Id < 0 && errno == EEXIST) {
        const int s32Old = shmget(key, 0, 0);
        if (s32Old >= 0) {
            shmctl(s32Old, IPC_RMID, nullptr);
        }
        s32Id = shmget(key, sSize, IPC_CREAT | IPC_EXCL | 0666);
    }
    if (s32Id < 0) {
        const int s32Err = errno;
        fprintf(stderr, "zozid: shmget key 0x%x: %s\n", (unsigned)key, strerror(s32Err));
    }
    return s32Id;
}

int CreateSem(key_t key)
{
    int s32Id = semget(key, 2, IPC_CREAT | IPC_EXCL | 0666);
    if (s32Id < 0 && errno == EEXIST) {
        const int s32Old = semget(key, 0, 0);
        if (s32Old >= 0) {
            semctl(s32Old, 0, IPC_RMID);
        }
        s32Id = semget(key, 2, IPC_CREAT | IPC_EXCL | 0666);
    }
    if (s32Id < 0) {
        const int s32Err = errno;
        fprintf(stderr, "zozid: semget key 0x%x: %s\n", (unsigned)key, strerror(s32Err));
        return -1;
    }
    unsigned short au16Vals[2] = {1, 1};
    SemUn unArg;
    unArg.array = au16Vals;
    if (semctl(s32Id, 0, SETALL, unArg) != 0) {
        const int s32Err = errno;
        fprintf(stderr, "zozid: semctl SETALL: %s\n", strerror(s32Err));
        semctl(s32Id, 0, IPC_RMID);
        return -1;
    }
    return s32Id;
}

}  // namespace

void FillBaseBlock(const ZOZID_OPTIONS_S& stOpts, std::vector<U8>* pvecBlock)
{
    pvecBlock->assign(ZOZID_BASE_BLOCK_SIZE, 0);
    if (stOpts.bFillPattern) {
        /* bytes no one names, made visible: a client that loses or moves one shows */
        for (U32 i = 0; i < ZOZID_BASE_BLOCK_SIZE; ++i) {
            (*pvecBlock)[i] = (U8)((i * 131u + 7u) & 0xFFu);
        }
    }
    (*pvecBlock)[ZOZID_RESOLUTION_OFFSET] = stOpts.u8Resolution;
    (*pvecBlock)[ZOZID_CAPS_OFFSET] = (U8)(stOpts.u16Caps & 0xFFu);
    (*pvecBlock)[ZOZID_CAPS_OFFSET + 1] = (U8)(stOpts.u16Caps >> 8);
}

void FillOtherBlock(const ZOZID_OPTIONS_S& stOpts, std::vector<U8>* pvecBlock)
{
    pvecBlock->assign(ZOZID_OTHER_BLOCK_SIZE, 0);
    U32 u32Off = ZOZID_USER_TABLE_OFFSET;
    for (const ZOZID_USER_S& stUser : stOpts.vecUsers) {
        ZOZID_USER_ENTRY_S stEntry = {};
        stEntry.u8InUse = 1;
        stEntry.u8Privilege = stUser.u8Privilege;
        memcpy(stEntry.s8UserName, stUser.strName.data(),
               std::min(stUser.strName.size(), sizeof(stEntry.s8UserName)));
        memcpy(stEntry.s8Password, stUser.strPassword.data(),
               std::min(stUser.strPassword.size(), sizeof(stEntry.s8Password)));
        memcpy(pvecBlock->data() + u32Off, &stEntry, sizeof(stEntry));
        u32Off += sizeof(stEntry);
    }
}

ZozidServer::ZozidServer(const ZOZID_OPTIONS_S& stOpts)
    : m_stOpts(stOpts), m_s32SelfPid((S32)getpid())
{
    m_stBase.s32KeyNo = ZOZID_BASE_KEY_NO;
    m_stBase.u32Block = ZOZID_BASE_BLOCK_SIZE;
    m_stOther.s32KeyNo = ZOZID_OTHER_KEY_NO;
    m_stOther.u32Block = ZOZID_OTHER_BLOCK_SIZE;
}

ZozidServer::~ZozidServer() noexcept
{
    /* detach only; removing the objects is Shutdown's job */
    for (Family* pstFam : {&m_stBase, &m_stOther}) {
        if (pstFam->pu8Check != nullptr) {
            shmdt(pstFam->pu8Check);
        }
        if (pstFam->pu8Req != nullptr) {
            shmdt(pstFam->pu8Req);
        }
    }
}

int ZozidServer::SetupFamily(Family* pstFam, const std::vector<U8>& vecBlock)
{
    key_t keyCheck, keyReq, keySem;
    const std::string& strDir = m_stOpts.strMivor;
    if (KeyOf(strDir + "/check", pstFam->s32KeyNo, &keyCheck) != 0 ||
        KeyOf(strDir + "/zozid", pstFam->s32KeyNo, &keyReq) != 0 ||
        KeyOf(strDir + "/run.sh", pstFam->s32KeyNo, &keySem) != 0) {
        return -1;
    }
    const size_t sSegSize = pstFam->u32Block + 4;
    pstFam->s32CheckId = CreateShm(keyCheck, sSegSize);
    if (pstFam->s32CheckId < 0) {
        return -1;
    }
    pstFam->s32ReqId = CreateShm(keyReq, sSegSize);
    if (pstFam->s32ReqId < 0) {
        return -1;
    }
    void* pCheck = shmat(pstFam->s32CheckId, nullptr, 0);
    void* pReq = shmat(pstFam->s32ReqId, nullptr, 0);
    if (pCheck == (void*)-1 || pReq == (void*)-1) {
        const int s32Err = errno;
        fprintf(stderr, "zozid: shmat: %s\n", strerror(s32Err));
        if (pCheck != (void*)-1) {
            shmdt(pCheck);
        }
        if (pReq != (void*)-1) {
            shmdt(pReq);
        }
        return -1;
    }
    pstFam->pu8Check = static_cast<U8*>(pCheck);
    pstFam->pu8Req = static_cast<U8*>(pReq);
    memcpy(pstFam->pu8Check, vecBlock.data(), pstFam->u32Block);
    StoreWord(pstFam->pu8Check, pstFam->u32Block, ZOZID_STATE_IDLE);
    memset(pstFam->pu8Req, 0, sSegSize);
    pstFam->s32SemId = CreateSem(keySem);
    return pstFam->s32SemId < 0 ? -1 : 0;
}

int ZozidServer::Setup()
{
    for (const char* ps8Name : {"check", "zozid", "run.sh"}) {
        if (MakeKeyFile(m_stOpts.strMivor + "/" + ps8Name, &m_vecCreatedFiles) != 0) {
            Shutdown();
            return -1;
        }
    }
    std::vector<U8> vecBase, vecOther;
    FillBaseBlock(m_stOpts, &vecBase);
    FillOtherBlock(m_stOpts, &vecOther);
    if (SetupFamily(&m_stBase, vecBase) != 0 || SetupFamily(&m_stOther, vecOther) != 0) {
        Shutdown();
        return -1;
    }
    return 0;
}

void ZozidServer::Shutdown()
{
    for (Family* pstFam : {&m_stBase, &m_stOther}) {
        if (pstFam->pu8Check != nullptr) {
            shmdt(pstFam->pu8Check);
            pstFam->pu8Check = nullptr;
        }
        if (pstFam->pu8Req != nullptr) {
            shmdt(pstFam->pu8Req);
            pstFam->pu8Req = nullptr;
        }
        if (pstFam->s32CheckId >= 0) {
            shmctl(pstFam->s32CheckId, IPC_RMID, nullptr);
            pstFam->s32CheckId = -1;
        }
        if (pstFam->s32ReqId >= 0) {
            shmctl(pstFam->s32ReqId, IPC_RMID, nullptr);
            pstFam->s32ReqId = -1;
        }
        if (pstFam->s32SemId >= 0) {
            semctl(pstFam->s32SemId, 0, IPC_RMID);
            pstFam->s32SemId = -1;
        }
    }
    unlink(CardPath().c_str());
    for (const std::string& strPath : m_vecCreatedFiles) {
        unlink(strPath.c_str());
    }
    m_vecCreatedFiles.clear();
}

const ZozidServer::PostRec* ZozidServer::FindPost(const Family& stFam, S32 s32Pid) const
{
    const PostRec* pstBest = nullptr;
    for (const PostRec& stRec : stFam.astPosts) {
        if (stRec.u32Serial != 0 && stRec.s32Pid == s32Pid &&
            (pstBest == nullptr || stRec.u32Serial > pstBest->u32Serial)) {
            pstBest = &stRec;
        }
    }
    return pstBest;
}

bool ZozidServer::TakePost(Family* pstFam)
{
    /* A post is done when semaphore 0 is free again and its last user was a
     * client; we then take it ourselves, so the next post shows as a new user
     * even from the same process. */
    if (semctl(pstFam->s32SemId, 0, GETVAL) != 1) {
        return true; /* a client holds it: busy */
    }
    const int s32Pid = semctl(pstFam->s32SemId, 0, GETPID);
    if (s32Pid <= 0 || s32Pid == m_s32SelfPid) {
        return false;
    }
    if (SemOpNoWait(pstFam->s32SemId, 0, -1) != 0) {
        return true; /* a client is posting right now: next round */
    }
    PostRec stRec;
    stRec.s32Pid = s32Pid;
    stRec.s32Cmd = LoadWord(pstFam->pu8Req, pstFam->u32Block);
    stRec.u32Serial = ++pstFam->u32PostSerial;
    stRec.u8Resolution = pstFam == &m_stBase ? pstFam->pu8Req[ZOZID_POSTED_RES_OFFSET] : 0;
    std::vector<U8> vecBlock;
    if (pstFam == &m_stBase && !m_stOpts.strDumpPosted.empty()) {
        vecBlock.assign(pstFam->pu8Req, pstFam->pu8Req + pstFam->u32Block);
    }
    SemOpNoWait(pstFam->s32SemId, 0, +1);
    pstFam->astPosts[pstFam->u32NextPost] = stRec;
    pstFam->u32NextPost = (pstFam->u32NextPost + 1) % (U32)(sizeof(pstFam->astPosts) /
                                                            sizeof(pstFam->astPosts[0]));
    if (!vecBlock.empty()) {
        WriteFileAtomic(m_stOpts.strDumpPosted, vecBlock.data(), vecBlock.size());
    }
    return true;
}

bool ZozidServer::WriteSnapshot(U8 u8Resolution)
{
    const std::string strPath = m_stOpts.strSnap + "/" + ZOZID_SNAP_NAME;
    if (m_stOpts.enFile == ZOZID_FILE_EMPTY) {
        return WriteFileAtomic(strPath, nullptr, 0) == 0;
    }
    U16 u16W = 0, u16H = 0;
    CardSizeForResolution(u8Resolution, &u16W, &u16H);
    char s8Stamp[48];
    const time_t tNow = time(nullptr);
    struct tm stTm;
    if (localtime_r(&tNow, &stTm) == nullptr) {
        memset(&stTm, 0, sizeof(stTm));
    }
    const int n = snprintf(s8Stamp, sizeof(s8Stamp), "%04d-%02d-%02d %02d:%02d:%02d %ux%u",
                           stTm.tm_year + 1900, stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour,
                           stTm.tm_min, stTm.tm_sec, (unsigned)u16W, (unsigned)u16H);
    if (n < 0 || (size_t)n >= sizeof(s8Stamp)) {
        s8Stamp[0] = '\0';
    }
    if (m_vecCard.empty() || m_strCardStamp != s8Stamp || m_u8CardResolution != u8Resolution) {
        std::vector<U8> vecCard;
        if (MakeTestCard(u16W, u16H, s8Stamp, m_stOpts.u32JpegSize, &vecCard) != 0) {
            fprintf(stderr, "zozid: cannot encode the test card\n");
            return false;
        }
        m_vecCard.swap(vecCard);
        m_strCardStamp = s8Stamp;
        m_u8CardResolution = u8Resolution;
        /* the copy for tests changes only with the card, not per request */
        if (!m_stOpts.strDumpImage.empty()) {
            WriteFileAtomic(m_stOpts.strDumpImage, m_vecCard.data(), m_vecCard.size());
        }
        m_bCardFile = WriteFileAtomic(CardPath(), m_vecCard.data(), m_vecCard.size()) == 0;
    }
    if (m_bCardFile) {
        /* a new name for the current card, put in place whole by the rename */
        const std::string strTmp = strPath + ".tmp";
        unlink(strTmp.c_str());
        if (link(CardPath().c_str(), strTmp.c_str()) == 0) {
            const bool bRenamed = rename(strTmp.c_str(), strPath.c_str()) == 0;
            /* A rename onto another link of the same card (a snapshot nobody
             * took) changes nothing and leaves the temporary name behind. */
            unlink(strTmp.c_str());
            if (bRenamed) {
                return true;
            }
        }
        m_bCardFile = false; /* no hard links here: write each snapshot */
    }
    return WriteFileAtomic(strPath, m_vecCard.data(), m_vecCard.size()) == 0;
}

void ZozidServer::ReleaseHold(Family* pstFam)
{
    if (!pstFam->bHoldPost) {
        return;
    }
    /* an answer still in the word has lost its reader and must not meet the next */
    TakeBackWord(pstFam->pu8Check, pstFam->u32Block, pstFam->s32AnswerWord);
    SemOpNoWait(pstFam->s32SemId, 0, +1);
    pstFam->bHoldPost = false;
}

void ZozidServer::Serve(Family* pstFam, U64 u64NowMs)
{
    const U32 u32B = pstFam->u32Block;
    const int s32Held = semctl(pstFam->s32SemId, 1, GETVAL);
    const int s32Holder = s32Held == 0 ? semctl(pstFam->s32SemId, 1, GETPID) : -1;
    if (pstFam->bHoldPost) {
        /* The waiter's -1 (only it can write now) says it read the answer. */
        const bool bRead = LoadWord(pstFam->pu8Check, u32B) != pstFam->s32AnswerWord;
        if (bRead || s32Holder != pstFam->s32JobPid || u64NowMs >= pstFam->u64HoldUntilMs) {
            ReleaseHold(pstFam);
        }
    }
    if (s32Holder <= 0) {
        pstFam->bJob = false; /* nobody waits: a job not yet answered is given up */
        return;
    }
    const PostRec* pstPost = FindPost(*pstFam, s32Holder);
    const U32 u32Serial = pstPost != nullptr ? pstPost->u32Serial : 0;
    if (!pstFam->bJob || pstFam->s32JobPid != s32Holder || pstFam->u32JobSerial != u32Serial) {
        pstFam->bJob = true;
        pstFam->s32JobPid = s32Holder;
        pstFam->u32JobSerial = u32Serial;
        pstFam->s32JobCmd =
            pstPost != nullptr ? pstPost->s32Cmd : LoadWord(pstFam->pu8Req, u32B);
        if (pstPost != nullptr) {
            pstFam->u8JobResolution = pstPost->u8Resolution;
        } else {
            pstFam->u8JobResolution =
                pstFam == &m_stBase ? pstFam->pu8Req[ZOZID_POSTED_RES_OFFSET] : 0;
        }
        pstFam->u64DueMs = u64NowMs + m_stOpts.u32DelayMs;
        pstFam->bAnswered = false;
        if (m_stOpts.bVerbose) {
            printf("zozid: waiter %d key %d command %d\n", s32Holder, (int)pstFam->s32KeyNo,
                   (int)pstFam->s32JobCmd);
            fflush(stdout);
        }
    }
    if (pstFam->bAnswered || u64NowMs < pstFam->u64DueMs) {
        return;
    }
    const bool bImage = pstFam == &m_stBase && pstFam->s32JobCmd == ZOZID_CMD_IMAGE &&
                        m_stOpts.enFile != ZOZID_FILE_NONE;
    if (m_stOpts.s32Answer != ZOZID_ANSWER_NONE && SemOpNoWait(pstFam->s32SemId, 0, -1) != 0) {
        return; /* a client is posting: answer next round */
    }
    /* Every answered image gets its own file, renamed over whatever an earlier
     * request left there; nothing waits for that one to be removed. */
    if (bImage && WriteSnapshot(pstFam->u8JobResolution)) {
        ++m_u32Snapshots;
    }
    pstFam->bAnswered = true;
    if (m_stOpts.s32Answer != ZOZID_ANSWER_NONE) {
        pstFam->s32AnswerWord = pstFam->s32JobCmd | m_stOpts.s32Answer;
        StoreWord(pstFam->pu8Check, u32B, pstFam->s32AnswerWord);
        pstFam->bHoldPost = true;
        pstFam->u64HoldUntilMs = u64NowMs + ZOZID_HOLD_MAX_MS;
        if (m_stOpts.bVerbose) {
            printf("zozid: answered %d with 0x%x\n", s32Holder, (unsigned)pstFam->s32AnswerWord);
            fflush(stdout);
        }
    }
}

bool ZozidServer::Poll(U64 u64NowMs)
{
    bool bBusy = false;
    for (Family* pstFam : {&m_stBase, &m_stOther}) {
        if (pstFam->s32SemId < 0) {
            continue;
        }
        bBusy = TakePost(pstFam) || bBusy;
        Serve(pstFam, u64NowMs);
        bBusy = bBusy || pstFam->bJob || pstFam->bHoldPost;
    }
    return bBusy;
}
