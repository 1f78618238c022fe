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

/* Formats ps8Head (already in s8Line, s32Head bytes) plus the text and writes
 * them with one call, so lines of two threads never interleave and an
 * unbuffered stream costs one write. */
__attribute__((format(printf, 4, 0)))
void WriteFormatted(FILE* pStream, char (&s8Line)[COMM_LOG_LINE_MAX], size_t uHead,
                    const char* ps8Fmt, va_list args)
{
    va_list argsCopy;
    va_copy(argsCopy, args);
    const int s32Text = vsnprintf(s8Line + uHead, sizeof(s8Line) - uHead, ps8Fmt, argsCopy);
    va_end(argsCopy);
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

/* The three line forms: log lines on standard error, trace lines on standard
 * output. */
typedef enum { COMM_FORM_BRACKET, COMM_FORM_DASH, COMM_FORM_TRACE } COMM_FORM_E;

__attribute__((format(printf, 5, 0)))
void WriteLine(COMM_FORM_E enForm, const char* ps8Tag, const char* ps8Func, int s32Line,
               const char* ps8Fmt, va_list args)
{
    if (!CommLogAdmit()) return;
    char s8Line[COMM_LOG_LINE_MAX];
    int s32Head = 0;
    switch (enForm) {
    case COMM_FORM_BRACKET:
        s32Head = snprintf(s8Line, sizeof(s8Line), "[%s][%s] line[%d] ", ps8Tag, ps8Func, s32Line);
        break;
    case COMM_FORM_DASH:
        s32Head = snprintf(s8Line, sizeof(s8Line), "[%s] -- [%s]:[%d] ", ps8Tag, ps8Func, s32Line);
        break;
    case COMM_FORM_TRACE:
        s32Head = snprintf(s8Line, sizeof(s8Line), "<%s>:(%d), ", ps8Func, s32Line);
        break;
    }
    if (s32Head < 0 || (size_t)s32Head >= sizeof(s8Line)) {
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
