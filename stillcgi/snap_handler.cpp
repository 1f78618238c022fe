// SPDX-License-Identifier: MIT
/* snap_handler.cpp: the snapshot request handler. */
#include "snap_handler.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "cgic.h"
#include "config.h"
#include "debug_log.h"
#include "snap_guard.h"
#include "snap_handler_internal.h"

namespace {

/* CGI status lines: busybox httpd passes a reply on as "200 OK" unless its
 * very first line is a "Status: " header; other servers take the status
 * from that header wherever it stands. */
constexpr const S8* SNAP_STATUS_200 = "Status: 200 OK\r\n";
constexpr const S8* SNAP_STATUS_403 = "Status: 403 Forbidden\r\n";
constexpr const S8* SNAP_STATUS_400 = "Status: 400 Bad Request\r\n";
constexpr const S8* SNAP_STATUS_404 = "Status: 404 Not Found\r\n";
constexpr const S8* SNAP_METHOD_HEAD = "HEAD";

/* Bodies of the refusals: status texts kept from earlier clients, which
 * show or match them. */
constexpr const S8* SNAP_TEXT_403 = "HTTP/1.1 403 Forbidden\n";
constexpr const S8* SNAP_TEXT_404 = "HTTP/1.1 404 Not Found\n";
constexpr const S8* SNAP_TEXT_EMPTY = "HTTP/1.1 404 File Not Found\n";
constexpr const S8* SNAP_TEXT_RESOLUTION = "Unsupported Resolution\n";

/* Bounds the retries of a read or write that a signal interrupted. */
constexpr S32 SNAP_EINTR_RETRIES = 100;
constexpr size_t SNAP_HEAD_SIZE = 256; /* the image reply's head, whatever its length */

class UniqueFd {
public:
    explicit UniqueFd(int s32Fd = -1) noexcept : m_s32Fd(s32Fd) {}
    ~UniqueFd()
    {
        if (m_s32Fd >= 0) {
            close(m_s32Fd);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const noexcept { return m_s32Fd; }
    VOID Reset(int s32Fd) noexcept
    {
        if (m_s32Fd >= 0) {
            close(m_s32Fd);
        }
        m_s32Fd = s32Fd;
    }
    int Release() noexcept
    {
        const int s32Fd = m_s32Fd;
        m_s32Fd = -1;
        return s32Fd;
    }

private:
    int m_s32Fd;
};

/* Every reply says the connection ends with it: the web server runs one CGI
 * per connection and closes it afterwards, and an HTTP/1.1 client that was
 * not told so sends its next request into the closed socket. */
constexpr const S8* SNAP_CONNECTION_CLOSE = "Connection: close\r\n";

/* cgic's text/html header, which ends the head, behind the Connection line. */
VOID TextHead()
{
    fputs(SNAP_CONNECTION_CLOSE, cgiOut);
    cgiHeaderContentType("text/html");
}

/* A refusal: its status, the length of its text, cgic's header, then the
 * text, which a HEAD leaves out (its head stays that of the GET). The
 * length lets a client tell a whole refusal from a cut one under servers
 * that pass it on as it comes. */
VOID Refusal(const S8* ps8Status, const S8* ps8Text, BOOL bHead = false)
{
    fputs(ps8Status, cgiOut);
    fprintf(cgiOut, "Content-Length: %u\r\n", (unsigned)strlen(ps8Text));
    TextHead();
    if (!bHead) {
        fputs(ps8Text, cgiOut);
    }
}

VOID EmptyFileReply()
{
    Refusal(SNAP_STATUS_404, SNAP_TEXT_EMPTY);
}

VOID NotFoundReply()
{
    Refusal(SNAP_STATUS_404, SNAP_TEXT_404);
}

/* The head of the image reply, formatted into s8Head; s32Size < 0 leaves out
 * Content-Length (HEAD, where no file is fetched). Every line ends in CR LF:
 * strict HTTP parsers refuse bare line feeds. no-store, since every reply is
 * a new picture. return its length */
size_t ImageHead(S8 (&s8Head)[SNAP_HEAD_SIZE], S32 s32Size)
{
    S8 s8Length[32] = {0};
    if (s32Size >= 0) {
        snprintf(s8Length, sizeof(s8Length), "Content-Length: %d\r\n", s32Size);
    }
    const int s32Len = snprintf(s8Head, sizeof(s8Head),
                                "%sAccept-Ranges: bytes\r\n%s%s"
                                "Content-Type: image/jpeg\r\nCache-Control: no-store\r\n\r\n",
                                SNAP_STATUS_200, s8Length, SNAP_CONNECTION_CLOSE);
    return s32Len > 0 ? (size_t)s32Len : 0;
}

/* Writes the buffers whole to descriptor 1; false on an error or a closed
 * peer. */
BOOL WriteAll(struct iovec* pstVec, int s32Count)
{
    S32 s32Retries = 0;
    while (s32Count > 0) {
        const ssize_t s32Ret = writev(STDOUT_FILENO, pstVec, s32Count);
        if (s32Ret < 0) {
            if (errno == EINTR && ++s32Retries < SNAP_EINTR_RETRIES) {
                continue;
            }
            return false;
        }
        if (s32Ret == 0) {
            return false;
        }
        /* step over what went out: whole buffers, then into the next one */
        size_t u32Done = (size_t)s32Ret;
        while (s32Count > 0 && u32Done >= pstVec->iov_len) {
            u32Done -= pstVec->iov_len;
            ++pstVec;
            --s32Count;
        }
        if (s32Count > 0) {
            pstVec->iov_base = static_cast<U8*>(pstVec->iov_base) + u32Done;
            pstVec->iov_len -= u32Done;
        }
    }
    return true;
}

ssize_t ReadSome(int s32Fd, U8* pu8Buf, size_t u32Len)
{
    for (S32 i = 0; i < SNAP_EINTR_RETRIES; ++i) {
        const ssize_t s32Ret = read(s32Fd, pu8Buf, u32Len);
        if (s32Ret >= 0 || errno != EINTR) {
            return s32Ret;
        }
    }
    return -1;
}

/* The file's bytes after the head, at most u32Left of them, through a copy
 * buffer; ends early at end of file or on an error. */
VOID CopyToOutput(int s32Fd, size_t u32Left)
{
    U8 u8Buf[SNAP_COPY_BUF_SIZE];
    while (u32Left > 0) {
        /* Never more than announced in Content-Length. */
        const size_t u32Want = u32Left < sizeof(u8Buf) ? u32Left : sizeof(u8Buf);
        const ssize_t s32Read = ReadSome(s32Fd, u8Buf, u32Want);
        if (s32Read <= 0) {
            return;
        }
        struct iovec stVec = {u8Buf, (size_t)s32Read};
        if (!WriteAll(&stVec, 1)) {
            return;
        }
        u32Left -= (size_t)s32Read;
    }
}

/* The image reply on descriptor 1: the head, then at most s32Size bytes of
 * the file, ending early at end of file or on an error. The bytes go from
 * the file to the output inside the kernel (sendfile), without the copy
 * buffer's round trip and its pages; where the output does not take that,
 * through the copy buffer. Nothing goes through the stdio stream of the
 * other replies. */
VOID SendOpened(int s32Fd, S32 s32Size)
{
    S8 s8Head[SNAP_HEAD_SIZE];
    struct iovec stHead = {s8Head, ImageHead(s8Head, s32Size)};
    fflush(cgiOut); /* anything written there before stays in front */
    if (!WriteAll(&stHead, 1)) {
        return;
    }
    size_t u32Left = (size_t)s32Size;
    for (S32 s32Retries = 0; u32Left > 0;) {
        const ssize_t s32Sent = sendfile(STDOUT_FILENO, s32Fd, nullptr, u32Left);
        if (s32Sent > 0) {
            u32Left -= (size_t)s32Sent;
            continue;
        }
        const int s32Err = s32Sent < 0 ? errno : 0;
        if (s32Err == EINTR && ++s32Retries < SNAP_EINTR_RETRIES) {
            continue;
        }
        if ((s32Err == EINVAL || s32Err == ENOSYS) && u32Left == (size_t)s32Size) {
            CopyToOutput(s32Fd, u32Left); /* an output sendfile cannot write to */
        }
        return; /* end of file, a closed peer or another error */
    }
}

/* A readable regular file at the path, opened; -1 otherwise. Non-blocking,
 * so a FIFO put there cannot hold the request; a symbolic link is not
 * followed, so what is sent is zozid's own file, never one a link names. */
int OpenRegular(const S8* ps8Path)
{
    UniqueFd stFd(open(ps8Path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    if (stFd.Get() < 0) {
        return -1;
    }
    struct stat stSt;
    if (fstat(stFd.Get(), &stSt) != 0 || !S_ISREG(stSt.st_mode)) {
        return -1;
    }
    return stFd.Release();
}

VOID FileWaitPause()
{
    struct timespec stPause = {0, (long)SNAP_FILE_SLEEP_US * 1000L};
    nanosleep(&stPause, nullptr);
}

S32 HexDigit(S8 s8Char)
{
    if (s8Char >= '0' && s8Char <= '9') {
        return s8Char - '0';
    }
    if (s8Char >= 'a' && s8Char <= 'f') {
        return s8Char - 'a' + 10;
    }
    if (s8Char >= 'A' && s8Char <= 'F') {
        return s8Char - 'A' + 10;
    }
    return -1;
}

/* The user check on the query's "user" and "psw": first as written, which
 * every existing client relies on; then, only if that finds no account,
 * percent-decoded, since a client that follows URL rules must escape "&",
 * "#", "+", "%" and blanks in a password. */
S32 CheckQueryUser(const S8* ps8Query, const S8* ps8CheckKey)
{
    S8 s8User[CFG_PARAM_TEXT_SIZE] = {0};
    S8 s8Passwd[CFG_PARAM_TEXT_SIZE] = {0};
    GetStrParamValue(ps8Query, "user", s8User, sizeof(s8User));
    GetStrParamValue(ps8Query, "psw", s8Passwd, sizeof(s8Passwd));
    if (SnapCheckUserAndPrivilege(s8User, s8Passwd, ps8CheckKey) == 0) {
        return 0;
    }
    /* Room for every escaped form of a full field and one byte more, so a
     * value cut here always decodes to more than a field holds. */
    S8 s8RawUser[SNAP_ENCODED_TEXT_SIZE] = {0};
    S8 s8RawPasswd[SNAP_ENCODED_TEXT_SIZE] = {0};
    GetStrParamValue(ps8Query, "user", s8RawUser, sizeof(s8RawUser));
    GetStrParamValue(ps8Query, "psw", s8RawPasswd, sizeof(s8RawPasswd));
    if (strpbrk(s8RawUser, "%+") == nullptr && strpbrk(s8RawPasswd, "%+") == nullptr) {
        return -1; /* decoding changes nothing: already refused */
    }
    S8 s8DecUser[CFG_USER_FIELD_SIZE + 1] = {0};
    S8 s8DecPasswd[CFG_USER_FIELD_SIZE + 1] = {0};
    if (SnapUrlDecode(s8RawUser, s8DecUser, sizeof(s8DecUser)) < 0 ||
        SnapUrlDecode(s8RawPasswd, s8DecPasswd, sizeof(s8DecPasswd)) < 0) {
        return -1;
    }
    return SnapCheckUserAndPrivilege(s8DecUser, s8DecPasswd, ps8CheckKey);
}

/* At least one account in the user table. */
BOOL UserTableInUse(const S8* ps8CheckKey)
{
    U8 u8Table[CFG_USER_TABLE_SIZE] = {0};
    GetUserTable(u8Table, ps8CheckKey);
    for (U32 i = 0; i < CFG_USER_COUNT; ++i) {
        if (u8Table[i * CFG_USER_ENTRY_SIZE] != 0) {
            return true;
        }
    }
    return false;
}

/* A refused request that may have guessed: it named a user and a password
 * (without either nothing is tried), and the user table held an account
 * (with none, zozid is not up yet or was restarting, and every request is
 * refused anyway). */
BOOL WasGuess(const S8* ps8Query, const S8* ps8CheckKey)
{
    S8 s8Value[2] = {0};
    if (GetStrParamValue(ps8Query, "user", s8Value, sizeof(s8Value)) != 0 || s8Value[0] == '\0') {
        return false;
    }
    s8Value[0] = '\0';
    if (GetStrParamValue(ps8Query, "psw", s8Value, sizeof(s8Value)) != 0 || s8Value[0] == '\0') {
        return false;
    }
    return UserTableInUse(ps8CheckKey);
}

/* The file wait, run at the end of the answer's wait (in the request's turn). */
typedef struct {
    const S8* ps8Path;
    S32 s32Fd;
    BOOL bDone;
} SNAP_TAKE_S;

VOID TakeStep(S32 /*s32Result*/, const CFG_TURN_S* pstTurn, VOID* pCtx)
{
    SNAP_TAKE_S* pstTake = static_cast<SNAP_TAKE_S*>(pCtx);
    pstTake->s32Fd = SnapTakeFile(pstTake->ps8Path, pstTurn);
    pstTake->bDone = true;
}

}  // namespace

S32 SnapCheckUserAndPrivilege(const S8* ps8User, const S8* ps8Passwd, const S8* ps8CheckKey)
{
    /* only the table of the other block: a missing segment leaves it zeroed,
     * so no entry is in use */
    U8 u8Table[CFG_USER_TABLE_SIZE] = {0};
    GetUserTable(u8Table, ps8CheckKey);
    if (ps8User == nullptr || ps8Passwd == nullptr || ps8User[0] == '\0' || ps8Passwd[0] == '\0') {
        return -1;
    }
    const size_t u32UserLen = strlen(ps8User);
    const size_t u32PasswdLen = strlen(ps8Passwd);
    for (U32 i = 0; i < CFG_USER_COUNT; ++i) {
        CFG_USER_ENTRY_S stEntry;
        memcpy(&stEntry, u8Table + i * CFG_USER_ENTRY_SIZE, sizeof(stEntry));
        if (stEntry.u8InUse == 0) {
            continue;
        }
        /* Whole-text, case-sensitive; a field is its text up to the first
         * zero byte or its end, never beyond. */
        const size_t u32NameLen = strnlen(stEntry.s8UserName, sizeof(stEntry.s8UserName));
        const size_t u32PwLen = strnlen(stEntry.s8Password, sizeof(stEntry.s8Password));
        if (u32NameLen == u32UserLen && u32PwLen == u32PasswdLen &&
            memcmp(stEntry.s8UserName, ps8User, u32NameLen) == 0 &&
            memcmp(stEntry.s8Password, ps8Passwd, u32PwLen) == 0) {
            return 0;
        }
    }
    return -1;
}

S32 IsSupportedResolution(const U8* pu8Area, S32 s32Index)
{
    if (s32Index <= SNAP_RES_ALWAYS_MAX) {
        return 1;
    }
    if (s32Index >= SNAP_RES_LIMIT || pu8Area == nullptr) {
        return 0;
    }
    const U32 u32Mask = (U32)pu8Area[SNAP_CAPS_LO_OFFSET - SNAP_RES_AREA_OFFSET] |
                        ((U32)pu8Area[SNAP_CAPS_HI_OFFSET - SNAP_RES_AREA_OFFSET] << 8);
    return (u32Mask >> s32Index) & 1U ? 1 : 0;
}

S32 getfileinfo(const S8* ps8Path, time_t* ptMtime)
{
    struct stat stSt;
    if (ps8Path == nullptr || stat(ps8Path, &stSt) != 0 || stSt.st_size > INT32_MAX) {
        /* Standard error: on standard output it would stand before any header. */
        LogServerLine("Failed to get stat from file: %s", ps8Path != nullptr ? ps8Path : "");
        return -1;
    }
    if (ptMtime != nullptr) {
        *ptMtime = stSt.st_mtime;
    }
    return (S32)stSt.st_size;
}

S32 flushimage(const S8* ps8Path)
{
    if (getfileinfo(ps8Path, nullptr) < 0) {
        return -1;
    }
    const UniqueFd stFd(open(ps8Path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (stFd.Get() < 0) {
        /* Seen a moment ago, gone now: a reply all the same, never an empty 200. */
        NotFoundReply();
        return -1;
    }
    return SnapSendImage(stFd.Get());
}

S32 SnapSendImage(S32 s32Fd)
{
    struct stat stSt;
    if (fstat(s32Fd, &stSt) != 0 || stSt.st_size > INT32_MAX) {
        NotFoundReply();
        return -1;
    }
    if (stSt.st_size == 0) {
        EmptyFileReply();
        return -1;
    }
    SendOpened(s32Fd, (S32)stSt.st_size);
    return 0;
}

S32 SnapTakeFile(const S8* ps8Path, const CFG_TURN_S* pstTurn)
{
    if (ps8Path == nullptr) {
        return -1;
    }
    UniqueFd stFd;
    /* Only a failed check pauses. After the last pause comes one more check,
     * so a file written during it is still found. */
    for (S32 i = 0; i <= SNAP_FILE_CHECKS && stFd.Get() < 0; ++i) {
        if (!ExchangeTurnHeld(pstTurn)) {
            return -1;
        }
        stFd.Reset(OpenRegular(ps8Path));
        if (stFd.Get() < 0 && i < SNAP_FILE_CHECKS) {
            FileWaitPause();
        }
    }
    /* Checked again after the open: a zozid started meanwhile may have put
     * its own request's file there. */
    if (stFd.Get() < 0 || !ExchangeTurnHeld(pstTurn)) {
        return -1;
    }
    /* Ours from here on: no later request can find it, remove it or see it
     * replaced while it is sent. Only the file opened is removed; if zozid has
     * already put a newer one in its place, that one is left for its request.
     * (The check and the unlink are two steps. On the usual road this runs
     * in our turn, and zozid writes a snapshot only for the command of the
     * turn's holder.) */
    struct stat stOpened;
    struct stat stNamed;
    if (fstat(stFd.Get(), &stOpened) == 0 && stat(ps8Path, &stNamed) == 0 &&
        stOpened.st_dev == stNamed.st_dev && stOpened.st_ino == stNamed.st_ino) {
        unlink(ps8Path);
    }
    return stFd.Release();
}

S32 SnapUrlDecode(const S8* ps8Src, S8* ps8Dst, U32 u32DstSize)
{
    if (ps8Src == nullptr || ps8Dst == nullptr || u32DstSize == 0) {
        return -1;
    }
    U32 u32Len = 0;
    for (const S8* p = ps8Src; *p != '\0'; ++p) {
        S32 s32Byte = (U8)*p;
        if (*p == '+') {
            s32Byte = ' ';
        } else if (*p == '%') {
            const S32 s32Hi = HexDigit(p[1]);
            const S32 s32Lo = s32Hi < 0 ? -1 : HexDigit(p[2]);
            if (s32Lo < 0) {
                ps8Dst[0] = '\0';
                return -1;
            }
            s32Byte = s32Hi * 16 + s32Lo;
            p += 2;
        }
        /* A zero byte would end the text early and let a prefix pass. */
        if (s32Byte == 0 || u32Len + 1 >= u32DstSize) {
            ps8Dst[0] = '\0';
            return -1;
        }
        ps8Dst[u32Len++] = (S8)s32Byte;
    }
    ps8Dst[u32Len] = '\0';
    return (S32)u32Len;
}

VOID filenotfound()
{
    fputs(SNAP_TEXT_404, cgiOut);
}

VOID ErrorForbid()
{
    fputs(SNAP_TEXT_403, cgiOut);
}

VOID ErrorTimeOut()
{
    fprintf(cgiOut, "HTTP/1.1 408 Request Timeout\n");
}

S32 SnapServeRequest(const S8* ps8Query, const SNAP_PATHS_S& stPaths, const S8* ps8Method,
                     const S8* ps8RemoteAddr)
{
    const BOOL bHead = ps8Method != nullptr && strcmp(ps8Method, SNAP_METHOD_HEAD) == 0;
    S32 s32Mode = -1;
    S32 s32Reason = -1;
    S32 s32Res = -1;
    U8 u8Block[CFG_BASE_BLOCK_SIZE] = {0};

    GetBaseParam(u8Block, stPaths.ps8CheckKey);

    GetIntParamValue(ps8Query, "mode", &s32Mode);
    GetIntParamValue(ps8Query, "resolution", &s32Res);

    SNAP_GUARD_S stGuard = {stPaths.ps8GuardFile, false};
    if (SnapGuardLocked(&stGuard, ps8RemoteAddr, SNAP_GUARD_NOW)) {
        /* guessing from this address: refused without a look at the password */
        Refusal(SNAP_STATUS_403, SNAP_TEXT_403, bHead);
        return -1;
    }
    if (CheckQueryUser(ps8Query, stPaths.ps8CheckKey) != 0) {
        if (WasGuess(ps8Query, stPaths.ps8CheckKey)) {
            SnapGuardFailed(&stGuard, ps8RemoteAddr, SnapGuardNowMs());
        }
        Refusal(SNAP_STATUS_403, SNAP_TEXT_403, bHead);
        return -1;
    }
    if (IsSupportedResolution(u8Block + SNAP_RES_AREA_OFFSET, s32Res) == 0) {
        Refusal(SNAP_STATUS_400, SNAP_TEXT_RESOLUTION, bHead);
        return -1;
    }
    if (s32Res < 0) {
        s32Res = u8Block[SNAP_CUR_RES_OFFSET];
    }
    u8Block[SNAP_REQ_RES_OFFSET] = (U8)(s32Res & 0xFF);

    if (s32Mode == SNAP_MODE_CAPTURE) {
        if (bHead) {
            /* Asking about the reply must not take a picture on the device. */
            TextHead();
            return 0;
        }
        GetIntParamValue(ps8Query, "reason", &s32Reason);
        if (s32Reason < 0) {
            s32Reason = 0;
        }
        u8Block[SNAP_REASON_OFFSET] = (U8)(s32Reason & 0xFF);
        /* -2 (no turn), -1 (not posted) and 0 (zozid's failure answer) fail;
         * done, the 0x600 answer and no answer in time are all "ok". */
        const S32 s32Wait =
            ExchangeBaseParam(u8Block, SNAP_CMD_CAPTURE, SNAP_POLL_BUDGET, nullptr, nullptr,
                              stPaths.ps8RequestKey, stPaths.ps8CheckKey, stPaths.ps8RunKey);
        TextHead();
        fputs(s32Wait > 0 ? "snap ok\n" : "snap fail\n", cgiOut);
        return 0;
    }

    if (bHead) {
        /* No snapshot is asked for, so its size is not known. */
        S8 s8Head[SNAP_HEAD_SIZE];
        fwrite(s8Head, 1, ImageHead(s8Head, -1), cgiOut);
        return 0;
    }
    /* The file is taken inside the request's turn: zozid answers this
     * request's command, so the file there is the one written for it, and
     * no other request can post, or take it, first. When nothing could be
     * posted the step still looks for a file, as before posting failed. */
    SNAP_TAKE_S stTake = {stPaths.ps8SnapFile, -1, false};
    const S32 s32Wait =
        ExchangeBaseParam(u8Block, SNAP_CMD_IMAGE, SNAP_POLL_BUDGET, TakeStep, &stTake,
                          stPaths.ps8RequestKey, stPaths.ps8CheckKey, stPaths.ps8RunKey);
    if (s32Wait == CFG_EXCHANGE_NO_TURN) {
        /* the turn did not come within its bound: nothing was asked for, and
         * any file there belongs to the request whose turn it is */
        NotFoundReply();
        return -1;
    }
    const UniqueFd stFd(stTake.s32Fd);
    if (stFd.Get() < 0) {
        NotFoundReply();
        return -1;
    }
    SnapSendImage(stFd.Get());
    return 0;
}

int cgiMain()
{
    /* A client that went away must end the copy, not the process. */
    signal(SIGPIPE, SIG_IGN);
    return SnapServeRequest(cgiQueryString, SNAP_DEFAULT_PATHS, cgiRequestMethod, cgiRemoteAddr);
}
