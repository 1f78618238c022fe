/* SPDX-License-Identifier: MIT */
/* ds_plan.h: plans that re-address many devices (CSV files), read and written, and the
 * sequential addresses of `devsearch assign`. No network here.
 *
 *   std::vector<DsPlanRow_S> vecRows; U32 u32Line = 0; std::string strErr;
 *   if (DsParsePlan(strText, &vecRows, &u32Line, &strErr) != 0) -> "line 3: ..."
 *   DsAssignAddrs(vecDevsInOrder, au8From, stMask, stGw, &vecRows, &strErr);
 *   fputs(DsPlanCsv(vecRows).c_str(), stdout);
 *
 * A plan names each device by its MAC (column mac) and gives any of ip, netmask,
 * gateway, dns1, dns2 and mode; an empty cell keeps the device's value. The other columns
 * of a search CSV (DsDeviceFields) are read and ignored, so an edited search CSV is a
 * plan; any other column is refused. */
#ifndef DEVSEARCH_DS_PLAN_H
#define DEVSEARCH_DS_PLAN_H

#include <stddef.h>

#include <string>
#include <vector>

#include "ds_args.h"
#include "ds_wire.h"

/* A plan is for a site, not a flood: bounds on what is read. */
constexpr size_t DS_PLAN_MAX_BYTES = 4 * 1024 * 1024;
constexpr size_t DS_PLAN_MAX_ROWS = 10000;

/* One device of a plan and the settings to give it. */
typedef struct {
    U32 u32Line;                                    /* the line of the plan file it came from */
    std::string strMac;                             /* normalised "AA-BB-CC-DD-EE-FF" */
    DsOptAddr_S stIp, stMask, stGw, stDns1, stDns2; /* bSet false: keep the device's */
    S32 s32Mode;                                    /* DS_MODE_UNSET: keep */
} DsPlanRow_S;

/* One record of a CSV text and the line it starts on (1 is the first). */
typedef struct {
    U32 u32Line;
    std::vector<std::string> vecCells;
} DsCsvRecord_S;

/* DsReadCsv: the records of an RFC 4180 text. Lines end with CRLF or LF; blank lines are
 * skipped. A quote inside an unquoted cell, text after a closing quote, a CR that ends no
 * line and a quote left open are refused.
 * pvecOut     [out] written only on success
 * pu32ErrLine [out] on failure, the line of the fault
 * return 0, or -1 (pstrErr says what is wrong) */
S32 DsReadCsv(const std::string& strText, std::vector<DsCsvRecord_S>* pvecOut, U32* pu32ErrLine,
              std::string* pstrErr);

/* DsParsePlan: the rows of a plan, each checked: refused are an unknown or repeated
 * column, no mac column, a row with another number of cells than the header, a bad MAC,
 * address (ip: a unicast host), netmask (contiguous) or mode (static, dhcp, 2, 0; none
 * and empty keep), a MAC or a static address on two rows, no rows at all. A leading
 * byte order mark is skipped; cells are taken without surrounding blanks.
 * pvecOut     [out] written only on success
 * pu32ErrLine [out] on failure, the line of the fault (1 is the header)
 * return 0, or -1 (pstrErr says what is wrong) */
S32 DsParsePlan(const std::string& strText, std::vector<DsPlanRow_S>* pvecOut, U32* pu32ErrLine,
                std::string* pstrErr);

/* DsPlanCsv: a plan as CSV (CRLF line ends): mac, then each column some row fills. */
std::string DsPlanCsv(const std::vector<DsPlanRow_S>& vecRows);

/* DsAssignAddrs: one row per device that reports a MAC, in the order given, with
 * sequential addresses from au8From, skipping every address a device answers from, the
 * gateway (stGw, else the device's) and the network and broadcast addresses, within
 * au8From's subnet (stMask, else each device's own netmask). The rows carry stMask,
 * stGw, stDns1 and stDns2 as given.
 * pvecOut [out] written only on success
 * return 0, or -1 (the subnet has too few addresses, a device reports no usable netmask) */
S32 DsAssignAddrs(const std::vector<DsDevice>& vecDevs, const U8 (&au8From)[4],
                  const DsOptAddr_S& stMask, const DsOptAddr_S& stGw, const DsOptAddr_S& stDns1,
                  const DsOptAddr_S& stDns2, std::vector<DsPlanRow_S>* pvecOut,
                  std::string* pstrErr);

#endif /* DEVSEARCH_DS_PLAN_H */
