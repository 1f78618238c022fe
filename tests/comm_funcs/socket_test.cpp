// SPDX-License-Identifier: MIT
/* Threads, passive and active sockets on loopback. */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/ip.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "capture_fd.h"
#include "comm_funcs.h"
#include "test_util.h"

using test_util::Fd;

namespace {

std::atomic<int> g_s32Ran{0};

void* MarkRan(void* pArg)
{
    g_s32Ran.store(*static_cast<int*>(pArg));
    return nullptr;
}

bool WaitFor(const std::atomic<int>& s32Flag, int s32Want)
{
    for (int i = 0; i < 500; ++i) {
        if (s32Flag.load() == s32Want) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

pthread_t ToThread(unsigned long u32Id)
{
    pthread_t stTid;
    memcpy(&stTid, &u32Id, sizeof(stTid));
    return stTid;
}

}  // namespace

TEST(ThreadStart, DetachedThreadRunsAndIdIsStoredWhenAsked)
{
    int s32Arg = 7;
    g_s32Ran = 0;
    EXPECT_EQ(CreateDetachThread(MarkRan, &s32Arg, nullptr), 0);
    EXPECT_TRUE(WaitFor(g_s32Ran, 7));

    s32Arg = 8;
    unsigned long u32Id = 0;
    EXPECT_EQ(CreateDetachThread(MarkRan, &s32Arg, &u32Id), 0);
    EXPECT_NE(u32Id, 0UL);
    EXPECT_TRUE(WaitFor(g_s32Ran, 8));
    /* Detached: a join is refused. */
    EXPECT_NE(pthread_join(ToThread(u32Id), nullptr), 0);
}

TEST(ThreadStart, JoinableThreadStoresAJoinableId)
{
    int s32Arg = 9;
    g_s32Ran = 0;
    unsigned long u32Id = 0;
    ASSERT_EQ(CreateJoinableThread(MarkRan, &s32Arg, &u32Id), 0);
    ASSERT_EQ(pthread_join(ToThread(u32Id), nullptr), 0);
    EXPECT_EQ(g_s32Ran.load(), 9);
}

TEST(ThreadStartDeathTest, DetachedThreadWithoutEntryAsserts)
{
    EXPECT_EXIT(CreateDetachThread(nullptr, nullptr, nullptr), testing::KilledBySignal(SIGABRT),
                "");
}

TEST(PassiveSocket, UdpListenBindsAnyAddressAndRefusesASecondBind)
{
    Fd stProbe(UdpListen(nullptr, "0", nullptr));
    ASSERT_GE(stProbe.Get(), 0);
    const std::string strPort = std::to_string(test_util::LocalPort(stProbe.Get()));
    stProbe.Reset();

    unsigned int u32Len = 0;
    Fd stFirst(UdpListen(nullptr, strPort.c_str(), &u32Len));
    ASSERT_GE(stFirst.Get(), 0);
    EXPECT_EQ(u32Len, 16u);
    sockaddr_in stSin = {};
    socklen_t u32SinLen = sizeof(stSin);
    ASSERT_EQ(getsockname(stFirst.Get(), reinterpret_cast<sockaddr*>(&stSin), &u32SinLen), 0);
    EXPECT_EQ(stSin.sin_addr.s_addr, htonl(INADDR_ANY));
    int s32Type = 0;
    socklen_t u32OptLen = sizeof(s32Type);
    getsockopt(stFirst.Get(), SOL_SOCKET, SO_TYPE, &s32Type, &u32OptLen);
    EXPECT_EQ(s32Type, SOCK_DGRAM);
    /* No option is set: neither reuse nor broadcast. */
    int s32Opt = -1;
    getsockopt(stFirst.Get(), SOL_SOCKET, SO_BROADCAST, &s32Opt, &u32OptLen);
    EXPECT_EQ(s32Opt, 0);

    const int s32FdsBefore = test_util::FdCount();
    unsigned int u32Second = 12345;
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(UdpListen(nullptr, strPort.c_str(), &u32Second), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("[COMM][UdpListen] line["), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("] udp_server error for (null), " + strPort), std::string::npos)
        << strLog;
    EXPECT_NE(strLog.back(), '\n');
    EXPECT_EQ(u32Second, 12345u);
    EXPECT_EQ(test_util::FdCount(), s32FdsBefore);
}

TEST(PassiveSocket, ResolverFailuresAreReportedAndLeaveTheLength)
{
    unsigned int u32Len = 99;
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(UdpListen("127.0.0.1", "no-such-service-x", &u32Len), -1);
    EXPECT_EQ(TcpListen("127.0.0.1", "no-such-service-x", &u32Len), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("udp_server error for 127.0.0.1, no-such-service-x: "),
              std::string::npos);
    EXPECT_NE(strLog.find("getaddrinfo called error: 127.0.0.1, no-such-service-x: "),
              std::string::npos);
    EXPECT_EQ(u32Len, 99u);
}

TEST(PassiveSocket, TcpListenRebindsAPortInTimeWait)
{
    unsigned int u32Len = 0;
    Fd stListen(TcpListen("127.0.0.1", "0", &u32Len));
    ASSERT_GE(stListen.Get(), 0);
    EXPECT_EQ(u32Len, 16u);
    const int s32Port = test_util::LocalPort(stListen.Get());
    const std::string strPort = std::to_string(s32Port);

    Fd stClient(TcpConnect("127.0.0.1", strPort.c_str(), 5));
    ASSERT_GE(stClient.Get(), 0);
    Fd stServer(accept(stListen.Get(), nullptr, nullptr));
    ASSERT_GE(stServer.Get(), 0);
    /* The server side closes first, so its end of the connection waits in
     * TIME_WAIT on the listening port. */
    stServer.Reset();
    char u8Byte = 0;
    ASSERT_EQ(recv(stClient.Get(), &u8Byte, 1, 0), 0);
    stClient.Reset();
    stListen.Reset();

    /* A plain bind proves the port is still held. */
    Fd stPlain(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in stSin = {};
    stSin.sin_family = AF_INET;
    stSin.sin_port = htons(static_cast<uint16_t>(s32Port));
    stSin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_NE(bind(stPlain.Get(), reinterpret_cast<sockaddr*>(&stSin), sizeof(stSin)), 0);
    stPlain.Reset();

    Fd stAgain(TcpListen("127.0.0.1", strPort.c_str(), nullptr));
    EXPECT_GE(stAgain.Get(), 0);
}

TEST(ActiveSocket, ConnectedSocketIsBlocking)
{
    Fd stListen(TcpListen("127.0.0.1", "0", nullptr));
    ASSERT_GE(stListen.Get(), 0);
    const std::string strPort = std::to_string(test_util::LocalPort(stListen.Get()));
    Fd stConn(TcpConnect("127.0.0.1", strPort.c_str(), 3));
    ASSERT_GE(stConn.Get(), 0);
    EXPECT_EQ(fcntl(stConn.Get(), F_GETFL) & O_NONBLOCK, 0);
    sockaddr_in stPeer = {};
    socklen_t u32Len = sizeof(stPeer);
    EXPECT_EQ(getpeername(stConn.Get(), reinterpret_cast<sockaddr*>(&stPeer), &u32Len), 0);

    Fd stNoLimit(TcpConnect("127.0.0.1", strPort.c_str(), 0));
    ASSERT_GE(stNoLimit.Get(), 0);
    EXPECT_EQ(fcntl(stNoLimit.Get(), F_GETFL) & O_NONBLOCK, 0);
}

TEST(ActiveSocket, ClosedPortFailsAtOnceWithTheRefusal)
{
    Fd stHolder;
    const int s32Port = test_util::ReserveClosedTcpPort(&stHolder);
    ASSERT_GT(s32Port, 0);
    const std::string strPort = std::to_string(s32Port);
    const int s32FdsBefore = test_util::FdCount();
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(TcpConnect("127.0.0.1", strPort.c_str(), 30), -1);
    const std::string strLog = stCapErr.Take();
    /* Refused either by the connect call or through the pending error; in
     * both cases only one address was tried and nothing timed out. */
    const bool bConnectForm = strLog.find("Connect error: 127.0.0.1, " + strPort +
                                          ", Connection refused\n") != std::string::npos;
    const bool bSelectForm = strLog.find("Select error: 127.0.0.1, " + strPort +
                                         ", Connection refused\n") != std::string::npos;
    EXPECT_TRUE(bConnectForm || bSelectForm) << strLog;
    EXPECT_EQ(std::count(strLog.begin(), strLog.end(), '\n'), 1) << strLog;
    EXPECT_EQ(test_util::FdCount(), s32FdsBefore);
}

TEST(ActiveSocket, ResolverFailureIsReported)
{
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(TcpConnect("127.0.0.1", "no-such-service-x", 1), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_EQ(strLog.find("[COMM][TcpConnect] line["), 0u) << strLog;
    EXPECT_NE(strLog.find("getaddrinfo error 127.0.0.1, no-such-service-x: "), std::string::npos);
}

TEST(ActiveSocket, DscpConnectMarksTheTypeOfServiceByte)
{
    Fd stListen(TcpListen("127.0.0.1", "0", nullptr));
    ASSERT_GE(stListen.Get(), 0);
    const std::string strPort = std::to_string(test_util::LocalPort(stListen.Get()));
    const DscpLevelAndType stMark = {5, AUDIO_VEDIO_TYPE};
    Fd stConn(TcpConnectForDscp("127.0.0.1", strPort.c_str(), 3, stMark));
    ASSERT_GE(stConn.Get(), 0);
    int s32Tos = 0;
    socklen_t u32Len = sizeof(s32Tos);
    ASSERT_EQ(getsockopt(stConn.Get(), IPPROTO_IP, IP_TOS, &s32Tos, &u32Len), 0);
    /* 8 * 5 + 6 = 46 (0x2E), not shifted into the code-point bits (184);
     * the kernel keeps the two ECN bits of a stream socket its own. */
    EXPECT_EQ(s32Tos & 0xFC, 46 & 0xFC);
}

TEST(DscpMap, LevelsAndClasses)
{
    for (int s32Level = 0; s32Level <= 7; ++s32Level) {
        SCOPED_TRACE(s32Level);
        EXPECT_EQ(DscpPriorityLevelMap({s32Level, COMMAND_TYPE}), 8 * s32Level + 7);
        EXPECT_EQ(DscpPriorityLevelMap({s32Level, AUDIO_VEDIO_TYPE}), 8 * s32Level + 6);
    }
    EXPECT_EQ(DscpPriorityLevelMap({8, COMMAND_TYPE}), 0);
    EXPECT_EQ(DscpPriorityLevelMap({-1, AUDIO_VEDIO_TYPE}), 0);
    EXPECT_EQ(DscpPriorityLevelMap({3, static_cast<DSCP_TYPE_E>(2)}), 0);
}

TEST(DatagramClient, UdpConnectAndUdpClientReachTheListener)
{
    Fd stServer(UdpListen("127.0.0.1", "0", nullptr));
    ASSERT_GE(stServer.Get(), 0);
    const std::string strPort = std::to_string(test_util::LocalPort(stServer.Get()));

    Fd stConn(UdpConnect("127.0.0.1", strPort.c_str()));
    ASSERT_GE(stConn.Get(), 0);
    ASSERT_EQ(send(stConn.Get(), "hi", 2, 0), 2);
    char s8Buf[8] = {0};
    EXPECT_EQ(RecvTimeOut(stServer.Get(), s8Buf, sizeof(s8Buf), 2), 2);

    sockaddr* pstSa = nullptr;
    unsigned int u32Len = 0;
    Fd stClient(UdpClient("127.0.0.1", strPort.c_str(), &pstSa, &u32Len));
    ASSERT_GE(stClient.Get(), 0);
    ASSERT_NE(pstSa, nullptr);
    EXPECT_EQ(u32Len, 16u);
    sockaddr_in stWant = {};
    socklen_t u32WantLen = sizeof(stWant);
    getsockname(stServer.Get(), reinterpret_cast<sockaddr*>(&stWant), &u32WantLen);
    sockaddr_in stGot;
    memcpy(&stGot, pstSa, sizeof(stGot));
    EXPECT_EQ(stGot.sin_family, AF_INET);
    EXPECT_EQ(stGot.sin_port, stWant.sin_port);
    EXPECT_EQ(stGot.sin_addr.s_addr, stWant.sin_addr.s_addr);
    /* The copy drives an unconnected send. */
    char s8Msg[] = "abc";
    EXPECT_EQ(UdpWriteData(stClient.Get(), s8Msg, 3, pstSa, static_cast<int>(u32Len)), 3);
    free(pstSa);

    sockaddr_in stFrom = {};
    int s32FromLen = sizeof(stFrom);
    ASSERT_EQ(SelectFd(stServer.Get(), SELECTFD_STAT_READ, 2, 0), SELECTFD_RETURN_SUCCESS);
    EXPECT_EQ(UdpReadData(stServer.Get(), s8Buf, sizeof(s8Buf),
                          reinterpret_cast<sockaddr*>(&stFrom), &s32FromLen),
              3);
    EXPECT_EQ(s32FromLen, 16);
    EXPECT_EQ(stFrom.sin_port, htons(static_cast<uint16_t>(test_util::LocalPort(stClient.Get()))));
}

TEST(DatagramClient, FailuresLeaveOutputsAndDescriptors)
{
    const int s32FdsBefore = test_util::FdCount();
    sockaddr* pstSa = reinterpret_cast<sockaddr*>(0x1);
    unsigned int u32Len = 77;
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(UdpClient("127.0.0.1", "no-such-service-x", &pstSa, &u32Len), -1);
    EXPECT_EQ(UdpConnect("127.0.0.1", "no-such-service-x"), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_EQ(pstSa, reinterpret_cast<sockaddr*>(0x1));
    EXPECT_EQ(u32Len, 77u);
    EXPECT_NE(strLog.find("udp_client error for 127.0.0.1, no-such-service-x: "),
              std::string::npos);
    EXPECT_NE(strLog.find("udp_connect error for 127.0.0.1, no-such-service-x: "),
              std::string::npos);
    EXPECT_EQ(test_util::FdCount(), s32FdsBefore);
}

/* Every descriptor the library hands out or keeps is close-on-exec: no program
 * the daemon starts (ps, kill, reboot) holds one of them open. */
TEST(CloseOnExec, EverySocketOfTheLibrary)
{
    Fd stTcp(TcpListen("127.0.0.1", "0", nullptr));
    ASSERT_GE(stTcp.Get(), 0);
    const std::string strPort = std::to_string(test_util::LocalPort(stTcp.Get()));
    sockaddr* pstPeer = nullptr;
    unsigned int u32Len = 0;
    Fd stClient(UdpClient("127.0.0.1", "9", &pstPeer, &u32Len));
    free(pstPeer);
    const struct {
        const char* ps8Name;
        int s32Fd;
    } astOpened[] = {
        {"UdpListen", UdpListen("127.0.0.1", "0", nullptr)},
        {"TcpListen", stTcp.Get()},
        {"TcpConnect", TcpConnect("127.0.0.1", strPort.c_str(), 2)},
        {"UdpConnect", UdpConnect("127.0.0.1", "9")},
        {"UdpClient", stClient.Get()},
    };
    for (const auto& stCase : astOpened) {
        SCOPED_TRACE(stCase.ps8Name);
        ASSERT_GE(stCase.s32Fd, 0);
        EXPECT_NE(fcntl(stCase.s32Fd, F_GETFD) & FD_CLOEXEC, 0);
        if (stCase.s32Fd != stTcp.Get() && stCase.s32Fd != stClient.Get()) close(stCase.s32Fd);
    }

    /* The two descriptors a CommLiveQuery keeps. */
    const std::set<int> setBefore = test_util::OpenFds();
    CommLiveQuery stLive;
    unsigned char u8Ip[4] = {}, u8Gw[4] = {};
    (void)stLive.IpAndNetMask(u8Ip, nullptr, "lo");
    (void)stLive.GateWay(u8Gw, "lo");
    int s32Kept = 0;
    for (const int s32Fd : test_util::OpenFds()) {
        if (setBefore.count(s32Fd) != 0) continue;
        ++s32Kept;
        EXPECT_NE(fcntl(s32Fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << s32Fd;
    }
    EXPECT_EQ(s32Kept, 2);
}
