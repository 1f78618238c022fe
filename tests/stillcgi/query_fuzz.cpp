// SPDX-License-Identifier: MIT
/* Fuzz target: the query readers over arbitrary query strings and keys. The
 * input is "key\0query"; the text value must stay inside its buffer and keep
 * its terminator, and the integer reader must give -1 or a digit value. The
 * percent-decoder, given the value as read for the second credential check,
 * must stay inside its field-sized buffer and never yield a zero byte. */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config.h"
#include "snap_handler_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pu8Data, size_t u32Size)
{
    const std::string strIn(reinterpret_cast<const char*>(pu8Data), u32Size);
    const size_t u32Split = strIn.find('\0');
    const std::string strKey = u32Split == std::string::npos ? "user" : strIn.substr(0, u32Split);
    const std::string strQuery = u32Split == std::string::npos ? strIn : strIn.substr(u32Split + 1);

    char s8Area[CFG_PARAM_TEXT_SIZE + 16];
    memset(s8Area, 0, CFG_PARAM_TEXT_SIZE);
    memset(s8Area + CFG_PARAM_TEXT_SIZE, 0x5A, sizeof(s8Area) - CFG_PARAM_TEXT_SIZE);
    GetStrParamValue(strQuery.c_str(), strKey.c_str(), s8Area, CFG_PARAM_TEXT_SIZE);
    if (s8Area[CFG_PARAM_TEXT_SIZE - 1] != '\0') {
        abort();
    }
    for (size_t i = CFG_PARAM_TEXT_SIZE; i < sizeof(s8Area); ++i) {
        if ((unsigned char)s8Area[i] != 0x5A) {
            abort();
        }
    }
    char s8Raw[SNAP_ENCODED_TEXT_SIZE] = {0};
    GetStrParamValue(strQuery.c_str(), strKey.c_str(), s8Raw, sizeof(s8Raw));
    char s8Dec[CFG_USER_FIELD_SIZE + 1 + 16];
    memset(s8Dec, 0x5A, sizeof(s8Dec));
    const S32 s32Len = SnapUrlDecode(s8Raw, s8Dec, CFG_USER_FIELD_SIZE + 1);
    if (s32Len > (S32)CFG_USER_FIELD_SIZE || (s32Len >= 0 && strlen(s8Dec) != (size_t)s32Len)) {
        abort();
    }
    for (size_t i = CFG_USER_FIELD_SIZE + 1; i < sizeof(s8Dec); ++i) {
        if ((unsigned char)s8Dec[i] != 0x5A) {
            abort();
        }
    }
    S32 s32Val = 0;
    const S32 s32Ret = GetIntParamValue(strQuery.c_str(), strKey.c_str(), &s32Val);
    if ((s32Ret == 0 && s32Val < 0) || (s32Ret != 0 && s32Val != -1)) {
        abort();
    }
    return 0;
}
