// SPDX-License-Identifier: MIT
/* zozid: stand-in for the camera's main application (see zozid_serve.h). */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <string>

#include "zozid_opts.h"
#include "zozid_serve.h"
#include "zozid_settings.h"

namespace {

/* About a quarter of a second without clients before the pause grows. */
constexpr U32 ZOZID_IDLE_POLLS_BEFORE_BACKOFF = 2000;
constexpr U32 ZOZID_IDLE_PAUSE_US = 5000;
/* --fast: longest sleep in the kernel between two looks, with a command being
 * served and without (a post wakes it at once; the bound only lets a delayed
 * answer, the other family and the signals be seen) */
constexpr U32 ZOZID_FAST_BUSY_US = 1000;
constexpr U32 ZOZID_FAST_IDLE_US = 20000;

volatile sig_atomic_t g_bStop = 0;
volatile sig_atomic_t g_bReload = 0;

void OnStop(int /*s32Sig*/)
{
    g_bStop = 1;
}
void OnReload(int /*s32Sig*/)
{
    g_bReload = 1;
}

U64 NowMs()
{
    struct timespec stTs;
    clock_gettime(CLOCK_MONOTONIC, &stTs);
    return (U64)stTs.tv_sec * 1000u + (U64)stTs.tv_nsec / 1000000u;
}

int InstallHandlers()
{
    struct sigaction stAct;
    memset(&stAct, 0, sizeof(stAct));
    sigemptyset(&stAct.sa_mask);
    stAct.sa_handler = OnStop;
    if (sigaction(SIGTERM, &stAct, nullptr) != 0 || sigaction(SIGINT, &stAct, nullptr) != 0) {
        return -1;
    }
    stAct.sa_handler = OnReload;
    if (sigaction(SIGUSR1, &stAct, nullptr) != 0) {
        return -1;
    }
    stAct.sa_handler = SIG_IGN;
    return sigaction(SIGPIPE, &stAct, nullptr);
}

/* Address changes wait a moment after the reload: the discovery daemon
 * answers its client after it has signalled us, and moving the interface at
 * once would take away the address that answer leaves from. */
constexpr U64 ZOZID_APPLY_DELAY_MS = 300;

struct PendingApply {
    bool bDue = false;
    U64 u64AtMs = 0;
    ZOZID_NET_S stNet;
    U32 u32Reload = 0;      /* the reload whose settings are pending */
    std::string strApplied; /* "ip/mask/gw" last put on the interface */
};

void Reload(const ZOZID_OPTIONS_S& stOpts, U32 u32Count, PendingApply* pstApply)
{
    ZOZID_NET_S stNet;
    const std::string strPath = stOpts.strMivor + "/network.ini";
    const int s32Ret = ReadSettingsFile(strPath, &stNet);
    if (s32Ret != 0) {
        fprintf(stderr, "zozid: %s: only %u of 9 keys read\n", strPath.c_str(),
                (unsigned)stNet.u32Keys);
    }
    if (!stOpts.strIface.empty() && stNet.u32Keys >= 4) {
        pstApply->bDue = true;
        pstApply->u64AtMs = NowMs() + ZOZID_APPLY_DELAY_MS;
        pstApply->stNet = stNet;
        pstApply->u32Reload = u32Count;
    }
    printf("zozid: settings reloaded %u\n", (unsigned)u32Count);
    fflush(stdout);
}

void ApplyWhenDue(const ZOZID_OPTIONS_S& stOpts, PendingApply* pstApply)
{
    if (!pstApply->bDue || NowMs() < pstApply->u64AtMs) {
        return;
    }
    pstApply->bDue = false;
    const ZOZID_NET_S& stNet = pstApply->stNet;
    const std::string strWanted = std::to_string(stNet.s32Dhcp) + "/" + stNet.strIpAddr + "/" +
                                  stNet.strNetmask + "/" + stNet.strGateway;
    /* nothing to do when nothing that the interface shows has changed */
    if (strWanted != pstApply->strApplied && ApplySettings(stNet, stOpts.strIface) >= 0) {
        pstApply->strApplied = strWanted;
    }
    /* Tests wait for this line: the interface, address and route included, is
     * now as this reload's settings say (or was left alone). Reloads that came
     * before the apply was due are handled with the last of them. */
    printf("zozid: network of reload %u handled\n", (unsigned)pstApply->u32Reload);
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    ZOZID_OPTIONS_S stOpts;
    std::string strErr;
    const int s32Parse = ParseZozidArgs(argc, argv, &stOpts, &strErr);
    if (s32Parse != 0) {
        fprintf(s32Parse > 0 ? stdout : stderr, "%s%s",
                s32Parse > 0 ? "" : "zozid: ", strErr.c_str());
        if (s32Parse < 0) {
            fprintf(stderr, "\n%s", ZOZID_USAGE);
        }
        return s32Parse > 0 ? 0 : 2;
    }
    if (InstallHandlers() != 0) {
        fprintf(stderr, "zozid: cannot install signal handlers\n");
        return 1;
    }
    if (mkdir(stOpts.strSnap.c_str(), 0755) != 0 && errno != EEXIST) {
        const int s32Err = errno;
        fprintf(stderr, "zozid: cannot create %s: %s\n", stOpts.strSnap.c_str(), strerror(s32Err));
        return 1;
    }
    if (EnsureSettingsFile(stOpts.strMivor + "/network.ini") < 0) {
        return 1;
    }
    ZozidServer stSrv(stOpts);
    if (stSrv.Setup() != 0) {
        return 1;
    }
    printf("zozid: ready\n");
    fflush(stdout);

    U32 u32Reloads = 0;
    U32 u32IdlePolls = 0;
    PendingApply stApply;
    while (!g_bStop) {
        if (g_bReload) {
            g_bReload = 0;
            Reload(stOpts, ++u32Reloads, &stApply);
        }
        ApplyWhenDue(stOpts, &stApply);
        const bool bBusy = stSrv.Poll(NowMs());
        if (stOpts.bFast) {
            /* a command being served is looked at again soon (a delayed
             * answer falls due); otherwise the next post wakes us */
            stSrv.WaitForPost(bBusy ? ZOZID_FAST_BUSY_US : ZOZID_FAST_IDLE_US);
            continue;
        }
        u32IdlePolls = bBusy ? 0 : u32IdlePolls + 1;
        /* Poll fast while clients come; when none has come for a while, look
         * less often, so many idle stand-ins on one machine cost little CPU. A
         * client's wait lasts far longer than the slow pause. */
        const U32 u32PauseUs = u32IdlePolls < ZOZID_IDLE_POLLS_BEFORE_BACKOFF
                                   ? stOpts.u32PollUs
                                   : std::max(stOpts.u32PollUs, ZOZID_IDLE_PAUSE_US);
        const struct timespec stPause = {(time_t)(u32PauseUs / 1000000u),
                                         (long)(u32PauseUs % 1000000u) * 1000L};
        nanosleep(&stPause, nullptr); /* a signal only cuts one pause short */
    }
    stSrv.Shutdown();
    return 0;
}
