// SPDX-License-Identifier: MIT
/* intf_playback.h: recordings on disk: file lists, calendars, a seek/read
 * file reader, record search, the device log and the disk state. */
#ifndef INTERFACE_INTF_PLAYBACK_H
#define INTERFACE_INTF_PLAYBACK_H

#include "intf_default.h"

/* One entry of a recording file list; its layout belongs to the main application. */
struct REC_FILE_INFO_S;

/* IPlayback: what the disks hold and a reader over it. */
class IPlayback {
public:
    IPlayback() = default;
    virtual ~IPlayback();

    // clang-format off
    /* disks and file lists */
    INTF_DEFAULT(BOOL, ValidateHdd,        (S32 /*s32HddNO*/),                              true)
    INTF_DEFAULT(S32,  GetRecFileNum,      (S32 /*s32ChnNO*/, const VOID* /*pSearchCond*/), -1)
    INTF_DEFAULT(S32,  GetRecFileList,     (const VOID* /*pSearchCond*/, REC_FILE_INFO_S* /*pstList*/, S32 /*s32MaxNum*/), -1)
    INTF_DEFAULT(S32,  GetRecFileCalendar, (S32 /*s32ChnNO*/, WORD /*u16Year*/, BYTE /*u8Month*/, U32* /*pu32DayMask*/), -1)

    /* file reader (handle from DevFsOpen or DevFsFindStart) */
    INTF_DEFAULT(S32,  DevFsOpen,             (S32 /*s32ChnNO*/, U32 /*u32RecType*/),                  -1)
    INTF_DEFAULT(S32,  DevFsClose,            (S32 /*s32Handle*/),                                     -1)
    INTF_DEFAULT(S32,  DevFsSeek,             (S32 /*s32Handle*/, const DateTime* /*pstStart*/, const DateTime* /*pstEnd*/), -1)
    INTF_DEFAULT(LONG, DevFsReadData,         (S32 /*s32Handle*/, U8* /*pu8Buf*/, U32 /*u32BufSize*/), -1)
    INTF_DEFAULT(S32,  DevFsGetNextFile,      (S32 /*s32Handle*/),                                     -1)
    INTF_DEFAULT(S32,  DevFsFindStart,        (S32 /*s32ChnNO*/, const VOID* /*pSearchCond*/),         -1)
    INTF_DEFAULT(S32,  DevFsSeek,             (S32 /*s32Handle*/, const DateTime* /*pstTime*/),        -1)
    INTF_DEFAULT(S32,  DevFsFindEnd,          (S32 /*s32Handle*/),                                     -1)
    INTF_DEFAULT(S32,  GetRecFileDayHalfHour, (S32 /*s32ChnNO*/, const DateTime* /*pstDay*/, U8* /*pu8HalfHours*/), -1)

    /* record search, log, state */
    INTF_DEFAULT(S32,  StartSearchRecord,        (const VOID* /*pSearchCond*/),          -1)
    INTF_DEFAULT(S32,  GetOneSearchRecordResult, (S32 /*s32Handle*/, VOID* /*pResult*/), -1)
    INTF_DEFAULT(S32,  EndSearchRecord,          (S32 /*s32Handle*/),                    -1)
    INTF_DEFAULT(S32,  GetLog,                   (const VOID* /*pLogCond*/, VOID* /*pLogBuf*/, U32 /*u32BufSize*/), -1)
    INTF_DEFAULT(S32,  GetDevicePlaybackState,   (),                                     -1)
    INTF_DEFAULT(BOOL, IsFormatHdd,              (),                                     false)
    INTF_DEFAULT(S32,  GetDiskGroupState,        (S32 /*s32GroupNO*/, VOID* /*pState*/), -1)
    // clang-format on
};

#endif /* INTERFACE_INTF_PLAYBACK_H */
