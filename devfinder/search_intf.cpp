// SPDX-License-Identifier: MIT
/* search_intf.cpp: NetInterface, the daemon's device: its answers from the
 * settings file, the user table and the signal to the main application. */
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

#include "comm_log.h"
#include "devfinder_def.h"
#include "search_intf_internal.h"

namespace {

typedef std::unique_ptr<FILE, int (*)(FILE*)> FilePtr;
typedef std::unique_ptr<S8, void (*)(void*)> MallocText;

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

/* "%d.%d.%d.%d" of an address record into a file value (at most 15
 * characters: it always fits). */
VOID PutAddrValue(S8 (&s8Dst)[NETINI_ADDR_TEXT_MAX + 1], const U8 (&u8Addr)[4])
{
    snprintf(s8Dst, sizeof(s8Dst), "%d.%d.%d.%d", u8Addr[0], u8Addr[1], u8Addr[2], u8Addr[3]);
}

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

/* Looks a user up in the user table of the other-parameter block the main
 * application publishes under ftok(ps8KeyPath, 11): the name taken up to
 * uNameSize bytes, the password up to uPwdSize. Results as CheckUser's. */
S32 UserTableCheck(const S8* ps8Name, size_t uNameSize, const S8* ps8Pwd, size_t uPwdSize,
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

}  // namespace

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

/* ---- NetInterface ---- */

NetInterface::NetInterface(VOID* /*pMainThread*/)
    : NetInterface(DEVFINDER_NETWORK_INI, DEVFINDER_CHECK_KEY_PATH, NETINTF_KILL_CMD)
{
}

NetInterface::NetInterface(const char* ps8IniPath, const char* ps8CheckKeyPath,
                           const char* ps8KillCmd)
    : DevInterface(),
      m_ps8IniPath(ps8IniPath),
      m_ps8CheckKeyPath(ps8CheckKeyPath),
      m_ps8KillCmd(ps8KillCmd),
      m_bInRequest(false),
      m_stIni(),
      m_s32IniErr(0)
{
    COMM_ASSERT(ps8IniPath != nullptr && ps8CheckKeyPath != nullptr && ps8KillCmd != nullptr);
    /* Room for the file as the main application writes it: no allocation per request. */
    m_strIniBytes.reserve(NETINI_FIRST_READ);
    NETINTF_TRACE("NetInterface", "\n");
}

NetInterface::~NetInterface()
{
    NETINTF_TRACE(__FUNCTION__, "\n");
}

VOID NetInterface::LoadSettings()
{
    m_s32IniErr = 0;
    if (NetIniRead(m_ps8IniPath, &m_strIniBytes, &m_stIni) != 0) {
        m_s32IniErr = errno != 0 ? errno : EIO;
    }
}

const NETINI_S* NetInterface::Settings(const char* ps8Func)
{
    if (!m_bInRequest) LoadSettings();
    if (m_s32IniErr == 0) return &m_stIni;
    CommLogPerror("\n", m_s32IniErr);
    NETINTF_TRACE(ps8Func, "fopen error\n");
    return nullptr;
}

VOID NetInterface::RequestBegin()
{
    m_bInRequest = true;
    LoadSettings();
}

VOID NetInterface::RequestEnd()
{
    m_bInRequest = false;
    /* A file longer than usual does not keep its memory. */
    if (m_strIniBytes.capacity() > NETINI_FIRST_READ) {
        std::string strUsual;
        strUsual.reserve(NETINI_FIRST_READ);
        m_strIniBytes.swap(strUsual);
    }
    m_strIniBytes.clear();
}

S32 NetInterface::CheckUser(S8* pUserName, S8* pPassword, CHECK_USER_TYPE_E /*enType*/)
{
    NETINTF_TRACE(__FUNCTION__, "___________ CheckUser __________\n");
    return UserTableCheck(pUserName, NETINTF_USER_NAME_SIZE, pPassword, NETINTF_USER_PWD_SIZE,
                          m_ps8CheckKeyPath);
}

S32 NetInterface::GetDevInfo(DEVINFO_S* pDevInfo, S32 /*s32LocalUserID*/)
{
    COMM_ASSERT(pDevInfo != nullptr);
    const NETINI_S* pstIni = Settings(__FUNCTION__);
    if (pstIni == nullptr) return 0;
    /* A macaddr line that was not read gives six zero bytes. */
    PutMacText(pDevInfo->s8MacAddr, pstIni->u8Mac);
    pDevInfo->s8DevSwVer[0] = '\0';
    pDevInfo->s8DeviceType[0] = '\0';
    pDevInfo->s8DevName[0] = '\0';
    pDevInfo->u32DeviceID = NETINTF_DEVICE_ID;
    CommTrace("00<%s>:(%d), macaddr:%s--[%d]\n", __FUNCTION__, __LINE__, pDevInfo->s8MacAddr,
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
    CommTrace("11<%s>:(%d), macaddr:%s--[%d]\n", __FUNCTION__, __LINE__, pDevInfo->s8MacAddr,
              (S32)pDevInfo->u32ProtocolType);
    return 0;
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
    COMM_ASSERT(s32Mode != nullptr);
    const NETINI_S* pstIni = Settings(__FUNCTION__);
    if (pstIni == nullptr) return 0;
    *s32Mode = (pstIni->s32Dhcp == 0) ? 2 : 0;
    /* Each number keeps its low 8 bits, as a byte store of %d does. */
    if (pu8Ip != nullptr) {
        for (size_t i = 0; i < 4; ++i) pu8Ip[i] = (U8)((U32)pstIni->s32IpNum[i] & 0xFFu);
    }
    if (pu8NetMask != nullptr) {
        for (size_t i = 0; i < 4; ++i) pu8NetMask[i] = (U8)((U32)pstIni->s32MaskNum[i] & 0xFFu);
    }
    if (pu8Ip != nullptr && pu8NetMask != nullptr) {
        CommTrace(
            "__________________dhcp[%d] ip [%d].[%d].[%d].[%d]--natmask [%d].[%d].[%d].[%d]\n",
            *s32Mode, pu8Ip[0], pu8Ip[1], pu8Ip[2], pu8Ip[3], pu8NetMask[0], pu8NetMask[1],
            pu8NetMask[2], pu8NetMask[3]);
    }
    return 0;
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
    NETINTF_TRACE(__FUNCTION__, "___________ NetBasicParamAdapter__________\n");
    const S32 s32Ret = StoreSettings(pNetBasicSet, pSoleNetBasicSet, bDirection);
    /* Later readers of this request see what was written. */
    if (m_bInRequest && !bDirection) LoadSettings();
    /* Nothing stored: the main application is not told, and the caller
     * acknowledges nothing. */
    if (s32Ret < 0) return -1;
    if (s32Ret > 0) (void)NetSignalMainApp(m_ps8KillCmd);
    /* No follow-up bits: the SIGUSR1 is the main application's cue to reload. */
    return 0;
}

S32 NetInterface::StoreSettings(const VOID* pNetBasicSet, VOID* pMac, BOOL bDirection)
{
    /* The file belongs to the main application: never create it. Through a
     * symlink, the file it names is the one read and replaced. */
    const MallocText pTarget(realpath(m_ps8IniPath, nullptr), free);
    std::string strBytes;
    struct stat stSt;
    NETINI_S stIni;
    if (!pTarget || NetIniRead(pTarget.get(), &strBytes, &stIni, &stSt) != 0) {
        const int s32Err = errno;
        CommLogPerror("\n", s32Err);
        NETINTF_TRACE("NetBasicParamAdapter", "fopen error\n");
        if (s32Err == EINVAL || s32Err == EISDIR) {
            NETINTF_TRACE("NetBasicParamAdapter", "%s is not a regular file, not written\n",
                          m_ps8IniPath);
        }
        return -1;
    }
    if (bDirection) return 0;

    /* The MAC text is converted in the caller's field whatever the file holds. */
    size_t uMacLen = 0;
    if (pNetBasicSet == nullptr && pMac != nullptr) {
        uMacLen = NetMacDashesToColons(static_cast<S8*>(pMac), NETINTF_MAC_FIELD_SIZE);
    }
    /* Values after a line we could not read are unknown: writing defaults in
     * their place would destroy the main application's settings. */
    if (stIni.enEnd == NETINI_END_BAD_LINE) {
        NETINTF_TRACE("NetBasicParamAdapter",
                      "line %d of %s is not \"%s=\" as expected, file left as it is\n",
                      stIni.s32LinesRead + 1, m_ps8IniPath, NETINI_KEYS[stIni.s32LinesRead]);
        return -1;
    }

    if (pNetBasicSet != nullptr) {
        VXNet_NetworkBaseSet_t stSet;
        memcpy(&stSet, pNetBasicSet, sizeof(stSet));
        PutAddrValue(stIni.s8IpAddr, stSet.IPAddr);
        PutAddrValue(stIni.s8NetMask, stSet.NetMask);
        PutAddrValue(stIni.s8GateWay, stSet.GateWay);
        stIni.s32Dhcp = (stSet.NetworkMode == 0) ? 1 : 0;
    } else if (pMac != nullptr) {
        /* Within the field: the length is checked before the text is looked at. */
        if (uMacLen > NETINI_ADDR_TEXT_MAX ||
            !NetIniTextFits(static_cast<const S8*>(pMac), uMacLen + 1, NETINI_ADDR_TEXT_MAX)) {
            NETINTF_TRACE("NetBasicParamAdapter",
                          "macaddr text refused (%zu characters or white space)\n", uMacLen);
            return -1;
        }
        memcpy(stIni.s8MacAddr, pMac, uMacLen);
        stIni.s8MacAddr[uMacLen] = '\0';
    } else {
        /* Nothing to store; the main application is still told, as after a write. */
        return 1;
    }
    return NetIniReplace(pTarget.get(), stSt, &stIni) == 0 ? 1 : -1;
}
