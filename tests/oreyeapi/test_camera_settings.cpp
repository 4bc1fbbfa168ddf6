// Settings of the virtual camera: the laser-information block follows every setting, storage,
// identity, the reprojection matrix, refused input and fault injection.
#include <functional>

#include "vcam_fixture.h"

namespace {
using namespace KxLaserInfo;

class CameraSettings : public VirtualCameraTest {};

TEST_F(CameraSettings, DefaultBlockDescribesTheCamera) {
    const std::vector<uint8_t> b = Info();
    EXPECT_EQ(2, GetWord(b.data(), c_nWordDeviceType));
    EXPECT_EQ(8, GetWord(b.data(), c_nWordVersion));
    EXPECT_EQ(1536, GetWord(b.data(), c_nWordWidth));
    EXPECT_EQ(2048, GetWord(b.data(), c_nWordHeight));
    EXPECT_EQ(c_nFlagSwingMotor, GetWord(b.data(), c_nWordFlags));
    // The camera's own windows fit its frame.
    EXPECT_LE(GetWord(b.data(), c_nWordLeftRoi + 1), 1536);
    EXPECT_LE(GetWord(b.data(), c_nWordLeftRoi + 3), 2048);
    uint16_t nSwing = 0;
    ASSERT_EQ(c_nOrEyeOK, m_pCam->GetParam(58, &nSwing, 2));
    EXPECT_EQ(0x2, nSwing & 0x2);
}

struct SettingCase {
    const char* pszName;
    std::function<int(IOrEyeCamera*)> set;
    unsigned int nWord;
    uint16_t nExpected;
};

TEST_F(CameraSettings, InfoBlockFollowsEverySetting) {
    const uint16_t nExposure[2] = {0, 777};
    const uint16_t nTrigger = 3, nThreshold = 91, nDyn = 2, nGain = 300, nRate = 55;
    const SettingCase aCases[] = {
        {"exposure register", [&](IOrEyeCamera* p) { return p->WriteRegister(1, 0, nExposure, 4); }, c_nWordExposure, 777},
        {"trigger register", [&](IOrEyeCamera* p) { return p->WriteRegister(13, 0, &nTrigger, 2); }, c_nWordTriggerDynRoi, 3},
        {"threshold", [&](IOrEyeCamera* p) { return p->SetParam(48, &nThreshold, 2); }, c_nWordThreshold, 91},
        {"dynamic ROI", [&](IOrEyeCamera* p) { return p->SetParam(51, &nDyn, 2); }, c_nWordTriggerDynRoi, 0x0203},
        {"gain", [&](IOrEyeCamera* p) { return p->WriteRegister(14, 0x3204, &nGain, 2); }, c_nWordGain, 300},
        {"frame rate", [&](IOrEyeCamera* p) { return p->SetParam(34, &nRate, 2); }, c_nWordFrameRate, 55},
        {"image mode", [&](IOrEyeCamera* p) { return p->SetImageTransfer(1, 4, 1536 * 2048 * 2 + 32800); }, c_nWordImageMode, 1},
        {"left ROI left", [&](IOrEyeCamera* p) { return p->SetROI(64, 32, 128, 96, 512, 1024); }, c_nWordLeftRoi, 64},
    };
    for (const SettingCase& c : aCases) {
        SCOPED_TRACE(c.pszName);
        ASSERT_EQ(c_nOrEyeOK, c.set(m_pCam.get()));
        EXPECT_EQ(c.nExpected, InfoWord(c.nWord));
    }
    // The last ROI: the left width and height apply to both windows.
    const std::vector<uint8_t> b = Info();
    const uint16_t anRoi[8] = {64, 576, 32, 1056, 128, 640, 96, 1120};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(anRoi[i], GetWord(b.data(), c_nWordLeftRoi + i)) << i;
    // A second session on the same camera sees the same state.
    std::unique_ptr<IOrEyeCamera> p2(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    ASSERT_EQ(c_nOrEyeOK, p2->InitDevice(1536, 2048, 0, 3, "virtual:0"));
    std::vector<uint8_t> b2(52);
    ASSERT_EQ(c_nOrEyeOK, p2->GetParam(54, b2.data(), 52));
    EXPECT_EQ(b, b2);
    std::vector<uint8_t> vecLast;
    ASSERT_TRUE(m_pControl->GetLastRegister(14, 0x3204, &vecLast));
    EXPECT_EQ(std::vector<uint8_t>({300 & 0xFF, 300 >> 8}), vecLast);
}

TEST_F(CameraSettings, FixedDisparityAnswersBothForms) {
    const int n = m_pControl->GetGeometry().nFixedDisparity;
    uint8_t ab8[8] = {};
    ASSERT_EQ(c_nOrEyeOK, m_pCam->GetParam(50, ab8, 8));
    EXPECT_EQ(n, ab8[0] * 256 + ab8[1]);
    uint16_t n16 = 0;
    ASSERT_EQ(c_nOrEyeOK, m_pCam->GetParam(50, &n16, 2));
    EXPECT_EQ(n, n16);
}

TEST_F(CameraSettings, QMatrixMatchesPointDisparity) {
    double q[16];
    ASSERT_EQ(c_nOrEyeOK, m_pCam->GetQMatrix(q));
    const OrEyeTest::Geometry g = m_pControl->GetGeometry();
    EXPECT_DOUBLE_EQ(-g.dCx, q[3]);
    EXPECT_DOUBLE_EQ(-g.dCy, q[7]);
    // d(z) as the SDK computes it from Q equals h / 256 of the frame's points.
    std::vector<uint8_t> laser(32800);
    unsigned char* apDest[3] = {nullptr, nullptr, laser.data()};
    ASSERT_EQ(c_nOrEyeOK, m_pCam->GrabFrame(apDest, nullptr, nullptr, 1000));
    const auto pts = DecodePoints(laser.data(), 8, g.nFixedDisparity);
    ASSERT_FALSE(pts.empty());
    int32_t h;
    memcpy(&h, laser.data(), 4);
    EXPECT_NEAR(h / 256.0, std::fabs(q[11] * (1.0 / q[14]) / pts[0].z), 0.01);
}

TEST_F(CameraSettings, IdentityItemsRoundTrip) {
    char szId[16], szSerial[8];
    ASSERT_EQ(c_nOrEyeOK, m_pCam->WriteProduct(2, "ABCDEFGHIJKLMNOP", 16));
    ASSERT_EQ(c_nOrEyeOK, m_pCam->WriteProduct(4, "SN123456", 8));
    ASSERT_EQ(c_nOrEyeOK, m_pCam->ReadProduct(2, szId, 16));
    ASSERT_EQ(c_nOrEyeOK, m_pCam->ReadProduct(4, szSerial, 8));
    EXPECT_EQ(0, memcmp(szId, "ABCDEFGHIJKLMNOP", 16));
    EXPECT_EQ(0, memcmp(szSerial, "SN123456", 8));
}

TEST_F(CameraSettings, StorageRoundTripsAndRefusesOutOfRange) {
    std::vector<uint8_t> v(10000), r(10000);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    ASSERT_EQ(c_nOrEyeOK, m_pCam->WriteStorage(0x41003, v.data(), 10000));
    ASSERT_EQ(c_nOrEyeOK, m_pCam->ReadStorage(0x41003, r.data(), 10000));
    EXPECT_EQ(v, r);
    // Last byte of the map is reachable; one past it is not.
    ASSERT_EQ(c_nOrEyeOK, m_pCam->WriteStorage(0x3FFFFF, v.data(), 1));
    EXPECT_EQ(c_nOrEyeOutOfRange, m_pCam->WriteStorage(0x3FFFFF, v.data(), 2));
    EXPECT_EQ(c_nOrEyeOutOfRange, m_pCam->ReadStorage(0x400000, r.data(), 1));
    EXPECT_EQ(c_nOrEyeOutOfRange, m_pCam->ReadStorage(0xFFFFFFFF, r.data(), 4096));
    EXPECT_EQ(c_nOrEyeOutOfRange, m_pCam->ReadStorage(0x3FF000, r.data(), 0xFFFFF001u));
    // Storage is the camera's: a new session reads what the last one wrote.
    m_pCam.reset(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    ASSERT_EQ(c_nOrEyeOK, m_pCam->InitDevice(0, 0, 0, 3, "virtual:0"));
    std::fill(r.begin(), r.end(), 0);
    ASSERT_EQ(c_nOrEyeOK, m_pCam->ReadStorage(0x41003, r.data(), 10000));
    EXPECT_EQ(v, r);
}

TEST_F(CameraSettings, ParameterPageHoldsAValidBlock) {
    std::vector<uint8_t> page(4096);
    ASSERT_EQ(c_nOrEyeOK, m_pCam->ReadStorage(KxParamPage::c_nAddress, page.data(), 4096));
    const uint8_t* p = page.data();
    ASSERT_EQ(0, memcmp(p, KxParamPage::c_szTag, KxParamPage::c_nTagBytes));
    const int nVersion = p[39];
    ASSERT_GE(nVersion, 1);
    ASSERT_LE(nVersion, 3);
    int32_t nKind;
    memcpy(&nKind, p + 40, 4);
    size_t n = 44 + (nKind != -1 ? 96 : 0) + (nVersion >= 2 ? 24 : 0) + (nVersion >= 3 ? 16 : 0);
    EXPECT_EQ(0, memcmp(p + n, KxParamPage::c_szTag, KxParamPage::c_nTagBytes));
}

TEST_F(CameraSettings, RefusesBadInputWithoutTouchingBuffers) {
    uint8_t ab[64];
    memset(ab, 0xAB, sizeof(ab));
    struct Case {
        const char* pszName;
        std::function<int()> call;
        int nCode;
    } aCases[] = {
        {"unknown parameter", [&] { return m_pCam->GetParam(99, ab, 2); }, c_nOrEyeBadArgument},
        {"short info block", [&] { return m_pCam->GetParam(54, ab, 51); }, c_nOrEyeBadArgument},
        {"null parameter", [&] { return m_pCam->GetParam(54, nullptr, 52); }, c_nOrEyeBadArgument},
        {"long threshold", [&] { return m_pCam->SetParam(48, ab, 4); }, c_nOrEyeBadArgument},
        {"dynamic ROI 1", [&] { const uint16_t v = 1; return m_pCam->SetParam(51, &v, 2); }, c_nOrEyeOutOfRange},
        {"unknown register", [&] { return m_pCam->WriteRegister(2, 0, ab, 2); }, c_nOrEyeBadArgument},
        {"exposure length", [&] { return m_pCam->WriteRegister(1, 0, ab, 2); }, c_nOrEyeBadArgument},
        {"product item", [&] { return m_pCam->ReadProduct(3, ab, 16); }, c_nOrEyeBadArgument},
        {"product length", [&] { return m_pCam->ReadProduct(2, ab, 8); }, c_nOrEyeBadArgument},
        {"ROI too wide", [&] { return m_pCam->SetROI(1024, 0, 0, 0, 1024, 256); }, c_nOrEyeOutOfRange},
        {"ROI negative", [&] { return m_pCam->SetROI(-1, 0, 0, 0, 256, 256); }, c_nOrEyeOutOfRange},
        {"null Q", [&] { return m_pCam->GetQMatrix(nullptr); }, c_nOrEyeBadArgument},
        {"null grab", [&] { return m_pCam->GrabFrame(nullptr, nullptr, nullptr, 10); }, c_nOrEyeBadArgument},
        {"null reply", [&] { const unsigned short r[5] = {0, 15, 0, 0, 0}; return m_pCam->ExecuteCustomCommand(r, nullptr); }, c_nOrEyeBadArgument},
        {"unknown motor code", [&] { const unsigned short r[5] = {0, 999, 0, 0, 0}; return m_pCam->ExecuteCustomCommand(r, ab); }, c_nOrEyeBadArgument},
        {"release unknown", [&] { return m_pCam->ReleaseFrameBuffer(12345); }, c_nOrEyeBadArgument},
        {"tiny frame buffers", [&] { return m_pCam->SetImageTransfer(0, 4, 100); }, c_nOrEyeBadArgument},
        {"wait while idle", [&] { unsigned char* d[3] = {nullptr, nullptr, ab}; return m_pCam->WaitStreamFrame(d, nullptr, nullptr, 10); }, c_nOrEyeNotSupported},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.pszName);
        EXPECT_EQ(c.nCode, c.call());
        for (uint8_t b : ab) ASSERT_EQ(0xAB, b);
    }
    // Nothing before InitDevice.
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    EXPECT_EQ(c_nOrEyeNotInitialised, p->GetParam(54, ab, 52));
    EXPECT_EQ(c_nOrEyeNotInitialised, p->EnableStream(1));
    EXPECT_EQ(c_nOrEyeNotInitialised, p->ReleaseFrameBuffer(1));
    EXPECT_EQ(c_nOrEyeNoDevice, p->InitDevice(0, 0, 0, 3, "virtual:7"));
    EXPECT_EQ(c_nOrEyeNoDevice, p->InitDevice(0, 0, 0, 3, "virtual:0x"));
    EXPECT_EQ(c_nOrEyeNoDevice, p->InitDevice(0, 0, 0, 3, "192.168.1.10"));
}

TEST_F(CameraSettings, FaultInjectionScriptsRetryAndOffline) {
    uint8_t b[52];
    m_pControl->FailNext(OrEyeTest::Op_GetParam, c_nOrEyeRetry, 2);
    EXPECT_EQ(c_nOrEyeRetry, m_pCam->GetParam(54, b, 52));
    EXPECT_EQ(c_nOrEyeRetry, m_pCam->GetParam(54, b, 52));
    EXPECT_EQ(c_nOrEyeOK, m_pCam->GetParam(54, b, 52));
    // Other operations are not affected.
    m_pControl->FailNext(OrEyeTest::Op_SetROIMode, c_nOrEyeRetry, 1);
    EXPECT_EQ(c_nOrEyeOK, m_pCam->EnableDevice(1));
    EXPECT_EQ(c_nOrEyeRetry, m_pCam->SetROIMode(1));
    EXPECT_EQ(c_nOrEyeOK, m_pCam->SetROIMode(1));

    m_pControl->FailStorageRead(true);
    EXPECT_EQ(c_nOrEyeIoError, m_pCam->ReadStorage(0x3FF000, b, 52));
    m_pControl->FailStorageRead(false);
    EXPECT_EQ(c_nOrEyeOK, m_pCam->ReadStorage(0x3FF000, b, 52));

    m_pControl->SetOffline(true);
    EXPECT_EQ(c_nOrEyeOffline, m_pCam->GetParam(54, b, 52));
    EXPECT_EQ(c_nOrEyeOffline, m_pCam->EnableStream(1));
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    EXPECT_EQ(c_nOrEyeOffline, p->InitDevice(0, 0, 0, 3, "virtual:0"));
    unsigned char table[308];
    ASSERT_EQ(c_nOrEyeOK, p->ListDevices(table));
    EXPECT_EQ(0, table[0]);
    m_pControl->SetOffline(false);
    EXPECT_EQ(c_nOrEyeOK, m_pCam->GetParam(54, b, 52));
}

class ConfiguredFaults : public VirtualCameraTest {
    std::string Config() override {
        return R"({"cameras": [{"faults": [{"op": "EnableDevice", "code": -10014, "count": 2}]}]})";
    }
};

TEST_F(ConfiguredFaults, ConfigurationScriptsFaults) {
    EXPECT_EQ(c_nOrEyeRetry, m_pCam->EnableDevice(1));
    EXPECT_EQ(c_nOrEyeRetry, m_pCam->EnableDevice(1));
    EXPECT_EQ(c_nOrEyeOK, m_pCam->EnableDevice(1));
    EXPECT_EQ(1, m_pControl->GetDeviceEnabled());
}

}  // namespace
