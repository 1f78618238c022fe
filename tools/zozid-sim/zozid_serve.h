// SPDX-License-Identifier: MIT
/* zozid_serve.h: the System V side of the stand-in: key files, the check and
 * request segments and the run semaphore set of both families, the published
 * blocks, and the answers to posted commands.
 *
 *   ZozidServer stSrv(stOpts);
 *   if (stSrv.Setup() != 0) return 1;
 *   while (!bStop) { stSrv.Poll(NowMs()); usleep(stOpts.u32PollUs); }
 *   stSrv.Shutdown();
 *
 * How a waiter is found. A client posts under semaphore 0 (block, command
 * word, then -1 into the update-state word) and then waits under semaphore 1,
 * polling the update-state word. Several clients share that one word, and a
 * post overwrites an answer not yet read, so answers are given per *waiter*,
 * not per post:
 *  - the holder of semaphore 1 (its value 0; GETPID names the holder) is the
 *    one client that reads the word; it gets exactly one answer (and, for an
 *    image, one fresh snapshot) however many posts came in meanwhile;
 *  - posts are taken under semaphore 0 (non-blocking) whenever its last user
 *    was not us, so we know which process posted which command; a holder whose
 *    post we missed is answered for the current command word;
 *  - the answer is written while we hold semaphore 0, and we keep it until
 *    the waiter has read the answer (it puts -1 back) or has gone: no post can
 *    put -1 over an answer not yet read, and a -1 seen then is the waiter's.
 *    Posters block on semaphore 0 for that short while (one poll of the waiter).
 * Waiters queue on semaphore 1, so every client gets its answer in turn.
 *
 * Snapshots. For an image command the snapshot is written whole under a
 * temporary name and renamed to snap.jpg before the answer goes into the
 * word, once per answer, over whatever file is there: a request that died
 * before taking its file leaves it for the next answer to replace. Nothing
 * here waits for a client to remove the last snapshot (it once had to, when
 * clients sent the file from the shared path after giving up semaphore 1 and
 * a newer file could be removed or replaced under them); the CGI now takes
 * the file off the path while it still holds semaphore 1. While the card is
 * current, every snapshot is a new link to the same card file, so two of
 * them share an inode: unlike a real application's files, a client comparing
 * inodes cannot tell them apart (it matters only to a client that takes the
 * file without holding semaphore 1, after its post or wait failed).
 *
 * What this assumes of the real main application, which keeps the same
 * contract (segments, semaphores, command codes, the one path):
 *  - it answers the waiter that holds semaphore 1 and writes the snapshot for
 *    that answer, not for some later one, so the file found while holding the
 *    semaphore is this waiter's;
 *  - the path never names a half-written file (write, then rename), and the
 *    file is complete when the answer is written, or follows it within the
 *    CGI's file wait (5 checks, 200 ms apart), while that waiter still holds
 *    semaphore 1.
 * It need not wait for anything after answering: a file written for a waiter
 * that left without it stays until the next answer's file replaces it.
 */
#ifndef ZOZID_SERVE_H
#define ZOZID_SERVE_H

#include <string>
#include <vector>

#include "type.h"
#include "zozid_opts.h"

constexpr S32 ZOZID_BASE_KEY_NO = 10;
constexpr S32 ZOZID_OTHER_KEY_NO = 11;
constexpr U32 ZOZID_BASE_BLOCK_SIZE = 4248;
constexpr U32 ZOZID_OTHER_BLOCK_SIZE = 4312;
constexpr U32 ZOZID_RESOLUTION_OFFSET = 1404;  /* base block: current resolution index */
constexpr U32 ZOZID_CAPS_OFFSET = 1405;        /* base block: capability mask, LE 16 bit */
constexpr U32 ZOZID_POSTED_RES_OFFSET = 2933;  /* posted base block: requested index */
constexpr U32 ZOZID_USER_TABLE_OFFSET = 2080;  /* other block: 30 entries */
constexpr U32 ZOZID_USER_ENTRY_SIZE = 36;
/* One entry of the user table. */
#pragma pack(push, 1)
typedef struct {
    U8 u8InUse; /* 0 = free slot */
    U8 u8Privilege;
    U8 u8Reserved[2];
    S8 s8UserName[ZOZID_USER_TEXT_LEN]; /* zero-padded, no terminator when full */
    S8 s8Password[ZOZID_USER_TEXT_LEN]; /* zero-padded, no terminator when full */
} ZOZID_USER_ENTRY_S;
#pragma pack(pop)
static_assert(sizeof(ZOZID_USER_ENTRY_S) == ZOZID_USER_ENTRY_SIZE, "a user entry is 36 bytes");
constexpr S32 ZOZID_CMD_IMAGE = 36;
constexpr S32 ZOZID_CMD_CAPTURE = 37;
constexpr const char* ZOZID_SNAP_NAME = "snap.jpg";
/* The encoded card, kept beside the snapshot: each snapshot is a new hard
 * link to it, so a request costs no 100 KB write while the card is current. */
constexpr const char* ZOZID_CARD_NAME = ".snap-card.jpg";

/* FillBaseBlock / FillOtherBlock: the blocks as published at start-up. */
void FillBaseBlock(const ZOZID_OPTIONS_S& stOpts, std::vector<U8>* pvecBlock);
void FillOtherBlock(const ZOZID_OPTIONS_S& stOpts, std::vector<U8>* pvecBlock);

class ZozidServer {
public:
    explicit ZozidServer(const ZOZID_OPTIONS_S& stOpts);
    ~ZozidServer() noexcept;
    ZozidServer(const ZozidServer&) = delete;
    ZozidServer& operator=(const ZozidServer&) = delete;

    /* creates key files (when missing) and all IPC objects, publishes the blocks.
     * return 0, or -1 (reason on stderr; what was created is removed again) */
    int Setup();
    /* one look at both families; never blocks.
     * return true while a client is posting, waiting or being answered */
    bool Poll(U64 u64NowMs);
    /* removes the IPC objects and the key files this process created */
    void Shutdown();
    /* snapshots written so far (for the log) */
    U32 SnapshotCount() const { return m_u32Snapshots; }

private:
    struct PostRec {
        S32 s32Pid;
        S32 s32Cmd;
        U32 u32Serial;
        U8 u8Resolution;
    };
    struct Family {
        S32 s32KeyNo;
        U32 u32Block;
        S32 s32CheckId = -1;
        S32 s32ReqId = -1;
        S32 s32SemId = -1;
        U8* pu8Check = nullptr;
        U8* pu8Req = nullptr;
        PostRec astPosts[64] = {};
        U32 u32NextPost = 0;
        U32 u32PostSerial = 0;
        /* the waiter being served */
        bool bJob = false;
        S32 s32JobPid = 0;
        U32 u32JobSerial = 0;
        S32 s32JobCmd = 0;
        U8 u8JobResolution = 0;
        U64 u64DueMs = 0;
        bool bAnswered = false;
        S32 s32AnswerWord = 0;
        bool bHoldPost = false;    /* we hold semaphore 0 until the answer is read */
        U64 u64HoldUntilMs = 0;
    };

    int SetupFamily(Family* pstFam, const std::vector<U8>& vecBlock);
    bool TakePost(Family* pstFam);
    void Serve(Family* pstFam, U64 u64NowMs);
    void ReleaseHold(Family* pstFam);
    bool WriteSnapshot(U8 u8Resolution);
    const PostRec* FindPost(const Family& stFam, S32 s32Pid) const;

    ZOZID_OPTIONS_S m_stOpts;
    Family m_stBase;
    Family m_stOther;
    std::vector<std::string> m_vecCreatedFiles;
    S32 m_s32SelfPid;
    U32 m_u32Snapshots = 0;
    /* encoded card kept for the second it shows, so a burst of requests
     * costs one encoding */
    std::vector<U8> m_vecCard;
    std::string m_strCardStamp;
    U8 m_u8CardResolution = 0xFF;
    bool m_bCardFile = false; /* the card is on disk under ZOZID_CARD_NAME */
    std::string CardPath() const { return m_stOpts.strSnap + "/" + ZOZID_CARD_NAME; }
};

#endif /* ZOZID_SERVE_H */
