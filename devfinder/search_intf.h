// SPDX-License-Identifier: MIT
/* search_intf.h: NetInterface, the discovery daemon's own device.
 *
 *   NetInterface* pIntf = new NetInterface(NULL);   // lives until the process ends
 *   new BcastServer(pIntf, pIntf);                  // the device, and its requests
 *
 * Answers from the settings file "/mivor/network.ini" and fixed values, checks
 * users against the table the main application publishes in shared memory, and
 * after a replacement of the settings file sends the main application SIGUSR1.
 * Every other facade operation keeps its default.
 *
 * One read per request: RequestBegin reads and parses the settings file once,
 * and GetNetworkState and GetDevInfo answer from that parse until RequestEnd
 * (a rewrite within the request reads it again). Outside a request each of
 * them reads the file itself. Nothing is kept from one request to the next. */
#ifndef DEVFINDER_SEARCH_INTF_H
#define DEVFINDER_SEARCH_INTF_H

#include <string>

#include "intf_base.h"
#include "intf_request.h"
#include "netini.h"
#include "type.h"

/* Fixed values reported to clients. */
constexpr U16 NETINTF_MEDIA_PORT = 85;
constexpr U16 NETINTF_WEB_PORT = 85;
constexpr U64 NETINTF_DEV_TYPE = 0x5658040200080000ULL;
constexpr U32 NETINTF_DEVICE_ID = 1010;
constexpr U8 NETINTF_CHANNEL_NUM = 4;

class NetInterface : public DevInterface, public IRequestScope {
public:
    /* pMainThread is not used. The device's own paths. */
    explicit NetInterface(VOID* pMainThread);
    ~NetInterface() override;

    NetInterface(const NetInterface&) = delete;
    NetInterface& operator=(const NetInterface&) = delete;

    /* 1 when an in-use entry of the main application's user table has this name
     * (up to 10 bytes) and password (up to 14 bytes); CHECK_USER_FAILED (-1)
     * when none has; CHECK_USER_UNAVAILABLE (-2) when the table cannot be read
     * (no key file, no segment, one too small or not attachable; a trace line
     * says why). The table is read at every check. enType is not used. */
    S32 CheckUser(S8* pUserName, S8* pPassword, CHECK_USER_TYPE_E enType) override;

    /* MAC text (from the settings file) and fixed values; 0, also when the file
     * cannot be read (the record is then untouched). */
    S32 GetDevInfo(DEVINFO_S* pDevInfo, S32 s32LocalUserID) override;

    /* Does nothing. */
    VOID UpdateSysParam() override;

    /* 85 each. */
    U16 GetMediaPort() override;
    U16 GetWebPort() override;

    /* Mode (2 static, 0 DHCP), address and netmask from the settings file;
     * s32Mode is required, either address pointer may be NULL; 0, also when
     * the file cannot be read (nothing is then written). */
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
     * file (netini.h) with the addresses of pNetBasicSet (a
     * VXNet_NetworkBaseSet_t) or the MAC text of pSoleNetBasicSet (36-byte
     * field, converted in place) and, once the change is stored (or when
     * neither is given), sends the main application SIGUSR1. A symlink at the
     * settings path stays; the file it names is replaced. Never creates it.
     * return 0 (get direction, or the change stored; never follow-up bits), or
     * -1 when nothing could be read or stored (no file, not a regular file, a
     * line not read, a value refused, a write, sync or rename failure; a trace
     * line says why); the main application is then not told. */
    S32 NetBasicParamAdapter(VOID* pNetBasicSet, VOID* pSoleNetBasicSet, S32 s32ChnNO,
                             BOOL bDirection, U32 u32Parsesize) override;

    /* A request starts: the settings file is read and parsed for it. It ends:
     * nothing of that read serves again. */
    VOID RequestBegin() override;
    VOID RequestEnd() override;

protected:
    /* For tests: the device over other paths, which must outlive it.
     * ps8IniPath      the settings file
     * ps8CheckKeyPath the key file of the user table (ftok, key number 11)
     * ps8KillCmd      the command run as "<cmd> -USR1 <pid>" */
    NetInterface(const char* ps8IniPath, const char* ps8CheckKeyPath, const char* ps8KillCmd);

private:
    /* Reads and parses the settings file into the members below. */
    VOID LoadSettings();
    /* The settings as the request (or, outside one, a read of their own)
     * found them; null when the file could not be read, after the failure
     * was reported in the name of ps8Func. */
    const NETINI_S* Settings(const char* ps8Func);
    /* The file part of NetBasicParamAdapter. return 1 when the main
     * application is to be told, 0 for the get direction, -1 when nothing
     * could be read or stored */
    S32 StoreSettings(const VOID* pNetBasicSet, VOID* pMac, BOOL bDirection);

    const char* m_ps8IniPath;
    const char* m_ps8CheckKeyPath;
    const char* m_ps8KillCmd;
    BOOL m_bInRequest;
    std::string m_strIniBytes; /* the request's read of the file: its start fills it,
                                  its end clears it */
    NETINI_S m_stIni;          /* their one parse */
    S32 m_s32IniErr;           /* 0, or errno of the read that failed */
};

#endif /* DEVFINDER_SEARCH_INTF_H */
