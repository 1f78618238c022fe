// SPDX-License-Identifier: MIT
/* intf_mactext.h: the MAC text of a modification request, as the device
 * stores it. The settings provider converts the request's field with
 * NetMacDashesToColons before it writes the settings file; the discovery
 * server checks the same conversion, run on a copy, before it lets the
 * request through, so the text checked is always the text stored.
 *
 *   S8 s8Mac[INTF_MAC_FIELD_SIZE] = "00-11-22-33-44-55";
 *   NetMacDashesToColons(s8Mac, sizeof(s8Mac));   // "00:11:22:33:44:55" */
#ifndef INTERFACE_INTF_MACTEXT_H
#define INTERFACE_INTF_MACTEXT_H

#include <stddef.h>

#include "VXNetProtocol.h"
#include "type.h"

/* Width of the request's MAC field. */
constexpr size_t INTF_MAC_FIELD_SIZE = sizeof(NewNetMDevInfoReq::macAddr);

/* NetMacDashesToColons: the in-place conversion of a client's MAC text.
 * Walks up to a NUL or uFieldSize bytes, turns each "-" into ":", and right
 * after the fifth one ends the text two characters later (when that byte is
 * still inside the field). Nothing is written outside the field.
 * return the length of the resulting text (at most uFieldSize) */
size_t NetMacDashesToColons(S8* ps8Mac, size_t uFieldSize);

/* NetMacHexValue: value of one hex digit (either case), or -1 for any other
 * character. */
S32 NetMacHexValue(int c);

#endif /* INTERFACE_INTF_MACTEXT_H */
