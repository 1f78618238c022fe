/* ds_output.h: the devices a search found, kept once each, and how they are printed.
 *
 *   DsDeviceList stList; stList.Add(stDev);          // per reply; false for a repeat
 *   DsPrintTable(stList.Sorted(), stdout);            // or DsJsonLine(dev) per device
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

/* DsPrintTable: a header line and one line per device; control bytes shown as '?'. */
void DsPrintTable(const std::vector<DsDevice>& vecDevs, FILE* pOut);

#endif /* DEVSEARCH_DS_OUTPUT_H */
