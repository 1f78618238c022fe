// SPDX-License-Identifier: MIT
/* search_intf.h: NetInterface, the discovery daemon's own device.
 *
 *   DevInterface* pIntf = new NetInterface(NULL);   // lives until the process ends
 *   BcastServer* pServer = new BcastServer(pIntf);
 *
 * Answers from the settings file "/mivor/network.ini" and fixed values, checks
 * users against the table the main application publishes in shared memory, and
 * after a rewrite of the settings file sends the main application SIGUSR1.
 * Every other facade operation keeps its default. Nothing is kept from one
 * request to the next: within one (IRequestScope), the operations that read
 * the settings file share one read of it; outside one, each reads it itself. */
#ifndef DEVFINDER_SEARCH_INTF_H
#define DEVFINDER_SEARCH_INTF_H

#include "intf_base.h"
#include "intf_request.h"
#include "type.h"

struct NETINI_SHARE_S;

/* Fixed values reported to clients. */
constexpr U16 NETINTF_MEDIA_PORT = 85;
constexpr U16 NETINTF_WEB_PORT = 85;
constexpr U64 NETINTF_DEV_TYPE = 0x5658040200080000ULL;
constexpr U32 NETINTF_DEVICE_ID = 1010;
constexpr U8 NETINTF_CHANNEL_NUM = 4;

class NetInterface : public DevInterface, public IRequestScope {
public:
    /* pMainThread is not used. */
    explicit NetInterface(VOID* pMainThread);
    ~NetInterface() override;

    NetInterface(const NetInterface&) = delete;
    NetInterface& operator=(const NetInterface&) = delete;

    /* 1 when an in-use entry of the main application's user table has this name
     * (up to 10 bytes) and password (up to 14 bytes); CHECK_USER_FAILED (-1)
     * when none has; CHECK_USER_UNAVAILABLE (-2) when the table cannot be read.
     * enType is not used. */
    S32 CheckUser(S8* pUserName, S8* pPassword, CHECK_USER_TYPE_E enType) override;

    /* MAC text (from the settings file) and fixed values; 0, also when the file
     * cannot be opened (the record is then untouched). */
    S32 GetDevInfo(DEVINFO_S* pDevInfo, S32 s32LocalUserID) override;

    /* Does nothing. */
    VOID UpdateSysParam() override;

    /* 85 each. */
    U16 GetMediaPort() override;
    U16 GetWebPort() override;

    /* Mode (2 static, 0 DHCP), address and netmask from the settings file;
     * s32Mode is required, either address pointer may be NULL; 0. */
    S32 GetNetworkState(S32* s32Mode, U8* pu8Ip, U8* pu8NetMask) override;

    /* Write nothing; 0. */
    S32 GetDnsAddrs(unsigned char (*pu8Dns)[4], S32 s32DnsNum) override;
    S32 GetHostname(S8* ps8Hostname) override;

    /* Does nothing; 0. */
    S32 SaveFlash(SAVE_FLASH_OPT_E enOpt, WORD u16MsgType, WORD u16MsgSubType) override;

    /* Runs the shell command "reboot"; 0 when it returns. */
    S32 RestartMachine() override;

    /* Trace line only. */
    VOID ResetNetServer() override;

    /* Get direction: reads the file, changes nothing. Set direction: replaces the
     * file with the addresses of pNetBasicSet (a VXNet_NetworkBaseSet_t) or the
     * MAC text of pSoleNetBasicSet (36-byte field, converted in place) and, once
     * the change is stored (or when neither is given), sends the main
     * application SIGUSR1.
     * return 0 (get direction, or the change stored; never follow-up bits), or
     * -1 when nothing was stored; the main application is then not told. */
    S32 NetBasicParamAdapter(VOID* pNetBasicSet, VOID* pSoleNetBasicSet, S32 s32ChnNO,
                             BOOL bDirection, U32 u32Parsesize) override;

    /* A request starts / ends: GetNetworkState and GetDevInfo within it answer
     * from one read of the settings file, made by the first of them. */
    VOID RequestBegin() override;
    VOID RequestEnd() override;

private:
    /* The request's read of the settings file; null if it could not be
     * allocated (every operation then reads for itself). */
    NETINI_SHARE_S* m_pstIniShare;
};

#endif /* DEVFINDER_SEARCH_INTF_H */
