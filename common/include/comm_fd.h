// SPDX-License-Identifier: MIT
/* comm_fd.h: the owner of one descriptor, shared by the daemon and the host
 * tools. It closes what it holds on every return path.
 *
 *   UniqueFd stFd(socket(AF_INET, SOCK_DGRAM, 0));
 *   if (stFd.Get() < 0) return -1;
 *   ...
 *   return stFd.Release();   // the caller owns it now */
#ifndef COMMON_COMM_FD_H
#define COMMON_COMM_FD_H

#include <unistd.h>

class UniqueFd {
public:
    explicit UniqueFd(int s32Fd = -1) noexcept : m_s32Fd(s32Fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const noexcept { return m_s32Fd; }
    /* Gives the descriptor up without closing it. */
    int Release() noexcept
    {
        const int s32Fd = m_s32Fd;
        m_s32Fd = -1;
        return s32Fd;
    }
    /* Closes what is held, then holds s32Fd. */
    void Reset(int s32Fd = -1) noexcept
    {
        if (m_s32Fd >= 0) close(m_s32Fd);
        m_s32Fd = s32Fd;
    }

private:
    int m_s32Fd;
};

#endif /* COMMON_COMM_FD_H */
