// SPDX-License-Identifier: MIT
/* The query readers: first case-insensitive occurrence of the key, the "="
 * rule, value ends, no decoding, the digit run, overlong values; and the
 * percent-decoding of the second credential check. */
#include <limits.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "config.h"
#include "snap_handler_internal.h"

namespace {

struct TextCase {
    const char* ps8Query;
    const char* ps8Key;
    int s32Ret;
    const char* ps8Value;
};

TEST(QueryText, ReadsFirstOccurrenceUndecoded)
{
    const TextCase stCases[] = {
        {"user=admin&psw=1", "user", 0, "admin"},
        {"USER=Admin&PSW=Pw", "user", 0, "Admin"},
        {"USER=Admin&PSW=Pw", "psw", 0, "Pw"},
        {"username=a&user=b", "user", -1, ""},  // first hit is followed by "n"
        {"xuser=a&user=b", "user", 0, "a"},     // found inside xuser=
        {"note=user=b", "user", 0, "b"},        // found inside a value
        {"user=a%20b", "user", 0, "a%20b"},
        {"user=a+b&x", "user", 0, "a+b"},
        {"user=a?b", "user", 0, "a"},
        {"user=&psw=1", "user", 0, ""},
        {"user", "user", -1, ""},
        {"us", "user", -1, ""},
        {"", "user", -1, ""},
    };
    for (const TextCase& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8Query);
        char s8Buf[32] = {0};
        EXPECT_EQ(stCase.s32Ret, GetStrParamValue(stCase.ps8Query, stCase.ps8Key, s8Buf));
        EXPECT_STREQ(stCase.ps8Value, s8Buf);
    }
}

TEST(QueryText, OverlongValueIsCutAndNothingWrittenPast)
{
    for (size_t u32Len : {30u, 31u, 32u, 33u, 300u}) {
        SCOPED_TRACE(u32Len);
        const std::string strQuery = "user=" + std::string(u32Len, 'v') + "&psw=1";
        char s8Area[48];
        memset(s8Area, 0, 32);
        memset(s8Area + 32, 0x5A, sizeof(s8Area) - 32);
        EXPECT_EQ(0, GetStrParamValue(strQuery.c_str(), "user", s8Area, 32));
        EXPECT_EQ(std::string(u32Len < 31 ? u32Len : 31, 'v'), std::string(s8Area));
        for (size_t i = 32; i < sizeof(s8Area); ++i) {
            ASSERT_EQ(0x5A, (unsigned char)s8Area[i]);
        }
    }
}

TEST(QueryText, NullArgumentsFail)
{
    char s8Buf[32] = {0};
    EXPECT_EQ(-1, GetStrParamValue(nullptr, "user", s8Buf));
    EXPECT_EQ(-1, GetStrParamValue("user=a", nullptr, s8Buf));
    EXPECT_EQ(-1, GetStrParamValue("user=a", "user", nullptr));
    EXPECT_EQ(-1, GetStrParamValue("user=a", "user", s8Buf, 0));
}

struct IntCase {
    const char* ps8Query;
    int s32Ret;
    int s32Value;
};

TEST(QueryInt, ReadsLeadingDigitRun)
{
    const IntCase stCases[] = {
        {"mode=1", 0, 1},
        {"MODE=7&x=1", 0, 7},
        {"mode=1x", 0, 1},
        {"mode=0012", 0, 12},
        {"mode=-5", -1, -1},  // a sign is not a digit
        {"mode=+5", -1, -1},
        {"mode=abc", -1, -1},
        {"mode=", -1, -1},
        {"modex=3&mode=2", -1, -1},
        {"mode=2147483647", 0, INT_MAX},
        {"mode=4294967299", 0, INT_MAX},  // stays large instead of wrapping to 3
    };
    for (const IntCase& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8Query);
        int s32Value = 42;
        EXPECT_EQ(stCase.s32Ret, GetIntParamValue(stCase.ps8Query, "mode", &s32Value));
        EXPECT_EQ(stCase.s32Value, s32Value);
    }
}

TEST(QueryInt, DigitRunLongerThanWorkBufferIsRefused)
{
    int s32Value = 0;
    const std::string strFits = "resolution=" + std::string(254, '0') + "7";
    EXPECT_EQ(0, GetIntParamValue(strFits.c_str(), "resolution", &s32Value));
    EXPECT_EQ(7, s32Value);
    const std::string strLong = "resolution=" + std::string(255, '0') + "7";
    EXPECT_EQ(-1, GetIntParamValue(strLong.c_str(), "resolution", &s32Value));
    EXPECT_EQ(-1, s32Value);
}

TEST(QueryInt, OutputIsMinusOneEvenForNullQuery)
{
    int s32Value = 9;
    EXPECT_EQ(-1, GetIntParamValue(nullptr, "mode", &s32Value));
    EXPECT_EQ(-1, s32Value);
    EXPECT_EQ(-1, GetIntParamValue("mode=1", "mode", nullptr));
}

TEST(QueryDecode, EscapesAndPlus)
{
    struct Case {
        const char* ps8In;
        int s32Ret;
        const char* ps8Out;
    };
    const Case stCases[] = {
        {"p%2Bs%20w%26d%231", 9, "p+s w&d#1"},
        {"a+b", 3, "a b"},
        {"%41%4a%4A%7e", 4, "AJJ~"},
        {"%25", 1, "%"},
        {"plain", 5, "plain"},
        {"", 0, ""},
        {"%c3%a9", 2, "\xC3\xA9"},  // bytes, whatever they mean
        {"%", -1, ""},
        {"a%4", -1, ""},
        {"%G1", -1, ""},
        {"%1G", -1, ""},
        {"a%00b", -1, ""},  // a zero byte would cut the text short
    };
    for (const Case& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8In);
        char s8Out[17];
        memset(s8Out, 'Z', sizeof(s8Out));
        EXPECT_EQ(stCase.s32Ret, SnapUrlDecode(stCase.ps8In, s8Out, sizeof(s8Out)));
        EXPECT_STREQ(stCase.ps8Out, s8Out);
    }
}

TEST(QueryDecode, ResultLongerThanTheBufferIsRefused)
{
    for (size_t u32Len : {15u, 16u, 17u}) {
        SCOPED_TRACE(u32Len);
        std::string strIn;
        for (size_t i = 0; i < u32Len; ++i) {
            strIn += "%41";
        }
        char s8Area[24];
        memset(s8Area, 0x5A, sizeof(s8Area));
        const int s32Want = u32Len <= 16 ? (int)u32Len : -1;
        EXPECT_EQ(s32Want, SnapUrlDecode(strIn.c_str(), s8Area, 17));
        EXPECT_EQ(s32Want < 0 ? std::string() : std::string(u32Len, 'A'), std::string(s8Area));
        for (size_t i = 17; i < sizeof(s8Area); ++i) {
            ASSERT_EQ(0x5A, (unsigned char)s8Area[i]);
        }
    }
    char s8One[1] = {'x'};
    EXPECT_EQ(0, SnapUrlDecode("", s8One, 1));
    EXPECT_EQ(-1, SnapUrlDecode("a", s8One, 1));
    EXPECT_EQ(-1, SnapUrlDecode(nullptr, s8One, 1));
    EXPECT_EQ(-1, SnapUrlDecode("a", s8One, 0));
}

}  // namespace
