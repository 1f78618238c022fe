// SPDX-License-Identifier: MIT
/* ds_net.h: the network side of devsearch: interfaces, one UDP socket, timed exchanges.
 *
 *   std::vector<DsIface> vecIf; DsListIfaces("", &vecIf, &strErr);
 *   DsDeviceList stList; DsSearch(vecIf, stParams, &stList, &strErr);
 *   DsExchange(stTarget, u8Req, s32Len, stParams, au8MsgId, &u16Ack, &strErr);
 *
 * One socket serves all interfaces: each datagram names its outgoing interface with
 * IP_PKTINFO (ipi_ifindex), and each reply tells its arrival interface the same way.
 * Every wait is bounded by the caller's timeout. */
#ifndef DEVSEARCH_DS_NET_H
#define DEVSEARCH_DS_NET_H

#include <functional>
#include <string>
#include <vector>

#include "ds_output.h"
#include "ds_wire.h"

typedef struct {
    std::string strName;
    U32 u32Index;
    U8 au8Addr[4]; /* its (first) IPv4 address */
} DsIface;

/* How one exchange is timed and where it goes. */
typedef struct {
    U16 u16Port;      /* the devices' port */
    U8 au8Dst[4];     /* 255.255.255.255 for a broadcast, or one device's address */
    BOOL bDontRoute;  /* unicast straight onto the link (a device in a foreign subnet) */
    U32 u32TimeoutMs; /* how long to collect */
    U32 u32Retries;   /* repeats, spread evenly over the timeout */
    U32 u32Seq;       /* our Seq; replies with another are not ours */
} DsExchangeParams;

/* DsListIfaces: the up IPv4 interfaces, loopback only when named.
 * strOnly [in]  empty for all, or the one interface to use
 * pvecOut [out] written only on success
 * return 0, or -1 (none usable; pstrErr says why) */
S32 DsListIfaces(const std::string& strOnly, std::vector<DsIface>* pvecOut, std::string* pstrErr);

/* What may end a search before its timeout: called with every valid reply (repeats
 * included, tagged with its arrival interface) once it was added to the list; true ends
 * the search. */
typedef std::function<bool(const DsDevice& stReply, const DsDeviceList& stList)> DsStopFn;

/* DsSearch: sends the search out of every interface in vecIfaces (1 + u32Retries times,
 * spread over the timeout), and adds every reply carrying our Seq to pstList until the
 * timeout, or until fnStop (when given) returns true. Replies are tagged with their
 * arrival interface.
 * pu32Replies [out, optional] number of valid replies, repeats included
 * return 1 when fnStop ended the search, 0 at the timeout, or -1 (socket failure, or no
 * datagram could be sent) */
S32 DsSearch(const std::vector<DsIface>& vecIfaces, const DsExchangeParams& stParams,
             DsDeviceList* pstList, U32* pu32Replies, std::string* pstrErr,
             const DsStopFn& fnStop = DsStopFn());

/* DsNowMs: a monotonic clock in milliseconds, the one the exchanges are timed by. */
U64 DsNowMs();

/* DsExchange: sends one modification request out of stIface and waits for the reply
 * echoing au8MsgId (the request is repeated, identically, as retries allow; a device that
 * already applied it no longer matches it, so a repeat never applies twice).
 * pu16Ack [out] the reply's AckFlag; written only when a reply came
 * return 1 when the reply came, 0 when none came within the timeout, -1 on a socket error */
S32 DsExchange(const DsIface& stIface, const U8* pu8Req, S32 s32Len,
               const DsExchangeParams& stParams, const U8 (&au8MsgId)[DS_MSGID_LEN], U16* pu16Ack,
               std::string* pstrErr);

/* DsRandomBytes: unpredictable bytes for Seq and msgid (urandom, else time and pid). */
void DsRandomBytes(U8* pu8Out, size_t u32Len);

#endif /* DEVSEARCH_DS_NET_H */
