// SPDX-License-Identifier: MIT
/* intf_platform.h: connection data and parameter adapters of a central
 * management platform. */
#ifndef INTERFACE_INTF_PLATFORM_H
#define INTERFACE_INTF_PLATFORM_H

#include "intf_default.h"

/* The VxPlatParam_ adapters: the settings record, a single-item record, the
 * channel and the direction (as the main application numbers it). */
#define INTF_PLAT_ADAPTER_ARGS \
    (VOID* /*pParam*/, VOID* /*pItem*/, S32 /*s32ChnNO*/, S32 /*s32Direction*/)

/* IPlatform: the device as a unit of a management platform. */
class IPlatform {
public:
    IPlatform() = default;
    virtual ~IPlatform();

    // clang-format off
    /* connection data */
    INTF_DEFAULT(U8,   GetPlatformEnable,       (),                      0)
    INTF_DEFAULT(S32,  GetPlatformMduConType,   (),                      -1)
    INTF_SILENT(S32,   GetPlatformService,      (),                      -1)
    INTF_DEFAULT(S8*,  GetPlatformHost,         (),                      nullptr)
    INTF_DEFAULT(U16,  GetPlatformPort,         (),                      0)
    INTF_DEFAULT(S8*,  GetPlatformPuId,         (),                      nullptr)
    INTF_DEFAULT(S8*,  GetPlatformPuName,       (),                      nullptr)
    INTF_DEFAULT(S8*,  GetPlatformPuPassword,   (),                      nullptr)
    INTF_DEFAULT(BOOL, GetPlatformResetFlag,    (),                      false)
    INTF_DEFAULT(BOOL, GetPlatformModifyFlag,   (),                      false)
    INTF_DEFAULT(S32,  ClearPlatformModifyFlag, (),                      -1)
    INTF_DEFAULT(S32,  GetPlatformIp,           (U8* /*pu8Ip*/),         -1)
    INTF_DEFAULT(U32,  GetIpByHost,             (const S8* /*ps8Host*/), 0)
    INTF_DEFAULT(S32,  GetPlatformPuIP,         (U8* /*pu8Ip*/),         -1)
    INTF_DEFAULT(U16,  GetPlatformPuPort,       (),                      0)

    /* parameter adapters */
    INTF_DEFAULT(S32, VxPlatParam_SystemBaseInfoAdapter,      INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_OSDParameterAdapter,        INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_HddParameterAdapter,        INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_ColorParameterAdapter,      INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_VideoCoverParameterAdapter, INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_PTZParameterAdapter,        INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_NetworkParameterAdapter,    INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_SubStreamParameterAdapter,  INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_EmailParameterAdapter,      INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_MobileParameterAdapter,     INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_MotionParameterAdapter,     INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_AbnormalParameterAdapter,   INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_IOAlarmParameterAdapter,    INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_MainStreamParameterAdapter, INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_RecordParameterAdapter,     INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_ScheduleParameterAdapter,   INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_MaintainParameterAdapter,   INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_DefaultParameterAdapter,    INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_PlatformParameterAdapter,   INTF_PLAT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, VxPlatParam_CarFuntionParameterAdapter, INTF_PLAT_ADAPTER_ARGS, -1)

    /* service, upgrade tag, messages */
    INTF_DEFAULT(S32, PlatSaveFlash,                      (),                                                         -1)
    INTF_DEFAULT(S32, UpdatePlatParam,                    (),                                                         -1)
    INTF_DEFAULT(S32, PlatServRestart,                    (),                                                         -1)
    /* The S8 results are -1 converted to the 8-bit result: the byte 0xFF. */
    INTF_DEFAULT(S8,  CheckPlatformUpgradeTag,            (),                                                         (S8)-1)
    INTF_DEFAULT(S8,  ClearPlatformUpgradeTag,            (),                                                         (S8)-1)
    INTF_DEFAULT(S8,  PlatformMessage,                    (S32 /*s32MsgType*/, const VOID* /*pMsg*/, U32 /*u32Len*/), (S8)-1)
    INTF_DEFAULT(S32, VxPlatParam_AIParameterAdapter,     INTF_PLAT_ADAPTER_ARGS,                                     -1)
    INTF_SILENT(S32,  GetMdvrPlatfParamEnable,            (),                                                         0)
    INTF_DEFAULT(S32, VxPlatParam_ELockParameterAdapter,  INTF_PLAT_ADAPTER_ARGS,                                     -1)
    INTF_DEFAULT(S32, VxPlatParam_ICCardParameterAdapter, INTF_PLAT_ADAPTER_ARGS,                                     -1)
    INTF_DEFAULT(S32, VxPlatParam_DDNSParameterAdapter,   INTF_PLAT_ADAPTER_ARGS,                                     -1)
    INTF_THROWS(S32,  VxPlatParam_GetLockIDParameter,     (S8* /*ps8LockID*/, U32 /*u32Size*/))
    INTF_THROWS(S32,  VxPlat_PassRecvMsgNotify,           (const VOID* /*pMsg*/, U32 /*u32Len*/))
    // clang-format on
};

#endif /* INTERFACE_INTF_PLATFORM_H */
