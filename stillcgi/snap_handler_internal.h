/* snap_handler_internal.h: the request road with its paths as parameters, so
 * tests can run it against their own key files and snapshot file. */
#ifndef STILLCGI_SNAP_HANDLER_INTERNAL_H
#define STILLCGI_SNAP_HANDLER_INTERNAL_H

#include "stillcgi_def.h"
#include "type.h"

typedef struct {
    const S8* ps8CheckKey;
    const S8* ps8RequestKey;
    const S8* ps8RunKey;
    const S8* ps8SnapFile;
} SNAP_PATHS_S;

constexpr SNAP_PATHS_S SNAP_DEFAULT_PATHS = {CFG_CHECK_KEY_PATH, CFG_REQUEST_KEY_PATH,
                                             CFG_RUN_KEY_PATH, SNAP_FILE_PATH};

/* One request: what cgiMain does with cgiQueryString and the device paths. */
S32 SnapServeRequest(const S8* ps8Query, const SNAP_PATHS_S& stPaths);

#endif /* STILLCGI_SNAP_HANDLER_INTERNAL_H */
