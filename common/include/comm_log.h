/* comm_log.h: the daemon's log lines and assertion.
 *
 *   BCAST_LOG("recvmsg failed (%s)!\n", strerror(s32Err));   // in bcast_serv
 *   COMM_LOG("socket: %s\n", strerror(errno));               // in comm_funcs
 *   COMM_ASSERT(pu8IpAddr != nullptr);
 *
 * Every line goes to standard error and is flushed at once. */
#ifndef COMMON_COMM_LOG_H
#define COMMON_COMM_LOG_H

/* Writes "[tag][func] line[line] " followed by the formatted text. */
void CommLogLine(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
    __attribute__((format(printf, 4, 5)));

/* Writes "[tag] -- [func]:[line] " followed by the formatted text. */
void CommLogDash(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
    __attribute__((format(printf, 4, 5)));

/* Prints "ASSERT failed: func: [%s], line [%d], file: [%s]\n" on standard
 * output (file = base name of ps8File) and aborts the process. */
[[noreturn]] void CommAssertFail(const char* ps8Func, int s32Line, const char* ps8File);

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
