// SPDX-License-Identifier: MIT
/* comm_log.h: the daemon's log: its log lines, its trace lines, and the
 * assertion that writes one before it stops the daemon.
 *
 *   BCAST_LOG("recvmsg failed (%s)!\n", strerror(s32Err));   // in bcast_serv
 *   COMM_LOG("socket: %s\n", strerror(errno));               // in comm_funcs
 *   CommTraceLine("GetDevInfo", __LINE__, "fopen error\n");
 *   COMM_ASSERT(pu8IpAddr != nullptr);
 *
 * Log lines go to standard error, trace lines to standard output; each is
 * written with one call.
 *
 * Budgets: anyone on the LAN decides how many datagrams arrive, so the lines
 * they cause are bounded. A line takes one token of a bucket that holds a
 * burst of lines and refills at a rate of lines a second; a line that finds no
 * token is left out and counted, and the next line of the same budget that is
 * written is preceded by one line on standard error that says how many were
 * left out. There are two budgets, so that searches can never crowd out what
 * someone did to the settings:
 *   - the lines of modifications (a user check's result, the guessing lock's
 *     start and end, a change stored, refused or not stored, a refused MAC
 *     set), written with CommLogModifyLine: COMM_LOG_MODIFY_BURST lines, then
 *     COMM_LOG_MODIFY_RATE a second; only a flood of modification requests
 *     themselves can use it up, then
 *       "[COMM][CommLogAdmit] line[N] 12 modification log lines left out\n"
 *   - every other log and trace line: COMM_LOG_BURST, then COMM_LOG_RATE a
 *     second, then "[COMM][CommLogAdmit] line[N] 1234 log lines left out\n".
 * At ordinary rates (a few datagrams a second) no line is ever left out. The
 * assertion line is never left out.
 *
 * The log never stops or blocks the daemon (after CommLogNeverBlock): a line
 * that its reader cannot take at once (a stalled or vanished pipe reader, a
 * stuck logger, a full disk) is left out and counted; the first line written
 * after that, on the same stream, is preceded by
 *   "[COMM][CommLogWrite] line[N] 87 log lines left out, not written (Broken pipe)\n"
 * A line is written with one write() of at most PIPE_BUF bytes, which a pipe
 * takes whole or not at all; a longer text is cut, keeping its line end. */
#ifndef COMMON_COMM_LOG_H
#define COMMON_COMM_LOG_H

#include <stddef.h>

constexpr unsigned COMM_LOG_BURST = 200;       /* lines written at once from a full bucket */
constexpr unsigned COMM_LOG_RATE = 50;         /* lines a second, sustained */
constexpr unsigned COMM_LOG_MODIFY_BURST = 50; /* the same for the lines of modifications */
constexpr unsigned COMM_LOG_MODIFY_RATE = 5;

/* Writes "[tag][func] line[line] " followed by the formatted text. */
void CommLogLine(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
    __attribute__((format(printf, 4, 5)));

/* CommLogLine under the budget of the lines of modifications (see above). */
void CommLogModifyLine(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt,
                       ...) __attribute__((format(printf, 4, 5)));

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

/* CommLogPerror: the line perror(ps8Text) writes for s32Err ("text: error
 * text\n", the error text alone for a null or empty text) on standard error,
 * under the budget of the other log lines. */
void CommLogPerror(const char* ps8Text, int s32Err);

/* CommLogNeverBlock: the daemon's output can neither end nor stall it. SIGPIPE
 * gets a handler that does nothing, so a write to a pipe whose reader is gone
 * fails with EPIPE instead of ending the process (a handler, not SIG_IGN:
 * programs the daemon starts get the default back at exec, while an ignored
 * SIGPIPE would be inherited). Standard output and error, when they are pipes,
 * FIFOs or sockets, are written without blocking from then on; a terminal or
 * a file is left as it is. Call once at the top of main, before any thread.
 * return 0, or -1 when a step failed (errno); the log works either way */
int CommLogNeverBlock();

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

#define COMM_LOG(...) CommLogLine("COMM", __FUNCTION__, __LINE__, __VA_ARGS__)
#define COMM_LOG_DASH(...) CommLogDash("COMM", __FUNCTION__, __LINE__, __VA_ARGS__)
#define PLATFORM_LOG_DASH(...) CommLogDash("PLATFORM", __FUNCTION__, __LINE__, __VA_ARGS__)
#define BCAST_LOG(...) CommLogLine("BCAST", __FUNCTION__, __LINE__, __VA_ARGS__)
#define BCAST_MODIFY_LOG(...) CommLogModifyLine("BCAST", __FUNCTION__, __LINE__, __VA_ARGS__)

/* Guards required pointers only; bad input is a result, never an assertion. */
#define COMM_ASSERT(expr)                                              \
    do {                                                               \
        if (!(expr)) CommAssertFail(__FUNCTION__, __LINE__, __FILE__); \
    } while (0)

#endif /* COMMON_COMM_LOG_H */
