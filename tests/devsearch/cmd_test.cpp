// SPDX-License-Identifier: MIT
/* Choosing the target and building a checked request from the options and the device's
 * record: what is not given comes from the record; unusable settings never leave. */
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "ds_cmd.h"

namespace {

DsDevice Record()
{
    DsDevice d{};
    d.strIp = "10.1.0.10";
    d.strNetMask = "255.255.255.0";
    d.strGateWay = "10.1.0.254";
    d.strDns1 = "10.1.0.53";
    d.strDns2 = "0.0.0.0";
    d.u32Port = 85;
    d.u32IePort = 80;
    d.u32NetworkMode = 2;
    d.u64DevType = 0x5658040200080000ull;
    d.strMacAddr = "02-00-00-00-00-0A";
    d.strIfName = "eth0";
    return d;
}

DsOptions Opts(std::vector<const char*> vecArgs)
{
    vecArgs.insert(vecArgs.begin(), "devsearch");
    DsOptions o;
    std::string e;
    EXPECT_EQ(0, DsParseArgs((int)vecArgs.size(), vecArgs.data(), &o, &e)) << e;
    return o;
}

std::string Ip(const U8 (&a)[4])
{
    return DsFormatIpv4(a);
}

TEST(ModifyBuild, UnsetValuesComeFromTheRecord)
{
    const DsOptions o =
        Opts({"modify", "10.1.0.10", "--user", "admin", "--password", "pw", "--ip", "10.1.0.20"});
    DsModifyReq r;
    std::string e;
    ASSERT_EQ(0, DsBuildModifyReq(o, Record(), "pw", &r, &e)) << e;
    EXPECT_EQ("10.1.0.10", Ip(r.au8Cip));
    EXPECT_EQ("10.1.0.20", Ip(r.au8Ip));
    EXPECT_EQ("255.255.255.0", Ip(r.au8Mask));
    EXPECT_EQ("10.1.0.254", Ip(r.au8Gw));
    EXPECT_EQ("10.1.0.53", Ip(r.au8Dns1));
    EXPECT_EQ("0.0.0.0", Ip(r.au8Dns2));
    EXPECT_EQ(85, r.u16MediaPort);
    EXPECT_EQ(80, r.u16WebPort);
    EXPECT_TRUE(r.bModeValid);  // the device's own mode is kept
    EXPECT_EQ(2, r.u8Mode);
    EXPECT_TRUE(r.bExtended);
    EXPECT_FALSE(r.bSetMac);
    EXPECT_EQ(0x5658040200080000ull, r.u64DevType);
    EXPECT_EQ("02-00-00-00-00-0A", r.strMac);  // exactly as the device reported it
    EXPECT_EQ("admin", r.strUser);
}

TEST(ModifyBuild, ModeAndFormFollowTheOptions)
{
    DsDevice d = Record();
    d.u32NetworkMode = 0xFFFFFFFFu;  // device reported no mode
    DsModifyReq r;
    std::string e;
    ASSERT_EQ(0, DsBuildModifyReq(Opts({"modify", "10.1.0.10", "--user", "u", "--password", "p",
                                        "--web-port", "8080", "--legacy"}),
                                  d, "p", &r, &e))
        << e;
    EXPECT_FALSE(r.bModeValid);
    EXPECT_FALSE(r.bExtended);
    EXPECT_EQ(8080, r.u16WebPort);
    ASSERT_EQ(0, DsBuildModifyReq(
                     Opts({"modify", "10.1.0.10", "--user", "u", "--password", "p", "--dhcp"}),
                     Record(), "p", &r, &e))
        << e;
    EXPECT_TRUE(r.bModeValid);
    EXPECT_EQ(0, r.u8Mode);
}

TEST(ModifyBuild, SetMacCarriesTheNewMacAndTheCurrentAddresses)
{
    DsModifyReq r;
    std::string e;
    ASSERT_EQ(0, DsBuildModifyReq(Opts({"set-mac", "10.1.0.10", "02:aa:bb:cc:dd:ee", "--user", "u",
                                        "--password", "p"}),
                                  Record(), "p", &r, &e))
        << e;
    EXPECT_TRUE(r.bSetMac);
    EXPECT_TRUE(r.bExtended);
    EXPECT_EQ("02-AA-BB-CC-DD-EE", r.strMac);
    // non-zero addresses, so the device does not take the request for "nothing changed"
    EXPECT_EQ("10.1.0.10", Ip(r.au8Ip));
    EXPECT_EQ("255.255.255.0", Ip(r.au8Mask));
}

TEST(ModifyBuild, RefusesUnusableRecordsAndSettings)
{
    const struct {
        const char* name;
        std::vector<const char*> extra;
        const char* recIp;
        const char* recGw;
        const char* recMac;
        const char* why;
    } cases[] = {
        {"record address unreadable", {"--web-port", "81"}, "", "10.1.0.254", "x", "address"},
        {"new subnet, old gateway",
         {"--ip", "10.2.0.20"},
         "10.1.0.10",
         "10.1.0.254",
         "x",
         "gateway"},
        {"network address", {"--ip", "10.1.0.0"}, "10.1.0.10", "0.0.0.0", "x", "network"},
        {"broadcast address", {"--ip", "10.1.0.255"}, "10.1.0.10", "0.0.0.0", "x", "broadcast"},
        {"loopback",
         {"--ip", "127.0.0.2", "--mask", "255.0.0.0"},
         "10.1.0.10",
         "0.0.0.0",
         "x",
         "unicast"},
        {"multicast", {"--ip", "239.1.1.1"}, "10.1.0.10", "0.0.0.0", "x", "unicast"},
        {"gateway is itself", {"--gateway", "10.1.0.10"}, "10.1.0.10", "0.0.0.0", "x", "gateway"},
        {"gateway broadcast", {"--gateway", "10.1.0.255"}, "10.1.0.10", "0.0.0.0", "x", "gateway"},
        {"dns multicast", {"--dns1", "224.0.0.1"}, "10.1.0.10", "0.0.0.0", "x", "DNS"},
        {"no MAC for extended", {"--web-port", "81"}, "10.1.0.10", "0.0.0.0", "", "--legacy"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<const char*> args = {"modify", "10.1.0.10", "--user", "u", "--password", "p"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        DsDevice d = Record();
        d.strIp = c.recIp;
        d.strGateWay = c.recGw;
        d.strMacAddr = c.recMac;
        DsModifyReq r;
        r.strUser = "untouched";
        std::string e;
        EXPECT_EQ(-1, DsBuildModifyReq(Opts(args), d, "p", &r, &e));
        EXPECT_NE(std::string::npos, e.find(c.why)) << e;
        EXPECT_EQ("untouched", r.strUser);
    }
}

TEST(ModifyBuild, DhcpSettingsAreNotCheckedAsStatic)
{
    DsDevice d = Record();
    d.strGateWay = "10.9.9.9";  // outside the subnet, irrelevant under DHCP
    DsModifyReq r;
    std::string e;
    EXPECT_EQ(0, DsBuildModifyReq(
                     Opts({"modify", "10.1.0.10", "--user", "u", "--password", "p", "--dhcp"}), d,
                     "p", &r, &e))
        << e;
    // slash-31 and slash-32 have no network or broadcast address of their own
    EXPECT_EQ(0, DsBuildModifyReq(
                     Opts({"modify", "10.1.0.10", "--user", "u", "--password", "p", "--ip",
                           "10.1.0.0", "--mask", "255.255.255.254", "--gateway", "10.1.0.1"}),
                     Record(), "p", &r, &e))
        << e;
}

TEST(TargetChoice, ByMacOrAddressAndNeverAmbiguous)
{
    DsDeviceList l;
    DsDevice a = Record();
    DsDevice b = Record();
    b.strMacAddr = "02-00-00-00-00-0B";  // same default address as a
    DsDevice c = Record();
    c.strIp = "10.1.0.30";
    c.strMacAddr = "02-00-00-00-00-0C";
    l.Add(a);
    l.Add(b);
    l.Add(c);
    DsDevice t;
    std::string e;
    const DsOptions byMac = Opts(
        {"modify", "02:00:00:00:00:0b", "--user", "u", "--password", "p", "--ip", "10.1.0.40"});
    ASSERT_EQ(0, DsSelectTarget(byMac, l, false, &t, &e)) << e;
    EXPECT_EQ("02-00-00-00-00-0B", t.strMacAddr);
    // the same device by address alone (first form, MAC set) would reach a as well
    EXPECT_EQ(-1, DsSelectTarget(byMac, l, true, &t, &e));
    EXPECT_NE(std::string::npos, e.find("several devices"));

    const DsOptions byIp =
        Opts({"modify", "10.1.0.10", "--user", "u", "--password", "p", "--ip", "10.1.0.40"});
    EXPECT_EQ(-1, DsSelectTarget(byIp, l, false, &t, &e));
    EXPECT_NE(std::string::npos, e.find("ambiguous"));

    const DsOptions byIpC =
        Opts({"modify", "10.1.0.30", "--user", "u", "--password", "p", "--ip", "10.1.0.40"});
    ASSERT_EQ(0, DsSelectTarget(byIpC, l, true, &t, &e)) << e;
    EXPECT_EQ("02-00-00-00-00-0C", t.strMacAddr);

    const DsOptions missing =
        Opts({"modify", "10.1.0.99", "--user", "u", "--password", "p", "--ip", "10.1.0.40"});
    t.strIp = "untouched";
    EXPECT_EQ(-1, DsSelectTarget(missing, l, false, &t, &e));
    EXPECT_NE(std::string::npos, e.find("not found"));
    EXPECT_EQ("untouched", t.strIp);
}

/* A reply lost while the device moved must not read as failure, and an unapplied request
 * must never read as success. */
TEST(LostReply, ConfirmedOnlyByAVisibleChangeThatMatches)
{
    const DsDevice before = Record();
    DsModifyReq r;
    std::string e;
    ASSERT_EQ(0, DsBuildModifyReq(Opts({"modify", "10.1.0.10", "--user", "u", "--password", "p",
                                        "--ip", "10.1.0.20"}),
                                  before, "p", &r, &e))
        << e;
    DsDevice moved = before;
    moved.strIp = "10.1.0.20";
    DsDeviceList after;
    after.Add(moved);
    EXPECT_TRUE(DsConfirmApplied(r, before, after));

    DsDeviceList unchanged;
    unchanged.Add(before);
    EXPECT_FALSE(DsConfirmApplied(r, before, unchanged));
    EXPECT_FALSE(DsConfirmApplied(r, before, DsDeviceList()));

    DsDevice otherMask = moved;
    otherMask.strNetMask = "255.255.0.0";
    DsDeviceList wrongMask;
    wrongMask.Add(otherMask);
    EXPECT_FALSE(DsConfirmApplied(r, before, wrongMask));

    // a change a search cannot show (the web port here) is never confirmed by one
    ASSERT_EQ(0, DsBuildModifyReq(Opts({"modify", "10.1.0.10", "--user", "u", "--password", "p",
                                        "--web-port", "80"}),
                                  before, "p", &r, &e))
        << e;
    EXPECT_FALSE(DsConfirmApplied(r, before, unchanged));
}

TEST(LostReply, ModeAndMacChanges)
{
    const DsDevice before = Record();
    DsModifyReq r;
    std::string e;
    ASSERT_EQ(0, DsBuildModifyReq(
                     Opts({"modify", "10.1.0.10", "--user", "u", "--password", "p", "--dhcp"}),
                     before, "p", &r, &e))
        << e;
    DsDevice dhcp = before;
    dhcp.u32NetworkMode = 0;
    DsDeviceList nowDhcp, stillStatic;
    nowDhcp.Add(dhcp);
    stillStatic.Add(before);
    EXPECT_TRUE(DsShowsSettings(r, before, dhcp));  // DHCP: the address stays
    EXPECT_TRUE(DsConfirmApplied(r, before, nowDhcp));
    EXPECT_FALSE(DsConfirmApplied(r, before, stillStatic));

    ASSERT_EQ(0, DsBuildModifyReq(Opts({"set-mac", "10.1.0.10", "02:00:00:00:00:0f", "--user", "u",
                                        "--password", "p"}),
                                  before, "p", &r, &e))
        << e;
    DsDevice newMac = before;
    newMac.strMacAddr = "02-00-00-00-00-0F";
    DsDeviceList hasNew;
    hasNew.Add(newMac);
    EXPECT_TRUE(DsConfirmApplied(r, before, hasNew));
    EXPECT_FALSE(DsConfirmApplied(r, before, stillStatic));
    DsDevice sameMac = before;
    sameMac.strMacAddr = "02-00-00-00-00-0F";
    EXPECT_FALSE(DsConfirmApplied(r, sameMac, hasNew));  // it had that MAC already
}

/* A wait ends only on a reply that shows the device with the settings a search can show,
 * whatever else the device reports. */
TEST(WaitForMove, TheSameDeviceAtItsNewAddressNetmaskAndMode)
{
    const DsDevice before = Record();
    DsModifyReq r;
    std::string e;
    ASSERT_EQ(0, DsBuildModifyReq(Opts({"modify", "10.1.0.10", "--user", "u", "--password", "p",
                                        "--ip", "10.1.0.20", "--gateway", "10.1.0.1"}),
                                  before, "p", &r, &e))
        << e;
    EXPECT_TRUE(DsVisibleChange(r, before));
    EXPECT_FALSE(DsShowsSettings(r, before, before));  // the reply from the old address
    DsDevice moved = before;
    moved.strIp = "10.1.0.20";
    moved.strGateWay = "10.1.0.254";  // a route the device has not changed yet: not shown
    EXPECT_TRUE(DsShowsSettings(r, before, moved));
    DsDevice other = moved;
    other.strMacAddr = "02-00-00-00-00-0B";  // another device at that address
    EXPECT_FALSE(DsShowsSettings(r, before, other));
    DsDevice dhcp = moved;
    dhcp.u32NetworkMode = 0;
    EXPECT_FALSE(DsShowsSettings(r, before, dhcp));

    // a change no search shows (the gateway): a lost reply cannot be confirmed by one
    ASSERT_EQ(0, DsBuildModifyReq(Opts({"modify", "10.1.0.10", "--user", "u", "--password", "p",
                                        "--gateway", "10.1.0.1"}),
                                  before, "p", &r, &e))
        << e;
    EXPECT_FALSE(DsVisibleChange(r, before));
    EXPECT_TRUE(DsShowsSettings(r, before, before));
    EXPECT_FALSE(DsShowsLostReply(r, before, before));
}

}  // namespace
