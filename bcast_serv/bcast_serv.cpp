// SPDX-License-Identifier: MIT
#include "bcast_serv.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <new>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>

#include "VXNetParameter.h"
#include "bcast_serv_internal.h"
#include "comm_funcs.h"
#include "comm_log.h"
#include "devfinder_def.h"
#include "intf_base.h"
#include "intf_request.h"

/* Every line of the receive loop carries the loop's name, also from the helpers
 * it is split into. */
#define BCAST_LOG_AS(FUNC, ...) CommLogLine("BCAST", FUNC, __LINE__, __VA_ARGS__)
#define BCAST_LOOP_LOG(...) BCAST_LOG_AS("AcceptProcess", __VA_ARGS__)
/* What was done, or refused, to the settings: under a log budget of its own,
 * which no search can use up. */
#define BCAST_LOOP_MODIFY_LOG(...) \
    CommLogModifyLine("BCAST", "AcceptProcess", __LINE__, __VA_ARGS__)

namespace {

/* Modification replies and SaveFlash: fixed values of the protocol. */
constexpr WORD BCAST_MODIFY_ACK_OK = 0;
constexpr WORD BCAST_SAVE_MSG_TYPE = 216;
constexpr WORD BCAST_SAVE_MSG_SUBTYPE = 511;
constexpr S32 BCAST_LOCAL_USER_ID = 1;
constexpr S32 BCAST_DNS_COUNT = 2;
constexpr U32 BCAST_EXT_WORD_SIZE = 4;
/* Longest single wait for a datagram while modifications are locked, so the
 * end of the lock is logged when it comes. */
constexpr U64 BCAST_LOCK_POLL_MAX_MS = 1000;

static_assert(sizeof(NetMDevInfoRsp) + sizeof(MsgHead) + 63 * BCAST_EXT_WORD_SIZE <=
                  BCAST_MODIFY_BUF_SIZE,
              "the largest modification reply fits its buffer");

/* Zero-padded copy of at most min(N, uSrcLen) characters; no terminator when
 * the text fills the field. */
template <size_t N>
void PutText(S8 (&s8Dst)[N], const S8* ps8Src, size_t uSrcLen)
{
    const size_t uLen = strnlen(ps8Src, uSrcLen < N ? uSrcLen : N);
    memcpy(s8Dst, ps8Src, uLen);
    memset(s8Dst + uLen, 0, N - uLen);
}

/* Terminated copy of a field that may fill its width. */
template <size_t N, size_t M>
void GetText(S8 (&s8Dst)[M], const S8 (&s8Src)[N])
{
    static_assert(M > N, "room for the terminator");
    const size_t uLen = strnlen(s8Src, N);
    memcpy(s8Dst, s8Src, uLen);
    memset(s8Dst + uLen, 0, M - uLen);
}

/* The text "%d.%d.%d.%d" gives for the four bytes, zero-padded. Written by
 * hand: five of these per search cost more than the rest of the builder. */
template <size_t N>
void PutAddrText(S8 (&s8Dst)[N], const U8* pu8Addr)
{
    static_assert(N >= sizeof("255.255.255.255"), "dotted text fits");
    memset(s8Dst, 0, N);
    size_t uPos = 0;
    for (size_t i = 0; i < 4; ++i) {
        const U8 u8Val = pu8Addr[i];
        if (u8Val >= 100) s8Dst[uPos++] = (S8)('0' + u8Val / 100);
        if (u8Val >= 10) s8Dst[uPos++] = (S8)('0' + u8Val / 10 % 10);
        s8Dst[uPos++] = (S8)('0' + u8Val % 10);
        if (i + 1 < 4) s8Dst[uPos++] = '.';
    }
}

/* The dotted text inet_ntop gives for an IPv4 address, without its cost. */
template <size_t N>
void PutInAddrText(S8 (&s8Dst)[N], const struct in_addr& stAddr)
{
    U8 u8Addr[4];
    static_assert(sizeof(stAddr) == sizeof(u8Addr), "an IPv4 address is 4 bytes");
    memcpy(u8Addr, &stAddr, sizeof(u8Addr));
    PutAddrText(s8Dst, u8Addr);
}

/* The facade's request for one datagram, opened and closed around its
 * handling (a facade that is no IRequestScope has none). */
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

/* Calls fnInfo with each IP_PKTINFO record of the last receive, in order. A
 * record is taken only when it lies wholly inside what the kernel reported.
 * The walk has a header of its own, bounded by the buffer; the loop's header
 * goes back out unchanged. */
template <typename FN>
void ForEachPacketInfo(BCAST_LOOP_S* pstLoop, FN fnInfo)
{
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
        if (pstCmsg->cmsg_level == IPPROTO_IP && pstCmsg->cmsg_type == IP_PKTINFO &&
            pstCmsg->cmsg_len >= CMSG_LEN(sizeof(struct in_pktinfo))) {
            struct in_pktinfo stInfo;
            memcpy(&stInfo, CMSG_DATA(pstCmsg), sizeof(stInfo));
            fnInfo(stInfo);
        }
    }
}

/* AckFlag of the modification reply header at the start of pu8Rsp. */
void SetModifyAck(U8* pu8Rsp, WORD u16Ack)
{
    MsgHead stHead;
    memcpy(&stHead, pu8Rsp, sizeof(stHead));
    stHead.AckFlag = VXNetLe16(u16Ack);
    memcpy(pu8Rsp, &stHead, sizeof(stHead));
}

/* The body of a modification reply follows the header and ExtSize zero words. */
size_t ModifyBodyOffset(const MsgHead& stHead)
{
    return sizeof(MsgHead) + BCAST_EXT_WORD_SIZE * stHead.ExtSize;
}

}  // namespace

/* ======================================================================== */
/* Loop state                                                               */
/* ======================================================================== */

VOID BcastLoopInit(BCAST_LOOP_S* pstLoop)
{
    COMM_ASSERT(pstLoop != nullptr);
    memset(pstLoop, 0, sizeof(*pstLoop));
    pstLoop->stMsg.msg_name = &pstLoop->stPeerAddr;
    pstLoop->stMsg.msg_namelen = sizeof(pstLoop->stPeerAddr);
    pstLoop->stMsg.msg_iov = &pstLoop->stIov;
    pstLoop->stMsg.msg_iovlen = 1;
    pstLoop->stMsg.msg_control = pstLoop->u8CtrlBuf;
    pstLoop->stMsg.msg_controllen = sizeof(pstLoop->u8CtrlBuf);
    pstLoop->u32IfIndex = 0;
    pstLoop->bRestart = false;
    pstLoop->bReset = false;
    pstLoop->pfnSend = sendmsg;
    pstLoop->pfnNowMs = BcastNowMs;
}

U64 BcastNowMs()
{
    struct timespec stNow;
    if (clock_gettime(CLOCK_MONOTONIC, &stNow) != 0) return 0;
    return (U64)stNow.tv_sec * 1000u + (U64)stNow.tv_nsec / 1000000u;
}

/* ======================================================================== */
/* BcastServer                                                              */
/* ======================================================================== */

BcastServer::BcastServer(DevInterface* pIntf)
    : m_pIntf(pIntf), m_s32ConnSockFd(-1), m_pScope(dynamic_cast<IRequestScope*>(pIntf))
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

BcastServer::BcastServer(DevInterface* pIntf, S32 s32SockFd)
    : m_pIntf(pIntf), m_s32ConnSockFd(s32SockFd), m_pScope(dynamic_cast<IRequestScope*>(pIntf))
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
    return 0;   /* the thread owns the record now */
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
        BCAST_LOG_AS("Listen", "cannot serve UDP port %d, exiting\n", DEVFINDER_UDP_PORT);
        _Exit(EXIT_FAILURE);
    }
    delete pstArg;
    return nullptr;
}

int BcastServer::OpenSocket(const char* ps8Host, const char* ps8Serv)
{
    m_s32ConnSockFd = UdpListen(ps8Host, ps8Serv, nullptr);
    if (m_s32ConnSockFd < 0) return -1;
    const int s32On = 1;
    if (setsockopt(m_s32ConnSockFd, IPPROTO_IP, IP_PKTINFO, &s32On, sizeof(s32On)) < 0) {
        const int s32Err = errno;
        BCAST_LOG_AS("Listen", "failed to setsockopt(IPPROTO_IP,IP_PKTINFO) (%s)\n",
                     strerror(s32Err));
    }
    return m_s32ConnSockFd;
}

int BcastServer::Listen()
{
    S8 s8Port[20] = {};
    const int s32N = snprintf(s8Port, sizeof(s8Port), "%d", DEVFINDER_UDP_PORT);
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
            NoteLockEnd(pstLoop, u64Now);
            return;
        }
        struct pollfd stPfd = {m_s32ConnSockFd, POLLIN, 0};
        const int s32Wait = (int)(u64Left < BCAST_LOCK_POLL_MAX_MS ? u64Left : BCAST_LOCK_POLL_MAX_MS);
        if (poll(&stPfd, 1, s32Wait) != 0) return; /* a datagram, or an error recvmsg reports */
    }
}

VOID BcastServer::NoteLockEnd(BCAST_LOOP_S* pstLoop, U64 u64NowMs)
{
    if (BcastGuardLockEnded(&pstLoop->stGuard, u64NowMs)) {
        BCAST_LOOP_MODIFY_LOG("modifications unlocked\n");
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
    const S32 s32Len = (S32)recvmsg(m_s32ConnSockFd, &pstLoop->stMsg, 0);
    if (s32Len <= 0) {
        const int s32Err = errno;
        BCAST_LOOP_LOG("recvmsg failed (%s)!\n", strerror(s32Err));
    }
    return s32Len;
}

VOID BcastServer::HandleDatagram(BCAST_LOOP_S* pstLoop, S32 s32Len)
{
    if (s32Len <= 0) return;
    /* Everything the facade reads for this datagram is read afresh. */
    const RequestGuard stRequest(m_pScope);
    MsgHead stHead;
    memcpy(&stHead, pstLoop->u8RecvBuf, sizeof(stHead));
    const U16 u16MsgType = VXNetLe16(stHead.MsgType);
    switch (u16MsgType) {
    case MSG_TYPE_SEARCH:
    case MSG_TYPE_SEARCH_CUSTOM:
    case MSG_TYPE_SEARCH_EXT:
        HandleSearch(pstLoop, u16MsgType);
        break;
    case MSG_TYPE_MDEVINFO:
        HandleModify(pstLoop);
        break;
    default:
        BCAST_LOOP_LOG("invlalid msg_type(%d)!\n", u16MsgType);
        break;
    }
}

VOID BcastServer::HandleSearch(BCAST_LOOP_S* pstLoop, U16 u16MsgType)
{
    /* Customised products answer only the second form; all others never do. */
    const BOOL bCustom = m_pIntf->GetProductCustomVal() == 1;
    if (bCustom != (u16MsgType == MSG_TYPE_SEARCH_CUSTOM)) return;

    /* Only a device's search reply carries MsgSize 448, and a reply echoes the
     * request's header, type included: answering it would start an endless
     * exchange between two devices (one forged datagram is enough). */
    MsgHead stReqHead;
    memcpy(&stReqHead, pstLoop->u8RecvBuf, sizeof(stReqHead));
    if (VXNetLe32(stReqHead.MsgSize) == sizeof(SearchDevRsp)) {
        S8 s8Peer[INET_ADDRSTRLEN];
        PutInAddrText(s8Peer, pstLoop->stPeerAddr.sin_addr);
        BCAST_LOOP_LOG("search from %s:%u has MsgSize %u, a device's reply: not answered\n",
                       s8Peer, (unsigned)ntohs(pstLoop->stPeerAddr.sin_port),
                       (unsigned)sizeof(SearchDevRsp));
        return;
    }

    BCAST_LOOP_LOG("%s\n", "MSG_TYPE_SEARCH");

    /* Arrival interface: the last IP_PKTINFO record wins; without one the index
     * of an earlier datagram stays. */
    ForEachPacketInfo(pstLoop, [pstLoop](const struct in_pktinfo& stInfo) {
        S8 s8Dst[INET_ADDRSTRLEN];
        PutInAddrText(s8Dst, stInfo.ipi_addr);
        BCAST_LOOP_LOG("index=%d ip_dst_addr=%s\n", stInfo.ipi_ifindex, s8Dst);
        pstLoop->u32IfIndex = (unsigned int)stInfo.ipi_ifindex;
    });

    pstLoop->stIfReq.ifr_ifindex = (int)pstLoop->u32IfIndex;
    if (ioctl(m_s32ConnSockFd, SIOCGIFNAME, &pstLoop->stIfReq) < 0) {
        BCAST_LOOP_LOG("get intfname fail\n");
        return;
    }
    S8 s8IfName[IFNAMSIZ + 1] = {};
    memcpy(s8IfName, pstLoop->stIfReq.ifr_name, strnlen(pstLoop->stIfReq.ifr_name, IFNAMSIZ - 1));

    if (SetBcastDevRsp(&pstLoop->stSearchRsp.stMsgBody, s8IfName) != 0) {
        BCAST_LOOP_LOG("failed to get device info!\n");
        return;
    }

    stReqHead.MsgSize = VXNetLe32(sizeof(SearchDevRsp));
    pstLoop->stSearchRsp.stMsgHeader = stReqHead;

    /* The reply goes out with the request's own message header: the peer
     * address as destination, and the echoed packet information, which makes
     * the reply leave by the arrival interface from the address the request
     * reached. */
    pstLoop->stIov.iov_base = &pstLoop->stSearchRsp;
    pstLoop->stIov.iov_len = sizeof(pstLoop->stSearchRsp);
    if (pstLoop->pfnSend(m_s32ConnSockFd, &pstLoop->stMsg, MSG_DONTROUTE) <= 0) {
        const int s32Err = errno;
        BCAST_LOOP_LOG("sendmsg failed (%s)!\n", strerror(s32Err));
    }
}

int BcastServer::SetBcastDevRsp(SearchDevRsp* pSearchRsp, char* netintf)
{
    COMM_ASSERT(pSearchRsp != nullptr && netintf != nullptr);
    memset(pSearchRsp, 0, sizeof(*pSearchRsp));

    int64_t s64Sum = 0;
    S32 s32Mode = -1;
    U8 u8Ip[4] = {};
    U8 u8Mask[4] = {};
    U8 u8GateWay[4] = {};
    unsigned char u8Dns[BCAST_DNS_COUNT][4] = {};
    S8 s8HostName[sizeof(pSearchRsp->HostName)] = {};
    DEVINFO_S stDevInfo;
    memset(&stDevInfo, 0, sizeof(stDevInfo));

    (void)m_pIntf->GetNetworkState(&s32Mode, u8Ip, u8Mask);
    (void)m_stLive.IpAndNetMask(u8Ip, u8Mask, netintf);
    s64Sum += m_pIntf->GetDnsAddrs(u8Dns, BCAST_DNS_COUNT);
    s64Sum += m_pIntf->GetHostname(s8HostName);
    s64Sum += m_pIntf->GetDevInfo(&stDevInfo, BCAST_LOCAL_USER_ID);
    (void)m_stLive.GateWay(u8GateWay, netintf);

    PutAddrText(pSearchRsp->IP, u8Ip);
    PutAddrText(pSearchRsp->NetMask, u8Mask);
    PutAddrText(pSearchRsp->GateWay, u8GateWay);
    PutAddrText(pSearchRsp->DNS1, u8Dns[0]);
    PutAddrText(pSearchRsp->DNS2, u8Dns[1]);

    pSearchRsp->Port = VXNetLe32(m_pIntf->GetMediaPort());
    pSearchRsp->IEPort = VXNetLe32(m_pIntf->GetWebPort());
    pSearchRsp->NetworkMode = VXNetLe32((U32)s32Mode);

    pSearchRsp->DeviceID = VXNetLe32(stDevInfo.u32DeviceID);
    pSearchRsp->ChannelNum = VXNetLe32(stDevInfo.u8ChannelNum);
    pSearchRsp->DevTypeULL = VXNetLe64(stDevInfo.u64DevType);

    PutText(pSearchRsp->HostName, s8HostName, sizeof(s8HostName));
    PutText(pSearchRsp->DevType, stDevInfo.s8DeviceType, sizeof(stDevInfo.s8DeviceType));
    PutText(pSearchRsp->DevVer, stDevInfo.s8DevSwVer, sizeof(stDevInfo.s8DevSwVer));
    PutText(pSearchRsp->DeviceName, stDevInfo.s8DevName, sizeof(stDevInfo.s8DevName));
    PutText(pSearchRsp->MacAddr, stDevInfo.s8MacAddr, sizeof(stDevInfo.s8MacAddr));
    /* 32 characters at most; the last 6 bytes of the field stay zero. */
    PutText(pSearchRsp->P2pID, stDevInfo.s8P2pId, sizeof(stDevInfo.s8P2pId));

    pSearchRsp->Version = 1;

    if (s64Sum > INT32_MAX) return INT32_MAX;
    if (s64Sum < INT32_MIN) return INT32_MIN;
    return (int)s64Sum;
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

VOID BcastServer::HandleModify(BCAST_LOOP_S* pstLoop)
{
    BCAST_LOOP_LOG("MSG_TYPE_MDEVINFO\n");

    /* The body sits at 16 whatever ExtSize says; the receive buffer was cleared,
     * so what a short datagram did not carry reads as zero. */
    MsgHead stHead;
    NewNetMDevInfoReq stReq;
    memcpy(&stHead, pstLoop->u8RecvBuf, sizeof(stHead));
    memcpy(&stReq, pstLoop->u8RecvBuf + sizeof(MsgHead), sizeof(stReq));
    const NetMDevInfoReq& stBase = stReq.DevInfoReq;

    S32 s32Mode = 0;
    U8 u8LocalIp[16] = {};
    DEVINFO_S stDevInfo;
    memset(&stDevInfo, 0, sizeof(stDevInfo));
    BOOL bOldVerConFlag = false;
    BOOL bNewVerConFlag = false;
    const U64 u64ReqType = VXNetLe64(stReq.devTypeULL);

    /* Texts from the datagram reach the log escaped: none may add a line. */
    S8 s8MacLog[CommLogEscapedSize(sizeof(stReq.macAddr))];
    CommLogEscape(s8MacLog, sizeof(s8MacLog), stReq.macAddr, sizeof(stReq.macAddr));

    BCAST_LOOP_LOG("============= Check Ip and MacAddr:============\n");
    BCAST_LOOP_LOG("cip:%d:%d:%d:%d \n", stBase.cip[0], stBase.cip[1], stBase.cip[2],
                   stBase.cip[3]);
    BCAST_LOOP_LOG(" MacAddr:%s\n", s8MacLog);
    BCAST_LOOP_LOG("============= Type:%llx============\n", (unsigned long long)u64ReqType);

    /* A MAC set skips the identity match, so only the camera it was sent to
     * may take it: sent to a broadcast or multicast address it would give
     * every camera that shares the password the same MAC, and its wrong
     * passwords would count against every camera's guessing bound. Without
     * packet information the destination is unknown, which is refused too. */
    if (stBase.ZizodSetMac == 1) {
        BOOL bKnown = false;
        BOOL bOwn = false;
        S8 s8Dst[INET_ADDRSTRLEN] = "unknown";
        ForEachPacketInfo(pstLoop, [&](const struct in_pktinfo& stInfo) {
            bKnown = true;
            bOwn = BcastIsOwnAddress(stInfo.ipi_addr, stInfo.ipi_spec_dst);
            PutInAddrText(s8Dst, stInfo.ipi_addr);
        });
        if (!bKnown || !bOwn) {
            BCAST_LOOP_MODIFY_LOG(
                "MAC set sent to %s, not to this camera's own address: not answered\n", s8Dst);
            return;
        }
    }

    /* The extended form names the device by address, MAC text and type; the
     * first form by address alone. */
    if (VXNetLe32(stHead.MsgSize) > sizeof(NetMDevInfoReq)) {
        if (m_pIntf->GetNetworkState(&s32Mode, u8LocalIp, nullptr) == 0 &&
            memcmp(stBase.cip, u8LocalIp, sizeof(stBase.cip)) == 0 &&
            m_pIntf->GetDevInfo(&stDevInfo, BCAST_LOCAL_USER_ID) == 0 &&
            strncmp(stReq.macAddr, stDevInfo.s8MacAddr, sizeof(stReq.macAddr)) == 0 &&
            u64ReqType == stDevInfo.u64DevType) {
            bNewVerConFlag = true;
        }
        BCAST_LOOP_LOG("localip:%d:%d:%d:%d \n", u8LocalIp[0], u8LocalIp[1], u8LocalIp[2],
                       u8LocalIp[3]);
    } else {
        if (m_pIntf->GetNetworkState(&s32Mode, u8LocalIp, nullptr) == 0 &&
            memcmp(stBase.cip, u8LocalIp, sizeof(stBase.cip)) == 0) {
            bOldVerConFlag = true;
        }
    }
    if (stBase.ZizodSetMac == 1) bNewVerConFlag = true;

    if (!bOldVerConFlag && !bNewVerConFlag) {
        BCAST_LOOP_LOG(" Ip ,MacAddr and DevType are not all the same \n");
        BCAST_LOOP_LOG("cip:%d:%d:%d:%d, u8ip:%d:%d:%d:%d \n", stBase.cip[0], stBase.cip[1],
                       stBase.cip[2], stBase.cip[3], u8LocalIp[0], u8LocalIp[1], u8LocalIp[2],
                       u8LocalIp[3]);
        S8 s8DevMacLog[CommLogEscapedSize(sizeof(stDevInfo.s8MacAddr))];
        CommLogEscape(s8DevMacLog, sizeof(s8DevMacLog), stDevInfo.s8MacAddr,
                      sizeof(stDevInfo.s8MacAddr));
        BCAST_LOOP_LOG("cMacaddr: %s , s8Mac: %s \n", s8MacLog, s8DevMacLog);
        BCAST_LOOP_LOG("cDevType: %lld , u64DevType: %lld \n", (long long)u64ReqType,
                       (long long)stDevInfo.u64DevType);
        return;
    }

    /* The facade gets terminated copies; the fields may fill their width. */
    BCAST_LOOP_LOG("bOldVerConFlag =  %d  bNewVerConFlag = %d\n", bOldVerConFlag ? 1 : 0,
                   bNewVerConFlag ? 1 : 0);
    /* Guessing is bounded: while locked, or for a repeat of a refused request,
     * the user table is not even looked at. Refusals are unanswered. */
    const U64 u64Now = pstLoop->pfnNowMs();
    NoteLockEnd(pstLoop, u64Now);
    const BCAST_GUARD_E enGuard = BcastGuardAdmit(&pstLoop->stGuard, stBase, u64Now);
    if (enGuard == BCAST_GUARD_LOCKED) {
        const U64 u64LeftS = (BcastGuardLockLeftMs(&pstLoop->stGuard, u64Now) + 999) / 1000;
        BCAST_LOOP_MODIFY_LOG("CheckUser skipped: modifications locked for %u more s\n",
                              (unsigned)u64LeftS);
        return;
    }
    if (enGuard == BCAST_GUARD_REPEAT) {
        BCAST_LOOP_MODIFY_LOG("CheckUser skipped: repeat of a refused request\n");
        return;
    }
    S8 s8User[sizeof(stBase.user) + 1];
    S8 s8Pwd[sizeof(stBase.pwd) + 1];
    GetText(s8User, stBase.user);
    GetText(s8Pwd, stBase.pwd);
    S8 s8UserLog[CommLogEscapedSize(sizeof(stBase.user))];
    CommLogEscape(s8UserLog, sizeof(s8UserLog), stBase.user, sizeof(stBase.user));
    S32 s32Ret = m_pIntf->CheckUser(s8User, s8Pwd, CHECK_USER_TYPE_IE);
    /* Passwords never reach the log. */
    if (s32Ret == CHECK_USER_UNAVAILABLE) {
        /* No password was compared (the main application is down, say): not a
         * guess, so the guard does not count it, and nothing is answered. */
        BCAST_LOOP_MODIFY_LOG(
            "user table unavailable (%s:%s): no reply, not counted as a failed check\n", s8UserLog,
            "***");
        return;
    }
    if (s32Ret < 0) {
        BCAST_LOOP_MODIFY_LOG("CheckUser Failed!(%s:%s)", s8UserLog, "***");
        if (BcastGuardFailed(&pstLoop->stGuard, stBase, u64Now)) {
            BCAST_LOOP_MODIFY_LOG("modifications locked for %u s after %u failed user checks\n",
                                  (unsigned)(BCAST_GUARD_LOCK_MS / 1000),
                                  (unsigned)BCAST_GUARD_FAILS);
        }
    } else {
        BCAST_LOOP_MODIFY_LOG("authencate succefully!(%s:%s)\n", s8UserLog, "***");
    }

    /* Reply: the request's header, ExtSize zero words, the request's msgid.
     * Its AckFlag is set where it is sent; a refused request is not answered. */
    U8* pu8Rsp = pstLoop->u8ModifyBuf;
    const size_t uBodyOff = ModifyBodyOffset(stHead);
    const size_t uRspLen = uBodyOff + sizeof(NetMDevInfoRsp);
    MsgHead stRspHead = stHead;
    stRspHead.MsgSize = VXNetLe32(sizeof(NetMDevInfoRsp));
    memcpy(pu8Rsp, &stRspHead, sizeof(stRspHead));
    memset(pu8Rsp + sizeof(MsgHead), 0, uBodyOff - sizeof(MsgHead));
    NetMDevInfoRsp stRspBody;
    memcpy(stRspBody.msgid, stBase.msgid, sizeof(stRspBody.msgid));
    memcpy(pu8Rsp + uBodyOff, &stRspBody, sizeof(stRspBody));
    S8 s8MsgIdLog[CommLogEscapedSize(sizeof(stBase.msgid))];
    CommLogEscape(s8MsgIdLog, sizeof(s8MsgIdLog), stBase.msgid, sizeof(stBase.msgid));
    BCAST_LOOP_LOG("MSG_ID:%s\n", s8MsgIdLog);
    pstLoop->stIov.iov_base = pu8Rsp;
    pstLoop->stIov.iov_len = uRspLen;

    if (s32Ret > 0) ApplyModify(pstLoop, stReq);

    if (pstLoop->bRestart) {
        BCAST_LOOP_MODIFY_LOG("restarting machine .....................\n");
        (void)m_pIntf->RestartMachine();
        pstLoop->bRestart = false;
    }
    if (pstLoop->bReset) {
        BCAST_LOOP_MODIFY_LOG("ResetNetServer .....................\n");
        m_pIntf->ResetNetServer();
        pstLoop->bReset = false;
    }
}

/* An authenticated request: read the current settings, answer, apply, save. */
VOID BcastServer::ApplyModify(BCAST_LOOP_S* pstLoop, const NewNetMDevInfoReq& stReq)
{
    const NetMDevInfoReq& stBase = stReq.DevInfoReq;
    m_pIntf->UpdateSysParam();
    /* Read afresh: the outcome never depends on an earlier request. */
    VXNet_NetworkBaseSet_t bset;
    memset(&bset, 0, sizeof(bset));
    if (m_pIntf->NetBasicParamAdapter(&bset, nullptr, 0, true, sizeof(bset)) != 0) return;
    SAVE_FLASH_OPT_E enSaveOpt = SAVE_OPT_STOP_NONE;

    const U32 u32MPort = VXNetLe16(stBase.mport);
    const U32 u32WPort = VXNetLe16(stBase.wport);
    if (memcmp(bset.IPAddr, stBase.ip, sizeof(stBase.ip)) == 0 &&
        memcmp(bset.NetMask, stBase.mask, sizeof(stBase.mask)) == 0 &&
        memcmp(bset.GateWay, stBase.gw, sizeof(stBase.gw)) == 0 &&
        memcmp(bset.dns1, stBase.dns1, sizeof(stBase.dns1)) == 0 &&
        memcmp(bset.dns2, stBase.dns2, sizeof(stBase.dns2)) == 0 && bset.Port == u32MPort &&
        bset.WebPort == u32WPort) {
        SetModifyAck(pstLoop->u8ModifyBuf, BCAST_MODIFY_ACK_OK);
        (void)pstLoop->pfnSend(m_s32ConnSockFd, &pstLoop->stMsg, 0);
        return;
    }

    memcpy(bset.IPAddr, stBase.ip, sizeof(stBase.ip));
    memcpy(bset.NetMask, stBase.mask, sizeof(stBase.mask));
    memcpy(bset.GateWay, stBase.gw, sizeof(stBase.gw));
    memcpy(bset.dns1, stBase.dns1, sizeof(stBase.dns1));
    memcpy(bset.dns2, stBase.dns2, sizeof(stBase.dns2));
    bset.Port = u32MPort;
    bset.WebPort = u32WPort;
    bset.NetworkMode = stBase.wNewFlag != 0 ? stBase.wMode : 2;
    CommTraceLine("AcceptProcess", __LINE__, "set netmode:%d\n", bset.NetworkMode);

    /* Refuse what would leave the device unreachable, before anything is
     * written. A MAC set applies only the MAC; DHCP ignores the addresses. */
    S8 s8Mac[sizeof(stReq.macAddr) + 4] = {};
    memcpy(s8Mac, stReq.macAddr, sizeof(stReq.macAddr));
    const BOOL bSetMac = stBase.ZizodSetMac == 1;
    const char* ps8Refusal = nullptr;
    if (bSetMac) {
        ps8Refusal = BcastCheckMacText(stReq.macAddr, sizeof(stReq.macAddr));
    } else if (bset.NetworkMode != 0) {
        ps8Refusal = BcastCheckStaticAddr(bset.IPAddr, bset.NetMask, bset.GateWay);
    }
    if (ps8Refusal != nullptr) {
        BCAST_LOOP_MODIFY_LOG("refused network settings: %s\n", ps8Refusal);
        return;
    }

    const S32 s32Ret = bSetMac ? m_pIntf->NetBasicParamAdapter(nullptr, s8Mac, 0, false, sizeof(bset))
                     : m_pIntf->NetBasicParamAdapter(&bset, nullptr, 0, false, sizeof(bset));
    /* Only a stored change is acknowledged. A negative result is a failure to
     * store, not a set of follow-up bits: nothing is answered, saved or
     * restarted (every bit set would reboot the camera after a failed write). */
    if (s32Ret < 0) {
        BCAST_LOOP_MODIFY_LOG("settings not stored (NetBasicParamAdapter returned %d), no reply\n",
                              (int)s32Ret);
        return;
    }
    const U32 u32Bits = (U32)s32Ret;
    const BOOL bStopEnc = (u32Bits & (1u << OPT_BIT_STOP_ENC)) != 0;
    const BOOL bStopRec = (u32Bits & (1u << OPT_BIT_STOP_REC)) != 0;
    if (bStopEnc && bStopRec) {
        enSaveOpt = SAVE_OPT_STOP_ERC;
    } else if (bStopEnc) {
        enSaveOpt = SAVE_OPT_STOP_ENC;
    } else if (bStopRec) {
        enSaveOpt = SAVE_OPT_STOP_REC;
    }

    /* The requester hears first: a reboot may follow. */
    SetModifyAck(pstLoop->u8ModifyBuf, BCAST_MODIFY_ACK_OK);
    BCAST_LOOP_MODIFY_LOG("Broad modify NVR network info return first\n");
    if (pstLoop->pfnSend(m_s32ConnSockFd, &pstLoop->stMsg, MSG_DONTROUTE) <= 0) {
        const int s32Err = errno;
        BCAST_LOOP_MODIFY_LOG("sendmsg failed (%s)!\n", strerror(s32Err));
    }
    (void)m_pIntf->SaveFlash(enSaveOpt, BCAST_SAVE_MSG_TYPE, BCAST_SAVE_MSG_SUBTYPE);
    if ((u32Bits & (1u << OPT_BIT_REBOOT)) != 0) pstLoop->bRestart = true;
    if ((u32Bits & (1u << OPT_BIT_RESTART_MEDIASERV)) != 0) pstLoop->bReset = true;
}
