// The device against the virtual camera: every setting must change the camera's own
// laser-information block, and the camera's faults drive the retry and failure roads for real.
#include <cstdlib>

#include "device_test_support.h"
#include "kxeyeswingmotordevice.h"

using namespace devtest;

namespace {

// Reads the camera's information block through the device's own camera object.
LaserBlock CameraBlock(CKxLaserEyeDevice& d) {
    LaserBlock b;
    EXPECT_EQ(0, d.GetCoreEye()->GetParam(54, b.by.data(), 52));
    return b;
}

class VirtualDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        OrEyeTest::SetFactory(OrEyeTest::Factory());
        m_pCamera = OrEyeTest::VirtualCamera(0);
        ASSERT_NE(nullptr, m_pCamera);
        m_pCamera->Reset();
    }
    void TearDown() override {
        if (m_pDevice) m_pDevice->Release();
        m_pDevice = nullptr;
        m_pCamera->Reset();
    }
    SKxNLEyeDeviceInfoEx Info(uint32_t nVersion = 8) {
        SKxNLEyeDeviceInfoEx info = MakeInfo(nVersion, c_nKxFlagLocal);
        std::snprintf(info.szConnectText, sizeof(info.szConnectText), "virtual:0");
        return info;
    }
    CKxLaserEyeDevice* Open(int32_t nExpect = 0, uint32_t nVersion = 8) {
        m_pDevice = new CKxLaserEyeDevice(Info(nVersion), nullptr, nullptr);
        EXPECT_EQ(nExpect, m_pDevice->Open(0));
        return m_pDevice;
    }
    OrEyeTest::IVirtualCameraControl* m_pCamera = nullptr;
    CKxLaserEyeDevice* m_pDevice = nullptr;
};

TEST_F(VirtualDeviceTest, OpenPreparesTheCamera) {
    KxLogCapture log;
    CKxLaserEyeDevice& d = *Open();
    EXPECT_TRUE(d.IsOpen());
    EXPECT_EQ(static_cast<uint32_t>(m_pCamera->GetGeometry().nFixedDisparity), d.m_sDevInfo.sVideoRes.nRightOffset);
    EXPECT_EQ(1, m_pCamera->GetROIMode());
    EXPECT_EQ(1, m_pCamera->GetDeviceEnabled());
    int nValue = 0, nValue2 = 0;
    EXPECT_TRUE(m_pCamera->GetOption(0, &nValue, &nValue2));
    EXPECT_EQ(5000, nValue);
    EXPECT_TRUE(d.m_nPropertyMask & c_nMaskDynamicROI);
    EXPECT_TRUE(SameRoi(Roi(0, 1536, 0, 1920), d.m_sProperties.sLeftROI));
    EXPECT_STRNE("", d.m_sDevInfo.szHWVersion);
    EXPECT_EQ(1, d.m_sDeviceParam.nKind);  // the camera's default block: version 3, kind 1
    // Version 8 with a motor fitted: the swing motor device is attached and handed out referenced.
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "Open Swing Device Success"));
    IKxSwingMotorDevice* pMotor = nullptr;
    ASSERT_TRUE(d.GetSwingMotorDevice(&pMotor));
    ASSERT_NE(nullptr, pMotor);
    EXPECT_EQ(2, pMotor->GetRefCount());
    pMotor->Release();
}

// Each setting and the information word the camera reports it in.
struct ReadBackCase {
    const char* pszName;
    std::function<int32_t(CKxLaserEyeDevice&)> set;
    unsigned int nWord;
    uint16_t nExpect;
};

class VirtualReadBackTest : public VirtualDeviceTest, public ::testing::WithParamInterface<ReadBackCase> {};

TEST_P(VirtualReadBackTest, TheCameraReportsTheNewValue) {
    CKxLaserEyeDevice& d = *Open();
    const ReadBackCase& c = GetParam();
    ASSERT_NE(c.nExpect, CameraBlock(d).Get(c.nWord)) << "the case must change the camera";
    EXPECT_EQ(0, c.set(d));
    EXPECT_EQ(c.nExpect, CameraBlock(d).Get(c.nWord));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, VirtualReadBackTest,
    ::testing::Values(
        ReadBackCase{"Expose", [](CKxLaserEyeDevice& d) { return d.SetExpose(0, 1234); }, 1, 1234},
        ReadBackCase{"LaserThres", [](CKxLaserEyeDevice& d) { return d.SetLaserThres(77); }, 18, 77},
        ReadBackCase{"TriggerMode", [](CKxLaserEyeDevice& d) { return d.SetTriggerMode(2); }, 0, 0x0002},
        ReadBackCase{"DynamicROI", [](CKxLaserEyeDevice& d) { return d.EnableDynamicROI(true); }, 0, 0x0200},
        ReadBackCase{"Gain", [](CKxLaserEyeDevice& d) { return d.SetCameraGain(0, 300); }, 19, 300},
        ReadBackCase{"FrameRate", [](CKxLaserEyeDevice& d) { return d.SetFrameRate(500); }, 21, 500},
        ReadBackCase{"Denoise", [](CKxLaserEyeDevice& d) { return d.EnableDenoise(true); }, 22, 1},
        ReadBackCase{"Accelerator", [](CKxLaserEyeDevice& d) { return d.EnableAccelerator(true); }, 23, 1},
        ReadBackCase{"Gap", [](CKxLaserEyeDevice& d) { return d.SetGap(9); }, 24, 9},
        ReadBackCase{"BitMode", [](CKxLaserEyeDevice& d) { return d.ConfigImgBitMode(2); }, 25, 2},
        ReadBackCase{"DetectROI", [](CKxLaserEyeDevice& d) {
                         const SKxNLROIRect l = Roi(64, 576, 8, 1008), r = Roi(128, 640, 16, 1016);
                         return d.SetDetectROI(&l, &r);
                     }, 14, 128},
        ReadBackCase{"ImageMode", [](CKxLaserEyeDevice& d) { return d.SwitchDebug(1); }, 20, 1}),
    [](const ::testing::TestParamInfo<ReadBackCase>& info) { return std::string(info.param.pszName); });

TEST_F(VirtualDeviceTest, CachedValuesFollowTheCamera) {
    CKxLaserEyeDevice& d = *Open();
    ASSERT_EQ(0, d.SetExpose(0, 4321));
    ASSERT_EQ(0, d.SetLaserThres(99));
    ASSERT_EQ(0, d.SetTriggerMode(3));
    const SKxNLROIRect l = Roi(32, 544, 100, 612);
    ASSERT_EQ(0, d.SetDetectROI(&l, &l));
    int32_t nAuto = -1, nExpose = 0, nThres = 0, nMode = 0;
    d.GetExpose(&nAuto, &nExpose);
    d.GetLaserThres(&nThres);
    d.GetTriggerMode(&nMode);
    EXPECT_EQ(4321, nExpose);
    EXPECT_EQ(99, nThres);
    EXPECT_EQ(3, nMode);
    SKxNLROIRect gl{}, gr{};
    d.GetDetectROI(&gl, &gr);
    EXPECT_TRUE(SameRoi(l, gl));
    EXPECT_TRUE(SameRoi(l, gr));
    // A window outside the sensor is refused by the ROI rules before the camera sees it.
    const SKxNLROIRect far = Roi(1536, 2048, 0, 100);
    EXPECT_EQ(c_nKxRoiOutside, d.SetDetectROI(&far, &far));
    double q[16] = {};
    EXPECT_EQ(0, d.GetQMatrix(q));
    EXPECT_EQ(-768.0, q[3]);  // -cx
}

TEST_F(VirtualDeviceTest, InjectedTransientAnswersAreRetried) {
    CKxLaserEyeDevice& d = *Open();
    KxLogCapture log;
    m_pCamera->FailNext(OrEyeTest::Op_SetParam, KX_E_CAMERA_RETRY, 2);
    EXPECT_EQ(0, d.SetGap(3));
    char sz[96];
    std::snprintf(sz, sizeof(sz), "Device %p: Failed Times %d", static_cast<void*>(&d), 2);
    EXPECT_TRUE(log.HasLine(c_nKxLogWarning, sz));
    EXPECT_EQ(3, CameraBlock(d).Get(24));
    m_pCamera->FailNext(OrEyeTest::Op_SetParam, KX_E_CAMERA_RETRY, 3);
    EXPECT_EQ(KX_E_CAMERA_RETRY, d.SetGap(4));
    std::snprintf(sz, sizeof(sz), "Device %p: Execute Failed: %d", static_cast<void*>(&d), KX_E_CAMERA_RETRY);
    EXPECT_TRUE(log.HasLine(c_nKxLogError, sz));
    EXPECT_EQ(3, CameraBlock(d).Get(24));
}

TEST_F(VirtualDeviceTest, StorageFailureStillGivesAWorkingDevice) {
    m_pCamera->FailStorageRead(true);
    CKxLaserEyeDevice& d = *Open(c_nOrEyeIoError);
    m_pCamera->FailStorageRead(false);
    EXPECT_TRUE(d.IsOpen());
    EXPECT_EQ(0, d.SetFrameRate(300));
    EXPECT_EQ(300, CameraBlock(d).Get(21));
    EXPECT_EQ(0, d.SetLaserThres(12));
}

TEST_F(VirtualDeviceTest, InvalidCameraRoisAreReplacedByTheDefaults) {
    {
        // Another session leaves windows that the ROI rules refuse (left edge not aligned).
        std::unique_ptr<IOrEyeCamera> pOther(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
        ASSERT_NE(nullptr, pOther);
        ASSERT_EQ(0, pOther->InitDevice(1536, 2048, 0, 3, "virtual:0"));
        ASSERT_EQ(0, pOther->SetROI(5, 0, 5, 0, 512, 400));
        uint16_t nRate = 700;
        ASSERT_EQ(0, pOther->SetParam(34, &nRate, 2));
    }
    CKxLaserEyeDevice& d = *Open();
    const LaserBlock b = CameraBlock(d);
    EXPECT_EQ(20, b.Get(21));
    EXPECT_EQ(0, b.Get(10));
    EXPECT_EQ(1536, b.Get(11));
    EXPECT_EQ(1920, b.Get(13));
    EXPECT_EQ(0, d.m_nFrameRate);
}

TEST_F(VirtualDeviceTest, HardwareVersionNineIsRefusedWithTheCameraKept) {
    KxLogCapture log;
    CKxLaserEyeDevice& d = *Open(KX_E_NOT_SUPPORTED, 9);
    EXPECT_TRUE(d.IsOpen());
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Device Hardware Version Not Enough"));
    d.Close();
    EXPECT_FALSE(d.IsOpen());
    EXPECT_EQ(KX_E_NOT_OPEN, d.SetGap(1));
}

TEST_F(VirtualDeviceTest, VersionTextsFromTheCamera) {
    CKxLaserEyeDevice& d = *Open();
    SKxEyeVersionInfo v{};
    EXPECT_EQ(0, d.GetVersion(&v));
    EXPECT_EQ(c_nKxVersionFirmware | c_nKxVersionDeviceID | c_nKxVersionHardware, v.nPresence);
    EXPECT_EQ(0, std::memcmp("KXVIRTUALCAM0001", v.szDeviceID, 16));
    EXPECT_STRNE("", v.szFirmwareVersion);
    EXPECT_STREQ(d.m_sDevInfo.szHWVersion, v.szHardwareVersion);
}

TEST_F(VirtualDeviceTest, ConfiguredCompensationAndParameterBlock) {
    setenv("KXEYE_VIRTUAL_CAMERAS",
           R"([{"compensation": [[10, 1], [20, 3]], "param_block": {"version": 2, "kind": 5, "offset": [1.5, 2, 3]}}])", 1);
    ASSERT_EQ(1, OrEyeTest::ReloadVirtualCameras());
    unsetenv("KXEYE_VIRTUAL_CAMERAS");
    m_pCamera = OrEyeTest::VirtualCamera(0);
    CKxLaserEyeDevice& d = *Open();
    ASSERT_NE(nullptr, d.m_pCompensate);
    const std::vector<SKxCompensateEntry>& t = d.m_pCompensate->Entries();
    ASSERT_EQ(3u, t.size());
    EXPECT_EQ(2.0f, t[1].fAdd);
    EXPECT_EQ(100000000.0f, t[2].fTo);
    EXPECT_EQ(5, d.m_sDeviceParam.nKind);
    EXPECT_EQ(1.5, d.m_sDeviceParam.adCoordOffset[0]);
    EXPECT_EQ(3.0, d.m_sDeviceParam.adCoordOffset[2]);
    m_pDevice->Release();
    m_pDevice = nullptr;
    OrEyeTest::ReloadVirtualCameras();
    m_pCamera = OrEyeTest::VirtualCamera(0);
}

}  // namespace
