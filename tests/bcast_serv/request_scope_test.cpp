// SPDX-License-Identifier: MIT
/* The server opens a request on a facade that is an IRequestScope for every
 * datagram it handles, and closes it when the datagram is done, so a facade
 * may share reads between the calls of one datagram and never beyond it. */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "comm_log_internal.h"
#include "fake_device.h"
#include "intf_request.h"

namespace {

class ScopedFakeDevice : public FakeDevice, public IRequestScope {
public:
    VOID RequestBegin() override { Record("RequestBegin"); }
    VOID RequestEnd() override { Record("RequestEnd"); }
};

class RequestScope : public testing::Test {
protected:
    void SetUp() override
    {
        CommLogBudgetRefill();
        m_pServer.reset(new TestServer(&m_stDev));
        ASSERT_GE(m_pServer->OpenSocket("127.0.0.1", "0"), 0);
        struct sockaddr_in stAddr = {};
        socklen_t uLen = sizeof(stAddr);
        ASSERT_EQ(getsockname(m_pServer->Fd(), reinterpret_cast<sockaddr*>(&stAddr), &uLen), 0);
        m_stTo = stAddr;
        m_s32Client = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(m_s32Client, 0);
    }
    void TearDown() override
    {
        if (m_s32Client >= 0) close(m_s32Client);
        if (m_pServer && m_pServer->Fd() >= 0) close(m_pServer->Fd());
    }

    /* One datagram of uType (and uMsgSize), handled by the server. */
    void Handle(unsigned uType, unsigned uMsgSize = 0, size_t uLen = 16)
    {
        U8 u8Msg[132] = {};
        u8Msg[0] = 1;
        u8Msg[4] = (U8)uType;
        u8Msg[5] = (U8)(uType >> 8);
        u8Msg[8] = (U8)uMsgSize;
        ASSERT_LE(uLen, sizeof(u8Msg));
        ASSERT_EQ(sendto(m_s32Client, u8Msg, uLen, 0, reinterpret_cast<sockaddr*>(&m_stTo),
                         sizeof(m_stTo)),
                  (ssize_t)uLen);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        const S32 s32Got = m_pServer->Step();
        (void)testing::internal::GetCapturedStdout();
        (void)testing::internal::GetCapturedStderr();
        EXPECT_NE(s32Got, -100) << "the server saw no datagram";
    }

    ScopedFakeDevice m_stDev;
    std::unique_ptr<TestServer> m_pServer;
    struct sockaddr_in m_stTo = {};
    int m_s32Client = -1;
};

}  // namespace

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
