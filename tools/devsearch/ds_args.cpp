// SPDX-License-Identifier: MIT
/* ds_args.cpp: command-line parsing and value checks for devsearch. */
#include "ds_args.h"

#include <net/if.h>
#include <stdio.h>
#include <string.h>

#include "ds_wire.h"

#ifndef DS_VERSION
#define DS_VERSION "unknown"
#endif

namespace {

const char g_s8Usage[] =
    "NAME\n"
    "    devsearch - find cameras on the LAN and change their network settings\n"
    "\n"
    "SYNOPSIS\n"
    "    devsearch search [--interface IF] [--timeout SECONDS] [--retries N]\n"
    "                     [--expect N] [--mac MAC] [--json | --csv]\n"
    "    devsearch modify DEVICE --user U --password P [--ip A] [--mask M] [--gateway G]\n"
    "                     [--dns1 D] [--dns2 D] [--media-port N] [--web-port N]\n"
    "                     [--dhcp | --static] [--legacy] [--wait] [--wait-timeout SECONDS]\n"
    "                     [--interface IF] [--timeout SECONDS] [--retries N] [--json]\n"
    "    devsearch set-mac DEVICE NEW-MAC --user U --password P [--wait]\n"
    "                     [--wait-timeout SECONDS] [--interface IF] [--timeout SECONDS]\n"
    "                     [--retries N] [--json]\n"
    "    devsearch assign --from A [--order mac|found] [--mask M] [--gateway G] [--dns1 D]\n"
    "                     [--dns2 D] [--expect N] [--interface IF] [--timeout SECONDS]\n"
    "    devsearch apply PLAN.csv --user U --password P [--dry-run] [--no-wait]\n"
    "                     [--wait-timeout SECONDS] [--interface IF] [--timeout SECONDS]\n"
    "                     [--retries N] [--json]\n"
    "    devsearch --help | --version\n"
    "\n"
    "DESCRIPTION\n"
    "    search   Broadcasts a search (UDP port 9333) out of every up IPv4 interface, or\n"
    "             out of IF, repeats it N more times spread over the timeout, and lists\n"
    "             each device that answered once: address, netmask, gateway, MAC, mode,\n"
    "             media and web ports, device type code, version, name, channels, the\n"
    "             local interface the answer came in on and the URL of its web page.\n"
    "             With --expect or --mac it ends as soon as that many devices (and that\n"
    "             device) have answered, else at the timeout.\n"
    "    modify   Searches first, then sends the device a new network configuration. Every\n"
    "             value not given is taken from the device's current record. The request\n"
    "             is broadcast on the interface the device answered on, so a device in a\n"
    "             foreign subnet can still be reached, and names the device by its\n"
    "             address, MAC and type code (with --legacy: by its address alone).\n"
    "             The command succeeds only when the device answers the request, or when\n"
    "             a search made after an unanswered request shows the new settings.\n"
    "    set-mac  Searches first, then sets the device's MAC address to NEW-MAC. The\n"
    "             request goes to the device's address only, never as a broadcast,\n"
    "             because every device would accept it.\n"
    "    assign   Searches, then writes a plan (CSV, on standard output) that gives the\n"
    "             devices found sequential addresses from A, by MAC or in the order they\n"
    "             answered, skipping addresses a device answers from already, the gateway\n"
    "             and the subnet's network and broadcast addresses.\n"
    "    apply    Re-addresses the devices of a plan: a CSV file with the column mac and\n"
    "             any of ip, netmask, gateway, dns1, dns2 and mode (the names of a search;\n"
    "             an empty cell keeps the device's value; the other columns of a search\n"
    "             CSV are ignored, so an edited search CSV is a plan). A malformed plan is\n"
    "             refused, with its line and the reason, before anything is sent. Then\n"
    "             each device is changed in turn and a search confirms every change;\n"
    "             devices not found, refused or not confirmed are reported and the others\n"
    "             go on. One result row per plan row, then a summary on standard error.\n"
    "\n"
    "    DEVICE is a MAC (AA-BB-CC-DD-EE-FF or aa:bb:cc:dd:ee:ff) or an IPv4 address from\n"
    "    a search. An address that several devices answer from must be given as a MAC.\n"
    "\n"
    "OPTIONS\n"
    "    --interface IF      use only interface IF\n"
    "    --timeout SECONDS   how long a search collects answers (default 2), and how long\n"
    "                        modify, set-mac and apply wait for each reply (default 5, for\n"
    "                        a device that syncs its flash before it answers); 0.1 - 60\n"
    "    --retries N         repeats of each request within the timeout (default 2; 0 - 20)\n"
    "    --expect N          search, assign: end the search once N devices have answered;\n"
    "                        fail when fewer did\n"
    "    --mac MAC           search: end the search once this device has answered; fail\n"
    "                        when it did not\n"
    "    --json              search: one JSON object per device and line instead of the\n"
    "                        table; modify, set-mac: one JSON object (result, device, old and\n"
    "                        new values) instead of the \"applied\" line; apply: one object\n"
    "                        per plan row\n"
    "    --csv               search: CSV (RFC 4180, CRLF line ends): a header line with the\n"
    "                        JSON keys, one row per device\n"
    "    --user U            account name on the device (at most 10 bytes)\n"
    "    --password P        its password (at most 14 bytes); \"-\" reads one line from\n"
    "                        standard input, which keeps it out of the process list\n"
    "    --ip A, --mask M, --gateway G, --dns1 D, --dns2 D\n"
    "                        new address, netmask, gateway and DNS servers\n"
    "                        (--gateway, --dns1, --dns2 accept 0.0.0.0 for none)\n"
    "    --media-port N, --web-port N\n"
    "                        new ports (1 - 65535)\n"
    "    --dhcp, --static    new address mode (default: keep the device's mode)\n"
    "    --legacy            send the first, 72-byte form of the request\n"
    "    --wait              modify, set-mac: after the reply, search until the device\n"
    "                        shows the new settings (apply always does, unless --no-wait)\n"
    "    --wait-timeout S    how long that search may take (default 10; 0.1 - 60)\n"
    "    --no-wait           apply: take each reply as the result, without a search\n"
    "    --dry-run           apply: print what would change; send no modification\n"
    "    --from A            assign: the first address of the plan\n"
    "    --order mac|found   assign: the devices in MAC order (default) or in the order\n"
    "                        their answers came\n"
    "    --port N            the devices' UDP port (default 9333)\n"
    "    --help              this text\n"
    "    --version           the program's version\n"
    "\n"
    "    A static configuration is refused before anything is sent unless the address is\n"
    "    a unicast host address that is neither the network nor the broadcast address of\n"
    "    its subnet, the netmask is contiguous and the gateway is 0.0.0.0 or another\n"
    "    host of that subnet.\n"
    "\n"
    "OUTPUT\n"
    "    Results go to standard output; every message goes to standard error and starts\n"
    "    with \"devsearch: \". With --json, modify and set-mac print exactly one object\n"
    "    whenever they exit with 0 or 1; its \"result\" is \"applied\", \"not_confirmed\"\n"
    "    (answered, but no search showed the change within the wait), \"no_reply\",\n"
    "    \"refused_locally\" (nothing was sent) or \"refused_by_device\". An apply row's\n"
    "    result is one of these, or \"unchanged\", \"not_found\" or \"would_change\".\n"
    "\n"
    "EXIT STATUS\n"
    "    0  success: search found at least one device, and every one --expect and --mac\n"
    "       asked for; modify and set-mac were applied (answered, or a fresh search shows\n"
    "       the device with the new settings) and, with --wait, confirmed by a search;\n"
    "       assign wrote a plan; apply applied and confirmed every row (or found nothing\n"
    "       to change; with --dry-run: found and could change every row)\n"
    "    1  failure: no device answered, fewer than expected, device not found or\n"
    "       ambiguous, settings refused before sending, no reply, not confirmed, a\n"
    "       malformed plan, a plan row that did not go through, a socket error\n"
    "    2  bad command line, or no password line on standard input (--password -);\n"
    "       nothing is printed on standard output\n"
    "\n"
    "    A modification that is not answered was not applied: the password was wrong,\n"
    "    the device refused the settings, or it could not be reached.\n";

struct OptionDef {
    const char* ps8Name;
    BOOL bTakesValue;
    unsigned u32Cmds; /* bit per DS_CMD_E */
};

constexpr unsigned CMD_BIT(DS_CMD_E enCmd)
{
    return 1u << (unsigned)enCmd;
}
constexpr unsigned ALL_CMDS = CMD_BIT(DS_CMD_SEARCH) | CMD_BIT(DS_CMD_MODIFY) |
                              CMD_BIT(DS_CMD_SETMAC) | CMD_BIT(DS_CMD_ASSIGN) |
                              CMD_BIT(DS_CMD_APPLY);
constexpr unsigned AUTH_CMDS =
    CMD_BIT(DS_CMD_MODIFY) | CMD_BIT(DS_CMD_SETMAC) | CMD_BIT(DS_CMD_APPLY);
constexpr unsigned MOD_CMD = CMD_BIT(DS_CMD_MODIFY);
constexpr unsigned ADDR_CMDS = CMD_BIT(DS_CMD_MODIFY) | CMD_BIT(DS_CMD_ASSIGN);
constexpr unsigned JSON_CMDS = ALL_CMDS & ~CMD_BIT(DS_CMD_ASSIGN);
constexpr unsigned WAIT_CMDS = CMD_BIT(DS_CMD_MODIFY) | CMD_BIT(DS_CMD_SETMAC);
constexpr unsigned EXPECT_CMDS = CMD_BIT(DS_CMD_SEARCH) | CMD_BIT(DS_CMD_ASSIGN);

/* one option a line */
// clang-format off
const OptionDef g_astOptions[] = {
    {"--interface", true, ALL_CMDS},
    {"--timeout", true, ALL_CMDS},
    {"--retries", true, ALL_CMDS},
    {"--port", true, ALL_CMDS},
    {"--json", false, JSON_CMDS},
    {"--csv", false, CMD_BIT(DS_CMD_SEARCH)},
    {"--expect", true, EXPECT_CMDS},
    {"--mac", true, CMD_BIT(DS_CMD_SEARCH)},
    {"--user", true, AUTH_CMDS},
    {"--password", true, AUTH_CMDS},
    {"--ip", true, MOD_CMD},
    {"--mask", true, ADDR_CMDS},
    {"--gateway", true, ADDR_CMDS},
    {"--dns1", true, ADDR_CMDS},
    {"--dns2", true, ADDR_CMDS},
    {"--media-port", true, MOD_CMD},
    {"--web-port", true, MOD_CMD},
    {"--dhcp", false, MOD_CMD},
    {"--static", false, MOD_CMD},
    {"--legacy", false, MOD_CMD},
    {"--wait", false, WAIT_CMDS},
    {"--no-wait", false, CMD_BIT(DS_CMD_APPLY)},
    {"--wait-timeout", true, WAIT_CMDS | CMD_BIT(DS_CMD_APPLY)},
    {"--dry-run", false, CMD_BIT(DS_CMD_APPLY)},
    {"--from", true, CMD_BIT(DS_CMD_ASSIGN)},
    {"--order", true, CMD_BIT(DS_CMD_ASSIGN)},
};
// clang-format on

const OptionDef* FindOption(const std::string& strName)
{
    for (const OptionDef& stDef : g_astOptions) {
        if (strName == stDef.ps8Name) return &stDef;
    }
    return nullptr;
}

S32 HexVal(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

S32 ParseAddrOpt(const std::string& strName, const char* ps8Val, DsOptAddr_S* pstOut,
                 std::string* pstrErr)
{
    DsOptAddr_S stAddr = {};
    if (DsParseIpv4(ps8Val, stAddr.au8Addr) != 0) {
        *pstrErr = strName + ": not an IPv4 address: \"" + ps8Val + "\"";
        return -1;
    }
    stAddr.bSet = true;
    *pstOut = stAddr;
    return 0;
}

S32 ParsePortOpt(const std::string& strName, const char* ps8Val, U16* pu16Out, std::string* pstrErr)
{
    U32 u32Val = 0;
    if (DsParseUint(ps8Val, 1, 65535, &u32Val) != 0) {
        *pstrErr = strName + ": not a port number 1-65535: \"" + ps8Val + "\"";
        return -1;
    }
    *pu16Out = (U16)u32Val;
    return 0;
}

/* One option with its value (nullptr for a flag) into stOpt. */
S32 ApplyOption(const std::string& strName, const char* ps8Val, DsOptions* pstOpt,
                std::string* pstrErr)
{
    DsOptions& stOpt = *pstOpt;
    if (strName == "--interface") {
        const size_t u32Len = strlen(ps8Val);
        if (u32Len == 0 || u32Len >= IFNAMSIZ || strchr(ps8Val, '/') != nullptr ||
            strchr(ps8Val, ' ') != nullptr) {
            *pstrErr = std::string("--interface: not an interface name: \"") + ps8Val + "\"";
            return -1;
        }
        stOpt.strIface = ps8Val;
    } else if (strName == "--timeout") {
        if (DsParseSeconds(ps8Val, &stOpt.u32TimeoutMs) != 0) {
            *pstrErr = std::string("--timeout: not a number of seconds 0.1-60: \"") + ps8Val + "\"";
            return -1;
        }
        stOpt.bTimeoutGiven = true;
    } else if (strName == "--wait-timeout") {
        if (DsParseSeconds(ps8Val, &stOpt.u32WaitMs) != 0) {
            *pstrErr =
                std::string("--wait-timeout: not a number of seconds 0.1-60: \"") + ps8Val + "\"";
            return -1;
        }
    } else if (strName == "--expect") {
        if (DsParseUint(ps8Val, 1, DS_MAX_EXPECT, &stOpt.u32Expect) != 0) {
            *pstrErr =
                std::string("--expect: not a number of devices 1-100000: \"") + ps8Val + "\"";
            return -1;
        }
    } else if (strName == "--mac") {
        if (DsParseMac(ps8Val, &stOpt.strExpectMac) != 0) {
            *pstrErr = std::string("--mac: not a MAC (six hex pairs): \"") + ps8Val + "\"";
            return -1;
        }
    } else if (strName == "--csv") {
        stOpt.bCsv = true;
    } else if (strName == "--wait") {
        stOpt.bWait = true;
    } else if (strName == "--no-wait") {
        stOpt.bWait = false;
    } else if (strName == "--dry-run") {
        stOpt.bDryRun = true;
    } else if (strName == "--from") {
        if (ParseAddrOpt(strName, ps8Val, &stOpt.stFrom, pstrErr) != 0) return -1;
        if (!DsIsUnicastHost(stOpt.stFrom.au8Addr)) {
            *pstrErr = std::string("--from: not a unicast host address: \"") + ps8Val + "\"";
            return -1;
        }
    } else if (strName == "--order") {
        if (strcmp(ps8Val, "mac") == 0) {
            stOpt.enOrder = DS_ORDER_MAC;
        } else if (strcmp(ps8Val, "found") == 0) {
            stOpt.enOrder = DS_ORDER_FOUND;
        } else {
            *pstrErr = std::string("--order: mac or found, not \"") + ps8Val + "\"";
            return -1;
        }
    } else if (strName == "--retries") {
        if (DsParseUint(ps8Val, 0, DS_MAX_RETRIES, &stOpt.u32Retries) != 0) {
            *pstrErr = std::string("--retries: not a number 0-20: \"") + ps8Val + "\"";
            return -1;
        }
    } else if (strName == "--port") {
        return ParsePortOpt(strName, ps8Val, &stOpt.u16Port, pstrErr);
    } else if (strName == "--json") {
        stOpt.bJson = true;
    } else if (strName == "--user") {
        const size_t u32Len = strlen(ps8Val);
        if (u32Len == 0 || u32Len > DS_USER_LEN) {
            *pstrErr = "--user: the name must be 1 to 10 bytes long";
            return -1;
        }
        stOpt.bHasUser = true;
        stOpt.strUser = ps8Val;
    } else if (strName == "--password") {
        if (strcmp(ps8Val, "-") != 0 && strlen(ps8Val) > DS_PWD_LEN) {
            *pstrErr = "--password: the password must be at most 14 bytes long";
            return -1;
        }
        stOpt.bHasPwd = true;
        stOpt.strPwd = ps8Val;
    } else if (strName == "--ip") {
        return ParseAddrOpt(strName, ps8Val, &stOpt.stIp, pstrErr);
    } else if (strName == "--mask") {
        if (ParseAddrOpt(strName, ps8Val, &stOpt.stMask, pstrErr) != 0) return -1;
        if (!DsIsValidMask(stOpt.stMask.au8Addr)) {
            *pstrErr = std::string("--mask: not a contiguous netmask: \"") + ps8Val + "\"";
            return -1;
        }
    } else if (strName == "--gateway") {
        return ParseAddrOpt(strName, ps8Val, &stOpt.stGw, pstrErr);
    } else if (strName == "--dns1") {
        return ParseAddrOpt(strName, ps8Val, &stOpt.stDns1, pstrErr);
    } else if (strName == "--dns2") {
        return ParseAddrOpt(strName, ps8Val, &stOpt.stDns2, pstrErr);
    } else if (strName == "--media-port") {
        stOpt.bHasMediaPort = true;
        return ParsePortOpt(strName, ps8Val, &stOpt.u16MediaPort, pstrErr);
    } else if (strName == "--web-port") {
        stOpt.bHasWebPort = true;
        return ParsePortOpt(strName, ps8Val, &stOpt.u16WebPort, pstrErr);
    } else if (strName == "--dhcp" || strName == "--static") {
        const S32 s32Mode = strName == "--dhcp" ? DS_MODE_DHCP : DS_MODE_STATIC;
        if (stOpt.s32Mode != DS_MODE_UNSET && stOpt.s32Mode != s32Mode) {
            *pstrErr = "--dhcp and --static exclude each other";
            return -1;
        }
        stOpt.s32Mode = s32Mode;
    } else if (strName == "--legacy") {
        stOpt.bLegacy = true;
    }
    return 0;
}

S32 ParseTarget(const char* ps8Text, DsOptions* pstOpt, std::string* pstrErr)
{
    pstOpt->strTargetText = ps8Text;
    std::string strMac;
    if (DsParseMac(ps8Text, &strMac) == 0) {
        pstOpt->bTargetIsMac = true;
        pstOpt->strTargetMac = strMac;
        return 0;
    }
    if (DsParseIpv4(ps8Text, pstOpt->au8TargetIp) == 0) {
        pstOpt->bTargetIsMac = false;
        return 0;
    }
    *pstrErr = std::string("DEVICE: neither a MAC nor an IPv4 address: \"") + ps8Text + "\"";
    return -1;
}

BOOL AnyChange(const DsOptions& stOpt)
{
    return stOpt.stIp.bSet || stOpt.stMask.bSet || stOpt.stGw.bSet || stOpt.stDns1.bSet ||
           stOpt.stDns2.bSet || stOpt.bHasMediaPort || stOpt.bHasWebPort ||
           stOpt.s32Mode != DS_MODE_UNSET;
}

}  // namespace

const char* DsUsage()
{
    return g_s8Usage;
}

const char* DsVersionLine()
{
    return "devsearch " DS_VERSION;
}

S32 DsParseIpv4(const char* ps8Text, U8 (&au8Addr)[4])
{
    if (ps8Text == nullptr) return -1;
    U8 au8Out[4] = {};
    const char* p = ps8Text;
    for (size_t i = 0; i < sizeof(au8Out); ++i) {
        if (i > 0) {
            if (*p != '.') return -1;
            ++p;
        }
        if (*p < '0' || *p > '9') return -1;
        if (*p == '0' && p[1] >= '0' && p[1] <= '9') return -1; /* leading zero */
        U32 u32Val = 0;
        size_t u32Digits = 0;
        while (*p >= '0' && *p <= '9') {
            if (++u32Digits > 3) return -1;
            u32Val = u32Val * 10 + (U32)(*p - '0');
            ++p;
        }
        if (u32Val > 255) return -1;
        au8Out[i] = (U8)u32Val;
    }
    if (*p != '\0') return -1;
    memcpy(au8Addr, au8Out, sizeof(au8Out));
    return 0;
}

std::string DsFormatIpv4(const U8 (&au8Addr)[4])
{
    char s8Buf[16];
    const int n = snprintf(s8Buf, sizeof(s8Buf), "%u.%u.%u.%u", au8Addr[0], au8Addr[1], au8Addr[2],
                           au8Addr[3]);
    if (n < 0 || (size_t)n >= sizeof(s8Buf)) return std::string();
    return std::string(s8Buf, (size_t)n);
}

S32 DsParseMac(const char* ps8Text, std::string* pstrNorm)
{
    if (ps8Text == nullptr || pstrNorm == nullptr) return -1;
    /* exactly 17 characters: 6 pairs and 5 separators */
    if (strnlen(ps8Text, 18) != 17) return -1;
    const char s8Sep = ps8Text[2];
    if (s8Sep != ':' && s8Sep != '-') return -1;
    static const char s8Hex[] = "0123456789ABCDEF";
    std::string strOut;
    for (size_t i = 0; i < 6; ++i) {
        const char* pPair = ps8Text + i * 3;
        const S32 s32Hi = HexVal(pPair[0]);
        const S32 s32Lo = HexVal(pPair[1]);
        if (s32Hi < 0 || s32Lo < 0) return -1;
        if (i < 5 && pPair[2] != s8Sep) return -1;
        if (i > 0) strOut += '-';
        strOut += s8Hex[s32Hi];
        strOut += s8Hex[s32Lo];
    }
    *pstrNorm = strOut;
    return 0;
}

BOOL DsMacIsAssignable(const std::string& strNorm)
{
    std::string strCheck;
    if (DsParseMac(strNorm.c_str(), &strCheck) != 0) return false;
    if (strCheck == "00-00-00-00-00-00") return false;
    return (HexVal(strCheck[1]) & 0x1) == 0; /* group bit of the first octet */
}

BOOL DsIsUnicastHost(const U8 (&au8Addr)[4])
{
    if (au8Addr[0] == 0 && au8Addr[1] == 0 && au8Addr[2] == 0 && au8Addr[3] == 0) return false;
    if (au8Addr[0] == 127) return false;
    if (au8Addr[0] >= 224) return false; /* multicast, reserved, 255.255.255.255 */
    return true;
}

BOOL DsIsValidMask(const U8 (&au8Mask)[4])
{
    const U32 u32Mask = ((U32)au8Mask[0] << 24) | ((U32)au8Mask[1] << 16) | ((U32)au8Mask[2] << 8) |
                        (U32)au8Mask[3];
    if (u32Mask == 0) return false;
    const U32 u32Inv = ~u32Mask;
    return (u32Inv & (u32Inv + 1)) == 0; /* the zeros form one run at the bottom */
}

S32 DsParseUint(const char* ps8Text, U32 u32Min, U32 u32Max, U32* pu32Val)
{
    if (ps8Text == nullptr || pu32Val == nullptr || *ps8Text == '\0') return -1;
    U64 u64Val = 0;
    for (const char* p = ps8Text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return -1;
        u64Val = u64Val * 10 + (U64)(*p - '0');
        if (u64Val > u32Max) return -1;
    }
    if (u64Val < u32Min) return -1;
    *pu32Val = (U32)u64Val;
    return 0;
}

S32 DsParseSeconds(const char* ps8Text, U32* pu32Ms)
{
    if (ps8Text == nullptr || pu32Ms == nullptr) return -1;
    const char* p = ps8Text;
    U32 u32Whole = 0;
    size_t u32Digits = 0;
    while (*p >= '0' && *p <= '9') {
        if (++u32Digits > 2) return -1;
        u32Whole = u32Whole * 10 + (U32)(*p - '0');
        ++p;
    }
    U32 u32Frac = 0;
    size_t u32FracDigits = 0;
    if (*p == '.') {
        ++p;
        while (*p >= '0' && *p <= '9') {
            if (++u32FracDigits > 3) return -1;
            u32Frac = u32Frac * 10 + (U32)(*p - '0');
            ++p;
        }
        if (u32FracDigits == 0) return -1;
    }
    if (*p != '\0' || u32Digits == 0) return -1;
    for (size_t i = u32FracDigits; i < 3; ++i) u32Frac *= 10;
    const U32 u32Ms = u32Whole * 1000 + u32Frac;
    if (u32Ms < DS_MIN_TIMEOUT_MS || u32Ms > DS_MAX_TIMEOUT_MS) return -1;
    *pu32Ms = u32Ms;
    return 0;
}

S32 DsParseArgs(int argc, const char* const* argv, DsOptions* pstOpt, std::string* pstrErr)
{
    if (pstOpt == nullptr || pstrErr == nullptr || argv == nullptr) return -1;
    DsOptions stOpt;
    stOpt.enCmd = DS_CMD_HELP;
    stOpt.u32TimeoutMs = DS_DEFAULT_TIMEOUT_MS;
    stOpt.u32Retries = DS_DEFAULT_RETRIES;
    stOpt.u16Port = (U16)DS_UDP_PORT;
    stOpt.bJson = false;
    stOpt.bTargetIsMac = false;
    memset(stOpt.au8TargetIp, 0, sizeof(stOpt.au8TargetIp));
    stOpt.bHasUser = false;
    stOpt.bHasPwd = false;
    stOpt.stIp = stOpt.stMask = stOpt.stGw = stOpt.stDns1 = stOpt.stDns2 = DsOptAddr_S{};
    stOpt.bHasMediaPort = false;
    stOpt.u16MediaPort = 0;
    stOpt.bHasWebPort = false;
    stOpt.u16WebPort = 0;
    stOpt.s32Mode = DS_MODE_UNSET;
    stOpt.bLegacy = false;
    stOpt.bTimeoutGiven = false;
    stOpt.bCsv = false;
    stOpt.u32Expect = 0;
    stOpt.bWait = false;
    stOpt.u32WaitMs = DS_DEFAULT_WAIT_MS;
    stOpt.stFrom = DsOptAddr_S{};
    stOpt.enOrder = DS_ORDER_MAC;
    stOpt.bDryRun = false;

    if (argc < 2) {
        *pstrErr = "no command given (search, modify, set-mac, assign, apply; --help for usage)";
        return -1;
    }
    const std::string strCmd = argv[1];
    if (strCmd == "--help" || strCmd == "-h" || strCmd == "help") {
        *pstOpt = stOpt;
        return 0;
    }
    if (strCmd == "--version") {
        stOpt.enCmd = DS_CMD_VERSION;
        *pstOpt = stOpt;
        return 0;
    }
    size_t u32Positional = 0;
    if (strCmd == "search") {
        stOpt.enCmd = DS_CMD_SEARCH;
    } else if (strCmd == "modify") {
        stOpt.enCmd = DS_CMD_MODIFY;
        u32Positional = 1;
    } else if (strCmd == "set-mac") {
        stOpt.enCmd = DS_CMD_SETMAC;
        u32Positional = 2;
    } else if (strCmd == "assign") {
        stOpt.enCmd = DS_CMD_ASSIGN;
    } else if (strCmd == "apply") {
        stOpt.enCmd = DS_CMD_APPLY;
        stOpt.bWait = true; /* apply confirms every change unless --no-wait */
        u32Positional = 1;
    } else {
        *pstrErr = "unknown command \"" + strCmd +
                   "\" (search, modify, set-mac, assign, apply; --help for usage)";
        return -1;
    }

    std::string astrPos[2];
    size_t u32PosSeen = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string strArg = argv[i];
        if (strArg == "--help" || strArg == "-h" || strArg == "--version") {
            stOpt.enCmd = strArg == "--version" ? DS_CMD_VERSION : DS_CMD_HELP;
            *pstOpt = stOpt;
            return 0;
        }
        if (strArg.size() >= 2 && strArg[0] == '-' && strArg[1] == '-') {
            const size_t u32Eq = strArg.find('=');
            const std::string strName = strArg.substr(0, u32Eq);
            const OptionDef* pstDef = FindOption(strName);
            if (pstDef == nullptr || (pstDef->u32Cmds & CMD_BIT(stOpt.enCmd)) == 0) {
                *pstrErr = "unknown option for " + strCmd + ": " + strName;
                return -1;
            }
            std::string strVal;
            const char* ps8Val = nullptr;
            if (pstDef->bTakesValue) {
                if (u32Eq != std::string::npos) {
                    strVal = strArg.substr(u32Eq + 1);
                } else if (i + 1 < argc) {
                    strVal = argv[++i];
                } else {
                    *pstrErr = strName + " needs a value";
                    return -1;
                }
                ps8Val = strVal.c_str();
            } else if (u32Eq != std::string::npos) {
                *pstrErr = strName + " takes no value";
                return -1;
            }
            if (ApplyOption(strName, ps8Val, &stOpt, pstrErr) != 0) return -1;
            continue;
        }
        if (u32PosSeen >= u32Positional) {
            *pstrErr = "unexpected argument \"" + strArg + "\"";
            return -1;
        }
        astrPos[u32PosSeen++] = strArg;
    }
    if (u32PosSeen < u32Positional) {
        *pstrErr = stOpt.enCmd == DS_CMD_MODIFY  ? "modify: DEVICE missing"
                   : stOpt.enCmd == DS_CMD_APPLY ? "apply: PLAN.csv missing"
                                                 : "set-mac: DEVICE and NEW-MAC needed";
        return -1;
    }
    if (stOpt.enCmd == DS_CMD_APPLY) {
        stOpt.strPlanPath = astrPos[0];
        if (stOpt.strPlanPath.empty()) {
            *pstrErr = "apply: PLAN.csv is empty";
            return -1;
        }
        if (stOpt.strPlanPath == "-" && stOpt.bHasPwd && stOpt.strPwd == "-") {
            *pstrErr = "apply: the plan and the password cannot both come from standard input";
            return -1;
        }
        if (!stOpt.bDryRun && (!stOpt.bHasUser || !stOpt.bHasPwd)) {
            *pstrErr = "apply: --user and --password are required (not with --dry-run)";
            return -1;
        }
    } else if (u32Positional >= 1 && ParseTarget(astrPos[0].c_str(), &stOpt, pstrErr) != 0) {
        return -1;
    }
    if (stOpt.bCsv && stOpt.bJson) {
        *pstrErr = "--csv and --json exclude each other";
        return -1;
    }
    if (stOpt.enCmd == DS_CMD_ASSIGN && !stOpt.stFrom.bSet) {
        *pstrErr = "assign: --from is required (the first address of the plan)";
        return -1;
    }
    if (stOpt.enCmd == DS_CMD_SETMAC) {
        if (DsParseMac(astrPos[1].c_str(), &stOpt.strNewMac) != 0) {
            *pstrErr = "NEW-MAC: not a MAC (six hex pairs joined by \":\" or \"-\"): \"" +
                       astrPos[1] + "\"";
            return -1;
        }
        if (!DsMacIsAssignable(stOpt.strNewMac)) {
            *pstrErr = "NEW-MAC: " + stOpt.strNewMac +
                       " is not a unicast MAC (all zero, or the group bit is set)";
            return -1;
        }
    }
    if (stOpt.enCmd == DS_CMD_MODIFY || stOpt.enCmd == DS_CMD_SETMAC) {
        if (!stOpt.bHasUser || !stOpt.bHasPwd) {
            *pstrErr = strCmd + ": --user and --password are required";
            return -1;
        }
    }
    if (stOpt.enCmd == DS_CMD_MODIFY && !AnyChange(stOpt)) {
        *pstrErr =
            "modify: nothing to change (give --ip, --mask, --gateway, --dns1, --dns2, "
            "--media-port, --web-port, --dhcp or --static)";
        return -1;
    }
    *pstOpt = stOpt;
    return 0;
}
