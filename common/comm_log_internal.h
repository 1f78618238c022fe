// SPDX-License-Identifier: MIT
/* comm_log_internal.h: the log budgets' bucket and the writer of one stream,
 * declared for their unit tests.
 *
 *   CommLogBucket stBucket(COMM_LOG_BURST, COMM_LOG_RATE);
 *   unsigned u32LeftOut = 0;
 *   if (stBucket.Take(u64NowMs, &u32LeftOut)) { report u32LeftOut if not 0; write }
 *
 *   CommLogSink stErr(STDERR_FILENO);
 *   stErr.Write(s8Line, uLen);        // false: left out, counted, told later
 */
#ifndef COMMON_COMM_LOG_INTERNAL_H
#define COMMON_COMM_LOG_INTERNAL_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

/* A token bucket counted in thousandths of a line, so a rate of lines per
 * second refills whole milliseconds exactly. Not thread-safe by itself. */
class CommLogBucket {
public:
    /* Starts full. u32Burst >= 2 (a report and its line). */
    CommLogBucket(unsigned u32Burst, unsigned u32RatePerSec) noexcept;

    /* Take: may one line be written at u64NowMs (a monotonic clock)?
     * pu32LeftOut [out] on true: lines left out since the last line written
     *             (0: none); the caller writes one report line first. Such a
     *             line takes a second token, for the report.
     * return false: the line is left out (and counted) */
    bool Take(uint64_t u64NowMs, unsigned* pu32LeftOut) noexcept;

private:
    uint64_t m_u64Milli;      /* tokens now, in thousandths */
    uint64_t m_u64CapMilli;   /* burst, in thousandths */
    unsigned m_u32Rate;       /* lines a second = thousandths a millisecond */
    uint64_t m_u64LastMs = 0; /* when the bucket was last refilled */
    bool m_bClockSeen = false;
    unsigned m_u32LeftOut = 0;
};

/* One stream of the log (standard output or error) and the lines it could not
 * take. Not thread-safe by itself. */
class CommLogSink {
public:
    explicit CommLogSink(int s32Fd) noexcept : m_s32Fd(s32Fd) {}

    /* Write: one line, written with one write() when the stream takes it at
     * once (a descriptor without O_NONBLOCK may still wait). Lines the stream
     * did not take are counted; before the next line it takes, one report line
     * says how many (starting with a line end when a line was cut short).
     * return true when the whole line was written */
    bool Write(const char* ps8Line, size_t uLen) noexcept;

    unsigned LeftOut() const noexcept { return m_u32LeftOut; }

private:
    /* All uLen bytes, retrying only interruptions and short writes that made
     * progress. return true when all were written */
    bool Put(const char* ps8Buf, size_t uLen) noexcept;
    void CountLeftOut(int s32Err) noexcept;

    int m_s32Fd;
    unsigned m_u32LeftOut = 0; /* lines not written since the last report */
    int m_s32FirstErr = 0;     /* errno of the first of them */
    bool m_bCut = false;       /* the stream ends in the middle of a line */
};

/* CommFormatPlain: printf's text for a format whose conversions are all plain
 * %s, %d, %i, %u, %x, %X, %c or %% (no flags, width, precision or length),
 * built without the printf family: the lines of a search use nothing else.
 * ps8Dst [out] uSize bytes; terminated when uSize > 0
 * args   [in]  consumed: pass a copy when the caller may need them again
 * return the length (terminator not counted), or -1 when the format holds any
 *        other conversion, a %s argument is null, or the text does not fit:
 *        the caller then formats with vsnprintf */
int CommFormatPlain(char* ps8Dst, size_t uSize, const char* ps8Fmt, va_list args)
    __attribute__((format(printf, 3, 0)));

/* CommLogBudgetRefill: fills the process's buckets and forgets lines left out,
 * for tests that write many lines in a row on purpose. */
void CommLogBudgetRefill();

/* CommLogTestClock: the clock the process's budgets read (milliseconds of a
 * monotonic clock), for tests that move time by hand; null restores the real
 * one. Refills the buckets as CommLogBudgetRefill does. */
void CommLogTestClock(uint64_t (*pfnNowMs)());

#endif /* COMMON_COMM_LOG_INTERNAL_H */
