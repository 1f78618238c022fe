// SPDX-License-Identifier: MIT
/* debug_log_internal.h: pieces of the log module that tests drive directly. */
#ifndef STILLCGI_DEBUG_LOG_INTERNAL_H
#define STILLCGI_DEBUG_LOG_INTERNAL_H

#include <sys/time.h>

#include "type.h"

/* LogResetTimes with the clock reading given. */
VOID LogResetTimesAt(const struct timeval* pstNow, const S8* ps8ResetPath);

/* Name of a level: "ERR", "WAN", "NOT", "DBG", else the empty text. */
const S8* LogLevelName(S32 s32Level);

#endif /* STILLCGI_DEBUG_LOG_INTERNAL_H */
