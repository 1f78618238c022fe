// SPDX-License-Identifier: MIT
/* intf_mactext.cpp: the MAC text conversion both the settings provider and
 * the discovery server's check run. */
#include "intf_mactext.h"

#include <string.h>

#include "comm_log.h"

size_t NetMacDashesToColons(S8* ps8Mac, size_t uFieldSize)
{
    COMM_ASSERT(ps8Mac != nullptr);
    S32 s32Dashes = 0;
    for (size_t i = 0; i < uFieldSize && ps8Mac[i] != '\0'; ++i) {
        if (ps8Mac[i] != '-') continue;
        ps8Mac[i] = ':';
        if (++s32Dashes == 5) {
            /* Six pairs are the whole address: keep the two characters after
             * the fifth separator and end the text there. A text that reaches
             * the end of the field has no room for (and needs no) terminator. */
            if (i + 3 < uFieldSize) ps8Mac[i + 3] = '\0';
            break;
        }
    }
    return strnlen(ps8Mac, uFieldSize);
}

S32 NetMacHexValue(int c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
