// SPDX-License-Identifier: MIT
/* zozid_settings.h: the network settings file "network.ini" the stand-in owns.
 *
 *   EnsureSettingsFile(strDir + "/network.ini");        // at start-up
 *   ZOZID_NET_S stNet; ReadSettingsFile(path, &stNet);  // on SIGUSR1
 *   ApplySettings(stNet, "eth0");                       // with --iface
 */
#ifndef ZOZID_SETTINGS_H
#define ZOZID_SETTINGS_H

#include <string>

#include "type.h"

typedef struct ZozidNet_S {
    S32 s32Dhcp = 0;
    std::string strIpAddr;
    std::string strNetmask;
    std::string strGateway;
    std::string strMacAddr;
    S32 s32NetType = 0;
    std::string strIpv6Addr;
    S32 s32Ipv6Prefix = 0;
    std::string strIpv6Gateway;
    U32 u32Keys = 0; /* how many of the nine keys were read, in order */
} ZOZID_NET_S;

extern const char* const ZOZID_DEFAULT_SETTINGS;

/* EnsureSettingsFile: writes the default nine lines when the file is missing.
 * return 1 created, 0 already there, -1 could not be created */
int EnsureSettingsFile(const std::string& strPath);

/* ParseSettingsText: reads the keys in their fixed order and stops at the first
 * line that does not match; *pstNet gets what was read (u32Keys says how much).
 * return 0 when all nine keys were read, -1 otherwise */
int ParseSettingsText(const std::string& strText, ZOZID_NET_S* pstNet);

/* ReadSettingsFile: ParseSettingsText over the file's content.
 * return as ParseSettingsText; -1 also when the file cannot be read */
int ReadSettingsFile(const std::string& strPath, ZOZID_NET_S* pstNet);

/* MaskToPrefix: dotted IPv4 netmask to a prefix length.
 * return 0..32, or -1 (not an address, or its one bits are not contiguous) */
int MaskToPrefix(const char* ps8Mask);

/* ApplySettings: static mode only (dhcp 0): replaces the addresses of the
 * interface with ipaddr/prefix and, with a valid gateway, the default route.
 * Runs `ip` directly (no shell), so no value reaches a command interpreter.
 * return 1 applied, 0 nothing to do (DHCP mode), -1 refused or `ip` failed */
int ApplySettings(const ZOZID_NET_S& stNet, const std::string& strIface);

#endif /* ZOZID_SETTINGS_H */
