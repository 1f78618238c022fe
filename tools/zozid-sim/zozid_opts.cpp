// SPDX-License-Identifier: MIT
#include "zozid_opts.h"

#include <string.h>

const char* const ZOZID_USAGE =
    "usage: zozid [--mivor DIR] [--snap DIR] [--user NAME:PASSWORD[:PRIVILEGE]]...\n"
    "             [--resolution N] [--caps MASK] [--iface IFNAME]\n"
    "             [--answer 0x200|0x600|0x100|none] [--delay-ms N]\n"
    "             [--file jpeg|empty|none] [--empty-file-at RESOLUTION] [--jpeg-size BYTES]\n"
    "             [--dump-posted PATH] [--dump-image PATH] [--fill-pattern]\n"
    "             [--poll-us N | --fast] [--mark-images] [--verbose]\n";

int ParseNumber(const char* ps8Text, U32 u32Max, U32* pu32Val)
{
    if (ps8Text == nullptr || *ps8Text == '\0') {
        return -1;
    }
    U32 u32Base = 10;
    const char* ps8Pos = ps8Text;
    if (ps8Pos[0] == '0' && (ps8Pos[1] == 'x' || ps8Pos[1] == 'X')) {
        u32Base = 16;
        ps8Pos += 2;
        if (*ps8Pos == '\0') {
            return -1;
        }
    }
    U64 u64Val = 0;
    for (; *ps8Pos != '\0'; ++ps8Pos) {
        U32 u32Digit;
        const char c = *ps8Pos;
        if (c >= '0' && c <= '9') {
            u32Digit = (U32)(c - '0');
        } else if (u32Base == 16 && c >= 'a' && c <= 'f') {
            u32Digit = (U32)(c - 'a' + 10);
        } else if (u32Base == 16 && c >= 'A' && c <= 'F') {
            u32Digit = (U32)(c - 'A' + 10);
        } else {
            return -1;
        }
        u64Val = u64Val * u32Base + u32Digit;
        if (u64Val > u32Max) {
            return -1;
        }
    }
    *pu32Val = (U32)u64Val;
    return 0;
}

int ParseUserSpec(const char* ps8Spec, ZOZID_USER_S* pstUser)
{
    if (ps8Spec == nullptr || pstUser == nullptr) {
        return -1;
    }
    const char* ps8Colon = strchr(ps8Spec, ':');
    if (ps8Colon == nullptr || ps8Colon == ps8Spec) {
        return -1;
    }
    ZOZID_USER_S stUser;
    stUser.strName.assign(ps8Spec, (size_t)(ps8Colon - ps8Spec));
    stUser.strPassword = ps8Colon + 1;
    stUser.u8Privilege = 1;
    const size_t sLast = stUser.strPassword.rfind(':');
    if (sLast != std::string::npos) {
        U32 u32Priv = 0;
        if (ParseNumber(stUser.strPassword.c_str() + sLast + 1, 255, &u32Priv) == 0 &&
            stUser.strPassword.compare(sLast + 1, 2, "0x") != 0) {
            stUser.u8Privilege = (U8)u32Priv;
            stUser.strPassword.resize(sLast);
        }
    }
    if (stUser.strName.size() > ZOZID_USER_TEXT_LEN ||
        stUser.strPassword.size() > ZOZID_USER_TEXT_LEN) {
        return -1;
    }
    *pstUser = stUser;
    return 0;
}

namespace {

int ParseAnswer(const char* ps8Text, S32* ps32Answer)
{
    if (strcmp(ps8Text, "none") == 0) {
        *ps32Answer = ZOZID_ANSWER_NONE;
        return 0;
    }
    U32 u32Val = 0;
    if (ParseNumber(ps8Text, 0xFFFF, &u32Val) != 0) {
        return -1;
    }
    if (u32Val != 0x200 && u32Val != 0x600 && u32Val != 0x100) {
        return -1;
    }
    *ps32Answer = (S32)u32Val;
    return 0;
}

int ParseFileMode(const char* ps8Text, ZOZID_FILE_E* penFile)
{
    if (strcmp(ps8Text, "jpeg") == 0) {
        *penFile = ZOZID_FILE_JPEG;
    } else if (strcmp(ps8Text, "empty") == 0) {
        *penFile = ZOZID_FILE_EMPTY;
    } else if (strcmp(ps8Text, "none") == 0) {
        *penFile = ZOZID_FILE_NONE;
    } else {
        return -1;
    }
    return 0;
}

}  // namespace

int ParseZozidArgs(int argc, char** argv, ZOZID_OPTIONS_S* pstOpts, std::string* pstrErr)
{
    ZOZID_OPTIONS_S stOpts;
    for (int i = 1; i < argc; ++i) {
        const std::string strOpt = argv[i];
        if (strOpt == "--help" || strOpt == "-h") {
            *pstrErr = ZOZID_USAGE;
            return 1;
        }
        /* options without a value */
        const struct {
            const char* ps8Name;
            BOOL* pbSet;
        } astFlags[] = {{"--fill-pattern", &stOpts.bFillPattern},
                        {"--verbose", &stOpts.bVerbose},
                        {"--fast", &stOpts.bFast},
                        {"--mark-images", &stOpts.bMarkImages}};
        BOOL bFlag = false;
        for (const auto& stFlag : astFlags) {
            if (strOpt == stFlag.ps8Name) {
                *stFlag.pbSet = true;
                bFlag = true;
            }
        }
        if (bFlag) {
            continue;
        }
        if (i + 1 >= argc) {
            *pstrErr = "missing value after " + strOpt;
            return -1;
        }
        const char* ps8Val = argv[++i];
        U32 u32Val = 0;
        int s32Ret = 0;
        if (strOpt == "--mivor") {
            stOpts.strMivor = ps8Val;
            s32Ret = stOpts.strMivor.empty() ? -1 : 0;
        } else if (strOpt == "--snap") {
            stOpts.strSnap = ps8Val;
            s32Ret = stOpts.strSnap.empty() ? -1 : 0;
        } else if (strOpt == "--user") {
            ZOZID_USER_S stUser;
            s32Ret = ParseUserSpec(ps8Val, &stUser);
            if (s32Ret == 0 && stOpts.vecUsers.size() >= ZOZID_USER_MAX) {
                s32Ret = -1;
            }
            if (s32Ret == 0) {
                stOpts.vecUsers.push_back(stUser);
            }
        } else if (strOpt == "--resolution") {
            s32Ret = ParseNumber(ps8Val, 255, &u32Val);
            stOpts.u8Resolution = (U8)u32Val;
        } else if (strOpt == "--caps") {
            s32Ret = ParseNumber(ps8Val, 0xFFFF, &u32Val);
            stOpts.u16Caps = (U16)u32Val;
        } else if (strOpt == "--iface") {
            stOpts.strIface = ps8Val;
            s32Ret = (stOpts.strIface.empty() || stOpts.strIface.size() >= 16) ? -1 : 0;
        } else if (strOpt == "--answer") {
            s32Ret = ParseAnswer(ps8Val, &stOpts.s32Answer);
        } else if (strOpt == "--delay-ms") {
            s32Ret = ParseNumber(ps8Val, ZOZID_DELAY_MAX_MS, &stOpts.u32DelayMs);
        } else if (strOpt == "--file") {
            s32Ret = ParseFileMode(ps8Val, &stOpts.enFile);
        } else if (strOpt == "--empty-file-at") {
            s32Ret = ParseNumber(ps8Val, 255, &u32Val);
            stOpts.s32EmptyAt = (S32)u32Val;
        } else if (strOpt == "--jpeg-size") {
            s32Ret = ParseNumber(ps8Val, ZOZID_JPEG_SIZE_MAX, &stOpts.u32JpegSize);
        } else if (strOpt == "--dump-posted") {
            stOpts.strDumpPosted = ps8Val;
        } else if (strOpt == "--dump-image") {
            stOpts.strDumpImage = ps8Val;
        } else if (strOpt == "--poll-us") {
            s32Ret = ParseNumber(ps8Val, 100000, &stOpts.u32PollUs);
            if (s32Ret == 0 && stOpts.u32PollUs == 0) {
                s32Ret = -1;
            }
        } else {
            *pstrErr = "unknown option " + strOpt;
            return -1;
        }
        if (s32Ret != 0) {
            *pstrErr = "bad value for " + strOpt + ": " + ps8Val;
            return -1;
        }
    }
    *pstOpts = stOpts;
    return 0;
}
