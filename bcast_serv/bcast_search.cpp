// SPDX-License-Identifier: MIT
/* bcast_search.cpp: the search branch of the discovery server: which searches
 * are answered, the reply body from the facade and the arrival interface's
 * live state, and its way back out of that interface (bcast_search.h). */
#include "bcast_search.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>

#include "VXNetParameter.h"
#include "bcast_loop.h"
#include "comm_funcs.h"
#include "intf_base.h"

namespace {

/* Zero-padded copy of at most min(N, uSrcLen) characters; no terminator when
 * the text fills the field. */
template <size_t N>
void PutText(S8 (&s8Dst)[N], const S8* ps8Src, size_t uSrcLen)
{
    const size_t uLen = strnlen(ps8Src, uSrcLen < N ? uSrcLen : N);
    memcpy(s8Dst, ps8Src, uLen);
    memset(s8Dst + uLen, 0, N - uLen);
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

}  // namespace

VOID BcastSearch(DevInterface* pIntf, BCAST_LOOP_S* pstLoop, const MsgHead& stHead)
{
    /* Customised products answer only the second form; all others never do. */
    const BOOL bCustom = pIntf->GetProductCustomVal() == 1;
    if (bCustom != (VXNetLe16(stHead.MsgType) == MSG_TYPE_SEARCH_CUSTOM)) return;

    /* Only a device's search reply carries MsgSize 448, and a reply echoes the
     * request's header, type included: answering it would start an endless
     * exchange between two devices (one forged datagram is enough). */
    if (VXNetLe32(stHead.MsgSize) == sizeof(SearchDevRsp)) {
        S8 s8Peer[INET_ADDRSTRLEN];
        PutInAddrText(s8Peer, pstLoop->stPeerAddr.sin_addr);
        BCAST_LOOP_LOG("search from %s:%u has MsgSize %u, a device's reply: not answered\n", s8Peer,
                       (unsigned)ntohs(pstLoop->stPeerAddr.sin_port),
                       (unsigned)sizeof(SearchDevRsp));
        return;
    }

    BCAST_LOOP_LOG("%s\n", "MSG_TYPE_SEARCH");

    /* Arrival interface: the last IP_PKTINFO record wins; without one the index
     * an earlier search saw stays. */
    for (U32 i = 0; i < pstLoop->u32PktInfoCount; ++i) {
        const struct in_pktinfo& stInfo = pstLoop->astPktInfo[i];
        S8 s8Dst[INET_ADDRSTRLEN];
        PutInAddrText(s8Dst, stInfo.ipi_addr);
        BCAST_LOOP_LOG("index=%d ip_dst_addr=%s\n", stInfo.ipi_ifindex, s8Dst);
        pstLoop->u32IfIndex = (unsigned int)stInfo.ipi_ifindex;
    }

    pstLoop->stIfReq.ifr_ifindex = (int)pstLoop->u32IfIndex;
    if (ioctl(pstLoop->s32SockFd, SIOCGIFNAME, &pstLoop->stIfReq) < 0) {
        BCAST_LOOP_LOG("get intfname fail\n");
        return;
    }
    S8 s8IfName[IFNAMSIZ + 1] = {};
    memcpy(s8IfName, pstLoop->stIfReq.ifr_name, strnlen(pstLoop->stIfReq.ifr_name, IFNAMSIZ - 1));

    if (BcastSearchRsp(pIntf, pstLoop->pLive, &pstLoop->stSearchRsp.stMsgBody, s8IfName) != 0) {
        BCAST_LOOP_LOG("failed to get device info!\n");
        return;
    }

    MsgHead stRspHead = stHead;
    stRspHead.MsgSize = VXNetLe32(sizeof(SearchDevRsp));
    pstLoop->stSearchRsp.stMsgHeader = stRspHead;

    /* The reply goes out with the request's own message header: the peer
     * address as destination, and the echoed packet information, which makes
     * the reply leave by the arrival interface from the address the request
     * reached. */
    pstLoop->stIov.iov_base = &pstLoop->stSearchRsp;
    pstLoop->stIov.iov_len = sizeof(pstLoop->stSearchRsp);
    if (pstLoop->pfnSend(pstLoop->s32SockFd, &pstLoop->stMsg, MSG_DONTROUTE) <= 0) {
        const int s32Err = errno;
        BCAST_LOOP_LOG("sendmsg failed (%s)!\n", strerror(s32Err));
    }
}

int BcastSearchRsp(DevInterface* pIntf, CommLiveQuery* pLive, SearchDevRsp* pSearchRsp,
                   const char* ps8IfName)
{
    COMM_ASSERT(pIntf != nullptr && pLive != nullptr);
    COMM_ASSERT(pSearchRsp != nullptr && ps8IfName != nullptr);
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

    (void)pIntf->GetNetworkState(&s32Mode, u8Ip, u8Mask);
    (void)pLive->IpAndNetMask(u8Ip, u8Mask, ps8IfName);
    s64Sum += pIntf->GetDnsAddrs(u8Dns, BCAST_DNS_COUNT);
    s64Sum += pIntf->GetHostname(s8HostName);
    s64Sum += pIntf->GetDevInfo(&stDevInfo, BCAST_LOCAL_USER_ID);
    (void)pLive->GateWay(u8GateWay, ps8IfName);

    PutAddrText(pSearchRsp->IP, u8Ip);
    PutAddrText(pSearchRsp->NetMask, u8Mask);
    PutAddrText(pSearchRsp->GateWay, u8GateWay);
    PutAddrText(pSearchRsp->DNS1, u8Dns[0]);
    PutAddrText(pSearchRsp->DNS2, u8Dns[1]);

    pSearchRsp->Port = VXNetLe32(pIntf->GetMediaPort());
    pSearchRsp->IEPort = VXNetLe32(pIntf->GetWebPort());
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
