// SPDX-License-Identifier: MIT
/* intf_gps.h: GPS track replay and search. */
#ifndef INTERFACE_INTF_GPS_H
#define INTERFACE_INTF_GPS_H

#include "intf_default.h"

/* Result of ReadGpsReplayPacket; ERROR is the one value fixed here, the
 * others are the main application's. */
typedef enum tag_READ_GPS_PACKET_RETURN_E {
    READ_GPS_PACKET_RETURN_ERROR = -1,
} READ_GPS_PACKET_RETURN_E;

/* IGps: recorded GPS tracks and the current position. */
class IGps {
public:
    IGps() = default;
    virtual ~IGps();

    // clang-format off
    /* replay */
    INTF_DEFAULT(S32,                      StartGpsReplay,      (const DateTime* /*pstStart*/, const DateTime* /*pstEnd*/), -1)
    INTF_DEFAULT(S32,                      EndGpsReplay,        (S32 /*s32Handle*/),                                        -1)
    INTF_DEFAULT(S32,                      ReStartGpsReplay,    (S32 /*s32Handle*/),                                        -1)
    INTF_DEFAULT(READ_GPS_PACKET_RETURN_E, ReadGpsReplayPacket, (S32 /*s32Handle*/, VOID* /*pPacket*/, U32 /*u32Size*/),    READ_GPS_PACKET_RETURN_ERROR)
    INTF_DEFAULT(S32,                      JumpNextGpsFile,     (S32 /*s32Handle*/),                                        -1)
    INTF_DEFAULT(S32,                      SwitchGpsInfoStruct, (const VOID* /*pSrc*/, VOID* /*pDst*/),                     -1)

    /* current position */
    INTF_DEFAULT(S32,  GetCurGpsInfo,         (VOID* /*pGpsInfo*/), -1)
    INTF_DEFAULT(S32,  GetGpsReportFrequence, (),                   -1)
    INTF_DEFAULT(BOOL, GetGpsEnable,          (),                   false)

    /* file search */
    INTF_DEFAULT(S32, StartSearchGpsFileByDay,   (const DateTime* /*pstDay*/),                               -1)
    INTF_DEFAULT(S32, EndSearchGpsFileByDay,     (S32 /*s32Handle*/),                                        -1)
    INTF_DEFAULT(S32, StartSearchGpsFileByMonth, (WORD /*u16Year*/, BYTE /*u8Month*/, U32* /*pu32DayMask*/), -1)
    INTF_DEFAULT(S32, StartSearchGpsFileByHour,  (const DateTime* /*pstHour*/),                              -1)
    INTF_DEFAULT(S32, EndSearchGpsFileByHour,    (S32 /*s32Handle*/),                                        -1)
    // clang-format on
};

#endif /* INTERFACE_INTF_GPS_H */
