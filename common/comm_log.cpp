#include "comm_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

/* One line is written under the stream lock, so lines of two threads never
 * interleave; the flush makes each line visible at once. */
__attribute__((format(printf, 5, 0)))
void WriteLine(bool bDashForm, const char* ps8Tag, const char* ps8Func, int s32Line,
               const char* ps8Fmt, va_list args)
{
    flockfile(stderr);
    if (bDashForm) {
        fprintf(stderr, "[%s] -- [%s]:[%d] ", ps8Tag, ps8Func, s32Line);
    } else {
        fprintf(stderr, "[%s][%s] line[%d] ", ps8Tag, ps8Func, s32Line);
    }
    vfprintf(stderr, ps8Fmt, args);
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
