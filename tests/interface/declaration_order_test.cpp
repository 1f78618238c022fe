// SPDX-License-Identifier: MIT
/* The declaration order of each role interface fixes its vtable layout, which
 * a device class built elsewhere relies on; the compiler cannot see a swapped
 * or sorted pair, so the headers' own lines are read back and compared. */
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct RoleOrder {
    const char* ps8Class;
    const char* ps8Header;
    const char* ps8Names; /* space-separated, in declaration order */
};

const RoleOrder g_astOrder[] = {
    {"IPreview", "intf_preview.h",
     "RequestReader ReleaseReader GetLatestIFrame GetRealFrame RequestIFrame GetStreamInfo "
     "GetReadPtrInfo SetNetReadPtrPos ReadBFDataStart ReadBFDataEnd GetLatestIFrame "
     "StreamIsExist GetStreamBufSize GetChPreviewAuth "},
    {"IPlayback", "intf_playback.h",
     "ValidateHdd GetRecFileNum GetRecFileList GetRecFileCalendar DevFsOpen DevFsClose DevFsSeek "
     "DevFsReadData DevFsGetNextFile DevFsFindStart DevFsSeek DevFsFindEnd GetRecFileDayHalfHour "
     "StartSearchRecord GetOneSearchRecordResult EndSearchRecord GetLog GetDevicePlaybackState "
     "IsFormatHdd GetDiskGroupState "},
    {"IPTZControl", "intf_ptzcontrol.h",
     "PtzCtrl IsGuiPtzAutoScan PtzBindProtocol GetSensorPresetInfo SetSensorPresetInfo "
     "GetPresetNum "},
    {"IParamConfig", "intf_paramconfig.h",
     "GetDevChnNum GetMaxUserNum CheckUser GetDevInfo GetSysParam UpdateSysParam GetMediaPort "
     "GetWebPort GetNetworkState GetDnsAddrs GetHostname SaveFlash RestartMachine "
     "BaseInfoParamAdapter HddParamAdapter SerialParamAdapter GeneralParamAdapter "
     "UserInfoParamAdapter DstParamAdapter MainStreamParamAdapter SubStreamParamAdapter "
     "ShelterParamAdapter PtzParamAdapter OsdParamAdapter NetBasicParamAdapter "
     "MobileParamAdapter DdnsParamAdapter PPPoEParamAdapter EmailParamAdapter NtpParamAdapter "
     "MotionParamAdapter AbnormalParamAdapter IOAlarmParamAdapter RecordParamAdapter "
     "ScheduleParamAdapter MaintainParamAdapter ColorParamAdapter DefaultParamAdapter "
     "IntelligentParamAdapter IntAvdParamAdapter EmailScheduleParamAdapter GetDevChnInfo "
     "SetIOAlarmStatus GetImageWidth GetFrameRate GetSystemTime SetSystemTime "
     "PlatformParamAdapter GetMainthreadRunFlag GetDevType GetDevResolution GetDevHddNum "
     "IPCParamAdapter Base3GInfoParamAdapter GetDeviceName GetMobilePort IpcIOAlarmParamAdapter "
     "RouterLanParamAdapter RouterWanParamAdapter WifiParamAdapter VehicleMngParamAdapter "
     "SearchRemoteDev SearchRemoteDevRelease SetRemoteDevNet OutputSetParamAdapter "
     "ResetNetServer TelAlarmAreaParamAdapter TelAlarmWireSensorParamAdapter "
     "TelAlarmWirelessSensorParamAdapter CameraSetParamAdapter MobileStreamSetParamAdapter "
     "KeyConfParamAdapter CheckIP IPFilterParamAdapter RtspParamAdapter GetMobileStreamType "
     "AddAllDeviceRun StartRemoteUpgrade FtpParamAdapter ElecLockParamAdapter "
     "CloudStorageParamAdapter CloudEmailParamAdapter P2pQrCodeIDParamAdapter EndRemoteUpgrade "
     "DevAllStatusParamAdapter FtpAutoUpgradeParamAdapter SaveP2pKeyFlash "
     "ManualRecordParamAdapter MobileMsgPushParaHandler SystemIDCtrlParamAdapter "
     "IPCFrameInfoParamAdapter NewCloudStorageParamAdapter UpLoadPhotoParamAdapter "
     "UpLoadVideoParamAdapter NormalCloudStorageInfoParamAdapter "
     "NormalCloudStorageEmailParamAdapter NormalCloudStorageFTPParamAdapter "
     "PerimeterLineParamAdapter VideoDiagnosticsParamAdapter GoodsLostLegacyParamAdapter "
     "ModifyMainStreamParamAdapter ModifySubStreamParamAdapter ModifyMobileStreamParamAdapter "
     "ModifyLivingParamAdapter ModifyOutputParamAdapter ModifyKBSetParamAdapter "
     "ModifyFtpUpgradeParamAdapter ModifyStateParamAdapter ModifyEmailScParamAdapter "
     "IDSetParamAdapter StreamSetParamAdapter SoleUploadVideoAdapter IntelligentRecParamAdapter "
     "IPCImageParamAdapter GetDefaultParamAdapter CustomProtocolParamAdapter "
     "SGPlatformParamAdapter SetIELanguage GetMobileStreamSwitch GetVersionInfo "
     "Gb28181ParamAdapter CameraSetNewParamAdapter SnmpParamAdapter IeeeParamAdapter "
     "VoiceParamAdapter OcclusionParamAdapter IpcRoiParamAdapter ODParamAdapter "
     "IpcWirelessParamAdapter GetSensorNumber SensorParamAdapter IpcNetBreakParamAdapter "
     "IEEE8021XParamAdapter PushInfoParamAdapter IPV6ParamAdapter AnalogParamAdapter "
     "CapSetParamAdapter CapScheduleParamAdapter GetDevLastStatus ZeroChnParamAdapter "
     "KeyParamSetAdapter ChnInfoParamAdapter RecInfoParamAdapter PerimeterParamAdapter "
     "SingleSensorAlarmParamAdapter ModifyAreaStreamParamAdapter IntHdParamAdapter "
     "IntFdParamAdapter IntPccParamAdapter IntManageParamAdapter ElectricityGridParamAdapter "
     "FishEyeParamAdapter IPCCamerModeParamAdapter SwitchParamAdapter AutoFocusParamAdapter "
     "CustomerPlatformParamAdapter CustomerAlarmParamAdapter CustomerStreamParamAdapter "},
    {"IGui", "intf_gui.h",
     "UpdateOsd DrawIntRules AiVideoUnbinding WaitForGuiStart UpdateDisplayMode "},
    {"IDualTalk", "intf_dualtalk.h",
     "OpenDualTalkDec CloseDualTalkDec EnableStorage StoreFrame ConsumeFrame Play "
     "DisplayDualTalking RemoteCloseDualTalk CanDualtalkRelease GetDualtalkChn "},
    {"IUpgrade", "intf_upgrade.h",
     "SetStateBitmap CheckStateBitmap ClearStateBitmap CheckDeviceType IsNewVersion CheckCRC "
     "RemoteUpgradeHandle GetUpgradeMagic IsValidUpgradePacket ComparePacketVersion "
     "GetPacketUpgradeBitMap PlatformUpgradeHandle CheckFileHead StartFtpUpgrade "
     "StartFtpUpgradeSearchFile GetDeviceSoftVersion CheckUpgradeInfo CheckFilePartsToUpgrade "
     "NewModeRemoteUpgradeHandle IsNeedUpgrade DevNewModeUpgradeHandle WriteUpgsFileToDisk "
     "EndWriteUpgradeFile StartRemoteUpgradeIpcs CustomerPlatformUpgradeHandle "
     "RemoteFirmwareUpgrade "},
    {"IAlarmReport", "intf_alarmreport.h",
     "RequestAlarmListReaderID ReleaseAlarmListReaderID GetAlarmInfo WriteAiRules Snap "
     "ReadSnapFile DestroySnap SnapIntoBuffer UpdataICCardList GetICCardListEnable "
     "RequestDevStatus RequestHttpRemote "},
    {"IMisc", "intf_misc.h",
     "EmailTest DDNSTest SetSysTime GetSysTime ColorCtrl IsEncodeEnabled FeaturesTest HddFormat "
     "GetHddCanRead SetPlaybackState FtpWriteFileTest GetDDNSID CloudCheck GetChannelAudio "
     "RemoteSearchLog SearchLogRelease RemoteRebootIpc RemoteIpcLoadDefault OneKeyAddIpc "
     "SGPlatManualUpload GetVxPushAppInfo GetChannelVideoInfo ResetVxPushAppInfo "
     "GetZeroChnStatus IsZipDevices IPCLoadDefault RemoteCheck AddSensorDev DeleteSensorDev "
     "SetMobileRemoteControlStatus GetMoblieRemoteControlStatus SetSensorRuleUpdate "
     "GetSensorRuleSwitch SetSensorDevName GetSensorDevName SearchSmartCount RFConnectUpdate "
     "GetRFConnnectState GetProductCustomVal GetChPlaybackAuth ParamImportAndExport "
     "DevTelnetAndSerialCtrl GetEmailTestContent GetSaveUserResult CheckMac "},
    {"IPlatform", "intf_platform.h",
     "GetPlatformEnable GetPlatformMduConType GetPlatformService GetPlatformHost GetPlatformPort "
     "GetPlatformPuId GetPlatformPuName GetPlatformPuPassword GetPlatformResetFlag "
     "GetPlatformModifyFlag ClearPlatformModifyFlag GetPlatformIp GetIpByHost GetPlatformPuIP "
     "GetPlatformPuPort VxPlatParam_SystemBaseInfoAdapter VxPlatParam_OSDParameterAdapter "
     "VxPlatParam_HddParameterAdapter VxPlatParam_ColorParameterAdapter "
     "VxPlatParam_VideoCoverParameterAdapter VxPlatParam_PTZParameterAdapter "
     "VxPlatParam_NetworkParameterAdapter VxPlatParam_SubStreamParameterAdapter "
     "VxPlatParam_EmailParameterAdapter VxPlatParam_MobileParameterAdapter "
     "VxPlatParam_MotionParameterAdapter VxPlatParam_AbnormalParameterAdapter "
     "VxPlatParam_IOAlarmParameterAdapter VxPlatParam_MainStreamParameterAdapter "
     "VxPlatParam_RecordParameterAdapter VxPlatParam_ScheduleParameterAdapter "
     "VxPlatParam_MaintainParameterAdapter VxPlatParam_DefaultParameterAdapter "
     "VxPlatParam_PlatformParameterAdapter VxPlatParam_CarFuntionParameterAdapter PlatSaveFlash "
     "UpdatePlatParam PlatServRestart CheckPlatformUpgradeTag ClearPlatformUpgradeTag "
     "PlatformMessage VxPlatParam_AIParameterAdapter GetMdvrPlatfParamEnable "
     "VxPlatParam_ELockParameterAdapter VxPlatParam_ICCardParameterAdapter "
     "VxPlatParam_DDNSParameterAdapter VxPlatParam_GetLockIDParameter VxPlat_PassRecvMsgNotify "},
    {"IGps", "intf_gps.h",
     "StartGpsReplay EndGpsReplay ReStartGpsReplay ReadGpsReplayPacket JumpNextGpsFile "
     "SwitchGpsInfoStruct GetCurGpsInfo GetGpsReportFrequence GetGpsEnable "
     "StartSearchGpsFileByDay EndSearchGpsFileByDay StartSearchGpsFileByMonth "
     "StartSearchGpsFileByHour EndSearchGpsFileByHour "},
    {"ISNPReport", "intf_snaptreport.h", "SNPRegister SNPRUnRegister SNPREnable "},
    {"ITvWall", "intf_tvwall.h",
     "GetCurOutput ChangeDeviceDisplayMode GetOutPutDevType CreatDecoder DestoryDecoder "
     "EnableDecoder DisableDecoder LoadTvWallParam SaveTvWallParam GetWindowRect DecVideoFrame "
     "DecAudioFrame SetAudioOutputStatus "},
    {"IMdvr", "intf_mdvr.h",
     "RegisterELockRequestCallBack ELockCtrl ELockReportFrequency GetGasStationInfoList "
     "DevUpgradeFlag "},
};

std::vector<std::string> Split(const std::string& strText)
{
    std::istringstream stIn(strText);
    std::vector<std::string> vecOut;
    std::string strWord;
    while (stIn >> strWord) vecOut.push_back(strWord);
    return vecOut;
}

/* Names of the operations declared in a header, in order: the name argument
 * of each default macro, and every hand-written virtual operation. */
std::vector<std::string> DeclaredNames(const std::string& strPath)
{
    std::ifstream stFile(strPath);
    EXPECT_TRUE(stFile.good()) << strPath;
    static const std::regex s_reMacro(
        R"(^\s*INTF_(?:DEFAULT|SILENT|THROWS)\(\s*[^,]+,\s*(\w+)\s*,)");
    static const std::regex s_reVoid(R"(^\s*INTF_DEFAULT_VOID\(\s*(\w+)\s*,)");
    static const std::regex s_reVirtual(R"(^\s*virtual\s+[\w\*\s]+?\b(\w+)\s*\()");
    std::vector<std::string> vecOut;
    std::string strLine;
    std::smatch stMatch;
    for (int s32Lines = 0; s32Lines < 100000 && std::getline(stFile, strLine); ++s32Lines) {
        if (std::regex_search(strLine, stMatch, s_reMacro) ||
            std::regex_search(strLine, stMatch, s_reVoid) ||
            std::regex_search(strLine, stMatch, s_reVirtual)) {
            vecOut.push_back(stMatch[1]);
        }
    }
    return vecOut;
}

TEST(DeclarationOrder, EveryRoleDeclaresItsOperationsInOrder)
{
    size_t u32Total = 0;
    for (const RoleOrder& stRole : g_astOrder) {
        SCOPED_TRACE(stRole.ps8Class);
        const std::vector<std::string> vecWant = Split(stRole.ps8Names);
        EXPECT_EQ(DeclaredNames(std::string(INTF_HEADER_DIR) + "/" + stRole.ps8Header), vecWant);
        u32Total += vecWant.size();
    }
    EXPECT_EQ(u32Total, 379u);
}

}  // namespace
