// SPDX-License-Identifier: MIT
/* intf_gui.h: the local display: OSD, rule drawing, display mode. */
#ifndef INTERFACE_INTF_GUI_H
#define INTERFACE_INTF_GUI_H

#include "intf_default.h"

/* IGui: what the device's own monitor output shows. */
class IGui {
public:
    IGui() = default;
    virtual ~IGui();

    // clang-format off
    /* display */
    INTF_DEFAULT(S32, UpdateOsd,         (S32 /*s32ChnNO*/),                         -1)
    INTF_DEFAULT(S32, DrawIntRules,      (S32 /*s32ChnNO*/, const VOID* /*pRules*/), -1)
    INTF_DEFAULT(S32, AiVideoUnbinding,  (S32 /*s32ChnNO*/),                         -1)
    INTF_DEFAULT(S32, WaitForGuiStart,   (),                                         -1)
    INTF_DEFAULT(S32, UpdateDisplayMode, (S32 /*s32Mode*/),                          -1)
    // clang-format on
};

#endif /* INTERFACE_INTF_GUI_H */
