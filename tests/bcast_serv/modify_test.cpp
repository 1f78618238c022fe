// SPDX-License-Identifier: MIT
/* The modification branch over a loopback socket: the identity match, the
 * user check and the guessing bound, the checks before anything is written,
 * the reply before the save and the restarts, and the log lines of it all. */
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "bcast_fixture.h"
#include "capture_fd.h"
#include "comm_log.h"

namespace {

using ModifyRequest = BcastFixture;

TEST_F(ModifyRequest, FirstFormMatchesOnAddressAloneAndIsApplied)
{
    ModifyReq stReq;
    stReq.uMsgSize = 72; /* 132 bytes arrive, but MsgSize says first form */
    stReq.strMac = "ff-ff-ff-ff-ff-ff";
    stReq.u64Type = 1;
    CaptureFd stCapErr(STDERR_FILENO);
    const Bytes vecRsp = Exchange(stReq.Build());
    const std::string strLog = stCapErr.Take();

    Bytes vecExpected = Header(12, 16);
    Put16(vecExpected, 2, 0);
    vecExpected.resize(32, 0);
    PutStr(vecExpected, 16, stReq.strMsgId);
    EXPECT_EQ(vecRsp, vecExpected);

    ASSERT_EQ(m_stDev.vecWritten.size(), 1u);
    const VXNet_NetworkBaseSet_t& stSet = m_stDev.vecWritten[0];
    EXPECT_EQ(Bytes(stSet.IPAddr, stSet.IPAddr + 4), (Bytes{192, 168, 1, 20}));
    EXPECT_EQ(stSet.NetworkMode, 2) << "no mode given: static";
    EXPECT_EQ(stSet.Port, 85u);
    EXPECT_EQ(stSet.WebPort, 8080u);
    const std::vector<std::string> vecOrder = {"GetNetworkState", "CheckUser",     "UpdateSysParam",
                                               "ReadSettings",    "WriteSettings", "send",
                                               "SaveFlash"};
    EXPECT_EQ(m_stDev.Names(), vecOrder);
    EXPECT_EQ(m_stDev.vecEvents[0].s64Arg0, 0) << "no netmask asked for";
    EXPECT_EQ(m_stDev.vecEvents[1].s64Arg0, CHECK_USER_TYPE_IE);
    EXPECT_EQ(m_stDev.vecEvents[3].s64Arg1, 272) << "parse size";
    EXPECT_EQ(m_stDev.vecEvents[3].s64Arg2, 1) << "reading: record only";
    EXPECT_EQ(m_stDev.vecEvents[4].s64Arg2, 1) << "writing: record only";
    EXPECT_EQ(m_stDev.vecEvents[5].s64Arg0, MSG_DONTROUTE);
    EXPECT_EQ(m_stDev.vecEvents[6].s64Arg0, SAVE_OPT_STOP_NONE);
    EXPECT_EQ(m_stDev.vecEvents[6].s64Arg1, 216);
    EXPECT_EQ(m_stDev.vecEvents[6].s64Arg2, 511);
    EXPECT_NE(strLog.find("] Broad modify NVR network info return first\n"), std::string::npos);
}

TEST_F(ModifyRequest, ExtendedFormNeedsAddressMacAndType)
{
    const struct {
        const char* ps8Name;
        unsigned uMsgSize;
        U8 u8CipLast;
        const char* ps8Mac;
        unsigned long long u64Type;
        S32 s32NetRet, s32DevRet;
        bool bMatch;
    } astCases[] = {
        {"all equal", 116, 10, "00-11-22-AA-BB-CC", 0x5658040200080000ULL, 0, 0, true},
        {"any size above 72", 73, 10, "00-11-22-AA-BB-CC", 0x5658040200080000ULL, 0, 0, true},
        {"other device", 116, 11, "00-11-22-AA-BB-CC", 0x5658040200080000ULL, 0, 0, false},
        {"lower-case MAC", 116, 10, "00-11-22-aa-bb-cc", 0x5658040200080000ULL, 0, 0, false},
        {"other type", 116, 10, "00-11-22-AA-BB-CC", 0x5658040200080001ULL, 0, 0, false},
        {"stored settings unreadable", 116, 10, "00-11-22-AA-BB-CC", 0x5658040200080000ULL, -1, 0,
         false},
        {"device info unreadable", 116, 10, "00-11-22-AA-BB-CC", 0x5658040200080000ULL, 0, -1,
         false},
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(stCase.ps8Name);
        m_stDev.vecEvents.clear();
        m_stDev.vecWritten.clear();
        m_stDev.s32NetStateRet = stCase.s32NetRet;
        m_stDev.s32DevInfoRet = stCase.s32DevRet;
        ModifyReq stReq;
        stReq.uMsgSize = stCase.uMsgSize;
        stReq.au8Cip[3] = stCase.u8CipLast;
        stReq.strMac = stCase.ps8Mac;
        stReq.u64Type = stCase.u64Type;
        CaptureFd stCapErr(STDERR_FILENO);
        const Bytes vecRsp = Exchange(stReq.Build(), stCase.bMatch ? 0 : 50);
        const std::string strLog = stCapErr.Take();
        EXPECT_EQ(vecRsp.size(), stCase.bMatch ? 32u : 0u);
        EXPECT_EQ(m_stDev.vecWritten.size(), stCase.bMatch ? 1u : 0u);
        EXPECT_NE(strLog.find("] localip:"), std::string::npos);
        if (!stCase.bMatch) {
            EXPECT_NE(strLog.find("]  Ip ,MacAddr and DevType are not all the same \n"),
                      std::string::npos);
            EXPECT_NE(strLog.find("] cMacaddr: " + std::string(stCase.ps8Mac) + " , s8Mac: "),
                      std::string::npos)
                << strLog;
            EXPECT_EQ(strLog.find("CheckUser"), std::string::npos);
        }
    }
}

TEST_F(ModifyRequest, MacSetSkipsTheIdentityMatchAndAppliesOnlyTheMac)
{
    ModifyReq stReq;
    stReq.au8Cip[0] = 10; /* another device's address */
    stReq.u8SetMac = 1;
    stReq.strMac = "02-00-00-00-00-07";
    EXPECT_EQ(Exchange(stReq.Build()).size(), 32u);
    EXPECT_TRUE(m_stDev.vecWritten.empty());
    ASSERT_EQ(m_stDev.vecMacWritten.size(), 1u);
    EXPECT_EQ(m_stDev.vecMacWritten[0], "02-00-00-00-00-07");
    EXPECT_EQ(m_stDev.vecEvents[m_stDev.vecEvents.size() - 3].s64Arg2, 2) << "MAC text only";
}

TEST_F(ModifyRequest, UserCheckDecidesAndPasswordsStayOutOfTheLog)
{
    const struct {
        S32 s32Ret;
        const char* ps8Line;
    } astCases[] = {
        {-1, "] CheckUser Failed!(admin:***)"},
        {0, "] authencate succefully!(admin:***)\n"},
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(stCase.s32Ret);
        m_stDev.s32CheckUserRet = stCase.s32Ret;
        m_stDev.vecEvents.clear();
        ModifyReq stReq;
        stReq.strMsgId = stCase.s32Ret < 0 ? "refused-request!" : "another-request!";
        CaptureFd stCapErr(STDERR_FILENO);
        const Bytes vecRsp = Exchange(stReq.Build(), 50);
        const std::string strLog = stCapErr.Take();
        EXPECT_TRUE(vecRsp.empty());
        EXPECT_NE(strLog.find(stCase.ps8Line), std::string::npos) << strLog;
        EXPECT_EQ(strLog.find("s3cr3tPw"), std::string::npos) << strLog;
        EXPECT_EQ(m_stDev.Names(),
                  (std::vector<std::string>{"GetNetworkState", "GetDevInfo", "CheckUser"}));
    }
    EXPECT_EQ(m_stDev.strPwd, "s3cr3tPw");
}

TEST_F(ModifyRequest, CredentialsFillingTheirFieldsReachTheCheckWhole)
{
    ModifyReq stReq;
    stReq.strUser = "abcdefghijXX";    /* 10-byte field */
    stReq.strPwd = "0123456789ABCDxx"; /* 14-byte field, runs into cip otherwise */
    Exchange(stReq.Build());
    EXPECT_EQ(m_stDev.strUser, "abcdefghij");
    EXPECT_EQ(m_stDev.strPwd, "0123456789ABCD");
}

TEST_F(ModifyRequest, UnreadableSettingsEndTheRequestSilently)
{
    m_stDev.s32ReadRet = -1;
    EXPECT_TRUE(Exchange(ModifyReq().Build(), 50).empty());
    EXPECT_TRUE(m_stDev.vecWritten.empty());
    EXPECT_EQ(m_stDev.Names().back(), "ReadSettings");
}

TEST_F(ModifyRequest, UnchangedSettingsAreAnsweredWithoutFlagsAndNotWritten)
{
    ModifyReq stReq;
    stReq.au8Ip[3] = 10; /* the current settings of the fake, repeated */
    stReq.uExtSize = 2;
    stReq.u8NewFlag = 1; /* a mode change alone does not count */
    stReq.u8Mode = 0;
    const Bytes vecRsp = Exchange(stReq.Build());
    ASSERT_EQ(vecRsp.size(), 40u);
    EXPECT_EQ(Get16(vecRsp, 2), 0u);
    EXPECT_EQ(Get32(vecRsp, 8), 16u);
    EXPECT_EQ(Bytes(vecRsp.begin() + 16, vecRsp.begin() + 24), Bytes(8, 0));
    EXPECT_EQ(Field(vecRsp, 24, 16), stReq.strMsgId);
    EXPECT_EQ(m_stDev.Names().back(), "send");
    EXPECT_EQ(m_stDev.vecEvents.back().s64Arg0, 0) << "sent with no flags";
    EXPECT_TRUE(m_stDev.vecWritten.empty());
}

TEST_F(ModifyRequest, ExtensionWordsAreZeroEvenAfterAnEarlierReply)
{
    ModifyReq stReq;
    ASSERT_EQ(Exchange(stReq.Build()).size(), 32u); /* msgid at 16 in the reply buffer */
    stReq.uExtSize = 5;
    stReq.strMsgId = "second-request!!";
    stReq.au8Ip[3] = 21;
    const Bytes vecRsp = Exchange(stReq.Build());
    ASSERT_EQ(vecRsp.size(), 52u);
    EXPECT_EQ(vecRsp[0] >> 2, 5) << "header keeps ExtSize";
    EXPECT_EQ(Bytes(vecRsp.begin() + 16, vecRsp.begin() + 36), Bytes(20, 0));
    EXPECT_EQ(Field(vecRsp, 36, 16), "second-request!!");
}

TEST_F(ModifyRequest, ResultBitsChooseSaveOptionAndRestarts)
{
    const struct {
        S32 s32Bits;
        SAVE_FLASH_OPT_E enOpt;
        std::vector<std::string> vecTail;
    } astCases[] = {
        {0x00, SAVE_OPT_STOP_NONE, {"send", "SaveFlash"}},
        {0x01, SAVE_OPT_STOP_ENC, {"send", "SaveFlash"}},
        {0x02, SAVE_OPT_STOP_REC, {"send", "SaveFlash"}},
        {0x03, SAVE_OPT_STOP_ERC, {"send", "SaveFlash"}},
        {0x54, SAVE_OPT_STOP_NONE, {"send", "SaveFlash"}}, /* bits 2, 4, 6 ignored */
        {0x28, SAVE_OPT_STOP_NONE, {"send", "SaveFlash", "RestartMachine", "ResetNetServer"}},
        {0x08, SAVE_OPT_STOP_NONE, {"send", "SaveFlash", "RestartMachine"}},
    };
    unsigned char u8Last = 30;
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(testing::Message() << "bits " << stCase.s32Bits);
        m_stDev.s32WriteRet = stCase.s32Bits;
        m_stDev.vecEvents.clear();
        ModifyReq stReq;
        stReq.au8Ip[3] = u8Last++;
        CaptureFd stCapErr(STDERR_FILENO);
        EXPECT_EQ(Exchange(stReq.Build()).size(), 32u);
        const std::string strLog = stCapErr.Take();
        std::vector<std::string> vecNames = m_stDev.Names();
        ASSERT_GE(vecNames.size(), stCase.vecTail.size());
        EXPECT_EQ(
            std::vector<std::string>(vecNames.end() - (long)stCase.vecTail.size(), vecNames.end()),
            stCase.vecTail);
        for (const FakeEvent& stEv : m_stDev.vecEvents) {
            if (stEv.strName == "SaveFlash") {
                EXPECT_EQ(stEv.s64Arg0, stCase.enOpt);
            }
        }
        const bool bReboot = stCase.vecTail.size() > 2;
        EXPECT_EQ(strLog.find("] restarting machine .....................\n") != std::string::npos,
                  bReboot);
    }
    /* the requests are cleared: an unchanged request afterwards restarts nothing */
    m_stDev.vecEvents.clear();
    m_stDev.s32WriteRet = 0;
    ModifyReq stSame;
    stSame.au8Ip[3] = 10;
    EXPECT_EQ(Exchange(stSame.Build()).size(), 32u);
    EXPECT_EQ(m_stDev.Names().back(), "send");
}

TEST_F(ModifyRequest, ModeComesFromTheRequestOnlyWhenFlagged)
{
    const struct {
        U8 u8NewFlag, u8Mode, u8Stored;
    } astCases[] = {{0, 0, 2}, {0, 5, 2}, {1, 0, 0}, {1, 2, 2}, {7, 3, 3}};
    unsigned char u8Last = 40;
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(testing::Message() << int(stCase.u8NewFlag) << "/" << int(stCase.u8Mode));
        m_stDev.vecWritten.clear();
        ModifyReq stReq;
        stReq.u8NewFlag = stCase.u8NewFlag;
        stReq.u8Mode = stCase.u8Mode;
        stReq.au8Ip[3] = u8Last++;
        EXPECT_EQ(Exchange(stReq.Build()).size(), 32u);
        ASSERT_EQ(m_stDev.vecWritten.size(), 1u);
        EXPECT_EQ(m_stDev.vecWritten[0].NetworkMode, stCase.u8Stored);
    }
}

/* The adapter of the real provider reads nothing into the record. Each request
 * must then be judged on its own, not against the one before. */
TEST_F(ModifyRequest, OutcomeNeverDependsOnAnEarlierRequest)
{
    m_stDev.bFillOnRead = false;
    ModifyReq stReq;
    EXPECT_EQ(Exchange(stReq.Build()).size(), 32u);
    EXPECT_EQ(Exchange(stReq.Build()).size(), 32u);
    EXPECT_TRUE(m_stDev.bReadRecordWasZero);
    EXPECT_EQ(m_stDev.vecWritten.size(), 2u) << "the same request again is applied again";
}

TEST_F(ModifyRequest, UnusableSettingsAreRefusedBeforeAnythingIsWritten)
{
    const struct {
        const char* ps8Name;
        U8 au8Ip[4];
        U8 au8Mask[4];
        U8 au8Gw[4];
        U8 u8NewFlag, u8Mode, u8SetMac;
        const char* ps8Mac;
        bool bApplied;
    } astCases[] = {
        // clang-format off
        {"zero address", {0, 0, 0, 0}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"broadcast address", {255, 255, 255, 255}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"loopback address", {127, 0, 0, 5}, {255, 0, 0, 0}, {0, 0, 0, 0}, 1, 2, 0, "", false},
        {"multicast address", {224, 0, 0, 1}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"reserved address", {240, 1, 2, 3}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"zero netmask", {192, 168, 1, 20}, {0, 0, 0, 0}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"holey netmask", {192, 168, 1, 20}, {255, 0, 255, 0}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"host netmask", {10, 9, 8, 7}, {255, 255, 255, 255}, {0, 0, 0, 0}, 0, 0, 0, "", false},
        {"gateway outside the subnet", {192, 168, 1, 20}, {255, 255, 255, 0}, {192, 168, 2, 1}, 0, 0, 0, "", false},
        {"no gateway", {192, 168, 1, 20}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 0, "", true},
        {"DHCP keeps any addresses", {0, 0, 0, 0}, {0, 0, 0, 0}, {9, 9, 9, 9}, 1, 0, 0, "", true},
        {"MAC set checks only the MAC", {0, 0, 0, 0}, {0, 0, 0, 0}, {9, 9, 9, 9}, 0, 0, 1, "00-11-22-33-44-66", true},
        {"MAC with five pairs", {192, 168, 1, 20}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 1, "00-11-22-33-44", false},
        {"group MAC", {192, 168, 1, 20}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 1, "01-00-5E-00-00-01", false},
        {"zero MAC", {192, 168, 1, 20}, {255, 255, 255, 0}, {0, 0, 0, 0}, 0, 0, 1, "00-00-00-00-00-00", false},
        // clang-format on
    };
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(stCase.ps8Name);
        m_stDev.vecEvents.clear();
        m_stDev.vecWritten.clear();
        m_stDev.vecMacWritten.clear();
        ModifyReq stReq;
        memcpy(stReq.au8Ip, stCase.au8Ip, 4);
        memcpy(stReq.au8Mask, stCase.au8Mask, 4);
        memcpy(stReq.au8Gw, stCase.au8Gw, 4);
        stReq.u8NewFlag = stCase.u8NewFlag;
        stReq.u8Mode = stCase.u8Mode;
        stReq.u8SetMac = stCase.u8SetMac;
        if (stCase.u8SetMac != 0) stReq.strMac = stCase.ps8Mac;
        CaptureFd stCapErr(STDERR_FILENO);
        const Bytes vecRsp = Exchange(stReq.Build(), stCase.bApplied ? 0 : 50);
        const std::string strLog = stCapErr.Take();
        const size_t uWrites = m_stDev.vecWritten.size() + m_stDev.vecMacWritten.size();
        EXPECT_EQ(uWrites, stCase.bApplied ? 1u : 0u);
        EXPECT_EQ(vecRsp.size(), stCase.bApplied ? 32u : 0u);
        const size_t uPos = strLog.find("] refused network settings: ");
        if (stCase.bApplied) {
            EXPECT_EQ(uPos, std::string::npos) << strLog;
        } else {
            EXPECT_NE(uPos, std::string::npos) << strLog;
            EXPECT_EQ(strLog.find("refused", uPos + 10), std::string::npos) << "one line";
            EXPECT_EQ(m_stDev.Names().back(), "ReadSettings") << "no write, no save, no reply";
        }
    }
}

/* Control data as the kernel gives it for one IP_PKTINFO record. */

TEST_F(ModifyRequest, MacSetIsTakenOnlyAtTheCamerasOwnAddress)
{
    const struct {
        const char* ps8Dst; /* empty: no packet information at all */
        const char* ps8Local;
    } astCases[] = {
        {"255.255.255.255", "192.168.1.10"},    {"192.168.1.255", "192.168.1.10"},
        {"224.0.0.1", "192.168.1.10"},          {"239.255.255.250", "192.168.1.10"},
        {"255.255.255.255", "255.255.255.255"}, {"", ""},
    };
    m_stDev.s32CheckUserRet = -1; /* a wrong password, were it checked */
    BCAST_LOOP_S& stLoop = m_pServer->Loop();
    for (const auto& stCase : astCases) {
        SCOPED_TRACE(stCase.ps8Dst);
        m_stDev.vecEvents.clear();
        ModifyReq stReq;
        stReq.u8SetMac = 1;
        stReq.strMac = "02-00-00-00-00-07";
        const Bytes vecReq = stReq.Build();
        if (stCase.ps8Dst[0] != '\0') {
            PutPacketInfo(&stLoop, stCase.ps8Dst, stCase.ps8Local);
        } else {
            stLoop.stMsg.msg_controllen = 0;
        }
        memset(stLoop.u8RecvBuf, 0, sizeof(stLoop.u8RecvBuf));
        memcpy(stLoop.u8RecvBuf, vecReq.data(), vecReq.size());
        CaptureFd stCapErr(STDERR_FILENO);
        m_pServer->HandleDatagram(&stLoop, (S32)vecReq.size());
        const std::string strLog = stCapErr.Take();
        EXPECT_TRUE(m_stDev.vecEvents.empty()) << "not even the user check, so nothing counted";
        const std::string strLine = std::string("] MAC set sent to ") +
                                    (stCase.ps8Dst[0] != '\0' ? stCase.ps8Dst : "unknown") +
                                    ", not to this camera's own address: not answered\n";
        const size_t uPos = strLog.find(strLine);
        EXPECT_NE(uPos, std::string::npos) << strLog;
        EXPECT_EQ(strLog.find("MAC set sent", uPos + strLine.size()), std::string::npos)
            << "one line";
    }
    EXPECT_TRUE(Collect(50).empty());

    /* None of those counted: sent to the camera itself, with the right password,
     * the same MAC set is applied at once. */
    m_stDev.s32CheckUserRet = 1;
    ModifyReq stReq;
    stReq.u8SetMac = 1;
    stReq.strMac = "02-00-00-00-00-07";
    EXPECT_EQ(Exchange(stReq.Build()).size(), 32u);
    ASSERT_EQ(m_stDev.vecMacWritten.size(), 1u);
}

/* The user table could not be read (the main application is down): no
 * password was compared, so it is no guess. Nothing is answered, and the
 * guard neither counts it nor remembers it as refused. */
TEST_F(ModifyRequest, AnUnreadableUserTableIsNoGuess)
{
    m_pServer->Loop().pfnNowMs = [] { return (U64)700000; };
    m_stDev.s32CheckUserRet = CHECK_USER_UNAVAILABLE;
    CaptureFd stCapErr(STDERR_FILENO);
    for (int i = 0; i < 2 * (int)BCAST_GUARD_FAILS; ++i) {
        ModifyReq stReq;
        stReq.strMsgId = "table-down-" + std::to_string(i);
        EXPECT_TRUE(Exchange(stReq.Build(), 20).empty());
    }
    const std::string strLog = stCapErr.Take();
    size_t uLines = 0;
    for (size_t u = strLog.find("] user table unavailable (admin:***): no reply, not counted as a "
                                "failed check\n");
         u != std::string::npos; u = strLog.find("] user table unavailable", u + 1)) {
        ++uLines;
    }
    EXPECT_EQ(uLines, 2 * (size_t)BCAST_GUARD_FAILS) << strLog;
    EXPECT_EQ(strLog.find("CheckUser Failed"), std::string::npos);
    EXPECT_EQ(strLog.find("modifications locked"), std::string::npos);
    EXPECT_TRUE(m_stDev.vecWritten.empty());

    /* The table is back: the very first request is applied at once. */
    m_stDev.s32CheckUserRet = 1;
    ModifyReq stAgain;
    stAgain.strMsgId = "table-down-0";
    EXPECT_EQ(Exchange(stAgain.Build()).size(), 32u);
    EXPECT_EQ(m_stDev.vecWritten.size(), 1u);
}

/* ======================================================================== */

TEST_F(ModifyRequest, GuessingLocksModificationsForAMinute)
{
    m_pServer->Loop().pfnNowMs = FakeNowMs;
    g_u64FakeNowMs = 500000;
    m_stDev.s32CheckUserRet = -1;
    CaptureFd stCapErr(STDERR_FILENO);
    for (int i = 0; i < 5; ++i) {
        ModifyReq stReq;
        stReq.strMsgId = "guess-" + std::to_string(i);
        stReq.strPwd = "guess" + std::to_string(i);
        EXPECT_TRUE(Exchange(stReq.Build(), 20).empty());
        g_u64FakeNowMs += 1000;
    }
    std::string strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("] modifications locked for 60 s after 5 failed user checks\n"),
              std::string::npos)
        << strLog;
    EXPECT_EQ(m_stDev.vecEvents.size() - 5 * 3, 0u) << "identity, user check: nothing more";

    /* The right password is refused unchecked while the lock lasts; searches are
     * answered as ever. */
    m_stDev.s32CheckUserRet = 1;
    m_stDev.vecEvents.clear();
    stCapErr.Start();
    EXPECT_TRUE(Exchange(ModifyReq().Build(), 20).empty());
    EXPECT_EQ(Exchange(Header(11, 0)).size(), 464u);
    g_u64FakeNowMs += 55000;
    EXPECT_TRUE(Exchange(ModifyReq().Build(), 20).empty());
    strLog = stCapErr.Take();
    EXPECT_EQ(CountOf(m_stDev.Names(), "CheckUser"), 0);
    EXPECT_NE(strLog.find("] CheckUser skipped: modifications locked for 59 more s\n"),
              std::string::npos)
        << strLog;
    EXPECT_NE(strLog.find("] CheckUser skipped: modifications locked for 4 more s\n"),
              std::string::npos)
        << strLog;

    /* The end is logged once, and the same request is then applied. */
    g_u64FakeNowMs += 5000;
    stCapErr.Start();
    EXPECT_EQ(Exchange(ModifyReq().Build()).size(), 32u);
    strLog = stCapErr.Take();
    EXPECT_NE(strLog.find("] modifications unlocked\n"), std::string::npos) << strLog;
    EXPECT_EQ(m_stDev.vecWritten.size(), 1u);
}

TEST_F(ModifyRequest, ARepeatedRefusedRequestIsOneFailure)
{
    m_pServer->Loop().pfnNowMs = FakeNowMs;
    g_u64FakeNowMs = 900000;
    m_stDev.s32CheckUserRet = -1;
    CaptureFd stCapErr(STDERR_FILENO);
    /* Four mistypes, each sent three times, as a client repeats them. */
    for (int i = 0; i < 4; ++i) {
        ModifyReq stReq;
        stReq.strMsgId = "typo-" + std::to_string(i);
        for (int s32Copy = 0; s32Copy < 3; ++s32Copy)
            EXPECT_TRUE(Exchange(stReq.Build(), 20).empty());
    }
    const std::string strLog = stCapErr.Take();
    EXPECT_EQ(CountOf(m_stDev.Names(), "CheckUser"), 4);
    EXPECT_EQ(strLog.find("modifications locked"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("] CheckUser skipped: repeat of a refused request\n"), std::string::npos);
    m_stDev.s32CheckUserRet = 1;
    EXPECT_EQ(Exchange(ModifyReq().Build()).size(), 32u);
}

/* Search lines have used up their log budget: every line about what was
 * done, or refused, to the settings is still written. */
TEST_F(ModifyRequest, SettingsLinesOutliveAnExhaustedSearchBudget)
{
    m_pServer->Loop().pfnNowMs = FakeNowMs;
    CommLogTestClock(FakeNowMs);
    g_u64FakeNowMs = 2000000;
    const auto Exhaust = [] {
        for (unsigned i = 0; i <= COMM_LOG_BURST; ++i) CommLogLine("T", "F", 1, "search\n");
    };
    CaptureFd stCapErr(STDERR_FILENO);
    Exhaust();
    m_stDev.s32CheckUserRet = -1;
    for (int i = 0; i < (int)BCAST_GUARD_FAILS; ++i) {
        ModifyReq stReq;
        stReq.strMsgId = "exhausted-" + std::to_string(i);
        Exchange(stReq.Build());
    }
    m_stDev.s32CheckUserRet = 1;
    Exchange(ModifyReq().Build()); /* refused: locked */
    g_u64FakeNowMs += BCAST_GUARD_LOCK_MS;
    Exhaust();
    Exchange(ModifyReq().Build()); /* unlocked, stored */
    ModifyReq stBad;
    stBad.au8Gw[2] = 9;
    Exchange(stBad.Build()); /* refused settings */
    m_stDev.s32WriteRet = -1;
    stBad.au8Gw[2] = 1;
    stBad.au8Ip[3] = 33;
    Exchange(stBad.Build()); /* not stored */
    m_stDev.s32CheckUserRet = CHECK_USER_UNAVAILABLE;
    Exchange(ModifyReq().Build());
    ModifyReq stMac;
    stMac.u8SetMac = 1;
    PutPacketInfo(&m_pServer->Loop(), "255.255.255.255", "192.168.1.10");
    const Bytes vecMac = stMac.Build();
    memcpy(m_pServer->Loop().u8RecvBuf, vecMac.data(), vecMac.size());
    m_pServer->HandleDatagram(&m_pServer->Loop(), (S32)vecMac.size());
    const std::string strLog = stCapErr.Take();
    CommLogTestClock(nullptr);

    EXPECT_EQ(strLog.find("] MSG_TYPE_MDEVINFO"), std::string::npos)
        << "the search budget is spent";
    for (const char* ps8Line :
         {"] CheckUser Failed!(admin:***)", "] modifications locked for 60 s after 5 failed",
          "] CheckUser skipped: modifications locked for 60 more s\n", "] modifications unlocked\n",
          "] authencate succefully!(admin:***)\n", "] Broad modify NVR network info return first\n",
          "] refused network settings: gateway outside the new subnet\n",
          "] settings not stored (NetBasicParamAdapter returned -1), no reply\n",
          "] user table unavailable (admin:***)", "] MAC set sent to 255.255.255.255, not"}) {
        EXPECT_NE(strLog.find(ps8Line), std::string::npos) << ps8Line;
    }
}

/* The adapter could not store the change: nothing may say it did. No reply,
 * no save, and no reboot however its result reads as bits. */
TEST_F(ModifyRequest, UnstoredSettingsAreNotAcknowledged)
{
    for (S32 s32Ret : {-1, -2, INT32_MIN}) {
        SCOPED_TRACE(s32Ret);
        m_stDev.s32WriteRet = s32Ret;
        m_stDev.vecEvents.clear();
        ModifyReq stReq;
        stReq.au8Ip[3] = (U8)(100 + m_stDev.vecWritten.size());
        CaptureFd stCapErr(STDERR_FILENO);
        EXPECT_TRUE(Exchange(stReq.Build(), 50).empty());
        const std::string strLog = stCapErr.Take();
        EXPECT_EQ(m_stDev.Names().back(), "WriteSettings");
        EXPECT_NE(strLog.find("] settings not stored (NetBasicParamAdapter returned " +
                              std::to_string(s32Ret) + "), no reply\n"),
                  std::string::npos)
            << strLog;
        EXPECT_EQ(strLog.find("restarting machine"), std::string::npos);
    }
}

/* Texts of a datagram are the sender's: a line feed or an escape byte in them
 * must not start a log line of its own. */
TEST_F(ModifyRequest, NetworkTextsReachTheLogEscaped)
{
    ModifyReq stReq;
    stReq.strMac = "00\n[BCAST][x] line[1] \x1b[2Jforged"; /* 32 of the 36 bytes */
    stReq.strUser = "ad\nmin\xff";
    stReq.strMsgId = std::string("id\r\n\0\x01", 6);
    stReq.u64Type = 1; /* no match: the four mismatch lines as well */
    CaptureFd stCapErr(STDERR_FILENO);
    EXPECT_TRUE(Exchange(stReq.Build(), 20).empty());
    stReq.u64Type = 0x5658040200080000ULL;
    stReq.u8SetMac = 1; /* passes the identity match: user and msgid lines */
    Exchange(stReq.Build(), 20);
    const std::string strLog = stCapErr.Take();
    std::istringstream in(strLog);
    std::string strLine;
    int s32Lines = 0;
    while (std::getline(in, strLine)) {
        ++s32Lines;
        /* "CheckUser Failed" has no line end of its own; all else starts a line. */
        EXPECT_EQ(strLine.rfind("[BCAST][AcceptProcess] line[", 0), 0u) << strLine;
        const size_t uForged = strLine.find("forged");
        if (uForged != std::string::npos) {
            EXPECT_EQ(uForged, strLine.find("\\x1b[2Jforged") + 7) << strLine;
        }
        EXPECT_EQ(strLine.find('\x1b'), std::string::npos);
    }
    EXPECT_GT(s32Lines, 8);
    EXPECT_NE(strLog.find(" MacAddr:00\\x0a[BCAST][x] line[1] \\x1b[2Jforged\n"), std::string::npos)
        << strLog;
    EXPECT_NE(strLog.find("authencate succefully!(ad\\x0amin\\xff:***)\n"), std::string::npos);
    EXPECT_NE(strLog.find("MSG_ID:id\\x0d\\x0a\n"), std::string::npos);
}

}  // namespace
