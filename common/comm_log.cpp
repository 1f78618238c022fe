// SPDX-License-Identifier: MIT
#include "comm_log.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "comm_log_internal.h"

namespace {

/* Most lines fit here; a longer one is written in two pieces. */
constexpr size_t COMM_LOG_LINE_MAX = 512;
constexpr uint64_t COMM_LOG_MILLI = 1000; /* thousandths of a token per line */

/* The process's budget: shared by the server thread and the main thread. */
pthread_mutex_t s_stBudgetLock = PTHREAD_MUTEX_INITIALIZER;
CommLogBucket s_stBudget(COMM_LOG_BURST, COMM_LOG_RATE);

uint64_t NowMs()
{
    struct timespec stNow;
    if (clock_gettime(CLOCK_MONOTONIC, &stNow) != 0) return 0;
    return (uint64_t)stNow.tv_sec * 1000u + (uint64_t)stNow.tv_nsec / 1000000u;
}

/* One token for the line about to be written; writes the report of the lines
 * left out before it, if any. return false: leave the line out. */
bool CommLogAdmit()
{
    unsigned u32LeftOut = 0;
    pthread_mutex_lock(&s_stBudgetLock);
    const bool bWrite = s_stBudget.Take(NowMs(), &u32LeftOut);
    pthread_mutex_unlock(&s_stBudgetLock);
    if (bWrite && u32LeftOut > 0) {
        char s8Line[96];
        const int s32Len = snprintf(s8Line, sizeof(s8Line),
                                    "[COMM][%s] line[%d] %u log lines left out\n", __FUNCTION__,
                                    __LINE__, u32LeftOut);
        if (s32Len > 0 && (size_t)s32Len < sizeof(s8Line)) {
            flockfile(stderr);
            fwrite(s8Line, 1, (size_t)s32Len, stderr);
            fflush(stderr);
            funlockfile(stderr);
        }
    }
    return bWrite;
}

/* Writes all uLen bytes to the descriptor; a failed write (a closed log) is
 * not retried beyond interruptions. */
void WriteAll(int s32Fd, const char* ps8Buf, size_t uLen)
{
    size_t uDone = 0;
    for (int i = 0; uDone < uLen && i < 100; ++i) {
        const ssize_t s32Put = write(s32Fd, ps8Buf + uDone, uLen - uDone);
        if (s32Put < 0 && errno == EINTR) continue;
        if (s32Put <= 0) return;
        uDone += (size_t)s32Put;
    }
}

/* Formats the text behind the uHead bytes of prefix already in s8Line and
 * writes both with one call, so lines of two threads never interleave and an
 * unbuffered stream costs one write. */
__attribute__((format(printf, 4, 0)))
void WriteFormatted(FILE* pStream, char (&s8Line)[COMM_LOG_LINE_MAX], size_t uHead,
                    const char* ps8Fmt, va_list args)
{
    va_list argsCopy;
    va_copy(argsCopy, args);
    int s32Text = CommFormatPlain(s8Line + uHead, sizeof(s8Line) - uHead, ps8Fmt, argsCopy);
    va_end(argsCopy);
    if (s32Text < 0) {
        va_copy(argsCopy, args);
        s32Text = vsnprintf(s8Line + uHead, sizeof(s8Line) - uHead, ps8Fmt, argsCopy);
        va_end(argsCopy);
    }
    flockfile(pStream);
    if (s32Text >= 0 && uHead + (size_t)s32Text < sizeof(s8Line)) {
        /* Formatted once; straight to the descriptor, behind whatever the
         * stream still holds, instead of a second copy through its buffer. */
        fflush(pStream);
        WriteAll(fileno(pStream), s8Line, uHead + (size_t)s32Text);
    } else {
        fwrite(s8Line, 1, uHead, pStream);
        vfprintf(pStream, ps8Fmt, args);
        fflush(pStream);
    }
    funlockfile(pStream);
}

/* Appends to a line buffer without the printf family; a text that does not
 * fit marks the line cut. */
class LineText {
public:
    LineText(char* ps8Buf, size_t uSize) noexcept : m_ps8Buf(ps8Buf), m_uSize(uSize) {}
    void Str(const char* ps8Text) noexcept
    {
        for (; *ps8Text != '\0'; ++ps8Text) Char(*ps8Text);
    }
    void Char(char s8Char) noexcept
    {
        if (m_uLen + 1 < m_uSize) {
            m_ps8Buf[m_uLen++] = s8Char;
        } else {
            m_bCut = true;
        }
    }
    /* An unsigned number in base 10 or 16 (upper or lower-case digits). */
    void Num(unsigned long long u64Val, unsigned u32Base, bool bUpper) noexcept
    {
        const char* ps8Digits = bUpper ? "0123456789ABCDEF" : "0123456789abcdef";
        char s8Rev[24];
        size_t uN = 0;
        do {
            s8Rev[uN++] = ps8Digits[u64Val % u32Base];
            u64Val /= u32Base;
        } while (u64Val != 0 && uN < sizeof(s8Rev));
        while (uN > 0) Char(s8Rev[--uN]);
    }
    void Dec(long long s64Val) noexcept
    {
        if (s64Val < 0) {
            Char('-');
            /* From the unsigned type: the most negative value has no positive twin. */
            Num(0ull - (unsigned long long)s64Val, 10, false);
        } else {
            Num((unsigned long long)s64Val, 10, false);
        }
    }
    /* return the length, or -1 when the text was cut */
    int End() noexcept
    {
        if (m_uSize > 0) m_ps8Buf[m_uLen < m_uSize ? m_uLen : m_uSize - 1] = '\0';
        return m_bCut ? -1 : (int)m_uLen;
    }

private:
    char* m_ps8Buf;
    size_t m_uSize;
    size_t m_uLen = 0;
    bool m_bCut = false;
};

/* The three line forms: log lines on standard error, trace lines on standard
 * output. */
typedef enum { COMM_FORM_BRACKET, COMM_FORM_DASH, COMM_FORM_TRACE } COMM_FORM_E;

__attribute__((format(printf, 5, 0)))
void WriteLine(COMM_FORM_E enForm, const char* ps8Tag, const char* ps8Func, int s32Line,
               const char* ps8Fmt, va_list args)
{
    if (!CommLogAdmit()) return;
    /* The prefix is built by hand: every line of a search pays for it. */
    char s8Line[COMM_LOG_LINE_MAX];
    LineText stHead(s8Line, sizeof(s8Line));
    switch (enForm) {
    case COMM_FORM_BRACKET:   /* "[%s][%s] line[%d] " */
        stHead.Char('[');
        stHead.Str(ps8Tag);
        stHead.Str("][");
        stHead.Str(ps8Func);
        stHead.Str("] line[");
        stHead.Dec(s32Line);
        stHead.Str("] ");
        break;
    case COMM_FORM_DASH:      /* "[%s] -- [%s]:[%d] " */
        stHead.Char('[');
        stHead.Str(ps8Tag);
        stHead.Str("] -- [");
        stHead.Str(ps8Func);
        stHead.Str("]:[");
        stHead.Dec(s32Line);
        stHead.Str("] ");
        break;
    case COMM_FORM_TRACE:     /* "<%s>:(%d), " */
        stHead.Char('<');
        stHead.Str(ps8Func);
        stHead.Str(">:(");
        stHead.Dec(s32Line);
        stHead.Str("), ");
        break;
    }
    const int s32Head = stHead.End();
    if (s32Head < 0) {
        return; /* a tag or function name that long is a programming error */
    }
    WriteFormatted(enForm == COMM_FORM_TRACE ? stdout : stderr, s8Line, (size_t)s32Head, ps8Fmt,
                   args);
}

}  // namespace

CommLogBucket::CommLogBucket(unsigned u32Burst, unsigned u32RatePerSec) noexcept
    : m_u64Milli((uint64_t)u32Burst * COMM_LOG_MILLI),
      m_u64CapMilli((uint64_t)u32Burst * COMM_LOG_MILLI),
      m_u32Rate(u32RatePerSec)
{
}

bool CommLogBucket::Take(uint64_t u64NowMs, unsigned* pu32LeftOut) noexcept
{
    if (m_bClockSeen && u64NowMs > m_u64LastMs) {
        const uint64_t u64Add = (u64NowMs - m_u64LastMs) * m_u32Rate;
        m_u64Milli = (m_u64CapMilli - m_u64Milli < u64Add) ? m_u64CapMilli : m_u64Milli + u64Add;
    }
    if (!m_bClockSeen || u64NowMs > m_u64LastMs) {
        m_u64LastMs = u64NowMs;
        m_bClockSeen = true;
    }
    /* A line after left-out ones pays for its report too. */
    const uint64_t u64Cost = (m_u32LeftOut > 0 ? 2 : 1) * COMM_LOG_MILLI;
    if (m_u64Milli < u64Cost) {
        if (m_u32LeftOut < 0xFFFFFFFFu) ++m_u32LeftOut;
        return false;
    }
    m_u64Milli -= u64Cost;
    *pu32LeftOut = m_u32LeftOut;
    m_u32LeftOut = 0;
    return true;
}

void CommLogBudgetRefill()
{
    pthread_mutex_lock(&s_stBudgetLock);
    s_stBudget = CommLogBucket(COMM_LOG_BURST, COMM_LOG_RATE);
    pthread_mutex_unlock(&s_stBudgetLock);
}

void CommLogLine(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
{
    va_list args;
    va_start(args, ps8Fmt);
    WriteLine(COMM_FORM_BRACKET, ps8Tag, ps8Func, s32Line, ps8Fmt, args);
    va_end(args);
}

void CommLogDash(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
{
    va_list args;
    va_start(args, ps8Fmt);
    WriteLine(COMM_FORM_DASH, ps8Tag, ps8Func, s32Line, ps8Fmt, args);
    va_end(args);
}

void CommTraceLine(const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
{
    va_list args;
    va_start(args, ps8Fmt);
    WriteLine(COMM_FORM_TRACE, "", ps8Func, s32Line, ps8Fmt, args);
    va_end(args);
}

void CommTrace(const char* ps8Fmt, ...)
{
    if (!CommLogAdmit()) return;
    char s8Line[COMM_LOG_LINE_MAX];
    va_list args;
    va_start(args, ps8Fmt);
    WriteFormatted(stdout, s8Line, 0, ps8Fmt, args);
    va_end(args);
}

int CommFormatPlain(char* ps8Dst, size_t uSize, const char* ps8Fmt, va_list args)
{
    COMM_ASSERT(ps8Dst != nullptr && ps8Fmt != nullptr);
    LineText stText(ps8Dst, uSize);
    for (const char* p = ps8Fmt; *p != '\0'; ++p) {
        if (*p != '%') {
            stText.Char(*p);
            continue;
        }
        switch (*++p) {
        case '%':
            stText.Char('%');
            break;
        case 'c':
            stText.Char((char)va_arg(args, int));
            break;
        case 'd':
        case 'i':
            stText.Dec(va_arg(args, int));
            break;
        case 'u':
            stText.Num(va_arg(args, unsigned int), 10, false);
            break;
        case 'x':
            stText.Num(va_arg(args, unsigned int), 16, false);
            break;
        case 'X':
            stText.Num(va_arg(args, unsigned int), 16, true);
            break;
        case 's': {
            const char* ps8Arg = va_arg(args, const char*);
            if (ps8Arg == nullptr) return -1;   /* vsnprintf spells it */
            stText.Str(ps8Arg);
            break;
        }
        default:
            return -1;   /* flags, width, precision, length, other conversions */
        }
    }
    return stText.End();
}

size_t CommLogEscape(char* ps8Dst, size_t uDstSize, const char* ps8Src, size_t uSrcMax)
{
    COMM_ASSERT(ps8Dst != nullptr && uDstSize > 0);
    static const char s8Hex[] = "0123456789abcdef";
    size_t uOut = 0;
    for (size_t i = 0; ps8Src != nullptr && i < uSrcMax && ps8Src[i] != '\0'; ++i) {
        const unsigned char u8Byte = (unsigned char)ps8Src[i];
        const bool bPlain = u8Byte >= 0x20 && u8Byte < 0x7F && u8Byte != '\\';
        const size_t uNeed = bPlain ? 1 : 4;
        if (uOut + uNeed >= uDstSize) break;
        if (bPlain) {
            ps8Dst[uOut++] = (char)u8Byte;
        } else {
            ps8Dst[uOut++] = '\\';
            ps8Dst[uOut++] = 'x';
            ps8Dst[uOut++] = s8Hex[u8Byte >> 4];
            ps8Dst[uOut++] = s8Hex[u8Byte & 0x0F];
        }
    }
    ps8Dst[uOut] = '\0';
    return uOut;
}

void CommAssertFail(const char* ps8Func, int s32Line, const char* ps8File)
{
    const char* ps8Base = strrchr(ps8File, '/');
    printf("ASSERT failed: func: [%s], line [%d], file: [%s]\n", ps8Func, s32Line,
           ps8Base != nullptr ? ps8Base + 1 : ps8File);
    fflush(stdout);
    abort();
}
