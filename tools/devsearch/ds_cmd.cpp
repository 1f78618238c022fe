// SPDX-License-Identifier: MIT
/* ds_cmd.cpp: search, modify and set-mac, and the wait that confirms a change. */
#include "ds_cmd.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "ds_net.h"
#include "ds_site.h"

namespace {

const U8 g_au8Broadcast[4] = {255, 255, 255, 255};

U32 AddrToU32(const U8 (&au8Addr)[4])
{
    return ((U32)au8Addr[0] << 24) | ((U32)au8Addr[1] << 16) | ((U32)au8Addr[2] << 8) |
           (U32)au8Addr[3];
}

BOOL IsZero(const U8 (&au8Addr)[4])
{
    return AddrToU32(au8Addr) == 0;
}

/* A value from the command line, else the device's record (which must then be readable). */
S32 PickAddr(const DsOptAddr_S& stOpt, const std::string& strRecord, const char* ps8What,
             U8 (&au8Out)[4], std::string* pstrErr)
{
    if (stOpt.bSet) {
        memcpy(au8Out, stOpt.au8Addr, sizeof(au8Out));
        return 0;
    }
    if (DsParseIpv4(strRecord.c_str(), au8Out) != 0) {
        *pstrErr = std::string("the device reports no usable ") + ps8What + " (\"" + strRecord +
                   "\"); give --" + ps8What;
        return -1;
    }
    return 0;
}

S32 PickPort(BOOL bSet, U16 u16Given, U32 u32Record, const char* ps8Opt, U16* pu16Out,
             std::string* pstrErr)
{
    if (bSet) {
        *pu16Out = u16Given;
        return 0;
    }
    if (u32Record == 0 || u32Record > 65535) {
        *pstrErr = std::string("the device reports no usable port; give ") + ps8Opt;
        return -1;
    }
    *pu16Out = (U16)u32Record;
    return 0;
}

U32 NewSeq()
{
    U8 au8Rand[4] = {};
    DsRandomBytes(au8Rand, sizeof(au8Rand));
    return (U32)au8Rand[0] | ((U32)au8Rand[1] << 8) | ((U32)au8Rand[2] << 16) |
           ((U32)au8Rand[3] << 24);
}

}  // namespace

S32 DsReadPassword(const DsOptions& stOpt, std::string* pstrPwd, std::string* pstrErr)
{
    if (stOpt.strPwd != "-") {
        *pstrPwd = stOpt.strPwd;
        return 0;
    }
    char s8Line[64] = {};
    if (fgets(s8Line, sizeof(s8Line), stdin) == nullptr) {
        *pstrErr = "--password -: no line on standard input";
        return -1;
    }
    size_t u32Len = strnlen(s8Line, sizeof(s8Line));
    while (u32Len > 0 && (s8Line[u32Len - 1] == '\n' || s8Line[u32Len - 1] == '\r')) --u32Len;
    if (u32Len > DS_PWD_LEN) {
        *pstrErr = "--password: the password must be at most 14 bytes long";
        return -1;
    }
    *pstrPwd = std::string(s8Line, u32Len);
    return 0;
}

/* A fresh, printable 16-byte msgid: "DS" and 14 hex digits (the device logs it as text). */
void DsNewMsgId(U8 (&au8MsgId)[DS_MSGID_LEN])
{
    static const char s8Hex[] = "0123456789ABCDEF";
    U8 au8Rand[DS_MSGID_LEN] = {};
    DsRandomBytes(au8Rand, sizeof(au8Rand));
    au8MsgId[0] = 'D';
    au8MsgId[1] = 'S';
    for (size_t i = 2; i < sizeof(au8MsgId); ++i) au8MsgId[i] = (U8)s8Hex[au8Rand[i] & 0xF];
}

DsExchangeParams DsBaseParams(const DsOptions& stOpt)
{
    DsExchangeParams stParams = {};
    stParams.u16Port = stOpt.u16Port;
    memcpy(stParams.au8Dst, g_au8Broadcast, sizeof(stParams.au8Dst));
    stParams.bDontRoute = false;
    stParams.u32TimeoutMs = stOpt.u32TimeoutMs;
    stParams.u32Retries = stOpt.u32Retries;
    stParams.u32Seq = NewSeq();
    return stParams;
}

U32 DsReplyWaitMs(const DsOptions& stOpt)
{
    return stOpt.bTimeoutGiven ? stOpt.u32TimeoutMs : DS_DEFAULT_REPLY_MS;
}

namespace {

int Fail(const std::string& strMsg)
{
    fprintf(stderr, "devsearch: %s\n", strMsg.c_str());
    return DS_EXIT_FAIL;
}

S32 RunSearch(const DsOptions& stOpt, std::vector<DsIface>* pvecIf, DsDeviceList* pstList,
              std::string* pstrErr)
{
    if (DsListIfaces(stOpt.strIface, pvecIf, pstrErr) != 0) return -1;
    const DsExchangeParams stParams = DsBaseParams(stOpt);
    return DsSearch(*pvecIf, stParams, pstList, nullptr, pstrErr) < 0 ? -1 : 0;
}

/* Whether --expect and --mac are met by the devices found. */
BOOL ExpectationMet(const DsOptions& stOpt, const DsDeviceList& stList)
{
    if (stList.Size() < stOpt.u32Expect) return false;
    return stOpt.strExpectMac.empty() || !stList.FindByMac(stOpt.strExpectMac).empty();
}

int CmdSearch(const DsOptions& stOpt)
{
    std::vector<DsIface> vecIf;
    DsDeviceList stList;
    std::string strErr;
    if (DsListIfaces(stOpt.strIface, &vecIf, &strErr) != 0) return Fail(strErr);
    const BOOL bExpect = stOpt.u32Expect > 0 || !stOpt.strExpectMac.empty();
    DsStopFn fnStop;
    if (bExpect) {
        fnStop = [&stOpt](const DsDevice&, const DsDeviceList& stNow) {
            return ExpectationMet(stOpt, stNow);
        };
    }
    const U64 u64Start = DsNowMs();
    const S32 s32Ended = DsSearch(vecIf, DsBaseParams(stOpt), &stList, nullptr, &strErr, fnStop);
    if (s32Ended < 0) return Fail(strErr);
    const U64 u64Took = DsNowMs() - u64Start;
    const std::vector<DsDevice> vecDevs = stList.Sorted();
    if (stOpt.bJson) {
        for (const DsDevice& stDev : vecDevs) printf("%s\n", DsJsonLine(stDev).c_str());
    } else if (stOpt.bCsv) {
        fputs(DsCsvHeader().c_str(), stdout);
        for (const DsDevice& stDev : vecDevs) fputs(DsCsvLine(stDev).c_str(), stdout);
    } else if (!vecDevs.empty()) {
        DsPrintTable(vecDevs, stdout);
    }
    fflush(stdout);
    if (vecDevs.empty() && !bExpect) return Fail("no device answered");
    if (bExpect && s32Ended != 1) {
        char s8Why[160];
        if (stList.Size() < stOpt.u32Expect) {
            snprintf(s8Why, sizeof(s8Why),
                     "only %zu of %u expected devices answered within "
                     "%u.%03u s",
                     stList.Size(), (unsigned)stOpt.u32Expect,
                     (unsigned)(stOpt.u32TimeoutMs / 1000), (unsigned)(stOpt.u32TimeoutMs % 1000));
        } else {
            snprintf(s8Why, sizeof(s8Why), "device %s did not answer (%zu devices did)",
                     stOpt.strExpectMac.c_str(), stList.Size());
        }
        return Fail(s8Why);
    }
    fprintf(stderr, "devsearch: %zu device%s found", vecDevs.size(),
            vecDevs.size() == 1 ? "" : "s");
    if (bExpect) {
        fprintf(stderr,
                " (the search ended when the expected devices had answered, after "
                "%u.%03u s)",
                (unsigned)(u64Took / 1000), (unsigned)(u64Took % 1000));
    }
    fputs("\n", stderr);
    return DS_EXIT_OK;
}

/* A modify or set-mac that ended before anything was sent. */
void RefuseLocally(DsOutcome_S* pstOut, const std::string& strWhy)
{
    pstOut->enResult = DS_RESULT_REFUSED_LOCALLY;
    pstOut->strReason = strWhy;
}

/* Searches, picks the target, builds and sends the request, waits for its reply (and with
 * --wait for a search to show the change); says in pstOut how it ended. strPwd is the
 * password to send. */
void RunModify(const DsOptions& stOpt, const std::string& strPwd, DsOutcome_S* pstOut)
{
    DsOutcome_S& stOut = *pstOut;
    std::string strErr;
    std::vector<DsIface> vecIf;
    DsDeviceList stList;
    if (RunSearch(stOpt, &vecIf, &stList, &strErr) != 0) return RefuseLocally(pstOut, strErr);

    const BOOL bSetMac = stOpt.enCmd == DS_CMD_SETMAC;
    DsDevice stDev;
    if (DsSelectTarget(stOpt, stList, bSetMac || stOpt.bLegacy, &stDev, &strErr) != 0) {
        return RefuseLocally(pstOut, strErr);
    }
    stOut.bHasDevice = true;
    stOut.stDevice = stDev;
    if (bSetMac) {
        const std::vector<DsDevice> vecSame = stList.FindByMac(stOpt.strNewMac);
        for (const DsDevice& stOther : vecSame) {
            if (DsDeviceKey(stOther) != DsDeviceKey(stDev)) {
                return RefuseLocally(pstOut, "refused: " + stOpt.strNewMac +
                                                 " is the MAC of the device at " + stOther.strIp);
            }
        }
    }
    DsModifyReq stReq;
    if (DsBuildModifyReq(stOpt, stDev, strPwd, &stReq, &strErr) != 0) {
        return RefuseLocally(pstOut, "refused: " + strErr);
    }
    const U64 u64SentMs = DsNowMs();
    U16 u16Ack = 0;
    const S32 s32Got = DsSendRequest(stOpt, vecIf, stDev, &stReq, &u16Ack, &strErr);
    if (s32Got == DS_SEND_NOTHING_SENT) return RefuseLocally(pstOut, strErr);
    stOut.bHasRequest = true;
    stOut.stReq = stReq;
    if (s32Got < 0) {
        /* part of the repeats may have left: not "nothing sent", and not confirmed */
        stOut.enResult = DS_RESULT_NO_REPLY;
        stOut.strReason = strErr;
        return;
    }
    if (DsTakeReply(s32Got == 1, u16Ack, stOpt.bWait, &stOut)) return;
    /* A wait, or no reply: the device may have applied it and moved before its reply
     * left. A search tells, for what a search can show. */
    std::vector<DsWatch_S> vecWatch(1);
    vecWatch[0].stReq = stReq;
    vecWatch[0].stBefore = stDev;
    vecWatch[0].bAnswered = s32Got == 1;
    vecWatch[0].u64SinceMs = s32Got == 1 ? DsNowMs() : u64SentMs;
    vecWatch[0].u32BoundMs = DsWatchBoundMs(stOpt, s32Got == 1);
    std::string strSearchErr;
    if (DsWatchChanges(vecIf, stOpt.u16Port, &vecWatch, &strSearchErr) != 0) {
        vecWatch[0].bSeen = false;
    }
    DsSettle(vecWatch[0], &stOut);
}

/* The "applied" line of the text output. */
std::string AppliedLine(const DsOutcome_S& stOut)
{
    if (stOut.strConfirmedBy == "search" && !stOut.bHasAck) {
        return "applied (the reply was lost; a new search shows the device with the new "
               "settings)";
    }
    const DsDevice& stDev = stOut.stDevice;
    const DsModifyReq& stReq = stOut.stReq;
    char s8Line[512];
    int n;
    if (stOut.bSetMac) {
        n = snprintf(s8Line, sizeof(s8Line), "applied: device at %s (MAC %s) now has MAC %s",
                     stDev.strIp.c_str(), stDev.strMacAddr.c_str(), stReq.strMac.c_str());
    } else {
        n = snprintf(s8Line, sizeof(s8Line),
                     "applied: device %s (was %s) now ip %s mask %s gateway %s dns %s %s mode %s "
                     "ports %u/%u",
                     stDev.strMacAddr.empty() ? "-" : stDev.strMacAddr.c_str(), stDev.strIp.c_str(),
                     DsFormatIpv4(stReq.au8Ip).c_str(), DsFormatIpv4(stReq.au8Mask).c_str(),
                     DsFormatIpv4(stReq.au8Gw).c_str(), DsFormatIpv4(stReq.au8Dns1).c_str(),
                     DsFormatIpv4(stReq.au8Dns2).c_str(),
                     (stReq.bModeValid && stReq.u8Mode == 0) ? "dhcp" : "static",
                     (unsigned)stReq.u16MediaPort, (unsigned)stReq.u16WebPort);
    }
    if (n < 0) return "applied";
    std::string strLine(s8Line, std::min((size_t)n, sizeof(s8Line) - 1));
    if (stOut.bHasConfirmMs) {
        snprintf(s8Line, sizeof(s8Line), "; a search showed it after %u.%03u s",
                 (unsigned)(stOut.u32ConfirmMs / 1000), (unsigned)(stOut.u32ConfirmMs % 1000));
        strLine += s8Line;
    }
    return strLine;
}

int CmdModify(const DsOptions& stOpt)
{
    std::string strErr;
    std::string strPwd;
    if (DsReadPassword(stOpt, &strPwd, &strErr) != 0) {
        fprintf(stderr, "devsearch: %s\n", strErr.c_str());
        return DS_EXIT_USAGE;
    }
    DsOutcome_S stOut = {};
    stOut.bSetMac = stOpt.enCmd == DS_CMD_SETMAC;
    stOut.enResult = DS_RESULT_NO_REPLY;
    RunModify(stOpt, strPwd, &stOut);
    const BOOL bApplied = stOut.enResult == DS_RESULT_APPLIED;
    if (!bApplied) fprintf(stderr, "devsearch: %s\n", stOut.strReason.c_str());
    if (stOpt.bJson) {
        printf("%s\n", DsJsonOutcome(stOut).c_str());
    } else if (bApplied) {
        printf("%s\n", AppliedLine(stOut).c_str());
    }
    fflush(stdout);
    return bApplied ? DS_EXIT_OK : DS_EXIT_FAIL;
}

}  // namespace

S32 DsSelectTarget(const DsOptions& stOpt, const DsDeviceList& stList, BOOL bByAddressOnly,
                   DsDevice* pstDev, std::string* pstrErr)
{
    if (pstDev == nullptr || pstrErr == nullptr) return -1;
    const std::string strIp = DsFormatIpv4(stOpt.au8TargetIp);
    const std::vector<DsDevice> vecHits =
        stOpt.bTargetIsMac ? stList.FindByMac(stOpt.strTargetMac) : stList.FindByIp(strIp);
    char s8Count[16];
    snprintf(s8Count, sizeof(s8Count), "%zu", stList.Size());
    if (vecHits.empty()) {
        *pstrErr =
            "device " + stOpt.strTargetText + " not found (" + s8Count + " answered the search)";
        return -1;
    }
    if (vecHits.size() > 1) {
        *pstrErr = "device " + stOpt.strTargetText + " is ambiguous: several devices answer " +
                   "from that address; name it by MAC";
        return -1;
    }
    const DsDevice& stDev = vecHits[0];
    if (bByAddressOnly && stList.FindByIp(stDev.strIp).size() > 1) {
        *pstrErr = "several devices answer from " + stDev.strIp +
                   ", and this request names its device by address alone; change their "
                   "addresses first (modify without --legacy)";
        return -1;
    }
    *pstDev = stDev;
    return 0;
}

S32 DsBuildModifyReq(const DsOptions& stOpt, const DsDevice& stDev, const std::string& strPwd,
                     DsModifyReq* pstReq, std::string* pstrErr)
{
    if (pstReq == nullptr || pstrErr == nullptr) return -1;
    DsModifyReq stReq;
    memset(stReq.au8MsgId, 0, sizeof(stReq.au8MsgId));
    stReq.strUser = stOpt.strUser;
    stReq.strPwd = strPwd;
    if (stReq.strUser.empty() || stReq.strUser.size() > DS_USER_LEN) {
        *pstrErr = "the user name must be 1 to 10 bytes long";
        return -1;
    }
    if (stReq.strPwd.size() > DS_PWD_LEN) {
        *pstrErr = "the password must be at most 14 bytes long";
        return -1;
    }
    if (DsParseIpv4(stDev.strIp.c_str(), stReq.au8Cip) != 0) {
        *pstrErr = "the device reports no usable address (\"" + stDev.strIp + "\")";
        return -1;
    }
    if (PickAddr(stOpt.stIp, stDev.strIp, "ip", stReq.au8Ip, pstrErr) != 0 ||
        PickAddr(stOpt.stMask, stDev.strNetMask, "mask", stReq.au8Mask, pstrErr) != 0 ||
        PickAddr(stOpt.stGw, stDev.strGateWay, "gateway", stReq.au8Gw, pstrErr) != 0 ||
        PickAddr(stOpt.stDns1, stDev.strDns1, "dns1", stReq.au8Dns1, pstrErr) != 0 ||
        PickAddr(stOpt.stDns2, stDev.strDns2, "dns2", stReq.au8Dns2, pstrErr) != 0) {
        return -1;
    }
    if (PickPort(stOpt.bHasMediaPort, stOpt.u16MediaPort, stDev.u32Port, "--media-port",
                 &stReq.u16MediaPort, pstrErr) != 0 ||
        PickPort(stOpt.bHasWebPort, stOpt.u16WebPort, stDev.u32IePort, "--web-port",
                 &stReq.u16WebPort, pstrErr) != 0) {
        return -1;
    }
    /* Mode: as given, else the device's own (a request without one makes it static). */
    S32 s32Mode = stOpt.s32Mode;
    if (s32Mode == DS_MODE_UNSET && (stDev.u32NetworkMode == (U32)DS_MODE_DHCP ||
                                     stDev.u32NetworkMode == (U32)DS_MODE_STATIC)) {
        s32Mode = (S32)stDev.u32NetworkMode;
    }
    stReq.bModeValid = s32Mode != DS_MODE_UNSET;
    stReq.u8Mode = stReq.bModeValid ? (U8)s32Mode : 0;

    stReq.bSetMac = stOpt.enCmd == DS_CMD_SETMAC;
    stReq.bExtended = stReq.bSetMac || !stOpt.bLegacy;
    stReq.u64DevType = stDev.u64DevType;
    if (stReq.bSetMac) {
        stReq.strMac = stOpt.strNewMac;
    } else if (stReq.bExtended) {
        /* The device compares this text case-sensitively with its own: send it as reported. */
        if (stDev.strMacAddr.empty()) {
            *pstrErr = "the device reports no MAC, which the extended form needs; use --legacy";
            return -1;
        }
        stReq.strMac = stDev.strMacAddr;
    }
    if (stReq.strMac.size() > DS_MAC_FIELD_LEN) {
        *pstrErr = "MAC text too long";
        return -1;
    }
    if (!stReq.bSetMac && DsCheckSettings(stReq, pstrErr) != 0) return -1;
    *pstReq = stReq;
    return 0;
}

S32 DsCheckSettings(const DsModifyReq& stReq, std::string* pstrErr)
{
    if (pstrErr == nullptr) return -1;
    const BOOL bStatic = !stReq.bModeValid || stReq.u8Mode != 0;
    if (!bStatic) return 0;
    const std::string strIp = DsFormatIpv4(stReq.au8Ip);
    if (!DsIsUnicastHost(stReq.au8Ip)) {
        *pstrErr = "address " + strIp + " is not a unicast host address";
        return -1;
    }
    if (!DsIsValidMask(stReq.au8Mask)) {
        *pstrErr = "netmask " + DsFormatIpv4(stReq.au8Mask) + " is not a contiguous netmask";
        return -1;
    }
    const U32 u32Ip = AddrToU32(stReq.au8Ip);
    const U32 u32Mask = AddrToU32(stReq.au8Mask);
    /* /31 and /32 have no network or broadcast address of their own */
    if (u32Mask < 0xFFFFFFFEu) {
        if ((u32Ip & ~u32Mask) == 0 || (u32Ip & ~u32Mask) == ~u32Mask) {
            *pstrErr = "address " + strIp + " is the network or broadcast address of its subnet";
            return -1;
        }
    }
    if (!IsZero(stReq.au8Gw)) {
        const U32 u32Gw = AddrToU32(stReq.au8Gw);
        const std::string strGw = DsFormatIpv4(stReq.au8Gw);
        if (!DsIsUnicastHost(stReq.au8Gw) || (u32Gw & u32Mask) != (u32Ip & u32Mask) ||
            u32Gw == u32Ip ||
            (u32Mask < 0xFFFFFFFEu &&
             ((u32Gw & ~u32Mask) == 0 || (u32Gw & ~u32Mask) == ~u32Mask))) {
            *pstrErr = "gateway " + strGw + " is not another host of " + strIp + "'s subnet " +
                       "(give --gateway, 0.0.0.0 for none)";
            return -1;
        }
    }
    if ((!IsZero(stReq.au8Dns1) && !DsIsUnicastHost(stReq.au8Dns1)) ||
        (!IsZero(stReq.au8Dns2) && !DsIsUnicastHost(stReq.au8Dns2))) {
        *pstrErr = "a DNS server is not a unicast address (0.0.0.0 for none)";
        return -1;
    }
    return 0;
}

BOOL DsVisibleChange(const DsModifyReq& stReq, const DsDevice& stBefore)
{
    if (stReq.bSetMac) {
        std::string strOld;
        return DsParseMac(stBefore.strMacAddr.c_str(), &strOld) != 0 || strOld != stReq.strMac;
    }
    const U32 u32Mode = stReq.bModeValid ? stReq.u8Mode : (U32)DS_MODE_STATIC;
    const BOOL bStatic = u32Mode != (U32)DS_MODE_DHCP;
    /* under DHCP the device keeps whatever address it has: only the mode is visible */
    return stBefore.u32NetworkMode != u32Mode ||
           (bStatic && (stBefore.strIp != DsFormatIpv4(stReq.au8Ip) ||
                        stBefore.strNetMask != DsFormatIpv4(stReq.au8Mask)));
}

BOOL DsShowsSettings(const DsModifyReq& stReq, const DsDevice& stBefore, const DsDevice& stNow)
{
    if (stReq.bSetMac) {
        std::string strNow;
        return DsParseMac(stNow.strMacAddr.c_str(), &strNow) == 0 && strNow == stReq.strMac &&
               stNow.strIp == stBefore.strIp;
    }
    if (DsDeviceKey(stNow) != DsDeviceKey(stBefore)) return false;
    const U32 u32Mode = stReq.bModeValid ? stReq.u8Mode : (U32)DS_MODE_STATIC;
    if (stNow.u32NetworkMode != u32Mode) return false;
    return u32Mode == (U32)DS_MODE_DHCP || (stNow.strIp == DsFormatIpv4(stReq.au8Ip) &&
                                            stNow.strNetMask == DsFormatIpv4(stReq.au8Mask));
}

BOOL DsShowsLostReply(const DsModifyReq& stReq, const DsDevice& stBefore, const DsDevice& stNow)
{
    if (!DsVisibleChange(stReq, stBefore) || !DsShowsSettings(stReq, stBefore, stNow)) {
        return false;
    }
    return stReq.bSetMac ||
           (stNow.u32Port == stReq.u16MediaPort && stNow.u32IePort == stReq.u16WebPort &&
            stNow.strDns1 == DsFormatIpv4(stReq.au8Dns1) &&
            stNow.strDns2 == DsFormatIpv4(stReq.au8Dns2));
}

BOOL DsConfirmApplied(const DsModifyReq& stReq, const DsDevice& stBefore,
                      const DsDeviceList& stAfter)
{
    for (const DsDevice& stNow : stAfter.InOrder()) {
        if (DsShowsLostReply(stReq, stBefore, stNow)) return true;
    }
    return false;
}

U32 DsWatchBoundMs(const DsOptions& stOpt, BOOL bAnswered)
{
    return bAnswered ? stOpt.u32WaitMs : stOpt.u32TimeoutMs;
}

S32 DsWatchChanges(const std::vector<DsIface>& vecIfaces, U16 u16Port,
                   std::vector<DsWatch_S>* pvecWatch, std::string* pstrErr)
{
    if (pvecWatch == nullptr || pstrErr == nullptr) return -1;
    std::vector<DsWatch_S>& vecWatch = *pvecWatch;
    U32 u32TimeoutMs = 0;
    for (DsWatch_S& stWatch : vecWatch) {
        stWatch.bSeen = false;
        stWatch.u32SeenAfterMs = 0;
        u32TimeoutMs = std::max(u32TimeoutMs, stWatch.u32BoundMs);
    }
    if (vecWatch.empty()) return 0;
    DsOptions stOpt{};
    stOpt.u16Port = u16Port;
    stOpt.u32TimeoutMs = u32TimeoutMs;
    stOpt.u32Retries =
        u32TimeoutMs / DS_WAIT_INTERVAL_MS > 0 ? u32TimeoutMs / DS_WAIT_INTERVAL_MS - 1 : 0;
    const U64 u64Start = DsNowMs();
    auto fnStop = [&](const DsDevice& stNow, const DsDeviceList&) {
        const U64 u64Now = DsNowMs();
        BOOL bAllDone = true;
        for (DsWatch_S& stWatch : vecWatch) {
            if (!stWatch.bSeen &&
                (stWatch.bAnswered ? DsShowsSettings(stWatch.stReq, stWatch.stBefore, stNow)
                                   : DsShowsLostReply(stWatch.stReq, stWatch.stBefore, stNow))) {
                stWatch.bSeen = true;
                const U64 u64After = u64Now > stWatch.u64SinceMs ? u64Now - stWatch.u64SinceMs : 0;
                stWatch.u32SeenAfterMs = (U32)std::min<U64>(u64After, 0xFFFFFFFFu);
            }
            bAllDone = bAllDone && (stWatch.bSeen || u64Now - u64Start >= stWatch.u32BoundMs);
        }
        return bAllDone;
    };
    DsDeviceList stList;
    return DsSearch(vecIfaces, DsBaseParams(stOpt), &stList, nullptr, pstrErr, fnStop) < 0 ? -1 : 0;
}

S32 DsSendRequest(const DsOptions& stOpt, const std::vector<DsIface>& vecIf, const DsDevice& stDev,
                  DsModifyReq* pstReq, U16* pu16Ack, std::string* pstrErr)
{
    if (pstReq == nullptr || pu16Ack == nullptr || pstrErr == nullptr) return -1;
    DsModifyReq& stReq = *pstReq;
    DsNewMsgId(stReq.au8MsgId);
    DsExchangeParams stParams = DsBaseParams(stOpt);
    stParams.u32TimeoutMs = DsReplyWaitMs(stOpt);
    if (stReq.bSetMac) {
        /* Unicast, straight onto the device's link: a MAC set is exempt from the identity
         * match, so as a broadcast every device with this password would take the MAC. */
        memcpy(stParams.au8Dst, stReq.au8Cip, sizeof(stParams.au8Dst));
        stParams.bDontRoute = true;
    }
    U8 u8Buf[DS_MODIFY_REQ_MAX];
    const S32 s32Len = DsEncodeModify(stReq, stParams.u32Seq, u8Buf);
    if (s32Len < 0) {
        *pstrErr = "refused: a text does not fit its field";
        return DS_SEND_NOTHING_SENT;
    }
    const DsIface* pstIf = nullptr;
    for (const DsIface& stIf : vecIf) {
        if (stIf.strName == stDev.strIfName) pstIf = &stIf;
    }
    if (pstIf == nullptr && vecIf.size() == 1) pstIf = &vecIf[0];
    if (pstIf == nullptr) {
        *pstrErr = "cannot tell which interface reaches the device; give --interface";
        return DS_SEND_NOTHING_SENT;
    }
    return DsExchange(*pstIf, u8Buf, s32Len, stParams, stReq.au8MsgId, pu16Ack, pstrErr);
}

BOOL DsTakeReply(BOOL bAnswered, U16 u16Ack, BOOL bWait, DsOutcome_S* pstOut)
{
    DsOutcome_S& stOut = *pstOut;
    if (!bAnswered) {
        if (DsVisibleChange(stOut.stReq, stOut.stDevice)) return false;
        stOut.enResult = DS_RESULT_NO_REPLY;
        stOut.strReason = DS_NO_REPLY_TEXT;
        return true;
    }
    stOut.bHasAck = true;
    stOut.u16Ack = u16Ack;
    if (u16Ack != 0) {
        char s8Why[64];
        snprintf(s8Why, sizeof(s8Why), "not applied (the device answered with AckFlag %u)",
                 (unsigned)u16Ack);
        stOut.enResult = DS_RESULT_REFUSED_BY_DEVICE;
        stOut.strReason = s8Why;
        return true;
    }
    if (bWait) return false;
    stOut.enResult = DS_RESULT_APPLIED;
    stOut.strConfirmedBy = "reply";
    return true;
}

void DsSettle(const DsWatch_S& stWatch, DsOutcome_S* pstOut)
{
    const U32 u32WaitMs = stWatch.u32BoundMs;
    DsOutcome_S& stOut = *pstOut;
    if (stWatch.bSeen) {
        stOut.enResult = DS_RESULT_APPLIED;
        stOut.strConfirmedBy = "search";
        stOut.bHasConfirmMs = true;
        stOut.u32ConfirmMs = stWatch.u32SeenAfterMs;
        stOut.strReason.clear();
    } else if (stWatch.bAnswered) {
        char s8Why[128];
        snprintf(s8Why, sizeof(s8Why),
                 "not confirmed (the device answered, but no search showed the new settings "
                 "within %u.%03u s)",
                 (unsigned)(u32WaitMs / 1000), (unsigned)(u32WaitMs % 1000));
        stOut.enResult = DS_RESULT_NOT_CONFIRMED;
        stOut.strReason = s8Why;
    } else {
        stOut.enResult = DS_RESULT_NO_REPLY;
        stOut.strReason = DS_NO_REPLY_TEXT;
    }
}

int DsRun(const DsOptions& stOpt)
{
    switch (stOpt.enCmd) {
        case DS_CMD_HELP:
            fputs(DsUsage(), stdout);
            return DS_EXIT_OK;
        case DS_CMD_VERSION:
            printf("%s\n", DsVersionLine());
            return DS_EXIT_OK;
        case DS_CMD_SEARCH:
            return CmdSearch(stOpt);
        case DS_CMD_MODIFY:
        case DS_CMD_SETMAC:
            return CmdModify(stOpt);
        case DS_CMD_ASSIGN:
            return DsRunAssign(stOpt);
        case DS_CMD_APPLY:
            return DsRunApply(stOpt);
    }
    return DS_EXIT_USAGE;
}
