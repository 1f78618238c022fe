// SPDX-License-Identifier: MIT
/* comm_netquery.cpp: the address, netmask and gateway queries of the helper
 * library (comm_funcs.h): one-shot and over kept descriptors (CommLiveQuery),
 * with the routing-netlink reader behind the gateway. */
#include "comm_funcs.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "comm_fd.h"
#include "comm_funcs_internal.h"
#include "comm_io.h"
#include "comm_log.h"

namespace {

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
        if (comm_internal::PutIfName(&stIfr, ps8IfName) &&
            ioctl(s32NlFd, SIOCGIFINDEX, &stIfr) == 0 && stIfr.ifr_ifindex > 0) {
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

bool PutIfName(ifreq* pstIfr, const char* ps8IfName)
{
    const size_t u32Len = strnlen(ps8IfName, sizeof(pstIfr->ifr_name));
    if (u32Len > COMM_IFNAME_MAX_LEN) return false;
    memset(pstIfr->ifr_name, 0, sizeof(pstIfr->ifr_name));
    memcpy(pstIfr->ifr_name, ps8IfName, u32Len);
    return true;
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
/* Interface, route and DNS queries                                        */
/* ====================================================================== */

int GetIpAndNetMask(unsigned char* pu8IpAddr, unsigned char* pu8NetMask, const char* ps8IfName)
{
    COMM_ASSERT(pu8IpAddr != nullptr);
    COMM_ASSERT(ps8IfName != nullptr);
    /* A query of its own, closed on return. */
    CommLiveQuery stOnce;
    return stOnce.IpAndNetMask(pu8IpAddr, pu8NetMask, ps8IfName);
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
    if (u32Count > sizeof(stList) / sizeof(stList[0]))
        u32Count = sizeof(stList) / sizeof(stList[0]);
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
        if (comm_internal::PutIfName(&stMask, ps8IfName)) {
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
        if (!ReadNlHeader(pu8Pos, u32Got, &stHdr)) {
            COMM_LOG("Error in recieved packet: %s\n", "short or inconsistent message");
            return -1;
        }
        if (stHdr.nlmsg_type == NLMSG_ERROR) {
            /* The kernel's reason, when the message is long enough to carry it. */
            nlmsgerr stErr;
            memset(&stErr, 0, sizeof(stErr));
            if (stHdr.nlmsg_len >= NLMSG_LENGTH(sizeof(stErr))) {
                memcpy(&stErr, pu8Pos + NLMSG_HDRLEN, sizeof(stErr));
            }
            COMM_LOG("Error in recieved packet: %s\n",
                     stErr.error < 0 ? strerror(-stErr.error) : "error message without a code");
            return -1;
        }
        /* End of the dump, whether it opens this datagram or follows the
         * last routes in it; it is not counted. */
        const long s32Done = comm_internal::FindNlDone(pu8Pos, u32Got);
        if (s32Done >= 0) return s32Total + static_cast<int>(s32Done);
        s32Total += static_cast<int>(u32Got);
        if ((stHdr.nlmsg_flags & NLM_F_MULTI) == 0) return s32Total;
        if (stHdr.nlmsg_seq == static_cast<U32>(seqNum) &&
            stHdr.nlmsg_pid == static_cast<U32>(pId)) {
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
    UniqueFd stFd(CommSocket(AF_NETLINK, SOCK_DGRAM, NETLINK_ROUTE));
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

/* ====================================================================== */
/* Kept descriptors                                                        */
/* ====================================================================== */

int CommLiveQuery::IpAndNetMask(unsigned char* pu8IpAddr, unsigned char* pu8NetMask,
                                const char* ps8IfName)
{
    COMM_ASSERT(pu8IpAddr != nullptr);
    COMM_ASSERT(ps8IfName != nullptr);
    if (m_stIoctlFd.Get() < 0) {
        m_stIoctlFd.Reset(CommSocket(AF_INET, SOCK_DGRAM, 0));
        if (m_stIoctlFd.Get() < 0) {
            const int s32Err = errno;
            COMM_LOG_AS("GetIpAndNetMask", "socket: %s\n", strerror(s32Err));
            return -1;
        }
    }
    /* A failed request (no such interface, no address) leaves the socket as
     * good as it was. */
    return GetIpAndNetMaskFd(m_stIoctlFd.Get(), pu8IpAddr, pu8NetMask, ps8IfName);
}

int CommLiveQuery::GateWay(unsigned char* pu8GateWay, const char* ps8IfName)
{
    COMM_ASSERT(pu8GateWay != nullptr);
    COMM_ASSERT(ps8IfName != nullptr);
    if (m_stRouteFd.Get() < 0) {
        m_stRouteFd.Reset(CommSocket(AF_NETLINK, SOCK_DGRAM, NETLINK_ROUTE));
        if (m_stRouteFd.Get() < 0) {
            const int s32Err = errno;
            COMM_LOG_AS("GetGateWay", "socket: %s\n", strerror(s32Err));
            return -1;
        }
        m_s32RoutePid = (int)getpid();
    }
    const int s32Ret =
        GetGateWayFd(m_stRouteFd.Get(), m_s32RoutePid, AF_INET, pu8GateWay, ps8IfName);
    /* Parts of a failed answer may still wait in the socket: a new one for
     * the next dump. */
    if (s32Ret < 0) m_stRouteFd.Reset();
    return s32Ret;
}
