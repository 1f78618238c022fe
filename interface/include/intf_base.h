// SPDX-License-Identifier: MIT
/* intf_base.h: DevInterface, the one door through which the daemon reaches
 * the device.
 *
 *   class MyDevice : public DevInterface { S32 GetDevChnNum() override; };
 *   DevInterface* pIntf = new MyDevice;   // lent to the server for good
 *
 * It is the sum of fourteen role interfaces. Every operation has a default
 * body (see intf_default.h), so a device class overrides only what it has.
 * The facade keeps no state and takes no locks. */
#ifndef INTERFACE_INTF_BASE_H
#define INTERFACE_INTF_BASE_H

#include "intf_preview.h"
#include "intf_playback.h"
#include "intf_ptzcontrol.h"
#include "intf_paramconfig.h"
#include "intf_gui.h"
#include "intf_dualtalk.h"
#include "intf_upgrade.h"
#include "intf_alarmreport.h"
#include "intf_misc.h"
#include "intf_platform.h"
#include "intf_gps.h"
#include "intf_snaptreport.h"
#include "intf_tvwall.h"
#include "intf_mdvr.h"

/* The bases are constructed in this order and destroyed in reverse. */
class DevInterface : public IPreview,
                     public IPlayback,
                     public IPTZControl,
                     public IParamConfig,
                     public IGui,
                     public IDualTalk,
                     public IUpgrade,
                     public IAlarmReport,
                     public IMisc,
                     public IPlatform,
                     public IGps,
                     public ISNPReport,
                     public ITvWall,
                     public IMdvr {
public:
    DevInterface() = default;
    ~DevInterface() override;
};

#endif /* INTERFACE_INTF_BASE_H */
