// SPDX-License-Identifier: MIT
/* ds_wire.cpp: explicit little-endian encode and decode of the discovery datagrams. */
#include "ds_wire.h"

#include <string.h>

namespace {

/* Header field offsets */
constexpr size_t HEAD_OFF_VEREXT = 0;
constexpr size_t HEAD_OFF_ACK = 2;
constexpr size_t HEAD_OFF_TYPE = 4;
constexpr size_t HEAD_OFF_SIZE = 8;
constexpr size_t HEAD_OFF_SEQ = 12;

/* Search reply body offsets (from the start of the body) */
constexpr size_t RSP_OFF_IP = 0;
constexpr size_t RSP_OFF_HOSTNAME = 16;
constexpr size_t RSP_OFF_NETMASK = 52;
constexpr size_t RSP_OFF_GATEWAY = 68;
constexpr size_t RSP_OFF_DNS1 = 84;
constexpr size_t RSP_OFF_DNS2 = 100;
constexpr size_t RSP_OFF_PORT = 116;
constexpr size_t RSP_OFF_IEPORT = 120;
constexpr size_t RSP_OFF_MODE = 124;
constexpr size_t RSP_OFF_DEVTYPE = 128;
constexpr size_t RSP_OFF_DEVTYPEULL = 156; /* not 8-aligned: the record is packed to 4 */
constexpr size_t RSP_OFF_DEVVER = 164;
constexpr size_t RSP_OFF_DEVICEID = 200;
constexpr size_t RSP_OFF_DEVNAME = 204;
constexpr size_t RSP_OFF_MAC = 240;
constexpr size_t RSP_OFF_CHANNELS = 276;
constexpr size_t RSP_OFF_VERSION = 280;
constexpr size_t RSP_OFF_P2PID = 282;

constexpr size_t RSP_LEN_ADDR = 16;
constexpr size_t RSP_LEN_NAME = 36;
constexpr size_t RSP_LEN_DEVTYPE = 28;
constexpr size_t RSP_LEN_P2PID = 38;

/* Modification request body offsets */
constexpr size_t REQ_OFF_MSGID = 0;
constexpr size_t REQ_OFF_USER = 16;
constexpr size_t REQ_OFF_PWD = 26;
constexpr size_t REQ_OFF_CIP = 40;
constexpr size_t REQ_OFF_IP = 44;
constexpr size_t REQ_OFF_MASK = 48;
constexpr size_t REQ_OFF_GW = 52;
constexpr size_t REQ_OFF_DNS1 = 56;
constexpr size_t REQ_OFF_DNS2 = 60;
constexpr size_t REQ_OFF_MPORT = 64;
constexpr size_t REQ_OFF_WPORT = 66;
constexpr size_t REQ_OFF_WMODE = 68;
constexpr size_t REQ_OFF_NEWFLAG = 69;
constexpr size_t REQ_OFF_SETMAC = 70;
constexpr size_t REQ_OFF_DEVTYPE = 72;
constexpr size_t REQ_OFF_MAC = 80;

static_assert(REQ_OFF_MAC + DS_MAC_FIELD_LEN == DS_MODIFY_BODY_EXT, "extended body is 116 bytes");
static_assert(RSP_OFF_P2PID + RSP_LEN_P2PID + 128 == DS_SEARCH_BODY_LEN, "reply body is 448");

void PutU16(U8* pu8Dst, U16 u16Val)
{
    pu8Dst[0] = (U8)(u16Val & 0xFF);
    pu8Dst[1] = (U8)(u16Val >> 8);
}

void PutU32(U8* pu8Dst, U32 u32Val)
{
    for (size_t i = 0; i < 4; ++i) pu8Dst[i] = (U8)(u32Val >> (8 * i));
}

void PutU64(U8* pu8Dst, U64 u64Val)
{
    for (size_t i = 0; i < 8; ++i) pu8Dst[i] = (U8)(u64Val >> (8 * i));
}

U16 GetU16(const U8* pu8Src)
{
    return (U16)(pu8Src[0] | (pu8Src[1] << 8));
}

U32 GetU32(const U8* pu8Src)
{
    U32 u32Val = 0;
    for (size_t i = 0; i < 4; ++i) u32Val |= (U32)pu8Src[i] << (8 * i);
    return u32Val;
}

U64 GetU64(const U8* pu8Src)
{
    U64 u64Val = 0;
    for (size_t i = 0; i < 8; ++i) u64Val |= (U64)pu8Src[i] << (8 * i);
    return u64Val;
}

/* A zero-padded text field: at most its width, up to the first NUL. */
std::string GetText(const U8* pu8Src, size_t u32Width)
{
    const void* pNul = memchr(pu8Src, 0, u32Width);
    const size_t u32Len = pNul ? (size_t)((const U8*)pNul - pu8Src) : u32Width;
    return std::string((const char*)pu8Src, u32Len);
}

/* Writes a text zero-padded to its field; refuses a text that does not fit. */
S32 PutText(U8* pu8Dst, size_t u32Width, const std::string& strText)
{
    if (strText.size() > u32Width || strText.find('\0') != std::string::npos) return -1;
    memcpy(pu8Dst, strText.data(), strText.size());
    memset(pu8Dst + strText.size(), 0, u32Width - strText.size());
    return 0;
}

void PutHead(U8* pu8Dst, WORD u16Type, U32 u32Size, U32 u32Seq)
{
    memset(pu8Dst, 0, DS_HEAD_LEN); /* Version 0, ExtSize 0, AckFlag 0, MsgSubType 0 */
    PutU16(pu8Dst + HEAD_OFF_TYPE, u16Type);
    PutU32(pu8Dst + HEAD_OFF_SIZE, u32Size);
    PutU32(pu8Dst + HEAD_OFF_SEQ, u32Seq);
}

}  // namespace

S32 DsEncodeSearch(U32 u32Seq, U8 (&pu8Out)[DS_SEARCH_REQ_LEN])
{
    PutHead(pu8Out, DS_MSG_SEARCH, 0, u32Seq);
    return (S32)sizeof(pu8Out);
}

S32 DsDecodeSearchReply(const U8* pu8Buf, S32 s32Len, U32 u32Seq, DsDevice* pstDev)
{
    if (pu8Buf == nullptr || pstDev == nullptr) return -1;
    /* The body always starts at 16, whatever ExtSize says; a reply is 464 bytes. */
    if (s32Len < 0 || (size_t)s32Len < DS_SEARCH_RSP_LEN) return -1;
    const U16 u16Type = GetU16(pu8Buf + HEAD_OFF_TYPE);
    if (u16Type != DS_MSG_SEARCH && u16Type != DS_MSG_SEARCH_2 && u16Type != DS_MSG_SEARCH_3) {
        return -1;
    }
    if (GetU32(pu8Buf + HEAD_OFF_SEQ) != u32Seq) return -1;
    if (GetU32(pu8Buf + HEAD_OFF_SIZE) < DS_SEARCH_BODY_LEN) return -1;

    const U8* pu8Body = pu8Buf + DS_HEAD_LEN;
    DsDevice stDev;
    stDev.strIp = GetText(pu8Body + RSP_OFF_IP, RSP_LEN_ADDR);
    stDev.strHostName = GetText(pu8Body + RSP_OFF_HOSTNAME, RSP_LEN_NAME);
    stDev.strNetMask = GetText(pu8Body + RSP_OFF_NETMASK, RSP_LEN_ADDR);
    stDev.strGateWay = GetText(pu8Body + RSP_OFF_GATEWAY, RSP_LEN_ADDR);
    stDev.strDns1 = GetText(pu8Body + RSP_OFF_DNS1, RSP_LEN_ADDR);
    stDev.strDns2 = GetText(pu8Body + RSP_OFF_DNS2, RSP_LEN_ADDR);
    stDev.u32Port = GetU32(pu8Body + RSP_OFF_PORT);
    stDev.u32IePort = GetU32(pu8Body + RSP_OFF_IEPORT);
    stDev.u32NetworkMode = GetU32(pu8Body + RSP_OFF_MODE);
    stDev.strDevType = GetText(pu8Body + RSP_OFF_DEVTYPE, RSP_LEN_DEVTYPE);
    stDev.u64DevType = GetU64(pu8Body + RSP_OFF_DEVTYPEULL);
    stDev.strDevVer = GetText(pu8Body + RSP_OFF_DEVVER, RSP_LEN_NAME);
    stDev.u32DeviceId = GetU32(pu8Body + RSP_OFF_DEVICEID);
    stDev.strDeviceName = GetText(pu8Body + RSP_OFF_DEVNAME, RSP_LEN_NAME);
    stDev.strMacAddr = GetText(pu8Body + RSP_OFF_MAC, DS_MAC_FIELD_LEN);
    stDev.u32ChannelNum = GetU32(pu8Body + RSP_OFF_CHANNELS);
    stDev.u8RecVersion = pu8Body[RSP_OFF_VERSION];
    stDev.strP2pId = GetText(pu8Body + RSP_OFF_P2PID, RSP_LEN_P2PID);
    *pstDev = stDev;
    return 0;
}

S32 DsEncodeModify(const DsModifyReq& stReq, U32 u32Seq, U8 (&pu8Out)[DS_MODIFY_REQ_MAX])
{
    U8 u8Buf[DS_MODIFY_REQ_MAX] = {};
    const size_t u32Body = stReq.bExtended ? DS_MODIFY_BODY_EXT : DS_MODIFY_BODY_LEGACY;
    PutHead(u8Buf, DS_MSG_MODIFY, (U32)u32Body, u32Seq);

    U8* pu8Body = u8Buf + DS_HEAD_LEN;
    memcpy(pu8Body + REQ_OFF_MSGID, stReq.au8MsgId, sizeof(stReq.au8MsgId));
    if (PutText(pu8Body + REQ_OFF_USER, DS_USER_LEN, stReq.strUser) != 0) return -1;
    if (PutText(pu8Body + REQ_OFF_PWD, DS_PWD_LEN, stReq.strPwd) != 0) return -1;
    memcpy(pu8Body + REQ_OFF_CIP, stReq.au8Cip, sizeof(stReq.au8Cip));
    memcpy(pu8Body + REQ_OFF_IP, stReq.au8Ip, sizeof(stReq.au8Ip));
    memcpy(pu8Body + REQ_OFF_MASK, stReq.au8Mask, sizeof(stReq.au8Mask));
    memcpy(pu8Body + REQ_OFF_GW, stReq.au8Gw, sizeof(stReq.au8Gw));
    memcpy(pu8Body + REQ_OFF_DNS1, stReq.au8Dns1, sizeof(stReq.au8Dns1));
    memcpy(pu8Body + REQ_OFF_DNS2, stReq.au8Dns2, sizeof(stReq.au8Dns2));
    PutU16(pu8Body + REQ_OFF_MPORT, stReq.u16MediaPort);
    PutU16(pu8Body + REQ_OFF_WPORT, stReq.u16WebPort);
    pu8Body[REQ_OFF_WMODE] = stReq.bModeValid ? stReq.u8Mode : 0;
    pu8Body[REQ_OFF_NEWFLAG] = stReq.bModeValid ? 1 : 0;
    pu8Body[REQ_OFF_SETMAC] = stReq.bSetMac ? 1 : 0;
    if (stReq.bExtended) {
        PutU64(pu8Body + REQ_OFF_DEVTYPE, stReq.u64DevType);
        if (PutText(pu8Body + REQ_OFF_MAC, DS_MAC_FIELD_LEN, stReq.strMac) != 0) return -1;
    } else if (stReq.bSetMac) {
        return -1; /* the MAC to set travels in macAddr, which only the extended form has */
    }

    memcpy(pu8Out, u8Buf, sizeof(u8Buf));
    return (S32)(DS_HEAD_LEN + u32Body);
}

S32 DsDecodeModifyReply(const U8* pu8Buf, S32 s32Len, U32 u32Seq,
                        const U8 (&pu8MsgId)[DS_MSGID_LEN], U16* pu16Ack)
{
    if (pu8Buf == nullptr || pu16Ack == nullptr) return -1;
    if (s32Len < 0 || (size_t)s32Len < DS_HEAD_LEN) return -1;
    if (GetU16(pu8Buf + HEAD_OFF_TYPE) != DS_MSG_MODIFY) return -1;
    if (GetU32(pu8Buf + HEAD_OFF_SEQ) != u32Seq) return -1;
    /* The reply honours the request's ExtSize: the body follows 4 x ExtSize zero bytes. */
    const size_t u32Ext = (size_t)(pu8Buf[HEAD_OFF_VEREXT] >> 2) * 4;
    if ((size_t)s32Len < DS_HEAD_LEN + u32Ext + DS_MODIFY_RSP_BODY_LEN) return -1;
    if (GetU32(pu8Buf + HEAD_OFF_SIZE) < DS_MODIFY_RSP_BODY_LEN) return -1;
    if (memcmp(pu8Buf + DS_HEAD_LEN + u32Ext, pu8MsgId, sizeof(pu8MsgId)) != 0) return -1;
    *pu16Ack = GetU16(pu8Buf + HEAD_OFF_ACK);
    return 0;
}
