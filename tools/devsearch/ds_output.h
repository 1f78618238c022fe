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
    /* InOrder: in the order the devices' first replies came. */
    const std::vector<DsDevice>& InOrder() const noexcept { return m_vecDevs; }
    /* Devices whose MAC (normalised) or whose address equals the target. */
    std::vector<DsDevice> FindByMac(const std::string& strNormMac) const;
    std::vector<DsDevice> FindByIp(const std::string& strIp) const;

private:
    std::vector<DsDevice> m_vecDevs;
};

/* DsModeText: "dhcp", "static", "none" (all bits set) or the number. */
std::string DsModeText(U32 u32Mode);

/* Where the camera's web server runs the snapshot CGI. */
constexpr const char* DS_SNAPSHOT_PATH = "/cgi-bin/stillcgi";

/* DsDeviceUrl: "http://ADDRESS:WEBPORT/" of a device, or "" when its address is no dotted
 * quad or its web port is not 1-65535 (the texts come from the LAN).
 * DsSnapshotUrl: the snapshot CGI's URL on that server, without credentials, or "". */
std::string DsDeviceUrl(const DsDevice& stDev);
std::string DsSnapshotUrl(const DsDevice& stDev);

/* One value of a device's record as the outputs name and write it: a number, or a text
 * (raw bytes from the device; each output escapes it its own way). */
typedef struct {
    const char* ps8Name;
    std::string strValue;
    BOOL bNumber;
} DsField_S;

/* DsDeviceFields: the record in the order and with the names of the JSON object and the
 * CSV columns: ip, netmask, gateway, dns1, dns2, mac, mode, media_port, web_port,
 * device_type, device_type_code, version, device_id, name, hostname, channels, p2p_id,
 * interface, url, snapshot_url. */
std::vector<DsField_S> DsDeviceFields(const DsDevice& stDev);

/* DsJsonLine: one JSON object (no line end); texts escaped, invalid UTF-8 as U+FFFD.
 * The 64-bit type code is a hex string, since JSON readers lose precision above 2^53. */
std::string DsJsonLine(const DsDevice& stDev);

/* DsCsvCell: RFC 4180: quoted when it holds a comma, a quote, CR or LF; quotes doubled.
 * DsCsvHeader, DsCsvLine: the search as CSV, each line ending in CRLF: the names of
 * DsDeviceFields, then one line per device; invalid UTF-8 as U+FFFD and control bytes as
 * '?', so that every device is one line. */
std::string DsCsvCell(const std::string& strValue);
std::string DsCsvHeader();
std::string DsCsvLine(const DsDevice& stDev);

/* How a modify or set-mac ended, as its one JSON object reports it. */
typedef enum {
    DS_RESULT_APPLIED = 0,       /* the device answered (or a fresh search shows the change) */
    DS_RESULT_NO_REPLY,          /* sent, never answered: not applied */
    DS_RESULT_REFUSED_LOCALLY,   /* nothing was sent: the tool refused or could not send */
    DS_RESULT_REFUSED_BY_DEVICE, /* answered with a non-zero AckFlag: not applied */
    DS_RESULT_NOT_CONFIRMED,     /* answered, but no search showed the change within the wait */
    /* apply only */
    DS_RESULT_UNCHANGED,    /* the device holds these settings already: nothing sent */
    DS_RESULT_NOT_FOUND,    /* no device with the row's MAC answered the search */
    DS_RESULT_WOULD_CHANGE, /* --dry-run: this would be sent */
} DS_RESULT_E;

typedef struct {
    DS_RESULT_E enResult;
    BOOL bSetMac;               /* set-mac, else modify */
    std::string strReason;      /* empty when applied by reply; else why, in words */
    std::string strConfirmedBy; /* "reply", "search", or empty when not applied */
    BOOL bHasConfirmMs;         /* a search confirmed: u32ConfirmMs after the reply */
    U32 u32ConfirmMs;           /* (after the first send when no reply came) */
    BOOL bHasAck;               /* a reply came: u16Ack is its AckFlag */
    U16 u16Ack;
    BOOL bHasDevice; /* the target was found: stDevice is its search record */
    DsDevice stDevice;
    BOOL bHasRequest; /* a request was built: stReq holds the values sent */
    DsModifyReq stReq;
} DsOutcome_S;

/* DsResultText: "applied", "no_reply", "refused_locally", "refused_by_device",
 * "not_confirmed", "unchanged", "not_found", "would_change". */
const char* DsResultText(DS_RESULT_E enResult);

/* DsJsonOutcome: one JSON object (no line end) with the keys result, command, reason,
 * confirmed_by, confirm_ms, ack_flag, device, old and new. device is the search record
 * (the keys of DsJsonLine), or null when no device was selected; old and new hold the
 * values the command changes (set-mac: mac; modify: the addresses, mode and ports), null
 * when unknown. */
std::string DsJsonOutcome(const DsOutcome_S& stOutcome);

/* DsJsonApplyRow: the JSON object of one plan row: line and mac, then the keys of
 * DsJsonOutcome but command. */
std::string DsJsonApplyRow(U32 u32Line, const std::string& strMac, const DsOutcome_S& stOutcome);

/* DsPrintTable: a header line and one line per device; control bytes shown as '?'. */
void DsPrintTable(const std::vector<DsDevice>& vecDevs, FILE* pOut);

/* DsPrintApplyRow: one plan row as a table line (u32Line 0: the header line). */
void DsPrintApplyRow(U32 u32Line, const std::string& strMac, const DsOutcome_S& stOutcome,
                     FILE* pOut);

#endif /* DEVSEARCH_DS_OUTPUT_H */
