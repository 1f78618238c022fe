// SPDX-License-Identifier: MIT
/* intf_snaptreport.h: registration of snapshot-report consumers. */
#ifndef INTERFACE_INTF_SNAPTREPORT_H
#define INTERFACE_INTF_SNAPTREPORT_H

#include "intf_default.h"

/* ISNPReport: who gets the snapshot reports. */
class ISNPReport {
public:
    ISNPReport() = default;
    virtual ~ISNPReport();

    // clang-format off
    /* consumers */
    INTF_DEFAULT(S32, SNPRegister,    (VOID* /*pConsumer*/), -1)
    INTF_DEFAULT(S32, SNPRUnRegister, (VOID* /*pConsumer*/), -1)
    INTF_DEFAULT(S32, SNPREnable,     (BOOL /*bEnable*/),    -1)
    // clang-format on
};

#endif /* INTERFACE_INTF_SNAPTREPORT_H */
