// SPDX-License-Identifier: MIT
/* bcast_modify.h: the network-modification branch of the discovery server,
 * and the checks a request passes before anything is written.
 *
 *   BcastModify(pIntf, &stLoop, stHead);   // identity, guard, user check, apply, answer
 *   BcastNoteLockEnd(&stLoop, u64NowMs);   // the guessing lock's end, logged once
 *
 * Runs on the server thread, over the loop's state; calls nothing of the
 * server itself. */
#ifndef BCAST_SERV_BCAST_MODIFY_H
#define BCAST_SERV_BCAST_MODIFY_H

#include <netinet/in.h>
#include <stddef.h>

#include "VXNetProtocol.h"
#include "type.h"

class DevInterface;
struct BCAST_LOOP_S;

/* BcastModify: a modification request (MSG_TYPE_MDEVINFO) whose header is
 * stHead, its body at offset 16 of the receive buffer. A MAC set is taken
 * only at this camera's own address; the identity match, the guessing bound
 * and the user check follow; an accepted request is checked, applied through
 * NetBasicParamAdapter and answered before it is saved, and the restarts its
 * result asks for run last. Refusals are logged, never answered. */
VOID BcastModify(DevInterface* pIntf, BCAST_LOOP_S* pstLoop, const MsgHead& stHead);

/* BcastNoteLockEnd: logs the end of a guessing lock once, when it has come by
 * u64NowMs. */
VOID BcastNoteLockEnd(BCAST_LOOP_S* pstLoop, U64 u64NowMs);

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

#endif /* BCAST_SERV_BCAST_MODIFY_H */
