// SPDX-License-Identifier: MIT
/* search_intf.cpp: NetInterface, the operations it answers from the settings
 * file, the user table and the signal to the main application. */
#include "search_intf.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <memory>
#include <new>

#include "comm_log.h"
#include "search_intf_internal.h"

namespace {

typedef std::unique_ptr<FILE, int (*)(FILE*)> FilePtr;

/* ---- answers from the settings file ---- */

/* The text "%02X-%02X-%02X-%02X-%02X-%02X" gives, terminated: written by
 * hand, as every search asks for it. */
template <size_t N>
VOID PutMacText(S8 (&s8Dst)[N], const U8 (&u8Mac)[6])
{
    static_assert(N >= sizeof("00-11-22-33-44-55"), "MAC text fits");
    static const char s8Hex[] = "0123456789ABCDEF";
    size_t uPos = 0;
    for (size_t i = 0; i < sizeof(u8Mac); ++i) {
        if (i > 0) s8Dst[uPos++] = '-';
        s8Dst[uPos++] = s8Hex[u8Mac[i] >> 4];
        s8Dst[uPos++] = s8Hex[u8Mac[i] & 0x0F];
    }
    s8Dst[uPos] = '\0';
}

/* ---- signalling the main application ---- */

/* A PID as ps prints it: decimal digits, no leading zero (so never 0, which
 * kill would take as "every process of my group"). */
bool IsPidText(const S8* ps8Text)
{
    if (ps8Text[0] < '1' || ps8Text[0] > '9') return false;
    for (const S8* p = ps8Text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
    }
    return true;
}

/* ---- the user table ---- */

/* Detaches on every return path. */
class ShmAttach {
public:
    explicit ShmAttach(int s32ShmId) noexcept : m_pAddr(shmat(s32ShmId, nullptr, SHM_RDONLY)) {}
    ~ShmAttach()
    {
        if (m_pAddr != (VOID*)-1) shmdt(m_pAddr);
    }
    ShmAttach(const ShmAttach&) = delete;
    ShmAttach& operator=(const ShmAttach&) = delete;
    const VOID* Get() const noexcept { return m_pAddr == (VOID*)-1 ? nullptr : m_pAddr; }

private:
    VOID* m_pAddr;
};

bool SameText(const S8* ps8A, size_t uSizeA, const S8* ps8B, size_t uSizeB)
{
    const size_t uLenA = strnlen(ps8A, uSizeA);
    return uLenA == strnlen(ps8B, uSizeB) && memcmp(ps8A, ps8B, uLenA) == 0;
}

}  // namespace

/* ---- helpers (search_intf_internal.h) ---- */

S32 NetIntfGetDevInfo(DEVINFO_S* pDevInfo, const char* ps8Path, NETINI_SHARE_S* pstShare)
{
    COMM_ASSERT(pDevInfo != nullptr);
    NETINI_S stIni;
    if (NetIniReadShared(ps8Path, NETINI_VIEW_DEVINFO, pstShare, &stIni) != 0) {
        perror("\n");
        NETINTF_TRACE("GetDevInfo", "fopen error\n");
        return 0;
    }
    /* A macaddr line that was not read gives six zero bytes. */
    PutMacText(pDevInfo->s8MacAddr, stIni.u8Mac);
    pDevInfo->s8DevSwVer[0] = '\0';
    pDevInfo->s8DeviceType[0] = '\0';
    pDevInfo->s8DevName[0] = '\0';
    pDevInfo->u32DeviceID = NETINTF_DEVICE_ID;
    CommTrace("00<%s>:(%d), macaddr:%s--[%d]\n", "GetDevInfo", __LINE__, pDevInfo->s8MacAddr,
              (S32)pDevInfo->u32ProtocolType);
    pDevInfo->u64DevType = NETINTF_DEV_TYPE;
    pDevInfo->u8SerialNum = 0;
    pDevInfo->u8AIAnalyzeCap = 0;
    pDevInfo->u8AIAnalyzeChannels = 0;
    pDevInfo->u8ResolutioFrameFix = 0;
    pDevInfo->u8PreviewOff = 0;
    pDevInfo->u8VideoCoverNum = 4;
    pDevInfo->u8SubStreamMin = 0;
    pDevInfo->u8SubStreamMax = 0;
    pDevInfo->u8SubStreamRestrict = 0;
    pDevInfo->u8MotionMode = 2;
    pDevInfo->u8MaxPreviewNum = 4;
    pDevInfo->u8ChannelNum = NETINTF_CHANNEL_NUM;
    pDevInfo->u32ProtocolType = 4;
    CommTrace("11<%s>:(%d), macaddr:%s--[%d]\n", "GetDevInfo", __LINE__, pDevInfo->s8MacAddr,
              (S32)pDevInfo->u32ProtocolType);
    return 0;
}

S32 NetIntfGetNetworkState(S32* ps32Mode, U8* pu8Ip, U8* pu8NetMask, const char* ps8Path,
                           NETINI_SHARE_S* pstShare)
{
    COMM_ASSERT(ps32Mode != nullptr);
    NETINI_S stIni;
    if (NetIniReadShared(ps8Path, NETINI_VIEW_STATE, pstShare, &stIni) != 0) {
        perror("\n");
        NETINTF_TRACE("GetNetworkState", "fopen error\n");
        return 0;
    }
    *ps32Mode = (stIni.s32Dhcp == 0) ? 2 : 0;
    /* Each number keeps its low 8 bits, as a byte store of %d does. */
    if (pu8Ip != nullptr) {
        for (size_t i = 0; i < 4; ++i) pu8Ip[i] = (U8)((U32)stIni.s32IpNum[i] & 0xFFu);
    }
    if (pu8NetMask != nullptr) {
        for (size_t i = 0; i < 4; ++i) pu8NetMask[i] = (U8)((U32)stIni.s32MaskNum[i] & 0xFFu);
    }
    if (pu8Ip != nullptr && pu8NetMask != nullptr) {
        CommTrace(
            "__________________dhcp[%d] ip [%d].[%d].[%d].[%d]--natmask [%d].[%d].[%d].[%d]\n",
            *ps32Mode, pu8Ip[0], pu8Ip[1], pu8Ip[2], pu8Ip[3], pu8NetMask[0], pu8NetMask[1],
            pu8NetMask[2], pu8NetMask[3]);
    }
    return 0;
}
S32 NetSignalMainApp(const char* ps8KillCmd)
{
    COMM_ASSERT(ps8KillCmd != nullptr);
    S8 s8Pid[16] = {};
    S8 s8List[sizeof(NETINTF_PS_LIST_FMT) + 64];
    const int s32ListLen =
        snprintf(s8List, sizeof(s8List), NETINTF_PS_LIST_FMT, DEVFINDER_MAIN_APP_COMMAND);
    if (s32ListLen > 0 && (size_t)s32ListLen < sizeof(s8List)) {
        FilePtr pPipe(popen(s8List, "r"), pclose);
        S8 s8Line[sizeof(s8Pid)] = {};
        if (pPipe && fgets(s8Line, sizeof(s8Line), pPipe.get()) != nullptr) {
            size_t uLen = strnlen(s8Line, sizeof(s8Line));
            bool bWhole = feof(pPipe.get()) != 0; /* last line without a line end */
            if (uLen > 0 && s8Line[uLen - 1] == '\n') {
                s8Line[--uLen] = '\0';
                bWhole = true;
            }
            /* Only the whole first line names the process; a cut one could
             * name another process, which SIGUSR1 would end. */
            if (bWhole && IsPidText(s8Line)) memcpy(s8Pid, s8Line, uLen + 1);
        }
    }
    S8 s8Cmd[256] = {};
    S32 s32Ret = -1;
    if (s8Pid[0] != '\0') {
        const int s32Len = snprintf(s8Cmd, sizeof(s8Cmd), "%s -USR1 %s", ps8KillCmd, s8Pid);
        if (s32Len < 0 || (size_t)s32Len >= sizeof(s8Cmd)) {
            s8Cmd[0] = '\0';
        } else {
            /* A failing kill (the process just ended) has nothing to undo. */
            const int s32Status = system(s8Cmd);
            (void)s32Status;
            s32Ret = 0;
        }
    }
    CommTrace("________________szPidBuf [%s]--szCmdBuf [%s]\n", s8Pid, s8Cmd);
    return s32Ret;
}

S32 NetIntfNetBasicParam(VOID* pNetBasicSet, VOID* pMac, BOOL bDirection, const char* ps8Path,
                         const char* ps8KillCmd, NETINI_SHARE_S* pstShare)
{
    NETINTF_TRACE("NetBasicParamAdapter", "___________ NetBasicParamAdapter__________\n");
    const S32 s32Ret = NetIniUpdate(pNetBasicSet, pMac, bDirection, ps8Path);
    /* Later readers of this request must see what was written. */
    if (pstShare != nullptr && !bDirection) NetIniShareForget(pstShare);
    /* Nothing stored: the main application is not told, and the caller
     * acknowledges nothing. */
    if (s32Ret < 0) return -1;
    if (s32Ret > 0) NetSignalMainApp(ps8KillCmd);
    /* No follow-up bits: the SIGUSR1 is the main application's cue to reload. */
    return 0;
}

S32 NetUserTableCheck(const S8* ps8Name, size_t uNameSize, const S8* ps8Pwd, size_t uPwdSize,
                      const char* ps8KeyPath)
{
    COMM_ASSERT(ps8KeyPath != nullptr);
    if (ps8Name == nullptr || ps8Pwd == nullptr) return CHECK_USER_FAILED;
    const key_t s32Key = ftok(ps8KeyPath, DEVFINDER_OTHER_KEY_ID);
    if (s32Key == (key_t)-1) {
        const int s32Err = errno;
        NETINTF_TRACE("CheckUser", "user table key from %s: %s\n", ps8KeyPath, strerror(s32Err));
        return CHECK_USER_UNAVAILABLE;
    }
    const int s32ShmId = shmget(s32Key, 0, 0);
    if (s32ShmId < 0) {
        const int s32Err = errno;
        NETINTF_TRACE("CheckUser", "user table segment: %s\n", strerror(s32Err));
        return CHECK_USER_UNAVAILABLE;
    }
    struct shmid_ds stInfo;
    if (shmctl(s32ShmId, IPC_STAT, &stInfo) != 0) {
        const int s32Err = errno;
        NETINTF_TRACE("CheckUser", "user table segment: %s\n", strerror(s32Err));
        return CHECK_USER_UNAVAILABLE;
    }
    if (stInfo.shm_segsz < DEVFINDER_OTHER_BLOCK_SIZE) {
        NETINTF_TRACE("CheckUser", "user table segment too small (%lu bytes)\n",
                      (unsigned long)stInfo.shm_segsz);
        return CHECK_USER_UNAVAILABLE;
    }
    /* A copy taken now: the main application may change accounts at any time. */
    U8 u8Block[DEVFINDER_OTHER_BLOCK_SIZE];
    {
        ShmAttach shm(s32ShmId);
        if (shm.Get() == nullptr) {
            const int s32Err = errno;
            NETINTF_TRACE("CheckUser", "user table attach: %s\n", strerror(s32Err));
            return CHECK_USER_UNAVAILABLE;
        }
        memcpy(u8Block, shm.Get(), sizeof(u8Block));
    }
    for (U32 i = 0; i < DEVFINDER_USER_COUNT; ++i) {
        DEVFINDER_USER_ENTRY_S stEntry;
        memcpy(&stEntry, u8Block + DEVFINDER_USER_TABLE_OFFSET + i * sizeof(stEntry),
               sizeof(stEntry));
        if (stEntry.u8InUse == 0) continue;
        if (SameText(ps8Name, uNameSize, stEntry.s8UserName, sizeof(stEntry.s8UserName)) &&
            SameText(ps8Pwd, uPwdSize, stEntry.s8Password, sizeof(stEntry.s8Password))) {
            return 1;
        }
    }
    return CHECK_USER_FAILED;
}

/* ---- NetInterface ---- */

NetInterface::NetInterface(VOID* /*pMainThread*/)
    : DevInterface(), m_pstIniShare(new (std::nothrow) NETINI_SHARE_S)
{
    /* Only the flags: the buffers are written before they are read. Without
     * the record every reader reads for itself. */
    if (m_pstIniShare != nullptr) NetIniShareEnd(m_pstIniShare);
    NETINTF_TRACE(__FUNCTION__, "\n");
}

NetInterface::~NetInterface()
{
    NETINTF_TRACE(__FUNCTION__, "\n");
    delete m_pstIniShare;
}

VOID NetInterface::RequestBegin()
{
    if (m_pstIniShare != nullptr) NetIniShareBegin(m_pstIniShare);
}

VOID NetInterface::RequestEnd()
{
    if (m_pstIniShare != nullptr) NetIniShareEnd(m_pstIniShare);
}

S32 NetInterface::CheckUser(S8* pUserName, S8* pPassword, CHECK_USER_TYPE_E /*enType*/)
{
    NETINTF_TRACE(__FUNCTION__, "___________ CheckUser __________\n");
    /* The table is read at every check, so account changes count at once. */
    return NetUserTableCheck(pUserName, NETINTF_USER_NAME_SIZE, pPassword, NETINTF_USER_PWD_SIZE,
                             DEVFINDER_CHECK_KEY_PATH);
}

S32 NetInterface::GetDevInfo(DEVINFO_S* pDevInfo, S32 /*s32LocalUserID*/)
{
    return NetIntfGetDevInfo(pDevInfo, DEVFINDER_NETWORK_INI, m_pstIniShare);
}

VOID NetInterface::UpdateSysParam() {}

U16 NetInterface::GetMediaPort()
{
    return NETINTF_MEDIA_PORT;
}

U16 NetInterface::GetWebPort()
{
    return NETINTF_WEB_PORT;
}

S32 NetInterface::GetNetworkState(S32* s32Mode, U8* pu8Ip, U8* pu8NetMask)
{
    return NetIntfGetNetworkState(s32Mode, pu8Ip, pu8NetMask, DEVFINDER_NETWORK_INI,
                                  m_pstIniShare);
}

S32 NetInterface::GetDnsAddrs(unsigned char (* /*pu8Dns*/)[4], S32 /*s32DnsNum*/)
{
    return 0;
}

S32 NetInterface::GetHostname(S8* /*ps8Hostname*/)
{
    return 0;
}

S32 NetInterface::SaveFlash(SAVE_FLASH_OPT_E /*enOpt*/, WORD /*u16MsgType*/, WORD /*u16MsgSubType*/)
{
    return 0;
}

S32 NetInterface::RestartMachine()
{
    NETINTF_TRACE(__FUNCTION__, "\n");
    const int s32Status = system(NETINTF_REBOOT_CMD);
    (void)s32Status;
    return 0;
}

VOID NetInterface::ResetNetServer()
{
    NETINTF_TRACE(__FUNCTION__, "\n");
}

S32 NetInterface::NetBasicParamAdapter(VOID* pNetBasicSet, VOID* pSoleNetBasicSet, S32 /*s32ChnNO*/,
                                       BOOL bDirection, U32 /*u32Parsesize*/)
{
    return NetIntfNetBasicParam(pNetBasicSet, pSoleNetBasicSet, bDirection, DEVFINDER_NETWORK_INI,
                                NETINTF_KILL_CMD, m_pstIniShare);
}
