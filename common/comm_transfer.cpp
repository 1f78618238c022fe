// SPDX-License-Identifier: MIT
/* comm_transfer.cpp: the readiness waits and the timed and whole-buffer
 * transfers of the helper library (comm_funcs.h). */
#include "comm_funcs.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "comm_log.h"

namespace {

/* Send without raising SIGPIPE: a peer that has gone away is an error result
 * for the caller, not the end of the process. */
#ifdef MSG_NOSIGNAL
constexpr int COMM_SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int COMM_SEND_FLAGS = 0;
#endif

#ifdef MSG_DONTWAIT
constexpr int COMM_SEND_NOWAIT = MSG_DONTWAIT;
#else
constexpr int COMM_SEND_NOWAIT = 0;
#endif

/* WriteData with a timeout repeats interrupted sends; this many in a row end it. */
constexpr int COMM_WRITE_MAX_IDLE_ROUNDS = 1000;

}  // namespace

/* ====================================================================== */
/* Readiness waits                                                         */
/* ====================================================================== */

SELECTFD_RETURN_E SelectFd(int s32SocketFd, SELECTFD_STAT_E enStat, int s32Sec, int s32uSec)
{
    if (s32SocketFd <= 0) {
        PLATFORM_LOG_DASH("s32SocketFd:%d <= 0\n", s32SocketFd);
        return SELECTFD_RETURN_ERROR;
    }
    if (s32SocketFd >= COMM_SELECT_FD_LIMIT) {
        PLATFORM_LOG_DASH("s32SocketFd:%d >= %d, beyond the wait set\n", s32SocketFd,
                          COMM_SELECT_FD_LIMIT);
        return SELECTFD_RETURN_ERROR;
    }
    fd_set stSet;
    FD_ZERO(&stSet);
    FD_SET(s32SocketFd, &stSet);
    fd_set* pstRead = nullptr;
    fd_set* pstWrite = nullptr;
    fd_set* pstExcpt = nullptr;
    switch (enStat) {
        case SELECTFD_STAT_READ:
            pstRead = &stSet;
            break;
        case SELECTFD_STAT_WRITE:
            pstWrite = &stSet;
            break;
        case SELECTFD_STAT_EXCPT:
            pstExcpt = &stSet;
            break;
        default:
            PLATFORM_LOG_DASH("NOT SUPPORT THIS ENSTAT:%d\n", static_cast<int>(enStat));
            return SELECTFD_RETURN_ERROR;
    }
    timeval stTv = {s32Sec, s32uSec};
    const int s32Ret = select(s32SocketFd + 1, pstRead, pstWrite, pstExcpt, &stTv);
    if (s32Ret == 0) return SELECTFD_RETURN_OVERTIME;
    if (s32Ret > 0 && FD_ISSET(s32SocketFd, &stSet)) return SELECTFD_RETURN_SUCCESS;
    const int s32Err = (s32Ret < 0) ? errno : EIO;
    PLATFORM_LOG_DASH("Select Error:%s!\n", strerror(s32Err));
    return SELECTFD_RETURN_ERROR;
}

int Select(int sockfd, int sec, short stat)
{
    if (sockfd < 0) return -1;
    if (sockfd >= COMM_SELECT_FD_LIMIT) {
        COMM_LOG("descriptor %d >= %d, beyond the wait set\n", sockfd, COMM_SELECT_FD_LIMIT);
        return -1;
    }
    fd_set stSet;
    FD_ZERO(&stSet);
    FD_SET(sockfd, &stSet);
    timeval stTv = {sec, 0};
    int s32Ret = 0;
    switch (stat) {
        case READ_STATUS:
            s32Ret = select(sockfd + 1, &stSet, nullptr, nullptr, &stTv);
            break;
        case WRITE_STATUS:
            s32Ret = select(sockfd + 1, nullptr, &stSet, nullptr, &stTv);
            break;
        case EXCPT_STATUS:
            s32Ret = select(sockfd + 1, nullptr, nullptr, &stSet, &stTv);
            break;
        default:
            s32Ret = 0;
            break;
    }
    if (s32Ret == 0) {
        if (stat == READ_STATUS) {
            COMM_LOG("IO read time out!\n");
        } else if (stat == WRITE_STATUS) {
            COMM_LOG("IO write time out!\n");
        }
        return -1;
    }
    if (s32Ret < 0) {
        const int s32Err = errno;
        COMM_LOG("%s\n", strerror(s32Err));
        return -1;
    }
    int s32Pending = 0;
    socklen_t u32Len = sizeof(s32Pending);
    if (getsockopt(sockfd, SOL_SOCKET, SO_ERROR, &s32Pending, &u32Len) < 0) {
        const int s32Err = errno;
        COMM_LOG("%s\n", strerror(s32Err));
        return -1;
    }
    if (s32Pending != 0) {
        COMM_LOG("%s\n", strerror(s32Pending));
        return -1;
    }
    return s32Ret;
}

/* ====================================================================== */
/* Timed and whole-buffer transfers                                        */
/* ====================================================================== */

int RecvTimeOut(int s32SockFd, char* pu8Buffer, int s32Size, int s32Sec)
{
    if (s32Size < 0 || (pu8Buffer == nullptr && s32Size > 0)) {
        COMM_LOG("%s\n", strerror(EINVAL));
        return -1;
    }
    if (Select(s32SockFd, s32Sec, READ_STATUS) < 0) {
        COMM_LOG("select err!\n");
        return -1;
    }
    const ssize_t s32Ret = recv(s32SockFd, pu8Buffer, static_cast<size_t>(s32Size), 0);
    if (s32Ret > 0) return static_cast<int>(s32Ret);
    if (s32Ret == 0) {
        COMM_LOG("Connect rest by peer!\n");
        return -1;
    }
    const int s32Err = errno;
    COMM_LOG("%s\n", strerror(s32Err));
    return -1;
}

int SendTimeOut(int s32SockFd, char* pu8Buffer, int s32Size, int s32Sec)
{
    if (s32Size < 0 || (pu8Buffer == nullptr && s32Size > 0)) {
        COMM_LOG("%s\n", strerror(EINVAL));
        return -1;
    }
    if (Select(s32SockFd, s32Sec, WRITE_STATUS) < 0) return -1;
    /* Once the wait says there is room, send what fits without blocking: a
     * blocking send of the whole buffer would wait for a stalled peer without
     * limit and make the timeout meaningless. */
    const ssize_t s32Ret = send(s32SockFd, pu8Buffer, static_cast<size_t>(s32Size),
                                COMM_SEND_FLAGS | COMM_SEND_NOWAIT);
    if (s32Ret >= 0) return static_cast<int>(s32Ret);
    const int s32Err = errno;
    if (s32Err == EINTR || s32Err == EAGAIN || s32Err == EWOULDBLOCK) return 0;
    COMM_LOG("%s\n", strerror(s32Err));
    return -1;
}

int ReadData(int s32SockFd, char* pu8Buffer, int s32Size)
{
    COMM_ASSERT(pu8Buffer != nullptr);
    int s32ReadSize = 0;
    while (s32ReadSize < s32Size) {
        const ssize_t s32Ret =
            recv(s32SockFd, pu8Buffer + s32ReadSize, static_cast<size_t>(s32Size - s32ReadSize), 0);
        if (s32Ret <= 0) {
            const int s32Err = errno;
            COMM_LOG("%s\n", strerror(s32Err));
            break;
        }
        s32ReadSize += static_cast<int>(s32Ret);
    }
    return (s32ReadSize == s32Size) ? 0 : -1;
}

int ReadData(int s32SockFd, char* pu8Buffer, int s32Size, int s32Sec)
{
    int s32ReadSize = 0;
    while (s32ReadSize < s32Size) {
        const int s32Ret =
            RecvTimeOut(s32SockFd, pu8Buffer + s32ReadSize, s32Size - s32ReadSize, s32Sec);
        if (s32Ret < 0) break;
        s32ReadSize += s32Ret;
    }
    if (s32ReadSize == s32Size) return 0;
    /* The report names its own line twice; take it once. */
    const int s32Line = __LINE__;
    CommLogLine("COMM", __FUNCTION__, s32Line, "<%s>:(%d), ss32Size=%d,s32ReadSize = %d\n",
                __FUNCTION__, s32Line, s32Size, s32ReadSize);
    return -1;
}

int ReadPartialData(int s32SockFd, char* pu8Buffer, int s32Size, int s32Sec)
{
    if (s32Size < 0 || (pu8Buffer == nullptr && s32Size > 0)) {
        COMM_LOG("%s\n", strerror(EINVAL));
        return -1;
    }
    int s32ReadSize = 0;
    while (s32ReadSize < s32Size) {
        if (Select(s32SockFd, s32Sec, READ_STATUS) < 0) return -1;
        const ssize_t s32Ret =
            recv(s32SockFd, pu8Buffer + s32ReadSize, static_cast<size_t>(s32Size - s32ReadSize), 0);
        if (s32Ret > 0) {
            s32ReadSize += static_cast<int>(s32Ret);
        } else if (s32Ret == 0) {
            COMM_LOG("Read size = %d !\n", s32ReadSize);
            return s32ReadSize;
        } else {
            const int s32Err = errno;
            COMM_LOG("%s\n", strerror(s32Err));
            return -1;
        }
    }
    return s32Size;
}

int WriteData(int s32SockFd, char* pu8Buffer, int s32Size)
{
    if (s32Size < 0 || (pu8Buffer == nullptr && s32Size > 0)) {
        COMM_LOG("%s\n", strerror(EINVAL));
        return -1;
    }
    int s32WriteSize = 0;
    while (s32WriteSize < s32Size) {
        const ssize_t s32Ret = send(s32SockFd, pu8Buffer + s32WriteSize,
                                    static_cast<size_t>(s32Size - s32WriteSize), COMM_SEND_FLAGS);
        if (s32Ret <= 0) {
            const int s32Err = errno;
            COMM_LOG("%s\n", strerror(s32Err));
            break;
        }
        s32WriteSize += static_cast<int>(s32Ret);
    }
    return (s32WriteSize == s32Size) ? 0 : -1;
}

int WriteData(int s32SockFd, char* pu8Buffer, int s32Size, int s32Sec)
{
    if (s32Size < 0 || (pu8Buffer == nullptr && s32Size > 0)) {
        COMM_LOG("%s\n", strerror(EINVAL));
        return -1;
    }
    int s32WriteSize = 0;
    int s32IdleRounds = 0;
    while (s32WriteSize < s32Size && s32IdleRounds < COMM_WRITE_MAX_IDLE_ROUNDS) {
        const int s32Ret =
            SendTimeOut(s32SockFd, pu8Buffer + s32WriteSize, s32Size - s32WriteSize, s32Sec);
        if (s32Ret < 0) return -1;
        if (s32Ret == 0) {
            ++s32IdleRounds;
            continue;
        }
        s32IdleRounds = 0;
        s32WriteSize += s32Ret;
    }
    if (s32WriteSize != s32Size) {
        COMM_LOG("s32WriteSize != s32Size !\n");
        return -1;
    }
    return 0;
}

int UdpReadData(int s32SockFd, char* pu8Buffer, int s32Size, sockaddr* pstSA, int* s32AddrLen)
{
    if (s32Size < 0 || (s32AddrLen != nullptr && *s32AddrLen < 0) ||
        (pstSA != nullptr && s32AddrLen == nullptr)) {
        COMM_LOG("%s\n", strerror(EINVAL));
        return -1;
    }
    socklen_t u32Len = (s32AddrLen != nullptr) ? static_cast<socklen_t>(*s32AddrLen) : 0;
    const ssize_t s32Ret = recvfrom(s32SockFd, pu8Buffer, static_cast<size_t>(s32Size), 0, pstSA,
                                    pstSA != nullptr ? &u32Len : nullptr);
    if (s32Ret < 0) {
        const int s32Err = errno;
        COMM_LOG("%s\n", strerror(s32Err));
        return -1;
    }
    if (pstSA != nullptr) *s32AddrLen = static_cast<int>(u32Len);
    return static_cast<int>(s32Ret);
}

int UdpWriteData(int s32SockFd, char* pu8Buffer, int s32Size, sockaddr* pstSA, int s32AddrLen)
{
    if (s32Size < 0 || s32AddrLen < 0) {
        COMM_LOG("s32Size %d, %s\n", s32Size, strerror(EINVAL));
        return -1;
    }
    const ssize_t s32Ret = sendto(s32SockFd, pu8Buffer, static_cast<size_t>(s32Size), 0, pstSA,
                                  static_cast<socklen_t>(s32AddrLen));
    if (s32Ret < 0) {
        const int s32Err = errno;
        COMM_LOG("s32Size %d, %s\n", s32Size, strerror(s32Err));
        return -1;
    }
    return static_cast<int>(s32Ret);
}
