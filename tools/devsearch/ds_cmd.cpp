// SPDX-License-Identifier: MIT
/* ds_cmd.cpp: search, modify and set-mac. */
#include "ds_cmd.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "ds_net.h"

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

S32 ReadPassword(const DsOptions& stOpt, std::string* pstrPwd, std::string* pstrErr)
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
void NewMsgId(U8 (&au8MsgId)[DS_MSGID_LEN])
{
    static const char s8Hex[] = "0123456789ABCDEF";
    U8 au8Rand[DS_MSGID_LEN] = {};
    DsRandomBytes(au8Rand, sizeof(au8Rand));
    au8MsgId[0] = 'D';
    au8MsgId[1] = 'S';
    for (size_t i = 2; i < sizeof(au8MsgId); ++i) au8MsgId[i] = (U8)s8Hex[au8Rand[i] & 0xF];
}

U32 NewSeq()
{
    U8 au8Rand[4] = {};
    DsRandomBytes(au8Rand, sizeof(au8Rand));
    return (U32)au8Rand[0] | ((U32)au8Rand[1] << 8) | ((U32)au8Rand[2] << 16) |
           ((U32)au8Rand[3] << 24);
}

DsExchangeParams BaseParams(const DsOptions& stOpt)
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

int Fail(const std::string& strMsg)
{
    fprintf(stderr, "devsearch: %s\n", strMsg.c_str());
    return DS_EXIT_FAIL;
}

S32 RunSearch(const DsOptions& stOpt, std::vector<DsIface>* pvecIf, DsDeviceList* pstList,
              std::string* pstrErr)
{
    if (DsListIfaces(stOpt.strIface, pvecIf, pstrErr) != 0) return -1;
    const DsExchangeParams stParams = BaseParams(stOpt);
    return DsSearch(*pvecIf, stParams, pstList, nullptr, pstrErr);
}

int CmdSearch(const DsOptions& stOpt)
{
    std::vector<DsIface> vecIf;
    DsDeviceList stList;
    std::string strErr;
    if (RunSearch(stOpt, &vecIf, &stList, &strErr) != 0) return Fail(strErr);
    const std::vector<DsDevice> vecDevs = stList.Sorted();
    if (stOpt.bJson) {
        for (const DsDevice& stDev : vecDevs) printf("%s\n", DsJsonLine(stDev).c_str());
        fflush(stdout);
    } else if (!vecDevs.empty()) {
        DsPrintTable(vecDevs, stdout);
    }
    if (vecDevs.empty()) return Fail("no device answered");
    fprintf(stderr, "devsearch: %zu device%s found\n", vecDevs.size(),
            vecDevs.size() == 1 ? "" : "s");
    return DS_EXIT_OK;
}

/* A modify or set-mac that ended before anything was sent. */
void RefuseLocally(DsOutcome_S* pstOut, const std::string& strWhy)
{
    pstOut->enResult = DS_RESULT_REFUSED_LOCALLY;
    pstOut->strReason = strWhy;
}

/* Searches, picks the target, builds and sends the request, waits for its reply; says in
 * pstOut how it ended. strPwd is the password to send. */
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
    NewMsgId(stReq.au8MsgId);

    DsExchangeParams stParams = BaseParams(stOpt);
    if (bSetMac) {
        /* Unicast, straight onto the device's link: a MAC set is exempt from the identity
         * match, so as a broadcast every device with this password would take the MAC. */
        memcpy(stParams.au8Dst, stReq.au8Cip, sizeof(stParams.au8Dst));
        stParams.bDontRoute = true;
    }
    U8 u8Buf[DS_MODIFY_REQ_MAX];
    const S32 s32Len = DsEncodeModify(stReq, stParams.u32Seq, u8Buf);
    if (s32Len < 0) return RefuseLocally(pstOut, "refused: a text does not fit its field");
    stOut.bHasRequest = true;
    stOut.stReq = stReq;

    const DsIface* pstIf = nullptr;
    for (const DsIface& stIf : vecIf) {
        if (stIf.strName == stDev.strIfName) pstIf = &stIf;
    }
    if (pstIf == nullptr && vecIf.size() == 1) pstIf = &vecIf[0];
    if (pstIf == nullptr) {
        return RefuseLocally(pstOut,
                             "cannot tell which interface reaches the device; give --interface");
    }
    U16 u16Ack = 0;
    const S32 s32Got =
        DsExchange(*pstIf, u8Buf, s32Len, stParams, stReq.au8MsgId, &u16Ack, &strErr);
    if (s32Got < 0) {
        /* part of the repeats may have left: not "nothing sent", and not confirmed */
        stOut.enResult = DS_RESULT_NO_REPLY;
        stOut.strReason = strErr;
        return;
    }
    if (s32Got == 0) {
        /* No reply. The device may have applied it and moved before its reply left: a
         * fresh search tells, for what a search can show. */
        DsDeviceList stAfter;
        DsExchangeParams stCheck = BaseParams(stOpt);
        std::string strSearchErr;
        if (DsSearch(vecIf, stCheck, &stAfter, nullptr, &strSearchErr) == 0 &&
            DsConfirmApplied(stReq, stDev, stAfter)) {
            stOut.enResult = DS_RESULT_APPLIED;
            stOut.strConfirmedBy = "search";
            return;
        }
        stOut.enResult = DS_RESULT_NO_REPLY;
        stOut.strReason = DS_NO_REPLY_TEXT;
        return;
    }
    stOut.bHasAck = true;
    stOut.u16Ack = u16Ack;
    if (u16Ack != 0) {
        char s8Why[64];
        snprintf(s8Why, sizeof(s8Why), "not applied (the device answered with AckFlag %u)",
                 (unsigned)u16Ack);
        stOut.enResult = DS_RESULT_REFUSED_BY_DEVICE;
        stOut.strReason = s8Why;
        return;
    }
    stOut.enResult = DS_RESULT_APPLIED;
    stOut.strConfirmedBy = "reply";
}

/* The "applied" line of the text output. */
std::string AppliedLine(const DsOutcome_S& stOut)
{
    if (stOut.strConfirmedBy == "search") {
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
    return std::string(s8Line, std::min((size_t)n, sizeof(s8Line) - 1));
}

int CmdModify(const DsOptions& stOpt)
{
    std::string strErr;
    std::string strPwd;
    if (ReadPassword(stOpt, &strPwd, &strErr) != 0) {
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

BOOL DsConfirmApplied(const DsModifyReq& stReq, const DsDevice& stBefore,
                      const DsDeviceList& stAfter)
{
    if (stReq.bSetMac) {
        std::string strOld;
        if (DsParseMac(stBefore.strMacAddr.c_str(), &strOld) == 0 && strOld == stReq.strMac) {
            return false; /* nothing a search could show changed */
        }
        const std::vector<DsDevice> vecNow = stAfter.FindByMac(stReq.strMac);
        return vecNow.size() == 1 && vecNow[0].strIp == stBefore.strIp;
    }
    const U32 u32Mode = stReq.bModeValid ? stReq.u8Mode : (U32)DS_MODE_STATIC;
    const std::string strIp = DsFormatIpv4(stReq.au8Ip);
    const std::string strMask = DsFormatIpv4(stReq.au8Mask);
    const BOOL bStatic = u32Mode != (U32)DS_MODE_DHCP;
    /* under DHCP the device keeps whatever address it has: only the mode is visible */
    const BOOL bVisibleChange =
        stBefore.u32NetworkMode != u32Mode ||
        (bStatic && (stBefore.strIp != strIp || stBefore.strNetMask != strMask));
    if (!bVisibleChange) return false;
    std::string strKey = DsDeviceKey(stBefore);
    for (const DsDevice& stNow : stAfter.Sorted()) {
        if (DsDeviceKey(stNow) != strKey) continue;
        if (stNow.u32NetworkMode != u32Mode) return false;
        if (bStatic && (stNow.strIp != strIp || stNow.strNetMask != strMask)) return false;
        return stNow.u32Port == stReq.u16MediaPort && stNow.u32IePort == stReq.u16WebPort &&
               stNow.strDns1 == DsFormatIpv4(stReq.au8Dns1) &&
               stNow.strDns2 == DsFormatIpv4(stReq.au8Dns2);
    }
    return false;
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
    }
    return DS_EXIT_USAGE;
}
