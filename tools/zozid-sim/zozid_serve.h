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
 * How commands are taken. A client posts under semaphore 0: the block, the
 * command word, then -1 into the update-state word. Like a main application
 * that reacts to the request slot itself, the stand-in takes the command
 * word whenever it finds one (under semaphore 0, which it never holds for
 * longer than one look), notes the block and clears the word to 0, so a
 * command is taken once. It then answers that command: the snapshot first,
 * for an image, then the answer in the update-state word, both under
 * semaphore 0 and only if no newer post came meanwhile (a newer post means
 * the client of this one has given up; the newer one is taken next). It does
 * not look at who waits: the CGI keeps its post, its wait and its pick-up in
 * one turn (semaphore 1), so the answer in the word is its own.
 *
 * Two paces: by default it looks at the request slots every --poll-us
 * (150 us) while clients come, every 5 ms after a quarter of a second
 * without any; with --fast it sleeps in the kernel until a client takes
 * semaphore 0 to post, and takes the command as soon as the post is done, as
 * a main application may.
 *
 * Snapshots. For an image command the snapshot is written whole under a
 * temporary name and renamed to snap.jpg before the answer goes into the
 * word, once per answer, over whatever file is there: a request that died
 * before taking its file leaves it for the next answer to replace. Nothing
 * here waits for a client to remove the last snapshot. While the card is
 * current, every snapshot is a new link to the same card file, so two of
 * them share an inode; with --mark-images each snapshot is written on its
 * own instead and carries a comment "zozid snapshot N resolution R" right
 * behind the start-of-image marker (N counts from 1), so a test can tell
 * every reply's picture and the resolution it was asked for.
 *
 * What this assumes of the real main application, which keeps the same
 * contract (segments, semaphores, command codes, the one path):
 *  - it answers a posted command once, after writing its snapshot, and the
 *    path never names a half-written file (write, then rename);
 *  - the file is complete when the answer is written, or follows it within
 *    the CGI's file wait (5 checks, 200 ms apart).
 * It need not know who waits, and need not wait for anything after
 * answering: a file written for a request that left without it stays until
 * the next answer's file replaces it.
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
constexpr U32 ZOZID_RESOLUTION_OFFSET = 1404; /* base block: current resolution index */
constexpr U32 ZOZID_CAPS_OFFSET = 1405;       /* base block: capability mask, LE 16 bit */
constexpr U32 ZOZID_POSTED_RES_OFFSET = 2933; /* posted base block: requested index */
constexpr U32 ZOZID_USER_TABLE_OFFSET = 2080; /* other block: 30 entries */
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
constexpr S32 ZOZID_NO_COMMAND = 0; /* the command word once a command was taken */
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
    /* one look at both families: takes a posted command, answers one that is
     * due; never blocks.
     * return true while a command is being posted or served */
    bool Poll(U64 u64NowMs);
    /* sleeps until a client has posted to the base family (it took
     * semaphore 0 and gave it back), at most about twice u32MaxUs; a signal
     * ends it early. For the fast pace. */
    void WaitForPost(U32 u32MaxUs);
    /* removes the IPC objects and the key files this process created */
    void Shutdown();
    /* snapshots written so far (for the log) */
    U32 SnapshotCount() const { return m_u32Snapshots; }

private:
    struct Family {
        S32 s32KeyNo;
        U32 u32Block;
        S32 s32CheckId = -1;
        S32 s32ReqId = -1;
        S32 s32SemId = -1;
        U8* pu8Check = nullptr;
        U8* pu8Req = nullptr;
        /* the command taken and not yet answered */
        bool bJob = false;
        S32 s32JobCmd = 0;
        S32 s32JobPid = 0; /* its client, for the log */
        U8 u8JobResolution = 0;
        U64 u64DueMs = 0;
    };

    int SetupFamily(Family* pstFam, const std::vector<U8>& vecBlock);
    bool TakeCommand(Family* pstFam, U64 u64NowMs);
    bool AnswerCommand(Family* pstFam);
    bool WriteSnapshot(U8 u8Resolution);

    ZOZID_OPTIONS_S m_stOpts;
    Family m_stBase;
    Family m_stOther;
    std::vector<std::string> m_vecCreatedFiles;
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
