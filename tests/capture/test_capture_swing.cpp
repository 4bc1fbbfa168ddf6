// Capture with the swing motor: the sweep's finish signal, the swing-angle event and the ROI
// centring at capture start.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "capture_harness.h"

using namespace CaptureTest;
using FakeCam::FrameTrailer;

namespace {

FakeCam::Config SwingConfig() {
    FakeCam::Config cfg;
    cfg.nVersion = 8;
    cfg.bDynamicROI = true;
    cfg.bSwingMotor = true;
    return cfg;
}

FrameTrailer AngleFrame(uint32_t nCounter, uint32_t nAngle) {
    FrameTrailer f;
    f.nTimestamp = 1000 + 100 * nCounter;
    f.nCounter = nCounter;
    f.nWord6 = nAngle;
    f.nEncoderTimer = 77;  // not an encoder while swinging
    return f;
}

bool Sent(const std::vector<uint16_t>& codes, uint16_t nCode) {
    return std::find(codes.begin(), codes.end(), nCode) != codes.end();
}

}  // namespace

TEST(CaptureSwing, SweepEndSetsTheFinishSignalAndLaterFramesAreDropped) {
    Events events;  // outlives the device, which holds a reference
    Harness h(SwingConfig());
    ASSERT_EQ(0, h.Open());
    ASSERT_TRUE(h.impl->IsSwingActive());
    h.dev->SetEventHandler(&events);
    Recorder rec;
    IKxSignal* pSignal = nullptr;
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, &pSignal));
    ASSERT_NE(nullptr, pSignal);
    EXPECT_EQ(c_nKxSignalTimeout, pSignal->Wait(0));

    const uint32_t angles[] = {100, 100, 150, 14400, 200, 300};
    for (uint32_t i = 0; i < 6; ++i) {
        h.cam->Push(AngleFrame(i, angles[i]));
        if (i == 2) {
            EXPECT_EQ(c_nKxSignalTimeout, pSignal->Wait(0));
        }
    }
    EXPECT_NE(c_nKxSignalTimeout, pSignal->Wait(0));
    // Delivered up to and with the end-of-sweep frame.
    const std::vector<Seen> seen = rec.Frames();
    ASSERT_EQ(4u, seen.size());
    EXPECT_FLOAT_EQ(10.0f, seen[0].fAngle);
    EXPECT_FLOAT_EQ(15.0f, seen[2].fAngle);
    EXPECT_FALSE(seen[3].bAngleValid);  // the end mark
    for (const Seen& s : seen) EXPECT_EQ(0u, s.nEncoder);
    // The first frame's time counts from its own timestamp (no encoder timer while swinging).
    EXPECT_EQ(10000u, seen[0].nTimeUs);
    // Event 22 once, on the first change of angle.
    EXPECT_EQ(std::vector<int32_t>{22}, events.Codes());
    EXPECT_EQ(0u, h.cam->Outstanding());

    // Stop: motor stopped (register 17), back to the centre (move, 9), stopped (2); the
    // finished sweep's signal stays set.
    h.cam->vecMotorCodes.clear();
    ASSERT_EQ(0, h.dev->StopCapture());
    const std::vector<uint16_t> codes = h.cam->vecMotorCodes;
    EXPECT_TRUE(Sent(codes, 17));
    EXPECT_TRUE(Sent(codes, 9));
    EXPECT_TRUE(Sent(codes, 2));
    EXPECT_EQ(c_nKxSignalSet, pSignal->Wait(0));
    pSignal->Release();
}

TEST(CaptureSwing, WithoutSignalPointerNoSweepIsSynchronised) {
    Harness h(SwingConfig());
    ASSERT_EQ(0, h.Open());
    Recorder rec;
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    for (uint32_t i = 0; i < 3; ++i) h.cam->Push(AngleFrame(i, i == 1 ? 14400 : 100));
    EXPECT_EQ(3u, rec.Count());
    h.dev->StopCapture();
}

struct CentreCase {
    int nWidth;
    int nExpectedX;
};

class CaptureCentre : public ::testing::TestWithParam<CentreCase> {};

TEST_P(CaptureCentre, ROIsAreCentredOnTheThirtyTwoColumnGrid) {
    FakeCam::Config cfg = SwingConfig();
    cfg.nWidth = 1280;
    cfg.nRoiWidth = GetParam().nWidth;
    Harness h(cfg);
    ASSERT_EQ(0, h.Open());
    ScopedCentreROI centre(true);
    h.cam->vecSetROI.clear();
    Recorder rec;
    IKxSignal* pSignal = nullptr;
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, &pSignal));
    ASSERT_EQ(1u, h.cam->vecSetROI.size());
    const std::vector<int> args = h.cam->vecSetROI[0];
    EXPECT_EQ(GetParam().nExpectedX, args[0]);  // left ROI left
    EXPECT_EQ(GetParam().nExpectedX, args[2]);  // right ROI left
    EXPECT_EQ(GetParam().nWidth, args[4]);
    SKxNLROIRect left{}, right{};
    h.dev->StopCapture();
    ASSERT_EQ(0, h.dev->GetDetectROI(&left, &right));
    EXPECT_EQ(GetParam().nExpectedX + GetParam().nWidth, left.right);
    if (pSignal) pSignal->Release();
}

// x = (1280 - w) / 2, then to the nearest multiple of 32; a remainder of 16 rounds up.
INSTANTIATE_TEST_SUITE_P(Widths, CaptureCentre,
                         ::testing::Values(CentreCase{600, 352}, CentreCase{620, 320}, CentreCase{608, 352},
                                           CentreCase{1280, 0}),
                         [](const ::testing::TestParamInfo<CentreCase>& info) {
                             return "width_" + std::to_string(info.param.nWidth);
                         });

TEST(CaptureSwing, CentringIsOffByDefault) {
    FakeCam::Config cfg = SwingConfig();
    cfg.nRoiWidth = 600;
    Harness h(cfg);
    ASSERT_EQ(0, h.Open());
    ScopedCentreROI centre(false);
    h.cam->vecSetROI.clear();
    Recorder rec;
    IKxSignal* pSignal = nullptr;
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, &pSignal));
    EXPECT_TRUE(h.cam->vecSetROI.empty());
    ASSERT_NE(nullptr, pSignal);
    // A capture stopped before its sweep ended wakes the waiters with the stop answer.
    h.dev->StopCapture();
    EXPECT_EQ(c_nKxSignalStopped, pSignal->Wait(0));
    pSignal->Release();
}

TEST(CaptureSwing, SweepEventSendsTheMotorToItsOrigin) {
    Events events;
    Harness h(SwingConfig());
    ASSERT_EQ(0, h.Open());
    h.dev->SetEventHandler(&events);
    h.cam->vecMotorCodes.clear();
    h.cam->Notify(11);
    EXPECT_TRUE(Sent(h.cam->vecMotorCodes, 23));  // move to the controller's home
    // While capturing the motor takes no command; the event changes nothing.
    Recorder rec;
    ASSERT_EQ(0, h.dev->StartCapture(0, &rec, nullptr));
    h.cam->vecMotorCodes.clear();
    h.cam->Notify(11);
    EXPECT_TRUE(h.cam->vecMotorCodes.empty());
    h.dev->StopCapture();
    EXPECT_TRUE(events.Codes().empty());
}
