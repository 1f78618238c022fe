// SPDX-License-Identifier: MIT
/* One entry per device, a stable order, and output that stays well-formed whatever bytes
 * a device puts into its texts. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <vector>

#include "ds_output.h"

namespace {

DsDevice Dev(const char* ip, const char* mac, const char* ifname = "eth0")
{
    DsDevice d{};
    d.strIp = ip;
    d.strMacAddr = mac;
    d.strIfName = ifname;
    d.u32NetworkMode = 2;
    d.u32Port = 85;
    d.u32IePort = 85;
    return d;
}

TEST(DeviceList, OneEntryPerMacElsePerAddress)
{
    DsDeviceList l;
    EXPECT_TRUE(l.Add(Dev("10.0.0.2", "02-00-00-00-00-02")));
    EXPECT_FALSE(l.Add(Dev("10.0.0.2", "02-00-00-00-00-02", "eth1")));  // repeat, other iface
    EXPECT_TRUE(l.Add(Dev("10.0.0.2", "02-00-00-00-00-03")));   // same address, other device
    EXPECT_FALSE(l.Add(Dev("10.0.0.9", "02-00-00-00-00-03")));  // moved: still one device
    EXPECT_TRUE(l.Add(Dev("10.0.0.7", "")));
    EXPECT_FALSE(l.Add(Dev("10.0.0.7", "")));
    EXPECT_TRUE(l.Add(Dev("10.0.0.8", "")));
    EXPECT_EQ(4u, l.Size());
    EXPECT_EQ("eth0", l.FindByMac("02-00-00-00-00-02")[0].strIfName);  // first reply kept
    EXPECT_EQ(2u, l.FindByIp("10.0.0.2").size());
}

TEST(DeviceList, FindByMacIgnoresTheDevicesSpelling)
{
    DsDeviceList l;
    l.Add(Dev("10.0.0.2", "0a:1b:2c:3d:4e:5f"));
    EXPECT_EQ(1u, l.FindByMac("0A-1B-2C-3D-4E-5F").size());
    EXPECT_EQ(0u, l.FindByMac("0A-1B-2C-3D-4E-50").size());
}

TEST(DeviceList, SortedNumericallyByAddressThenMac)
{
    DsDeviceList l;
    l.Add(Dev("10.0.0.10", "02-00-00-00-00-01"));
    l.Add(Dev("garbage", "02-00-00-00-00-09"));
    l.Add(Dev("10.0.0.9", "02-00-00-00-00-05"));
    l.Add(Dev("10.0.0.9", "02-00-00-00-00-04"));
    l.Add(Dev("9.255.255.255", "02-00-00-00-00-07"));
    const std::vector<DsDevice> v = l.Sorted();
    ASSERT_EQ(5u, v.size());
    EXPECT_EQ("9.255.255.255", v[0].strIp);
    EXPECT_EQ("02-00-00-00-00-04", v[1].strMacAddr);
    EXPECT_EQ("02-00-00-00-00-05", v[2].strMacAddr);
    EXPECT_EQ("10.0.0.10", v[3].strIp);  // not sorted as text
    EXPECT_EQ("garbage", v[4].strIp);
}

TEST(JsonLine, FieldsAndTypes)
{
    DsDevice d = Dev("10.0.0.2", "02-00-00-00-00-02", "veth0");
    d.u64DevType = 0x5658040200080000ull;
    d.u32ChannelNum = 4;
    d.u32NetworkMode = 0xFFFFFFFFu;
    d.u32DeviceId = 1010;
    const std::string s = DsJsonLine(d);
    EXPECT_EQ('{', s.front());
    EXPECT_EQ('}', s.back());
    EXPECT_EQ(std::string::npos, s.find('\n'));
    for (const char* p :
         {"\"ip\":\"10.0.0.2\"", "\"mac\":\"02-00-00-00-00-02\"", "\"mode\":\"none\"",
          "\"media_port\":85", "\"channels\":4", "\"device_type_code\":\"0x5658040200080000\"",
          "\"device_id\":1010", "\"interface\":\"veth0\""}) {
        EXPECT_NE(std::string::npos, s.find(p)) << p << " in " << s;
    }
}

TEST(JsonLine, HostileTextsStayValidJson)
{
    DsDevice d = Dev("10.0.0.2", "");
    d.strDeviceName = std::string("a\"b\\c\n\x01\x7f", 8);
    d.strDevVer = "caf\xc3\xa9";    // valid UTF-8 passes through
    d.strHostName = "bad\xff\xc3";  // invalid byte, truncated sequence
    d.strDevType = "\xed\xa0\x80";  // encoded surrogate: invalid
    const std::string s = DsJsonLine(d);
    EXPECT_NE(std::string::npos, s.find("\"name\":\"a\\\"b\\\\c\\u000a\\u0001\\u007f\""));
    EXPECT_NE(std::string::npos, s.find("\"version\":\"caf\xc3\xa9\""));
    EXPECT_NE(std::string::npos, s.find("\"hostname\":\"bad\\ufffd\\ufffd\""));
    EXPECT_NE(std::string::npos, s.find("\"device_type\":\"\\ufffd\\ufffd\\ufffd\""));
}

TEST(Table, OneLinePerDeviceControlBytesMasked)
{
    char* ps8Buf = nullptr;
    size_t u32Len = 0;
    FILE* pOut = open_memstream(&ps8Buf, &u32Len);
    ASSERT_NE(nullptr, pOut);
    DsDevice d = Dev("10.0.0.2", "02-00-00-00-00-02");
    d.strDeviceName = "cam\r\n\x1b[2J";
    DsPrintTable({d, Dev("10.0.0.3", "")}, pOut);
    fclose(pOut);
    const std::string s(ps8Buf, u32Len);
    free(ps8Buf);
    size_t u32Lines = 0;
    for (char c : s) u32Lines += c == '\n';
    EXPECT_EQ(3u, u32Lines);
    EXPECT_EQ(std::string::npos, s.find('\x1b'));
    EXPECT_NE(std::string::npos, s.find("cam???[2J"));
    EXPECT_NE(std::string::npos, s.find("ADDRESS"));
    EXPECT_NE(std::string::npos, s.find("static"));
}

/* The keys of a JSON object at its top level, in order (a small reader for the tests: the
 * texts under test hold no braces inside strings unless escaped ones). */
std::vector<std::string> TopKeys(const std::string& s)
{
    std::vector<std::string> keys;
    int depth = 0;
    bool inStr = false;
    bool expectKey = false;
    std::string cur;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (inStr) {
            if (c == '\\') {
                cur += c;
                cur += s[++i];
            } else if (c == '"') {
                inStr = false;
                if (expectKey && depth == 1) keys.push_back(cur);
                expectKey = false;
            } else {
                cur += c;
            }
            continue;
        }
        if (c == '"') {
            inStr = true;
            cur.clear();
        } else if (c == '{') {
            ++depth;
            expectKey = depth == 1;
        } else if (c == '}') {
            --depth;
        } else if (c == ',' && depth == 1) {
            expectKey = true;
        }
    }
    return keys;
}

DsModifyReq Request()
{
    DsModifyReq r{};
    const struct {
        U8* pu8Field;
        U8 au8Addr[4];
    } astAddrs[] = {
        {r.au8Ip, {10, 0, 0, 9}}, {r.au8Mask, {255, 255, 0, 0}}, {r.au8Gw, {10, 0, 0, 1}}};
    for (const auto& stAddr : astAddrs) memcpy(stAddr.pu8Field, stAddr.au8Addr, 4);
    r.u16MediaPort = 85;
    r.u16WebPort = 8080;
    r.bModeValid = true;
    r.u8Mode = 2;
    r.strMac = "02-00-00-00-00-02";
    return r;
}

/* The URL of a device is built only from a dotted quad and a usable port: the texts come
 * from the LAN. */
TEST(DeviceUrl, OnlyFromAnAddressAndAPort)
{
    DsDevice d = Dev("10.0.0.2", "02-00-00-00-00-02");
    d.u32IePort = 8080;
    EXPECT_EQ("http://10.0.0.2:8080/", DsDeviceUrl(d));
    EXPECT_EQ("http://10.0.0.2:8080/cgi-bin/stillcgi", DsSnapshotUrl(d));
    const std::string s = DsJsonLine(d);
    EXPECT_NE(std::string::npos, s.find(",\"url\":\"http://10.0.0.2:8080/\",\"snapshot_url\":"
                                        "\"http://10.0.0.2:8080/cgi-bin/stillcgi\"}"))
        << s;
    for (const char* ip : {"evil.example/x", "10.0.0.2:1", "010.0.0.2", ""}) {
        SCOPED_TRACE(ip);
        d.strIp = ip;
        EXPECT_EQ("", DsDeviceUrl(d));
        EXPECT_EQ("", DsSnapshotUrl(d));
    }
    d.strIp = "10.0.0.2";
    for (U32 port : {0u, 65536u, 0xFFFFFFFFu}) {
        d.u32IePort = port;
        EXPECT_EQ("", DsDeviceUrl(d)) << port;
    }
}

TEST(Csv, HeaderIsTheJsonKeysAndEveryDeviceIsOneLine)
{
    DsDevice d = Dev("10.0.0.2", "02-00-00-00-00-02");
    d.strDeviceName = "hall, \"north\"\r\nx";
    d.strHostName = "bad\xC3(";
    std::vector<std::string> vecHead;
    std::string strHead = DsCsvHeader();
    ASSERT_EQ("\r\n", strHead.substr(strHead.size() - 2));
    strHead.resize(strHead.size() - 2);
    for (size_t at = 0;;) {
        const size_t comma = strHead.find(',', at);
        vecHead.push_back(strHead.substr(at, comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    EXPECT_EQ(TopKeys(DsJsonLine(d)), vecHead);

    const std::string strLine = DsCsvLine(d);
    EXPECT_EQ(strLine.size() - 2, strLine.find("\r\n")) << "one line, CRLF at its end only";
    EXPECT_NE(std::string::npos, strLine.find(",\"hall, \"\"north\"\"??x\","));
    EXPECT_NE(std::string::npos, strLine.find(",bad\xEF\xBF\xBD(,"));
    EXPECT_EQ(0u, strLine.find("10.0.0.2,,,,,02-00-00-00-00-02,static,85,85,"));
    EXPECT_EQ("plain", DsCsvCell("plain"));
    EXPECT_EQ("\"a\"\"b\"", DsCsvCell("a\"b"));
    EXPECT_EQ("\"a\rb\"", DsCsvCell("a\rb"));
}

TEST(JsonOutcome, SameKeysInTheSameOrderWhateverTheResult)
{
    const std::vector<std::string> expected = {"result",       "command",    "reason",
                                               "confirmed_by", "confirm_ms", "ack_flag",
                                               "device",       "old",        "new"};
    DsOutcome_S o = {};
    o.enResult = DS_RESULT_REFUSED_LOCALLY;
    o.strReason = "device 02-00-00-00-00-09 not found (1 answered the search)";
    const std::string strNothing = DsJsonOutcome(o);
    EXPECT_EQ(std::string::npos, strNothing.find('\n'));
    // nothing known yet: the objects are null, never left out
    EXPECT_NE(std::string::npos,
              strNothing.find("\"ack_flag\":null,\"device\":null,\"old\":null,\"new\":null}"))
        << strNothing;
    EXPECT_NE(std::string::npos, strNothing.find("\"confirmed_by\":\"\",\"confirm_ms\":null"))
        << strNothing;
    EXPECT_NE(std::string::npos, strNothing.find("\"command\":\"modify\"")) << strNothing;

    o.enResult = DS_RESULT_APPLIED;
    o.strReason.clear();
    o.strConfirmedBy = "reply";
    o.bHasAck = true;
    o.bHasDevice = true;
    o.stDevice = Dev("10.0.0.2", "02-00-00-00-00-02");
    o.bHasRequest = true;
    o.stReq = Request();
    const std::string strFull = DsJsonOutcome(o);
    EXPECT_EQ(expected, TopKeys(strNothing)) << strNothing;
    EXPECT_EQ(expected, TopKeys(strFull)) << strFull;
    EXPECT_NE(std::string::npos, strFull.find("\"result\":\"applied\"")) << strFull;
    EXPECT_NE(std::string::npos, strFull.find("\"ack_flag\":0")) << strFull;
    // the device object is the search line itself
    EXPECT_NE(std::string::npos, strFull.find("\"device\":" + DsJsonLine(o.stDevice))) << strFull;

    // a plan row: its line and MAC, then the same keys but command
    o.strConfirmedBy = "search";
    o.bHasConfirmMs = true;
    o.u32ConfirmMs = 640;
    const std::string strRow = DsJsonApplyRow(7, "02-00-00-00-00-02", o);
    std::vector<std::string> rowKeys = {"line", "mac"};
    for (const std::string& k : expected) {
        if (k != "command") rowKeys.push_back(k);
    }
    EXPECT_EQ(rowKeys, TopKeys(strRow)) << strRow;
    EXPECT_EQ(0u, strRow.find("{\"line\":7,\"mac\":\"02-00-00-00-00-02\",\"result\":\"applied\""));
    EXPECT_NE(std::string::npos, strRow.find("\"confirmed_by\":\"search\",\"confirm_ms\":640"));
}

TEST(JsonOutcome, OldAndNewValuesOfModify)
{
    DsOutcome_S o = {};
    o.enResult = DS_RESULT_NO_REPLY;
    o.strReason = "not applied (no reply)";
    o.bHasDevice = true;
    o.stDevice = Dev("10.0.0.2", "02-00-00-00-00-02");
    o.stDevice.strNetMask = "255.255.255.0";
    o.stDevice.strDns1 = "";  // the device left it empty: so does old
    o.bHasRequest = true;
    o.stReq = Request();
    o.stReq.bModeValid = false;  // no mode on the wire: the device stores static
    const std::string s = DsJsonOutcome(o);
    EXPECT_NE(std::string::npos,
              s.find("\"old\":{\"ip\":\"10.0.0.2\",\"netmask\":\"255.255.255.0\",\"gateway\":\"\","
                     "\"dns1\":\"\",\"dns2\":\"\",\"mode\":\"static\",\"media_port\":85,"
                     "\"web_port\":85}"))
        << s;
    EXPECT_NE(std::string::npos,
              s.find("\"new\":{\"ip\":\"10.0.0.9\",\"netmask\":\"255.255.0.0\",\"gateway\":"
                     "\"10.0.0.1\",\"dns1\":\"0.0.0.0\",\"dns2\":\"0.0.0.0\",\"mode\":\"static\","
                     "\"media_port\":85,\"web_port\":8080}"))
        << s;
    EXPECT_NE(std::string::npos, s.find("\"result\":\"no_reply\"")) << s;
    EXPECT_NE(std::string::npos, s.find("\"ack_flag\":null")) << s;
    o.stReq.bModeValid = true;
    o.stReq.u8Mode = 0;
    EXPECT_NE(std::string::npos, DsJsonOutcome(o).find("\"mode\":\"dhcp\",\"media_port\":85,"
                                                       "\"web_port\":8080}"));
}

TEST(JsonOutcome, SetMacShowsOnlyTheMac)
{
    DsOutcome_S o = {};
    o.bSetMac = true;
    o.enResult = DS_RESULT_REFUSED_BY_DEVICE;
    o.strReason = "not applied (the device answered with AckFlag 3)";
    o.bHasAck = true;
    o.u16Ack = 3;
    o.bHasDevice = true;
    o.stDevice = Dev("10.0.0.2", "02:00:00:00:00:02");
    o.bHasRequest = true;
    o.stReq = Request();
    o.stReq.strMac = "02-AA-BB-CC-DD-EE";
    const std::string s = DsJsonOutcome(o);
    EXPECT_NE(std::string::npos, s.find("\"command\":\"set-mac\"")) << s;
    EXPECT_NE(std::string::npos, s.find("\"result\":\"refused_by_device\"")) << s;
    EXPECT_NE(std::string::npos, s.find("\"ack_flag\":3")) << s;
    EXPECT_NE(std::string::npos, s.find("\"old\":{\"mac\":\"02:00:00:00:00:02\"}")) << s;
    EXPECT_NE(std::string::npos, s.find("\"new\":{\"mac\":\"02-AA-BB-CC-DD-EE\"}")) << s;
}

TEST(JsonOutcome, EveryTextIsEscaped)
{
    // texts from the wire and from the reason: quotes, backslashes, control and invalid bytes
    const std::string strBad = std::string("q\"b\\n\n\t\x01\x7f\xff", 10);
    const std::string strEsc = "q\\\"b\\\\n\\u000a\\u0009\\u0001\\u007f\\ufffd";
    DsOutcome_S o = {};
    o.enResult = DS_RESULT_NO_REPLY;
    o.strReason = strBad;
    o.bHasDevice = true;
    o.stDevice = Dev("", "", "");
    DsDevice& d = o.stDevice;
    for (std::string* pstr : {&d.strIp, &d.strNetMask, &d.strGateWay, &d.strDns1, &d.strDns2,
                              &d.strMacAddr, &d.strDevType, &d.strDevVer, &d.strDeviceName,
                              &d.strHostName, &d.strP2pId, &d.strIfName}) {
        *pstr = strBad;
    }
    const std::string s = DsJsonOutcome(o);
    size_t u32Hits = 0;
    for (size_t p = s.find(strEsc); p != std::string::npos; p = s.find(strEsc, p + 1)) ++u32Hits;
    // reason, the twelve texts of the device, and ip, netmask, gateway, dns1, dns2 of old
    EXPECT_EQ(1u + 12u + 5u, u32Hits) << s;
    for (char c : s) {
        EXPECT_GE((unsigned char)c, 0x20) << s;
        EXPECT_LT((unsigned char)c, 0x7F) << s;
    }
    o.bSetMac = true;
    EXPECT_NE(std::string::npos, DsJsonOutcome(o).find("\"old\":{\"mac\":\"" + strEsc + "\"}"));
}

TEST(JsonOutcome, ResultNames)
{
    EXPECT_STREQ("applied", DsResultText(DS_RESULT_APPLIED));
    EXPECT_STREQ("no_reply", DsResultText(DS_RESULT_NO_REPLY));
    EXPECT_STREQ("refused_locally", DsResultText(DS_RESULT_REFUSED_LOCALLY));
    EXPECT_STREQ("refused_by_device", DsResultText(DS_RESULT_REFUSED_BY_DEVICE));
}

}  // namespace
