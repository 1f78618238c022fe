// SPDX-License-Identifier: MIT
/* stillcgi_def.h: the snapshot CGI's fixed paths, IPC keys, block layout and
 * budgets, each named once. Functions that touch a path or derive a key take
 * it as a parameter defaulting to the constant here. */
#ifndef STILLCGI_DEF_H
#define STILLCGI_DEF_H

#include <stddef.h>

#include "type.h"

/* ---- files ---- */
constexpr const S8* SNAP_FILE_PATH = "/dev/snap/snap.jpg"; /* written by zozid */
constexpr const S8* CFG_CHECK_KEY_PATH = "/mivor/check";   /* check segments */
constexpr const S8* CFG_REQUEST_KEY_PATH = "/mivor/zozid"; /* request segments */
constexpr const S8* CFG_RUN_KEY_PATH = "/mivor/run.sh";    /* run semaphore sets */
constexpr const S8* CFG_TEST_LOG_PATH = "test.log";        /* WriteLogToFile, cwd */
constexpr const S8* LOG_DEFAULT_DIR = "/mivor/log/";
constexpr const S8* LOG_DEFAULT_PREFIX = "zozid_";
constexpr const S8* LOG_RESET_FILE_PATH = "/mivor/reset.ini";
constexpr const S8* SNAP_GUARD_PATH = "/var/run/stillcgi.guard"; /* tmpfs on a camera */

/* ---- settings exchange with zozid ---- */
constexpr S32 CFG_BASE_KEY_NUM = 10;  /* base family */
constexpr S32 CFG_OTHER_KEY_NUM = 11; /* other family (user table) */
constexpr U32 CFG_BASE_BLOCK_SIZE = 4248;
constexpr U32 CFG_OTHER_BLOCK_SIZE = 4312;
constexpr U32 CFG_STATE_WORD_SIZE = 4; /* update-state / command word behind the block */
constexpr S32 CFG_STATE_IDLE = -1;
constexpr S32 CFG_ANSWER_DONE = 0x200;
constexpr S32 CFG_ANSWER_DONE2 = 0x600;
constexpr S32 CFG_ANSWER_FAIL = 0x100;
constexpr S32 CFG_POLL_SLEEP_US = 100;
constexpr S32 CFG_SEM_POST = 0;          /* semaphore guarding posting */
constexpr S32 CFG_SEM_WAIT = 1;          /* semaphore guarding waiting: a request's turn */
constexpr U32 CFG_TURN_WAIT_MS = 10000;  /* longest wait for the turn, and for posting */
constexpr S32 CFG_EXCHANGE_NO_TURN = -2; /* the turn did not come: nothing was posted */

/* user table of the other-family block */
constexpr U32 CFG_USER_TABLE_OFFSET = 2080;
constexpr U32 CFG_USER_COUNT = 30;
constexpr U32 CFG_USER_ENTRY_SIZE = 36;
constexpr U32 CFG_USER_FIELD_SIZE = 16; /* name and password fields */
constexpr U32 CFG_USER_NAME_MAX = 16;   /* longest name a lookup accepts */
constexpr U32 CFG_USER_TABLE_SIZE = CFG_USER_COUNT * CFG_USER_ENTRY_SIZE;

/* query readers and script replies */
constexpr U32 CFG_PARAM_TEXT_SIZE = 32;   /* caller's buffer for a text value */
constexpr U32 CFG_PARAM_WORK_SIZE = 256;  /* work buffer of the integer reader */
constexpr U32 CFG_RETURN_ADDR_SIZE = 260; /* address of a result page */
constexpr S32 CFG_COOKIE_PRIV_DEFAULT = 2;

/* ---- request handler ---- */
constexpr S32 SNAP_CMD_IMAGE = 36;
constexpr S32 SNAP_CMD_CAPTURE = 37;
constexpr S32 SNAP_MODE_CAPTURE = 1;
constexpr S32 SNAP_POLL_BUDGET = 500;
constexpr S32 SNAP_FILE_CHECKS = 5;
constexpr U32 SNAP_FILE_SLEEP_US = 200000;
constexpr U32 SNAP_COPY_BUF_SIZE = 10240;
/* An encoded user or password value: "%XX" for each byte of its 16-byte field,
 * one more to tell an overlong value, and the terminator. */
constexpr U32 SNAP_ENCODED_TEXT_SIZE = 3 * CFG_USER_FIELD_SIZE + 2;
constexpr U32 SNAP_RES_AREA_OFFSET = 1400; /* what IsSupportedResolution is given */
constexpr U32 SNAP_CUR_RES_OFFSET = 1404;  /* current resolution index */
constexpr U32 SNAP_CAPS_LO_OFFSET = 1405;  /* capability mask, low byte */
constexpr U32 SNAP_CAPS_HI_OFFSET = 1406;  /* capability mask, high byte */
constexpr U32 SNAP_REQ_RES_OFFSET = 2933;  /* resolution of this request */
constexpr U32 SNAP_REASON_OFFSET = 2936;   /* capture reason */
constexpr S32 SNAP_RES_ALWAYS_MAX = 3;     /* indexes up to this need no capability bit */
constexpr S32 SNAP_RES_LIMIT = 16;         /* first index always refused */

/* ---- bound on password guessing, per client address (as the daemon's) ---- */
constexpr U32 SNAP_GUARD_FAILS = 5;          /* failed checks that start a lock */
constexpr U64 SNAP_GUARD_WINDOW_MS = 60000;  /* ... when they fall within this time */
constexpr U64 SNAP_GUARD_LOCK_MS = 60000;    /* how long the address is then refused */
constexpr U32 SNAP_GUARD_ADDRS = 64;         /* addresses the state file holds */
constexpr U32 SNAP_GUARD_ADDR_SIZE = 64;     /* an address text with its zone, zero-padded */
constexpr U32 SNAP_GUARD_LOCK_WAIT_MS = 200; /* longest wait for the file's lock */

/* ---- debug log ---- */
constexpr U32 LOG_DIR_SIZE = 256;
constexpr U32 LOG_PREFIX_SIZE = 12;
constexpr S32 LOG_MAX_SIZE = 1048576;
constexpr S32 LOG_MAX_FILES = 5;
constexpr U32 LOG_PATH_SIZE = 320; /* directory + prefix + "NN.log" / "id.dat" */
constexpr U32 LOG_SEQ_LINE_SIZE = 64;
constexpr long LOG_RESET_FILE_MAX = 1024;

static_assert(SNAP_CUR_RES_OFFSET < CFG_BASE_BLOCK_SIZE && SNAP_REASON_OFFSET < CFG_BASE_BLOCK_SIZE,
              "handler offsets lie inside the base block");
static_assert(CFG_USER_TABLE_OFFSET + CFG_USER_COUNT * CFG_USER_ENTRY_SIZE <= CFG_OTHER_BLOCK_SIZE,
              "user table lies inside the other block");
static_assert(LOG_PATH_SIZE > LOG_DIR_SIZE + LOG_PREFIX_SIZE + 8, "log paths fit their buffer");

#endif /* STILLCGI_DEF_H */
