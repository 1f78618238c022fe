// SPDX-License-Identifier: MIT
#include "comm_live.h"

#include <errno.h>
#include <linux/netlink.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "comm_funcs.h"
#include "comm_log.h"

namespace {

/* Neither the shell that signals the main application nor a reboot command
 * needs them. */
#ifdef SOCK_CLOEXEC
constexpr int COMM_LIVE_SOCK_FLAGS = SOCK_CLOEXEC;
#else
constexpr int COMM_LIVE_SOCK_FLAGS = 0;
#endif

/* A failure to open is reported as the one-shot query would report it. */
#define COMM_LIVE_LOG_AS(FUNC, ...) CommLogLine("COMM", FUNC, __LINE__, __VA_ARGS__)

}  // namespace

CommLiveQuery::~CommLiveQuery()
{
    if (m_s32IoctlFd >= 0) close(m_s32IoctlFd);
    if (m_s32RouteFd >= 0) close(m_s32RouteFd);
}

int CommLiveQuery::IpAndNetMask(unsigned char* pu8IpAddr, unsigned char* pu8NetMask,
                                const char* ps8IfName)
{
    COMM_ASSERT(pu8IpAddr != nullptr);
    COMM_ASSERT(ps8IfName != nullptr);
    if (m_s32IoctlFd < 0) {
        m_s32IoctlFd = socket(AF_INET, SOCK_DGRAM | COMM_LIVE_SOCK_FLAGS, 0);
        if (m_s32IoctlFd < 0) {
            const int s32Err = errno;
            COMM_LIVE_LOG_AS("GetIpAndNetMask", "socket: %s\n", strerror(s32Err));
            return -1;
        }
    }
    /* A failed request (no such interface, no address) leaves the socket as
     * good as it was. */
    return GetIpAndNetMaskFd(m_s32IoctlFd, pu8IpAddr, pu8NetMask, ps8IfName);
}

int CommLiveQuery::GateWay(unsigned char* pu8GateWay, const char* ps8IfName)
{
    COMM_ASSERT(pu8GateWay != nullptr);
    COMM_ASSERT(ps8IfName != nullptr);
    if (m_s32RouteFd < 0) {
        m_s32RouteFd = socket(AF_NETLINK, SOCK_DGRAM | COMM_LIVE_SOCK_FLAGS, NETLINK_ROUTE);
        if (m_s32RouteFd < 0) {
            const int s32Err = errno;
            COMM_LIVE_LOG_AS("GetGateWay", "socket: %s\n", strerror(s32Err));
            return -1;
        }
        m_s32RoutePid = (int)getpid();
    }
    const int s32Ret = GetGateWayFd(m_s32RouteFd, m_s32RoutePid, AF_INET, pu8GateWay, ps8IfName);
    if (s32Ret < 0) {
        /* Parts of that answer may still wait in the socket: a new one for
         * the next dump. */
        close(m_s32RouteFd);
        m_s32RouteFd = -1;
    }
    return s32Ret;
}
