// Swing motor device against a mock camera: the exact command records, codes and log lines.
#include <chrono>
#include <functional>
#include <string>

#include "swing_test_support.h"

using swingtest::Rec;
using swingtest::SwingMockTest;
using ::testing::_;

namespace {

// ---- creation ----

struct CreationCase {
    const char* pszName;
    uint16_t nSwingWord;
    int nSwingReadResult;
    bool bCreated;
    bool bEnabled;
    int32_t nMode;
};

class SwingCreationTest : public SwingMockTest, public ::testing::WithParamInterface<CreationCase> {};

TEST_P(SwingCreationTest, OpenAttachesMotorOnlyWhenFitted) {
    const CreationCase& c = GetParam();
    m_nSwingWord = c.nSwingWord;
    m_nSwingReadResult = c.nSwingReadResult;
    KxLogCapture log;
    CKxEyeSwingMotorDevice* pMotor = OpenMotor();
    EXPECT_TRUE(log.HasLine(c_nKxLogState, c.bCreated ? "Open Swing Device Success" : "Open Swing Device Failed"));

    IKxSwingMotorDevice* pOut = reinterpret_cast<IKxSwingMotorDevice*>(0x1);
    EXPECT_EQ(c.bCreated, m_pDevice->GetSwingMotorDevice(&pOut));
    if (!c.bCreated) {
        EXPECT_EQ(nullptr, pMotor);
        EXPECT_EQ(nullptr, pOut);
        // Without a motor no motor register is touched beyond the swing mode word.
        EXPECT_TRUE(m_ctl.vecRecords.empty());
        return;
    }
    ASSERT_NE(nullptr, pMotor);
    ASSERT_EQ(static_cast<IKxSwingMotorDevice*>(pMotor), pOut);
    EXPECT_EQ(2, pMotor->GetRefCount());  // the device's and the one GetSwingMotorDevice added
    pOut->Release();
    EXPECT_TRUE(pMotor->IsOpen());
    EXPECT_EQ(c.bEnabled, pMotor->IsSwingEnabled());
    EXPECT_EQ(c.nMode, pMotor->GetSwingMode());
}

INSTANTIATE_TEST_SUITE_P(
    Words, SwingCreationTest,
    ::testing::Values(CreationCase{"NoMotor", 0x0, 0, false, false, 0},
                      CreationCase{"NoMotorSwingBitOnly", 0x5, 0, false, false, 0},
                      CreationCase{"ModeWordUnreadable", 0x3, c_nOrEyeIoError, false, false, 0},
                      CreationCase{"FittedOn", 0x3, 0, true, true, 2},
                      CreationCase{"FittedOffModeOne", 0x6, 0, true, false, 1}),
    [](const ::testing::TestParamInfo<CreationCase>& i) { return std::string(i.param.pszName); });

TEST_F(SwingMockTest, CreateOnDeviceWithoutMotorAnswersNotSupportedAndNull) {
    m_nSwingWord = 0x0;
    CreateOpen(8);
    CKxEyeSwingMotorDevice* pMotor = reinterpret_cast<CKxEyeSwingMotorDevice*>(0x1);
    EXPECT_EQ(KX_E_NOT_SUPPORTED, CKxEyeSwingMotorDevice::Create(m_pDevice, &pMotor));
    EXPECT_EQ(nullptr, pMotor);
    EXPECT_EQ(KX_E_NULL_ARGUMENT, CKxEyeSwingMotorDevice::Create(m_pDevice, nullptr));
}

TEST_F(SwingMockTest, CreationReadsMotorFactsAndMovesToCentre) {
    m_ctl.nMaxTenths = 900;  // more than the motor may travel: capped at 75 degrees
    m_ctl.nStartTenths = 100;
    m_ctl.nEndTenths = 500;
    KxLogCapture log;
    CKxEyeSwingMotorDevice* pMotor = OpenMotor();
    ASSERT_NE(nullptr, pMotor);
    EXPECT_TRUE(log.HasLine(c_nKxLogDetail, "SwingMotor Version:16"));

    SKxMotorInfo info;
    std::memset(&info, 0x5A, sizeof(info));
    ASSERT_EQ(0, pMotor->GetMotorInfo(&info));
    EXPECT_EQ(0, info.nReserved0);
    EXPECT_EQ(75, info.nMaxAngle);
    EXPECT_EQ(17, info.nMinSpeed);   // 167 pulses / 10, rounded
    EXPECT_EQ(133, info.nMaxSpeed);  // 1333 / 10, rounded
    EXPECT_EQ(10, info.nRangeStart);
    EXPECT_EQ(50, info.nRangeEnd);
    EXPECT_EQ(50, info.nSpeed);      // 500 pulses read back
    EXPECT_EQ(0, info.nReserved7);
    EXPECT_EQ(30, pMotor->GetCenter());

    // Centre move at speed 96 (960 pulses), then the old speed (500 pulses) again.
    EXPECT_TRUE(m_ctl.Has(Rec(1, 8, 32, 960)));
    EXPECT_TRUE(m_ctl.Has(Rec(1, 9, 36, 300)));
    EXPECT_EQ(Rec(1, 8, 32, 500), m_ctl.vecRecords.back());
    EXPECT_NEAR(30.0f, pMotor->GetPosition(nullptr), 0.1f);
}

struct UnitsCase {
    uint32_t nVersion;
    uint32_t nPulses;
    int32_t nMin, nMax;
};

class SwingUnitsTest : public SwingMockTest, public ::testing::WithParamInterface<UnitsCase> {};

TEST_P(SwingUnitsTest, SpeedLimitsFollowMotorVersionAndPulseCount) {
    m_ctl.nVersion = GetParam().nVersion;
    m_ctl.nPulses = GetParam().nPulses;
    CKxEyeSwingMotorDevice* pMotor = OpenMotor();
    ASSERT_NE(nullptr, pMotor);
    int32_t nMin = 0, nMax = 0;
    ASSERT_EQ(0, pMotor->GetSpeedRange(&nMin, &nMax));
    EXPECT_EQ(GetParam().nMin, nMin);
    EXPECT_EQ(GetParam().nMax, nMax);
}

INSTANTIATE_TEST_SUITE_P(Versions, SwingUnitsTest,
                         ::testing::Values(UnitsCase{16, 360, 17, 133},    // rounded: 16.7 -> 17
                                           UnitsCase{17, 360, 16, 133},    // unrounded, truncated
                                           UnitsCase{18, 360, 1, 133},     // 14 pulses at the low end
                                           UnitsCase{16, 3600, 2, 13}));  // 1.67 -> 2, 13.33 -> 13

TEST_F(SwingMockTest, ControllerWithoutPulseCountIsRefused) {
    m_ctl.nPulses = 0;  // every speed conversion would divide by zero
    KxLogCapture log;
    EXPECT_EQ(nullptr, OpenMotor());
    EXPECT_TRUE(log.HasLine(c_nKxLogState, "Open Swing Device Failed"));
}

// ---- the operations ----

class SwingOpenTest : public SwingMockTest {
protected:
    void SetUp() override {
        SwingMockTest::SetUp();
        m_pMotor = OpenMotor();
        ASSERT_NE(nullptr, m_pMotor);
        m_ctl.vecRecords.clear();
        CKxEyeSwingMotorDevice::SetWaitIdleTimeout(400);
    }
    void TearDown() override {
        CKxEyeSwingMotorDevice::SetWaitIdleTimeout(30000);
        SwingMockTest::TearDown();
    }
    CKxEyeSwingMotorDevice* m_pMotor = nullptr;
};

TEST_F(SwingOpenTest, SwingRangeNeedsTenDegreesWithinMaximum) {
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetSwingRange(10, 19));
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetSwingRange(60, 76));
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetSwingRange(-5, 20));
    EXPECT_EQ(0u, m_ctl.CountCode(21) + m_ctl.CountCode(22));

    ASSERT_EQ(0, m_pMotor->SetSwingRange(10, 20));
    EXPECT_TRUE(m_ctl.Has(Rec(1, 21, 40, 100)));
    EXPECT_TRUE(m_ctl.Has(Rec(1, 22, 44, 200)));
    int32_t nStart = 0, nEnd = 0;
    EXPECT_EQ(0, m_pMotor->GetSwingRange(&nStart, &nEnd));
    EXPECT_EQ(10, nStart);
    EXPECT_EQ(20, nEnd);
    EXPECT_EQ(15, m_pMotor->GetCenter());

    // The same range again sends nothing; an application centre survives a new range.
    m_ctl.vecRecords.clear();
    EXPECT_EQ(0, m_pMotor->SetSwingRange(10, 20));
    EXPECT_TRUE(m_ctl.vecRecords.empty());
    ASSERT_EQ(0, m_pMotor->SetCenter(40));
    ASSERT_EQ(0, m_pMotor->SetSwingRange(30, 70));
    EXPECT_EQ(40, m_pMotor->GetCenter());
}

TEST_F(SwingOpenTest, BadRangeRefusedEvenOnFaultedMotor) {
    m_ctl.nStatus = 0x8010;  // motor fault: commands go out without waiting, but never bad ones
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetSwingRange(10, 19));
    EXPECT_EQ(0u, m_ctl.CountCode(21));
    EXPECT_EQ(0, m_pMotor->SetSwingRange(10, 30));
}

TEST_F(SwingOpenTest, PartlyWrittenRangeIsReadAgain) {
    // The start is written, the end refused.
    ON_CALL(*m_pCamera, ExecuteCustomCommand(_, _)).WillByDefault(::testing::Invoke([this](const unsigned short* p, void* r) {
        return p[1] == 22 ? c_nOrEyeIoError : m_ctl.Execute(p, r);
    }));
    EXPECT_EQ(c_nOrEyeIoError, m_pMotor->SetSwingRange(20, 40));
    EXPECT_FALSE(m_pMotor->bRangeKnown);
    int32_t nStart = 0, nEnd = 0;
    EXPECT_EQ(0, m_pMotor->GetSwingRange(&nStart, &nEnd));
    EXPECT_EQ(20, nStart);  // what the controller holds now
}

TEST_F(SwingOpenTest, LightAboveThousandNeverReachesController) {
    KxLogCapture log;
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetLight(1001));
    EXPECT_TRUE(m_ctl.vecRecords.empty());
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Light Out of Range"));

    ASSERT_EQ(0, m_pMotor->SetLight(1000));
    EXPECT_EQ(Rec(1, 3, 20, 1000), m_ctl.vecRecords.back());
    int32_t nError = -1;
    EXPECT_EQ(1000, m_pMotor->GetLight(&nError));
    EXPECT_EQ(0, nError);
}

TEST_F(SwingOpenTest, SpeedCachedSendsNothingAndNewSpeedIsPulses) {
    EXPECT_EQ(0, m_pMotor->SetSpeed(50));  // the speed read at creation
    EXPECT_TRUE(m_ctl.vecRecords.empty());

    ASSERT_EQ(0, m_pMotor->SetSpeed(100));
    EXPECT_EQ(Rec(1, 8, 32, 1000), m_ctl.vecRecords.back());
    int32_t nSpeed = 0;
    EXPECT_EQ(0, m_pMotor->GetSpeed(&nSpeed));
    EXPECT_EQ(100, nSpeed);

    m_ctl.vecRecords.clear();
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetSpeed(16));
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetSpeed(134));
    EXPECT_TRUE(m_ctl.vecRecords.empty());
}

TEST_F(SwingOpenTest, RunMotorGivesUpAfterOneSecondWithSuccess) {
    m_ctl.nStatus = 0x8000;  // never shows the swinging bit
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, m_pMotor->RunMotor(true));
    const auto nMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(nMs, 1000);
    EXPECT_TRUE(m_ctl.Has(Rec(0, 1, 0)));

    // Stopping a motor that already shows stopped returns at once.
    m_ctl.vecRecords.clear();
    EXPECT_EQ(0, m_pMotor->RunMotor(false));
    EXPECT_TRUE(m_ctl.Has(Rec(0, 2, 0)));
    EXPECT_LE(m_ctl.vecRecords.size(), 4u);
}

TEST_F(SwingOpenTest, RunningStateComesFromBitOne) {
    int32_t nError = 1;
    m_ctl.nStatus = 0x8002;
    EXPECT_TRUE(m_pMotor->IsMotorRunning(&nError));
    EXPECT_EQ(0, nError);
    m_ctl.nStatus = 0x0002;
    EXPECT_TRUE(m_pMotor->IsMotorRunning(&nError));
    EXPECT_EQ(KX_E_MOTOR_STATUS, nError);
    m_ctl.nStatus = 0x8000;
    EXPECT_FALSE(m_pMotor->IsMotorRunning(&nError));
}

struct StatusCase {
    uint32_t nStatus;
    int32_t nCode;
    bool bIdle;
    const char* pszLine;  // level 3, empty when none
};

class SwingStatusTest : public SwingOpenTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(SwingStatusTest, StatusWordDecodes) {
    const StatusCase& c = GetParam();
    m_ctl.nStatus = c.nStatus;
    KxLogCapture log;
    int32_t nError = 12345;
    EXPECT_EQ(c.bIdle, m_pMotor->IsMotorIdle(&nError));
    EXPECT_EQ(c.nCode, nError);
    if (*c.pszLine)
        EXPECT_TRUE(log.HasLine(c_nKxLogState, c.pszLine));
    else
        EXPECT_TRUE(log.Lines(c_nKxLogState).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Bits, SwingStatusTest,
    ::testing::Values(StatusCase{0x8000, 0, true, ""},
                      StatusCase{0xC000, 0, false, ""},
                      StatusCase{0x0000, KX_E_MOTOR_STATUS, false, "Motor Driver Other Err 0"},
                      StatusCase{0x4004, KX_E_MOTOR_STATUS, false, "Motor Driver Other Err 4004"},
                      StatusCase{0x8004, KX_E_ENCODER_FAULT, true, "Encoder Error 8004"},
                      StatusCase{0x800C, KX_E_ENCODER_FAULT, true, "Encoder Error 800c"},
                      StatusCase{0xC008, KX_E_MOTOR_PROTECT, false, "Motor Driver Protect Err c008"},
                      StatusCase{0x8010, KX_E_MOTOR_FAULT, true, "Swing Motor Error 8010"},
                      StatusCase{0x8020, KX_E_MOTOR_FAULT, true, "Swing Motor Error 8020"},
                      StatusCase{0x8040, KX_E_MOTOR_FAULT, true, "Swing Motor Error 8040"},
                      StatusCase{0x8200, KX_E_MOTOR_FAULT, true, "Swing Motor Error 8200"},
                      StatusCase{0x8400, KX_E_MOTOR_FAULT, true, "Swing Motor Error 8400"},
                      StatusCase{0x9000, KX_E_MOTOR_STATUS, true, "Swing Motor Error 9000"},
                      StatusCase{0x9010, KX_E_MOTOR_FAULT, true, "Swing Motor Error 9010"},
                      StatusCase{0x8002, 0, true, ""}));

TEST_F(SwingOpenTest, WaitIdleIsBoundedForAMotorThatNeverSettles) {
    m_ctl.nStatus = 0xC000;  // valid, moving for ever
    KxLogCapture log;
    CKxEyeSwingMotorDevice::SetWaitIdleTimeout(250);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(KX_E_MOTOR_STATUS, m_pMotor->WaitIdle());
    const auto nMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(nMs, 250);
    EXPECT_LT(nMs, 2000);
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Swing Motor Wait Idle Timeout 250 ms"));
    // Operations that wait for idle hand the bound's code on and send nothing.
    m_ctl.vecRecords.clear();
    EXPECT_EQ(KX_E_MOTOR_STATUS, m_pMotor->MoveTo(20.0f, false));
    EXPECT_EQ(0u, m_ctl.CountCode(9));
}

TEST_F(SwingOpenTest, MotorFaultIsAnsweredAtOnceByWaitIdle) {
    m_ctl.nStatus = 0xC004;  // moving with an encoder fault
    EXPECT_EQ(KX_E_ENCODER_FAULT, m_pMotor->WaitIdle());
    EXPECT_EQ(1u, m_ctl.vecRecords.size());
}

TEST_F(SwingOpenTest, MoveToChecksAngleAndSendsTenths) {
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->MoveTo(75.5f, false));
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->MoveTo(-1.0f, false));
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->MoveTo(std::nanf(""), false));
    EXPECT_TRUE(m_ctl.vecRecords.empty());
    ASSERT_EQ(0, m_pMotor->MoveTo(42.5f, true));
    EXPECT_TRUE(m_ctl.Has(Rec(1, 9, 36, 425)));
    int32_t nError = -1;
    EXPECT_EQ(425, m_pMotor->GetPositionTenths(&nError));
    EXPECT_EQ(0, nError);
}

TEST_F(SwingOpenTest, MoveToOriginUsesHomeOrRangeEndAndRestoresSpeed) {
    ASSERT_EQ(0, m_pMotor->SetSpeed(60));
    m_ctl.vecRecords.clear();
    ASSERT_EQ(0, m_pMotor->MoveToOrigin(true));
    EXPECT_TRUE(m_ctl.Has(Rec(1, 23, 0)));
    EXPECT_EQ(Rec(1, 8, 32, 600), m_ctl.vecRecords.back());

    m_pMotor->SetReturnToEnd(1);
    m_ctl.vecRecords.clear();
    ASSERT_EQ(0, m_pMotor->MoveToOrigin(true));
    EXPECT_TRUE(m_ctl.Has(Rec(1, 9, 36, 500)));

    // A refused move still gives the caller's speed back.
    ON_CALL(*m_pCamera, ExecuteCustomCommand(_, _)).WillByDefault(::testing::Invoke([this](const unsigned short* p, void* r) {
        const int nResult = m_ctl.Execute(p, r);
        return p[1] == 9 ? c_nOrEyeIoError : nResult;
    }));
    m_ctl.vecRecords.clear();
    EXPECT_EQ(c_nOrEyeIoError, m_pMotor->MoveToOrigin(false));
    EXPECT_EQ(Rec(1, 8, 32, 600), m_ctl.vecRecords.back());
    int32_t nSpeed = 0;
    m_pMotor->GetSpeed(&nSpeed);
    EXPECT_EQ(60, nSpeed);
}

TEST_F(SwingOpenTest, RangeEdgesHereFollowThePosition) {
    ASSERT_EQ(0, m_pMotor->MoveTo(20.0f, true));
    ASSERT_EQ(0, m_pMotor->SetRangeStartHere());
    EXPECT_TRUE(m_ctl.Has(Rec(1, 21, 40, 200)));
    ASSERT_EQ(0, m_pMotor->MoveTo(60.0f, true));
    ASSERT_EQ(0, m_pMotor->SetRangeEndHere());
    EXPECT_TRUE(m_ctl.Has(Rec(1, 22, 44, 600)));
    int32_t nStart = 0, nEnd = 0;
    m_pMotor->GetSwingRange(&nStart, &nEnd);
    EXPECT_EQ(20, nStart);
    EXPECT_EQ(60, nEnd);
    // A start at or beyond the end is refused.
    ASSERT_EQ(0, m_pMotor->MoveTo(70.0f, true));
    m_ctl.vecRecords.clear();
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetRangeStartHere());
    EXPECT_EQ(0u, m_ctl.CountCode(21));
}

TEST_F(SwingOpenTest, SimpleValueBounds) {
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetCenter(76));
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetCenter(-1));
    EXPECT_EQ(0, m_pMotor->SetCenter(75));
    EXPECT_EQ(75, m_pMotor->GetCenter());
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetUserAngle(75.5f));
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetUserAngle(-0.5f));
    EXPECT_EQ(0, m_pMotor->SetUserAngle(12.5f));
    EXPECT_FLOAT_EQ(12.5f, m_pMotor->GetUserAngle());
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetSwingMode(3));
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetRegister18(499));
    EXPECT_TRUE(m_ctl.vecRecords.empty());
    ASSERT_EQ(0, m_pMotor->SetRegister18(500));
    EXPECT_EQ(Rec(0, 34, 0, 500), m_ctl.vecRecords.back());
}

TEST_F(SwingOpenTest, CommandRecordsFollowTheRegisterTable) {
    struct Case {
        std::function<int32_t()> fn;
        swingtest::Record rec;
    } cases[] = {
        {[&] { return m_pMotor->SendCommand13(); }, Rec(0, 17, 0)},
        {[&] { return m_pMotor->SendCommand20(); }, Rec(0, 10, 0)},
        {[&] { return m_pMotor->SendCommand20And21(); }, Rec(0, 11, 0)},
        {[&] { return m_pMotor->SendCommand22(); }, Rec(0, 12, 0)},
        {[&] { return m_pMotor->SendCommand23(); }, Rec(0, 26, 0)},
        {[&] { return m_pMotor->SendCommand24(); }, Rec(0, 25, 0)},
        {[&] { return m_pMotor->SwitchRegister27(true); }, Rec(0, 39, 0)},
        {[&] { return m_pMotor->SwitchRegister27(false); }, Rec(0, 40, 0)},
        {[&] { return m_pMotor->GetMotorVersion() == 16 ? 0 : -1; }, Rec(0, 36, 0)},
        {[&] { return m_pMotor->MoveTo(7.0f, false); }, Rec(1, 9, 36, 70)},
    };
    for (const Case& c : cases) {
        m_ctl.vecRecords.clear();
        EXPECT_EQ(0, c.fn());
        EXPECT_TRUE(m_ctl.Has(c.rec)) << "code " << c.rec[1];
    }
}

TEST_F(SwingOpenTest, TransientRefusalsAreRetriedWithTheRuleLines) {
    KxLogCapture log;
    m_ctl.nFailNext = 2;
    int32_t nError = -1;
    m_pMotor->ReadStatus(&nError);
    EXPECT_EQ(0, nError);
    EXPECT_TRUE(log.HasLine(c_nKxLogWarning, DeviceLine("Device %p: Failed Times %d", 2)));
    m_ctl.nFailNext = 3;
    m_pMotor->ReadStatus(&nError);
    EXPECT_EQ(c_nOrEyeRetry, nError);
    EXPECT_TRUE(log.HasLine(c_nKxLogError, DeviceLine("Device %p: Execute Failed: %d", c_nOrEyeRetry)));
}

TEST_F(SwingOpenTest, SwingSwitchesWriteParameter58) {
    ASSERT_EQ(0, m_pMotor->EnableSwing(false, false));
    EXPECT_EQ((std::vector<uint8_t>{0x2, 0x0}), m_mapParams[58]);
    EXPECT_FALSE(m_pMotor->IsSwingEnabled());
    ASSERT_EQ(0, m_pMotor->SetSwingMode(1));
    EXPECT_EQ((std::vector<uint8_t>{0x6, 0x0}), m_mapParams[58]);
    ASSERT_EQ(0, m_pMotor->EnableSwing(true, true));
    EXPECT_EQ((std::vector<uint8_t>{0x7, 0x0}), m_mapParams[58]);
    EXPECT_TRUE(m_pMotor->IsSwingEnabled());
    EXPECT_EQ(1, m_pMotor->GetSwingMode());
    EXPECT_TRUE(m_pDevice->IsDynamicROIEnabled(nullptr));
}

// ---- calibration and work distance ----

TEST_F(SwingOpenTest, CalibrationIsScaledSignAndMagnitude) {
    SKxSwingCalibrateParam p = {{99.0, 1.5, -2.25, 0.001, -0.5, 3.0}};
    ASSERT_EQ(0, m_pMotor->ConfigCalibrateParam(&p));
    const std::vector<uint8_t>& v = m_mapParams[56];
    ASSERT_EQ(20u, v.size());
    uint32_t w[5];
    std::memcpy(w, v.data(), 20);
    EXPECT_EQ(1048u, w[0]);                 // 0.001 x 1048576, truncated
    EXPECT_EQ(0x80000000u | 8192u, w[1]);   // -0.5 x 16384
    EXPECT_EQ(384u, w[2]);                  // 3 x 128
    EXPECT_EQ(1536u, w[3]);                 // 1.5 x 1024
    EXPECT_EQ(0x80000000u | 2304u, w[4]);   // -2.25 x 1024

    // A magnitude that would run into the sign bit is refused, not wrapped.
    m_mapParams.clear();
    SKxSwingCalibrateParam big = {{0.0, 0.0, 0.0, 4096.0, 0.0, 0.0}};
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->ConfigCalibrateParam(&big));
    EXPECT_EQ(0u, m_mapParams.count(56));
    EXPECT_EQ(KX_E_NULL_ARGUMENT, m_pMotor->ConfigCalibrateParam(nullptr));
}

TEST_F(SwingOpenTest, CalibrationWriteFailureIsLogged) {
    ON_CALL(*m_pCamera, SetParam(56, _, _)).WillByDefault(::testing::Return(c_nOrEyeIoError));
    KxLogCapture log;
    SKxSwingCalibrateParam p = {{0, 1, 1, 1, 1, 1}};
    EXPECT_EQ(c_nOrEyeIoError, m_pMotor->ConfigCalibrateParam(&p));
    EXPECT_TRUE(log.HasLine(c_nKxLogError, "Read Swing Param Failed"));
}

struct WorkDistanceCase {
    const char* pszName;
    SKxNLROIRect sLeftIn, sRightIn;
    double dNear, dFar;
    SKxNLROIRect sLeftOut, sRightOut;
    uint16_t nDistance;
};

class SwingWorkDistanceTest : public SwingMockTest, public ::testing::WithParamInterface<WorkDistanceCase> {};

TEST_P(SwingWorkDistanceTest, RoiWidthFollowsDisparityOfTheRange) {
    const WorkDistanceCase& c = GetParam();
    m_pCamera->block.SetRoi(KxLaserInfo::c_nWordLeftRoi, c.sLeftIn);
    m_pCamera->block.SetRoi(KxLaserInfo::c_nWordRightRoi, c.sRightIn);
    // Q[11] / Q[14] = 100000: disparity 500 at 200, 250 at 400.
    m_pCamera->adQ[11] = 2000.0;
    m_pCamera->adQ[14] = 0.02;
    CKxEyeSwingMotorDevice* pMotor = OpenMotor();
    ASSERT_NE(nullptr, pMotor);
    ASSERT_EQ(0, pMotor->SetWorkDistanceRange(c.dNear, c.dFar));
    SKxNLROIRect l{}, r{};
    ASSERT_EQ(0, m_pDevice->GetDetectROI(&l, &r));
    EXPECT_TRUE(devtest::SameRoi(c.sLeftOut, l)) << l.left << " " << l.right;
    EXPECT_TRUE(devtest::SameRoi(c.sRightOut, r)) << r.left << " " << r.right;
    uint16_t nDistance = 0;
    ASSERT_EQ(2u, m_mapParams[57].size());
    std::memcpy(&nDistance, m_mapParams[57].data(), 2);
    EXPECT_EQ(c.nDistance, nDistance);
}

using devtest::Roi;
INSTANTIATE_TEST_SUITE_P(
    Cases, SwingWorkDistanceTest,
    ::testing::Values(
        // overlap 250 + 128 = 378 -> 384
        WorkDistanceCase{"InPlace", Roi(0, 1024, 100, 1100), Roi(64, 1088, 100, 1100), 200, 400,
                         Roi(0, 384, 100, 1100), Roi(704, 1088, 100, 1100), 300},
        WorkDistanceCase{"ShiftedInside", Roi(1280, 1536, 100, 1100), Roi(0, 256, 100, 1100), 400, 200,
                         Roi(1152, 1536, 100, 1100), Roi(0, 384, 100, 1100), 300},
        // overlap 0 + 128 -> 128
        WorkDistanceCase{"NarrowRange", Roi(0, 1024, 100, 1100), Roi(512, 1536, 100, 1100), 1000, 1001,
                         Roi(0, 128, 100, 1100), Roi(1408, 1536, 100, 1100), 1000}),
    [](const ::testing::TestParamInfo<WorkDistanceCase>& i) { return std::string(i.param.pszName); });

TEST_F(SwingOpenTest, WorkDistanceWithoutDisparityIsRefused) {
    // The device read the all-zero matrix of the mock: Q[14] = 0 gives no disparity.
    m_mapParams.clear();
    EXPECT_EQ(KX_E_OUT_OF_RANGE, m_pMotor->SetWorkDistanceRange(200, 400));
    EXPECT_EQ(0u, m_mapParams.count(57));
    int32_t nWidth = 0;
    double q[16] = {};
    q[11] = 2000.0;
    q[14] = 0.02;
    EXPECT_EQ(KX_E_OUT_OF_RANGE, CKxEyeSwingMotorDevice::ComputeMinROIWidth(q, 0.0, 400.0, &nWidth));
    EXPECT_EQ(0, CKxEyeSwingMotorDevice::ComputeMinROIWidth(q, 100000.0, 100000.0, &nWidth));
    EXPECT_EQ(128, nWidth);
    EXPECT_EQ(0, CKxEyeSwingMotorDevice::ComputeMinROIWidth(q, 10000.0, 100000.0, &nWidth));
    EXPECT_EQ(128, nWidth);  // 9 + 128 = 137, remainder 9: down
    EXPECT_EQ(0, CKxEyeSwingMotorDevice::ComputeMinROIWidth(q, 3000.0, 100000.0, &nWidth));
    EXPECT_EQ(160, nWidth);  // 32 + 128 = 160
    EXPECT_EQ(0, CKxEyeSwingMotorDevice::ComputeMinROIWidth(q, 2000.0, 100000.0, &nWidth));
    EXPECT_EQ(192, nWidth);  // 49 + 128 = 177, remainder 17: up
}

// ---- busy and detach ----

TEST_F(SwingOpenTest, EveryExchangeIsRefusedWhileCapturing) {
    struct Case {
        const char* pszName;
        std::function<int32_t()> fn;
    } cases[] = {
        {"RunMotor", [&] { return m_pMotor->RunMotor(true); }},
        {"SetLight", [&] { return m_pMotor->SetLight(10); }},
        {"GetLight", [&] { int32_t e = 0; m_pMotor->GetLight(&e); return e; }},
        {"SetSpeed", [&] { return m_pMotor->SetSpeed(100); }},
        {"SetSwingRange", [&] { return m_pMotor->SetSwingRange(10, 40); }},
        {"SetRangeStartHere", [&] { return m_pMotor->SetRangeStartHere(); }},
        {"MoveTo", [&] { return m_pMotor->MoveTo(10.0f, true); }},
        {"MoveToCenter", [&] { return m_pMotor->MoveToCenter(true); }},
        {"MoveToOrigin", [&] { return m_pMotor->MoveToOrigin(true); }},
        {"SetRegister18", [&] { return m_pMotor->SetRegister18(600); }},
        {"SendCommand13", [&] { return m_pMotor->SendCommand13(); }},
        {"SendCommand20And21", [&] { return m_pMotor->SendCommand20And21(); }},
        {"SendCommand22", [&] { return m_pMotor->SendCommand22(); }},
        {"SendCommand23", [&] { return m_pMotor->SendCommand23(); }},
        {"SwitchRegister27", [&] { return m_pMotor->SwitchRegister27(true); }},
        {"ReadStatus", [&] { int32_t e = 0; m_pMotor->ReadStatus(&e); return e; }},
        {"IsMotorIdle", [&] { int32_t e = 0; m_pMotor->IsMotorIdle(&e); return e; }},
        {"IsMotorRunning", [&] { int32_t e = 0; m_pMotor->IsMotorRunning(&e); return e; }},
        {"GetPositionTenths", [&] { int32_t e = 0; m_pMotor->GetPositionTenths(&e); return e; }},
        {"EnableSwing", [&] { return m_pMotor->EnableSwing(false, false); }},
        {"SetSwingMode", [&] { return m_pMotor->SetSwingMode(1); }},
    };
    m_pDevice->m_bCapturing = true;
    m_mapParams.clear();
    for (const Case& c : cases) {
        KxLogCapture log;
        EXPECT_EQ(KX_E_BUSY, c.fn()) << c.pszName;
        EXPECT_TRUE(log.HasLine(c_nKxLogError, "Capturing")) << c.pszName;
    }
    {
        KxLogCapture log;
        SKxSwingCalibrateParam p = {{0, 1, 1, 1, 1, 1}};
        EXPECT_EQ(KX_E_BUSY, m_pMotor->ConfigCalibrateParam(&p));
        EXPECT_EQ(KX_E_BUSY, m_pMotor->SetWorkDistanceRange(200, 400));
        EXPECT_TRUE(log.HasLine(c_nKxLogError, "CKxEyeSwingMotorDevice::ConfigCalibrateParam Capturing"));
        EXPECT_TRUE(log.HasLine(c_nKxLogError, "CKxEyeSwingMotorDevice::SetWorkDistanceRange Capturing"));
    }
    m_pDevice->m_bCapturing = false;
    EXPECT_TRUE(m_ctl.vecRecords.empty());
    EXPECT_TRUE(m_mapParams.empty());
}

TEST_F(SwingOpenTest, MotorHeldByApplicationOutlivesTheDevice) {
    IKxSwingMotorDevice* pMotor = nullptr;
    ASSERT_TRUE(m_pDevice->GetSwingMotorDevice(&pMotor));
    m_pDevice->Release();
    m_pDevice = nullptr;
    EXPECT_FALSE(m_pMotor->IsOpen());
    int32_t nError = 0;
    pMotor->ReadStatus(&nError);
    EXPECT_EQ(KX_E_NOT_OPEN, nError);
    EXPECT_EQ(KX_E_NOT_OPEN, pMotor->MoveTo(10.0f, false));
    EXPECT_EQ(KX_E_NOT_OPEN, pMotor->EnableSwing(true, false));
    pMotor->Release();
}

TEST_F(SwingOpenTest, ReservedSlots) {
    EXPECT_EQ(0, m_pMotor->Reserved11());
    EXPECT_EQ(0, m_pMotor->Reserved12());
    EXPECT_EQ(0, m_pMotor->Reserved13());
    EXPECT_EQ(0, m_pMotor->Reserved15());
    EXPECT_TRUE(m_pMotor->Reserved16());
    EXPECT_EQ(0, m_pMotor->Reserved39());
    EXPECT_EQ(0, m_pMotor->Reserved40());
    EXPECT_EQ(KX_E_NOT_SUPPORTED, m_pMotor->Reserved50());
    EXPECT_EQ(KX_E_NOT_SUPPORTED, m_pMotor->Reserved51());
    EXPECT_EQ(KX_E_NOT_SUPPORTED, m_pMotor->Reserved53());
    EXPECT_EQ(KX_E_NOT_SUPPORTED, m_pMotor->Reserved54());
    EXPECT_EQ(0, m_pMotor->Reserved56());
    const SKxReserved16 r = m_pMotor->Reserved57();
    for (uint8_t b : r.byData) EXPECT_EQ(0, b);
    EXPECT_TRUE(m_ctl.vecRecords.empty());
}

}  // namespace
