// SPDX-License-Identifier: MIT
/* ds_cmd.h: the three commands of devsearch, and the steps of a modification that can be
 * checked without a network: choosing the target and building a checked request.
 *
 *   return DsRun(stOpt);   // exit status: 0 success, 1 failure, 2 bad arguments
 *
 * Results go to stdout, messages to stderr, each starting with "devsearch: ". */
#ifndef DEVSEARCH_DS_CMD_H
#define DEVSEARCH_DS_CMD_H

#include <string>

#include "ds_args.h"
#include "ds_output.h"
#include "ds_wire.h"

constexpr int DS_EXIT_OK = 0;
constexpr int DS_EXIT_FAIL = 1;
constexpr int DS_EXIT_USAGE = 2;

/* The message (after "devsearch: ") when a modification gets no reply. */
constexpr const char* DS_NO_REPLY_TEXT =
    "not applied (no reply: wrong password, settings refused, or device unreachable)";

/* DsSelectTarget: the one device the command line names among those a search found.
 * For a request that names the device by address alone (first form, MAC set), a device
 * whose address another device shares is refused: every one of them would take it.
 * pstDev [out] written only on success
 * return 0, or -1 (not found or ambiguous; pstrErr says which) */
S32 DsSelectTarget(const DsOptions& stOpt, const DsDeviceList& stList, BOOL bByAddressOnly,
                   DsDevice* pstDev, std::string* pstrErr);

/* DsBuildModifyReq: the request for stOpt's command, every value not given taken from the
 * device's record, then checked (DsCheckSettings). strPwd is the password to send.
 * pstReq [out] written only on success (msgid left zero)
 * return 0, or -1 (pstrErr says what is wrong) */
S32 DsBuildModifyReq(const DsOptions& stOpt, const DsDevice& stDev, const std::string& strPwd,
                     DsModifyReq* pstReq, std::string* pstrErr);

/* DsCheckSettings: a static configuration must be usable: address a unicast host that is
 * neither the network nor the broadcast address of its subnet, contiguous netmask, gateway
 * 0.0.0.0 or another host of that subnet, DNS servers 0.0.0.0 or unicast. A DHCP
 * configuration is stored but not used by the device, so only its syntax counts.
 * return 0, or -1 */
S32 DsCheckSettings(const DsModifyReq& stReq, std::string* pstrErr);

/* DsConfirmApplied: whether a search made after an unanswered request shows the request
 * in effect. The device answers after it has told the main application to reload, so on a
 * fast device the reply can be lost while the interface changes under it. Only a request
 * that changed something a search shows (address, netmask, mode, MAC) can be confirmed,
 * and only when every value a search shows now equals the request's.
 * stBefore [in] the device's record before the request
 * return true when confirmed */
BOOL DsConfirmApplied(const DsModifyReq& stReq, const DsDevice& stBefore,
                      const DsDeviceList& stAfter);

/* DsRun: runs the parsed command; prints results on stdout, errors on stderr. */
int DsRun(const DsOptions& stOpt);

#endif /* DEVSEARCH_DS_CMD_H */
