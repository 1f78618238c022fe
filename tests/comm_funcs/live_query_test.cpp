// SPDX-License-Identifier: MIT
/* CommLiveQuery, the kept-open address and route queries, in a network of the
 * test's own (root: the process moves into a new network namespace and builds
 * veth links, addresses and routes with `ip`; all of it goes with the
 * process). The one-shot GetIpAndNetMask and GetGateWay are the reference. */
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "capture_fd.h"
#include "comm_funcs.h"
#include "test_util.h"

namespace {

using test_util::Sh;

std::vector<int> Bytes4(const unsigned char* pu8)
{
    return {pu8[0], pu8[1], pu8[2], pu8[3]};
}

/* What one query gives, from outputs that start as 9.9.9.9. */
struct Answer {
    int s32IpRet;
    std::vector<int> vecIp, vecMask;
    int s32GwRet;
    std::vector<int> vecGw;

    bool operator==(const Answer& o) const
    {
        return s32IpRet == o.s32IpRet && vecIp == o.vecIp && vecMask == o.vecMask &&
               s32GwRet == o.s32GwRet && vecGw == o.vecGw;
    }
};

std::ostream& operator<<(std::ostream& os, const Answer& a)
{
    auto put = [&os](const std::vector<int>& v) {
        os << v[0] << '.' << v[1] << '.' << v[2] << '.' << v[3];
    };
    os << "ip " << a.s32IpRet << ' ';
    put(a.vecIp);
    os << '/';
    put(a.vecMask);
    os << " gw " << a.s32GwRet << ' ';
    put(a.vecGw);
    return os;
}

Answer AskLive(CommLiveQuery& stLive, const char* ps8If)
{
    unsigned char u8Ip[4] = {9, 9, 9, 9}, u8Mask[4] = {9, 9, 9, 9}, u8Gw[4] = {9, 9, 9, 9};
    Answer a;
    a.s32IpRet = stLive.IpAndNetMask(u8Ip, u8Mask, ps8If);
    a.s32GwRet = stLive.GateWay(u8Gw, ps8If);
    a.vecIp = Bytes4(u8Ip);
    a.vecMask = Bytes4(u8Mask);
    a.vecGw = Bytes4(u8Gw);
    return a;
}

Answer AskOnce(const char* ps8If)
{
    unsigned char u8Ip[4] = {9, 9, 9, 9}, u8Mask[4] = {9, 9, 9, 9}, u8Gw[4] = {9, 9, 9, 9};
    Answer a;
    a.s32IpRet = GetIpAndNetMask(u8Ip, u8Mask, ps8If);
    a.s32GwRet = GetGateWay(u8Gw, ps8If);
    a.vecIp = Bytes4(u8Ip);
    a.vecMask = Bytes4(u8Mask);
    a.vecGw = Bytes4(u8Gw);
    return a;
}

class LiveQuery : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_bReady = false;
        if (unshare(CLONE_NEWNET) != 0) return;
        const char* const ps8Cmds[] = {
            "ip link set lo up",
            "ip link add la type veth peer name lb",
            "ip link set la up",
            "ip link set lb up",
            "ip addr add 10.5.0.5/24 dev la",
            "ip link add lc type veth peer name ld",
            "ip link set lc up",
            "ip link set ld up",
            "ip addr add 10.6.0.5/24 dev lc",
            "ip addr add 10.6.0.6/24 dev lc",
            "ip link add le type veth peer name lf", /* down, with an address */
            "ip addr add 10.7.0.5/24 dev le",
        };
        s_bReady = test_util::ShAll(ps8Cmds);
    }

    void SetUp() override { ASSERT_TRUE(s_bReady) << "needs root: own network namespace"; }

    /* Changes a test makes are undone after it (commands that may already be
     * undone by the test itself). */
    void TearDown() override
    {
        for (auto it = m_vecUndo.rbegin(); it != m_vecUndo.rend(); ++it) (void)Sh(*it);
    }
    void Run(const std::string& strCmd, const std::string& strUndo)
    {
        ASSERT_EQ(Sh(strCmd), 0) << strCmd;
        m_vecUndo.push_back(strUndo);
    }

    static bool s_bReady;
    std::vector<std::string> m_vecUndo;
};

bool LiveQuery::s_bReady = false;

}  // namespace

TEST_F(LiveQuery, SameAnswersAsTheOneShotQueries)
{
    CommLiveQuery stLive;
    const char* ps8Names[] = {"la", "lc", "le", "lo", "lb", "nosuchif", "a-name-longer-than-15",
                              ""};
    const char* ps8Routes[][2] = {
        {"", ""},
        {"ip route add default via 10.5.0.1 dev la", "ip route del default"},
        {"ip route add 0.0.0.0/1 via 10.5.0.2 dev la", "ip route del 0.0.0.0/1"},
        {"ip route add 10.77.0.0/16 via 10.6.0.1 dev lc", "ip route del 10.77.0.0/16"},
    };
    CaptureFd stCapErr(STDERR_FILENO); /* the failing names log their netmask query */
    for (const auto& route : ps8Routes) {
        if (route[0][0] != '\0') Run(route[0], route[1]);
        for (const char* ps8Name : ps8Names) {
            SCOPED_TRACE(std::string(route[0]) + " / " + ps8Name);
            EXPECT_EQ(AskOnce(ps8Name), AskLive(stLive, ps8Name));
        }
    }
    (void)stCapErr.Take();
    /* The cases that matter, spelt out. */
    const Answer a = AskLive(stLive, "la");
    EXPECT_EQ(a.vecIp, (std::vector<int>{10, 5, 0, 5}));
    EXPECT_EQ(a.vecGw, (std::vector<int>{10, 5, 0, 2})) << "first route through la in the dump";
    EXPECT_EQ(AskLive(stLive, "lc").vecIp, (std::vector<int>{10, 6, 0, 6})) << "last one listed";
}

TEST_F(LiveQuery, EveryChangeShowsInTheNextAnswer)
{
    CommLiveQuery stLive;
    Answer a = AskLive(stLive, "la");
    EXPECT_EQ(a.vecIp, (std::vector<int>{10, 5, 0, 5}));
    EXPECT_EQ(a.vecMask, (std::vector<int>{255, 255, 255, 0}));
    EXPECT_EQ(a.vecGw, (std::vector<int>{9, 9, 9, 9})) << "no gateway yet";

    Run("ip addr add 10.5.9.9/16 dev la", "ip addr del 10.5.9.9/16 dev la");
    Run("ip addr del 10.5.0.5/24 dev la", "ip addr add 10.5.0.5/24 dev la");
    Run("ip route add default via 10.5.0.1 dev la", "ip route del default");
    a = AskLive(stLive, "la");
    EXPECT_EQ(a.vecIp, (std::vector<int>{10, 5, 9, 9}));
    EXPECT_EQ(a.vecMask, (std::vector<int>{255, 255, 0, 0}));
    EXPECT_EQ(a.vecGw, (std::vector<int>{10, 5, 0, 1}));

    ASSERT_EQ(Sh("ip route replace default via 10.5.7.7 dev la"), 0);
    EXPECT_EQ(AskLive(stLive, "la").vecGw, (std::vector<int>{10, 5, 7, 7}));
    ASSERT_EQ(Sh("ip route del default"), 0);
    EXPECT_EQ(AskLive(stLive, "la").vecGw, (std::vector<int>{9, 9, 9, 9}));

    /* Down: the address is no longer taken, the netmask still is. */
    Run("ip link set la down", "ip link set la up");
    a = AskLive(stLive, "la");
    EXPECT_EQ(a.s32IpRet, 0);
    EXPECT_EQ(a.vecIp, (std::vector<int>{9, 9, 9, 9}));
    EXPECT_EQ(a.vecMask, (std::vector<int>{255, 255, 0, 0}));
}

TEST_F(LiveQuery, KeepsTwoDescriptorsAndReopensWhatItCouldNotOpen)
{
    const int s32Before = test_util::FdCount();
    {
        CommLiveQuery stLive;
        for (int i = 0; i < 200; ++i) AskLive(stLive, i % 2 == 0 ? "la" : "nosuchif");
        EXPECT_EQ(test_util::FdCount(), s32Before + 2);
    }
    EXPECT_EQ(test_util::FdCount(), s32Before);

    /* No descriptor to be had: the query fails as the one-shot one would, and
     * the next query, with descriptors available again, works. */
    CommLiveQuery stLive;
    struct rlimit stOld;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &stOld), 0);
    unsigned char u8Ip[4] = {9, 9, 9, 9}, u8Gw[4] = {9, 9, 9, 9};
    CaptureFd stCapErr(STDERR_FILENO);
    /* The lowest free number becomes the limit: no new descriptor. */
    const int s32Free = dup(0);
    ASSERT_GE(s32Free, 0);
    close(s32Free);
    struct rlimit stTight = stOld;
    stTight.rlim_cur = (rlim_t)s32Free;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &stTight), 0);
    const int s32IpRet = stLive.IpAndNetMask(u8Ip, nullptr, "la");
    const int s32GwRet = stLive.GateWay(u8Gw, "la");
    const std::string strLog = stCapErr.Take();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &stOld), 0);
    EXPECT_EQ(s32IpRet, -1);
    EXPECT_EQ(s32GwRet, -1);
    EXPECT_NE(strLog.find("[COMM][GetIpAndNetMask] line["), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("[COMM][GetGateWay] line["), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("] socket: Too many open files\n"), std::string::npos) << strLog;
    EXPECT_EQ(Bytes4(u8Ip), (std::vector<int>{9, 9, 9, 9}));

    const Answer a = AskLive(stLive, "la");
    EXPECT_EQ(a.s32IpRet, 0);
    EXPECT_EQ(a.s32GwRet, 0);
    EXPECT_EQ(a.vecIp, (std::vector<int>{10, 5, 0, 5}));
}

TEST_F(LiveQuery, RouteDumpOverABadDescriptorFails)
{
    unsigned char u8Gw[4] = {9, 9, 9, 9};
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(GetGateWayFd(-1, 1, AF_INET, u8Gw, "la"), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_EQ(strLog.find("[COMM][GetGateWay] line["), 0u) << strLog;
    EXPECT_NE(strLog.find("] Send: Bad file descriptor\n"), std::string::npos) << strLog;
    EXPECT_EQ(Bytes4(u8Gw), (std::vector<int>{9, 9, 9, 9}));
}
