// SPDX-License-Identifier: MIT
/* Counters, random numbers, time keys, hex, Base64 and the bit transform. */
#include <gtest/gtest.h>
#include <time.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "comm_funcs.h"

namespace {

constexpr long S32_MAX_L = 2147483647L;
constexpr long S32_MIN_L = -2147483647L - 1;

DateTime Dt(int s32Year, int s32Month, int s32Day, int s32Hour, int s32Min, int s32Sec,
            int s32Reserved = 0)
{
    DateTime stDt;
    stDt.Year = static_cast<WORD>(s32Year);
    stDt.Month = static_cast<BYTE>(s32Month);
    stDt.Day = static_cast<BYTE>(s32Day);
    stDt.Hour = static_cast<BYTE>(s32Hour);
    stDt.Minute = static_cast<BYTE>(s32Min);
    stDt.Second = static_cast<BYTE>(s32Sec);
    stDt.Reserved = static_cast<BYTE>(s32Reserved);
    return stDt;
}

std::string Hex(const std::vector<unsigned char>& vecIn)
{
    std::string strOut(vecIn.size() * 2 + 1, 'X');
    std::vector<unsigned char> vecCopy = vecIn;
    EXPECT_EQ(hex_encode(vecCopy.data(), &strOut[0], static_cast<unsigned int>(vecIn.size())), 0);
    EXPECT_EQ(strOut.back(), '\0');
    strOut.pop_back();
    return strOut;
}

std::string B64(const std::string& strIn)
{
    std::string strOut(4 * ((strIn.size() + 2) / 3) + 1, 'X');
    const int s32Len = base64(strIn.data(), static_cast<unsigned int>(strIn.size()), &strOut[0]);
    EXPECT_EQ(s32Len, static_cast<int>(strOut.size()) - 1);
    EXPECT_EQ(strOut.back(), '\0');
    strOut.pop_back();
    return strOut;
}

}  // namespace

TEST(GuardedCounter, IncrementWrapsAtThirtyTwoBits)
{
    long s32Val = S32_MAX_L;
    EXPECT_EQ(InterlockedIncrement(&s32Val), S32_MIN_L);
    EXPECT_EQ(s32Val, S32_MIN_L);
    s32Val = -1;
    EXPECT_EQ(InterlockedIncrement(&s32Val), 0);
}

TEST(GuardedCounter, AssignStoresAThirtyTwoBitValue)
{
    long s32Dst = 0;
    long s32Src = -5;
    EXPECT_EQ(InterlockedAssign(&s32Dst, &s32Src), -5);
    EXPECT_EQ(s32Dst, -5);
    if (sizeof(long) > 4) {
        /* A wider host value keeps only its low 32 bits, as on the camera. */
        long s32Wide = static_cast<long>(0x100000005LL);
        EXPECT_EQ(InterlockedAssign(&s32Dst, &s32Wide), 5);
        s32Wide = static_cast<long>(0x80000000LL);
        EXPECT_EQ(InterlockedAssign(&s32Dst, &s32Wide), S32_MIN_L);
    }
}

TEST(GuardedCounter, CompareUsesTheWrappingDifference)
{
    struct {
        long s32A, s32B, s32Want;
    } stCases[] = {
        {5, 7, -1},
        {7, 5, 1},
        {9, 9, 0},
        {S32_MAX_L, -1, -1},       /* more than 2^31 apart: reversed */
        {S32_MIN_L, S32_MAX_L, 1}, /* a counter that wrapped is later */
        {S32_MIN_L + 2, S32_MAX_L - 3, 1},
        {-1, 0, -1},
    };
    for (auto& stCase : stCases) {
        SCOPED_TRACE(std::to_string(stCase.s32A) + " vs " + std::to_string(stCase.s32B));
        EXPECT_EQ(InterlockedCmp(&stCase.s32A, &stCase.s32B), stCase.s32Want);
    }
}

TEST(GuardedCounter, ConcurrentIncrementsAreNotLost)
{
    long s32Counter = 0;
    std::vector<std::thread> vecThreads;
    for (int t = 0; t < 4; ++t) {
        vecThreads.emplace_back([&s32Counter] {
            for (int i = 0; i < 20000; ++i) InterlockedIncrement(&s32Counter);
        });
    }
    for (auto& stThread : vecThreads) stThread.join();
    EXPECT_EQ(s32Counter, 80000);
}

TEST(RandomSource, BoundsAndSeed)
{
    const time_t u32Before = time(nullptr);
    InitRandom();
    EXPECT_GE(s32Seed, static_cast<int>(u32Before));
    EXPECT_LE(s32Seed, static_cast<int>(time(nullptr)));
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(GetRandom(1), 0u);
        EXPECT_LT(GetRandom(7), 7u);
    }
    EXPECT_EQ(GetRandom(0), 0u);
    EXPECT_EQ(GetRandom(-4), 0u);
}

TEST(TimeOrder, DateTimeKeys)
{
    DateTime stA = Dt(2023, 12, 31, 23, 59, 59);
    DateTime stB = Dt(2024, 1, 1, 0, 0, 0);
    EXPECT_EQ(CompareDateTime(&stA, &stB), -1);
    EXPECT_EQ(CompareDateTime(&stB, &stA), 1);
    stA = Dt(2024, 1, 31, 0, 0, 0);
    stB = Dt(2024, 2, 1, 0, 0, 0);
    EXPECT_EQ(CompareDateTime(&stA, &stB), -1);
    stA = Dt(2024, 5, 6, 7, 8, 9, 1);
    stB = Dt(2024, 5, 6, 7, 8, 9, 200);
    EXPECT_EQ(CompareDateTime(&stA, &stB), 0);
    stB = Dt(2024, 5, 6, 7, 8, 10, 1);
    EXPECT_EQ(CompareDateTime(&stA, &stB), -1);
    /* The year step needs 64 bits: 65535 years of 31968000 s. */
    stA = Dt(65535, 1, 1, 0, 0, 0);
    stB = Dt(1, 12, 31, 23, 59, 59);
    EXPECT_EQ(CompareDateTime(&stA, &stB), 1);
}

TEST(TimeOrder, RecordTimeKeysAreSignExtendedAndUnsigned)
{
    REC_TIME_S stA = {2024, 3, 1, 12, 0, 0};
    REC_TIME_S stB = {2024, 3, 1, 12, 0, 1};
    EXPECT_EQ(CompareRecordTime(&stA, &stB), -1);
    EXPECT_EQ(CompareRecordTime(&stB, &stA), 1);
    stB = stA;
    EXPECT_EQ(CompareRecordTime(&stA, &stB), 0);
    /* A negative year widens to a huge unsigned key. */
    REC_TIME_S stNeg = {-1, 1, 1, 0, 0, 0};
    EXPECT_EQ(CompareRecordTime(&stNeg, &stA), 1);
    /* Hour products are 32-bit values: no overflow trap on big fields. */
    REC_TIME_S stBig = {0, 0, 0, 0x7FFFFFFF, 0x7FFFFFFF, 0};
    REC_TIME_S stZero = {0, 0, 0, 0, 0, 0};
    EXPECT_NE(CompareRecordTime(&stBig, &stZero), 0);
}

TEST(HexText, EncodeKnownBytes)
{
    EXPECT_EQ(Hex({0x00, 0xAB, 0x7F}), "00ab7f");
    EXPECT_EQ(Hex({}), "");
    EXPECT_EQ(Hex({0xFF, 0x10, 0x01}), "ff1001");
}

TEST(HexText, DecodeResults)
{
    unsigned char u8Out[4] = {9, 9, 9, 9};
    EXPECT_EQ(hex_decode("00ab7F", u8Out, 3), 0);
    EXPECT_EQ(u8Out[0], 0x00);
    EXPECT_EQ(u8Out[1], 0xAB);
    EXPECT_EQ(u8Out[2], 0x7F);
    EXPECT_EQ(u8Out[3], 9);

    unsigned char u8Keep[3] = {1, 2, 3};
    EXPECT_EQ(hex_decode("abc", u8Keep, 2), -1);    /* odd length */
    EXPECT_EQ(hex_decode("abcdef", u8Keep, 2), -1); /* longer than wanted */
    EXPECT_EQ(hex_decode("ab", u8Keep, 2), -1);     /* shorter than wanted */
    EXPECT_EQ(hex_decode("ab", u8Keep, -1), -1);
    EXPECT_EQ(u8Keep[0], 1);
    EXPECT_EQ(u8Keep[1], 2);

    EXPECT_EQ(hex_decode("12zz34", u8Keep, 3), -2);
    EXPECT_EQ(u8Keep[0], 0x12); /* earlier pairs stay written */
    EXPECT_EQ(u8Keep[1], 2);
}

TEST(HexText, DecodeFollowsScanRulesWithinAPair)
{
    struct {
        const char* ps8Pair;
        int s32Want;
    } stCases[] = {
        {"f", -1}, {"fg", 0x0f}, {" f", 0x0f}, {"-1", 0xff}, {"+a", 0x0a}, {"g0", -2}, {"  ", -2},
    };
    for (const auto& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8Pair);
        unsigned char u8Out = 0x55;
        const int s32Ret = hex_decode(stCase.ps8Pair, &u8Out, 1);
        if (stCase.s32Want < 0) {
            EXPECT_EQ(s32Ret, stCase.s32Want);
            EXPECT_EQ(u8Out, 0x55);
        } else {
            EXPECT_EQ(s32Ret, 0);
            EXPECT_EQ(u8Out, stCase.s32Want);
        }
    }
}

TEST(HexText, RoundTripOfRandomBytes)
{
    std::mt19937 stRng(12345);
    for (int s32Len = 0; s32Len < 64; ++s32Len) {
        std::vector<unsigned char> vecIn(static_cast<size_t>(s32Len));
        for (auto& u8Byte : vecIn) u8Byte = static_cast<unsigned char>(stRng());
        const std::string strHex = Hex(vecIn);
        std::vector<unsigned char> vecOut(vecIn.size() + 1, 0xEE);
        ASSERT_EQ(hex_decode(strHex.c_str(), vecOut.data(), s32Len), 0);
        EXPECT_EQ(std::vector<unsigned char>(vecOut.begin(), vecOut.begin() + s32Len), vecIn);
        EXPECT_EQ(vecOut.back(), 0xEE);
    }
}

TEST(Base64Text, KnownVectors)
{
    /* RFC 4648 section 10 test vectors. */
    EXPECT_EQ(B64(""), "");
    EXPECT_EQ(B64("f"), "Zg==");
    EXPECT_EQ(B64("fo"), "Zm8=");
    EXPECT_EQ(B64("foo"), "Zm9v");
    EXPECT_EQ(B64("foob"), "Zm9vYg==");
    EXPECT_EQ(B64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(B64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(B64("abc"), "YWJj");
    EXPECT_EQ(B64("ab"), "YWI=");
    EXPECT_EQ(B64("\xff"), "/w==");
    EXPECT_EQ(B64(std::string("\xfb\xff\xbf", 3)), "+/+/");
    EXPECT_EQ(B64(std::string("\0\0\0", 3)), "AAAA");
}

TEST(Base64Text, NullPointersAreRefused)
{
    char s8Out[8] = "keep";
    EXPECT_EQ(base64(nullptr, 3, s8Out), -1);
    EXPECT_STREQ(s8Out, "keep");
    EXPECT_EQ(base64("abc", 3, nullptr), -1);
}

namespace {

/* Output bit t of a one-byte transform is input bit Order[t]; found by
 * sending each input bit alone through the encoder. */
std::vector<int> BitOrder(unsigned int pos, unsigned int gap)
{
    std::vector<int> vecOrder(8, -1);
    for (int j = 0; j < 8; ++j) {
        unsigned char u8Byte = static_cast<unsigned char>(0x80 >> j);
        EXPECT_EQ(YSFEncode(&u8Byte, 1, pos, gap), 0);
        for (int t = 0; t < 8; ++t) {
            if (u8Byte & (0x80 >> t)) vecOrder[static_cast<size_t>(t)] = j;
        }
    }
    return vecOrder;
}

}  // namespace

TEST(BitTransform, OneByteRemovalOrder)
{
    EXPECT_EQ(BitOrder(0, 1), (std::vector<int>{1, 3, 5, 7, 2, 6, 4, 0}));
    EXPECT_EQ(BitOrder(0, 0), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    /* gap 0 rotates: output bit t is input bit (t + pos) mod n. */
    EXPECT_EQ(BitOrder(3, 0), (std::vector<int>{3, 4, 5, 6, 7, 0, 1, 2}));
    EXPECT_EQ(BitOrder(11, 0), BitOrder(3, 0)); /* pos counts modulo the bit count */
}

TEST(BitTransform, RotationByEightSwapsTwoBytes)
{
    unsigned char u8Buf[2] = {0x12, 0xC7};
    ASSERT_EQ(YSFEncode(u8Buf, 2, 8, 0), 0);
    EXPECT_EQ(u8Buf[0], 0xC7);
    EXPECT_EQ(u8Buf[1], 0x12);
    ASSERT_EQ(YSFDecode(u8Buf, 2, 8, 0), 0);
    EXPECT_EQ(u8Buf[0], 0x12);
    EXPECT_EQ(u8Buf[1], 0xC7);
}

TEST(BitTransform, RoundTripsForManyParameters)
{
    std::mt19937 stRng(777);
    const unsigned int u32Params[] = {0, 1, 2, 3, 5, 7, 8, 9, 13, 31, 64, 100, 1000, 0xFFFFFFFFu};
    for (unsigned int u32Len : {1u, 2u, 3u, 7u, 16u, 33u}) {
        for (unsigned int pos : u32Params) {
            for (unsigned int gap : u32Params) {
                SCOPED_TRACE("len " + std::to_string(u32Len) + " pos " + std::to_string(pos) +
                             " gap " + std::to_string(gap));
                std::vector<unsigned char> vecIn(u32Len);
                for (auto& u8Byte : vecIn) u8Byte = static_cast<unsigned char>(stRng());
                std::vector<unsigned char> vecBuf = vecIn;
                ASSERT_EQ(YSFEncode(vecBuf.data(), u32Len, pos, gap), 0);
                /* A permutation keeps the number of set bits. */
                int s32In = 0, s32Out = 0;
                for (size_t i = 0; i < u32Len; ++i) {
                    s32In += __builtin_popcount(vecIn[i]);
                    s32Out += __builtin_popcount(vecBuf[i]);
                }
                ASSERT_EQ(s32In, s32Out);
                ASSERT_EQ(YSFDecode(vecBuf.data(), u32Len, pos, gap), 0);
                ASSERT_EQ(vecBuf, vecIn);
            }
        }
    }
}

TEST(BitTransform, ZeroLengthIsRefused)
{
    unsigned char u8Byte = 0x5A;
    EXPECT_EQ(YSFEncode(&u8Byte, 0, 1, 1), -1);
    EXPECT_EQ(YSFDecode(&u8Byte, 0, 1, 1), -1);
    EXPECT_EQ(u8Byte, 0x5A);
    EXPECT_EQ(YSFEncode(nullptr, 1, 1, 1), -1);
}

TEST(TelnetClient, DoesNothing)
{
    char s8Rsp[4] = "abc";
    int s32Size = 42;
    EXPECT_EQ(TelnetStart("h", "s", "u", "p"), 0);
    EXPECT_EQ(TelnetCmd(3, "ls", s8Rsp, &s32Size), 0);
    EXPECT_EQ(TelnetEnd(3), 0);
    EXPECT_STREQ(s8Rsp, "abc");
    EXPECT_EQ(s32Size, 42);
}
