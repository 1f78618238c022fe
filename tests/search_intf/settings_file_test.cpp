// SPDX-License-Identifier: MIT
/* The settings file: the three readers, the rewrite and the MAC text it stores,
 * against files in a temporary directory. */
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capture_fd.h"
#include "netini.h"
#include "search_intf_internal.h"
#include "test_util.h"

namespace {

using testing::HasSubstr;
using testing::MatchesRegex;

/* The device over a settings file in a temporary directory. A ps that lists
 * no main application: a change is stored, and nobody is signalled. */
class SettingsFile : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, mkdir(m_dir.Path("bin").c_str(), 0755));
        WriteFile(m_dir.Path("bin/ps"), "#!/bin/sh\necho 'PID   USER     COMMAND'\n", 0755);
    }

    /* An address change as the discovery server passes it. */
    static VXNet_NetworkBaseSet_t AddrSet(U8 u8Mode)
    {
        VXNet_NetworkBaseSet_t stSet = {};
        const U8 u8Ip[4] = {192, 168, 1, 10}, u8Mask[4] = {255, 255, 255, 0},
                 u8Gw[4] = {192, 168, 1, 1};
        memcpy(stSet.IPAddr, u8Ip, 4);
        memcpy(stSet.NetMask, u8Mask, 4);
        memcpy(stSet.GateWay, u8Gw, 4);
        stSet.NetworkMode = u8Mode;
        return stSet;
    }
    /* The adapter, in either direction, for the address record or the MAC field. */
    S32 Store(VXNet_NetworkBaseSet_t stSet, BOOL bGet = false)
    {
        return m_dev.NetBasicParamAdapter(&stSet, nullptr, 0, bGet, sizeof(stSet));
    }
    S32 SetMac(const char* ps8Text, S8 (&s8Field)[NETINTF_MAC_FIELD_SIZE])
    {
        memset(s8Field, 0, sizeof(s8Field));
        memcpy(s8Field, ps8Text, strnlen(ps8Text, sizeof(s8Field)));
        return m_dev.NetBasicParamAdapter(nullptr, s8Field, 0, false, 272);
    }

    TempDir m_dir;
    const std::string m_strIni = m_dir.Path("network.ini");
    ScopedPath m_path{m_dir.Path("bin") + ":/usr/bin:/bin"};
    TestDevice m_dev{m_strIni};
};

TEST_F(SettingsFile, DevInfoTakesMacTextAndFixedValues)
{
    WriteFile(m_strIni, TEST_INI);
    DEVINFO_S stInfo = {};
    stInfo.u32ProtocolType = 7;
    memcpy(stInfo.s8P2pId, "P2P", 3);
    stInfo.s8DevName[0] = 'x';
    CaptureFd stCapOut(STDOUT_FILENO);
    EXPECT_EQ(0, m_dev.GetDevInfo(&stInfo, 1));
    EXPECT_THAT(stCapOut.Take(),
                MatchesRegex("00<GetDevInfo>:\\([0-9]+\\), macaddr:0A-1B-2C-3D-4E-5F--\\[7\\]\n"
                             "11<GetDevInfo>:\\([0-9]+\\), macaddr:0A-1B-2C-3D-4E-5F--\\[4\\]\n"));
    EXPECT_STREQ("0A-1B-2C-3D-4E-5F", stInfo.s8MacAddr);
    EXPECT_EQ(0x5658040200080000ULL, stInfo.u64DevType);
    EXPECT_EQ(1010u, stInfo.u32DeviceID);
    EXPECT_EQ(4, stInfo.u8ChannelNum);
    EXPECT_EQ(4, stInfo.u8VideoCoverNum);
    EXPECT_EQ(2, stInfo.u8MotionMode);
    EXPECT_EQ(4, stInfo.u8MaxPreviewNum);
    EXPECT_EQ('\0', stInfo.s8DevName[0]);
    EXPECT_EQ(0, memcmp(stInfo.s8P2pId, "P2P", 4)); /* not the provider's to touch */

    /* A macaddr line in the clients' form does not match: six zero bytes. */
    WriteFile(m_strIni, "dhcp=0\nipaddr=a\nnetmask=b\ngateway=c\nmacaddr=0A-1B-2C-3D-4E-5F\n");
    EXPECT_EQ(0, m_dev.GetDevInfo(&stInfo, 1));
    EXPECT_STREQ("00-00-00-00-00-00", stInfo.s8MacAddr);
}

TEST_F(SettingsFile, MissingFileTouchesNothing)
{
    DEVINFO_S stInfo, stBefore;
    memset(&stInfo, 0x5A, sizeof(stInfo));
    memcpy(&stBefore, &stInfo, sizeof(stInfo));
    S32 s32Mode = 77;
    U8 u8Ip[4] = {1, 2, 3, 4};
    CaptureFd stCapOut(STDOUT_FILENO);
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_EQ(0, m_dev.GetDevInfo(&stInfo, 1));
    EXPECT_EQ(0, m_dev.GetNetworkState(&s32Mode, u8Ip, nullptr));
    VXNet_NetworkBaseSet_t stSet = AddrSet(2);
    EXPECT_EQ(-1, Store(stSet));
    EXPECT_THAT(stCapOut.Take(),
                MatchesRegex("<GetDevInfo>:\\([0-9]+\\), fopen error\n"
                             "<GetNetworkState>:\\([0-9]+\\), fopen error\n"
                             "<NetBasicParamAdapter>:\\([0-9]+\\), _* NetBasicParamAdapter_*\n"
                             "<NetBasicParamAdapter>:\\([0-9]+\\), fopen error\n"));
    EXPECT_THAT(stCapErr.Take(), HasSubstr("\n: No such file or directory\n"));
    EXPECT_EQ(0, memcmp(&stInfo, &stBefore, sizeof(stInfo)));
    EXPECT_EQ(77, s32Mode);
    EXPECT_EQ(4, u8Ip[3]);
    EXPECT_FALSE(FileExists(m_strIni)); /* never created: it is the main application's */
}

TEST_F(SettingsFile, NetworkStateModeAndAddressBytes)
{
    const struct {
        const char* ps8Dhcp;
        S32 s32Mode;
    } cases[] = {{"0", 2}, {"1", 0}, {"7", 0}, {"-1", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ps8Dhcp);
        WriteFile(m_strIni, std::string("dhcp=") + c.ps8Dhcp +
                                "\nipaddr=192.168.1.300\nnetmask=255.255.255.0\ngateway=x\nmacaddr="
                                "00:11:22:33:44:55\n");
        S32 s32Mode = -5;
        U8 u8Ip[4] = {}, u8Mask[4] = {};
        CaptureFd stCapOut(STDOUT_FILENO);
        EXPECT_EQ(0, m_dev.GetNetworkState(&s32Mode, u8Ip, u8Mask));
        EXPECT_EQ("__________________dhcp[" + std::to_string(c.s32Mode) +
                      "] ip [192].[168].[1].[44]--natmask [255].[255].[255].[0]\n",
                  stCapOut.Take());
        EXPECT_EQ(c.s32Mode, s32Mode);
    }
    /* Either address may be left out; the trace line needs both. */
    S32 s32Mode = -5;
    U8 u8Mask[4] = {};
    CaptureFd stCapOut(STDOUT_FILENO);
    EXPECT_EQ(0, m_dev.GetNetworkState(&s32Mode, nullptr, u8Mask));
    EXPECT_EQ("", stCapOut.Take());
    EXPECT_EQ(255, u8Mask[2]);
}

/* One parse serves every reader: the lines as text, and the numbers the
 * address and MAC readers take from them. */
TEST(SettingsParse, ReadingStopsAtFirstLineThatDoesNotMatch)
{
    const std::string str32(32, '1');
    const struct {
        const char* ps8Name;
        std::string strText;
        NETINI_END_E enEnd;
        S32 s32Lines;
    } cases[] = {
        {"whole file", TEST_INI, NETINI_END_COMPLETE, 9},
        {"blank lines and blanks after =", "dhcp=1\n\n  ipaddr=  1.2.3.4\nnetmask=\n",
         NETINI_END_SHORT, 3},
        {"lines after the ninth", std::string(TEST_INI) + "junk\n", NETINI_END_COMPLETE, 9},
        {"blank before first key", std::string(" ") + TEST_INI, NETINI_END_BAD_LINE, 0},
        {"integer without digits", "dhcp=x\n", NETINI_END_BAD_LINE, 0},
        {"integer beyond 32 bits", "dhcp=4294967296\n", NETINI_END_BAD_LINE, 0},
        {"text beyond capacity", "dhcp=0\nipaddr=" + str32 + "\n", NETINI_END_BAD_LINE, 1},
        {"text at capacity", "dhcp=0\nipaddr=" + str32.substr(1), NETINI_END_SHORT, 2},
        {"key without =", "dhcp=0\nipaddr=1.2.3.4\nnetmask 255.0.0.0\n", NETINI_END_BAD_LINE, 2},
        {"NUL in a value", std::string("dhcp=0\nipaddr=1.2\0.3\n", 21), NETINI_END_BAD_LINE, 1},
        {"empty file", "", NETINI_END_SHORT, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ps8Name);
        NETINI_S stIni;
        NetIniParse(c.strText.data(), c.strText.size(), &stIni);
        EXPECT_EQ(c.enEnd, stIni.enEnd);
        EXPECT_EQ(c.s32Lines, stIni.s32LinesRead);
    }
    const std::string strBlanks = "dhcp=1\n\n  ipaddr=  1.2.3.4\nnetmask=\n";
    NETINI_S stIni;
    NetIniParse(strBlanks.data(), strBlanks.size(), &stIni);
    EXPECT_STREQ("1.2.3.4", stIni.s8IpAddr);
    EXPECT_STREQ("", stIni.s8NetMask);
    EXPECT_STREQ("00:00:00:00:00:00", stIni.s8MacAddr) << "what a rewrite writes for no line";

    /* The numbers: reading stops at a value that is not four numbers, and
     * after one that goes on past them; a MAC is six hex numbers, the rest of
     * the value ignored. */
    const std::string strTail = "gateway=c\nmacaddr=0a:1b:2c:3d:4e:5f\n";
    const struct {
        const char* ps8Name;
        std::string strText;
        S32 s32IpLast, s32MaskLast;
        U8 u8MacLast;
    } astNums[] = {
        {"both addresses", "dhcp=0\nipaddr=1.2.3.4\nnetmask=255.0.0.7\n" + strTail, 4, 7, 0x5f},
        {"address text not four numbers", "dhcp=0\nipaddr=abc\nnetmask=255.0.0.7\n" + strTail, 0, 0,
         0x5f},
        {"address goes on", "dhcp=0\nipaddr=1.2.3.4x\nnetmask=255.0.0.7\n" + strTail, 4, 0, 0x5f},
        {"five of six MAC numbers", "dhcp=0\nipaddr=a\nnetmask=b\ngateway=c\nmacaddr=1:2:3:4:5\n",
         0, 0, 0},
        {"seven MAC numbers", "dhcp=0\nipaddr=a\nnetmask=b\ngateway=c\nmacaddr=1:2:3:4:5:6:7\n", 0,
         0, 6},
    };
    for (const auto& c : astNums) {
        SCOPED_TRACE(c.ps8Name);
        NetIniParse(c.strText.data(), c.strText.size(), &stIni);
        EXPECT_EQ(c.s32IpLast, stIni.s32IpNum[3]);
        EXPECT_EQ(c.s32MaskLast, stIni.s32MaskNum[3]);
        EXPECT_EQ(c.u8MacLast, stIni.u8Mac[5]);
    }
}

/* A file longer than the first read is still read whole: the rewrite keeps
 * the ninth line behind 64 KiB of blank lines, and a request's readers see
 * the file. */
TEST_F(SettingsFile, LongFileIsReadWhole)
{
    const std::string strHead =
        "dhcp=0\nipaddr=192.168.1.20\nnetmask=255.255.0.0\ngateway=192.168.1.254\n"
        "macaddr=0a:1b:2c:3d:4e:5f\nnettype=3\nipv6addr=fe80::1\nipv6prefixlength=64\n";
    WriteFile(m_strIni, strHead + std::string(64 * 1024, '\n') + "ipv6gateway=fe80::fe\n");
    std::string strBytes;
    ASSERT_EQ(0, NetIniLoad(m_strIni.c_str(), &strBytes));
    NETINI_S stIni;
    NetIniParse(strBytes.data(), strBytes.size(), &stIni);
    EXPECT_EQ(NETINI_END_COMPLETE, stIni.enEnd);
    EXPECT_STREQ("fe80::fe", stIni.s8Ipv6GateWay);

    CaptureFd stCapOut(STDOUT_FILENO);
    m_dev.RequestBegin();
    DEVINFO_S stInfo = {};
    EXPECT_EQ(0, m_dev.GetDevInfo(&stInfo, 1));
    m_dev.RequestEnd();
    S8 s8Field[NETINTF_MAC_FIELD_SIZE];
    EXPECT_EQ(0, SetMac("02-00-00-00-00-09", s8Field));
    (void)stCapOut.Take();
    EXPECT_STREQ("0A-1B-2C-3D-4E-5F", stInfo.s8MacAddr);
    EXPECT_EQ(strHead.substr(0, strHead.find("macaddr=")) +
                  "macaddr=02:00:00:00:00:09\nnettype=3\nipv6addr=fe80::1\nipv6prefixlength=64\n"
                  "ipv6gateway=fe80::fe\n",
              ReadFile(m_strIni));
}

TEST_F(SettingsFile, AddressSetRewritesExactlyNineLines)
{
    /* Longer values and a tenth line than the rewrite will have. */
    WriteFile(m_strIni,
              std::string("dhcp=1\nipaddr=10.100.200.250\nnetmask=255.255.255.255\n"
                          "gateway=10.100.200.254\nmacaddr=0a:1b:2c:3d:4e:5f\nnettype=3\n"
                          "ipv6addr=fe80::1\nipv6prefixlength=64\nipv6gateway=fe80::fe\n") +
                  std::string(300, '#') + "\n");
    const std::string strRest =
        "macaddr=0a:1b:2c:3d:4e:5f\nnettype=3\nipv6addr=fe80::1\nipv6prefixlength=64\nipv6gateway="
        "fe80::fe\n";
    for (const U8 u8Mode : {2, 0}) {
        SCOPED_TRACE((int)u8Mode);
        const VXNet_NetworkBaseSet_t stSet = AddrSet(u8Mode);
        EXPECT_EQ(0, Store(stSet));
        EXPECT_EQ(std::string(u8Mode == 0 ? "dhcp=1\n" : "dhcp=0\n") +
                      "ipaddr=192.168.1.10\nnetmask=255.255.255.0\ngateway=192.168.1.1\n" + strRest,
                  ReadFile(m_strIni));
    }
}

TEST_F(SettingsFile, MacSetConvertsCallerTextAndWritesIt)
{
    const struct {
        const char* ps8Sent;
        const char* ps8Stored;
    } cases[] = {
        {"00-11-22-33-44-55", "00:11:22:33:44:55"},
        {"00-11-22-33-44-55-66", "00:11:22:33:44:55"},
        {"00:11:22:33:44:55", "00:11:22:33:44:55"},
        {"00:11-22-33-44-55-66-77", "00:11:22:33:44:55:66"}, /* ":" is not counted */
        {"ab-cd", "ab:cd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ps8Sent);
        WriteFile(m_strIni, TEST_INI);
        S8 s8Field[NETINTF_MAC_FIELD_SIZE];
        EXPECT_EQ(0, SetMac(c.ps8Sent, s8Field));
        EXPECT_STREQ(c.ps8Stored, s8Field);
        std::string strWant = TEST_INI;
        strWant.replace(strWant.find("0a:1b:2c:3d:4e:5f"), 17, c.ps8Stored);
        EXPECT_EQ(strWant, ReadFile(m_strIni));
    }
}

TEST_F(SettingsFile, RefusedSetLeavesFileAsItWas)
{
    S8 s8Field[NETINTF_MAC_FIELD_SIZE];
    const std::string strBadThird =
        "dhcp=0\nipaddr=1.2.3.4\nnetmask 255.0.0.0\ngateway=1.2.3.1\n"
        "macaddr=00:11:22:33:44:55\nnettype=1\n";
    WriteFile(m_strIni, strBadThird);
    const VXNet_NetworkBaseSet_t stSet = AddrSet(2);
    CaptureFd stCapOut(STDOUT_FILENO);
    EXPECT_EQ(-1, Store(stSet));
    EXPECT_EQ(-1, SetMac("00-11-22-33-44-66", s8Field));
    EXPECT_EQ(-1, m_dev.NetBasicParamAdapter(nullptr, nullptr, 0, false, 272));
    EXPECT_THAT(stCapOut.Take(), HasSubstr("line 3"));
    EXPECT_EQ(strBadThird, ReadFile(m_strIni));

    /* MAC texts the file could not give back: too long, white space. */
    WriteFile(m_strIni, TEST_INI);
    memset(s8Field, 'A', sizeof(s8Field)); /* 36 bytes, no terminator */
    EXPECT_EQ(-1, m_dev.NetBasicParamAdapter(nullptr, s8Field, 0, false, 272));
    EXPECT_EQ(-1, SetMac("00-11 22-33-44-55", s8Field));
    EXPECT_EQ(-1, SetMac("00-11\n-22-33-44", s8Field));
    EXPECT_EQ(TEST_INI, ReadFile(m_strIni));
}

TEST_F(SettingsFile, ShortFileGetsDefinedValues)
{
    S8 s8Field[NETINTF_MAC_FIELD_SIZE];
    WriteFile(m_strIni, "dhcp=0\nipaddr=1.2.3.4\n");
    EXPECT_EQ(0, SetMac("00-11-22-33-44-55", s8Field));
    EXPECT_EQ(
        "dhcp=0\nipaddr=1.2.3.4\nnetmask=\ngateway=\nmacaddr=00:11:22:33:44:55\nnettype=0\n"
        "ipv6addr=\nipv6prefixlength=0\nipv6gateway=\n",
        ReadFile(m_strIni));
    const VXNet_NetworkBaseSet_t stSet = AddrSet(2);
    WriteFile(m_strIni, "dhcp=0\n");
    EXPECT_EQ(0, Store(stSet));
    EXPECT_THAT(ReadFile(m_strIni), HasSubstr("\nmacaddr=00:00:00:00:00:00\nnettype=0\n"));
}

TEST_F(SettingsFile, GetDirectionChangesNothing)
{
    WriteFile(m_strIni, TEST_INI);
    VXNet_NetworkBaseSet_t stSet, stBefore;
    memset(&stSet, 0x3C, sizeof(stSet));
    memcpy(&stBefore, &stSet, sizeof(stSet));
    S8 s8Field[NETINTF_MAC_FIELD_SIZE] = "00-11-22-33-44-55";
    EXPECT_EQ(0, m_dev.NetBasicParamAdapter(&stSet, nullptr, 0, true, sizeof(stSet)));
    EXPECT_EQ(0, m_dev.NetBasicParamAdapter(nullptr, s8Field, 0, true, 272));
    EXPECT_EQ(0, memcmp(&stSet, &stBefore, sizeof(stSet)));
    EXPECT_STREQ("00-11-22-33-44-55", s8Field);
    EXPECT_EQ(TEST_INI, ReadFile(m_strIni));
}

/* ======================================================================== */

/* The rewrite replaces the file whole; what is not a regular file is refused
 * without blocking, on the read paths too. */
using SettingsReplace = SettingsFile;

TEST_F(SettingsReplace, NewFileTakesThePlaceOfTheOldWithItsMode)
{
    WriteFile(m_strIni, TEST_INI, 0640);
    struct stat stOld;
    ASSERT_EQ(0, stat(m_strIni.c_str(), &stOld));
    /* A temporary file a power cut left behind is ours to replace. */
    WriteFile(m_dir.Path(".network.ini.new"), "stale\n");
    const VXNet_NetworkBaseSet_t stSet = AddrSet(2);
    EXPECT_EQ(0, Store(stSet));
    struct stat stNew;
    ASSERT_EQ(0, stat(m_strIni.c_str(), &stNew));
    EXPECT_NE(stOld.st_ino, stNew.st_ino) << "a new file, not the old one rewritten";
    EXPECT_EQ(0640u, stNew.st_mode & 07777);
    EXPECT_EQ(stOld.st_uid, stNew.st_uid);
    EXPECT_EQ(0u, ReadFile(m_strIni).find("dhcp=0\nipaddr=192.168.1.10\n"));
    EXPECT_FALSE(FileExists(m_dir.Path(".network.ini.new")));
}

TEST_F(SettingsReplace, SymlinkStaysAndItsTargetIsReplaced)
{
    ASSERT_EQ(0, mkdir(m_dir.Path("real").c_str(), 0755));
    const std::string strTarget = m_dir.Path("real/net.ini");
    WriteFile(strTarget, TEST_INI, 0600);
    ASSERT_EQ(0, symlink("real/net.ini", m_strIni.c_str()));
    S8 s8Field[NETINTF_MAC_FIELD_SIZE];
    EXPECT_EQ(0, SetMac("02-00-00-00-00-09", s8Field));
    struct stat stLink;
    ASSERT_EQ(0, lstat(m_strIni.c_str(), &stLink));
    EXPECT_TRUE(S_ISLNK(stLink.st_mode));
    EXPECT_NE(std::string::npos, ReadFile(strTarget).find("\nmacaddr=02:00:00:00:00:09\n"));
    EXPECT_EQ(0600u, [&] {
        struct stat st;
        stat(strTarget.c_str(), &st);
        return st.st_mode & 07777;
    }());
    EXPECT_FALSE(FileExists(m_dir.Path("real/.net.ini.new")));
    EXPECT_FALSE(FileExists(m_dir.Path(".network.ini.new")));
}

TEST_F(SettingsReplace, WhatIsNotARegularFileIsRefusedWithoutBlocking)
{
    const std::string strDangling = m_dir.Path("gone.ini");
    const struct {
        const char* ps8Name;
        std::function<void()> fnMake;
    } cases[] = {
        {"fifo", [&] { ASSERT_EQ(0, mkfifo(m_strIni.c_str(), 0644)); }},
        {"directory", [&] { ASSERT_EQ(0, mkdir(m_strIni.c_str(), 0755)); }},
        {"dangling symlink", [&] { ASSERT_EQ(0, symlink(strDangling.c_str(), m_strIni.c_str())); }},
        {"device", [&] { ASSERT_EQ(0, symlink("/dev/zero", m_strIni.c_str())); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ps8Name);
        c.fnMake();
        DEVINFO_S stInfo;
        memset(&stInfo, 0, sizeof(stInfo));
        S32 s32Mode = 77;
        U8 u8Ip[4] = {1, 2, 3, 4};
        const VXNet_NetworkBaseSet_t stSet = AddrSet(2);
        S8 s8Field[NETINTF_MAC_FIELD_SIZE];
        CaptureFd stCapOut(STDOUT_FILENO);
        CaptureFd stCapErr(STDERR_FILENO);
        EXPECT_EQ(0, m_dev.GetDevInfo(&stInfo, 1));
        EXPECT_EQ(0, m_dev.GetNetworkState(&s32Mode, u8Ip, nullptr));
        EXPECT_EQ(-1, Store(stSet, true));
        EXPECT_EQ(-1, Store(stSet));
        EXPECT_EQ(-1, SetMac("02-00-00-00-00-09", s8Field));
        const std::string strOut = stCapOut.Take();
        stCapErr.Take();
        EXPECT_THAT(strOut, HasSubstr("<GetDevInfo>:("));
        EXPECT_EQ(77, s32Mode);
        EXPECT_EQ('\0', stInfo.s8MacAddr[0]);
        EXPECT_FALSE(FileExists(strDangling)) << "never created";
        EXPECT_FALSE(FileExists(m_dir.Path(".network.ini.new")));
        EXPECT_FALSE(FileExists(m_dir.Path(".gone.ini.new")));
        (void)remove(m_strIni.c_str());
    }
}

}  // namespace
