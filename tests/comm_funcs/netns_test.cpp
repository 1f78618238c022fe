// SPDX-License-Identifier: MIT
/* Interface, route, link, resolver and connect-timeout behaviour against a
 * network the test builds itself: the process moves into its own network and
 * mount namespaces (root), creates veth links, addresses and routes with `ip`,
 * and binds temporary files over /etc/resolv.conf and /etc/hosts. Everything
 * disappears with the process; the temporary files are removed at the end. */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
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

std::string ReadText(const std::string& strPath)
{
    std::ifstream stIn(strPath);
    std::string strText((std::istreambuf_iterator<char>(stIn)), std::istreambuf_iterator<char>());
    return strText;
}

void WriteText(const std::string& strPath, const std::string& strText)
{
    std::ofstream stOut(strPath, std::ios::binary | std::ios::trunc);
    stOut << strText;
}

unsigned long TxPackets(const std::string& strIf)
{
    return strtoul(ReadText("/sys/class/net/" + strIf + "/statistics/tx_packets").c_str(), nullptr,
                   10);
}

std::string MakeTemp(const char* ps8Tmpl)
{
    std::vector<char> vecName(ps8Tmpl, ps8Tmpl + strlen(ps8Tmpl) + 1);
    const int s32Fd = mkstemp(vecName.data());
    if (s32Fd < 0) return "";
    close(s32Fd);
    return vecName.data();
}

class OwnNetwork : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_bReady = false;
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
        /* A sysfs of this namespace, for the interface counters. */
        (void)mount("sysfs", "/sys", "sysfs", 0, nullptr);
        s_strResolv = MakeTemp("/tmp/comm_ns_resolv_XXXXXX");
        s_strHosts = MakeTemp("/tmp/comm_ns_hosts_XXXXXX");
        if (s_strResolv.empty() || s_strHosts.empty()) return;
        WriteText(s_strHosts,
                  "127.0.0.1 localhost\n"
                  "10.9.0.2 twoaddr.test\n10.8.0.2 twoaddr.test\n"
                  "127.0.0.1 mixed.test\n10.9.0.2 mixed.test\n");
        if (mount(s_strResolv.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) return;
        if (mount(s_strHosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) return;

        const char* const ps8Cmds[] = {
            "ip link set lo up",
            /* ta: a primary address and a labelled alias */
            "ip link add ta type veth peer name tb",
            "ip link set ta up",
            "ip link set tb up",
            "ip addr add 10.1.0.5/24 dev ta",
            "ip addr add 10.1.1.5/16 dev ta label ta:al",
            /* tc: two unlabelled addresses */
            "ip link add tc type veth peer name td",
            "ip link set tc up",
            "ip link set td up",
            "ip addr add 10.2.0.5/24 dev tc",
            "ip addr add 10.2.0.6/24 dev tc",
            /* te: down, with an address */
            "ip link add te type veth peer name tf",
            "ip addr add 10.4.0.5/24 dev te",
            /* tg, ti: addresses whose packets vanish (a MAC nobody owns) */
            "ip link add tg type veth peer name th",
            "ip link set tg up",
            "ip link set th up",
            "ip addr add 10.9.0.1/24 dev tg",
            "ip neigh add 10.9.0.2 lladdr 02:00:00:00:00:99 dev tg nud permanent",
            "ip link add ti type veth peer name tj",
            "ip link set ti up",
            "ip link set tj up",
            "ip addr add 10.8.0.1/24 dev ti",
            "ip neigh add 10.8.0.2 lladdr 02:00:00:00:00:98 dev ti nud permanent",
        };
        s_bReady = test_util::ShAll(ps8Cmds);
    }

    static void TearDownTestSuite()
    {
        umount("/etc/resolv.conf");
        umount("/etc/hosts");
        if (!s_strResolv.empty()) unlink(s_strResolv.c_str());
        if (!s_strHosts.empty()) unlink(s_strHosts.c_str());
    }

    void SetUp() override
    {
        ASSERT_TRUE(s_bReady) << "needs root: own network and mount namespaces";
    }

    /* Routes a test adds are removed after it, so every test starts with the
     * connected routes only. */
    void TearDown() override
    {
        for (const std::string& strRoute : m_vecRoutes) Sh("ip route del " + strRoute);
    }
    void AddRoute(const std::string& strRoute)
    {
        ASSERT_EQ(Sh("ip route add " + strRoute), 0) << strRoute;
        m_vecRoutes.push_back(strRoute);
    }

    static bool s_bReady;
    static std::string s_strResolv;
    static std::string s_strHosts;
    std::vector<std::string> m_vecRoutes;
};

bool OwnNetwork::s_bReady = false;
std::string OwnNetwork::s_strResolv;
std::string OwnNetwork::s_strHosts;

}  // namespace

TEST_F(OwnNetwork, AddressAndMaskOfEachKindOfInterface)
{
    /* Outputs start as 9.9.9.9: an address the kernel does not give stays. */
    const struct {
        const char* ps8If;
        std::vector<int> vecIp;
        std::vector<int> vecMask;
    } astCases[] = {
        {"ta", {10, 1, 0, 5}, {255, 255, 255, 0}},  /* primary address */
        {"ta:al", {10, 1, 1, 5}, {255, 255, 0, 0}}, /* labelled alias */
        {"tc", {10, 2, 0, 6}, {255, 255, 255, 0}},  /* two unlabelled: the last listed */
        {"te", {9, 9, 9, 9}, {255, 255, 255, 0}},   /* down: address kept, mask given */
        {"lo", {9, 9, 9, 9}, {255, 0, 0, 0}},       /* loopback */
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(stCase.ps8If);
        unsigned char u8Ip[4] = {9, 9, 9, 9};
        unsigned char u8Mask[4] = {9, 9, 9, 9};
        EXPECT_EQ(GetIpAndNetMask(u8Ip, u8Mask, stCase.ps8If), 0);
        EXPECT_EQ(Bytes4(u8Ip), stCase.vecIp);
        EXPECT_EQ(Bytes4(u8Mask), stCase.vecMask);
    }
}

TEST_F(OwnNetwork, MissingNamesLeaveTheOutputs)
{
    unsigned char u8Ip[4] = {9, 9, 9, 9};
    unsigned char u8Keep[4] = {9, 9, 9, 9};
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(GetIpAndNetMask(u8Ip, u8Keep, "tx"), -1); /* misspelt */
    EXPECT_EQ(GetIpAndNetMask(u8Ip, u8Keep, "tb"), -1); /* up, no IPv4 address */
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("] ioctl get netmask: "), std::string::npos) << strLog;
    EXPECT_EQ(Bytes4(u8Keep), (std::vector<int>{9, 9, 9, 9}));
    EXPECT_EQ(GetIpAndNetMask(u8Ip, nullptr, "tx"), 0);
    EXPECT_EQ(Bytes4(u8Ip), (std::vector<int>{9, 9, 9, 9}));
}

TEST_F(OwnNetwork, EarlierStaticRouteBeatsTheDefaultRoute)
{
    AddRoute("default via 10.1.0.1 dev ta");
    AddRoute("0.0.0.0/1 via 10.1.0.2 dev ta");
    AddRoute("10.77.0.0/16 via 10.2.0.1 dev tc");
    unsigned char u8Gw[4] = {0, 0, 0, 0};
    EXPECT_EQ(GetGateWay(u8Gw, "ta"), 0);
    /* 0.0.0.0/1 comes before the default route in the dump. */
    EXPECT_EQ(Bytes4(u8Gw), (std::vector<int>{10, 1, 0, 2}));

    unsigned char u8GwTc[4] = {0, 0, 0, 0};
    EXPECT_EQ(GetGateWay(u8GwTc, "tc"), 0);
    EXPECT_EQ(Bytes4(u8GwTc), (std::vector<int>{10, 2, 0, 1}));
}

TEST_F(OwnNetwork, OnlyAnotherInterfacesGatewayIsReported)
{
    AddRoute("default via 10.2.0.1 dev tc");
    unsigned char u8Gw[4] = {0, 0, 0, 0};
    EXPECT_EQ(GetGateWay(u8Gw, "ta"), 0);
    EXPECT_EQ(Bytes4(u8Gw), (std::vector<int>{10, 2, 0, 1}));

    /* Several, none through the wanted interface: the last one stays. */
    AddRoute("10.66.0.0/16 via 10.2.0.2 dev tc");
    unsigned char u8Gw2[4] = {0, 0, 0, 0};
    EXPECT_EQ(GetGateWay(u8Gw2, "ta"), 0);
    EXPECT_EQ(Bytes4(u8Gw2), (std::vector<int>{10, 2, 0, 2}));
    unsigned char u8Gw3[4] = {0, 0, 0, 0};
    EXPECT_EQ(GetGateWay(u8Gw3, "nosuchif"), 0);
    EXPECT_EQ(Bytes4(u8Gw3), (std::vector<int>{10, 2, 0, 2}));
}

TEST_F(OwnNetwork, NoGatewayLeavesTheOutput)
{
    unsigned char u8Gw[4] = {1, 2, 3, 4};
    EXPECT_EQ(GetGateWay(u8Gw, "ta"), 0);
    EXPECT_EQ(Bytes4(u8Gw), (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(OwnNetwork, LinkStateNeedsMii)
{
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_FALSE(GetNetLinkState("lo"));
    EXPECT_FALSE(GetNetLinkState("ta")); /* running, but veth has no MII */
    const std::string strLog = stCapErr.Take();
    EXPECT_EQ(strLog.find("[COMM] -- [GetNetLinkState]:["), 0u) << strLog;
    EXPECT_EQ(strLog.find("Link OK"), std::string::npos) << strLog;
}

TEST_F(OwnNetwork, HardwareAddressOfAVeth)
{
    unsigned char u8Mac[6] = {0};
    ASSERT_EQ(GetMacAddress("ta", u8Mac), 0);
    char s8Text[18];
    snprintf(s8Text, sizeof(s8Text), "%02x:%02x:%02x:%02x:%02x:%02x", u8Mac[0], u8Mac[1], u8Mac[2],
             u8Mac[3], u8Mac[4], u8Mac[5]);
    EXPECT_EQ(std::string(s8Text) + "\n", ReadText("/sys/class/net/ta/address"));
}

TEST_F(OwnNetwork, ConnectGivesUpOnAnAddressWhosePacketsVanish)
{
    const unsigned long u32TxBefore = TxPackets("tg");
    const auto stStart = std::chrono::steady_clock::now();
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(TcpConnect("10.9.0.2", "80", 2), -1);
    const std::string strLog = stCapErr.Take();
    const double dSec =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stStart).count();
    EXPECT_NE(strLog.find("[COMM][TcpConnect] line["), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("] Connect error: 10.9.0.2, 80, Connection timed out\n"),
              std::string::npos)
        << strLog;
    EXPECT_GT(TxPackets("tg"), u32TxBefore); /* the SYN went out and vanished */
    EXPECT_GE(dSec, 1.5);
    EXPECT_LT(dSec, 60.0);
}

TEST_F(OwnNetwork, ConnectTriesTheNextAddressAfterATimeout)
{
    addrinfo stHints = {};
    stHints.ai_family = AF_INET;
    stHints.ai_socktype = SOCK_STREAM;
    addrinfo* pstRes = nullptr;
    ASSERT_EQ(getaddrinfo("twoaddr.test", "80", &stHints, &pstRes), 0);
    int s32Count = 0;
    for (addrinfo* p = pstRes; p != nullptr; p = p->ai_next) ++s32Count;
    freeaddrinfo(pstRes);
    ASSERT_EQ(s32Count, 2);

    const unsigned long u32TgBefore = TxPackets("tg");
    const unsigned long u32TiBefore = TxPackets("ti");
    const int s32FdsBefore = test_util::FdCount();
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(TcpConnect("twoaddr.test", "80", 1), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("] Connect error: twoaddr.test, 80, Connection timed out\n"),
              std::string::npos)
        << strLog;
    EXPECT_GT(TxPackets("tg"), u32TgBefore);
    EXPECT_GT(TxPackets("ti"), u32TiBefore);
    EXPECT_EQ(test_util::FdCount(), s32FdsBefore);
}

TEST_F(OwnNetwork, RefusalEndsTheWalkOverAddresses)
{
    test_util::Fd stHolder;
    const int s32Port = test_util::ReserveClosedTcpPort(&stHolder);
    ASSERT_GT(s32Port, 0);
    const std::string strPort = std::to_string(s32Port);
    addrinfo stHints = {};
    stHints.ai_family = AF_INET;
    stHints.ai_socktype = SOCK_STREAM;
    addrinfo* pstRes = nullptr;
    ASSERT_EQ(getaddrinfo("mixed.test", strPort.c_str(), &stHints, &pstRes), 0);
    sockaddr_in stFirst;
    memcpy(&stFirst, pstRes->ai_addr, sizeof(stFirst));
    const bool bLoopbackFirst = stFirst.sin_addr.s_addr == htonl(INADDR_LOOPBACK);
    freeaddrinfo(pstRes);
    if (!bLoopbackFirst) GTEST_SKIP() << "resolver put the vanishing address first";

    const unsigned long u32TgBefore = TxPackets("tg");
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(TcpConnect("mixed.test", strPort.c_str(), 2), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("Connection refused\n"), std::string::npos) << strLog;
    EXPECT_EQ(TxPackets("tg"), u32TgBefore); /* 10.9.0.2 was never tried */
}

TEST_F(OwnNetwork, ResolverFileCases)
{
    unsigned char u8Dns[4] = {9, 9, 9, 9};
    WriteText(s_strResolv, "nameserver 8.8.8.8\nnameserver 1.1.1.1\n");
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(GetDnsAddr(u8Dns), 0);
    std::string strLog = stCapErr.Take();
    EXPECT_EQ(Bytes4(u8Dns), (std::vector<int>{8, 8, 8, 8}));
    EXPECT_TRUE(std::regex_match(
        strLog,
        std::regex(R"(\[COMM\] -- \[GetDnsAddr\]:\[\d+\] DnsAddress = 008\.008\.008\.008\n)")))
        << strLog;

    WriteText(s_strResolv, "nameserver  8.8.8.8\n");
    stCapErr.Start();
    EXPECT_EQ(GetDnsAddr(u8Dns), 0);
    strLog = stCapErr.Take();
    EXPECT_EQ(Bytes4(u8Dns), (std::vector<int>{255, 255, 255, 255}));
    EXPECT_NE(strLog.find("DnsAddress = 255.255.255.255\n"), std::string::npos) << strLog;

    unsigned char u8Keep[4] = {9, 9, 9, 9};
    WriteText(s_strResolv, std::string(120, '#') + "\nnameserver 8.8.4.4\n");
    stCapErr.Start();
    EXPECT_EQ(GetDnsAddr(u8Keep), -1);
    strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("] do not find nameserver \n"), std::string::npos) << strLog;
    EXPECT_EQ(Bytes4(u8Keep), (std::vector<int>{9, 9, 9, 9}));
}
