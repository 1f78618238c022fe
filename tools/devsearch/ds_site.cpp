/* SPDX-License-Identifier: MIT */
/* ds_site.cpp: assign and apply. */
#include "ds_site.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "ds_cmd.h"
#include "ds_net.h"
#include "ds_output.h"

namespace {

int Fail(const std::string& strMsg)
{
    fprintf(stderr, "devsearch: %s\n", strMsg.c_str());
    return DS_EXIT_FAIL;
}

std::string Num(size_t u32Val)
{
    char s8Buf[24];
    snprintf(s8Buf, sizeof(s8Buf), "%zu", u32Val);
    return s8Buf;
}

/* The plan's text: the file, or standard input for "-"; at most DS_PLAN_MAX_BYTES. */
S32 ReadPlanText(const std::string& strPath, std::string* pstrText, std::string* pstrErr)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pFile(nullptr, fclose);
    FILE* pIn = stdin;
    if (strPath != "-") {
        pFile.reset(fopen(strPath.c_str(), "rb"));
        if (!pFile) {
            const int s32Err = errno;
            *pstrErr = strPath + ": " + strerror(s32Err);
            return -1;
        }
        pIn = pFile.get();
    }
    std::string strText;
    char s8Buf[4096];
    size_t n;
    while ((n = fread(s8Buf, 1, sizeof(s8Buf), pIn)) > 0) {
        strText.append(s8Buf, n);
        if (strText.size() > DS_PLAN_MAX_BYTES) {
            *pstrErr = strPath + ": larger than " + Num(DS_PLAN_MAX_BYTES) + " bytes";
            return -1;
        }
    }
    if (ferror(pIn)) {
        *pstrErr = strPath + ": read error";
        return -1;
    }
    *pstrText = strText;
    return 0;
}

/* Whether the device holds the request's settings already (all a request carries). */
BOOL Unchanged(const DsModifyReq& stReq, const DsDevice& stDev)
{
    const U32 u32Mode = stReq.bModeValid ? stReq.u8Mode : (U32)DS_MODE_STATIC;
    return stDev.strIp == DsFormatIpv4(stReq.au8Ip) &&
           stDev.strNetMask == DsFormatIpv4(stReq.au8Mask) &&
           stDev.strGateWay == DsFormatIpv4(stReq.au8Gw) &&
           stDev.strDns1 == DsFormatIpv4(stReq.au8Dns1) &&
           stDev.strDns2 == DsFormatIpv4(stReq.au8Dns2) && stDev.u32NetworkMode == u32Mode &&
           stDev.u32Port == stReq.u16MediaPort && stDev.u32IePort == stReq.u16WebPort;
}

/* One row of an apply: what became of it, and what is still to be seen. */
struct ApplyRow {
    const DsPlanRow_S* pstRow;
    DsOutcome_S stOut;
    BOOL bWatched; /* waits for the watch: stWatch */
    DsWatch_S stWatch;
};

void PrintRow(const DsOptions& stOpt, const ApplyRow& stRow)
{
    if (stOpt.bJson) {
        printf("%s\n",
               DsJsonApplyRow(stRow.pstRow->u32Line, stRow.pstRow->strMac, stRow.stOut).c_str());
        fflush(stdout);
    } else {
        DsPrintApplyRow(stRow.pstRow->u32Line, stRow.pstRow->strMac, stRow.stOut, stdout);
    }
}

/* Decides a row up to sending: not found, refused, unchanged, would change (dry run);
 * returns true when the row is to be sent (pstReq holds the request). */
BOOL PrepareRow(const DsOptions& stOpt, const std::string& strPwd,
                const std::vector<DsPlanRow_S>& vecPlan, const DsDeviceList& stList,
                ApplyRow* pstApply, DsModifyReq* pstReq)
{
    const DsPlanRow_S& stRow = *pstApply->pstRow;
    DsOutcome_S& stOut = pstApply->stOut;
    const std::vector<DsDevice> vecHits = stList.FindByMac(stRow.strMac);
    if (vecHits.empty()) {
        stOut.enResult = DS_RESULT_NOT_FOUND;
        stOut.strReason = "no device with this MAC answered the search";
        return false;
    }
    stOut.bHasDevice = true;
    stOut.stDevice = vecHits[0];
    const DsDevice& stDev = vecHits[0];
    stOut.enResult = DS_RESULT_REFUSED_LOCALLY;
    if (vecHits.size() > 1) {
        stOut.strReason = "several devices report this MAC";
        return false;
    }
    DsModifyReq stReq;
    std::string strErr;
    if (DsBuildModifyReq(DsPlanRowOptions(stOpt, stRow), stDev, strPwd, &stReq, &strErr) != 0) {
        stOut.strReason = "refused: " + strErr;
        return false;
    }
    stOut.bHasRequest = true;
    stOut.stReq = stReq;
    if (Unchanged(stReq, stDev)) {
        stOut.enResult = DS_RESULT_UNCHANGED;
        return false;
    }
    /* An address another device answers from may be taken only when this plan moves that
     * device away: two devices must not end up on one address. */
    const BOOL bStatic = !stReq.bModeValid || stReq.u8Mode != (U8)DS_MODE_DHCP;
    const std::string strNewIp = DsFormatIpv4(stReq.au8Ip);
    for (const DsDevice& stHolder : stList.InOrder()) {
        if (!bStatic || stHolder.strIp != strNewIp || DsDeviceKey(stHolder) == DsDeviceKey(stDev)) {
            continue;
        }
        std::string strHolderMac;
        BOOL bMovedAway = false;
        if (DsParseMac(stHolder.strMacAddr.c_str(), &strHolderMac) == 0) {
            for (const DsPlanRow_S& stOther : vecPlan) {
                bMovedAway = bMovedAway || (stOther.strMac == strHolderMac && stOther.stIp.bSet &&
                                            stOther.s32Mode != DS_MODE_DHCP &&
                                            DsFormatIpv4(stOther.stIp.au8Addr) != stHolder.strIp);
            }
        }
        if (!bMovedAway) {
            stOut.strReason = "address " + strNewIp + " is held by the device " +
                              (stHolder.strMacAddr.empty() ? stHolder.strIp : stHolder.strMacAddr) +
                              ", which this plan does not move";
            return false;
        }
    }
    if (stOpt.bDryRun) {
        stOut.enResult = DS_RESULT_WOULD_CHANGE;
        return false;
    }
    *pstReq = stReq;
    return true;
}

}  // namespace

DsOptions DsPlanRowOptions(const DsOptions& stBase, const DsPlanRow_S& stRow)
{
    DsOptions stOpt = stBase;
    stOpt.enCmd = DS_CMD_MODIFY;
    stOpt.bLegacy = false;
    stOpt.stIp = stRow.stIp;
    stOpt.stMask = stRow.stMask;
    stOpt.stGw = stRow.stGw;
    stOpt.stDns1 = stRow.stDns1;
    stOpt.stDns2 = stRow.stDns2;
    stOpt.bHasMediaPort = false;
    stOpt.bHasWebPort = false;
    stOpt.s32Mode = stRow.s32Mode;
    return stOpt;
}

int DsRunAssign(const DsOptions& stOpt)
{
    std::vector<DsIface> vecIf;
    DsDeviceList stList;
    std::string strErr;
    if (DsListIfaces(stOpt.strIface, &vecIf, &strErr) != 0) return Fail(strErr);
    DsStopFn fnStop;
    if (stOpt.u32Expect > 0) {
        fnStop = [&stOpt](const DsDevice&, const DsDeviceList& stNow) {
            return stNow.Size() >= stOpt.u32Expect;
        };
    }
    if (DsSearch(vecIf, DsBaseParams(stOpt), &stList, nullptr, &strErr, fnStop) < 0) {
        return Fail(strErr);
    }
    if (stList.Size() < stOpt.u32Expect) {
        return Fail("only " + Num(stList.Size()) + " of " + Num(stOpt.u32Expect) +
                    " expected devices answered; no plan written");
    }
    if (stList.Size() == 0) return Fail("no device answered");
    std::vector<DsDevice> vecDevs = stList.InOrder();
    if (stOpt.enOrder == DS_ORDER_MAC) {
        std::stable_sort(vecDevs.begin(), vecDevs.end(), [](const DsDevice& a, const DsDevice& b) {
            std::string strA, strB;
            DsParseMac(a.strMacAddr.c_str(), &strA);
            DsParseMac(b.strMacAddr.c_str(), &strB);
            return strA < strB;
        });
    }
    for (const DsDevice& stDev : vecDevs) {
        std::string strMac;
        if (DsParseMac(stDev.strMacAddr.c_str(), &strMac) != 0) {
            fprintf(stderr,
                    "devsearch: the device at %s reports no MAC and is left out of the "
                    "plan\n",
                    stDev.strIp.c_str());
        }
    }
    std::vector<DsPlanRow_S> vecRows;
    if (DsAssignAddrs(vecDevs, stOpt.stFrom.au8Addr, stOpt.stMask, stOpt.stGw, stOpt.stDns1,
                      stOpt.stDns2, &vecRows, &strErr) != 0) {
        return Fail(strErr + "; no plan written");
    }
    /* a plan apply would refuse is not written */
    DsOptions stCheck = stOpt;
    stCheck.strUser = "check";
    for (const DsPlanRow_S& stRow : vecRows) {
        const std::vector<DsDevice> vecHits = stList.FindByMac(stRow.strMac);
        DsModifyReq stReq;
        if (vecHits.size() != 1) {
            return Fail("several devices report the MAC " + stRow.strMac + "; no plan written");
        }
        if (DsBuildModifyReq(DsPlanRowOptions(stCheck, stRow), vecHits[0], "", &stReq, &strErr) !=
            0) {
            return Fail("the device " + stRow.strMac + ": " + strErr + "; no plan written");
        }
    }
    fputs(DsPlanCsv(vecRows).c_str(), stdout);
    fflush(stdout);
    fprintf(stderr, "devsearch: a plan for %zu device%s\n", vecRows.size(),
            vecRows.size() == 1 ? "" : "s");
    return DS_EXIT_OK;
}

int DsRunApply(const DsOptions& stOpt)
{
    std::string strErr;
    std::string strPwd;
    if (!stOpt.bDryRun && DsReadPassword(stOpt, &strPwd, &strErr) != 0) {
        fprintf(stderr, "devsearch: %s\n", strErr.c_str());
        return DS_EXIT_USAGE;
    }
    std::string strText;
    if (ReadPlanText(stOpt.strPlanPath, &strText, &strErr) != 0) return Fail(strErr);
    std::vector<DsPlanRow_S> vecPlan;
    U32 u32Line = 0;
    if (DsParsePlan(strText, &vecPlan, &u32Line, &strErr) != 0) {
        return Fail(stOpt.strPlanPath + ": line " + Num(u32Line) + ": " + strErr +
                    "; nothing was sent");
    }
    DsOptions stRun = stOpt;
    if (stRun.bDryRun && !stRun.bHasUser) stRun.strUser = "dry-run"; /* nothing is sent */
    std::vector<DsIface> vecIf;
    if (DsListIfaces(stOpt.strIface, &vecIf, &strErr) != 0) return Fail(strErr);

    /* one search, ended as soon as every device of the plan has answered */
    DsDeviceList stList;
    auto fnAllFound = [&vecPlan](const DsDevice&, const DsDeviceList& stNow) {
        for (const DsPlanRow_S& stRow : vecPlan) {
            if (stNow.FindByMac(stRow.strMac).empty()) return false;
        }
        return true;
    };
    if (DsSearch(vecIf, DsBaseParams(stOpt), &stList, nullptr, &strErr, fnAllFound) < 0) {
        return Fail(strErr);
    }

    if (!stOpt.bJson) DsPrintApplyRow(0, std::string(), DsOutcome_S(), stdout);
    std::vector<ApplyRow> vecRows(vecPlan.size());
    for (size_t i = 0; i < vecPlan.size(); ++i) {
        ApplyRow& stApply = vecRows[i];
        stApply.pstRow = &vecPlan[i];
        stApply.stOut = DsOutcome_S();
        stApply.bWatched = false;
        DsModifyReq stReq;
        if (!PrepareRow(stRun, strPwd, vecPlan, stList, &stApply, &stReq)) {
            PrintRow(stOpt, stApply);
            continue;
        }
        DsOutcome_S& stOut = stApply.stOut;
        const U64 u64SentMs = DsNowMs();
        U16 u16Ack = 0;
        const S32 s32Got = DsSendRequest(stOpt, vecIf, stOut.stDevice, &stReq, &u16Ack, &strErr);
        stOut.stReq = stReq;
        if (s32Got < 0) {
            stOut.enResult =
                s32Got == DS_SEND_NOTHING_SENT ? DS_RESULT_REFUSED_LOCALLY : DS_RESULT_NO_REPLY;
            stOut.strReason = strErr;
            PrintRow(stOpt, stApply);
            continue;
        }
        if (DsTakeReply(s32Got == 1, u16Ack, stOpt.bWait, &stOut)) {
            PrintRow(stOpt, stApply);
            continue;
        }
        stApply.bWatched = true;
        stApply.stWatch.stReq = stReq;
        stApply.stWatch.stBefore = stOut.stDevice;
        stApply.stWatch.bAnswered = s32Got == 1;
        stApply.stWatch.u64SinceMs = s32Got == 1 ? DsNowMs() : u64SentMs;
        stApply.stWatch.u32BoundMs = DsWatchBoundMs(stRun, s32Got == 1);
    }

    /* one search confirms every change that was sent */
    std::vector<DsWatch_S> vecWatch;
    for (const ApplyRow& stApply : vecRows) {
        if (stApply.bWatched) vecWatch.push_back(stApply.stWatch);
    }
    if (!vecWatch.empty() && DsWatchChanges(vecIf, stOpt.u16Port, &vecWatch, &strErr) != 0) {
        fprintf(stderr, "devsearch: the confirming search failed: %s\n", strErr.c_str());
        for (DsWatch_S& stWatch : vecWatch) stWatch.bSeen = false;
    }
    size_t u32Next = 0;
    for (ApplyRow& stApply : vecRows) {
        if (!stApply.bWatched) continue;
        DsSettle(vecWatch[u32Next++], &stApply.stOut);
        PrintRow(stOpt, stApply);
    }

    std::map<std::string, size_t> mapCounts;
    BOOL bAllOk = true;
    for (const ApplyRow& stApply : vecRows) {
        const DS_RESULT_E enResult = stApply.stOut.enResult;
        ++mapCounts[DsResultText(enResult)];
        bAllOk = bAllOk && (enResult == DS_RESULT_APPLIED || enResult == DS_RESULT_UNCHANGED ||
                            enResult == DS_RESULT_WOULD_CHANGE);
    }
    std::string strSummary;
    for (const auto& stCount : mapCounts) {
        strSummary += (strSummary.empty() ? "" : ", ") + Num(stCount.second) + " " + stCount.first;
    }
    fprintf(stderr, "devsearch: %zu row%s: %s\n", vecRows.size(), vecRows.size() == 1 ? "" : "s",
            strSummary.c_str());
    return bAllOk ? DS_EXIT_OK : DS_EXIT_FAIL;
}
