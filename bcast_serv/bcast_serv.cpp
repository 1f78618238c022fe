// SPDX-License-Identifier: MIT
/* bcast_serv.cpp: the discovery server's life cycle, its receive loop and the
 * dispatch of each datagram, decoded once, to the search (bcast_search.cpp)
 * or the modification (bcast_modify.cpp). */
#include "bcast_serv.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <new>

#include "bcast_modify.h"
#include "bcast_search.h"
#include "bcast_loop.h"
#include "comm_io.h"
#include "comm_log.h"
#include "intf_base.h"
#include "intf_request.h"

namespace {

/* Longest single wait for a datagram while modifications are locked, so the
 * end of the lock is logged when it comes. */
constexpr U64 BCAST_LOCK_POLL_MAX_MS = 1000;

/* The facade's request for one datagram, opened and closed around its
 * handling (a server given no scope has none). */
class RequestGuard {
public:
    explicit RequestGuard(IRequestScope* pScope) : m_pScope(pScope)
    {
        if (m_pScope != nullptr) m_pScope->RequestBegin();
    }
    ~RequestGuard()
    {
        if (m_pScope != nullptr) m_pScope->RequestEnd();
    }
    RequestGuard(const RequestGuard&) = delete;
    RequestGuard& operator=(const RequestGuard&) = delete;

private:
    IRequestScope* m_pScope;
};

/* The IP_PKTINFO records of the last receive, in order, into the loop state.
 * A record is taken only when it lies wholly inside what the kernel reported.
 * The walk has a header of its own, bounded by the buffer; the loop's header
 * goes back out unchanged. */
VOID DecodePacketInfo(BCAST_LOOP_S* pstLoop)
{
    pstLoop->u32PktInfoCount = 0;
    struct msghdr stCtrl = {};
    stCtrl.msg_control = pstLoop->u8CtrlBuf;
    stCtrl.msg_controllen = pstLoop->stMsg.msg_controllen < sizeof(pstLoop->u8CtrlBuf)
                                ? pstLoop->stMsg.msg_controllen
                                : sizeof(pstLoop->u8CtrlBuf);
    const U8* pu8CtrlEnd = pstLoop->u8CtrlBuf + stCtrl.msg_controllen;
    for (struct cmsghdr* pstCmsg = CMSG_FIRSTHDR(&stCtrl); pstCmsg != nullptr;
         pstCmsg = CMSG_NXTHDR(&stCtrl, pstCmsg)) {
        const size_t uLeft = (size_t)(pu8CtrlEnd - reinterpret_cast<const U8*>(pstCmsg));
        if (pstCmsg->cmsg_len < sizeof(struct cmsghdr) || pstCmsg->cmsg_len > uLeft) break;
        if (pstCmsg->cmsg_level != IPPROTO_IP || pstCmsg->cmsg_type != IP_PKTINFO ||
            pstCmsg->cmsg_len < CMSG_LEN(sizeof(struct in_pktinfo))) {
            continue;
        }
        /* The buffer holds no more whole records than the list; should it, the
         * last record still takes the last place. */
        U32& u32Count = pstLoop->u32PktInfoCount;
        if (u32Count == BCAST_PKTINFO_MAX) --u32Count;
        memcpy(&pstLoop->astPktInfo[u32Count++], CMSG_DATA(pstCmsg), sizeof(struct in_pktinfo));
    }
}

}  // namespace

/* ======================================================================== */
/* BcastServer                                                              */
/* ======================================================================== */

BcastServer::BcastServer(DevInterface* pIntf, IRequestScope* pScope)
    : m_pIntf(pIntf), m_pScope(pScope), m_stConnSockFd(-1)
{
    COMM_ASSERT(pIntf != nullptr);
    BCAST_LOG("- ##################################################### -\n");
    BCAST_LOG("- #### BcastServer Version: [ %s ], compile:%s %s\n", BCAST_VERSION, __DATE__,
              __TIME__);
    BCAST_LOG("- ##################################################### -\n");
    if (Start() < 0) {
        BCAST_LOG("Start BcastServer failed!\n");
        abort();
    }
    BCAST_LOG("BcastServer construct!\n");
}

BcastServer::BcastServer(DevInterface* pIntf, IRequestScope* pScope, S32 s32SockFd)
    : m_pIntf(pIntf), m_pScope(pScope), m_stConnSockFd(s32SockFd)
{
    COMM_ASSERT(pIntf != nullptr);
}

BcastServer::~BcastServer()
{
    BCAST_LOG("BcastServer distruct!\n");
}

int BcastServer::Start()
{
    THREADARG_S* pstArg = new (std::nothrow) THREADARG_S();
    if (pstArg == nullptr) {
        BCAST_LOG("start TCPServer failed!\n");
        return -1;
    }
    pstArg->Func = THREADFUNC_LISTEN;
    pstArg->pClass = this;
    pstArg->pArg = nullptr;
    pstArg->pUser = nullptr;
    if (CreateDetachThread(ThreadEntry, pstArg, nullptr) < 0) {
        BCAST_LOG("start TCPServer failed!\n");
        delete pstArg;
        return -1;
    }
    return 0; /* the thread owns the record now */
}

void* BcastServer::ThreadEntry(void* pArg)
{
    COMM_ASSERT(pArg != nullptr);
    THREADARG_S* pstArg = static_cast<THREADARG_S*>(pArg);
    BcastServer* pServer = static_cast<BcastServer*>(pstArg->pClass);
    if (pServer->Listen() < 0) {
        /* Without its socket the daemon serves nothing (port taken by a second
         * instance, say): end with a failure status instead of idling on, so
         * an init script or a supervisor can tell. */
        CommLogLine("BCAST", "Listen", __LINE__, "cannot serve UDP port %d, exiting\n",
                    BCAST_UDP_PORT);
        _Exit(EXIT_FAILURE);
    }
    delete pstArg;
    return nullptr;
}

int BcastServer::OpenSocket(const char* ps8Host, const char* ps8Serv)
{
    /* The helper's sockets are close-on-exec: no program the facade starts
     * (ps, kill, reboot) holds the port. */
    m_stConnSockFd.Reset(UdpListen(ps8Host, ps8Serv, nullptr));
    if (m_stConnSockFd.Get() < 0) return -1;
    const int s32On = 1;
    if (setsockopt(m_stConnSockFd.Get(), IPPROTO_IP, IP_PKTINFO, &s32On, sizeof(s32On)) < 0) {
        const int s32Err = errno;
        CommLogLine("BCAST", "Listen", __LINE__,
                    "failed to setsockopt(IPPROTO_IP,IP_PKTINFO) (%s)\n", strerror(s32Err));
    }
    return m_stConnSockFd.Get();
}

int BcastServer::Listen()
{
    S8 s8Port[20] = {};
    const int s32N = snprintf(s8Port, sizeof(s8Port), "%d", BCAST_UDP_PORT);
    if (s32N < 0 || (size_t)s32N >= sizeof(s8Port)) return -1;
    if (OpenSocket(nullptr, s8Port) < 0) return -1;
    AcceptProcess();
    return 0;
}

void BcastServer::AcceptProcess()
{
    BCAST_LOOP_S stLoop;
    BcastLoopInit(&stLoop);
    for (;;) {
        WaitWhileLocked(&stLoop);
        const S32 s32Len = ReceiveOne(&stLoop);
        HandleDatagram(&stLoop, s32Len);
    }
}

VOID BcastServer::WaitWhileLocked(BCAST_LOOP_S* pstLoop)
{
    /* Bounded: the lock lasts BCAST_GUARD_LOCK_MS, in steps of at most
     * BCAST_LOCK_POLL_MAX_MS; the extra rounds cover a slow clock. */
    constexpr U64 u64Rounds = BCAST_GUARD_LOCK_MS / BCAST_LOCK_POLL_MAX_MS + 2;
    for (U64 i = 0; i < u64Rounds; ++i) {
        const U64 u64Now = pstLoop->pfnNowMs();
        const U64 u64Left = BcastGuardLockLeftMs(&pstLoop->stGuard, u64Now);
        if (u64Left == 0) {
            BcastNoteLockEnd(pstLoop, u64Now);
            return;
        }
        struct pollfd stPfd = {m_stConnSockFd.Get(), POLLIN, 0};
        const int s32Wait =
            (int)(u64Left < BCAST_LOCK_POLL_MAX_MS ? u64Left : BCAST_LOCK_POLL_MAX_MS);
        if (poll(&stPfd, 1, s32Wait) != 0) return; /* a datagram, or an error recvmsg reports */
    }
}

S32 BcastServer::ReceiveOne(BCAST_LOOP_S* pstLoop)
{
    /* A short datagram must never read bytes of an earlier one, and the header's
     * lengths were overwritten by the previous receive. */
    memset(pstLoop->u8RecvBuf, 0, sizeof(pstLoop->u8RecvBuf));
    pstLoop->stIov.iov_base = pstLoop->u8RecvBuf;
    pstLoop->stIov.iov_len = sizeof(pstLoop->u8RecvBuf);
    pstLoop->stMsg.msg_iov = &pstLoop->stIov;
    pstLoop->stMsg.msg_iovlen = 1;
    pstLoop->stMsg.msg_namelen = sizeof(pstLoop->stPeerAddr);
    pstLoop->stMsg.msg_controllen = sizeof(pstLoop->u8CtrlBuf);
    pstLoop->stMsg.msg_flags = 0;
    errno = 0;
    const S32 s32Len = (S32)recvmsg(m_stConnSockFd.Get(), &pstLoop->stMsg, 0);
    if (s32Len <= 0) {
        const int s32Err = errno;
        BCAST_LOOP_LOG("recvmsg failed (%s)!\n", strerror(s32Err));
    }
    return s32Len;
}

VOID BcastServer::HandleDatagram(BCAST_LOOP_S* pstLoop, S32 s32Len)
{
    if (s32Len <= 0) return;
    pstLoop->s32SockFd = m_stConnSockFd.Get();
    pstLoop->pLive = &m_stLive;
    /* Everything the facade reads for this datagram is read afresh, once. */
    const RequestGuard stRequest(m_pScope);
    MsgHead stHead;
    memcpy(&stHead, pstLoop->u8RecvBuf, sizeof(stHead));
    DecodePacketInfo(pstLoop);
    const U16 u16MsgType = VXNetLe16(stHead.MsgType);
    switch (u16MsgType) {
        case MSG_TYPE_SEARCH:
        case MSG_TYPE_SEARCH_CUSTOM:
        case MSG_TYPE_SEARCH_EXT:
            BcastSearch(m_pIntf, pstLoop, stHead);
            break;
        case MSG_TYPE_MDEVINFO:
            BcastModify(m_pIntf, pstLoop, stHead);
            break;
        default:
            BCAST_LOOP_LOG("invlalid msg_type(%d)!\n", u16MsgType);
            break;
    }
}

int BcastServer::SetBcastDevRsp(SearchDevRsp* pSearchRsp, char* netintf)
{
    return BcastSearchRsp(m_pIntf, &m_stLive, pSearchRsp, netintf);
}

int BcastServer::GetPeerIpAddr(sockaddr* pstPeerAddr, int s32SALen, char* ps8PeerIP,
                               char* ps8PeerPort)
{
    COMM_ASSERT(ps8PeerIP != nullptr);
    COMM_ASSERT(ps8PeerPort != nullptr);
    constexpr socklen_t PEER_HOST_LEN = 1025;
    constexpr socklen_t PEER_SERV_LEN = 32;
    if (pstPeerAddr == nullptr || s32SALen <= 0) return -1;
    if (getnameinfo(pstPeerAddr, (socklen_t)s32SALen, ps8PeerIP, PEER_HOST_LEN, ps8PeerPort,
                    PEER_SERV_LEN, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return -1;
    }
    return 0;
}
