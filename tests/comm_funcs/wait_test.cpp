// SPDX-License-Identifier: MIT
/* Readiness waits: timeouts, ready descriptors, descriptor 0 and descriptors
 * beyond the set. */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "capture_fd.h"
#include "comm_funcs.h"
#include "test_util.h"

using test_util::Fd;

namespace {

struct Pair {
    Fd a;
    Fd b;
};

void MakePair(Pair* pstPair)
{
    int s32Fds[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, s32Fds), 0);
    pstPair->a.Reset(s32Fds[0]);
    pstPair->b.Reset(s32Fds[1]);
}

/* Moves a descriptor to a number of at least 1024, raising the soft limit
 * if needed; -1 when the hard limit does not allow it. */
int DupHigh(int s32Fd)
{
    constexpr int HIGH_FD = 1500;
    rlimit stLim;
    if (getrlimit(RLIMIT_NOFILE, &stLim) != 0) return -1;
    if (stLim.rlim_cur <= static_cast<rlim_t>(HIGH_FD)) {
        if (stLim.rlim_max <= static_cast<rlim_t>(HIGH_FD)) return -1;
        stLim.rlim_cur = HIGH_FD + 1;
        if (setrlimit(RLIMIT_NOFILE, &stLim) != 0) return -1;
    }
    return dup2(s32Fd, HIGH_FD);
}

/* Puts a socket on descriptor 0 for the life of the object. */
class OnStdin {
public:
    explicit OnStdin(int s32Fd) : m_s32Saved(dup(0)) { m_bOk = dup2(s32Fd, 0) == 0; }
    ~OnStdin()
    {
        dup2(m_s32Saved, 0);
        close(m_s32Saved);
    }
    bool Ok() const { return m_bOk; }

private:
    int m_s32Saved;
    bool m_bOk = false;
};

}  // namespace

TEST(SelectWait, TimeoutsAreReportedPerCondition)
{
    Pair stPair;
    MakePair(&stPair);
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(Select(stPair.a.Get(), 0, READ_STATUS), -1);
    EXPECT_EQ(Select(stPair.a.Get(), 0, EXCPT_STATUS), -1);
    EXPECT_EQ(Select(stPair.a.Get(), 0, 7), -1); /* no wait, a silent timeout */
    const std::string strLog = stCapErr.Take();
    EXPECT_EQ(strLog.find("[COMM][Select] line["), 0u) << strLog;
    EXPECT_NE(strLog.find("] IO read time out!\n"), std::string::npos);
    EXPECT_EQ(std::count(strLog.begin(), strLog.end(), '\n'), 1) << strLog;
}

TEST(SelectWait, ReadyDescriptorsCount)
{
    Pair stPair;
    MakePair(&stPair);
    EXPECT_EQ(Select(stPair.a.Get(), 0, WRITE_STATUS), 1);
    ASSERT_EQ(write(stPair.b.Get(), "x", 1), 1);
    EXPECT_EQ(Select(stPair.a.Get(), 1, READ_STATUS), 1);
    EXPECT_EQ(Select(-1, 0, READ_STATUS), -1);
}

TEST(SelectWait, DescriptorZeroIsWaitedOn)
{
    Pair stPair;
    MakePair(&stPair);
    ASSERT_EQ(write(stPair.b.Get(), "x", 1), 1);
    OnStdin stStdin(stPair.a.Get());
    ASSERT_TRUE(stStdin.Ok());
    EXPECT_EQ(Select(0, 1, READ_STATUS), 1);
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(SelectFd(0, SELECTFD_STAT_READ, 0, 0), SELECTFD_RETURN_ERROR);
    const std::string strLog = stCapErr.Take();
    EXPECT_EQ(strLog.find("[PLATFORM] -- [SelectFd]:["), 0u) << strLog;
    EXPECT_NE(strLog.find("] s32SocketFd:0 <= 0\n"), std::string::npos) << strLog;
}

TEST(SelectWait, PendingRefusalOfAnAsyncConnect)
{
    Fd stHolder;
    const int s32Port = test_util::ReserveClosedTcpPort(&stHolder);
    ASSERT_GT(s32Port, 0);
    Fd stSock(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    sockaddr_in stSin = {};
    stSin.sin_family = AF_INET;
    stSin.sin_port = htons(static_cast<uint16_t>(s32Port));
    stSin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int s32Ret = connect(stSock.Get(), reinterpret_cast<sockaddr*>(&stSin), sizeof(stSin));
    if (s32Ret == 0 || errno != EINPROGRESS) GTEST_SKIP() << "refusal was reported at once";
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(Select(stSock.Get(), 2, WRITE_STATUS), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("] Connection refused\n"), std::string::npos) << strLog;
}

TEST(SelectFdWait, ConditionsAndResults)
{
    Pair stPair;
    MakePair(&stPair);
    EXPECT_EQ(SelectFd(stPair.a.Get(), SELECTFD_STAT_READ, 0, 1000), SELECTFD_RETURN_OVERTIME);
    EXPECT_EQ(SelectFd(stPair.a.Get(), SELECTFD_STAT_WRITE, 0, 0), SELECTFD_RETURN_SUCCESS);
    EXPECT_EQ(SelectFd(stPair.a.Get(), SELECTFD_STAT_EXCPT, 0, 0), SELECTFD_RETURN_OVERTIME);
    ASSERT_EQ(write(stPair.b.Get(), "x", 1), 1);
    EXPECT_EQ(SelectFd(stPair.a.Get(), SELECTFD_STAT_READ, 1, 0), SELECTFD_RETURN_SUCCESS);

    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(SelectFd(stPair.a.Get(), static_cast<SELECTFD_STAT_E>(5), 0, 0),
              SELECTFD_RETURN_ERROR);
    EXPECT_EQ(SelectFd(-3, SELECTFD_STAT_READ, 0, 0), SELECTFD_RETURN_ERROR);
    /* A negative timeout makes the wait itself fail. */
    EXPECT_EQ(SelectFd(stPair.a.Get(), SELECTFD_STAT_WRITE, -1, 0), SELECTFD_RETURN_ERROR);
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("] NOT SUPPORT THIS ENSTAT:5\n"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("] s32SocketFd:-3 <= 0\n"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("] Select Error:Invalid argument!\n"), std::string::npos) << strLog;
}

TEST(SelectWait, DescriptorsBeyondTheSetAreRefused)
{
    Pair stPair;
    MakePair(&stPair);
    ASSERT_EQ(write(stPair.b.Get(), "x", 1), 1);
    Fd stHigh(DupHigh(stPair.a.Get()));
    if (stHigh.Get() < 0) GTEST_SKIP() << "descriptor limit below 1501";
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(Select(stHigh.Get(), 0, READ_STATUS), -1);
    EXPECT_EQ(SelectFd(stHigh.Get(), SELECTFD_STAT_READ, 0, 0), SELECTFD_RETURN_ERROR);
    char s8Buf[4];
    EXPECT_EQ(RecvTimeOut(stHigh.Get(), s8Buf, sizeof(s8Buf), 0), -1);
    EXPECT_EQ(ReadPartialData(stHigh.Get(), s8Buf, sizeof(s8Buf), 0), -1);
    const std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("[COMM][Select] line["), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("[PLATFORM] -- [SelectFd]:["), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("1500"), std::string::npos) << strLog;
    /* The byte is still there: nothing was read. */
    EXPECT_EQ(recv(stPair.a.Get(), s8Buf, sizeof(s8Buf), MSG_DONTWAIT), 1);
}
