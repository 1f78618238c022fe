// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "zozid_opts.h"

TEST(UserSpec, NamePasswordAndPrivilege)
{
    struct Case {
        const char* ps8Spec;
        int s32Ret;
        const char* ps8Name;
        const char* ps8Password;
        int s32Priv;
    };
    const Case astCases[] = {
        {"admin:1234", 0, "admin", "1234", 1},
        {"guest:pw:3", 0, "guest", "pw", 3},
        {"a:b:c", 0, "a", "b:c", 1},     /* not a number: part of the password */
        {"a:b:256", 0, "a", "b:256", 1}, /* out of range: part of the password */
        {"a:", 0, "a", "", 1},
        {"sixteencharname1:sixteencharpass1:0", 0, "sixteencharname1", "sixteencharpass1", 0},
        {"seventeencharname:x", -1, "", "", 0},
        {"a:seventeencharpass", -1, "", "", 0},
        {":pw", -1, "", "", 0},
        {"nocolon", -1, "", "", 0},
    };
    for (const Case& stCase : astCases) {
        SCOPED_TRACE(stCase.ps8Spec);
        ZOZID_USER_S stUser;
        stUser.u8Privilege = 77;
        ASSERT_EQ(ParseUserSpec(stCase.ps8Spec, &stUser), stCase.s32Ret);
        if (stCase.s32Ret == 0) {
            EXPECT_EQ(stUser.strName, stCase.ps8Name);
            EXPECT_EQ(stUser.strPassword, stCase.ps8Password);
            EXPECT_EQ(stUser.u8Privilege, stCase.s32Priv);
        } else {
            EXPECT_EQ(stUser.u8Privilege, 77); /* untouched on failure */
        }
    }
}

TEST(NumberOption, WholeTextInRange)
{
    U32 u32Val = 5;
    EXPECT_EQ(ParseNumber("0xFFF0", 0xFFFF, &u32Val), 0);
    EXPECT_EQ(u32Val, 0xFFF0u);
    EXPECT_EQ(ParseNumber("65535", 0xFFFF, &u32Val), 0);
    EXPECT_EQ(u32Val, 65535u);
    u32Val = 5;
    for (const char* ps8Bad : {"65536", "0x10000", "", "0x", "12a", "-1", " 1", "99999999999"}) {
        SCOPED_TRACE(ps8Bad);
        EXPECT_EQ(ParseNumber(ps8Bad, 0xFFFF, &u32Val), -1);
        EXPECT_EQ(u32Val, 5u);
    }
}

namespace {
int Parse(std::vector<const char*> vecArgs, ZOZID_OPTIONS_S* pstOpts, std::string* pstrErr)
{
    vecArgs.insert(vecArgs.begin(), "zozid");
    return ParseZozidArgs((int)vecArgs.size(), const_cast<char**>(vecArgs.data()), pstOpts,
                          pstrErr);
}
}  // namespace

TEST(CommandLine, DefaultsAreTheDevicePaths)
{
    ZOZID_OPTIONS_S stOpts;
    std::string strErr;
    ASSERT_EQ(Parse({}, &stOpts, &strErr), 0);
    EXPECT_EQ(stOpts.strMivor, "/mivor");
    EXPECT_EQ(stOpts.strSnap, "/dev/snap");
    EXPECT_EQ(stOpts.u8Resolution, 3);
    EXPECT_EQ(stOpts.u16Caps, 0xFFF0);
    EXPECT_EQ(stOpts.s32Answer, 0x200);
    EXPECT_EQ(stOpts.enFile, ZOZID_FILE_JPEG);
}

TEST(CommandLine, AllOptionsTaken)
{
    ZOZID_OPTIONS_S stOpts;
    std::string strErr;
    ASSERT_EQ(
        Parse({"--mivor",         "/tmp/m", "--snap",       "/tmp/s", "--user",     "a:b",
               "--user",          "c:d:2",  "--resolution", "7",      "--caps",     "0x00F0",
               "--iface",         "eth0",   "--answer",     "none",   "--delay-ms", "20",
               "--file",          "empty",  "--jpeg-size",  "100000", "--fast",     "--mark-images",
               "--empty-file-at", "2"},
              &stOpts, &strErr),
        0)
        << strErr;
    EXPECT_EQ(stOpts.strMivor, "/tmp/m");
    ASSERT_EQ(stOpts.vecUsers.size(), 2u);
    EXPECT_EQ(stOpts.vecUsers[1].u8Privilege, 2);
    EXPECT_EQ(stOpts.u16Caps, 0x00F0);
    EXPECT_EQ(stOpts.s32Answer, ZOZID_ANSWER_NONE);
    EXPECT_EQ(stOpts.enFile, ZOZID_FILE_EMPTY);
    EXPECT_EQ(stOpts.u32JpegSize, 100000u);
    EXPECT_TRUE(stOpts.bFast);
    EXPECT_TRUE(stOpts.bMarkImages);
    EXPECT_EQ(stOpts.s32EmptyAt, 2);
}

TEST(CommandLine, BadValuesRefusedAndNothingKept)
{
    const std::vector<std::vector<const char*>> vecBad = {
        {"--answer", "0x300"},   {"--answer"},
        {"--file", "png"},       {"--caps", "0x10000"},
        {"--resolution", "256"}, {"--iface", "averyveryverylongname"},
        {"--poll-us", "0"},      {"--bogus", "1"},
        {"--user", "nocolon"}};
    for (const auto& vecArgs : vecBad) {
        SCOPED_TRACE(vecArgs[0]);
        ZOZID_OPTIONS_S stOpts;
        stOpts.strMivor = "kept";
        std::string strErr;
        EXPECT_EQ(Parse(vecArgs, &stOpts, &strErr), -1);
        EXPECT_FALSE(strErr.empty());
        EXPECT_EQ(stOpts.strMivor, "kept");
    }
}

TEST(CommandLine, ThirtyUsersAtMost)
{
    std::vector<const char*> vecArgs;
    for (int i = 0; i < 31; ++i) {
        vecArgs.push_back("--user");
        vecArgs.push_back("u:p");
    }
    ZOZID_OPTIONS_S stOpts;
    std::string strErr;
    EXPECT_EQ(Parse(vecArgs, &stOpts, &strErr), -1);
    vecArgs.resize(60);
    EXPECT_EQ(Parse(vecArgs, &stOpts, &strErr), 0);
    EXPECT_EQ(stOpts.vecUsers.size(), 30u);
}
