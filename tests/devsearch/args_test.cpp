// SPDX-License-Identifier: MIT
/* Command line and value checks: nothing invalid may reach the wire. */
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "ds_args.h"

namespace {

S32 Parse(std::vector<const char*> vecArgs, DsOptions* pstOpt, std::string* pstrErr)
{
    vecArgs.insert(vecArgs.begin(), "devsearch");
    return DsParseArgs((int)vecArgs.size(), vecArgs.data(), pstOpt, pstrErr);
}

TEST(AddressText, StrictDottedDecimal)
{
    const struct {
        const char* text;
        bool ok;
        U8 a, b, c, d;
    } cases[] = {
        {"192.168.1.10", true, 192, 168, 1, 10},
        {"0.0.0.0", true, 0, 0, 0, 0},
        {"255.255.255.255", true, 255, 255, 255, 255},
        {"256.1.1.1", false, 0, 0, 0, 0},
        {"1.2.3", false, 0, 0, 0, 0},
        {"1.2.3.4.5", false, 0, 0, 0, 0},
        {"1.2.3.", false, 0, 0, 0, 0},
        {".1.2.3", false, 0, 0, 0, 0},
        {"01.2.3.4", false, 0, 0, 0, 0},
        {"1.2.3.4 ", false, 0, 0, 0, 0},
        {" 1.2.3.4", false, 0, 0, 0, 0},
        {"1..3.4", false, 0, 0, 0, 0},
        {"+1.2.3.4", false, 0, 0, 0, 0},
        {"1.2.3.-4", false, 0, 0, 0, 0},
        {"0x1.2.3.4", false, 0, 0, 0, 0},
        {"1234.1.1.1", false, 0, 0, 0, 0},
        {"", false, 0, 0, 0, 0},
        {"a.b.c.d", false, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        U8 au8[4] = {9, 9, 9, 9};
        EXPECT_EQ(c.ok ? 0 : -1, DsParseIpv4(c.text, au8));
        if (c.ok) {
            EXPECT_EQ(c.a, au8[0]);
            EXPECT_EQ(c.b, au8[1]);
            EXPECT_EQ(c.c, au8[2]);
            EXPECT_EQ(c.d, au8[3]);
        } else {
            EXPECT_EQ(9, au8[0]);  // untouched on failure
        }
    }
}

TEST(MacText, NormalisedToUpperCaseDashes)
{
    const struct {
        const char* text;
        const char* norm;
    } cases[] = {
        {"0a:1b:2c:3d:4e:5f", "0A-1B-2C-3D-4E-5F"},
        {"0A-1B-2C-3D-4E-5F", "0A-1B-2C-3D-4E-5F"},
        {"0a-1B-2c-3D-4e-5F", "0A-1B-2C-3D-4E-5F"},
        {"0a:1b-2c:3d:4e:5f", nullptr},  // mixed separators
        {"0a:1b:2c:3d:4e", nullptr},
        {"0a:1b:2c:3d:4e:5f:60", nullptr},
        {"0a:1b:2c:3d:4e:5g", nullptr},
        {"a:1b:2c:3d:4e:5f0", nullptr},
        {"0a1b2c3d4e5f", nullptr},
        {"0a.1b.2c.3d.4e.5f", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string strNorm = "untouched";
        EXPECT_EQ(c.norm ? 0 : -1, DsParseMac(c.text, &strNorm));
        EXPECT_EQ(c.norm ? c.norm : "untouched", strNorm);
    }
}

TEST(MacText, OnlyUnicastNonZeroIsAssignable)
{
    EXPECT_TRUE(DsMacIsAssignable("02-00-00-00-00-01"));
    EXPECT_TRUE(DsMacIsAssignable("FE-FF-FF-FF-FF-FF"));
    EXPECT_FALSE(DsMacIsAssignable("00-00-00-00-00-00"));
    EXPECT_FALSE(DsMacIsAssignable("01-00-5E-00-00-01"));  // group bit
    EXPECT_FALSE(DsMacIsAssignable("FF-FF-FF-FF-FF-FF"));
}

TEST(AddressKinds, UnicastHostAndMask)
{
    const struct {
        U8 au8Addr[4];
        bool bHost;
    } astHosts[] = {
        {{0, 0, 0, 0}, false},   {{255, 255, 255, 255}, false}, {{127, 0, 0, 5}, false},
        {{224, 0, 0, 1}, false}, {{10, 0, 0, 1}, true},         {{223, 255, 255, 254}, true},
    };
    for (const auto& stCase : astHosts) {
        EXPECT_EQ(stCase.bHost, DsIsUnicastHost(stCase.au8Addr)) << unsigned(stCase.au8Addr[0]);
    }
    const struct {
        U8 au8Mask[4];
        bool bValid;
    } astMasks[] = {
        {{255, 255, 255, 0}, true}, {{255, 255, 255, 255}, true}, {{128, 0, 0, 0}, true},
        {{0, 0, 0, 0}, false},      {{255, 0, 255, 0}, false},    {{0, 0, 0, 255}, false},
    };
    for (const auto& stCase : astMasks) {
        EXPECT_EQ(stCase.bValid, DsIsValidMask(stCase.au8Mask))
            << unsigned(stCase.au8Mask[0]) << "." << unsigned(stCase.au8Mask[3]);
    }
}

TEST(NumberText, SecondsAndCounts)
{
    const struct {
        const char* text;
        S32 ret;
        U32 ms;
    } secs[] = {
        {"2", 0, 2000},  {"0.5", 0, 500}, {"1.25", 0, 1250}, {"60", 0, 60000}, {"0.1", 0, 100},
        {"0.05", -1, 0}, {"61", -1, 0},   {"1.2345", -1, 0}, {"1.", -1, 0},    {".5", -1, 0},
        {"-1", -1, 0},   {"1e3", -1, 0},  {"", -1, 0},       {"999", -1, 0},
    };
    for (const auto& c : secs) {
        SCOPED_TRACE(c.text);
        U32 u32Ms = 7;
        EXPECT_EQ(c.ret, DsParseSeconds(c.text, &u32Ms));
        EXPECT_EQ(c.ret == 0 ? c.ms : 7u, u32Ms);
    }
    U32 u32Val = 0;
    EXPECT_EQ(0, DsParseUint("65535", 1, 65535, &u32Val));
    EXPECT_EQ(65535u, u32Val);
    EXPECT_EQ(-1, DsParseUint("65536", 1, 65535, &u32Val));
    EXPECT_EQ(-1, DsParseUint("0", 1, 65535, &u32Val));
    EXPECT_EQ(-1, DsParseUint("99999999999999999999", 0, 0xFFFFFFFFu, &u32Val));
    EXPECT_EQ(-1, DsParseUint("12a", 0, 100, &u32Val));
}

TEST(CommandLine, SearchDefaultsAndOptions)
{
    DsOptions o;
    std::string e;
    ASSERT_EQ(0, Parse({"search"}, &o, &e)) << e;
    EXPECT_EQ(DS_CMD_SEARCH, o.enCmd);
    EXPECT_EQ(2000u, o.u32TimeoutMs);
    EXPECT_EQ(2u, o.u32Retries);
    EXPECT_EQ(9333, o.u16Port);
    EXPECT_TRUE(o.strIface.empty());
    EXPECT_FALSE(o.bJson);

    ASSERT_EQ(
        0, Parse({"search", "--interface", "eth1", "--timeout=0.5", "--retries", "0", "--json"}, &o,
                 &e))
        << e;
    EXPECT_EQ("eth1", o.strIface);
    EXPECT_EQ(500u, o.u32TimeoutMs);
    EXPECT_EQ(0u, o.u32Retries);
    EXPECT_TRUE(o.bJson);
}

TEST(CommandLine, ModifyCollectsTargetAndValues)
{
    DsOptions o;
    std::string e;
    ASSERT_EQ(0, Parse({"modify", "aa:bb:cc:dd:ee:f0", "--user", "admin", "--password", "1234",
                        "--ip", "10.1.0.50", "--mask", "255.255.0.0", "--gateway", "0.0.0.0",
                        "--web-port", "8080", "--static", "--legacy"},
                       &o, &e))
        << e;
    EXPECT_EQ(DS_CMD_MODIFY, o.enCmd);
    EXPECT_TRUE(o.bTargetIsMac);
    EXPECT_EQ("AA-BB-CC-DD-EE-F0", o.strTargetMac);
    EXPECT_EQ("admin", o.strUser);
    EXPECT_EQ("1234", o.strPwd);
    EXPECT_TRUE(o.stIp.bSet);
    EXPECT_EQ(50, o.stIp.au8Addr[3]);
    EXPECT_TRUE(o.stMask.bSet);
    EXPECT_TRUE(o.stGw.bSet);
    EXPECT_FALSE(o.stDns1.bSet);
    EXPECT_FALSE(o.bHasMediaPort);
    EXPECT_TRUE(o.bHasWebPort);
    EXPECT_EQ(8080, o.u16WebPort);
    EXPECT_EQ(DS_MODE_STATIC, o.s32Mode);
    EXPECT_TRUE(o.bLegacy);

    ASSERT_EQ(0, Parse({"modify", "10.1.0.1", "--user=u", "--password=", "--dhcp"}, &o, &e)) << e;
    EXPECT_FALSE(o.bTargetIsMac);
    EXPECT_EQ(10, o.au8TargetIp[0]);
    EXPECT_EQ("", o.strPwd);
    EXPECT_EQ(DS_MODE_DHCP, o.s32Mode);
}

TEST(CommandLine, SetMacTakesDeviceAndNewMac)
{
    DsOptions o;
    std::string e;
    ASSERT_EQ(
        0, Parse({"set-mac", "10.1.0.1", "02:00:00:00:00:07", "--user", "u", "--password", "p"}, &o,
                 &e))
        << e;
    EXPECT_EQ(DS_CMD_SETMAC, o.enCmd);
    EXPECT_EQ("02-00-00-00-00-07", o.strNewMac);
}

TEST(CommandLine, RefusesBadInputWithAReason)
{
    const struct {
        std::vector<const char*> args;
        const char* why;
    } cases[] = {
        {{}, "no command"},
        {{"find"}, "unknown command"},
        {{"search", "--ip", "1.2.3.4"}, "unknown option"},
        {{"search", "--bogus"}, "unknown option"},
        {{"search", "--timeout"}, "needs a value"},
        {{"search", "--json=1"}, "takes no value"},
        {{"search", "--timeout", "0"}, "--timeout"},
        {{"search", "--retries", "21"}, "--retries"},
        {{"search", "--interface", "averyveryverylongname"}, "--interface"},
        {{"search", "extra"}, "unexpected argument"},
        {{"modify", "--user", "u", "--password", "p", "--ip", "1.2.3.4"}, "DEVICE missing"},
        {{"modify", "cam1", "--user", "u", "--password", "p", "--ip", "1.2.3.4"}, "DEVICE"},
        {{"modify", "1.2.3.4", "--password", "p", "--ip", "1.2.3.5"}, "required"},
        {{"modify", "1.2.3.4", "--user", "u", "--password", "p"}, "nothing to change"},
        {{"modify", "1.2.3.4", "--user", "u", "--password", "p", "--ip", "1.2.3.256"}, "--ip"},
        {{"modify", "1.2.3.4", "--user", "u", "--password", "p", "--mask", "255.0.255.0"},
         "--mask"},
        {{"modify", "1.2.3.4", "--user", "u", "--password", "p", "--web-port", "0"}, "--web-port"},
        {{"modify", "1.2.3.4", "--user", "u", "--password", "p", "--media-port", "70000"},
         "--media-port"},
        {{"modify", "1.2.3.4", "--user", "u", "--password", "p", "--dhcp", "--static"}, "exclude"},
        {{"modify", "1.2.3.4", "--user", "elevenchars", "--password", "p", "--dhcp"}, "--user"},
        {{"modify", "1.2.3.4", "--user", "", "--password", "p", "--dhcp"}, "--user"},
        {{"modify", "1.2.3.4", "--user", "u", "--password", "fifteen-chars!!", "--dhcp"},
         "--password"},
        {{"set-mac", "1.2.3.4", "--user", "u", "--password", "p"}, "NEW-MAC"},
        {{"set-mac", "1.2.3.4", "00:00:00:00:00:00", "--user", "u", "--password", "p"},
         "not a unicast MAC"},
        {{"set-mac", "1.2.3.4", "01:00:5e:00:00:01", "--user", "u", "--password", "p"},
         "not a unicast MAC"},
        {{"set-mac", "1.2.3.4", "00:11:22:33:44", "--user", "u", "--password", "p"}, "NEW-MAC"},
        {{"set-mac", "1.2.3.4", "02:11:22:33:44:55", "--user", "u", "--password", "p", "--ip",
          "1.2.3.5"},
         "unknown option"},
        {{"search", "--expect", "0"}, "--expect"},
        {{"search", "--mac", "02:11:22:33:44"}, "--mac"},
        {{"search", "--csv", "--json"}, "exclude"},
        {{"search", "--wait"}, "unknown option"},
        {{"modify", "1.2.3.4", "--user", "u", "--password", "p", "--dhcp", "--no-wait"},
         "unknown option"},
        {{"modify", "1.2.3.4", "--user", "u", "--password", "p", "--dhcp", "--wait-timeout", "0"},
         "--wait-timeout"},
        {{"assign"}, "--from is required"},
        {{"assign", "--from", "0.0.0.0"}, "--from"},
        {{"assign", "--from", "10.0.0.1", "--order", "size"}, "--order"},
        {{"assign", "--from", "10.0.0.1", "--ip", "10.0.0.2"}, "unknown option"},
        {{"assign", "--from", "10.0.0.1", "--json"}, "unknown option"},
        {{"apply"}, "PLAN.csv missing"},
        {{"apply", "plan.csv"}, "--user and --password are required"},
        {{"apply", "-", "--user", "u", "--password", "-"}, "cannot both"},
    };
    for (const auto& c : cases) {
        std::string strTrace;
        for (const char* p : c.args) strTrace += std::string(p) + " ";
        SCOPED_TRACE(strTrace);
        DsOptions o;
        o.strUser = "untouched";
        std::string e;
        EXPECT_EQ(-1, Parse(c.args, &o, &e));
        EXPECT_NE(std::string::npos, e.find(c.why)) << e;
        EXPECT_EQ("untouched", o.strUser);
    }
}

TEST(CommandLine, ManyDevicesAtOnce)
{
    DsOptions o;
    std::string e;
    ASSERT_EQ(0, Parse({"search", "--expect", "50", "--mac", "02:c5:00:00:00:01", "--csv"}, &o, &e))
        << e;
    EXPECT_EQ(50u, o.u32Expect);
    EXPECT_EQ("02-C5-00-00-00-01", o.strExpectMac);
    EXPECT_TRUE(o.bCsv);
    EXPECT_FALSE(o.bTimeoutGiven);

    ASSERT_EQ(0, Parse({"assign", "--from", "10.0.0.100", "--order", "found", "--mask",
                        "255.255.0.0", "--gateway", "10.0.0.1"},
                       &o, &e))
        << e;
    EXPECT_EQ(DS_CMD_ASSIGN, o.enCmd);
    EXPECT_EQ(100, o.stFrom.au8Addr[3]);
    EXPECT_EQ(DS_ORDER_FOUND, o.enOrder);
    EXPECT_TRUE(o.stMask.bSet && o.stGw.bSet);

    // apply confirms by default; a dry run needs no credentials
    ASSERT_EQ(0, Parse({"apply", "plan.csv", "--user", "u", "--password", "-"}, &o, &e)) << e;
    EXPECT_EQ(DS_CMD_APPLY, o.enCmd);
    EXPECT_EQ("plan.csv", o.strPlanPath);
    EXPECT_TRUE(o.bWait);
    EXPECT_EQ(DS_DEFAULT_WAIT_MS, o.u32WaitMs);
    ASSERT_EQ(0, Parse({"apply", "-", "--dry-run", "--no-wait", "--wait-timeout", "3"}, &o, &e))
        << e;
    EXPECT_TRUE(o.bDryRun);
    EXPECT_FALSE(o.bWait);
    EXPECT_EQ(3000u, o.u32WaitMs);

    // modify waits for the move only when asked; --timeout given is also its reply wait
    ASSERT_EQ(0, Parse({"modify", "10.1.0.1", "--user", "u", "--password", "p", "--dhcp"}, &o, &e));
    EXPECT_FALSE(o.bWait);
    ASSERT_EQ(0, Parse({"modify", "10.1.0.1", "--user", "u", "--password", "p", "--dhcp", "--wait",
                        "--timeout", "1"},
                       &o, &e));
    EXPECT_TRUE(o.bWait && o.bTimeoutGiven);
}

TEST(CommandLine, JsonOnEveryCommand)
{
    DsOptions o;
    std::string e;
    ASSERT_EQ(0, Parse({"modify", "10.1.0.1", "--user", "u", "--password", "p", "--dhcp", "--json"},
                       &o, &e))
        << e;
    EXPECT_TRUE(o.bJson);
    ASSERT_EQ(0, Parse({"set-mac", "--json", "10.1.0.1", "02:00:00:00:00:07", "--user", "u",
                        "--password", "p"},
                       &o, &e))
        << e;
    EXPECT_TRUE(o.bJson);
    ASSERT_EQ(0, Parse({"modify", "10.1.0.1", "--user", "u", "--password", "p", "--dhcp"}, &o, &e));
    EXPECT_FALSE(o.bJson);
}

TEST(CommandLine, HelpAndVersionAnywhere)
{
    DsOptions o;
    std::string e;
    ASSERT_EQ(0, Parse({"--help"}, &o, &e));
    EXPECT_EQ(DS_CMD_HELP, o.enCmd);
    ASSERT_EQ(0, Parse({"modify", "--help"}, &o, &e));
    EXPECT_EQ(DS_CMD_HELP, o.enCmd);
    ASSERT_EQ(0, Parse({"--version"}, &o, &e));
    EXPECT_EQ(DS_CMD_VERSION, o.enCmd);
    // a command that would be refused for what is missing still answers --version
    ASSERT_EQ(0, Parse({"set-mac", "10.1.0.1", "--version"}, &o, &e));
    EXPECT_EQ(DS_CMD_VERSION, o.enCmd);
    EXPECT_EQ(-1, Parse({"search", "--version=1"}, &o, &e));
    EXPECT_EQ(0, std::string(DsVersionLine()).rfind("devsearch ", 0));
    EXPECT_GT(strlen(DsVersionLine()), strlen("devsearch "));

    const std::string strUsage = DsUsage();
    for (const char* p : {"SYNOPSIS",
                          "devsearch search",
                          "devsearch modify",
                          "devsearch set-mac",
                          "devsearch assign",
                          "devsearch apply",
                          "EXIT STATUS",
                          "--legacy",
                          "--json",
                          "--csv",
                          "--expect",
                          "--wait",
                          "--dry-run",
                          "--version",
                          "\"applied\"",
                          "\"no_reply\"",
                          "\"refused_locally\"",
                          "\"refused_by_device\"",
                          "\"not_confirmed\"",
                          "\"unchanged\"",
                          "\"not_found\"",
                          "\"would_change\"",
                          "\"devsearch: \""}) {
        EXPECT_NE(std::string::npos, strUsage.find(p)) << p;
    }
    // each exit status is explained
    for (const char* p : {"\n    0  ", "\n    1  ", "\n    2  "}) {
        EXPECT_NE(std::string::npos, strUsage.find(p)) << p;
    }
}

}  // namespace
