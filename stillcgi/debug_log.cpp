// SPDX-License-Identifier: MIT
/* debug_log.cpp: the rotating debug log. */
#include "debug_log.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "debug_log_internal.h"

LOG_ARGS_S sg_LogArgs = {{0}, {0}, 0, 0, nullptr, 0, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER};
S32 resetflag = 1;

namespace {

/* Indexed by level; only 0..8 have entries. */
const S8* const LOG_LEV[] = {"", "ERR", "WAN", "", "NOT", "", "", "", "DBG"};
constexpr S32 LOG_LEV_COUNT = (S32)(sizeof(LOG_LEV) / sizeof(LOG_LEV[0]));

constexpr U32 LOG_STAMP_SIZE = 96; /* room for any int in every field */

/* Copies at most u32Max characters of ps8Src into a zero-filled field. */
template <size_t N>
VOID CopyCut(S8 (&s8Dst)[N], const S8* ps8Src, size_t u32Max)
{
    const size_t u32Len = strnlen(ps8Src, u32Max < N ? u32Max : N - 1);
    memset(s8Dst, 0, N);
    memcpy(s8Dst, ps8Src, u32Len);
}

VOID FormStampLong(const struct timeval& stNow, S8* ps8Buf, size_t u32Size)
{
    struct tm stTm = {};
    const time_t tSec = stNow.tv_sec;
    localtime_r(&tSec, &stTm);
    snprintf(ps8Buf, u32Size, "%04d/%02d/%02d %02d:%02d:%02d:%03ld", stTm.tm_year + 1900,
             stTm.tm_mon + 1, stTm.tm_mday, stTm.tm_hour, stTm.tm_min, stTm.tm_sec,
             (long)(stNow.tv_usec / 1000));
}

VOID FormStampShort(const struct timeval& stNow, S8* ps8Buf, size_t u32Size)
{
    struct tm stTm = {};
    const time_t tSec = stNow.tv_sec;
    localtime_r(&tSec, &stTm);
    snprintf(ps8Buf, u32Size, "%02d/%02d %02d:%02d:%02d:%03ld", stTm.tm_mon + 1, stTm.tm_mday,
             stTm.tm_hour, stTm.tm_min, stTm.tm_sec, (long)(stNow.tv_usec / 1000));
}

/* "%s%s%02d.log"; false when the name does not fit. */
BOOL LogFilePath(S32 s32No, S8* ps8Buf, size_t u32Size)
{
    const int n =
        snprintf(ps8Buf, u32Size, "%s%s%02d.log", sg_LogArgs.s8Dir, sg_LogArgs.s8Prefix, s32No);
    return n >= 0 && (size_t)n < u32Size;
}

BOOL LogSeqPath(S8* ps8Buf, size_t u32Size)
{
    const int n = snprintf(ps8Buf, u32Size, "%s%sid.dat", sg_LogArgs.s8Dir, sg_LogArgs.s8Prefix);
    return n >= 0 && (size_t)n < u32Size;
}

/* Counts what a message added; only characters that went out count. */
VOID AddWritten(int s32Count)
{
    if (s32Count <= 0) {
        return;
    }
    if (sg_LogArgs.s32Written > INT32_MAX - s32Count) {
        sg_LogArgs.s32Written = INT32_MAX;
    } else {
        sg_LogArgs.s32Written += s32Count;
    }
}

/* With the lock held: the size test comes before the write, so a file ends at
 * most one message past the limit. */
VOID RotateIfFull()
{
    if (sg_LogArgs.s32Written >= sg_LogArgs.s32SizeLimit) {
        if (sg_LogArgs.pFile != nullptr) {
            fflush(sg_LogArgs.pFile);
        }
        logChangeFile();
    }
}

/* The stream a message goes to, or null when it is dropped. */
FILE* LogStream()
{
    if (sg_LogArgs.s32Dest == 0) {
        return stdout;
    }
    if (sg_LogArgs.pFile != nullptr) {
        fflush(sg_LogArgs.pFile);
    }
    return sg_LogArgs.pFile;
}

/* Decimal value of a sequence line, as atoi reads it, kept inside int. */
S32 SeqValue(const S8* ps8Line)
{
    errno = 0;
    const long long s64Val = strtoll(ps8Line, nullptr, 10);
    if (s64Val > INT32_MAX) {
        return INT32_MAX;
    }
    if (s64Val < INT32_MIN) {
        return INT32_MIN;
    }
    return (S32)s64Val;
}

/* What a LOG message says of where it comes from; LOGT messages have none. */
typedef struct {
    S32 s32Level;
    S32 s32Line;
    const S8* ps8File;
    const S8* ps8Func;
} LOG_HEAD_S;

/* One message under the lock: rotation first, then the stamp (long form with
 * pstHead's fields, short form without), then the text. */
__attribute__((format(printf, 2, 0))) VOID WriteMessage(const LOG_HEAD_S* pstHead, const S8* ps8Fmt,
                                                        va_list ap)
{
    pthread_mutex_lock(&sg_LogArgs.stLock);
    RotateIfFull();
    struct timeval stNow = {};
    gettimeofday(&stNow, nullptr);
    S8 s8Stamp[LOG_STAMP_SIZE];
    if (pstHead != nullptr) {
        FormStampLong(stNow, s8Stamp, sizeof(s8Stamp));
    } else {
        FormStampShort(stNow, s8Stamp, sizeof(s8Stamp));
    }

    FILE* pOut = LogStream();
    if (pOut != nullptr) {
        if (pstHead != nullptr) {
            AddWritten(fprintf(pOut, "[%s]-[%s][%s][%s][%d]", LogLevelName(pstHead->s32Level),
                               s8Stamp, pstHead->ps8Func != nullptr ? pstHead->ps8Func : "",
                               pstHead->ps8File != nullptr ? pstHead->ps8File : "",
                               pstHead->s32Line));
        } else {
            AddWritten(fprintf(pOut, "[%s]", s8Stamp));
        }
        AddWritten(vfprintf(pOut, ps8Fmt, ap));
    }
    pthread_mutex_unlock(&sg_LogArgs.stLock);
}

}  // namespace

const S8* LogLevelName(S32 s32Level)
{
    if (s32Level < 0 || s32Level >= LOG_LEV_COUNT) {
        return "";
    }
    return LOG_LEV[s32Level];
}

S32 LogInit(const S8* ps8Dir, const S8* ps8Prefix, S32 s32Size, S32 s32Count, S32 s32Mask,
            S32 s32Dest, S32 s32Reinit)
{
    /* Directory: room is kept for the "/" appended below. */
    CopyCut(sg_LogArgs.s8Dir, ps8Dir != nullptr ? ps8Dir : LOG_DEFAULT_DIR,
            sizeof(sg_LogArgs.s8Dir) - 2);
    struct stat stSt;
    if (stat(sg_LogArgs.s8Dir, &stSt) != 0) {
        mkdir(sg_LogArgs.s8Dir, 0777);
    }
    const size_t u32DirLen = strlen(sg_LogArgs.s8Dir);
    if (u32DirLen == 0 || sg_LogArgs.s8Dir[u32DirLen - 1] != '/') {
        sg_LogArgs.s8Dir[u32DirLen] = '/';
    }

    CopyCut(sg_LogArgs.s8Prefix, ps8Prefix != nullptr ? ps8Prefix : LOG_DEFAULT_PREFIX,
            sizeof(sg_LogArgs.s8Prefix) - 1);

    sg_LogArgs.s32LevelMask = s32Mask;
    sg_LogArgs.s32Dest = s32Dest;
    sg_LogArgs.s32SizeLimit = (s32Size <= 0 || s32Size > LOG_MAX_SIZE) ? LOG_MAX_SIZE : s32Size;
    sg_LogArgs.s32FileCount =
        (s32Count <= 0 || s32Count > LOG_MAX_FILES) ? LOG_MAX_FILES : s32Count;
    sg_LogArgs.s32FileNo = 1;

    if (s32Reinit == 1) {
        LogDestroy();
    }
    pthread_mutex_init(&sg_LogArgs.stLock, nullptr);

    S8 s8Path[LOG_PATH_SIZE];
    if (LogSeqPath(s8Path, sizeof(s8Path))) {
        FILE* pSeq = fopen(s8Path, "r");
        if (pSeq != nullptr) {
            S8 s8Line[LOG_SEQ_LINE_SIZE] = {0};
            if (fgets(s8Line, sizeof(s8Line), pSeq) != nullptr) {
                sg_LogArgs.s32FileNo = SeqValue(s8Line);
            }
            fclose(pSeq);
        } else {
            logSetSeqID();
        }
    }

    sg_LogArgs.s32Written = 0;
    sg_LogArgs.pFile = nullptr;
    if (!LogFilePath(sg_LogArgs.s32FileNo, s8Path, sizeof(s8Path))) {
        printf("fopen %s failed\n", s8Path);
        return 1;
    }
    if (stat(s8Path, &stSt) == 0) {
        sg_LogArgs.s32Written = stSt.st_size > INT32_MAX ? INT32_MAX : (S32)stSt.st_size;
    }
    sg_LogArgs.pFile = fopen(s8Path, "a+");
    if (sg_LogArgs.pFile == nullptr) {
        printf("fopen %s failed\n", s8Path);
        return 1;
    }
    if (s32Dest == 1) {
        printf("Log file is %s\n", s8Path);
    }
    return 0;
}

VOID LOG(S32 s32Level, S32 s32Line, const S8* ps8File, const S8* ps8Func, const S8* ps8Fmt, ...)
{
    if ((s32Level & sg_LogArgs.s32LevelMask) == 0) {
        return;
    }
    const LOG_HEAD_S stHead = {s32Level, s32Line, ps8File, ps8Func};
    va_list ap;
    va_start(ap, ps8Fmt);
    WriteMessage(&stHead, ps8Fmt, ap);
    va_end(ap);
}

VOID LOGT(S32 s32Level, const S8* ps8Fmt, ...)
{
    if ((s32Level & sg_LogArgs.s32LevelMask) == 0) {
        return;
    }
    va_list ap;
    va_start(ap, ps8Fmt);
    WriteMessage(nullptr, ps8Fmt, ap);
    va_end(ap);
}

VOID logChangeFile()
{
    if (sg_LogArgs.pFile != nullptr) {
        fflush(sg_LogArgs.pFile);
        fclose(sg_LogArgs.pFile);
        sg_LogArgs.pFile = nullptr;
    }
    /* Any number at or above the count (also one read from a stale sequence
     * file) comes back to 1. */
    if (sg_LogArgs.s32FileNo >= sg_LogArgs.s32FileCount) {
        sg_LogArgs.s32FileNo = 1;
    } else {
        ++sg_LogArgs.s32FileNo;
    }
    S8 s8Path[LOG_PATH_SIZE];
    if (LogFilePath(sg_LogArgs.s32FileNo, s8Path, sizeof(s8Path))) {
        remove(s8Path);
        sg_LogArgs.pFile = fopen(s8Path, "a+");
    }
    sg_LogArgs.s32Written = 0;
    logSetSeqID();
}

VOID logSetSeqID()
{
    S8 s8Path[LOG_PATH_SIZE];
    if (!LogSeqPath(s8Path, sizeof(s8Path))) {
        return;
    }
    FILE* pSeq = fopen(s8Path, "w");
    if (pSeq == nullptr) {
        return;
    }
    fprintf(pSeq, "%d", sg_LogArgs.s32FileNo);
    fclose(pSeq);
}

VOID LogDestroy()
{
    pthread_mutex_lock(&sg_LogArgs.stLock);
    if (sg_LogArgs.pFile != nullptr) {
        fclose(sg_LogArgs.pFile);
        sg_LogArgs.pFile = nullptr;
    }
    pthread_mutex_unlock(&sg_LogArgs.stLock);
    pthread_mutex_destroy(&sg_LogArgs.stLock);
}

VOID LogResetTimesAt(const struct timeval* pstNow, const S8* ps8ResetPath)
{
    if (resetflag == 0 || pstNow == nullptr || ps8ResetPath == nullptr) {
        return;
    }
    struct tm stTm = {};
    const time_t tSec = pstNow->tv_sec;
    localtime_r(&tSec, &stTm);
    if (stTm.tm_year + 1900 <= 1970) {
        return; /* clock not set yet: a later call tries again */
    }
    resetflag = 0;
    S8 s8Stamp[LOG_STAMP_SIZE];
    FormStampLong(*pstNow, s8Stamp, sizeof(s8Stamp));

    FILE* pFile = fopen(ps8ResetPath, "r+");
    if (pFile != nullptr) {
        fseek(pFile, 0, SEEK_END);
        const long lSize = ftell(pFile);
        if (lSize == 0) {
            fclose(pFile);
            return;
        }
        if (lSize > LOG_RESET_FILE_MAX) {
            fclose(pFile);
            pFile = fopen(ps8ResetPath, "w+");
        }
    } else {
        pFile = fopen(ps8ResetPath, "w+");
    }
    if (pFile == nullptr) {
        return;
    }
    fprintf(pFile, "[%s]\n", s8Stamp);
    fclose(pFile);
}

VOID LogResetTimes(const S8* ps8ResetPath)
{
    struct timeval stNow = {};
    gettimeofday(&stNow, nullptr);
    LogResetTimesAt(&stNow, ps8ResetPath);
}

S32 DisplayMemSize()
{
    struct sysinfo stInfo = {};
    sysinfo(&stInfo);
    LOG_AT(LOG_LEVEL_DBG, "_____________________________Available:[%d]\n", (S32)stInfo.freeram);
    return 0;
}

VOID LogServerLine(const S8* ps8Fmt, ...)
{
    struct stat stErr;
    struct stat stOut;
    if (fstat(STDERR_FILENO, &stErr) == 0) {
        /* the reply's own pipe or file: the line would stand in the reply */
        if (fstat(STDOUT_FILENO, &stOut) == 0 && stErr.st_dev == stOut.st_dev &&
            stErr.st_ino == stOut.st_ino) {
            return;
        }
        struct sockaddr_storage stAddr;
        socklen_t u32Len = sizeof(stAddr);
        memset(&stAddr, 0, sizeof(stAddr));
        if (S_ISSOCK(stErr.st_mode) &&
            getsockname(STDERR_FILENO, reinterpret_cast<struct sockaddr*>(&stAddr), &u32Len) == 0 &&
            (stAddr.ss_family == AF_INET || stAddr.ss_family == AF_INET6)) {
            return;
        }
    }
    va_list stArgs;
    va_start(stArgs, ps8Fmt);
    vfprintf(stderr, ps8Fmt, stArgs);
    va_end(stArgs);
}
