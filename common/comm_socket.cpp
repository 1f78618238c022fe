// SPDX-License-Identifier: MIT
/* comm_socket.cpp: the helper library's endpoints (comm_funcs.h): passive and
 * active sockets, and the threads that serve them. */
#include "comm_funcs.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "comm_fd.h"
#include "comm_io.h"
#include "comm_log.h"

namespace {

/* ---------------------------------------------------------------------- */
/* Handles                                                                */
/* ---------------------------------------------------------------------- */

struct AddrInfoFree {
    void operator()(addrinfo* pstRes) const noexcept { freeaddrinfo(pstRes); }
};
typedef std::unique_ptr<addrinfo, AddrInfoFree> AddrInfoPtr;

class ThreadAttr {
public:
    ThreadAttr() noexcept : m_bOk(pthread_attr_init(&m_stAttr) == 0) {}
    ~ThreadAttr()
    {
        if (m_bOk) pthread_attr_destroy(&m_stAttr);
    }
    ThreadAttr(const ThreadAttr&) = delete;
    ThreadAttr& operator=(const ThreadAttr&) = delete;
    bool Ok() const noexcept { return m_bOk; }
    pthread_attr_t* Get() noexcept { return &m_stAttr; }

private:
    pthread_attr_t m_stAttr;
    bool m_bOk;
};

/* The platform's thread handle as the `unsigned long` callers keep. */
unsigned long ThreadIdToUlong(pthread_t stTid)
{
    static_assert(sizeof(pthread_t) <= sizeof(unsigned long), "thread id fits an unsigned long");
    unsigned long u32Id = 0;
    memcpy(&u32Id, &stTid, sizeof(stTid));
    return u32Id;
}

/* Log lines print host and service as given; a null host is spelled the way
 * the C library prints it. */
const char* Txt(const char* ps8Text)
{
    return ps8Text != nullptr ? ps8Text : "(null)";
}

int Resolve(const char* host, const char* serv, int s32Flags, int s32SockType, AddrInfoPtr* pRes)
{
    addrinfo stHints;
    memset(&stHints, 0, sizeof(stHints));
    stHints.ai_flags = s32Flags;
    stHints.ai_family = AF_INET;
    stHints.ai_socktype = s32SockType;
    stHints.ai_protocol = 0;
    addrinfo* pstRes = nullptr;
    const int s32Ret = getaddrinfo(host, serv, &stHints, &pstRes);
    if (s32Ret == 0) pRes->reset(pstRes);
    return s32Ret;
}

/* Resolve for a datagram socket; a failure is logged in the name of ps8Func as
 * "<ps8What> error for <host>, <serv>: <reason>" (no line end). */
bool ResolveDgram(const char* ps8Func, const char* ps8What, const char* host, const char* serv,
                  int s32Flags, AddrInfoPtr* pRes)
{
    const int s32Gai = Resolve(host, serv, s32Flags, SOCK_DGRAM, pRes);
    if (s32Gai == 0) return true;
    CommLogLine("COMM", ps8Func, __LINE__, "%s error for %s, %s: %s", ps8What, Txt(host), Txt(serv),
                gai_strerror(s32Gai));
    return false;
}

constexpr int COMM_TCP_BACKLOG = 500;

}  // namespace

/* ====================================================================== */
/* Threads                                                                 */
/* ====================================================================== */

int CreateJoinableThread(void* (*entry)(void*), void* param, unsigned long* pid)
{
    pthread_t stTid;
    const int s32Ret = pthread_create(&stTid, nullptr, entry, param);
    if (s32Ret != 0) {
        errno = s32Ret;
        COMM_LOG("pthread_create called error! errno = %d\n", s32Ret);
        CommLogPerror("---thread faile\n", s32Ret);
        return -1;
    }
    if (pid != nullptr) *pid = ThreadIdToUlong(stTid);
    return 0;
}

int CreateDetachThread(void* (*entry)(void*), void* para, unsigned long* pid)
{
    COMM_ASSERT(entry != nullptr);
    ThreadAttr stAttr;
    pthread_t stTid;
    if (!stAttr.Ok() || pthread_attr_setscope(stAttr.Get(), PTHREAD_SCOPE_SYSTEM) != 0 ||
        pthread_attr_setdetachstate(stAttr.Get(), PTHREAD_CREATE_DETACHED) != 0 ||
        pthread_create(&stTid, stAttr.Get(), entry, para) != 0) {
        COMM_LOG("pthread_create called error!\n");
        return -1;
    }
    if (pid != nullptr) *pid = ThreadIdToUlong(stTid);
    return 0;
}

/* ====================================================================== */
/* Passive sockets                                                         */
/* ====================================================================== */

namespace {

/* The passive sockets: a new socket bound to the first resolved address that
 * takes it (SO_REUSEADDR set first when bReuse; its outcome is not looked at).
 * return the socket, *ppstBound naming its address; or -1 */
int BindFirst(const addrinfo* pstList, bool bReuse, const addrinfo** ppstBound)
{
    for (const addrinfo* pstAi = pstList; pstAi != nullptr; pstAi = pstAi->ai_next) {
        UniqueFd stFd(CommSocket(pstAi->ai_family, pstAi->ai_socktype, pstAi->ai_protocol));
        if (stFd.Get() < 0) continue;
        if (bReuse) {
            const int s32On = 1;
            (void)setsockopt(stFd.Get(), SOL_SOCKET, SO_REUSEADDR, &s32On, sizeof(s32On));
        }
        if (bind(stFd.Get(), pstAi->ai_addr, pstAi->ai_addrlen) == 0) {
            *ppstBound = pstAi;
            return stFd.Release();
        }
    }
    return -1;
}

}  // namespace

int TcpListen(const char* host, const char* serv, unsigned int* addrlenp)
{
    AddrInfoPtr pRes;
    const int s32Gai = Resolve(host, serv, AI_PASSIVE, SOCK_STREAM, &pRes);
    if (s32Gai != 0) {
        COMM_LOG("getaddrinfo called error: %s, %s: %s\n", Txt(host), Txt(serv),
                 gai_strerror(s32Gai));
        return -1;
    }
    const addrinfo* pstBound = nullptr;
    UniqueFd stFd(BindFirst(pRes.get(), true, &pstBound));
    if (stFd.Get() < 0) {
        COMM_LOG("errno from final socket() or bind(): %s, %s\n", Txt(host), Txt(serv));
        return -1;
    }
    if (listen(stFd.Get(), COMM_TCP_BACKLOG) < 0) {
        COMM_LOG("listen called error: %s, %s\n", Txt(host), Txt(serv));
        return -1;
    }
    if (addrlenp != nullptr) *addrlenp = static_cast<unsigned int>(pstBound->ai_addrlen);
    return stFd.Release();
}

int UdpListen(const char* host, const char* serv, unsigned int* addrlenp)
{
    AddrInfoPtr pRes;
    if (!ResolveDgram(__FUNCTION__, "udp_server", host, serv, AI_PASSIVE, &pRes)) return -1;
    const addrinfo* pstBound = nullptr;
    const int s32Fd = BindFirst(pRes.get(), false, &pstBound);
    if (s32Fd < 0) {
        COMM_LOG("udp_server error for %s, %s", Txt(host), Txt(serv));
        return -1;
    }
    if (addrlenp != nullptr) *addrlenp = static_cast<unsigned int>(pstBound->ai_addrlen);
    return s32Fd;
}

/* ====================================================================== */
/* Active sockets                                                          */
/* ====================================================================== */

unsigned char DscpPriorityLevelMap(DscpLevelAndType dscplevelAndtype)
{
    const S32 s32Level = dscplevelAndtype.rawDscpLevel;
    if (s32Level < 0 || s32Level > 7) return 0;
    switch (dscplevelAndtype.type) {
        case COMMAND_TYPE:
            return static_cast<unsigned char>(8 * s32Level + 7);
        case AUDIO_VEDIO_TYPE:
            return static_cast<unsigned char>(8 * s32Level + 6);
        default:
            return 0;
    }
}

namespace {

/* Both connects: walk the resolved addresses, non-blocking connect with a
 * bounded wait per address; only a timeout moves on to the next address. */
/* Reports carry the public function's name. */
#define CONN_LOG(...) CommLogLine("COMM", ps8Func, __LINE__, __VA_ARGS__)

int TcpConnectImpl(const char* ps8Func, const char* host, const char* serv, int nsec,
                   const DscpLevelAndType* pstDscp)
{
    AddrInfoPtr pRes;
    const int s32Gai = Resolve(host, serv, 0, SOCK_STREAM, &pRes);
    if (s32Gai != 0) {
        CONN_LOG("getaddrinfo error %s, %s: %s\n", Txt(host), Txt(serv), gai_strerror(s32Gai));
        return -1;
    }
    int s32LastErr = 0;
    for (const addrinfo* pstAi = pRes.get(); pstAi != nullptr; pstAi = pstAi->ai_next) {
        UniqueFd stFd(CommSocket(pstAi->ai_family, pstAi->ai_socktype, pstAi->ai_protocol));
        if (stFd.Get() < 0) {
            s32LastErr = errno;
            continue;
        }
        if (pstDscp != nullptr) {
            const unsigned char u8Tos = DscpPriorityLevelMap(*pstDscp);
            if (setsockopt(stFd.Get(), IPPROTO_IP, IP_TOS, &u8Tos, sizeof(u8Tos)) < 0) {
                CommLogPerror(" set socket ", errno);
            }
        }
        const int s32Flags = fcntl(stFd.Get(), F_GETFL, 0);
        if (s32Flags < 0 || fcntl(stFd.Get(), F_SETFL, s32Flags | O_NONBLOCK) < 0) {
            const int s32Err = errno;
            CONN_LOG("Connect error: %s, %s, %s\n", Txt(host), Txt(serv), strerror(s32Err));
            return -1;
        }
        if (connect(stFd.Get(), pstAi->ai_addr, pstAi->ai_addrlen) != 0) {
            const int s32Err = errno;
            if (s32Err != EINPROGRESS) {
                CONN_LOG("Connect error: %s, %s, %s\n", Txt(host), Txt(serv), strerror(s32Err));
                return -1;
            }
            if (stFd.Get() >= COMM_SELECT_FD_LIMIT) {
                CONN_LOG("Connect error: %s, %s, descriptor %d beyond the wait set\n", Txt(host),
                         Txt(serv), stFd.Get());
                return -1;
            }
            fd_set stRset;
            FD_ZERO(&stRset);
            FD_SET(stFd.Get(), &stRset);
            fd_set stWset = stRset;
            timeval stTv = {nsec, 0};
            const int s32Ready =
                select(stFd.Get() + 1, &stRset, &stWset, nullptr, nsec != 0 ? &stTv : nullptr);
            if (s32Ready == 0) {
                s32LastErr = ETIMEDOUT;
                continue;
            }
            if (s32Ready < 0) {
                const int s32SelErr = errno;
                CONN_LOG("Connect error: %s, %s, %s\n", Txt(host), Txt(serv), strerror(s32SelErr));
                return -1;
            }
            int s32Pending = 0;
            socklen_t u32Len = sizeof(s32Pending);
            if (getsockopt(stFd.Get(), SOL_SOCKET, SO_ERROR, &s32Pending, &u32Len) < 0) {
                const int s32OptErr = errno;
                CONN_LOG("Select error: %s, %s, %s\n", Txt(host), Txt(serv), strerror(s32OptErr));
                return -1;
            }
            if (s32Pending != 0) {
                CONN_LOG("Select error: %s, %s, %s\n", Txt(host), Txt(serv), strerror(s32Pending));
                return -1;
            }
        }
        /* Connected: hand the socket back in the mode it was created in. */
        if (fcntl(stFd.Get(), F_SETFL, s32Flags) < 0) {
            const int s32Err = errno;
            CONN_LOG("Connect error: %s, %s, %s\n", Txt(host), Txt(serv), strerror(s32Err));
            return -1;
        }
        return stFd.Release();
    }
    CONN_LOG("Connect error: %s, %s, %s\n", Txt(host), Txt(serv), strerror(s32LastErr));
    return -1;
}

#undef CONN_LOG

}  // namespace

int TcpConnectForDscp(const char* host, const char* serv, int nsec,
                      DscpLevelAndType rawDscpLevelAndtype)
{
    return TcpConnectImpl(__FUNCTION__, host, serv, nsec, &rawDscpLevelAndtype);
}

int TcpConnect(const char* host, const char* serv, int nsec)
{
    return TcpConnectImpl(__FUNCTION__, host, serv, nsec, nullptr);
}

int UdpConnect(const char* host, const char* serv)
{
    AddrInfoPtr pRes;
    if (!ResolveDgram(__FUNCTION__, "udp_connect", host, serv, 0, &pRes)) return -1;
    for (const addrinfo* pstAi = pRes.get(); pstAi != nullptr; pstAi = pstAi->ai_next) {
        UniqueFd stFd(CommSocket(pstAi->ai_family, pstAi->ai_socktype, pstAi->ai_protocol));
        if (stFd.Get() < 0) continue;
        if (connect(stFd.Get(), pstAi->ai_addr, pstAi->ai_addrlen) == 0) return stFd.Release();
    }
    COMM_LOG("udp_connect error for %s, %s", Txt(host), Txt(serv));
    return -1;
}

int UdpClient(const char* host, const char* serv, sockaddr** saptr, unsigned int* lenp)
{
    COMM_ASSERT(saptr != nullptr && lenp != nullptr);
    AddrInfoPtr pRes;
    if (!ResolveDgram(__FUNCTION__, "udp_client", host, serv, 0, &pRes)) return -1;
    for (const addrinfo* pstAi = pRes.get(); pstAi != nullptr; pstAi = pstAi->ai_next) {
        UniqueFd stFd(CommSocket(pstAi->ai_family, pstAi->ai_socktype, pstAi->ai_protocol));
        if (stFd.Get() < 0) continue;
        void* pCopy = malloc(pstAi->ai_addrlen);
        if (pCopy == nullptr) break;
        memcpy(pCopy, pstAi->ai_addr, pstAi->ai_addrlen);
        *saptr = static_cast<sockaddr*>(pCopy);
        *lenp = static_cast<unsigned int>(pstAi->ai_addrlen);
        return stFd.Release();
    }
    COMM_LOG("udp_client error for %s, %s", Txt(host), Txt(serv));
    return -1;
}

/* ====================================================================== */
/* Telnet client                                                           */
/* ====================================================================== */

int TelnetStart(const char* /*host*/, const char* /*serv*/, const char* /*username*/,
                const char* /*password*/)
{
    return 0;
}

int TelnetCmd(int /*s32SockFd*/, const char* /*ps8CmdStr*/, char* /*ps8RspStr*/,
              int* /*s32RspSize*/)
{
    return 0;
}

int TelnetEnd(int /*s32SockFd*/)
{
    return 0;
}
