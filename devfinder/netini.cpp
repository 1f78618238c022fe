// SPDX-License-Identifier: MIT
/* netini.cpp: the settings file of the main application (netini.h): one
 * read of it, the parse of its bytes, its lines and its replacement. */
#include "netini.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "comm_fd.h"
#include "comm_io.h"
#include "comm_log.h"
#include "intf_mactext.h"

/* The replacement serves NetBasicParamAdapter: its trace lines carry that name. */
#define NETINI_TRACE(...) CommTraceLine("NetBasicParamAdapter", __LINE__, __VA_ARGS__)

const char* const NETINI_KEYS[NETINI_LINE_COUNT] = {
    "dhcp",    "ipaddr",   "netmask",          "gateway",     "macaddr",
    "nettype", "ipv6addr", "ipv6prefixlength", "ipv6gateway",
};

namespace {

/* ---- the parse ---- */

/* One character of lookahead over bytes. */
class IniScanner {
public:
    IniScanner(const S8* ps8Bytes, size_t uLen) noexcept : m_ps8Data(ps8Bytes), m_uLen(uLen) {}
    int Peek() const noexcept { return m_uPos < m_uLen ? (unsigned char)m_ps8Data[m_uPos] : EOF; }
    int Get() noexcept { return m_uPos < m_uLen ? (unsigned char)m_ps8Data[m_uPos++] : EOF; }
    size_t Pos() const noexcept { return m_uPos; }

private:
    const S8* m_ps8Data;
    size_t m_uLen;
    size_t m_uPos = 0;
};

bool IsSpace(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool IsDigit(int c)
{
    return c >= '0' && c <= '9';
}

/* "key=" exactly; a partial key counts as a line that does not match. */
bool MatchKey(IniScanner& sc, const char* ps8Key)
{
    for (const char* p = ps8Key; *p != '\0'; ++p) {
        if (sc.Get() != (unsigned char)*p) return false;
    }
    return sc.Get() == '=';
}

/* Blanks after "=" (white space that does not end the line). */
VOID SkipBlanks(IniScanner& sc)
{
    while (sc.Peek() != '\n' && IsSpace(sc.Peek())) sc.Get();
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

/* The run of characters up to white space or the end: the value of a line.
 * Longer than uMaxLen, or holding a NUL byte, it does not match. The
 * destination holds uMaxLen + 1 bytes and is written only on a match. */
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

/* Four numbers separated by "." at the start of a value.
 * return the characters taken, or 0 when they are not there */
size_t ScanQuad(const S8* ps8Text, S32 (&s32Num)[4])
{
    IniScanner sc(ps8Text, strlen(ps8Text));
    S32 s32Val[4] = {};
    for (size_t i = 0; i < 4; ++i) {
        if (i > 0 && sc.Get() != '.') return 0;
        if (!ReadInt(sc, &s32Val[i])) return 0;
    }
    memcpy(s32Num, s32Val, sizeof(s32Val));
    return sc.Pos();
}

/* Six hex numbers of one or two digits separated by ":" at the start of a
 * value. return true when they are there */
bool ScanMac(const S8* ps8Text, U8 (&u8Mac)[6])
{
    U8 u8Val[6] = {};
    size_t uPos = 0;
    for (size_t i = 0; i < sizeof(u8Val); ++i) {
        if (i > 0 && ps8Text[uPos++] != ':') return false;
        S32 s32Byte = NetMacHexValue(ps8Text[uPos]);
        if (s32Byte < 0) return false;
        ++uPos;
        const S32 s32Low = NetMacHexValue(ps8Text[uPos]);
        if (s32Low >= 0) {
            s32Byte = s32Byte * 16 + s32Low;
            ++uPos;
        }
        u8Val[i] = (U8)s32Byte;
    }
    memcpy(u8Mac, u8Val, sizeof(u8Val));
    return true;
}

/* The value of line s32Index (0-based). */
bool ReadValue(IniScanner& sc, S32 s32Index, NETINI_S* pstIni)
{
    switch (s32Index) {
        case 0:
            return ReadInt(sc, &pstIni->s32Dhcp);
        case 1:
            return ReadText(sc, pstIni->s8IpAddr, NETINI_ADDR_TEXT_MAX);
        case 2:
            return ReadText(sc, pstIni->s8NetMask, NETINI_ADDR_TEXT_MAX);
        case 3:
            return ReadText(sc, pstIni->s8GateWay, NETINI_ADDR_TEXT_MAX);
        case 4:
            return ReadText(sc, pstIni->s8MacAddr, NETINI_ADDR_TEXT_MAX);
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

/* ---- the replacement ---- */

template <size_t N>
bool IsFileText(const S8 (&s8Text)[N])
{
    return NetIniTextFits(s8Text, N, N - 1);
}

/* Opens the settings file for reading without blocking, and only when it is
 * a regular file. return the descriptor, or -1 with errno set */
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

}  // namespace

bool NetIniTextFits(const S8* ps8Text, size_t uSize, size_t uMaxLen)
{
    COMM_ASSERT(ps8Text != nullptr);
    const size_t uLen = strnlen(ps8Text, uSize);
    if (uLen == uSize || uLen > uMaxLen) return false;
    for (size_t i = 0; i < uLen; ++i) {
        if (IsSpace((unsigned char)ps8Text[i])) return false;
    }
    return true;
}

S32 NetIniLoad(const char* ps8Path, std::string* pstrBytes, struct stat* pstSt)
{
    COMM_ASSERT(ps8Path != nullptr && pstrBytes != nullptr);
    pstrBytes->clear();
    struct stat stSt;
    const UniqueFd stFd(OpenSettings(ps8Path, &stSt));
    if (stFd.Get() < 0) return -1;
    /* Room for the file at its size now and one byte more, so one read both
     * takes it and shows its end. */
    const size_t uSize = stSt.st_size > 0 ? (size_t)stSt.st_size : 0;
    size_t uRoom = uSize < NETINI_FIRST_READ ? NETINI_FIRST_READ : uSize + 1;
    if (uRoom > NETINI_LOAD_MAX + 1) uRoom = NETINI_LOAD_MAX + 1;
    pstrBytes->resize(uRoom);
    size_t uLen = 0;
    /* Bounded: each round reads at least one byte, and at most
     * NETINI_LOAD_MAX + 1 are ever read. */
    for (size_t uRound = 0; uRound <= NETINI_LOAD_MAX; ++uRound) {
        if (uLen == pstrBytes->size()) {
            if (uLen > NETINI_LOAD_MAX) {
                pstrBytes->clear();
                errno = EFBIG;
                return -1;
            }
            const size_t uMore = 2 * uLen;
            pstrBytes->resize(uMore < NETINI_LOAD_MAX + 1 ? uMore : NETINI_LOAD_MAX + 1);
        }
        const size_t uAsk = pstrBytes->size() - uLen;
        const ssize_t s32Got = CommRead(stFd.Get(), &(*pstrBytes)[uLen], uAsk);
        if (s32Got <= 0) break; /* the end, or a read error where the bytes end too */
        uLen += (size_t)s32Got;
        /* A short read that reached the size the file had at the open is its
         * end: no second read to be told so. */
        if ((size_t)s32Got < uAsk && uSize > 0 && uLen >= uSize) break;
    }
    pstrBytes->resize(uLen);
    if (pstSt != nullptr) *pstSt = stSt;
    return 0;
}

S32 NetIniRead(const char* ps8Path, std::string* pstrBytes, NETINI_S* pstIni, struct stat* pstSt)
{
    COMM_ASSERT(pstIni != nullptr);
    if (NetIniLoad(ps8Path, pstrBytes, pstSt) != 0) return -1;
    NetIniParse(pstrBytes->data(), pstrBytes->size(), pstIni);
    return 0;
}

VOID NetIniParse(const S8* ps8Bytes, size_t uLen, NETINI_S* pstIni)
{
    COMM_ASSERT(pstIni != nullptr && (ps8Bytes != nullptr || uLen == 0));
    NETINI_S stIni = {};
    memcpy(stIni.s8MacAddr, "00:00:00:00:00:00", sizeof("00:00:00:00:00:00"));
    stIni.enEnd = NETINI_END_COMPLETE;
    IniScanner sc(ps8Bytes, uLen);
    for (S32 i = 0; i < NETINI_LINE_COUNT; ++i) {
        if (i > 0) {
            while (IsSpace(sc.Peek())) sc.Get();
        }
        if (sc.Peek() == EOF) {
            stIni.enEnd = NETINI_END_SHORT;
            break;
        }
        if (!MatchKey(sc, NETINI_KEYS[i]) || !ReadValue(sc, i, &stIni)) {
            stIni.enEnd = NETINI_END_BAD_LINE;
            break;
        }
        stIni.s32LinesRead = i + 1;
    }
    /* The numbers, as the readers of addresses and of the MAC read them. */
    if (stIni.s32LinesRead >= 2) {
        const size_t uTook = ScanQuad(stIni.s8IpAddr, stIni.s32IpNum);
        if (uTook > 0 && stIni.s8IpAddr[uTook] == '\0' && stIni.s32LinesRead >= 3) {
            (void)ScanQuad(stIni.s8NetMask, stIni.s32MaskNum);
        }
    }
    if (stIni.s32LinesRead >= 5) (void)ScanMac(stIni.s8MacAddr, stIni.u8Mac);
    *pstIni = stIni;
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

S32 NetIniReplace(const char* ps8Target, const struct stat& stOld, const NETINI_S* pstIni)
{
    COMM_ASSERT(ps8Target != nullptr && pstIni != nullptr);
    S8 s8Lines[512];
    const S32 s32Lines = NetIniFormat(pstIni, s8Lines, sizeof(s8Lines));
    if (s32Lines < 0) {
        NETINI_TRACE("settings do not fit the file format, not written\n");
        return -1;
    }
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
        NETINI_TRACE("path too long, not written\n");
        return -1;
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
        bOk = CommWriteAll(stTmp.Get(), s8Lines, (size_t)s32Lines) == (size_t)s32Lines;
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
        NETINI_TRACE("%s of %s failed: %s, %s left as it was\n", ps8Step, s8Tmp, strerror(s32Err),
                     ps8Target);
        return -1;
    }
    /* The rename reaches storage with the directory. If that sync fails, the
     * whole new file is still the one every reader sees, and a power cut can
     * only bring back the whole old one: the change counts as stored, so what
     * runs matches the file. */
    UniqueFd stDir(open(s8Dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (stDir.Get() < 0 || fsync(stDir.Get()) != 0) {
        const int s32Err = errno;
        NETINI_TRACE("fsync of directory %s failed: %s\n", s8Dir, strerror(s32Err));
    }
    return 0;
}
