// SPDX-License-Identifier: MIT
/* search_intf_internal.h: the helpers behind NetInterface, each taking the path
 * it touches so unit tests can point it at a temporary directory.
 *
 *   NETINI_S stIni;
 *   if (NetIniRead(ps8TmpIni, NETINI_VIEW_STATE, &stIni) == 0 && stIni.enEnd ==
 * NETINI_END_COMPLETE)
 *       ...;  // stIni.s32IpNum[0..3] hold the four ipaddr numbers
 *
 * The NetIntf* functions are the bodies of the overrides; the shipped class
 * calls them with the device paths of devfinder_def.h. Their trace lines carry
 * the name of the operation they serve. The NetIni* functions (the settings
 * file) are in netini.cpp, the rest in search_intf.cpp. */
#ifndef DEVFINDER_SEARCH_INTF_INTERNAL_H
#define DEVFINDER_SEARCH_INTF_INTERNAL_H

#include <stddef.h>

#include "comm_log.h"
#include "devfinder_def.h"
#include "VXNetProtocol.h"
#include "intf_mactext.h"
#include "intf_paramconfig.h"
#include "type.h"

/* A trace line "<FUNC>:(line), text", under the daemon's log budget. */
#define NETINTF_TRACE(FUNC, ...) CommTraceLine(FUNC, __LINE__, __VA_ARGS__)

/* Longest values the settings file holds, without terminator. */
constexpr size_t NETINI_ADDR_TEXT_MAX = 31; /* ipaddr, netmask, gateway, macaddr */
constexpr size_t NETINI_IPV6_TEXT_MAX = 63; /* ipv6addr, ipv6gateway */
constexpr S32 NETINI_LINE_COUNT = 9;
/* The rewrite: longest settings path, and the temporary file beside it
 * ("<dir>/.<name>" NETINI_TMP_SUFFIX) that is renamed over it. */
constexpr size_t NETINI_PATH_MAX = 4096;
constexpr const char* NETINI_TMP_SUFFIX = ".new";

/* Widths of the fields a modification request carries the MAC text, the user
 * name and the password in. */
constexpr size_t NETINTF_MAC_FIELD_SIZE = INTF_MAC_FIELD_SIZE;
constexpr size_t NETINTF_USER_NAME_SIZE = sizeof(NetMDevInfoReq::user);
constexpr size_t NETINTF_USER_PWD_SIZE = sizeof(NetMDevInfoReq::pwd);

/* The lookup of the main application's PID, run through the shell; %s is
 * DEVFINDER_MAIN_APP_COMMAND. Of the lines ps lists, the header names the
 * command column; the first process whose command starts with exactly that
 * word (with or without arguments) gives the PID in the first column. Neither
 * the pipeline's own shell and awk, nor a process that only mentions the name
 * in an argument or a path (tail -f .../zozid_01.log, ./zozid-helper), match. */
constexpr char NETINTF_PS_LIST_FMT[] =
    "ps -e | awk 'NR==1{for(i=1;i<=NF;i++)if($i==\"COMMAND\"||$i==\"CMD\")c=i;next}"
    "c&&$c==\"%s\"{print $1;exit}'";
/* The command that signals the main application. */
constexpr const char* NETINTF_KILL_CMD = "kill";
constexpr const char* NETINTF_REBOOT_CMD = "reboot";

/* How a read of the settings file ended. */
typedef enum {
    NETINI_END_COMPLETE = 0, /* every line the reader wanted matched */
    NETINI_END_SHORT = 1,    /* the file ended before the remaining lines */
    NETINI_END_BAD_LINE = 2, /* a line is present but does not match its key and pattern */
} NETINI_END_E;

/* The patterns each reader applies: they differ on lines 2, 3 and 5. */
typedef enum {
    NETINI_VIEW_DEVINFO = 0, /* lines 1-5: ipaddr, netmask, gateway as text, macaddr as six hex */
    NETINI_VIEW_STATE = 1,   /* lines 1-5: ipaddr, netmask as four decimals, gateway as text,
                                macaddr as six hex */
    NETINI_VIEW_REWRITE = 2, /* lines 1-9, each value as text or integer */
} NETINI_VIEW_E;

/* The settings file as read. A value that was not read keeps its default:
 * 0, empty text, a MAC of six zero bytes (as text "00:00:00:00:00:00" in
 * NETINI_VIEW_REWRITE). Texts are always terminated. */
typedef struct {
    S32 s32Dhcp;
    S8 s8IpAddr[NETINI_ADDR_TEXT_MAX + 1];
    S8 s8NetMask[NETINI_ADDR_TEXT_MAX + 1];
    S8 s8GateWay[NETINI_ADDR_TEXT_MAX + 1];
    S8 s8MacAddr[NETINI_ADDR_TEXT_MAX + 1];
    S32 s32NetType;
    S8 s8Ipv6Addr[NETINI_IPV6_TEXT_MAX + 1];
    S32 s32Ipv6PrefixLen;
    S8 s8Ipv6GateWay[NETINI_IPV6_TEXT_MAX + 1];
    S32 s32IpNum[4];   /* NETINI_VIEW_STATE: the four ipaddr numbers */
    S32 s32MaskNum[4]; /* NETINI_VIEW_STATE: the four netmask numbers */
    U8 u8Mac[6];       /* NETINI_VIEW_DEVINFO and NETINI_VIEW_STATE */
    S32 s32LinesRead;  /* lines that matched, from the first */
    NETINI_END_E enEnd;
} NETINI_S;

/* NetIniRead: reads the settings file with the patterns of one reader.
 * ps8Path [in]  settings file; opened without blocking, read only when it is a
 *               regular file (a FIFO or a directory there must not hang a search)
 * enView  [in]  which reader's patterns apply
 * pstIni  [out] the values; on success every field is defined (see NETINI_S)
 * return 0 (see pstIni->enEnd for how far it got), or -1 when the file cannot be
 * opened (errno of open) or is not a regular file (errno EISDIR or EINVAL);
 * pstIni is then untouched */
S32 NetIniRead(const char* ps8Path, NETINI_VIEW_E enView, NETINI_S* pstIni);

/* Bytes of the settings file one read can share between the readers of a
 * request; a longer file is read by each reader itself. A file as the main
 * application writes it is about 200 bytes. */
constexpr size_t NETINI_SHARE_MAX = 1024;
/* Longest settings path a shared read keeps (a longer one is not shared). */
constexpr size_t NETINI_SHARE_PATH_MAX = 256;

/* One read of the settings file for all readers of one request (see
 * IRequestScope): the first reader inside a request reads the file, the
 * others parse the same bytes, so one search reads it once and its answers
 * agree. Outside a request every reader reads for itself. Initialise with
 * NetIniShareEnd; the buffers need no clearing. */
typedef struct NETINI_SHARE_S {
    BOOL bOpen;                        /* inside a request */
    BOOL bRead;                        /* read in this request */
    S32 s32Err;                        /* 0, or errno of the open that failed */
    BOOL bWhole;                       /* s8Bytes hold the whole file */
    size_t uLen;                       /* bytes in s8Bytes */
    S8 s8Path[NETINI_SHARE_PATH_MAX];  /* the file that was read, terminated */
    S8 s8Bytes[NETINI_SHARE_MAX];
} NETINI_SHARE_S;

/* NetIniShareBegin / NetIniShareEnd: a request starts (nothing read yet) /
 * ends (nothing read may serve again). NetIniShareForget: the file changed
 * within the request; the next reader reads it again. */
VOID NetIniShareBegin(NETINI_SHARE_S* pstShare);
VOID NetIniShareEnd(NETINI_SHARE_S* pstShare);
VOID NetIniShareForget(NETINI_SHARE_S* pstShare);

/* NetIniReadShared: NetIniRead, from the request's one read of ps8Path when
 * pstShare is inside a request (the first reader reads for the others).
 * pstShare may be null; outside a request, or for another path, a path of
 * NETINI_SHARE_PATH_MAX characters or more, or a file longer than the shared
 * read holds, it is NetIniRead. Same results, outputs and errno as NetIniRead. */
S32 NetIniReadShared(const char* ps8Path, NETINI_VIEW_E enView, NETINI_SHARE_S* pstShare,
                     NETINI_S* pstIni);

/* NetIniFormat: the nine lines of the file for pstIni, in file order.
 * return the length written (terminator not counted), or -1 when a text holds
 * white space or exceeds its capacity (it would not read back as written) or
 * the buffer is too small; ps8Buf is then unspecified */
S32 NetIniFormat(const NETINI_S* pstIni, S8* ps8Buf, size_t uBufSize);

/* NetIntfGetDevInfo: body of NetInterface::GetDevInfo; reads through
 * NetIniReadShared with pstShare (may be null).
 * return 0; pDevInfo is untouched when the file cannot be opened */
S32 NetIntfGetDevInfo(DEVINFO_S* pDevInfo, const char* ps8Path = DEVFINDER_NETWORK_INI,
                      NETINI_SHARE_S* pstShare = nullptr);

/* NetIntfGetNetworkState: body of NetInterface::GetNetworkState; reads through
 * NetIniReadShared with pstShare (may be null).
 * ps32Mode required; pu8Ip and pu8NetMask (4 bytes each) may be NULL.
 * return 0; nothing is written when the file cannot be opened */
S32 NetIntfGetNetworkState(S32* ps32Mode, U8* pu8Ip, U8* pu8NetMask,
                           const char* ps8Path = DEVFINDER_NETWORK_INI,
                           NETINI_SHARE_S* pstShare = nullptr);

/* NetIntfNetBasicParam: body of NetInterface::NetBasicParamAdapter: NetIniUpdate,
 * then NetSignalMainApp(ps8KillCmd) when it asks for it. It always reads the
 * file itself; after the set direction, the request's shared read (pstShare,
 * may be null) is forgotten.
 * return 0 (get direction, or the change stored), or -1 when nothing could be
 * stored (no file, not a regular file, a line not read, a value refused, a
 * write, sync or rename failure); the main application is then not told */
S32 NetIntfNetBasicParam(VOID* pNetBasicSet, VOID* pMac, BOOL bDirection,
                         const char* ps8Path = DEVFINDER_NETWORK_INI,
                         const char* ps8KillCmd = NETINTF_KILL_CMD,
                         NETINI_SHARE_S* pstShare = nullptr);

/* NetIniUpdate: the file part of NetBasicParamAdapter. Get direction: reads and
 * changes nothing. Set direction: replaces the file (addresses from
 * pNetBasicSet, a VXNet_NetworkBaseSet_t, or else the MAC text of the 36-byte
 * field pMac, converted in place) by a synced temporary file renamed over it;
 * a symlink at ps8Path stays, the file it names is replaced. Never creates the
 * settings file.
 * return 1 when the main application is to be told the file changed, 0 for the
 * get direction, -1 when the file could not be read or the change could not be
 * stored (a trace line says why; the file is then as it was) */
S32 NetIniUpdate(const VOID* pNetBasicSet, VOID* pMac, BOOL bDirection,
                 const char* ps8Path = DEVFINDER_NETWORK_INI);

/* NetSignalMainApp: finds the main application's PID with the shell pipeline
 * NETINTF_PS_LIST_FMT and runs "<ps8KillCmd> -USR1 <pid>" through the shell. The
 * PID text is the whole first line of the pipeline's output, used only when it
 * is a decimal number without leading zero; otherwise no command runs.
 * return 0 when the command was run, -1 when no usable PID text was found */
S32 NetSignalMainApp(const char* ps8KillCmd = NETINTF_KILL_CMD);

/* NetUserTableCheck: looks a user up in the user table of the other-parameter
 * block that the main application publishes under ftok(ps8KeyPath, 11). The
 * name is taken up to uNameSize bytes, the password up to uPwdSize bytes.
 * return 1 when an in-use entry has this name and password, CHECK_USER_FAILED
 * when none has, CHECK_USER_UNAVAILABLE when the table cannot be read (no key
 * file, no segment, one too small or not attachable; a trace line says why) */
S32 NetUserTableCheck(const S8* ps8Name, size_t uNameSize, const S8* ps8Pwd, size_t uPwdSize,
                      const char* ps8KeyPath = DEVFINDER_CHECK_KEY_PATH);

#endif /* DEVFINDER_SEARCH_INTF_INTERNAL_H */
