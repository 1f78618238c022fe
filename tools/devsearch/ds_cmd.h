// SPDX-License-Identifier: MIT
/* ds_cmd.h: search, modify and set-mac, the steps of a modification that can be checked
 * without a network (choosing the target, building a checked request, telling whether a
 * search reply shows it), and the wait that confirms changes by a search.
 *
 *   return DsRun(stOpt);   // exit status: 0 success, 1 failure, 2 bad arguments
 *
 * Results go to stdout, messages to stderr, each starting with "devsearch: ". */
#ifndef DEVSEARCH_DS_CMD_H
#define DEVSEARCH_DS_CMD_H

#include <string>
#include <vector>

#include "ds_args.h"
#include "ds_net.h"
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

/* DsVisibleChange: whether the request changes something a search shows: the MAC of a
 * MAC set; else the mode, or with static addressing the address or the netmask. */
BOOL DsVisibleChange(const DsModifyReq& stReq, const DsDevice& stBefore);

/* DsShowsSettings: whether a search reply (stNow) shows the device of stBefore with the
 * request's settings, as far as a search shows them: the same device (by MAC) in the new
 * mode, and with static addressing at the new address and netmask; for a MAC set, the
 * new MAC at the device's address. */
BOOL DsShowsSettings(const DsModifyReq& stReq, const DsDevice& stBefore, const DsDevice& stNow);

/* DsShowsLostReply: whether a search reply shows an unanswered request in effect. The
 * device answers after it has told the main application to reload, so on a fast device
 * the reply can be lost while the interface changes under it. Only a request that changed
 * something a search shows can be confirmed, and only when every value a search shows
 * (ports and DNS servers too) equals the request's. */
BOOL DsShowsLostReply(const DsModifyReq& stReq, const DsDevice& stBefore, const DsDevice& stNow);

/* DsConfirmApplied: DsShowsLostReply for any device a search found. return true when
 * confirmed */
BOOL DsConfirmApplied(const DsModifyReq& stReq, const DsDevice& stBefore,
                      const DsDeviceList& stAfter);

/* One change a wait looks for in the replies of a search. */
typedef struct {
    DsModifyReq stReq;
    DsDevice stBefore;  /* the device's record before the request */
    BOOL bAnswered;     /* answered: DsShowsSettings; else DsShowsLostReply */
    U64 u64SinceMs;     /* DsNowMs() of the reply (of the first send when none came) */
    U32 u32BoundMs;     /* looked for this long from the start of the search */
    BOOL bSeen;         /* out: a reply showed it ... */
    U32 u32SeenAfterMs; /* ... this long after u64SinceMs */
} DsWatch_S;

/* A wait repeats its search this often: a device moves a moment after its reply, and each
 * repeat is one more chance to see it at its new address. */
constexpr U32 DS_WAIT_INTERVAL_MS = 500;

/* DsWatchBoundMs: how long a change is looked for: an answered one for the wait
 * (--wait-timeout), an unanswered one for a search's time (--timeout): a device that took
 * the request moves a moment after its reply, and a refusing one never does. */
U32 DsWatchBoundMs(const DsOptions& stOpt, BOOL bAnswered);

/* DsWatchChanges: one search (a fresh Seq, repeated every DS_WAIT_INTERVAL_MS out of
 * every interface in vecIfaces) until every watch has been seen or its bound has passed.
 * return 0 (look at each watch's bSeen), or -1 when the search failed (pstrErr) */
S32 DsWatchChanges(const std::vector<DsIface>& vecIfaces, U16 u16Port,
                   std::vector<DsWatch_S>* pvecWatch, std::string* pstrErr);

/* Helpers the commands share. DsBaseParams: a broadcast exchange with the options' port,
 * timeout and retries and a fresh Seq. DsNewMsgId: a fresh printable msgid. DsReplyWaitMs:
 * the reply wait of a modification (--timeout, else DS_DEFAULT_REPLY_MS).
 * DsReadPassword: --password, or one line of standard input for "-"; 0 or -1 (pstrErr). */
DsExchangeParams DsBaseParams(const DsOptions& stOpt);
void DsNewMsgId(U8 (&au8MsgId)[DS_MSGID_LEN]);
U32 DsReplyWaitMs(const DsOptions& stOpt);
S32 DsReadPassword(const DsOptions& stOpt, std::string* pstrPwd, std::string* pstrErr);

/* DsSendRequest: gives the checked request a fresh msgid and sends it out of the interface
 * the device answered on: broadcast, or for a MAC set unicast to the device straight onto
 * its link; then waits DsReplyWaitMs for its reply (repeats as --retries says).
 * pstReq  [in, out] its msgid is written
 * pu16Ack [out] the reply's AckFlag, when one came
 * return 1 a reply came, 0 none within the wait, -1 a socket error after sending began,
 * or DS_SEND_NOTHING_SENT (pstrErr says why: the caller reports it as refused locally) */
constexpr S32 DS_SEND_NOTHING_SENT = -2;
S32 DsSendRequest(const DsOptions& stOpt, const std::vector<DsIface>& vecIf, const DsDevice& stDev,
                  DsModifyReq* pstReq, U16* pu16Ack, std::string* pstrErr);

/* DsTakeReply: the outcome (stReq and stDevice set) of a request once the reply wait
 * ended, when that alone decides it: a refusal by AckFlag, a reply without a wait
 * (applied), no reply to a change no search could show (no_reply). return true when
 * decided; false when a search must tell (DsWatchChanges, then DsSettle). */
BOOL DsTakeReply(BOOL bAnswered, U16 u16Ack, BOOL bWait, DsOutcome_S* pstOut);

/* DsSettle: the outcome after a watch: applied and confirmed by search (with the time),
 * not_confirmed (answered, not seen within its bound), or no_reply. */
void DsSettle(const DsWatch_S& stWatch, DsOutcome_S* pstOut);

/* DsRun: runs the parsed command; prints results on stdout, errors on stderr. */
int DsRun(const DsOptions& stOpt);

#endif /* DEVSEARCH_DS_CMD_H */
