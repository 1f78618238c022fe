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

constexpr S32 ZOZID_STATE_IDLE = -1;     /* "nothing to report" in the update-state word */
constexpr U32 ZOZID_MARK_TEXT_SIZE = 64; /* "zozid snapshot N resolution R" */

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

/* One semaphore operation that waits at most u32Us; -1 when it did not
 * happen (time out, signal, set gone). */
int SemOpTimed(S32 s32SemId, U16 u16Num, S16 s16Op, U32 u32Us)
{
    struct sembuf stOp;
    stOp.sem_num = u16Num;
    stOp.sem_op = s16Op;
    stOp.sem_flg = s16Op != 0 ? SEM_UNDO : 0;
    const struct timespec stWait = {(time_t)(u32Us / 1000000u), (long)(u32Us % 1000000u) * 1000L};
    return semtimedop(s32SemId, &stOp, 1, &stWait);
}

/* The snapshot with a comment segment behind its start-of-image marker. */
void MarkImage(const std::vector<U8>& vecCard, U32 u32Number, U8 u8Resolution,
               std::vector<U8>* pvecOut)
{
    char s8Text[ZOZID_MARK_TEXT_SIZE];
    int n = snprintf(s8Text, sizeof(s8Text), "zozid snapshot %u resolution %u", (unsigned)u32Number,
                     (unsigned)u8Resolution);
    if (n < 0 || (size_t)n >= sizeof(s8Text)) {
        n = 0;
    }
    const size_t sSeg = (size_t)n + 2; /* the length counts its own two bytes */
    pvecOut->clear();
    pvecOut->reserve(vecCard.size() + sSeg + 2);
    pvecOut->insert(pvecOut->end(), vecCard.begin(), vecCard.begin() + 2);
    const U8 au8Head[4] = {0xFF, 0xFE, (U8)(sSeg >> 8), (U8)(sSeg & 0xFF)};
    pvecOut->insert(pvecOut->end(), au8Head, au8Head + sizeof(au8Head));
    pvecOut->insert(pvecOut->end(), s8Text, s8Text + n);
    pvecOut->insert(pvecOut->end(), vecCard.begin() + 2, vecCard.end());
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

ZozidServer::ZozidServer(const ZOZID_OPTIONS_S& stOpts) : m_stOpts(stOpts)
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

bool ZozidServer::TakeCommand(Family* pstFam, U64 u64NowMs)
{
    if (LoadWord(pstFam->pu8Req, pstFam->u32Block) == ZOZID_NO_COMMAND &&
        semctl(pstFam->s32SemId, 0, GETVAL) == 1) {
        return false; /* nothing posted, nobody posting: semaphore 0 left alone */
    }
    if (SemOpNoWait(pstFam->s32SemId, 0, -1) != 0) {
        return true; /* a client is posting right now: next look */
    }
    const S32 s32Cmd = LoadWord(pstFam->pu8Req, pstFam->u32Block);
    if (s32Cmd == ZOZID_NO_COMMAND) {
        SemOpNoWait(pstFam->s32SemId, 0, +1);
        return false;
    }
    /* who posted, for the log: a CGI posts in its turn (semaphore 1) */
    const int s32Turn =
        semctl(pstFam->s32SemId, 1, GETVAL) == 0 ? semctl(pstFam->s32SemId, 1, GETPID) : 0;
    StoreWord(pstFam->pu8Req, pstFam->u32Block, ZOZID_NO_COMMAND);
    pstFam->bJob = true;
    pstFam->s32JobCmd = s32Cmd;
    pstFam->s32JobPid = s32Turn;
    pstFam->u8JobResolution = pstFam == &m_stBase ? pstFam->pu8Req[ZOZID_POSTED_RES_OFFSET] : 0;
    pstFam->u64DueMs = u64NowMs + m_stOpts.u32DelayMs;
    std::vector<U8> vecBlock;
    if (pstFam == &m_stBase && !m_stOpts.strDumpPosted.empty()) {
        vecBlock.assign(pstFam->pu8Req, pstFam->pu8Req + pstFam->u32Block);
    }
    SemOpNoWait(pstFam->s32SemId, 0, +1);
    if (!vecBlock.empty()) {
        WriteFileAtomic(m_stOpts.strDumpPosted, vecBlock.data(), vecBlock.size());
    }
    if (m_stOpts.bVerbose) {
        printf("zozid: waiter %d key %d command %d\n", s32Turn, (int)pstFam->s32KeyNo, (int)s32Cmd);
        fflush(stdout);
    }
    return true;
}

bool ZozidServer::WriteSnapshot(U8 u8Resolution)
{
    const std::string strPath = m_stOpts.strSnap + "/" + ZOZID_SNAP_NAME;
    if (m_stOpts.enFile == ZOZID_FILE_EMPTY || m_stOpts.s32EmptyAt == (S32)u8Resolution) {
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
    if (m_stOpts.bMarkImages) {
        std::vector<U8> vecMarked;
        MarkImage(m_vecCard, m_u32Snapshots + 1, u8Resolution, &vecMarked);
        return WriteFileAtomic(strPath, vecMarked.data(), vecMarked.size()) == 0;
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

bool ZozidServer::AnswerCommand(Family* pstFam)
{
    if (SemOpNoWait(pstFam->s32SemId, 0, -1) != 0) {
        return false; /* a client is posting: next look */
    }
    const U32 u32B = pstFam->u32Block;
    pstFam->bJob = false;
    if (LoadWord(pstFam->pu8Req, u32B) != ZOZID_NO_COMMAND) {
        /* posted over while served: its client has given up, the newer
         * command is taken next */
        SemOpNoWait(pstFam->s32SemId, 0, +1);
        if (m_stOpts.bVerbose) {
            printf("zozid: dropped %d command %d\n", pstFam->s32JobPid, (int)pstFam->s32JobCmd);
            fflush(stdout);
        }
        return true;
    }
    /* Every answered image gets its own file, renamed over whatever an earlier
     * request left there; nothing waits for that one to be removed. */
    if (pstFam == &m_stBase && pstFam->s32JobCmd == ZOZID_CMD_IMAGE &&
        m_stOpts.enFile != ZOZID_FILE_NONE && WriteSnapshot(pstFam->u8JobResolution)) {
        ++m_u32Snapshots;
    }
    if (m_stOpts.s32Answer != ZOZID_ANSWER_NONE) {
        const S32 s32Word = pstFam->s32JobCmd | m_stOpts.s32Answer;
        StoreWord(pstFam->pu8Check, u32B, s32Word);
        if (m_stOpts.bVerbose) {
            printf("zozid: answered %d with 0x%x\n", pstFam->s32JobPid, (unsigned)s32Word);
            fflush(stdout);
        }
    }
    SemOpNoWait(pstFam->s32SemId, 0, +1);
    return true;
}

bool ZozidServer::Poll(U64 u64NowMs)
{
    bool bBusy = false;
    for (Family* pstFam : {&m_stBase, &m_stOther}) {
        if (pstFam->s32SemId < 0) {
            continue;
        }
        if (!pstFam->bJob) {
            bBusy = TakeCommand(pstFam, u64NowMs) || bBusy;
        }
        if (pstFam->bJob && u64NowMs >= pstFam->u64DueMs) {
            AnswerCommand(pstFam);
        }
        bBusy = bBusy || pstFam->bJob;
    }
    return bBusy;
}

void ZozidServer::WaitForPost(U32 u32MaxUs)
{
    if (m_stBase.s32SemId < 0) {
        return;
    }
    if (!m_stBase.bJob && LoadWord(m_stBase.pu8Req, m_stBase.u32Block) != ZOZID_NO_COMMAND) {
        return; /* a post came while we were busy: take it now */
    }
    /* Semaphore 0 at 0: a client is posting. Once it is, wait for the post to
     * end by taking the semaphore (and giving it back at once). */
    if (SemOpTimed(m_stBase.s32SemId, 0, 0, u32MaxUs) == 0 &&
        SemOpTimed(m_stBase.s32SemId, 0, -1, u32MaxUs) == 0) {
        SemOpNoWait(m_stBase.s32SemId, 0, +1);
    }
}
