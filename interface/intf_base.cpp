// SPDX-License-Identifier: MIT
/* intf_base.cpp: the not-implemented line, and the destructors that anchor
 * the facade's vtables here (each is its class's first out-of-line virtual),
 * so the inline default bodies are emitted once for the whole program. */
#include "intf_base.h"

#include "comm_log.h"

VOID IntfNotImplemented(const S8* ps8Func)
{
    /* Under the log budget: the server calls one of these for every search. */
    CommTrace("FUNC = %s not impletion!\n", ps8Func);
}

IPreview::~IPreview() = default;
IPlayback::~IPlayback() = default;
IPTZControl::~IPTZControl() = default;
IParamConfig::~IParamConfig() = default;
IGui::~IGui() = default;
IDualTalk::~IDualTalk() = default;
IUpgrade::~IUpgrade() = default;
IAlarmReport::~IAlarmReport() = default;
IMisc::~IMisc() = default;
IPlatform::~IPlatform() = default;
IGps::~IGps() = default;
ISNPReport::~ISNPReport() = default;
ITvWall::~ITvWall() = default;
IMdvr::~IMdvr() = default;
DevInterface::~DevInterface() = default;
