// SPDX-License-Identifier: MIT
/* search_intf_internal.h: what NetInterface's tests reach inside it: its fixed
 * texts and sizes, and the signal to the main application.
 *
 *   NetSignalMainApp("kill");   // "kill -USR1 <pid>" for the main application
 *
 * Its trace lines carry the name of the operation they serve. */
#ifndef DEVFINDER_SEARCH_INTF_INTERNAL_H
#define DEVFINDER_SEARCH_INTF_INTERNAL_H

#include <stddef.h>

#include "VXNetProtocol.h"
#include "comm_log.h"
#include "intf_mactext.h"
#include "type.h"

/* A trace line "<FUNC>:(line), text", under the daemon's log budget. */
#define NETINTF_TRACE(FUNC, ...) CommTraceLine(FUNC, __LINE__, __VA_ARGS__)

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
/* The command that signals the main application, and the one that reboots. */
constexpr const char* NETINTF_KILL_CMD = "kill";
constexpr const char* NETINTF_REBOOT_CMD = "reboot";

/* NetSignalMainApp: finds the main application's PID with the shell pipeline
 * NETINTF_PS_LIST_FMT and runs "<ps8KillCmd> -USR1 <pid>" through the shell. The
 * PID text is the whole first line of the pipeline's output, used only when it
 * is a decimal number without leading zero; otherwise no command runs.
 * return 0 when the command was run, -1 when no usable PID text was found */
S32 NetSignalMainApp(const char* ps8KillCmd = NETINTF_KILL_CMD);

#endif /* DEVFINDER_SEARCH_INTF_INTERNAL_H */
