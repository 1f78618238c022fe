/* snap_handler.cpp: the snapshot request handler. */
#include "snap_handler.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cgic.h"
#include "config.h"
#include "snap_handler_internal.h"

namespace {

/* CGI status lines: busybox httpd passes a reply on as "200 OK" unless its
 * very first line is a "Status: " header. */
constexpr const S8* SNAP_STATUS_403 = "Status: 403 Forbidden\r\n";
constexpr const S8* SNAP_STATUS_400 = "Status: 400 Bad Request\r\n";
constexpr const S8* SNAP_STATUS_404 = "Status: 404 Not Found\r\n";

/* Bounds the retries of a read or write that a signal interrupted. */
constexpr S32 SNAP_EINTR_RETRIES = 100;

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

private:
    int m_s32Fd;
};

VOID RefusalHead(const S8* ps8Status)
{
    fputs(ps8Status, cgiOut);
    cgiHeaderContentType("text/html");
}

/* Writes all u32Len bytes to descriptor 1; false on an error or a closed peer. */
BOOL WriteAll(const U8* pu8Buf, size_t u32Len)
{
    size_t u32Done = 0;
    S32 s32Retries = 0;
    while (u32Done < u32Len) {
        const ssize_t s32Ret = write(STDOUT_FILENO, pu8Buf + u32Done, u32Len - u32Done);
        if (s32Ret < 0) {
            if (errno == EINTR && ++s32Retries < SNAP_EINTR_RETRIES) {
                continue;
            }
            return false;
        }
        if (s32Ret == 0) {
            return false;
        }
        u32Done += (size_t)s32Ret;
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

/* Copies at most u32Size bytes of the file to descriptor 1; ends early at end
 * of file or on an error. */
VOID CopyToOutput(int s32Fd, S32 s32Size)
{
    U8 u8Buf[SNAP_COPY_BUF_SIZE];
    size_t u32Left = (size_t)s32Size;
    while (u32Left > 0) {
        /* Never more than announced in Content-Length. */
        const size_t u32Want = u32Left < sizeof(u8Buf) ? u32Left : sizeof(u8Buf);
        const ssize_t s32Read = ReadSome(s32Fd, u8Buf, u32Want);
        if (s32Read <= 0) {
            return;
        }
        if (!WriteAll(u8Buf, (size_t)s32Read)) {
            return;
        }
        u32Left -= (size_t)s32Read;
    }
}

BOOL Readable(const S8* ps8Path) { return access(ps8Path, R_OK) == 0; }

VOID FileWaitPause()
{
    struct timespec stPause = {0, (long)SNAP_FILE_SLEEP_US * 1000L};
    nanosleep(&stPause, nullptr);
}

} // namespace

S32 SnapCheckUserAndPrivilege(const S8* ps8User, const S8* ps8Passwd, const S8* ps8CheckKey)
{
    U8 u8Block[CFG_OTHER_BLOCK_SIZE] = {0};
    GetBaseOtherParam(u8Block, ps8CheckKey);
    if (ps8User == nullptr || ps8Passwd == nullptr || ps8User[0] == '\0' || ps8Passwd[0] == '\0') {
        return -1;
    }
    const size_t u32UserLen = strlen(ps8User);
    const size_t u32PasswdLen = strlen(ps8Passwd);
    for (U32 i = 0; i < CFG_USER_COUNT; ++i) {
        CFG_USER_ENTRY_S stEntry;
        memcpy(&stEntry, u8Block + CFG_USER_TABLE_OFFSET + i * CFG_USER_ENTRY_SIZE,
               sizeof(stEntry));
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
        /* Standard error: this happens when a concurrent request removed the
         * file, and on standard output it would stand before any header. */
        fprintf(stderr, "Failed to get stat from file: %s", ps8Path != nullptr ? ps8Path : "");
        return -1;
    }
    if (ptMtime != nullptr) {
        *ptMtime = stSt.st_mtime;
    }
    return (S32)stSt.st_size;
}

S32 flushimage(const S8* ps8Path)
{
    time_t tMtime = 0;
    const S32 s32Size = getfileinfo(ps8Path, &tMtime);
    if (s32Size < 0) {
        return -1;
    }
    if (s32Size == 0) {
        RefusalHead(SNAP_STATUS_404);
        fprintf(cgiOut, "HTTP/1.1 404 File Not Found\n");
        return -1;
    }
    const UniqueFd stFd(open(ps8Path, O_RDONLY));
    if (stFd.Get() < 0) {
        return -1;
    }
    fprintf(cgiOut, "HTTP/1.1 200 OK\n");
    fprintf(cgiOut, "Accept-Ranges: bytes\n");
    fprintf(cgiOut, "Content-Length: %d\n", s32Size);
    fprintf(cgiOut, "Connection: close\n");
    fprintf(cgiOut, "Content-Type: image/jpeg\n\n");
    /* The raw bytes go to descriptor 1 behind the stream's buffer. */
    fflush(cgiOut);
    fflush(stdout);
    CopyToOutput(stFd.Get(), s32Size);
    return 0;
}

VOID filenotfound() { fprintf(cgiOut, "HTTP/1.1 404 Not Found\n"); }

VOID ErrorForbid() { fprintf(cgiOut, "HTTP/1.1 403 Forbidden\n"); }

VOID ErrorTimeOut() { fprintf(cgiOut, "HTTP/1.1 408 Request Timeout\n"); }

S32 SnapServeRequest(const S8* ps8Query, const SNAP_PATHS_S& stPaths)
{
    S32 s32Mode = -1;
    S32 s32Reason = -1;
    S32 s32Res = -1;
    S8 s8User[CFG_PARAM_TEXT_SIZE] = {0};
    S8 s8Passwd[CFG_PARAM_TEXT_SIZE] = {0};
    U8 u8Block[CFG_BASE_BLOCK_SIZE] = {0};

    GetBaseParam(u8Block, stPaths.ps8CheckKey);

    GetStrParamValue(ps8Query, "user", s8User, sizeof(s8User));
    GetStrParamValue(ps8Query, "psw", s8Passwd, sizeof(s8Passwd));
    GetIntParamValue(ps8Query, "mode", &s32Mode);
    GetIntParamValue(ps8Query, "resolution", &s32Res);

    if (SnapCheckUserAndPrivilege(s8User, s8Passwd, stPaths.ps8CheckKey) != 0) {
        RefusalHead(SNAP_STATUS_403);
        ErrorForbid();
        return -1;
    }
    if (IsSupportedResolution(u8Block + SNAP_RES_AREA_OFFSET, s32Res) == 0) {
        RefusalHead(SNAP_STATUS_400);
        fprintf(cgiOut, "Unsupported Resolution\n");
        return -1;
    }
    if (s32Res < 0) {
        s32Res = u8Block[SNAP_CUR_RES_OFFSET];
    }
    u8Block[SNAP_REQ_RES_OFFSET] = (U8)(s32Res & 0xFF);

    if (s32Mode == SNAP_MODE_CAPTURE) {
        GetIntParamValue(ps8Query, "reason", &s32Reason);
        if (s32Reason < 0) {
            s32Reason = 0;
        }
        u8Block[SNAP_REASON_OFFSET] = (U8)(s32Reason & 0xFF);
        const S32 s32Post = SetBaseParam(u8Block, SNAP_CMD_CAPTURE, stPaths.ps8RequestKey,
                                         stPaths.ps8CheckKey, stPaths.ps8RunKey);
        S32 s32Wait = 0;
        if (s32Post == 0) {
            s32Wait = CheckShmUpdateState(SNAP_CMD_CAPTURE, SNAP_POLL_BUDGET,
                                          stPaths.ps8CheckKey, stPaths.ps8RunKey);
        }
        cgiHeaderContentType("text/html");
        fputs((s32Post == 0 && s32Wait != 0) ? "snap ok\n" : "snap fail\n", cgiOut);
        return 0;
    }

    if (SetBaseParam(u8Block, SNAP_CMD_IMAGE, stPaths.ps8RequestKey, stPaths.ps8CheckKey,
                     stPaths.ps8RunKey) == 0) {
        CheckShmUpdateState(SNAP_CMD_IMAGE, SNAP_POLL_BUDGET, stPaths.ps8CheckKey,
                            stPaths.ps8RunKey);
    }
    for (S32 i = 0; i < SNAP_FILE_CHECKS; ++i) {
        if (!Readable(stPaths.ps8SnapFile)) {
            FileWaitPause();
        }
    }
    if (!Readable(stPaths.ps8SnapFile)) {
        RefusalHead(SNAP_STATUS_404);
        filenotfound();
        return -1;
    }
    flushimage(stPaths.ps8SnapFile);
    remove(stPaths.ps8SnapFile);
    return 0;
}

int cgiMain()
{
    /* A client that went away must end the copy, not the process: the file
     * is still to be removed. */
    signal(SIGPIPE, SIG_IGN);
    return SnapServeRequest(cgiQueryString, SNAP_DEFAULT_PATHS);
}
