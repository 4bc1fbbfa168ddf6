// Local listing from the configuration, and the swing motor controller behind custom commands.
#include <chrono>
#include <thread>

#include "vcam_fixture.h"

namespace {

TEST(Listing, TableFollowsTheConfiguration) {
    ConfigureCameras(R"({"count": 2, "cameras": [{"version": 6, "width": 1280, "height": 1024},
                        {"kind": "smart", "version": 3, "large": true}]})");
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    unsigned char t[308];
    memset(t, 0xCC, sizeof(t));
    ASSERT_EQ(c_nOrEyeOK, p->ListDevices(t));
    ASSERT_EQ(2, static_cast<signed char>(t[0]));
    struct { uint32_t nVersion; int nKind; uint32_t nW, nH; const char* pszConnect; } aExp[2] = {
        {6, 3, 1280, 1024, "virtual:0"}, {3, 4, 1536, 2048, "virtual:1"}};
    for (int i = 0; i < 2; ++i) {
        const unsigned char* e = t + 4 + 76 * i;
        uint32_t v, w, h;
        int32_t k;
        memcpy(&v, e, 4);
        memcpy(&k, e + 40, 4);
        memcpy(&w, e + 44, 4);
        memcpy(&h, e + 48, 4);
        EXPECT_EQ(aExp[i].nVersion, v & 0xFFF);
        EXPECT_EQ(i, static_cast<signed char>(e[4]));
        EXPECT_STREQ(aExp[i].pszConnect, reinterpret_cast<const char*>(e + 5));
        EXPECT_EQ(aExp[i].nKind, k);
        EXPECT_EQ(aExp[i].nW, w);
        EXPECT_EQ(aExp[i].nH, h);
        // The connect text reaches that camera.
        std::unique_ptr<IOrEyeCamera> s(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
        ASSERT_EQ(c_nOrEyeOK, s->InitDevice(int(w), int(h), 0, 3, reinterpret_cast<const char*>(e + 5)));
        uint8_t b[52];
        ASSERT_EQ(c_nOrEyeOK, s->GetParam(54, b, 52));
        EXPECT_EQ(aExp[i].nVersion, KxLaserInfo::GetWord(b, KxLaserInfo::c_nWordVersion));
        EXPECT_EQ(i == 1 ? 3 : 2, KxLaserInfo::GetWord(b, KxLaserInfo::c_nWordDeviceType));
    }
    for (int i = 4 + 2 * 76; i < 308; ++i) ASSERT_EQ(0, t[i]) << i;
    // A broken configuration is reported and leaves no camera: not one other than asked for.
    setenv("KXEYE_VIRTUAL_CAMERAS", R"([{"version": 9}])", 1);
    EXPECT_EQ(c_nOrEyeBadArgument, OrEyeTest::ReloadVirtualCameras());
    EXPECT_EQ(0, OrEyeTest::VirtualCameraCount());
    EXPECT_EQ(c_nOrEyeBadArgument, p->ListDevices(t));
    EXPECT_EQ(0, t[0]);
    ConfigureCameras("");
    ASSERT_EQ(c_nOrEyeOK, p->ListDevices(t));
    EXPECT_EQ(1, t[0]);
}

class SwingMotor : public VirtualCameraTest {
protected:
    uint32_t Read(unsigned short nCode, int nExpect = c_nOrEyeOK) {
        const unsigned short r[5] = {0, nCode, 0, 0, 0};
        uint32_t v = 0xFFFFFFFF;
        EXPECT_EQ(nExpect, m_pCam->ExecuteCustomCommand(r, &v));
        return v;
    }
    int Write(unsigned short nCode, uint32_t nValue) {
        const unsigned short r[5] = {1, nCode, 0, static_cast<unsigned short>(nValue & 0xFFFF),
                                     static_cast<unsigned short>(nValue >> 16)};
        uint32_t v;
        return m_pCam->ExecuteCustomCommand(r, &v);
    }
};

TEST_F(SwingMotor, SweepCarriesAnglesAndEndsWithTheMark) {
    EXPECT_EQ(900u, Read(27));
    ASSERT_EQ(c_nOrEyeOK, Write(21, 200));
    ASSERT_EQ(c_nOrEyeOK, Write(22, 260));
    ASSERT_EQ(c_nOrEyeOK, Write(8, 600));  // 600 tenths of a degree per second
    EXPECT_EQ(260u, Read(29));
    const uint16_t nSwing = 0x7;  // on, fitted, sweep mode 1
    ASSERT_EQ(c_nOrEyeOK, m_pCam->SetParam(58, &nSwing, 2));
    Read(1);                                  // arm the sweep
    EXPECT_EQ(0x2u, Read(15) & 0x2);
    Read(23);                                 // home: the range start
    for (int i = 0; i < 300 && (Read(15) & 0x4000); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(0u, Read(15) & 0x4000);
    EXPECT_NEAR(200.0, m_pControl->GetMotorPositionTenths(), 0.01);
    EXPECT_EQ(static_cast<uint32_t>(std::lround(200 * 16384.0 / 7200.0)), Read(18));

    ASSERT_EQ(c_nOrEyeOK, Write(8, 120));  // slow enough for several frames per sweep
    ASSERT_EQ(c_nOrEyeOK, m_pCam->EnableStream(1));
    std::vector<uint8_t> laser(32800);
    unsigned char* apDest[3] = {nullptr, nullptr, laser.data()};
    std::vector<uint32_t> vecAngles;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(c_nOrEyeOK, m_pCam->WaitStreamFrame(apDest, nullptr, nullptr, 2000));
        vecAngles.push_back(Word(laser.data(), 6) & 0x1FFFFFFF);
        if (vecAngles.back() == 14400) break;
    }
    ASSERT_EQ(c_nOrEyeOK, m_pCam->EnableStream(0));
    ASSERT_EQ(14400u, vecAngles.back());
    ASSERT_GE(vecAngles.size(), 3u);
    for (size_t i = 0; i + 1 < vecAngles.size(); ++i) {
        EXPECT_GE(vecAngles[i], 200u);
        EXPECT_LE(vecAngles[i], 260u);
        if (i > 0) {
            EXPECT_GE(vecAngles[i], vecAngles[i - 1]);
        }
    }
    EXPECT_FALSE(m_pControl->IsSweeping());
    // Fault bits show in the status word.
    m_pControl->SetMotorStatusFault(0x4);
    EXPECT_EQ(0x4u, Read(15) & 0x4);
    EXPECT_EQ(c_nOrEyeOutOfRange, Write(9, 901));
}

TEST(SwingMotorAbsent, CameraWithoutMotorRefusesMotorCommands) {
    ConfigureCameras(R"([{"version": 7, "swing_motor": false}])");
    std::unique_ptr<IOrEyeCamera> p(CreateOrEyeApi(OREYEAPI_TYPE_LOCAL));
    ASSERT_EQ(c_nOrEyeOK, p->InitDevice(0, 0, 0, 3, nullptr));
    uint16_t nSwing = 0xFFFF;
    ASSERT_EQ(c_nOrEyeOK, p->GetParam(58, &nSwing, 2));
    EXPECT_EQ(0, nSwing & 0x2);
    const unsigned short r[5] = {0, 15, 0, 0, 0};
    uint32_t v;
    EXPECT_EQ(c_nOrEyeNotSupported, p->ExecuteCustomCommand(r, &v));
    unsetenv("KXEYE_VIRTUAL_CAMERAS");
}

}  // namespace
