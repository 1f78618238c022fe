// SPDX-License-Identifier: MIT
/* VXNetParameter.h: the basic network settings record that crosses the
 * device facade (first pointer of NetBasicParamAdapter).
 *
 * The main application owns this layout: 272 bytes, the fields back to back
 * with no padding, addresses as 4 bytes in dotted-text order (first octet at
 * the lowest address, never byte-swapped). Packed, so PPPoEIPaddr really sits
 * at 255: copy fields out with memcpy rather than through a wider pointer. */
#ifndef INTERFACE_VXNETPARAMETER_H
#define INTERFACE_VXNETPARAMETER_H

#include <stddef.h>

#include "type.h"

#define VXNET_ADDR_LEN 4  /* one IPv4 address */
#define VXNET_TEXT_LEN 36 /* the user, password, APN and dial-code texts */

#pragma pack(push, 1)
typedef struct {
    UINT StructSize; /* size of the record: 272 */
    BYTE IPAddr[VXNET_ADDR_LEN];
    BYTE NetMask[VXNET_ADDR_LEN];
    BYTE GateWay[VXNET_ADDR_LEN];
    UINT Port; /* media port */
    UINT WebPort;
    BYTE NetworkMode; /* 0 = DHCP; other = static (the discovery server uses 2) */
    BYTE UseUPNP;
    WORD MobilePort;
    BYTE dns1[VXNET_ADDR_LEN];
    BYTE dns2[VXNET_ADDR_LEN];
    S8 PPPOEuser[VXNET_TEXT_LEN];
    S8 Password[VXNET_TEXT_LEN]; /* PPPoE password */
    S8 APN[VXNET_TEXT_LEN];      /* mobile access point name */
    S8 DialCode[VXNET_TEXT_LEN];
    S8 WirelessUser[VXNET_TEXT_LEN];
    S8 WirelessPwd[VXNET_TEXT_LEN];
    BYTE EncodeFlag;
    BYTE WANWkIn;
    BYTE PPPoEState;
    BYTE PPPoEIPaddr[VXNET_ADDR_LEN]; /* address obtained by PPPoE; unaligned */
    BYTE BandWidth;
    BYTE RtspAuthType;
    BYTE UseVideoPwd;
    WORD IpKBPort; /* network keyboard port; unaligned */
    BYTE UPnP_TMEnable;
    BYTE UseIPV6;
    BYTE reserve[6];
} VXNet_NetworkBaseSet_t;
#pragma pack(pop)

static_assert(sizeof(VXNet_NetworkBaseSet_t) == 272, "VXNet_NetworkBaseSet_t is 272 bytes");
static_assert(offsetof(VXNet_NetworkBaseSet_t, StructSize) == 0, "StructSize");
static_assert(offsetof(VXNet_NetworkBaseSet_t, IPAddr) == 4, "IPAddr");
static_assert(offsetof(VXNet_NetworkBaseSet_t, NetMask) == 8, "NetMask");
static_assert(offsetof(VXNet_NetworkBaseSet_t, GateWay) == 12, "GateWay");
static_assert(offsetof(VXNet_NetworkBaseSet_t, Port) == 16, "Port");
static_assert(offsetof(VXNet_NetworkBaseSet_t, WebPort) == 20, "WebPort");
static_assert(offsetof(VXNet_NetworkBaseSet_t, NetworkMode) == 24, "NetworkMode");
static_assert(offsetof(VXNet_NetworkBaseSet_t, UseUPNP) == 25, "UseUPNP");
static_assert(offsetof(VXNet_NetworkBaseSet_t, MobilePort) == 26, "MobilePort");
static_assert(offsetof(VXNet_NetworkBaseSet_t, dns1) == 28, "dns1");
static_assert(offsetof(VXNet_NetworkBaseSet_t, dns2) == 32, "dns2");
static_assert(offsetof(VXNet_NetworkBaseSet_t, PPPOEuser) == 36, "PPPOEuser");
static_assert(offsetof(VXNet_NetworkBaseSet_t, Password) == 72, "Password");
static_assert(offsetof(VXNet_NetworkBaseSet_t, APN) == 108, "APN");
static_assert(offsetof(VXNet_NetworkBaseSet_t, DialCode) == 144, "DialCode");
static_assert(offsetof(VXNet_NetworkBaseSet_t, WirelessUser) == 180, "WirelessUser");
static_assert(offsetof(VXNet_NetworkBaseSet_t, WirelessPwd) == 216, "WirelessPwd");
static_assert(offsetof(VXNet_NetworkBaseSet_t, EncodeFlag) == 252, "EncodeFlag");
static_assert(offsetof(VXNet_NetworkBaseSet_t, WANWkIn) == 253, "WANWkIn");
static_assert(offsetof(VXNet_NetworkBaseSet_t, PPPoEState) == 254, "PPPoEState");
static_assert(offsetof(VXNet_NetworkBaseSet_t, PPPoEIPaddr) == 255,
              "PPPoEIPaddr follows PPPoEState");
static_assert(offsetof(VXNet_NetworkBaseSet_t, BandWidth) == 259, "BandWidth");
static_assert(offsetof(VXNet_NetworkBaseSet_t, RtspAuthType) == 260, "RtspAuthType");
static_assert(offsetof(VXNet_NetworkBaseSet_t, UseVideoPwd) == 261, "UseVideoPwd");
static_assert(offsetof(VXNet_NetworkBaseSet_t, IpKBPort) == 262, "IpKBPort");
static_assert(offsetof(VXNet_NetworkBaseSet_t, UPnP_TMEnable) == 264, "UPnP_TMEnable");
static_assert(offsetof(VXNet_NetworkBaseSet_t, UseIPV6) == 265, "UseIPV6");
static_assert(offsetof(VXNet_NetworkBaseSet_t, reserve) == 266, "reserve");

#endif /* INTERFACE_VXNETPARAMETER_H */
