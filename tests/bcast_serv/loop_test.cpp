// SPDX-License-Identifier: MIT
/* The receive loop and its dispatch over a loopback socket: what a receive
 * reads, how each datagram is decoded and dispatched, the packet information
 * that names the arrival interface, and the request the facade gets for each
 * datagram. */
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

using ReceiveLoop = BcastFixture;

TEST_F(ReceiveLoop, OtherTypesAreLoggedAndNotAnswered)
{
    CaptureFd stCapErr(STDERR_FILENO);
    const Bytes vecRsp = Exchange(Header(13, 0), 50);
    const std::string strLog = stCapErr.Take();
    EXPECT_TRUE(vecRsp.empty());
    EXPECT_NE(strLog.find("[BCAST][AcceptProcess] line["), std::string::npos);
    EXPECT_NE(strLog.find("] invlalid msg_type(13)!\n"), std::string::npos) << strLog;
    EXPECT_TRUE(m_stDev.vecEvents.empty());
}

TEST_F(ReceiveLoop, EmptyDatagramIsAReceiveFailure)
{
    CaptureFd stCapErr(STDERR_FILENO);
    Send(Bytes());
    EXPECT_EQ(m_pServer->Step(), 0);
    const std::string strLog = stCapErr.Take();
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
    m_pServer.reset(new TestServer(&m_stDev, s32Plain)); /* the old server closes its socket */
    m_u16Port = PortOf(s32Plain);

    CaptureFd stCapErr(STDERR_FILENO);
    const Bytes vecSearch = Exchange(Header(11, 0), 50);
    const std::string strLog = stCapErr.Take();
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
        int s32Reply; /* 1 answered, 0 not, -1 not asserted */
    } astCases[] = {
        {{{1, false}}, 0, 1, 1},
        {{{999999, false}, {1, false}}, 0, 1, 1},
        {{{1, false}, {999999, false}}, 0, 999999, 0},
        {{{1, false}, {999999, true}}, 0, 1, -1}, /* a record cut short is not taken */
        {{{999999, true}}, 1, 1, -1},             /* none taken: the earlier index stays */
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

/* A facade with a request scope gets one request around each datagram the
 * server handles, closed when the datagram is done, so it may share reads
 * between the calls of one datagram and never beyond it. */
class RequestScope : public BcastFixtureT<ScopedFakeDevice> {
protected:
    /* One datagram of uType (and uMsgSize, uLen bytes long), handled. */
    void Handle(unsigned uType, unsigned uMsgSize = 0, size_t uLen = 16)
    {
        Bytes vecMsg = Header(uType, uMsgSize);
        vecMsg.resize(uLen, 0);
        CaptureFd stCapErr(STDERR_FILENO);
        CaptureFd stCapOut(STDOUT_FILENO);
        (void)Exchange(vecMsg);
    }
};

TEST_F(RequestScope, EachDatagramIsOneRequestAroundAllItsCalls)
{
    Handle(11); /* a search, answered */
    const std::vector<std::string> vecSearch = {
        "RequestBegin", "GetProductCustomVal", "GetNetworkState", "GetDnsAddrs", "GetHostname",
        "GetDevInfo",   "GetMediaPort",        "GetWebPort",      "send",        "RequestEnd"};
    EXPECT_EQ(m_stDev.Names(), vecSearch);

    /* A modification, a dropped search form and an unknown type: each its own
     * request, closed before the next datagram is read. */
    m_stDev.vecEvents.clear();
    Handle(12, 116, 132);
    Handle(618);
    Handle(77);
    Handle(11, 448); /* another device's reply */
    std::vector<std::string> vecNames = m_stDev.Names();
    ASSERT_FALSE(vecNames.empty());
    EXPECT_EQ(vecNames.front(), "RequestBegin");
    EXPECT_EQ(vecNames.back(), "RequestEnd");
    int s32Depth = 0;
    int s32Requests = 0;
    for (const std::string& strName : vecNames) {
        if (strName == "RequestBegin") {
            EXPECT_EQ(s32Depth, 0) << "a request opened inside another";
            ++s32Depth;
            ++s32Requests;
        } else if (strName == "RequestEnd") {
            EXPECT_EQ(s32Depth, 1);
            --s32Depth;
        } else {
            EXPECT_EQ(s32Depth, 1) << strName << " outside a request";
        }
    }
    EXPECT_EQ(s32Requests, 4);
}

TEST_F(RequestScope, AFailedReceiveOpensNone)
{
    Handle(11, 0, 0); /* zero-length datagram: "recvmsg failed" */
    EXPECT_TRUE(m_stDev.Names().empty());
}

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
    ASSERT_EQ(stServer.GetPeerIpAddr(reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr), s8Host,
                                     s8Port),
              0);
    EXPECT_STREQ(s8Host, "10.1.2.3");
    EXPECT_STREQ(s8Port, "9333");
    stAddr.sin_family = 12345; /* no such family */
    EXPECT_EQ(stServer.GetPeerIpAddr(reinterpret_cast<sockaddr*>(&stAddr), sizeof(stAddr), s8Host,
                                     s8Port),
              -1);
}

}  // namespace
