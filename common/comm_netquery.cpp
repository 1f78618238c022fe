// SPDX-License-Identifier: MIT
/* comm_netquery.cpp: live interface, route, DNS and MAC queries of the helper
 * library (comm_funcs.h), with the routing-netlink reader behind GetGateWay. */
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
#include "comm_log.h"

namespace {

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
    constexpr size_t COMM_IPTEXT_SIZE = 16; /* "255.255.255.255" and its terminator */
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
            U8IPAddr[s32Fields] =
                static_cast<unsigned char>(static_cast<unsigned long>(s32Val) & 0xFFu);
        }
        ++s32Fields;
        if (ps8Dot == nullptr) break;
        ps8Field = ps8Dot + 1;
    }
    CommTrace("Last ip = %s, cur ip = %d.%d.%d.%d \n", S8IPAddr, U8IPAddr[0], U8IPAddr[1],
              U8IPAddr[2], U8IPAddr[3]);
    return (s32Fields > 4) ? -1 : 0;
}
