// SPDX-License-Identifier: MIT
/* netini.cpp: the settings file of the main application: the readers, the
 * shared read of one request, the format and the replacing write. */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "comm_fd.h"
#include "comm_log.h"
#include "intf_mactext.h"
#include "search_intf_internal.h"

namespace {

typedef std::unique_ptr<S8, void (*)(void*)> MallocText;

/* ---- reading the settings file ---- */

/* One character of lookahead over the settings file, read through a plain
 * descriptor in blocks (open/read/close is all a reader needs: no stdio
 * buffer to allocate), or over bytes one read of the file already holds. */
class IniScanner {
public:
    explicit IniScanner(int s32Fd) noexcept : m_s32Fd(s32Fd), m_ps8Data(m_s8Block) {}
    /* Over uLen bytes from the start of the file; bWhole: they are all of it. */
    IniScanner(const S8* ps8Bytes, size_t uLen, bool bWhole) noexcept
        : m_s32Fd(-1), m_bWhole(bWhole), m_uLen(uLen), m_ps8Data(ps8Bytes)
    {
    }
    IniScanner(const IniScanner&) = delete;
    IniScanner& operator=(const IniScanner&) = delete;

    int Peek() noexcept
    {
        return (m_uPos < m_uLen || Fill()) ? (unsigned char)m_ps8Data[m_uPos] : EOF;
    }
    int Get() noexcept
    {
        return (m_uPos < m_uLen || Fill()) ? (unsigned char)m_ps8Data[m_uPos++] : EOF;
    }
    /* Over bytes that were not the whole file, more were wanted: what was
     * parsed is not what the file says. */
    bool Starved() const noexcept { return m_bStarved; }

private:
    /* Next block; false at the end of the file or on a read error. */
    bool Fill() noexcept
    {
        if (m_s32Fd < 0) {
            m_bStarved = !m_bWhole;
            return false;
        }
        for (S32 s32Try = 0; !m_bEnd && s32Try < 100; ++s32Try) {
            const ssize_t s32Got = read(m_s32Fd, m_s8Block, sizeof(m_s8Block));
            if (s32Got > 0) {
                m_uPos = 0;
                m_uLen = (size_t)s32Got;
                return true;
            }
            if (s32Got < 0 && errno == EINTR) continue;
            break;
        }
        m_bEnd = true;
        return false;
    }

    int m_s32Fd;
    bool m_bEnd = false;
    bool m_bWhole = false;
    bool m_bStarved = false;
    size_t m_uPos = 0;
    size_t m_uLen = 0;
    const S8* m_ps8Data;
    S8 m_s8Block[512];
};

bool IsSpace(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
/* White space that does not end the line. */
bool IsBlank(int c)
{
    return c != '\n' && IsSpace(c);
}
bool IsDigit(int c)
{
    return c >= '0' && c <= '9';
}

VOID SkipBlanks(IniScanner& sc)
{
    while (IsBlank(sc.Peek())) sc.Get();
}

VOID SkipSpace(IniScanner& sc)
{
    while (IsSpace(sc.Peek())) sc.Get();
}

/* "key=" exactly; a partial key counts as a line that does not match. */
bool MatchKey(IniScanner& sc, const char* ps8Key)
{
    for (const char* p = ps8Key; *p != '\0'; ++p) {
        if (sc.Get() != (unsigned char)*p) return false;
    }
    return sc.Get() == '=';
}

/* A signed decimal number that fits 32 bits, after blanks (as %d reads it). */
bool ReadInt(IniScanner& sc, S32* ps32Val)
{
    SkipBlanks(sc);
    int c = sc.Peek();
    bool bNeg = false;
    if (c == '+' || c == '-') {
        bNeg = (c == '-');
        sc.Get();
        c = sc.Peek();
    }
    if (!IsDigit(c)) return false;
    int64_t s64Val = 0;
    for (; IsDigit(c); c = sc.Peek()) {
        s64Val = s64Val * 10 + (c - '0');
        if (s64Val > (int64_t)INT32_MAX + 1) return false;
        sc.Get();
    }
    if (bNeg) s64Val = -s64Val;
    if (s64Val > INT32_MAX || s64Val < INT32_MIN) return false;
    *ps32Val = (S32)s64Val;
    return true;
}

/* The run of characters up to white space or the end of the file; longer than
 * uMaxLen, or holding a NUL byte, it does not match. The destination holds at
 * least uMaxLen + 1 bytes and is written only on a match. */
bool ReadText(IniScanner& sc, S8* ps8Dst, size_t uMaxLen)
{
    S8 s8Text[NETINI_IPV6_TEXT_MAX + 1] = {};
    if (uMaxLen >= sizeof(s8Text)) return false;
    SkipBlanks(sc);
    size_t uLen = 0;
    for (int c = sc.Peek(); c != EOF && !IsSpace(c); c = sc.Peek()) {
        if (c == '\0' || uLen == uMaxLen) return false;
        s8Text[uLen++] = (S8)c;
        sc.Get();
    }
    memcpy(ps8Dst, s8Text, uLen + 1);
    return true;
}

/* Four decimal numbers separated by "." ("%d.%d.%d.%d"). */
bool ReadQuad(IniScanner& sc, S32 (&s32Num)[4])
{
    S32 s32Val[4] = {};
    for (size_t i = 0; i < 4; ++i) {
        if (i > 0 && sc.Get() != '.') return false;
        if (!ReadInt(sc, &s32Val[i])) return false;
    }
    memcpy(s32Num, s32Val, sizeof(s32Val));
    return true;
}

/* Six hex numbers of one or two digits separated by ":" ("%02x:...:%02x"). */
bool ReadMac(IniScanner& sc, U8 (&u8Mac)[6])
{
    U8 u8Val[6] = {};
    for (size_t i = 0; i < sizeof(u8Val); ++i) {
        if (i > 0 && sc.Get() != ':') return false;
        SkipBlanks(sc);
        S32 s32Digit = NetMacHexValue(sc.Peek());
        if (s32Digit < 0) return false;
        sc.Get();
        S32 s32Byte = s32Digit;
        s32Digit = NetMacHexValue(sc.Peek());
        if (s32Digit >= 0) {
            sc.Get();
            s32Byte = s32Byte * 16 + s32Digit;
        }
        u8Val[i] = (U8)s32Byte;
    }
    memcpy(u8Mac, u8Val, sizeof(u8Val));
    return true;
}

const char* const NETINI_KEYS[NETINI_LINE_COUNT] = {
    "dhcp",    "ipaddr",   "netmask",          "gateway",     "macaddr",
    "nettype", "ipv6addr", "ipv6prefixlength", "ipv6gateway",
};

/* The value of line s32Index (0-based) with the pattern enView gives it. */
bool ReadValue(IniScanner& sc, S32 s32Index, NETINI_VIEW_E enView, NETINI_S* pstIni)
{
    switch (s32Index) {
        case 0:
            return ReadInt(sc, &pstIni->s32Dhcp);
        case 1:
            return enView == NETINI_VIEW_STATE
                       ? ReadQuad(sc, pstIni->s32IpNum)
                       : ReadText(sc, pstIni->s8IpAddr, NETINI_ADDR_TEXT_MAX);
        case 2:
            return enView == NETINI_VIEW_STATE
                       ? ReadQuad(sc, pstIni->s32MaskNum)
                       : ReadText(sc, pstIni->s8NetMask, NETINI_ADDR_TEXT_MAX);
        case 3:
            return ReadText(sc, pstIni->s8GateWay, NETINI_ADDR_TEXT_MAX);
        case 4:
            return enView == NETINI_VIEW_REWRITE
                       ? ReadText(sc, pstIni->s8MacAddr, NETINI_ADDR_TEXT_MAX)
                       : ReadMac(sc, pstIni->u8Mac);
        case 5:
            return ReadInt(sc, &pstIni->s32NetType);
        case 6:
            return ReadText(sc, pstIni->s8Ipv6Addr, NETINI_IPV6_TEXT_MAX);
        case 7:
            return ReadInt(sc, &pstIni->s32Ipv6PrefixLen);
        case 8:
            return ReadText(sc, pstIni->s8Ipv6GateWay, NETINI_IPV6_TEXT_MAX);
        default:
            return false;
    }
}

/* Reads the lines of enView in order and stops at the first that does not
 * match. The first key begins the file; white space and empty lines are skipped
 * before each later key. Whatever follows the last wanted line is ignored. */
VOID ParseIni(IniScanner& sc, NETINI_VIEW_E enView, NETINI_S* pstIni)
{
    NETINI_S stIni = {};
    const S32 s32Lines = (enView == NETINI_VIEW_REWRITE) ? NETINI_LINE_COUNT : 5;
    /* A rewrite writes the text of six zero bytes where no macaddr line was read. */
    if (enView == NETINI_VIEW_REWRITE) memcpy(stIni.s8MacAddr, "00:00:00:00:00:00", 18);
    stIni.enEnd = NETINI_END_COMPLETE;
    for (S32 i = 0; i < s32Lines; ++i) {
        if (i > 0) SkipSpace(sc);
        if (sc.Peek() == EOF) {
            stIni.enEnd = NETINI_END_SHORT;
            break;
        }
        if (!MatchKey(sc, NETINI_KEYS[i]) || !ReadValue(sc, i, enView, &stIni)) {
            stIni.enEnd = NETINI_END_BAD_LINE;
            break;
        }
        stIni.s32LinesRead = i + 1;
    }
    *pstIni = stIni;
}

/* ---- writing it ---- */

/* A text the file can hold and give back unchanged: inside its capacity and
 * free of white space, which would end the value early or add a line. */
bool IsFileText(const S8* ps8Text, size_t uSize)
{
    const size_t uLen = strnlen(ps8Text, uSize);
    if (uLen == uSize) return false;
    for (size_t i = 0; i < uLen; ++i) {
        if (IsSpace((unsigned char)ps8Text[i])) return false;
    }
    return true;
}

template <size_t N>
bool IsFileText(const S8 (&s8Text)[N])
{
    return IsFileText(s8Text, N);
}

VOID FormatAddr(S8 (&s8Dst)[NETINI_ADDR_TEXT_MAX + 1], const U8 (&u8Addr)[4])
{
    /* At most 15 characters: it always fits. */
    snprintf(s8Dst, sizeof(s8Dst), "%d.%d.%d.%d", u8Addr[0], u8Addr[1], u8Addr[2], u8Addr[3]);
}

/* Opens the settings file for reading without blocking (a FIFO put at its
 * path must not hang the server) and only when it is a regular file.
 * return the descriptor, or -1 with errno set (EINVAL: not a regular file) */
int OpenSettings(const char* ps8Path, struct stat* pstSt)
{
    UniqueFd stFd(open(ps8Path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (stFd.Get() < 0) return -1;
    if (fstat(stFd.Get(), pstSt) != 0) return -1;
    if (!S_ISREG(pstSt->st_mode)) {
        errno = S_ISDIR(pstSt->st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    return stFd.Release();
}

/* The first reader of a request reads the file for all of them: as much as
 * the shared buffer holds, stopping where the file ends. */
VOID LoadShare(NETINI_SHARE_S* pstShare, const char* ps8Path, size_t uPathLen)
{
    pstShare->bRead = true;
    pstShare->s32Err = 0;
    pstShare->bWhole = false;
    pstShare->uLen = 0;
    memcpy(pstShare->s8Path, ps8Path, uPathLen + 1);
    struct stat stSt;
    const UniqueFd stFd(OpenSettings(ps8Path, &stSt));
    if (stFd.Get() < 0) {
        pstShare->s32Err = errno != 0 ? errno : EIO;
        return;
    }
    for (S32 s32Try = 0; s32Try < 100 && pstShare->uLen < sizeof(pstShare->s8Bytes); ++s32Try) {
        const size_t uAsk = sizeof(pstShare->s8Bytes) - pstShare->uLen;
        const ssize_t s32Got = read(stFd.Get(), pstShare->s8Bytes + pstShare->uLen, uAsk);
        if (s32Got < 0 && errno == EINTR) continue;
        if (s32Got <= 0) {
            /* The end, or a read error, where a reader of its own stops too. */
            pstShare->bWhole = true;
            return;
        }
        pstShare->uLen += (size_t)s32Got;
        /* A short read that reached the size the file had a moment ago is its
         * end: no second read to be told so. */
        if ((size_t)s32Got < uAsk && stSt.st_size > 0 && (off_t)pstShare->uLen >= stSt.st_size) {
            pstShare->bWhole = true;
            return;
        }
    }
}

/* Writes all uLen bytes; false with errno set on an error. */
bool WriteAll(int s32Fd, const S8* ps8Buf, size_t uLen)
{
    size_t uDone = 0;
    for (S32 s32Try = 0; uDone < uLen && s32Try < 100; ++s32Try) {
        const ssize_t s32Put = write(s32Fd, ps8Buf + uDone, uLen - uDone);
        if (s32Put < 0 && errno == EINTR) continue;
        if (s32Put <= 0) {
            if (s32Put == 0) errno = EIO;
            return false;
        }
        uDone += (size_t)s32Put;
    }
    if (uDone < uLen) errno = EIO;
    return uDone == uLen;
}

/* Puts new content in place of the regular file ps8Target (no symlink) whole:
 * a temporary file beside it, with its mode and (where we may set it) its
 * owner, written and synced, then renamed over it. A crash or a failure at
 * any step leaves the whole old file or the whole new one, never a mix.
 * return true when the new file is in place; false with a trace line (the old
 * file is then untouched and no temporary file is left) */
bool ReplaceFile(const char* ps8Target, const struct stat& stOld, const S8* ps8Buf, size_t uLen)
{
    S8 s8Dir[NETINI_PATH_MAX];
    S8 s8Tmp[NETINI_PATH_MAX];
    const char* ps8Slash = strrchr(ps8Target, '/');
    const size_t uDirLen = ps8Slash != nullptr ? (size_t)(ps8Slash - ps8Target) : 0;
    const char* ps8Base = ps8Slash != nullptr ? ps8Slash + 1 : ps8Target;
    const int s32DirLen = snprintf(s8Dir, sizeof(s8Dir), "%.*s", (int)uDirLen, ps8Target);
    const int s32TmpLen = snprintf(s8Tmp, sizeof(s8Tmp), "%s/.%s%s", uDirLen > 0 ? s8Dir : "",
                                   ps8Base, NETINI_TMP_SUFFIX);
    if (s32DirLen < 0 || (size_t)s32DirLen >= sizeof(s8Dir) || s32TmpLen < 0 ||
        (size_t)s32TmpLen >= sizeof(s8Tmp)) {
        NETINTF_TRACE("NetBasicParamAdapter", "path too long, not written\n");
        return false;
    }
    if (uDirLen == 0) memcpy(s8Dir, "/", 2);

    /* A temporary file left by a power cut is ours: start afresh. */
    (void)unlink(s8Tmp);
    const mode_t uMode = stOld.st_mode & 07777;
    UniqueFd stTmp(open(s8Tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, uMode));
    const char* ps8Step = "create";
    bool bOk = stTmp.Get() >= 0;
    if (bOk) {
        /* The owner where we may set it (as root), then the mode as the file
         * had it, whatever the umask (a change of owner may clear set-id bits). */
        if (geteuid() == 0 && fchown(stTmp.Get(), stOld.st_uid, stOld.st_gid) != 0) {
            /* Left root's: the daemon, as root, still reads and replaces it. */
        }
        (void)fchmod(stTmp.Get(), uMode);
        ps8Step = "write";
        bOk = WriteAll(stTmp.Get(), ps8Buf, uLen);
    }
    if (bOk) {
        ps8Step = "fsync";
        bOk = fsync(stTmp.Get()) == 0;
    }
    if (bOk) {
        ps8Step = "close";
        bOk = close(stTmp.Release()) == 0;
    }
    if (bOk) {
        ps8Step = "rename";
        bOk = rename(s8Tmp, ps8Target) == 0;
    }
    if (!bOk) {
        const int s32Err = errno;
        (void)unlink(s8Tmp);
        NETINTF_TRACE("NetBasicParamAdapter", "%s of %s failed: %s, %s left as it was\n", ps8Step,
                      s8Tmp, strerror(s32Err), ps8Target);
        return false;
    }
    /* The rename reaches storage with the directory. If that sync fails, the
     * whole new file is still the one every reader sees, and a power cut can
     * only bring back the whole old one: tell the main application all the
     * same, so what runs matches the file. */
    UniqueFd stDir(open(s8Dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (stDir.Get() < 0 || fsync(stDir.Get()) != 0) {
        const int s32Err = errno;
        NETINTF_TRACE("NetBasicParamAdapter", "fsync of directory %s failed: %s\n", s8Dir,
                      strerror(s32Err));
    }
    return true;
}

}  // namespace

S32 NetIniRead(const char* ps8Path, NETINI_VIEW_E enView, NETINI_S* pstIni)
{
    COMM_ASSERT(ps8Path != nullptr && pstIni != nullptr);
    struct stat stSt;
    const UniqueFd stFd(OpenSettings(ps8Path, &stSt));
    if (stFd.Get() < 0) return -1;
    IniScanner sc(stFd.Get());
    ParseIni(sc, enView, pstIni);
    return 0;
}

VOID NetIniShareBegin(NETINI_SHARE_S* pstShare)
{
    COMM_ASSERT(pstShare != nullptr);
    pstShare->bOpen = true;
    pstShare->bRead = false;
}

VOID NetIniShareEnd(NETINI_SHARE_S* pstShare)
{
    COMM_ASSERT(pstShare != nullptr);
    pstShare->bOpen = false;
    pstShare->bRead = false;
}

VOID NetIniShareForget(NETINI_SHARE_S* pstShare)
{
    COMM_ASSERT(pstShare != nullptr);
    pstShare->bRead = false;
}

S32 NetIniReadShared(const char* ps8Path, NETINI_VIEW_E enView, NETINI_SHARE_S* pstShare,
                     NETINI_S* pstIni)
{
    COMM_ASSERT(ps8Path != nullptr && pstIni != nullptr);
    if (pstShare == nullptr || !pstShare->bOpen) return NetIniRead(ps8Path, enView, pstIni);
    const size_t uPathLen = strnlen(ps8Path, sizeof(pstShare->s8Path));
    if (uPathLen == sizeof(pstShare->s8Path)) return NetIniRead(ps8Path, enView, pstIni);
    if (!pstShare->bRead) {
        LoadShare(pstShare, ps8Path, uPathLen);
    } else if (memcmp(pstShare->s8Path, ps8Path, uPathLen + 1) != 0) {
        return NetIniRead(ps8Path, enView, pstIni); /* another file */
    }
    if (pstShare->s32Err != 0) {
        errno = pstShare->s32Err; /* as the reader's own open would have left it */
        return -1;
    }
    IniScanner sc(pstShare->s8Bytes, pstShare->uLen, pstShare->bWhole);
    NETINI_S stIni;
    ParseIni(sc, enView, &stIni);
    /* Longer than the shared read could hold: this reader reads it whole. */
    if (sc.Starved()) return NetIniRead(ps8Path, enView, pstIni);
    *pstIni = stIni;
    return 0;
}

S32 NetIniFormat(const NETINI_S* pstIni, S8* ps8Buf, size_t uBufSize)
{
    COMM_ASSERT(pstIni != nullptr && ps8Buf != nullptr);
    if (!IsFileText(pstIni->s8IpAddr) || !IsFileText(pstIni->s8NetMask) ||
        !IsFileText(pstIni->s8GateWay) || !IsFileText(pstIni->s8MacAddr) ||
        !IsFileText(pstIni->s8Ipv6Addr) || !IsFileText(pstIni->s8Ipv6GateWay)) {
        return -1;
    }
    const int s32Len = snprintf(
        ps8Buf, uBufSize,
        "dhcp=%d\n"
        "ipaddr=%s\n"
        "netmask=%s\n"
        "gateway=%s\n"
        "macaddr=%s\n"
        "nettype=%d\n"
        "ipv6addr=%s\n"
        "ipv6prefixlength=%d\n"
        "ipv6gateway=%s\n",
        pstIni->s32Dhcp, pstIni->s8IpAddr, pstIni->s8NetMask, pstIni->s8GateWay, pstIni->s8MacAddr,
        pstIni->s32NetType, pstIni->s8Ipv6Addr, pstIni->s32Ipv6PrefixLen, pstIni->s8Ipv6GateWay);
    if (s32Len < 0 || (size_t)s32Len >= uBufSize) return -1;
    return s32Len;
}

S32 NetIniUpdate(const VOID* pNetBasicSet, VOID* pMac, BOOL bDirection, const char* ps8Path)
{
    COMM_ASSERT(ps8Path != nullptr);
    /* The file belongs to the main application: never create it. Through a
     * symlink, the file it names is the one read and replaced. */
    const MallocText pTarget(realpath(ps8Path, nullptr), free);
    struct stat stSt;
    const UniqueFd stFd(pTarget ? OpenSettings(pTarget.get(), &stSt) : -1);
    if (stFd.Get() < 0) {
        const int s32Err = errno;
        perror("\n");
        NETINTF_TRACE("NetBasicParamAdapter", "fopen error\n");
        if (s32Err == EINVAL || s32Err == EISDIR) {
            NETINTF_TRACE("NetBasicParamAdapter", "%s is not a regular file, not written\n",
                          ps8Path);
        }
        return -1;
    }
    NETINI_S stIni;
    IniScanner sc(stFd.Get());
    ParseIni(sc, NETINI_VIEW_REWRITE, &stIni);
    if (bDirection) return 0;

    /* The MAC text is converted in the caller's field whatever the file holds. */
    size_t uMacLen = 0;
    if (pNetBasicSet == nullptr && pMac != nullptr) {
        uMacLen = NetMacDashesToColons(static_cast<S8*>(pMac), NETINTF_MAC_FIELD_SIZE);
    }
    /* Values after a line we could not read are unknown: writing defaults in
     * their place would destroy the main application's settings. */
    if (stIni.enEnd == NETINI_END_BAD_LINE) {
        NETINTF_TRACE("NetBasicParamAdapter",
                      "line %d of %s is not \"%s=\" as expected, file left as it is\n",
                      stIni.s32LinesRead + 1, ps8Path, NETINI_KEYS[stIni.s32LinesRead]);
        return -1;
    }

    if (pNetBasicSet != nullptr) {
        VXNet_NetworkBaseSet_t stSet;
        memcpy(&stSet, pNetBasicSet, sizeof(stSet));
        FormatAddr(stIni.s8IpAddr, stSet.IPAddr);
        FormatAddr(stIni.s8NetMask, stSet.NetMask);
        FormatAddr(stIni.s8GateWay, stSet.GateWay);
        stIni.s32Dhcp = (stSet.NetworkMode == 0) ? 1 : 0;
    } else if (pMac != nullptr) {
        if (uMacLen >= sizeof(stIni.s8MacAddr) ||
            !IsFileText(static_cast<const S8*>(pMac), uMacLen + 1)) {
            NETINTF_TRACE("NetBasicParamAdapter",
                          "macaddr text refused (%zu characters or white space)\n", uMacLen);
            return -1;
        }
        memcpy(stIni.s8MacAddr, pMac, uMacLen);
        stIni.s8MacAddr[uMacLen] = '\0';
    } else {
        /* Nothing to store; the main application is still told, as after a write. */
        return 1;
    }

    S8 s8Buf[512];
    const S32 s32Len = NetIniFormat(&stIni, s8Buf, sizeof(s8Buf));
    if (s32Len < 0) {
        NETINTF_TRACE("NetBasicParamAdapter", "settings do not fit the file format, not written\n");
        return -1;
    }
    return ReplaceFile(pTarget.get(), stSt, s8Buf, (size_t)s32Len) ? 1 : -1;
}
