// Swing motor device against the virtual camera's motor controller: the motor really moves at
// its set speed, so these tests wait (a few hundred milliseconds each).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "kxeyeswingmotordevice.h"
#include "kxkernel_testsupport.h"
#include "kxlasereyedevice.h"  // the device class (src/ is searched first)
#include "oreyeapi_testsupport.h"

namespace {

class SwingVirtualTest : public ::testing::Test {
protected:
    void Configure(const char* pszJson) {
        if (pszJson)
            setenv("KXEYE_VIRTUAL_CAMERAS", pszJson, 1);
        else
            unsetenv("KXEYE_VIRTUAL_CAMERAS");
        ASSERT_GT(OrEyeTest::ReloadVirtualCameras(), 0);
        m_pControl = OrEyeTest::VirtualCamera(0);
        ASSERT_NE(nullptr, m_pControl);
    }
    void OpenDevice() {
        SKxNLEyeDeviceInfoEx info;
        std::memset(&info, 0, sizeof(info));
        info.eDeviceType = KX_DEVICE_TYPE_LASER_EYE;
        info.nDeviceFlags = c_nKxFlagLocal;
        info.sVideoRes.nFrameWidth = 1536;
        info.sVideoRes.nFrameHeight = 2048;
        info.sVideoRes.nVersion = 8;
        std::memset(info.byDeviceID, 0xFF, sizeof(info.byDeviceID));
        std::snprintf(info.szConnectText, sizeof(info.szConnectText), "virtual:0");
        m_pDevice = new CKxLaserEyeDevice(info, nullptr, nullptr);
        ASSERT_EQ(0, m_pDevice->Open(0));
        m_pMotor = m_pDevice->m_pSwingDevice;
    }
    void TearDown() override {
        if (m_pDevice) m_pDevice->Release();
        unsetenv("KXEYE_VIRTUAL_CAMERAS");
        OrEyeTest::ReloadVirtualCameras();
    }

    OrEyeTest::IVirtualCameraControl* m_pControl = nullptr;
    CKxLaserEyeDevice* m_pDevice = nullptr;
    CKxEyeSwingMotorDevice* m_pMotor = nullptr;
};

TEST_F(SwingVirtualTest, CameraWithoutMotorOpensWithoutOne) {
    Configure(R"({"cameras": [{"swing_motor": false}]})");
    KxLogCapture log;
    OpenDevice();
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "Open Swing Device Failed"));
    IKxSwingMotorDevice* pMotor = reinterpret_cast<IKxSwingMotorDevice*>(0x1);
    EXPECT_FALSE(m_pDevice->GetSwingMotorDevice(&pMotor));
    EXPECT_EQ(nullptr, pMotor);
    CKxEyeSwingMotorDevice* pCreated = nullptr;
    EXPECT_EQ(KX_E_NOT_SUPPORTED, CKxEyeSwingMotorDevice::Create(m_pDevice, &pCreated));
    EXPECT_EQ(nullptr, pCreated);
}

TEST_F(SwingVirtualTest, CreationReadsControllerAndCentresTheMotor) {
    Configure(nullptr);
    KxLogCapture log;
    OpenDevice();
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "Open Swing Device Success"));
    ASSERT_NE(nullptr, m_pMotor);
    EXPECT_TRUE(m_pMotor->IsOpen());

    SKxMotorInfo info;
    ASSERT_EQ(0, m_pMotor->GetMotorInfo(&info));
    EXPECT_EQ(75, info.nMaxAngle);  // the controller reports 900 tenths
    int32_t nStart = 0, nEnd = 0;
    ASSERT_EQ(0, m_pMotor->GetSwingRange(&nStart, &nEnd));
    const int32_t nCentre = nStart + (nEnd - nStart) / 2;
    EXPECT_EQ(nCentre, m_pMotor->GetCenter());
    // Creation waited for the centre move.
    EXPECT_NEAR(nCentre * 10.0, m_pControl->GetMotorPositionTenths(), 1.0);
    int32_t nError = -1;
    EXPECT_NEAR(static_cast<float>(nCentre), m_pMotor->GetPosition(&nError), 0.15f);
    EXPECT_EQ(0, nError);
    EXPECT_EQ(20, m_pMotor->GetMotorVersion());
}

TEST_F(SwingVirtualTest, MoveToTravelsAtTheSetSpeed) {
    Configure(nullptr);
    OpenDevice();
    ASSERT_NE(nullptr, m_pMotor);
    const double dFrom = m_pControl->GetMotorPositionTenths();
    ASSERT_EQ(0, m_pMotor->SetSpeed(60));
    ASSERT_EQ(0, m_pMotor->MoveTo(55.0f, false));
    int32_t nError = -1;
    EXPECT_FALSE(m_pMotor->IsMotorIdle(&nError));  // well on its way, not there yet
    EXPECT_EQ(0, nError);
    const double dMid = m_pControl->GetMotorPositionTenths();
    EXPECT_GT(dMid, dFrom);
    EXPECT_LT(dMid, 550.0);
    ASSERT_EQ(0, m_pMotor->WaitIdle());
    EXPECT_NEAR(550.0, m_pControl->GetMotorPositionTenths(), 1.0);
    EXPECT_EQ(550, m_pMotor->GetPositionTenths(&nError));

    // While the device captures no command reaches the motor.
    m_pDevice->m_bCapturing = true;
    EXPECT_EQ(KX_E_BUSY, m_pMotor->MoveTo(20.0f, true));
    m_pDevice->m_bCapturing = false;
    EXPECT_NEAR(550.0, m_pControl->GetMotorPositionTenths(), 1.0);
}

TEST_F(SwingVirtualTest, RunMotorAndFaultsShowInTheStatusWord) {
    Configure(nullptr);
    OpenDevice();
    ASSERT_NE(nullptr, m_pMotor);
    ASSERT_EQ(0, m_pMotor->RunMotor(true));
    int32_t nError = -1;
    EXPECT_TRUE(m_pMotor->IsMotorRunning(&nError));
    EXPECT_EQ(0, nError);
    ASSERT_EQ(0, m_pMotor->RunMotor(false));
    EXPECT_FALSE(m_pMotor->IsMotorRunning(&nError));

    m_pControl->SetMotorStatusFault(0x4);
    EXPECT_TRUE(m_pMotor->IsMotorIdle(&nError));
    EXPECT_EQ(KX_E_ENCODER_FAULT, nError);
    m_pControl->SetMotorStatusFault(0x10);
    m_pMotor->IsMotorIdle(&nError);
    EXPECT_EQ(KX_E_MOTOR_FAULT, nError);
    m_pControl->SetMotorStatusFault(0);
}

}  // namespace
