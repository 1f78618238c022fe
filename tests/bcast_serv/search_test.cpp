// SPDX-License-Identifier: MIT
/* The search branch over a loopback socket: which searches are answered, the
 * reply's header and body byte by byte, and what the facade is asked. */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bcast_fixture.h"
#include "capture_fd.h"

namespace {

using SearchReply = BcastFixture;

TEST_F(SearchReply, EchoesTheHeaderAndLaysOutTheBody)
{
    Bytes vecReq = Header(11, 0, 5, 0xA1B2C3D4);
    CaptureFd stCapErr(STDERR_FILENO);
    const Bytes vecRsp = Exchange(vecReq);
    const std::string strLog = stCapErr.Take();
    ASSERT_EQ(vecRsp.size(), 464u);

    /* header: the request's, MsgSize 448; ExtSize 5 does not move the body */
    Bytes vecHead = vecReq;
    Put32(vecHead, 8, 448);
    EXPECT_EQ(Bytes(vecRsp.begin(), vecRsp.begin() + 16), vecHead);

    const size_t b = 16;
    EXPECT_EQ(Field(vecRsp, b + 0, 16), Padded("192.168.1.10", 16))
        << "stored address; lo has none to give";
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
    const std::vector<std::string> vecOrder = {
        "GetProductCustomVal", "GetNetworkState", "GetDnsAddrs", "GetHostname",
        "GetDevInfo",          "GetMediaPort",    "GetWebPort",  "send"};
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
    const U8 aau8Addrs[][4] = {
        {0, 9, 10, 99}, {100, 199, 200, 255}, {255, 255, 255, 255}, {1, 0, 0, 7}};
    for (const auto& au8Addr : aau8Addrs) {
        char s8Expected[32];
        snprintf(s8Expected, sizeof(s8Expected), "%d.%d.%d.%d", au8Addr[0], au8Addr[1], au8Addr[2],
                 au8Addr[3]);
        SCOPED_TRACE(s8Expected);
        memcpy(m_stDev.au8Ip, au8Addr, 4);
        memcpy(m_stDev.au8Dns[1], au8Addr, 4);
        SearchDevRsp stRsp;
        memset(&stRsp, 0xAA, sizeof(stRsp));
        char s8If[] = "nosuchif0"; /* no live values: the stored ones stay */
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
        {CUS_Normal, 11, true},    {CUS_Normal, 618, false}, {CUS_Normal, 620, true},
        {CUS_Custom1, 11, false},  {CUS_Custom1, 618, true}, {CUS_Custom1, 620, false},
        {CUS_Custom2, 618, false}, {CUS_Custom2, 11, true},
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(testing::Message()
                     << "custom " << stCase.enCustom << " type " << stCase.uType);
        m_stDev.enCustom = stCase.enCustom;
        m_stDev.vecEvents.clear();
        CaptureFd stCapErr(STDERR_FILENO);
        const Bytes vecRsp = Exchange(Header(stCase.uType, 0), stCase.bAnswered ? 0 : 50);
        const std::string strLog = stCapErr.Take();
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
        SCOPED_TRACE(testing::Message()
                     << stCase.s32Dns << "/" << stCase.s32Host << "/" << stCase.s32Dev);
        m_stDev.s32DnsRet = stCase.s32Dns;
        m_stDev.s32HostRet = stCase.s32Host;
        m_stDev.s32DevInfoRet = stCase.s32Dev;
        CaptureFd stCapErr(STDERR_FILENO);
        const Bytes vecRsp = Exchange(Header(11, 0), stCase.bAnswered ? 0 : 50);
        const std::string strLog = stCapErr.Take();
        EXPECT_EQ(vecRsp.size(), stCase.bAnswered ? 464u : 0u);
        EXPECT_EQ(strLog.find("failed to get device info!\n") != std::string::npos,
                  !stCase.bAnswered);
    }
}

/* A search reply echoes its request's header, type 11 included, with MsgSize
 * 448. Answering it would make two devices answer each other for ever. */
TEST_F(SearchReply, AnotherDevicesReplyIsNotAnswered)
{
    Bytes vecReply = Header(11, 448);
    vecReply.resize(464, 0x31); /* a whole reply, as a daemon sends it */
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_TRUE(Exchange(vecReply, 50).empty());
    EXPECT_TRUE(Exchange(Header(620, 448), 50).empty());
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("] search from 127.0.0.1:"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find(" has MsgSize 448, a device's reply: not answered\n"), std::string::npos);
    EXPECT_EQ(strLog.find("MSG_TYPE_SEARCH"), std::string::npos) << "one line, no other";
    for (unsigned uMsgSize : {0u, 16u, 447u, 449u, 464u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(uMsgSize);
        EXPECT_EQ(Exchange(Header(11, uMsgSize)).size(), 464u) << "a client's search";
    }
}

}  // namespace
