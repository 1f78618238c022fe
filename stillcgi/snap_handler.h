// SPDX-License-Identifier: MIT
/* snap_handler.h: the snapshot request handler, run once per CGI process.
 *
 *   GET /cgi-bin/stillcgi?user=NAME&psw=PASSWORD[&mode=1&reason=R][&resolution=N]
 *
 * Checks the user against zozid's user table, posts command 36 (image) or 37
 * (capture) with the base block, waits for the answer and, for an image,
 * takes "/dev/snap/snap.jpg" away from its path before it gives up its turn
 * (open, then remove), and sends it behind a CGI head. Every reply starts
 * with a CGI "Status: " line where it is not a 200 of text, so the web
 * server passes its HTTP status on; every head says "Connection: close";
 * header lines end in CR LF. Post, wait and pick-up run in the request's
 * turn (semaphore 1), which it waits for at most 10 s; five wrong passwords
 * in a minute lock the client's address for a minute (snap_guard.h). */
#ifndef STILLCGI_SNAP_HANDLER_H
#define STILLCGI_SNAP_HANDLER_H

#include <time.h>

#include "stillcgi_def.h"
#include "type.h"

/* cgiMain: serves the request in cgiQueryString.
 * return 0 after an image or capture reply (also after the empty-file reply),
 *        -1 after the 403, unsupported-resolution and 404-not-found replies */
int cgiMain();

/* SnapCheckUserAndPrivilege: 0 when an in-use entry of the user table has
 * exactly this name and password (fields read as text of at most 16 bytes),
 * else -1 (also for a null or empty name or password). */
S32 SnapCheckUserAndPrivilege(const S8* ps8User, const S8* ps8Passwd,
                              const S8* ps8CheckKey = CFG_CHECK_KEY_PATH);

/* IsSupportedResolution: pu8Area points at offset 1400 of the base block; the
 * capability mask is its bytes 5 (low) and 6 (high). Indexes up to 3 (-1
 * included) are accepted, 4 to 15 when their mask bit is set, 16 and above
 * never. return 1 if acceptable, else 0 */
S32 IsSupportedResolution(const U8* pu8Area, S32 s32Index);

/* flushimage: writes the image reply for the file to descriptor 1: the
 * head, then the bytes (SnapSendImage over the opened file); an empty file
 * gets the 404 "File Not Found" reply, a file that cannot be opened (a link
 * included) the 404 "Not Found" one, a file whose status cannot be read
 * nothing. Kept without a caller in the program: it is the handler's
 * published name for "send this file", while the request road sends from
 * the descriptor it took in its turn (snap_handler_internal.h), so no other
 * request's file can take its place.
 * return 0 when the image headers went out, -1 otherwise */
S32 flushimage(const S8* ps8Path);

/* getfileinfo: size of the file in bytes, its modification time through
 * ptMtime; -1 ("Failed to get stat from file: %s" on standard error) when
 * the file's status cannot be read. */
S32 getfileinfo(const S8* ps8Path, time_t* ptMtime);

/* The fixed status texts: "HTTP/1.1 404 Not Found\n",
 * "HTTP/1.1 403 Forbidden\n" and "HTTP/1.1 408 Request Timeout\n". */
VOID filenotfound();
VOID ErrorForbid();
VOID ErrorTimeOut();

#endif /* STILLCGI_SNAP_HANDLER_H */
