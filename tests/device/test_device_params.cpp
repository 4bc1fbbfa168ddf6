// The guarded-command rule and the detection and imaging parameters on a GoogleMock camera:
// exact call sequences, retries, busy refusals, read-back mismatches, ranges and caches.
#include <atomic>
#include <chrono>
#include <thread>

#include "device_test_support.h"

using namespace devtest;
using ::testing::_;
using ::testing::Invoke;
using ::testing::Return;

namespace {

using GuardedTest = MockDeviceTest;

TEST_F(GuardedTest, TwoTransientAnswersThenSuccessLogsTheExtraCalls) {
    CreateOpen();
    EXPECT_CALL(*m_pCamera, SetParam(10, _, 2))
        .WillOnce(Return(KX_E_CAMERA_RETRY))
        .WillOnce(Return(KX_E_CAMERA_RETRY))
        .WillOnce(Return(0));
    KxLogCapture log;
    EXPECT_EQ(0, m_pDevice->SetGap(7));
    EXPECT_EQ(std::vector<std::string>{DeviceLine("Device %p: Failed Times %d", 2)}, log.Lines(c_nKxLogWarning));
    EXPECT_TRUE(log.Lines(c_nKxLogError).empty());
}

TEST_F(GuardedTest, ThreeTransientAnswersGiveUp) {
    CreateOpen();
    EXPECT_CALL(*m_pCamera, SetTriggerN(3, 4)).Times(3).WillRepeatedly(Return(KX_E_CAMERA_RETRY));
    KxLogCapture log;
    EXPECT_EQ(KX_E_CAMERA_RETRY, m_pDevice->SetTriggerN(3, 4));
    EXPECT_EQ(std::vector<std::string>{DeviceLine("Device %p: Execute Failed: %d", KX_E_CAMERA_RETRY)},
              log.Lines(c_nKxLogError));
    EXPECT_TRUE(log.Lines(c_nKxLogWarning).empty());
}

TEST_F(GuardedTest, OtherCodesPassThroughAfterOneCall) {
    CreateOpen();
    EXPECT_CALL(*m_pCamera, SetParam(47, _, 4)).WillOnce(Return(c_nOrEyeOffline));
    EXPECT_EQ(c_nOrEyeOffline, m_pDevice->ConfigImgBitMode(2));
}

// While capturing, each guarded operation answers busy with its full name and sends nothing.
struct BusyCase {
    const char* pszName;
    std::function<int32_t(CKxLaserEyeDevice&)> call;
};

class BusyTest : public MockDeviceTest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(BusyTest, RefusedWithTheOperationName) {
    CreateOpen();
    m_pDevice->m_bCapturing = true;
    EXPECT_CALL(*m_pCamera, SetParam(_, _, _)).Times(0);
    EXPECT_CALL(*m_pCamera, WriteRegister(_, _, _, _)).Times(0);
    EXPECT_CALL(*m_pCamera, SetROI(_, _, _, _, _, _)).Times(0);
    EXPECT_CALL(*m_pCamera, SetTriggerN(_, _)).Times(0);
    EXPECT_CALL(*m_pCamera, GetQMatrix(_)).Times(0);
    EXPECT_CALL(*m_pCamera, GetVersionText(_, _)).Times(0);
    KxLogCapture log;
    EXPECT_EQ(KX_E_BUSY, GetParam().call(*m_pDevice));
    const std::string line = std::string("CKxLaserEyeDevice::") + GetParam().pszName + " Capturing";
    EXPECT_EQ(std::vector<std::string>{line}, log.Lines(c_nKxLogError));
}

const SKxNLROIRect c_sRoi = Roi(32, 1056, 0, 1000);

INSTANTIATE_TEST_SUITE_P(
    Operations, BusyTest,
    ::testing::Values(BusyCase{"SetGap", [](CKxLaserEyeDevice& d) { return d.SetGap(1); }},
                      BusyCase{"SetTriggerN", [](CKxLaserEyeDevice& d) { return d.SetTriggerN(1, 1); }},
                      BusyCase{"SetCameraGain", [](CKxLaserEyeDevice& d) { return d.SetCameraGain(0, 100); }},
                      BusyCase{"SetFrameRate", [](CKxLaserEyeDevice& d) { return d.SetFrameRate(100); }},
                      BusyCase{"SetDetectROI", [](CKxLaserEyeDevice& d) { return d.SetDetectROI(&c_sRoi, &c_sRoi); }},
                      BusyCase{"SetTriggerMode", [](CKxLaserEyeDevice& d) { return d.SetTriggerMode(3); }},
                      BusyCase{"EnableDenoise", [](CKxLaserEyeDevice& d) { return d.EnableDenoise(true); }},
                      BusyCase{"EnableAccelerator", [](CKxLaserEyeDevice& d) { return d.EnableAccelerator(true); }},
                      // unchanged value: still busy
                      BusyCase{"EnableDynamicROI", [](CKxLaserEyeDevice& d) { return d.EnableDynamicROI(true); }},
                      BusyCase{"SwitchDebug", [](CKxLaserEyeDevice& d) { return d.SwitchDebug(1); }},
                      BusyCase{"ConfigImgBitMode", [](CKxLaserEyeDevice& d) { return d.ConfigImgBitMode(1); }},
                      BusyCase{"GetQMatrix", [](CKxLaserEyeDevice& d) { double q[16]; return d.GetQMatrix(q); }},
                      BusyCase{"GetVersion", [](CKxLaserEyeDevice& d) { SKxEyeVersionInfo v{}; return d.GetVersion(&v); }}),
    [](const ::testing::TestParamInfo<BusyCase>& info) { return std::string(info.param.pszName); });

TEST_F(GuardedTest, ConfirmingSettersAnswerBusyWithTheirPlainText) {
    CreateOpen();
    m_pDevice->m_bCapturing = true;
    KxLogCapture log;
    EXPECT_EQ(KX_E_BUSY, m_pDevice->SetExpose(0, 100));
    EXPECT_EQ(KX_E_BUSY, m_pDevice->SetLaserThres(10));
    EXPECT_EQ((std::vector<std::string>{"Device Capturing", "Device Capturing"}), log.Lines(c_nKxLogError));
}

TEST_F(GuardedTest, CachedAnswersNeedNoCameraEvenWhileCapturing) {
    CreateOpen();
    double q[16] = {};
    m_pCamera->adQ[5] = 2.5;
    ASSERT_EQ(0, m_pDevice->GetQMatrix(q));
    m_pDevice->m_bCapturing = true;
    EXPECT_CALL(*m_pCamera, GetQMatrix(_)).Times(0);
    EXPECT_CALL(*m_pCamera, WriteRegister(_, _, _, _)).Times(0);
    double q2[16] = {};
    EXPECT_EQ(0, m_pDevice->GetQMatrix(q2));
    EXPECT_EQ(2.5, q2[5]);
    EXPECT_EQ(0, m_pDevice->SetTriggerMode(1));  // the mode the camera reported at open
}

TEST_F(GuardedTest, LockHoldsOtherThreadsOut) {
    CreateOpen();
    m_pDevice->Lock();
    std::atomic<bool> bDone{false};
    std::thread other([&] {
        m_pDevice->SetGap(5);
        bDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(bDone.load());
    m_pDevice->Unlock();
    other.join();
    EXPECT_TRUE(bDone.load());
}

// ---- ranges ----

struct RangeCase {
    uint16_t nValue;
    int32_t nCode;
};

class FrameRateRangeTest : public MockDeviceTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(FrameRateRangeTest, Bounds) {
    CreateOpen();
    const RangeCase& c = GetParam();
    EXPECT_CALL(*m_pCamera, SetParam(34, _, 2)).Times(c.nCode == 0 ? 1 : 0);
    KxLogCapture log;
    EXPECT_EQ(c.nCode, m_pDevice->SetFrameRate(c.nValue));
    if (c.nCode == 0) {
        EXPECT_EQ(c.nValue, m_pDevice->m_nFrameRate);
        char sz[64];
        std::snprintf(sz, sizeof(sz), "ROI 1024 1000 Set FrameRate %d", c.nValue);
        EXPECT_TRUE(log.HasLine(c_nKxLogDetail, sz));
    } else {
        EXPECT_EQ(0, m_pDevice->m_nFrameRate);
        EXPECT_TRUE(log.HasLine(c_nKxLogError, "CKxLaserEyeDevice::SetFrameRate Frame Rate Out Of Range"));
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, FrameRateRangeTest,
                         ::testing::Values(RangeCase{0, KX_E_NOT_SUPPORTED}, RangeCase{1, 0}, RangeCase{2000, 0},
                                           RangeCase{2001, KX_E_NOT_SUPPORTED}));

class GainRangeTest : public MockDeviceTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(GainRangeTest, Bounds) {
    CreateOpen();
    const RangeCase& c = GetParam();
    if (c.nCode == 0) {
        EXPECT_CALL(*m_pCamera, WriteRegister(14, 0x3204u, _, 2)).WillOnce(Invoke([&](int, unsigned int, const void* p, int) {
            EXPECT_EQ(c.nValue, *static_cast<const uint16_t*>(p));
            return 0;
        }));
    } else {
        EXPECT_CALL(*m_pCamera, WriteRegister(_, _, _, _)).Times(0);
    }
    KxLogCapture log;
    EXPECT_EQ(c.nCode, m_pDevice->SetCameraGain(0, c.nValue));
    EXPECT_EQ(c.nCode != 0, log.HasLine(c_nKxLogError, "Error Gain Range: 44 ~ 480"));
}

INSTANTIATE_TEST_SUITE_P(Gains, GainRangeTest,
                         ::testing::Values(RangeCase{43, KX_E_OUT_OF_RANGE}, RangeCase{44, 0}, RangeCase{480, 0},
                                           RangeCase{481, KX_E_OUT_OF_RANGE}));

TEST_F(GuardedTest, GainRangeIsCheckedBeforeValidity) {
    Create(MakeInfo());
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pDevice->SetCameraGain(0, 10));
    EXPECT_EQ(KX_E_NOT_OPEN, m_pDevice->SetCameraGain(0, 100));
}

// ---- confirming setters ----

using ParamsTest = MockDeviceTest;

TEST_F(ParamsTest, ExposureWriteConfirmAndRefusals) {
    CreateOpen();
    KxLogCapture log;
    EXPECT_EQ(KX_E_NOT_SUPPORTED, m_pDevice->SetExpose(1, 100));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "No Support Auto Expose"));
    EXPECT_EQ(KX_E_NOT_SUPPORTED, m_pDevice->SetExpose(0, 65536));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "No Support Expose Value"));

    EXPECT_CALL(*m_pCamera, WriteRegister(1, 0u, _, 4)).WillOnce(Invoke([this](int, unsigned int, const void* p, int) {
        const uint16_t* pw = static_cast<const uint16_t*>(p);
        EXPECT_EQ(0, pw[0]);
        EXPECT_EQ(65535, pw[1]);
        m_pCamera->block.Set(KxLaserInfo::c_nWordExposure, pw[1]);
        return 0;
    }));
    EXPECT_EQ(0, m_pDevice->SetExpose(0, 65535));
    int32_t nAuto = 9, nValue = 0;
    EXPECT_EQ(0, m_pDevice->GetExpose(&nAuto, &nValue));
    EXPECT_EQ(0, nAuto);
    EXPECT_EQ(65535, nValue);
}

TEST_F(ParamsTest, ExposureMismatchKeepsTheCache) {
    CreateOpen();
    EXPECT_CALL(*m_pCamera, WriteRegister(1, 0u, _, 4)).WillOnce(Return(0));  // the camera ignores it
    KxLogCapture log;
    EXPECT_EQ(KX_E_READBACK_MISMATCH, m_pDevice->SetExpose(0, 900));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Set & Get ExposeValue Failed"));
    int32_t nValue = 0;
    m_pDevice->GetExpose(nullptr, &nValue);
    EXPECT_EQ(500, nValue);
}

TEST_F(ParamsTest, ConfirmingSetterFailuresAndTheirLines) {
    CreateOpen();
    KxLogCapture log;
    EXPECT_CALL(*m_pCamera, SetParam(48, _, 2)).WillOnce(Return(c_nOrEyeIoError));
    EXPECT_EQ(c_nOrEyeIoError, m_pDevice->SetLaserThres(50));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Threshold Setting Failed"));
    log.Clear();
    // The read-back answers transient three times per run, three runs: 9 reads, then give up.
    EXPECT_CALL(*m_pCamera, GetParam(54, _, 52)).Times(9).WillRepeatedly(Return(KX_E_CAMERA_RETRY));
    EXPECT_EQ(KX_E_CAMERA_RETRY, m_pDevice->SetExpose(0, 600));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Update Data Failed"));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Get Laser Info Failed"));
}

TEST_F(ParamsTest, LaserThresholdIsComparedWithTheWholeArgument) {
    CreateOpen();
    KxLogCapture log;
    EXPECT_EQ(0, m_pDevice->SetLaserThres(120));
    int32_t n = 0;
    EXPECT_EQ(0, m_pDevice->GetLaserThres(&n));
    EXPECT_EQ(120, n);
    // 65656 goes out as 120 and reads back as 120, which is not what was asked.
    EXPECT_EQ(KX_E_READBACK_MISMATCH, m_pDevice->SetLaserThres(65656));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Set & Get LaserThres No Match"));
}

TEST_F(ParamsTest, LaserThresholdUnknownAndRoiUnknown) {
    CreateOpen();
    m_pDevice->m_nPropertyMask = 0;
    int32_t n = 77;
    EXPECT_EQ(KX_E_THRES_UNKNOWN, m_pDevice->GetLaserThres(&n));
    EXPECT_EQ(77, n);
    SKxNLROIRect l = Roi(1, 2, 3, 4), r = Roi(5, 6, 7, 8);
    EXPECT_EQ(0, m_pDevice->GetDetectROI(&l, &r));
    EXPECT_TRUE(SameRoi(Roi(1, 2, 3, 4), l));
    EXPECT_TRUE(SameRoi(Roi(5, 6, 7, 8), r));
}

TEST_F(ParamsTest, DetectRoiSendsTheLeftSizeAndConfirms) {
    CreateOpen();
    const SKxNLROIRect l = Roi(32, 1056, 10, 1010), r = Roi(96, 1120, 20, 1020);
    EXPECT_CALL(*m_pCamera, SetROI(32, 10, 96, 20, 1024, 1000));
    EXPECT_EQ(0, m_pDevice->SetDetectROI(&l, &r));
    SKxNLROIRect gl{}, gr{};
    EXPECT_EQ(0, m_pDevice->GetDetectROI(&gl, &gr));
    EXPECT_TRUE(SameRoi(l, gl));
    EXPECT_TRUE(SameRoi(r, gr));
}

TEST_F(ParamsTest, DetectRoiRulesAndMismatch) {
    CreateOpen();
    const SKxNLROIRect bad = Roi(5, 100, 0, 100);
    EXPECT_CALL(*m_pCamera, SetROI(_, _, _, _, _, _)).Times(0);
    EXPECT_EQ(c_nKxRoiAlignLeft, m_pDevice->SetDetectROI(&bad, &bad));
    ::testing::Mock::VerifyAndClearExpectations(m_pCamera);

    EXPECT_CALL(*m_pCamera, SetROI(_, _, _, _, _, _)).WillOnce(Return(0));  // not applied
    const SKxNLROIRect l = Roi(32, 1056, 10, 1010);
    KxLogCapture log;
    EXPECT_EQ(KX_E_READBACK_MISMATCH, m_pDevice->SetDetectROI(&l, &l));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Set & Get ROI Data No Match"));
    EXPECT_TRUE(SameRoi(Roi(0, 1024, 100, 1100), m_pDevice->m_sProperties.sLeftROI));
}

// ---- trigger mode ----

TEST_F(ParamsTest, TriggerModeBelowVersionSeven) {
    CreateOpen(6);
    EXPECT_FALSE(m_pDevice->m_nPropertyMask & c_nMaskTrigger);
    for (int nMode : {2, 3, 4}) EXPECT_EQ(KX_E_NOT_SUPPORTED, m_pDevice->SetTriggerMode(nMode)) << nMode;
    int32_t nMode = -1;
    EXPECT_EQ(KX_E_NOT_SUPPORTED, m_pDevice->GetTriggerMode(&nMode));
    // Mode 1 is written; an older camera cannot report it back.
    EXPECT_CALL(*m_pCamera, WriteRegister(13, 0u, _, 2));
    EXPECT_CALL(*m_pCamera, GetParam(54, _, _)).Times(0);
    EXPECT_EQ(0, m_pDevice->SetTriggerMode(1));
    EXPECT_EQ(1, m_pDevice->m_sProperties.nTriggerMode);
    EXPECT_TRUE(m_pDevice->m_nPropertyMask & c_nMaskTrigger);
    EXPECT_EQ(KX_E_NOT_SUPPORTED, m_pDevice->GetTriggerMode(&nMode));
}

TEST_F(ParamsTest, TriggerModeReadBackFromVersionSeven) {
    CreateOpen(7);
    EXPECT_EQ(0, m_pDevice->SetTriggerMode(3));
    int32_t nMode = -1;
    EXPECT_EQ(0, m_pDevice->GetTriggerMode(&nMode));
    EXPECT_EQ(3, nMode);

    EXPECT_CALL(*m_pCamera, WriteRegister(13, 0u, _, 2)).WillOnce(Return(0));  // not applied
    KxLogCapture log;
    EXPECT_EQ(KX_E_READBACK_MISMATCH, m_pDevice->SetTriggerMode(4));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Trigger Set & Get No Match"));
    EXPECT_EQ(4, m_pDevice->m_sProperties.nTriggerMode);  // the cache keeps the value sent
}

TEST_F(ParamsTest, TriggerModeSnapshotRestore) {
    CreateOpen(8);
    m_pDevice->SaveProperties();
    ASSERT_EQ(0, m_pDevice->SetTriggerMode(2));
    EXPECT_EQ(0, m_pDevice->RestoreTriggerMode());
    EXPECT_EQ(1, m_pDevice->m_sProperties.nTriggerMode);
    EXPECT_EQ(1, m_pCamera->block.Get(0) & 0xFF);
    m_pDevice->m_nSavedPropertyMask = 0;
    EXPECT_CALL(*m_pCamera, WriteRegister(_, _, _, _)).Times(0);
    EXPECT_EQ(0, m_pDevice->RestoreTriggerMode());
}

// ---- toggles ----

TEST_F(ParamsTest, DenoiseAndAcceleratorNoChangeTests) {
    CreateOpen();
    // Never learnt from the camera: the first value goes out even when it equals the zeroed
    // cache (another device object may have switched denoise on).
    EXPECT_CALL(*m_pCamera, SetParam(37, _, 2)).WillOnce(Invoke([](int, const void* p, int) {
        EXPECT_EQ(0, *static_cast<const uint16_t*>(p));
        return 0;
    }));
    EXPECT_EQ(0, m_pDevice->EnableDenoise(false));
    EXPECT_EQ(0, m_pDevice->EnableDenoise(false));  // now known: nothing sent
    ::testing::Mock::VerifyAndClearExpectations(m_pCamera);
    EXPECT_CALL(*m_pCamera, SetParam(37, _, 2)).WillOnce(Invoke([](int, const void* p, int) {
        EXPECT_EQ(1, *static_cast<const uint16_t*>(p));
        return 0;
    }));
    EXPECT_EQ(0, m_pDevice->EnableDenoise(true));
    EXPECT_TRUE(m_pDevice->IsDenoiseEnabled());
    EXPECT_TRUE(m_pDevice->m_nPropertyMask & c_nMaskDenoise);
    EXPECT_EQ(0, m_pDevice->EnableDenoise(true));

    // The accelerator's first value always goes out; the same value again does not.
    EXPECT_CALL(*m_pCamera, SetParam(49, _, 2)).WillOnce(Return(0));
    EXPECT_EQ(0, m_pDevice->EnableAccelerator(false));
    EXPECT_EQ(0, m_pDevice->EnableAccelerator(false));
    EXPECT_TRUE(m_pDevice->m_nPropertyMask & c_nMaskAccelerator);
}

TEST_F(ParamsTest, DynamicRoiByVersion) {
    CreateOpen(4);
    EXPECT_EQ(KX_E_NOT_SUPPORTED, m_pDevice->EnableDynamicROI(true));
    int32_t nError = 0;
    EXPECT_FALSE(m_pDevice->IsDynamicROIEnabled(&nError));
    EXPECT_EQ(KX_E_NOT_SUPPORTED, nError);
}

TEST_F(ParamsTest, DynamicRoiFromVersionFiveSetsButQueriesFromEight) {
    CreateOpen(7);
    EXPECT_CALL(*m_pCamera, SetParam(51, _, 2)).WillOnce(Invoke([](int, const void* p, int) {
        EXPECT_EQ(2, *static_cast<const uint16_t*>(p));
        return 0;
    }));
    EXPECT_EQ(0, m_pDevice->EnableDynamicROI(true));
    EXPECT_TRUE(m_pDevice->m_nPropertyMask & c_nMaskDynamicROI);  // the live mask
    int32_t nError = 0;
    EXPECT_FALSE(m_pDevice->IsDynamicROIEnabled(&nError));
    EXPECT_EQ(KX_E_NOT_SUPPORTED, nError);
}

class DynamicRoiUnreported : public MockDeviceTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(DynamicRoiUnreported, OffGoesOutWhenNeverLearnt) {
    // Versions 5 to 7 do not report the state: off must reach the camera even though the cache
    // was never set (the camera may have it on from an earlier object).
    CreateOpen(GetParam());
    EXPECT_CALL(*m_pCamera, SetParam(51, _, 2)).WillOnce(Invoke([](int, const void* p, int) {
        EXPECT_EQ(0, *static_cast<const uint16_t*>(p));
        return 0;
    }));
    EXPECT_EQ(0, m_pDevice->EnableDynamicROI(false));
    EXPECT_EQ(0, m_pDevice->EnableDynamicROI(false));  // now known: nothing sent
}

INSTANTIATE_TEST_SUITE_P(Versions, DynamicRoiUnreported, ::testing::Values(5u, 6u, 7u));

TEST_F(ParamsTest, DynamicRoiLearntAtOpenOnVersionEight) {
    m_pCamera->block.Set(0, 0x0001);  // the camera reports dynamic ROI off
    CreateOpen(8);
    EXPECT_CALL(*m_pCamera, SetParam(51, _, _)).Times(0);
    EXPECT_EQ(0, m_pDevice->EnableDynamicROI(false));
}

TEST_F(ParamsTest, DynamicRoiOnVersionEight) {
    CreateOpen(8);
    int32_t nError = -1;
    EXPECT_TRUE(m_pDevice->IsDynamicROIEnabled(&nError));  // the camera reported 2 at open
    EXPECT_EQ(0, nError);
    EXPECT_EQ(0, m_pDevice->EnableDynamicROI(false));
    EXPECT_FALSE(m_pDevice->IsDynamicROIEnabled(nullptr));
    m_pDevice->m_bOffline = true;
    EXPECT_FALSE(m_pDevice->IsDynamicROIEnabled(&nError));
    EXPECT_EQ(KX_E_OFFLINE, nError);
}

TEST_F(ParamsTest, GapTriggerDividerAndBitModeArguments) {
    CreateOpen();
    EXPECT_CALL(*m_pCamera, SetParam(10, _, 2)).WillOnce(Invoke([](int, const void* p, int) {
        EXPECT_EQ(0x2345, *static_cast<const uint16_t*>(p));
        return 0;
    }));
    EXPECT_CALL(*m_pCamera, SetParam(47, _, 4)).WillOnce(Invoke([](int, const void* p, int) {
        EXPECT_EQ(-3, *static_cast<const int32_t*>(p));
        return 0;
    }));
    EXPECT_CALL(*m_pCamera, SetTriggerN(7u, 9u)).WillOnce(Return(0));
    EXPECT_EQ(0, m_pDevice->SetGap(0x12345));
    EXPECT_EQ(0, m_pDevice->ConfigImgBitMode(-3));
    EXPECT_EQ(0, m_pDevice->SetTriggerN(7, 9));
}

TEST_F(ParamsTest, EncodeModeByVersion) {
    CreateOpen(6);
    KxLogCapture log;
    EXPECT_EQ(KX_E_NOT_SUPPORTED, m_pDevice->SetEncodeMode(2));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Device Hardware No Support Encode Mode"));
    EXPECT_EQ(1, m_pDevice->GetEncodeMode());
    EXPECT_EQ(0, m_pDevice->SetEncodeMode(3));
    EXPECT_EQ(3, m_pDevice->GetEncodeMode());
    m_pDevice->m_sDevInfo.sVideoRes.nVersion = 7;
    EXPECT_EQ(0, m_pDevice->SetEncodeMode(2));
}

// ---- version texts ----

TEST_F(ParamsTest, VersionFillsMissingTextsOnly) {
    CreateOpen();
    SKxEyeVersionInfo v{};
    EXPECT_EQ(0, m_pDevice->GetVersion(&v));
    EXPECT_EQ(c_nKxVersionHardware | c_nKxVersionFirmware | c_nKxVersionDeviceID, v.nPresence);
    EXPECT_STREQ("FW-1.2.3", v.szFirmwareVersion);
    EXPECT_STREQ("ID-0042", v.szDeviceID);
    EXPECT_STREQ(m_pDevice->m_sDevInfo.szHWVersion, v.szHardwareVersion);

    SKxEyeVersionInfo w{};
    w.nPresence = c_nKxVersionFirmware | c_nKxVersionDeviceID | 0x1;
    EXPECT_CALL(*m_pCamera, GetVersionText(_, _)).Times(0);
    EXPECT_CALL(*m_pCamera, ReadProduct(_, _, _)).Times(0);
    EXPECT_EQ(0, m_pDevice->GetVersion(&w));
    EXPECT_EQ(c_nKxVersionFirmware | c_nKxVersionDeviceID | c_nKxVersionHardware | 0x1, w.nPresence);
}

TEST_F(ParamsTest, VersionFailureLeavesItsBitClearAndLongHardwareTextIsCut) {
    CreateOpen();
    std::memset(m_pDevice->m_sDevInfo.szHWVersion, 'x', sizeof(m_pDevice->m_sDevInfo.szHWVersion));
    EXPECT_CALL(*m_pCamera, GetVersionText(_, 64)).WillOnce(Return(c_nOrEyeIoError));
    EXPECT_CALL(*m_pCamera, ReadProduct(2, _, 16)).WillOnce(Return(c_nOrEyeNotSupported));
    SKxEyeVersionInfo v;
    std::memset(&v, 0x55, sizeof(v));
    v.nPresence = 0;
    EXPECT_EQ(c_nOrEyeNotSupported, m_pDevice->GetVersion(&v));
    EXPECT_EQ(c_nKxVersionHardware, v.nPresence);
    EXPECT_EQ(std::string(63, 'x'), std::string(v.szHardwareVersion));
}

// ---- image mode ----

TEST_F(ParamsTest, SwitchDebugSizesTheBuffers) {
    CreateOpen();
    const unsigned int nOn = 1536u * 2048u * 2u + 32800u;
    KxLogCapture log;
    EXPECT_CALL(*m_pCamera, SetImageTransfer(1, 104857600u / nOn, nOn)).WillOnce(Return(0));
    EXPECT_EQ(0, m_pDevice->SwitchDebug(1));
    EXPECT_TRUE(log.HasLine(c_nKxLogDetail, "Switch Debug Return 0 true"));
    EXPECT_EQ(0, m_pDevice->SwitchDebug(1));  // already on: nothing sent

    m_pDevice->m_nFrameRate = 10;
    EXPECT_CALL(*m_pCamera, SetImageTransfer(0, 10u, 32800u)).WillOnce(Return(c_nOrEyeIoError));
    EXPECT_EQ(c_nOrEyeIoError, m_pDevice->SwitchDebug(0));
    EXPECT_TRUE(log.HasLine(c_nKxLogDetail, "Switch Debug Return -10007 true"));
    EXPECT_TRUE(m_pDevice->m_sProperties.bDebugMode);
}

TEST_F(ParamsTest, SwitchDebugOnlyOneSwitchesImagesOn) {
    CreateOpen();
    for (const int32_t nValue : {2, -1, 0x101, 0}) {
        m_pDevice->m_sProperties.bDebugMode = true;  // images on, as the camera confirmed
        m_pDevice->m_nPropertyMask |= c_nMaskDebug;
        EXPECT_CALL(*m_pCamera, SetImageTransfer(0, _, 32800u)).WillOnce(Return(0));
        EXPECT_EQ(0, m_pDevice->SwitchDebug(nValue)) << nValue;
        EXPECT_FALSE(m_pDevice->IsDebugModeOn()) << nValue;
        ::testing::Mock::VerifyAndClearExpectations(m_pCamera);
    }
}

// ---- table frame rate ----

struct AutoRateCase {
    uint32_t nFlags;
    int32_t nWidth, nHeight;
    bool bAccelerator;
    uint16_t nUserRate;
    uint16_t nExpect;
};

class AutoFrameRateTest : public MockDeviceTest, public ::testing::WithParamInterface<AutoRateCase> {};

TEST_P(AutoFrameRateTest, TableValue) {
    const AutoRateCase& c = GetParam();
    Create(MakeInfo(8, c.nFlags));
    m_pDevice->m_sProperties.sLeftROI = Roi(0, c.nWidth, 0, c.nHeight);
    m_pDevice->m_sProperties.nAccelerator = c.bAccelerator ? 1 : 0;
    m_pDevice->m_nPropertyMask = c_nMaskAccelerator;
    m_pDevice->m_nFrameRate = c.nUserRate;
    EXPECT_EQ(c.nExpect, m_pDevice->GetAutoFrameRate());
}

INSTANTIATE_TEST_SUITE_P(
    Tables, AutoFrameRateTest,
    ::testing::Values(AutoRateCase{0x1, 300, 1100, false, 0, 120},   // row 3, column 1
                      AutoRateCase{0x1, 64, 1024, false, 0, 1070},   // bounds are not "below"
                      AutoRateCase{0x1, 65, 1025, false, 0, 490},
                      AutoRateCase{0x1, 1536, 2048, false, 0, 30},
                      AutoRateCase{0x1, 1536, 2048, true, 0, 60},
                      AutoRateCase{0x1, 300, 1100, true, 0, 240},
                      AutoRateCase{0x2, 300, 1100, false, 0, 120},
                      AutoRateCase{0x2, 100, 1500, false, 0, 520},
                      AutoRateCase{0x2, 100, 1500, true, 0, 740},
                      AutoRateCase{0x3, 100, 1500, false, 0, 490},   // bit 0x1 wins
                      AutoRateCase{0x0, 100, 1500, false, 0, 0},
                      AutoRateCase{0x1, 300, 1100, false, 100, 100},  // user rate within the table
                      AutoRateCase{0x1, 300, 1100, false, 120, 120},
                      AutoRateCase{0x1, 300, 1100, false, 121, 120},
                      AutoRateCase{0x1, 4000, 3000, false, 0, 30}));  // beyond the tables: slowest

TEST_F(ParamsTest, AcceleratedTableNeedsTheConfirmedBit) {
    Create(MakeInfo(8, 0x1));
    m_pDevice->m_sProperties.sLeftROI = Roi(0, 300, 0, 1100);
    m_pDevice->m_sProperties.nAccelerator = 1;
    EXPECT_EQ(120, m_pDevice->GetAutoFrameRate());
}

TEST_F(ParamsTest, SyncDetectRoiRefreshesAndPushes) {
    CreateOpen();
    m_pCamera->block.SetRoi(KxLaserInfo::c_nWordLeftRoi, Roi(64, 576, 8, 408));
    m_pCamera->block.SetRoi(KxLaserInfo::c_nWordRightRoi, Roi(128, 640, 16, 416));
    EXPECT_CALL(*m_pCamera, SyncROI(64, 8, 128, 16, 512, 400)).WillOnce(Return(c_nOrEyeIoError));
    EXPECT_EQ(0, m_pDevice->SyncDetectROI());
    EXPECT_TRUE(SameRoi(Roi(64, 576, 8, 408), m_pDevice->m_sProperties.sLeftROI));
}

}  // namespace
