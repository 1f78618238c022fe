// SPDX-License-Identifier: MIT
/* Telling the main application and rebooting: shell commands run against fakes
 * first in PATH (a fake ps lists only what the test says, so no process the
 * test did not start can be signalled). */
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capture_fd.h"
#include "search_intf.h"
#include "search_intf_internal.h"
#include "test_util.h"

namespace {

using testing::HasSubstr;

class MainAppSignal : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.Dir().empty());
        ASSERT_EQ(0, mkdir(m_dir.Path("bin").c_str(), 0755));
        WriteFile(m_dir.Path("bin/ps"), "#!/bin/sh\n/bin/cat '" + m_dir.Path("ps.out") + "'\n",
                  0755);
        WriteFile(m_strKill, "#!/bin/sh\necho \"$*\" >> '" + m_dir.Path("kill.log") + "'\n", 0755);
    }
    /* Runs the lookup with ps listing strPs; returns what the fake kill got. */
    std::string Signal(const std::string& strPs, S32* ps32Ret, std::string* pstrOut)
    {
        WriteFile(m_dir.Path("ps.out"), strPs);
        remove(m_dir.Path("kill.log").c_str());
        CaptureFd stCapOut(STDOUT_FILENO);
        *ps32Ret = NetSignalMainApp(m_strKill.c_str());
        *pstrOut = stCapOut.Take();
        return ReadFile(m_dir.Path("kill.log"));
    }

    TempDir m_dir;
    const std::string m_strKill = m_dir.Path("fakekill");
    ScopedPath m_path{m_dir.Path("bin") + ":/usr/bin:/bin"};
};

/* busybox ps as the camera has it: a header, then PID USER [TIME] COMMAND. */
constexpr const char* PS_HEAD = "PID   USER     COMMAND\n";
constexpr const char* PS_HEAD_TIME = "  PID USER       TIME  COMMAND\n";

TEST_F(MainAppSignal, PidTextIsTheWholeFirstLine)
{
    const struct {
        std::string strPs;
        const char* ps8Pid; /* "" = no kill command may run */
    } cases[] = {
        {std::string(PS_HEAD_TIME) + "  4242 root      0:00 ./zozid\n", "4242"},
        {std::string(PS_HEAD) + "1234567 root     ./zozid\n",
         "1234567"}, /* not cut to five digits */
        {std::string(PS_HEAD) + "  4242 root ./zozid\n  4343 root ./zozid -x\n", "4242"},
        {std::string(PS_HEAD) + "    1 root init\n", ""},
        {std::string(PS_HEAD) + "abc root ./zozid\n", ""},
        {std::string(PS_HEAD) + "42x root ./zozid\n", ""},
        {std::string(PS_HEAD) + "0 root ./zozid\n",
         ""}, /* kill 0 would hit the daemon's own group */
        {std::string(PS_HEAD) + "123456789012345678 root ./zozid\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.strPs);
        S32 s32Ret = 0;
        std::string strOut;
        const std::string strPid = c.ps8Pid;
        const std::string strCmd = strPid.empty() ? "" : m_strKill + " -USR1 " + strPid;
        EXPECT_EQ(strPid.empty() ? "" : "-USR1 " + strPid + "\n",
                  Signal(c.strPs, &s32Ret, &strOut));
        EXPECT_EQ(strPid.empty() ? -1 : 0, s32Ret);
        EXPECT_EQ("________________szPidBuf [" + strPid + "]--szCmdBuf [" + strCmd + "]\n", strOut);
    }
}

/* Only a process whose command is the main application's own gets the signal:
 * never one that merely names it in an argument or a path (SIGUSR1 ends most
 * programs), nor the lookup's own shell and awk. */
TEST_F(MainAppSignal, OnlyTheMainApplicationsOwnCommandIsChosen)
{
    const std::string strDecoys =
        "   12 root     tail -f /mivor/log/zozid_01.log\n"
        "   13 root     ./zozid-helper\n"
        "   14 root     sh -c sleep 100; : ./zozid\n"
        "   15 root     /bin/zozid\n"
        "   16 root     sh -c ps -e | awk 'NR==1{...}c&&$c==\"./zozid\"{print $1;exit}'\n"
        "   17 root     {zozid} ./zozid.old\n";
    const struct {
        std::string strPs;
        const char* ps8Pid;
    } cases[] = {
        {PS_HEAD + strDecoys, ""},
        {PS_HEAD + strDecoys + "  900 root     ./zozid\n", "900"},
        {PS_HEAD + strDecoys + "  901 root     ./zozid --iface eth0\n", "901"},
        {PS_HEAD_TIME + strDecoys + "  902 root       0:01 ./zozid\n", "902"},
        /* Without a header the command column is unknown: nobody is signalled. */
        {"  903 root     ./zozid\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.strPs);
        S32 s32Ret = 0;
        std::string strOut;
        const std::string strPid = c.ps8Pid;
        EXPECT_EQ(strPid.empty() ? "" : "-USR1 " + strPid + "\n",
                  Signal(c.strPs, &s32Ret, &strOut));
        EXPECT_EQ(strPid.empty() ? -1 : 0, s32Ret);
    }
}

TEST_F(MainAppSignal, AdapterSignalsOnlyAfterARewrite)
{
    const std::string strIni = m_dir.Path("network.ini");
    VXNet_NetworkBaseSet_t stSet = {};
    stSet.NetworkMode = 2;
    const struct {
        const char* ps8Name;
        const char* ps8Ini; /* nullptr: no file */
        VXNet_NetworkBaseSet_t* pstSet;
        BOOL bGet;
        bool bSignal;
        S32 s32Ret; /* 0: stored or read; -1: nothing could be stored or read */
    } cases[] = {
        {"address set", TEST_INI, &stSet, false, true, 0},
        {"set with neither record", TEST_INI, nullptr, false, true, 0},
        {"get", TEST_INI, &stSet, true, false, 0},
        {"malformed third line", "dhcp=0\nipaddr=1.1.1.1\nnetmask:255.0.0.0\n", &stSet, false,
         false, -1},
        {"no file", nullptr, &stSet, false, false, -1},
        {"no file to read", nullptr, &stSet, true, false, -1},
    };
    WriteFile(m_dir.Path("ps.out"), std::string(PS_HEAD) + "4242 root ./zozid\n");
    TestDevice stDev(strIni, "/nonexistent", m_strKill);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ps8Name);
        remove(strIni.c_str());
        if (c.ps8Ini != nullptr) WriteFile(strIni, c.ps8Ini);
        remove(m_dir.Path("kill.log").c_str());
        CaptureFd stCapOut(STDOUT_FILENO);
        CaptureFd stCapErr(STDERR_FILENO);
        EXPECT_EQ(c.s32Ret,
                  stDev.NetBasicParamAdapter(c.pstSet, nullptr, 0, c.bGet, sizeof(stSet)));
        EXPECT_THAT(stCapOut.Take(), HasSubstr("<NetBasicParamAdapter>:("));
        stCapErr.Take();
        EXPECT_EQ(c.bSignal ? "-USR1 4242\n" : "", ReadFile(m_dir.Path("kill.log")));
    }
}

TEST_F(MainAppSignal, MainAppStartedAsDotSlashZozidGetsSigusr1)
{
    ASSERT_EQ(0, symlink("/bin/sleep", m_dir.Path("zozid").c_str()));
    const pid_t s32Pid = fork();
    ASSERT_GE(s32Pid, 0);
    if (s32Pid == 0) {
        if (chdir(m_dir.Dir().c_str()) == 0) execl("./zozid", "./zozid", "30", (char*)nullptr);
        _exit(127);
    }
    WriteFile(m_dir.Path("ps.out"),
              std::string(PS_HEAD_TIME) + std::to_string(s32Pid) + " root     0:00 ./zozid 30\n");
    CaptureFd stCapOut(STDOUT_FILENO);
    EXPECT_EQ(0, NetSignalMainApp()); /* the shell's own kill */
    stCapOut.Take();
    int s32Status = 0;
    pid_t s32Done = 0;
    for (int i = 0; i < 500 && s32Done == 0; ++i) {
        s32Done = waitpid(s32Pid, &s32Status, WNOHANG);
        if (s32Done == 0) {
            const struct timespec stStep = {0, 10 * 1000 * 1000};
            nanosleep(&stStep, nullptr);
        }
    }
    if (s32Done == 0) {
        kill(s32Pid, SIGKILL);
        waitpid(s32Pid, &s32Status, 0);
    }
    ASSERT_EQ(s32Pid, s32Done) << "./zozid was not ended by the signal";
    EXPECT_TRUE(WIFSIGNALED(s32Status) && WTERMSIG(s32Status) == SIGUSR1);
}

TEST(DeviceCommands, RestartRunsRebootThroughTheShell)
{
    TempDir dir;
    const std::string strLog = dir.Path("reboot.log");
    WriteFile(dir.Path("reboot"), "#!/bin/sh\necho \"reboot $*\" >> '" + strLog + "'\n", 0755);
    ASSERT_EQ(0, access(dir.Path("reboot").c_str(), X_OK));
    /* Only the fake is reachable: the real reboot must never run here. */
    ScopedPath path(dir.Dir());
    CaptureFd stCapOut(STDOUT_FILENO);
    {
        NetInterface intf(nullptr);
        DevInterface* pIntf = &intf;
        EXPECT_EQ(0, pIntf->RestartMachine());
        pIntf->ResetNetServer();
        EXPECT_EQ(85, pIntf->GetMediaPort());
        EXPECT_EQ(85, pIntf->GetWebPort());
        EXPECT_EQ(0, pIntf->SaveFlash(SAVE_OPT_STOP_ERC, 216, 511));
        S8 s8Name[36] = "keep";
        unsigned char u8Dns[2][4] = {{1, 2, 3, 4}, {5, 6, 7, 8}};
        EXPECT_EQ(0, pIntf->GetHostname(s8Name));
        EXPECT_EQ(0, pIntf->GetDnsAddrs(u8Dns, 2));
        EXPECT_STREQ("keep", s8Name);
        EXPECT_EQ(8, u8Dns[1][3]);
    }
    const std::string strOut = stCapOut.Take();
    EXPECT_EQ("reboot \n", ReadFile(strLog));
    EXPECT_THAT(strOut, testing::MatchesRegex(
                            "<NetInterface>:\\([0-9]+\\), \n<RestartMachine>:\\([0-9]+\\), \n"
                            "<ResetNetServer>:\\([0-9]+\\), \n<~NetInterface>:\\([0-9]+\\), \n"));
}

}  // namespace
