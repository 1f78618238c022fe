// SPDX-License-Identifier: MIT
/* Interface queries that loopback alone can answer, the resolver file read
 * from temporary files, and the dotted-text converter. */
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "capture_fd.h"
#include "comm_funcs.h"
#include "test_util.h"

namespace {

std::vector<int> Bytes4(const unsigned char* pu8)
{
    return {pu8[0], pu8[1], pu8[2], pu8[3]};
}

const std::vector<int> UNTOUCHED = {9, 9, 9, 9};

}  // namespace

TEST(AddressQuery, LoopbackAddressIsSkippedButItsMaskRead)
{
    unsigned char u8Ip[4] = {9, 9, 9, 9};
    unsigned char u8Mask[4] = {9, 9, 9, 9};
    EXPECT_EQ(GetIpAndNetMask(u8Ip, u8Mask, "lo"), 0);
    EXPECT_EQ(Bytes4(u8Ip), UNTOUCHED);
    EXPECT_EQ(Bytes4(u8Mask), (std::vector<int>{255, 0, 0, 0}));
}

TEST(AddressQuery, MissingAndOverlongNamesLeaveTheOutputs)
{
    for (const char* ps8Name : {"nosuchif0", "lo-but-much-longer", "lo0123456789abcd", ""}) {
        SCOPED_TRACE(ps8Name);
        unsigned char u8Ip[4] = {9, 9, 9, 9};
        unsigned char u8Mask[4] = {9, 9, 9, 9};
        const int s32FdsBefore = test_util::FdCount();
        CaptureFd stCapErr(STDERR_FILENO);
        EXPECT_EQ(GetIpAndNetMask(u8Ip, u8Mask, ps8Name), -1);
        const std::string strLog = stCapErr.Take();
        EXPECT_NE(strLog.find("[COMM][GetIpAndNetMask] line["), std::string::npos) << strLog;
        EXPECT_NE(strLog.find("] ioctl get netmask: "), std::string::npos) << strLog;
        EXPECT_EQ(Bytes4(u8Ip), UNTOUCHED);
        EXPECT_EQ(Bytes4(u8Mask), UNTOUCHED);
        EXPECT_EQ(GetIpAndNetMask(u8Ip, nullptr, ps8Name), 0);
        EXPECT_EQ(Bytes4(u8Ip), UNTOUCHED);
        EXPECT_EQ(test_util::FdCount(), s32FdsBefore);
    }
}

TEST(AddressQueryDeathTest, RequiredPointersAssert)
{
    unsigned char u8Buf[4] = {0};
    EXPECT_EXIT(GetIpAndNetMask(nullptr, u8Buf, "lo"), testing::KilledBySignal(SIGABRT), "");
    EXPECT_EXIT(GetIpAndNetMask(u8Buf, u8Buf, nullptr), testing::KilledBySignal(SIGABRT), "");
    EXPECT_EXIT(GetGateWay(nullptr, "lo"), testing::KilledBySignal(SIGABRT), "");
    EXPECT_EXIT(GetNetLinkState(nullptr), testing::KilledBySignal(SIGABRT), "");
}

TEST(LinkState, LoopbackHasNoMiiAndReportsNoLink)
{
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_FALSE(GetNetLinkState("lo"));
    EXPECT_FALSE(GetNetLinkState("a-name-longer-than-fifteen"));
    const std::string strLog = stCapErr.Take();
    EXPECT_EQ(strLog.find("[COMM] -- [GetNetLinkState]:["), 0u) << strLog;
    EXPECT_NE(strLog.find("] ioctl:"), std::string::npos) << strLog;
    EXPECT_EQ(strLog.find("Link OK"), std::string::npos) << strLog;
}

TEST(HardwareAddress, LoopbackIsAllZeroAndFailuresWriteNothing)
{
    unsigned char u8Mac[6] = {1, 1, 1, 1, 1, 1};
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(GetMacAddress("lo", u8Mac), 0);
    EXPECT_EQ(std::vector<int>(u8Mac, u8Mac + 6), std::vector<int>(6, 0));
    unsigned char u8Keep[6] = {1, 1, 1, 1, 1, 1};
    EXPECT_EQ(GetMacAddress("nosuchif0", u8Keep), -1);
    EXPECT_EQ(GetMacAddress("lo-but-much-longer", u8Keep), -1);
    EXPECT_EQ(std::vector<int>(u8Keep, u8Keep + 6), std::vector<int>(6, 1));
    EXPECT_EQ(stCapErr.Take(), "");
}

namespace {

class ResolverFile : public testing::Test {
protected:
    void SetUp() override
    {
        char s8Tmpl[] = "/tmp/comm_resolv_XXXXXX";
        const int s32Fd = mkstemp(s8Tmpl);
        ASSERT_GE(s32Fd, 0);
        close(s32Fd);
        m_strPath = s8Tmpl;
    }
    void TearDown() override { unlink(m_strPath.c_str()); }
    void Write(const std::string& strText)
    {
        std::ofstream stOut(m_strPath, std::ios::binary | std::ios::trunc);
        stOut << strText;
    }
    /* Runs the query and returns its log. */
    std::string Query(int s32WantRet, unsigned char* pu8Dns)
    {
        CaptureFd stCapErr(STDERR_FILENO);
        EXPECT_EQ(GetDnsAddr(pu8Dns, m_strPath.c_str()), s32WantRet);
        return stCapErr.Take();
    }
    std::string m_strPath;
};

}  // namespace

TEST_F(ResolverFile, FirstNameServerOnlyWithZeroPaddedLog)
{
    Write("# generated\nnameserver 8.8.8.8\nnameserver 1.1.1.1\n");
    unsigned char u8Dns[4] = {9, 9, 9, 9};
    const std::string strLog = Query(0, u8Dns);
    EXPECT_EQ(Bytes4(u8Dns), (std::vector<int>{8, 8, 8, 8}));
    EXPECT_TRUE(std::regex_match(
        strLog,
        std::regex(R"(\[COMM\] -- \[GetDnsAddr\]:\[\d+\] DnsAddress = 008\.008\.008\.008\n)")))
        << strLog;
}

TEST_F(ResolverFile, OnlyTheFirstHundredBytesAreExamined)
{
    /* The keyword starts at byte 95 and is cut at byte 100. */
    Write(std::string(94, '#') + "\nnameserver 8.8.4.4\n");
    unsigned char u8Dns[4] = {9, 9, 9, 9};
    const std::string strLog = Query(-1, u8Dns);
    EXPECT_EQ(Bytes4(u8Dns), UNTOUCHED);
    EXPECT_TRUE(std::regex_match(
        strLog, std::regex(R"(\[COMM\]\[GetDnsAddr\] line\[\d+\] do not find nameserver \n)")))
        << strLog;

    /* A token cut at byte 100 converts from what was read. */
    Write(std::string(78, '#') + "\nnameserver 10.20.30.4099");
    EXPECT_EQ(GetDnsAddr(u8Dns, m_strPath.c_str()), 0);
}

TEST_F(ResolverFile, TokenRules)
{
    struct {
        const char* ps8Name;
        std::string strText;
        std::vector<int> vecWant;
    } stCases[] = {
        {"two blanks give an empty token", "nameserver  8.8.8.8\n", {255, 255, 255, 255}},
        {"malformed token", "nameserver dns.example\n", {255, 255, 255, 255}},
        {"ends at a blank", "nameserver 9.9.9.9 # primary\n", {9, 9, 9, 9}},
        {"ends at the text end", "nameserver 4.3.2.1", {4, 3, 2, 1}},
        {"inside a comment", "#nameserver 1.2.3.4\nnameserver 5.6.7.8\n", {1, 2, 3, 4}},
        {"after a tab keyword", "nameserver\t7.7.7.7\nnameserver 6.6.6.6\n", {6, 6, 6, 6}},
        /* 24 characters are kept: the zero-padded field still reads as 1,
         * while the whole 25-character token would not convert. */
        {"cut to 24 characters", "nameserver 10.0.0.000000000000000019\n", {10, 0, 0, 1}},
    };
    for (const auto& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8Name);
        Write(stCase.strText);
        unsigned char u8Dns[4] = {9, 9, 9, 9};
        (void)Query(0, u8Dns);
        EXPECT_EQ(Bytes4(u8Dns), stCase.vecWant);
    }
}

TEST_F(ResolverFile, MissingFileAndNoKeyword)
{
    unsigned char u8Dns[4] = {9, 9, 9, 9};
    Write("search example\nnameserver\t1.1.1.1\n");
    (void)Query(-1, u8Dns);
    unlink(m_strPath.c_str());
    const std::string strLog = Query(-1, u8Dns);
    EXPECT_TRUE(std::regex_match(
        strLog,
        std::regex(
            R"(\[COMM\]\[GetDnsAddr\] line\[\d+\] open failed:No such file or directory\n)")))
        << strLog;
    EXPECT_EQ(Bytes4(u8Dns), UNTOUCHED);
}

namespace {

/* Runs the text-to-bytes direction and returns what it printed. */
std::string TextToBytes(const std::string& strText, unsigned char* pu8Ip, int s32WantRet)
{
    std::vector<char> vecText(strText.begin(), strText.end());
    vecText.push_back('\0');
    CaptureFd stCapOut(STDOUT_FILENO);
    EXPECT_EQ(IPAddrAdapter(vecText.data(), pu8Ip, false), s32WantRet);
    return stCapOut.Take();
}

}  // namespace

TEST(DottedText, TextToBytes)
{
    struct {
        const char* ps8Text;
        int s32Ret;
        std::vector<int> vecWant;
    } stCases[] = {
        {"192.168.1.10", 0, {192, 168, 1, 10}},
        {"1.2.3", 0, {1, 2, 3, 9}},
        {"1.2.3.4.5", -1, {1, 2, 3, 4}},
        {"256.1.1.1", 0, {0, 1, 1, 1}},
        {"300.-1. 7.8x", 0, {44, 255, 7, 8}},
        {"1..3.4", 0, {1, 0, 3, 4}},
        {"", 0, {0, 9, 9, 9}},
        {"99999999999.-99999999999.0.0", 0, {255, 0, 0, 0}}, /* clamped to 32 bits */
        {"....", -1, {0, 0, 0, 0}},
    };
    for (const auto& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8Text);
        unsigned char u8Ip[4] = {9, 9, 9, 9};
        (void)TextToBytes(stCase.ps8Text, u8Ip, stCase.s32Ret);
        EXPECT_EQ(Bytes4(u8Ip), stCase.vecWant);
    }
}

TEST(DottedText, PrintsTheTextAndTheBytes)
{
    unsigned char u8Ip[4] = {0, 0, 0, 0};
    EXPECT_EQ(TextToBytes("10.1.2.3", u8Ip, 0), "Last ip = 10.1.2.3, cur ip = 10.1.2.3 \n");
}

TEST(DottedText, LongTextIsCutNotOverrun)
{
    std::string strLong = "1.2.3.4";
    strLong += std::string(3000, '5');
    unsigned char u8Ip[4] = {9, 9, 9, 9};
    (void)TextToBytes(strLong, u8Ip, 0);
    EXPECT_EQ(Bytes4(u8Ip), (std::vector<int>{1, 2, 3, 255}));
    /* Dots beyond the first 1024 characters are not seen. */
    std::string strDots = "1.2.3.4" + std::string(1100, '0') + ".5";
    (void)TextToBytes(strDots, u8Ip, 0);
}

TEST(DottedText, BytesToText)
{
    struct {
        std::vector<unsigned char> vecIp;
        const char* ps8Want;
    } stCases[] = {
        {{10, 0, 0, 1}, "10.0.0.1"},
        {{255, 255, 255, 255}, "255.255.255.255"},
        {{0, 0, 0, 0}, "0.0.0.0"},
    };
    for (auto& stCase : stCases) {
        char s8Text[17];
        memset(s8Text, 'X', sizeof(s8Text));
        EXPECT_EQ(IPAddrAdapter(s8Text, stCase.vecIp.data(), true), 0);
        EXPECT_STREQ(s8Text, stCase.ps8Want);
        EXPECT_EQ(s8Text[16], 'X'); /* 16 bytes at most */
    }
}
