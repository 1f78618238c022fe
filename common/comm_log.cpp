// SPDX-License-Identifier: MIT
/* comm_log.cpp: the daemon's log: the line forms, the budgets and the
 * writers of standard output and error that never block it (comm_log.h). */
#include "comm_log.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <initializer_list>

#include "comm_io.h"
#include "comm_log_internal.h"

namespace {

/* The longest line: one write() of at most PIPE_BUF bytes is taken by a pipe
 * whole or not at all, so no reader ever sees half a line. */
constexpr size_t COMM_LOG_LINE_MAX = PIPE_BUF;
constexpr uint64_t COMM_LOG_MILLI = 1000; /* thousandths of a token per line */

typedef enum {
    COMM_BUDGET_GENERAL = 0, /* searches, unknown datagrams, traces, everything else */
    COMM_BUDGET_MODIFY = 1,  /* what was done, or refused, to the settings */
    COMM_BUDGET_COUNT = 2,
} COMM_BUDGET_E;

/* The process's log: budgets, streams and the line being written, shared by
 * the server thread and the main thread under one lock. Writes never wait
 * (see CommLogNeverBlock), so holding the lock across one is cheap. */
pthread_mutex_t s_stLogLock = PTHREAD_MUTEX_INITIALIZER;
CommLogBucket s_astBudget[COMM_BUDGET_COUNT] = {
    CommLogBucket(COMM_LOG_BURST, COMM_LOG_RATE),
    CommLogBucket(COMM_LOG_MODIFY_BURST, COMM_LOG_MODIFY_RATE),
};
uint64_t (*s_pfnNowMs)() = CommNowMs;
CommLogSink s_stOut(STDOUT_FILENO);
CommLogSink s_stErr(STDERR_FILENO);
char s_s8Line[COMM_LOG_LINE_MAX];

class LogLock {
public:
    LogLock() noexcept { pthread_mutex_lock(&s_stLogLock); }
    ~LogLock() { pthread_mutex_unlock(&s_stLogLock); }
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;
};

/* One token of the budget for the line about to be written; writes the report
 * of that budget's lines left out before it, if any. Called under the lock.
 * return false: leave the line out */
bool CommLogAdmit(COMM_BUDGET_E enBudget)
{
    unsigned u32LeftOut = 0;
    if (!s_astBudget[enBudget].Take(s_pfnNowMs(), &u32LeftOut)) return false;
    if (u32LeftOut > 0) {
        char s8Report[96];
        const int s32Len =
            snprintf(s8Report, sizeof(s8Report), "[COMM][%s] line[%d] %u %slog lines left out\n",
                     __FUNCTION__, __LINE__, u32LeftOut,
                     enBudget == COMM_BUDGET_MODIFY ? "modification " : "");
        if (s32Len > 0 && (size_t)s32Len < sizeof(s8Report)) {
            s_stErr.Write(s8Report, (size_t)s32Len);
        }
    }
    return true;
}

/* Formats the text behind the uHead bytes of prefix already in s_s8Line and
 * writes both with one call. A text too long for the line is cut, keeping its
 * line end. Called under the lock. */
__attribute__((format(printf, 3, 0))) void WriteFormatted(CommLogSink* pstSink, size_t uHead,
                                                          const char* ps8Fmt, va_list args)
{
    va_list argsCopy;
    va_copy(argsCopy, args);
    int s32Text = CommFormatPlain(s_s8Line + uHead, sizeof(s_s8Line) - uHead, ps8Fmt, argsCopy);
    va_end(argsCopy);
    if (s32Text < 0) {
        va_copy(argsCopy, args);
        s32Text = vsnprintf(s_s8Line + uHead, sizeof(s_s8Line) - uHead, ps8Fmt, argsCopy);
        va_end(argsCopy);
        if (s32Text < 0) return; /* an encoding error: nothing sensible to write */
    }
    size_t uLen = uHead + (size_t)s32Text;
    if (uLen >= sizeof(s_s8Line)) {
        uLen = sizeof(s_s8Line) - 1;
        s_s8Line[uLen - 1] = '\n';
    }
    pstSink->Write(s_s8Line, uLen);
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

__attribute__((format(printf, 6, 0))) void WriteLine(COMM_BUDGET_E enBudget, COMM_FORM_E enForm,
                                                     const char* ps8Tag, const char* ps8Func,
                                                     int s32Line, const char* ps8Fmt, va_list args)
{
    const LogLock stLock;
    if (!CommLogAdmit(enBudget)) return;
    /* The prefix is built by hand: every line of a search pays for it. The
     * trace form has no tag. */
    static const struct {
        const char* ps8Open;     /* before the tag, or the function when no tag */
        const char* ps8AfterTag; /* null: the form has no tag */
        const char* ps8AfterFunc;
        const char* ps8Close; /* after the line number */
    } s_astForm[] = {
        {"[", "][", "] line[", "] "}, /* COMM_FORM_BRACKET: "[%s][%s] line[%d] " */
        {"[", "] -- [", "]:[", "] "}, /* COMM_FORM_DASH:    "[%s] -- [%s]:[%d] " */
        {"<", nullptr, ">:(", "), "}, /* COMM_FORM_TRACE:   "<%s>:(%d), " */
    };
    static_assert(sizeof(s_astForm) / sizeof(s_astForm[0]) == COMM_FORM_TRACE + 1, "one a form");
    const auto& stForm = s_astForm[enForm];
    LineText stHead(s_s8Line, sizeof(s_s8Line));
    stHead.Str(stForm.ps8Open);
    if (stForm.ps8AfterTag != nullptr) {
        stHead.Str(ps8Tag);
        stHead.Str(stForm.ps8AfterTag);
    }
    stHead.Str(ps8Func);
    stHead.Str(stForm.ps8AfterFunc);
    stHead.Dec(s32Line);
    stHead.Str(stForm.ps8Close);
    const int s32Head = stHead.End();
    if (s32Head < 0) {
        return; /* a tag or function name that long is a programming error */
    }
    WriteFormatted(enForm == COMM_FORM_TRACE ? &s_stOut : &s_stErr, (size_t)s32Head, ps8Fmt, args);
}

/* A line of the caller's text alone, no prefix. */
__attribute__((format(printf, 2, 0))) void WritePlain(CommLogSink* pstSink, const char* ps8Fmt,
                                                      va_list args)
{
    const LogLock stLock;
    if (!CommLogAdmit(COMM_BUDGET_GENERAL)) return;
    WriteFormatted(pstSink, 0, ps8Fmt, args);
}

__attribute__((format(printf, 2, 3))) void WritePlainF(CommLogSink* pstSink, const char* ps8Fmt,
                                                       ...)
{
    va_list args;
    va_start(args, ps8Fmt);
    WritePlain(pstSink, ps8Fmt, args);
    va_end(args);
}

/* SIGPIPE's handler: the failed write reports EPIPE, which is all we need. */
void IgnoreSignal(int /*s32Sig*/) {}

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

bool CommLogSink::Put(const char* ps8Buf, size_t uLen) noexcept
{
    const size_t uDone = CommWriteAll(m_s32Fd, ps8Buf, uLen);
    /* A part of a line is out: whatever comes next must start a line. */
    if (uDone > 0) m_bCut = uDone < uLen;
    return uDone == uLen;
}

void CommLogSink::CountLeftOut(int s32Err) noexcept
{
    if (m_u32LeftOut == 0) m_s32FirstErr = s32Err;
    if (m_u32LeftOut < 0xFFFFFFFFu) ++m_u32LeftOut;
}

bool CommLogSink::Write(const char* ps8Line, size_t uLen) noexcept
{
    if (m_u32LeftOut > 0) {
        /* A line cut short counted as left out too: the report starts a line. */
        char s8Report[160];
        const int s32Len =
            snprintf(s8Report, sizeof(s8Report),
                     "%s[COMM][CommLogWrite] line[%d] %u log lines left out, not written (%s)\n",
                     m_bCut ? "\n" : "", __LINE__, m_u32LeftOut,
                     strerror(m_s32FirstErr != 0 ? m_s32FirstErr : EAGAIN));
        errno = 0;
        if (s32Len <= 0 || (size_t)s32Len >= sizeof(s8Report) || !Put(s8Report, (size_t)s32Len)) {
            CountLeftOut(errno != 0 ? errno : EAGAIN);
            return false;
        }
        m_u32LeftOut = 0;
    }
    errno = 0;
    if (!Put(ps8Line, uLen)) {
        CountLeftOut(errno != 0 ? errno : EAGAIN);
        return false;
    }
    return true;
}

void CommLogBudgetRefill()
{
    const LogLock stLock;
    s_astBudget[COMM_BUDGET_GENERAL] = CommLogBucket(COMM_LOG_BURST, COMM_LOG_RATE);
    s_astBudget[COMM_BUDGET_MODIFY] = CommLogBucket(COMM_LOG_MODIFY_BURST, COMM_LOG_MODIFY_RATE);
}

void CommLogTestClock(uint64_t (*pfnNowMs)())
{
    {
        const LogLock stLock;
        s_pfnNowMs = pfnNowMs != nullptr ? pfnNowMs : CommNowMs;
    }
    CommLogBudgetRefill();
}

int CommLogNeverBlock()
{
    int s32Ret = 0;
    struct sigaction stAct;
    memset(&stAct, 0, sizeof(stAct));
    stAct.sa_handler = IgnoreSignal;
    sigemptyset(&stAct.sa_mask);
    stAct.sa_flags = SA_RESTART;
    if (sigaction(SIGPIPE, &stAct, nullptr) != 0) s32Ret = -1;
    for (const int s32Fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat stInfo;
        if (fstat(s32Fd, &stInfo) != 0) continue; /* closed: writes fail, and are counted */
        /* Only what a stalled reader can fill: a file or a terminal keeps its
         * flags (a terminal's are shared with the shell that started us). */
        if (!S_ISFIFO(stInfo.st_mode) && !S_ISSOCK(stInfo.st_mode)) continue;
        const int s32Flags = fcntl(s32Fd, F_GETFL);
        if (s32Flags < 0 || fcntl(s32Fd, F_SETFL, s32Flags | O_NONBLOCK) != 0) s32Ret = -1;
    }
    return s32Ret;
}

void CommLogLine(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
{
    va_list args;
    va_start(args, ps8Fmt);
    WriteLine(COMM_BUDGET_GENERAL, COMM_FORM_BRACKET, ps8Tag, ps8Func, s32Line, ps8Fmt, args);
    va_end(args);
}

void CommLogModifyLine(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt,
                       ...)
{
    va_list args;
    va_start(args, ps8Fmt);
    WriteLine(COMM_BUDGET_MODIFY, COMM_FORM_BRACKET, ps8Tag, ps8Func, s32Line, ps8Fmt, args);
    va_end(args);
}

void CommLogDash(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
{
    va_list args;
    va_start(args, ps8Fmt);
    WriteLine(COMM_BUDGET_GENERAL, COMM_FORM_DASH, ps8Tag, ps8Func, s32Line, ps8Fmt, args);
    va_end(args);
}

void CommTraceLine(const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
{
    va_list args;
    va_start(args, ps8Fmt);
    WriteLine(COMM_BUDGET_GENERAL, COMM_FORM_TRACE, "", ps8Func, s32Line, ps8Fmt, args);
    va_end(args);
}

void CommTrace(const char* ps8Fmt, ...)
{
    va_list args;
    va_start(args, ps8Fmt);
    WritePlain(&s_stOut, ps8Fmt, args);
    va_end(args);
}

void CommLogPerror(const char* ps8Text, int s32Err)
{
    const bool bText = ps8Text != nullptr && ps8Text[0] != '\0';
    WritePlainF(&s_stErr, "%s%s%s\n", bText ? ps8Text : "", bText ? ": " : "", strerror(s32Err));
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
                if (ps8Arg == nullptr) return -1; /* vsnprintf spells it */
                stText.Str(ps8Arg);
                break;
            }
            default:
                return -1; /* flags, width, precision, length, other conversions */
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
