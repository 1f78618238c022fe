// SPDX-License-Identifier: MIT
/* Route-dump parsing and the netlink reader over hand-built messages. */
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "capture_fd.h"
#include "comm_funcs.h"
#include "comm_funcs_internal.h"
#include "test_util.h"

using comm_internal::ROUTE_MATCH_S;
using test_util::Fd;

namespace {

typedef std::vector<unsigned char> Bytes;

void Put16(Bytes* pvec, size_t u32Off, unsigned int u32Val)
{
    (*pvec)[u32Off] = static_cast<unsigned char>(u32Val);
    (*pvec)[u32Off + 1] = static_cast<unsigned char>(u32Val >> 8);
}

void Put32(Bytes* pvec, size_t u32Off, unsigned int u32Val)
{
    for (int i = 0; i < 4; ++i)
        (*pvec)[u32Off + static_cast<size_t>(i)] = static_cast<unsigned char>(u32Val >> (8 * i));
}

/* A netlink message: 16-byte header (length, type, flags, seq, port id). The
 * layout is the kernel's; host byte order is little-endian here. */
Bytes NlMsg(unsigned int u32Type, unsigned int u32Flags, unsigned int u32Seq, unsigned int u32Pid,
            const Bytes& vecBody)
{
    Bytes vecMsg(16 + vecBody.size());
    Put32(&vecMsg, 0, static_cast<unsigned int>(vecMsg.size()));
    Put16(&vecMsg, 4, u32Type);
    Put16(&vecMsg, 6, u32Flags);
    Put32(&vecMsg, 8, u32Seq);
    Put32(&vecMsg, 12, u32Pid);
    std::copy(vecBody.begin(), vecBody.end(), vecMsg.begin() + 16);
    while (vecMsg.size() % 4 != 0) vecMsg.push_back(0);
    return vecMsg;
}

struct Route {
    unsigned char u8Family = 2;           /* AF_INET */
    unsigned char u8Table = 254;          /* main */
    int s32Oif = -1;                      /* RTA_OIF index, -1: none */
    const unsigned char* pu8Gw = nullptr; /* RTA_GATEWAY, null: none */
    bool bDstFirst = true;                /* an RTA_DST attribute to skip */
};

/* A main-table IPv4 route through interface s32Oif (-1: none), with gateway
 * pu8Gw (null: none). */
Route Via(int s32Oif, const unsigned char* pu8Gw = nullptr)
{
    Route stRoute;
    stRoute.s32Oif = s32Oif;
    stRoute.pu8Gw = pu8Gw;
    return stRoute;
}

/* RTM_NEWROUTE (24) message: 12-byte rtmsg (family, dst_len, src_len, tos,
 * table, protocol, scope, type, flags[4]), then attributes. */
Bytes RouteMsg(const Route& stRoute)
{
    Bytes vecBody(12, 0);
    vecBody[0] = stRoute.u8Family;
    vecBody[4] = stRoute.u8Table;
    auto Attr = [&vecBody](unsigned int u32Type, const unsigned char* pu8Data, size_t u32Len) {
        const size_t u32Off = vecBody.size();
        vecBody.resize(u32Off + 4 + ((u32Len + 3) & ~size_t(3)), 0);
        Put16(&vecBody, u32Off, static_cast<unsigned int>(4 + u32Len));
        Put16(&vecBody, u32Off + 2, u32Type);
        std::copy(pu8Data, pu8Data + u32Len, vecBody.begin() + static_cast<long>(u32Off) + 4);
    };
    const unsigned char u8Dst[4] = {10, 7, 0, 0};
    if (stRoute.bDstFirst) Attr(1, u8Dst, 4);
    if (stRoute.s32Oif >= 0) {
        unsigned char u8Oif[4];
        Bytes vecTmp(4);
        Put32(&vecTmp, 0, static_cast<unsigned int>(stRoute.s32Oif));
        std::copy(vecTmp.begin(), vecTmp.end(), u8Oif);
        Attr(4, u8Oif, 4);
    }
    if (stRoute.pu8Gw != nullptr) Attr(5, stRoute.pu8Gw, 4);
    return NlMsg(24, 2, 0, 0, vecBody);
}

Bytes Cat(std::initializer_list<Bytes> lstParts)
{
    Bytes vecAll;
    for (const auto& vecPart : lstParts)
        vecAll.insert(vecAll.end(), vecPart.begin(), vecPart.end());
    return vecAll;
}

const unsigned char GW_A[4] = {10, 1, 0, 1};
const unsigned char GW_B[4] = {10, 2, 0, 1};
const unsigned char GW_C[4] = {10, 3, 0, 1};

std::vector<int> Gw(const unsigned char* pu8Gw)
{
    return {pu8Gw[0], pu8Gw[1], pu8Gw[2], pu8Gw[3]};
}

ROUTE_MATCH_S ByIndex(unsigned int u32Index)
{
    return ROUTE_MATCH_S{true, u32Index, nullptr};
}

}  // namespace

TEST(RouteDump, FirstRouteThroughTheInterfaceWins)
{
    const Route stOther = Via(3, GW_C);
    const Route stFirst = Via(7, GW_A);
    const Route stSecond = Via(7, GW_B);
    const Bytes vecDump = Cat({RouteMsg(stOther), RouteMsg(stFirst), RouteMsg(stSecond)});
    unsigned char u8Gw[4] = {0, 0, 0, 0};
    EXPECT_EQ(comm_internal::WalkRouteDump(vecDump.data(), vecDump.size(), ByIndex(7), u8Gw), 0);
    EXPECT_EQ(Gw(u8Gw), Gw(GW_A));
}

TEST(RouteDump, WithoutAMatchTheLastGatewayStays)
{
    const Route stB = Via(3, GW_B);
    const Route stC = Via(4, GW_C);
    const Route stNoGw = Via(7);
    const Bytes vecDump = Cat({RouteMsg(stB), RouteMsg(stC), RouteMsg(stNoGw)});
    unsigned char u8Gw[4] = {0, 0, 0, 0};
    EXPECT_EQ(comm_internal::WalkRouteDump(vecDump.data(), vecDump.size(), ByIndex(7), u8Gw), -1);
    EXPECT_EQ(Gw(u8Gw), Gw(GW_C));
}

TEST(RouteDump, OnlyIpv4MainTableRoutesWithAGatewayCount)
{
    Route stV6 = Via(7, GW_A);
    stV6.u8Family = 10;
    Route stLocal = Via(7, GW_B);
    stLocal.u8Table = 255;
    const Route stNoGw = Via(7);
    const Bytes vecDump = Cat({RouteMsg(stV6), RouteMsg(stLocal), RouteMsg(stNoGw)});
    unsigned char u8Gw[4] = {1, 2, 3, 4};
    EXPECT_EQ(comm_internal::WalkRouteDump(vecDump.data(), vecDump.size(), ByIndex(7), u8Gw), -1);
    EXPECT_EQ(Gw(u8Gw), (std::vector<int>{1, 2, 3, 4}));
}

TEST(RouteDump, RouteWithoutOutputInterfaceNeverMatchesByIndex)
{
    const Route stNoOif = Via(-1, GW_A);
    const Bytes vecDump = RouteMsg(stNoOif);
    unsigned char u8Gw[4] = {0, 0, 0, 0};
    EXPECT_EQ(comm_internal::WalkRouteDump(vecDump.data(), vecDump.size(), ByIndex(0), u8Gw), -1);
    EXPECT_EQ(Gw(u8Gw), Gw(GW_A));
}

TEST(RouteDump, MalformedMessagesEndTheWalk)
{
    const Route stGood = Via(7, GW_A);
    const Bytes vecGood = RouteMsg(stGood);
    struct {
        const char* ps8Name;
        Bytes vecDump;
    } stCases[] = {
        {"cut inside the match", Bytes(vecGood.begin(), vecGood.end() - 4)},
        {"length below a header", Cat({NlMsg(24, 0, 0, 0, {}), vecGood})},
        {"shorter than a header", Bytes(vecGood.begin(), vecGood.begin() + 15)},
        {"empty", Bytes()},
    };
    stCases[1].vecDump[0] = 8; /* length field 8 < 16 */
    for (const auto& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8Name);
        unsigned char u8Gw[4] = {9, 9, 9, 9};
        EXPECT_EQ(comm_internal::WalkRouteDump(stCase.vecDump.data(), stCase.vecDump.size(),
                                               ByIndex(7), u8Gw),
                  -1);
        EXPECT_EQ(Gw(u8Gw), (std::vector<int>{9, 9, 9, 9}));
    }
}

TEST(RouteDump, AttributesPastTheMessageAreNotRead)
{
    Route stRoute = Via(7, GW_A);
    stRoute.bDstFirst = false;
    Bytes vecMsg = RouteMsg(stRoute);
    /* The first attribute (RTA_OIF at 28) claims 200 bytes: the attribute
     * walk ends before the gateway. */
    Put16(&vecMsg, 28, 200);
    unsigned char u8Gw[4] = {9, 9, 9, 9};
    EXPECT_EQ(comm_internal::WalkRouteDump(vecMsg.data(), vecMsg.size(), ByIndex(7), u8Gw), -1);
    EXPECT_EQ(Gw(u8Gw), (std::vector<int>{9, 9, 9, 9}));

    /* A message too short for its route record is not read as one. */
    Bytes vecShort = NlMsg(24, 0, 0, 0, Bytes(8, 0));
    vecShort[16] = 2;
    route_info stInfo = {};
    EXPECT_EQ(
        comm_internal::ParseRouteMsg(vecShort.data(), vecShort.size(), ByIndex(7), &stInfo, u8Gw),
        -1);
}

TEST(RouteDump, ParseRoutesMatchesByName)
{
    const unsigned int u32Lo = if_nametoindex("lo");
    ASSERT_NE(u32Lo, 0u);
    const Route stRoute = Via(static_cast<int>(u32Lo), GW_B);
    Bytes vecMsg = RouteMsg(stRoute);
    /* Aligned storage for the record the public call takes. */
    std::vector<nlmsghdr> vecAligned(vecMsg.size() / sizeof(nlmsghdr) + 1);
    memcpy(vecAligned.data(), vecMsg.data(), vecMsg.size());
    route_info stInfo = {};
    unsigned char u8Gw[4] = {0, 0, 0, 0};
    EXPECT_EQ(ParseRoutes(vecAligned.data(), &stInfo, u8Gw, "lo"), 0);
    EXPECT_STREQ(stInfo.ifName, "lo");
    EXPECT_EQ(Gw(u8Gw), Gw(GW_B));
    EXPECT_EQ(stInfo.dstAddr.s_addr, 0u);
    EXPECT_EQ(stInfo.srcAddr.s_addr, 0u);

    stInfo = route_info{};
    unsigned char u8Gw2[4] = {0, 0, 0, 0};
    EXPECT_EQ(ParseRoutes(vecAligned.data(), &stInfo, u8Gw2, "eth0"), -1);
    EXPECT_EQ(Gw(u8Gw2), Gw(GW_B)); /* written whatever the interface */
}

TEST(NetlinkDone, FoundWhereverItStands)
{
    const Route stRoute = Via(7, GW_A);
    const Bytes vecRoute = RouteMsg(stRoute);
    const Bytes vecDone = NlMsg(3, 2, 0, 0, Bytes(4, 0));
    EXPECT_EQ(comm_internal::FindNlDone(vecDone.data(), vecDone.size()), 0);
    const Bytes vecTail = Cat({vecRoute, vecRoute, vecDone});
    EXPECT_EQ(comm_internal::FindNlDone(vecTail.data(), vecTail.size()),
              static_cast<long>(2 * vecRoute.size()));
    EXPECT_EQ(comm_internal::FindNlDone(vecRoute.data(), vecRoute.size()), -1);
}

namespace {

class NlReader : public testing::Test {
protected:
    void SetUp() override
    {
        int s32Fds[2] = {-1, -1};
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, s32Fds), 0);
        m_stRead.Reset(s32Fds[0]);
        m_stWrite.Reset(s32Fds[1]);
        /* A reader that waits for a datagram that never comes fails the
         * test instead of hanging it. */
        timeval stTv = {2, 0};
        setsockopt(m_stRead.Get(), SOL_SOCKET, SO_RCVTIMEO, &stTv, sizeof(stTv));
        m_vecBuf.assign(COMM_NL_BUF_SIZE, 0);
    }
    void Send(const Bytes& vecDgram)
    {
        ASSERT_EQ(send(m_stWrite.Get(), vecDgram.data(), vecDgram.size(), 0),
                  static_cast<ssize_t>(vecDgram.size()));
    }
    int Read(int s32Seq = 1, int s32Pid = 4242)
    {
        return ReadNlSock(m_stRead.Get(), reinterpret_cast<char*>(m_vecBuf.data()), s32Seq, s32Pid);
    }
    Bytes Multi()
    {
        const Route stRoute = Via(7, GW_A);
        return RouteMsg(stRoute); /* flags NLM_F_MULTI, seq 0, pid 0 */
    }

    Fd m_stRead;
    Fd m_stWrite;
    Bytes m_vecBuf;
};

}  // namespace

TEST_F(NlReader, EndsAtDoneBehindRoutesInOneDatagram)
{
    const Bytes vecRoute = Multi();
    Send(Cat({vecRoute, vecRoute}));
    Send(Cat({vecRoute, NlMsg(3, 2, 0, 0, Bytes(4, 0))}));
    EXPECT_EQ(Read(), static_cast<int>(3 * vecRoute.size()));
    EXPECT_TRUE(std::equal(vecRoute.begin(), vecRoute.end(),
                           m_vecBuf.begin() + 2 * static_cast<long>(vecRoute.size())));
}

TEST_F(NlReader, EndsAtADatagramThatOpensWithDone)
{
    const Bytes vecRoute = Multi();
    Send(vecRoute);
    Send(NlMsg(3, 2, 0, 0, Bytes(4, 0)));
    EXPECT_EQ(Read(), static_cast<int>(vecRoute.size()));
}

TEST_F(NlReader, EndsAfterASingleMessageAnswer)
{
    const Bytes vecPlain = NlMsg(24, 0, 0, 0, Bytes(12, 0));
    Send(vecPlain);
    EXPECT_EQ(Read(), static_cast<int>(vecPlain.size()));
}

TEST_F(NlReader, EndsAtTheAwaitedSequenceAndPort)
{
    const Bytes vecMine = NlMsg(24, 2, 9, 4242, Bytes(12, 0));
    Send(vecMine);
    EXPECT_EQ(Read(9, 4242), static_cast<int>(vecMine.size()));
}

TEST_F(NlReader, BadFirstMessagesAreErrors)
{
    /* The report names what is wrong: no call failed, so errno says nothing. */
    struct {
        const char* ps8Name;
        Bytes vecDgram;
        const char* ps8Why;
    } stCases[] = {
        {"error message", NlMsg(2, 0, 0, 0, Bytes(20, 0)), "error message without a code"},
        {"error message with a code", NlMsg(2, 0, 0, 0, Bytes(20, 0)), "Operation not permitted"},
        {"shorter than a header", Bytes(10, 0), "short or inconsistent message"},
        {"length beyond the datagram", NlMsg(24, 2, 0, 0, Bytes(12, 0)),
         "short or inconsistent message"},
    };
    Put32(&stCases[1].vecDgram, 16, static_cast<unsigned int>(-EPERM));
    Put32(&stCases[3].vecDgram, 0, 400);
    for (const auto& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8Name);
        Send(stCase.vecDgram);
        CaptureFd stCapErr(STDERR_FILENO);
        EXPECT_EQ(Read(), -1);
        const std::string strLog = stCapErr.Take();
        EXPECT_NE(strLog.find("[COMM][ReadNlSock] line["), std::string::npos) << strLog;
        EXPECT_NE(strLog.find(std::string("] Error in recieved packet: ") + stCase.ps8Why + "\n"),
                  std::string::npos)
            << strLog;
    }
}

TEST_F(NlReader, AFullBufferEndsWithAnError)
{
    /* 8192 bytes of multipart routes, and no end: the next receive has no
     * room and the read fails rather than writing past the buffer. */
    Bytes vecRoute = Multi();
    Bytes vecDgram;
    while (vecDgram.size() + vecRoute.size() <= 4096) vecDgram = Cat({vecDgram, vecRoute});
    vecDgram.resize(4096, 0);
    Put32(&vecDgram, 0, static_cast<unsigned int>(vecRoute.size()));
    Send(vecDgram);
    Send(vecDgram);
    Send(vecRoute);
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(Read(), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("Error in recieved packet"), std::string::npos) << strLog;
}

TEST(GatewayQuery, LoopbackOnlyHostAnswersWithoutError)
{
    unsigned char u8Gw[4] = {7, 7, 7, 7};
    EXPECT_EQ(GetGateWay(u8Gw, "no-such-if0"), 0);
    EXPECT_EQ(GetGateWay(u8Gw, "a-name-longer-than-fifteen"), 0);
}
