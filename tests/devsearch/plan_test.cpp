/* SPDX-License-Identifier: MIT */
/* Plans: an edited search CSV is one; a malformed one is refused with its line and the
 * reason before anything could be sent; sequential addresses skip what is taken. */
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "ds_cmd.h"
#include "ds_output.h"
#include "ds_plan.h"
#include "ds_site.h"

namespace {

DsDevice Dev(const char* ip, const char* mac, const char* name = "cam")
{
    DsDevice d{};
    d.strIp = ip;
    d.strNetMask = "255.255.255.0";
    d.strGateWay = "10.9.0.254";
    d.strDns1 = d.strDns2 = "0.0.0.0";
    d.strMacAddr = mac;
    d.strDeviceName = name;
    d.u32NetworkMode = 2;
    d.u32Port = 85;
    d.u32IePort = 80;
    return d;
}

std::string Ip(const DsOptAddr_S& a)
{
    return a.bSet ? DsFormatIpv4(a.au8Addr) : std::string("-");
}

TEST(Plan, AnEditedSearchCsvIsAPlan)
{
    std::string strCsv = "\xEF\xBB\xBF" + DsCsvHeader() +
                         DsCsvLine(Dev("10.9.0.2", "02-00-00-00-00-02", "hall, \"north\"")) +
                         DsCsvLine(Dev("10.9.0.3", "02-00-00-00-00-03"));
    strCsv.replace(strCsv.find("10.9.0.3,"), 9, "10.9.0.30,");
    std::vector<DsPlanRow_S> rows;
    U32 line = 0;
    std::string e;
    ASSERT_EQ(0, DsParsePlan(strCsv, &rows, &line, &e)) << line << ": " << e;
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(2u, rows[0].u32Line);
    EXPECT_EQ("02-00-00-00-00-03", rows[1].strMac);
    EXPECT_EQ("10.9.0.30", Ip(rows[1].stIp));
    EXPECT_EQ("255.255.255.0", Ip(rows[1].stMask));
    EXPECT_EQ(DS_MODE_STATIC, rows[1].s32Mode);

    // columns in any order, empty cells keep, MACs in any spelling, LF line ends
    ASSERT_EQ(0, DsParsePlan("mode,mac,ip\n,02:00:00:00:00:0a,\nDHCP,02-00-00-00-00-0b,10.9.0.9",
                             &rows, &line, &e))
        << e;
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ("02-00-00-00-00-0A", rows[0].strMac);
    EXPECT_EQ("-", Ip(rows[0].stIp));
    EXPECT_EQ(DS_MODE_UNSET, rows[0].s32Mode);
    EXPECT_EQ(DS_MODE_DHCP, rows[1].s32Mode);

    // what assign writes reads back as it was
    const std::string strPlan = DsPlanCsv(rows);
    EXPECT_EQ("mac,ip,mode\r\n02-00-00-00-00-0A,,\r\n02-00-00-00-00-0B,10.9.0.9,dhcp\r\n", strPlan);
    std::vector<DsPlanRow_S> again;
    ASSERT_EQ(0, DsParsePlan(strPlan, &again, &line, &e)) << e;
    EXPECT_EQ("10.9.0.9", Ip(again[1].stIp));
}

TEST(Plan, MalformedIsRefusedWithLineAndReason)
{
    const std::string head = "mac,ip,netmask\n";
    const std::string good = "02-00-00-00-00-02,10.9.0.20,255.255.255.0\n";
    const struct {
        std::string text;
        U32 line;
        const char* why;
    } cases[] = {
        {"mac,ip,port\n", 1, "unknown column \"port\""},
        {"ip,netmask\n10.9.0.2,255.0.0.0\n", 1, "no \"mac\" column"},
        {"mac,ip,mac\n", 1, "column \"mac\" appears twice"},
        {"", 1, "empty"},
        {head, 1, "no rows"},
        {head + good + "02-00-00-00-00-03,10.9.0.256,\n", 3, "ip: not an IPv4"},
        {head + good + "02-00-00-00-00-03,10.9.0.021,\n", 3, "ip: not an IPv4"},
        {head + good + "02-00-00-00-00-03,10.9.0.21,255.0.255.0\n", 3, "contiguous"},
        {head + good + "02-00-00-00-00-03,224.0.0.1,\n", 3, "unicast"},
        {head + good + "02:00:00:00:00:02,10.9.0.21,\n", 3, "also on line 2"},
        {head + good + "\n02-00-00-00-00-03,10.9.0.20,\n", 4, "ip 10.9.0.20 is also on line 2"},
        {head + good + "02-00-00-00-00-03,10.9.0.21\n", 3, "2 cells, the header has 3"},
        {head + "02-00-00-00-00-0g,10.9.0.20,\n", 2, "mac: not a MAC"},
        {head + "\"02-00-00-00-00-02,10.9.0.20,\n", 2, "not closed"},
        {head + "02-00-00-00-00-02,10.9.\"0.20,\n", 2, "quote inside an unquoted cell"},
        {head + "\"02-00-00-00-00-02\"x,10.9.0.20,\n", 2, "after the closing quote"},
        {head + "02-00-00-00-00-02,10.9.0.20\r,\n", 2, "carriage return"},
        {"mac,mode\n02-00-00-00-00-02,auto\n", 2, "mode"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<DsPlanRow_S> rows;
        U32 line = 0;
        std::string e;
        EXPECT_EQ(-1, DsParsePlan(c.text, &rows, &line, &e));
        EXPECT_EQ(c.line, line);
        EXPECT_NE(std::string::npos, e.find(c.why)) << e;
        EXPECT_TRUE(rows.empty());
    }
    // two DHCP rows may carry the same (unused) address; quoted cells may span lines
    std::vector<DsPlanRow_S> rows;
    U32 line = 0;
    std::string e;
    EXPECT_EQ(0, DsParsePlan("mac,ip,mode,name\n02-00-00-00-00-02,10.9.0.9,dhcp,\"a\nb\"\n"
                             "02-00-00-00-00-03,10.9.0.9,dhcp,\n",
                             &rows, &line, &e))
        << e;
    EXPECT_EQ(4u, rows[1].u32Line);
}

TEST(Assign, SequentialSkippingHeldGatewayAndEdgeAddresses)
{
    // .2 .3 .4 answer already; the gateway is .254
    const std::vector<DsDevice> devs = {Dev("10.9.0.2", "02-00-00-00-00-20"),
                                        Dev("10.9.0.3", "02-00-00-00-00-1F"),
                                        Dev("10.9.0.4", "02-00-00-00-00-1E"), Dev("10.9.0.5", "")};
    const U8 from[4] = {10, 9, 0, 1};
    const DsOptAddr_S none = {};
    std::vector<DsPlanRow_S> rows;
    std::string e;
    ASSERT_EQ(0, DsAssignAddrs(devs, from, none, none, none, none, &rows, &e)) << e;
    ASSERT_EQ(3u, rows.size()) << "a device without a MAC cannot be planned";
    EXPECT_EQ("10.9.0.1", Ip(rows[0].stIp));
    EXPECT_EQ("10.9.0.6", Ip(rows[1].stIp));
    EXPECT_EQ("10.9.0.7", Ip(rows[2].stIp));
    EXPECT_EQ("02-00-00-00-00-1F", rows[1].strMac);

    const U8 high[4] = {10, 9, 0, 252};
    EXPECT_EQ(-1, DsAssignAddrs(devs, high, none, none, none, none, &rows, &e));
    EXPECT_NE(std::string::npos, e.find("no address left for 3 devices")) << e;

    // a wider netmask given: on into the next /24; it and the gateway travel with the rows
    DsOptAddr_S mask = {}, gw = {};
    mask.bSet = gw.bSet = true;
    const U8 m16[4] = {255, 255, 0, 0}, g[4] = {10, 9, 0, 1}, from2[4] = {10, 9, 1, 254};
    memcpy(mask.au8Addr, m16, 4);
    memcpy(gw.au8Addr, g, 4);
    ASSERT_EQ(0, DsAssignAddrs(devs, from2, mask, gw, none, none, &rows, &e)) << e;
    EXPECT_EQ("10.9.1.255", Ip(rows[1].stIp));
    EXPECT_EQ("10.9.2.0", Ip(rows[2].stIp));
    EXPECT_EQ("255.255.0.0", Ip(rows[2].stMask));
    EXPECT_EQ("10.9.0.1", Ip(rows[2].stGw));
}

/* A row carried out as a modify: the values it gives, the device's for the others. */
TEST(Assign, RowsBecomeModifications)
{
    DsPlanRow_S row = {};
    row.strMac = "02-00-00-00-00-02";
    row.stIp.bSet = true;
    const U8 ip[4] = {10, 9, 0, 40};
    memcpy(row.stIp.au8Addr, ip, 4);
    row.s32Mode = DS_MODE_UNSET;
    DsOptions base{};
    base.strUser = "admin";
    DsModifyReq req;
    std::string e;
    ASSERT_EQ(0, DsBuildModifyReq(DsPlanRowOptions(base, row), Dev("10.9.0.2", row.strMac.c_str()),
                                  "1234", &req, &e))
        << e;
    EXPECT_EQ("10.9.0.40", DsFormatIpv4(req.au8Ip));
    EXPECT_EQ("10.9.0.254", DsFormatIpv4(req.au8Gw));
    EXPECT_EQ("10.9.0.2", DsFormatIpv4(req.au8Cip));
    EXPECT_TRUE(req.bExtended);
    EXPECT_EQ(80, req.u16WebPort);
    // a new subnet leaves the gateway behind: refused as modify refuses it
    const U8 far[4] = {10, 8, 0, 40};
    memcpy(row.stIp.au8Addr, far, 4);
    EXPECT_EQ(-1, DsBuildModifyReq(DsPlanRowOptions(base, row), Dev("10.9.0.2", row.strMac.c_str()),
                                   "1234", &req, &e));
    EXPECT_NE(std::string::npos, e.find("gateway")) << e;
}

}  // namespace
