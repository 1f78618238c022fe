// SPDX-License-Identifier: MIT
/* bcast_check.cpp: the checks a modification request passes before anything
 * is written: a static address, netmask and gateway that can work, a MAC text
 * that is a unicast address once the settings provider has converted it, and
 * for a MAC set a destination that is this camera alone. */
#include <arpa/inet.h>
#include <string.h>

#include "bcast_serv_internal.h"
#include "intf_mactext.h"

namespace {

U32 AddrToHost(const U8* pu8Addr)
{
    return ((U32)pu8Addr[0] << 24) | ((U32)pu8Addr[1] << 16) | ((U32)pu8Addr[2] << 8) |
           (U32)pu8Addr[3];
}

}  // namespace

const char* BcastCheckStaticAddr(const U8* pu8Ip, const U8* pu8Mask, const U8* pu8Gw)
{
    const U32 u32Ip = AddrToHost(pu8Ip);
    const U32 u32Mask = AddrToHost(pu8Mask);
    const U32 u32Gw = AddrToHost(pu8Gw);
    if (u32Ip == 0) return "address 0.0.0.0";
    if (u32Ip == 0xFFFFFFFFu) return "address 255.255.255.255";
    if ((u32Ip >> 24) == 127) return "loopback address";
    if ((u32Ip >> 24) >= 224) return "multicast or reserved address";
    if (u32Mask == 0) return "netmask 0.0.0.0";
    /* Contiguous: the inverted mask plus one is a power of two. */
    const U32 u32Host = ~u32Mask;
    if ((u32Host & (u32Host + 1)) != 0) return "netmask not contiguous";
    /* /31 and /32 leave no host besides the network and broadcast addresses. */
    if (u32Host < 3) return "netmask /31 or /32 leaves no host addresses";
    const U32 u32Net = u32Ip & u32Mask;
    const U32 u32Bcast = u32Net | u32Host;
    if (u32Ip == u32Net) return "address is its subnet's network address";
    if (u32Ip == u32Bcast) return "address is its subnet's broadcast address";
    if (u32Gw == 0) return nullptr; /* no gateway: the subnet alone */
    if ((u32Gw & u32Mask) != u32Net) return "gateway outside the new subnet";
    if (u32Gw == u32Ip) return "gateway equals the address";
    if (u32Gw == u32Net) return "gateway is the subnet's network address";
    if (u32Gw == u32Bcast) return "gateway is the subnet's broadcast address";
    return nullptr;
}

BOOL BcastIsOwnAddress(const struct in_addr& stDst, const struct in_addr& stLocal)
{
    const U32 u32Dst = ntohl(stDst.s_addr);
    /* Said outright for the addresses that are never a host's own, whatever
     * a kernel reports beside them. */
    if (u32Dst == 0 || u32Dst == 0xFFFFFFFFu || (u32Dst >> 28) == 0xE) return false;
    return stDst.s_addr == stLocal.s_addr;
}

const char* BcastCheckMacText(const S8* ps8Mac, size_t uFieldLen)
{
    /* The provider's own conversion, run on a copy of the field. */
    S8 s8Text[64] = {};
    const size_t uLen =
        strnlen(ps8Mac, uFieldLen < sizeof(s8Text) - 1 ? uFieldLen : sizeof(s8Text) - 1);
    memcpy(s8Text, ps8Mac, uLen);
    constexpr size_t MAC_TEXT_LEN = 17; /* "hh:hh:hh:hh:hh:hh" */
    if (NetMacDashesToColons(s8Text, uLen) != MAC_TEXT_LEN) return "MAC text is not six hex pairs";
    U8 u8Mac[6] = {};
    for (size_t i = 0; i < sizeof(u8Mac); ++i) {
        const S8* ps8Pair = s8Text + 3 * i;
        const S32 s32High = NetMacHexValue(ps8Pair[0]);
        const S32 s32Low = NetMacHexValue(ps8Pair[1]);
        if (s32High < 0 || s32Low < 0) return "MAC text is not six hex pairs";
        if (i + 1 < sizeof(u8Mac) && ps8Pair[2] != ':') return "MAC text is not six hex pairs";
        u8Mac[i] = (U8)(s32High << 4 | s32Low);
    }
    static const U8 u8Zero[6] = {};
    if (memcmp(u8Mac, u8Zero, sizeof(u8Mac)) == 0) return "MAC address all zero";
    if ((u8Mac[0] & 0x01) != 0) return "MAC address is a group address";
    return nullptr;
}
