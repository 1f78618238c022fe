/* One entry per device, a stable order, and output that stays well-formed whatever bytes
 * a device puts into its texts. */
#include <gtest/gtest.h>

#include <stdio.h>

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

}  // namespace
