// SPDX-License-Identifier: MIT
/* The discovery server over a loopback socket: a TestServer on an ephemeral
 * port of 127.0.0.1, a client socket beside it, a recording FakeDevice. Request
 * and reply bytes are laid out here by offset (little-endian), independent of
 * the server's records. */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "comm_log.h"
#include "comm_log_internal.h"
#include "fake_device.h"

namespace {

using Bytes = std::vector<U8>;

void Put16(Bytes& vec, size_t uOff, unsigned uVal)
{
    vec.at(uOff) = (U8)uVal;
    vec.at(uOff + 1) = (U8)(uVal >> 8);
}
void Put32(Bytes& vec, size_t uOff, unsigned long uVal)
{
    for (size_t i = 0; i < 4; ++i) vec.at(uOff + i) = (U8)(uVal >> (8 * i));
}
void Put64(Bytes& vec, size_t uOff, unsigned long long uVal)
{
    for (size_t i = 0; i < 8; ++i) vec.at(uOff + i) = (U8)(uVal >> (8 * i));
}
void PutStr(Bytes& vec, size_t uOff, const std::string& str)
{
    for (size_t i = 0; i < str.size(); ++i) vec.at(uOff + i) = (U8)str[i];
}
void PutAddr(Bytes& vec, size_t uOff, U8 a, U8 b, U8 c, U8 d)
{
    vec.at(uOff) = a;
    vec.at(uOff + 1) = b;
    vec.at(uOff + 2) = c;
    vec.at(uOff + 3) = d;
}
unsigned Get16(const Bytes& vec, size_t uOff) { return vec.at(uOff) | (unsigned)vec.at(uOff + 1) << 8; }
unsigned long Get32(const Bytes& vec, size_t uOff)
{
    unsigned long u = 0;
    for (size_t i = 0; i < 4; ++i) u |= (unsigned long)vec.at(uOff + i) << (8 * i);
    return u;
}
unsigned long long Get64(const Bytes& vec, size_t uOff)
{
    unsigned long long u = 0;
    for (size_t i = 0; i < 8; ++i) u |= (unsigned long long)vec.at(uOff + i) << (8 * i);
    return u;
}
/* A text field of uWidth bytes: the text, then zeros to the end. */
std::string Field(const Bytes& vec, size_t uOff, size_t uWidth)
{
    return std::string(vec.begin() + (long)uOff, vec.begin() + (long)(uOff + uWidth));
}
std::string Padded(const std::string& str, size_t uWidth)
{
    std::string s = str.substr(0, uWidth);
    s.resize(uWidth, '\0');
    return s;
}

/* Header: byte 0 = Version | ExtSize << 2, Reserved, AckFlag, MsgType,
 * MsgSubType, MsgSize, Seq. */
Bytes Header(unsigned uType, unsigned uMsgSize, unsigned uExtSize = 0, unsigned long uSeq = 7)
{
    Bytes vec(16, 0);
    vec[0] = (U8)(1 | uExtSize << 2);
    vec[1] = 0x5A;
    Put16(vec, 2, 0x0102);
    Put16(vec, 4, uType);
    Put16(vec, 6, 0x0304);
    Put32(vec, 8, uMsgSize);
    Put32(vec, 12, uSeq);
    return vec;
}

/* A modification request whose body sits at 16: msgid 0, user 16, pwd 26,
 * cip 40, ip 44, mask 48, gw 52, dns1 56, dns2 60, mport 64, wport 66, wMode 68,
 * wNewFlag 69, ZizodSetMac 70; extended: devTypeULL 72, macAddr 80. */
struct ModifyReq {
    unsigned uMsgSize = 116;
    unsigned uExtSize = 0;
    std::string strMsgId = "REQ-0001-abcdef!";
    std::string strUser = "admin";
    std::string strPwd = "s3cr3tPw";
    U8 au8Cip[4] = {192, 168, 1, 10};
    U8 au8Ip[4] = {192, 168, 1, 20};
    U8 au8Mask[4] = {255, 255, 255, 0};
    U8 au8Gw[4] = {192, 168, 1, 1};
    U8 au8Dns1[4] = {8, 8, 8, 8};
    U8 au8Dns2[4] = {1, 1, 1, 1};
    unsigned uMPort = 85;
    unsigned uWPort = 8080;
    U8 u8Mode = 0;
    U8 u8NewFlag = 0;
    U8 u8SetMac = 0;
    unsigned long long u64Type = 0x5658040200080000ULL;
    std::string strMac = "00-11-22-AA-BB-CC";
    size_t uSendLen = 132;

    Bytes Build() const
    {
        Bytes vec = Header(12, uMsgSize, uExtSize);
        vec.resize(132, 0);
        const size_t b = 16;
        PutStr(vec, b + 0, strMsgId.substr(0, 16));
        PutStr(vec, b + 16, strUser.substr(0, 10));
        PutStr(vec, b + 26, strPwd.substr(0, 14));
        PutAddr(vec, b + 40, au8Cip[0], au8Cip[1], au8Cip[2], au8Cip[3]);
        PutAddr(vec, b + 44, au8Ip[0], au8Ip[1], au8Ip[2], au8Ip[3]);
        PutAddr(vec, b + 48, au8Mask[0], au8Mask[1], au8Mask[2], au8Mask[3]);
        PutAddr(vec, b + 52, au8Gw[0], au8Gw[1], au8Gw[2], au8Gw[3]);
        PutAddr(vec, b + 56, au8Dns1[0], au8Dns1[1], au8Dns1[2], au8Dns1[3]);
        PutAddr(vec, b + 60, au8Dns2[0], au8Dns2[1], au8Dns2[2], au8Dns2[3]);
        Put16(vec, b + 64, uMPort);
        Put16(vec, b + 66, uWPort);
        vec[b + 68] = u8Mode;
        vec[b + 69] = u8NewFlag;
        vec[b + 70] = u8SetMac;
        Put64(vec, b + 72, u64Type);
        PutStr(vec, b + 80, strMac.substr(0, 36));
        vec.resize(uSendLen);
        return vec;
    }
};

class BcastFixture : public testing::Test {
protected:
    void SetUp() override
    {
        CommLogBudgetRefill();
        m_pServer.reset(new TestServer(&m_stDev));
        ASSERT_GE(m_pServer->OpenSocket("127.0.0.1", "0"), 0);
        m_u16Port = PortOf(m_pServer->Fd());
        m_s32Client = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(m_s32Client, 0);
        struct sockaddr_in stAddr = {};
        stAddr.sin_family = AF_INET;
        stAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(m_s32Client, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)), 0);
    }
    void TearDown() override
    {
        if (m_s32Client >= 0) close(m_s32Client);
        if (m_pServer && m_pServer->Fd() >= 0) close(m_pServer->Fd());
    }

    static U16 PortOf(int s32Fd)
    {
        struct sockaddr_in stAddr = {};
        socklen_t uLen = sizeof(stAddr);
        getsockname(s32Fd, reinterpret_cast<sockaddr*>(&stAddr), &uLen);
        return ntohs(stAddr.sin_port);
    }

    void Send(const Bytes& vec)
    {
        struct sockaddr_in stTo = {};
        stTo.sin_family = AF_INET;
        stTo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        stTo.sin_port = htons(m_u16Port);
        ASSERT_EQ(sendto(m_s32Client, vec.data(), vec.size(), 0, reinterpret_cast<sockaddr*>(&stTo),
                         sizeof(stTo)),
                  (ssize_t)vec.size());
    }

    /* Send, let the server handle it, and collect what came back (empty: no
     * reply within the wait). Replies are sent before the step returns. */
    Bytes Exchange(const Bytes& vec, int s32WaitMs = 0)
    {
        Send(vec);
        EXPECT_NE(m_pServer->Step(), -100) << "the server saw no datagram";
        return Collect(s32WaitMs);
    }

    Bytes Collect(int s32WaitMs = 0)
    {
        struct pollfd stPfd = {m_s32Client, POLLIN, 0};
        if (poll(&stPfd, 1, s32WaitMs) <= 0) return Bytes();
        Bytes vec(2048);
        const ssize_t s32N = recv(m_s32Client, vec.data(), vec.size(), 0);
        vec.resize(s32N > 0 ? (size_t)s32N : 0);
        return vec;
    }

    FakeDevice m_stDev;
    std::unique_ptr<TestServer> m_pServer;
    int m_s32Client = -1;
    U16 m_u16Port = 0;
};

/* ======================================================================== */

using SearchReply = BcastFixture;

TEST_F(SearchReply, EchoesTheHeaderAndLaysOutTheBody)
{
    Bytes vecReq = Header(11, 0, 5, 0xA1B2C3D4);
    testing::internal::CaptureStderr();
    const Bytes vecRsp = Exchange(vecReq);
    const std::string strLog = testing::internal::GetCapturedStderr();
    ASSERT_EQ(vecRsp.size(), 464u);

    /* header: the request's, MsgSize 448; ExtSize 5 does not move the body */
    Bytes vecHead = vecReq;
    Put32(vecHead, 8, 448);
    EXPECT_EQ(Bytes(vecRsp.begin(), vecRsp.begin() + 16), vecHead);

    const size_t b = 16;
    EXPECT_EQ(Field(vecRsp, b + 0, 16), Padded("192.168.1.10", 16)) << "stored address; lo has none to give";
    EXPECT_EQ(Field(vecRsp, b + 16, 36), Padded("camera", 36));
    EXPECT_EQ(Field(vecRsp, b + 52, 16), Padded("255.0.0.0", 16)) << "live netmask of lo";
    const std::string strGw = Field(vecRsp, b + 68, 16);
    in_addr stGw;
    EXPECT_EQ(inet_pton(AF_INET, strGw.c_str(), &stGw), 1) << strGw;
    EXPECT_EQ(Field(vecRsp, b + 84, 16), Padded("8.8.8.8", 16));
    EXPECT_EQ(Field(vecRsp, b + 100, 16), Padded("1.1.1.1", 16));
    EXPECT_EQ(Get32(vecRsp, b + 116), 85u);
    EXPECT_EQ(Get32(vecRsp, b + 120), 8080u);
    EXPECT_EQ(Get32(vecRsp, b + 124), 2u);
    EXPECT_EQ(Field(vecRsp, b + 128, 28), Padded("IPC-TYPE", 28));
    EXPECT_EQ(Get64(vecRsp, b + 156), 0x5658040200080000ULL);
    EXPECT_EQ(Field(vecRsp, b + 164, 36), Padded("V1.2.3", 36));
    EXPECT_EQ(Get32(vecRsp, b + 200), 1010u);
    EXPECT_EQ(Field(vecRsp, b + 204, 36), Padded("frontdoor", 36));
    EXPECT_EQ(Field(vecRsp, b + 240, 36), Padded("00-11-22-AA-BB-CC", 36));
    EXPECT_EQ(Get32(vecRsp, b + 276), 4u);
    EXPECT_EQ(vecRsp[b + 280], 1);
    EXPECT_EQ(vecRsp[b + 281], 0);
    EXPECT_EQ(Field(vecRsp, b + 282, 38), Padded("P2P0001", 38));
    EXPECT_EQ(Bytes(vecRsp.begin() + b + 320, vecRsp.end()), Bytes(128, 0));

    /* the facade is asked in the builder's order, and the reply is not routed */
    const std::vector<std::string> vecOrder = {"GetProductCustomVal", "GetNetworkState", "GetDnsAddrs",
                                               "GetHostname",         "GetDevInfo",      "GetMediaPort",
                                               "GetWebPort",          "send"};
    EXPECT_EQ(m_stDev.Names(), vecOrder);
    EXPECT_EQ(m_stDev.vecEvents[1].s64Arg0, 1) << "netmask asked for";
    EXPECT_EQ(m_stDev.vecEvents[2].s64Arg0, 2) << "two DNS servers";
    EXPECT_EQ(m_stDev.vecEvents[4].s64Arg0, 1) << "local user 1";
    EXPECT_EQ(m_stDev.vecEvents.back().s64Arg0, MSG_DONTROUTE);

    EXPECT_NE(strLog.find("[BCAST][AcceptProcess] line["), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("] MSG_TYPE_SEARCH\n"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("] index=1 ip_dst_addr=127.0.0.1\n"), std::string::npos) << strLog;
}

TEST_F(SearchReply, TextsFillTheirFieldsWithoutTerminator)
{
    m_stDev.strHostName = std::string(36, 'H');
    FakeDevice::SetText(m_stDev.stDevInfo.s8DeviceType, std::string(30, 'T'));
    FakeDevice::SetText(m_stDev.stDevInfo.s8DevSwVer, std::string(36, 'V'));
    FakeDevice::SetText(m_stDev.stDevInfo.s8DevName, std::string(35, 'N'));
    FakeDevice::SetText(m_stDev.stDevInfo.s8MacAddr, std::string(36, 'M'));
    FakeDevice::SetText(m_stDev.stDevInfo.s8P2pId, std::string(32, 'P'));
    const Bytes vecRsp = Exchange(Header(620, 0));
    ASSERT_EQ(vecRsp.size(), 464u);
    const size_t b = 16;
    EXPECT_EQ(Field(vecRsp, b + 16, 36), std::string(36, 'H'));
    EXPECT_EQ(Field(vecRsp, b + 128, 28), std::string(28, 'T')) << "30 characters cut to 28";
    EXPECT_EQ(Get64(vecRsp, b + 156), 0x5658040200080000ULL) << "the cut text does not spill";
    EXPECT_EQ(Field(vecRsp, b + 164, 36), std::string(36, 'V'));
    EXPECT_EQ(Field(vecRsp, b + 204, 36), Padded(std::string(35, 'N'), 36));
    EXPECT_EQ(Field(vecRsp, b + 240, 36), std::string(36, 'M'));
    EXPECT_EQ(Get32(vecRsp, b + 276), 4u);
    EXPECT_EQ(Field(vecRsp, b + 282, 38), Padded(std::string(32, 'P'), 38));
}

TEST_F(SearchReply, WhatTheFacadeLeavesOutReadsAsDefaults)
{
    m_stDev.bWriteMode = false;
    m_stDev.bWriteDns = false;
    m_stDev.strHostName.clear();
    const Bytes vecRsp = Exchange(Header(11, 0));
    ASSERT_EQ(vecRsp.size(), 464u);
    const size_t b = 16;
    EXPECT_EQ(Get32(vecRsp, b + 124), 0xFFFFFFFFul) << "no mode reported";
    EXPECT_EQ(Field(vecRsp, b + 16, 36), std::string(36, '\0'));
    EXPECT_EQ(Field(vecRsp, b + 84, 16), Padded("0.0.0.0", 16));
    EXPECT_EQ(Field(vecRsp, b + 100, 16), Padded("0.0.0.0", 16));
}

TEST_F(SearchReply, AddressTextsAreDecimalBytes)
{
    const U8 aau8Addrs[][4] = {{0, 9, 10, 99}, {100, 199, 200, 255}, {255, 255, 255, 255}, {1, 0, 0, 7}};
    for (const auto& au8Addr : aau8Addrs) {
        char s8Expected[32];
        snprintf(s8Expected, sizeof(s8Expected), "%d.%d.%d.%d", au8Addr[0], au8Addr[1], au8Addr[2], au8Addr[3]);
        SCOPED_TRACE(s8Expected);
        memcpy(m_stDev.au8Ip, au8Addr, 4);
        memcpy(m_stDev.au8Dns[1], au8Addr, 4);
        SearchDevRsp stRsp;
        memset(&stRsp, 0xAA, sizeof(stRsp));
        char s8If[] = "nosuchif0";   /* no live values: the stored ones stay */
        ASSERT_EQ(m_pServer->SetBcastDevRsp(&stRsp, s8If), 0);
        Bytes vecBody(sizeof(stRsp));
        memcpy(vecBody.data(), &stRsp, sizeof(stRsp));
        EXPECT_EQ(Field(vecBody, 0, 16), Padded(s8Expected, 16));
        EXPECT_EQ(Field(vecBody, 100, 16), Padded(s8Expected, 16));
    }
}

TEST_F(SearchReply, ProductRuleChoosesTheAnsweredForms)
{
    const struct {
        CustomVal_E enCustom;
        unsigned uType;
        bool bAnswered;
    } astCases[] = {
        {CUS_Normal, 11, true},   {CUS_Normal, 618, false}, {CUS_Normal, 620, true},
        {CUS_Custom1, 11, false}, {CUS_Custom1, 618, true}, {CUS_Custom1, 620, false},
        {CUS_Custom2, 618, false}, {CUS_Custom2, 11, true},
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(testing::Message() << "custom " << stCase.enCustom << " type " << stCase.uType);
        m_stDev.enCustom = stCase.enCustom;
        m_stDev.vecEvents.clear();
        testing::internal::CaptureStderr();
        const Bytes vecRsp = Exchange(Header(stCase.uType, 0), stCase.bAnswered ? 0 : 50);
        const std::string strLog = testing::internal::GetCapturedStderr();
        if (stCase.bAnswered) {
            ASSERT_EQ(vecRsp.size(), 464u);
            EXPECT_EQ(Get16(vecRsp, 4), stCase.uType) << "a reply carries its request's type";
        } else {
            EXPECT_TRUE(vecRsp.empty());
            EXPECT_EQ(strLog, "") << "a dropped search is silent";
            EXPECT_EQ(m_stDev.Names(), std::vector<std::string>{"GetProductCustomVal"});
        }
    }
}

TEST_F(SearchReply, FailedDeviceQueryMeansNoReply)
{
    const struct {
        S32 s32Dns, s32Host, s32Dev;
        bool bAnswered;
    } astCases[] = {{0, 0, -1, false}, {-1, 0, 0, false}, {0, 2, 0, false}, {0, 0, 0, true}};
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(testing::Message() << stCase.s32Dns << "/" << stCase.s32Host << "/" << stCase.s32Dev);
        m_stDev.s32DnsRet = stCase.s32Dns;
        m_stDev.s32HostRet = stCase.s32Host;
        m_stDev.s32DevInfoRet = stCase.s32Dev;
        testing::internal::CaptureStderr();
        const Bytes vecRsp = Exchange(Header(11, 0), stCase.bAnswered ? 0 : 50);
        const std::string strLog = testing::internal::GetCapturedStderr();
        EXPECT_EQ(vecRsp.size(), stCase.bAnswered ? 464u : 0u);
        EXPECT_EQ(strLog.find("failed to get device info!\n") != std::string::npos, !stCase.bAnswered);
    }
}

/* A search reply echoes its request's header, type 11 included, with MsgSize
 * 448. Answering it would make two devices answer each other for ever. */
TEST_F(SearchReply, AnotherDevicesReplyIsNotAnswered)
{
    Bytes vecReply = Header(11, 448);
    vecReply.resize(464, 0x31);           /* a whole reply, as a daemon sends it */
    testing::internal::CaptureStderr();
    EXPECT_TRUE(Exchange(vecReply, 50).empty());
    EXPECT_TRUE(Exchange(Header(620, 448), 50).empty());
    const std::string strLog = testing::internal::GetCapturedStderr();
    EXPECT_NE(strLog.find("] search from 127.0.0.1:"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find(" has MsgSize 448, a device's reply: not answered\n"),
              std::string::npos);
    EXPECT_EQ(strLog.find("MSG_TYPE_SEARCH"), std::string::npos) << "one line, no other";
    for (unsigned uMsgSize : {0u, 16u, 447u, 449u, 464u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(uMsgSize);
        EXPECT_EQ(Exchange(Header(11, uMsgSize)).size(), 464u) << "a client's search";
    }
}

/* ======================================================================== */

using ReceiveLoop = BcastFixture;

TEST_F(ReceiveLoop, OtherTypesAreLoggedAndNotAnswered)
{
    testing::internal::CaptureStderr();
    const Bytes vecRsp = Exchange(Header(13, 0), 50);
    const std::string strLog = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(vecRsp.empty());
    EXPECT_NE(strLog.find("[BCAST][AcceptProcess] line["), std::string::npos);
    EXPECT_NE(strLog.find("] invlalid msg_type(13)!\n"), std::string::npos) << strLog;
    EXPECT_TRUE(m_stDev.vecEvents.empty());
}

TEST_F(ReceiveLoop, EmptyDatagramIsAReceiveFailure)
{
    testing::internal::CaptureStderr();
    Send(Bytes());
    EXPECT_EQ(m_pServer->Step(), 0);
    const std::string strLog = testing::internal::GetCapturedStderr();
    EXPECT_NE(strLog.find("] recvmsg failed ("), std::string::npos) << strLog;
    EXPECT_TRUE(Collect(50).empty());
    EXPECT_TRUE(m_stDev.vecEvents.empty());
}

TEST_F(ReceiveLoop, LongDatagramIsReadAsItsFirst132Bytes)
{
    Bytes vecReq = Header(11, 0);
    vecReq.resize(200, 0xEE);
    Send(vecReq);
    EXPECT_EQ(m_pServer->Step(), 132);
    EXPECT_EQ(Collect().size(), 464u);
}

TEST_F(ReceiveLoop, ShortDatagramNeverReusesAnEarlierOne)
{
    ModifyReq stReq;
    ASSERT_EQ(Exchange(stReq.Build()).size(), 32u);
    ASSERT_EQ(m_stDev.vecWritten.size(), 1u);
    /* A bare header with MsgSize 72: the body reads as zeros, so cip 0.0.0.0 is
     * no match and nothing is applied a second time. */
    m_stDev.vecEvents.clear();
    EXPECT_TRUE(Exchange(Header(12, 72), 50).empty());
    EXPECT_EQ(m_stDev.vecWritten.size(), 1u);
    EXPECT_EQ(m_stDev.Names(), std::vector<std::string>{"GetNetworkState"});
}

TEST_F(ReceiveLoop, WithoutPacketInfoSearchesFailAndModificationsWork)
{
    const int s32Plain = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s32Plain, 0);
    struct sockaddr_in stAddr = {};
    stAddr.sin_family = AF_INET;
    stAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s32Plain, reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr)), 0);
    close(m_pServer->Fd());
    m_pServer.reset(new TestServer(&m_stDev, s32Plain));
    m_u16Port = PortOf(s32Plain);

    testing::internal::CaptureStderr();
    const Bytes vecSearch = Exchange(Header(11, 0), 50);
    const std::string strLog = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(vecSearch.empty());
    EXPECT_NE(strLog.find("] get intfname fail\n"), std::string::npos) << strLog;
    EXPECT_EQ(Exchange(ModifyReq().Build()).size(), 32u);
}

/* Control data handed to the dispatch directly: the walk takes only whole
 * IP_PKTINFO records, and the last one wins. */
TEST_F(ReceiveLoop, LastWholePacketInfoRecordNamesTheInterface)
{
    struct Rec {
        int s32Index;
        bool bTruncated;
    };
    const struct {
        std::vector<Rec> vecRecs;
        unsigned uIndexBefore;
        unsigned uIndexAfter;
        int s32Reply;   /* 1 answered, 0 not, -1 not asserted */
    } astCases[] = {
        {{{1, false}}, 0, 1, 1},
        {{{999999, false}, {1, false}}, 0, 1, 1},
        {{{1, false}, {999999, false}}, 0, 999999, 0},
        {{{1, false}, {999999, true}}, 0, 1, -1},   /* a record cut short is not taken */
        {{{999999, true}}, 1, 1, -1},               /* none taken: the earlier index stays */
        {{}, 1, 1, 1},
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(testing::Message() << "records " << stCase.vecRecs.size() << " before "
                                        << stCase.uIndexBefore << " after " << stCase.uIndexAfter);
        BCAST_LOOP_S& stLoop = m_pServer->Loop();
        memset(stLoop.u8CtrlBuf, 0, sizeof(stLoop.u8CtrlBuf));
        size_t uOff = 0;
        for (const Rec& stRec : stCase.vecRecs) {
            struct cmsghdr stCmsg = {};
            stCmsg.cmsg_level = IPPROTO_IP;
            stCmsg.cmsg_type = IP_PKTINFO;
            stCmsg.cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
            struct in_pktinfo stInfo = {};
            stInfo.ipi_ifindex = stRec.s32Index;
            stInfo.ipi_spec_dst.s_addr = htonl(INADDR_LOOPBACK);
            stInfo.ipi_addr.s_addr = htonl(INADDR_LOOPBACK);
            memcpy(stLoop.u8CtrlBuf + uOff, &stCmsg, sizeof(stCmsg));
            memcpy(stLoop.u8CtrlBuf + uOff + CMSG_LEN(0), &stInfo, sizeof(stInfo));
            uOff += stRec.bTruncated ? CMSG_LEN(sizeof(struct in_pktinfo)) - 4
                                     : CMSG_SPACE(sizeof(struct in_pktinfo));
        }
        stLoop.stMsg.msg_controllen = uOff;
        stLoop.u32IfIndex = stCase.uIndexBefore;
        stLoop.stPeerAddr.sin_family = AF_INET;
        stLoop.stPeerAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        stLoop.stPeerAddr.sin_port = htons(PortOf(m_s32Client));
        stLoop.stMsg.msg_namelen = sizeof(stLoop.stPeerAddr);
        const Bytes vecReq = Header(11, 0);
        memset(stLoop.u8RecvBuf, 0, sizeof(stLoop.u8RecvBuf));
        memcpy(stLoop.u8RecvBuf, vecReq.data(), vecReq.size());
        m_pServer->HandleDatagram(&stLoop, (S32)vecReq.size());
        EXPECT_EQ(stLoop.u32IfIndex, stCase.uIndexAfter);
        const Bytes vecRsp = Collect(stCase.s32Reply == 1 ? 1000 : 50);
        if (stCase.s32Reply >= 0) {
            EXPECT_EQ(vecRsp.size(), stCase.s32Reply == 1 ? 464u : 0u);
        }
    }
}

/* ======================================================================== */

using ModifyRequest = BcastFixture;

TEST_F(ModifyRequest, FirstFormMatchesOnAddressAloneAndIsApplied)
{
    ModifyReq stReq;
    stReq.uMsgSize = 72;           /* 132 bytes arrive, but MsgSize says first form */
    stReq.strMac = "ff-ff-ff-ff-ff-ff";
    stReq.u64Type = 1;
    testing::internal::CaptureStderr();
    const Bytes vecRsp = Exchange(stReq.Build());
    const std::string strLog = testing::internal::GetCapturedStderr();

    Bytes vecExpected = Header(12, 16);
    Put16(vecExpected, 2, 0);
    vecExpected.resize(32, 0);
    PutStr(vecExpected, 16, stReq.strMsgId);
    EXPECT_EQ(vecRsp, vecExpected);

    ASSERT_EQ(m_stDev.vecWritten.size(), 1u);
    const VXNet_NetworkBaseSet_t& stSet = m_stDev.vecWritten[0];
    EXPECT_EQ(Bytes(stSet.IPAddr, stSet.IPAddr + 4), (Bytes{192, 168, 1, 20}));
    EXPECT_EQ(stSet.NetworkMode, 2) << "no mode given: static";
    EXPECT_EQ(stSet.Port, 85u);
    EXPECT_EQ(stSet.WebPort, 8080u);
    const std::vector<std::string> vecOrder = {"GetNetworkState", "CheckUser",     "UpdateSysParam",
                                               "ReadSettings",    "WriteSettings", "send",
                                               "SaveFlash"};
    EXPECT_EQ(m_stDev.Names(), vecOrder);
    EXPECT_EQ(m_stDev.vecEvents[0].s64Arg0, 0) << "no netmask asked for";
    EXPECT_EQ(m_stDev.vecEvents[1].s64Arg0, CHECK_USER_TYPE_IE);
    EXPECT_EQ(m_stDev.vecEvents[3].s64Arg1, 272) << "parse size";
    EXPECT_EQ(m_stDev.vecEvents[3].s64Arg2, 1) << "reading: record only";
    EXPECT_EQ(m_stDev.vecEvents[4].s64Arg2, 1) << "writing: record only";
    EXPECT_EQ(m_stDev.vecEvents[5].s64Arg0, MSG_DONTROUTE);
    EXPECT_EQ(m_stDev.vecEvents[6].s64Arg0, SAVE_OPT_STOP_NONE);
    EXPECT_EQ(m_stDev.vecEvents[6].s64Arg1, 216);
    EXPECT_EQ(m_stDev.vecEvents[6].s64Arg2, 511);
    EXPECT_NE(strLog.find("] Broad modify NVR network info return first\n"), std::string::npos);
}

TEST_F(ModifyRequest, ExtendedFormNeedsAddressMacAndType)
{
    const struct {
        const char* ps8Name;
        unsigned uMsgSize;
        U8 u8CipLast;
        const char* ps8Mac;
        unsigned long long u64Type;
        S32 s32NetRet, s32DevRet;
        bool bMatch;
    } astCases[] = {
        {"all equal", 116, 10, "00-11-22-AA-BB-CC", 0x5658040200080000ULL, 0, 0, true},
        {"any size above 72", 73, 10, "00-11-22-AA-BB-CC", 0x5658040200080000ULL, 0, 0, true},
        {"other device", 116, 11, "00-11-22-AA-BB-CC", 0x5658040200080000ULL, 0, 0, false},
        {"lower-case MAC", 116, 10, "00-11-22-aa-bb-cc", 0x5658040200080000ULL, 0, 0, false},
        {"other type", 116, 10, "00-11-22-AA-BB-CC", 0x5658040200080001ULL, 0, 0, false},
        {"stored settings unreadable", 116, 10, "00-11-22-AA-BB-CC", 0x5658040200080000ULL, -1, 0, false},
        {"device info unreadable", 116, 10, "00-11-22-AA-BB-CC", 0x5658040200080000ULL, 0, -1, false},
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(stCase.ps8Name);
        m_stDev.vecEvents.clear();
        m_stDev.vecWritten.clear();
        m_stDev.s32NetStateRet = stCase.s32NetRet;
        m_stDev.s32DevInfoRet = stCase.s32DevRet;
        ModifyReq stReq;
        stReq.uMsgSize = stCase.uMsgSize;
        stReq.au8Cip[3] = stCase.u8CipLast;
        stReq.strMac = stCase.ps8Mac;
        stReq.u64Type = stCase.u64Type;
        testing::internal::CaptureStderr();
        const Bytes vecRsp = Exchange(stReq.Build(), stCase.bMatch ? 0 : 50);
        const std::string strLog = testing::internal::GetCapturedStderr();
        EXPECT_EQ(vecRsp.size(), stCase.bMatch ? 32u : 0u);
        EXPECT_EQ(m_stDev.vecWritten.size(), stCase.bMatch ? 1u : 0u);
        EXPECT_NE(strLog.find("] localip:"), std::string::npos);
        if (!stCase.bMatch) {
            EXPECT_NE(strLog.find("]  Ip ,MacAddr and DevType are not all the same \n"), std::string::npos);
            EXPECT_NE(strLog.find("] cMacaddr: " + std::string(stCase.ps8Mac) + " , s8Mac: "), std::string::npos)
                << strLog;
            EXPECT_EQ(strLog.find("CheckUser"), std::string::npos);
        }
    }
}

TEST_F(ModifyRequest, MacSetSkipsTheIdentityMatchAndAppliesOnlyTheMac)
{
    ModifyReq stReq;
    stReq.au8Cip[0] = 10;   /* another device's address */
    stReq.u8SetMac = 1;
    stReq.strMac = "02-00-00-00-00-07";
    EXPECT_EQ(Exchange(stReq.Build()).size(), 32u);
    EXPECT_TRUE(m_stDev.vecWritten.empty());
    ASSERT_EQ(m_stDev.vecMacWritten.size(), 1u);
    EXPECT_EQ(m_stDev.vecMacWritten[0], "02-00-00-00-00-07");
    EXPECT_EQ(m_stDev.vecEvents[m_stDev.vecEvents.size() - 3].s64Arg2, 2) << "MAC text only";
}

TEST_F(ModifyRequest, UserCheckDecidesAndPasswordsStayOutOfTheLog)
{
    const struct {
        S32 s32Ret;
        const char* ps8Line;
    } astCases[] = {
        {-1, "] CheckUser Failed!(admin:***)"},
        {0, "] authencate succefully!(admin:***)\n"},
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(stCase.s32Ret);
        m_stDev.s32CheckUserRet = stCase.s32Ret;
        m_stDev.vecEvents.clear();
        ModifyReq stReq;
        stReq.strMsgId = stCase.s32Ret < 0 ? "refused-request!" : "another-request!";
        testing::internal::CaptureStderr();
        const Bytes vecRsp = Exchange(stReq.Build(), 50);
        const std::string strLog = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(vecRsp.empty());
        EXPECT_NE(strLog.find(stCase.ps8Line), std::string::npos) << strLog;
        EXPECT_EQ(strLog.find("s3cr3tPw"), std::string::npos) << strLog;
        EXPECT_EQ(m_stDev.Names(), (std::vector<std::string>{"GetNetworkState", "GetDevInfo", "CheckUser"}));
    }
    EXPECT_EQ(m_stDev.strPwd, "s3cr3tPw");
}

TEST_F(ModifyRequest, CredentialsFillingTheirFieldsReachTheCheckWhole)
{
    ModifyReq stReq;
    stReq.strUser = "abcdefghijXX";        /* 10-byte field */
    stReq.strPwd = "0123456789ABCDxx";     /* 14-byte field, runs into cip otherwise */
    Exchange(stReq.Build());
    EXPECT_EQ(m_stDev.strUser, "abcdefghij");
    EXPECT_EQ(m_stDev.strPwd, "0123456789ABCD");
}

TEST_F(ModifyRequest, UnreadableSettingsEndTheRequestSilently)
{
    m_stDev.s32ReadRet = -1;
    EXPECT_TRUE(Exchange(ModifyReq().Build(), 50).empty());
    EXPECT_TRUE(m_stDev.vecWritten.empty());
    EXPECT_EQ(m_stDev.Names().back(), "ReadSettings");
}

TEST_F(ModifyRequest, UnchangedSettingsAreAnsweredWithoutFlagsAndNotWritten)
{
    ModifyReq stReq;
    stReq.au8Ip[3] = 10;       /* the current settings of the fake, repeated */
    stReq.uExtSize = 2;
    stReq.u8NewFlag = 1;       /* a mode change alone does not count */
    stReq.u8Mode = 0;
    const Bytes vecRsp = Exchange(stReq.Build());
    ASSERT_EQ(vecRsp.size(), 40u);
    EXPECT_EQ(Get16(vecRsp, 2), 0u);
    EXPECT_EQ(Get32(vecRsp, 8), 16u);
    EXPECT_EQ(Bytes(vecRsp.begin() + 16, vecRsp.begin() + 24), Bytes(8, 0));
    EXPECT_EQ(Field(vecRsp, 24, 16), stReq.strMsgId);
    EXPECT_EQ(m_stDev.Names().back(), "send");
    EXPECT_EQ(m_stDev.vecEvents.back().s64Arg0, 0) << "sent with no flags";
    EXPECT_TRUE(m_stDev.vecWritten.empty());
}

TEST_F(ModifyRequest, ExtensionWordsAreZeroEvenAfterAnEarlierReply)
{
    ModifyReq stReq;
    ASSERT_EQ(Exchange(stReq.Build()).size(), 32u);  /* msgid at 16 in the reply buffer */
    stReq.uExtSize = 5;
    stReq.strMsgId = "second-request!!";
    stReq.au8Ip[3] = 21;
    const Bytes vecRsp = Exchange(stReq.Build());
    ASSERT_EQ(vecRsp.size(), 52u);
    EXPECT_EQ(vecRsp[0] >> 2, 5) << "header keeps ExtSize";
    EXPECT_EQ(Bytes(vecRsp.begin() + 16, vecRsp.begin() + 36), Bytes(20, 0));
    EXPECT_EQ(Field(vecRsp, 36, 16), "second-request!!");
}

TEST_F(ModifyRequest, ResultBitsChooseSaveOptionAndRestarts)
{
    const struct {
        S32 s32Bits;
        SAVE_FLASH_OPT_E enOpt;
        std::vector<std::string> vecTail;
    } astCases[] = {
        {0x00, SAVE_OPT_STOP_NONE, {"send", "SaveFlash"}},
        {0x01, SAVE_OPT_STOP_ENC, {"send", "SaveFlash"}},
        {0x02, SAVE_OPT_STOP_REC, {"send", "SaveFlash"}},
        {0x03, SAVE_OPT_STOP_ERC, {"send", "SaveFlash"}},
        {0x54, SAVE_OPT_STOP_NONE, {"send", "SaveFlash"}},  /* bits 2, 4, 6 ignored */
        {0x28, SAVE_OPT_STOP_NONE, {"send", "SaveFlash", "RestartMachine", "ResetNetServer"}},
        {0x08, SAVE_OPT_STOP_NONE, {"send", "SaveFlash", "RestartMachine"}},
    };
    unsigned char u8Last = 30;
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(testing::Message() << "bits " << stCase.s32Bits);
        m_stDev.s32WriteRet = stCase.s32Bits;
        m_stDev.vecEvents.clear();
        ModifyReq stReq;
        stReq.au8Ip[3] = u8Last++;
        testing::internal::CaptureStderr();
        EXPECT_EQ(Exchange(stReq.Build()).size(), 32u);
        const std::string strLog = testing::internal::GetCapturedStderr();
        std::vector<std::string> vecNames = m_stDev.Names();
        ASSERT_GE(vecNames.size(), stCase.vecTail.size());
        EXPECT_EQ(std::vector<std::string>(vecNames.end() - (long)stCase.vecTail.size(), vecNames.end()),
                  stCase.vecTail);
        for (const FakeEvent& stEv : m_stDev.vecEvents) {
            if (stEv.strName == "SaveFlash") {
                EXPECT_EQ(stEv.s64Arg0, stCase.enOpt);
            }
        }
        const bool bReboot = stCase.vecTail.size() > 2;
        EXPECT_EQ(strLog.find("] restarting machine .....................\n") != std::string::npos, bReboot);
    }
    /* the requests are cleared: an unchanged request afterwards restarts nothing */
    m_stDev.vecEvents.clear();
    m_stDev.s32WriteRet = 0;
    ModifyReq stSame;
    stSame.au8Ip[3] = 10;
    EXPECT_EQ(Exchange(stSame.Build()).size(), 32u);
    EXPECT_EQ(m_stDev.Names().back(), "send");
}

TEST_F(ModifyRequest, ModeComesFromTheRequestOnlyWhenFlagged)
{
    const struct {
        U8 u8NewFlag, u8Mode, u8Stored;
    } astCases[] = {{0, 0, 2}, {0, 5, 2}, {1, 0, 0}, {1, 2, 2}, {7, 3, 3}};
    unsigned char u8Last = 40;
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(testing::Message() << int(stCase.u8NewFlag) << "/" << int(stCase.u8Mode));
        m_stDev.vecWritten.clear();
        ModifyReq stReq;
        stReq.u8NewFlag = stCase.u8NewFlag;
        stReq.u8Mode = stCase.u8Mode;
        stReq.au8Ip[3] = u8Last++;
        EXPECT_EQ(Exchange(stReq.Build()).size(), 32u);
        ASSERT_EQ(m_stDev.vecWritten.size(), 1u);
        EXPECT_EQ(m_stDev.vecWritten[0].NetworkMode, stCase.u8Stored);
    }
}

/* The adapter of the real provider reads nothing into the record. Each request
 * must then be judged on its own, not against the one before. */
TEST_F(ModifyRequest, OutcomeNeverDependsOnAnEarlierRequest)
{
    m_stDev.bFillOnRead = false;
    ModifyReq stReq;
    EXPECT_EQ(Exchange(stReq.Build()).size(), 32u);
    EXPECT_EQ(Exchange(stReq.Build()).size(), 32u);
    EXPECT_TRUE(m_stDev.bReadRecordWasZero);
    EXPECT_EQ(m_stDev.vecWritten.size(), 2u) << "the same request again is applied again";
}

TEST_F(ModifyRequest, UnusableSettingsAreRefusedBeforeAnythingIsWritten)
{
    const struct {
        const char* ps8Name;
        U8 au8Ip[4];
        U8 au8Mask[4];
        U8 au8Gw[4];
        U8 u8NewFlag, u8Mode, u8SetMac;
        const char* ps8Mac;
        bool bApplied;
    } astCases[] = {
        {"zero address", {0, 0, 0, 0}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"broadcast address", {255, 255, 255, 255}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"loopback address", {127, 0, 0, 5}, {255, 0, 0, 0}, {0, 0, 0, 0}, 1, 2, 0, "", false},
        {"multicast address", {224, 0, 0, 1}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"reserved address", {240, 1, 2, 3}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"zero netmask", {192, 168, 1, 20}, {0, 0, 0, 0}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"holey netmask", {192, 168, 1, 20}, {255, 0, 255, 0}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"host netmask", {10, 9, 8, 7}, {255, 255, 255, 255}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"gateway outside the subnet", {192, 168, 1, 20}, {255, 255, 255, 0}, {192, 168, 2, 1}, 0, 0, 0, "", false},
        {"no gateway", {192, 168, 1, 20}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 0, "", true},
        {"DHCP keeps any addresses", {0, 0, 0, 0}, {0, 0, 0, 0}, {9, 9, 9, 9}, 1, 0, 0, "", true},
        {"MAC set checks only the MAC", {0, 0, 0, 0}, {0, 0, 0, 0}, {9, 9, 9, 9}, 0, 0, 1, "00-11-22-33-44-66", true},
        {"MAC with five pairs", {192, 168, 1, 20}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 1, "00-11-22-33-44", false},
        {"group MAC", {192, 168, 1, 20}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 1, "01-00-5E-00-00-01", false},
        {"zero MAC", {192, 168, 1, 20}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 1, "00-00-00-00-00-00", false},
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(stCase.ps8Name);
        m_stDev.vecEvents.clear();
        m_stDev.vecWritten.clear();
        m_stDev.vecMacWritten.clear();
        ModifyReq stReq;
        memcpy(stReq.au8Ip, stCase.au8Ip, 4);
        memcpy(stReq.au8Mask, stCase.au8Mask, 4);
        memcpy(stReq.au8Gw, stCase.au8Gw, 4);
        stReq.u8NewFlag = stCase.u8NewFlag;
        stReq.u8Mode = stCase.u8Mode;
        stReq.u8SetMac = stCase.u8SetMac;
        if (stCase.u8SetMac != 0) stReq.strMac = stCase.ps8Mac;
        testing::internal::CaptureStderr();
        const Bytes vecRsp = Exchange(stReq.Build(), stCase.bApplied ? 0 : 50);
        const std::string strLog = testing::internal::GetCapturedStderr();
        const size_t uWrites = m_stDev.vecWritten.size() + m_stDev.vecMacWritten.size();
        EXPECT_EQ(uWrites, stCase.bApplied ? 1u : 0u);
        EXPECT_EQ(vecRsp.size(), stCase.bApplied ? 32u : 0u);
        const size_t uPos = strLog.find("] refused network settings: ");
        if (stCase.bApplied) {
            EXPECT_EQ(uPos, std::string::npos) << strLog;
        } else {
            EXPECT_NE(uPos, std::string::npos) << strLog;
            EXPECT_EQ(strLog.find("refused", uPos + 10), std::string::npos) << "one line";
            EXPECT_EQ(m_stDev.Names().back(), "ReadSettings") << "no write, no save, no reply";
        }
    }
}

/* Control data as the kernel gives it for one IP_PKTINFO record. */
void PutPacketInfo(BCAST_LOOP_S* pstLoop, const char* ps8Dst, const char* ps8Local)
{
    memset(pstLoop->u8CtrlBuf, 0, sizeof(pstLoop->u8CtrlBuf));
    struct cmsghdr stCmsg = {};
    stCmsg.cmsg_level = IPPROTO_IP;
    stCmsg.cmsg_type = IP_PKTINFO;
    stCmsg.cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
    struct in_pktinfo stInfo = {};
    stInfo.ipi_ifindex = 1;
    inet_pton(AF_INET, ps8Local, &stInfo.ipi_spec_dst);
    inet_pton(AF_INET, ps8Dst, &stInfo.ipi_addr);
    memcpy(pstLoop->u8CtrlBuf, &stCmsg, sizeof(stCmsg));
    memcpy(pstLoop->u8CtrlBuf + CMSG_LEN(0), &stInfo, sizeof(stInfo));
    pstLoop->stMsg.msg_controllen = CMSG_SPACE(sizeof(struct in_pktinfo));
}

/* A MAC set skips the identity match, so it is taken only when it was sent to
 * this camera's own address: sent to a broadcast or a multicast address (or
 * with no packet information to tell), it is not checked, not counted, not
 * answered, and logged once. */
TEST_F(ModifyRequest, MacSetIsTakenOnlyAtTheCamerasOwnAddress)
{
    const struct {
        const char* ps8Dst;   /* empty: no packet information at all */
        const char* ps8Local;
    } astCases[] = {
        {"255.255.255.255", "192.168.1.10"}, {"192.168.1.255", "192.168.1.10"},
        {"224.0.0.1", "192.168.1.10"},       {"239.255.255.250", "192.168.1.10"},
        {"255.255.255.255", "255.255.255.255"}, {"", ""},
    };
    m_stDev.s32CheckUserRet = -1;   /* a wrong password, were it checked */
    BCAST_LOOP_S& stLoop = m_pServer->Loop();
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(stCase.ps8Dst);
        m_stDev.vecEvents.clear();
        ModifyReq stReq;
        stReq.u8SetMac = 1;
        stReq.strMac = "02-00-00-00-00-07";
        const Bytes vecReq = stReq.Build();
        if (stCase.ps8Dst[0] != '\0') {
            PutPacketInfo(&stLoop, stCase.ps8Dst, stCase.ps8Local);
        } else {
            stLoop.stMsg.msg_controllen = 0;
        }
        memset(stLoop.u8RecvBuf, 0, sizeof(stLoop.u8RecvBuf));
        memcpy(stLoop.u8RecvBuf, vecReq.data(), vecReq.size());
        testing::internal::CaptureStderr();
        m_pServer->HandleDatagram(&stLoop, (S32)vecReq.size());
        const std::string strLog = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(m_stDev.vecEvents.empty()) << "not even the user check, so nothing counted";
        const std::string strLine = std::string("] MAC set sent to ") +
                                    (stCase.ps8Dst[0] != '\0' ? stCase.ps8Dst : "unknown") +
                                    ", not to this camera's own address: not answered\n";
        const size_t uPos = strLog.find(strLine);
        EXPECT_NE(uPos, std::string::npos) << strLog;
        EXPECT_EQ(strLog.find("MAC set sent", uPos + strLine.size()), std::string::npos)
            << "one line";
    }
    EXPECT_TRUE(Collect(50).empty());

    /* None of those counted: sent to the camera itself, with the right password,
     * the same MAC set is applied at once. */
    m_stDev.s32CheckUserRet = 1;
    ModifyReq stReq;
    stReq.u8SetMac = 1;
    stReq.strMac = "02-00-00-00-00-07";
    EXPECT_EQ(Exchange(stReq.Build()).size(), 32u);
    ASSERT_EQ(m_stDev.vecMacWritten.size(), 1u);
}

/* The user table could not be read (the main application is down): no
 * password was compared, so it is no guess. Nothing is answered, and the
 * guard neither counts it nor remembers it as refused. */
TEST_F(ModifyRequest, AnUnreadableUserTableIsNoGuess)
{
    m_pServer->Loop().pfnNowMs = [] { return (U64)700000; };
    m_stDev.s32CheckUserRet = CHECK_USER_UNAVAILABLE;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 2 * (int)BCAST_GUARD_FAILS; ++i) {
        ModifyReq stReq;
        stReq.strMsgId = "table-down-" + std::to_string(i);
        EXPECT_TRUE(Exchange(stReq.Build(), 20).empty());
    }
    const std::string strLog = testing::internal::GetCapturedStderr();
    size_t uLines = 0;
    for (size_t u = strLog.find("] user table unavailable (admin:***): no reply, not counted as a "
                                "failed check\n");
         u != std::string::npos; u = strLog.find("] user table unavailable", u + 1)) {
        ++uLines;
    }
    EXPECT_EQ(uLines, 2 * (size_t)BCAST_GUARD_FAILS) << strLog;
    EXPECT_EQ(strLog.find("CheckUser Failed"), std::string::npos);
    EXPECT_EQ(strLog.find("modifications locked"), std::string::npos);
    EXPECT_TRUE(m_stDev.vecWritten.empty());

    /* The table is back: the very first request is applied at once. */
    m_stDev.s32CheckUserRet = 1;
    ModifyReq stAgain;
    stAgain.strMsgId = "table-down-0";
    EXPECT_EQ(Exchange(stAgain.Build()).size(), 32u);
    EXPECT_EQ(m_stDev.vecWritten.size(), 1u);
}

/* ======================================================================== */

long CountOf(const std::vector<std::string>& vec, const char* ps8Name)
{
    return (long)std::count(vec.begin(), vec.end(), ps8Name);
}

/* A clock the test moves. */
U64 g_u64FakeNowMs = 0;
U64 FakeNowMs()
{
    return g_u64FakeNowMs;
}

TEST_F(ModifyRequest, GuessingLocksModificationsForAMinute)
{
    m_pServer->Loop().pfnNowMs = FakeNowMs;
    g_u64FakeNowMs = 500000;
    m_stDev.s32CheckUserRet = -1;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 5; ++i) {
        ModifyReq stReq;
        stReq.strMsgId = "guess-" + std::to_string(i);
        stReq.strPwd = "guess" + std::to_string(i);
        EXPECT_TRUE(Exchange(stReq.Build(), 20).empty());
        g_u64FakeNowMs += 1000;
    }
    std::string strLog = testing::internal::GetCapturedStderr();
    EXPECT_NE(strLog.find("] modifications locked for 60 s after 5 failed user checks\n"),
              std::string::npos) << strLog;
    EXPECT_EQ(m_stDev.vecEvents.size() - 5 * 3, 0u) << "identity, user check: nothing more";

    /* The right password is refused unchecked while the lock lasts; searches are
     * answered as ever. */
    m_stDev.s32CheckUserRet = 1;
    m_stDev.vecEvents.clear();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(Exchange(ModifyReq().Build(), 20).empty());
    EXPECT_EQ(Exchange(Header(11, 0)).size(), 464u);
    g_u64FakeNowMs += 55000;
    EXPECT_TRUE(Exchange(ModifyReq().Build(), 20).empty());
    strLog = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountOf(m_stDev.Names(), "CheckUser"), 0);
    EXPECT_NE(strLog.find("] CheckUser skipped: modifications locked for 59 more s\n"),
              std::string::npos) << strLog;
    EXPECT_NE(strLog.find("] CheckUser skipped: modifications locked for 4 more s\n"),
              std::string::npos) << strLog;

    /* The end is logged once, and the same request is then applied. */
    g_u64FakeNowMs += 5000;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Exchange(ModifyReq().Build()).size(), 32u);
    strLog = testing::internal::GetCapturedStderr();
    EXPECT_NE(strLog.find("] modifications unlocked\n"), std::string::npos) << strLog;
    EXPECT_EQ(m_stDev.vecWritten.size(), 1u);
}

TEST_F(ModifyRequest, ARepeatedRefusedRequestIsOneFailure)
{
    m_pServer->Loop().pfnNowMs = FakeNowMs;
    g_u64FakeNowMs = 900000;
    m_stDev.s32CheckUserRet = -1;
    testing::internal::CaptureStderr();
    /* Four mistypes, each sent three times, as a client repeats them. */
    for (int i = 0; i < 4; ++i) {
        ModifyReq stReq;
        stReq.strMsgId = "typo-" + std::to_string(i);
        for (int s32Copy = 0; s32Copy < 3; ++s32Copy) EXPECT_TRUE(Exchange(stReq.Build(), 20).empty());
    }
    const std::string strLog = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountOf(m_stDev.Names(), "CheckUser"), 4);
    EXPECT_EQ(strLog.find("modifications locked"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("] CheckUser skipped: repeat of a refused request\n"), std::string::npos);
    m_stDev.s32CheckUserRet = 1;
    EXPECT_EQ(Exchange(ModifyReq().Build()).size(), 32u);
}

/* Search lines have used up their log budget: every line about what was
 * done, or refused, to the settings is still written. */
TEST_F(ModifyRequest, SettingsLinesOutliveAnExhaustedSearchBudget)
{
    m_pServer->Loop().pfnNowMs = FakeNowMs;
    CommLogTestClock(FakeNowMs);
    g_u64FakeNowMs = 2000000;
    const auto Exhaust = [] {
        for (unsigned i = 0; i <= COMM_LOG_BURST; ++i) CommLogLine("T", "F", 1, "search\n");
    };
    testing::internal::CaptureStderr();
    Exhaust();
    m_stDev.s32CheckUserRet = -1;
    for (int i = 0; i < (int)BCAST_GUARD_FAILS; ++i) {
        ModifyReq stReq;
        stReq.strMsgId = "exhausted-" + std::to_string(i);
        Exchange(stReq.Build());
    }
    m_stDev.s32CheckUserRet = 1;
    Exchange(ModifyReq().Build());                        /* refused: locked */
    g_u64FakeNowMs += BCAST_GUARD_LOCK_MS;
    Exhaust();
    Exchange(ModifyReq().Build());                        /* unlocked, stored */
    ModifyReq stBad;
    stBad.au8Gw[2] = 9;
    Exchange(stBad.Build());                              /* refused settings */
    m_stDev.s32WriteRet = -1;
    stBad.au8Gw[2] = 1;
    stBad.au8Ip[3] = 33;
    Exchange(stBad.Build());                              /* not stored */
    m_stDev.s32CheckUserRet = CHECK_USER_UNAVAILABLE;
    Exchange(ModifyReq().Build());
    ModifyReq stMac;
    stMac.u8SetMac = 1;
    PutPacketInfo(&m_pServer->Loop(), "255.255.255.255", "192.168.1.10");
    const Bytes vecMac = stMac.Build();
    memcpy(m_pServer->Loop().u8RecvBuf, vecMac.data(), vecMac.size());
    m_pServer->HandleDatagram(&m_pServer->Loop(), (S32)vecMac.size());
    const std::string strLog = testing::internal::GetCapturedStderr();
    CommLogTestClock(nullptr);

    EXPECT_EQ(strLog.find("] MSG_TYPE_MDEVINFO"), std::string::npos) << "the search budget is spent";
    for (const char* ps8Line :
         {"] CheckUser Failed!(admin:***)", "] modifications locked for 60 s after 5 failed",
          "] CheckUser skipped: modifications locked for 60 more s\n", "] modifications unlocked\n",
          "] authencate succefully!(admin:***)\n", "] Broad modify NVR network info return first\n",
          "] refused network settings: gateway outside the new subnet\n",
          "] settings not stored (NetBasicParamAdapter returned -1), no reply\n",
          "] user table unavailable (admin:***)", "] MAC set sent to 255.255.255.255, not"}) {
        EXPECT_NE(strLog.find(ps8Line), std::string::npos) << ps8Line;
    }
}

/* The adapter could not store the change: nothing may say it did. No reply,
 * no save, and no reboot however its result reads as bits. */
TEST_F(ModifyRequest, UnstoredSettingsAreNotAcknowledged)
{
    for (S32 s32Ret : {-1, -2, INT32_MIN}) {
        SCOPED_TRACE(s32Ret);
        m_stDev.s32WriteRet = s32Ret;
        m_stDev.vecEvents.clear();
        ModifyReq stReq;
        stReq.au8Ip[3] = (U8)(100 + m_stDev.vecWritten.size());
        testing::internal::CaptureStderr();
        EXPECT_TRUE(Exchange(stReq.Build(), 50).empty());
        const std::string strLog = testing::internal::GetCapturedStderr();
        EXPECT_EQ(m_stDev.Names().back(), "WriteSettings");
        EXPECT_NE(strLog.find("] settings not stored (NetBasicParamAdapter returned " +
                              std::to_string(s32Ret) + "), no reply\n"),
                  std::string::npos) << strLog;
        EXPECT_EQ(strLog.find("restarting machine"), std::string::npos);
    }
}

/* Texts of a datagram are the sender's: a line feed or an escape byte in them
 * must not start a log line of its own. */
TEST_F(ModifyRequest, NetworkTextsReachTheLogEscaped)
{
    ModifyReq stReq;
    stReq.strMac = "00\n[BCAST][x] line[1] \x1b[2Jforged";  /* 32 of the 36 bytes */
    stReq.strUser = "ad\nmin\xff";
    stReq.strMsgId = std::string("id\r\n\0\x01", 6);
    stReq.u64Type = 1;   /* no match: the four mismatch lines as well */
    testing::internal::CaptureStderr();
    EXPECT_TRUE(Exchange(stReq.Build(), 20).empty());
    stReq.u64Type = 0x5658040200080000ULL;
    stReq.u8SetMac = 1;  /* passes the identity match: user and msgid lines */
    Exchange(stReq.Build(), 20);
    const std::string strLog = testing::internal::GetCapturedStderr();
    std::istringstream in(strLog);
    std::string strLine;
    int s32Lines = 0;
    while (std::getline(in, strLine)) {
        ++s32Lines;
        /* "CheckUser Failed" has no line end of its own; all else starts a line. */
        EXPECT_EQ(strLine.rfind("[BCAST][AcceptProcess] line[", 0), 0u) << strLine;
        const size_t uForged = strLine.find("forged");
        if (uForged != std::string::npos) {
            EXPECT_EQ(uForged, strLine.find("\\x1b[2Jforged") + 7) << strLine;
        }
        EXPECT_EQ(strLine.find('\x1b'), std::string::npos);
    }
    EXPECT_GT(s32Lines, 8);
    EXPECT_NE(strLog.find(" MacAddr:00\\x0a[BCAST][x] line[1] \\x1b[2Jforged\n"),
              std::string::npos) << strLog;
    EXPECT_NE(strLog.find("authencate succefully!(ad\\x0amin\\xff:***)\n"), std::string::npos);
    EXPECT_NE(strLog.find("MSG_ID:id\\x0d\\x0a\n"), std::string::npos);
}

}  // namespace

namespace {

TEST(PeerAddress, NumericHostAndPortWithoutLookup)
{
    FakeDevice stDev;
    TestServer stServer(&stDev);
    struct sockaddr_in stAddr = {};
    stAddr.sin_family = AF_INET;
    stAddr.sin_port = htons(9333);
    inet_pton(AF_INET, "10.1.2.3", &stAddr.sin_addr);
    char s8Host[1025];
    char s8Port[32];
    ASSERT_EQ(stServer.GetPeerIpAddr(reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr), s8Host, s8Port), 0);
    EXPECT_STREQ(s8Host, "10.1.2.3");
    EXPECT_STREQ(s8Port, "9333");
    stAddr.sin_family = 12345;   /* no such family */
    EXPECT_EQ(stServer.GetPeerIpAddr(reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr), s8Host, s8Port), -1);
}

}  // namespace
