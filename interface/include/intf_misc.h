// SPDX-License-Identifier: MIT
/* intf_misc.h: tests (e-mail, DDNS, FTP), time, colour, disks, sensors,
 * remote camera control and the product customisation. */
#ifndef INTERFACE_INTF_MISC_H
#define INTERFACE_INTF_MISC_H

#include "intf_default.h"

/* Product customisation: CUS_Normal is the ordinary product; the others are
 * particular customers' products. */
typedef enum tag_CustomVal_E {
    CUS_Normal = 0,
    CUS_Custom1 = 1,
    CUS_Custom2 = 2,
    CUS_Custom3 = 3,
    CUS_Custom4 = 4,
} CustomVal_E;

/* IMisc: the operations that belong to no other role. */
class IMisc {
public:
    IMisc() = default;
    virtual ~IMisc();

    // clang-format off
    /* tests, time, colour, encoding */
    INTF_DEFAULT(S32, EmailTest,       (const VOID* /*pEmailSet*/),                -1)
    INTF_DEFAULT(S32, DDNSTest,        (const VOID* /*pDdnsSet*/),                 -1)
    INTF_SILENT(S32,  SetSysTime,      (const DateTime* /*pstTime*/),              0)
    INTF_DEFAULT(S32, GetSysTime,      (DateTime* /*pstTime*/),                    -1)
    INTF_DEFAULT(S32, ColorCtrl,       (S32 /*s32ChnNO*/, const VOID* /*pColor*/), -1)
    INTF_SILENT(BOOL, IsEncodeEnabled, (),                                         true)
    /* FeaturesTest: 2 asks whether encoding runs (through the object, so an
     * override of IsEncodeEnabled counts), 3 is always present; -1 = unknown. */
    virtual S32 FeaturesTest(U32 u32FeaturesMacro)
    {
        if (u32FeaturesMacro == 2) return IsEncodeEnabled() ? 1 : 0;
        if (u32FeaturesMacro == 3) return 1;
        return -1;
    }

    /* disks, playback, FTP, cloud */
    INTF_DEFAULT(S32,  HddFormat,        (S32 /*s32HddNO*/),               -1)
    INTF_DEFAULT(BOOL, GetHddCanRead,    (S32 /*s32HddNO*/),               false)
    INTF_DEFAULT_VOID( SetPlaybackState, (S32 /*s32State*/))
    INTF_DEFAULT(S32,  FtpWriteFileTest, (const VOID* /*pFtpSet*/),        -1)
    INTF_DEFAULT(S32,  GetDDNSID,        (S8* /*ps8Id*/, U32 /*u32Size*/), -1)
    INTF_THROWS(S32,   CloudCheck,       ())
    INTF_SILENT(BOOL,  GetChannelAudio,  (S32 /*s32ChnNO*/),               false)

    /* logs and attached cameras */
    INTF_DEFAULT(S32,  RemoteSearchLog,      (const VOID* /*pLogCond*/, VOID* /*pLogResult*/), -1)
    INTF_DEFAULT(S32,  SearchLogRelease,     (),                                               -1)
    INTF_DEFAULT(S32,  RemoteRebootIpc,      (S32 /*s32ChnNO*/),                               -1)
    INTF_DEFAULT(S32,  RemoteIpcLoadDefault, (S32 /*s32ChnNO*/),                               -1)
    INTF_DEFAULT(S32,  OneKeyAddIpc,         (),                                               -1)
    INTF_DEFAULT(S32,  SGPlatManualUpload,   (S32 /*s32ChnNO*/),                               -1)
    INTF_DEFAULT(S32,  GetVxPushAppInfo,     (VOID* /*pAppInfo*/),                             -1)
    INTF_DEFAULT(S32,  GetChannelVideoInfo,  (S32 /*s32ChnNO*/, VOID* /*pVideoInfo*/),         -1)
    INTF_DEFAULT(S32,  ResetVxPushAppInfo,   (),                                               -1)
    INTF_DEFAULT(S32,  GetZeroChnStatus,     (),                                               -1)
    INTF_DEFAULT(BOOL, IsZipDevices,         (),                                               false)
    INTF_DEFAULT(S32,  IPCLoadDefault,       (S32 /*s32ChnNO*/),                               0)
    INTF_DEFAULT(S32,  RemoteCheck,          (VOID* /*pCheckInfo*/),                           0)

    /* sensors and remote control */
    INTF_DEFAULT(S32, AddSensorDev,                 (const VOID* /*pSensorDev*/),                            0)
    INTF_DEFAULT(S32, DeleteSensorDev,              (S32 /*s32SensorID*/),                                   0)
    INTF_DEFAULT(S8,  SetMobileRemoteControlStatus, (U8 /*u8Status*/),                                       0)
    INTF_DEFAULT(S32, GetMoblieRemoteControlStatus, (),                                                      0)
    INTF_DEFAULT(S32, SetSensorRuleUpdate,          (S32 /*s32SensorID*/),                                   0)
    INTF_DEFAULT(S32, GetSensorRuleSwitch,          (S32 /*s32SensorID*/),                                   0)
    INTF_DEFAULT(S32, SetSensorDevName,             (S32 /*s32SensorID*/, const S8* /*ps8Name*/),            0)
    INTF_DEFAULT(S32, GetSensorDevName,             (S32 /*s32SensorID*/, S8* /*ps8Name*/, U32 /*u32Size*/), 0)
    INTF_DEFAULT(S32, SearchSmartCount,             (const VOID* /*pCond*/, VOID* /*pResult*/),              0)
    INTF_DEFAULT(S32, RFConnectUpdate,              (S32 /*s32State*/),                                      0)
    INTF_DEFAULT(S32, GetRFConnnectState,           (),                                                      0)

    /* product, rights, maintenance */
    /* GetProductCustomVal: which product this is; decides which search
     * message types the discovery server answers. */
    INTF_DEFAULT(CustomVal_E, GetProductCustomVal,    (),                                        CUS_Normal)
    INTF_DEFAULT(BOOL,        GetChPlaybackAuth,      (S32 /*s32UserID*/, S32 /*s32ChnNO*/),     true)
    INTF_DEFAULT(S32,         ParamImportAndExport,   (const S8* /*ps8Path*/, BOOL /*bExport*/), 0)
    INTF_DEFAULT(BOOL,        DevTelnetAndSerialCtrl, (BOOL /*bEnable*/),                        true)
    INTF_DEFAULT_VOID(        GetEmailTestContent,    (S8* /*ps8Content*/, U32 /*u32Size*/))
    INTF_DEFAULT(S32,         GetSaveUserResult,      (),                                        0)
    INTF_DEFAULT(S32,         CheckMac,               (const S8* /*ps8Mac*/),                    0)
    // clang-format on
};

#endif /* INTERFACE_INTF_MISC_H */
