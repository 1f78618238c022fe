// SPDX-License-Identifier: MIT
/* VXNetProtocol.h: the datagrams of the discovery port (UDP 9333).
 *
 *   MsgHead stHead;
 *   memcpy(&stHead, pu8Buf, sizeof(stHead));          // never cast the buffer
 *   const U16 u16Type = VXNetLe16(stHead.MsgType);    // wire -> host
 *   stHead.MsgSize = VXNetLe32(sizeof(SearchDevRsp)); // host -> wire
 *
 * Every record holds its multi-byte integers exactly as they travel: little
 * endian, never in network order. VXNetLe16/32/64 convert in either direction
 * (identity on a little-endian host), so a big-endian build reads and writes the
 * same bytes. IPv4 addresses are 4 bytes, first octet first. Text fields are
 * zero-padded and carry no terminator when full. */
#ifndef INTERFACE_VXNETPROTOCOL_H
#define INTERFACE_VXNETPROTOCOL_H

#include <stddef.h>

#include "type.h"

/* Message type codes (MsgHead.MsgType). */
// clang-format off
#define MSG_TYPE_SEARCH        11   /* search; reply BCAST_DEV_MSG_S */
#define MSG_TYPE_MDEVINFO      12   /* network modification; reply NetMDevInfoRsp */
#define MSG_TYPE_SEARCH_CUSTOM 618  /* search, answered only on customised products */
#define MSG_TYPE_SEARCH_EXT    620  /* search, handled exactly as MSG_TYPE_SEARCH */
// clang-format on

#if !defined(__BYTE_ORDER__) || !defined(__ORDER_LITTLE_ENDIAN__) || !defined(__ORDER_BIG_ENDIAN__)
#error "VXNetProtocol.h needs the compiler's __BYTE_ORDER__ macros"
#endif

/* Integers travel little-endian: as they are on a little-endian host, byte
 * swapped on a big-endian one (both ways). */
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline U16 VXNetLe16(U16 u16Val)
{
    return u16Val;
}
inline U32 VXNetLe32(U32 u32Val)
{
    return u32Val;
}
inline U64 VXNetLe64(U64 u64Val)
{
    return u64Val;
}
#else
inline U16 VXNetLe16(U16 u16Val)
{
    return __builtin_bswap16(u16Val);
}
inline U32 VXNetLe32(U32 u32Val)
{
    return __builtin_bswap32(u32Val);
}
inline U64 VXNetLe64(U64 u64Val)
{
    return __builtin_bswap64(u64Val);
}
#endif

#pragma pack(push, 1)

/* Header of every datagram, 16 bytes. Byte 0: Version in bits 0-1, ExtSize (the
 * number of 4-byte words between a header and its body) in bits 2-7. */
typedef struct {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    BYTE Version : 2; /* never tested; echoed */
    BYTE ExtSize : 6; /* only places the body of a modification reply */
#else
    BYTE ExtSize : 6; /* big-endian compilers fill bit fields from the top */
    BYTE Version : 2;
#endif
    BYTE Reserved;   /* echoed */
    WORD AckFlag;    /* result code of a reply; ignored in requests */
    WORD MsgType;    /* MSG_TYPE_* */
    WORD MsgSubType; /* ignored; echoed */
    UINT MsgSize;    /* body bytes, without header and extension words */
    UINT Seq;        /* requester's sequence number; echoed */
} MsgHead;

#pragma pack(pop)

#pragma pack(push, 4)

/* Search reply body, 448 bytes. Packed to 4, so the 64-bit DevTypeULL sits at
 * 156 (not a multiple of 8) and the record has no gap. */
typedef struct {
    S8 IP[16]; /* "%d.%d.%d.%d" of the arrival interface */
    S8 HostName[36];
    S8 NetMask[16];
    S8 GateWay[16]; /* "0.0.0.0" when there is none */
    S8 DNS1[16];
    S8 DNS2[16];
    UINT Port;        /* media port */
    UINT IEPort;      /* web port */
    UINT NetworkMode; /* 0 DHCP, 2 static, 0xFFFFFFFF when none was reported */
    S8 DevType[28];
    U64 DevTypeULL; /* numeric device type */
    S8 DevVer[36];
    UINT DeviceID;
    S8 DeviceName[36];
    S8 MacAddr[36];
    UINT ChannelNum;
    U8 Version;       /* of this record: always 1 */
    S8 cNetInterface; /* always 0 */
    S8 P2pID[38];     /* at most 32 characters; the last 6 bytes stay zero */
    BYTE reserved[128];
} SearchDevRsp;

/* Search reply datagram, 464 bytes: the body always follows the header at 16,
 * whatever ExtSize the header carries. */
typedef struct {
    MsgHead stMsgHeader;
    SearchDevRsp stMsgBody;
} BCAST_DEV_MSG_S;

#pragma pack(pop)

#pragma pack(push, 1)

/* Modification request body, first form, 72 bytes. */
typedef struct {
    S8 msgid[16]; /* requester's request id; copied into the reply */
    S8 user[10];
    S8 pwd[14];
    U8 cip[4]; /* the device's address as the requester knows it */
    U8 ip[4];  /* new address */
    U8 mask[4];
    U8 gw[4];
    U8 dns1[4];
    U8 dns2[4];
    WORD mport;       /* new media port */
    WORD wport;       /* new web port */
    BYTE wMode;       /* 0 DHCP, 2 static; valid only when wNewFlag != 0 */
    BYTE wNewFlag;    /* 0: no mode given, static is meant */
    BYTE ZizodSetMac; /* 1: set the MAC address from macAddr only */
    BYTE reserved;
} NetMDevInfoReq;

/* Modification request body, extended form, 116 bytes. A request with MsgSize
 * of at most 72 is the first form, whatever arrived after it. */
typedef struct {
    union {
        NetMDevInfoReq DevInfoReq;
        BYTE IpcName[64]; /* another view of the same bytes; unused */
    };
    U64 devTypeULL; /* must equal the device's numeric type */
    S8 macAddr[36]; /* the device's MAC text, or the MAC to set */
} NewNetMDevInfoReq;

/* Modification request datagram, 132 bytes: the largest datagram the daemon
 * reads; a first-form requester sends only the first 88. */
typedef struct {
    MsgHead stMsgHeader;
    NewNetMDevInfoReq stMsgBody;
} BCAST_DEVM_MSG_S;

/* Modification reply body, 16 bytes; it follows the header and ExtSize zero
 * words, unlike the search reply. */
typedef struct {
    S8 msgid[16];
} NetMDevInfoRsp;

#pragma pack(pop)

static_assert(sizeof(MsgHead) == 16, "MsgHead is 16 bytes on the wire");
static_assert(offsetof(MsgHead, AckFlag) == 2 && offsetof(MsgHead, MsgType) == 4 &&
                  offsetof(MsgHead, MsgSize) == 8 && offsetof(MsgHead, Seq) == 12,
              "MsgHead field offsets");
static_assert(sizeof(SearchDevRsp) == 448, "SearchDevRsp is 448 bytes on the wire");
static_assert(offsetof(SearchDevRsp, Port) == 116 && offsetof(SearchDevRsp, NetworkMode) == 124,
              "SearchDevRsp ports and mode");
static_assert(offsetof(SearchDevRsp, DevType) == 128 && offsetof(SearchDevRsp, DevTypeULL) == 156 &&
                  offsetof(SearchDevRsp, DevVer) == 164,
              "SearchDevRsp: DevTypeULL at 156, packed to 4");
static_assert(offsetof(SearchDevRsp, DeviceID) == 200 && offsetof(SearchDevRsp, MacAddr) == 240 &&
                  offsetof(SearchDevRsp, ChannelNum) == 276,
              "SearchDevRsp identity fields");
static_assert(offsetof(SearchDevRsp, Version) == 280 && offsetof(SearchDevRsp, P2pID) == 282 &&
                  offsetof(SearchDevRsp, reserved) == 320,
              "SearchDevRsp tail");
static_assert(sizeof(BCAST_DEV_MSG_S) == 464 && offsetof(BCAST_DEV_MSG_S, stMsgBody) == 16,
              "search reply datagram");
static_assert(sizeof(NetMDevInfoReq) == 72, "NetMDevInfoReq is 72 bytes on the wire");
static_assert(offsetof(NetMDevInfoReq, user) == 16 && offsetof(NetMDevInfoReq, pwd) == 26 &&
                  offsetof(NetMDevInfoReq, cip) == 40,
              "NetMDevInfoReq credentials and target");
static_assert(offsetof(NetMDevInfoReq, mport) == 64 && offsetof(NetMDevInfoReq, wMode) == 68 &&
                  offsetof(NetMDevInfoReq, ZizodSetMac) == 70,
              "NetMDevInfoReq ports and flags");
static_assert(sizeof(NewNetMDevInfoReq) == 116, "NewNetMDevInfoReq is 116 bytes on the wire");
static_assert(offsetof(NewNetMDevInfoReq, devTypeULL) == 72 &&
                  offsetof(NewNetMDevInfoReq, macAddr) == 80,
              "NewNetMDevInfoReq extension");
static_assert(sizeof(BCAST_DEVM_MSG_S) == 132 && offsetof(BCAST_DEVM_MSG_S, stMsgBody) == 16,
              "modification request datagram");
static_assert(sizeof(NetMDevInfoRsp) == 16, "NetMDevInfoRsp is 16 bytes on the wire");

#endif /* INTERFACE_VXNETPROTOCOL_H */
