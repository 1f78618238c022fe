// SPDX-License-Identifier: MIT
/* bcast_search.h: the search branch of the discovery server, and the search
 * reply it builds.
 *
 *   BcastSearch(pIntf, &stLoop, stHead);   // answered, or dropped with a log line
 *
 * Runs on the server thread, over the loop's state; calls nothing of the
 * server itself. */
#ifndef BCAST_SERV_BCAST_SEARCH_H
#define BCAST_SERV_BCAST_SEARCH_H

#include "VXNetProtocol.h"
#include "type.h"

class DevInterface;
class CommLiveQuery;
struct BCAST_LOOP_S;

/* BcastSearch: a search (MSG_TYPE_SEARCH, _SEARCH_CUSTOM or _SEARCH_EXT) whose
 * header is stHead and whose packet information pstLoop holds decoded. The
 * product rule (GetProductCustomVal) may drop it silently; another device's
 * reply (MsgSize 448) is logged and dropped. Otherwise the arrival interface
 * is the last IP_PKTINFO record's (or, without one, the last a search saw),
 * and the 464-byte reply goes to the requester from that interface with
 * MSG_DONTROUTE; no interface name or no device information: no reply. */
VOID BcastSearch(DevInterface* pIntf, BCAST_LOOP_S* pstLoop, const MsgHead& stHead);

/* BcastSearchRsp: fill a search reply body from the facade and the live state
 * of one interface.
 * pSearchRsp [out] cleared, then filled
 * ps8IfName  [in]  the interface's name, NUL-terminated
 * return 0, or the nonzero sum of the GetDnsAddrs, GetHostname and GetDevInfo
 *        results (the reply is then not sent) */
int BcastSearchRsp(DevInterface* pIntf, CommLiveQuery* pLive, SearchDevRsp* pSearchRsp,
                   const char* ps8IfName);

#endif /* BCAST_SERV_BCAST_SEARCH_H */
