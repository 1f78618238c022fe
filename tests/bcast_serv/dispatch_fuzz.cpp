// SPDX-License-Identifier: MIT
/* libFuzzer target: arbitrary datagrams with arbitrary ancillary data through
 * the server's dispatch, over a fake facade whose answers the input chooses.
 *
 * Input: byte 0 chooses the facade's answers, bytes 1-2 the control length
 * (little-endian, at most the control buffer), then the control bytes, then the
 * datagram (cut to the receive buffer, as a receive would).
 * Replies are checked, never sent: a search reply is 464 bytes, a modification
 * reply 32 + 4 * ExtSize (at most 284), every byte of it readable. */
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "fake_device.h"

namespace {

ssize_t CheckedSend(int /*s32Fd*/, const struct msghdr* pstMsg, int /*s32Flags*/)
{
    if (pstMsg->msg_iovlen != 1) abort();
    const size_t uLen = pstMsg->msg_iov[0].iov_len;
    const bool bSearch = uLen == sizeof(BCAST_DEV_MSG_S);
    const bool bModify = uLen >= 32 && uLen <= 32 + 4 * 63 && (uLen - 32) % 4 == 0;
    if (!bSearch && !bModify) abort();
    /* Touch every byte so the sanitizer sees a reply that points past its buffer. */
    const volatile U8* pu8 = static_cast<const U8*>(pstMsg->msg_iov[0].iov_base);
    unsigned uSum = 0;
    for (size_t i = 0; i < uLen; ++i) uSum += pu8[i];
    (void)uSum;
    if (pstMsg->msg_controllen > BCAST_CTRL_BUF_SIZE) abort();
    return (ssize_t)uLen;
}

/* Time runs fast, so locks of the guessing bound start and end within a run
 * and both roads stay reachable. */
U64 FuzzNowMs()
{
    static U64 s_u64Now = 0;
    s_u64Now += 7000;
    return s_u64Now;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pu8Data, size_t uSize)
{
    static FakeDevice* s_pDev = new FakeDevice();
    static TestServer* s_pServer = new TestServer(s_pDev, socket(AF_INET, SOCK_DGRAM, 0));
    if (uSize < 3) return 0;

    FakeDevice& stDev = *s_pDev;
    const U8 u8Mode = pu8Data[0];
    stDev.vecEvents.clear();
    stDev.vecWritten.clear();
    stDev.vecMacWritten.clear();
    stDev.enCustom = (u8Mode & 0x01) ? CUS_Custom1 : CUS_Normal;
    stDev.s32CheckUserRet = (u8Mode & 0x02) ? ((u8Mode & 0x40) ? CHECK_USER_UNAVAILABLE : -1) : 1;
    stDev.s32ReadRet = (u8Mode & 0x04) ? -1 : 0;
    stDev.bFillOnRead = (u8Mode & 0x08) != 0;
    stDev.s32WriteRet = (u8Mode & 0x10) ? -1 : (S32)(u8Mode >> 5);
    stDev.s32DevInfoRet = (u8Mode & 0x80) ? -1 : 0;

    size_t uCtrlLen = (size_t)pu8Data[1] | (size_t)pu8Data[2] << 8;
    uSize -= 3;
    pu8Data += 3;
    if (uCtrlLen > uSize) uCtrlLen = uSize;
    if (uCtrlLen > BCAST_CTRL_BUF_SIZE) uCtrlLen = BCAST_CTRL_BUF_SIZE;

    BCAST_LOOP_S& stLoop = s_pServer->Loop();
    stLoop.pfnSend = CheckedSend;
    stLoop.pfnNowMs = FuzzNowMs;
    memset(stLoop.u8CtrlBuf, 0, sizeof(stLoop.u8CtrlBuf));
    memcpy(stLoop.u8CtrlBuf, pu8Data, uCtrlLen);
    stLoop.stMsg.msg_controllen = uCtrlLen;
    pu8Data += uCtrlLen;
    uSize -= uCtrlLen;

    const size_t uLen = uSize < sizeof(stLoop.u8RecvBuf) ? uSize : sizeof(stLoop.u8RecvBuf);
    memset(stLoop.u8RecvBuf, 0, sizeof(stLoop.u8RecvBuf));
    memcpy(stLoop.u8RecvBuf, pu8Data, uLen);
    stLoop.stPeerAddr.sin_family = AF_INET;
    stLoop.stPeerAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    stLoop.stPeerAddr.sin_port = htons(9);
    stLoop.stMsg.msg_namelen = sizeof(stLoop.stPeerAddr);
    s_pServer->HandleDatagram(&stLoop, (S32)uLen);
    return 0;
}
