// SPDX-License-Identifier: MIT
/* intf_tvwall.h: decoders and video outputs of a video wall. */
#ifndef INTERFACE_INTF_TVWALL_H
#define INTERFACE_INTF_TVWALL_H

#include "intf_default.h"

/* ITvWall: the device as a decoder behind a video wall. */
class ITvWall {
public:
    ITvWall() = default;
    virtual ~ITvWall();

    // clang-format off
    /* outputs */
    INTF_DEFAULT(S32, GetCurOutput,            (),                    -1)
    INTF_DEFAULT(S32, ChangeDeviceDisplayMode, (S32 /*s32Mode*/),     -1)
    INTF_DEFAULT(U32, GetOutPutDevType,        (S32 /*s32OutputNO*/), 0)

    /* decoders (handle from CreatDecoder) */
    INTF_DEFAULT(VOID*, CreatDecoder,         (S32 /*s32WindowNO*/, const VOID* /*pDecParam*/),             nullptr)
    INTF_DEFAULT(S32,   DestoryDecoder,       (VOID* /*pDecoder*/),                                         -1)
    INTF_DEFAULT(S32,   EnableDecoder,        (VOID* /*pDecoder*/),                                         -1)
    INTF_DEFAULT(S32,   DisableDecoder,       (VOID* /*pDecoder*/),                                         -1)
    INTF_DEFAULT(S32,   LoadTvWallParam,      (VOID* /*pParam*/),                                           -1)
    INTF_DEFAULT(S32,   SaveTvWallParam,      (const VOID* /*pParam*/),                                     -1)
    INTF_DEFAULT(S32,   GetWindowRect,        (S32 /*s32WindowNO*/, VOID* /*pRect*/),                       -1)
    INTF_DEFAULT(S32,   DecVideoFrame,        (VOID* /*pDecoder*/, const U8* /*pu8Frame*/, U32 /*u32Len*/), -1)
    INTF_DEFAULT(S32,   DecAudioFrame,        (VOID* /*pDecoder*/, const U8* /*pu8Frame*/, U32 /*u32Len*/), -1)
    INTF_DEFAULT(S32,   SetAudioOutputStatus, (BOOL /*bEnable*/),                                           -1)
    // clang-format on
};

#endif /* INTERFACE_INTF_TVWALL_H */
