// SPDX-License-Identifier: MIT
/* bcast_modify.cpp: the network-modification branch of the discovery server:
 * which requests are for this camera and may be checked, the checks a request
 * passes before anything is written, and the answer before the save and the
 * restarts (bcast_modify.h). */
#include "bcast_modify.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>

#include "VXNetParameter.h"
#include "bcast_loop.h"
#include "intf_base.h"
#include "intf_mactext.h"

static_assert(sizeof(NetMDevInfoRsp) + sizeof(MsgHead) + 63 * BCAST_EXT_WORD_SIZE <=
                  BCAST_MODIFY_BUF_SIZE,
              "the largest modification reply fits its buffer");

namespace {

/* Terminated copy of a field that may fill its width. */
template <size_t N, size_t M>
void GetText(S8 (&s8Dst)[M], const S8 (&s8Src)[N])
{
    static_assert(M > N, "room for the terminator");
    const size_t uLen = strnlen(s8Src, N);
    memcpy(s8Dst, s8Src, uLen);
    memset(s8Dst + uLen, 0, M - uLen);
}

/* AckFlag of the modification reply header at the start of pu8Rsp. */
void SetModifyAck(U8* pu8Rsp, WORD u16Ack)
{
    MsgHead stHead;
    memcpy(&stHead, pu8Rsp, sizeof(stHead));
    stHead.AckFlag = VXNetLe16(u16Ack);
    memcpy(pu8Rsp, &stHead, sizeof(stHead));
}

/* The body of a modification reply follows the header and ExtSize zero words. */
size_t ModifyBodyOffset(const MsgHead& stHead)
{
    return sizeof(MsgHead) + BCAST_EXT_WORD_SIZE * stHead.ExtSize;
}

U32 AddrToHost(const U8* pu8Addr)
{
    return ((U32)pu8Addr[0] << 24) | ((U32)pu8Addr[1] << 16) | ((U32)pu8Addr[2] << 8) |
           (U32)pu8Addr[3];
}

/* An authenticated request: read the current settings, answer, apply, save. */
VOID ApplyModify(DevInterface* pIntf, BCAST_LOOP_S* pstLoop, const NewNetMDevInfoReq& stReq)
{
    const NetMDevInfoReq& stBase = stReq.DevInfoReq;
    pIntf->UpdateSysParam();
    /* Read afresh: the outcome never depends on an earlier request. */
    VXNet_NetworkBaseSet_t bset;
    memset(&bset, 0, sizeof(bset));
    if (pIntf->NetBasicParamAdapter(&bset, nullptr, 0, true, sizeof(bset)) != 0) return;
    SAVE_FLASH_OPT_E enSaveOpt = SAVE_OPT_STOP_NONE;

    const U32 u32MPort = VXNetLe16(stBase.mport);
    const U32 u32WPort = VXNetLe16(stBase.wport);
    if (memcmp(bset.IPAddr, stBase.ip, sizeof(stBase.ip)) == 0 &&
        memcmp(bset.NetMask, stBase.mask, sizeof(stBase.mask)) == 0 &&
        memcmp(bset.GateWay, stBase.gw, sizeof(stBase.gw)) == 0 &&
        memcmp(bset.dns1, stBase.dns1, sizeof(stBase.dns1)) == 0 &&
        memcmp(bset.dns2, stBase.dns2, sizeof(stBase.dns2)) == 0 && bset.Port == u32MPort &&
        bset.WebPort == u32WPort) {
        SetModifyAck(pstLoop->u8ModifyBuf, BCAST_MODIFY_ACK_OK);
        (void)pstLoop->pfnSend(pstLoop->s32SockFd, &pstLoop->stMsg, 0);
        return;
    }

    memcpy(bset.IPAddr, stBase.ip, sizeof(stBase.ip));
    memcpy(bset.NetMask, stBase.mask, sizeof(stBase.mask));
    memcpy(bset.GateWay, stBase.gw, sizeof(stBase.gw));
    memcpy(bset.dns1, stBase.dns1, sizeof(stBase.dns1));
    memcpy(bset.dns2, stBase.dns2, sizeof(stBase.dns2));
    bset.Port = u32MPort;
    bset.WebPort = u32WPort;
    bset.NetworkMode = stBase.wNewFlag != 0 ? stBase.wMode : 2;
    CommTraceLine("AcceptProcess", __LINE__, "set netmode:%d\n", bset.NetworkMode);

    /* Refuse what would leave the device unreachable, before anything is
     * written. A MAC set applies only the MAC; DHCP ignores the addresses. */
    S8 s8Mac[sizeof(stReq.macAddr) + 4] = {};
    memcpy(s8Mac, stReq.macAddr, sizeof(stReq.macAddr));
    const BOOL bSetMac = stBase.ZizodSetMac == 1;
    const char* ps8Refusal = nullptr;
    if (bSetMac) {
        ps8Refusal = BcastCheckMacText(stReq.macAddr, sizeof(stReq.macAddr));
    } else if (bset.NetworkMode != 0) {
        ps8Refusal = BcastCheckStaticAddr(bset.IPAddr, bset.NetMask, bset.GateWay);
    }
    if (ps8Refusal != nullptr) {
        BCAST_LOOP_MODIFY_LOG("refused network settings: %s\n", ps8Refusal);
        return;
    }

    const S32 s32Ret = bSetMac
                           ? pIntf->NetBasicParamAdapter(nullptr, s8Mac, 0, false, sizeof(bset))
                           : pIntf->NetBasicParamAdapter(&bset, nullptr, 0, false, sizeof(bset));
    /* Only a stored change is acknowledged. A negative result is a failure to
     * store, not a set of follow-up bits: nothing is answered, saved or
     * restarted (every bit set would reboot the camera after a failed write). */
    if (s32Ret < 0) {
        BCAST_LOOP_MODIFY_LOG("settings not stored (NetBasicParamAdapter returned %d), no reply\n",
                              (int)s32Ret);
        return;
    }
    const U32 u32Bits = (U32)s32Ret;
    const BOOL bStopEnc = (u32Bits & (1u << OPT_BIT_STOP_ENC)) != 0;
    const BOOL bStopRec = (u32Bits & (1u << OPT_BIT_STOP_REC)) != 0;
    if (bStopEnc && bStopRec) {
        enSaveOpt = SAVE_OPT_STOP_ERC;
    } else if (bStopEnc) {
        enSaveOpt = SAVE_OPT_STOP_ENC;
    } else if (bStopRec) {
        enSaveOpt = SAVE_OPT_STOP_REC;
    }

    /* The requester hears first: a reboot may follow. */
    SetModifyAck(pstLoop->u8ModifyBuf, BCAST_MODIFY_ACK_OK);
    BCAST_LOOP_MODIFY_LOG("Broad modify NVR network info return first\n");
    if (pstLoop->pfnSend(pstLoop->s32SockFd, &pstLoop->stMsg, MSG_DONTROUTE) <= 0) {
        const int s32Err = errno;
        BCAST_LOOP_MODIFY_LOG("sendmsg failed (%s)!\n", strerror(s32Err));
    }
    (void)pIntf->SaveFlash(enSaveOpt, BCAST_SAVE_MSG_TYPE, BCAST_SAVE_MSG_SUBTYPE);
    if ((u32Bits & (1u << OPT_BIT_REBOOT)) != 0) pstLoop->bRestart = true;
    if ((u32Bits & (1u << OPT_BIT_RESTART_MEDIASERV)) != 0) pstLoop->bReset = true;
}

}  // namespace

VOID BcastModify(DevInterface* pIntf, BCAST_LOOP_S* pstLoop, const MsgHead& stHead)
{
    COMM_ASSERT(pIntf != nullptr && pstLoop != nullptr);
    BCAST_LOOP_LOG("MSG_TYPE_MDEVINFO\n");

    /* The body sits at 16 whatever ExtSize says; the receive buffer was cleared,
     * so what a short datagram did not carry reads as zero. */
    NewNetMDevInfoReq stReq;
    memcpy(&stReq, pstLoop->u8RecvBuf + sizeof(MsgHead), sizeof(stReq));
    const NetMDevInfoReq& stBase = stReq.DevInfoReq;

    S32 s32Mode = 0;
    U8 u8LocalIp[16] = {};
    DEVINFO_S stDevInfo;
    memset(&stDevInfo, 0, sizeof(stDevInfo));
    BOOL bOldVerConFlag = false;
    BOOL bNewVerConFlag = false;
    const U64 u64ReqType = VXNetLe64(stReq.devTypeULL);

    /* Texts from the datagram reach the log escaped: none may add a line. */
    S8 s8MacLog[CommLogEscapedSize(sizeof(stReq.macAddr))];
    CommLogEscape(s8MacLog, sizeof(s8MacLog), stReq.macAddr, sizeof(stReq.macAddr));

    BCAST_LOOP_LOG("============= Check Ip and MacAddr:============\n");
    BCAST_LOOP_LOG("cip:%d:%d:%d:%d \n", stBase.cip[0], stBase.cip[1], stBase.cip[2],
                   stBase.cip[3]);
    BCAST_LOOP_LOG(" MacAddr:%s\n", s8MacLog);
    BCAST_LOOP_LOG("============= Type:%llx============\n", (unsigned long long)u64ReqType);

    /* A MAC set skips the identity match, so only the camera it was sent to
     * may take it: sent to a broadcast or multicast address it would give
     * every camera that shares the password the same MAC, and its wrong
     * passwords would count against every camera's guessing bound. Without
     * packet information the destination is unknown, which is refused too. */
    if (stBase.ZizodSetMac == 1) {
        BOOL bKnown = false;
        BOOL bOwn = false;
        S8 s8Dst[INET_ADDRSTRLEN] = "unknown";
        if (pstLoop->u32PktInfoCount > 0) {
            const struct in_pktinfo& stInfo = pstLoop->astPktInfo[pstLoop->u32PktInfoCount - 1];
            bKnown = true;
            bOwn = BcastIsOwnAddress(stInfo.ipi_addr, stInfo.ipi_spec_dst);
            (void)inet_ntop(AF_INET, &stInfo.ipi_addr, s8Dst, sizeof(s8Dst));
        }
        if (!bKnown || !bOwn) {
            BCAST_LOOP_MODIFY_LOG(
                "MAC set sent to %s, not to this camera's own address: not answered\n", s8Dst);
            return;
        }
    }

    /* The extended form names the device by address, MAC text and type; the
     * first form by address alone. */
    if (VXNetLe32(stHead.MsgSize) > sizeof(NetMDevInfoReq)) {
        if (pIntf->GetNetworkState(&s32Mode, u8LocalIp, nullptr) == 0 &&
            memcmp(stBase.cip, u8LocalIp, sizeof(stBase.cip)) == 0 &&
            pIntf->GetDevInfo(&stDevInfo, BCAST_LOCAL_USER_ID) == 0 &&
            strncmp(stReq.macAddr, stDevInfo.s8MacAddr, sizeof(stReq.macAddr)) == 0 &&
            u64ReqType == stDevInfo.u64DevType) {
            bNewVerConFlag = true;
        }
        BCAST_LOOP_LOG("localip:%d:%d:%d:%d \n", u8LocalIp[0], u8LocalIp[1], u8LocalIp[2],
                       u8LocalIp[3]);
    } else {
        if (pIntf->GetNetworkState(&s32Mode, u8LocalIp, nullptr) == 0 &&
            memcmp(stBase.cip, u8LocalIp, sizeof(stBase.cip)) == 0) {
            bOldVerConFlag = true;
        }
    }
    if (stBase.ZizodSetMac == 1) bNewVerConFlag = true;

    if (!bOldVerConFlag && !bNewVerConFlag) {
        BCAST_LOOP_LOG(" Ip ,MacAddr and DevType are not all the same \n");
        BCAST_LOOP_LOG("cip:%d:%d:%d:%d, u8ip:%d:%d:%d:%d \n", stBase.cip[0], stBase.cip[1],
                       stBase.cip[2], stBase.cip[3], u8LocalIp[0], u8LocalIp[1], u8LocalIp[2],
                       u8LocalIp[3]);
        S8 s8DevMacLog[CommLogEscapedSize(sizeof(stDevInfo.s8MacAddr))];
        CommLogEscape(s8DevMacLog, sizeof(s8DevMacLog), stDevInfo.s8MacAddr,
                      sizeof(stDevInfo.s8MacAddr));
        BCAST_LOOP_LOG("cMacaddr: %s , s8Mac: %s \n", s8MacLog, s8DevMacLog);
        BCAST_LOOP_LOG("cDevType: %lld , u64DevType: %lld \n", (long long)u64ReqType,
                       (long long)stDevInfo.u64DevType);
        return;
    }

    /* The facade gets terminated copies; the fields may fill their width. */
    BCAST_LOOP_LOG("bOldVerConFlag =  %d  bNewVerConFlag = %d\n", bOldVerConFlag ? 1 : 0,
                   bNewVerConFlag ? 1 : 0);
    /* Guessing is bounded: while locked, or for a repeat of a refused request,
     * the user table is not even looked at. Refusals are unanswered. */
    const U64 u64Now = pstLoop->pfnNowMs();
    BcastNoteLockEnd(pstLoop, u64Now);
    const BCAST_GUARD_E enGuard = BcastGuardAdmit(&pstLoop->stGuard, stBase, u64Now);
    if (enGuard == BCAST_GUARD_LOCKED) {
        const U64 u64LeftS = (BcastGuardLockLeftMs(&pstLoop->stGuard, u64Now) + 999) / 1000;
        BCAST_LOOP_MODIFY_LOG("CheckUser skipped: modifications locked for %u more s\n",
                              (unsigned)u64LeftS);
        return;
    }
    if (enGuard == BCAST_GUARD_REPEAT) {
        BCAST_LOOP_MODIFY_LOG("CheckUser skipped: repeat of a refused request\n");
        return;
    }
    S8 s8User[sizeof(stBase.user) + 1];
    S8 s8Pwd[sizeof(stBase.pwd) + 1];
    GetText(s8User, stBase.user);
    GetText(s8Pwd, stBase.pwd);
    S8 s8UserLog[CommLogEscapedSize(sizeof(stBase.user))];
    CommLogEscape(s8UserLog, sizeof(s8UserLog), stBase.user, sizeof(stBase.user));
    S32 s32Ret = pIntf->CheckUser(s8User, s8Pwd, CHECK_USER_TYPE_IE);
    /* Passwords never reach the log. */
    if (s32Ret == CHECK_USER_UNAVAILABLE) {
        /* No password was compared (the main application is down, say): not a
         * guess, so the guard does not count it, and nothing is answered. */
        BCAST_LOOP_MODIFY_LOG(
            "user table unavailable (%s:%s): no reply, not counted as a failed check\n", s8UserLog,
            "***");
        return;
    }
    if (s32Ret < 0) {
        BCAST_LOOP_MODIFY_LOG("CheckUser Failed!(%s:%s)", s8UserLog, "***");
        if (BcastGuardFailed(&pstLoop->stGuard, stBase, u64Now)) {
            BCAST_LOOP_MODIFY_LOG("modifications locked for %u s after %u failed user checks\n",
                                  (unsigned)(BCAST_GUARD_LOCK_MS / 1000),
                                  (unsigned)BCAST_GUARD_FAILS);
        }
    } else {
        BCAST_LOOP_MODIFY_LOG("authencate succefully!(%s:%s)\n", s8UserLog, "***");
    }

    /* Reply: the request's header, ExtSize zero words, the request's msgid.
     * Its AckFlag is set where it is sent; a refused request is not answered. */
    U8* pu8Rsp = pstLoop->u8ModifyBuf;
    const size_t uBodyOff = ModifyBodyOffset(stHead);
    const size_t uRspLen = uBodyOff + sizeof(NetMDevInfoRsp);
    MsgHead stRspHead = stHead;
    stRspHead.MsgSize = VXNetLe32(sizeof(NetMDevInfoRsp));
    memcpy(pu8Rsp, &stRspHead, sizeof(stRspHead));
    memset(pu8Rsp + sizeof(MsgHead), 0, uBodyOff - sizeof(MsgHead));
    NetMDevInfoRsp stRspBody;
    memcpy(stRspBody.msgid, stBase.msgid, sizeof(stRspBody.msgid));
    memcpy(pu8Rsp + uBodyOff, &stRspBody, sizeof(stRspBody));
    S8 s8MsgIdLog[CommLogEscapedSize(sizeof(stBase.msgid))];
    CommLogEscape(s8MsgIdLog, sizeof(s8MsgIdLog), stBase.msgid, sizeof(stBase.msgid));
    BCAST_LOOP_LOG("MSG_ID:%s\n", s8MsgIdLog);
    pstLoop->stIov.iov_base = pu8Rsp;
    pstLoop->stIov.iov_len = uRspLen;

    if (s32Ret > 0) ApplyModify(pIntf, pstLoop, stReq);

    if (pstLoop->bRestart) {
        BCAST_LOOP_MODIFY_LOG("restarting machine .....................\n");
        (void)pIntf->RestartMachine();
        pstLoop->bRestart = false;
    }
    if (pstLoop->bReset) {
        BCAST_LOOP_MODIFY_LOG("ResetNetServer .....................\n");
        pIntf->ResetNetServer();
        pstLoop->bReset = false;
    }
}

VOID BcastNoteLockEnd(BCAST_LOOP_S* pstLoop, U64 u64NowMs)
{
    if (BcastGuardLockEnded(&pstLoop->stGuard, u64NowMs)) {
        BCAST_LOOP_MODIFY_LOG("modifications unlocked\n");
    }
}

const char* BcastCheckStaticAddr(const U8* pu8Ip, const U8* pu8Mask, const U8* pu8Gw)
{
    const U32 u32Ip = AddrToHost(pu8Ip);
    const U32 u32Mask = AddrToHost(pu8Mask);
    const U32 u32Gw = AddrToHost(pu8Gw);
    if (u32Ip == 0) return "address 0.0.0.0";
    if (u32Ip == 0xFFFFFFFFu) return "address 255.255.255.255";
    if ((u32Ip >> 24) == 127) return "loopback address";
    if ((u32Ip >> 24) >= 224) return "multicast or reserved address";
    if (u32Mask == 0) return "netmask 0.0.0.0";
    /* Contiguous: the inverted mask plus one is a power of two. */
    const U32 u32Host = ~u32Mask;
    if ((u32Host & (u32Host + 1)) != 0) return "netmask not contiguous";
    /* /31 and /32 leave no host besides the network and broadcast addresses. */
    if (u32Host < 3) return "netmask /31 or /32 leaves no host addresses";
    const U32 u32Net = u32Ip & u32Mask;
    const U32 u32Bcast = u32Net | u32Host;
    if (u32Ip == u32Net) return "address is its subnet's network address";
    if (u32Ip == u32Bcast) return "address is its subnet's broadcast address";
    if (u32Gw == 0) return nullptr; /* no gateway: the subnet alone */
    if ((u32Gw & u32Mask) != u32Net) return "gateway outside the new subnet";
    if (u32Gw == u32Ip) return "gateway equals the address";
    if (u32Gw == u32Net) return "gateway is the subnet's network address";
    if (u32Gw == u32Bcast) return "gateway is the subnet's broadcast address";
    return nullptr;
}

BOOL BcastIsOwnAddress(const struct in_addr& stDst, const struct in_addr& stLocal)
{
    const U32 u32Dst = ntohl(stDst.s_addr);
    /* Said outright for the addresses that are never a host's own, whatever
     * a kernel reports beside them. */
    if (u32Dst == 0 || u32Dst == 0xFFFFFFFFu || (u32Dst >> 28) == 0xE) return false;
    return stDst.s_addr == stLocal.s_addr;
}

const char* BcastCheckMacText(const S8* ps8Mac, size_t uFieldLen)
{
    /* The provider's own conversion, run on a copy of the field. */
    S8 s8Text[64] = {};
    const size_t uLen =
        strnlen(ps8Mac, uFieldLen < sizeof(s8Text) - 1 ? uFieldLen : sizeof(s8Text) - 1);
    memcpy(s8Text, ps8Mac, uLen);
    constexpr size_t MAC_TEXT_LEN = 17; /* "hh:hh:hh:hh:hh:hh" */
    if (NetMacDashesToColons(s8Text, uLen) != MAC_TEXT_LEN) return "MAC text is not six hex pairs";
    U8 u8Mac[6] = {};
    for (size_t i = 0; i < sizeof(u8Mac); ++i) {
        const S8* ps8Pair = s8Text + 3 * i;
        const S32 s32High = NetMacHexValue(ps8Pair[0]);
        const S32 s32Low = NetMacHexValue(ps8Pair[1]);
        if (s32High < 0 || s32Low < 0) return "MAC text is not six hex pairs";
        if (i + 1 < sizeof(u8Mac) && ps8Pair[2] != ':') return "MAC text is not six hex pairs";
        u8Mac[i] = (U8)(s32High << 4 | s32Low);
    }
    static const U8 u8Zero[6] = {};
    if (memcmp(u8Mac, u8Zero, sizeof(u8Mac)) == 0) return "MAC address all zero";
    if ((u8Mac[0] & 0x01) != 0) return "MAC address is a group address";
    return nullptr;
}
