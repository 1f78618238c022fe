// SPDX-License-Identifier: MIT
/* intf_ptzcontrol.h: pan/tilt/zoom commands and presets. */
#ifndef INTERFACE_INTF_PTZCONTROL_H
#define INTERFACE_INTF_PTZCONTROL_H

#include "intf_default.h"

/* IPTZControl: PTZ of one channel. */
class IPTZControl {
public:
    IPTZControl() = default;
    virtual ~IPTZControl();

    // clang-format off
    /* commands and presets */
    INTF_DEFAULT(S32,  PtzCtrl,             (S32 /*s32ChnNO*/, U32 /*u32Cmd*/, U32 /*u32Param*/), -1)
    INTF_DEFAULT(BOOL, IsGuiPtzAutoScan,    (S32 /*s32ChnNO*/),                                   false)
    INTF_DEFAULT(S32,  PtzBindProtocol,     (S32 /*s32ChnNO*/, S32 /*s32Protocol*/),              -1)
    INTF_DEFAULT(S32,  GetSensorPresetInfo, (S32 /*s32SensorNO*/, VOID* /*pPresetInfo*/),         -1)
    INTF_DEFAULT(S32,  SetSensorPresetInfo, (S32 /*s32SensorNO*/, const VOID* /*pPresetInfo*/),   -1)
    INTF_DEFAULT(S32,  GetPresetNum,        (S32 /*s32ChnNO*/),                                   0)
    // clang-format on
};

#endif /* INTERFACE_INTF_PTZCONTROL_H */
