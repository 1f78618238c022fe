// SPDX-License-Identifier: MIT
/* intf_upgrade.h: firmware packet checks, upgrade handling, writing upgrade files. */
#ifndef INTERFACE_INTF_UPGRADE_H
#define INTERFACE_INTF_UPGRADE_H

#include "intf_default.h"

/* Progress report of RemoteFirmwareUpgrade: s32State is the upgrade's state
 * or percentage as the main application defines it; pUserData is the
 * caller's pointer, passed back unchanged. */
typedef VOID (*INTF_UPGRADE_REPORT_CB)(S32 s32State, VOID* pUserData);

/* IUpgrade: checking and applying firmware packets. */
class IUpgrade {
public:
    IUpgrade() = default;
    virtual ~IUpgrade();

    // clang-format off
    /* state bits */
    INTF_DEFAULT(S32,  SetStateBitmap,   (U32 /*u32Bit*/), -1)
    INTF_DEFAULT(BOOL, CheckStateBitmap, (U32 /*u32Bit*/), false)
    INTF_DEFAULT(S32,  ClearStateBitmap, (U32 /*u32Bit*/), -1)

    /* packet checks and handling */
    INTF_DEFAULT(S32,  CheckDeviceType,        (const VOID* /*pPacketHead*/),                           -1)
    INTF_DEFAULT(BOOL, IsNewVersion,           (const VOID* /*pPacketHead*/),                           false)
    INTF_DEFAULT(S32,  CheckCRC,               (const U8* /*pu8Data*/, U32 /*u32Len*/, U32 /*u32Crc*/), -1)
    INTF_DEFAULT(S32,  RemoteUpgradeHandle,    (const U8* /*pu8Data*/, U32 /*u32Len*/),                 -1)
    INTF_DEFAULT(U32,  GetUpgradeMagic,        (),                                                      0)
    INTF_DEFAULT(BOOL, IsValidUpgradePacket,   (const VOID* /*pPacketHead*/, U32 /*u32Len*/),           true)
    INTF_DEFAULT(S32,  ComparePacketVersion,   (const VOID* /*pPacketHead*/),                           -1)
    INTF_DEFAULT(S32,  GetPacketUpgradeBitMap, (const VOID* /*pPacketHead*/, U32* /*pu32BitMap*/),      -1)
    INTF_DEFAULT(S32,  PlatformUpgradeHandle,  (const U8* /*pu8Data*/, U32 /*u32Len*/),                 -1)
    INTF_DEFAULT(S32,  CheckFileHead,          (const VOID* /*pFileHead*/, U32 /*u32Len*/),             -1)

    /* FTP and new-mode upgrades */
    INTF_DEFAULT(S32,  StartFtpUpgrade,            (),                                                         -1)
    INTF_DEFAULT(S32,  StartFtpUpgradeSearchFile,  (S8* /*ps8FileName*/, U32 /*u32Size*/),                     -1)
    INTF_DEFAULT(S32,  GetDeviceSoftVersion,       (S8* /*ps8Version*/, U32 /*u32Size*/),                      -1)
    INTF_DEFAULT(S32,  CheckUpgradeInfo,           (const VOID* /*pUpgradeInfo*/),                             -1)
    INTF_DEFAULT(S32,  CheckFilePartsToUpgrade,    (const VOID* /*pFileHead*/, U32 /*u32Len*/),                -1)
    INTF_DEFAULT(S32,  NewModeRemoteUpgradeHandle, (const U8* /*pu8Data*/, U32 /*u32Len*/),                    -1)
    INTF_DEFAULT(BOOL, IsNeedUpgrade,              (const VOID* /*pUpgradeInfo*/),                             false)
    INTF_DEFAULT(S32,  DevNewModeUpgradeHandle,    (const U8* /*pu8Data*/, U32 /*u32Len*/),                    -1)
    INTF_DEFAULT(S32,  WriteUpgsFileToDisk,        (const U8* /*pu8Data*/, U32 /*u32Len*/, U32 /*u32Offset*/), -1)
    INTF_DEFAULT(S32,  EndWriteUpgradeFile,        (BOOL /*bSuccess*/),                                        -1)
    INTF_DEFAULT(S32,  StartRemoteUpgradeIpcs,     (const VOID* /*pIpcList*/, S32 /*s32IpcNum*/),              -1)

    /* a particular customer's platform; remote upgrade with a progress report */
    INTF_DEFAULT(S32, CustomerPlatformUpgradeHandle, (const U8* /*pu8Data*/, U32 /*u32Len*/), -1)
    INTF_DEFAULT(S32, RemoteFirmwareUpgrade,         (const S8* /*ps8Url*/, INTF_UPGRADE_REPORT_CB /*pfnReport*/, VOID* /*pUserData*/), -1)
    // clang-format on
};

#endif /* INTERFACE_INTF_UPGRADE_H */
