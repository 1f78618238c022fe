// SPDX-License-Identifier: MIT
/* intf_alarmreport.h: alarm list readers, alarm information, snapshots,
 * card lists and status requests. */
#ifndef INTERFACE_INTF_ALARMREPORT_H
#define INTERFACE_INTF_ALARMREPORT_H

#include "intf_default.h"

/* IAlarmReport: what clients learn about alarms and snapshots. */
class IAlarmReport {
public:
    IAlarmReport() = default;
    virtual ~IAlarmReport();

    // clang-format off
    /* alarm lists */
    INTF_DEFAULT(S32, RequestAlarmListReaderID, (),                                          -1)
    INTF_DEFAULT(S32, ReleaseAlarmListReaderID, (S32 /*s32ReaderID*/),                       -1)
    INTF_DEFAULT(S32, GetAlarmInfo,             (S32 /*s32ReaderID*/, VOID* /*pAlarmInfo*/), -1)
    INTF_SILENT(S32,  WriteAiRules,             (S32 /*s32ChnNO*/, const VOID* /*pRules*/),  0)

    /* snapshots */
    INTF_DEFAULT(S32, Snap,           (S32 /*s32ChnNO*/, S32 /*s32Reason*/),                   -1)
    INTF_DEFAULT(S32, ReadSnapFile,   (S32 /*s32SnapID*/, U8* /*pu8Buf*/, U32 /*u32BufSize*/), -1)
    INTF_DEFAULT(S32, DestroySnap,    (S32 /*s32SnapID*/),                                     -1)
    INTF_DEFAULT(S32, SnapIntoBuffer, (S32 /*s32ChnNO*/, U8* /*pu8Buf*/, U32 /*u32BufSize*/),  -1)

    /* cards and status */
    INTF_DEFAULT(S32, UpdataICCardList,    (const VOID* /*pCardList*/, U32 /*u32CardNum*/), -1)
    INTF_SILENT(S32,  GetICCardListEnable, (),                                              0)
    INTF_DEFAULT(S32, RequestDevStatus,    (VOID* /*pStatus*/),                             -1)
    INTF_DEFAULT(S32, RequestHttpRemote,   (const S8* /*ps8Request*/, S8* /*ps8Reply*/, U32 /*u32ReplySize*/), -1)
    // clang-format on
};

#endif /* INTERFACE_INTF_ALARMREPORT_H */
