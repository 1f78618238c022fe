// SPDX-License-Identifier: MIT
/* bcast_fixture.h: the discovery server over a loopback socket for its unit
 * tests: a TestServer on an ephemeral port of 127.0.0.1, a client socket beside
 * it, a recording FakeDevice. Request and reply bytes are laid out here by
 * offset (little-endian), independent of the server's records.
 *
 *   using SearchReply = BcastFixture;
 *   TEST_F(SearchReply, X) { const Bytes vecRsp = Exchange(Header(11, 0)); ... }
 */
#ifndef TESTS_BCAST_SERV_BCAST_FIXTURE_H
#define TESTS_BCAST_SERV_BCAST_FIXTURE_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "comm_log_internal.h"
#include "fake_device.h"

using Bytes = std::vector<U8>;

inline void Put16(Bytes& vec, size_t uOff, unsigned uVal)
{
    vec.at(uOff) = (U8)uVal;
    vec.at(uOff + 1) = (U8)(uVal >> 8);
}
inline void Put32(Bytes& vec, size_t uOff, unsigned long uVal)
{
    for (size_t i = 0; i < 4; ++i) vec.at(uOff + i) = (U8)(uVal >> (8 * i));
}
inline void Put64(Bytes& vec, size_t uOff, unsigned long long uVal)
{
    for (size_t i = 0; i < 8; ++i) vec.at(uOff + i) = (U8)(uVal >> (8 * i));
}
inline void PutStr(Bytes& vec, size_t uOff, const std::string& str)
{
    for (size_t i = 0; i < str.size(); ++i) vec.at(uOff + i) = (U8)str[i];
}
inline void PutAddr(Bytes& vec, size_t uOff, U8 a, U8 b, U8 c, U8 d)
{
    vec.at(uOff) = a;
    vec.at(uOff + 1) = b;
    vec.at(uOff + 2) = c;
    vec.at(uOff + 3) = d;
}
inline unsigned Get16(const Bytes& vec, size_t uOff)
{
    return vec.at(uOff) | (unsigned)vec.at(uOff + 1) << 8;
}
inline unsigned long Get32(const Bytes& vec, size_t uOff)
{
    unsigned long u = 0;
    for (size_t i = 0; i < 4; ++i) u |= (unsigned long)vec.at(uOff + i) << (8 * i);
    return u;
}
inline unsigned long long Get64(const Bytes& vec, size_t uOff)
{
    unsigned long long u = 0;
    for (size_t i = 0; i < 8; ++i) u |= (unsigned long long)vec.at(uOff + i) << (8 * i);
    return u;
}
/* A text field of uWidth bytes: the text, then zeros to the end. */
inline std::string Field(const Bytes& vec, size_t uOff, size_t uWidth)
{
    return std::string(vec.begin() + (long)uOff, vec.begin() + (long)(uOff + uWidth));
}
inline std::string Padded(const std::string& str, size_t uWidth)
{
    std::string s = str.substr(0, uWidth);
    s.resize(uWidth, '\0');
    return s;
}

/* Header: byte 0 = Version | ExtSize << 2, Reserved, AckFlag, MsgType,
 * MsgSubType, MsgSize, Seq. */
inline Bytes Header(unsigned uType, unsigned uMsgSize, unsigned uExtSize = 0,
                    unsigned long uSeq = 7)
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

inline void PutPacketInfo(BCAST_LOOP_S* pstLoop, const char* ps8Dst, const char* ps8Local)
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

inline long CountOf(const std::vector<std::string>& vec, const char* ps8Name)
{
    return (long)std::count(vec.begin(), vec.end(), ps8Name);
}

/* A clock the test moves. */
inline U64 g_u64FakeNowMs = 0;
inline U64 FakeNowMs()
{
    return g_u64FakeNowMs;
}

template <class DEV>
class BcastFixtureT : public testing::Test {
protected:
    void SetUp() override
    {
        CommLogBudgetRefill();
        m_pServer.reset(new TestServer(&m_stDev, -1, ScopeOf(&m_stDev)));
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

    DEV m_stDev;
    std::unique_ptr<TestServer> m_pServer;
    int m_s32Client = -1;
    U16 m_u16Port = 0;
};

/* The server over a recording device, on a loopback socket. */
using BcastFixture = BcastFixtureT<FakeDevice>;

#endif /* TESTS_BCAST_SERV_BCAST_FIXTURE_H */
