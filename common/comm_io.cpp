// SPDX-License-Identifier: MIT
/* comm_io.cpp: the daemon's descriptor rules (comm_io.h): the bounded retries
 * of read and write, close-on-exec sockets, and the monotonic clock the
 * descriptor waits and the log measure with. */
#include "comm_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

ssize_t CommRead(int s32Fd, void* pBuf, size_t uLen)
{
    ssize_t s32Got = -1;
    for (int i = 0; i < COMM_IO_TRIES; ++i) {
        s32Got = read(s32Fd, pBuf, uLen);
        if (s32Got >= 0 || errno != EINTR) break;
    }
    return s32Got;
}

size_t CommWriteAll(int s32Fd, const void* pBuf, size_t uLen)
{
    const char* ps8Buf = static_cast<const char*>(pBuf);
    size_t uDone = 0;
    for (int i = 0; uDone < uLen && i < COMM_IO_TRIES; ++i) {
        const ssize_t s32Put = write(s32Fd, ps8Buf + uDone, uLen - uDone);
        if (s32Put < 0 && errno == EINTR) continue;
        if (s32Put < 0) return uDone;
        if (s32Put == 0) break;
        uDone += (size_t)s32Put;
    }
    if (uDone < uLen) errno = EIO;
    return uDone;
}

uint64_t CommNowMs()
{
    struct timespec stNow;
    if (clock_gettime(CLOCK_MONOTONIC, &stNow) != 0) return 0;
    return (uint64_t)stNow.tv_sec * 1000u + (uint64_t)stNow.tv_nsec / 1000000u;
}

int CommSocket(int s32Domain, int s32Type, int s32Protocol)
{
#ifdef SOCK_CLOEXEC
    return socket(s32Domain, s32Type | SOCK_CLOEXEC, s32Protocol);
#else
    /* A C library without the flag: set it right after. */
    const int s32Fd = socket(s32Domain, s32Type, s32Protocol);
    if (s32Fd >= 0) (void)fcntl(s32Fd, F_SETFD, FD_CLOEXEC);
    return s32Fd;
#endif
}
