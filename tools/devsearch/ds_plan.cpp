/* SPDX-License-Identifier: MIT */
/* ds_plan.cpp: CSV records, plans and sequential addresses. */
#include "ds_plan.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <map>

#include "ds_output.h"

namespace {

/* The settings columns of a plan, after mac. */
const char* const g_aps8PlanColumns[] = {"ip", "netmask", "gateway", "dns1", "dns2", "mode"};

std::string LineText(U32 u32Line)
{
    char s8Buf[16];
    snprintf(s8Buf, sizeof(s8Buf), "%u", (unsigned)u32Line);
    return s8Buf;
}

U32 AddrToU32(const U8 (&au8Addr)[4])
{
    return ((U32)au8Addr[0] << 24) | ((U32)au8Addr[1] << 16) | ((U32)au8Addr[2] << 8) |
           (U32)au8Addr[3];
}

void U32ToAddr(U32 u32Addr, U8 (&au8Addr)[4])
{
    au8Addr[0] = (U8)(u32Addr >> 24);
    au8Addr[1] = (U8)(u32Addr >> 16);
    au8Addr[2] = (U8)(u32Addr >> 8);
    au8Addr[3] = (U8)u32Addr;
}

std::string Trimmed(const std::string& strIn)
{
    const size_t u32First = strIn.find_first_not_of(" \t");
    if (u32First == std::string::npos) return std::string();
    const size_t u32Last = strIn.find_last_not_of(" \t");
    return strIn.substr(u32First, u32Last - u32First + 1);
}

BOOL KnownColumn(const std::string& strName)
{
    for (const DsField_S& stField : DsDeviceFields(DsDevice())) {
        if (strName == stField.ps8Name) return true;
    }
    return false;
}

/* One settings cell of a row, checked; an empty cell leaves the value unset. */
S32 PlanCell(const std::string& strColumn, const std::string& strRaw, DsPlanRow_S* pstRow,
             std::string* pstrErr)
{
    const std::string strText = Trimmed(strRaw);
    if (strText.empty()) return 0;
    if (strColumn == "mode") {
        std::string strWord = strText;
        for (char& c : strWord) c = (char)tolower((unsigned char)c);
        if (strWord == "static" || strWord == "2") {
            pstRow->s32Mode = DS_MODE_STATIC;
        } else if (strWord == "dhcp" || strWord == "0") {
            pstRow->s32Mode = DS_MODE_DHCP;
        } else if (strWord != "none") { /* a device that reports no mode: keep its own */
            *pstrErr = "mode: \"" + strText + "\" is neither static nor dhcp";
            return -1;
        }
        return 0;
    }
    DsOptAddr_S* pstAddr = strColumn == "ip"        ? &pstRow->stIp
                           : strColumn == "netmask" ? &pstRow->stMask
                           : strColumn == "gateway" ? &pstRow->stGw
                           : strColumn == "dns1"    ? &pstRow->stDns1
                                                    : &pstRow->stDns2;
    DsOptAddr_S stAddr = {};
    if (DsParseIpv4(strText.c_str(), stAddr.au8Addr) != 0) {
        *pstrErr = strColumn + ": not an IPv4 address: \"" + strText + "\"";
        return -1;
    }
    if (strColumn == "ip" && !DsIsUnicastHost(stAddr.au8Addr)) {
        *pstrErr = "ip: " + strText + " is not a unicast host address";
        return -1;
    }
    if (strColumn == "netmask" && !DsIsValidMask(stAddr.au8Addr)) {
        *pstrErr = "netmask: " + strText + " is not a contiguous netmask";
        return -1;
    }
    stAddr.bSet = true;
    *pstAddr = stAddr;
    return 0;
}

}  // namespace

S32 DsReadCsv(const std::string& strText, std::vector<DsCsvRecord_S>* pvecOut, U32* pu32ErrLine,
              std::string* pstrErr)
{
    if (pvecOut == nullptr || pu32ErrLine == nullptr || pstrErr == nullptr) return -1;
    std::vector<DsCsvRecord_S> vecOut;
    std::vector<std::string> vecCells;
    std::string strCell;
    BOOL bQuoted = false; /* the cell being read was quoted */
    U32 u32Line = 1;
    U32 u32Start = 1;
    const size_t n = strText.size();
    auto fnFail = [&](U32 u32At, const char* ps8Why) {
        *pu32ErrLine = u32At;
        *pstrErr = ps8Why;
        return -1;
    };
    auto fnFinish = [&]() {
        vecCells.push_back(strCell);
        /* a blank line is no record */
        if (vecCells.size() > 1 || !vecCells[0].empty() || bQuoted) {
            vecOut.push_back(DsCsvRecord_S{u32Start, vecCells});
        }
        vecCells.clear();
        strCell.clear();
        bQuoted = false;
    };
    size_t i = 0;
    while (i < n) {
        const char c = strText[i++];
        if (c == '"') {
            if (!strCell.empty()) return fnFail(u32Line, "a quote inside an unquoted cell");
            if (bQuoted) return fnFail(u32Line, "text after the closing quote of a cell");
            bQuoted = true;
            const U32 u32Opened = u32Line;
            for (;;) {
                if (i >= n) return fnFail(u32Opened, "a quoted cell is not closed");
                const char q = strText[i++];
                if (q == '"' && i < n && strText[i] == '"') {
                    ++i;
                } else if (q == '"') {
                    break;
                } else if (q == '\n') {
                    ++u32Line;
                }
                strCell += q;
            }
            if (i < n && strText[i] != ',' && strText[i] != '\r' && strText[i] != '\n') {
                return fnFail(u32Line, "text after the closing quote of a cell");
            }
        } else if (c == ',') {
            vecCells.push_back(strCell);
            strCell.clear();
            bQuoted = false;
        } else if (c == '\r' && (i >= n || strText[i] != '\n')) {
            return fnFail(u32Line, "a carriage return that does not end a line");
        } else if (c == '\r') {
            continue; /* the LF that follows ends the line */
        } else if (c == '\n') {
            fnFinish();
            ++u32Line;
            u32Start = u32Line;
        } else {
            strCell += c;
        }
    }
    if (!vecCells.empty() || !strCell.empty() || bQuoted) fnFinish();
    *pvecOut = vecOut;
    return 0;
}

S32 DsParsePlan(const std::string& strText, std::vector<DsPlanRow_S>* pvecOut, U32* pu32ErrLine,
                std::string* pstrErr)
{
    if (pvecOut == nullptr || pu32ErrLine == nullptr || pstrErr == nullptr) return -1;
    auto fnFail = [&](U32 u32At, const std::string& strWhy) {
        *pu32ErrLine = u32At;
        *pstrErr = strWhy;
        return -1;
    };
    if (strText.size() > DS_PLAN_MAX_BYTES) {
        return fnFail(1, "larger than " + LineText((U32)DS_PLAN_MAX_BYTES) + " bytes");
    }
    const char s8Bom[] = "\xEF\xBB\xBF"; /* a spreadsheet's byte order mark */
    const size_t u32Skip = strText.compare(0, 3, s8Bom) == 0 ? 3 : 0;
    std::vector<DsCsvRecord_S> vecRecs;
    if (DsReadCsv(strText.substr(u32Skip), &vecRecs, pu32ErrLine, pstrErr) != 0) return -1;
    if (vecRecs.empty()) {
        return fnFail(1, "the plan is empty (a header line and one row per device)");
    }
    const U32 u32Head = vecRecs[0].u32Line;
    std::vector<std::string> vecHead;
    for (const std::string& strRaw : vecRecs[0].vecCells) {
        const std::string strName = Trimmed(strRaw);
        if (!KnownColumn(strName)) {
            return fnFail(u32Head, "unknown column \"" + strName +
                                       "\" (a plan has mac and any of ip, netmask, gateway, "
                                       "dns1, dns2, mode; the other columns of a search CSV "
                                       "are ignored)");
        }
        for (const std::string& strHave : vecHead) {
            if (strHave == strName) {
                return fnFail(u32Head, "column \"" + strName + "\" appears twice");
            }
        }
        vecHead.push_back(strName);
    }
    size_t u32MacAt = vecHead.size();
    for (size_t k = 0; k < vecHead.size(); ++k) {
        if (vecHead[k] == "mac") u32MacAt = k;
    }
    if (u32MacAt == vecHead.size()) return fnFail(u32Head, "no \"mac\" column");

    std::vector<DsPlanRow_S> vecRows;
    std::map<std::string, U32> mapMacs, mapIps;
    for (size_t r = 1; r < vecRecs.size(); ++r) {
        const DsCsvRecord_S& stRec = vecRecs[r];
        if (vecRows.size() >= DS_PLAN_MAX_ROWS) {
            return fnFail(stRec.u32Line, "more than " + LineText((U32)DS_PLAN_MAX_ROWS) + " rows");
        }
        if (stRec.vecCells.size() != vecHead.size()) {
            return fnFail(stRec.u32Line, LineText((U32)stRec.vecCells.size()) +
                                             " cells, the header has " +
                                             LineText((U32)vecHead.size()));
        }
        DsPlanRow_S stRow;
        stRow.u32Line = stRec.u32Line;
        stRow.stIp = stRow.stMask = stRow.stGw = stRow.stDns1 = stRow.stDns2 = DsOptAddr_S{};
        stRow.s32Mode = DS_MODE_UNSET;
        const std::string strMacText = Trimmed(stRec.vecCells[u32MacAt]);
        if (DsParseMac(strMacText.c_str(), &stRow.strMac) != 0) {
            return fnFail(stRec.u32Line, "mac: not a MAC address: \"" + strMacText + "\"");
        }
        for (size_t k = 0; k < vecHead.size(); ++k) {
            for (const char* ps8Col : g_aps8PlanColumns) {
                if (vecHead[k] != ps8Col) continue;
                std::string strWhy;
                if (PlanCell(vecHead[k], stRec.vecCells[k], &stRow, &strWhy) != 0) {
                    return fnFail(stRec.u32Line, strWhy);
                }
            }
        }
        const auto itMac = mapMacs.find(stRow.strMac);
        if (itMac != mapMacs.end()) {
            return fnFail(stRec.u32Line,
                          "mac " + stRow.strMac + " is also on line " + LineText(itMac->second));
        }
        mapMacs[stRow.strMac] = stRec.u32Line;
        if (stRow.stIp.bSet && stRow.s32Mode != DS_MODE_DHCP) {
            const std::string strIp = DsFormatIpv4(stRow.stIp.au8Addr);
            const auto itIp = mapIps.find(strIp);
            if (itIp != mapIps.end()) {
                return fnFail(stRec.u32Line,
                              "ip " + strIp + " is also on line " + LineText(itIp->second));
            }
            mapIps[strIp] = stRec.u32Line;
        }
        vecRows.push_back(stRow);
    }
    if (vecRows.empty()) return fnFail(u32Head, "the plan has no rows");
    *pvecOut = vecRows;
    return 0;
}

std::string DsPlanCsv(const std::vector<DsPlanRow_S>& vecRows)
{
    BOOL abUsed[6] = {};
    for (const DsPlanRow_S& stRow : vecRows) {
        abUsed[0] = abUsed[0] || stRow.stIp.bSet;
        abUsed[1] = abUsed[1] || stRow.stMask.bSet;
        abUsed[2] = abUsed[2] || stRow.stGw.bSet;
        abUsed[3] = abUsed[3] || stRow.stDns1.bSet;
        abUsed[4] = abUsed[4] || stRow.stDns2.bSet;
        abUsed[5] = abUsed[5] || stRow.s32Mode != DS_MODE_UNSET;
    }
    std::string s = "mac";
    for (size_t k = 0; k < 6; ++k) {
        if (abUsed[k]) s += std::string(",") + g_aps8PlanColumns[k];
    }
    s += "\r\n";
    for (const DsPlanRow_S& stRow : vecRows) {
        const DsOptAddr_S* apstAddr[5] = {&stRow.stIp, &stRow.stMask, &stRow.stGw, &stRow.stDns1,
                                          &stRow.stDns2};
        s += stRow.strMac;
        for (size_t k = 0; k < 5; ++k) {
            if (!abUsed[k]) continue;
            s += ',';
            if (apstAddr[k]->bSet) s += DsFormatIpv4(apstAddr[k]->au8Addr);
        }
        if (abUsed[5]) {
            s += ',';
            if (stRow.s32Mode == DS_MODE_DHCP) s += "dhcp";
            if (stRow.s32Mode == DS_MODE_STATIC) s += "static";
        }
        s += "\r\n";
    }
    return s;
}

S32 DsAssignAddrs(const std::vector<DsDevice>& vecDevs, const U8 (&au8From)[4],
                  const DsOptAddr_S& stMask, const DsOptAddr_S& stGw, const DsOptAddr_S& stDns1,
                  const DsOptAddr_S& stDns2, std::vector<DsPlanRow_S>* pvecOut,
                  std::string* pstrErr)
{
    if (pvecOut == nullptr || pstrErr == nullptr) return -1;
    std::vector<DsPlanRow_S> vecRows;
    const U32 u32Base = AddrToU32(au8From);
    U64 u64Next = u32Base;
    size_t u32Named = 0;
    for (const DsDevice& stDev : vecDevs) {
        std::string strMac;
        if (DsParseMac(stDev.strMacAddr.c_str(), &strMac) == 0) ++u32Named;
    }
    for (const DsDevice& stDev : vecDevs) {
        DsPlanRow_S stRow;
        if (DsParseMac(stDev.strMacAddr.c_str(), &stRow.strMac) != 0) continue;
        U8 au8Mask[4];
        if (stMask.bSet) {
            memcpy(au8Mask, stMask.au8Addr, sizeof(au8Mask));
        } else if (DsParseIpv4(stDev.strNetMask.c_str(), au8Mask) != 0 || !DsIsValidMask(au8Mask)) {
            *pstrErr = "the device " + stRow.strMac + " reports no usable netmask; give --mask";
            return -1;
        }
        const U32 u32Mask = AddrToU32(au8Mask);
        const U32 u32Host = ~u32Mask;
        const std::string strGw = stGw.bSet ? DsFormatIpv4(stGw.au8Addr) : stDev.strGateWay;
        for (;;) {
            if (u64Next > 0xFFFFFFFFu || ((U32)u64Next & u32Mask) != (u32Base & u32Mask)) {
                *pstrErr = DsFormatIpv4(au8From) + "/" + DsFormatIpv4(au8Mask) +
                           " has no address left for " + LineText((U32)u32Named) + " devices";
                return -1;
            }
            const U32 u32Cand = (U32)u64Next;
            /* /31 and /32 have no network or broadcast address of their own */
            const BOOL bEdge = u32Mask < 0xFFFFFFFEu &&
                               ((u32Cand & u32Host) == 0 || (u32Cand & u32Host) == u32Host);
            U8 au8Cand[4];
            U32ToAddr(u32Cand, au8Cand);
            const std::string strCand = DsFormatIpv4(au8Cand);
            BOOL bHeld = strCand == strGw;
            for (const DsDevice& stOther : vecDevs) bHeld = bHeld || stOther.strIp == strCand;
            if (!bEdge && !bHeld) break;
            ++u64Next;
        }
        stRow.u32Line = (U32)vecRows.size() + 2;
        stRow.stIp = DsOptAddr_S{};
        stRow.stIp.bSet = true;
        U32ToAddr((U32)u64Next, stRow.stIp.au8Addr);
        stRow.stMask = stMask;
        stRow.stGw = stGw;
        stRow.stDns1 = stDns1;
        stRow.stDns2 = stDns2;
        stRow.s32Mode = DS_MODE_UNSET;
        vecRows.push_back(stRow);
        ++u64Next;
    }
    *pvecOut = vecRows;
    return 0;
}
