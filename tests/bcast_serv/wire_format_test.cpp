// SPDX-License-Identifier: MIT
/* The discovery datagrams byte for byte. Every expected array below is written
 * from the protocol's field tables (offset, width, little-endian integers), or is
 * a datagram captured from the real daemon (tests/lib/datagrams.txt), never
 * produced by the records under test. */
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "VXNetProtocol.h"
#include "datagrams.h"

namespace {

template <typename T>
std::vector<U8> BytesOf(const T& stRec)
{
    std::vector<U8> vec(sizeof(T));
    memcpy(vec.data(), &stRec, sizeof(T));
    return vec;
}

/* A zero array of N bytes with a few runs set: (offset, bytes). */
struct ByteRun {
    size_t uOff;
    std::vector<U8> vecBytes;
};

std::vector<U8> Sparse(size_t uLen, const std::vector<ByteRun>& vecRuns)
{
    std::vector<U8> vec(uLen, 0);
    for (const ByteRun& stRun : vecRuns) {
        for (size_t i = 0; i < stRun.vecBytes.size(); ++i)
            vec.at(stRun.uOff + i) = stRun.vecBytes[i];
    }
    return vec;
}

TEST(WireHeader, FieldsTravelLittleEndianWithBitsOfByteZero)
{
    MsgHead stHead;
    memset(&stHead, 0, sizeof(stHead));
    stHead.Version = 1;
    stHead.ExtSize = 5;
    stHead.Reserved = 0x7E;
    stHead.AckFlag = VXNetLe16(0x1234);
    stHead.MsgType = VXNetLe16(620);
    stHead.MsgSubType = VXNetLe16(0xABCD);
    stHead.MsgSize = VXNetLe32(448);
    stHead.Seq = VXNetLe32(0x01020304);

    const std::vector<U8> vecExpected = {
        0x15,                   /* Version 1 in bits 0-1, ExtSize 5 in bits 2-7 */
        0x7E,                   /* Reserved */
        0x34, 0x12,             /* AckFlag */
        0x6C, 0x02,             /* MsgType 620 */
        0xCD, 0xAB,             /* MsgSubType */
        0xC0, 0x01, 0x00, 0x00, /* MsgSize 448 */
        0x04, 0x03, 0x02, 0x01, /* Seq */
    };
    EXPECT_EQ(BytesOf(stHead), vecExpected);
}

TEST(WireHeader, ByteZeroSplitsIntoVersionAndExtSize)
{
    const struct {
        U8 u8Byte0;
        unsigned uVersion;
        unsigned uExtSize;
    } astCases[] = {{0x00, 0, 0},  {0x03, 3, 0},  {0x04, 0, 1},
                    {0xFC, 0, 63}, {0xFF, 3, 63}, {0x0E, 2, 3}};
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(testing::Message() << "byte 0 = " << unsigned(stCase.u8Byte0));
        U8 u8Raw[sizeof(MsgHead)] = {stCase.u8Byte0, 0, 0, 0, 12, 0};
        MsgHead stHead;
        memcpy(&stHead, u8Raw, sizeof(stHead));
        EXPECT_EQ(unsigned(stHead.Version), stCase.uVersion);
        EXPECT_EQ(unsigned(stHead.ExtSize), stCase.uExtSize);
        EXPECT_EQ(VXNetLe16(stHead.MsgType), 12);
    }
}

TEST(WireSearchReply, NumbersAndTextsSitAtTheirOffsets)
{
    BCAST_DEV_MSG_S stMsg;
    memset(&stMsg, 0, sizeof(stMsg));
    SearchDevRsp& stRsp = stMsg.stMsgBody;
    memcpy(stRsp.IP, "10.0.0.5", 8);
    memset(stRsp.HostName, 'h', sizeof(stRsp.HostName)); /* full: no terminator */
    stRsp.Port = VXNetLe32(85);
    stRsp.IEPort = VXNetLe32(0x1F90);
    stRsp.NetworkMode = VXNetLe32(0xFFFFFFFFu);
    stRsp.DevTypeULL = VXNetLe64(0x5658040200080000ULL);
    stRsp.DeviceID = VXNetLe32(1010);
    memcpy(stRsp.MacAddr, "00-11", 5);
    stRsp.ChannelNum = VXNetLe32(4);
    stRsp.Version = 1;
    stRsp.P2pID[31] = 'p';

    std::vector<ByteRun> vecRuns = {
        {16 + 0, {'1', '0', '.', '0', '.', '0', '.', '5'}},           /* IP */
        {16 + 116, {0x55, 0x00, 0x00, 0x00}},                         /* Port 85 */
        {16 + 120, {0x90, 0x1F, 0x00, 0x00}},                         /* IEPort */
        {16 + 124, {0xFF, 0xFF, 0xFF, 0xFF}},                         /* NetworkMode -1 */
        {16 + 156, {0x00, 0x00, 0x08, 0x00, 0x02, 0x04, 0x58, 0x56}}, /* DevTypeULL */
        {16 + 200, {0xF2, 0x03, 0x00, 0x00}},                         /* DeviceID 1010 */
        {16 + 240, {'0', '0', '-', '1', '1'}},                        /* MacAddr */
        {16 + 276, {0x04, 0x00, 0x00, 0x00}},                         /* ChannelNum */
        {16 + 280, {0x01}},                                           /* Version */
        {16 + 282 + 31, {'p'}},                                       /* P2pID, 32nd character */
    };
    vecRuns.push_back({16 + 16, std::vector<U8>(36, 'h')}); /* HostName, all 36 bytes */
    EXPECT_EQ(BytesOf(stMsg), Sparse(464, vecRuns));
}

TEST(WireModifyRequest, ExtendedFormReadsFromAHandWrittenDatagram)
{
    /* 132 bytes as an extended-form client sends them. */
    const std::vector<U8> vecDatagram = Sparse(
        132,
        {
            {0,
             {0x08, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x74, 0x00, 0x00, 0x00, 9, 0, 0, 0}},
            {16, {'I', 'D', '0', '1'}},      /* msgid */
            {32, {'a', 'd', 'm', 'i', 'n'}}, /* user */
            {42, {'1', '2', '3', '4'}},      /* pwd */
            {56, {192, 168, 1, 10}},         /* cip */
            {60, {10, 1, 0, 1}},             /* ip */
            {64, {255, 255, 255, 0}},        /* mask */
            {68, {10, 1, 0, 254}},           /* gw */
            {72, {8, 8, 8, 8}},              /* dns1 */
            {76, {8, 8, 4, 4}},              /* dns2 */
            {80, {0x55, 0x00}},              /* mport 85 */
            {82, {0x90, 0x1F}},              /* wport 8080 */
            {84, {0x00, 0x01, 0x01, 0x00}},  /* wMode, wNewFlag, ZizodSetMac */
            {88, {0x00, 0x00, 0x08, 0x00, 0x02, 0x04, 0x58, 0x56}}, /* devTypeULL */
            {96, {'0', '0', '-', '1', '1'}},                        /* macAddr */
        });
    BCAST_DEVM_MSG_S stMsg;
    ASSERT_EQ(vecDatagram.size(), sizeof(stMsg));
    memcpy(&stMsg, vecDatagram.data(), sizeof(stMsg));

    EXPECT_EQ(unsigned(stMsg.stMsgHeader.ExtSize), 2u);
    EXPECT_EQ(VXNetLe16(stMsg.stMsgHeader.MsgType), 12);
    EXPECT_EQ(VXNetLe32(stMsg.stMsgHeader.MsgSize), 116u);
    EXPECT_EQ(VXNetLe32(stMsg.stMsgHeader.Seq), 9u);
    const NetMDevInfoReq& stReq = stMsg.stMsgBody.DevInfoReq;
    EXPECT_EQ(std::string(stReq.msgid, 4), "ID01");
    EXPECT_EQ(std::string(stReq.user, 5), "admin");
    EXPECT_EQ(std::string(stReq.pwd, 4), "1234");
    EXPECT_EQ(std::vector<U8>(stReq.cip, stReq.cip + 4), (std::vector<U8>{192, 168, 1, 10}));
    EXPECT_EQ(std::vector<U8>(stReq.gw, stReq.gw + 4), (std::vector<U8>{10, 1, 0, 254}));
    EXPECT_EQ(std::vector<U8>(stReq.dns2, stReq.dns2 + 4), (std::vector<U8>{8, 8, 4, 4}));
    EXPECT_EQ(VXNetLe16(stReq.mport), 85);
    EXPECT_EQ(VXNetLe16(stReq.wport), 8080);
    EXPECT_EQ(stReq.wMode, 0);
    EXPECT_EQ(stReq.wNewFlag, 1);
    EXPECT_EQ(stReq.ZizodSetMac, 1);
    EXPECT_EQ(VXNetLe64(stMsg.stMsgBody.devTypeULL), 0x5658040200080000ULL);
    EXPECT_EQ(std::string(stMsg.stMsgBody.macAddr, 5), "00-11");
    /* The alternative view covers the first 64 body bytes. */
    EXPECT_EQ(stMsg.stMsgBody.IpcName[40], 192);
}

TEST(WireModifyReply, BodyIsTheSixteenByteMsgid)
{
    NetMDevInfoRsp stRsp;
    memcpy(stRsp.msgid, "0123456789abcdef", sizeof(stRsp.msgid));
    const std::vector<U8> vecExpected = {'0', '1', '2', '3', '4', '5', '6', '7',
                                         '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    EXPECT_EQ(BytesOf(stRsp), vecExpected);
}

/* The captured search: the reply record filled with the camera's values is the
 * camera's reply, every byte of it, and the request is a bare header. */
TEST(WireSamples, SearchRecordsAreTheCapturedDatagrams)
{
    MsgHead stHead;
    memset(&stHead, 0, sizeof(stHead));
    stHead.MsgType = VXNetLe16(MSG_TYPE_SEARCH);
    stHead.Seq = VXNetLe32(0x101);
    EXPECT_EQ(BytesOf(stHead), camtest::SampleDatagram("search_request"));

    BCAST_DEV_MSG_S stMsg;
    memset(&stMsg, 0, sizeof(stMsg));
    stMsg.stMsgHeader = stHead;
    stMsg.stMsgHeader.MsgSize = VXNetLe32(sizeof(SearchDevRsp));
    SearchDevRsp& stRsp = stMsg.stMsgBody;
    memcpy(stRsp.IP, "192.168.1.10", 12);
    memcpy(stRsp.NetMask, "255.255.255.0", 13);
    memcpy(stRsp.GateWay, "0.0.0.0", 7);
    memcpy(stRsp.DNS1, "0.0.0.0", 7);
    memcpy(stRsp.DNS2, "0.0.0.0", 7);
    stRsp.Port = VXNetLe32(85);
    stRsp.IEPort = VXNetLe32(85);
    stRsp.NetworkMode = VXNetLe32(2);
    stRsp.DevTypeULL = VXNetLe64(0x5658040200080000ULL);
    stRsp.DeviceID = VXNetLe32(1010);
    memcpy(stRsp.MacAddr, "00-11-22-33-44-55", 17);
    stRsp.ChannelNum = VXNetLe32(4);
    stRsp.Version = 1;
    EXPECT_EQ(BytesOf(stMsg), camtest::SampleDatagram("search_reply"));
}

/* The captured modifications read through the records: each form by its MsgSize,
 * and each reply is the request's header with MsgSize 16 and the request's msgid. */
TEST(WireSamples, CapturedModificationsReadThroughTheRecords)
{
    const struct {
        const char* ps8Name;
        size_t uSize;
        const char* ps8Pwd;
        U8 u8Dns1; /* last octet of 192.168.1.x, 0 for 0.0.0.0 */
        U8 u8SetMac;
        const char* ps8Mac;
        bool bAnswered;
    } astCases[] = {
        {"modify_first", 88, "1234", 0, 0, "", true},
        {"modify_extended", 132, "1234", 53, 0, "00-11-22-33-44-55", true},
        {"mac_set", 132, "1234", 53, 1, "02-11-22-33-44-55", true},
        {"wrong_password", 132, "4321", 0, 0, "02-11-22-33-44-55", false},
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(stCase.ps8Name);
        const std::vector<U8> vecReq =
            camtest::SampleDatagram(std::string(stCase.ps8Name) + "_request");
        ASSERT_EQ(vecReq.size(), stCase.uSize);
        BCAST_DEVM_MSG_S stMsg;
        memset(&stMsg, 0, sizeof(stMsg));
        memcpy(&stMsg, vecReq.data(), vecReq.size());
        const NetMDevInfoReq& stReq = stMsg.stMsgBody.DevInfoReq;
        EXPECT_EQ(VXNetLe16(stMsg.stMsgHeader.MsgType), MSG_TYPE_MDEVINFO);
        EXPECT_EQ(VXNetLe32(stMsg.stMsgHeader.MsgSize), stCase.uSize - sizeof(MsgHead));
        EXPECT_EQ(std::string(stReq.user, strnlen(stReq.user, sizeof(stReq.user))), "admin");
        EXPECT_EQ(std::string(stReq.pwd, strnlen(stReq.pwd, sizeof(stReq.pwd))), stCase.ps8Pwd);
        EXPECT_EQ(std::vector<U8>(stReq.cip, stReq.cip + 4), (std::vector<U8>{192, 168, 1, 10}));
        EXPECT_EQ(std::vector<U8>(stReq.ip, stReq.ip + 4), (std::vector<U8>{192, 168, 1, 10}));
        EXPECT_EQ(std::vector<U8>(stReq.mask, stReq.mask + 4), (std::vector<U8>{255, 255, 255, 0}));
        EXPECT_EQ(stReq.dns1[3], stCase.u8Dns1);
        EXPECT_EQ(VXNetLe16(stReq.mport), 85);
        EXPECT_EQ(VXNetLe16(stReq.wport), 85);
        EXPECT_EQ(stReq.wMode, 2);
        EXPECT_EQ(stReq.wNewFlag, 1);
        EXPECT_EQ(stReq.ZizodSetMac, stCase.u8SetMac);
        EXPECT_EQ(std::string(stMsg.stMsgBody.macAddr,
                              strnlen(stMsg.stMsgBody.macAddr, sizeof(stMsg.stMsgBody.macAddr))),
                  stCase.ps8Mac);
        EXPECT_EQ(VXNetLe64(stMsg.stMsgBody.devTypeULL),
                  stCase.uSize == 132 ? 0x5658040200080000ULL : 0);

        if (!stCase.bAnswered) continue;
        const std::vector<U8> vecRsp =
            camtest::SampleDatagram(std::string(stCase.ps8Name) + "_reply");
        MsgHead stHead = stMsg.stMsgHeader;
        stHead.MsgSize = VXNetLe32(sizeof(NetMDevInfoRsp));
        std::vector<U8> vecWant = BytesOf(stHead);
        vecWant.insert(vecWant.end(), vecReq.begin() + 16, vecReq.begin() + 32);
        EXPECT_EQ(vecRsp, vecWant);
    }
}

}  // namespace
