#include "comm_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

/* Most lines fit here; a longer one is written in two pieces. */
constexpr size_t COMM_LOG_LINE_MAX = 512;

/* A line is formatted first and written with one call, so lines of two
 * threads never interleave and an unbuffered stderr costs one write. */
__attribute__((format(printf, 5, 0)))
void WriteLine(bool bDashForm, const char* ps8Tag, const char* ps8Func, int s32Line,
               const char* ps8Fmt, va_list args)
{
    char s8Line[COMM_LOG_LINE_MAX];
    const int s32Head = bDashForm
        ? snprintf(s8Line, sizeof(s8Line), "[%s] -- [%s]:[%d] ", ps8Tag, ps8Func, s32Line)
        : snprintf(s8Line, sizeof(s8Line), "[%s][%s] line[%d] ", ps8Tag, ps8Func, s32Line);
    if (s32Head < 0 || (size_t)s32Head >= sizeof(s8Line)) {
        return; /* a tag or function name that long is a programming error */
    }
    va_list argsCopy;
    va_copy(argsCopy, args);
    const int s32Text = vsnprintf(s8Line + s32Head, sizeof(s8Line) - (size_t)s32Head,
                                  ps8Fmt, argsCopy);
    va_end(argsCopy);
    flockfile(stderr);
    if (s32Text >= 0 && (size_t)s32Head + (size_t)s32Text < sizeof(s8Line)) {
        fwrite(s8Line, 1, (size_t)s32Head + (size_t)s32Text, stderr);
    } else {
        fwrite(s8Line, 1, (size_t)s32Head, stderr);
        vfprintf(stderr, ps8Fmt, args);
    }
    fflush(stderr);
    funlockfile(stderr);
}

}  // namespace

void CommLogLine(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
{
    va_list args;
    va_start(args, ps8Fmt);
    WriteLine(false, ps8Tag, ps8Func, s32Line, ps8Fmt, args);
    va_end(args);
}

void CommLogDash(const char* ps8Tag, const char* ps8Func, int s32Line, const char* ps8Fmt, ...)
{
    va_list args;
    va_start(args, ps8Fmt);
    WriteLine(true, ps8Tag, ps8Func, s32Line, ps8Fmt, args);
    va_end(args);
}

void CommAssertFail(const char* ps8Func, int s32Line, const char* ps8File)
{
    const char* ps8Base = strrchr(ps8File, '/');
    printf("ASSERT failed: func: [%s], line [%d], file: [%s]\n", ps8Func, s32Line,
           ps8Base != nullptr ? ps8Base + 1 : ps8File);
    fflush(stdout);
    abort();
}
