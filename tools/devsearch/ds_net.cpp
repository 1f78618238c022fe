// SPDX-License-Identifier: MIT
/* ds_net.cpp: sockets, interface list and the timed send/collect loops of devsearch. */
#include "ds_net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "comm_fd.h"

namespace {

/* Room for a few hundred 464-byte replies arriving at once. */
constexpr int DS_RCVBUF_BYTES = 4 * 1024 * 1024;
/* Bound on datagrams read per exchange, far above any LAN's replies. */
constexpr U32 DS_MAX_DATAGRAMS = 200000;
constexpr size_t DS_RX_BUF = 2048;

std::string ErrText(const char* ps8What, int s32Err)
{
    return std::string(ps8What) + ": " + strerror(s32Err);
}

/* The client socket: broadcast allowed, arrival interface reported, large receive
 * buffer, bound to an ephemeral port on every address. */
int OpenSocket(std::string* pstrErr)
{
    UniqueFd stFd(socket(AF_INET, SOCK_DGRAM, 0));
    if (stFd.Get() < 0) {
        *pstrErr = ErrText("socket", errno);
        return -1;
    }
    const int s32On = 1;
    if (setsockopt(stFd.Get(), SOL_SOCKET, SO_BROADCAST, &s32On, sizeof(s32On)) != 0 ||
        setsockopt(stFd.Get(), IPPROTO_IP, IP_PKTINFO, &s32On, sizeof(s32On)) != 0) {
        *pstrErr = ErrText("setsockopt", errno);
        return -1;
    }
    const int s32Buf = DS_RCVBUF_BYTES;
#ifdef SO_RCVBUFFORCE
    /* Above rmem_max when privileged; otherwise the ordinary request, capped by it. */
    if (setsockopt(stFd.Get(), SOL_SOCKET, SO_RCVBUFFORCE, &s32Buf, sizeof(s32Buf)) != 0)
#endif
        (void)setsockopt(stFd.Get(), SOL_SOCKET, SO_RCVBUF, &s32Buf, sizeof(s32Buf));
    struct sockaddr_in stAddr = {};
    stAddr.sin_family = AF_INET;
    stAddr.sin_addr.s_addr = htonl(INADDR_ANY);
    stAddr.sin_port = 0;
    if (bind(stFd.Get(), (const struct sockaddr*)&stAddr, sizeof(stAddr)) != 0) {
        *pstrErr = ErrText("bind", errno);
        return -1;
    }
    const int s32Flags = fcntl(stFd.Get(), F_GETFL, 0);
    if (s32Flags < 0 || fcntl(stFd.Get(), F_SETFL, s32Flags | O_NONBLOCK) != 0) {
        *pstrErr = ErrText("fcntl", errno);
        return -1;
    }
    return stFd.Release();
}

/* One datagram out of one interface (ipi_ifindex), from that interface's address. */
S32 SendVia(int s32Fd, const DsIface& stIface, const DsExchangeParams& stParams, const U8* pu8Buf,
            size_t u32Len, std::string* pstrErr)
{
    struct sockaddr_in stDst = {};
    stDst.sin_family = AF_INET;
    memcpy(&stDst.sin_addr, stParams.au8Dst, sizeof(stParams.au8Dst));
    stDst.sin_port = htons(stParams.u16Port);

    struct iovec stIov = {};
    stIov.iov_base = const_cast<U8*>(pu8Buf);
    stIov.iov_len = u32Len;
    union {
        struct cmsghdr stAlign;
        char s8Buf[CMSG_SPACE(sizeof(struct in_pktinfo))];
    } unCtl;
    memset(&unCtl, 0, sizeof(unCtl));
    struct msghdr stMsg = {};
    stMsg.msg_name = &stDst;
    stMsg.msg_namelen = sizeof(stDst);
    stMsg.msg_iov = &stIov;
    stMsg.msg_iovlen = 1;
    stMsg.msg_control = unCtl.s8Buf;
    stMsg.msg_controllen = sizeof(unCtl.s8Buf);
    struct cmsghdr* pstCmsg = CMSG_FIRSTHDR(&stMsg);
    pstCmsg->cmsg_level = IPPROTO_IP;
    pstCmsg->cmsg_type = IP_PKTINFO;
    pstCmsg->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
    struct in_pktinfo stInfo = {};
    stInfo.ipi_ifindex = (int)stIface.u32Index;
    memcpy(&stInfo.ipi_spec_dst, stIface.au8Addr, sizeof(stIface.au8Addr));
    memcpy(CMSG_DATA(pstCmsg), &stInfo, sizeof(stInfo));

    const int s32Flags = stParams.bDontRoute ? MSG_DONTROUTE : 0;
    for (int s32Try = 0; s32Try < 100; ++s32Try) {
        const ssize_t s32Sent = sendmsg(s32Fd, &stMsg, s32Flags);
        if (s32Sent == (ssize_t)u32Len) return 0;
        if (s32Sent < 0 && (errno == EINTR || errno == EAGAIN || errno == ENOBUFS)) {
            const struct timespec stNap = {0, 1000000};
            nanosleep(&stNap, nullptr);
            continue;
        }
        *pstrErr = ErrText(("send on " + stIface.strName).c_str(), s32Sent < 0 ? errno : EMSGSIZE);
        return -1;
    }
    *pstrErr = "send on " + stIface.strName + ": socket stayed busy";
    return -1;
}

/* One datagram with its arrival interface; 1 read, 0 nothing waiting, -1 error. */
S32 RecvOne(int s32Fd, U8 (&u8Buf)[DS_RX_BUF], S32* ps32Len, U32* pu32IfIndex)
{
    struct sockaddr_in stPeer = {};
    struct iovec stIov = {};
    stIov.iov_base = u8Buf;
    stIov.iov_len = sizeof(u8Buf);
    union {
        struct cmsghdr stAlign;
        char s8Buf[256];
    } unCtl;
    memset(&unCtl, 0, sizeof(unCtl));
    struct msghdr stMsg = {};
    stMsg.msg_name = &stPeer;
    stMsg.msg_namelen = sizeof(stPeer);
    stMsg.msg_iov = &stIov;
    stMsg.msg_iovlen = 1;
    stMsg.msg_control = unCtl.s8Buf;
    stMsg.msg_controllen = sizeof(unCtl.s8Buf);
    const ssize_t s32Len = recvmsg(s32Fd, &stMsg, 0);
    if (s32Len < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        return -1;
    }
    U32 u32Index = 0;
    for (struct cmsghdr* p = CMSG_FIRSTHDR(&stMsg); p != nullptr; p = CMSG_NXTHDR(&stMsg, p)) {
        if (p->cmsg_level == IPPROTO_IP && p->cmsg_type == IP_PKTINFO &&
            p->cmsg_len >= CMSG_LEN(sizeof(struct in_pktinfo))) {
            struct in_pktinfo stInfo;
            memcpy(&stInfo, CMSG_DATA(p), sizeof(stInfo));
            u32Index = (U32)stInfo.ipi_ifindex;
        }
    }
    /* A datagram longer than the buffer is not a reply of ours (at most 464 bytes). */
    *ps32Len = (stMsg.msg_flags & MSG_TRUNC) ? -1 : (S32)s32Len;
    *pu32IfIndex = u32Index;
    return 1;
}

std::string IfName(U32 u32Index, const std::vector<DsIface>& vecIfaces)
{
    for (const DsIface& stIf : vecIfaces) {
        if (stIf.u32Index == u32Index) return stIf.strName;
    }
    char s8Name[IF_NAMESIZE] = {};
    if (u32Index != 0 && if_indextoname(u32Index, s8Name) != nullptr) {
        return std::string(s8Name, strnlen(s8Name, sizeof(s8Name)));
    }
    return std::string();
}

/* Sends at k x timeout / (retries + 1), k = 0..retries, and hands every datagram that
 * arrives until the timeout to fnRx; stops early when fnRx returns true. */
template <typename SendFn, typename RxFn>
S32 TimedExchange(int s32Fd, const DsExchangeParams& stParams, SendFn fnSend, RxFn fnRx,
                  std::string* pstrErr)
{
    const U64 u64Start = DsNowMs();
    const U64 u64End = u64Start + stParams.u32TimeoutMs;
    const U32 u32Sends = stParams.u32Retries + 1;
    U32 u32Sent = 0;
    U32 u32Reads = 0;
    U8 u8Buf[DS_RX_BUF];
    while (u32Reads < DS_MAX_DATAGRAMS) {
        const U64 u64Now = DsNowMs();
        if (u64Now >= u64End) break;
        if (u32Sent < u32Sends &&
            u64Now >= u64Start + (U64)stParams.u32TimeoutMs * u32Sent / u32Sends) {
            if (!fnSend()) return -1;
            ++u32Sent;
            continue;
        }
        U64 u64Wake = u64End;
        if (u32Sent < u32Sends) {
            u64Wake = u64Start + (U64)stParams.u32TimeoutMs * u32Sent / u32Sends;
        }
        struct pollfd stPfd = {};
        stPfd.fd = s32Fd;
        stPfd.events = POLLIN;
        const U64 u64Wait = u64Wake > u64Now ? u64Wake - u64Now : 0;
        const int s32Ready = poll(&stPfd, 1, (int)u64Wait);
        if (s32Ready < 0 && errno != EINTR) {
            *pstrErr = ErrText("poll", errno);
            return -1;
        }
        if (s32Ready <= 0) continue;
        /* drain what is queued, bounded */
        for (U32 u32Batch = 0; u32Batch < 1024 && u32Reads < DS_MAX_DATAGRAMS; ++u32Batch) {
            S32 s32Len = 0;
            U32 u32If = 0;
            const S32 s32Got = RecvOne(s32Fd, u8Buf, &s32Len, &u32If);
            if (s32Got < 0) {
                *pstrErr = ErrText("recvmsg", errno);
                return -1;
            }
            if (s32Got == 0) break;
            ++u32Reads;
            if (s32Len >= 0 && fnRx(u8Buf, s32Len, u32If)) return 1;
        }
    }
    return 0;
}

}  // namespace

U64 DsNowMs()
{
    struct timespec stTs = {};
    clock_gettime(CLOCK_MONOTONIC, &stTs);
    return (U64)stTs.tv_sec * 1000u + (U64)stTs.tv_nsec / 1000000u;
}

void DsRandomBytes(U8* pu8Out, size_t u32Len)
{
    size_t u32Have = 0;
    const int s32Fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (s32Fd >= 0) {
        for (int s32Try = 0; s32Try < 8 && u32Have < u32Len; ++s32Try) {
            const ssize_t n = read(s32Fd, pu8Out + u32Have, u32Len - u32Have);
            if (n > 0) u32Have += (size_t)n;
        }
        close(s32Fd);
    }
    if (u32Have == u32Len) return;
    /* no urandom: time and pid, stirred (xorshift); enough to tell our requests apart */
    struct timespec stTs = {};
    clock_gettime(CLOCK_REALTIME, &stTs);
    U64 u64X = ((U64)stTs.tv_sec << 32) ^ (U64)stTs.tv_nsec ^ ((U64)getpid() << 16) ^
               0x9E3779B97F4A7C15ull;
    for (size_t i = u32Have; i < u32Len; ++i) {
        u64X ^= u64X << 13;
        u64X ^= u64X >> 7;
        u64X ^= u64X << 17;
        pu8Out[i] = (U8)(u64X >> 24);
    }
}

S32 DsListIfaces(const std::string& strOnly, std::vector<DsIface>* pvecOut, std::string* pstrErr)
{
    struct ifaddrs* pstList = nullptr;
    if (getifaddrs(&pstList) != 0) {
        *pstrErr = ErrText("getifaddrs", errno);
        return -1;
    }
    std::vector<DsIface> vecOut;
    BOOL bNamedExists = false;
    U32 u32Count = 0;
    for (struct ifaddrs* p = pstList; p != nullptr && u32Count < 4096;
         p = p->ifa_next, ++u32Count) {
        if (p->ifa_name == nullptr) continue;
        const std::string strName = p->ifa_name;
        if (!strOnly.empty() && strName != strOnly) continue;
        if (!strOnly.empty()) bNamedExists = true;
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET) continue;
        if ((p->ifa_flags & IFF_UP) == 0) continue;
        if ((p->ifa_flags & IFF_LOOPBACK) != 0 && strOnly.empty()) continue;
        BOOL bSeen = false;
        for (const DsIface& stHave : vecOut) bSeen = bSeen || stHave.strName == strName;
        if (bSeen) continue; /* first address of each interface */
        DsIface stIf;
        stIf.strName = strName;
        stIf.u32Index = if_nametoindex(p->ifa_name);
        struct sockaddr_in stSin;
        memcpy(&stSin, p->ifa_addr, sizeof(stSin));
        memcpy(stIf.au8Addr, &stSin.sin_addr, sizeof(stIf.au8Addr));
        if (stIf.u32Index == 0) continue;
        vecOut.push_back(stIf);
    }
    freeifaddrs(pstList);
    if (vecOut.empty()) {
        if (strOnly.empty()) {
            *pstrErr = "no interface is up with an IPv4 address";
        } else if (bNamedExists) {
            *pstrErr = "interface " + strOnly + " is down or has no IPv4 address";
        } else {
            *pstrErr = "no such interface: " + strOnly;
        }
        return -1;
    }
    *pvecOut = vecOut;
    return 0;
}

S32 DsSearch(const std::vector<DsIface>& vecIfaces, const DsExchangeParams& stParams,
             DsDeviceList* pstList, U32* pu32Replies, std::string* pstrErr, const DsStopFn& fnStop)
{
    if (pstList == nullptr || pstrErr == nullptr) return -1;
    const int s32Raw = OpenSocket(pstrErr);
    if (s32Raw < 0) return -1;
    UniqueFd stFd(s32Raw);
    U8 u8Req[DS_SEARCH_REQ_LEN];
    DsEncodeSearch(stParams.u32Seq, u8Req);

    U32 u32Replies = 0;
    U32 u32SentOk = 0;
    std::string strSendErr;
    auto fnSend = [&]() {
        for (const DsIface& stIf : vecIfaces) {
            if (SendVia(stFd.Get(), stIf, stParams, u8Req, sizeof(u8Req), &strSendErr) == 0) {
                ++u32SentOk;
            }
        }
        return true; /* one interface failing does not stop the others */
    };
    auto fnRx = [&](const U8* pu8Buf, S32 s32Len, U32 u32If) {
        DsDevice stDev;
        if (DsDecodeSearchReply(pu8Buf, s32Len, stParams.u32Seq, &stDev) != 0) return false;
        stDev.strIfName = IfName(u32If, vecIfaces);
        ++u32Replies;
        pstList->Add(stDev);
        return fnStop && fnStop(stDev, *pstList);
    };
    const S32 s32Ended = TimedExchange(stFd.Get(), stParams, fnSend, fnRx, pstrErr);
    if (s32Ended < 0) return -1;
    if (u32SentOk == 0) {
        *pstrErr = strSendErr.empty() ? "nothing could be sent" : strSendErr;
        return -1;
    }
    if (pu32Replies != nullptr) *pu32Replies = u32Replies;
    return s32Ended;
}

S32 DsExchange(const DsIface& stIface, const U8* pu8Req, S32 s32Len,
               const DsExchangeParams& stParams, const U8 (&au8MsgId)[DS_MSGID_LEN], U16* pu16Ack,
               std::string* pstrErr)
{
    if (pu8Req == nullptr || s32Len <= 0 || pu16Ack == nullptr || pstrErr == nullptr) return -1;
    const int s32Raw = OpenSocket(pstrErr);
    if (s32Raw < 0) return -1;
    UniqueFd stFd(s32Raw);
    BOOL bSentOnce = false;
    auto fnSend = [&]() {
        if (SendVia(stFd.Get(), stIface, stParams, pu8Req, (size_t)s32Len, pstrErr) == 0) {
            bSentOnce = true;
            return true;
        }
        return bSentOnce; /* a later repeat failing is not fatal */
    };
    U16 u16Ack = 0;
    auto fnRx = [&](const U8* pu8Buf, S32 s32RxLen, U32 /*u32If*/) {
        return DsDecodeModifyReply(pu8Buf, s32RxLen, stParams.u32Seq, au8MsgId, &u16Ack) == 0;
    };
    const S32 s32Ret = TimedExchange(stFd.Get(), stParams, fnSend, fnRx, pstrErr);
    if (s32Ret == 1) *pu16Ack = u16Ack;
    return s32Ret;
}
