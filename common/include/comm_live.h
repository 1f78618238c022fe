// SPDX-License-Identifier: MIT
/* comm_live.h: the live address, netmask and gateway of an interface, asked
 * over descriptors kept open from one query to the next, for a server that
 * asks on every request. GetIpAndNetMask and GetGateWay open and close their
 * own descriptors for every other caller.
 *
 *   CommLiveQuery stLive;                        // opens nothing yet
 *   stLive.IpAndNetMask(u8Ip, u8Mask, "eth0");   // as GetIpAndNetMask
 *   stLive.GateWay(u8Gw, "eth0");                // as GetGateWay, IPv4 routes asked
 *
 * Nothing is cached: every call asks the kernel. A descriptor that cannot be
 * opened is tried again at the next call; the route socket is closed after a
 * failed dump, so no rest of an old answer is ever read as part of a new one.
 * One owner thread; the descriptors are not inherited by programs it starts. */
#ifndef COMMON_COMM_LIVE_H
#define COMMON_COMM_LIVE_H

class CommLiveQuery {
public:
    CommLiveQuery() noexcept = default;
    ~CommLiveQuery();
    CommLiveQuery(const CommLiveQuery&) = delete;
    CommLiveQuery& operator=(const CommLiveQuery&) = delete;

    /* IpAndNetMask: GetIpAndNetMask over the kept datagram socket: same
     * arguments, outputs, result and log lines. */
    int IpAndNetMask(unsigned char* pu8IpAddr, unsigned char* pu8NetMask, const char* ps8IfName);

    /* GateWay: GetGateWay over the kept routing socket, asking for IPv4 routes
     * only (the walk looks at no other): same arguments, outputs, result and
     * log lines. */
    int GateWay(unsigned char* pu8GateWay, const char* ps8IfName);

private:
    int m_s32IoctlFd = -1; /* IPv4 datagram socket for the interface requests */
    int m_s32RouteFd = -1; /* NETLINK_ROUTE socket for the route dumps */
    int m_s32RoutePid = 0; /* port id the dump requests carry */
};

#endif /* COMMON_COMM_LIVE_H */
