// SPDX-License-Identifier: MIT
/* comm_io.h: the daemon's rules for a descriptor, each written once here: a
 * read or a write retried after an interruption (a bounded number of times),
 * milliseconds of the monotonic clock, and sockets that the programs the
 * daemon starts (ps, kill, reboot) do not inherit.
 *
 *   UniqueFd stFd(CommSocket(AF_INET, SOCK_DGRAM, 0));   // close-on-exec
 *   const ssize_t s32Got = CommRead(s32Fd, u8Buf, sizeof(u8Buf));
 *   if (CommWriteAll(s32Fd, s8Line, uLen) != uLen) ...;  // errno says why
 *   const uint64_t u64Now = CommNowMs();
 *
 * Files are opened with O_CLOEXEC where they are opened. */
#ifndef COMMON_COMM_IO_H
#define COMMON_COMM_IO_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

/* Calls one CommRead or CommWriteAll makes at most. */
constexpr int COMM_IO_TRIES = 100;

/* CommRead: one read(), repeated while it is interrupted by a signal.
 * return bytes read, 0 at the end, or -1 with errno set */
ssize_t CommRead(int s32Fd, void* pBuf, size_t uLen);

/* CommWriteAll: all uLen bytes, repeating interrupted and short writes.
 * Stops at the first error: a descriptor without O_NONBLOCK may wait, one
 * with it is given up when it takes nothing more (EAGAIN).
 * return the bytes written; fewer than uLen with errno set (EIO when write
 *        took nothing without an error, or the tries ran out) */
size_t CommWriteAll(int s32Fd, const void* pBuf, size_t uLen);

/* CommNowMs: milliseconds of the monotonic clock (0 if it cannot be read). */
uint64_t CommNowMs();

/* CommSocket: socket() with close-on-exec set, so no program the daemon
 * starts holds the socket open.
 * return the descriptor, or -1 with errno set */
int CommSocket(int s32Domain, int s32Type, int s32Protocol);

#endif /* COMMON_COMM_IO_H */
