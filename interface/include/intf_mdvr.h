// SPDX-License-Identifier: MIT
/* intf_mdvr.h: electronic locks and related data of vehicle recorders. */
#ifndef INTERFACE_INTF_MDVR_H
#define INTERFACE_INTF_MDVR_H

#include "intf_default.h"

/* Request of an electronic lock, passed to the registered function with the
 * registrant's pointer; pRequest is the main application's record. */
typedef S32 (*INTF_ELOCK_REQUEST_CB)(const VOID* pRequest, VOID* pUserData);

/* IMdvr: vehicle recorder extras. */
class IMdvr {
public:
    IMdvr() = default;
    virtual ~IMdvr();

    // clang-format off
    /* locks */
    INTF_DEFAULT(S32, RegisterELockRequestCallBack, (INTF_ELOCK_REQUEST_CB /*pfnRequest*/, VOID* /*pUserData*/), -1)
    INTF_DEFAULT(S32, ELockCtrl,                    (S32 /*s32LockID*/, S32 /*s32Cmd*/),                         -1)
    INTF_DEFAULT(S32, ELockReportFrequency,         (S32 /*s32Seconds*/),                                        -1)
    INTF_DEFAULT(S32, GetGasStationInfoList,        (VOID* /*pList*/, S32 /*s32MaxNum*/),                        -1)
    INTF_DEFAULT(S32, DevUpgradeFlag,               (),                                                          -1)
    // clang-format on
};

#endif /* INTERFACE_INTF_MDVR_H */
