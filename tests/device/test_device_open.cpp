// Device object on a GoogleMock camera: every road of Open, Close, the parameter block, the
// compensation table, validity codes, references and the exports.
#include "device_test_support.h"

using namespace devtest;
using ::testing::_;
using ::testing::AnyNumber;
using ::testing::Invoke;
using ::testing::Return;
using ::testing::StrEq;

namespace {

using OpenTest = MockDeviceTest;

TEST_F(OpenTest, SuccessConnectsReadsAndRegisters) {
    EXPECT_CALL(*m_pCamera, SelectDevice(_)).Times(0);
    EXPECT_CALL(*m_pCamera, InitDevice(1536, 2048, 0, 3, StrEq("mock:0"))).WillOnce(Return(0));
    CKxLaserEyeDevice* pDev = Create(MakeInfo());
    EXPECT_CALL(*m_pCamera, SetFrameCallback(1, &CKxLaserEyeDevice::FrameEventThunk, pDev)).WillOnce(Return(0));
    EXPECT_CALL(*m_pCamera, SetOption(0, 5000)).WillOnce(Return(0));
    EXPECT_CALL(*m_pCamera, SetOptionEx(0, 5000, 2)).WillOnce(Return(0));
    EXPECT_CALL(*m_pCamera, SetROIMode(1)).WillOnce(Return(0));
    EXPECT_CALL(*m_pCamera, SetROI(_, _, _, _, _, _)).Times(0);  // the camera's ROIs fit

    ASSERT_EQ(0, pDev->Open(0));
    EXPECT_TRUE(pDev->IsOpen());
    EXPECT_EQ(OREYEAPI_TYPE_LOCAL, m_eType);
    const uint32_t nAll = c_nMaskROI | c_nMaskExpose | c_nMaskThres | c_nMaskDebug | c_nMaskTrigger | c_nMaskDynamicROI;
    EXPECT_EQ(nAll, pDev->m_nPropertyMask);
    EXPECT_TRUE(SameRoi(Roi(0, 1024, 100, 1100), pDev->m_sProperties.sLeftROI));
    EXPECT_TRUE(SameRoi(Roi(64, 1088, 100, 1100), pDev->m_sProperties.sRightROI));
    EXPECT_EQ(500, pDev->m_sProperties.nExposeValue);
    EXPECT_EQ(30, pDev->m_sProperties.nLaserThres);
    EXPECT_EQ(1, pDev->m_sProperties.nTriggerMode);
    EXPECT_EQ(2, pDev->m_sProperties.nDynamicROI);
    EXPECT_EQ(300u, pDev->m_sDevInfo.sVideoRes.nRightOffset);  // 0x01 * 256 + 0x2C
    EXPECT_STRNE("", pDev->m_sDevInfo.szHWVersion);
    EXPECT_EQ(0, pDev->m_nFrameRate);

    // A second Open contacts nothing.
    EXPECT_EQ(0, pDev->Open(0));
    EXPECT_EQ(1, m_nCreated);
}

TEST_F(OpenTest, VersionSevenCachesTriggerButNotDynamicRoi) {
    CKxLaserEyeDevice* pDev = CreateOpen(7);
    EXPECT_TRUE(pDev->m_nPropertyMask & c_nMaskTrigger);
    EXPECT_FALSE(pDev->m_nPropertyMask & c_nMaskDynamicROI);
    EXPECT_EQ(0, pDev->m_sProperties.nDynamicROI);
}

struct LibraryCase {
    uint32_t nFlags;
    OREYEAPI_TYPE eType;
    int nMode;
    bool bNullText;  // an empty connect text
};

class OpenLibraryTest : public MockDeviceTest, public ::testing::WithParamInterface<LibraryCase> {};

TEST_P(OpenLibraryTest, TypeAndModeFollowTheFlags) {
    const LibraryCase& c = GetParam();
    SKxNLEyeDeviceInfoEx info = MakeInfo(5, c.nFlags);
    if (c.bNullText) info.szConnectText[0] = '\0';
    m_pCamera->block.Set(KxLaserInfo::c_nWordVersion, 5);
    EXPECT_CALL(*m_pCamera, InitDevice(1536, 2048, 0, c.nMode, _))
        .WillOnce(Invoke([&](int, int, int, int, const char* psz) {
            if (c.bNullText && c.nMode == 5)
                EXPECT_EQ(nullptr, psz);
            else
                EXPECT_NE(nullptr, psz);
            return 0;
        }));
    Create(info);
    EXPECT_EQ(0, m_pDevice->Open(0));
    EXPECT_EQ(c.eType, m_eType);
}

INSTANTIATE_TEST_SUITE_P(Flags, OpenLibraryTest,
                         ::testing::Values(LibraryCase{0, OREYEAPI_TYPE_SMALL_SMART_EYE, 3, false},
                                           LibraryCase{0x1, OREYEAPI_TYPE_LOCAL, 3, false},
                                           LibraryCase{0x1 | 0x2000, OREYEAPI_TYPE_LOCAL, 3, false},
                                           LibraryCase{0x2, OREYEAPI_TYPE_ETHERNET, 3, false},
                                           LibraryCase{0x2 | 0x1000, OREYEAPI_TYPE_ETHERNET, 7, false},
                                           LibraryCase{0x2 | 0x2000, OREYEAPI_TYPE_ETHERNET, 5, false},
                                           LibraryCase{0x2 | 0x2000, OREYEAPI_TYPE_ETHERNET, 5, true},
                                           LibraryCase{0x2, OREYEAPI_TYPE_ETHERNET, 3, true}));

TEST_F(OpenTest, SetIdentifierSelectsTheDevice) {
    SKxNLEyeDeviceInfoEx info = MakeInfo();
    for (int i = 0; i < 8; ++i) info.byDeviceID[i] = static_cast<uint8_t>(i + 1);
    EXPECT_CALL(*m_pCamera, SelectDevice(_)).WillOnce(Invoke([](const unsigned char* p) {
        for (int i = 0; i < 8; ++i) EXPECT_EQ(i + 1, p[i]);
        return -1;  // ignored
    }));
    Create(info);
    EXPECT_EQ(0, m_pDevice->Open(0));
}

TEST_F(OpenTest, NoCameraObjectIsRefused) {
    delete m_pPending;
    m_pPending = nullptr;
    m_pCamera = nullptr;
    Create(MakeInfo());
    EXPECT_EQ(KX_E_NO_CAMERA, m_pDevice->Open(0));
    EXPECT_FALSE(m_pDevice->IsOpen());
    EXPECT_EQ(KX_E_NOT_OPEN, m_pDevice->SetGap(1));
}

// One failing step of Open: its code, its log line, and the camera kept.
struct FailCase {
    const char* pszName;
    std::function<void(NiceMock<MockCamera>&)> arrange;
    uint32_t nFlags;
    int32_t nCode;
    const char* pszLine;  // level-1 line, or null
};

class OpenFailTest : public MockDeviceTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(OpenFailTest, StepFailureIsReturnedAndTheCameraKept) {
    const FailCase& c = GetParam();
    c.arrange(*m_pCamera);
    KxLogCapture log;
    Create(MakeInfo(8, c.nFlags));
    EXPECT_EQ(c.nCode, m_pDevice->Open(0));
    EXPECT_TRUE(m_pDevice->IsOpen());
    if (c.pszLine) {
        EXPECT_TRUE(log.HasLine(c_nKxLogError, c.pszLine)) << c.pszName;
    }
    // Open on a device that counts as open does nothing more.
    EXPECT_EQ(0, m_pDevice->Open(0));
    EXPECT_EQ(1, m_nCreated);
}

const FailCase c_aFailCases[] = {
    {"init", [](NiceMock<MockCamera>& cam) { ON_CALL(cam, InitDevice(_, _, _, _, _)).WillByDefault(Return(c_nOrEyeNoDevice)); },
     c_nKxFlagLocal, c_nOrEyeNoDevice, nullptr},
    {"enable", [](NiceMock<MockCamera>& cam) { EXPECT_CALL(cam, EnableDevice(1)).Times(3).WillRepeatedly(Return(KX_E_CAMERA_RETRY)); },
     c_nKxFlagLocal, KX_E_CAMERA_RETRY, nullptr},
    {"laserinfo", [](NiceMock<MockCamera>& cam) { ON_CALL(cam, GetParam(54, _, 52)).WillByDefault(Return(c_nOrEyeIoError)); },
     c_nKxFlagLocal, c_nOrEyeIoError, "Get Laser Info Failed"},
    {"disparity-local", [](NiceMock<MockCamera>& cam) { ON_CALL(cam, GetParam(50, _, 8)).WillByDefault(Return(c_nOrEyeIoError)); },
     c_nKxFlagLocal, c_nOrEyeIoError, nullptr},
    {"roimode", [](NiceMock<MockCamera>& cam) { ON_CALL(cam, SetROIMode(1)).WillByDefault(Return(c_nOrEyeIoError)); },
     c_nKxFlagLocal, c_nOrEyeIoError, "Set ROI Mode Failed"},
    {"default-roi", [](NiceMock<MockCamera>& cam) {
         cam.block.SetRoi(KxLaserInfo::c_nWordLeftRoi, Roi(5, 10, 0, 4));
         ON_CALL(cam, SetROI(_, _, _, _, _, _)).WillByDefault(Return(c_nOrEyeOutOfRange));
     },
     c_nKxFlagLocal, c_nOrEyeOutOfRange, "Set Detect ROI Failed"},
};

INSTANTIATE_TEST_SUITE_P(Steps, OpenFailTest, ::testing::ValuesIn(c_aFailCases),
                         [](const ::testing::TestParamInfo<FailCase>& info) {
                             std::string s = info.param.pszName;
                             for (char& ch : s)
                                 if (ch == '-') ch = '_';
                             return s;
                         });

TEST_F(OpenTest, VersionNineIsRefusedWithTheCameraKept) {
    m_pCamera->block.Set(KxLaserInfo::c_nWordVersion, 9);
    Create(MakeInfo(9));
    EXPECT_CALL(*m_pCamera, SetROIMode(_)).Times(0);
    EXPECT_CALL(*m_pCamera, ReadStorage(_, _, _)).Times(0);
    KxLogCapture log;
    EXPECT_EQ(KX_E_NOT_SUPPORTED, m_pDevice->Open(0));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Device Hardware Version Not Enough"));
    EXPECT_EQ(0, m_pDevice->Open(0));
    EXPECT_TRUE(m_pDevice->IsOpen());
    EXPECT_NE(nullptr, m_pDevice->GetCoreEye());
}

TEST_F(OpenTest, EthernetDisparityFailureLeavesZeroAndOpenGoesOn) {
    ON_CALL(*m_pCamera, GetParam(50, _, 2)).WillByDefault(Return(c_nOrEyeIoError));
    Create(MakeInfo(8, c_nKxFlagEthernet));
    m_pDevice->m_sDevInfo.sVideoRes.nRightOffset = 77;
    EXPECT_EQ(0, m_pDevice->Open(0));
    EXPECT_EQ(0u, m_pDevice->m_sDevInfo.sVideoRes.nRightOffset);
}

TEST_F(OpenTest, NoDisparityReadBelowVersionSix) {
    m_pCamera->block.Set(KxLaserInfo::c_nWordVersion, 5);
    EXPECT_CALL(*m_pCamera, GetParam(50, _, _)).Times(0);
    EXPECT_CALL(*m_pCamera, GetParam(54, _, 52)).Times(AnyNumber());
    Create(MakeInfo(5));
    EXPECT_EQ(0, m_pDevice->Open(0));
}

TEST_F(OpenTest, InvalidCameraRoisAreReplacedWithRateTwenty) {
    m_pCamera->block.SetRoi(KxLaserInfo::c_nWordLeftRoi, Roi(5, 10, 0, 4));
    {
        ::testing::InSequence seq;
        EXPECT_CALL(*m_pCamera, SetParam(34, _, 2)).WillOnce(Invoke([](int, const void* p, int) {
            EXPECT_EQ(20, *static_cast<const uint16_t*>(p));
            return 0;
        }));
        EXPECT_CALL(*m_pCamera, SetROI(0, 0, 0, 0, 1536, 1920));
        EXPECT_CALL(*m_pCamera, SetROIMode(1));
    }
    Create(MakeInfo());
    EXPECT_EQ(0, m_pDevice->Open(0));
    EXPECT_TRUE(SameRoi(Roi(0, 1536, 0, 1920), m_pDevice->m_sProperties.sLeftROI));
    EXPECT_TRUE(SameRoi(Roi(0, 1536, 0, 1920), m_pDevice->m_sProperties.sRightROI));
    EXPECT_EQ(0, m_pDevice->m_nFrameRate);  // the user's rate stays unset
}

TEST_F(OpenTest, StorageFailureIsReturnedWithAFullyWorkingDevice) {
    EXPECT_CALL(*m_pCamera, ReadStorage(KxParamPage::c_nAddress, _, 4096)).WillOnce(Return(c_nOrEyeIoError));
    CKxLaserEyeDevice* pDev = Create(MakeInfo());
    EXPECT_CALL(*m_pCamera, SetFrameCallback(1, _, pDev));
    EXPECT_EQ(c_nOrEyeIoError, pDev->Open(0));
    EXPECT_EQ(nullptr, pDev->m_pCompensate);
    EXPECT_EQ(0, pDev->SetFrameRate(100));
    EXPECT_EQ(0, pDev->SetLaserThres(44));
    int32_t nThres = 0;
    EXPECT_EQ(0, pDev->GetLaserThres(&nThres));
    EXPECT_EQ(44, nThres);
}

struct BlockCase {
    const char* pszName;
    uint8_t nVersion;
    int32_t nKind;
    bool bGoodTag;
    int32_t nExpectKind;
    bool bSection96;
    bool bOffset;
    bool bSection16;
};

class ParamBlockTest : public MockDeviceTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(ParamBlockTest, ParsesWhatTheVersionAndKindCallFor) {
    const BlockCase& c = GetParam();
    const double adOffset[3] = {1.5, -2.25, 3.0};
    m_pCamera->page.WriteBlock(c.nVersion, c.nKind, adOffset, c.bGoodTag);
    CreateOpen();
    const SKxDeviceParam& p = m_pDevice->m_sDeviceParam;
    EXPECT_EQ(c.nExpectKind, p.nKind);
    EXPECT_EQ(c.bSection96 ? 1 : 0, p.bySection96[0]);
    EXPECT_EQ(c.bSection96 ? 96 : 0, p.bySection96[95]);
    EXPECT_EQ(c.bOffset ? 1.5 : 0.0, p.adCoordOffset[0]);
    EXPECT_EQ(c.bOffset ? -2.25 : 0.0, p.adCoordOffset[1]);
    EXPECT_EQ(c.bOffset ? 3.0 : 0.0, p.adCoordOffset[2]);
    EXPECT_EQ(c.bSection16 ? 0xA0 : 0, p.bySection16[0]);
}

INSTANTIATE_TEST_SUITE_P(Versions, ParamBlockTest,
                         ::testing::Values(BlockCase{"badtag", 3, 5, false, 0, false, false, false},
                                           BlockCase{"v1", 1, 5, true, 5, true, false, false},
                                           BlockCase{"v2", 2, 5, true, 5, true, true, false},
                                           BlockCase{"v3", 3, 5, true, 5, true, true, true},
                                           BlockCase{"v3nokind", 3, -1, true, -1, false, true, true},
                                           BlockCase{"v4", 4, 5, true, 0, false, false, false},
                                           BlockCase{"v0", 0, 5, true, 0, false, false, false}),
                         [](const ::testing::TestParamInfo<BlockCase>& info) { return std::string(info.param.pszName); });

TEST_F(OpenTest, NewDeviceHoldsAnAbsentParameterKind) {
    Create(MakeInfo());
    EXPECT_EQ(-1, m_pDevice->m_sDeviceParam.nKind);
}

TEST_F(OpenTest, CompensationTableOfTwoEntries) {
    m_pCamera->page.WriteCompensation({10.0f, 20.0f}, {1.0f, 3.0f});
    CreateOpen();
    ASSERT_NE(nullptr, m_pDevice->m_pCompensate);
    const std::vector<SKxCompensateEntry>& t = m_pDevice->m_pCompensate->Entries();
    ASSERT_EQ(3u, t.size());
    const float af[3][3] = {{0, 10, 1}, {10, 20, 2}, {20, 100000000.0f, 3}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(af[i][0], t[i].fFrom) << i;
        EXPECT_EQ(af[i][1], t[i].fTo) << i;
        EXPECT_EQ(af[i][2], t[i].fAdd) << i;
    }
}

TEST_F(OpenTest, ReopeningNeverMovesOrGrowsTheCompensationTable) {
    m_pCamera->page.WriteCompensation({10.0f, 20.0f}, {1.0f, 3.0f});
    CreateOpen();
    ASSERT_NE(nullptr, m_pDevice->m_pCompensate);
    const SKxCompensateEntry* pTable = m_pDevice->m_pCompensate->Data();
    m_pDevice->Close();
    auto* pSecond = new NiceMock<MockCamera>();
    pSecond->block = DefaultBlock();
    pSecond->BehaveLikeCamera();
    pSecond->page.WriteCompensation({5.0f, 6.0f, 7.0f}, {1.0f, 1.0f, 1.0f});
    m_pPending = pSecond;
    EXPECT_EQ(0, m_pDevice->Open(0));
    EXPECT_EQ(2, m_nCreated);
    EXPECT_EQ(3u, m_pDevice->m_pCompensate->Count());
    EXPECT_EQ(pTable, m_pDevice->m_pCompensate->Data());
    EXPECT_EQ(10.0f, m_pDevice->m_pCompensate->Entries()[0].fTo);
}

// Close ends the capture whatever the camera answers to the stream-off: IsCapturing is false.
TEST_F(OpenTest, CloseWhileCapturingStopsTheStreamAndEndsTheCapture) {
    CreateOpen();
    m_pDevice->m_bCapturing = true;
    EXPECT_CALL(*m_pCamera, EnableStream(0)).WillOnce(Return(c_nOrEyeIoError));
    EXPECT_CALL(*m_pCamera, Destroyed());
    KxLogCapture log;
    m_pDevice->Close();
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "Close Device"));
    EXPECT_FALSE(m_pDevice->IsOpen());
    EXPECT_EQ(nullptr, m_pDevice->GetCoreEye());
    EXPECT_FALSE(m_pDevice->IsCapturing());
    m_pDevice->Close();  // closing twice is harmless
}

TEST_F(OpenTest, CloseWhenIdleTouchesNoStream) {
    CreateOpen();
    EXPECT_CALL(*m_pCamera, EnableStream(_)).Times(0);
    EXPECT_CALL(*m_pCamera, Destroyed());
    m_pDevice->Close();
}

// Guarded operations answer the validity code, before open and after close, and once offline.
using GuardedOp = std::function<int32_t(CKxLaserEyeDevice&)>;
std::vector<std::pair<const char*, GuardedOp>> GuardedOps() {
    static SKxNLROIRect roi = Roi(0, 1024, 0, 1000);
    return {
        {"SetGap", [](CKxLaserEyeDevice& d) { return d.SetGap(1); }},
        {"SetTriggerN", [](CKxLaserEyeDevice& d) { return d.SetTriggerN(1, 2); }},
        {"SetFrameRate", [](CKxLaserEyeDevice& d) { return d.SetFrameRate(100); }},
        {"SetCameraGain", [](CKxLaserEyeDevice& d) { return d.SetCameraGain(0, 100); }},
        {"SetExpose", [](CKxLaserEyeDevice& d) { return d.SetExpose(0, 100); }},
        {"SetLaserThres", [](CKxLaserEyeDevice& d) { return d.SetLaserThres(10); }},
        {"SetDetectROI", [](CKxLaserEyeDevice& d) { return d.SetDetectROI(&roi, &roi); }},
        {"SetTriggerMode", [](CKxLaserEyeDevice& d) { return d.SetTriggerMode(0); }},
        {"EnableDenoise", [](CKxLaserEyeDevice& d) { return d.EnableDenoise(true); }},
        {"EnableAccelerator", [](CKxLaserEyeDevice& d) { return d.EnableAccelerator(true); }},
        {"EnableDynamicROI", [](CKxLaserEyeDevice& d) { return d.EnableDynamicROI(true); }},
        {"ConfigImgBitMode", [](CKxLaserEyeDevice& d) { return d.ConfigImgBitMode(1); }},
        {"GetQMatrix", [](CKxLaserEyeDevice& d) { double q[16]; return d.GetQMatrix(q); }},
        {"GetVersion", [](CKxLaserEyeDevice& d) { SKxEyeVersionInfo v{}; return d.GetVersion(&v); }},
        {"SyncDetectROI", [](CKxLaserEyeDevice& d) { return d.SyncDetectROI(); }},
        {"SwitchDebug", [](CKxLaserEyeDevice& d) { return d.SwitchDebug(1); }},
        {"GetVideoResolution", [](CKxLaserEyeDevice& d) { uint32_t w = 7, h = 7; return d.GetVideoResolution(&w, &h); }},
        {"Reserved52", [](CKxLaserEyeDevice& d) { return d.Reserved52(); }},
    };
}

TEST_F(OpenTest, ValidityCodesBeforeOpenAfterCloseAndOffline) {
    Create(MakeInfo());
    KxLogCapture log;
    for (auto& op : GuardedOps()) EXPECT_EQ(KX_E_NOT_OPEN, op.second(*m_pDevice)) << op.first << " before open";
    ASSERT_EQ(0, m_pDevice->Open(0));
    m_pDevice->m_bOffline = true;
    EXPECT_CALL(*m_pCamera, SetParam(_, _, _)).Times(0);
    EXPECT_CALL(*m_pCamera, WriteRegister(_, _, _, _)).Times(0);
    EXPECT_CALL(*m_pCamera, SetROI(_, _, _, _, _, _)).Times(0);
    for (auto& op : GuardedOps()) EXPECT_EQ(KX_E_OFFLINE, op.second(*m_pDevice)) << op.first << " offline";
    m_pDevice->Close();
    // The offline flag outlives Close, but without a camera the device is simply not open.
    for (auto& op : GuardedOps()) EXPECT_EQ(KX_E_NOT_OPEN, op.second(*m_pDevice)) << op.first << " after close";
    uint32_t w = 7;
    m_pDevice->GetVideoResolution(&w, nullptr);
    EXPECT_EQ(7u, w);
    EXPECT_FALSE(log.Contains(c_nKxLogError, "Capturing"));
}

TEST_F(OpenTest, SimpleGettersAndReservedSlots) {
    CreateOpen();
    CKxLaserEyeDevice& d = *m_pDevice;
    IKxLaserEyeDevice& i = d;
    EXPECT_EQ(2, i.GetDeviceKind());
    EXPECT_EQ(&d.m_sDevInfo, d.GetDeviceInfo());
    uint32_t w = 0, h = 0;
    EXPECT_EQ(0, d.GetVideoResolution(&w, &h));
    EXPECT_EQ(1536u, w);
    EXPECT_EQ(2048u, h);
    EXPECT_EQ(8u, d.GetHWVersion());
    EXPECT_EQ(m_pCamera, d.GetCoreEye());
    EXPECT_FALSE(d.IsCapturing());
    EXPECT_EQ(1, d.Reserved11());
    EXPECT_EQ(KX_E_NOT_SUPPORTED, d.Reserved28());
    EXPECT_EQ(KX_E_NOT_SUPPORTED, d.Reserved32());
    EXPECT_EQ(KX_E_NOT_SUPPORTED, d.Reserved34());
    EXPECT_EQ(KX_E_NOT_SUPPORTED, d.Reserved40());
    EXPECT_EQ(KX_E_NOT_SUPPORTED, d.Reserved52());
    EXPECT_EQ(KX_E_NOT_SUPPORTED, d.Reserved53());
    EXPECT_FALSE(d.Reserved67());
    EXPECT_FALSE(d.Reserved68());
    EXPECT_TRUE(d.GetReservedFlag());
    d.SetReservedFlag(false);
    EXPECT_FALSE(d.GetReservedFlag());
    EXPECT_FALSE(d.GetReservedState());
    IKxSwingMotorDevice* pMotor = reinterpret_cast<IKxSwingMotorDevice*>(&d);
    EXPECT_FALSE(d.GetSwingMotorDevice(&pMotor));
    EXPECT_EQ(nullptr, pMotor);
    // The mutex is recursive: an application may hold it around operations.
    d.Lock();
    d.Lock();
    EXPECT_EQ(0, d.SetGap(3));
    d.Unlock();
    d.Unlock();
}

TEST_F(OpenTest, WheelAndPulseForwardingUsesTheDeviceErrorBase) {
    Create(MakeInfo());
    EXPECT_EQ(0.0, m_pDevice->GetWheelRadius());
    EXPECT_EQ(0, m_pDevice->SetWheelRadius(12.5));
    EXPECT_EQ(12.5, m_pDevice->GetWheelRadius());
    EXPECT_EQ(0, m_pDevice->SetPulsePerRound(0));
    SKxEncoderSample s{1, 2, 0, 1, 0, nullptr};
    EXPECT_EQ(KX_E_ENCODER_NO_PULSES, m_pDevice->m_encoder.ProcessSamplePair(&s));
    EXPECT_EQ(KX_E_ENCODER_BAD_ARG, m_pDevice->m_encoder.SetCounterBits(0));
}

// ---- references ----

class CountedHandler : public IKxDeviceEventHandler {
public:
    void OnDeviceEvent(IKxDevice* pDevice, int32_t nEvent) override {
        m_pLast = pDevice;
        m_vecEvents.push_back(nEvent);
    }
    IKxDevice* m_pLast = nullptr;
    std::vector<int32_t> m_vecEvents;
};

class CountedSurfacePool : public IKxSurfacePool {
public:
    int32_t AllocSurface(int32_t, int32_t, int32_t, int32_t, int32_t, IKxSurface**) override { return -1; }
    int32_t Recycle(IKxSurface*) override { return 0; }
};

class CountedMemPool : public IKxMemPool {
public:
    int32_t Recycle(IKxMemBlock*) override { return 0; }
    int32_t Allocate(unsigned int, IKxMemBlock**) override { return -1; }
};

TEST(DeviceReferences, PoolsAndHandlerAreHeldAndReleased) {
    CountedSurfacePool surfaces;
    CountedMemPool memory;
    CountedHandler first, second;
    const SKxNLEyeDeviceInfoEx info = MakeInfo();
    IKxLaserEyeDevice* pDevice = nullptr;
    ASSERT_TRUE(KxCreateLaserEyeDevice(&info, &surfaces, &memory, &pDevice));
    ASSERT_NE(nullptr, pDevice);
    EXPECT_EQ(2, surfaces.GetRefCount());
    EXPECT_EQ(2, memory.GetRefCount());
    EXPECT_EQ(0, std::memcmp(&info, pDevice->GetDeviceInfo(), sizeof(info)));
    EXPECT_NE(&info, pDevice->GetDeviceInfo());
    EXPECT_FALSE(pDevice->IsOpen());

    EXPECT_EQ(0, pDevice->SetEventHandler(&first));
    EXPECT_EQ(2, first.GetRefCount());
    EXPECT_EQ(0, pDevice->SetEventHandler(&first));  // the same handler again keeps one reference
    EXPECT_EQ(2, first.GetRefCount());
    pDevice->SetEventHandler(&second);
    EXPECT_EQ(1, first.GetRefCount());
    EXPECT_EQ(2, second.GetRefCount());
    pDevice->NotifyEvent();
    ASSERT_EQ(1u, second.m_vecEvents.size());
    EXPECT_EQ(10, second.m_vecEvents[0]);
    EXPECT_EQ(static_cast<IKxDevice*>(pDevice), second.m_pLast);

    EXPECT_EQ(0, pDevice->Release());
    EXPECT_EQ(1, surfaces.GetRefCount());
    EXPECT_EQ(1, memory.GetRefCount());
    EXPECT_EQ(1, second.GetRefCount());
}

TEST(DeviceReferences, NullPoolsAndNullOutputs) {
    const SKxNLEyeDeviceInfoEx info = MakeInfo();
    EXPECT_FALSE(KxCreateLaserEyeDevice(&info, nullptr, nullptr, nullptr));
    IKxLaserEyeDevice* pDevice = reinterpret_cast<IKxLaserEyeDevice*>(0x1);
    EXPECT_FALSE(KxCreateLaserEyeDevice(nullptr, nullptr, nullptr, &pDevice));
    EXPECT_EQ(nullptr, pDevice);
    ASSERT_TRUE(KxCreateLaserEyeDevice(&info, nullptr, nullptr, &pDevice));
    CKxLaserEyeDevice* pImpl = static_cast<CKxLaserEyeDevice*>(pDevice);
    EXPECT_EQ(nullptr, pImpl->m_pISurfacePool);
    EXPECT_EQ(nullptr, pImpl->m_pIMemPool);
    pDevice->NotifyEvent();  // no handler: nothing happens
    EXPECT_EQ(1, pDevice->AddRef());
    EXPECT_EQ(1, pDevice->Release());
    EXPECT_EQ(0, pDevice->Release());
}

struct LogLevelCase {
    int nIn;
    Orvik::utilSystem::LogLevel eOut;
};

class LogLevelTest : public ::testing::TestWithParam<LogLevelCase> {};

TEST_P(LogLevelTest, CrossedMappingIntoTheCameraLibrary) {
    const Orvik::utilSystem::LogLevel eBefore = Orvik::utilSystem::Logger::getLogLevel();
    KxConfigLaserEyeLogLevel(GetParam().nIn);
    EXPECT_EQ(GetParam().eOut, Orvik::utilSystem::Logger::getLogLevel());
    Orvik::utilSystem::Logger::setLogLevel(eBefore);
}

INSTANTIATE_TEST_SUITE_P(Levels, LogLevelTest,
                         ::testing::Values(LogLevelCase{0, Orvik::utilSystem::LogLevel(0)},
                                           LogLevelCase{1, Orvik::utilSystem::LogLevel(2)},
                                           LogLevelCase{2, Orvik::utilSystem::LogLevel(3)},
                                           LogLevelCase{3, Orvik::utilSystem::LogLevel(5)},
                                           LogLevelCase{4, Orvik::utilSystem::LogLevel(4)},
                                           LogLevelCase{5, Orvik::utilSystem::LogLevel(6)},
                                           LogLevelCase{-1, Orvik::utilSystem::LogLevel(6)}));

}  // namespace
