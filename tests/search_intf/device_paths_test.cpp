// SPDX-License-Identifier: MIT
/* NetInterface on the device paths: a child in its own mount, PID and IPC
 * namespaces binds a temporary directory on /mivor, mounts its own /proc (so
 * busybox ps lists only its processes), starts ./zozid and drives the
 * overrides. Failures come back as text through a pipe. Needs root. */
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "devfinder_def.h"
#include "search_intf.h"
#include "test_util.h"

namespace {

/* Bounded wait for a child; true when it ended (status in *ps32Status). */
bool WaitChild(pid_t s32Pid, int* ps32Status, int s32Steps)
{
    for (int i = 0; i < s32Steps; ++i) {
        if (waitpid(s32Pid, ps32Status, WNOHANG) == s32Pid) return true;
        const struct timespec stStep = {0, 10 * 1000 * 1000};
        nanosleep(&stStep, nullptr);
    }
    return false;
}

/* Runs as PID 1 of the new PID namespace; every process left in it ends with it. */
std::string RunOnDevicePaths(const TempDir& dir)
{
    std::string strFail;
    auto check = [&strFail](bool bOk, const std::string& strWhat) {
        if (!bOk) strFail += strWhat + "\n";
    };
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0 ||
        mount(dir.Path("mivor").c_str(), "/mivor", nullptr, MS_BIND, nullptr) != 0) {
        return std::string("mount: ") + strerror(errno);
    }
    setenv("PATH", (dir.Path("bin") + ":/usr/bin:/bin").c_str(), 1);

    /* The user table, under the key the device uses. */
    const int s32ShmId = shmget(ftok(DEVFINDER_CHECK_KEY_PATH, DEVFINDER_OTHER_KEY_ID),
                                DEVFINDER_OTHER_BLOCK_SIZE + 4, IPC_CREAT | 0600);
    U8* pu8Block = s32ShmId >= 0 ? static_cast<U8*>(shmat(s32ShmId, nullptr, 0)) : (U8*)-1;
    if (pu8Block == (U8*)-1) return std::string("segment: ") + strerror(errno);
    memset(pu8Block, 0, DEVFINDER_OTHER_BLOCK_SIZE);
    DEVFINDER_USER_ENTRY_S stEntry = {};
    stEntry.u8InUse = 1;
    memcpy(stEntry.s8UserName, "admin", 5);
    memcpy(stEntry.s8Password, "1234", 4);
    memcpy(pu8Block + DEVFINDER_USER_TABLE_OFFSET + 4 * sizeof(stEntry), &stEntry, sizeof(stEntry));

    const pid_t s32Zozid = fork();
    if (s32Zozid == 0) {
        if (chdir(dir.Dir().c_str()) == 0) execl("./zozid", "./zozid", "30", (char*)nullptr);
        _exit(127);
    }
    {
        NetInterface intf(nullptr);
        S8 s8User[10] = "admin", s8Pwd[14] = "1234", s8Wrong[14] = "4321";
        check(intf.CheckUser(s8User, s8Pwd, CHECK_USER_TYPE_IE) == 1, "CheckUser admin:1234");
        check(intf.CheckUser(s8User, s8Wrong, CHECK_USER_TYPE_IE) == -1, "CheckUser admin:4321");

        DEVINFO_S stInfo = {};
        check(
            intf.GetDevInfo(&stInfo, 1) == 0 && strcmp(stInfo.s8MacAddr, "0A-1B-2C-3D-4E-5F") == 0,
            "GetDevInfo MAC text");
        S32 s32Mode = -1;
        U8 u8Ip[4] = {}, u8Mask[4] = {};
        check(intf.GetNetworkState(&s32Mode, u8Ip, u8Mask) == 0 && s32Mode == 2 && u8Ip[3] == 20 &&
                  u8Mask[2] == 0,
              "GetNetworkState");

        VXNet_NetworkBaseSet_t stSet = {};
        const U8 u8NewIp[4] = {10, 1, 0, 9};
        memcpy(stSet.IPAddr, u8NewIp, 4);
        stSet.NetworkMode = 2;
        check(intf.NetBasicParamAdapter(&stSet, nullptr, 0, false, sizeof(stSet)) == 0,
              "adapter result");
    }
    check(ReadFile(dir.Path("mivor/network.ini")).find("ipaddr=10.1.0.9\n") != std::string::npos,
          "rewrite through /mivor");
    int s32Status = 0;
    const bool bEnded = WaitChild(s32Zozid, &s32Status, 500);
    check(bEnded && WIFSIGNALED(s32Status) && WTERMSIG(s32Status) == SIGUSR1,
          "./zozid got no SIGUSR1");
    shmdt(pu8Block);
    shmctl(s32ShmId, IPC_RMID, nullptr);
    return strFail;
}

TEST(DevicePaths, OverridesReadRewriteAndSignalOnTheDevicePaths)
{
    TempDir dir;
    ASSERT_EQ(0, mkdir(dir.Path("mivor").c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir.Path("bin").c_str(), 0755));
    WriteFile(dir.Path("mivor/network.ini"), TEST_INI);
    WriteFile(dir.Path("mivor/check"), "");
    ASSERT_EQ(0, symlink("/bin/busybox", dir.Path("bin/ps").c_str()));
    ASSERT_EQ(0, symlink("/bin/sleep", dir.Path("zozid").c_str()));
    /* The mount point; left in place, as other sandboxes may be using it. */
    if (mkdir("/mivor", 0755) != 0) {
        ASSERT_EQ(EEXIST, errno);
    }

    int s32Pipe[2];
    ASSERT_EQ(0, pipe(s32Pipe));
    fcntl(s32Pipe[1], F_SETFD, FD_CLOEXEC); /* ./zozid must not hold it open */
    const pid_t s32Child = fork();
    ASSERT_GE(s32Child, 0);
    if (s32Child == 0) {
        close(s32Pipe[0]);
        std::string strFail;
        if (unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWIPC) != 0) {
            strFail = std::string("unshare: ") + strerror(errno);
        } else {
            const pid_t s32Init = fork(); /* PID 1 of the new namespace */
            if (s32Init == 0) {
                const std::string strReport = RunOnDevicePaths(dir);
                _exit(write(s32Pipe[1], strReport.data(), strReport.size()) < 0 ? 2 : 0);
            }
            int s32Status = 0;
            if (s32Init < 0 || waitpid(s32Init, &s32Status, 0) != s32Init ||
                !WIFEXITED(s32Status) || WEXITSTATUS(s32Status) != 0) {
                strFail = "namespace child failed";
            }
        }
        _exit(write(s32Pipe[1], strFail.data(), strFail.size()) < 0 ? 2 : 0);
    }
    close(s32Pipe[1]);
    std::string strReport;
    char s8Buf[256];
    for (ssize_t n; (n = read(s32Pipe[0], s8Buf, sizeof(s8Buf))) > 0;)
        strReport.append(s8Buf, (size_t)n);
    close(s32Pipe[0]);
    int s32Status = 0;
    ASSERT_EQ(s32Child, waitpid(s32Child, &s32Status, 0));
    EXPECT_EQ("", strReport);
    EXPECT_TRUE(WIFEXITED(s32Status) && WEXITSTATUS(s32Status) == 0);
}

}  // namespace
