// SPDX-License-Identifier: MIT
/* debug_log.h: level-filtered diagnostic lines to standard output or to a ring
 * of numbered files rotated by size.
 *
 *   LogInit("/var/log/x", "app_", 65536, 3, 1 | 2, 1, 0);
 *   LOG(1, __LINE__, "file.cpp", __FUNCTION__, "open failed\n");
 *   LogDestroy();
 *
 * The module is off until LogInit runs: the state starts zeroed (mask 0), so
 * LOG and LOGT return at once without touching a file or the lock. */
#ifndef STILLCGI_DEBUG_LOG_H
#define STILLCGI_DEBUG_LOG_H

#include <pthread.h>
#include <stdio.h>

#include "stillcgi_def.h"
#include "type.h"

/* Level bits and their names "ERR", "WAN", "NOT", "DBG". */
#define LOG_LEVEL_ERR 1
#define LOG_LEVEL_WAN 2
#define LOG_LEVEL_NOT 4
#define LOG_LEVEL_DBG 8

/* The one log state of the process. */
typedef struct {
    S8 s8Dir[LOG_DIR_SIZE];       /* log directory, ends in "/" once set up */
    S8 s8Prefix[LOG_PREFIX_SIZE]; /* start of every file name */
    S32 s32SizeLimit;             /* bytes after which the next message rotates */
    S32 s32FileCount;             /* numbered files in the ring */
    FILE* pFile;                  /* current log file, or null */
    S32 s32FileNo;                /* number of the current file */
    S32 s32Written;               /* characters since the file was opened or rotated */
    S32 s32LevelMask;             /* a message is written when level & mask != 0 */
    S32 s32Dest;                  /* non-zero: the log file; 0: standard output */
    pthread_mutex_t stLock;       /* serialises the writers of this process */
} LOG_ARGS_S;

extern LOG_ARGS_S sg_LogArgs;

/* One-shot flag of LogResetTimes: set at start, cleared after one recording. */
extern S32 resetflag;

/* LogInit: sets the log up.
 * ps8Dir     [in] directory (null: "/mivor/log/"); created 0777 when missing;
 *                 cut to fit its field with the "/" that is appended if missing
 * ps8Prefix  [in] file name prefix (null: "zozid_"); cut to 11 characters
 * s32Size    size limit; 0 or above 1048576 gives 1048576
 * s32Count   file count; 0 or above 5 gives 5
 * s32Mask    level mask;  s32Dest  non-zero: file, 0: standard output
 * s32Reinit  1: LogDestroy first
 * return 0 when the log file is open, 1 when it cannot be opened
 *        ("fopen %s failed\n" on standard output) */
S32 LogInit(const S8* ps8Dir, const S8* ps8Prefix, S32 s32Size, S32 s32Count, S32 s32Mask,
            S32 s32Dest, S32 s32Reinit);

/* LOG: one message "[lev]-[time][func][file][line]" + the formatted text (no
 * line end added). Levels outside 0..8 get the empty name. */
VOID LOG(S32 s32Level, S32 s32Line, const S8* ps8File, const S8* ps8Func, const S8* ps8Fmt, ...)
    __attribute__((format(printf, 5, 6)));

/* LOGT: one message "[MM/DD hh:mm:ss:mmm]" + the formatted text. */
VOID LOGT(S32 s32Level, const S8* ps8Fmt, ...) __attribute__((format(printf, 2, 3)));

/* LogDestroy: closes the log file and destroys the lock. LOG and LOGT must not
 * run afterwards until LogInit runs again. */
VOID LogDestroy();

/* LogResetTimes: once per process, after the clock has been set (year after
 * 1970), appends "[time]\n" to the reset-time file; an existing empty file
 * stays empty, one over 1024 bytes starts anew. */
VOID LogResetTimes(const S8* ps8ResetPath = LOG_RESET_FILE_PATH);

/* DisplayMemSize: a debug-level message with the free memory; returns 0. */
S32 DisplayMemSize();

/* LogServerLine: a diagnostic line for the web server's error log, written
 * to standard error, except when standard error leads to the client: the
 * reply's own pipe (mini_httpd gives a CGI one pipe for both) or a network
 * connection, where the line would land inside the reply's head. The format
 * carries its own line end. */
VOID LogServerLine(const S8* ps8Fmt, ...) __attribute__((format(printf, 1, 2)));

/* Rotation (lock held by the caller): next file number in the ring, file
 * emptied and opened, count reset, sequence file written. */
VOID logChangeFile();

/* Writes the current file number into the sequence file ("%d", no line end). */
VOID logSetSeqID();

/* Base name of a source path, for the file part of a log position. */
constexpr const S8* LogBaseName(const S8* ps8Path)
{
    const S8* ps8Base = ps8Path;
    for (const S8* p = ps8Path; *p != '\0'; ++p) {
        if (*p == '/') {
            ps8Base = p + 1;
        }
    }
    return ps8Base;
}

#define LOG_AT(LEV, ...) LOG((LEV), __LINE__, LogBaseName(__FILE__), __FUNCTION__, __VA_ARGS__)

#endif /* STILLCGI_DEBUG_LOG_H */
