// SPDX-License-Identifier: MIT
/* intf_dualtalk.h: two-way audio: decoding, storing and playing a client's voice. */
#ifndef INTERFACE_INTF_DUALTALK_H
#define INTERFACE_INTF_DUALTALK_H

#include "intf_default.h"

/* IDualTalk: one two-way audio session at a time. */
class IDualTalk {
public:
    IDualTalk() = default;
    virtual ~IDualTalk();

    // clang-format off
    /* decoder and frames */
    INTF_DEFAULT(S32, OpenDualTalkDec,  (S32 /*s32AudioType*/),                   -1)
    INTF_DEFAULT(S32, CloseDualTalkDec, (),                                       -1)
    INTF_DEFAULT(S32, EnableStorage,    (BOOL /*bEnable*/),                       -1)
    INTF_DEFAULT(S32, StoreFrame,       (const U8* /*pu8Frame*/, U32 /*u32Len*/), -1)
    INTF_DEFAULT(S32, ConsumeFrame,     (U8* /*pu8Buf*/, U32 /*u32BufSize*/),     -1)
    INTF_DEFAULT(S32, Play,             (),                                       -1)

    /* session */
    INTF_DEFAULT(S32, DisplayDualTalking,  (BOOL /*bShow*/), -1)
    INTF_DEFAULT(S32, RemoteCloseDualTalk, (),               -1)
    INTF_SILENT(S32,  CanDualtalkRelease,  (),               1)
    INTF_DEFAULT(S32, GetDualtalkChn,      (),               -1)
    // clang-format on
};

#endif /* INTERFACE_INTF_DUALTALK_H */
