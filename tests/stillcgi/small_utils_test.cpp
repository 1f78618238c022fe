// SPDX-License-Identifier: MIT
/* The resolution check, the picture-size table, script replies, the line
 * appender, the range checks and the system queries. */
#include <stdio.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "cgic.h"
#include "config.h"
#include "public.h"
#include "snap_handler.h"
#include "test_support.h"

namespace {

TEST(ResolutionCheck, LowIndexesFreeHighOnesByMaskBit)
{
    unsigned char u8Block[4248] = {0};
    const unsigned char* pu8Area = u8Block + 1400;
    for (int s32Index : {-5, -1, 0, 3}) {
        EXPECT_EQ(1, IsSupportedResolution(pu8Area, s32Index)) << s32Index;
    }
    for (int s32Index = 4; s32Index <= 16; ++s32Index) {
        EXPECT_EQ(0, IsSupportedResolution(pu8Area, s32Index)) << s32Index;
    }
    u8Block[1405] = 0x20;  // bit 5
    u8Block[1406] = 0x81;  // bits 8 and 15
    EXPECT_EQ(1, IsSupportedResolution(pu8Area, 5));
    EXPECT_EQ(0, IsSupportedResolution(pu8Area, 4));
    EXPECT_EQ(1, IsSupportedResolution(pu8Area, 8));
    EXPECT_EQ(0, IsSupportedResolution(pu8Area, 9));
    EXPECT_EQ(1, IsSupportedResolution(pu8Area, 15));
    memset(u8Block + 1405, 0xFF, 2);
    EXPECT_EQ(0, IsSupportedResolution(pu8Area, 16));
    EXPECT_EQ(0, IsSupportedResolution(pu8Area, 1000));
}

TEST(PictureSize, TableAndFallback)
{
    struct Case {
        int s32Code, s32Sel, s32Ret;
        U16 u16W, u16H;
    };
    const Case stCases[] = {
        {0, 1, 0, 176, 144},   {0, 0, 0, 176, 112},    {1, 1, 0, 352, 288},
        {1, 2, 0, 352, 240},   {2, 1, 0, 704, 576},    {2, 0, 0, 704, 480},
        {3, 0, 0, 1280, 720},  {4, 1, 0, 1920, 1080},  {5, 0, 0, 1600, 1200},
        {6, 0, 0, 2048, 1536}, {7, 1, 0, 2592, 1944},  {8, 0, 0, 1280, 960},
        {9, 0, 0, 2592, 1560}, {10, 1, -1, 1280, 720}, {-1, 1, -1, 1280, 720},
    };
    for (const Case& stCase : stCases) {
        SCOPED_TRACE(stCase.s32Code);
        U16 u16W = 0, u16H = 0;
        EXPECT_EQ(stCase.s32Ret,
                  GetVideoWidthAndHeightCgi(stCase.s32Code, stCase.s32Sel, &u16W, &u16H));
        EXPECT_EQ(stCase.u16W, u16W);
        EXPECT_EQ(stCase.u16H, u16H);
    }
}

class ScriptReply : public testing::Test {
protected:
    void SetUp() override { Open(); }
    void Open()
    {
        if (cgiOut != stdout) fclose(cgiOut);
        cgiOut = fopen(m_stDir.Path("out").c_str(), "w");
    }
    void TearDown() override
    {
        if (cgiOut != stdout) fclose(cgiOut);
        cgiOut = stdout;
    }
    std::string Output()
    {
        fclose(cgiOut);
        cgiOut = stdout;
        return stilltest::ReadFile(m_stDir.Path("out"));
    }
    stilltest::TempDir m_stDir;
};

TEST_F(ScriptReply, ResultPageAddresses)
{
    const std::string strHead = "Content-type: text/html\r\n\r\n";
    struct Case {
        int s32Value, s32Function;
        const char* ps8Addr;
    };
    const Case stCases[] = {
        {2, 5, "../MainPage/RebootInfor.html?url=p.html"},
        {1, 3, "../MainPage/p.html?value=1&function=3"},
        {0, 0, "../MainPage/p.html?value=0"},
        {-4, -1, "../MainPage/p.html?value=-4"},
    };
    for (const Case& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8Addr);
        Open();
        const std::string strScript =
            std::string("<script>location.href=\"") + stCase.ps8Addr + "\"</script>";
        EXPECT_EQ((int)strScript.size(),
                  CgiReturnMessage("p.html", stCase.s32Value, stCase.s32Function));
        EXPECT_EQ(strHead + strScript, Output());
    }
}

TEST_F(ScriptReply, LongPageNameIsCut)
{
    const std::string strPage(400, 'p');
    CgiReturnMessage(strPage.c_str(), 1, 0);
    const std::string strAddr = ("../MainPage/" + strPage).substr(0, 259);
    EXPECT_EQ("Content-type: text/html\r\n\r\n<script>location.href=\"" + strAddr + "\"</script>",
              Output());
}

TEST_F(ScriptReply, LoginPage)
{
    EXPECT_EQ(0, ReturnToLoginPage());
    EXPECT_EQ("Content-type: text/html\r\n\r\n<script>top.location.href=\"../index.html\"</script>",
              Output());
}

TEST(LineFile, AppendsLines)
{
    stilltest::TempDir stDir;
    EXPECT_EQ(0, WriteLogToFile("one", stDir.Path("test.log").c_str()));
    EXPECT_EQ(0, WriteLogToFile("two", stDir.Path("test.log").c_str()));
    EXPECT_EQ("one\ntwo\n", stilltest::ReadFile(stDir.Path("test.log")));
    EXPECT_EQ(0, WriteLogToFile("x", stDir.Path("no/such/test.log").c_str()));
}

TEST(RangeCheck, BaseAndNetRecords)
{
    unsigned char u8Rec[40] = {0};
    EXPECT_EQ(-1, CheckInputBaseParam(u8Rec));  // byte 30 must be 1
    u8Rec[30] = 1;
    EXPECT_EQ(0, CheckInputBaseParam(u8Rec));
    u8Rec[28] = 1;
    u8Rec[29] = 1;
    u8Rec[32] = 4;
    EXPECT_EQ(0, CheckInputBaseParam(u8Rec));
    u8Rec[32] = 5;
    EXPECT_EQ(-1, CheckInputBaseParam(u8Rec));
    u8Rec[32] = 0;
    u8Rec[29] = 2;
    EXPECT_EQ(-1, CheckInputBaseParam(u8Rec));

    const struct {
        unsigned char au8Net[2];
        S32 s32Want;
    } astNet[] = {{{1, 10}, 0}, {{1, 11}, -1}, {{2, 0}, -1}};
    for (const auto& stCase : astNet) {
        unsigned char u8Net[2] = {stCase.au8Net[0], stCase.au8Net[1]};
        EXPECT_EQ(stCase.s32Want, CheckInputBaseNetParam(u8Net)) << unsigned(u8Net[0]);
    }
}

TEST(SystemQuery, LoopbackAddressAndFreeSpace)
{
    char s8Ip[16] = {0};
    EXPECT_EQ(0, GetLocalIp(s8Ip, "lo"));
    EXPECT_STREQ("127.0.0.1", s8Ip);
    EXPECT_EQ(-1, GetLocalIp(s8Ip, "nosuchif0"));
    EXPECT_GT(GetDiskfreeSpace("/tmp"), 0u);
    EXPECT_EQ(0u, GetDiskfreeSpace("/no/such/dir"));
}

}  // namespace
