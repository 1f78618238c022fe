// SPDX-License-Identifier: MIT
/* bcast_loop.cpp: the state the receive loop starts with (bcast_loop.h). */
#include "bcast_loop.h"

#include <string.h>

#include "comm_io.h"

VOID BcastLoopInit(BCAST_LOOP_S* pstLoop)
{
    COMM_ASSERT(pstLoop != nullptr);
    memset(pstLoop, 0, sizeof(*pstLoop));
    pstLoop->stMsg.msg_name = &pstLoop->stPeerAddr;
    pstLoop->stMsg.msg_namelen = sizeof(pstLoop->stPeerAddr);
    pstLoop->stMsg.msg_iov = &pstLoop->stIov;
    pstLoop->stMsg.msg_iovlen = 1;
    pstLoop->stMsg.msg_control = pstLoop->u8CtrlBuf;
    pstLoop->stMsg.msg_controllen = sizeof(pstLoop->u8CtrlBuf);
    pstLoop->u32IfIndex = 0;
    pstLoop->bRestart = false;
    pstLoop->bReset = false;
    pstLoop->s32SockFd = -1;
    pstLoop->pLive = nullptr;
    pstLoop->pfnSend = sendmsg;
    pstLoop->pfnNowMs = CommNowMs;
}
