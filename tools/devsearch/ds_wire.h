// SPDX-License-Identifier: MIT
/* ds_wire.h: the discovery datagrams as the management client sends and reads them.
 *
 *   U8 u8Buf[DS_SEARCH_REQ_LEN]; DsEncodeSearch(u32Seq, u8Buf);            // send it
 *   DsDevice stDev; if (DsDecodeSearchReply(pu8Rx, s32Len, u32Seq, &stDev) == 0) ...
 *
 * Every field is written and read byte by byte at its offset, little-endian, so the
 * client is right on any host and never depends on how a compiler packs a struct.
 * Offsets are those of the datagram (header at 0, body at 16). */
#ifndef DEVSEARCH_DS_WIRE_H
#define DEVSEARCH_DS_WIRE_H

#include <stddef.h>
#include <string>

#include "type.h"

constexpr int DS_UDP_PORT = 9333;

/* Message types */
constexpr WORD DS_MSG_SEARCH = 11;
constexpr WORD DS_MSG_SEARCH_2 = 618;
constexpr WORD DS_MSG_SEARCH_3 = 620;
constexpr WORD DS_MSG_MODIFY = 12;

/* Header (16 bytes): byte 0 = Version (bits 0-1) | ExtSize << 2, 1 Reserved,
 * 2 AckFlag, 4 MsgType, 6 MsgSubType, 8 MsgSize, 12 Seq. */
constexpr size_t DS_HEAD_LEN = 16;
constexpr size_t DS_SEARCH_REQ_LEN = DS_HEAD_LEN;
constexpr size_t DS_SEARCH_BODY_LEN = 448;
constexpr size_t DS_SEARCH_RSP_LEN = DS_HEAD_LEN + DS_SEARCH_BODY_LEN; /* 464 */
constexpr size_t DS_MODIFY_BODY_LEGACY = 72;
constexpr size_t DS_MODIFY_BODY_EXT = 116;
constexpr size_t DS_MODIFY_REQ_MAX = DS_HEAD_LEN + DS_MODIFY_BODY_EXT; /* 132 */
constexpr size_t DS_MSGID_LEN = 16;
constexpr size_t DS_MODIFY_RSP_BODY_LEN = DS_MSGID_LEN;

/* Text field widths */
constexpr size_t DS_USER_LEN = 10;
constexpr size_t DS_PWD_LEN = 14;
constexpr size_t DS_MAC_FIELD_LEN = 36;

/* What one search reply says about a device. Texts are cut at their field width
 * and at the first NUL; nothing else is changed (output code sanitises them). */
typedef struct {
    std::string strIp;
    std::string strHostName;
    std::string strNetMask;
    std::string strGateWay;
    std::string strDns1;
    std::string strDns2;
    U32 u32Port;        /* media port */
    U32 u32IePort;      /* web port */
    U32 u32NetworkMode; /* 0 DHCP, 2 static, 0xFFFFFFFF none reported */
    std::string strDevType;
    U64 u64DevType;
    std::string strDevVer;
    U32 u32DeviceId;
    std::string strDeviceName;
    std::string strMacAddr;
    U32 u32ChannelNum;
    U8 u8RecVersion;
    std::string strP2pId;
    std::string strIfName; /* arrival interface on the client; filled by the network side */
} DsDevice;

/* What a modification request carries. Addresses are four bytes, first octet first. */
typedef struct {
    U8 au8MsgId[DS_MSGID_LEN];
    std::string strUser; /* at most DS_USER_LEN bytes */
    std::string strPwd;  /* at most DS_PWD_LEN bytes */
    U8 au8Cip[4];        /* the target's current address */
    U8 au8Ip[4];
    U8 au8Mask[4];
    U8 au8Gw[4];
    U8 au8Dns1[4];
    U8 au8Dns2[4];
    U16 u16MediaPort;
    U16 u16WebPort;
    BOOL bModeValid;    /* false: no mode carried (device stores static) */
    U8 u8Mode;          /* 0 DHCP, 2 static; used when bModeValid */
    BOOL bSetMac;       /* set the MAC from strMac instead of the addresses */
    BOOL bExtended;     /* 116-byte body with devTypeULL and macAddr */
    U64 u64DevType;     /* extended form: the target's device type code */
    std::string strMac; /* extended form: target MAC text, or the MAC to set */
} DsModifyReq;

/* DsEncodeSearch: the 16-byte search request (type 11, MsgSize 0).
 * u32Seq  [in]  the requester's sequence number, echoed by the device
 * pu8Out  [out] DS_SEARCH_REQ_LEN bytes
 * return DS_SEARCH_REQ_LEN */
S32 DsEncodeSearch(U32 u32Seq, U8 (&pu8Out)[DS_SEARCH_REQ_LEN]);

/* DsDecodeSearchReply: one search reply datagram.
 * pu8Buf, s32Len [in] the datagram as received
 * u32Seq         [in] the Seq our request carried; replies to other requests are refused
 * pstDev         [out] written only on success (strIfName left empty)
 * return 0, or -1 (too short, wrong type, wrong Seq or MsgSize) */
S32 DsDecodeSearchReply(const U8* pu8Buf, S32 s32Len, U32 u32Seq, DsDevice* pstDev);

/* DsEncodeModify: a modification request datagram (type 12).
 * The first form is 88 bytes with MsgSize 72; the extended form 132 bytes with MsgSize 116.
 * Text fields are zero-padded and carry no terminator when full; texts longer than their
 * field are refused, never cut (a cut user name or MAC could address something else).
 * return the datagram length, or -1 (a text too long for its field) */
S32 DsEncodeModify(const DsModifyReq& stReq, U32 u32Seq, U8 (&pu8Out)[DS_MODIFY_REQ_MAX]);

/* DsDecodeModifyReply: a modification reply; the body starts after 16 + 4 x ExtSize bytes.
 * pu8MsgId [in]  the msgid our request carried
 * pu16Ack  [out] the reply's AckFlag; written only on success
 * return 0, or -1 (too short, wrong type, Seq or msgid) */
S32 DsDecodeModifyReply(const U8* pu8Buf, S32 s32Len, U32 u32Seq,
                        const U8 (&pu8MsgId)[DS_MSGID_LEN], U16* pu16Ack);

#endif /* DEVSEARCH_DS_WIRE_H */
