// SPDX-License-Identifier: MIT
/* Small helpers shared by the comm_funcs tests. */
#ifndef TESTS_COMM_FUNCS_TEST_UTIL_H
#define TESTS_COMM_FUNCS_TEST_UTIL_H

#include <arpa/inet.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <string>

namespace test_util {

/* Open descriptors of this process, for leak checks around failure paths. */
inline int FdCount()
{
    int s32Count = 0;
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr) return -1;
    for (int i = 0; i < 100000 && readdir(pDir) != nullptr; ++i) ++s32Count;
    closedir(pDir);
    return s32Count;
}

/* The descriptors open in this process now. */
inline std::set<int> OpenFds()
{
    std::set<int> setFds;
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr) return setFds;
    const int s32DirFd = dirfd(pDir);
    for (int i = 0; i < 100000; ++i) {
        const dirent* pstEnt = readdir(pDir);
        if (pstEnt == nullptr) break;
        if (pstEnt->d_name[0] == '.') continue;
        const int s32Fd = atoi(pstEnt->d_name);
        if (s32Fd != s32DirFd) setFds.insert(s32Fd);
    }
    closedir(pDir);
    return setFds;
}

inline int LocalPort(int s32Fd)
{
    sockaddr_in stSin = {};
    socklen_t u32Len = sizeof(stSin);
    if (getsockname(s32Fd, reinterpret_cast<sockaddr*>(&stSin), &u32Len) != 0) return -1;
    return ntohs(stSin.sin_port);
}

/* A shell command, its output dropped. return its exit status, or -1 */
inline int Sh(const std::string& strCmd)
{
    const int s32Status = system((strCmd + " >/dev/null 2>&1").c_str());
    return (s32Status != -1 && WIFEXITED(s32Status)) ? WEXITSTATUS(s32Status) : -1;
}

/* The commands that build a test network, in order; the first that fails is
 * reported and ends the setup. return true when all ran */
template <size_t N>
bool ShAll(const char* const (&aps8Cmds)[N])
{
    for (const char* ps8Cmd : aps8Cmds) {
        if (Sh(ps8Cmd) != 0) {
            fprintf(stderr, "setup failed: %s\n", ps8Cmd);
            return false;
        }
    }
    return true;
}

/* A closing descriptor owned by a test. */
class Fd {
public:
    explicit Fd(int s32Fd = -1) : m_s32Fd(s32Fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_s32Fd; }
    void Reset(int s32Fd = -1)
    {
        if (m_s32Fd >= 0) close(m_s32Fd);
        m_s32Fd = s32Fd;
    }

private:
    int m_s32Fd;
};

/* A bound, not listening TCP socket on 127.0.0.1: its port refuses connects
 * and no other test can take it meanwhile. */
inline int ReserveClosedTcpPort(Fd* pHolder)
{
    pHolder->Reset(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in stSin = {};
    stSin.sin_family = AF_INET;
    stSin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(pHolder->Get(), reinterpret_cast<sockaddr*>(&stSin), sizeof(stSin)) != 0) return -1;
    return LocalPort(pHolder->Get());
}

}  // namespace test_util

#endif /* TESTS_COMM_FUNCS_TEST_UTIL_H */
