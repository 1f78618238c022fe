// SPDX-License-Identifier: MIT
/* ds_output.h: the devices a search found, kept once each, and how they are printed.
 *
 *   DsDeviceList stList; stList.Add(stDev);          // per reply; false for a repeat
 *   DsPrintTable(stList.Sorted(), stdout);            // or DsJsonLine(dev) per device
 *   printf("%s\n", DsJsonOutcome(stOutcome).c_str()); // modify / set-mac --json
 */
#ifndef DEVSEARCH_DS_OUTPUT_H
#define DEVSEARCH_DS_OUTPUT_H

#include <stdio.h>

#include <string>
#include <vector>

#include "ds_wire.h"

/* DsDeviceKey: what makes a device one device: its MAC text, else its address. */
std::string DsDeviceKey(const DsDevice& stDev);

class DsDeviceList {
public:
    /* Add: keeps the first reply of each device; return true when it was new. */
    bool Add(const DsDevice& stDev);
    size_t Size() const noexcept { return m_vecDevs.size(); }
    /* Sorted: by address (numerically), then MAC; unreadable addresses last. */
    std::vector<DsDevice> Sorted() const;
    /* Devices whose MAC (normalised) or whose address equals the target. */
    std::vector<DsDevice> FindByMac(const std::string& strNormMac) const;
    std::vector<DsDevice> FindByIp(const std::string& strIp) const;

private:
    std::vector<DsDevice> m_vecDevs;
};

/* DsModeText: "dhcp", "static", "none" (all bits set) or the number. */
std::string DsModeText(U32 u32Mode);

/* DsJsonLine: one JSON object (no line end); texts escaped, invalid UTF-8 as U+FFFD.
 * The 64-bit type code is a hex string, since JSON readers lose precision above 2^53. */
std::string DsJsonLine(const DsDevice& stDev);

/* How a modify or set-mac ended, as its one JSON object reports it. */
typedef enum {
    DS_RESULT_APPLIED = 0,      /* the device answered (or a fresh search shows the change) */
    DS_RESULT_NO_REPLY,         /* sent, never answered: not applied */
    DS_RESULT_REFUSED_LOCALLY,  /* nothing was sent: the tool refused or could not send */
    DS_RESULT_REFUSED_BY_DEVICE /* answered with a non-zero AckFlag: not applied */
} DS_RESULT_E;

typedef struct {
    DS_RESULT_E enResult;
    BOOL bSetMac;               /* set-mac, else modify */
    std::string strReason;      /* empty when applied by reply; else why, in words */
    std::string strConfirmedBy; /* "reply", "search", or empty when not applied */
    BOOL bHasAck;               /* a reply came: u16Ack is its AckFlag */
    U16 u16Ack;
    BOOL bHasDevice; /* the target was found: stDevice is its search record */
    DsDevice stDevice;
    BOOL bHasRequest; /* a request was built: stReq holds the values sent */
    DsModifyReq stReq;
} DsOutcome_S;

/* DsResultText: "applied", "no_reply", "refused_locally", "refused_by_device". */
const char* DsResultText(DS_RESULT_E enResult);

/* DsJsonOutcome: one JSON object (no line end) with the keys result, command, reason,
 * confirmed_by, ack_flag, device, old and new. device is the search record (the keys of
 * DsJsonLine), or null when no device was selected; old and new hold the values the command
 * changes (set-mac: mac; modify: the addresses, mode and ports), null when unknown. */
std::string DsJsonOutcome(const DsOutcome_S& stOutcome);

/* DsPrintTable: a header line and one line per device; control bytes shown as '?'. */
void DsPrintTable(const std::vector<DsDevice>& vecDevs, FILE* pOut);

#endif /* DEVSEARCH_DS_OUTPUT_H */
