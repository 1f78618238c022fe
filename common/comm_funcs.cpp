#include "comm_funcs.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "comm_fd.h"
#include "comm_funcs_internal.h"
#include "comm_log.h"

int s32Seed = 0;
U32 YSFPos = 3;
U32 YSFGas = 5;

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

/* Interface names live in the kernel's 16-byte field: copy one into a request
 * record, refusing names that do not fit (a cut name may name another
 * interface). */
bool PutIfName(ifreq* pstIfr, const char* ps8IfName)
{
    const size_t u32Len = strnlen(ps8IfName, sizeof(pstIfr->ifr_name));
    if (u32Len > COMM_IFNAME_MAX_LEN) return false;
    memset(pstIfr->ifr_name, 0, sizeof(pstIfr->ifr_name));
    memcpy(pstIfr->ifr_name, ps8IfName, u32Len);
    return true;
}

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

constexpr int COMM_TCP_BACKLOG = 500;

/* ---------------------------------------------------------------------- */
/* Netlink helpers                                                        */
/* ---------------------------------------------------------------------- */

bool ReadNlHeader(const unsigned char* pu8Buf, size_t u32Len, nlmsghdr* pstHdr)
{
    if (u32Len < sizeof(nlmsghdr)) return false;
    memcpy(pstHdr, pu8Buf, sizeof(*pstHdr));
    return pstHdr->nlmsg_len >= sizeof(nlmsghdr) && pstHdr->nlmsg_len <= u32Len;
}

/* Step to the next message: its length rounded up to 4, never past the end. */
size_t NlStep(size_t u32Off, size_t u32Len, U32 u32MsgLen)
{
    const size_t u32Step = NLMSG_ALIGN(static_cast<size_t>(u32MsgLen));
    return (u32Step > u32Len - u32Off) ? u32Len : u32Off + u32Step;
}

/* The query bodies log under the name of the public function they serve,
 * whichever entry point ran them. */
#define COMM_LOG_AS(FUNC, ...) CommLogLine("COMM", FUNC, __LINE__, __VA_ARGS__)

/* One route dump over s32NlFd into pu8Msg (COMM_NL_BUF_SIZE bytes), walked as
 * GetGateWay describes. The 28-byte request: header (type RTM_GETROUTE, flags
 * request + dump, sequence 0, port id s32Pid) and a zero route message but for
 * its family. return 0 after a complete dump, -1 on a send or read failure. */
int GateWayQuery(int s32NlFd, int s32Pid, unsigned char u8Family, unsigned char* pu8Msg,
                 unsigned char* pu8GateWay, const char* ps8IfName)
{
    static_assert(NLMSG_LENGTH(sizeof(rtmsg)) == 28, "route dump request is 28 bytes");
    nlmsghdr stReq;
    memset(&stReq, 0, sizeof(stReq));
    stReq.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    stReq.nlmsg_type = RTM_GETROUTE;
    stReq.nlmsg_flags = NLM_F_DUMP | NLM_F_REQUEST;
    stReq.nlmsg_seq = 0;
    stReq.nlmsg_pid = static_cast<U32>(s32Pid);
    rtmsg stRt;
    memset(&stRt, 0, sizeof(stRt));
    stRt.rtm_family = u8Family;
    memcpy(pu8Msg, &stReq, sizeof(stReq));
    memcpy(pu8Msg + NLMSG_HDRLEN, &stRt, sizeof(stRt));

    if (send(s32NlFd, pu8Msg, stReq.nlmsg_len, 0) < 0) {
        const int s32Err = errno;
        COMM_LOG_AS("GetGateWay", "Send: %s\n", strerror(s32Err));
        return -1;
    }
    /* No reply carries sequence 1, so the read runs to the end of the dump. */
    const int s32Len = ReadNlSock(s32NlFd, reinterpret_cast<char*>(pu8Msg), 1, s32Pid);
    if (s32Len < 0) {
        COMM_LOG_AS("GetGateWay", "Read From Socket Failed\n");
        return -1;
    }

    /* Match the output interface by index: one lookup of the wanted name,
     * instead of a name lookup for every route. A wanted name without an
     * index can only equal an empty route name; that (odd) case keeps the
     * name comparison. */
    comm_internal::ROUTE_MATCH_S stMatch = {true, 0, ps8IfName};
    if (ps8IfName[0] == '\0') {
        stMatch.bByIndex = false;
    } else {
        ifreq stIfr;
        memset(&stIfr, 0, sizeof(stIfr));
        if (PutIfName(&stIfr, ps8IfName) && ioctl(s32NlFd, SIOCGIFINDEX, &stIfr) == 0 &&
            stIfr.ifr_ifindex > 0) {
            stMatch.u32IfIndex = static_cast<unsigned int>(stIfr.ifr_ifindex);
        } else if (strnlen(ps8IfName, IFNAMSIZ) <= COMM_IFNAME_MAX_LEN) {
            stMatch.u32IfIndex = if_nametoindex(ps8IfName);
        }
    }
    (void)comm_internal::WalkRouteDump(pu8Msg, static_cast<size_t>(s32Len), stMatch, pu8GateWay);
    return 0;
}

}  // namespace

/* ====================================================================== */
/* Internal helpers                                                        */
/* ====================================================================== */

namespace comm_internal {

long Wrap32(long s32Value)
{
    const U32 u32Bits = static_cast<U32>(static_cast<unsigned long>(s32Value));
    S32 s32Out = 0;
    memcpy(&s32Out, &u32Bits, sizeof(s32Out));
    return s32Out;
}

int ParseRouteMsg(const unsigned char* pu8Msg, size_t u32MsgLen, const ROUTE_MATCH_S& stMatch,
                  route_info* pstRtInfo, unsigned char* pu8GateWay)
{
    if (u32MsgLen < NLMSG_LENGTH(sizeof(rtmsg))) return -1;
    rtmsg stRt;
    memcpy(&stRt, pu8Msg + NLMSG_HDRLEN, sizeof(stRt));
    if (stRt.rtm_family != AF_INET || stRt.rtm_table != RT_TABLE_MAIN) return -1;

    bool bHasGateWay = false;
    bool bOifMatch = false;
    size_t u32Off = NLMSG_LENGTH(sizeof(rtmsg));
    while (u32MsgLen - u32Off >= sizeof(rtattr)) {
        rtattr stAttr;
        memcpy(&stAttr, pu8Msg + u32Off, sizeof(stAttr));
        const size_t u32AttrLen = stAttr.rta_len;
        if (u32AttrLen < sizeof(rtattr) || u32AttrLen > u32MsgLen - u32Off) break;
        const unsigned char* pu8Data = pu8Msg + u32Off + RTA_LENGTH(0);
        const size_t u32DataLen = u32AttrLen - RTA_LENGTH(0);
        if (stAttr.rta_type == RTA_OIF && u32DataLen >= sizeof(U32)) {
            U32 u32Index = 0;
            memcpy(&u32Index, pu8Data, sizeof(u32Index));
            if (stMatch.bByIndex) {
                bOifMatch = (stMatch.u32IfIndex != 0 && u32Index == stMatch.u32IfIndex);
            } else {
                char s8Name[IF_NAMESIZE] = {0};
                if (if_indextoname(u32Index, s8Name) == nullptr) s8Name[0] = '\0';
                memset(pstRtInfo->ifName, 0, sizeof(pstRtInfo->ifName));
                memcpy(pstRtInfo->ifName, s8Name, strnlen(s8Name, sizeof(pstRtInfo->ifName) - 1));
            }
        } else if (stAttr.rta_type == RTA_GATEWAY && u32DataLen >= sizeof(in_addr)) {
            memcpy(&pstRtInfo->gateWay, pu8Data, sizeof(pstRtInfo->gateWay));
            bHasGateWay = true;
        }
        const size_t u32Step = RTA_ALIGN(u32AttrLen);
        if (u32Step > u32MsgLen - u32Off) break;
        u32Off += u32Step;
    }

    if (!bHasGateWay) return -1;
    memcpy(pu8GateWay, &pstRtInfo->gateWay, sizeof(pstRtInfo->gateWay));
    if (stMatch.bByIndex) return bOifMatch ? 0 : -1;
    return (strcmp(pstRtInfo->ifName, stMatch.ps8IfName) == 0) ? 0 : -1;
}

int WalkRouteDump(const unsigned char* pu8Buf, size_t u32Len, const ROUTE_MATCH_S& stMatch,
                  unsigned char* pu8GateWay)
{
    size_t u32Off = 0;
    nlmsghdr stHdr;
    while (u32Off < u32Len && ReadNlHeader(pu8Buf + u32Off, u32Len - u32Off, &stHdr)) {
        route_info stRtInfo;
        memset(&stRtInfo, 0, sizeof(stRtInfo));
        if (ParseRouteMsg(pu8Buf + u32Off, stHdr.nlmsg_len, stMatch, &stRtInfo, pu8GateWay) == 0) {
            return 0;
        }
        u32Off = NlStep(u32Off, u32Len, stHdr.nlmsg_len);
    }
    return -1;
}

long FindNlDone(const unsigned char* pu8Buf, size_t u32Len)
{
    size_t u32Off = 0;
    nlmsghdr stHdr;
    while (u32Off < u32Len && ReadNlHeader(pu8Buf + u32Off, u32Len - u32Off, &stHdr)) {
        if (stHdr.nlmsg_type == NLMSG_DONE) return static_cast<long>(u32Off);
        u32Off = NlStep(u32Off, u32Len, stHdr.nlmsg_len);
    }
    return -1;
}

}  // namespace comm_internal

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
        perror("---thread faile\n");
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

int TcpListen(const char* host, const char* serv, unsigned int* addrlenp)
{
    AddrInfoPtr pRes;
    const int s32Gai = Resolve(host, serv, AI_PASSIVE, SOCK_STREAM, &pRes);
    if (s32Gai != 0) {
        COMM_LOG("getaddrinfo called error: %s, %s: %s\n", Txt(host), Txt(serv),
                 gai_strerror(s32Gai));
        return -1;
    }
    UniqueFd stFd;
    const addrinfo* pstBound = nullptr;
    for (const addrinfo* pstAi = pRes.get(); pstAi != nullptr; pstAi = pstAi->ai_next) {
        stFd.Reset(socket(pstAi->ai_family, pstAi->ai_socktype, pstAi->ai_protocol));
        if (stFd.Get() < 0) continue;
        const int s32On = 1;
        (void)setsockopt(stFd.Get(), SOL_SOCKET, SO_REUSEADDR, &s32On, sizeof(s32On));
        if (bind(stFd.Get(), pstAi->ai_addr, pstAi->ai_addrlen) == 0) {
            pstBound = pstAi;
            break;
        }
        stFd.Reset();
    }
    if (pstBound == nullptr) {
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
    const int s32Gai = Resolve(host, serv, AI_PASSIVE, SOCK_DGRAM, &pRes);
    if (s32Gai != 0) {
        COMM_LOG("udp_server error for %s, %s: %s", Txt(host), Txt(serv), gai_strerror(s32Gai));
        return -1;
    }
    UniqueFd stFd;
    const addrinfo* pstBound = nullptr;
    for (const addrinfo* pstAi = pRes.get(); pstAi != nullptr; pstAi = pstAi->ai_next) {
        stFd.Reset(socket(pstAi->ai_family, pstAi->ai_socktype, pstAi->ai_protocol));
        if (stFd.Get() < 0) continue;
        if (bind(stFd.Get(), pstAi->ai_addr, pstAi->ai_addrlen) == 0) {
            pstBound = pstAi;
            break;
        }
        stFd.Reset();
    }
    if (pstBound == nullptr) {
        COMM_LOG("udp_server error for %s, %s", Txt(host), Txt(serv));
        return -1;
    }
    if (addrlenp != nullptr) *addrlenp = static_cast<unsigned int>(pstBound->ai_addrlen);
    return stFd.Release();
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
        UniqueFd stFd(socket(pstAi->ai_family, pstAi->ai_socktype, pstAi->ai_protocol));
        if (stFd.Get() < 0) {
            s32LastErr = errno;
            continue;
        }
        if (pstDscp != nullptr) {
            const unsigned char u8Tos = DscpPriorityLevelMap(*pstDscp);
            if (setsockopt(stFd.Get(), IPPROTO_IP, IP_TOS, &u8Tos, sizeof(u8Tos)) < 0) {
                perror(" set socket ");
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
    const int s32Gai = Resolve(host, serv, 0, SOCK_DGRAM, &pRes);
    if (s32Gai != 0) {
        COMM_LOG("udp_connect error for %s, %s: %s", Txt(host), Txt(serv), gai_strerror(s32Gai));
        return -1;
    }
    for (const addrinfo* pstAi = pRes.get(); pstAi != nullptr; pstAi = pstAi->ai_next) {
        UniqueFd stFd(socket(pstAi->ai_family, pstAi->ai_socktype, pstAi->ai_protocol));
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
    const int s32Gai = Resolve(host, serv, 0, SOCK_DGRAM, &pRes);
    if (s32Gai != 0) {
        COMM_LOG("udp_client error for %s, %s: %s", Txt(host), Txt(serv), gai_strerror(s32Gai));
        return -1;
    }
    for (const addrinfo* pstAi = pRes.get(); pstAi != nullptr; pstAi = pstAi->ai_next) {
        UniqueFd stFd(socket(pstAi->ai_family, pstAi->ai_socktype, pstAi->ai_protocol));
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
        const ssize_t s32Ret = recv(s32SockFd, pu8Buffer + s32ReadSize,
                                    static_cast<size_t>(s32Size - s32ReadSize), 0);
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
        const int s32Ret = RecvTimeOut(s32SockFd, pu8Buffer + s32ReadSize, s32Size - s32ReadSize,
                                       s32Sec);
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
        const ssize_t s32Ret = recv(s32SockFd, pu8Buffer + s32ReadSize,
                                    static_cast<size_t>(s32Size - s32ReadSize), 0);
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
        const int s32Ret = SendTimeOut(s32SockFd, pu8Buffer + s32WriteSize,
                                       s32Size - s32WriteSize, s32Sec);
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

/* ====================================================================== */
/* Interface, route and DNS queries                                        */
/* ====================================================================== */

int GetIpAndNetMask(unsigned char* pu8IpAddr, unsigned char* pu8NetMask, const char* ps8IfName)
{
    COMM_ASSERT(pu8IpAddr != nullptr);
    COMM_ASSERT(ps8IfName != nullptr);
    UniqueFd stFd(socket(AF_INET, SOCK_DGRAM, 0));
    if (stFd.Get() < 0) {
        const int s32Err = errno;
        COMM_LOG("socket: %s\n", strerror(s32Err));
        return -1;
    }
    return GetIpAndNetMaskFd(stFd.Get(), pu8IpAddr, pu8NetMask, ps8IfName);
}

int GetIpAndNetMaskFd(int s32SockFd, unsigned char* pu8IpAddr, unsigned char* pu8NetMask,
                      const char* ps8IfName)
{
    COMM_ASSERT(pu8IpAddr != nullptr);
    COMM_ASSERT(ps8IfName != nullptr);
    /* The list is read into an ifreq-aligned buffer and copied out entry by
     * entry. */
    ifreq stList[COMM_IFCONF_BUF_SIZE / sizeof(ifreq)];
    ifconf stIfc;
    memset(&stIfc, 0, sizeof(stIfc));
    stIfc.ifc_len = static_cast<int>(sizeof(stList));
    stIfc.ifc_req = stList;
    if (ioctl(s32SockFd, SIOCGIFCONF, &stIfc) < 0) {
        const int s32Err = errno;
        COMM_LOG_AS("GetIpAndNetMask", "ioctl: %s\n", strerror(s32Err));
        return -1;
    }
    const size_t u32WantLen = strnlen(ps8IfName, IFNAMSIZ);
    const bool bNameFits = u32WantLen <= COMM_IFNAME_MAX_LEN;
    size_t u32Count = static_cast<size_t>(stIfc.ifc_len) / sizeof(ifreq);
    if (u32Count > sizeof(stList) / sizeof(stList[0])) u32Count = sizeof(stList) / sizeof(stList[0]);
    for (size_t i = 0; i < u32Count && bNameFits; ++i) {
        const ifreq& stEntry = stList[i];
        /* Only an entry of the wanted name can be copied, so only those need
         * their flags; the kernel's names are always terminated. */
        if (strnlen(stEntry.ifr_name, sizeof(stEntry.ifr_name)) != u32WantLen ||
            memcmp(stEntry.ifr_name, ps8IfName, u32WantLen) != 0) {
            continue;
        }
        ifreq stFlags;
        memset(&stFlags, 0, sizeof(stFlags));
        memcpy(stFlags.ifr_name, stEntry.ifr_name, sizeof(stFlags.ifr_name));
        if (ioctl(s32SockFd, SIOCGIFFLAGS, &stFlags) < 0) {
            const int s32Err = errno;
            COMM_LOG_AS("GetIpAndNetMask", "ioctl get ip address: %s\n", strerror(s32Err));
            return -1;
        }
        if ((stFlags.ifr_flags & IFF_UP) != 0 && (stFlags.ifr_flags & IFF_LOOPBACK) == 0) {
            sockaddr_in stSin;
            memcpy(&stSin, &stEntry.ifr_addr, sizeof(stSin));
            memcpy(pu8IpAddr, &stSin.sin_addr, sizeof(stSin.sin_addr));
        }
    }

    if (pu8NetMask != nullptr) {
        ifreq stMask;
        memset(&stMask, 0, sizeof(stMask));
        int s32Ret = -1;
        if (PutIfName(&stMask, ps8IfName)) {
            s32Ret = ioctl(s32SockFd, SIOCGIFNETMASK, &stMask);
        } else {
            errno = ENODEV;
        }
        if (s32Ret < 0) {
            const int s32Err = errno;
            COMM_LOG_AS("GetIpAndNetMask", "ioctl get netmask: %s\n", strerror(s32Err));
            return -1;
        }
        sockaddr_in stSin;
        memcpy(&stSin, &stMask.ifr_netmask, sizeof(stSin));
        memcpy(pu8NetMask, &stSin.sin_addr, sizeof(stSin.sin_addr));
    }
    return 0;
}

int ReadNlSock(int sockFd, char* bufPtr, int seqNum, int pId)
{
    int s32Total = 0;
    /* Each round either returns or adds a non-empty datagram, and the space
     * left shrinks to 0, which the checks below end with an error. */
    for (;;) {
        const size_t u32Space = static_cast<size_t>(COMM_NL_BUF_SIZE - s32Total);
        unsigned char* pu8Pos = reinterpret_cast<unsigned char*>(bufPtr) + s32Total;
        const ssize_t s32Ret = recv(sockFd, pu8Pos, u32Space, 0);
        if (s32Ret < 0) {
            const int s32Err = errno;
            COMM_LOG("socket read: %s\n", strerror(s32Err));
            return -1;
        }
        const size_t u32Got = static_cast<size_t>(s32Ret);
        nlmsghdr stHdr;
        if (!ReadNlHeader(pu8Pos, u32Got, &stHdr) || stHdr.nlmsg_type == NLMSG_ERROR) {
            const int s32Err = errno;
            COMM_LOG("Error in recieved packet: %s\n", strerror(s32Err));
            return -1;
        }
        /* End of the dump, whether it opens this datagram or follows the
         * last routes in it; it is not counted. */
        const long s32Done = comm_internal::FindNlDone(pu8Pos, u32Got);
        if (s32Done >= 0) return s32Total + static_cast<int>(s32Done);
        s32Total += static_cast<int>(u32Got);
        if ((stHdr.nlmsg_flags & NLM_F_MULTI) == 0) return s32Total;
        if (stHdr.nlmsg_seq == static_cast<U32>(seqNum) && stHdr.nlmsg_pid == static_cast<U32>(pId)) {
            return s32Total;
        }
    }
}

int ParseRoutes(nlmsghdr* nlHdr, route_info* rtInfo, unsigned char* pu8GateWay,
                const char* ps8IfName)
{
    if (nlHdr == nullptr || rtInfo == nullptr || pu8GateWay == nullptr || ps8IfName == nullptr) {
        return -1;
    }
    nlmsghdr stHdr;
    memcpy(&stHdr, nlHdr, sizeof(stHdr));
    comm_internal::ROUTE_MATCH_S stMatch = {false, 0, ps8IfName};
    return comm_internal::ParseRouteMsg(reinterpret_cast<const unsigned char*>(nlHdr),
                                        stHdr.nlmsg_len, stMatch, rtInfo, pu8GateWay);
}

int GetGateWay(unsigned char* pu8GateWay, const char* ps8IfName)
{
    COMM_ASSERT(pu8GateWay != nullptr);
    COMM_ASSERT(ps8IfName != nullptr);
    /* Per call: the dump lands here. */
    unsigned char u8Msg[COMM_NL_BUF_SIZE];
    memset(u8Msg, 0, sizeof(u8Msg));
    UniqueFd stFd(socket(AF_NETLINK, SOCK_DGRAM, NETLINK_ROUTE));
    if (stFd.Get() < 0) {
        const int s32Err = errno;
        COMM_LOG("socket: %s\n", strerror(s32Err));
        return -1;
    }
    return GateWayQuery(stFd.Get(), static_cast<int>(getpid()), AF_UNSPEC, u8Msg, pu8GateWay,
                        ps8IfName);
}

int GetGateWayFd(int s32NlFd, int s32Pid, unsigned char u8Family, unsigned char* pu8GateWay,
                 const char* ps8IfName)
{
    COMM_ASSERT(pu8GateWay != nullptr);
    COMM_ASSERT(ps8IfName != nullptr);
    /* Only the bytes a receive wrote are ever read: no need to clear it. */
    unsigned char u8Msg[COMM_NL_BUF_SIZE];
    return GateWayQuery(s32NlFd, s32Pid, u8Family, u8Msg, pu8GateWay, ps8IfName);
}

bool GetNetLinkState(const char* pu8IfName)
{
    COMM_ASSERT(pu8IfName != nullptr);
    UniqueFd stFd(socket(AF_INET, SOCK_DGRAM, 0));
    if (stFd.Get() < 0) {
        const int s32Err = errno;
        COMM_LOG_DASH("socket:%s\n", strerror(s32Err));
        return false;
    }
    ifreq stIfr;
    memset(&stIfr, 0, sizeof(stIfr));
    if (!PutIfName(&stIfr, pu8IfName)) {
        COMM_LOG_DASH("ioctl:%s\n", strerror(ENODEV));
        return false;
    }
    /* Basic status register of PHY 0; only the success of the read counts. */
    mii_data stMii = {0, 1, 0, 0};
    static_assert(sizeof(stMii) <= sizeof(stIfr.ifr_ifru), "MII request fits the request record");
    memcpy(&stIfr.ifr_ifru, &stMii, sizeof(stMii));
    if (ioctl(stFd.Get(), SIOCGMIIREG, &stIfr) < 0) {
        const int s32Err = errno;
        COMM_LOG_DASH("ioctl:%s\n", strerror(s32Err));
        return false;
    }
    if (ioctl(stFd.Get(), SIOCGIFFLAGS, &stIfr) == 0 && (stIfr.ifr_flags & IFF_RUNNING) != 0) {
        COMM_LOG_DASH("SIOCGIFFLAGS NewWork Link OK\n");
        return true;
    }
    COMM_LOG_DASH("No NewWork Link\n");
    return false;
}

int GetDnsAddr(unsigned char* pu8Dns, const char* ps8Path)
{
    COMM_ASSERT(pu8Dns != nullptr);
    COMM_ASSERT(ps8Path != nullptr);
    char s8Text[COMM_RESOLV_READ_SIZE + 1];
    memset(s8Text, 0, sizeof(s8Text));
    {
        UniqueFd stFd(open(ps8Path, O_RDONLY));
        if (stFd.Get() < 0) {
            const int s32Err = errno;
            COMM_LOG("open failed:%s\n", strerror(s32Err));
            return -1;
        }
        /* One read of up to 100 bytes; a short read of a regular file is
         * its end. */
        const ssize_t s32Ret = read(stFd.Get(), s8Text, COMM_RESOLV_READ_SIZE);
        if (s32Ret < 0) {
            const int s32Err = errno;
            COMM_LOG("read file error: %s\n", strerror(s32Err));
            return -1;
        }
    }
    static const char s8Key[] = "nameserver ";
    const char* ps8Match = strstr(s8Text, s8Key);
    if (ps8Match == nullptr) {
        COMM_LOG("do not find nameserver \n");
        return -1;
    }
    const char* ps8Tok = ps8Match + (sizeof(s8Key) - 1);
    char s8Token[COMM_DNS_TOKEN_MAX_LEN + 1];
    size_t u32TokLen = 0;
    while (ps8Tok[u32TokLen] != '\0' && ps8Tok[u32TokLen] != '\n' && ps8Tok[u32TokLen] != ' ' &&
           u32TokLen < COMM_DNS_TOKEN_MAX_LEN) {
        ++u32TokLen;
    }
    memcpy(s8Token, ps8Tok, u32TokLen);
    s8Token[u32TokLen] = '\0';
    const in_addr_t u32Addr = inet_addr(s8Token);
    memcpy(pu8Dns, &u32Addr, sizeof(u32Addr));
    COMM_LOG_DASH("DnsAddress = %03d.%03d.%03d.%03d\n", pu8Dns[0], pu8Dns[1], pu8Dns[2], pu8Dns[3]);
    return 0;
}

int GetMacAddress(const char* ps8EthName, unsigned char* pu8Mac)
{
    if (ps8EthName == nullptr || pu8Mac == nullptr) return -1;
    UniqueFd stFd(socket(AF_INET, SOCK_DGRAM, 0));
    if (stFd.Get() < 0) return -1;
    ifreq stIfr;
    memset(&stIfr, 0, sizeof(stIfr));
    if (!PutIfName(&stIfr, ps8EthName)) return -1;
    if (ioctl(stFd.Get(), SIOCGIFHWADDR, &stIfr) < 0) return -1;
    constexpr size_t COMM_MAC_LEN = 6;
    static_assert(sizeof(stIfr.ifr_hwaddr.sa_data) >= COMM_MAC_LEN, "hardware address field");
    memcpy(pu8Mac, stIfr.ifr_hwaddr.sa_data, COMM_MAC_LEN);
    return 0;
}

int IPAddrAdapter(char* S8IPAddr, unsigned char* U8IPAddr, bool bDir)
{
    COMM_ASSERT(S8IPAddr != nullptr);
    COMM_ASSERT(U8IPAddr != nullptr);
    constexpr size_t COMM_IPTEXT_SIZE = 16;   /* "255.255.255.255" and its terminator */
    if (bDir) {
        (void)snprintf(S8IPAddr, COMM_IPTEXT_SIZE, "%d.%d.%d.%d", U8IPAddr[0], U8IPAddr[1],
                       U8IPAddr[2], U8IPAddr[3]);
        return 0;
    }
    char s8Copy[COMM_IPTEXT_COPY_MAX + 1];
    const size_t u32Len = strnlen(S8IPAddr, COMM_IPTEXT_COPY_MAX);
    memcpy(s8Copy, S8IPAddr, u32Len);
    s8Copy[u32Len] = '\0';

    int s32Fields = 0;
    const char* ps8Field = s8Copy;
    for (;;) {
        const char* ps8Dot = strchr(ps8Field, '.');
        if (s32Fields < 4) {
            /* atoi, without its undefined overflow: strtol clamps, and the
             * value is then held in 32 bits as on the camera. */
            char s8Num[COMM_IPTEXT_COPY_MAX + 1];
            const size_t u32FieldLen =
                (ps8Dot != nullptr) ? static_cast<size_t>(ps8Dot - ps8Field) : strlen(ps8Field);
            memcpy(s8Num, ps8Field, u32FieldLen);
            s8Num[u32FieldLen] = '\0';
            long s32Val = strtol(s8Num, nullptr, 10);
            if (s32Val > INT32_MAX) s32Val = INT32_MAX;
            if (s32Val < INT32_MIN) s32Val = INT32_MIN;
            U8IPAddr[s32Fields] = static_cast<unsigned char>(static_cast<unsigned long>(s32Val) & 0xFFu);
        }
        ++s32Fields;
        if (ps8Dot == nullptr) break;
        ps8Field = ps8Dot + 1;
    }
    CommTrace("Last ip = %s, cur ip = %d.%d.%d.%d \n", S8IPAddr, U8IPAddr[0], U8IPAddr[1],
              U8IPAddr[2], U8IPAddr[3]);
    return (s32Fields > 4) ? -1 : 0;
}

/* ====================================================================== */
/* Guarded counters, random numbers, time keys                             */
/* ====================================================================== */

namespace {

pthread_mutex_t gs_mut = PTHREAD_MUTEX_INITIALIZER;

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t* pMutex) noexcept : m_pMutex(pMutex)
    {
        (void)pthread_mutex_lock(m_pMutex);
    }
    ~MutexGuard() { (void)pthread_mutex_unlock(m_pMutex); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    pthread_mutex_t* m_pMutex;
};

U32 Low32(long s32Value)
{
    return static_cast<U32>(static_cast<unsigned long>(s32Value));
}

}  // namespace

long InterlockedAssign(long* lpDstValue, long* lpSrcValue)
{
    MutexGuard stGuard(&gs_mut);
    *lpDstValue = comm_internal::Wrap32(*lpSrcValue);
    return *lpDstValue;
}

long InterlockedIncrement(long* lpAddend)
{
    MutexGuard stGuard(&gs_mut);
    *lpAddend = comm_internal::Wrap32(static_cast<long>(Low32(*lpAddend) + 1u));
    return *lpAddend;
}

long InterlockedCmp(long* lpValue1, long* lpValue2)
{
    U32 u32Diff = 0;
    {
        MutexGuard stGuard(&gs_mut);
        u32Diff = Low32(*lpValue1) - Low32(*lpValue2);
    }
    if (u32Diff == 0) return 0;
    return (u32Diff & 0x80000000u) != 0 ? -1 : 1;
}

void InitRandom()
{
    s32Seed = static_cast<int>(time(nullptr));
    srand(static_cast<unsigned int>(s32Seed));
}

unsigned int GetRandom(int s32Val)
{
    if (s32Val <= 0) return 0;
    return static_cast<unsigned int>(rand() % s32Val);
}

namespace {

constexpr U64 COMM_KEY_MONTH = 2764800ULL;   /* 32 days */
/* A year step of 13 such months: twelve months of 32 days plus day 31 stay
 * below it, so 31 December orders before 1 January of the next year (a
 * 370-day step would not: 12 * 32 + 31 days exceed it). */
constexpr U64 COMM_KEY_YEAR = 13ULL * COMM_KEY_MONTH;
constexpr U64 COMM_KEY_DAY = 86400ULL;

/* The hour and minute products are 32-bit values widened with their sign. */
U64 Product32(S32 s32Value, U32 u32Factor)
{
    const U32 u32Bits = static_cast<U32>(s32Value) * u32Factor;
    S32 s32Product = 0;
    memcpy(&s32Product, &u32Bits, sizeof(s32Product));
    return static_cast<U64>(static_cast<int64_t>(s32Product));
}

U64 TimeKey(S32 s32Year, S32 s32Month, S32 s32Day, S32 s32Hour, S32 s32Min, S32 s32Sec)
{
    const U64 u64Year = static_cast<U64>(static_cast<int64_t>(s32Year));
    const U64 u64Month = static_cast<U64>(static_cast<int64_t>(s32Month));
    const U64 u64Day = static_cast<U64>(static_cast<int64_t>(s32Day));
    return u64Year * COMM_KEY_YEAR + u64Month * COMM_KEY_MONTH + u64Day * COMM_KEY_DAY +
           Product32(s32Hour, 3600u) + Product32(s32Min, 60u) +
           static_cast<U64>(static_cast<int64_t>(s32Sec));
}

int CompareKeys(U64 u64Key1, U64 u64Key2)
{
    if (u64Key1 > u64Key2) return 1;
    if (u64Key1 < u64Key2) return -1;
    return 0;
}

}  // namespace

int CompareDateTime(const DateTime* pTime1, const DateTime* pTime2)
{
    COMM_ASSERT(pTime1 != nullptr && pTime2 != nullptr);
    return CompareKeys(TimeKey(pTime1->Year, pTime1->Month, pTime1->Day, pTime1->Hour,
                               pTime1->Minute, pTime1->Second),
                       TimeKey(pTime2->Year, pTime2->Month, pTime2->Day, pTime2->Hour,
                               pTime2->Minute, pTime2->Second));
}

int CompareRecordTime(const REC_TIME_S* pTime1, const REC_TIME_S* pTime2)
{
    COMM_ASSERT(pTime1 != nullptr && pTime2 != nullptr);
    return CompareKeys(TimeKey(pTime1->s32Year, pTime1->s32Month, pTime1->s32Day, pTime1->s32Hour,
                               pTime1->s32Min, pTime1->s32Sec),
                       TimeKey(pTime2->s32Year, pTime2->s32Month, pTime2->s32Day, pTime2->s32Hour,
                               pTime2->s32Min, pTime2->s32Sec));
}

/* ====================================================================== */
/* Encoders                                                                */
/* ====================================================================== */

int hex_encode(void* decode, char* encode, unsigned int encode_size)
{
    static const char s8Digits[] = "0123456789abcdef";
    const unsigned char* pu8In = static_cast<const unsigned char*>(decode);
    encode[0] = '\0';
    for (unsigned int i = 0; i < encode_size; ++i) {
        encode[2 * static_cast<size_t>(i)] = s8Digits[pu8In[i] >> 4];
        encode[2 * static_cast<size_t>(i) + 1] = s8Digits[pu8In[i] & 0x0F];
    }
    encode[2 * static_cast<size_t>(encode_size)] = '\0';
    return 0;
}

int hex_decode(const char* encoded, void* decoded, int decoded_size)
{
    if (encoded == nullptr || decoded == nullptr || decoded_size < 0) return -1;
    const size_t u32Want = 2 * static_cast<size_t>(decoded_size);
    /* strnlen stops one past the wanted length, so a long text is never
     * walked to its end. */
    if (strnlen(encoded, u32Want + 1) != u32Want) return -1;
    unsigned char* pu8Out = static_cast<unsigned char*>(decoded);
    for (int i = 0; i < decoded_size; ++i) {
        const char s8Pair[3] = {encoded[2 * i], encoded[2 * i + 1], '\0'};
        unsigned int u32Val = 0;
        if (sscanf(s8Pair, "%x", &u32Val) != 1) return -2;
        pu8Out[i] = static_cast<unsigned char>(u32Val & 0xFFu);
    }
    return 0;
}

int base64(const void* in, unsigned int inlen, char* out)
{
    static const char _base64[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (in == nullptr || out == nullptr) return -1;
    const U64 u64OutLen = 4ULL * ((static_cast<U64>(inlen) + 2) / 3);
    if (u64OutLen > static_cast<U64>(INT_MAX)) return -1;
    const unsigned char* pu8In = static_cast<const unsigned char*>(in);
    size_t u32Out = 0;
    for (unsigned int i = 0; i < inlen; i += 3) {
        const unsigned int u32Left = inlen - i;
        const U32 u32Group = (static_cast<U32>(pu8In[i]) << 16) |
                             (u32Left > 1 ? static_cast<U32>(pu8In[i + 1]) << 8 : 0u) |
                             (u32Left > 2 ? static_cast<U32>(pu8In[i + 2]) : 0u);
        out[u32Out++] = _base64[(u32Group >> 18) & 0x3F];
        out[u32Out++] = _base64[(u32Group >> 12) & 0x3F];
        out[u32Out++] = (u32Left > 1) ? _base64[(u32Group >> 6) & 0x3F] : '=';
        out[u32Out++] = (u32Left > 2) ? _base64[u32Group & 0x3F] : '=';
    }
    out[u32Out] = '\0';
    return static_cast<int>(u32Out);
}

namespace {

const unsigned char mark[8] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};

/* One bit (encoder) or one bit position (decoder) of the circle. */
struct node {
    U32 d;
    node* next;
};

/* Longest buffer the transform takes: its bit count must fit 32 bits. */
constexpr unsigned int COMM_YSF_MAX_LEN = 0x1FFFFFFFu;

/* The nodes of one circle live in one block, linked in stream order, the
 * last back to the first. */
node* MakeCircle(U32 u32Bits)
{
    node* pstNodes = static_cast<node*>(calloc(u32Bits, sizeof(node)));
    if (pstNodes == nullptr) return nullptr;
    for (U32 t = 0; t < u32Bits; ++t) {
        pstNodes[t].next = &pstNodes[(t + 1 == u32Bits) ? 0 : t + 1];
    }
    return pstNodes;
}

/* The counting-out walk shared by both directions: from the last node, pos
 * steps; then for each output bit, gap steps (mod the nodes left) and take the
 * node after the cursor. pfnTake(t, taken node) consumes it. */
template <typename TakeFn>
void WalkCircle(node* pstNodes, U32 u32Bits, unsigned int pos, unsigned int gap, TakeFn pfnTake)
{
    node* pstCur = &pstNodes[u32Bits - 1];
    for (U32 s = pos % u32Bits; s > 0; --s) pstCur = pstCur->next;
    for (U32 t = 0; t < u32Bits; ++t) {
        const U32 u32Left = u32Bits - t;
        for (U32 s = gap % u32Left; s > 0; --s) pstCur = pstCur->next;
        node* pstTaken = pstCur->next;
        pstCur->next = pstTaken->next;
        pfnTake(t, pstTaken);
    }
}

}  // namespace

int YSFEncode(unsigned char* data, unsigned int readlen, unsigned int pos, unsigned int gap)
{
    if (data == nullptr || readlen == 0 || readlen > COMM_YSF_MAX_LEN) return -1;
    const U32 u32Bits = 8u * readlen;
    node* pstNodes = MakeCircle(u32Bits);
    if (pstNodes == nullptr) return -1;
    for (U32 t = 0; t < u32Bits; ++t) {
        pstNodes[t].d = (data[t / 8] & mark[t % 8]) != 0 ? 1u : 0u;
    }
    memset(data, 0, readlen);
    WalkCircle(pstNodes, u32Bits, pos, gap, [data](U32 t, const node* pstTaken) {
        if (pstTaken->d != 0) data[t / 8] |= mark[t % 8];
    });
    free(pstNodes);
    return 0;
}

int YSFDecode(unsigned char* data, unsigned int readlen, unsigned int pos, unsigned int gap)
{
    if (data == nullptr || readlen == 0 || readlen > COMM_YSF_MAX_LEN) return -1;
    const U32 u32Bits = 8u * readlen;
    unsigned char* pu8Flags = static_cast<unsigned char*>(malloc(u32Bits));
    if (pu8Flags == nullptr) return -1;
    for (U32 t = 0; t < u32Bits; ++t) {
        pu8Flags[t] = (data[t / 8] & mark[t % 8]) != 0 ? 1 : 0;
        if (t % 8 == 7) data[t / 8] = 0;
    }
    node* pstNodes = MakeCircle(u32Bits);
    if (pstNodes == nullptr) {
        free(pu8Flags);
        return -1;
    }
    for (U32 t = 0; t < u32Bits; ++t) pstNodes[t].d = t;
    WalkCircle(pstNodes, u32Bits, pos, gap, [data, pu8Flags](U32 t, const node* pstTaken) {
        const U32 p = pstTaken->d;
        if (pu8Flags[t] != 0) data[p / 8] |= mark[p % 8];
    });
    free(pstNodes);
    free(pu8Flags);
    return 0;
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
