// SPDX-License-Identifier: MIT
/* comm_log.h: the daemon's log lines, trace lines and assertion.
 *
 *   BCAST_LOG("recvmsg failed (%s)!\n", strerror(s32Err));   // in bcast_serv
 *   COMM_LOG("socket: %s\n", strerror(errno));               // in comm_funcs
 *   CommTraceLine("GetDevInfo", __LINE__, "fopen error\n");
 *   COMM_ASSERT(pu8IpAddr != nullptr);
 *
 * Log lines go to standard error, trace lines to standard output; each is
 * written with one call and flushed at once.
 *
 * Budget: anyone on the LAN decides how many datagrams arrive, so the lines
 * they cause are bounded. Every log and trace line takes one token of a bucket
 * that holds COMM_LOG_BURST lines and refills by COMM_LOG_RATE lines a second.
 * A line that finds no token is left out and counted; the next line written is
 * preceded by one line on standard error that says how many were left out:
 *   "[COMM][CommLogAdmit] line[N] 1234 log lines left out\n"
 * At ordinary rates (a few datagrams a second) no line is ever left out. The
 * assertion line is never left out. */
#ifndef COMMON_COMM_LOG_H
#define COMMON_COMM_LOG_H

#include <stddef.h>

constexpr unsigned COMM_LOG_BURST = 200; /* lines written at once from a full bucket */
constexpr unsigned COMM_LOG_RATE = 50;   /* lines a second, sustained */

/* Writes "[tag][func] line[line] " followed by the formatted text. */
void CommLogLine(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
    __attribute__((format(printf, 4, 5)));

/* Writes "[tag] -- [func]:[line] " followed by the formatted text. */
void CommLogDash(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
    __attribute__((format(printf, 4, 5)));

/* Writes "<func>:(line), " followed by the formatted text on standard output
 * (the trace lines of the settings provider). */
void CommTraceLine(const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* Writes the formatted text on standard output (a trace line of another form;
 * the caller writes its own prefix and line end). */
void CommTrace(const char* ps8Fmt, ...) __attribute__((format(printf, 1, 2)));

/* Prints "ASSERT failed: func: [%s], line [%d], file: [%s]\n" on standard
 * output (file = base name of ps8File) and aborts the process. */
[[noreturn]] void CommAssertFail(const char* ps8Func, int s32Line, const char* ps8File);

/* Room CommLogEscape needs for a text of at most uSrcMax bytes. */
constexpr size_t CommLogEscapedSize(size_t uSrcMax)
{
    return 4 * uSrcMax + 1;
}

/* CommLogEscape: a text that came from the network, made safe for a log line.
 * Printable ASCII passes unchanged; control bytes, bytes of 0x7F and above and
 * the backslash become "\xNN" (lower-case hex), so no datagram can end a line,
 * start another or write terminal escapes.
 * ps8Src   [in]  at most uSrcMax bytes, up to the first NUL (need not be terminated)
 * ps8Dst   [out] always terminated; CommLogEscapedSize(uSrcMax) bytes hold any text
 * return the length written; a text that does not fit is cut at a whole character */
size_t CommLogEscape(char* ps8Dst, size_t uDstSize, const char* ps8Src, size_t uSrcMax);

#define COMM_LOG(...)        CommLogLine("COMM", __FUNCTION__, __LINE__, __VA_ARGS__)
#define COMM_LOG_DASH(...)   CommLogDash("COMM", __FUNCTION__, __LINE__, __VA_ARGS__)
#define PLATFORM_LOG_DASH(...) CommLogDash("PLATFORM", __FUNCTION__, __LINE__, __VA_ARGS__)
#define BCAST_LOG(...)       CommLogLine("BCAST", __FUNCTION__, __LINE__, __VA_ARGS__)

/* Guards required pointers only; bad input is a result, never an assertion. */
#define COMM_ASSERT(expr)                                          \
    do {                                                           \
        if (!(expr)) CommAssertFail(__FUNCTION__, __LINE__, __FILE__); \
    } while (0)

#endif /* COMMON_COMM_LOG_H */
