// SPDX-License-Identifier: MIT
/* zozid_opts.h: command line of the stand-in main application.
 *
 *   ZozidOptions_S stOpts;
 *   std::string strErr;
 *   if (ParseZozidArgs(argc, argv, &stOpts, &strErr) != 0) { ... print strErr ... }
 */
#ifndef ZOZID_OPTS_H
#define ZOZID_OPTS_H

#include <string>
#include <vector>

#include "type.h"

constexpr const char* ZOZID_MIVOR_DIR = "/mivor";
constexpr const char* ZOZID_SNAP_DIR = "/dev/snap";
constexpr U32 ZOZID_USER_MAX = 30;      /* entries of the user table */
constexpr U32 ZOZID_USER_TEXT_LEN = 16; /* name and password fields */
constexpr S32 ZOZID_ANSWER_NONE = -1;   /* --answer none: never write an answer */
constexpr U32 ZOZID_DELAY_MAX_MS = 60000;
constexpr U32 ZOZID_JPEG_SIZE_MAX = 16u * 1024u * 1024u;

typedef enum { ZOZID_FILE_JPEG, ZOZID_FILE_EMPTY, ZOZID_FILE_NONE } ZOZID_FILE_E;

typedef struct ZozidUser_S {
    std::string strName;     /* 1..16 bytes */
    std::string strPassword; /* 0..16 bytes */
    U8 u8Privilege;
} ZOZID_USER_S;

typedef struct ZozidOptions_S {
    std::string strMivor = ZOZID_MIVOR_DIR; /* settings file and key files */
    std::string strSnap = ZOZID_SNAP_DIR;   /* where snap.jpg is written */
    std::vector<ZOZID_USER_S> vecUsers;
    U8 u8Resolution = 3;   /* base block byte 1404 */
    U16 u16Caps = 0xFFF0;  /* base block bytes 1405 (low) and 1406 (high) */
    std::string strIface;  /* apply addresses here on SIGUSR1; empty: don't */
    S32 s32Answer = 0x200; /* bits or'ed into the command code, or ZOZID_ANSWER_NONE */
    U32 u32DelayMs = 0;    /* from taking a command to answering it */
    ZOZID_FILE_E enFile = ZOZID_FILE_JPEG;
    U32 u32JpegSize = 0;       /* 0: whatever the encoder gives */
    std::string strDumpPosted; /* copy of the last posted base block goes here */
    std::string strDumpImage;  /* copy of the last snapshot written goes here */
    BOOL bFillPattern = false; /* base block bytes not named get a pattern, not 0 */
    U32 u32PollUs = 150;       /* pause between two looks at the segments */
    BOOL bFast = false;        /* no pause: woken by every post */
    BOOL bMarkImages = false;  /* each snapshot its own file with a numbered comment */
    S32 s32EmptyAt = -1;       /* image commands for this resolution get an empty file */
    BOOL bVerbose = false;     /* a line on stdout for every command taken and answered */
} ZOZID_OPTIONS_S;

/* ParseUserSpec: "NAME:PASSWORD[:PRIVILEGE]". The name ends at the first ':'.
 * A last ':' followed by a decimal number 0..255 gives the privilege (default 1),
 * so a password may itself contain ':' as long as it does not end in ":<digits>".
 * return 0, or -1 (empty or overlong name, overlong password); *pstUser is
 * written only on success */
int ParseUserSpec(const char* ps8Spec, ZOZID_USER_S* pstUser);

/* ParseNumber: decimal, or hexadecimal with 0x, the whole text, 0..u32Max.
 * return 0, or -1 (*pu32Val untouched) */
int ParseNumber(const char* ps8Text, U32 u32Max, U32* pu32Val);

/* ParseZozidArgs: fills *pstOpts from argv[1..].
 * return 0, 1 for --help (usage in *pstrErr), or -1 with the reason in *pstrErr */
int ParseZozidArgs(int argc, char** argv, ZOZID_OPTIONS_S* pstOpts, std::string* pstrErr);

extern const char* const ZOZID_USAGE;

#endif /* ZOZID_OPTS_H */
