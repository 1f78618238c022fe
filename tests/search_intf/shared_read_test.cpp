// SPDX-License-Identifier: MIT
/* One read of the settings file for the readers of one request: the answers
 * and the trace lines are those of readers that read for themselves, and
 * nothing read in one request serves the next. Files in a temporary directory. */
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "capture_fd.h"
#include "comm_log_internal.h"
#include "search_intf_internal.h"
#include "test_util.h"

namespace {

/* What a search asks of the provider: GetNetworkState, then GetDevInfo. */
struct SearchAnswer {
    S32 s32StateRet, s32Mode;
    U8 u8Ip[4], u8Mask[4];
    S32 s32InfoRet;
    DEVINFO_S stInfo;
    std::string strOut, strErr; /* trace lines, perror lines */
};

/* The two reads of one search, inside a request when bRequest is set; the
 * file may be changed between them. */
SearchAnswer AskAsASearch(NetInterface* pDev, bool bRequest,
                          const std::function<void()>& fnBetween = nullptr)
{
    SearchAnswer a;
    a.s32Mode = -1;
    memset(a.u8Ip, 0, sizeof(a.u8Ip));
    memset(a.u8Mask, 0, sizeof(a.u8Mask));
    memset(&a.stInfo, 0, sizeof(a.stInfo));
    if (bRequest) pDev->RequestBegin();
    CaptureFd stCapOut(STDOUT_FILENO);
    CaptureFd stCapErr(STDERR_FILENO);
    a.s32StateRet = pDev->GetNetworkState(&a.s32Mode, a.u8Ip, a.u8Mask);
    if (fnBetween) fnBetween();
    a.s32InfoRet = pDev->GetDevInfo(&a.stInfo, 1);
    a.strOut = stCapOut.Take();
    a.strErr = stCapErr.Take();
    if (bRequest) pDev->RequestEnd();
    return a;
}

void ExpectSame(const SearchAnswer& a, const SearchAnswer& b)
{
    EXPECT_EQ(a.s32StateRet, b.s32StateRet);
    EXPECT_EQ(a.s32Mode, b.s32Mode);
    EXPECT_EQ(0, memcmp(a.u8Ip, b.u8Ip, sizeof(a.u8Ip)));
    EXPECT_EQ(0, memcmp(a.u8Mask, b.u8Mask, sizeof(a.u8Mask)));
    EXPECT_EQ(a.s32InfoRet, b.s32InfoRet);
    EXPECT_EQ(0, memcmp(&a.stInfo, &b.stInfo, sizeof(a.stInfo)));
    EXPECT_EQ(a.strOut, b.strOut);
    EXPECT_EQ(a.strErr, b.strErr);
}

class SharedRead : public testing::Test {
protected:
    void SetUp() override { CommLogBudgetRefill(); }
    TempDir m_dir;
    const std::string m_strIni = m_dir.Path("network.ini");
    TestDevice m_dev{m_strIni, "/nonexistent", "false"};
};

TEST_F(SharedRead, AnswersAndTraceLinesAreThoseOfReadersOfTheirOwn)
{
    /* Files of every kind the readers meet, blank padding longer than the
     * first read among them. */
    const std::string strPad(3000, '\n');
    const struct {
        const char* ps8Name;
        std::string strText;
    } cases[] = {
        {"as the main application writes it", TEST_INI},
        {"dhcp on, odd numbers",
         "dhcp=7\nipaddr=192.168.1.300\nnetmask=255.255.255.0\n"
         "gateway=x\nmacaddr=0:1b:2:3d:4:ff\n"},
        {"address text the state reader refuses",
         "dhcp=0\nipaddr=abc\nnetmask=b\n"
         "gateway=c\nmacaddr=0a:1b:2c:3d:4e:5f\n"},
        {"cut before macaddr", "dhcp=0\nipaddr=10.0.0.1\nnetmask=255.0.0.0\n"},
        {"empty", ""},
        {"longer than the first read", "dhcp=0\n" + strPad + "ipaddr=10.9.8.7\n" + strPad +
                                           "netmask=255.255.0.0\ngateway=g\n" + strPad +
                                           "macaddr=aa:bb:cc:dd:ee:ff\n"},
        {"ends inside the first read's size",
         std::string(TEST_INI) + std::string(NETINI_FIRST_READ - 200, '#')},
        {"exactly the first read's size",
         std::string(TEST_INI) + std::string(NETINI_FIRST_READ - strlen(TEST_INI), '#')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ps8Name);
        WriteFile(m_strIni, c.strText);
        ExpectSame(AskAsASearch(&m_dev, false), AskAsASearch(&m_dev, true));
    }
    const SearchAnswer a = AskAsASearch(&m_dev, true);
    EXPECT_STREQ("0A-1B-2C-3D-4E-5F", a.stInfo.s8MacAddr);

    /* Nothing to read: each reader reports the failure as its own open would. */
    for (const bool bDir : {false, true}) {
        SCOPED_TRACE(bDir ? "a directory" : "missing");
        unlink(m_strIni.c_str());
        if (bDir) {
            ASSERT_EQ(0, mkdir(m_strIni.c_str(), 0755));
        }
        const SearchAnswer stOwn = AskAsASearch(&m_dev, false);
        const SearchAnswer stShared = AskAsASearch(&m_dev, true);
        ExpectSame(stOwn, stShared);
        EXPECT_EQ(2u, (size_t)std::count(stShared.strOut.begin(), stShared.strOut.end(), '\n'))
            << "two fopen error lines: " << stShared.strOut;
        EXPECT_NE(std::string::npos,
                  stShared.strErr.find(bDir ? "Is a directory" : "No such file"));
        if (bDir) rmdir(m_strIni.c_str());
    }
}

TEST_F(SharedRead, OneSearchSeesOneVersionOfTheFile)
{
    WriteFile(m_strIni, TEST_INI);
    const auto replace = [this]() {
        const std::string strTmp = m_dir.Path("new.ini");
        WriteFile(strTmp,
                  "dhcp=1\nipaddr=10.0.0.9\nnetmask=255.0.0.0\ngateway=10.0.0.1\n"
                  "macaddr=02:00:00:00:00:09\n");
        ASSERT_EQ(0, rename(strTmp.c_str(), m_strIni.c_str()));
    };
    /* Replaced between the two answers of one search: both are of the file as
     * the search found it. */
    const SearchAnswer a = AskAsASearch(&m_dev, true, replace);
    EXPECT_EQ(20, a.u8Ip[3]);
    EXPECT_STREQ("0A-1B-2C-3D-4E-5F", a.stInfo.s8MacAddr);
    /* The next search reads it again. */
    const SearchAnswer b = AskAsASearch(&m_dev, true);
    EXPECT_EQ(0, b.s32Mode);
    EXPECT_EQ(9, b.u8Ip[3]);
    EXPECT_STREQ("02-00-00-00-00-09", b.stInfo.s8MacAddr);
}

TEST_F(SharedRead, NothingServesOutsideOrAfterItsRequest)
{
    /* The last address byte a state reader gives. */
    const auto lastByte = [this]() {
        S32 s32Mode = -1;
        U8 u8Ip[4] = {};
        CaptureFd stCapOut(STDOUT_FILENO);
        const S32 s32Ret = m_dev.GetNetworkState(&s32Mode, u8Ip, nullptr);
        (void)stCapOut.Take();
        return s32Ret == 0 ? (int)u8Ip[3] : -1;
    };
    WriteFile(m_strIni, TEST_INI);
    m_dev.RequestBegin();
    EXPECT_EQ(20, lastByte());
    m_dev.RequestEnd();

    /* Outside a request every reader reads. */
    WriteFile(m_strIni, "dhcp=0\nipaddr=1.1.1.1\nnetmask=255.0.0.0\n");
    EXPECT_EQ(1, lastByte());

    /* A rewrite within the request is seen by the readers after it. A ps that
     * lists no main application: nothing is signalled. */
    ASSERT_EQ(0, mkdir(m_dir.Path("bin").c_str(), 0755));
    WriteFile(m_dir.Path("bin/ps"), "#!/bin/sh\necho 'PID   USER     COMMAND'\n", 0755);
    const ScopedPath path(m_dir.Path("bin") + ":/usr/bin:/bin");
    VXNet_NetworkBaseSet_t stSet = {};
    const U8 u8NewIp[4] = {10, 1, 0, 33}, u8Mask[4] = {255, 255, 255, 0};
    memcpy(stSet.IPAddr, u8NewIp, 4);
    memcpy(stSet.NetMask, u8Mask, 4);
    stSet.NetworkMode = 2;
    WriteFile(m_strIni, TEST_INI);
    m_dev.RequestBegin();
    EXPECT_EQ(20, lastByte());
    CaptureFd stCapOut(STDOUT_FILENO);
    const S32 s32Ret = m_dev.NetBasicParamAdapter(&stSet, nullptr, 0, false, sizeof(stSet));
    (void)stCapOut.Take();
    EXPECT_EQ(0, s32Ret);
    EXPECT_EQ(33, lastByte());
    m_dev.RequestEnd();
}

}  // namespace
