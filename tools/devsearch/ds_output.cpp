// SPDX-License-Identifier: MIT
/* ds_output.cpp: de-duplication, table and JSON lines. */
#include "ds_output.h"

#include <inttypes.h>
#include <string.h>

#include <algorithm>

#include "ds_args.h"

namespace {

/* Length of a valid UTF-8 sequence at p (at most u32Left bytes), or 0. */
size_t Utf8SeqLen(const unsigned char* p, size_t u32Left)
{
    size_t u32Len;
    U32 u32Min;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        u32Len = 2;
        u32Min = 0x80;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        u32Len = 3;
        u32Min = 0x800;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        u32Len = 4;
        u32Min = 0x10000;
    } else {
        return 0;
    }
    if (u32Left < u32Len) return 0;
    U32 u32Cp = p[0] & (0x7F >> u32Len);
    for (size_t i = 1; i < u32Len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        u32Cp = (u32Cp << 6) | (p[i] & 0x3F);
    }
    if (u32Cp < u32Min || u32Cp > 0x10FFFF || (u32Cp >= 0xD800 && u32Cp <= 0xDFFF)) return 0;
    return u32Len;
}

/* A device's text made safe for an output: valid UTF-8 and printable ASCII are kept (fnAscii
 * may escape some of it), a control byte becomes fnControl's text, and each byte that is no
 * part of valid UTF-8 becomes ps8Bad. */
template <typename AsciiFn, typename ControlFn>
std::string CleanText(const std::string& strIn, AsciiFn fnAscii, ControlFn fnControl,
                      const char* ps8Bad)
{
    std::string strOut;
    const unsigned char* p = (const unsigned char*)strIn.data();
    const size_t u32Len = strIn.size();
    for (size_t i = 0; i < u32Len;) {
        const unsigned char c = p[i];
        if (c < 0x20 || c == 0x7F) {
            strOut += fnControl(c);
            ++i;
        } else if (c < 0x80) {
            fnAscii((char)c, &strOut);
            ++i;
        } else {
            const size_t u32Seq = Utf8SeqLen(p + i, u32Len - i);
            if (u32Seq == 0) {
                strOut += ps8Bad;
                ++i;
            } else {
                strOut.append((const char*)p + i, u32Seq);
                i += u32Seq;
            }
        }
    }
    return strOut;
}

std::string JsonString(const std::string& strIn)
{
    auto fnAscii = [](char c, std::string* pstrOut) {
        if (c == '"' || c == '\\') *pstrOut += '\\';
        *pstrOut += c;
    };
    auto fnControl = [](unsigned char c) {
        char s8Esc[8];
        const int n = snprintf(s8Esc, sizeof(s8Esc), "\\u%04x", c);
        return (n > 0 && (size_t)n < sizeof(s8Esc)) ? std::string(s8Esc, (size_t)n) : std::string();
    };
    return "\"" + CleanText(strIn, fnAscii, fnControl, "\\ufffd") + "\"";
}

/* A device's text as a CSV cell: what JSON escapes is replaced instead, so that every
 * device stays one line: invalid UTF-8 as U+FFFD, control bytes as '?'. */
std::string CsvText(const std::string& strIn)
{
    return CleanText(
        strIn, [](char c, std::string* pstrOut) { *pstrOut += c; },
        [](unsigned char) { return std::string("?"); }, "\xEF\xBF\xBD");
}

std::string Printable(const std::string& strIn)
{
    if (strIn.empty()) return "-";
    std::string strOut = strIn;
    for (char& c : strOut) {
        const unsigned char u8 = (unsigned char)c;
        if (u8 < 0x20 || u8 >= 0x7F) c = '?';
    }
    return strOut;
}

/* Sort key of an address text: its value, or above every address when unreadable. */
U64 AddrOrder(const std::string& strIp)
{
    U8 au8Addr[4];
    if (DsParseIpv4(strIp.c_str(), au8Addr) != 0) return (U64)1 << 32;
    return ((U64)au8Addr[0] << 24) | ((U64)au8Addr[1] << 16) | ((U64)au8Addr[2] << 8) | au8Addr[3];
}

std::string NumText(U64 u64Val)
{
    char s8Buf[24];
    const int n = snprintf(s8Buf, sizeof(s8Buf), "%" PRIu64, u64Val);
    if (n < 0 || (size_t)n >= sizeof(s8Buf)) return "0";
    return std::string(s8Buf, (size_t)n);
}

std::string TypeCodeText(U64 u64Type)
{
    char s8Buf[24];
    const int n = snprintf(s8Buf, sizeof(s8Buf), "0x%016" PRIX64, u64Type);
    if (n < 0 || (size_t)n >= sizeof(s8Buf)) return "0x0";
    return std::string(s8Buf, (size_t)n);
}

}  // namespace

std::string DsDeviceKey(const DsDevice& stDev)
{
    if (!stDev.strMacAddr.empty()) return "mac:" + stDev.strMacAddr;
    return "ip:" + stDev.strIp;
}

bool DsDeviceList::Add(const DsDevice& stDev)
{
    const std::string strKey = DsDeviceKey(stDev);
    for (const DsDevice& stHave : m_vecDevs) {
        if (DsDeviceKey(stHave) == strKey) return false;
    }
    m_vecDevs.push_back(stDev);
    return true;
}

std::vector<DsDevice> DsDeviceList::Sorted() const
{
    std::vector<DsDevice> vecOut = m_vecDevs;
    std::stable_sort(vecOut.begin(), vecOut.end(), [](const DsDevice& a, const DsDevice& b) {
        const U64 u64A = AddrOrder(a.strIp);
        const U64 u64B = AddrOrder(b.strIp);
        if (u64A != u64B) return u64A < u64B;
        return a.strMacAddr < b.strMacAddr;
    });
    return vecOut;
}

std::vector<DsDevice> DsDeviceList::FindByMac(const std::string& strNormMac) const
{
    std::vector<DsDevice> vecOut;
    for (const DsDevice& stDev : m_vecDevs) {
        std::string strNorm;
        if (DsParseMac(stDev.strMacAddr.c_str(), &strNorm) == 0 && strNorm == strNormMac) {
            vecOut.push_back(stDev);
        }
    }
    return vecOut;
}

std::vector<DsDevice> DsDeviceList::FindByIp(const std::string& strIp) const
{
    std::vector<DsDevice> vecOut;
    for (const DsDevice& stDev : m_vecDevs) {
        if (stDev.strIp == strIp) vecOut.push_back(stDev);
    }
    return vecOut;
}

std::string DsModeText(U32 u32Mode)
{
    if (u32Mode == 0) return "dhcp";
    if (u32Mode == 2) return "static";
    if (u32Mode == 0xFFFFFFFFu) return "none";
    return NumText(u32Mode);
}

std::string DsDeviceUrl(const DsDevice& stDev)
{
    U8 au8Addr[4];
    if (DsParseIpv4(stDev.strIp.c_str(), au8Addr) != 0) return std::string();
    if (stDev.u32IePort == 0 || stDev.u32IePort > 65535) return std::string();
    return "http://" + DsFormatIpv4(au8Addr) + ":" + NumText(stDev.u32IePort) + "/";
}

std::string DsSnapshotUrl(const DsDevice& stDev)
{
    const std::string strBase = DsDeviceUrl(stDev);
    if (strBase.empty()) return strBase;
    return strBase.substr(0, strBase.size() - 1) + DS_SNAPSHOT_PATH;
}

std::vector<DsField_S> DsDeviceFields(const DsDevice& stDev)
{
    return {
        {"ip", stDev.strIp, false},
        {"netmask", stDev.strNetMask, false},
        {"gateway", stDev.strGateWay, false},
        {"dns1", stDev.strDns1, false},
        {"dns2", stDev.strDns2, false},
        {"mac", stDev.strMacAddr, false},
        {"mode", DsModeText(stDev.u32NetworkMode), false},
        {"media_port", NumText(stDev.u32Port), true},
        {"web_port", NumText(stDev.u32IePort), true},
        {"device_type", stDev.strDevType, false},
        {"device_type_code", TypeCodeText(stDev.u64DevType), false},
        {"version", stDev.strDevVer, false},
        {"device_id", NumText(stDev.u32DeviceId), true},
        {"name", stDev.strDeviceName, false},
        {"hostname", stDev.strHostName, false},
        {"channels", NumText(stDev.u32ChannelNum), true},
        {"p2p_id", stDev.strP2pId, false},
        {"interface", stDev.strIfName, false},
        {"url", DsDeviceUrl(stDev), false},
        {"snapshot_url", DsSnapshotUrl(stDev), false},
    };
}

std::string DsJsonLine(const DsDevice& stDev)
{
    std::string s = "{";
    for (const DsField_S& stField : DsDeviceFields(stDev)) {
        if (s.size() > 1) s += ',';
        s += std::string("\"") + stField.ps8Name + "\":";
        s += stField.bNumber ? stField.strValue : JsonString(stField.strValue);
    }
    s += "}";
    return s;
}

std::string DsCsvCell(const std::string& strValue)
{
    if (strValue.find_first_of(",\"\r\n") == std::string::npos) return strValue;
    std::string strOut = "\"";
    for (const char c : strValue) {
        if (c == '"') strOut += '"';
        strOut += c;
    }
    strOut += '"';
    return strOut;
}

std::string DsCsvHeader()
{
    std::string s;
    for (const DsField_S& stField : DsDeviceFields(DsDevice())) {
        if (!s.empty()) s += ',';
        s += stField.ps8Name;
    }
    return s + "\r\n";
}

std::string DsCsvLine(const DsDevice& stDev)
{
    std::string s;
    bool bFirst = true;
    for (const DsField_S& stField : DsDeviceFields(stDev)) {
        if (!bFirst) s += ',';
        bFirst = false;
        s += DsCsvCell(stField.bNumber ? stField.strValue : CsvText(stField.strValue));
    }
    return s + "\r\n";
}

void DsPrintTable(const std::vector<DsDevice>& vecDevs, FILE* pOut)
{
    if (pOut == nullptr) return;
    fprintf(pOut, "%-15s %-15s %-15s %-17s %-6s %5s %5s %-18s %-12s %-12s %3s %-6s %s\n", "ADDRESS",
            "NETMASK", "GATEWAY", "MAC", "MODE", "MEDIA", "WEB", "TYPE", "VERSION", "NAME", "CH",
            "IFACE", "URL");
    for (const DsDevice& stDev : vecDevs) {
        const std::string strUrl = DsDeviceUrl(stDev);
        fprintf(pOut, "%-15s %-15s %-15s %-17s %-6s %5s %5s %-18s %-12s %-12s %3s %-6s %s\n",
                Printable(stDev.strIp).c_str(), Printable(stDev.strNetMask).c_str(),
                Printable(stDev.strGateWay).c_str(), Printable(stDev.strMacAddr).c_str(),
                DsModeText(stDev.u32NetworkMode).c_str(), NumText(stDev.u32Port).c_str(),
                NumText(stDev.u32IePort).c_str(), TypeCodeText(stDev.u64DevType).c_str(),
                Printable(stDev.strDevVer).c_str(), Printable(stDev.strDeviceName).c_str(),
                NumText(stDev.u32ChannelNum).c_str(), Printable(stDev.strIfName).c_str(),
                strUrl.empty() ? "-" : strUrl.c_str());
    }
    fflush(pOut);
}

const char* DsResultText(DS_RESULT_E enResult)
{
    switch (enResult) {
        case DS_RESULT_APPLIED:
            return "applied";
        case DS_RESULT_NO_REPLY:
            return "no_reply";
        case DS_RESULT_REFUSED_LOCALLY:
            return "refused_locally";
        case DS_RESULT_REFUSED_BY_DEVICE:
            return "refused_by_device";
        case DS_RESULT_NOT_CONFIRMED:
            return "not_confirmed";
        case DS_RESULT_UNCHANGED:
            return "unchanged";
        case DS_RESULT_NOT_FOUND:
            return "not_found";
        case DS_RESULT_WOULD_CHANGE:
            return "would_change";
    }
    return "no_reply";
}

namespace {

/* The old and new objects of an outcome (see DsJsonOutcome). */
void OldAndNew(const DsOutcome_S& stOutcome, std::string* pstrOld, std::string* pstrNew)
{
    const DsDevice& stDev = stOutcome.stDevice;
    const DsModifyReq& stReq = stOutcome.stReq;
    std::string& strOld = *pstrOld;
    std::string& strNew = *pstrNew;
    strOld = strNew = "null";
    if (stOutcome.bSetMac) {
        if (stOutcome.bHasDevice) strOld = "{\"mac\":" + JsonString(stDev.strMacAddr) + "}";
        if (stOutcome.bHasRequest) strNew = "{\"mac\":" + JsonString(stReq.strMac) + "}";
        return;
    }
    if (stOutcome.bHasDevice) {
        strOld = "{\"ip\":" + JsonString(stDev.strIp);
        strOld += ",\"netmask\":" + JsonString(stDev.strNetMask);
        strOld += ",\"gateway\":" + JsonString(stDev.strGateWay);
        strOld += ",\"dns1\":" + JsonString(stDev.strDns1);
        strOld += ",\"dns2\":" + JsonString(stDev.strDns2);
        strOld += ",\"mode\":" + JsonString(DsModeText(stDev.u32NetworkMode));
        strOld += ",\"media_port\":" + NumText(stDev.u32Port);
        strOld += ",\"web_port\":" + NumText(stDev.u32IePort) + "}";
    }
    if (stOutcome.bHasRequest) {
        /* a request without a mode is stored as static by the device */
        const BOOL bDhcp = stReq.bModeValid && stReq.u8Mode == 0;
        strNew = "{\"ip\":" + JsonString(DsFormatIpv4(stReq.au8Ip));
        strNew += ",\"netmask\":" + JsonString(DsFormatIpv4(stReq.au8Mask));
        strNew += ",\"gateway\":" + JsonString(DsFormatIpv4(stReq.au8Gw));
        strNew += ",\"dns1\":" + JsonString(DsFormatIpv4(stReq.au8Dns1));
        strNew += ",\"dns2\":" + JsonString(DsFormatIpv4(stReq.au8Dns2));
        strNew += ",\"mode\":" + JsonString(bDhcp ? "dhcp" : "static");
        strNew += ",\"media_port\":" + NumText(stReq.u16MediaPort);
        strNew += ",\"web_port\":" + NumText(stReq.u16WebPort) + "}";
    }
}

/* The keys after "command" (or "mac"): reason, confirmed_by, ..., new; no closing brace. */
std::string OutcomeTail(const DsOutcome_S& stOutcome)
{
    std::string strOld, strNew;
    OldAndNew(stOutcome, &strOld, &strNew);
    std::string s = ",\"reason\":" + JsonString(stOutcome.strReason);
    s += ",\"confirmed_by\":" + JsonString(stOutcome.strConfirmedBy);
    s += ",\"confirm_ms\":" +
         (stOutcome.bHasConfirmMs ? NumText(stOutcome.u32ConfirmMs) : std::string("null"));
    s += ",\"ack_flag\":" + (stOutcome.bHasAck ? NumText(stOutcome.u16Ack) : std::string("null"));
    s += ",\"device\":" +
         (stOutcome.bHasDevice ? DsJsonLine(stOutcome.stDevice) : std::string("null"));
    s += ",\"old\":" + strOld;
    s += ",\"new\":" + strNew;
    return s;
}

}  // namespace

std::string DsJsonOutcome(const DsOutcome_S& stOutcome)
{
    std::string s = "{";
    s += "\"result\":" + JsonString(DsResultText(stOutcome.enResult));
    s += ",\"command\":" + JsonString(stOutcome.bSetMac ? "set-mac" : "modify");
    s += OutcomeTail(stOutcome);
    s += "}";
    return s;
}

std::string DsJsonApplyRow(U32 u32Line, const std::string& strMac, const DsOutcome_S& stOutcome)
{
    std::string s = "{\"line\":" + NumText(u32Line);
    s += ",\"mac\":" + JsonString(strMac);
    s += ",\"result\":" + JsonString(DsResultText(stOutcome.enResult));
    s += OutcomeTail(stOutcome);
    s += "}";
    return s;
}

void DsPrintApplyRow(U32 u32Line, const std::string& strMac, const DsOutcome_S& stOutcome,
                     FILE* pOut)
{
    if (pOut == nullptr) return;
    if (u32Line == 0) {
        fprintf(pOut, "%-5s %-17s %-17s %-15s %-15s %-8s %s\n", "LINE", "MAC", "RESULT", "ADDRESS",
                "NEW", "CONFIRM", "REASON");
        fflush(pOut);
        return;
    }
    char s8Ms[24] = "-";
    if (stOutcome.bHasConfirmMs) {
        snprintf(s8Ms, sizeof(s8Ms), "%u.%01u s", (unsigned)(stOutcome.u32ConfirmMs / 1000),
                 (unsigned)(stOutcome.u32ConfirmMs % 1000 / 100));
    }
    const std::string strOld = stOutcome.bHasDevice ? Printable(stOutcome.stDevice.strIp) : "-";
    const std::string strNew = stOutcome.bHasRequest ? DsFormatIpv4(stOutcome.stReq.au8Ip) : "-";
    fprintf(pOut, "%-5u %-17s %-17s %-15s %-15s %-8s %s\n", (unsigned)u32Line,
            Printable(strMac).c_str(), DsResultText(stOutcome.enResult), strOld.c_str(),
            strNew.c_str(), s8Ms, Printable(stOutcome.strReason).c_str());
    fflush(pOut);
}
