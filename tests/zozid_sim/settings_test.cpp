// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "zozid_settings.h"

TEST(SettingsText, DefaultFileReadsWhole)
{
    ZOZID_NET_S stNet;
    ASSERT_EQ(ParseSettingsText(ZOZID_DEFAULT_SETTINGS, &stNet), 0);
    EXPECT_EQ(stNet.u32Keys, 9u);
    EXPECT_EQ(stNet.s32Dhcp, 0);
    EXPECT_EQ(stNet.strIpAddr, "192.168.1.10");
    EXPECT_EQ(stNet.strNetmask, "255.255.255.0");
    EXPECT_EQ(stNet.strGateway, "192.168.1.1");
    EXPECT_EQ(stNet.strMacAddr, "00:11:22:33:44:55");
    EXPECT_EQ(stNet.strIpv6Addr, "");
    EXPECT_EQ(stNet.strIpv6Gateway, "");
}

TEST(SettingsText, StopsAtFirstMismatch)
{
    struct Case {
        const char* ps8Text;
        U32 u32Keys;
    };
    const Case astCases[] = {
        {" dhcp=0\nipaddr=1.2.3.4\n", 0},                   /* the first key begins the file */
        {"dhcp=x\n", 0},                                    /* integer needs digits */
        {"dhcp=1\n\n  ipaddr= 10.0.0.2\nmask=1\n", 2},      /* blanks before keys and values */
        {"dhcp=0\nnetmask=255.0.0.0\nipaddr=1.2.3.4\n", 1}, /* fixed order */
        {"dhcp=0\nipaddr=01234567890123456789012345678901\n", 1}, /* 32 > 31 characters */
    };
    for (const Case& stCase : astCases) {
        SCOPED_TRACE(stCase.ps8Text);
        ZOZID_NET_S stNet;
        EXPECT_EQ(ParseSettingsText(stCase.ps8Text, &stNet), -1);
        EXPECT_EQ(stNet.u32Keys, stCase.u32Keys);
    }
    ZOZID_NET_S stNet;
    ParseSettingsText("dhcp=1\n\n  ipaddr= 10.0.0.2\n", &stNet);
    EXPECT_EQ(stNet.strIpAddr, "10.0.0.2");
}

TEST(SettingsFile, CreatedOnceNeverOverwritten)
{
    char s8Dir[] = "/tmp/zozid_settings_XXXXXX";
    ASSERT_NE(mkdtemp(s8Dir), nullptr);
    const std::string strPath = std::string(s8Dir) + "/network.ini";
    EXPECT_EQ(EnsureSettingsFile(strPath), 1);
    {
        std::ifstream stIn(strPath);
        std::stringstream stText;
        stText << stIn.rdbuf();
        EXPECT_EQ(stText.str(), ZOZID_DEFAULT_SETTINGS);
    }
    {
        std::ofstream stOut(strPath);
        stOut << "dhcp=1\n";
    }
    EXPECT_EQ(EnsureSettingsFile(strPath), 0);
    ZOZID_NET_S stNet;
    EXPECT_EQ(ReadSettingsFile(strPath, &stNet), -1);
    EXPECT_EQ(stNet.s32Dhcp, 1);
    unlink(strPath.c_str());
    EXPECT_EQ(ReadSettingsFile(strPath, &stNet), -1);
    EXPECT_EQ(EnsureSettingsFile(std::string(s8Dir) + "/missing/network.ini"), -1);
    rmdir(s8Dir);
}

TEST(SettingsApply, PrefixOnlyFromContiguousMasks)
{
    EXPECT_EQ(MaskToPrefix("255.255.255.0"), 24);
    EXPECT_EQ(MaskToPrefix("255.255.255.255"), 32);
    EXPECT_EQ(MaskToPrefix("255.128.0.0"), 9);
    EXPECT_EQ(MaskToPrefix("0.0.0.0"), 0);
    EXPECT_EQ(MaskToPrefix("255.0.255.0"), -1);
    EXPECT_EQ(MaskToPrefix("255.255.255"), -1);
    EXPECT_EQ(MaskToPrefix(""), -1);
}

TEST(SettingsApply, DhcpModeAndBadAddressesRunNothing)
{
    /* none of these may reach `ip` (a missing interface name would show as -1) */
    ZOZID_NET_S stNet;
    stNet.s32Dhcp = 1;
    stNet.strIpAddr = "10.0.0.1";
    stNet.strNetmask = "255.0.0.0";
    EXPECT_EQ(ApplySettings(stNet, "nosuchif0"), 0);
    stNet.s32Dhcp = 0;
    stNet.strIpAddr = "10.0.0.1;reboot";
    EXPECT_EQ(ApplySettings(stNet, "nosuchif0"), -1);
    stNet.strIpAddr = "10.0.0.1";
    stNet.strNetmask = "255.0.255.0";
    EXPECT_EQ(ApplySettings(stNet, "nosuchif0"), -1);
}
