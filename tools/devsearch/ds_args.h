// SPDX-License-Identifier: MIT
/* ds_args.h: command line of devsearch and the checks on addresses, MACs and ports.
 *
 *   DsOptions stOpt; std::string strErr;
 *   if (DsParseArgs(argc, argv, &stOpt, &strErr) != 0) { print strErr; exit 2; }
 *   (--help and --version anywhere on the line win: enCmd DS_CMD_HELP / DS_CMD_VERSION)
 *
 * Every value is checked here, before anything is sent: an invalid address or MAC
 * never leaves the tool. */
#ifndef DEVSEARCH_DS_ARGS_H
#define DEVSEARCH_DS_ARGS_H

#include <string>

#include "type.h"

typedef enum {
    DS_CMD_HELP = 0,
    DS_CMD_SEARCH,
    DS_CMD_MODIFY,
    DS_CMD_SETMAC,
    DS_CMD_VERSION,
    DS_CMD_ASSIGN,
    DS_CMD_APPLY,
} DS_CMD_E;

constexpr U32 DS_DEFAULT_TIMEOUT_MS = 2000;
constexpr U32 DS_MIN_TIMEOUT_MS = 100;
constexpr U32 DS_MAX_TIMEOUT_MS = 60000;
constexpr U32 DS_DEFAULT_RETRIES = 2;
constexpr U32 DS_MAX_RETRIES = 20;
/* A device syncs its flash before it answers a modification: the reply wait of modify,
 * set-mac and apply when --timeout is not given. */
constexpr U32 DS_DEFAULT_REPLY_MS = 5000;
/* How long a wait for a move searches for the device at its new settings. */
constexpr U32 DS_DEFAULT_WAIT_MS = 10000;
constexpr U32 DS_MAX_EXPECT = 100000;

/* Mode values of the wire (0 DHCP, 2 static) and "not given". */
constexpr S32 DS_MODE_UNSET = -1;
constexpr S32 DS_MODE_DHCP = 0;
constexpr S32 DS_MODE_STATIC = 2;

/* An optional IPv4 value from the command line. */
typedef struct {
    BOOL bSet;
    U8 au8Addr[4];
} DsOptAddr_S;

/* assign: in which order the devices get the addresses */
typedef enum {
    DS_ORDER_MAC = 0, /* by MAC */
    DS_ORDER_FOUND,   /* in the order their replies came */
} DS_ORDER_E;

typedef struct {
    DS_CMD_E enCmd;
    std::string strIface; /* empty: every up IPv4 interface */
    U32 u32TimeoutMs;
    BOOL bTimeoutGiven; /* --timeout given: also the reply wait */
    U32 u32Retries;     /* repeats after the first datagram */
    U16 u16Port;        /* the devices' UDP port */
    BOOL bJson;
    BOOL bCsv; /* search: CSV instead of the table */

    /* search, assign: stop once this many devices (0: no count) and this MAC (normalised,
     * empty: none) have answered; the exit status says whether they did */
    U32 u32Expect;
    std::string strExpectMac;

    /* modify, set-mac, apply: after the reply, search until the device shows the change */
    BOOL bWait;
    U32 u32WaitMs;

    /* assign: the first address and the order; the addresses options give the rest */
    DsOptAddr_S stFrom;
    DS_ORDER_E enOrder;

    /* apply: the plan file ("-": standard input), and only print what would change */
    std::string strPlanPath;
    BOOL bDryRun;

    /* modify / set-mac: the target, a MAC (normalised "AA-BB-..") or an address */
    BOOL bTargetIsMac;
    std::string strTargetMac;
    U8 au8TargetIp[4];
    std::string strTargetText; /* as typed, for messages */
    BOOL bHasUser;
    std::string strUser;
    BOOL bHasPwd;
    std::string strPwd; /* "-": read one line from standard input */

    /* modify: values to change */
    DsOptAddr_S stIp, stMask, stGw, stDns1, stDns2;
    BOOL bHasMediaPort;
    U16 u16MediaPort;
    BOOL bHasWebPort;
    U16 u16WebPort;
    S32 s32Mode; /* DS_MODE_UNSET, DS_MODE_DHCP, DS_MODE_STATIC */
    BOOL bLegacy;

    /* set-mac */
    std::string strNewMac; /* normalised "AA-BB-CC-DD-EE-FF" */
} DsOptions;

/* DsParseArgs: the whole command line (argv[0] is the program name).
 * pstOpt  [out] written only on success
 * pstrErr [out] on failure, one line saying what is wrong (no line end)
 * return 0, or -1 */
S32 DsParseArgs(int argc, const char* const* argv, DsOptions* pstOpt, std::string* pstrErr);

/* DsUsage: the manual-page-like help text. */
const char* DsUsage();

/* DsVersionLine: "devsearch <version>" (the project's version), no line end. */
const char* DsVersionLine();

/* DsParseIpv4: strict dotted decimal: four numbers 0-255, no signs, no spaces, no
 * leading zeros (inet_aton would read "010" as octal).
 * return 0 with au8Addr written, or -1 */
S32 DsParseIpv4(const char* ps8Text, U8 (&au8Addr)[4]);

/* DsFormatIpv4: "%u.%u.%u.%u" of the four bytes. */
std::string DsFormatIpv4(const U8 (&au8Addr)[4]);

/* DsParseMac: six pairs of two hex digits joined by ":" or "-" (one separator throughout),
 * either case. pstrNorm [out]: the form the device reports and compares case-sensitively,
 * upper-case hex joined by "-"; written only on success. return 0 or -1 */
S32 DsParseMac(const char* ps8Text, std::string* pstrNorm);

/* DsMacIsAssignable: a normalised MAC that an interface can carry: not all zero, and the
 * group bit (bit 0 of the first octet) clear. */
BOOL DsMacIsAssignable(const std::string& strNorm);

/* DsIsUnicastHost: not 0.0.0.0, not 255.255.255.255, not 127/8, below 224.0.0.0. */
BOOL DsIsUnicastHost(const U8 (&au8Addr)[4]);

/* DsIsValidMask: contiguous ones from the top, and not 0.0.0.0. */
BOOL DsIsValidMask(const U8 (&au8Mask)[4]);

/* DsParseUint: decimal digits only, within [u32Min, u32Max]. return 0 or -1 */
S32 DsParseUint(const char* ps8Text, U32 u32Min, U32 u32Max, U32* pu32Val);

/* DsParseSeconds: "2", "0.5", "1.25" (at most three decimals) as milliseconds within
 * [DS_MIN_TIMEOUT_MS, DS_MAX_TIMEOUT_MS]. return 0 or -1 */
S32 DsParseSeconds(const char* ps8Text, U32* pu32Ms);

#endif /* DEVSEARCH_DS_ARGS_H */
