// SPDX-License-Identifier: MIT
/* Timed and whole-buffer transfers against a peer that sends less, closes
 * early or stalls. */
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "capture_fd.h"
#include "comm_funcs.h"
#include "test_util.h"

using test_util::Fd;

namespace {

class Transfer : public testing::Test {
protected:
    void SetUp() override
    {
        int s32Fds[2] = {-1, -1};
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s32Fds), 0);
        m_stMine.Reset(s32Fds[0]);
        m_stPeer.Reset(s32Fds[1]);
    }
    void PeerSends(const char* ps8Data, size_t u32Len)
    {
        ASSERT_EQ(send(m_stPeer.Get(), ps8Data, u32Len, 0), static_cast<ssize_t>(u32Len));
    }
    void PeerCloses() { m_stPeer.Reset(); }

    Fd m_stMine;
    Fd m_stPeer;
};

}  // namespace

TEST_F(Transfer, RecvTimeOutReceivesTimesOutAndSeesClose)
{
    char s8Buf[16] = {0};
    PeerSends("abcd", 4);
    EXPECT_EQ(RecvTimeOut(m_stMine.Get(), s8Buf, sizeof(s8Buf), 1), 4);
    EXPECT_EQ(std::string(s8Buf, 4), "abcd");

    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(RecvTimeOut(m_stMine.Get(), s8Buf, sizeof(s8Buf), 0), -1);
    std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("IO read time out!\n"), std::string::npos);
    EXPECT_NE(strLog.find("[COMM][RecvTimeOut] line["), std::string::npos);
    EXPECT_NE(strLog.find("] select err!\n"), std::string::npos) << strLog;

    PeerCloses();
    stCapErr.Start();
    EXPECT_EQ(RecvTimeOut(m_stMine.Get(), s8Buf, sizeof(s8Buf), 1), -1);
    strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("] Connect rest by peer!\n"), std::string::npos) << strLog;
}

TEST_F(Transfer, ReadDataWithoutTimeoutGathersPiecesAndFailsOnClose)
{
    std::thread stWriter([this] {
        for (int i = 0; i < 5; ++i) {
            (void)send(m_stPeer.Get(), "0123456789", 10, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    char s8Buf[50] = {0};
    EXPECT_EQ(ReadData(m_stMine.Get(), s8Buf, sizeof(s8Buf)), 0);
    stWriter.join();
    EXPECT_EQ(std::string(s8Buf + 40, 10), "0123456789");

    PeerSends("abcd", 4);
    PeerCloses();
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(ReadData(m_stMine.Get(), s8Buf, 10), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_EQ(strLog.find("[COMM][ReadData] line["), 0u) << strLog;
}

TEST_F(Transfer, ReadDataWithTimeoutReportsWantedAndReceived)
{
    char s8Buf[10] = {0};
    PeerSends("0123456789", 10);
    EXPECT_EQ(ReadData(m_stMine.Get(), s8Buf, 10, 1), 0);

    PeerSends("abcd", 4);
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(ReadData(m_stMine.Get(), s8Buf, 10, 1), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_TRUE(std::regex_search(
        strLog,
        std::regex(
            R"(\[COMM\]\[ReadData\] line\[(\d+)\] <ReadData>:\(\1\), ss32Size=10,s32ReadSize = 4\n)")))
        << strLog;
}

TEST_F(Transfer, ReadPartialDataReturnsWhatCameBeforeClose)
{
    std::vector<char> vecBuf(100);
    std::vector<char> vecForty(40, 'q');
    PeerSends(vecForty.data(), vecForty.size());
    PeerCloses();
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(ReadPartialData(m_stMine.Get(), vecBuf.data(), 100, 1), 40);
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("] Read size = 40 !\n"), std::string::npos) << strLog;
    EXPECT_EQ(vecBuf[39], 'q');
}

TEST_F(Transfer, ReadPartialDataTimeoutDropsTheCount)
{
    std::vector<char> vecBuf(100);
    std::vector<char> vecForty(40, 'q');
    PeerSends(vecForty.data(), vecForty.size());
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(ReadPartialData(m_stMine.Get(), vecBuf.data(), 100, 1), -1);
    (void)stCapErr.Take();

    PeerSends(vecForty.data(), vecForty.size());
    EXPECT_EQ(ReadPartialData(m_stMine.Get(), vecBuf.data(), 40, 1), 40);
}

TEST_F(Transfer, WriteDataToAClosedPeerFailsWithoutSigpipe)
{
    std::vector<char> vecData(1000, 'w');
    PeerCloses();
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(WriteData(m_stMine.Get(), vecData.data(), 1000), -1);
    EXPECT_EQ(WriteData(m_stMine.Get(), vecData.data(), 1000, 1), -1);
    EXPECT_EQ(SendTimeOut(m_stMine.Get(), vecData.data(), 1000, 1), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("[COMM][WriteData] line["), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("Broken pipe\n"), std::string::npos) << strLog;
}

TEST_F(Transfer, WriteDataDeliversEverythingToAReader)
{
    std::vector<char> vecData(1 << 20);
    for (size_t i = 0; i < vecData.size(); ++i) vecData[i] = static_cast<char>(i * 7);
    std::vector<char> vecGot(vecData.size());
    int s32ReadRet = -2;
    std::thread stReader([&] {
        s32ReadRet = ReadData(m_stPeer.Get(), vecGot.data(), static_cast<int>(vecGot.size()));
    });
    EXPECT_EQ(WriteData(m_stMine.Get(), vecData.data(), static_cast<int>(vecData.size())), 0);
    stReader.join();
    EXPECT_EQ(s32ReadRet, 0);
    EXPECT_EQ(vecGot, vecData);

    std::thread stReader2([&] {
        s32ReadRet = ReadData(m_stPeer.Get(), vecGot.data(), static_cast<int>(vecGot.size()), 5);
    });
    EXPECT_EQ(WriteData(m_stMine.Get(), vecData.data(), static_cast<int>(vecData.size()), 5), 0);
    stReader2.join();
    EXPECT_EQ(s32ReadRet, 0);
}

TEST_F(Transfer, WriteDataWithTimeoutGivesUpOnAStalledPeer)
{
    /* More than the socket buffers hold; the peer never reads. */
    std::vector<char> vecData(16 << 20, 's');
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(WriteData(m_stMine.Get(), vecData.data(), static_cast<int>(vecData.size()), 1), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("IO write time out!\n"), std::string::npos) << strLog;
}

TEST_F(Transfer, NegativeSizesAreRefused)
{
    char s8Buf[4];
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(RecvTimeOut(m_stMine.Get(), s8Buf, -1, 0), -1);
    EXPECT_EQ(SendTimeOut(m_stMine.Get(), s8Buf, -1, 0), -1);
    EXPECT_EQ(ReadPartialData(m_stMine.Get(), s8Buf, -5, 0), -1);
    EXPECT_EQ(WriteData(m_stMine.Get(), s8Buf, -5), -1);
    EXPECT_EQ(UdpReadData(m_stMine.Get(), s8Buf, -1, nullptr, nullptr), -1);
    (void)stCapErr.Take();
    /* Nothing was sent to the peer. */
    EXPECT_EQ(recv(m_stPeer.Get(), s8Buf, sizeof(s8Buf), MSG_DONTWAIT), -1);
}

TEST(TransferDeathTest, ReadDataWithoutBufferAsserts)
{
    EXPECT_EXIT(ReadData(0, nullptr, 4), testing::KilledBySignal(SIGABRT), "");
}

TEST(DatagramTransfer, FailuresAreLogged)
{
    char s8Buf[4] = {0};
    sockaddr_in stTo = {};
    stTo.sin_family = AF_INET;
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(UdpWriteData(-1, s8Buf, 4, reinterpret_cast<sockaddr*>(&stTo), sizeof(stTo)), -1);
    EXPECT_EQ(UdpReadData(-1, s8Buf, 4, nullptr, nullptr), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("[COMM][UdpWriteData] line["), std::string::npos);
    EXPECT_NE(strLog.find("] s32Size 4, Bad file descriptor\n"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("[COMM][UdpReadData] line["), std::string::npos);
}
