// SPDX-License-Identifier: MIT
/* bcast_serv_internal.h: the receive loop's state and the settings checks of
 * the discovery server, declared for its unit tests, fuzz target and load tools.
 *
 *   BCAST_LOOP_S stLoop;
 *   BcastLoopInit(&stLoop);           // buffers cleared, message header wired
 *   // ReceiveOne / HandleDatagram of a BcastServer step it one datagram at a time
 */
#ifndef BCAST_SERV_BCAST_SERV_INTERNAL_H
#define BCAST_SERV_BCAST_SERV_INTERNAL_H

#include <net/if.h>
#include <netinet/in.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include "VXNetProtocol.h"
#include "bcast_guard.h"
#include "type.h"

/* Sizes of the loop's buffers. Datagrams longer than the receive buffer are cut
 * to it; the modification reply (at most 32 + 4 * 63 bytes) fits its buffer. */
constexpr size_t BCAST_RECV_BUF_SIZE = sizeof(BCAST_DEVM_MSG_S);
constexpr size_t BCAST_MODIFY_BUF_SIZE = 4096;
constexpr size_t BCAST_CTRL_BUF_SIZE = 1024;
constexpr const char* BCAST_VERSION = "V2.0.0-20160127";

/* How replies leave; sendmsg unless a test puts a recorder here. */
typedef ssize_t (*BCAST_SEND_FN)(int s32Fd, const struct msghdr* pstMsg, int s32Flags);
/* Milliseconds of a monotonic clock; BcastNowMs unless a test puts its own here. */
typedef U64 (*BCAST_CLOCK_FN)();

/* Everything the receive loop keeps from one datagram to the next. It lives in
 * the loop's frame: nothing is allocated per datagram. */
struct BCAST_LOOP_S {
    U8 u8RecvBuf[BCAST_RECV_BUF_SIZE];   /* cleared before every receive */
    BCAST_DEV_MSG_S stSearchRsp;         /* rebuilt for every search */
    U8 u8ModifyBuf[BCAST_MODIFY_BUF_SIZE];
    /* ancillary data as received, echoed in replies */
    alignas(struct cmsghdr) U8 u8CtrlBuf[BCAST_CTRL_BUF_SIZE];
    struct sockaddr_in stPeerAddr;       /* requester; destination of the reply */
    struct iovec stIov;
    struct msghdr stMsg;                 /* one header for the receive and the replies */
    unsigned int u32IfIndex;             /* last IP_PKTINFO index seen; kept across datagrams */
    struct ifreq stIfReq;
    BOOL bRestart;                       /* reboot asked by the applying adapter */
    BOOL bReset;                         /* network-service restart asked */
    BCAST_GUARD_S stGuard;               /* failed user checks and the lock they start */
    BCAST_SEND_FN pfnSend;
    BCAST_CLOCK_FN pfnNowMs;
};

/* BcastLoopInit: the state the loop starts with: every buffer cleared, index 0,
 * no restart asked, no failed user check, the message header pointing at the
 * peer address and the control buffer, replies sent with sendmsg, time from
 * BcastNowMs. */
VOID BcastLoopInit(BCAST_LOOP_S* pstLoop);

/* BcastNowMs: milliseconds of the monotonic clock (0 if it cannot be read). */
U64 BcastNowMs();

/* BcastCheckStaticAddr: can a static address, netmask and gateway work at all?
 * The address must be a unicast host address of its subnet (not its network
 * or broadcast address), the netmask contiguous and leave room for two hosts
 * (/30 at most), and a gateway other than 0.0.0.0 (none) a host of the new
 * subnet other than the address itself.
 * pu8Ip, pu8Mask, pu8Gw [in] 4 bytes each, first octet first
 * return null, or the reason text for refusing them, naming the field */
const char* BcastCheckStaticAddr(const U8* pu8Ip, const U8* pu8Mask, const U8* pu8Gw);

/* BcastIsOwnAddress: was a datagram sent to this host's own address, not to a
 * broadcast or multicast one? For a datagram addressed to this host the kernel
 * reports the header's destination (ipi_addr of IP_PKTINFO) as the local
 * address it arrived at (ipi_spec_dst); for a broadcast or a multicast it
 * reports an address of the interface there instead.
 * stDst, stLocal [in] ipi_addr and ipi_spec_dst of the datagram's IP_PKTINFO */
BOOL BcastIsOwnAddress(const struct in_addr& stDst, const struct in_addr& stLocal);

/* BcastCheckMacText: the MAC text of a MAC-set request as the settings provider
 * will store it: NetMacDashesToColons run on a copy ('-' turned into ':' and
 * the text cut after the sixth pair).
 * ps8Mac [in] 36-byte field, not necessarily terminated
 * return null when the result is six two-digit hex pairs joined by ':', not all
 *        zero, first octet without the group bit; else the reason text */
const char* BcastCheckMacText(const S8* ps8Mac, size_t uFieldLen);

#endif /* BCAST_SERV_BCAST_SERV_INTERNAL_H */
