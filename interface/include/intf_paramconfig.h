// SPDX-License-Identifier: MIT
/* intf_paramconfig.h: device information, network state, the user check,
 * saving, restart, and one get/set adapter per settings block.
 *
 * The records that cross the facade on the discovery road live here too
 * (DEVINFO_S, the option enumerations) and in VXNetParameter.h. */
#ifndef INTERFACE_INTF_PARAMCONFIG_H
#define INTERFACE_INTF_PARAMCONFIG_H

#include "intf_default.h"
#include "VXNetParameter.h"

/* What SaveFlash stops while the settings are written. */
typedef enum tag_SAVE_FLASH_OPT_E {
    SAVE_OPT_STOP_NONE = 0,
    SAVE_OPT_STOP_ENC = 1, /* stop encoding */
    SAVE_OPT_STOP_REC = 2, /* stop recording */
    SAVE_OPT_STOP_ERC = 3, /* stop both */
} SAVE_FLASH_OPT_E;

/* Kind of login CheckUser checks. */
typedef enum tag_CHECK_USER_TYPE_E {
    CHECK_USER_TYPE_IE = 0, /* PC or browser client */
    CHECK_USER_TYPE_MOBILE = 1,
} CHECK_USER_TYPE_E;

/* CheckUser results a caller tells apart. Every negative result rejects the
 * login; CHECK_USER_UNAVAILABLE says that the user table could not be read
 * (its owner is down, say), so no password was compared: not a wrong one. */
constexpr S32 CHECK_USER_FAILED = -1;
constexpr S32 CHECK_USER_UNAVAILABLE = -2;

/* Bit numbers of a set-direction adapter result: each set bit asks the caller
 * for one follow-up (1 << OPT_BIT_REBOOT = reboot, and so on). */
typedef enum tag_OPT_BIT_E {
    OPT_BIT_STOP_ENC = 0,
    OPT_BIT_STOP_REC = 1,
    OPT_BIT_UPDATE_OSD = 2,
    OPT_BIT_REBOOT = 3,
    OPT_BIT_RESTART_PLATFORM = 4,
    OPT_BIT_RESTART_MEDIASERV = 5,
    OPT_BIT_UPDATE_DISPMODE = 6,
    OPT_BIT_MAX = 7, /* the count, not a bit */
} OPT_BIT_E;

/* Resolution codes of the main application; NULL is "none known". */
typedef enum tag_DEV_RES_E {
    DEV_RES_NULL = 9,
} DEV_RES_E;

/* Stream of a channel. */
typedef enum tag_STREAMTYPE_E {
    STREAM_TYPE_MAIN = 1,
} STREAMTYPE_E;

/* Rights of the logged-in user as the main application reports them. */
typedef struct tag_USER_RIGHT_S {
    U32 u32LocalRight;  /* local functions, one bit each */
    U32 u32RemoteRight; /* remote functions, one bit each */
    U32 u32PreviewChn;  /* channel mask */
    U32 u32PlaybackChn; /* channel mask */
} USER_RIGHT_S;

/* Fish-eye lens support of an attached camera. */
typedef struct FishEyeIpc_Cap_t {
    U8 u8Support;
    U8 u8InstallModes; /* mask of ceiling, wall, table mounting */
    U8 u8DisplayModes; /* mask of correction views */
    U8 u8Reserved;
} FishEyeIpc_Cap_t;

// clang-format off
#define DEVINFO_TEXT_LEN   36  /* type, version, name and MAC texts */
#define DEVINFO_P2PID_LEN  32
#define DEVINFO_MASK_WORDS 8   /* 32-bit channel masks per array: 256 channels */
// clang-format on

/* Device information, filled by GetDevInfo. Callers clear it first, so a field
 * a provider leaves alone reads as zero. Texts are zero-padded and carry no
 * terminator when they fill their field. Only the identity fields up to
 * u8ChannelNum and s8P2pId reach the discovery reply; the capability fields
 * travel to other clients of the main application. */
typedef struct tag_DEVINFO_S {
    U64 u64DevType;                    /* type code, compared by modify requests */
    S8 s8DeviceType[DEVINFO_TEXT_LEN]; /* type text */
    S8 s8DevSwVer[DEVINFO_TEXT_LEN];   /* software version text */
    S8 s8DevName[DEVINFO_TEXT_LEN];
    S8 s8MacAddr[DEVINFO_TEXT_LEN]; /* "00-11-22-AA-BB-CC": upper-case pairs, '-' */
    U32 u32DeviceID;
    U8 u8ChannelNum;   /* video channels */
    U8 u8AIAnalyzeCap; /* intelligent analysis */
    U8 u8AIAnalyzeChannels;
    U8 u8SerialNum; /* serial ports */
    U8 u8ResolutioFrameFix;
    U8 u8PreviewOff;
    U8 u8VideoCoverNum; /* privacy-mask areas */
    U8 u8SubStreamMin;
    U8 u8SubStreamMax;
    U8 u8SubStreamRestrict;
    U8 u8MotionMode;
    U8 u8MaxPreviewNum; /* most simultaneous previews */
    /* capability flags and counts */
    U8 u8AlarmInNum;
    U8 u8AlarmOutNum;
    U8 u8AudioNum;
    U8 u8HddNum;
    U32 u32ProtocolType;
    S8 s8P2pId[DEVINFO_P2PID_LEN]; /* peer-to-peer identifier text */
    /* frame-rate totals over all channels */
    U32 u32MainFrameTotal;
    U32 u32SubFrameTotal;
    /* channel masks, bit n = channel n */
    U32 u32IpcChnMask[DEVINFO_MASK_WORDS];
    U32 u32AnalogChnMask[DEVINFO_MASK_WORDS];
    U32 u32AudioChnMask[DEVINFO_MASK_WORDS];
    U32 u32AIChnMask[DEVINFO_MASK_WORDS];
    USER_RIGHT_S stUserRight;
    FishEyeIpc_Cap_t stFishEyeCap;
    U8 u8ZeroChnSupport;
    U8 u8IPV6Support;
    U8 u8WifiSupport;
    U8 u8MobileSupport;
} DEVINFO_S;

/* GetDefaultParamAdapter's list: as INTF_ADAPTER_ARGS with a U8 direction. */
#define INTF_DEFAULT_ADAPTER_ARGS \
    (VOID* /*pParam*/, VOID* /*pItem*/, S32 /*s32ChnNO*/, U8 /*u8Direction*/, U32 /*u32ParseSize*/)

/* IParamConfig: the device's settings. The operations the discovery daemon
 * calls carry their contracts; the adapters share INTF_ADAPTER_ARGS. */
class IParamConfig {
public:
    IParamConfig() = default;
    virtual ~IParamConfig();

    // clang-format off
    /* device, users, network state */
    INTF_DEFAULT(S32,   GetDevChnNum,    (),                                                    -1)
    INTF_DEFAULT(S32,   GetMaxUserNum,   (),                                                    -1)
    /* CheckUser: a negative result rejects the login (CHECK_USER_UNAVAILABLE:
     * the table could not be read); a change is applied only on a positive
     * one. pUserName, pPassword: NUL-terminated texts. */
    INTF_DEFAULT(S32,   CheckUser,       (S8* /*pUserName*/, S8* /*pPassword*/, CHECK_USER_TYPE_E /*enType*/), -1)
    /* GetDevInfo: fills *pDevInfo (cleared by the caller); 0 = success. */
    INTF_DEFAULT(S32,   GetDevInfo,      (DEVINFO_S* /*pDevInfo*/, S32 /*s32LocalUserID*/),     -1)
    INTF_DEFAULT(VOID*, GetSysParam,     (),                                                    nullptr)
    /* UpdateSysParam: refresh the view of the system parameters before a change. */
    INTF_DEFAULT_VOID(  UpdateSysParam,  ())
    /* GetMediaPort, GetWebPort: the ports reported to clients. */
    INTF_DEFAULT(U16,   GetMediaPort,    (),                                                    0)
    INTF_DEFAULT(U16,   GetWebPort,      (),                                                    0)
    /* GetNetworkState: *s32Mode = 0 (DHCP) or 2 (static); address and netmask,
     * 4 bytes each, first octet first; either address pointer may be NULL;
     * 0 = success. */
    INTF_DEFAULT(S32,   GetNetworkState, (S32* /*s32Mode*/, U8* /*pu8Ip*/, U8* /*pu8NetMask*/), -1)
    /* GetDnsAddrs: up to s32DnsNum servers of 4 bytes; 0 = success. */
    INTF_DEFAULT(S32,   GetDnsAddrs,     (unsigned char (* /*pu8Dns*/)[4], S32 /*s32DnsNum*/),  -1)
    /* GetHostname: the host name as text into a 36-byte buffer; 0 = success. */
    INTF_DEFAULT(S32,   GetHostname,     (S8* /*ps8Hostname*/),                                 -1)
    /* SaveFlash: store changed settings, stopping what enOpt says; the message
     * type and subtype name the change; negative = failure. */
    INTF_DEFAULT(S32,   SaveFlash,       (SAVE_FLASH_OPT_E /*enOpt*/, WORD /*u16MsgType*/, WORD /*u16MsgSubType*/), -1)
    /* RestartMachine: reboots the device. */
    INTF_DEFAULT(S32,   RestartMachine,  (),                                                    -1)

    /* settings blocks */
    INTF_DEFAULT(S32, BaseInfoParamAdapter,      INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, HddParamAdapter,           INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, SerialParamAdapter,        INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, GeneralParamAdapter,       INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, UserInfoParamAdapter,      INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, DstParamAdapter,           INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, MainStreamParamAdapter,    INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, SubStreamParamAdapter,     INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, ShelterParamAdapter,       INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, PtzParamAdapter,           INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, OsdParamAdapter,           INTF_ADAPTER_ARGS, -1)
    /* NetBasicParamAdapter(pNetBasicSet, pSoleNetBasicSet, s32ChnNO, bDirection,
     * u32Parsesize): pNetBasicSet is a VXNet_NetworkBaseSet_t of u32Parsesize
     * bytes; pSoleNetBasicSet may carry a MAC address text to set.
     * Get: 0 = success. Set: a bit set of tag_OPT_BIT_E (0 = no follow-up). */
    INTF_DEFAULT(S32, NetBasicParamAdapter,      INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, MobileParamAdapter,        INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, DdnsParamAdapter,          INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, PPPoEParamAdapter,         INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, EmailParamAdapter,         INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, NtpParamAdapter,           INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, MotionParamAdapter,        INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, AbnormalParamAdapter,      INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, IOAlarmParamAdapter,       INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, RecordParamAdapter,        INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, ScheduleParamAdapter,      INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, MaintainParamAdapter,      INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, ColorParamAdapter,         INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, DefaultParamAdapter,       INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, IntelligentParamAdapter,   INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, IntAvdParamAdapter,        INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, EmailScheduleParamAdapter, INTF_ADAPTER_ARGS, -1)

    /* channels, alarms, time */
    INTF_DEFAULT(S32,       GetDevChnInfo,          (S32 /*s32ChnNO*/, VOID* /*pChnInfo*/),    -1)
    INTF_DEFAULT(S32,       SetIOAlarmStatus,       (S32 /*s32AlarmNO*/, S32 /*s32Status*/),   -1)
    INTF_DEFAULT(S32,       GetImageWidth,          (S32 /*s32ChnNO*/, S32 /*s32StreamType*/), -1)
    INTF_DEFAULT(S32,       GetFrameRate,           (S32 /*s32ChnNO*/, S32 /*s32StreamType*/), -1)
    INTF_DEFAULT(S32,       GetSystemTime,          (DateTime* /*pstTime*/),                   -1)
    INTF_DEFAULT(S32,       SetSystemTime,          (const DateTime* /*pstTime*/),             -1)
    INTF_DEFAULT(S32,       PlatformParamAdapter,   INTF_ADAPTER_ARGS,                         -1)
    INTF_DEFAULT(BOOL,      GetMainthreadRunFlag,   (),                                        false)
    INTF_DEFAULT(U32,       GetDevType,             (),                                        0)
    INTF_DEFAULT(DEV_RES_E, GetDevResolution,       (S32 /*s32ChnNO*/),                        DEV_RES_NULL)
    INTF_DEFAULT(S32,       GetDevHddNum,           (),                                        -1)
    INTF_DEFAULT(S32,       IPCParamAdapter,        INTF_ADAPTER_ARGS,                         -1)
    INTF_DEFAULT(S32,       Base3GInfoParamAdapter, INTF_ADAPTER_ARGS,                         -1)
    INTF_DEFAULT(S32,       GetDeviceName,          (S8* /*ps8Name*/, U32 /*u32Size*/),        -1)
    INTF_DEFAULT(U16,       GetMobilePort,          (),                                        0)
    INTF_DEFAULT(S32,       IpcIOAlarmParamAdapter, INTF_ADAPTER_ARGS,                         -1)
    INTF_DEFAULT(S32,       RouterLanParamAdapter,  INTF_ADAPTER_ARGS,                         -1)
    INTF_DEFAULT(S32,       RouterWanParamAdapter,  INTF_ADAPTER_ARGS,                         -1)
    INTF_DEFAULT(S32,       WifiParamAdapter,       INTF_ADAPTER_ARGS,                         -1)
    INTF_DEFAULT(S32,       VehicleMngParamAdapter, INTF_ADAPTER_ARGS,                         -1)

    /* remote devices */
    INTF_DEFAULT(S32,          SearchRemoteDev,                    (VOID* /*pDevList*/, S32 /*s32MaxNum*/), -1)
    INTF_DEFAULT(S32,          SearchRemoteDevRelease,             (),                                      -1)
    INTF_DEFAULT(S32,          SetRemoteDevNet,                    (const VOID* /*pNetSet*/),               -1)
    INTF_DEFAULT(S32,          OutputSetParamAdapter,              INTF_ADAPTER_ARGS,                       -1)
    /* ResetNetServer: restart the main application's network service. */
    INTF_DEFAULT_VOID(         ResetNetServer,                     ())
    INTF_DEFAULT(S32,          TelAlarmAreaParamAdapter,           INTF_ADAPTER_ARGS,                       -1)
    INTF_DEFAULT(S32,          TelAlarmWireSensorParamAdapter,     INTF_ADAPTER_ARGS,                       -1)
    INTF_DEFAULT(S32,          TelAlarmWirelessSensorParamAdapter, INTF_ADAPTER_ARGS,                       -1)
    INTF_DEFAULT(S32,          CameraSetParamAdapter,              INTF_ADAPTER_ARGS,                       -1)
    INTF_DEFAULT(S32,          MobileStreamSetParamAdapter,        INTF_ADAPTER_ARGS,                       -1)
    INTF_DEFAULT(S32,          KeyConfParamAdapter,                INTF_ADAPTER_ARGS,                       -1)
    INTF_DEFAULT(S32,          CheckIP,                            (const U8* /*pu8Ip*/),                   0)
    INTF_DEFAULT(S32,          IPFilterParamAdapter,               INTF_ADAPTER_ARGS,                       -1)
    INTF_DEFAULT(S32,          RtspParamAdapter,                   INTF_ADAPTER_ARGS,                       -1)
    INTF_DEFAULT(STREAMTYPE_E, GetMobileStreamType,                (S32 /*s32ChnNO*/),                      STREAM_TYPE_MAIN)
    INTF_DEFAULT(S32,          AddAllDeviceRun,                    (),                                      -1)
    INTF_SILENT(S32,           StartRemoteUpgrade,                 (const VOID* /*pUpgradeInfo*/),          0)

    /* cloud, P2P, upload */
    INTF_DEFAULT(S32, FtpParamAdapter,                     INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, ElecLockParamAdapter,                INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, CloudStorageParamAdapter,            INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, CloudEmailParamAdapter,              INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, P2pQrCodeIDParamAdapter,             INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT_VOID(EndRemoteUpgrade,                    (S32 /*s32Result*/))
    INTF_DEFAULT(S32, DevAllStatusParamAdapter,            INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, FtpAutoUpgradeParamAdapter,          INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, SaveP2pKeyFlash,                     (),                                         -1)
    INTF_DEFAULT(S32, ManualRecordParamAdapter,            INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, MobileMsgPushParaHandler,            (VOID* /*pPushPara*/, BOOL /*bDirection*/), -1)
    INTF_DEFAULT(S32, SystemIDCtrlParamAdapter,            INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, IPCFrameInfoParamAdapter,            INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, NewCloudStorageParamAdapter,         INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, UpLoadPhotoParamAdapter,             INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, UpLoadVideoParamAdapter,             INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, NormalCloudStorageInfoParamAdapter,  INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, NormalCloudStorageEmailParamAdapter, INTF_ADAPTER_ARGS,                          -1)
    INTF_DEFAULT(S32, NormalCloudStorageFTPParamAdapter,   INTF_ADAPTER_ARGS,                          -1)

    /* analysis and per-block modifications */
    INTF_DEFAULT(S32, PerimeterLineParamAdapter,      INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, VideoDiagnosticsParamAdapter,   INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, GoodsLostLegacyParamAdapter,    INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, ModifyMainStreamParamAdapter,   INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, ModifySubStreamParamAdapter,    INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, ModifyMobileStreamParamAdapter, INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, ModifyLivingParamAdapter,       INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, ModifyOutputParamAdapter,       INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, ModifyKBSetParamAdapter,        INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, ModifyFtpUpgradeParamAdapter,   INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, ModifyStateParamAdapter,        INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, ModifyEmailScParamAdapter,      INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, IDSetParamAdapter,              INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, StreamSetParamAdapter,          INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, SoleUploadVideoAdapter,         INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, IntelligentRecParamAdapter,     INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, IPCImageParamAdapter,           INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, GetDefaultParamAdapter,         INTF_DEFAULT_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, CustomProtocolParamAdapter,     INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, SGPlatformParamAdapter,         INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, SetIELanguage,                  (S32 /*s32Language*/),     0)
    INTF_THROWS(S32,  GetMobileStreamSwitch,          (S32 /*s32ChnNO*/))
    INTF_THROWS(S32,  GetVersionInfo,                 (S8* /*ps8Version*/, U32 /*u32Size*/))
    INTF_DEFAULT(S32, Gb28181ParamAdapter,            INTF_ADAPTER_ARGS,         0)
    INTF_THROWS(S32,  CameraSetNewParamAdapter,       INTF_ADAPTER_ARGS)
    INTF_THROWS(S32,  SnmpParamAdapter,               INTF_ADAPTER_ARGS)
    INTF_THROWS(S32,  IeeeParamAdapter,               INTF_ADAPTER_ARGS)
    INTF_THROWS(S32,  VoiceParamAdapter,              INTF_ADAPTER_ARGS)
    INTF_THROWS(S32,  OcclusionParamAdapter,          INTF_ADAPTER_ARGS)
    INTF_DEFAULT(S32, IpcRoiParamAdapter,             INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, ODParamAdapter,                 INTF_ADAPTER_ARGS,         -1)
    INTF_DEFAULT(S32, IpcWirelessParamAdapter,        INTF_ADAPTER_ARGS,         -1)

    /* sensors, attached cameras, intelligent functions */
    INTF_DEFAULT(S32, GetSensorNumber,               (),                  -1)
    INTF_DEFAULT(S32, SensorParamAdapter,            INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, IpcNetBreakParamAdapter,       INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, IEEE8021XParamAdapter,         INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, PushInfoParamAdapter,          INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, IPV6ParamAdapter,              INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, AnalogParamAdapter,            INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, CapSetParamAdapter,            INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, CapScheduleParamAdapter,       INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, GetDevLastStatus,              (VOID* /*pStatus*/), -1)
    INTF_DEFAULT(S32, ZeroChnParamAdapter,           INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, KeyParamSetAdapter,            INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, ChnInfoParamAdapter,           INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, RecInfoParamAdapter,           INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, PerimeterParamAdapter,         INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, SingleSensorAlarmParamAdapter, INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, ModifyAreaStreamParamAdapter,  INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, IntHdParamAdapter,             INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, IntFdParamAdapter,             INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, IntPccParamAdapter,            INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, IntManageParamAdapter,         INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, ElectricityGridParamAdapter,   INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, FishEyeParamAdapter,           INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, IPCCamerModeParamAdapter,      INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, SwitchParamAdapter,            INTF_ADAPTER_ARGS,   -1)
    INTF_DEFAULT(S32, AutoFocusParamAdapter,         INTF_ADAPTER_ARGS,   -1)

    /* settings blocks of particular customers' platforms */
    INTF_DEFAULT(S32, CustomerPlatformParamAdapter, INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, CustomerAlarmParamAdapter,    INTF_ADAPTER_ARGS, -1)
    INTF_DEFAULT(S32, CustomerStreamParamAdapter,   INTF_ADAPTER_ARGS, -1)
    // clang-format on
};

#endif /* INTERFACE_INTF_PARAMCONFIG_H */
