// SPDX-License-Identifier: MIT
/* comm_def.h: the date-and-time record the daemon's modules share. */
#ifndef COMMON_COMM_DEF_H
#define COMMON_COMM_DEF_H

#include <stddef.h>

#include "type.h"

/* Date and time as the device keeps it; 8 bytes, no padding. */
typedef struct {
    WORD Year;
    BYTE Month; /* 1..12 */
    BYTE Day;   /* 1..31 */
    BYTE Hour;
    BYTE Minute;
    BYTE Second;
    BYTE Reserved; /* ignored by every comparison */
} DateTime;

static_assert(sizeof(DateTime) == 8, "DateTime is 8 bytes");
static_assert(offsetof(DateTime, Month) == 2 && offsetof(DateTime, Reserved) == 7,
              "DateTime field offsets");

#endif /* COMMON_COMM_DEF_H */
