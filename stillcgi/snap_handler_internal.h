// SPDX-License-Identifier: MIT
/* snap_handler_internal.h: the request road with its paths as parameters, so
 * tests can run it against their own key files and snapshot file, and the
 * helpers of the road worth a test of their own. */
#ifndef STILLCGI_SNAP_HANDLER_INTERNAL_H
#define STILLCGI_SNAP_HANDLER_INTERNAL_H

#include "config.h"
#include "stillcgi_def.h"
#include "type.h"

typedef struct {
    const S8* ps8CheckKey;
    const S8* ps8RequestKey;
    const S8* ps8RunKey;
    const S8* ps8SnapFile;
    const S8* ps8GuardFile; /* state of the guessing bound; null: no bound */
} SNAP_PATHS_S;

constexpr SNAP_PATHS_S SNAP_DEFAULT_PATHS = {CFG_CHECK_KEY_PATH, CFG_REQUEST_KEY_PATH,
                                             CFG_RUN_KEY_PATH, SNAP_FILE_PATH, SNAP_GUARD_PATH};

/* One request: what cgiMain does with cgiQueryString, cgiRequestMethod,
 * cgiRemoteAddr and the device paths. A "HEAD" request gets the head a GET
 * would get and no body, and posts nothing. An address locked by the
 * guessing bound (snap_guard.h) gets the 403 reply without a check. */
S32 SnapServeRequest(const S8* ps8Query, const SNAP_PATHS_S& stPaths, const S8* ps8Method = "GET",
                     const S8* ps8RemoteAddr = "");

/* SnapUrlDecode: a query value with "%XX" escapes and "+" for a blank undone.
 * ps8Dst [out] terminated; holds at most u32DstSize - 1 bytes
 * return the decoded length, or -1 (null argument, an escape without two hex
 *        digits, an escape giving a zero byte, or a result that does not fit) */
S32 SnapUrlDecode(const S8* ps8Src, S8* ps8Dst, U32 u32DstSize);

/* SnapTakeFile: the file wait, taking the snapshot away from its path: up to
 * 5 checks 200 ms apart and one more, each an open of a regular file. The
 * path is removed right after the open, but only while it still names the
 * file opened, so a newer snapshot put there meanwhile stays for its request.
 * The wait ends, and nothing is taken, as soon as ExchangeTurnHeld(pstTurn)
 * says the file can no longer be this request's (null: no such check).
 * return the open descriptor (the caller closes it), or -1 */
S32 SnapTakeFile(const S8* ps8Path, const CFG_TURN_S* pstTurn = nullptr);

/* SnapSendImage: the image reply for a taken file on descriptor 1 (what
 * cgiOut holds goes first): the head, then the bytes. An empty file gets the 404 "File Not Found"
 * reply, a file whose status cannot be read the 404 "Not Found" one.
 * return 0 when the image headers went out, -1 otherwise */
S32 SnapSendImage(S32 s32Fd);

#endif /* STILLCGI_SNAP_HANDLER_INTERNAL_H */
