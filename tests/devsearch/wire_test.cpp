// SPDX-License-Identifier: MIT
/* Datagram layout of the client: bytes written from the protocol's tables, or captured
 * from the real daemon (tests/lib/datagrams.txt), never produced by the code under test. */
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "datagrams.h"
#include "ds_output.h"
#include "ds_wire.h"

namespace {

constexpr U32 kSeq = 0x12345678;

void PutText(std::vector<U8>& v, size_t off, const char* s)
{
    memcpy(&v[off], s, strlen(s));
}

/* A search reply as a device sends it: header (type 11, MsgSize 448, Seq 0x12345678,
 * ExtSize 5 in byte 0, which does not move the body), body at 16. Offsets are the body's
 * table offsets plus 16. */
std::vector<U8> SearchReply()
{
    std::vector<U8> v(464, 0);
    v[0] = 5 << 2 | 1;  // ExtSize 5, Version 1
    v[2] = 0x34;
    v[3] = 0x12;  // AckFlag echoed
    v[4] = 11;    // MsgType 11
    v[8] = 0xC0;
    v[9] = 0x01;  // MsgSize 448
    v[12] = 0x78;
    v[13] = 0x56;
    v[14] = 0x34;
    v[15] = 0x12;                                                 // Seq
    PutText(v, 16 + 0, "192.168.1.10");                           // IP
    PutText(v, 16 + 16, "abcdefghijklmnopqrstuvwxyz0123456789");  // HostName, 36: no NUL
    PutText(v, 16 + 52, "255.255.255.0");                         // NetMask
    PutText(v, 16 + 68, "192.168.1.1");                           // GateWay
    PutText(v, 16 + 84, "8.8.8.8");                               // DNS1
    PutText(v, 16 + 100, "0.0.0.0");                              // DNS2
    v[16 + 116] = 0x55;                                           // Port 85
    v[16 + 120] = 0x90;
    v[16 + 121] = 0x1F;                                    // IEPort 8080
    v[16 + 124] = 2;                                       // NetworkMode static
    PutText(v, 16 + 128, "IPC-ABCDEFGHIJKLMNOPQRSTUVWX");  // DevType, 28: no NUL
    // DevTypeULL 0x5658040200080000 at datagram bytes 172-179, little-endian
    const U8 au8Type[8] = {0x00, 0x00, 0x08, 0x00, 0x02, 0x04, 0x58, 0x56};
    memcpy(&v[172], au8Type, sizeof(au8Type));
    PutText(v, 16 + 164, "V1.2.3");  // DevVer
    v[16 + 200] = 0xF2;
    v[16 + 201] = 0x03;                                        // DeviceID 1010
    PutText(v, 16 + 204, "lobby");                             // DeviceName
    PutText(v, 16 + 240, "0A-1B-2C-3D-4E-5F");                 // MacAddr
    v[16 + 276] = 4;                                           // ChannelNum
    v[16 + 280] = 1;                                           // Version of the record
    PutText(v, 16 + 282, "P2P0123456789ABCDEF0123456789ABC");  // P2pID, 33 chars in 38
    return v;
}

TEST(SearchReply, DecodesEveryFieldAtItsOffset)
{
    const std::vector<U8> v = SearchReply();
    DsDevice d;
    ASSERT_EQ(0, DsDecodeSearchReply(v.data(), (S32)v.size(), kSeq, &d));
    EXPECT_EQ("192.168.1.10", d.strIp);
    EXPECT_EQ("abcdefghijklmnopqrstuvwxyz0123456789", d.strHostName);  // full field, no NUL
    EXPECT_EQ("255.255.255.0", d.strNetMask);
    EXPECT_EQ("192.168.1.1", d.strGateWay);
    EXPECT_EQ("8.8.8.8", d.strDns1);
    EXPECT_EQ("0.0.0.0", d.strDns2);
    EXPECT_EQ(85u, d.u32Port);
    EXPECT_EQ(8080u, d.u32IePort);
    EXPECT_EQ(2u, d.u32NetworkMode);
    EXPECT_EQ("IPC-ABCDEFGHIJKLMNOPQRSTUVWX", d.strDevType);  // 28, not running into 156
    EXPECT_EQ(0x5658040200080000ull, d.u64DevType);
    EXPECT_EQ("V1.2.3", d.strDevVer);
    EXPECT_EQ(1010u, d.u32DeviceId);
    EXPECT_EQ("lobby", d.strDeviceName);
    EXPECT_EQ("0A-1B-2C-3D-4E-5F", d.strMacAddr);
    EXPECT_EQ(4u, d.u32ChannelNum);
    EXPECT_EQ(1u, d.u8RecVersion);
    EXPECT_EQ("P2P0123456789ABCDEF0123456789ABC", d.strP2pId);
}

TEST(SearchReply, FullTextFieldsStopAtTheirWidth)
{
    std::vector<U8> v = SearchReply();
    memset(&v[16 + 240], 'M', 36);  // MacAddr full ...
    v[16 + 276] = 'X';              // ... and the next field is not text
    memset(&v[16], '9', 16);        // IP full, runs into HostName
    DsDevice d;
    ASSERT_EQ(0, DsDecodeSearchReply(v.data(), (S32)v.size(), kSeq, &d));
    EXPECT_EQ(std::string(36, 'M'), d.strMacAddr);
    EXPECT_EQ(std::string(16, '9'), d.strIp);
}

TEST(SearchReply, RefusesWhatIsNotOurReply)
{
    struct Case {
        const char* name;
        size_t len;
        size_t off;  // byte to change, or SIZE_MAX
        U8 val;
    } cases[] = {
        {"empty", 0, SIZE_MAX, 0},        {"header-1", 15, SIZE_MAX, 0},
        {"header only", 16, SIZE_MAX, 0}, {"one short", 463, SIZE_MAX, 0},
        {"type 12", 464, 4, 12},          {"type 13", 464, 4, 13},
        {"other seq", 464, 12, 0x79},     {"MsgSize 447", 464, 8, 0xBF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<U8> v = SearchReply();
        if (c.off != SIZE_MAX) v[c.off] = c.val;
        DsDevice d;
        d.strIp = "untouched";
        EXPECT_EQ(-1, DsDecodeSearchReply(v.data(), (S32)c.len, kSeq, &d));
        EXPECT_EQ("untouched", d.strIp);
    }
}

TEST(SearchReply, AcceptsTheOtherSearchTypesAndLongerDatagrams)
{
    for (const U16 u16Type : {(U16)618, (U16)620}) {
        std::vector<U8> v = SearchReply();
        v[4] = (U8)(u16Type & 0xFF);
        v[5] = (U8)(u16Type >> 8);
        DsDevice d;
        EXPECT_EQ(0, DsDecodeSearchReply(v.data(), (S32)v.size(), kSeq, &d)) << u16Type;
    }
    std::vector<U8> v = SearchReply();
    v.resize(600, 0xEE);
    DsDevice d;
    EXPECT_EQ(0, DsDecodeSearchReply(v.data(), (S32)v.size(), kSeq, &d));
}

TEST(SearchRequest, IsABareHeaderOfType11)
{
    U8 u8Buf[DS_SEARCH_REQ_LEN];
    memset(u8Buf, 0xAA, sizeof(u8Buf));
    ASSERT_EQ(16, DsEncodeSearch(0xA1B2C3D4, u8Buf));
    const U8 au8Want[16] = {
        0x00, 0x00, 0x00, 0x00,  // Version/ExtSize, Reserved, AckFlag
        0x0B, 0x00, 0x00, 0x00,  // MsgType 11, MsgSubType 0
        0x00, 0x00, 0x00, 0x00,  // MsgSize 0
        0xD4, 0xC3, 0xB2, 0xA1,  // Seq, little-endian
    };
    EXPECT_EQ(0, memcmp(au8Want, u8Buf, sizeof(au8Want)));
}

DsModifyReq SampleReq()
{
    DsModifyReq r;
    memcpy(r.au8MsgId, "DS0123456789ABCD", 16);
    r.strUser = "admin";
    r.strPwd = "secret";
    const U8 cip[4] = {192, 168, 1, 10}, ip[4] = {192, 168, 1, 20}, mask[4] = {255, 255, 255, 0},
             gw[4] = {192, 168, 1, 1}, d1[4] = {8, 8, 8, 8}, d2[4] = {0, 0, 0, 0};
    memcpy(r.au8Cip, cip, 4);
    memcpy(r.au8Ip, ip, 4);
    memcpy(r.au8Mask, mask, 4);
    memcpy(r.au8Gw, gw, 4);
    memcpy(r.au8Dns1, d1, 4);
    memcpy(r.au8Dns2, d2, 4);
    r.u16MediaPort = 85;
    r.u16WebPort = 8080;
    r.bModeValid = true;
    r.u8Mode = 2;
    r.bSetMac = false;
    r.bExtended = true;
    r.u64DevType = 0x5658040200080000ull;
    r.strMac = "00-11-22-33-44-55";
    return r;
}

/* The 132-byte extended request, from the header and NewNetMDevInfoReq tables. */
// clang-format off
const U8 kExtended[132] = {
    0x00, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00,          // head: type 12
    0x74, 0x00, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12,          // MsgSize 116, Seq
    'D', 'S', '0', '1', '2', '3', '4', '5',                  // 16: msgid
    '6', '7', '8', '9', 'A', 'B', 'C', 'D',
    'a', 'd', 'm', 'i', 'n', 0, 0, 0, 0, 0,                  // 32: user, 10
    's', 'e', 'c', 'r', 'e', 't', 0, 0, 0, 0, 0, 0, 0, 0,    // 42: pwd, 14
    192, 168, 1, 10,                                         // 56: cip
    192, 168, 1, 20,                                         // 60: ip
    255, 255, 255, 0,                                        // 64: mask
    192, 168, 1, 1,                                          // 68: gw
    8, 8, 8, 8,                                              // 72: dns1
    0, 0, 0, 0,                                              // 76: dns2
    0x55, 0x00, 0x90, 0x1F,                                  // 80: mport 85, wport 8080
    2, 1, 0, 0,                                              // 84: wMode, wNewFlag, ZizodSetMac, res
    0x00, 0x00, 0x08, 0x00, 0x02, 0x04, 0x58, 0x56,          // 88: devTypeULL
    '0', '0', '-', '1', '1', '-', '2', '2', '-',             // 96: macAddr, 36
    '3', '3', '-', '4', '4', '-', '5', '5',
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};
// clang-format on

TEST(ModifyRequest, ExtendedFormIs132BytesAsLaidOut)
{
    U8 u8Buf[DS_MODIFY_REQ_MAX];
    ASSERT_EQ(132, DsEncodeModify(SampleReq(), kSeq, u8Buf));
    for (size_t i = 0; i < sizeof(kExtended); ++i) {
        EXPECT_EQ(kExtended[i], u8Buf[i]) << "offset " << i;
    }
}

TEST(ModifyRequest, FirstFormIsThe88BytePrefixWithMsgSize72)
{
    DsModifyReq r = SampleReq();
    r.bExtended = false;
    U8 u8Buf[DS_MODIFY_REQ_MAX];
    ASSERT_EQ(88, DsEncodeModify(r, kSeq, u8Buf));
    U8 au8Want[88];
    memcpy(au8Want, kExtended, sizeof(au8Want));
    au8Want[8] = 0x48;  // MsgSize 72
    EXPECT_EQ(0, memcmp(au8Want, u8Buf, sizeof(au8Want)));
}

TEST(ModifyRequest, NoModeMeansNewFlagZeroAndSetMacIsOne)
{
    DsModifyReq r = SampleReq();
    r.bModeValid = false;
    r.bSetMac = true;
    r.strMac = "02-AA-BB-CC-DD-EE";
    U8 u8Buf[DS_MODIFY_REQ_MAX];
    ASSERT_EQ(132, DsEncodeModify(r, kSeq, u8Buf));
    EXPECT_EQ(0, u8Buf[84]);  // wMode
    EXPECT_EQ(0, u8Buf[85]);  // wNewFlag
    EXPECT_EQ(1, u8Buf[86]);  // ZizodSetMac
    EXPECT_EQ(0, memcmp(u8Buf + 96, "02-AA-BB-CC-DD-EE\0", 18));
}

TEST(ModifyRequest, TextsFillTheirFieldsButNeverOverflowThem)
{
    DsModifyReq r = SampleReq();
    r.strUser = "0123456789";     // 10: fills user, no terminator
    r.strPwd = "ABCDEFGHIJKLMN";  // 14: fills pwd
    U8 u8Buf[DS_MODIFY_REQ_MAX];
    ASSERT_EQ(132, DsEncodeModify(r, kSeq, u8Buf));
    EXPECT_EQ(0, memcmp(u8Buf + 32, "0123456789ABCDEFGHIJKLMN", 24));
    EXPECT_EQ(192, u8Buf[56]);  // cip right behind, untouched

    struct Case {
        const char* name;
        std::string user, pwd, mac;
    } cases[] = {
        {"user 11", "01234567890", "x", "00-11-22-33-44-55"},
        {"pwd 15", "u", "ABCDEFGHIJKLMNO", "00-11-22-33-44-55"},
        {"mac 37", "u", "x", std::string(37, 'A')},
        {"NUL in user", std::string("ad\0min", 6), "x", "00-11-22-33-44-55"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DsModifyReq rr = SampleReq();
        rr.strUser = c.user;
        rr.strPwd = c.pwd;
        rr.strMac = c.mac;
        memset(u8Buf, 0xAA, sizeof(u8Buf));
        EXPECT_EQ(-1, DsEncodeModify(rr, kSeq, u8Buf));
        EXPECT_EQ(0xAA, u8Buf[0]);  // nothing written on refusal
    }
    DsModifyReq rm = SampleReq();
    rm.strMac = std::string(36, 'A');
    EXPECT_EQ(132, DsEncodeModify(rm, kSeq, u8Buf));
    EXPECT_EQ('A', u8Buf[131]);
}

TEST(ModifyRequest, MacSetNeedsTheExtendedForm)
{
    DsModifyReq r = SampleReq();
    r.bSetMac = true;
    r.bExtended = false;
    U8 u8Buf[DS_MODIFY_REQ_MAX];
    EXPECT_EQ(-1, DsEncodeModify(r, kSeq, u8Buf));
}

/* Modification reply: the request's header with AckFlag 0 and MsgSize 16, ExtSize zero
 * words, then the 16-byte msgid. */
std::vector<U8> ModifyReply(U8 u8Ext)
{
    std::vector<U8> v(32 + 4 * u8Ext, 0);
    v[0] = (U8)(u8Ext << 2);
    v[4] = 12;
    v[8] = 16;
    v[12] = 0x78;
    v[13] = 0x56;
    v[14] = 0x34;
    v[15] = 0x12;
    memcpy(&v[16 + 4 * u8Ext], "DS0123456789ABCD", 16);
    return v;
}

const U8 kMsgId[16] = {'D', 'S', '0', '1', '2', '3', '4', '5',
                       '6', '7', '8', '9', 'A', 'B', 'C', 'D'};

TEST(ModifyReply, BodyFollowsTheExtensionWords)
{
    for (const U8 u8Ext : {(U8)0, (U8)2, (U8)3, (U8)63}) {
        SCOPED_TRACE(u8Ext);
        const std::vector<U8> v = ModifyReply(u8Ext);
        U16 u16Ack = 0xFFFF;
        EXPECT_EQ(0, DsDecodeModifyReply(v.data(), (S32)v.size(), kSeq, kMsgId, &u16Ack));
        EXPECT_EQ(0, u16Ack);
        EXPECT_EQ(-1, DsDecodeModifyReply(v.data(), (S32)v.size() - 1, kSeq, kMsgId, &u16Ack));
    }
}

TEST(ModifyReply, RefusesOtherRequestsReplies)
{
    U16 u16Ack = 7;
    std::vector<U8> v = ModifyReply(0);
    v[31] = 'E';  // another msgid
    EXPECT_EQ(-1, DsDecodeModifyReply(v.data(), 32, kSeq, kMsgId, &u16Ack));
    v = ModifyReply(0);
    EXPECT_EQ(-1, DsDecodeModifyReply(v.data(), 32, kSeq + 1, kMsgId, &u16Ack));
    v[4] = 11;  // a search reply's type
    EXPECT_EQ(-1, DsDecodeModifyReply(v.data(), 32, kSeq, kMsgId, &u16Ack));
    EXPECT_EQ(-1, DsDecodeModifyReply(v.data(), 0, kSeq, kMsgId, &u16Ack));
    EXPECT_EQ(7, u16Ack);
    v = ModifyReply(0);
    v[2] = 50;  // AckFlag is reported as sent
    EXPECT_EQ(0, DsDecodeModifyReply(v.data(), 32, kSeq, kMsgId, &u16Ack));
    EXPECT_EQ(50, u16Ack);
}

/* The captures: devsearch sends the very bytes the real exchange carried (the requests
 * differ in msgid, Seq, password, gateway, first DNS server, form and MAC) and reads
 * the camera's replies to them. */
TEST(Samples, CapturedSearchIsSentAndItsReplyRead)
{
    U8 u8Buf[DS_SEARCH_REQ_LEN];
    ASSERT_EQ(16, DsEncodeSearch(0x101, u8Buf));
    EXPECT_EQ(std::vector<U8>(u8Buf, u8Buf + sizeof(u8Buf)),
              camtest::SampleDatagram("search_request"));

    // every field as `search --json` prints it (the interface is the network side's)
    const std::vector<U8> v = camtest::SampleDatagram("search_reply");
    DsDevice d;
    ASSERT_EQ(0, DsDecodeSearchReply(v.data(), (S32)v.size(), 0x101, &d));
    d.strIfName = "eth0";
    EXPECT_EQ(
        "{\"ip\":\"192.168.1.10\",\"netmask\":\"255.255.255.0\",\"gateway\":\"0.0.0.0\","
        "\"dns1\":\"0.0.0.0\",\"dns2\":\"0.0.0.0\",\"mac\":\"00-11-22-33-44-55\",\"mode\":"
        "\"static\","
        "\"media_port\":85,\"web_port\":85,\"device_type\":\"\",\"device_type_code\":"
        "\"0x5658040200080000\",\"version\":\"\",\"device_id\":1010,\"name\":\"\",\"hostname\":"
        "\"\","
        "\"channels\":4,\"p2p_id\":\"\",\"interface\":\"eth0\",\"url\":\"http://192.168.1.10:85/\","
        "\"snapshot_url\":\"http://192.168.1.10:85/cgi-bin/stillcgi\"}",
        DsJsonLine(d));
    EXPECT_EQ(1u, d.u8RecVersion);
}

TEST(Samples, CapturedModificationsAreSentAndTheirRepliesRead)
{
    const struct {
        const char* name;
        U32 seq;
        const char* pwd;
        U8 gw, dns1;  // last octets in 192.168.1.x; dns1 0 is 0.0.0.0
        bool extended, setmac;
        const char* mac;
        bool answered;
    } cases[] = {
        {"modify_first", 0x201, "1234", 254, 0, false, false, "", true},
        {"modify_extended", 0x301, "1234", 254, 53, true, false, "00-11-22-33-44-55", true},
        {"mac_set", 0x401, "1234", 254, 53, true, true, "02-11-22-33-44-55", true},
        {"wrong_password", 0x501, "4321", 2, 0, true, false, "02-11-22-33-44-55", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DsModifyReq r = SampleReq();
        char s8MsgId[DS_MSGID_LEN + 1];
        snprintf(s8MsgId, sizeof(s8MsgId), "PY%014x", (unsigned)c.seq);
        memcpy(r.au8MsgId, s8MsgId, sizeof(r.au8MsgId));
        r.strPwd = c.pwd;
        memcpy(r.au8Ip, r.au8Cip, 4);  // the camera keeps its address, 192.168.1.10
        r.au8Gw[3] = c.gw;
        const U8 au8Dns1[4] = {192, 168, 1, c.dns1};
        memcpy(r.au8Dns1, c.dns1 ? au8Dns1 : r.au8Dns2, 4);
        r.u16WebPort = 85;
        r.bExtended = c.extended;
        r.bSetMac = c.setmac;
        r.strMac = c.mac;
        U8 u8Buf[DS_MODIFY_REQ_MAX];
        const S32 s32Len = DsEncodeModify(r, c.seq, u8Buf);
        ASSERT_GT(s32Len, 0);
        EXPECT_EQ(std::vector<U8>(u8Buf, u8Buf + s32Len),
                  camtest::SampleDatagram(std::string(c.name) + "_request"));
        if (!c.answered) continue;
        const std::vector<U8> v = camtest::SampleDatagram(std::string(c.name) + "_reply");
        U16 u16Ack = 0xFFFF;
        EXPECT_EQ(0, DsDecodeModifyReply(v.data(), (S32)v.size(), c.seq, r.au8MsgId, &u16Ack));
        EXPECT_EQ(0, u16Ack);
    }
}

}  // namespace
