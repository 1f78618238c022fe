// SPDX-License-Identifier: MIT
/* bcast_loop.h: the receive loop's state: its buffers, the message header of
 * the receive and the replies, what the last receive put in them and what the
 * loop keeps from one datagram to the next. Shared by the loop
 * (bcast_serv.cpp) and the two handlers it dispatches to (bcast_search.cpp,
 * bcast_modify.cpp); declared for the unit tests, the fuzz target and the load
 * tools too.
 *
 *   BCAST_LOOP_S stLoop;
 *   BcastLoopInit(&stLoop);           // buffers cleared, message header wired
 *   // ReceiveOne / HandleDatagram of a BcastServer step it one datagram at a time
 */
#ifndef BCAST_SERV_BCAST_LOOP_H
#define BCAST_SERV_BCAST_LOOP_H

#include <net/if.h>
#include <netinet/in.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include "VXNetProtocol.h"
#include "bcast_guard.h"
#include "bcast_def.h"
#include "comm_log.h"
#include "type.h"

class CommLiveQuery;

/* Every line of the receive loop carries the loop's name, also from the
 * handlers it dispatches to. */
#define BCAST_LOOP_LOG(...) CommLogLine("BCAST", "AcceptProcess", __LINE__, __VA_ARGS__)
/* What was done, or refused, to the settings: under a log budget of its own,
 * which no search can use up. */
#define BCAST_LOOP_MODIFY_LOG(...) \
    CommLogModifyLine("BCAST", "AcceptProcess", __LINE__, __VA_ARGS__)

/* Sizes of the loop's other buffers: the modification reply (at most
 * 32 + 4 * 63 bytes) fits its buffer; the control data of a receive. */
constexpr size_t BCAST_MODIFY_BUF_SIZE = 4096;
constexpr size_t BCAST_CTRL_BUF_SIZE = 1024;
/* IP_PKTINFO records the control buffer can hold (the kernel gives one). */
constexpr size_t BCAST_PKTINFO_MAX = BCAST_CTRL_BUF_SIZE / CMSG_SPACE(sizeof(struct in_pktinfo));

/* How replies leave; sendmsg unless a test puts a recorder here. */
typedef ssize_t (*BCAST_SEND_FN)(int s32Fd, const struct msghdr* pstMsg, int s32Flags);
/* Milliseconds of a monotonic clock; CommNowMs unless a test puts its own here. */
typedef U64 (*BCAST_CLOCK_FN)();

/* Everything the receive loop keeps from one datagram to the next. It lives in
 * the loop's frame: nothing is allocated per datagram. */
struct BCAST_LOOP_S {
    U8 u8RecvBuf[BCAST_RECV_BUF_SIZE]; /* cleared before every receive */
    BCAST_DEV_MSG_S stSearchRsp;       /* rebuilt for every search */
    U8 u8ModifyBuf[BCAST_MODIFY_BUF_SIZE];
    /* ancillary data as received, echoed in replies */
    alignas(struct cmsghdr) U8 u8CtrlBuf[BCAST_CTRL_BUF_SIZE];
    struct sockaddr_in stPeerAddr; /* requester; destination of the reply */
    struct iovec stIov;
    struct msghdr stMsg; /* one header for the receive and the replies */
    /* The whole IP_PKTINFO records of the last receive, in order, decoded
     * once per datagram (a full list keeps the last record in its last slot). */
    struct in_pktinfo astPktInfo[BCAST_PKTINFO_MAX];
    U32 u32PktInfoCount;
    unsigned int u32IfIndex; /* last IP_PKTINFO index a search saw; kept across datagrams */
    struct ifreq stIfReq;
    BOOL bRestart;         /* reboot asked by the applying adapter */
    BOOL bReset;           /* network-service restart asked */
    BCAST_GUARD_S stGuard; /* failed user checks and the lock they start */
    int s32SockFd;         /* the server's socket, for the replies */
    CommLiveQuery* pLive;  /* the server's live queries */
    BCAST_SEND_FN pfnSend;
    BCAST_CLOCK_FN pfnNowMs;
};

/* BcastLoopInit: the state the loop starts with: every buffer cleared, index 0,
 * no restart asked, no failed user check, the message header pointing at the
 * peer address and the control buffer, replies sent with sendmsg, time from
 * CommNowMs. The server sets the socket and the live queries. */
VOID BcastLoopInit(BCAST_LOOP_S* pstLoop);

#endif /* BCAST_SERV_BCAST_LOOP_H */
