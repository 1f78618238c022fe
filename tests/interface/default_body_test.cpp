// SPDX-License-Identifier: MIT
/* What a device class gets for every operation it does not override: the
 * not-implemented line on standard output and the fixed result of its kind. */
#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "capture_fd.h"
#include "intf_base.h"

namespace {

std::string Line(const char* ps8Name)
{
    return std::string("FUNC = ") + ps8Name + " not impletion!\n";
}

/* Results of every kind as one integer: pointers as 0 / 1, S8 as its byte. */
template <typename T>
long long ToInt(T value)
{
    if constexpr (std::is_pointer_v<T>) {
        return value == nullptr ? 0 : 1;
    } else if constexpr (std::is_same_v<T, S8>) {
        return static_cast<U8>(value);
    } else {
        return static_cast<long long>(value);
    }
}

struct Case {
    const char* ps8Name; /* the name the line must carry */
    std::function<long long(DevInterface&)> call;
    long long s64Expect;
    bool bPrints;
};

#define CALL(EXPR) [](DevInterface& d) { return ToInt(d.EXPR); }

void RunCases(const std::vector<Case>& vecCases)
{
    for (const Case& stCase : vecCases) {
        SCOPED_TRACE(stCase.ps8Name);
        DevInterface stDev;
        CaptureFd stCapOut(STDOUT_FILENO);
        const long long s64Got = stCase.call(stDev);
        const std::string strOut = stCapOut.Take();
        EXPECT_EQ(s64Got, stCase.s64Expect);
        EXPECT_EQ(strOut, stCase.bPrints ? Line(stCase.ps8Name) : std::string());
    }
}

TEST(DefaultBody, RuleResultIsMinusOne)
{
    RunCases({
        {"GetDevChnNum", CALL(GetDevChnNum()), -1, true},
        {"CheckUser", CALL(CheckUser(nullptr, nullptr, CHECK_USER_TYPE_IE)), -1, true},
        {"GetNetworkState", CALL(GetNetworkState(nullptr, nullptr, nullptr)), -1, true},
        {"GetDnsAddrs", CALL(GetDnsAddrs(nullptr, 2)), -1, true},
        {"GetHostname", CALL(GetHostname(nullptr)), -1, true},
        {"SaveFlash", CALL(SaveFlash(SAVE_OPT_STOP_NONE, 216, 511)), -1, true},
        {"RestartMachine", CALL(RestartMachine()), -1, true},
        {"NetBasicParamAdapter", CALL(NetBasicParamAdapter(nullptr, nullptr, 0, true, 272)), -1,
         true},
        {"GetDefaultParamAdapter", CALL(GetDefaultParamAdapter(nullptr, nullptr, 0, 1, 0)), -1,
         true},
        {"DevFsReadData", CALL(DevFsReadData(0, nullptr, 0)), -1, true}, /* LONG */
        {"VxPlatParam_NetworkParameterAdapter",
         CALL(VxPlatParam_NetworkParameterAdapter(nullptr, nullptr, 0, 0)), -1, true},
        {"DestoryDecoder", CALL(DestoryDecoder(nullptr)), -1, true},
        {"DevUpgradeFlag", CALL(DevUpgradeFlag()), -1, true},
        /* the operations left unnamed follow the rule too */
        {"CustomerPlatformParamAdapter",
         CALL(CustomerPlatformParamAdapter(nullptr, nullptr, 0, false, 0)), -1, true},
        {"RemoteFirmwareUpgrade", CALL(RemoteFirmwareUpgrade(nullptr, nullptr, nullptr)), -1, true},
    });
}

TEST(DefaultBody, GetDevInfoLeavesRecordUntouched)
{
    DevInterface stDev;
    DEVINFO_S stInfo;
    memset(&stInfo, 0x5A, sizeof(stInfo));
    DEVINFO_S stBefore;
    memcpy(&stBefore, &stInfo, sizeof(stBefore));
    CaptureFd stCapOut(STDOUT_FILENO);
    EXPECT_EQ(stDev.GetDevInfo(&stInfo, 1), -1);
    EXPECT_EQ(stCapOut.Take(), Line("GetDevInfo"));
    EXPECT_EQ(memcmp(&stInfo, &stBefore, sizeof(stInfo)), 0);
}

TEST(DefaultBody, IntegerZeroExceptions)
{
    RunCases({
        {"GetReadPtrInfo", CALL(GetReadPtrInfo(0, nullptr)), 0, true},
        {"SetNetReadPtrPos", CALL(SetNetReadPtrPos(0, 0)), 0, true},
        {"ReadBFDataStart", CALL(ReadBFDataStart(0)), 0, true},
        {"ReadBFDataEnd", CALL(ReadBFDataEnd(0)), 0, true},
        {"GetStreamBufSize", CALL(GetStreamBufSize(0, 0)), 0, true},
        {"GetPresetNum", CALL(GetPresetNum(0)), 0, true},
        {"CheckIP", CALL(CheckIP(nullptr)), 0, true},
        {"SetIELanguage", CALL(SetIELanguage(0)), 0, true},
        {"Gb28181ParamAdapter", CALL(Gb28181ParamAdapter(nullptr, nullptr, 0, true, 0)), 0, true},
        {"IPCLoadDefault", CALL(IPCLoadDefault(0)), 0, true},
        {"RemoteCheck", CALL(RemoteCheck(nullptr)), 0, true},
        {"AddSensorDev", CALL(AddSensorDev(nullptr)), 0, true},
        {"DeleteSensorDev", CALL(DeleteSensorDev(0)), 0, true},
        {"GetMoblieRemoteControlStatus", CALL(GetMoblieRemoteControlStatus()), 0, true},
        {"SetSensorRuleUpdate", CALL(SetSensorRuleUpdate(0)), 0, true},
        {"GetSensorRuleSwitch", CALL(GetSensorRuleSwitch(0)), 0, true},
        {"SetSensorDevName", CALL(SetSensorDevName(0, nullptr)), 0, true},
        {"GetSensorDevName", CALL(GetSensorDevName(0, nullptr, 0)), 0, true},
        {"SearchSmartCount", CALL(SearchSmartCount(nullptr, nullptr)), 0, true},
        {"RFConnectUpdate", CALL(RFConnectUpdate(0)), 0, true},
        {"GetRFConnnectState", CALL(GetRFConnnectState()), 0, true},
        {"ParamImportAndExport", CALL(ParamImportAndExport(nullptr, false)), 0, true},
        {"GetSaveUserResult", CALL(GetSaveUserResult()), 0, true},
        {"CheckMac", CALL(CheckMac(nullptr)), 0, true},
    });
}

TEST(DefaultBody, BothGetLatestIFrameOverloadsPrintTheSameName)
{
    FRAME_INFO_S* pstFrame = nullptr;
    RunCases({
        {"GetLatestIFrame",
         [pstFrame](DevInterface& d) { return ToInt(d.GetLatestIFrame(0, pstFrame)); }, -1, true},
        {"GetLatestIFrame", CALL(GetLatestIFrame(0)), 0, true},
    });
}

TEST(DefaultBody, BooleansFalseExceptSix)
{
    RunCases({
        {"RequestReader", CALL(RequestReader(0, 0, nullptr)), 1, true},
        {"GetChPreviewAuth", CALL(GetChPreviewAuth(0, 0)), 1, true},
        {"ValidateHdd", CALL(ValidateHdd(0)), 1, true},
        {"IsValidUpgradePacket", CALL(IsValidUpgradePacket(nullptr, 0)), 1, true},
        {"GetChPlaybackAuth", CALL(GetChPlaybackAuth(0, 0)), 1, true},
        {"DevTelnetAndSerialCtrl", CALL(DevTelnetAndSerialCtrl(false)), 1, true},
        {"StreamIsExist", CALL(StreamIsExist(0, 0)), 0, true},
        {"IsFormatHdd", CALL(IsFormatHdd()), 0, true},
        {"IsNewVersion", CALL(IsNewVersion(nullptr)), 0, true},
        {"GetGpsEnable", CALL(GetGpsEnable()), 0, true},
    });
}

TEST(DefaultBody, UnsignedPointerAndEnumerationResults)
{
    RunCases({
        {"GetSysParam", CALL(GetSysParam()), 0, true},
        {"GetMediaPort", CALL(GetMediaPort()), 0, true},
        {"GetWebPort", CALL(GetWebPort()), 0, true},
        {"GetDevType", CALL(GetDevType()), 0, true},
        {"GetUpgradeMagic", CALL(GetUpgradeMagic()), 0, true},
        {"GetProductCustomVal", CALL(GetProductCustomVal()), CUS_Normal, true},
        {"GetPlatformHost", CALL(GetPlatformHost()), 0, true},
        {"GetIpByHost", CALL(GetIpByHost(nullptr)), 0, true},
        {"CreatDecoder", CALL(CreatDecoder(0, nullptr)), 0, true},
        /* the three exceptions */
        {"GetDevResolution", CALL(GetDevResolution(0)), 9, true},
        {"GetMobileStreamType", CALL(GetMobileStreamType(0)), 1, true},
        {"ReadGpsReplayPacket", CALL(ReadGpsReplayPacket(0, nullptr, 0)), -1, true},
    });
}

TEST(DefaultBody, ByteResults)
{
    RunCases({
        {"CheckPlatformUpgradeTag", CALL(CheckPlatformUpgradeTag()), 0xFF, true},
        {"ClearPlatformUpgradeTag", CALL(ClearPlatformUpgradeTag()), 0xFF, true},
        {"PlatformMessage", CALL(PlatformMessage(0, nullptr, 0)), 0xFF, true},
        {"SetMobileRemoteControlStatus", CALL(SetMobileRemoteControlStatus(1)), 0, true},
    });
}

TEST(DefaultBody, SilentOnes)
{
    RunCases({
        {"WriteAiRules", CALL(WriteAiRules(0, nullptr)), 0, false},
        {"GetICCardListEnable", CALL(GetICCardListEnable()), 0, false},
        {"StartRemoteUpgrade", CALL(StartRemoteUpgrade(nullptr)), 0, false},
        {"CanDualtalkRelease", CALL(CanDualtalkRelease()), 1, false},
        {"SetSysTime", CALL(SetSysTime(nullptr)), 0, false},
        {"IsEncodeEnabled", CALL(IsEncodeEnabled()), 1, false},
        {"GetChannelAudio", CALL(GetChannelAudio(0)), 0, false},
        {"GetPlatformService", CALL(GetPlatformService()), -1, false},
        {"GetMdvrPlatfParamEnable", CALL(GetMdvrPlatfParamEnable()), 0, false},
    });
}

TEST(DefaultBody, VoidsPrintOnly)
{
    const std::vector<std::pair<const char*, std::function<void(DevInterface&)>>> vecCases = {
        {"UpdateSysParam", [](DevInterface& d) { d.UpdateSysParam(); }},
        {"ResetNetServer", [](DevInterface& d) { d.ResetNetServer(); }},
        {"EndRemoteUpgrade", [](DevInterface& d) { d.EndRemoteUpgrade(0); }},
        {"SetPlaybackState", [](DevInterface& d) { d.SetPlaybackState(0); }},
        {"GetEmailTestContent", [](DevInterface& d) { d.GetEmailTestContent(nullptr, 0); }},
    };
    for (const auto& stCase : vecCases) {
        SCOPED_TRACE(stCase.first);
        DevInterface stDev;
        CaptureFd stCapOut(STDOUT_FILENO);
        stCase.second(stDev);
        EXPECT_EQ(stCapOut.Take(), Line(stCase.first));
    }
}

/* A device whose encoder is off. */
class EncodeOffDevice : public DevInterface {
public:
    BOOL IsEncodeEnabled() override { return false; }
};

TEST(FeaturesTest, AsksTheObjectForEncoding)
{
    DevInterface stPlain;
    EncodeOffDevice stOff;
    IMisc* pMiscOff = &stOff; /* the base's body must reach the override */
    CaptureFd stCapOut(STDOUT_FILENO);
    EXPECT_EQ(stPlain.FeaturesTest(2), 1);
    EXPECT_EQ(pMiscOff->FeaturesTest(2), 0);
    EXPECT_EQ(pMiscOff->FeaturesTest(3), 1);
    EXPECT_EQ(stPlain.FeaturesTest(3), 1);
    EXPECT_EQ(stPlain.FeaturesTest(0), -1);
    EXPECT_EQ(stPlain.FeaturesTest(1), -1);
    EXPECT_EQ(stPlain.FeaturesTest(4), -1);
    EXPECT_EQ(stCapOut.Take(), "");
}

struct ThrowCase {
    const char* ps8Name;
    std::function<void(DevInterface&)> call;
};

TEST(ThrowingDefault, PrintsThenThrowsItsName)
{
    const std::vector<ThrowCase> vecCases = {
        {"GetMobileStreamSwitch", [](DevInterface& d) { d.GetMobileStreamSwitch(0); }},
        {"GetVersionInfo", [](DevInterface& d) { d.GetVersionInfo(nullptr, 0); }},
        {"CameraSetNewParamAdapter",
         [](DevInterface& d) { d.CameraSetNewParamAdapter(nullptr, nullptr, 0, true, 0); }},
        {"SnmpParamAdapter",
         [](DevInterface& d) { d.SnmpParamAdapter(nullptr, nullptr, 0, true, 0); }},
        {"IeeeParamAdapter",
         [](DevInterface& d) { d.IeeeParamAdapter(nullptr, nullptr, 0, true, 0); }},
        {"VoiceParamAdapter",
         [](DevInterface& d) { d.VoiceParamAdapter(nullptr, nullptr, 0, true, 0); }},
        {"OcclusionParamAdapter",
         [](DevInterface& d) { d.OcclusionParamAdapter(nullptr, nullptr, 0, true, 0); }},
        {"CloudCheck", [](DevInterface& d) { d.CloudCheck(); }},
        {"VxPlatParam_GetLockIDParameter",
         [](DevInterface& d) { d.VxPlatParam_GetLockIDParameter(nullptr, 0); }},
        {"VxPlat_PassRecvMsgNotify",
         [](DevInterface& d) { d.VxPlat_PassRecvMsgNotify(nullptr, 0); }},
    };
    for (const ThrowCase& stCase : vecCases) {
        SCOPED_TRACE(stCase.ps8Name);
        DevInterface stDev;
        std::string strWhat = "(nothing thrown)";
        CaptureFd stCapOut(STDOUT_FILENO);
        try {
            stCase.call(stDev);
        } catch (const Exception& e) {
            strWhat = e.what();
        }
        EXPECT_EQ(stCapOut.Take(), Line(stCase.ps8Name));
        EXPECT_EQ(strWhat, stCase.ps8Name);
    }
}

/* Overrides the daemon's kind of operations; every other stays default. */
class FakeDevice : public DevInterface {
public:
    U16 GetMediaPort() override { return 85; }
    S32 CheckUser(S8* /*pUserName*/, S8* /*pPassword*/, CHECK_USER_TYPE_E /*enType*/) override
    {
        return 1;
    }
    VOID UpdateSysParam() override { ++m_s32Updates; }

    S32 m_s32Updates = 0;
};

TEST(Override, CallThroughFacadeRunsOverrideSilently)
{
    FakeDevice stFake;
    DevInterface* pIntf = &stFake;
    S8 s8User[] = "admin";
    S8 s8Pass[] = "1234";
    CaptureFd stCapOut(STDOUT_FILENO);
    EXPECT_EQ(pIntf->GetMediaPort(), 85);
    EXPECT_EQ(pIntf->CheckUser(s8User, s8Pass, CHECK_USER_TYPE_IE), 1);
    pIntf->UpdateSysParam();
    EXPECT_EQ(stCapOut.Take(), "");
    EXPECT_EQ(stFake.m_s32Updates, 1);

    /* a neighbour in the same role keeps its default */
    stCapOut.Start();
    EXPECT_EQ(pIntf->GetWebPort(), 0);
    EXPECT_EQ(stCapOut.Take(), Line("GetWebPort"));
}

}  // namespace
