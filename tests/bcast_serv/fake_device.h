// SPDX-License-Identifier: MIT
/* fake_device.h: a recording device facade and a steppable server for the
 * discovery server's unit tests and fuzz target.
 *
 *   FakeDevice stDev;                        // answers from its public fields
 *   TestServer stServer(&stDev);             // no thread, no socket yet
 *   stServer.OpenSocket("127.0.0.1", "0");   // ephemeral loopback port
 *   stServer.Step(1000);                     // receive and handle one datagram
 */
#ifndef TESTS_BCAST_SERV_FAKE_DEVICE_H
#define TESTS_BCAST_SERV_FAKE_DEVICE_H

#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "VXNetParameter.h"
#include "bcast_serv.h"
#include "bcast_loop.h"
#include "intf_base.h"
#include "intf_request.h"

/* Every facade call, and every reply the server sends, in order. */
struct FakeEvent {
    std::string strName; /* operation name, or "send" */
    long long s64Arg0;   /* send: flags; SaveFlash: option; adapter: direction */
    long long s64Arg1;   /* send: length; SaveFlash: message type */
    long long s64Arg2;   /* SaveFlash: subtype */
};

class FakeDevice : public DevInterface {
public:
    /* answers */
    CustomVal_E enCustom = CUS_Normal;
    BOOL bWriteMode = true;
    S32 s32Mode = 2;
    U8 au8Ip[4] = {192, 168, 1, 10};
    U8 au8Mask[4] = {255, 255, 255, 0};
    S32 s32NetStateRet = 0;
    BOOL bWriteDns = true;
    U8 au8Dns[2][4] = {{8, 8, 8, 8}, {1, 1, 1, 1}};
    S32 s32DnsRet = 0;
    std::string strHostName = "camera"; /* written when not empty */
    S32 s32HostRet = 0;
    DEVINFO_S stDevInfo;
    S32 s32DevInfoRet = 0;
    U16 u16MediaPort = 85;
    U16 u16WebPort = 8080;
    S32 s32CheckUserRet = 1;
    S32 s32ReadRet = 0;
    BOOL bFillOnRead = true; /* false: like the provider, the record is left as given */
    VXNet_NetworkBaseSet_t stCurrent;
    S32 s32WriteRet = 0;

    /* what was seen */
    std::vector<FakeEvent> vecEvents;
    std::string strUser, strPwd;
    std::vector<VXNet_NetworkBaseSet_t> vecWritten; /* records of address writes */
    std::vector<std::string> vecMacWritten;         /* texts of MAC writes */
    BOOL bReadRecordWasZero = false;

    FakeDevice()
    {
        memset(&stDevInfo, 0, sizeof(stDevInfo));
        stDevInfo.u64DevType = 0x5658040200080000ULL;
        SetText(stDevInfo.s8DeviceType, "IPC-TYPE");
        SetText(stDevInfo.s8DevSwVer, "V1.2.3");
        SetText(stDevInfo.s8DevName, "frontdoor");
        SetText(stDevInfo.s8MacAddr, "00-11-22-AA-BB-CC");
        SetText(stDevInfo.s8P2pId, "P2P0001");
        stDevInfo.u32DeviceID = 1010;
        stDevInfo.u8ChannelNum = 4;
        memset(&stCurrent, 0, sizeof(stCurrent));
        const U8 au8CurIp[4] = {192, 168, 1, 10}, au8CurMask[4] = {255, 255, 255, 0};
        const U8 au8CurGw[4] = {192, 168, 1, 1}, au8CurDns1[4] = {8, 8, 8, 8};
        const U8 au8CurDns2[4] = {1, 1, 1, 1};
        memcpy(stCurrent.IPAddr, au8CurIp, 4);
        memcpy(stCurrent.NetMask, au8CurMask, 4);
        memcpy(stCurrent.GateWay, au8CurGw, 4);
        memcpy(stCurrent.dns1, au8CurDns1, 4);
        memcpy(stCurrent.dns2, au8CurDns2, 4);
        stCurrent.Port = 85;
        stCurrent.WebPort = 8080;
        stCurrent.NetworkMode = 2;
    }

    template <size_t N>
    static void SetText(S8 (&s8Dst)[N], const std::string& str)
    {
        memset(s8Dst, 0, N);
        memcpy(s8Dst, str.data(), str.size() < N ? str.size() : N);
    }

    std::vector<std::string> Names() const
    {
        std::vector<std::string> vec;
        for (const FakeEvent& stEv : vecEvents) vec.push_back(stEv.strName);
        return vec;
    }

    void Record(const char* ps8Name, long long a = 0, long long b = 0, long long c = 0)
    {
        vecEvents.push_back(FakeEvent{ps8Name, a, b, c});
    }

    CustomVal_E GetProductCustomVal() override
    {
        Record("GetProductCustomVal");
        return enCustom;
    }
    S32 GetNetworkState(S32* ps32Mode, U8* pu8Ip, U8* pu8NetMask) override
    {
        Record("GetNetworkState", pu8NetMask != nullptr);
        if (s32NetStateRet != 0) return s32NetStateRet;
        if (bWriteMode) *ps32Mode = s32Mode;
        if (pu8Ip != nullptr) memcpy(pu8Ip, au8Ip, 4);
        if (pu8NetMask != nullptr) memcpy(pu8NetMask, au8Mask, 4);
        return 0;
    }
    S32 GetDnsAddrs(unsigned char (*pu8Dns)[4], S32 s32DnsNum) override
    {
        Record("GetDnsAddrs", s32DnsNum);
        if (bWriteDns) {
            for (S32 i = 0; i < s32DnsNum && i < 2; ++i) memcpy(pu8Dns[i], au8Dns[i], 4);
        }
        return s32DnsRet;
    }
    S32 GetHostname(S8* ps8Hostname) override
    {
        Record("GetHostname");
        /* the caller's buffer is 36 bytes */
        if (!strHostName.empty())
            memcpy(ps8Hostname, strHostName.data(),
                   strHostName.size() < 36 ? strHostName.size() : 36);
        return s32HostRet;
    }
    S32 GetDevInfo(DEVINFO_S* pDevInfo, S32 s32LocalUserID) override
    {
        Record("GetDevInfo", s32LocalUserID);
        if (s32DevInfoRet == 0) memcpy(pDevInfo, &stDevInfo, sizeof(stDevInfo));
        return s32DevInfoRet;
    }
    U16 GetMediaPort() override
    {
        Record("GetMediaPort");
        return u16MediaPort;
    }
    U16 GetWebPort() override
    {
        Record("GetWebPort");
        return u16WebPort;
    }
    S32 CheckUser(S8* pUserName, S8* pPassword, CHECK_USER_TYPE_E enType) override
    {
        Record("CheckUser", enType);
        strUser = pUserName;
        strPwd = pPassword;
        return s32CheckUserRet;
    }
    VOID UpdateSysParam() override { Record("UpdateSysParam"); }
    S32 NetBasicParamAdapter(VOID* pNetBasicSet, VOID* pSole, S32 s32ChnNO, BOOL bDirection,
                             U32 u32Parsesize) override
    {
        Record(bDirection ? "ReadSettings" : "WriteSettings", s32ChnNO, u32Parsesize,
               (pNetBasicSet != nullptr ? 1 : 0) | (pSole != nullptr ? 2 : 0));
        if (bDirection) {
            static const VXNet_NetworkBaseSet_t stZero = {};
            bReadRecordWasZero = memcmp(pNetBasicSet, &stZero, sizeof(stZero)) == 0;
            if (s32ReadRet == 0 && bFillOnRead) memcpy(pNetBasicSet, &stCurrent, sizeof(stCurrent));
            return s32ReadRet;
        }
        if (pNetBasicSet != nullptr) {
            VXNet_NetworkBaseSet_t stSet;
            memcpy(&stSet, pNetBasicSet, sizeof(stSet));
            vecWritten.push_back(stSet);
        } else if (pSole != nullptr) {
            vecMacWritten.push_back(std::string(static_cast<const char*>(pSole),
                                                strnlen(static_cast<const char*>(pSole), 36)));
        }
        return s32WriteRet;
    }
    S32 SaveFlash(SAVE_FLASH_OPT_E enOpt, WORD u16MsgType, WORD u16MsgSubType) override
    {
        Record("SaveFlash", enOpt, u16MsgType, u16MsgSubType);
        return 0;
    }
    S32 RestartMachine() override
    {
        Record("RestartMachine");
        return 0;
    }
    VOID ResetNetServer() override { Record("ResetNetServer"); }
};

/* A recording device with a request scope, which it records too. */
class ScopedFakeDevice : public FakeDevice, public IRequestScope {
public:
    VOID RequestBegin() override { Record("RequestBegin"); }
    VOID RequestEnd() override { Record("RequestEnd"); }
};

/* The scope a server is given beside each kind of device. */
inline IRequestScope* ScopeOf(FakeDevice* /*pDev*/)
{
    return nullptr;
}
inline IRequestScope* ScopeOf(ScopedFakeDevice* pDev)
{
    return pDev;
}

/* Replies are recorded in the facade's event list, then sent for real (unless
 * g_bFakeSendOnly). */
inline FakeDevice*& FakeSendSink()
{
    static FakeDevice* s_pDev = nullptr;
    return s_pDev;
}
inline bool& FakeSendOnly()
{
    static bool s_bOnly = false;
    return s_bOnly;
}

inline ssize_t RecordingSend(int s32Fd, const struct msghdr* pstMsg, int s32Flags)
{
    size_t uLen = 0;
    for (size_t i = 0; i < (size_t)pstMsg->msg_iovlen; ++i) uLen += pstMsg->msg_iov[i].iov_len;
    if (FakeSendSink() != nullptr) FakeSendSink()->Record("send", s32Flags, (long long)uLen);
    if (FakeSendOnly()) return (ssize_t)uLen;
    return sendmsg(s32Fd, pstMsg, s32Flags);
}

/* A server the test steps by hand; it owns the socket it is given. */
class TestServer : public BcastServer {
public:
    explicit TestServer(FakeDevice* pDev, S32 s32Fd = -1, IRequestScope* pScope = nullptr)
        : BcastServer(pDev, pScope, s32Fd)
    {
        BcastLoopInit(&m_stLoop);
        m_stLoop.pfnSend = RecordingSend;
        FakeSendSink() = pDev;
    }
    ~TestServer() { FakeSendSink() = nullptr; }

    using BcastServer::HandleDatagram;
    using BcastServer::OpenSocket;
    using BcastServer::ReceiveOne;

    S32 Fd() const { return SockFd(); }
    BCAST_LOOP_S& Loop() { return m_stLoop; }

    /* Wait up to s32TimeoutMs for a datagram, then receive and handle it.
     * return the received length, or -100 when nothing arrived */
    S32 Step(int s32TimeoutMs = 2000)
    {
        struct pollfd stPfd = {SockFd(), POLLIN, 0};
        if (poll(&stPfd, 1, s32TimeoutMs) <= 0) return -100;
        const S32 s32Len = ReceiveOne(&m_stLoop);
        HandleDatagram(&m_stLoop, s32Len);
        return s32Len;
    }

private:
    BCAST_LOOP_S m_stLoop;
};

#endif /* TESTS_BCAST_SERV_FAKE_DEVICE_H */
