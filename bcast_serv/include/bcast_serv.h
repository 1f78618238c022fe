// SPDX-License-Identifier: MIT
/* bcast_serv.h: the discovery server on UDP port 9333.
 *
 *   NetInterface* pIntf = new NetInterface(NULL);
 *   new BcastServer(pIntf, pIntf);   // banner, then one detached server thread
 *   for (;;) sleep(1);
 *
 * The server thread answers search requests with a description of the device
 * and applies authenticated network-modification requests, one datagram at a
 * time, each to its end. Replies leave by the interface the request came in on.
 * The server and the facade it is lent live until the process ends.
 *
 * When the server is given the facade's request scope (intf_request.h), it
 * opens a request on it for each datagram it handles and closes it when done.
 * The live address, netmask and gateway of the arrival interface are asked of
 * the kernel for every search, over two sockets the server keeps open. */
#ifndef BCAST_SERV_BCAST_SERV_H
#define BCAST_SERV_BCAST_SERV_H

#include "VXNetProtocol.h"
#include "bcast_def.h"
#include "comm_fd.h"
#include "comm_funcs.h"
#include "type.h"

class DevInterface;
class IRequestScope;
struct sockaddr;
struct BCAST_LOOP_S;

/* Kind of thread a THREADARG_S starts; nobody reads it. */
typedef enum tag_THREADFUNC_S {
    THREADFUNC_LISTEN = 0,
} THREADFUNC_S;

/* What a new server thread gets; the thread frees it. */
typedef struct tag_THREADARG_S {
    THREADFUNC_S Func; /* not read */
    VOID* pClass;      /* the BcastServer the thread runs */
    VOID* pArg;        /* null */
    VOID* pUser;       /* not read */
} THREADARG_S;

class BcastServer {
public:
    /* pIntf  [in] the device facade, required (asserted); lent, never freed.
     * pScope [in] the facade's request scope, or null when it has none.
     * Prints the banner and starts the server thread; aborts the process when
     * the thread cannot be started. */
    explicit BcastServer(DevInterface* pIntf, IRequestScope* pScope = nullptr);
    /* Logs one line and closes the socket; the daemon's server lives until
     * the process ends. */
    ~BcastServer();

    BcastServer(const BcastServer&) = delete;
    BcastServer& operator=(const BcastServer&) = delete;

    /* Start: run ThreadEntry on a detached thread.
     * return 0, or -1 ("start TCPServer failed!") */
    int Start();

    /* ThreadEntry: thread body. pArg [in] a THREADARG_S from new, freed here.
     * Runs Listen of pClass; when the socket cannot be opened, ends the process
     * with status 1 (EXIT_FAILURE). */
    static void* ThreadEntry(void* pArg);

    /* Listen: open UDP port 9333 on every address, enable IP_PKTINFO, run the
     * receive loop. return -1 when the socket cannot be opened; never returns
     * otherwise. */
    int Listen();

    /* AcceptProcess: the receive loop; never returns. */
    void AcceptProcess();

    /* SetBcastDevRsp: fill a search reply body from the facade and the live
     * state of one interface (asked over the server's kept sockets), as the
     * search does (BcastSearchRsp, bcast_search.h).
     * pSearchRsp [out] cleared, then filled
     * netintf    [in]  the arrival interface's name, NUL-terminated
     * return 0, or the nonzero sum of the GetDnsAddrs, GetHostname and
     *        GetDevInfo results (the caller then sends nothing) */
    int SetBcastDevRsp(SearchDevRsp* pSearchRsp, char* netintf);

    /* GetPeerIpAddr: numeric host and port text of a socket address (no lookup).
     * ps8PeerIP   [out] 1025 bytes (required, asserted)
     * ps8PeerPort [out] 32 bytes (required, asserted)
     * return 0, or -1 (conversion failed; the outputs are then undefined text) */
    int GetPeerIpAddr(sockaddr* pstPeerAddr, int s32SALen, char* ps8PeerIP, char* ps8PeerPort);

protected:
    /* For tests and load tools: a server over an open socket, which it then
     * owns (or -1 until OpenSocket). Prints no banner and starts no thread. */
    BcastServer(DevInterface* pIntf, IRequestScope* pScope, S32 s32SockFd);

    /* OpenSocket: bind a datagram socket to ps8Host (null: every address) and
     * ps8Serv, enable IP_PKTINFO (a failure is logged, not fatal).
     * return the socket, also kept as the server's, or -1 */
    int OpenSocket(const char* ps8Host, const char* ps8Serv);

    /* ReceiveOne: clear the receive buffer, reset the message header and read
     * one datagram into pstLoop. return the received length (0 or less: failed,
     * already logged) */
    S32 ReceiveOne(BCAST_LOOP_S* pstLoop);

    /* HandleDatagram: decode the s32Len bytes in pstLoop's receive buffer and
     * their packet information once, dispatch them to the search or the
     * modification, and send the reply, if any, through pstLoop's send
     * function. */
    VOID HandleDatagram(BCAST_LOOP_S* pstLoop, S32 s32Len);

    /* The server's socket. */
    int SockFd() const noexcept { return m_stConnSockFd.Get(); }

    DevInterface* m_pIntf;

private:
    /* The facade's request scope, or null. */
    IRequestScope* m_pScope;
    /* The UDP socket the server receives and replies on (close-on-exec). */
    UniqueFd m_stConnSockFd;
    /* Live address, netmask and gateway queries over kept sockets. */
    CommLiveQuery m_stLive;

    /* While modifications are locked, waits for the next datagram no longer
     * than the lock lasts, and logs its end when it comes. */
    VOID WaitWhileLocked(BCAST_LOOP_S* pstLoop);
};

#endif /* BCAST_SERV_BCAST_SERV_H */
