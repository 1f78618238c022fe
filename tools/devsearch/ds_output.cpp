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

std::string JsonString(const std::string& strIn)
{
    std::string strOut = "\"";
    const unsigned char* p = (const unsigned char*)strIn.data();
    const size_t u32Len = strIn.size();
    for (size_t i = 0; i < u32Len;) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            strOut += '\\';
            strOut += (char)c;
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char s8Esc[8];
            const int n = snprintf(s8Esc, sizeof(s8Esc), "\\u%04x", c);
            if (n > 0 && (size_t)n < sizeof(s8Esc)) strOut.append(s8Esc, (size_t)n);
            ++i;
        } else if (c < 0x80) {
            strOut += (char)c;
            ++i;
        } else {
            const size_t u32Seq = Utf8SeqLen(p + i, u32Len - i);
            if (u32Seq == 0) {
                strOut += "\\ufffd";
                ++i;
            } else {
                strOut.append((const char*)p + i, u32Seq);
                i += u32Seq;
            }
        }
    }
    strOut += '"';
    return strOut;
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

std::string DsJsonLine(const DsDevice& stDev)
{
    std::string s = "{";
    s += "\"ip\":" + JsonString(stDev.strIp);
    s += ",\"netmask\":" + JsonString(stDev.strNetMask);
    s += ",\"gateway\":" + JsonString(stDev.strGateWay);
    s += ",\"dns1\":" + JsonString(stDev.strDns1);
    s += ",\"dns2\":" + JsonString(stDev.strDns2);
    s += ",\"mac\":" + JsonString(stDev.strMacAddr);
    s += ",\"mode\":" + JsonString(DsModeText(stDev.u32NetworkMode));
    s += ",\"media_port\":" + NumText(stDev.u32Port);
    s += ",\"web_port\":" + NumText(stDev.u32IePort);
    s += ",\"device_type\":" + JsonString(stDev.strDevType);
    s += ",\"device_type_code\":" + JsonString(TypeCodeText(stDev.u64DevType));
    s += ",\"version\":" + JsonString(stDev.strDevVer);
    s += ",\"device_id\":" + NumText(stDev.u32DeviceId);
    s += ",\"name\":" + JsonString(stDev.strDeviceName);
    s += ",\"hostname\":" + JsonString(stDev.strHostName);
    s += ",\"channels\":" + NumText(stDev.u32ChannelNum);
    s += ",\"p2p_id\":" + JsonString(stDev.strP2pId);
    s += ",\"interface\":" + JsonString(stDev.strIfName);
    s += "}";
    return s;
}

void DsPrintTable(const std::vector<DsDevice>& vecDevs, FILE* pOut)
{
    if (pOut == nullptr) return;
    fprintf(pOut, "%-15s %-15s %-15s %-17s %-6s %5s %5s %-18s %-12s %-12s %3s %s\n", "ADDRESS",
            "NETMASK", "GATEWAY", "MAC", "MODE", "MEDIA", "WEB", "TYPE", "VERSION", "NAME", "CH",
            "IFACE");
    for (const DsDevice& stDev : vecDevs) {
        fprintf(pOut, "%-15s %-15s %-15s %-17s %-6s %5s %5s %-18s %-12s %-12s %3s %s\n",
                Printable(stDev.strIp).c_str(), Printable(stDev.strNetMask).c_str(),
                Printable(stDev.strGateWay).c_str(), Printable(stDev.strMacAddr).c_str(),
                DsModeText(stDev.u32NetworkMode).c_str(), NumText(stDev.u32Port).c_str(),
                NumText(stDev.u32IePort).c_str(), TypeCodeText(stDev.u64DevType).c_str(),
                Printable(stDev.strDevVer).c_str(), Printable(stDev.strDeviceName).c_str(),
                NumText(stDev.u32ChannelNum).c_str(), Printable(stDev.strIfName).c_str());
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
    }
    return "no_reply";
}

std::string DsJsonOutcome(const DsOutcome_S& stOutcome)
{
    const DsDevice& stDev = stOutcome.stDevice;
    const DsModifyReq& stReq = stOutcome.stReq;
    std::string strOld = "null";
    std::string strNew = "null";
    if (stOutcome.bSetMac) {
        if (stOutcome.bHasDevice) strOld = "{\"mac\":" + JsonString(stDev.strMacAddr) + "}";
        if (stOutcome.bHasRequest) strNew = "{\"mac\":" + JsonString(stReq.strMac) + "}";
    } else {
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
    std::string s = "{";
    s += "\"result\":" + JsonString(DsResultText(stOutcome.enResult));
    s += ",\"command\":" + JsonString(stOutcome.bSetMac ? "set-mac" : "modify");
    s += ",\"reason\":" + JsonString(stOutcome.strReason);
    s += ",\"confirmed_by\":" + JsonString(stOutcome.strConfirmedBy);
    s += ",\"ack_flag\":" + (stOutcome.bHasAck ? NumText(stOutcome.u16Ack) : std::string("null"));
    s += ",\"device\":" + (stOutcome.bHasDevice ? DsJsonLine(stDev) : std::string("null"));
    s += ",\"old\":" + strOld;
    s += ",\"new\":" + strNew;
    s += "}";
    return s;
}
